#pragma once
// The millisecond clock of the multimedia timer, its resolution, sleeping and
// the wall-clock time in seconds.

#include <cstdint>

namespace oddfw::platform {

inline constexpr uint32_t kTimerNoError = 0;   // TIMERR_NOERROR
inline constexpr uint32_t kTimerNoCanDo = 97;  // TIMERR_NOCANDO

class Clock {
 public:
  virtual ~Clock() = default;
  // The 32-bit millisecond counter (timeGetTime); it wraps around after 2^32 ms.
  virtual uint32_t TimeGetTime() = 0;
  // timeBeginPeriod / timeEndPeriod: kTimerNoError when the period is granted.
  virtual uint32_t TimeBeginPeriod(uint32_t periodMs) = 0;
  virtual uint32_t TimeEndPeriod(uint32_t periodMs) = 0;
  // The coarsest period the timer supports (timeGetDevCaps' wPeriodMax).
  virtual uint32_t TimerPeriodMax() = 0;
  // Gives up the processor for at least the given time.
  virtual void Sleep(uint32_t ms) = 0;
  // QueryPerformanceFrequency / QueryPerformanceCounter: a counter finer
  // than the millisecond clock and its counts per second. False where the
  // host has none; the millisecond clock alone tells the time then.
  virtual bool QueryPerformanceFrequency(int64_t* countsPerSecond) {
    *countsPerSecond = 0;
    return false;
  }
  virtual bool QueryPerformanceCounter(int64_t* count) {
    *count = 0;
    return false;
  }
  // Seconds since 1970 (time()).
  virtual int64_t CurrentTimeSeconds() = 0;
};

}  // namespace oddfw::platform
