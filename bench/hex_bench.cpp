// How fast the program builds an image from a HEX file, against objcopy
// (binutils) turning the same file into a binary, measured side by side in
// one run: a 1 MiB image written as HEX records of 16 bytes with extended
// segment address records and CR LF line ends (what the oldest drive family
// ships).
//
//   oddfw-hex-bench [--rounds N] [--objcopy PATH]
//   oddfw-hex-bench --load FILE     (one load in a process of its own)
//
// Three figures per round, taken in turn so that a busy machine slows all of
// them alike: the loader inside a running program (LoadHexImage alone), the
// loader as a whole process (start, load, exit: what objcopy is measured
// as), and objcopy as a process. The medians and the ratios of objcopy's time
// to ours are printed; above 1.0 the program is faster. Before any timing the
// image the program builds is compared with objcopy's output byte for byte.
//
// Exit code 0, or 1 when a load fails or the two images differ.

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "app/definition.h"
#include "app/run.h"
#include "discovery/host_detection.h"
#include "image/hex_loader.h"
#include "sim/hex_writer.h"
#include "sim/sim_platform.h"

extern char** environ;

namespace {

using namespace oddfw;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr uint32_t kImageBytes = 0x100000;
constexpr const char* kHexName = "IMAGE.HEX";

// The program's side of a load: the host with its buffers as host detection
// leaves them, and the release entry pointing at the HEX file.
class Loader {
 public:
  explicit Loader(const fs::path& dir)
      : host(Options(dir)),
        run(host.platform()),
        workBuffer(Zeroed(kWorkBufferSize)),
        imageBuffer(Zeroed(kImageBufferSizePassThrough)) {
    run.detection.workBuffer = workBuffer.get();
    run.image.firmware.buffer = imageBuffer.get();
    run.image.firmware.capacity = static_cast<int32_t>(kImageBufferSizePassThrough);
    FillBuiltInDefinition(run);
    ActivateEntry(run, 0);
    std::snprintf(run.definition.active.fileName, sizeof run.definition.active.fileName, "%s",
                  kHexName);
    run.image.firmware.length = static_cast<int32_t>(kImageBytes);
  }
  ~Loader() {
    run.detection.workBuffer = nullptr;
    run.image.firmware.buffer = nullptr;
  }
  Loader(const Loader&) = delete;
  Loader& operator=(const Loader&) = delete;

  bool Load() { return LoadHexImage(run) == 0; }
  const uint8_t* image() const { return imageBuffer.get(); }

 private:
  // Zero-filled like the buffers host detection allocates (the pages are
  // only touched as the load writes them).
  struct Free {
    void operator()(uint8_t* p) const { std::free(p); }
  };
  using Buffer = std::unique_ptr<uint8_t, Free>;
  static Buffer Zeroed(std::size_t bytes) {
    return Buffer(static_cast<uint8_t*>(std::calloc(bytes, 1)));
  }

  static sim::SimOptions Options(const fs::path& dir) {
    sim::SimOptions o;
    o.workdir = dir;
    return o;
  }

  sim::SimPlatform host;
  Run run;
  Buffer workBuffer;
  Buffer imageBuffer;
};

double Seconds(Clock::duration d) {
  return std::chrono::duration<double>(d).count();
}

// Runs a program to its end; its wall time in seconds, or -1 when it fails.
double RunProcess(const std::vector<std::string>& args) {
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  const auto start = Clock::now();
  pid_t pid = 0;
  if (posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return -1;
  int status = 0;
  if (waitpid(pid, &status, 0) != pid) return -1;
  const double took = Seconds(Clock::now() - start);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? took : -1;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

std::string SelfPath() {
  std::error_code ec;
  const fs::path self = fs::read_symlink("/proc/self/exe", ec);
  return ec ? std::string("oddfw-hex-bench") : self.string();
}

int LoadOnce(const fs::path& file) {
  Loader loader(file.parent_path().empty() ? fs::path(".") : file.parent_path());
  if (file.filename() != kHexName) {
    std::fprintf(stderr, "oddfw-hex-bench: the file must be named %s\n", kHexName);
    return 1;
  }
  return loader.Load() ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  int rounds = 15;
  std::string objcopy = "objcopy";
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--load" && i + 1 < argc) return LoadOnce(argv[++i]);
    if (arg == "--rounds" && i + 1 < argc) {
      rounds = std::max(1, std::atoi(argv[++i]));
    } else if (arg == "--objcopy" && i + 1 < argc) {
      objcopy = argv[++i];
    } else {
      std::fprintf(stderr, "usage: oddfw-hex-bench [--rounds N] [--objcopy PATH] | --load FILE\n");
      return 2;
    }
  }

  const fs::path dir = fs::temp_directory_path() / ("oddfw-hex-bench-" + std::to_string(getpid()));
  fs::create_directories(dir);
  struct Cleanup {
    fs::path dir;
    ~Cleanup() {
      std::error_code ec;
      fs::remove_all(dir, ec);
    }
  } cleanup{dir};

  // A 1 MiB image of pseudo-random bytes, so no line is all 0xFF.
  std::vector<uint8_t> image(kImageBytes);
  std::mt19937 random(1);
  for (uint8_t& b : image) b = static_cast<uint8_t>(random());
  const std::string text = sim::ToHexRecords(image, 0, sim::HexOptions{});
  const fs::path hex = dir / kHexName;
  std::ofstream(hex, std::ios::binary)
      .write(text.data(), static_cast<std::streamsize>(text.size()));
  const fs::path out = dir / "objcopy.bin";
  const std::vector<std::string> objcopyArgs = {objcopy,  "-I",         "ihex",      "-O",
                                                "binary", hex.string(), out.string()};
  const std::vector<std::string> selfArgs = {SelfPath(), "--load", hex.string()};

  // Both must build the same image before their speed means anything.
  Loader loader(dir);
  if (!loader.Load()) {
    std::fprintf(stderr, "oddfw-hex-bench: the program's load failed\n");
    return 1;
  }
  if (RunProcess(objcopyArgs) < 0) {
    std::fprintf(stderr, "oddfw-hex-bench: %s failed\n", objcopy.c_str());
    return 1;
  }
  std::ifstream in(out, std::ios::binary);
  const std::vector<uint8_t> theirs((std::istreambuf_iterator<char>(in)),
                                    std::istreambuf_iterator<char>());
  if (theirs != image || std::memcmp(loader.image(), image.data(), image.size()) != 0) {
    std::fprintf(stderr, "oddfw-hex-bench: the images differ\n");
    return 1;
  }

  std::vector<double> inProcess, ownProcess, peer;
  for (int round = 0; round < rounds; ++round) {
    const auto start = Clock::now();
    if (!loader.Load()) return 1;
    inProcess.push_back(Seconds(Clock::now() - start));
    const double own = RunProcess(selfArgs);
    const double theirsTime = RunProcess(objcopyArgs);
    if (own < 0 || theirsTime < 0) {
      std::fprintf(stderr, "oddfw-hex-bench: a process failed\n");
      return 1;
    }
    ownProcess.push_back(own);
    peer.push_back(theirsTime);
  }

  const double mib = static_cast<double>(text.size()) / (1024.0 * 1024.0);
  const double a = Median(inProcess), b = Median(ownProcess), c = Median(peer);
  std::printf("HEX file: %zu bytes (%.2f MiB) for an image of %u bytes, %d rounds\n", text.size(),
              mib, kImageBytes, rounds);
  std::printf("%-34s %10s %12s %10s\n", "", "median", "HEX MiB/s", "objcopy/x");
  std::printf("%-34s %8.2fms %12.1f %10.2f\n", "LoadHexImage in a running program", a * 1e3,
              mib / a, c / a);
  std::printf("%-34s %8.2fms %12.1f %10.2f\n", "LoadHexImage as a process", b * 1e3, mib / b,
              c / b);
  std::printf("%-34s %8.2fms %12.1f %10.2f\n", "objcopy -I ihex -O binary", c * 1e3, mib / c, 1.0);
  return 0;
}
