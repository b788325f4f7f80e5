#include "sim/virtual_clock.h"

#include <string>
#include <thread>

namespace oddfw::sim {

VirtualClock::VirtualClock(bool realtime, uint32_t startMs)
    : realtime_(realtime),
      startOffsetUs_(uint64_t{startMs} * 1000),
      realStart_(std::chrono::steady_clock::now()) {}

uint64_t VirtualClock::NowUs() {
  if (realtime_) {
    const auto real = std::chrono::steady_clock::now() - realStart_;
    const auto us =
        static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(real).count());
    if (us > nowUs_) nowUs_ = us;
    RunDue();
  }
  return nowUs_;
}

uint32_t VirtualClock::ReadMs() {
  if (!realtime_) AdvanceTo(nowUs_ + 1);
  return static_cast<uint32_t>((NowUs() + startOffsetUs_) / 1000);
}

uint64_t VirtualClock::ReadUs() {
  if (!realtime_) AdvanceTo(nowUs_ + 1);
  return NowUs() + startOffsetUs_;
}

void VirtualClock::AdvanceTo(uint64_t us) {
  if (realtime_) {
    const auto target = realStart_ + std::chrono::microseconds(us);
    // Wake for each scheduled action on the way, so it runs on time.
    for (;;) {
      uint64_t next = 0;
      const bool pending = NextActionTime(&next) && next < us;
      const auto wake = pending ? realStart_ + std::chrono::microseconds(next) : target;
      std::this_thread::sleep_until(wake);
      NowUs();
      if (!pending) break;
    }
    return;
  }
  if (limitUs_ != 0 && us > limitUs_) {
    throw SimTimeLimit("the run went past its time limit of " + std::to_string(limitUs_ / 1000000) +
                       " s of virtual time");
  }
  while (!actions_.empty() && actions_.begin()->first <= us) {
    auto it = actions_.begin();
    if (it->first > nowUs_) nowUs_ = it->first;
    auto action = std::move(it->second.second);
    actions_.erase(it);
    action();
  }
  if (us > nowUs_) nowUs_ = us;
}

void VirtualClock::RunDue() {
  while (!actions_.empty() && actions_.begin()->first <= nowUs_) {
    auto it = actions_.begin();
    auto action = std::move(it->second.second);
    actions_.erase(it);
    action();
  }
}

VirtualClock::ActionId VirtualClock::Schedule(uint64_t atUs, std::function<void()> action) {
  const ActionId id = nextId_++;
  actions_.emplace(atUs, std::make_pair(id, std::move(action)));
  return id;
}

void VirtualClock::Cancel(ActionId id) {
  for (auto it = actions_.begin(); it != actions_.end(); ++it) {
    if (it->second.first == id) {
      actions_.erase(it);
      return;
    }
  }
}

bool VirtualClock::NextActionTime(uint64_t* atUs) const {
  if (actions_.empty()) return false;
  *atUs = actions_.begin()->first;
  return true;
}

}  // namespace oddfw::sim
