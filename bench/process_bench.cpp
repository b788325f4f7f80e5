// A whole run as a process: the time from its start to the banner, the time
// to its end and its peak resident memory.
//
//   oddfw-process-bench [--runs N] [--sim PATH]
//
// Three processes, started in turn N times each:
//   oddfw-sim                the default update as the demo runs it: the
//                            simulator first builds the 2 MiB image and
//                            writes it into a fresh folder
//   oddfw-sim (files ready)  the same update with the image already in the
//                            working directory, so start-up is the
//                            simulator's set-up and the program's own
//   oddfw-sim --help         the simulator's binary doing nothing
//   /bin/true                the cost of starting any process at all
// The banner is the first byte on standard output. Peak resident memory is
// the child's ru_maxrss. Medians are printed.

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "sim/default_scenario.h"
#include "sim/scenario.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

struct Sample {
  double firstByteMs = -1;  // -1: the process wrote nothing
  double endMs = 0;
  long maxRssKiB = 0;
  bool ok = false;
};

Sample Spawn(const std::vector<std::string>& args) {
  Sample s;
  int pipeFds[2];
  if (pipe(pipeFds) != 0) return s;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
  posix_spawn_file_actions_addclose(&actions, pipeFds[0]);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  const auto start = Clock::now();
  pid_t pid = 0;
  const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(pipeFds[1]);
  if (spawned != 0) {
    close(pipeFds[0]);
    return s;
  }
  char buffer[4096];
  bool first = true;
  for (;;) {
    const ssize_t got = read(pipeFds[0], buffer, sizeof buffer);
    if (got <= 0) break;
    if (first) {
      s.firstByteMs = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
      first = false;
    }
  }
  close(pipeFds[0]);
  int status = 0;
  rusage usage{};
  if (wait4(pid, &status, 0, &usage) != pid) return s;
  s.endMs = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
  s.maxRssKiB = usage.ru_maxrss;
  s.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  return s;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

std::string SiblingSim() {
  std::error_code ec;
  const fs::path self = fs::read_symlink("/proc/self/exe", ec);
  return ec ? std::string("oddfw-sim")
            : (self.parent_path().parent_path() / "tools" / "oddfw-sim").string();
}

}  // namespace

int main(int argc, char** argv) {
  int runs = 20;
  std::string sim = SiblingSim();
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--runs") == 0 && i + 1 < argc) {
      runs = std::max(1, std::atoi(argv[++i]));
    } else if (std::strcmp(argv[i], "--sim") == 0 && i + 1 < argc) {
      sim = argv[++i];
    } else {
      std::fprintf(stderr, "usage: oddfw-process-bench [--runs N] [--sim PATH]\n");
      return 2;
    }
  }

  // The default scenario without its files, and the files written once.
  const fs::path dir =
      fs::temp_directory_path() / ("oddfw-process-bench-" + std::to_string(getpid()));
  struct Cleanup {
    fs::path dir;
    ~Cleanup() {
      std::error_code ec;
      fs::remove_all(dir, ec);
    }
  } cleanup{dir};
  // A child prepares them: a child's peak resident memory counts the
  // parent's from before its exec, so the parent keeps its own small.
  const pid_t preparer = fork();
  if (preparer == 0) {
    oddfw::sim::WriteScenarioFiles(oddfw::sim::ParseScenario(oddfw::sim::DefaultScenarioText()),
                                   dir);
    nlohmann::ordered_json scenario =
        nlohmann::ordered_json::parse(oddfw::sim::DefaultScenarioText());
    scenario.erase("files");
    std::ofstream(dir / "ready.json") << scenario.dump(2);
    _exit(0);
  }
  int prepared = 0;
  if (preparer < 0 || waitpid(preparer, &prepared, 0) != preparer || !WIFEXITED(prepared) ||
      WEXITSTATUS(prepared) != 0) {
    std::fprintf(stderr, "oddfw-process-bench: cannot prepare the files\n");
    return 1;
  }
  const fs::path scenarioFile = dir / "ready.json";

  struct Subject {
    const char* name;
    std::vector<std::string> args;
    std::vector<double> firstByte, end, rss;
  };
  std::vector<Subject> subjects = {
      {"oddfw-sim", {sim}, {}, {}, {}},
      {"oddfw-sim (files ready)",
       {sim, "--scenario", scenarioFile.string(), "--workdir", dir.string()},
       {},
       {},
       {}},
      {"oddfw-sim --help", {sim, "--help"}, {}, {}, {}},
      {"/bin/true", {"/bin/true"}, {}, {}, {}},
  };
  for (int run = 0; run < runs; ++run) {
    for (Subject& s : subjects) {
      const Sample sample = Spawn(s.args);
      if (!sample.ok) {
        std::fprintf(stderr, "oddfw-process-bench: %s failed\n", s.name);
        return 1;
      }
      if (sample.firstByteMs >= 0) s.firstByte.push_back(sample.firstByteMs);
      s.end.push_back(sample.endMs);
      s.rss.push_back(static_cast<double>(sample.maxRssKiB));
    }
  }
  rusage self{};
  getrusage(RUSAGE_SELF, &self);
  std::printf("%d runs each, medians (no peak below this bench's own %.2f MiB can show)\n", runs,
              static_cast<double>(self.ru_maxrss) / 1024);
  std::printf("%-26s %12s %12s %14s\n", "", "to banner", "to the end", "peak resident");
  for (const Subject& s : subjects) {
    char banner[32] = "-";
    if (!s.firstByte.empty()) std::snprintf(banner, sizeof banner, "%.2f ms", Median(s.firstByte));
    std::printf("%-26s %12s %9.2f ms %10.2f MiB\n", s.name, banner, Median(s.end),
                Median(s.rss) / 1024);
  }
  return 0;
}
