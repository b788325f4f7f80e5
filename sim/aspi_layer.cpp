#include "sim/aspi_layer.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <string>

namespace oddfw::sim {
namespace {

std::string Address(int adapter, int target) {
  return std::to_string(adapter) + ":" + std::to_string(target);
}

}  // namespace

uint32_t AspiLayer::SupportInfo() const {
  const auto count = static_cast<uint32_t>(std::min<std::size_t>(config_.adapters.size(), 255));
  if (config_.failedInit) return uint32_t{platform::kSsFailedInit} << 8 | count;
  if (count == 0) return uint32_t{kSsNoAdapters} << 8;
  return uint32_t{platform::kSsComp} << 8 | count;
}

uint32_t AspiLayer::HaInquiry(platform::SrbHaInquiry* srb) const {
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

uint32_t AspiLayer::Reject(void* srb) {
  static_cast<uint8_t*>(srb)[1] = kSsInvalidSrb;
  return kSsInvalidSrb;
}

const AttachedDrive* AspiLayer::DriveAt(uint8_t adapter, uint8_t target, uint8_t lun) const {
  const AttachedDrive* found = nullptr;
  for (const AttachedDrive& d : drives_) {
    if (d.adapter == adapter && d.target == target && lun == 0) found = &d;
  }
  return found;
}

uint32_t AspiLayer::Submit(platform::SrbExecScsiCmd* srb, uint64_t nowUs, ScsiRecord* record,
                           AspiRequest* request) const {
  ScsiRecord& r = *record;
  r = ScsiRecord{};
  r.timeUs = nowUs;
  r.path = "aspi";
  r.target = Address(srb->SRB_HaId, srb->SRB_Target);
  r.cdb.assign(srb->CDBByte, srb->CDBByte + std::min<uint8_t>(srb->SRB_CDBLen, 16));
  r.direction = (srb->SRB_Flags & platform::kSrbDirIn)    ? drive::Direction::kIn
                : (srb->SRB_Flags & platform::kSrbDirOut) ? drive::Direction::kOut
                                                          : drive::Direction::kNone;
  r.length = srb->SRB_BufLen;
  r.data = srb->SRB_BufPointer;
  r.notify = (srb->SRB_Flags & platform::kSrbEventNotify) ? "event" : "poll";
  r.endUs = r.timeUs;

  srb->SRB_Status = platform::kSsPending;
  if (srb->SRB_HaId >= config_.adapters.size()) {
    srb->SRB_Status = platform::kSsInvalidHa;
    r.result = "invalid-adapter";
    return platform::kSsInvalidHa;
  }
  const AttachedDrive* attached = DriveAt(srb->SRB_HaId, srb->SRB_Target, srb->SRB_Lun);
  if (attached == nullptr || !attached->device || !attached->device->Present()) {
    srb->SRB_Status = platform::kSsNoDevice;
    r.result = "no-device";
    return platform::kSsNoDevice;
  }

  AspiRequest& q = *request;
  q = AspiRequest{};
  q.srb = srb;
  q.flags = srb->SRB_Flags;
  q.event = srb->SRB_PostProc;
  q.buffer = srb->SRB_BufPointer;
  q.bufferLength = srb->SRB_BufLen;
  q.senseLength = srb->SRB_SenseLen;
  q.direction = r.direction;

  drive::Command command;
  command.cdb = r.cdb;
  command.direction = r.direction;
  command.transferLength = srb->SRB_BufLen;
  command.timeUs = r.timeUs;
  if (command.direction == drive::Direction::kOut && srb->SRB_BufPointer != nullptr) {
    command.dataOut.assign(srb->SRB_BufPointer, srb->SRB_BufPointer + srb->SRB_BufLen);
  }
  q.reply = attached->device->Execute(command);

  switch (q.reply.outcome) {
    case drive::Outcome::kNeverCompletes:
      r.result = "never";
      return platform::kSsPending;
    case drive::Outcome::kDeviceGone:
      r.result = "device-gone";
      q.reply.durationUs = kDeviceGoneReportUs;
      break;
    case drive::Outcome::kTransportError:
      r.result = "transport-error";
      break;
    case drive::Outcome::kCompleted:
      r.status = q.reply.status;
      r.result = q.reply.status == drive::kStatusGood             ? "good"
                 : q.reply.status == drive::kStatusCheckCondition ? "check-condition"
                                                                  : "status";
      if (q.reply.status != drive::kStatusGood && q.reply.hasSense) {
        r.sense.assign(q.reply.sense.begin(), q.reply.sense.end());
      }
      break;
  }
  r.endUs = r.timeUs + q.reply.durationUs;
  return platform::kSsPending;
}

void AspiLayer::Complete(const AspiRequest& q, bool writeData) {
  platform::SrbExecScsiCmd* srb = q.srb;
  const drive::Reply& reply = q.reply;
  uint8_t status = platform::kSsErr;
  if (reply.outcome == drive::Outcome::kDeviceGone) {
    srb->SRB_HaStat = kHaSelectionTimeout;
  } else if (reply.outcome == drive::Outcome::kTransportError) {
    srb->SRB_HaStat = kHaPhaseError;  // no target status, no sense data
  } else {
    if (writeData && q.direction == drive::Direction::kIn && q.buffer != nullptr) {
      const auto n = std::min<std::size_t>(reply.data.size(), q.bufferLength);
      if (n != 0) std::memcpy(q.buffer, reply.data.data(), n);
    }
    srb->SRB_TargStat = reply.status;
    if (reply.status != drive::kStatusGood && reply.hasSense) {
      const std::size_t n =
          std::min<std::size_t>({q.senseLength, reply.sense.size(), sizeof srb->SenseArea});
      std::memcpy(srb->SenseArea, reply.sense.data(), n);
    }
    if (reply.status == drive::kStatusGood) status = platform::kSsComp;
  }
  // A caller that polls sees the status only after everything else is in
  // place.
  std::atomic_thread_fence(std::memory_order_release);
  srb->SRB_Status = status;
}

}  // namespace oddfw::sim
