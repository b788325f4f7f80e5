// The default update (one MHT-860 from 1.05 to 1.10, a 2 MiB image) on the
// virtual clock: the wall time of a whole run, and how the image travels.
//
//   build/release/bench/oddfw-update-bench [--benchmark_min_time=2]
//
// Counters per run:
//   drive_s       the drive time the run takes (virtual clock)
//   commands      SCSI commands sent
//   image_bytes   image bytes sent to the drive
//   file_reads    reads of the image file, and the bytes they read per image
//                 byte sent (1: the file is read once)
//   staged_bytes  bytes the file reads put anywhere but the image buffer
//   copies_per_byte  bytes the program copied on their way from the image
//                 buffer to the drive, per image byte: a piece that does not
//                 point into the image buffer at its own offset counts whole
// The simulated drive's own copy of what it receives is not the program's
// and is not counted.

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>

#include "app/driver.h"
#include "app/run.h"
#include "discovery/discovery.h"
#include "sim/default_scenario.h"
#include "sim/scenario.h"
#include "sim/sim_files.h"
#include "sim/sim_platform.h"

namespace {

using namespace oddfw;
namespace fs = std::filesystem;

// Passes file calls on and notes where each read put its bytes.
class WatchedFiles : public platform::Files {
 public:
  explicit WatchedFiles(platform::Files& inner) : inner_(inner) {}
  platform::Handle OpenForRead(const std::string& name) override {
    return inner_.OpenForRead(name);
  }
  bool GetFileSize(platform::Handle file, uint32_t* size) override {
    return inner_.GetFileSize(file, size);
  }
  bool ReadFile(platform::Handle file, uint8_t* buffer, uint32_t bytes,
                uint32_t* bytesRead) override {
    const bool ok = inner_.ReadFile(file, buffer, bytes, bytesRead);
    ++reads;
    readBytes += *bytesRead;
    if (buffer != imageBuffer) stagedBytes += *bytesRead;
    return ok;
  }
  void CloseFile(platform::Handle file) override { inner_.CloseFile(file); }
  int OpenText(const std::string& name, std::unique_ptr<platform::TextFile>* file) override {
    return inner_.OpenText(name, file);
  }

  const uint8_t* imageBuffer = nullptr;
  int reads = 0;
  uint64_t readBytes = 0;
  uint64_t stagedBytes = 0;

 private:
  platform::Files& inner_;
};

struct Figures {
  int exitCode = -1;
  double driveSeconds = 0;
  uint64_t commands = 0;
  uint64_t imageBytes = 0;
  uint64_t copiedBytes = 0;
  int fileReads = 0;
  uint64_t fileBytes = 0;
  uint64_t stagedBytes = 0;
};

// One whole run of the scenario in `dir` (its files already there).
Figures RunOnce(sim::Scenario scenario, const fs::path& dir) {
  scenario.options.workdir = dir;
  sim::SimPlatform host(scenario.options);
  sim::SimFiles simFiles(dir);
  WatchedFiles files(simFiles);
  platform::Platform platform = host.platform().WithFiles(files);
  Run run(platform);
  Figures f;
  host.SetScsiObserver([&](const sim::ScsiRecord& c) {
    files.imageBuffer = run.image.firmware.buffer;
    ++f.commands;
    if (c.cdb.size() < 6 || c.cdb[0] != 0x3B || c.cdb[1] != 7) return;
    // A piece of the image: it should be the image buffer at its offset.
    const uint32_t offset = uint32_t{c.cdb[3]} << 16 | uint32_t{c.cdb[4]} << 8 | c.cdb[5];
    f.imageBytes += c.length;
    if (c.data != run.image.firmware.buffer + offset) f.copiedBytes += c.length;
  });
  // The first read happens before any command of the update proper: the
  // buffer exists once host detection has run, which discovery follows.
  DriverHooks hooks = DriverHooks::Program();
  hooks.discoverTargets = [&files](Run& r) {
    files.imageBuffer = r.image.firmware.buffer;
    return DiscoverTargets(r);
  };
  if (scenario.definition) hooks.fillDefinition = sim::DefinitionFiller(*scenario.definition);
  f.exitCode = RunDriver(run, hooks);
  f.driveSeconds = static_cast<double>(host.clock().NowUs()) / 1e6;
  f.fileReads = files.reads;
  f.fileBytes = files.readBytes;
  f.stagedBytes = files.stagedBytes;
  return f;
}

// A folder with the scenario's files for the life of the benchmark.
class Workdir {
 public:
  explicit Workdir(const sim::Scenario& scenario)
      : path_(fs::temp_directory_path() / ("oddfw-bench-" + std::to_string(getpid()))) {
    sim::WriteScenarioFiles(scenario, path_);
  }
  ~Workdir() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  Workdir(const Workdir&) = delete;
  Workdir& operator=(const Workdir&) = delete;
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

// The default scenario as it is, or moved to a Windows 98 host where the
// drive sits at ASPI adapter 0, target 0.
std::string ScenarioText(bool aspi) {
  std::string text(sim::DefaultScenarioText());
  if (!aspi) return text;
  const std::string xp = R"("host": { "windows": "xp", "codePage": 437 })";
  const std::string letter = R"("letter": "E")";
  text.replace(text.find(xp), xp.size(),
               R"("host": { "windows": "98", "aspi": { "adapters": ["ESDI_506"] } })");
  text.replace(text.find(letter), letter.size(), R"("adapter": 0, "target": 0)");
  return text;
}

void DefaultUpdate(benchmark::State& state, bool aspi) {
  const std::string text = ScenarioText(aspi);
  const Workdir dir(sim::ParseScenario(text));
  Figures f;
  for (auto _ : state) {
    state.PauseTiming();
    sim::Scenario scenario = sim::ParseScenario(text);  // fresh drives, not timed
    state.ResumeTiming();
    f = RunOnce(std::move(scenario), dir.path());
  }
  if (f.exitCode != 0 || f.imageBytes == 0) {
    state.SkipWithError("the update did not succeed");
    return;
  }
  const double image = static_cast<double>(f.imageBytes);
  state.counters["drive_s"] = f.driveSeconds;
  state.counters["commands"] = static_cast<double>(f.commands);
  state.counters["image_bytes"] = image;
  state.counters["file_reads"] = f.fileReads;
  state.counters["file_bytes_per_byte"] = static_cast<double>(f.fileBytes) / image;
  state.counters["staged_bytes"] = static_cast<double>(f.stagedBytes);
  state.counters["copies_per_byte"] = static_cast<double>(f.copiedBytes) / image;
}

// scripts/bench runs them with --benchmark_min_time=2; the smoke test in
// ctest with 0 (one run each).
BENCHMARK_CAPTURE(DefaultUpdate, pass_through, false)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(DefaultUpdate, aspi, true)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
