// Replays inputs through a fuzz target without libFuzzer: every file named
// on the command line and every file of every folder named there (in name
// order), one call each. A failing check or a sanitizer report stops the
// process; otherwise it prints how many inputs it replayed. No input at all
// is an error, so a lost corpus cannot pass unnoticed.

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "fuzz/fuzz_fixture.h"

namespace {

namespace fs = std::filesystem;

bool ReadAll(const fs::path& path, std::vector<uint8_t>* bytes) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  bytes->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return !in.bad();
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<fs::path> inputs;
  for (int i = 1; i < argc; ++i) {
    const fs::path arg = argv[i];
    std::error_code ec;
    if (fs::is_directory(arg, ec)) {
      for (const fs::directory_entry& entry : fs::directory_iterator(arg)) {
        if (entry.is_regular_file()) inputs.push_back(entry.path());
      }
    } else if (fs::is_regular_file(arg, ec)) {
      inputs.push_back(arg);
    } else {
      std::fprintf(stderr, "replay: %s is neither a file nor a folder\n", argv[i]);
      return 2;
    }
  }
  std::sort(inputs.begin(), inputs.end());
  if (inputs.empty()) {
    std::fprintf(stderr, "usage: %s FILE_OR_FOLDER...  (no input found)\n", argv[0]);
    return 2;
  }
  for (const fs::path& input : inputs) {
    std::vector<uint8_t> bytes;
    if (!ReadAll(input, &bytes)) {
      std::fprintf(stderr, "replay: cannot read %s\n", input.string().c_str());
      return 2;
    }
    std::fprintf(stderr, "replay: %s\n", input.string().c_str());
    LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
  }
  std::printf("%zu inputs replayed\n", inputs.size());
  return 0;
}
