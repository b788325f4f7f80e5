// oddfw-sim: runs the program on the simulated host.
//
// stdout carries exactly the bytes the program writes to its console; message
// boxes (and any misuse of the host's interfaces) are reported on stderr; the
// exit code is the program's (2 for a bad command line or scenario, 3 when the
// program would wait forever).

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "app/driver.h"
#include "app/run.h"
#include "sim/default_scenario.h"
#include "sim/scenario.h"
#include "sim/sim_platform.h"
#include "sim/trace.h"
#include "tools/posix_interrupts.h"

namespace {

using namespace oddfw;

const char* kUsage =
    "usage: oddfw-sim [options]\n"
    "Runs the firmware update program on a simulated host.\n"
    "\n"
    "  --scenario FILE   the host, drives and answers (default: the built-in demo,\n"
    "                    scenarios/default.json: one BD writer updated to 1.10)\n"
    "  --workdir DIR     working directory holding the firmware files\n"
    "  --answers LIST    answers to question boxes, e.g. yes,no (yes/no/ok/cancel/fail)\n"
    "  --interactive     ask on the terminal instead of taking scripted answers\n"
    "  --code-page N     OEM code page of the console (932: Japanese)\n"
    "  --trace FILE      write a JSON-lines trace of boxes and SCSI commands\n"
    "  --realtime        pace the run as a real host and drive would\n"
    "  --interrupt-at-command N\n"
    "                    send the runner SIGINT (as Ctrl+C would) when the program\n"
    "                    sends its Nth SCSI command\n"
    "  --help            show this text\n";

struct Options {
  std::optional<std::string> scenario;
  std::optional<std::string> workdir;
  std::optional<std::vector<int>> answers;
  std::optional<int> codePage;
  std::optional<std::string> trace;
  bool realtime = false;
  bool interactive = false;
  std::optional<unsigned long> interruptAtCommand;
};

[[noreturn]] void Fail(const std::string& message) {
  std::fprintf(stderr, "oddfw-sim: %s\n", message.c_str());
  std::exit(2);
}

std::vector<int> ParseAnswers(const std::string& list) {
  std::vector<int> answers;
  std::stringstream in(list);
  std::string word;
  while (std::getline(in, word, ',')) {
    int result = 0;
    if (!sim::ParseAnswer(word, &result)) Fail("unknown answer \"" + word + "\"");
    answers.push_back(result);
  }
  return answers;
}

Options ParseOptions(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) Fail(arg + " needs a value");
      return argv[++i];
    };
    if (arg == "--scenario") {
      o.scenario = value();
    } else if (arg == "--workdir") {
      o.workdir = value();
    } else if (arg == "--answers") {
      o.answers = ParseAnswers(value());
    } else if (arg == "--code-page") {
      const std::string v = value();
      char* end = nullptr;
      const long n = std::strtol(v.c_str(), &end, 10);
      if (v.empty() || *end != '\0') Fail("--code-page takes a number");
      o.codePage = static_cast<int>(n);
    } else if (arg == "--trace") {
      o.trace = value();
    } else if (arg == "--realtime") {
      o.realtime = true;
    } else if (arg == "--interrupt-at-command") {
      const std::string v = value();
      char* end = nullptr;
      const unsigned long n = std::strtoul(v.c_str(), &end, 10);
      if (v.empty() || *end != '\0' || n == 0) Fail("--interrupt-at-command takes a number from 1");
      o.interruptAtCommand = n;
    } else if (arg == "--interactive") {
      o.interactive = true;
    } else if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      std::exit(0);
    } else {
      Fail("unknown option \"" + arg + "\" (see --help)");
    }
  }
  return o;
}

// A directory that exists for the life of the object.
class TemporaryDirectory {
 public:
  TemporaryDirectory() {
    std::string pattern = (std::filesystem::temp_directory_path() / "oddfw-sim-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) Fail("cannot make a temporary directory");
    path_ = pattern;
  }
  ~TemporaryDirectory() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TemporaryDirectory(const TemporaryDirectory&) = delete;
  TemporaryDirectory& operator=(const TemporaryDirectory&) = delete;
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

// Draws a box on stderr: its caption and kind, its text line by line, and the
// answer it got.
void DrawBox(const sim::BoxRecord& box) {
  std::string out = "+-- " + box.caption + " [" + sim::BoxKind(box.type) + "]\n";
  std::string line;
  for (const char c : box.text) {
    if (c == '\r') continue;
    if (c == '\n') {
      out += "| " + line + "\n";
      line.clear();
    } else {
      line += c;
    }
  }
  out += "| " + line + "\n";
  out += std::string("+-- answer: ") + sim::AnswerName(box.answer) + "\n";
  std::fwrite(out.data(), 1, out.size(), stderr);
  std::fflush(stderr);
}

// Asks a person at the terminal to answer a box.
int AskPerson(const sim::BoxRecord& box) {
  sim::BoxRecord shown = box;
  const bool yesNo = (box.type & 0x0F) == platform::kMbYesNo;
  const bool okCancel = (box.type & 0x0F) == platform::kMbOkCancel;
  std::string text = "+-- " + box.caption + " [" + sim::BoxKind(box.type) + "]\n| ";
  for (const char c : box.text) {
    if (c == '\r') continue;
    text += c;
    if (c == '\n') text += "| ";
  }
  std::fprintf(stderr, "%s\n", text.c_str());
  for (;;) {
    std::fputs(yesNo      ? "Yes or No? [y/n] "
               : okCancel ? "OK or Cancel? [o/c] "
                          : "Press Enter for OK ",
               stderr);
    std::fflush(stderr);
    std::string reply;
    if (!std::getline(std::cin, reply)) return 0;
    if (!yesNo && !okCancel) return platform::kIdOk;
    if (yesNo && (reply == "y" || reply == "Y" || reply == "yes")) return platform::kIdYes;
    if (yesNo && (reply == "n" || reply == "N" || reply == "no")) return platform::kIdNo;
    if (okCancel && (reply == "o" || reply == "O" || reply == "ok")) return platform::kIdOk;
    if (okCancel && (reply == "c" || reply == "C" || reply == "cancel")) {
      return platform::kIdCancel;
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  const Options o = ParseOptions(argc, argv);

  sim::Scenario scenario;
  try {
    scenario = o.scenario ? sim::LoadScenario(*o.scenario)
                          : sim::ParseScenario(sim::DefaultScenarioText());
  } catch (const sim::ScenarioError& e) {
    Fail(e.what());
  }
  if (o.codePage) scenario.options.codePage = *o.codePage;
  if (o.answers) scenario.options.answers = *o.answers;
  scenario.options.realtime = o.realtime;

  // The scenario's files go into the working directory: the one given, or a
  // fresh one that goes away with the run.
  std::optional<TemporaryDirectory> temporary;
  if (o.workdir) {
    scenario.options.workdir = *o.workdir;
  } else if (!scenario.files.empty()) {
    temporary.emplace();
    scenario.options.workdir = temporary->path();
  }
  try {
    sim::WriteScenarioFiles(scenario, scenario.options.workdir);
  } catch (const std::exception& e) {
    Fail(std::string("cannot write the scenario's files: ") + e.what());
  }
  DriverHooks hooks = DriverHooks::Program();
  if (scenario.definition) hooks.fillDefinition = sim::DefinitionFiller(*scenario.definition);

  std::unique_ptr<std::ofstream> traceFile;
  std::unique_ptr<sim::TraceWriter> trace;
  if (o.trace) {
    traceFile = std::make_unique<std::ofstream>(*o.trace, std::ios::binary | std::ios::trunc);
    if (!*traceFile) Fail("cannot write " + *o.trace);
    trace = std::make_unique<sim::TraceWriter>(*traceFile);
  }

  sim::SimPlatform host(scenario.options);
  host.SetConsoleSink([](std::string_view bytes) {
    std::fwrite(bytes.data(), 1, bytes.size(), stdout);
    std::fflush(stdout);
  });
  if (o.interactive) host.SetBoxAnswerer(AskPerson);
  host.SetBoxObserver([&](const sim::BoxRecord& box) {
    if (!o.interactive) DrawBox(box);
    if (trace) trace->Box(host.clock().NowUs(), box);
  });
  // SIGINT and SIGTERM follow the program's interrupt handling: from the
  // moment it installs its handler they are only remembered.
  host.SetInterruptHooks(tools::InstallSignalHandlers, tools::SignalCame);
  unsigned long commands = 0;
  host.SetScsiObserver([&](const sim::ScsiRecord& command) {
    if (trace) trace->Scsi(command);
    if (o.interruptAtCommand && ++commands == *o.interruptAtCommand) std::raise(SIGINT);
  });
  if (trace) {
    host.SetMediaControlObserver(
        [&](const sim::MediaControlRecord& control) { trace->MediaControl(control); });
    host.SetPowerObserver([&](const sim::PowerRecord& power) { trace->Power(power); });
  }

  Run run(host.platform());
  try {
    const int exitCode = RunDriver(run, hooks);
    // A real system would have punished these; say so where a person sees it.
    for (const std::string& what : host.misuse()) {
      std::fprintf(stderr, "oddfw-sim: misuse of the host: %s\n", what.c_str());
    }
    return exitCode;
  } catch (const sim::SimDeadlock& e) {
    std::fprintf(stderr, "oddfw-sim: the program would wait forever: %s\n", e.what());
    return 3;
  }
}
