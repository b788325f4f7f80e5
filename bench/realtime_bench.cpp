// The default update paced like a real drive, against the time it cannot
// take less than: the simulated drive's own times plus every wait the
// update makes, at the length it asks for.
//
//   oddfw-realtime-bench [--virtual-only]
//
// The same scenario runs twice. On the virtual clock it gives the limit:
// time moves there only for the drive's work, for the waits (each Sleep at
// its requested length; a DelayMs is one such Sleep) and by a microsecond
// per clock reading, which is taken off again. In real-time mode every
// sleep really sleeps and the program's own work takes real time; the wall
// time of that run over the limit is the host's overhead (goal: under 1 %).
// The program's processor time during the real-time run is printed too.

#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

#include "app/driver.h"
#include "app/run.h"
#include "sim/default_scenario.h"
#include "sim/scenario.h"
#include "sim/sim_platform.h"

namespace {

using namespace oddfw;
namespace fs = std::filesystem;

// The host's clock, with its readings and sleeps counted.
class CountingClock : public platform::Clock {
 public:
  explicit CountingClock(platform::Clock& inner) : inner_(inner) {}
  uint32_t TimeGetTime() override {
    ++readings;
    return inner_.TimeGetTime();
  }
  uint32_t TimeBeginPeriod(uint32_t periodMs) override { return inner_.TimeBeginPeriod(periodMs); }
  uint32_t TimeEndPeriod(uint32_t periodMs) override { return inner_.TimeEndPeriod(periodMs); }
  uint32_t TimerPeriodMax() override { return inner_.TimerPeriodMax(); }
  void Sleep(uint32_t ms) override {
    sleptMs += ms;
    inner_.Sleep(ms);
  }
  bool QueryPerformanceFrequency(int64_t* countsPerSecond) override {
    return inner_.QueryPerformanceFrequency(countsPerSecond);
  }
  bool QueryPerformanceCounter(int64_t* count) override {
    ++readings;
    return inner_.QueryPerformanceCounter(count);
  }
  int64_t CurrentTimeSeconds() override { return inner_.CurrentTimeSeconds(); }

  uint64_t readings = 0;
  uint64_t sleptMs = 0;

 private:
  platform::Clock& inner_;
};

struct Figures {
  int exitCode = -1;
  double wallS = 0;
  double cpuS = 0;
  double clockS = 0;  // the host clock at the end
  double driveS = 0;  // the drive's own times, summed over its commands
  double sleptS = 0;
  uint64_t readings = 0;
  std::size_t commands = 0;
};

double ThreadCpuSeconds() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

Figures RunOnce(bool realtime, const fs::path& dir) {
  sim::Scenario scenario = sim::ParseScenario(sim::DefaultScenarioText());
  scenario.options.realtime = realtime;
  scenario.options.workdir = dir;
  sim::WriteScenarioFiles(scenario, dir);
  sim::SimPlatform host(scenario.options);
  CountingClock clock(host.platform().clock);
  platform::Platform platform = host.platform().WithClock(clock);
  Run run(platform);
  DriverHooks hooks = DriverHooks::Program();
  if (scenario.definition) hooks.fillDefinition = sim::DefinitionFiller(*scenario.definition);

  Figures f;
  const double cpuBefore = ThreadCpuSeconds();
  const auto start = std::chrono::steady_clock::now();
  f.exitCode = RunDriver(run, hooks);
  f.wallS = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  f.cpuS = ThreadCpuSeconds() - cpuBefore;
  f.clockS = static_cast<double>(host.clock().NowUs()) / 1e6;
  for (const sim::ScsiRecord& c : host.commands()) {
    f.driveS += static_cast<double>(c.endUs - c.timeUs) / 1e6;
  }
  f.sleptS = static_cast<double>(clock.sleptMs) / 1e3;
  f.readings = clock.readings;
  f.commands = host.commands().size();
  return f;
}

}  // namespace

int main(int argc, char** argv) {
  const bool virtualOnly = argc > 1 && std::strcmp(argv[1], "--virtual-only") == 0;
  const fs::path dir =
      fs::temp_directory_path() / ("oddfw-realtime-bench-" + std::to_string(getpid()));
  struct Cleanup {
    fs::path dir;
    ~Cleanup() {
      std::error_code ec;
      fs::remove_all(dir, ec);
    }
  } cleanup{dir};

  const Figures v = RunOnce(false, dir);
  if (v.exitCode != 0) {
    std::fprintf(stderr, "oddfw-realtime-bench: the update failed (exit code %d)\n", v.exitCode);
    return 1;
  }
  // The clock readings moved the virtual clock by a microsecond each.
  const double limitS = v.clockS - static_cast<double>(v.readings) / 1e6;
  std::printf(
      "virtual clock: %.6f s = drive %.6f s + waits %.6f s + %llu readings x 1 us "
      "(+ %.6f s unaccounted); %zu commands\n",
      v.clockS, v.driveS, v.sleptS, static_cast<unsigned long long>(v.readings),
      v.clockS - v.driveS - v.sleptS - static_cast<double>(v.readings) / 1e6, v.commands);
  std::printf("limit (drive + waits): %.6f s\n", limitS);
  if (virtualOnly) return 0;

  const Figures r = RunOnce(true, dir);
  if (r.exitCode != 0) {
    std::fprintf(stderr, "oddfw-realtime-bench: the real-time update failed\n");
    return 1;
  }
  std::printf("real time: %.6f s wall, %.3f s processor (%.2f %% of a core), %zu commands\n",
              r.wallS, r.cpuS, 100 * r.cpuS / r.wallS, r.commands);
  std::printf("over the limit: %.3f ms = %.3f %%\n", (r.wallS - limitS) * 1e3,
              100 * (r.wallS - limitS) / limitS);
  return 0;
}
