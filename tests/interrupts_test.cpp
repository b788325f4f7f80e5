// Interrupts from the user (Ctrl+C, the console closing) at each phase of a
// run with two drives to update: before the first drive is moved into its
// update mode the run stops without writing to it; once a drive is in its
// update mode it is finished first; either way the run stops before the
// next drive with the interrupted line and message 36, exit code 1.

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "app/driver.h"
#include "update_expectations.h"
#include "update_run.h"

namespace oddfw {
namespace {

using testing::DefaultScenarioWith;
using testing::Json;
using testing::Message;

// Two drives of the release running 1.05, at E: and F:; every question is
// answered Yes unless the case says otherwise.
sim::Scenario TwoDrives(const std::function<void(Json&)>& change = {}) {
  return DefaultScenarioWith([&](Json& s) {
    Json second = s["drives"][0];
    second["letter"] = "F";
    s["drives"].push_back(second);
    if (change) change(s);
  });
}

// When to interrupt, as the run goes: at its start, at a command, or at a
// box. The run (through `host`) is given so the trigger can fire.
struct Trigger {
  std::function<void(sim::SimPlatform& host)> atInstall;
  std::function<void(sim::SimPlatform& host, const sim::ScsiRecord&, int n)> atCommand;
  std::function<void(sim::SimPlatform& host, const sim::BoxRecord&)> atBox;
};

// A run of the program with the trigger armed; what it left behind.
struct InterruptedRun {
  InterruptedRun(sim::Scenario scenario, const Trigger& trigger)
      : dir(testing::FreshTestDir()), s(std::move(scenario)) {
    s.options.workdir = dir;
    sim::WriteScenarioFiles(s, dir);
    host = std::make_unique<sim::SimPlatform>(s.options);
    files = std::make_unique<sim::SimFiles>(dir);
    platform = std::make_unique<platform::Platform>(host->platform().WithFiles(*files));
    run = std::make_unique<Run>(*platform);
    if (trigger.atInstall) {
      host->SetInterruptHooks([this, trigger] { trigger.atInstall(*host); }, {});
    }
    int n = 0;
    host->SetScsiObserver([&, trigger](const sim::ScsiRecord& c) {
      ++n;
      if (trigger.atCommand) trigger.atCommand(*host, c, n);
    });
    host->SetBoxObserver([&, trigger](const sim::BoxRecord& b) {
      if (trigger.atBox) trigger.atBox(*host, b);
    });
    exitCode = RunDriver(*run);
  }
  ~InterruptedRun() { std::filesystem::remove_all(dir); }

  // The commands to one drive ("E:", "F:"), and among them the WRITE BUFFERs.
  std::vector<sim::ScsiRecord> To(const std::string& target) const {
    std::vector<sim::ScsiRecord> out;
    for (const sim::ScsiRecord& c : host->commands()) {
      if (c.target == target) out.push_back(c);
    }
    return out;
  }
  int Writes(const std::string& target) const {
    int n = 0;
    for (const sim::ScsiRecord& c : To(target)) n += c.cdb[0] == 0x3B;
    return n;
  }
  sim::drive::BdFamily& Family(std::size_t drive) {
    return *testing::BdFamilyOf(s.options.drives.at(drive));
  }

  std::filesystem::path dir;
  sim::Scenario s;
  std::unique_ptr<sim::SimPlatform> host;
  std::unique_ptr<sim::SimFiles> files;
  std::unique_ptr<platform::Platform> platform;
  std::unique_ptr<Run> run;
  int exitCode = -100;
};

bool IsPiece(const sim::ScsiRecord& c) {
  return c.cdb[0] == 0x3B && c.cdb[1] == 7;
}

const std::string kStop = std::string(kInterruptedLine) + Message(36);

TEST(Interrupts, AtEachPhaseTheRunStopsBeforeTheNextDrive) {
  struct Case {
    const char* name;
    Trigger trigger;
    bool firstUpdated;       // the first drive runs 1.10 afterwards
    int firstWrites;         // WRITE BUFFERs the first drive got
    std::string consoleEnd;  // how the console ends
  };
  // Where the interrupt came, for the cases that look at it.
  static bool inUpdateMode = false;
  const int kUpdate = 66;  // kernel mode, 64 pieces, normal mode
  const Case cases[] = {
      {"at the start, before discovery",
       {[](sim::SimPlatform& h) { h.Interrupt(); }, {}, {}},
       false,
       0,
       testing::kBanner + kStop},
      {"during the checks of the first drive: it is not moved into its update mode",
       {{},
        [](sim::SimPlatform& h, const sim::ScsiRecord& c, int) {
          if (c.target == "E:" && c.cdb[0] == 0x1B) h.Interrupt();  // the STOP UNIT
        },
        {}},
       false,
       0,
       kStop},
      {"during the transfer: the drive is finished",
       {{},
        [](sim::SimPlatform& h, const sim::ScsiRecord& c, int) {
          if (c.target == "E:" && IsPiece(c) && c.cdb[3] == 0x0F) {  // the piece at 0x0F0000
            inUpdateMode = h.inCriticalStretch();
            h.Interrupt();
          }
        },
        {}},
       true,
       kUpdate,
       testing::UpdateTail() + kStop},
      {"during the re-flash poll: the drive is finished",
       {{},
        [](sim::SimPlatform& h, const sim::ScsiRecord& c, int) {
          if (c.target == "E:" && c.cdb[0] == 0x00 && c.result == "check-condition" &&
              c.sense.size() > 13 && c.sense[12] == 0x04 && c.sense[13] == 0x12) {
            h.Interrupt();
          }
        },
        {}},
       true,
       kUpdate,
       testing::UpdateTail() + kStop},
      {"between the drives, in the pause after the first",
       {{},
        [](sim::SimPlatform& h, const sim::ScsiRecord& c, int) {
          // The read back (INQUIRY with 5 s) after the new firmware's start.
          if (c.target == "E:" && c.cdb[0] == 0x12 && c.timeoutS == 5u && c.timeUs > 30'000'000) {
            h.InterruptAt(h.clock().NowUs() + 1'000'000);
          }
        },
        {}},
       true,
       kUpdate,
       testing::UpdateTail() + kStop},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    inUpdateMode = false;
    InterruptedRun r(TwoDrives(), c.trigger);
    EXPECT_EQ(r.exitCode, 1);
    const std::string& console = r.host->consoleBytes();
    ASSERT_GE(console.size(), c.consoleEnd.size());
    EXPECT_EQ(console.substr(console.size() - c.consoleEnd.size()), c.consoleEnd);
    EXPECT_EQ(r.host->boxes().back().text, Message(36));
    EXPECT_EQ(r.Writes("E:"), c.firstWrites);
    // Never a drive left half way: the first runs 1.10 or its old firmware.
    EXPECT_EQ(r.Family(0).mode(), sim::drive::BdFamily::Mode::kNormal);
    EXPECT_EQ(r.Family(0).reflashCount(), c.firstUpdated ? 1u : 0u);
    // The next drive is never moved into its update mode, nor asked about.
    EXPECT_EQ(r.Writes("F:"), 0);
    EXPECT_EQ(console.find(testing::StartLine(2)), std::string::npos);
    EXPECT_EQ(console.find(Message(35)), std::string::npos);
  }
  // The transfer was in the drive's update mode when the interrupt came.
  InterruptedRun transfer(TwoDrives(), cases[2].trigger);
  EXPECT_TRUE(inUpdateMode);
}

TEST(Interrupts, AtTheRetryQuestionTheAnswerDecidesAndTheRunStops) {
  // The first re-flash fails: the drive stays in its kernel and the retry
  // question comes; the interrupt comes with it.
  for (const bool retry : {true, false}) {
    SCOPED_TRACE(retry ? "Yes: the drive is finished first" : "No: the run stops at once");
    sim::Scenario s = TwoDrives([&](Json& doc) {
      doc["drives"][0]["family"]["failedReflashes"] = 1;
      doc["answers"] = Json::array({"yes", retry ? "yes" : "no"});
    });
    Trigger atRetry{{}, {}, [](sim::SimPlatform& h, const sim::BoxRecord& b) {
                      if (b.text == Message(47)) h.Interrupt();
                    }};
    InterruptedRun r(s, atRetry);
    EXPECT_EQ(r.exitCode, 1);
    const std::string& console = r.host->consoleBytes();
    const std::string end = retry ? testing::UpdateTail() + kStop : kStop;
    ASSERT_GE(console.size(), end.size());
    EXPECT_EQ(console.substr(console.size() - end.size()), end);
    EXPECT_EQ(r.Family(0).mode(),
              retry ? sim::drive::BdFamily::Mode::kNormal : sim::drive::BdFamily::Mode::kKernel);
    EXPECT_EQ(r.Writes("F:"), 0);
    // The line and message 36 come once.
    EXPECT_EQ(console.find(kInterruptedLine), console.rfind(kInterruptedLine));
  }
}

TEST(Interrupts, BeforeTheHandlerIsInstalledAnInterruptEndsTheProgram) {
  sim::SimPlatform host(TwoDrives().options);
  EXPECT_THROW(host.Interrupt(), sim::SimInterruptKilled);
  EXPECT_FALSE(host.interruptsInstalled());
}

}  // namespace
}  // namespace oddfw
