// The simulator runner as a user runs it: stdout carries exactly the
// program's console bytes, boxes go to stderr, the exit code is the program's.

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "app/driver.h"
#include "console/catalog.h"
#include "sim/default_scenario.h"
#include "update_expectations.h"

namespace oddfw {
namespace {

struct Result {
  int exitCode = -1;
  std::string out;
  std::string err;
};

Result RunSim(const std::string& args) {
  // One stderr file per test: ctest runs the tests of this file in parallel.
  const std::string errFile = ::testing::TempDir() + "oddfw-sim-stderr-" +
                              ::testing::UnitTest::GetInstance()->current_test_info()->name() +
                              ".txt";
  const std::string command = std::string(ODDFW_SIM_BINARY) + " " + args + " 2>" + errFile;
  Result r;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return r;
  std::array<char, 4096> buffer;
  std::size_t n = 0;
  while ((n = fread(buffer.data(), 1, buffer.size(), pipe)) > 0) r.out.append(buffer.data(), n);
  const int status = pclose(pipe);
  r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  std::ifstream err(errFile, std::ios::binary);
  std::stringstream text;
  text << err.rdbuf();
  r.err = text.str();
  std::remove(errFile.c_str());
  return r;
}

const std::string kScenario = std::string(ODDFW_SOURCE_DIR) + "/scenarios/no-drives.json";
const std::string kBanner = "\n/// ODD Firmware Update Utility Ver2.59B\n";

TEST(SimRunner, WithoutAScenarioItUpdatesTheDemoDrive) {
  const auto start = std::chrono::steady_clock::now();
  const Result r = RunSim("");
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_EQ(r.exitCode, 0) << r.err;
  testing::ExpectDefaultConsole(r.out);
  EXPECT_EQ(r.err,
            "+-- TALVEK [question yes/no]\n"
            "| \n"
            "| Do you want to update the F/W\n"
            "| From : QUORVEN BD-RW   MHT-860  1.05  (2009/01/20)\n"
            "| To : QUORVEN BD-RW   MHT-860  1.10  (2009/02/18)\n"
            "+-- answer: yes\n"
            "+-- TALVEK [information]\n"
            "| \n"
            "| Update operation is completed.\n"
            "+-- answer: ok\n");
  // The drive's minute of work passes on the virtual clock.
  EXPECT_LT(seconds, 5.0);
}

TEST(SimRunner, SigintDuringTheTransferFinishesTheDriveAndStopsTheRun) {
  // The runner sends itself SIGINT when the program sends its 40th command,
  // a piece of the image: the drive is finished, then the run stops.
  const Result r = RunSim("--interrupt-at-command 40");
  EXPECT_EQ(r.exitCode, 1) << r.err;
  const std::string end = testing::UpdateTail() + kInterruptedLine + testing::Message(36);
  ASSERT_GE(r.out.size(), end.size());
  EXPECT_EQ(r.out.substr(r.out.size() - end.size()), end);
  EXPECT_NE(r.err.find("Update program is terminated by occuring an error."), std::string::npos);
}

TEST(SimRunner, TheBuiltInDemoIsTheDefaultScenarioFile) {
  std::ifstream in(std::string(ODDFW_SOURCE_DIR) + "/scenarios/default.json", std::ios::binary);
  std::stringstream file;
  file << in.rdbuf();
  EXPECT_EQ(sim::DefaultScenarioText(), file.str());
  // Given as a file, it runs the same.
  const Result r =
      RunSim("--scenario " + std::string(ODDFW_SOURCE_DIR) + "/scenarios/default.json");
  EXPECT_EQ(r.exitCode, 0) << r.err;
  testing::ExpectDefaultConsole(r.out);
}

TEST(SimRunner, NoDrivesScenario) {
  const Result r = RunSim("--scenario " + kScenario);
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.out, kBanner + "\r\nAvailable target is not found.");
  EXPECT_NE(r.err.find("TALVEK [information]"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("| Available target is not found."), std::string::npos) << r.err;
}

TEST(SimRunner, NoDrivesInJapanese) {
  const Result r = RunSim("--scenario " + kScenario + " --code-page 932");
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.out, kBanner + MessageTemplate(28, true));
}

TEST(SimRunner, TraceRecordsTheBox) {
  const std::string trace = ::testing::TempDir() + "oddfw-trace-box.jsonl";
  const Result r = RunSim("--scenario " + kScenario + " --trace " + trace);
  EXPECT_EQ(r.exitCode, 1);
  std::ifstream in(trace);
  std::string line;
  ASSERT_TRUE(std::getline(in, line));
  EXPECT_NE(line.find("\"type\":\"0x40\""), std::string::npos) << line;
  EXPECT_NE(line.find("\"text\":\"\\u000d\\u000aAvailable target is not found.\""),
            std::string::npos)
      << line;
  EXPECT_NE(line.find("\"answer\":\"ok\""), std::string::npos) << line;
  in.close();
  std::remove(trace.c_str());
}

std::vector<nlohmann::json> ReadTrace(const std::string& path) {
  std::vector<nlohmann::json> lines;
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) lines.push_back(nlohmann::json::parse(line));
  return lines;
}

std::string WriteScenario(const std::string& name, const std::string& json) {
  const std::string path = ::testing::TempDir() + name;
  std::ofstream(path, std::ios::binary) << json;
  return path;
}

TEST(SimRunner, XpHostWithTheReleaseDriveAndAnotherMakersDrive) {
  const std::string scenario = WriteScenario("oddfw-xp-d-e.json", R"({
    "host": { "windows": "xp" },
    "drives": [
      { "letter": "E", "identity": { "vendor": "QUORVEN", "product": "BD-RW   MHT-860" },
        "vendorIdentity": { "hardwareRevision": "SAT 0001", "signature": "GENERAL ",
                            "normalModelName": "GENERAL " } },
      { "letter": "D", "preset": "other-maker" }
    ]
  })");
  const std::string trace = ::testing::TempDir() + "oddfw-trace-xp-d-e.jsonl";
  const Result r = RunSim("--scenario " + scenario + " --trace " + trace);
  // One target. The scenario puts no firmware image into the working
  // directory, so its update stops at once.
  EXPECT_EQ(r.exitCode, 1) << r.err;
  EXPECT_EQ(r.out.substr(0, kBanner.size() + 33), kBanner + "\r\nStart updating the device No.1.");
  EXPECT_NE(r.out.find("(File Name : S1005001.110)"), std::string::npos) << r.out;

  std::set<std::string> commands;
  std::vector<std::string> controls;
  for (const nlohmann::json& line : ReadTrace(trace)) {
    ASSERT_TRUE(line.contains("t_ms")) << line;
    if (line.contains("scsi")) {
      const auto& c = line["scsi"];
      // Discovery's probes are the commands with a 2 s time limit.
      if (c["timeout_s"] != 2) continue;
      commands.insert(c["target"].get<std::string>() + " " + c["cdb"].get<std::string>() + " " +
                      c["result"].get<std::string>());
      EXPECT_EQ(c["path"], "passthrough");
      EXPECT_EQ(c["dir"], "in");
      EXPECT_EQ(c["timeout_s"], 2);
      if (c["result"] == "check-condition") {
        EXPECT_EQ(c["sense"], "70 00 05 00 00 00 00 0A 00 00 00 00 24 00 00 00 00 00");
      }
    } else if (line.contains("mcn")) {
      controls.push_back(line["mcn"]["target"].get<std::string>() +
                         (line["mcn"]["suspend"].get<bool>() ? " suspend" : " restore"));
    }
  }
  const std::string inquiry = "12 00 00 00 60 00";
  const std::string vendorIdentity = "3C 02 F1 00 00 00 00 00 30 00";
  EXPECT_EQ(commands, (std::set<std::string>{
                          "D: " + inquiry + " good",
                          "D: " + vendorIdentity + " check-condition",
                          "E: " + inquiry + " good",
                          "E: " + vendorIdentity + " good",
                      }));
  EXPECT_EQ(controls,
            (std::vector<std::string>{"D: suspend", "E: suspend", "D: restore", "E: restore"}));
}

TEST(SimRunner, Windows98ExampleScansTheIdeAdaptersOnly) {
  const std::string trace = ::testing::TempDir() + "oddfw-trace-98.jsonl";
  const Result r = RunSim("--scenario " + std::string(ODDFW_SOURCE_DIR) +
                          "/scenarios/win98-aspi.json --trace " + trace);
  const std::string discovered = kBanner +
                                 "\r\nDetect the Intel's IDE driver.\r\nDetect the IEEE1394 "
                                 "interface.\r\nStart updating the device No.1.";
  EXPECT_EQ(r.out.substr(0, discovered.size()), discovered);
  std::set<std::string> targets;
  for (const nlohmann::json& line : ReadTrace(trace)) {
    if (!line.contains("scsi")) continue;
    EXPECT_EQ(line["scsi"]["path"], "aspi");
    EXPECT_EQ(line["scsi"]["notify"], "event");
    targets.insert(line["scsi"]["target"].get<std::string>());
  }
  EXPECT_EQ(targets, (std::set<std::string>{"0:0", "0:1", "1:0", "1:1"}));
}

TEST(SimRunner, BadCommandLinesAreRefused) {
  for (const char* args : {"--bogus", "--answers maybe", "--code-page x", "--scenario"}) {
    const Result r = RunSim(args);
    EXPECT_EQ(r.exitCode, 2) << args;
    EXPECT_TRUE(r.out.empty()) << args;
    EXPECT_NE(r.err.find("oddfw-sim:"), std::string::npos) << args;
  }
}

TEST(SimRunner, TheDemoTraceRecordsTheUpdate) {
  const std::string trace = ::testing::TempDir() + "oddfw-trace-default.jsonl";
  const Result r = RunSim("--trace " + trace);
  EXPECT_EQ(r.exitCode, 0) << r.err;
  int pieces = 0;
  int boxes = 0;
  std::string last;
  for (const nlohmann::json& line : ReadTrace(trace)) {
    if (line.contains("box")) ++boxes;
    if (!line.contains("scsi")) continue;
    const std::string cdb = line["scsi"]["cdb"].get<std::string>();
    if (cdb.rfind("3B 07 F0", 0) == 0) {
      EXPECT_EQ(line["scsi"]["len"], 0x8000);
      EXPECT_EQ(line["scsi"]["result"], "good");
      ++pieces;
    }
    last = cdb;
  }
  EXPECT_EQ(pieces, 64);
  EXPECT_EQ(boxes, 2);
  EXPECT_EQ(last, "12 00 00 00 60 00");  // the read back of the new revision
  std::remove(trace.c_str());
}

}  // namespace
}  // namespace oddfw
