#pragma once
// A fresh run with the shared buffers the image loaders work on, a working
// directory of its own and counted, fault-injectable files.

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "app/run.h"
#include "sim/image_builder.h"
#include "sim/sim_files.h"
#include "sim/sim_platform.h"

namespace oddfw::testing {

// A folder of its own for every test, removed afterwards.
inline std::filesystem::path FreshTestDir() {
  const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
  std::string name = std::string(info->test_suite_name()) + "." + info->name();
  for (char& c : name) {
    if (c == '/') c = '_';
  }
  const std::filesystem::path dir = std::filesystem::path(::testing::TempDir()) /
                                    ("oddfw-" + name + "-" + std::to_string(getpid()));
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  return dir;
}

struct ImageRun {
  // `capacity`: the image buffer's size as host detection would choose it;
  // `slack`: bytes allocated behind it that no load may touch.
  explicit ImageRun(int32_t capacity = 0x800000, std::size_t slack = 0x1000)
      : dir(FreshTestDir()),
        host(Options(dir)),
        files(dir),
        platform(WithFiles(host.platform(), files)),
        run(platform),
        workBuffer(kWorkBufferSize),
        imageBuffer(static_cast<std::size_t>(capacity) + slack, kSlackByte) {
    std::memset(imageBuffer.data(), 0, static_cast<std::size_t>(capacity));
    run.detection.workBuffer = workBuffer.data();
    run.image.firmware.buffer = imageBuffer.data();
    run.image.firmware.capacity = capacity;
    FillBuiltInDefinition(run);
    ActivateEntry(run, 0);
    run.image.firmware.length = static_cast<int32_t>(run.definition.active.imageSize);
  }
  ~ImageRun() {
    run.detection.workBuffer = nullptr;
    run.image.firmware.buffer = nullptr;
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
  }
  ImageRun(const ImageRun&) = delete;
  ImageRun& operator=(const ImageRun&) = delete;

  static constexpr uint8_t kSlackByte = 0xC5;

  void Write(const std::string& name, const std::vector<uint8_t>& bytes) const {
    sim::WriteBinaryFile(dir / name, bytes);
  }
  void WriteText(const std::string& name, const std::string& text) const {
    Write(name, std::vector<uint8_t>(text.begin(), text.end()));
  }
  const std::string& console() const { return host.consoleBytes(); }
  const std::vector<sim::BoxRecord>& boxes() const { return host.boxes(); }
  bool SlackUntouched() const {
    for (std::size_t i = static_cast<std::size_t>(run.image.firmware.capacity);
         i < imageBuffer.size(); ++i) {
      if (imageBuffer[i] != kSlackByte) return false;
    }
    return true;
  }

  std::filesystem::path dir;
  sim::SimPlatform host;
  sim::SimFiles files;
  platform::Platform platform;
  Run run;
  std::vector<uint8_t> workBuffer;
  std::vector<uint8_t> imageBuffer;

 private:
  static sim::SimOptions Options(const std::filesystem::path& workdir) {
    sim::SimOptions o;
    o.workdir = workdir;
    return o;
  }
  static platform::Platform WithFiles(platform::Platform& p, platform::Files& f) {
    return p.WithFiles(f);
  }
};

}  // namespace oddfw::testing
