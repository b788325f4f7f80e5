#pragma once
// What the simulated host is made of besides its console and boxes: the
// ASPI layer, the drives and where they are attached, and the log of what
// the program did with them (every SCSI command, every media-change control,
// and every misuse of the operating system's interfaces).

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "sim/drive/scsi.h"

namespace oddfw::sim {

// The ASPI layer (WNASPI32.DLL) of a Windows 95, 98 or Me host.
struct AspiConfig {
  bool installed = false;   // false: the library does not load
  bool failedInit = false;  // GetASPI32SupportInfo reports SS_FAILED_INIT (0xE4)
  // HA_Identifier of each host adapter, by adapter number: up to 16 bytes,
  // zero-padded ("" is sixteen zero bytes).
  std::vector<std::string> adapters;
};

// A device attached to the host: at a drive letter (reached through the
// pass-through interface), at an ASPI adapter and target id, or both.
struct AttachedDrive {
  std::shared_ptr<drive::ScsiDevice> device;
  char letter = 0;   // 'A' to 'Z'; 0: no drive letter
  int adapter = -1;  // ASPI host adapter number; -1: not on ASPI
  int target = -1;   // SCSI target id on that adapter (LUN 0)

  // How the operating system lets the program at the device.
  uint32_t openError = 0;         // CreateFile with read/write access fails with this error
  uint32_t controlOpenError = 0;  // CreateFile with no access (media-change control) fails
  uint32_t ioctlError = 0;        // IOCTL_SCSI_PASS_THROUGH_DIRECT fails as a whole (5: no rights)
  // The pass-through driver reports this many sense bytes however many the
  // caller asked for (0: it reports the bytes it returned, at most the room).
  uint8_t reportedSenseLength = 0;
};

// One SCSI command as the host saw it.
struct ScsiRecord {
  uint64_t timeUs = 0;  // when the command was submitted
  std::string path;     // "passthrough" or "aspi"
  std::string target;   // "E:" (drive letter) or "1:0" (adapter:target id)
  std::vector<uint8_t> cdb;
  drive::Direction direction = drive::Direction::kNone;
  uint32_t length = 0;               // bytes of the data phase the program declared
  const void* data = nullptr;        // the program's buffer of the data phase (where it lies)
  std::optional<uint32_t> timeoutS;  // pass-through: TimeOutValue
  std::string notify;                // ASPI: "event" or "poll"
  // good, check-condition, status (another SCSI status), never (no answer
  // ever), timeout (the pass-through driver gave up), device-gone,
  // transport-error (failed below the drive),
  // no-device, invalid-adapter, error (the call failed, see `error`)
  std::string result;
  uint8_t status = 0;
  std::vector<uint8_t> sense;  // sense bytes the drive returned
  uint32_t error = 0;          // pass-through: the Win32 error of a failed call
  uint64_t endUs = 0;          // when the answer arrived (or the driver gave up)
};

// One IOCTL_STORAGE_MCN_CONTROL call.
struct MediaControlRecord {
  uint64_t timeUs = 0;
  char letter = 0;
  uint8_t suspend = 0;  // the one-byte input: 1 suspends notification, 0 restores it
  bool ok = false;
};

// One call of the power management: keep the system awake (true) or let
// it sleep again (false).
struct PowerRecord {
  uint64_t timeUs = 0;
  bool keepAwake = false;
};

class HostLog {
 public:
  void Scsi(const ScsiRecord& record) {
    scsi_.push_back(record);
    if (scsiObserver_) scsiObserver_(record);
  }
  void MediaControl(const MediaControlRecord& record) {
    mediaControls_.push_back(record);
    if (mediaControlObserver_) mediaControlObserver_(record);
  }
  void Power(const PowerRecord& record) {
    power_.push_back(record);
    if (powerObserver_) powerObserver_(record);
  }
  // The program used an interface in a way a real system would punish
  // (a handle used after it was closed, a request block reused while the
  // layer owned it, memory freed while a request could still write it).
  void Misuse(const std::string& what) { misuse_.push_back(what); }

  const std::vector<ScsiRecord>& scsi() const { return scsi_; }
  const std::vector<MediaControlRecord>& mediaControls() const { return mediaControls_; }
  const std::vector<PowerRecord>& power() const { return power_; }
  const std::vector<std::string>& misuse() const { return misuse_; }

  std::function<void(const ScsiRecord&)> scsiObserver_;
  std::function<void(const MediaControlRecord&)> mediaControlObserver_;
  std::function<void(const PowerRecord&)> powerObserver_;

 private:
  std::vector<ScsiRecord> scsi_;
  std::vector<MediaControlRecord> mediaControls_;
  std::vector<PowerRecord> power_;
  std::vector<std::string> misuse_;
};

}  // namespace oddfw::sim
