#pragma once
// What the fuzz targets share: a fresh simulated run whose files live in
// memory, shared buffers of exactly the chosen sizes (so AddressSanitizer
// sees any byte touched beyond them), and a check that stops the process
// when a property of the code under test does not hold.
//
// A target is one .cpp file defining LLVMFuzzerTestOneInput; it is built as
// a libFuzzer program by the fuzz preset and, everywhere else, linked with
// replay_main.cpp to replay its corpus as an ordinary test.

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/run.h"
#include "platform/files.h"
#include "sim/drive/drive.h"
#include "sim/sim_platform.h"

namespace oddfw::fuzz {

// Stops the process with a message: libFuzzer keeps the input as a crash,
// the replay test fails.
[[noreturn]] void CheckFailed(const char* file, int line, const char* condition,
                              std::string_view detail);

#define FUZZ_CHECK(condition, detail)                                                     \
  do {                                                                                    \
    if (!(condition)) ::oddfw::fuzz::CheckFailed(__FILE__, __LINE__, #condition, detail); \
  } while (false)

// The files of the working directory, held in memory. Binary reads and text
// lines behave as the simulated host's files do; text lines go through the
// same line reader as every backend, fed `chunkBytes` at a time.
class MemoryFiles : public platform::Files {
 public:
  void Put(const std::string& name, std::vector<uint8_t> bytes) { files_[name] = std::move(bytes); }
  void set_chunkBytes(std::size_t bytes) { chunkBytes_ = bytes; }
  // Files opened (binary or text) and not closed yet.
  int openNow() const { return openNow_; }
  int opens() const { return opens_; }

  platform::Handle OpenForRead(const std::string& name) override;
  bool GetFileSize(platform::Handle file, uint32_t* size) override;
  bool ReadFile(platform::Handle file, uint8_t* buffer, uint32_t bytes,
                uint32_t* bytesRead) override;
  void CloseFile(platform::Handle file) override;
  int OpenText(const std::string& name, std::unique_ptr<platform::TextFile>* file) override;

 private:
  struct OpenBinary {
    const std::vector<uint8_t>* bytes;
    std::size_t position;
  };
  class Text;

  std::map<std::string, std::vector<uint8_t>> files_;
  std::size_t chunkBytes_ = 4096;
  int openNow_ = 0;
  int opens_ = 0;
};

// Storage for one shared buffer, kept for the whole process: fresh pages for
// every run would cost more than the loads themselves. A run's buffer is the
// storage's last bytes, so reading or writing behind it hits the
// allocation's red zone; the bytes in front of it are poisoned for AddressSanitizer
// while the run lasts.
class BufferArena {
 public:
  BufferArena() = default;
  BufferArena(const BufferArena&) = delete;
  BufferArena& operator=(const BufferArena&) = delete;
  // `size` bytes, zero-filled as host detection allocates them.
  uint8_t* Take(std::size_t size);
  // Ends the run's use of the buffer.
  void Give();

 private:
  std::unique_ptr<uint8_t[]> storage_;
  std::size_t size_ = 0;
};

// One fresh program start on the simulated host, with the built-in release's
// first entry active and the shared buffers the image loaders work on.
class FuzzRun {
 public:
  // `imageCapacity`: the image buffer's size; `workBuffer`: whether host
  // detection made the 2 MiB staging buffer.
  explicit FuzzRun(int32_t imageCapacity, bool workBuffer = true);
  ~FuzzRun();
  FuzzRun(const FuzzRun&) = delete;
  FuzzRun& operator=(const FuzzRun&) = delete;

  Run& run() { return run_; }
  MemoryFiles& files() { return files_; }
  FirmwareImage& image() { return run_.image.firmware; }
  uint8_t* imageBytes() { return imageBuffer_; }
  int32_t capacity() const { return capacity_; }
  const std::string& console() const { return host_.consoleBytes(); }
  std::size_t boxCount() const { return host_.boxes().size(); }
  // The name of the active entry's file.
  std::string normalFileName() const { return run_.definition.active.fileName; }

 private:
  sim::SimPlatform host_;
  MemoryFiles files_;
  platform::Platform platform_;
  Run run_;
  int32_t capacity_;
  uint8_t* imageBuffer_;
  uint8_t* workBuffer_ = nullptr;
};

// One fresh program start on a Windows XP host with one drive at E:, in the
// target table as discovery leaves it, the built-in release's first entry
// active and an image buffer of `imageCapacity` bytes. The drive answers
// INQUIRY with `inquiry` and READ BUFFER buffer 0xF1 with `vendorIdentity`
// (absent: it refuses that command).
class DriveRun {
 public:
  DriveRun(const std::array<uint8_t, 96>& inquiry,
           const std::optional<std::array<uint8_t, 48>>& vendorIdentity,
           int32_t imageCapacity = 0x200);
  ~DriveRun();
  DriveRun(const DriveRun&) = delete;
  DriveRun& operator=(const DriveRun&) = delete;

  Run& run() { return run_; }
  sim::drive::Drive& drive() { return *drive_; }
  uint8_t* imageBytes() { return imageBuffer_; }
  const std::string& console() const { return host_.consoleBytes(); }
  const std::vector<sim::BoxRecord>& boxes() const { return host_.boxes(); }

 private:
  std::shared_ptr<sim::drive::Drive> drive_;
  sim::SimPlatform host_;
  Run run_;
  uint8_t* imageBuffer_;
};

// A fuzz input read as a drive's answers: the first byte chooses the
// target's settings, the next 96 are the INQUIRY data and the 48 after them
// the vendor identity (blanks where the input ends).
struct DriveAnswers {
  uint8_t choice = 0;
  std::array<uint8_t, 96> inquiry;
  std::array<uint8_t, 48> vendor;
};
DriveAnswers SplitDriveInput(const uint8_t* data, std::size_t size);

// Whether `text` holds a control character other than "\r" and "\n" (an
// escape sequence, a bell, a backspace...).
bool HasStrayControl(std::string_view text);

}  // namespace oddfw::fuzz

// The entry point every target defines.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size);
