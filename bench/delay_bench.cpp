// Measures the program's millisecond waits on the real clock: how late they
// end (never early is the rule) and how much processor time they burn,
// against a wait that only watches the clock and one that only sleeps.
//
//   oddfw-delay-bench [--waits 5,100,1000,2000] [--count-scale F]
//
// Four ways of waiting, taken in turn for every repetition so that a busy
// machine hits them alike, each through the simulated host in real-time
// mode:
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

#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "app/run.h"
#include "console/console.h"
#include "sim/sim_platform.h"

namespace {

using namespace oddfw;
using Clock = std::chrono::steady_clock;

double ThreadCpuSeconds() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

struct Way {
  const char* name;
  std::function<void(uint32_t)> wait;
  std::vector<double> late;  // ms
  double cpu = 0;            // s
  double wall = 0;           // s
};

// A host in real-time mode with the program's run state.
struct RealHost {
  explicit RealHost(bool counter) : host(Options(counter)), run(host.platform()) {}
  static sim::SimOptions Options(bool counter) {
    sim::SimOptions o;
    o.realtime = true;
    o.performanceCounter = counter;
    return o;
  }
  sim::SimPlatform host;
  Run run;
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

  RealHost counted(true);
  RealHost coarse(false);
  platform::Clock& clock = counted.host.platform().clock;
  std::vector<Way> ways = {
      {"DelayMs", [&](uint32_t ms) { DelayMs(counted.run, ms); }, {}, 0, 0},
      {"DelayMs/ms", [&](uint32_t ms) { DelayMs(coarse.run, ms); }, {}, 0, 0},
      {"spin",
       [&](uint32_t ms) {
         Run& run = counted.run;
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
