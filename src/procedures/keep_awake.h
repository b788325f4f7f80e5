#pragma once
// Keeps the system from sleeping while a drive is in its update mode: from
// the command that moves it there until its new revision has been read
// back, or the procedure ends on any other way out. A PC that went to sleep
// in between would leave the drive with half a firmware.

#include "app/run.h"

namespace oddfw {

class KeepAwake {
 public:
  explicit KeepAwake(Run& run) : run_(run) { run_.os.power.KeepAwake(true); }
  ~KeepAwake() { run_.os.power.KeepAwake(false); }
  KeepAwake(const KeepAwake&) = delete;
  KeepAwake& operator=(const KeepAwake&) = delete;

 private:
  Run& run_;
};

}  // namespace oddfw
