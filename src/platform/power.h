#pragma once
// Power management: the system must not go to sleep while a drive is in its
// update mode, or the drive is left with half a firmware.

namespace oddfw::platform {

class Power {
 public:
  virtual ~Power() = default;
  // true: keep the system awake until further notice
  // (SetThreadExecutionState(ES_CONTINUOUS | ES_SYSTEM_REQUIRED)); false:
  // let it sleep again (ES_CONTINUOUS alone). A system without power
  // management ignores both.
  virtual void KeepAwake(bool on) = 0;
};

}  // namespace oddfw::platform
