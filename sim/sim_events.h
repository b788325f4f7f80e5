#pragma once
// Auto-reset events on the virtual clock. A wait moves the clock to the next
// scheduled action (an ASPI request completing) until the event is signalled
// or the wait's limit has passed; a wait without limit for an event nothing
// will signal throws SimDeadlock.

#include "platform/events.h"
#include "sim/handle_table.h"
#include "sim/sim_host.h"
#include "sim/virtual_clock.h"

namespace oddfw::sim {

class SimEvents : public platform::Events {
 public:
  SimEvents(VirtualClock& clock, HostLog& log) : clock_(clock), log_(log) {}
  platform::Handle CreateEvent() override;
  uint32_t WaitForSingleObject(platform::Handle event, uint32_t timeoutMs) override;
  bool CloseHandle(platform::Handle event) override;

  // SetEvent, as the ASPI layer calls it; a closed handle is reported as a
  // misuse by the program (it closed an event the layer still signals).
  bool Signal(platform::Handle event);
  std::size_t openEvents() const { return events_.size(); }

 private:
  VirtualClock& clock_;
  HostLog& log_;
  HandleTable<bool> events_{0x10000};  // signalled or not
};

}  // namespace oddfw::sim
