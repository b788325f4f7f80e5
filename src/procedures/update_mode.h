#pragma once
// While a drive is in its update mode - from the command that moves it there
// until its new revision has been read back, retries included, or until the
// procedure ends on any other way out - the system is kept from sleeping and
// an interrupt from the user does not end the program: either would leave
// the drive with half a firmware. The procedures hold this guard for that
// stretch.

#include "app/run.h"

namespace oddfw {

class UpdateModeGuard {
 public:
  explicit UpdateModeGuard(Run& run) : run_(run) {
    run_.os.power.KeepAwake(true);
    run_.os.interrupts.SetCritical(true);
  }
  ~UpdateModeGuard() {
    run_.os.interrupts.SetCritical(false);
    run_.os.power.KeepAwake(false);
  }
  UpdateModeGuard(const UpdateModeGuard&) = delete;
  UpdateModeGuard& operator=(const UpdateModeGuard&) = delete;

 private:
  Run& run_;
};

}  // namespace oddfw
