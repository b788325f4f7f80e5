#pragma once
// What a simulated ASPI layer (WNASPI32.DLL) does with the request blocks it
// is handed, apart from when things happen: the support information, the
// host adapter inquiry, the checks of an SC_EXEC_SCSI_CMD request, the
// command handed to the drive at its adapter and target id, the record of
// the command as the trace shows it, and what the completed request writes
// back into the block.
//
// Two layers share it, so they behave alike: the simulated host (SimAspi),
// whose requests complete on the virtual clock, and the simulated
// WNASPI32.DLL the Windows program loads under wine, whose worker thread
// completes them on the real clock.

#include <cstdint>
#include <vector>

#include "platform/aspi.h"
#include "sim/sim_host.h"

namespace oddfw::sim {

inline constexpr uint8_t kSsNoAdapters = 0xE8;         // SS_NO_ADAPTERS
inline constexpr uint8_t kSsInvalidSrb = 0xE0;         // SS_INVALID_SRB
inline constexpr uint8_t kHaSelectionTimeout = 0x11;   // SRB_HaStat of a vanished device
inline constexpr uint8_t kHaPhaseError = 0x14;         // SRB_HaStat of a failed transfer
inline constexpr uint64_t kDeviceGoneReportUs = 1000;  // until the layer notices it

// An accepted SCSI request: where its answer goes and what the answer is.
// The layer keeps its own copy of the block's fields, as the caller may not
// touch the block while the request runs but the layer must not trust it.
struct AspiRequest {
  platform::SrbExecScsiCmd* srb = nullptr;
  uint8_t flags = 0;
  void* event = nullptr;  // SRB_PostProc: signalled at completion in event-notify mode
  uint8_t* buffer = nullptr;
  uint32_t bufferLength = 0;
  uint8_t senseLength = 0;
  drive::Direction direction = drive::Direction::kNone;
  drive::Reply reply;

  bool completes() const { return reply.outcome != drive::Outcome::kNeverCompletes; }
  // The layer signals the event when the request completes.
  bool notifies() const { return (flags & platform::kSrbEventNotify) != 0 && event != nullptr; }
};

class AspiLayer {
 public:
  AspiLayer(const AspiConfig& config, const std::vector<AttachedDrive>& drives)
      : config_(config), drives_(drives) {}

  // GetASPI32SupportInfo: status in bits 15..8, adapter count in bits 7..0.
  uint32_t SupportInfo() const;
  // SC_HA_INQUIRY, answered during the call.
  uint32_t HaInquiry(platform::SrbHaInquiry* srb) const;

  // SC_EXEC_SCSI_CMD submitted at `nowUs`: fills `record` (result, status,
  // sense, end time) and, when the layer takes the request, `request`, and
  // hands the command to the drive. Returns SS_PENDING for a taken request
  // (it completes at record->endUs unless it never does), or the status
  // (SS_INVALID_HA, SS_NO_DEVICE) it was rejected with during the call; a
  // rejected request signals nothing.
  uint32_t Submit(platform::SrbExecScsiCmd* srb, uint64_t nowUs, ScsiRecord* record,
                  AspiRequest* request) const;

  // What the completed request writes into its block: the data read (when
  // `writeData`: the caller's buffer is still there), SRB_TargStat, the sense
  // bytes and, last of all, SRB_Status.
  static void Complete(const AspiRequest& request, bool writeData);

  // A request block the layer does not know: SS_INVALID_SRB.
  static uint32_t Reject(void* srb);

 private:
  const AttachedDrive* DriveAt(uint8_t adapter, uint8_t target, uint8_t lun) const;

  const AspiConfig& config_;
  const std::vector<AttachedDrive>& drives_;
};

}  // namespace oddfw::sim
