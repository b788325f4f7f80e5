// The update of the BD writers, end to end: the default scenario and its
// variants, each run through the whole program on the simulated host. Every
// test holds the console bytes, the boxes and the SCSI commands.

#include <gtest/gtest.h>

#include <deque>
#include <string>
#include <vector>

#include "update_expectations.h"
#include "update_run.h"

namespace oddfw {
namespace {

using testing::CommandsWith;
using testing::CurrentLine;
using testing::DefaultScenarioWith;
using testing::Json;
using testing::kBanner;
using testing::kSignatureLine;
using testing::Message;
using testing::NewLine;
using testing::Question82;
using testing::StartLine;
using testing::Story;
using testing::UpdateRun;

// The commands discovery sends to the drive at E:.
const std::vector<std::string> kDiscovery = {
    "E: 12 00 00 00 60 00 in 96 2s good",
    "E: 3C 02 F1 00 00 00 00 00 30 00 in 48 2s good",
};
const std::string kInquiry = "E: 12 00 00 00 60 00 in 96 5s good";
const std::string kProbe = "E: 12 00 00 00 60 00 in 96 2s good";  // InquireCurrentTarget
const std::string kVendorIdentity = "E: 3C 02 F1 00 00 00 00 00 30 00 in 48 60s good";
const std::string kStop = "E: 1B 00 00 00 00 00 60s good";
const std::string kNoDisc = "E: 00 00 00 00 00 00 60s check-condition 02/3A/00";
const std::string kToKernel = "E: 3B 04 FF 00 00 00 00 01 00 00 out 256 60s good";
const std::string kToNormal = "E: 3B 05 FF 00 00 00 00 01 00 00 out 256 180s good";
const std::string kReflashing = "E: 00 00 00 00 00 00 60s check-condition 02/04/12";
const std::string kRestarted = "E: 00 00 00 00 00 00 60s check-condition 06/29/00";

// The normal-part pieces of an image of `length` bytes, as commands.
std::vector<std::string> Pieces(uint32_t length = 0x200000, uint8_t bufferId = 0xF0) {
  std::vector<std::string> lines;
  for (uint32_t offset = 0; offset < length; offset += 0x8000) {
    const uint32_t piece = std::min<uint32_t>(length - offset, 0x8000);
    const uint8_t cdb[10] = {0x3B,
                             7,
                             bufferId,
                             static_cast<uint8_t>(offset >> 16),
                             static_cast<uint8_t>(offset >> 8),
                             static_cast<uint8_t>(offset),
                             0,
                             static_cast<uint8_t>(piece >> 8),
                             static_cast<uint8_t>(piece),
                             0};
    lines.push_back("E: " + sim::drive::HexBytes(cdb, 10) + " out " + std::to_string(piece) +
                    " 60s good");
  }
  return lines;
}

std::vector<std::string> Join(std::initializer_list<std::vector<std::string>> parts) {
  std::vector<std::string> all;
  for (const auto& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

// The commands of one whole update, from the entry selection to the read
// back, with `polls` re-flash polls.
std::vector<std::string> UpdateCommands(std::size_t polls) {
  return Join(
      {{kInquiry, kVendorIdentity, kInquiry, kVendorIdentity, kStop, kNoDisc, kToKernel, kInquiry},
       Pieces(),
       {kToNormal, kReflashing + " x" + std::to_string(polls), kRestarted, kProbe, kInquiry}});
}

TEST(Family4000, TheDefaultRunUpdatesTheDriveTo110) {
  UpdateRun r(DefaultScenarioWith());
  EXPECT_EQ(r.exitCode(), 0);
  testing::ExpectDefaultConsole(r.console());
  ASSERT_EQ(r.boxes().size(), 2u);
  EXPECT_EQ(r.boxes()[0].text, Question82("1.05 ", "09/01/20"));
  EXPECT_EQ(r.boxes()[0].type, 0x24u);  // Yes/No question
  EXPECT_EQ(r.boxes()[1].text, Message(35));
  EXPECT_EQ(r.boxes()[1].type, 0x40u);  // information

  const std::size_t polls = testing::SplitAtReflash(r.console()).progress.size();
  EXPECT_EQ(Story(r.commands()), Join({kDiscovery, UpdateCommands(polls)}));

  // The drive got the image byte for byte, with the kernel's name and the
  // release checksum in its mode-change blocks, and runs the new firmware.
  sim::drive::BdFamily& drive = r.family();
  EXPECT_EQ(drive.normalPart(), r.scenario().files.at(0).bytes);
  EXPECT_EQ(drive.mode(), sim::drive::BdFamily::Mode::kNormal);
  EXPECT_EQ(drive.reflashCount(), 1u);
  const auto* model = testing::DriveOf(r.scenario().options.drives[0]);
  std::vector<uint8_t> block(256, 0);
  const std::string name = "QUORVEN  MHT-870";
  std::copy(name.begin(), name.end(), block.begin());
  block[16] = 0xAE;
  block[17] = 0xC5;
  block[18] = 0x6D;
  block[19] = 0x65;
  int blocks = 0;
  for (const sim::drive::Command& c : model->history()) {
    if (c.opcode() == 0x3B && (c.bufferMode() == 4 || c.bufferMode() == 5)) {
      EXPECT_EQ(c.dataOut, block);
      ++blocks;
    }
  }
  EXPECT_EQ(blocks, 2);

  // Every piece went straight from the image buffer, at its offset: the
  // program copies nothing on the way to the drive.
  int pieces = 0;
  for (std::size_t i = 0; i < r.commands().size(); ++i) {
    const sim::ScsiRecord& c = r.commands()[i];
    if (c.cdb[0] != 0x3B || c.cdb[1] != 7) continue;
    const int64_t offset = int64_t{c.cdb[3]} << 16 | int64_t{c.cdb[4]} << 8 | c.cdb[5];
    EXPECT_EQ(r.imageOffset(i), offset);
    ++pieces;
  }
  EXPECT_EQ(pieces, 64);

  // The re-flash took the drive's 30 s; the run ends within a minute.
  EXPECT_LT(r.host().clock().NowUs(), 60'000'000u);
}

TEST(Family4000, OnAWindows98HostThePollSeesTheDrivesAnswersToo) {
  // Through ASPI a CHECK CONDITION comes back as a failure like any other;
  // the poll still shows the progress and ends at the restart.
  UpdateRun r(DefaultScenarioWith([](Json& s) {
    s["host"] = {{"windows", "98"}, {"aspi", {{"adapters", {"ESDI_506"}}}}};
    s["drives"][0].erase("letter");
    s["drives"][0]["adapter"] = 0;
    s["drives"][0]["target"] = 0;
  }));
  EXPECT_EQ(r.exitCode(), 0);
  testing::ExpectDefaultConsole(r.console());
  EXPECT_EQ(r.boxTexts(), (std::vector<std::string>{Question82("1.05 ", "09/01/20"), Message(35)}));
  EXPECT_LT(r.host().clock().NowUs(), 60'000'000u);
  const std::vector<sim::ScsiRecord> polls = CommandsWith(r.commands(), {0x00});
  ASSERT_FALSE(polls.empty());
  EXPECT_EQ(polls.back().sense.at(12), 0x29);  // the last one saw the restart
}

TEST(Family4000, ThePollFollowsTheProgressTheDriveReports) {
  // Polling starts 5 s into the 30 s re-flash (the wait after the return to
  // normal mode) and asks every 250 ms, the time the busy drive takes.
  UpdateRun r(DefaultScenarioWith());
  const std::vector<int> progress = testing::SplitAtReflash(r.console()).progress;
  ASSERT_FALSE(progress.empty());
  EXPECT_GE(progress.front(), 15);
  EXPECT_LE(progress.front(), 18);
  EXPECT_NEAR(static_cast<double>(progress.size()), 25'000 / 250.0, 3);
}

// A run that stops before anything is written: the console after the banner
// and the start line, the boxes and the commands after discovery.
struct Refusal {
  const char* name;
  std::function<void(Json&)> change;
  int exitCode;
  std::string console;
  std::vector<std::string> boxes;
  std::vector<std::string> commands;
};

TEST(Family4000, ChecksRefuseTheDriveBeforeAnythingIsWritten) {
  const std::vector<std::string> selected = {kInquiry, kVendorIdentity};
  const std::vector<std::string> checked = {kInquiry, kVendorIdentity, kInquiry, kVendorIdentity};
  const std::string current = CurrentLine("1.05 ", "2009/01/20") + kSignatureLine;
  const std::string fileError = Message(11).replace(Message(11).find("%.12s"), 5, "S1005001.110");
  auto image = [](const char* key, const char* value) {
    return [=](Json& s) { s["files"]["S1005001.110"]["image"][key] = value; };
  };
  auto drive = [](const char* part, const char* key, const char* value) {
    return [=](Json& s) { s["drives"][0][part][key] = value; };
  };
  const Refusal cases[] = {
      {"already latest",
       [](Json& s) {
         s["drives"][0]["identity"]["revision"] = "1.10";
         s["drives"][0]["identity"]["date"] = "2009/02/18";
       },
       0,
       CurrentLine("1.10 ", "2009/02/18") + kSignatureLine + Message(54),
       {Message(54)},
       checked},
      {"older image",
       image("dateText", "09/02/17"),
       1,
       Message(69) + fileError + Message(36),
       {Message(69), fileError, Message(36)},
       selected},
      {"kernel image under the release's name",
       image("partKind", "K"),
       1,
       Message(40) + fileError + Message(36),
       {Message(40), fileError, Message(36)},
       selected},
      {"other hardware revision",
       drive("vendorIdentity", "hardwareRevision", "SAT 0002"),
       0,
       current + Message(1),
       {Message(1)},
       checked},
      {"other signature",
       drive("vendorIdentity", "signature", "HALV    "),
       0,
       CurrentLine("1.05 ", "2009/01/20") + "\nCurrent Signature = HALV    " + Message(37),
       {Message(37)},
       checked},
      {"image for another normal part",
       image("normalModelName", "RAVMO   "),
       0,
       current + Message(3),
       {Message(3)},
       checked},
      {"pre-production firmware",
       drive("identity", "revision", "0.99"),
       0,
       CurrentLine("0.99 ", "2009/01/20") + kSignatureLine + Message(73),
       {Message(73)},
       checked},
      {"a disc in the tray",
       [](Json& s) { s["drives"][0]["disc"] = true; },
       0,
       current + Message(5),
       {Message(5)},
       Join({checked, {kStop, "E: 00 00 00 00 00 00 60s good"}})},
      {"a disc becoming ready",
       [](Json& s) {
         s["drives"][0]["disc"] = true;
         s["drives"][0]["family"]["spinUpMs"] = 60000;
       },
       0,
       current + Message(6),
       {},
       Join({checked, {kStop, "E: 00 00 00 00 00 00 60s check-condition 02/04/01"}})},
      {"No to the question",
       [](Json& s) { s["answers"] = {"no"}; },
       0,
       current,
       {Question82("1.05 ", "09/01/20")},
       Join({checked, {kStop, kNoDisc}})},
      {"No to the warning that the update cannot be undone",
       [](Json& s) {
         s["definition"]["entries"] = {{{"irreversibleWarning", true}}};
         s["answers"] = {"no"};
       },
       0,
       current + Message(33),
       {"\nAfter you change the firmware to ver1.10, \r\nyou can not change the firmware to old "
        "version.\r\nDo you proceed to update ?",
        Message(33)},
       checked},
  };
  for (const Refusal& c : cases) {
    SCOPED_TRACE(c.name);
    UpdateRun r(DefaultScenarioWith(c.change));
    EXPECT_EQ(r.exitCode(), c.exitCode);
    EXPECT_EQ(r.console(), kBanner + StartLine(1) + c.console);
    EXPECT_EQ(r.boxTexts(), c.boxes);
    EXPECT_EQ(Story(r.commands(), kDiscovery.size()), c.commands);
    EXPECT_EQ(r.family().mode(), sim::drive::BdFamily::Mode::kNormal);
  }
}

TEST(Family4000, TheDriveRefusesKernelModeAndTheRunEnds) {
  // The drive expects another checksum than the release's.
  UpdateRun r(
      DefaultScenarioWith([](Json& s) { s["drives"][0]["family"]["checksum"] = "0x12345678"; }));
  EXPECT_EQ(r.exitCode(), 1);
  EXPECT_EQ(r.console(), kBanner + StartLine(1) + CurrentLine("1.05 ", "2009/01/20") +
                             kSignatureLine + Message(61) + Message(14) + Message(36));
  EXPECT_EQ(r.boxTexts(), (std::vector<std::string>{Question82("1.05 ", "09/01/20"), Message(36)}));
  EXPECT_EQ(Story(r.commands(), kDiscovery.size()),
            (std::vector<std::string>{
                kInquiry, kVendorIdentity, kInquiry, kVendorIdentity, kStop, kNoDisc,
                "E: 3B 04 FF 00 00 00 00 01 00 00 out 256 60s check-condition 05/26/00"}));
  EXPECT_EQ(r.family().mode(), sim::drive::BdFamily::Mode::kNormal);
}

TEST(Family4000, AFailedPieceIsReadBackAndRetried) {
  // The tenth piece of the first attempt fails: command 20 counts discovery's
  // two, the selection's, report's and check's six, the stop, the TEST UNIT
  // READY, the kernel-mode entry and its confirmation.
  UpdateRun r(DefaultScenarioWith([](Json& s) {
    s["drives"][0]["faults"] = {
        {"rules", {{{"nth", 20}, {"opcode", "0x3B"}, {"sense", {"0x04", "0x08", "0x00"}}}}}};
  }));
  EXPECT_EQ(r.exitCode(), 0);
  std::string firstAttempt;
  for (uint32_t offset = 0; offset <= 9 * 0x8000; offset += 0x8000) {
    firstAttempt += "\rProcessing " + std::to_string(offset * 100 / 0x200000) + "%";
  }
  const std::string kernel = "0000 ";
  const testing::ReflashSplit s = testing::SplitAtReflash(r.console());
  EXPECT_EQ(s.before, kBanner + StartLine(1) + CurrentLine("1.05 ", "2009/01/20") + kSignatureLine +
                          Message(61) + firstAttempt + Message(42) + NewLine(kernel, "08/12/05  ") +
                          // the retry: the drive runs its kernel, its date is not read
                          testing::UpdateHead(kernel, "08/12/05"));
  testing::ExpectRisingProgress(s.progress);
  EXPECT_EQ(s.after, testing::UpdateTail() + Message(35));
  EXPECT_EQ(r.boxTexts(),
            (std::vector<std::string>{Question82("1.05 ", "09/01/20"), Message(42), Message(47),
                                      Question82(kernel, "08/12/05"), Message(35)}));
  std::vector<std::string> pieces = Pieces();
  pieces.resize(10);
  pieces.back() = "E: 3B 07 F0 04 80 00 00 80 00 00 out 32768 60s check-condition 04/08/00";
  EXPECT_EQ(Story(r.commands(), kDiscovery.size()),
            Join({{kInquiry, kVendorIdentity, kInquiry, kVendorIdentity, kStop, kNoDisc, kToKernel,
                   kInquiry},
                  pieces,
                  // the read back (still the kernel), then the retry, which
                  // skips the entry selection
                  {kInquiry + " x2", kVendorIdentity, kStop, kNoDisc, kToKernel, kInquiry},
                  Pieces(),
                  {kToNormal, kReflashing + " x" + std::to_string(s.progress.size()), kRestarted,
                   kProbe, kInquiry}}));
  EXPECT_EQ(r.family().normalPart(), r.scenario().files.at(0).bytes);
}

TEST(Family4000, AShortImageLeavesTheDriveInItsKernelYesThenNo) {
  // The file holds half the image: the drive will not leave its kernel.
  UpdateRun r(DefaultScenarioWith([](Json& s) {
    s["files"]["S1005001.110"]["image"]["size"] = "0x100000";
    s["answers"] = {"yes", "yes", "yes", "no"};
  }));
  EXPECT_EQ(r.exitCode(), 1);
  const std::string kernel = "0000 ";
  const std::string attempt = Message(61) + testing::TransferLines(0x100000) +
                              testing::kTransferDone + Message(15) + "\n" + testing::kReflashDone +
                              NewLine(kernel, "08/12/05  ");
  EXPECT_EQ(r.console(), kBanner + StartLine(1) + CurrentLine("1.05 ", "2009/01/20") +
                             kSignatureLine + attempt + CurrentLine(kernel, "08/12/05") +
                             kSignatureLine + attempt + Message(36));
  EXPECT_EQ(r.boxTexts(),
            (std::vector<std::string>{Question82("1.05 ", "09/01/20"), Message(47),
                                      Question82(kernel, "08/12/05"), Message(47), Message(36)}));
  // Refused, the return to normal mode leaves the poll nothing to follow:
  // TEST UNIT READY finds the kernel idle and two INQUIRY commands end it.
  const std::vector<std::string> transfer =
      Join({{kToKernel, kInquiry},
            Pieces(0x100000),
            {"E: 3B 05 FF 00 00 00 00 01 00 00 out 256 180s check-condition 05/2C/00", kNoDisc,
             kProbe + " x2"}});
  EXPECT_EQ(Story(r.commands(), kDiscovery.size()),
            Join({{kInquiry, kVendorIdentity, kInquiry, kVendorIdentity, kStop, kNoDisc},
                  transfer,
                  {kInquiry + " x2", kVendorIdentity, kStop, kNoDisc},
                  transfer,
                  {kInquiry}}));
  EXPECT_EQ(r.family().mode(), sim::drive::BdFamily::Mode::kKernel);
  EXPECT_EQ(r.family().reflashCount(), 0u);
}

TEST(Family4000, AKernelOnlyDriveIsFoundAgainAndFinished) {
  // The first run's re-flash fails: the drive comes back in its kernel
  // without a normal part, and the user stops.
  UpdateRun first(DefaultScenarioWith([](Json& s) {
    s["drives"][0]["family"]["failedReflashes"] = 1;
    s["answers"] = {"yes", "no"};
  }));
  EXPECT_EQ(first.exitCode(), 1);
  const testing::ReflashSplit s1 = testing::SplitAtReflash(first.console());
  EXPECT_EQ(s1.before, kBanner + StartLine(1) + testing::UpdateHead());
  testing::ExpectRisingProgress(s1.progress);
  EXPECT_EQ(s1.after, testing::kReflashDone + NewLine("0000 ", "08/12/05  ") + Message(36));
  EXPECT_EQ(first.boxTexts(),
            (std::vector<std::string>{Question82("1.05 ", "09/01/20"), Message(47), Message(36)}));
  EXPECT_EQ(first.family().mode(), sim::drive::BdFamily::Mode::kKernel);

  // A second run finds the drive by its signature and empty normal part,
  // skips the kernel-mode entry and finishes the update.
  sim::Scenario again = first.scenario();
  again.options.answers.clear();
  UpdateRun second(again);
  EXPECT_EQ(second.exitCode(), 0);
  const testing::ReflashSplit s2 = testing::SplitAtReflash(second.console());
  EXPECT_EQ(s2.before, kBanner + StartLine(1) + CurrentLine("0000 ", "08/12/05") + kSignatureLine +
                           Message(61) + testing::TransferLines() + testing::kTransferDone + "\n");
  testing::ExpectRisingProgress(s2.progress);
  EXPECT_EQ(s2.after, testing::UpdateTail() + Message(35));
  EXPECT_EQ(second.boxTexts(),
            (std::vector<std::string>{Question82("0000 ", "08/12/05"), Message(35)}));
  EXPECT_EQ(Story(second.commands()),
            Join({kDiscovery,
                  {kInquiry, kVendorIdentity, kInquiry, kVendorIdentity, kStop, kNoDisc},
                  Pieces(),
                  {kToNormal, kReflashing + " x" + std::to_string(s2.progress.size()), kRestarted,
                   kProbe, kInquiry}}));
  EXPECT_EQ(second.family().mode(), sim::drive::BdFamily::Mode::kNormal);
  EXPECT_EQ(second.family().reflashCount(), 2u);
}

TEST(Family4000, AReleaseWithAKernelPartSendsItFirst) {
  UpdateRun r(DefaultScenarioWith([](Json& s) {
    s["definition"]["entries"] = {{{"updateParts", "kernel-and-normal"}}};
    s["files"]["S1005000.110"]["image"] = {
        {"partKind", "K"}, {"size", "0x11200"}, {"kernelRevisionText", "0002"}, {"seed", 7}};
  }));
  EXPECT_EQ(r.exitCode(), 0);
  testing::ExpectDefaultConsole(r.console());
  // The kernel part in three pieces from the kernel image, then the normal
  // image, loaded again over it.
  EXPECT_EQ(Story(CommandsWith(r.commands(), {0x3B, 0x07, 0xFE})),
            (std::vector<std::string>{"E: 3B 07 FE 00 00 00 00 80 00 00 out 32768 60s good",
                                      "E: 3B 07 FE 00 80 00 00 80 00 00 out 32768 60s good",
                                      "E: 3B 07 FE 01 00 00 00 12 00 00 out 4608 60s good"}));
  EXPECT_EQ(r.fileCounts().binaryOpens, 3);
  EXPECT_EQ(r.fileCounts().OpenNow(), 0);
  EXPECT_EQ(r.family().kernelBytesReceived(), 0x11200u);
  EXPECT_EQ(r.family().normalPart(), r.scenario().files.at(0).bytes);
  // The kernel part went before the normal part, after the kernel check's INQUIRY.
  const std::vector<std::string> story = Story(r.commands(), kDiscovery.size());
  const std::vector<std::string> head(story.begin(), story.begin() + 11);
  EXPECT_EQ(head, (std::vector<std::string>{kInquiry, kVendorIdentity, kInquiry, kVendorIdentity,
                                            kStop, kNoDisc, kToKernel, kInquiry + " x2",
                                            "E: 3B 07 FE 00 00 00 00 80 00 00 out 32768 60s good",
                                            "E: 3B 07 FE 00 80 00 00 80 00 00 out 32768 60s good",
                                            "E: 3B 07 FE 01 00 00 00 12 00 00 out 4608 60s good"}));
  // The drive now runs the new kernel's revision when it is in its kernel.
  EXPECT_EQ(r.family().options().kernelRevision, "0002");
}

TEST(Family4000, KernelPartFailuresEndTheRun) {
  auto kernelRelease = [](std::function<void(Json&)> change) {
    return DefaultScenarioWith([change](Json& s) {
      s["definition"]["entries"] = {{{"updateParts", "kernel-and-normal"}}};
      s["files"]["S1005000.110"]["image"] = {
          {"partKind", "K"}, {"size", "0x11200"}, {"kernelRevisionText", "0002"}};
      change(s);
    });
  };
  auto kernelImage = [](const char* key, Json value) {
    return [key, value](Json& s) { s["files"]["S1005000.110"]["image"][key] = value; };
  };
  struct Case {
    const char* name;
    std::function<void(Json&)> change;
    std::string messages;            // after message 61
    std::vector<std::string> boxes;  // after the question
    std::size_t kernelPieces;        // commands to buffer 0xFE
  };
  const Case cases[] = {
      {"no kernel image", [](Json& s) { s["files"].erase("S1005000.110"); }, Message(72), {}, 0},
      {"a kernel image shorter than the kernel part",
       kernelImage("size", "0x11000"),
       Message(72),
       {},
       0},
      {"a normal image under the kernel's name",
       kernelImage("partKind", "N"),
       Message(39) + Message(72),
       {Message(39)},
       0},
      {"the drive runs that kernel already",
       [](Json& s) {
         s["drives"][0]["family"]["kernelRevision"] = "0002";
         s["drives"][0]["family"]["kernelDate"] = "09/02/18";
       },
       Message(10),
       {},
       0},
      {"a kernel piece fails",
       [](Json& s) {
         // command 13: the second piece, after discovery's two commands, the
         // selection's two, the report's, the check's, the stop, the empty
         // tray, the kernel-mode entry and the two INQUIRY commands after it
         s["drives"][0]["faults"] = {
             {"rules", {{{"opcode", "0x3B"}, {"mode", 7}, {"bufferId", "0xFE"}, {"nth", 13}}}}};
       },
       Message(41),
       {Message(41)},
       2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    UpdateRun r(kernelRelease(c.change));
    EXPECT_EQ(r.exitCode(), 1);
    EXPECT_EQ(r.console(), kBanner + StartLine(1) + CurrentLine("1.05 ", "2009/01/20") +
                               kSignatureLine + Message(61) + c.messages + Message(36));
    std::vector<std::string> boxes = {Question82("1.05 ", "09/01/20")};
    boxes.insert(boxes.end(), c.boxes.begin(), c.boxes.end());
    boxes.push_back(Message(36));
    EXPECT_EQ(r.boxTexts(), boxes);
    EXPECT_EQ(CommandsWith(r.commands(), {0x3B, 0x07, 0xFE}).size(), c.kernelPieces);
    EXPECT_TRUE(CommandsWith(r.commands(), {0x3B, 0x07, 0xF0}).empty());
    EXPECT_EQ(r.family().mode(), sim::drive::BdFamily::Mode::kKernel);
  }
}

TEST(Family4000, TwoDrivesWithAndWithoutTheQuestionPerDrive) {
  auto twoDrives = [](const char* answer) {
    return DefaultScenarioWith([answer](Json& s) {
      Json second = s["drives"][0];
      second["letter"] = "F";
      s["drives"].push_back(second);
      s["answers"] = {answer};
    });
  };
  const std::string question31 =
      "\r\n2 target device(s) is found.\r\nDo you want to update all drives ?";
  for (const char* answer : {"yes", "no"}) {
    SCOPED_TRACE(answer);
    UpdateRun r(twoDrives(answer));
    EXPECT_EQ(r.exitCode(), 0);
    const testing::ReflashSplit one = testing::SplitAtReflash(r.console());
    const testing::ReflashSplit two = testing::SplitAtReflash(one.after, 1);
    EXPECT_EQ(one.before, kBanner + StartLine(1) + testing::UpdateHead());
    EXPECT_EQ(two.before, testing::UpdateTail() + StartLine(2) + testing::UpdateHead());
    EXPECT_EQ(two.after, testing::UpdateTail() + Message(35));
    std::vector<std::string> boxes = {question31};
    if (std::string(answer) == "no") {
      boxes.push_back(Question82("1.05 ", "09/01/20"));
      boxes.push_back(Question82("1.05 ", "09/01/20"));
    }
    boxes.push_back(Message(35));
    EXPECT_EQ(r.boxTexts(), boxes);
    EXPECT_EQ(r.family(0).mode(), sim::drive::BdFamily::Mode::kNormal);
    EXPECT_EQ(r.family(1).mode(), sim::drive::BdFamily::Mode::kNormal);
    EXPECT_EQ(r.family(0).normalPart(), r.family(1).normalPart());
    // E: first, then F:; discovery probes both before either is updated.
    auto at = [](std::vector<std::string> lines, const std::string& letter) {
      for (std::string& line : lines) line.replace(0, 1, letter);
      return lines;
    };
    EXPECT_EQ(Story(r.commands()),
              Join({kDiscovery, at(kDiscovery, "F"), UpdateCommands(one.progress.size()),
                    at(UpdateCommands(two.progress.size()), "F")}));
  }
}

// Answers TEST UNIT READY and INQUIRY from scripts once the drive has been
// told to return to normal mode; everything else (and what the scripts do
// not cover) goes to the drive.
class ScriptedReflash : public sim::drive::ScsiDevice {
 public:
  ScriptedReflash(std::shared_ptr<sim::drive::ScsiDevice> drive,
                  std::vector<sim::drive::Reply> testUnitReady,
                  std::vector<sim::drive::Reply> inquiry)
      : drive_(std::move(drive)),
        testUnitReady_(testUnitReady.begin(), testUnitReady.end()),
        inquiry_(inquiry.begin(), inquiry.end()) {}

  sim::drive::Reply Execute(const sim::drive::Command& c) override {
    std::deque<sim::drive::Reply>* script = !armed_              ? nullptr
                                            : c.opcode() == 0x00 ? &testUnitReady_
                                            : c.opcode() == 0x12 ? &inquiry_
                                                                 : nullptr;
    if (script != nullptr && !script->empty()) {
      sim::drive::Reply r = script->front();
      script->pop_front();
      r.durationUs = 1000;
      return r;
    }
    if (c.opcode() == 0x3B && c.bufferMode() == 5) armed_ = true;
    return drive_->Execute(c);
  }

 private:
  std::shared_ptr<sim::drive::ScsiDevice> drive_;
  std::deque<sim::drive::Reply> testUnitReady_;
  std::deque<sim::drive::Reply> inquiry_;
  bool armed_ = false;
};

sim::drive::Reply Busy(uint16_t progress) {
  sim::drive::Reply r = sim::drive::Reply::Check(2, 0x04, 0x12);
  r.SetProgress(progress);
  return r;
}

sim::drive::Reply Sense(uint8_t key, uint8_t asc, uint8_t ascq) {
  return sim::drive::Reply::Check(key, asc, ascq);
}

sim::drive::Reply Gone() {
  sim::drive::Reply r;
  r.outcome = sim::drive::Outcome::kDeviceGone;
  return r;
}

TEST(Family4000, ThePollDecidesOnWhatTheDriveAnswers) {
  const std::string tur = "E: 00 00 00 00 00 00 60s ";
  const std::string probe = "E: 12 00 00 00 60 00 in 96 2s ";
  struct Case {
    const char* name;
    std::vector<sim::drive::Reply> testUnitReady;
    std::vector<sim::drive::Reply> inquiry;
    std::string progress;               // the console between "\n" and the closing line
    std::vector<std::string> commands;  // after the return to normal mode
    uint64_t pauseUs;                   // before the last probe of the poll
  };
  const Case cases[] = {
      {"progress from sense bytes 16-17",
       {Busy(0x8000), Busy(0xFFFF)},
       {},
       "\rFW Reflashing 50%\rFW Reflashing 99%",
       {tur + "check-condition 02/04/12 x2", kRestarted, kProbe, kInquiry},
       0},
      {"ready: a 2 s pause, then the probe",
       {sim::drive::Reply::Good()},
       {},
       "",
       {tur + "good", kProbe, kInquiry},
       2'000'000},
      {"unit attention: the probe at once",
       {Sense(6, 0x29, 0)},
       {},
       "",
       {kRestarted, kProbe, kInquiry},
       0},
      {"a probe that finds the drive busy sends the poll back",
       {Sense(6, 0x29, 0)},
       {Busy(0)},
       "",
       {kRestarted, probe + "check-condition 02/04/12", kRestarted, kProbe, kInquiry},
       0},
      {"another answer: a drive that answers INQUIRY is done",
       {Sense(3, 0x11, 0)},
       {},
       "",
       {tur + "check-condition 03/11/00", kProbe + " x2", kInquiry},
       0},
      {"another answer: an INQUIRY that finds it busy shows its progress",
       {Sense(3, 0x11, 0)},
       {Busy(0x4000)},
       "\rFW Reflashing 25%",
       {tur + "check-condition 03/11/00", probe + "check-condition 02/04/12", kRestarted, kProbe,
        kInquiry},
       0},
      {"another answer, INQUIRY fails: two more tries 1 s apart",
       {Sense(3, 0x11, 0)},
       {Sense(4, 0x44, 0), Sense(4, 0x44, 0), Sense(4, 0x44, 0)},
       "",
       {tur + "check-condition 03/11/00", probe + "check-condition 04/44/00 x3", kProbe, kInquiry},
       0},
      {"the transport fails: asked again at once",
       {Gone(), Gone()},
       {},
       "",
       {tur + "device-gone x2", kRestarted, kProbe, kInquiry},
       0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    sim::Scenario scenario =
        DefaultScenarioWith([](Json& s) { s["drives"][0]["family"]["reflashMs"] = 0; });
    std::shared_ptr<sim::drive::ScsiDevice>& device = scenario.options.drives[0].device;
    device = std::make_shared<ScriptedReflash>(device, c.testUnitReady, c.inquiry);
    UpdateRun r(scenario);
    EXPECT_EQ(r.exitCode(), 0);
    const std::string head = kBanner + StartLine(1) + testing::UpdateHead();
    EXPECT_EQ(r.console(), head + c.progress + testing::UpdateTail() + Message(35));

    std::vector<sim::ScsiRecord> after;
    bool seen = false;
    for (const sim::ScsiRecord& command : r.commands()) {
      if (seen) after.push_back(command);
      if (command.cdb[0] == 0x3B && command.cdb[1] == 5) seen = true;
    }
    EXPECT_EQ(Story(after), c.commands);
    ASSERT_GE(after.size(), 3u);
    const sim::ScsiRecord& lastProbe = after[after.size() - 2];
    const sim::ScsiRecord& beforeIt = after[after.size() - 3];
    // Waits are whole ticks of the millisecond clock.
    EXPECT_GE(lastProbe.timeUs - beforeIt.endUs + 1000, c.pauseUs);
    EXPECT_LT(lastProbe.timeUs - beforeIt.endUs, c.pauseUs + 2000);
  }
}

TEST(Family4000, TheTwoInquiriesAfterAnUnknownAnswerAreASecondApart) {
  sim::Scenario scenario =
      DefaultScenarioWith([](Json& s) { s["drives"][0]["family"]["reflashMs"] = 0; });
  std::shared_ptr<sim::drive::ScsiDevice>& device = scenario.options.drives[0].device;
  device = std::make_shared<ScriptedReflash>(
      device, std::vector<sim::drive::Reply>{Sense(3, 0x11, 0)},
      std::vector<sim::drive::Reply>{Sense(4, 0x44, 0), Sense(4, 0x44, 0), Sense(4, 0x44, 0)});
  UpdateRun r(scenario);
  const std::vector<sim::ScsiRecord> probes = CommandsWith(r.commands(), {0x12});
  // ... the first three after the re-flash: the failed probe, then the pair.
  ASSERT_GE(probes.size(), 5u);
  const sim::ScsiRecord& second = probes[probes.size() - 4];
  const sim::ScsiRecord& third = probes[probes.size() - 3];
  EXPECT_GE(third.timeUs - second.endUs, 999'000u);
  EXPECT_LT(third.timeUs - second.endUs, 1'002'000u);
}

TEST(Family4000, APollWithoutEndStopsAfterTenMinutesOfDriveTime) {
  // The drive re-flashes for longer than the poll waits; the read back then
  // finds it still busy and the run ends.
  UpdateRun r(
      DefaultScenarioWith([](Json& s) { s["drives"][0]["family"]["reflashMs"] = 2'000'000; }));
  EXPECT_EQ(r.exitCode(), 1);
  const testing::ReflashSplit s = testing::SplitAtReflash(r.console());
  EXPECT_EQ(s.before, kBanner + StartLine(1) + testing::UpdateHead());
  EXPECT_FALSE(s.progress.empty());
  EXPECT_LE(s.progress.back(), 40);  // 600 s of 2000 s, and the 5 s before
  EXPECT_EQ(s.after, testing::kReflashDone + Message(9) + Message(36));
  const std::vector<sim::ScsiRecord> polls = CommandsWith(r.commands(), {0x00});
  ASSERT_GT(polls.size(), 2u);
  // The first poll follows the stop and the empty-tray check; the last ends
  // the ten minutes.
  const uint64_t spanUs = polls.back().endUs - polls[1].timeUs;
  EXPECT_GE(spanUs, 599'000'000u);
  EXPECT_LE(spanUs, 600'500'000u);
  EXPECT_EQ(r.boxTexts().back(), Message(36));
}

TEST(Family4000, ADriveThatVanishesWhileItReflashesEndsThePoll) {
  // The fifth TEST UNIT READY of the poll finds the drive gone. On
  // pass-through the device then no longer opens (-2, no sense data): the
  // poll does not take the sense of the drive's last answer ("re-flashing")
  // for a new one, tries the probe and ends; the read back fails. Through
  // ASPI every command fails at once (-1): after a hundred the poll asks ten
  // times a second, and its ten minutes end it.
  for (const bool aspi : {false, true}) {
    SCOPED_TRACE(aspi ? "aspi" : "pass-through");
    UpdateRun r(DefaultScenarioWith([aspi](Json& s) {
      Json& drive = s["drives"][0];
      drive["faults"] = Json::parse(R"({"rules": [{"nth": 80, "action": "disappear"}]})");
      if (aspi) {
        s["host"] = Json::parse(R"({"windows": "98", "aspi": {"adapters": ["ESDI_506"]}})");
        drive.erase("letter");
        drive["adapter"] = 0;
        drive["target"] = 0;
      }
    }));
    EXPECT_EQ(r.exitCode(), 1);
    const testing::ReflashSplit split = testing::SplitAtReflash(r.console());
    EXPECT_EQ(split.progress.size(), 4u);  // the four answers before it vanished
    EXPECT_EQ(split.after, testing::kReflashDone + Message(9) + Message(36));
    const std::vector<sim::ScsiRecord> polls = CommandsWith(r.commands(), {0x00});
    if (!aspi) {
      // The empty-tray check's and the poll's five; later ones do not open the device.
      EXPECT_EQ(polls.size(), 1u + 5u);
    } else {
      EXPECT_GT(polls.size(), 6000u);
      EXPECT_LT(polls.size(), 6200u);
      EXPECT_GE(polls.back().timeUs - polls[1].timeUs, 599'000'000u);
    }
  }
}

}  // namespace
}  // namespace oddfw
