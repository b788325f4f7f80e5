// The system is kept awake while a drive is in its update mode: from the
// move into kernel mode until the new revision has been read back, and let
// sleep again on every way out of the procedure.

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "app/driver.h"
#include "sim/drive/faults.h"
#include "sim/scenario.h"
#include "sim_run.h"

namespace oddfw {
namespace {

using sim::drive::Command;
using sim::drive::Drive;
using sim::drive::Reply;

// A drive that takes every WRITE BUFFER: kernel mode, the image pieces and
// the move back to normal mode. It reports no re-flash of its own, so the
// procedure reads its revision back at once.
class TakesEveryWrite : public sim::drive::FamilyBehaviour {
 public:
  bool Execute(Drive&, const Command& command, Reply& reply) override {
    if (command.opcode() != sim::drive::kOpWriteBuffer) return false;
    reply.status = sim::drive::kStatusGood;
    return true;
  }
};

// One program run on an XP host with a drive of the release at E:, the
// built-in image in the working directory, and what happened in order: each
// SCSI command as "cdb-bytes result" and each power call as "awake on/off".
struct AwakeRun {
  AwakeRun(const std::string& drive, const std::string& answer, bool takesWrites) {
    dir = std::filesystem::path(::testing::TempDir()) /
          ("oddfw-awake-" + std::to_string(reinterpret_cast<uintptr_t>(this)));
    sim::Scenario s = sim::ParseScenario(R"({"host": {"windows": "xp"}, "answers": [")" + answer +
                                         R"("],
            "files": {"S1005001.110": {"image": {}}},
            "drives": [)" + drive + "]}");
    sim::WriteScenarioFiles(s, dir);
    s.options.workdir = dir;
    std::shared_ptr<sim::drive::ScsiDevice> device = s.options.drives.at(0).device;
    if (auto* faults = dynamic_cast<sim::drive::FaultInjector*>(device.get())) {
      device = std::shared_ptr<sim::drive::ScsiDevice>(device, &faults->inner());
    }
    if (takesWrites) {
      dynamic_cast<Drive&>(*device).SetFamily(std::make_unique<TakesEveryWrite>());
    }
    r = std::make_unique<testing::SimRun>(s.options);
    r->host.SetScsiObserver([this](const sim::ScsiRecord& c) {
      events.push_back(sim::drive::HexBytes(c.cdb.data(), 3) + " " + c.result);
    });
    r->host.SetPowerObserver([this](const sim::PowerRecord& p) {
      events.push_back(p.keepAwake ? "awake on" : "awake off");
    });
    exitCode = RunDriver(r->run);
  }
  ~AwakeRun() { std::filesystem::remove_all(dir); }

  // The events from the first "awake on" to the last "awake off".
  std::vector<std::string> Span() const {
    std::size_t first = 0;
    while (first < events.size() && events[first] != "awake on") ++first;
    std::size_t last = events.size();
    while (last > first && events[last - 1] != "awake off") --last;
    return {events.begin() + static_cast<std::ptrdiff_t>(first),
            events.begin() + static_cast<std::ptrdiff_t>(last)};
  }
  int Count(const std::string& event) const {
    return static_cast<int>(std::count(events.begin(), events.end(), event));
  }

  std::filesystem::path dir;
  std::unique_ptr<testing::SimRun> r;
  std::vector<std::string> events;
  int exitCode = -1;
};

const std::string kDrive = R"({"letter": "E", "preset": "release"})";

TEST(KeepAwake, HeldFromKernelModeToTheRevisionReadBack) {
  AwakeRun a(kDrive, "yes", true);
  EXPECT_EQ(a.exitCode, 0);
  EXPECT_EQ(a.Count("awake on"), 1);
  EXPECT_EQ(a.Count("awake off"), 1);
  const std::vector<std::string> span = a.Span();
  ASSERT_GE(span.size(), 4u);
  // The move into kernel mode comes right after it is taken...
  EXPECT_EQ(span[1], "3B 04 FF good");
  // ...the whole transfer and the move back to normal mode lie inside...
  int pieces = 0;
  for (const std::string& e : span) pieces += e == "3B 07 F0 good";
  EXPECT_EQ(pieces, 64);  // 2 MiB in 32 KiB pieces
  EXPECT_NE(std::find(span.begin(), span.end(), "3B 05 FF good"), span.end());
  // ...and the revision read back (INQUIRY) is the last command before it
  // is let go; nothing is sent to the drive after it.
  EXPECT_EQ(span[span.size() - 2], "12 00 00 good");
  EXPECT_EQ(a.events.back(), "awake off");
}

TEST(KeepAwake, LetGoOnEveryWayOut) {
  struct Case {
    const char* name;
    std::string drive;
    const char* answer;
    bool takesWrites;
    int exitCode;
    int pairs;  // how often the system was kept awake and let go
  };
  const Case cases[] = {
      // The drive refuses kernel mode: the run stops (message 36).
      {"kernel mode refused", kDrive, "yes", false, 1, 1},
      // The first image piece fails (message 42); the revision read back is
      // still the old one, so the run stops.
      {"a piece of the image fails",
       R"({"letter": "E", "preset": "release", "faults": {"rules": [
           {"opcode": "0x3B", "mode": 7, "nth": 0, "times": 1, "probability": 1.0}]}})",
       "yes", true, 1, 1},
      // The user declines: the drive never enters its update mode.
      {"the update is declined", kDrive, "no", true, 0, 0},
  };
  for (const Case& c : cases) {
    AwakeRun a(c.drive, c.answer, c.takesWrites);
    EXPECT_EQ(a.exitCode, c.exitCode) << c.name;
    EXPECT_EQ(a.Count("awake on"), c.pairs) << c.name;
    EXPECT_EQ(a.Count("awake off"), c.pairs) << c.name;
    if (c.pairs != 0) {
      EXPECT_EQ(a.events.back(), "awake off") << c.name;
      EXPECT_EQ(a.Span().at(1),
                "3B 04 FF " + std::string(c.takesWrites ? "good" : "check-condition"))
          << c.name;
    }
  }
}

}  // namespace
}  // namespace oddfw
