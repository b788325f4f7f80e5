#include "sim/sim_aspi.h"

#include <algorithm>

namespace oddfw::sim {

bool SimAspi::LoadLibrary() {
  return config_.installed;
}

uint32_t SimAspi::GetASPI32SupportInfo() {
  return layer_.SupportInfo();
}

uint32_t SimAspi::SendASPI32Command(void* srb) {
  const uint8_t command = *static_cast<const uint8_t*>(srb);
  if (command == platform::kScHaInquiry) {
    return layer_.HaInquiry(static_cast<platform::SrbHaInquiry*>(srb));
  }
  if (command == platform::kScExecScsiCmd) {
    return ExecScsiCmd(static_cast<platform::SrbExecScsiCmd*>(srb));
  }
  return AspiLayer::Reject(srb);
}

uint32_t SimAspi::ExecScsiCmd(platform::SrbExecScsiCmd* srb) {
  if (pending_.count(srb) != 0) {
    log_.Misuse("a request block was submitted again while the ASPI layer still owned it");
  }
  ScsiRecord record;
  AspiRequest request;
  const uint32_t status = layer_.Submit(srb, clock_.NowUs(), &record, &request);
  log_.Scsi(record);
  if (status != platform::kSsPending) return status;
  pending_.insert(srb);
  if (request.completes()) {
    clock_.Schedule(record.endUs, [this, request] { Complete(request); });
  }
  return status;
}

void SimAspi::Complete(const AspiRequest& request) {
  pending_.erase(request.srb);
  if (memory_.Where(request.srb, sizeof *request.srb) == SimMemory::State::kReleased) {
    log_.Misuse("an ASPI request completed after its request block was freed");
  } else {
    bool writeData = true;
    if (request.direction == drive::Direction::kIn && request.buffer != nullptr) {
      const auto n = std::min<std::size_t>(request.reply.data.size(), request.bufferLength);
      if (memory_.Where(request.buffer, n) == SimMemory::State::kReleased) {
        log_.Misuse("an ASPI request completed into a data buffer that was freed");
        writeData = false;
      }
    }
    AspiLayer::Complete(request, writeData);
  }
  if (request.notifies()) events_.Signal(request.event);
}

}  // namespace oddfw::sim
