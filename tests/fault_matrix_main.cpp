// oddfw-fault-matrix: runs the fault matrix and prints its table.
//
//   oddfw-fault-matrix                      every setup
//   oddfw-fault-matrix --setup 4000/aspi    one setup (repeatable)
//   oddfw-fault-matrix --cells              also a line for every cell
//   oddfw-fault-matrix --role R --fault F   only these cells (each repeatable)
//   oddfw-fault-matrix --list               the setups' names
//
// The exit code is 1 when any cell is unexpected.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

#include "fault_matrix.h"

int main(int argc, char** argv) {
  using namespace oddfw::testing::matrix;
  std::vector<std::string> chosen;
  bool everyCell = false;
  bool list = false;
  Selection selection;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--setup") == 0 && i + 1 < argc) {
      chosen.push_back(argv[++i]);
    } else if (std::strcmp(argv[i], "--role") == 0 && i + 1 < argc) {
      selection.roles.push_back(argv[++i]);
    } else if (std::strcmp(argv[i], "--fault") == 0 && i + 1 < argc) {
      selection.faults.push_back(argv[++i]);
    } else if (std::strcmp(argv[i], "--cells") == 0) {
      everyCell = true;
    } else if (std::strcmp(argv[i], "--list") == 0) {
      list = true;
    } else {
      std::fprintf(
          stderr,
          "usage: oddfw-fault-matrix [--setup NAME]... [--role R]... [--fault F]... [--cells] "
          "[--list]\n");
      return 2;
    }
  }
  try {
    uint32_t unexpected = 0;
    bool matched = chosen.empty();
    for (const Setup& setup : Setups()) {
      if (list) {
        std::printf("%s\n", setup.name.c_str());
        continue;
      }
      if (!chosen.empty() && std::find(chosen.begin(), chosen.end(), setup.name) == chosen.end()) {
        continue;
      }
      matched = true;
      const auto start = std::chrono::steady_clock::now();
      const MatrixResult result = RunMatrix(setup, selection);
      const auto seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start);
      std::fputs(Report(result, everyCell).c_str(), stdout);
      std::printf("(%.1f s)\n\n", seconds.count());
      std::fflush(stdout);
      unexpected += result.unexpected();
    }
    if (!matched) {
      std::fprintf(stderr, "oddfw-fault-matrix: no such setup (see --list)\n");
      return 2;
    }
    return unexpected == 0 ? 0 : 1;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "oddfw-fault-matrix: %s\n", e.what());
    return 2;
  }
}
