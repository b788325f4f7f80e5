// The simulator runner as a user runs it: stdout carries exactly the
// program's console bytes, boxes go to stderr, the exit code is the program's.

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <array>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "console/catalog.h"

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
  return r;
}

const std::string kScenario = std::string(ODDFW_SOURCE_DIR) + "/scenarios/no-drives.json";
const std::string kBanner = "\n/// ODD Firmware Update Utility Ver2.59B\n";

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
}

TEST(SimRunner, BadCommandLinesAreRefused) {
  for (const char* args : {"--bogus", "--answers maybe", "--code-page x", "--scenario"}) {
    const Result r = RunSim(args);
    EXPECT_EQ(r.exitCode, 2) << args;
    EXPECT_TRUE(r.out.empty()) << args;
    EXPECT_NE(r.err.find("oddfw-sim:"), std::string::npos) << args;
  }
}

}  // namespace
}  // namespace oddfw
