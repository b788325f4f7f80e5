// Measures the program's millisecond waits on the real clock: how late they
// end (never early is the rule) and how much processor time they burn,
// against a wait that only watches the clock and one that only sleeps.
//
//   build/release/bench/oddfw-delay-bench [repetitions-scale]

#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "app/run.h"
#include "console/console.h"
#include "sim/sim_platform.h"

namespace {

using namespace oddfw;
using Clock = std::chrono::steady_clock;

double CpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

struct Figures {
  double medianLateMs;
  double worstLateMs;
  double earliestMs;  // negative: ended early
  double cpuShare;    // processor time / wall time
};

Figures Measure(const std::function<void(uint32_t)>& wait, uint32_t ms, int repetitions) {
  std::vector<double> late;
  const double cpuBefore = CpuSeconds();
  const auto wallBefore = Clock::now();
  for (int i = 0; i < repetitions; ++i) {
    const auto start = Clock::now();
    wait(ms);
    const double took = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    late.push_back(took - ms);
  }
  const double wall = std::chrono::duration<double>(Clock::now() - wallBefore).count();
  const double cpu = CpuSeconds() - cpuBefore;
  std::sort(late.begin(), late.end());
  return {late[late.size() / 2], late.back(), late.front(), cpu / wall};
}

}  // namespace

int main(int argc, char** argv) {
  const int scale = argc > 1 ? std::max(1, std::atoi(argv[1])) : 1;
  sim::SimOptions options;
  options.realtime = true;
  sim::SimPlatform host(options);
  Run run(host.platform());
  platform::Clock& clock = host.platform().clock;

  const std::function<void(uint32_t)> delay = [&](uint32_t ms) { DelayMs(run, ms); };
  // Watches the clock for the whole wait, never giving up the processor.
  const std::function<void(uint32_t)> spin = [&](uint32_t ms) {
    BeginTiming(run);
    while (ReadClock(run) - run.console.start < ms) {
    }
    EndTiming(run);
  };
  const std::function<void(uint32_t)> sleep = [&](uint32_t ms) { clock.Sleep(ms); };

  std::printf("%-8s %6s %12s %12s %12s %10s\n", "wait", "ms", "median late", "worst late",
              "earliest", "cpu");
  for (const uint32_t ms : {5u, 100u, 1000u, 2000u}) {
    const int repetitions = scale * (ms >= 1000 ? 5 : ms >= 100 ? 20 : 100);
    for (const auto& [name, wait] :
         {std::pair{"DelayMs", delay}, std::pair{"spin", spin}, std::pair{"sleep", sleep}}) {
      const Figures f = Measure(wait, ms, repetitions);
      std::printf("%-8s %6u %10.3fms %10.3fms %10.3fms %9.1f%%\n", name, ms, f.medianLateMs,
                  f.worstLateMs, f.earliestMs, f.cpuShare * 100);
    }
  }
  return 0;
}
