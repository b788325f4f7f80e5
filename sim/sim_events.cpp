#include "sim/sim_events.h"

namespace oddfw::sim {

platform::Handle SimEvents::CreateEvent() {
  return events_.Add(false);
}

uint32_t SimEvents::WaitForSingleObject(platform::Handle handle, uint32_t timeoutMs) {
  if (events_.Find(handle) == nullptr) return platform::kWaitFailed;
  const uint64_t deadline = clock_.NowUs() + uint64_t{timeoutMs} * 1000;
  for (;;) {
    bool* signalled = events_.Find(handle);  // an action may have closed it meanwhile
    if (signalled == nullptr) return platform::kWaitFailed;
    if (*signalled) {
      *signalled = false;
      return platform::kWaitObject0;
    }
    uint64_t next = 0;
    const bool pending = clock_.NextActionTime(&next);
    if (timeoutMs == platform::kInfinite) {
      if (!pending) throw SimDeadlock("waiting without limit for an event nothing will signal");
      clock_.AdvanceTo(next);
    } else if (pending && next <= deadline) {
      clock_.AdvanceTo(next);
    } else {
      clock_.AdvanceTo(deadline);
      signalled = events_.Find(handle);
      if (signalled != nullptr && *signalled) continue;
      return platform::kWaitTimeout;
    }
  }
}

bool SimEvents::CloseHandle(platform::Handle handle) {
  if (events_.Remove(handle)) return true;
  log_.Misuse("CloseHandle on an event that is not open");
  return false;
}

bool SimEvents::Signal(platform::Handle handle) {
  bool* signalled = events_.Find(handle);
  if (signalled == nullptr) {
    log_.Misuse("the ASPI layer signalled an event the program had already closed");
    return false;
  }
  *signalled = true;
  return true;
}

}  // namespace oddfw::sim
