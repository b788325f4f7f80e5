#include "app/driver.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "console/catalog.h"
#include "sim/scenario.h"
#include "sim_run.h"

namespace oddfw {
namespace {

using testing::SimRun;

const std::string kBanner = "\n/// ODD Firmware Update Utility Ver2.59B\n";

struct Call {
  int32_t currentTarget;
  bool updateAllDrives;
  uint64_t timeUs;
};

// A driver run with `drives` drives whose procedure returns `results` in turn.
struct DriverRun {
  DriverRun(int drives, std::vector<int32_t> results, std::vector<int> answers = {},
            int32_t modelCode = 0x4004) {
    sim::SimOptions o;
    o.answers = std::move(answers);
    r = std::make_unique<SimRun>(o);
    DriverHooks hooks = DriverHooks::Program();
    hooks.fillDefinition = [modelCode](Run& run) {
      FillBuiltInDefinition(run);
      run.definition.definition.entries[0].modelCode = modelCode;
      return 1;
    };
    hooks.discoverTargets = [drives](Run& run) {
      run.host.targetCount = drives;
      return drives;
    };
    Procedure fake = [this, results](Run& run) {
      calls.push_back(
          {run.driver.currentTarget, run.driver.updateAllDrives, r->host.clock().NowUs()});
      return results.at(calls.size() - 1);
    };
    hooks.procedures = {fake, fake, fake};
    exitCode = RunDriver(r->run, hooks);
    endUs = r->host.clock().NowUs();
  }
  const std::string& console() const { return r->host.consoleBytes(); }
  const std::vector<sim::BoxRecord>& boxes() const { return r->host.boxes(); }

  std::unique_ptr<SimRun> r;
  std::vector<Call> calls;
  int exitCode = -100;
  uint64_t endUs = 0;
};

std::string Start(int n) {
  return "\r\nStart updating the device No." + std::to_string(n) + ".";
}

TEST(Driver, RunsTheLoopAsTheDriveResultsSay) {
  struct Case {
    const char* name;
    int drives;
    std::vector<int32_t> results;
    std::vector<int> answers;
    int exitCode;
    std::string consoleAfterBanner;
    std::vector<std::string> boxTexts;
    std::vector<bool> updateAll;  // per procedure call
  };
  const std::string q2 = "\r\n2 target device(s) is found.\r\nDo you want to update all drives ?";
  const std::string q3 = "\r\n3 target device(s) is found.\r\nDo you want to update all drives ?";
  const std::string done = "\r\nUpdate operation is completed.";
  const std::string fatal = "\r\nUpdate program is terminated by occuring an error.\r\n";
  const Case cases[] = {
      {"no drive",
       0,
       {},
       {},
       1,
       "\r\nAvailable target is not found.",
       {"\r\nAvailable target is not found."},
       {}},
      {"one drive: no question, per-drive questions",
       1,
       {0},
       {},
       0,
       Start(1) + done,
       {done},
       {false}},
      {"two drives, No: per-drive questions",
       2,
       {0, 0},
       {platform::kIdNo},
       0,
       Start(1) + Start(2) + done,
       {q2, done},
       {false, false}},
      {"two drives, Yes",
       2,
       {0, 0},
       {platform::kIdYes},
       0,
       Start(1) + Start(2) + done,
       {q2, done},
       {true, true}},
      {"two drives, the question box fails",
       2,
       {0, 0},
       {0},
       0,
       Start(1) + Start(2) + done,
       {q2, done},
       {true, true}},
      {"three drives, all updated",
       3,
       {0, 0, 0},
       {},
       0,
       Start(1) + Start(2) + Start(3) + done,
       {q3, done},
       {true, true, true}},
      {"two of three updated",
       3,
       {0, 1, 0},
       {},
       0,
       Start(1) + Start(2) + Start(3) + "\r\n2drive(s) have been updated successfully.",
       {q3, "\r\n2drive(s) have been updated successfully."},
       {true, true, true}},
      {"none updated",
       3,
       {1, 7, 1},
       {},
       0,
       Start(1) + Start(2) + Start(3),
       {q3},
       {true, true, true}},
      {"first of three fatal", 3, {-1}, {}, 1, Start(1) + fatal, {q3, fatal}, {true}},
      {"second of two fatal after a success",
       2,
       {0, -1},
       {},
       1,
       Start(1) + Start(2) + fatal,
       {q2, fatal},
       {true, true}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    DriverRun d(c.drives, c.results, c.answers);
    EXPECT_EQ(d.exitCode, c.exitCode);
    EXPECT_EQ(d.console(), kBanner + c.consoleAfterBanner);
    std::vector<std::string> texts;
    for (const auto& b : d.boxes()) texts.push_back(b.text);
    EXPECT_EQ(texts, c.boxTexts);
    std::vector<bool> updateAll;
    for (const Call& call : d.calls) updateAll.push_back(call.updateAllDrives);
    EXPECT_EQ(updateAll, c.updateAll);
    for (std::size_t i = 0; i < d.calls.size(); ++i) {
      EXPECT_EQ(d.calls[i].currentTarget, static_cast<int32_t>(i));
    }
  }
}

TEST(Driver, BoxStylesOfItsMessages) {
  DriverRun fatal(2, {-1}, {});
  ASSERT_EQ(fatal.boxes().size(), 2u);
  EXPECT_EQ(fatal.boxes()[0].type, 0x24u);  // question 31
  EXPECT_EQ(fatal.boxes()[1].type, 0x30u);  // warning 36
  DriverRun none(0, {});
  ASSERT_EQ(none.boxes().size(), 1u);
  EXPECT_EQ(none.boxes()[0].type, 0x40u);  // information 28
}

TEST(Driver, PausesTwoSecondsAfterEverySuccess) {
  DriverRun d(3, {0, 1, 0});
  ASSERT_EQ(d.calls.size(), 3u);
  // The fake procedures take no time: what lies between them is the pause.
  EXPECT_GE(d.calls[1].timeUs - d.calls[0].timeUs, 2000000u);
  EXPECT_LT(d.calls[1].timeUs - d.calls[0].timeUs, 2010000u);
  EXPECT_LT(d.calls[2].timeUs - d.calls[1].timeUs, 1000u);  // no pause after a refusal
  EXPECT_GE(d.endUs - d.calls[2].timeUs, 2000000u);         // also after the last drive
}

TEST(Driver, FamilyWithoutProcedureCountsAsNotUpdated) {
  DriverRun d(1, {}, {}, 0x2000);
  EXPECT_EQ(d.exitCode, 0);
  EXPECT_TRUE(d.calls.empty());
  EXPECT_EQ(d.console(), kBanner + Start(1));
}

TEST(Driver, ProgramRunOnAHostWithoutDrives) {
  SimRun r;
  EXPECT_EQ(RunDriver(r.run), 1);
  EXPECT_EQ(r.host.consoleBytes(), kBanner + "\r\nAvailable target is not found.");
}

// Message 87 tells a user without administrator rights why no drive was
// found: every drive letter there is refused the program.
TEST(Driver, MissingAccessRightsAreNamedBeforeNoTarget) {
  const std::string kDenied =
      "\r\nYou denyed to access to logical drive.\r\nIf you will update the firmware, then you "
      "need to login with the administrative privilege.";
  const std::string kNoTarget = "\r\nAvailable target is not found.";
  struct Letter {
    char letter;
    uint32_t openError;
    bool release;
  };
  struct Case {
    const char* name;
    std::vector<Letter> letters;
    bool denied;
  };
  const Case cases[] = {
      {"every letter refused", {{'D', 5, false}, {'F', 5, true}}, true},
      {"one letter refused, another opened", {{'D', 5, false}, {'E', 0, false}}, false},
      {"no drive letters at all", {}, false},
      {"a letter refused for another reason", {{'D', 32, true}}, false},
      {"a refused letter and a missing one", {{'D', 2, true}, {'E', 5, true}}, true},
  };
  for (const Case& c : cases) {
    sim::SimOptions o;
    for (const Letter& l : c.letters) {
      o.AddDriveAtLetter(l.letter, l.release ? sim::drive::DriveProfile::ReleaseDrive()
                                             : sim::drive::DriveProfile::OtherMaker());
      o.drives.back().openError = l.openError;
    }
    SimRun r(o);
    EXPECT_EQ(RunDriver(r.run), 1) << c.name;
    EXPECT_EQ(r.host.consoleBytes(), kBanner + (c.denied ? kDenied : "") + kNoTarget) << c.name;
    std::vector<uint32_t> types;
    for (const sim::BoxRecord& box : r.host.boxes()) types.push_back(box.type);
    const std::vector<uint32_t> wanted =
        c.denied ? std::vector<uint32_t>{0x30, 0x40} : std::vector<uint32_t>{0x40};
    EXPECT_EQ(types, wanted) << c.name;
  }
}

// On an ASPI host the drive letters play no part.
TEST(Driver, NoAccessRightsMessageOnAnAspiHost) {
  sim::SimOptions o;
  o.osVersion = sim::WindowsVersion("98");
  o.InstallAspi({"ESDI_506"});
  o.AddDriveAtLetter('D', sim::drive::DriveProfile::ReleaseDrive());
  o.drives.back().openError = 5;
  SimRun r(o);
  EXPECT_EQ(RunDriver(r.run), 1);
  EXPECT_EQ(r.host.consoleBytes(), kBanner + "\r\nAvailable target is not found.");
}

}  // namespace
}  // namespace oddfw
