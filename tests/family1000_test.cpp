// The update of the DVD writers (model family 0x1000), run by the real driver
// on simulated hosts with simulated DVD-RW writers: whole updates, the
// texts by model code, the Intel IDE driver under ASPI, failed handshakes,
// retries, the return to normal mode and the refusals.

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "console/catalog.h"
#include "dvd_fixture.h"

namespace oddfw {
namespace {

using testing::RunScenarioFile;
using testing::RunScenarioJson;
using testing::ScenarioRun;

const std::string kBanner = "\n/// ODD Firmware Update Utility Ver2.59B\n";
const std::string kStart = "\r\nStart updating the device No.1.";

std::string Message(MessageCode code, bool japanese = false) {
  return MessageTemplate(code, japanese);
}

// A procedure text as printed: its doubled percent signs print as one.
std::string Printed(const char* text) {
  std::string out;
  for (const char* p = text; *p != '\0'; ++p) {
    out += *p;
    if (p[0] == '%' && p[1] == '%') ++p;
  }
  return out;
}

std::size_t Count(const std::vector<std::string>& names, const std::string& name) {
  return static_cast<std::size_t>(std::count(names.begin(), names.end(), name));
}

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// One DVD-RW writer and a release for it, as scenario JSON.
struct DvdSetup {
  std::string product = "DVD-RW  KWX-730";
  std::string revision = "1.30";
  std::string date = "09/03/10";
  std::string modelCode = "0x1004";
  std::string hardware = "SAT 0730";
  bool kernelPart = false;
  std::string imageSize = "0x40000";
  std::string imageRevision = "1.40 ";
  std::string kernelDate = "09/05/20";
  std::string kernelSize = "0x10000";
  bool kernelFile = true;
  std::string family = R"("handshake": "challenge")";  // the "dvd" family's options
  std::string faults;                                  // the drive's "faults" object
  std::string entryExtra;                              // more keys of the release entry
  std::string aspiAdapter;  // Windows 98 with this ASPI adapter; empty: Windows XP
  int codePage = 437;
  std::string answers = "[]";

  std::string Json() const {
    const std::string image = R"("productId": ")" + product + R"(", "hardwareRevision": ")" +
                              hardware + R"(", "revisionText": ")" + imageRevision + R"(")";
    std::string files = R"("D0000001.140": {"image": {)" + image +
                        R"(, "dateText": "09/06/01", "size": ")" + imageSize + R"("}})";
    if (kernelPart && kernelFile) {
      files += R"(, "D0000000.140": {"image": {)" + image + R"(, "partKind": "K", "dateText": ")" +
               kernelDate + R"(", "kernelRevisionText": "0000", "seed": 2, "size": ")" +
               kernelSize + R"("}})";
    }
    const std::string host = !aspiAdapter.empty() ? R"({"windows": "98", "aspi": {"adapters": [")" +
                                                        aspiAdapter + R"("]}, "codePage": )"
                                                  : R"({"windows": "xp", "codePage": )";
    const std::string place =
        !aspiAdapter.empty() ? R"("adapter": 0, "target": 0)" : R"("letter": "E")";
    return R"({"host": )" + host + std::to_string(codePage) + R"(}, "answers": )" + answers +
           R"(, "definition": {"entries": [{"fileName": "D0000001.140", "productId": ")" + product +
           R"(", "modelCode": ")" + modelCode + R"(", "updateParts": ")" +
           (kernelPart ? "kernel-and-normal" : "normal-only") + R"(")" + entryExtra +
           R"(}]}, "files": {)" + files + R"(}, "drives": [{)" + place +
           R"(, "identity": {"vendor": "QUORVEN", "product": ")" + product + R"(", "revision": ")" +
           revision + R"(", "date": ")" + date + R"("}, "vendorIdentity":
           {"hardwareRevision": ")" +
           hardware +
           R"(", "signature": "GENERAL ", "normalModelName": "GENERAL "}, "family": {"kind": "dvd")" +
           (family.empty() ? "" : ", " + family) + "}" +
           (faults.empty() ? "" : R"(, "faults": )" + faults) + "}]}";
  }
};

std::unique_ptr<ScenarioRun> RunSetup(const DvdSetup& s) {
  return RunScenarioJson(s.Json());
}

// ---- a whole update ---------------------------------------------------------

TEST(Family1000, Kwx730NeedingTheHandshakeIsUpdatedEndToEnd) {
  const auto r = RunScenarioFile("dvd-kwx730-handshake.json");
  EXPECT_EQ(r->exitCode, 0);
  EXPECT_EQ(r->results, std::vector<int32_t>{0});

  // Probe, challenge read, echo and response, kernel mode, the kernel part in
  // two pieces, the normal part in 64, normal mode, the revision read back.
  EXPECT_EQ(r->UpdateCommands(),
            (std::vector<std::string>{"INQ", "R2 F1", "INQ", "R2 F1", "SSU", "TUR", "W1 F3",
                                      "R2 F2", "W1 F2 256", "W1 F2 1024", "W4 FF", "INQ", "INQ",
                                      "W7 FE x2", "W7 F0 x64", "W5 FF", "INQ"}));
  // Two seconds between the kernel part and the normal part.
  uint64_t kernelEndUs = 0;
  uint64_t normalStartUs = 0;
  for (const sim::ScsiRecord& c : r->commands()) {
    if (c.cdb[0] != 0x3B || c.cdb[1] != 7) continue;
    if (c.cdb[2] == 0xFE) kernelEndUs = c.endUs;
    if (c.cdb[2] == 0xF0 && normalStartUs == 0) normalStartUs = c.timeUs;
  }
  EXPECT_GE(normalStartUs - kernelEndUs, 2000000u);
  // The drive got both parts byte for byte and runs the new firmware.
  const std::vector<uint8_t> kernel = r->File("D1004000.140");
  EXPECT_EQ(r->family().kernelModeEntries(), 1u);
  EXPECT_EQ(r->family().reflashes(), 1u);
  EXPECT_EQ(r->DriveRevision(), "1.40 ");
  EXPECT_FALSE(r->family().inKernelMode());
  // The parts are gone from the drive's buffers after its re-flash; the
  // commands carried them.
  std::vector<uint8_t> sentKernel;
  std::vector<uint8_t> sentNormal;
  for (const sim::drive::Command& c : r->drive().history()) {
    if (c.opcode() != 0x3B || c.bufferMode() != 7) continue;
    std::vector<uint8_t>& to = c.bufferId() == 0xFE ? sentKernel : sentNormal;
    EXPECT_EQ(c.bufferOffset(), to.size());
    to.insert(to.end(), c.dataOut.begin(), c.dataOut.end());
  }
  EXPECT_EQ(sentKernel, kernel);
  EXPECT_EQ(sentNormal, r->File("D1004001.140"));

  std::string progress = "\n";
  for (int piece = 0; piece < 64; ++piece) {
    progress += "\rProcessing " + std::to_string(piece * 100 / 64) + "%";
  }
  EXPECT_EQ(r->console(),
            kBanner + kStart + "\nCurrent Revision>> QUORVEN DVD-RW  KWX-730  1.30  09/03/10" +
                Message(61) + progress + "\rProcessing 100% --> Complete" + Message(44) +
                "\nNew Revision    >> QUORVEN DVD-RW  KWX-730  1.40  09/06/01" + Message(12) +
                Message(35));
  ASSERT_EQ(r->boxes().size(), 2u);
  EXPECT_TRUE(Contains(r->boxes()[0].text, "Do you want to update the F/W"));
  EXPECT_EQ(r->boxes()[1].text, Message(35));
}

// The runner as a user runs it: the trace of the same scenario.
TEST(Family1000, TheRunnerTracesTheHandshakeRun) {
  const std::string trace = ::testing::TempDir() + "oddfw-trace-dvd-handshake.jsonl";
  const std::string command = std::string(ODDFW_SIM_BINARY) + " --scenario " + ODDFW_SOURCE_DIR +
                              "/scenarios/dvd-kwx730-handshake.json --trace " + trace +
                              " >/dev/null 2>&1";
  const int status = std::system(command.c_str());
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  std::vector<std::string> cdbs;
  std::ifstream in(trace);
  std::string line;
  while (std::getline(in, line)) {
    const nlohmann::json j = nlohmann::json::parse(line);
    if (!j.contains("scsi") || j["scsi"]["cdb"].get<std::string>().size() < 29) continue;
    const std::string cdb = j["scsi"]["cdb"].get<std::string>();
    if (cdb.substr(0, 2) == "3B")
      cdbs.push_back(cdb.substr(0, 8) + " " + j["scsi"]["result"].get<std::string>());
    if (cdb.substr(0, 8) == "3C 02 F2") cdbs.push_back(cdb.substr(0, 8));
  }
  in.close();
  std::remove(trace.c_str());
  std::vector<std::string> expected = {"3B 01 F3 good", "3C 02 F2",      "3B 01 F2 good",
                                       "3B 01 F2 good", "3B 04 FF good", "3B 07 FE good",
                                       "3B 07 FE good"};
  expected.insert(expected.end(), 64, "3B 07 F0 good");
  expected.push_back("3B 05 FF good");
  EXPECT_EQ(cdbs, expected);
}

TEST(Family1000, ProgressAndCompletionTextsByModelCode) {
  struct Case {
    const char* product;
    const char* modelCode;
    int codePage;
    bool shortText;  // "Complete" and message 44, else the re-flashing text
  };
  const Case cases[] = {
      {"DVD-RW  KWX-720", "0x1003", 437, true},  {"DVD-RW  KWX-730", "0x1004", 437, true},
      {"DVD-RW  KWX-730", "0x1004", 932, true},  {"DVD-RW  KWX-740", "0x1005", 437, false},
      {"DVD-RW  KWX-740", "0x1005", 932, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.modelCode) + " code page " + std::to_string(c.codePage));
    DvdSetup s;
    s.product = c.product;
    s.modelCode = c.modelCode;
    s.family = "";
    s.codePage = c.codePage;
    const auto r = RunSetup(s);
    EXPECT_EQ(r->results, std::vector<int32_t>{0});
    const bool ja = c.codePage == 932;
    const std::string completion =
        c.shortText
            ? Printed(ProcedureTemplate(ProcedureText::TransferDoneShort, ja)) + Message(44, ja)
            : Printed(ProcedureTemplate(ProcedureText::TransferDone, ja));
    // Eight pieces: 0% to 87%, then the completion text and the new revision.
    EXPECT_TRUE(Contains(r->console(),
                         "\n\rProcessing 0%\rProcessing 12%\rProcessing 25%"
                         "\rProcessing 37%\rProcessing 50%\rProcessing 62%"
                         "\rProcessing 75%\rProcessing 87%" +
                             completion + "\nNew Revision    >> QUORVEN " + c.product))
        << r->console();
  }
}

// ---- the Intel IDE driver under ASPI ---------------------------------------

TEST(Family1000, IntelIdeUnderAspiSaysHundredPercentBeforeTheLastPiece) {
  const auto r = RunScenarioFile("dvd-intel-aspi.json");
  EXPECT_EQ(r->exitCode, 0);
  EXPECT_EQ(r->results, std::vector<int32_t>{0});
  const std::string early = "\rProcessing 100%" + Message(44);
  EXPECT_TRUE(Contains(r->console(), "\rProcessing 75%" + early + "\nNew Revision    >> "))
      << r->console();
  EXPECT_FALSE(Contains(r->console(), "-->"));
  // Printed when seven of the eight pieces had gone.
  std::size_t piecesBefore = 0;
  bool printed = false;
  for (const auto& w : r->consoleWrites) {
    if (w.bytes != "\rProcessing 100%") continue;
    printed = true;
    for (std::size_t i = 0; i < w.commandsBefore; ++i) {
      const sim::ScsiRecord& c = r->commands()[i];
      piecesBefore += c.cdb[0] == 0x3B && c.cdb[1] == 7 && c.cdb[2] == 0xF0;
    }
  }
  EXPECT_TRUE(printed);
  EXPECT_EQ(piecesBefore, 7u);
  // No pause after the kernel-mode command: the first piece follows the
  // handshake's INQUIRY at once (100 ms wait of the handshake only).
  EXPECT_EQ(r->UpdateCommands(),
            (std::vector<std::string>{"INQ", "R2 F1", "INQ", "R2 F1", "SSU", "TUR", "W1 F3",
                                      "R2 F2", "W1 F2 256", "W1 F2 1024", "W4 FF", "INQ",
                                      "W7 F0 x8", "W5 FF", "INQ"}));

  // With a length that is not a multiple of 32 KiB there is no early line,
  // and no completion text either.
  DvdSetup s;
  s.aspiAdapter = "intelata";
  s.imageSize = "0x3C000";
  s.family = R"("handshake": "challenge", "reflashWhenReceived": "0x3C000", "reflashMs": 8000)";
  const auto odd = RunSetup(s);
  EXPECT_EQ(odd->results, std::vector<int32_t>{0});
  EXPECT_TRUE(Contains(odd->console(), "\rProcessing 80%\rProcessing 93%\nNew Revision"))
      << odd->console();
  EXPECT_FALSE(Contains(odd->console(), "100%"));
}

// ---- a handshake that fails -------------------------------------------------

TEST(Family1000, AFailedHandshakeGoesOnAndTheTransferAndReadBackDecide) {
  struct Case {
    const char* name;
    const char* faults;
    bool kernelPart;
    int32_t result;
    std::vector<std::string> console;  // in this order
    std::string lastRevision;          // of the drive afterwards
  };
  const char* stepZero = R"({"rules": [{"opcode": "0x3C", "bufferId": "0xF2"}]})";
  const Case cases[] = {
      {"the answer to mode 4 is lost, but the drive went",
       R"({"rules": [{"opcode": "0x3B", "mode": 4, "carriedOut": true}]})",
       true,
       0,
       {Message(14), "\rProcessing 100% --> Complete", Message(12)},
       "1.40 "},
      {"step 0 fails, normal part only: the drive refuses the part and keeps 1.30",
       stepZero,
       false,
       -1,
       {"\nError occurred at step 0.", "\n\rProcessing 0%", Message(42),
        "\nNew Revision    >> QUORVEN DVD-RW  KWX-730  1.30", Message(36)},
       "1.30 "},
      {"step 0 fails with a kernel part: the drive refuses it",
       stepZero,
       true,
       -1,
       {"\nError occurred at step 0.", Message(41), Message(36)},
       "1.30 "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    DvdSetup s;
    s.kernelPart = c.kernelPart;
    s.faults = c.faults;
    const auto r = RunSetup(s);
    EXPECT_EQ(r->results, std::vector<int32_t>{c.result});
    std::size_t at = 0;
    for (const std::string& part : c.console) {
      const std::size_t found = r->console().find(part, at);
      EXPECT_NE(found, std::string::npos) << part << "\n in: " << r->console();
      if (found != std::string::npos) at = found + part.size();
    }
    EXPECT_EQ(Contains(r->console(), Message(12)), c.result == 0);
    EXPECT_EQ(r->DriveRevision(), c.lastRevision);
  }
}

// A failed piece is forgiven only for a drive that took the image anyway:
// this one starts re-flashing as soon as it holds the last piece, whose
// answer is lost (the 22nd command the drive sees: 2 during discovery, 12
// before the normal part, then 8 pieces).
TEST(Family1000, AFailedPieceCountsWhenTheDriveNowRunsTheRelease) {
  DvdSetup s;
  s.family = R"("handshake": "challenge", "reflashWhenReceived": "0x40000", "reflashMs": 1)";
  s.faults = R"({"rules": [{"nth": 22, "opcode": "0x3B", "carriedOut": true, "timeMs": 10}]})";
  const auto r = RunSetup(s);
  EXPECT_EQ(r->results, std::vector<int32_t>{0});
  EXPECT_TRUE(
      Contains(r->console(), "\rProcessing 87%" + Message(42) +
                                 "\nNew Revision    >> QUORVEN DVD-RW  KWX-730  1.40  09/06/01" +
                                 Message(12)))
      << r->console();
  EXPECT_EQ(Count(r->UpdateCommands(), "W5 FF"), 0u);
}

// ---- the drive does not come back ------------------------------------------

TEST(Family1000, RetryAfterTheDriveStaysInItsKernel) {
  const std::string ask47 = Message(47);
  {
    // Yes: a second attempt with the drive in kernel mode: no handshake, no
    // kernel-mode command, the per-drive question again.
    DvdSetup s;
    s.kernelPart = true;
    s.family = R"("handshake": "challenge", "failedReflashes": 1)";
    s.answers = R"(["yes", "yes", "yes"])";
    const auto r = RunSetup(s);
    EXPECT_EQ(r->results, std::vector<int32_t>{0});
    EXPECT_EQ(r->exitCode, 0);
    const std::vector<std::string> boxes = r->BoxTexts();
    ASSERT_EQ(boxes.size(), 4u);
    EXPECT_TRUE(Contains(boxes[0], "Do you want to update the F/W"));
    EXPECT_EQ(boxes[1], ask47);
    EXPECT_TRUE(Contains(boxes[2], "From : QUORVEN DVD-RW  KWX-730  0000"));
    EXPECT_EQ(boxes[3], Message(35));
    const std::vector<std::string> commands = r->UpdateCommands();
    EXPECT_EQ(Count(commands, "W1 F3"), 1u);
    EXPECT_EQ(Count(commands, "W4 FF"), 1u);
    EXPECT_EQ(Count(commands, "W7 FE x2"), 2u);
    EXPECT_EQ(Count(commands, "W7 F0 x8"), 2u);
    EXPECT_EQ(Count(commands, "W5 FF"), 2u);
    EXPECT_TRUE(Contains(r->console(),
                         "\nNew Revision    >> QUORVEN DVD-RW  KWX-730  0000  08/10/01" +
                             std::string("\nCurrent Revision>> QUORVEN DVD-RW  KWX-730  0000  "
                                         "08/10/01")))
        << r->console();
    EXPECT_EQ(r->DriveRevision(), "1.40 ");
  }
  {
    // No: the run stops.
    DvdSetup s;
    s.family = R"("failedReflashes": 1)";
    s.answers = R"(["yes", "no"])";
    const auto r = RunSetup(s);
    EXPECT_EQ(r->results, std::vector<int32_t>{-1});
    EXPECT_EQ(r->exitCode, 1);
    EXPECT_EQ(r->BoxTexts().back(), Message(36));
  }
  {
    // Under the Intel IDE driver and ASPI the drive is told once more to go
    // back to normal mode before the question.
    DvdSetup s;
    s.aspiAdapter = "intelata";
    s.family = R"("failedReflashes": 2)";
    s.answers = R"(["yes", "no"])";
    const auto r = RunSetup(s);
    EXPECT_EQ(r->results, std::vector<int32_t>{-1});
    const std::vector<std::string> commands = r->UpdateCommands();
    ASSERT_GE(commands.size(), 3u);
    EXPECT_EQ(std::vector<std::string>(commands.end() - 3, commands.end()),
              (std::vector<std::string>{"W5 FF", "INQ", "W5 FF"}));
  }
}

TEST(Family1000, ReturnToNormalModeWithinTheModelsTimeOut) {
  struct Case {
    const char* name;
    const char* product;
    const char* modelCode;
    std::string family;
    std::string aspiAdapter;
    uint32_t timeoutS;  // of the mode-5 command (pass-through only)
    bool message15;
    int32_t result;
  };
  const Case cases[] = {
      {"KWX-730 re-flashes in 3 s", "DVD-RW  KWX-730", "0x1004", "", "", 5, false, 0},
      {"KWX-730 answers after 6 s: the wait is given up, the read-back decides", "DVD-RW  KWX-730",
       "0x1004", R"("reflashMs": 6000)", "", 5, true, 0},
      {"KWX-730 still busy at the read-back", "DVD-RW  KWX-730", "0x1004", R"("reflashMs": 9000)",
       "", 5, true, -1},
      {"KWX-720 still busy at the first read-back, not at the second", "DVD-RW  KWX-720", "0x1003",
       R"("reflashMs": 8000)", "", 5, true, 0},
      {"KWX-720 under ASPI has 10 s", "DVD-RW  KWX-720", "0x1003", R"("reflashMs": 8000)",
       "ESDI_506", 0, false, 0},
      {"KWX-730 under ASPI has 5 s", "DVD-RW  KWX-730", "0x1004", R"("reflashMs": 6500)",
       "ESDI_506", 0, true, 0},
      {"KWX-740 takes 20 s", "DVD-RW  KWX-740", "0x1005", R"("reflashMs": 20000)", "", 30, false,
       0},
      {"0x1041 names its normal mode differently", "DVD-RW  KWX-740", "0x1041",
       R"("modelCode": "0x1041", "reflashMs": 25000)", "", 30, false, 0},
      {"0x1006 takes two minutes", "DVD-RW  KWX-750", "0x1006", R"("reflashMs": 120000)", "", 180,
       false, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    DvdSetup s;
    s.product = c.product;
    s.modelCode = c.modelCode;
    s.family = c.family;
    s.aspiAdapter = c.aspiAdapter;
    const auto r = RunSetup(s);
    EXPECT_EQ(r->results, std::vector<int32_t>{c.result});
    uint32_t timeoutS = 0;
    for (const sim::ScsiRecord& cmd : r->commands()) {
      if (cmd.cdb[0] == 0x3B && cmd.cdb[1] == 5) timeoutS = cmd.timeoutS.value_or(0);
    }
    EXPECT_EQ(timeoutS, c.timeoutS);
    EXPECT_EQ(Contains(r->console(), Message(15)), c.message15) << r->console();
    if (c.result == -1) {
      EXPECT_TRUE(Contains(r->console(), Message(9)));
    }
    EXPECT_TRUE(r->host->misuse().empty());
  }
}

TEST(Family1000, KernelModeWithoutTheHandshake) {
  struct Case {
    const char* name;
    std::string family;
    std::string faults;
    int32_t result;
    std::string shown;
  };
  const Case cases[] = {
      {"the kernel answers 0000", "", "", 0, Message(12)},
      {"the kernel-mode command is refused", "", R"({"rules": [{"opcode": "0x3B", "mode": 4}]})",
       -1, Message(14)},
      {"the drive does not show its kernel", R"("kernelRevision": "K101")", "", -1, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    DvdSetup s;
    s.revision = "1.20";  // below the handshake's revisions
    s.family = c.family;
    s.faults = c.faults;
    const auto r = RunSetup(s);
    EXPECT_EQ(r->results, std::vector<int32_t>{c.result});
    if (!c.shown.empty()) {
      EXPECT_TRUE(Contains(r->console(), c.shown)) << r->console();
    }
    const std::vector<std::string> commands = r->UpdateCommands();
    EXPECT_EQ(Count(commands, "W1 F3"), 0u);
    EXPECT_EQ(Count(commands, "W7 F0 x8"), c.result == 0 ? 1u : 0u);
    // The kernel is asked for its identity a second after the command.
    for (std::size_t i = 0; c.faults.empty() && i + 1 < r->commands().size(); ++i) {
      const sim::ScsiRecord& w = r->commands()[i];
      if (w.cdb[0] == 0x3B && w.cdb[1] == 4) {
        EXPECT_GE(r->commands()[i + 1].timeUs - w.endUs, 3000000u);  // 2 s inside, 1 s after
        EXPECT_EQ(r->commands()[i + 1].cdb[0], 0x12);
      }
    }
  }
}

// ---- refusals ---------------------------------------------------------------

TEST(Family1000, RefusalsBeforeTheDriveIsTouched) {
  struct Case {
    const char* name;
    std::unique_ptr<ScenarioRun> (*run)();
    int32_t result;
    std::string shown;
  };
  const Case cases[] = {
      {"KWX-730 at 1.42: the utility is too old",
       [] { return RunScenarioFile("dvd-kwx730-latest.json"); }, -1, Message(55)},
      {"KWX-720 at 1.28, release without kernel part",
       [] { return RunScenarioFile("dvd-kwx720-old-kernel.json"); }, -1, Message(56)},
      {"No to the per-drive question",
       [] {
         DvdSetup s;
         s.answers = R"(["no"])";
         return RunSetup(s);
       },
       7, ""},
      {"No to the irreversible-update question",
       [] {
         DvdSetup s;
         s.entryExtra = R"(, "irreversibleWarning": true)";
         s.answers = R"(["no"])";
         return RunSetup(s);
       },
       1, Message(33)},
      {"the normal image is missing",
       [] {
         DvdSetup s;
         s.imageSize = "0x40000";
         auto scenario = s.Json();
         scenario.replace(scenario.find("D0000001.140\": {"), 12, "D0000001.999");
         return RunScenarioJson(scenario);
       },
       -1, "\r\nFailed to load binary file.\r\n(File Name : D0000001.140)"},
      {"the drive already runs this release",
       [] {
         DvdSetup s;
         s.revision = "1.40";
         s.date = "09/06/01";
         return RunSetup(s);
       },
       1, "\r\nFW is already latest."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto r = c.run();
    EXPECT_EQ(r->results, std::vector<int32_t>{c.result});
    if (!c.shown.empty()) {
      EXPECT_TRUE(Contains(r->console(), c.shown)) << r->console();
    }
    for (const std::string& name : r->UpdateCommands()) {
      EXPECT_NE(name.substr(0, 1), "W") << name;
    }
  }
}

TEST(Family1000, KernelImageProblemsStopTheRunBeforeAnyPartIsWritten) {
  struct Case {
    const char* name;
    bool kernelFile;
    std::string kernelSize;
    std::string kernelDate;
    std::string shown;
  };
  const Case cases[] = {
      {"no kernel file", false, "0x10000", "09/05/20", "\r\nFailed to load kernel binary file."},
      // The drive would otherwise get what the normal image left in the buffer.
      {"a kernel file shorter than the kernel part", true, "0xC000", "09/05/20",
       "\r\nFailed to load kernel binary file."},
      {"the drive runs this kernel already", true, "0x10000", "08/10/01",
       "\nNeed not to update the Kernel."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    DvdSetup s;
    s.kernelPart = true;
    s.kernelFile = c.kernelFile;
    s.kernelSize = c.kernelSize;
    s.kernelDate = c.kernelDate;
    s.family = R"("kernelDate": "08/10/01")";
    const auto r = RunSetup(s);
    EXPECT_EQ(r->results, std::vector<int32_t>{-1});
    EXPECT_TRUE(Contains(r->console(), c.shown)) << r->console();
    const std::vector<std::string> commands = r->UpdateCommands();
    EXPECT_EQ(Count(commands, "W4 FF"), 1u);
    EXPECT_EQ(std::count_if(commands.begin(), commands.end(),
                            [](const std::string& n) { return n.substr(0, 2) == "W7"; }),
              0);
    EXPECT_TRUE(r->family().kernelPart().empty());
  }
}

TEST(Family1000, Model1006BelowRevision023IsToldToPowerCycle) {
  const auto r = RunScenarioFile("dvd-0x1006-power-cycle.json");
  EXPECT_EQ(r->results, std::vector<int32_t>{0});
  const std::vector<std::string> boxes = r->BoxTexts();
  ASSERT_EQ(boxes.size(), 3u);
  EXPECT_EQ(boxes[0], Message(70));
  EXPECT_EQ(r->boxes()[0].type, 0x40u);
  EXPECT_TRUE(Contains(boxes[1], "Do you want to update the F/W"));  // message 82, not 46
  // Already in its kernel: the parts go straight in, no kernel-mode command.
  const std::vector<std::string> commands = r->UpdateCommands();
  EXPECT_EQ(Count(commands, "W4 FF"), 0u);
  EXPECT_EQ(Count(commands, "W7 F0 x32"), 1u);
  EXPECT_EQ(r->DriveRevision(), "1.02 ");
  EXPECT_TRUE(
      Contains(r->console(), Printed(ProcedureTemplate(ProcedureText::TransferDone, false))));
}

}  // namespace
}  // namespace oddfw
