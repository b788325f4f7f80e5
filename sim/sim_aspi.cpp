#include "sim/sim_aspi.h"

#include <algorithm>
#include <cstring>

namespace oddfw::sim {
namespace {

inline constexpr uint8_t kSsNoAdapters = 0xE8;  // SS_NO_ADAPTERS
inline constexpr uint8_t kSsInvalidSrb = 0xE0;  // SS_INVALID_SRB
inline constexpr uint8_t kHaSelectionTimeout = 0x11;

std::string Address(int adapter, int target) {
  return std::to_string(adapter) + ":" + std::to_string(target);
}

}  // namespace

// What the layer keeps of a request between its submission and completion.
struct SimAspi::Submitted {
  platform::SrbExecScsiCmd* srb;
  uint8_t flags;
  platform::Handle event;
  uint8_t* buffer;
  uint32_t bufferLength;
  uint8_t senseLength;
  drive::Direction direction;
};

bool SimAspi::LoadLibrary() {
  return config_.installed;
}

uint32_t SimAspi::GetASPI32SupportInfo() {
  const auto count = static_cast<uint32_t>(std::min<std::size_t>(config_.adapters.size(), 255));
  if (config_.failedInit) return uint32_t{platform::kSsFailedInit} << 8 | count;
  if (count == 0) return uint32_t{kSsNoAdapters} << 8;
  return uint32_t{platform::kSsComp} << 8 | count;
}

uint32_t SimAspi::SendASPI32Command(void* srb) {
  const uint8_t command = *static_cast<const uint8_t*>(srb);
  if (command == platform::kScHaInquiry) {
    return HaInquiry(static_cast<platform::SrbHaInquiry*>(srb));
  }
  if (command == platform::kScExecScsiCmd) {
    return ExecScsiCmd(static_cast<platform::SrbExecScsiCmd*>(srb));
  }
  static_cast<uint8_t*>(srb)[1] = kSsInvalidSrb;
  return kSsInvalidSrb;
}

uint32_t SimAspi::HaInquiry(platform::SrbHaInquiry* srb) {
  if (srb->SRB_HaId >= config_.adapters.size()) {
    srb->SRB_Status = platform::kSsInvalidHa;
    return platform::kSsInvalidHa;
  }
  srb->HA_Count = static_cast<uint8_t>(std::min<std::size_t>(config_.adapters.size(), 255));
  srb->HA_SCSI_ID = 7;
  std::memset(srb->HA_ManagerId, 0, sizeof srb->HA_ManagerId);
  std::memcpy(srb->HA_ManagerId, "SIMULATED ASPI", 14);
  const std::string& name = config_.adapters[srb->SRB_HaId];
  std::memset(srb->HA_Identifier, 0, sizeof srb->HA_Identifier);
  std::memcpy(srb->HA_Identifier, name.data(), std::min<std::size_t>(name.size(), 16));
  srb->SRB_Status = platform::kSsComp;
  return platform::kSsComp;
}

uint32_t SimAspi::ExecScsiCmd(platform::SrbExecScsiCmd* srb) {
  if (pending_.count(srb) != 0) {
    log_.Misuse("a request block was submitted again while the ASPI layer still owned it");
  }
  ScsiRecord record;
  record.timeUs = clock_.NowUs();
  record.path = "aspi";
  record.target = Address(srb->SRB_HaId, srb->SRB_Target);
  record.cdb.assign(srb->CDBByte, srb->CDBByte + std::min<uint8_t>(srb->SRB_CDBLen, 16));
  record.direction = (srb->SRB_Flags & platform::kSrbDirIn)    ? drive::Direction::kIn
                     : (srb->SRB_Flags & platform::kSrbDirOut) ? drive::Direction::kOut
                                                               : drive::Direction::kNone;
  record.length = srb->SRB_BufLen;
  record.data = srb->SRB_BufPointer;
  record.notify = (srb->SRB_Flags & platform::kSrbEventNotify) ? "event" : "poll";
  record.endUs = record.timeUs;

  srb->SRB_Status = platform::kSsPending;
  if (srb->SRB_HaId >= config_.adapters.size()) {
    srb->SRB_Status = platform::kSsInvalidHa;
    record.result = "invalid-adapter";
    log_.Scsi(record);
    return platform::kSsInvalidHa;
  }
  const AttachedDrive* attached = nullptr;
  for (const AttachedDrive& d : drives_) {
    if (d.adapter == srb->SRB_HaId && d.target == srb->SRB_Target && srb->SRB_Lun == 0) {
      attached = &d;
    }
  }
  if (attached == nullptr || !attached->device || !attached->device->Present()) {
    srb->SRB_Status = platform::kSsNoDevice;
    record.result = "no-device";
    log_.Scsi(record);
    return platform::kSsNoDevice;
  }

  const Submitted request{srb,
                          srb->SRB_Flags,
                          srb->SRB_PostProc,
                          srb->SRB_BufPointer,
                          srb->SRB_BufLen,
                          srb->SRB_SenseLen,
                          record.direction};
  drive::Command command;
  command.cdb = record.cdb;
  command.direction = record.direction;
  command.transferLength = srb->SRB_BufLen;
  command.timeUs = record.timeUs;
  if (command.direction == drive::Direction::kOut && srb->SRB_BufPointer != nullptr) {
    command.dataOut.assign(srb->SRB_BufPointer, srb->SRB_BufPointer + srb->SRB_BufLen);
  }
  drive::Reply reply = attached->device->Execute(command);

  pending_.insert(srb);
  switch (reply.outcome) {
    case drive::Outcome::kNeverCompletes:
      record.result = "never";
      log_.Scsi(record);
      return platform::kSsPending;
    case drive::Outcome::kDeviceGone:
      record.result = "device-gone";
      reply.durationUs = 1000;
      break;
    case drive::Outcome::kCompleted:
      record.status = reply.status;
      record.result = reply.status == drive::kStatusGood             ? "good"
                      : reply.status == drive::kStatusCheckCondition ? "check-condition"
                                                                     : "status";
      if (reply.status != drive::kStatusGood && reply.hasSense) {
        record.sense.assign(reply.sense.begin(), reply.sense.end());
      }
      break;
  }
  record.endUs = record.timeUs + reply.durationUs;
  log_.Scsi(record);
  clock_.Schedule(record.endUs, [this, request, reply] { Complete(request, reply); });
  return platform::kSsPending;
}

void SimAspi::Complete(const Submitted& r, const drive::Reply& reply) {
  pending_.erase(r.srb);
  if (memory_.Where(r.srb, sizeof *r.srb) == SimMemory::State::kReleased) {
    log_.Misuse("an ASPI request completed after its request block was freed");
  } else {
    if (reply.outcome == drive::Outcome::kDeviceGone) {
      r.srb->SRB_HaStat = kHaSelectionTimeout;
      r.srb->SRB_Status = platform::kSsErr;
    } else {
      if (r.direction == drive::Direction::kIn && r.buffer != nullptr) {
        const auto n =
            static_cast<uint32_t>(std::min<std::size_t>(reply.data.size(), r.bufferLength));
        if (memory_.Where(r.buffer, n) == SimMemory::State::kReleased) {
          log_.Misuse("an ASPI request completed into a data buffer that was freed");
        } else if (n != 0) {
          std::memcpy(r.buffer, reply.data.data(), n);
        }
      }
      r.srb->SRB_TargStat = reply.status;
      if (reply.status != drive::kStatusGood && reply.hasSense) {
        const std::size_t n =
            std::min<std::size_t>({r.senseLength, reply.sense.size(), sizeof r.srb->SenseArea});
        std::memcpy(r.srb->SenseArea, reply.sense.data(), n);
      }
      r.srb->SRB_Status = reply.status == drive::kStatusGood ? platform::kSsComp : platform::kSsErr;
    }
  }
  if ((r.flags & platform::kSrbEventNotify) != 0 && r.event != nullptr) events_.Signal(r.event);
}

}  // namespace oddfw::sim
