#pragma once
// The simulated host's clock. On the virtual clock time moves only when the
// program sleeps, waits, reads the clock or a drive works, so a 30 s
// count-down costs microseconds; in real-time mode it follows the wall clock
// and waits really wait. Things that happen later (an ASPI request that
// completes, a drive that finishes re-flashing) are scheduled on it.

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <stdexcept>

namespace oddfw::sim {

// The program waits without limit for something that can never happen.
class SimDeadlock : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The run went on past the virtual time a test allows it (a loop that never
// ends, though time passes).
class SimTimeLimit : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class VirtualClock {
 public:
  explicit VirtualClock(bool realtime = false, uint32_t startMs = 0);

  bool realtime() const { return realtime_; }
  // Microseconds since the start of the run (plus the start offset).
  uint64_t NowUs();
  // The 32-bit millisecond counter; it wraps around like timeGetTime. On the
  // virtual clock every reading costs a microsecond, so a loop that watches
  // the clock moves it.
  uint32_t ReadMs();
  // The same time in microseconds, as a performance counter of 1 MHz would
  // read it (the start offset included, so it runs in step with ReadMs). A
  // reading costs a microsecond as well.
  uint64_t ReadUs();
  // Moves time forward to `us` (sleeping in real-time mode), running every
  // scheduled action that falls due on the way.
  void AdvanceTo(uint64_t us);
  void Sleep(uint32_t ms) { AdvanceTo(NowUs() + uint64_t{ms} * 1000); }
  void SleepUs(uint64_t us) { AdvanceTo(NowUs() + us); }

  using ActionId = uint64_t;
  ActionId Schedule(uint64_t atUs, std::function<void()> action);
  void Cancel(ActionId id);
  // Time of the earliest scheduled action, or false when nothing is pending.
  bool NextActionTime(uint64_t* atUs) const;

  // Real time the virtual clock has spared (for reports).
  uint64_t virtualElapsedUs() const { return nowUs_; }

  // From now on, moving the virtual clock past `us` throws SimTimeLimit
  // (0: no limit).
  void SetLimitUs(uint64_t us) { limitUs_ = us; }

 private:
  void RunDue();

  bool realtime_;
  uint64_t startOffsetUs_;
  uint64_t nowUs_ = 0;
  uint64_t limitUs_ = 0;
  std::chrono::steady_clock::time_point realStart_;
  ActionId nextId_ = 1;
  std::multimap<uint64_t, std::pair<ActionId, std::function<void()>>> actions_;
};

}  // namespace oddfw::sim
