#pragma once
// Whole runs of the program on a scenario: the default scenario or a variant
// of it, its files in a folder of the test's own, and what the run left
// behind (console bytes, boxes, SCSI commands, the drives' state).

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "app/driver.h"
#include "app/run.h"
#include "image_fixture.h"
#include "sim/default_scenario.h"
#include "sim/drive/bd_family.h"
#include "sim/drive/faults.h"
#include "sim/scenario.h"
#include "sim/sim_files.h"
#include "sim/sim_platform.h"

namespace oddfw::testing {

using Json = nlohmann::ordered_json;

// The default scenario, changed by `change` before it is parsed.
inline sim::Scenario DefaultScenarioWith(const std::function<void(Json&)>& change = {}) {
  Json doc = Json::parse(sim::DefaultScenarioText());
  if (change) change(doc);
  return sim::ParseScenario(doc.dump());
}

// The drive model behind an attached device (through a fault layer, if any).
inline sim::drive::Drive* DriveOf(const sim::AttachedDrive& attached) {
  sim::drive::ScsiDevice* device = attached.device.get();
  if (auto* faults = dynamic_cast<sim::drive::FaultInjector*>(device)) device = &faults->inner();
  return dynamic_cast<sim::drive::Drive*>(device);
}

inline sim::drive::BdFamily* BdFamilyOf(const sim::AttachedDrive& attached) {
  sim::drive::Drive* drive = DriveOf(attached);
  return drive != nullptr ? dynamic_cast<sim::drive::BdFamily*>(drive->family()) : nullptr;
}

class UpdateRun {
 public:
  // Writes the scenario's files into a fresh folder and runs the program.
  explicit UpdateRun(sim::Scenario scenario, std::filesystem::path dir = FreshTestDir())
      : scenario_(std::move(scenario)), dir_(std::move(dir)) {
    scenario_.options.workdir = dir_;
    sim::WriteScenarioFiles(scenario_, dir_);
    host_ = std::make_unique<sim::SimPlatform>(scenario_.options);
    files_ = std::make_unique<sim::SimFiles>(dir_);
    platform_ = std::make_unique<platform::Platform>(host_->platform().WithFiles(*files_));
    run_ = std::make_unique<Run>(*platform_);
    // Where each command's data lay: in the image buffer (at which offset)
    // or elsewhere, seen while the buffer exists.
    host_->SetScsiObserver([this](const sim::ScsiRecord& record) {
      const FirmwareImage& image = run_->image.firmware;
      const auto* data = static_cast<const uint8_t*>(record.data);
      const bool inImage = data != nullptr && image.buffer != nullptr && data >= image.buffer &&
                           data < image.buffer + image.capacity;
      imageOffsets_.push_back(inImage ? static_cast<int64_t>(data - image.buffer) : -1);
    });
    DriverHooks hooks = DriverHooks::Program();
    if (scenario_.definition) hooks.fillDefinition = sim::DefinitionFiller(*scenario_.definition);
    exitCode_ = RunDriver(*run_, hooks);
  }
  ~UpdateRun() {
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }
  UpdateRun(const UpdateRun&) = delete;
  UpdateRun& operator=(const UpdateRun&) = delete;

  int exitCode() const { return exitCode_; }
  const std::string& console() const { return host_->consoleBytes(); }
  const std::vector<sim::BoxRecord>& boxes() const { return host_->boxes(); }
  const std::vector<sim::ScsiRecord>& commands() const { return host_->commands(); }
  const sim::FileCounts& fileCounts() const { return files_->counts(); }
  sim::SimPlatform& host() { return *host_; }
  // The offset in the image buffer of the data of command `i`, or -1 when
  // its data lay elsewhere (or it had none).
  int64_t imageOffset(std::size_t i) const { return imageOffsets_.at(i); }
  Run& run() { return *run_; }
  // The scenario as run: its drives are the very drive objects, so a second
  // run can find them as this one left them.
  const sim::Scenario& scenario() const { return scenario_; }
  sim::drive::BdFamily& family(std::size_t drive = 0) {
    sim::drive::BdFamily* f = BdFamilyOf(scenario_.options.drives.at(drive));
    if (f == nullptr) throw std::logic_error("the drive has no BD family");
    return *f;
  }
  std::vector<std::string> boxTexts() const {
    std::vector<std::string> texts;
    for (const sim::BoxRecord& b : boxes()) texts.push_back(b.text);
    return texts;
  }

 private:
  sim::Scenario scenario_;
  std::filesystem::path dir_;
  std::unique_ptr<sim::SimPlatform> host_;
  std::unique_ptr<sim::SimFiles> files_;
  std::unique_ptr<platform::Platform> platform_;
  std::unique_ptr<Run> run_;
  std::vector<int64_t> imageOffsets_;
  int exitCode_ = -100;
};

// One command as a line: CDB, direction and length, time limit and result
// (with sense key/ASC/ASCQ for CHECK CONDITION).
inline std::string Describe(const sim::ScsiRecord& c) {
  std::string line = c.target + " " + sim::drive::HexBytes(c.cdb.data(), c.cdb.size());
  if (c.direction != sim::drive::Direction::kNone) {
    line +=
        (c.direction == sim::drive::Direction::kIn ? " in " : " out ") + std::to_string(c.length);
  }
  if (c.timeoutS) line += " " + std::to_string(*c.timeoutS) + "s";
  line += " " + c.result;
  if (c.result == "check-condition" && c.sense.size() >= 14) {
    line += " " + sim::drive::HexBytes(&c.sense[2], 1) + "/" +
            sim::drive::HexBytes(&c.sense[12], 1) + "/" + sim::drive::HexBytes(&c.sense[13], 1);
  }
  return line;
}

// The commands as lines, a run of equal lines folded into one with " xN".
inline std::vector<std::string> Story(const std::vector<sim::ScsiRecord>& commands,
                                      std::size_t from = 0) {
  std::vector<std::string> lines;
  std::string last;
  int repeats = 0;
  auto flush = [&] {
    if (repeats == 0) return;
    lines.push_back(repeats == 1 ? last : last + " x" + std::to_string(repeats));
  };
  for (std::size_t i = from; i < commands.size(); ++i) {
    const std::string line = Describe(commands[i]);
    if (line == last) {
      ++repeats;
      continue;
    }
    flush();
    last = line;
    repeats = 1;
  }
  flush();
  return lines;
}

// The commands of a run that carry a given CDB prefix (e.g. {0x3B, 0x07}).
inline std::vector<sim::ScsiRecord> CommandsWith(const std::vector<sim::ScsiRecord>& commands,
                                                 std::vector<uint8_t> prefix) {
  std::vector<sim::ScsiRecord> found;
  for (const sim::ScsiRecord& c : commands) {
    if (c.cdb.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), c.cdb.begin())) {
      found.push_back(c);
    }
  }
  return found;
}

}  // namespace oddfw::testing
