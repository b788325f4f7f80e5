#pragma once
// The simulated pass-through interface: devices opened by drive letter
// ("\\.\E:"), IOCTL_SCSI_PASS_THROUGH_DIRECT carried to the attached drive
// synchronously (the call takes the drive's time on the virtual clock, or
// the record's TimeOutValue when the drive does not answer in time), and
// IOCTL_STORAGE_MCN_CONTROL.

#include <vector>

#include "platform/passthrough.h"
#include "sim/handle_table.h"
#include "sim/sim_host.h"
#include "sim/sim_memory.h"
#include "sim/virtual_clock.h"

namespace oddfw::sim {

inline constexpr uint32_t kErrorInvalidParameter = 87;
inline constexpr uint32_t kErrorSemTimeout = 121;  // the driver gave up waiting for the device
inline constexpr uint32_t kErrorIoDevice = 1117;   // the request failed below the drive

class SimPassThrough : public platform::PassThrough {
 public:
  SimPassThrough(const std::vector<AttachedDrive>& drives, VirtualClock& clock, SimMemory& memory,
                 HostLog& log)
      : drives_(drives), clock_(clock), memory_(memory), log_(log) {}

  platform::Handle CreateFile(const char* path, uint32_t access, uint32_t share) override;
  bool ScsiPassThroughDirect(platform::Handle device, platform::PassThroughRecord* record,
                             uint32_t* bytesReturned) override;
  bool MediaChangeControl(platform::Handle device, uint8_t suspend) override;
  bool CloseHandle(platform::Handle device) override;
  uint32_t LastError() override { return lastError_; }

  std::size_t openHandles() const { return open_.size(); }

 private:
  struct OpenDevice {
    const AttachedDrive* drive;
    uint32_t access;
  };
  bool Fail(uint32_t error) {
    lastError_ = error;
    return false;
  }

  const std::vector<AttachedDrive>& drives_;
  VirtualClock& clock_;
  SimMemory& memory_;
  HostLog& log_;
  HandleTable<OpenDevice> open_{0x20000};
  uint32_t lastError_ = 0;
};

}  // namespace oddfw::sim
