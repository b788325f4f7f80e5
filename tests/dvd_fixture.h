#pragma once
// The maker's DVD-RW writers in the simulator, and whole program runs on a
// scenario: its files in a working directory of the test's own, its release
// definition, the real driver and procedures.

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "app/driver.h"
#include "app/run.h"
#include "image_fixture.h"
#include "procedures/procedures.h"
#include "sim/drive/drive.h"
#include "sim/drive/dvd_family.h"
#include "sim/drive/faults.h"
#include "sim/scenario.h"
#include "sim/sim_platform.h"

namespace oddfw::testing {

// A QUORVEN DVD-RW writer in normal mode with the vendor identity a drive of
// the release answers.
inline sim::drive::DriveProfile DvdProfile(const std::string& product = "DVD-RW  KWX-730",
                                           const std::string& revision = "1.30",
                                           const std::string& date = "09/03/10") {
  sim::drive::DriveProfile p;
  p.vendor = "QUORVEN";
  p.product = product;
  p.revision = revision;
  p.date = date;
  p.vendorIdentity = sim::drive::VendorIdentityText{"SAT 0730", "GENERAL ", "GENERAL "};
  return p;
}

inline std::shared_ptr<sim::drive::Drive> DvdDrive(const sim::drive::DriveProfile& profile,
                                                   const sim::drive::DvdOptions& options = {}) {
  auto drive = sim::drive::MakeDrive(profile);
  drive->SetFamily(std::make_unique<sim::drive::DvdFamily>(*drive, options));
  return drive;
}

inline sim::drive::DvdFamily& FamilyOf(sim::drive::Drive& drive) {
  return dynamic_cast<sim::drive::DvdFamily&>(*drive.family());
}

// A short name per command, so a test states the order of a run:
// "INQ", "TUR", "SSU", "R2 F1" (READ BUFFER mode 2, buffer 0xF1),
// "W1 F2 256" (WRITE BUFFER with data: its length), "W4 FF".
inline std::string CommandName(const sim::ScsiRecord& c) {
  char text[32];
  switch (c.cdb.empty() ? 0xFF : c.cdb[0]) {
    case 0x00:
      return "TUR";
    case 0x12:
      return "INQ";
    case 0x1B:
      return "SSU";
    case 0x3C:
      std::snprintf(text, sizeof text, "R%d %02X", c.cdb[1] & 0x1F, c.cdb[2]);
      return text;
    case 0x3B:
      if (c.cdb[2] == 0xF2) {
        std::snprintf(text, sizeof text, "W%d F2 %u", c.cdb[1] & 0x1F, c.length);
      } else {
        std::snprintf(text, sizeof text, "W%d %02X", c.cdb[1] & 0x1F, c.cdb[2]);
      }
      return text;
    default:
      std::snprintf(text, sizeof text, "op %02X", c.cdb[0]);
      return text;
  }
}

// The names of commands, runs of the same command written once with their
// count ("W7 F0 x64").
inline std::vector<std::string> CommandNames(const std::vector<sim::ScsiRecord>& commands,
                                             std::size_t from = 0) {
  std::vector<std::string> names;
  std::string last;
  int repeat = 0;
  auto flush = [&] {
    if (repeat > 1) names.back() += " x" + std::to_string(repeat);
  };
  for (std::size_t i = from; i < commands.size(); ++i) {
    const std::string name = CommandName(commands[i]);
    if (name == last && name != "INQ") {
      ++repeat;
      continue;
    }
    flush();
    names.push_back(name);
    last = name;
    repeat = 1;
  }
  flush();
  return names;
}

// A scenario run from start to exit, in this process, so the test can look at
// the drives afterwards.
struct ScenarioRun {
  explicit ScenarioRun(sim::Scenario s) : scenario(std::move(s)), dir(FreshTestDir()) {
    sim::WriteScenarioFiles(scenario, dir);
    scenario.options.workdir = dir;
    host = std::make_unique<sim::SimPlatform>(scenario.options);
    host->SetConsoleSink([this](std::string_view bytes) {
      consoleWrites.push_back({host->commands().size(), std::string(bytes)});
    });
    run = std::make_unique<Run>(host->platform());
    DriverHooks hooks = DriverHooks::Program();
    if (scenario.definition) hooks.fillDefinition = sim::DefinitionFiller(*scenario.definition);
    hooks.procedures.family1000 = [this](Run& r) {
      procedureStarts.push_back(host->commands().size());
      results.push_back(UpdateFamily1000(r));
      return results.back();
    };
    exitCode = RunDriver(*run, hooks);
  }
  ~ScenarioRun() {
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
  }
  ScenarioRun(const ScenarioRun&) = delete;
  ScenarioRun& operator=(const ScenarioRun&) = delete;

  const std::string& console() const { return host->consoleBytes(); }
  const std::vector<sim::BoxRecord>& boxes() const { return host->boxes(); }
  const std::vector<sim::ScsiRecord>& commands() const { return host->commands(); }
  // The commands the update of the first drive sent.
  std::vector<std::string> UpdateCommands() const {
    return procedureStarts.empty() ? std::vector<std::string>{}
                                   : CommandNames(commands(), procedureStarts[0]);
  }
  std::vector<std::string> BoxTexts() const {
    std::vector<std::string> texts;
    for (const sim::BoxRecord& b : boxes()) texts.push_back(b.text);
    return texts;
  }
  // The simulated drive `i`, under its fault layer if it has one.
  sim::drive::Drive& drive(std::size_t i = 0) const {
    sim::drive::ScsiDevice* device = scenario.options.drives.at(i).device.get();
    if (auto* faults = dynamic_cast<sim::drive::FaultInjector*>(device)) device = &faults->inner();
    return dynamic_cast<sim::drive::Drive&>(*device);
  }
  sim::drive::DvdFamily& family(std::size_t i = 0) const { return FamilyOf(drive(i)); }
  std::vector<uint8_t> File(const std::string& name) const {
    for (const sim::ScenarioFile& f : scenario.files) {
      if (f.name == name) return f.bytes;
    }
    return {};
  }
  std::string DriveRevision(std::size_t i = 0) const {
    return std::string(drive(i).inquiry.begin() + 32, drive(i).inquiry.begin() + 37);
  }

  struct ConsoleWrite {
    std::size_t commandsBefore;  // SCSI commands the host had seen when it was written
    std::string bytes;
  };

  sim::Scenario scenario;
  std::filesystem::path dir;
  std::unique_ptr<sim::SimPlatform> host;
  std::unique_ptr<Run> run;
  std::vector<ConsoleWrite> consoleWrites;
  std::vector<std::size_t> procedureStarts;  // command count when each drive's update began
  std::vector<int32_t> results;              // what the procedure returned for each drive
  int exitCode = -100;
};

inline std::unique_ptr<ScenarioRun> RunScenarioJson(const std::string& json) {
  return std::make_unique<ScenarioRun>(sim::ParseScenario(json));
}

inline std::unique_ptr<ScenarioRun> RunScenarioFile(const std::string& name) {
  return std::make_unique<ScenarioRun>(
      sim::LoadScenario(std::string(ODDFW_SOURCE_DIR) + "/scenarios/" + name));
}

}  // namespace oddfw::testing
