// Measures the program's millisecond waits on the real clock: how late they
// end (never early is the rule) and how much processor time they burn,
// against a wait that only watches the clock and one that only sleeps.
//
//   oddfw-delay-bench [--waits 5,100,1000,2000] [--count-scale F]
//
// The host build waits through the simulated host in real-time mode; the
// Windows build (oddfw-delay-bench.exe, which scripts/bench runs under
// wine) through the program's Win32 backend. Four ways of waiting, taken in
// turn for every repetition so that a busy machine hits them alike:
//   DelayMs        the program's wait on a host with a performance counter
//                  (Windows has QueryPerformanceCounter)
//   DelayMs/ms     the same on a host with the millisecond clock alone
//   spin           reads the millisecond clock until the reading has moved
//                  by the duration, never giving up the processor
//   sleep          one Sleep of the duration
// Every wait starts at a random point within a millisecond (a wait follows a
// drive command, not a clock tick), which is where a clock of whole
// milliseconds can end a wait early. Late is the real time the wait took
// minus its duration; the processor share is the thread's processor time
// over the wall time of the waits.

#ifdef _WIN32
#include <windows.h>
#else
#include <time.h>
#endif

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "app/run.h"
#include "console/console.h"
#ifdef _WIN32
#include "platform/win32/win32_platform.h"
#else
#include "sim/sim_platform.h"
#endif

namespace {

using namespace oddfw;
using Clock = std::chrono::steady_clock;

double ThreadCpuSeconds() {
#ifdef _WIN32
  FILETIME created, exited, kernel, user;
  GetThreadTimes(GetCurrentThread(), &created, &exited, &kernel, &user);
  auto seconds = [](const FILETIME& t) {
    return static_cast<double>(uint64_t{t.dwHighDateTime} << 32 | t.dwLowDateTime) / 1e7;
  };
  return seconds(kernel) + seconds(user);
#else
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
#endif
}

// A host's clock without its performance counter: the millisecond clock
// alone tells the time.
class MillisecondsOnly : public platform::Clock {
 public:
  explicit MillisecondsOnly(platform::Clock& inner) : inner_(inner) {}
  uint32_t TimeGetTime() override { return inner_.TimeGetTime(); }
  uint32_t TimeBeginPeriod(uint32_t periodMs) override { return inner_.TimeBeginPeriod(periodMs); }
  uint32_t TimeEndPeriod(uint32_t periodMs) override { return inner_.TimeEndPeriod(periodMs); }
  uint32_t TimerPeriodMax() override { return inner_.TimerPeriodMax(); }
  void Sleep(uint32_t ms) override { inner_.Sleep(ms); }
  int64_t CurrentTimeSeconds() override { return inner_.CurrentTimeSeconds(); }

 private:
  platform::Clock& inner_;
};

struct Way {
  const char* name;
  std::function<void(uint32_t)> wait;
  std::vector<double> late;  // ms
  double cpu = 0;            // s
  double wall = 0;           // s
};

// The real clock behind the seam, with the program's run state, once with
// the host's performance counter and once without.
struct RealHost {
#ifdef _WIN32
  platform::win32::Win32Platform host;
  platform::Platform& base() {
    return host.platform();
  }
#else
  static sim::SimOptions Options() {
    sim::SimOptions o;
    o.realtime = true;
    return o;
  }
  sim::SimPlatform host{Options()};
  platform::Platform& base() {
    return host.platform();
  }
#endif
  MillisecondsOnly coarseClock{base().clock};
  platform::Platform coarsePlatform{base().WithClock(coarseClock)};
  Run counted{base()};
  Run coarse{coarsePlatform};
};

std::vector<uint32_t> ParseWaits(const char* text) {
  std::vector<uint32_t> waits;
  for (const char* p = text; *p != '\0';) {
    char* end = nullptr;
    const unsigned long v = std::strtoul(p, &end, 10);
    if (end == p) break;
    waits.push_back(static_cast<uint32_t>(v));
    p = *end == ',' ? end + 1 : end;
  }
  return waits;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<uint32_t> waits = {5, 100, 1000, 2000};
  double scale = 1;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--waits") == 0 && i + 1 < argc) {
      waits = ParseWaits(argv[++i]);
    } else if (std::strcmp(argv[i], "--count-scale") == 0 && i + 1 < argc) {
      scale = std::atof(argv[++i]);
    } else {
      std::fprintf(stderr, "usage: oddfw-delay-bench [--waits 5,100,...] [--count-scale F]\n");
      return 2;
    }
  }

  const auto host = std::make_unique<RealHost>();
  platform::Clock& clock = host->base().clock;
  std::vector<Way> ways = {
      {"DelayMs", [&](uint32_t ms) { DelayMs(host->counted, ms); }, {}, 0, 0},
      {"DelayMs/ms", [&](uint32_t ms) { DelayMs(host->coarse, ms); }, {}, 0, 0},
      {"spin",
       [&](uint32_t ms) {
         Run& run = host->counted;
         BeginTiming(run);
         while (ReadClock(run) - run.console.start < ms) {
         }
         EndTiming(run);
       },
       {},
       0,
       0},
      {"sleep", [&](uint32_t ms) { clock.Sleep(ms); }, {}, 0, 0},
  };

  std::mt19937 random(9);
  std::uniform_int_distribution<int> phaseUs(0, 999);
  std::printf("%-11s %6s %5s %11s %11s %11s %7s %7s\n", "wait", "ms", "n", "median late",
              "worst late", "earliest", "early", "cpu");
  for (const uint32_t ms : waits) {
    const int base = ms >= 1000 ? 8 : ms >= 100 ? 40 : 400;
    const int repetitions = std::max(1, static_cast<int>(base * scale));
    for (Way& w : ways) {
      w.late.clear();
      w.cpu = w.wall = 0;
    }
    for (int i = 0; i < repetitions; ++i) {
      for (Way& w : ways) {
        std::this_thread::sleep_for(std::chrono::microseconds(phaseUs(random)));
        const double cpuBefore = ThreadCpuSeconds();
        const auto start = Clock::now();
        w.wait(ms);
        const auto took = Clock::now() - start;
        w.cpu += ThreadCpuSeconds() - cpuBefore;
        w.wall += std::chrono::duration<double>(took).count();
        w.late.push_back(std::chrono::duration<double, std::milli>(took).count() - ms);
      }
    }
    for (Way& w : ways) {
      std::sort(w.late.begin(), w.late.end());
      const auto early =
          std::count_if(w.late.begin(), w.late.end(), [](double l) { return l < 0; });
      std::printf("%-11s %6u %5d %9.3fms %9.3fms %9.3fms %7ld %6.1f%%\n", w.name, ms, repetitions,
                  w.late[w.late.size() / 2], w.late.back(), w.late.front(),
                  static_cast<long>(early), 100 * w.cpu / w.wall);
    }
  }
  return 0;
}
