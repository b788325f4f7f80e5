#pragma once
// The simulated ASPI layer (WNASPI32.DLL) of a Windows 95, 98 or Me host. It
// may be missing, fail its initialisation, or report host adapters by their
// identifiers. SCSI requests complete asynchronously on the virtual clock:
// when the drive has finished, the layer fills the request block, sets
// SRB_Status and signals the event of an event-notify request. A request for
// a missing adapter or device is rejected during the call, without event.

#include <set>
#include <vector>

#include "platform/aspi.h"
#include "sim/aspi_layer.h"
#include "sim/sim_events.h"
#include "sim/sim_host.h"
#include "sim/sim_memory.h"
#include "sim/virtual_clock.h"

namespace oddfw::sim {

class SimAspi : public platform::Aspi {
 public:
  SimAspi(const AspiConfig& config, const std::vector<AttachedDrive>& drives, VirtualClock& clock,
          SimEvents& events, SimMemory& memory, HostLog& log)
      : layer_(config, drives),
        config_(config),
        clock_(clock),
        events_(events),
        memory_(memory),
        log_(log) {}

  bool LoadLibrary() override;
  uint32_t GetASPI32SupportInfo() override;
  uint32_t SendASPI32Command(void* srb) override;

  // Request blocks the layer still owns.
  std::size_t pendingRequests() const { return pending_.size(); }

 private:
  uint32_t ExecScsiCmd(platform::SrbExecScsiCmd* srb);
  void Complete(const AspiRequest& request);

  AspiLayer layer_;
  const AspiConfig& config_;
  VirtualClock& clock_;
  SimEvents& events_;
  SimMemory& memory_;
  HostLog& log_;
  std::set<const void*> pending_;
};

}  // namespace oddfw::sim
