#include "fuzz/fuzz_fixture.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/line_reader.h"

#if defined(__SANITIZE_ADDRESS__)
#define ODDFW_FUZZ_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define ODDFW_FUZZ_ASAN 1
#endif
#endif
#ifdef ODDFW_FUZZ_ASAN
#include <sanitizer/asan_interface.h>
#endif

namespace oddfw::fuzz {
namespace {

void Poison([[maybe_unused]] const uint8_t* bytes, [[maybe_unused]] std::size_t size) {
#ifdef ODDFW_FUZZ_ASAN
  __asan_poison_memory_region(bytes, size);
#endif
}

void Unpoison([[maybe_unused]] const uint8_t* bytes, [[maybe_unused]] std::size_t size) {
#ifdef ODDFW_FUZZ_ASAN
  __asan_unpoison_memory_region(bytes, size);
#endif
}

// The image buffer and the staging buffer of the current run.
BufferArena& ImageArena() {
  static BufferArena arena;
  return arena;
}
BufferArena& WorkArena() {
  static BufferArena arena;
  return arena;
}

platform::Platform WithFiles(platform::Platform& p, platform::Files& f) {
  return p.WithFiles(f);
}

}  // namespace

void CheckFailed(const char* file, int line, const char* condition, std::string_view detail) {
  std::fprintf(stderr, "%s:%d: check failed: %s\n  %.*s\n", file, line, condition,
               static_cast<int>(detail.size()), detail.data());
  std::abort();
}

class MemoryFiles::Text : public platform::TextFile {
 public:
  Text(const std::vector<uint8_t>& bytes, std::size_t chunkBytes, int* openNow)
      : openNow_(openNow),
        lines_(
            [this, &bytes](char* buffer, std::size_t room, std::size_t* got, int*) {
              *got = std::min(room, bytes.size() - position_);
              if (*got != 0) std::memcpy(buffer, bytes.data() + position_, *got);
              position_ += *got;
              return true;
            },
            chunkBytes) {}
  ~Text() override { --*openNow_; }
  Text(const Text&) = delete;
  Text& operator=(const Text&) = delete;

  Read ReadLine(std::string* line, std::size_t maxChars, int* cause) override {
    return lines_.ReadLine(line, maxChars, cause);
  }

 private:
  int* openNow_;
  std::size_t position_ = 0;
  platform::LineReader lines_;
};

platform::Handle MemoryFiles::OpenForRead(const std::string& name) {
  const auto found = files_.find(name);
  if (found == files_.end()) return platform::InvalidHandle();
  ++openNow_;
  ++opens_;
  return static_cast<platform::Handle>(new OpenBinary{&found->second, 0});
}

bool MemoryFiles::GetFileSize(platform::Handle file, uint32_t* size) {
  *size = static_cast<uint32_t>(static_cast<OpenBinary*>(file)->bytes->size());
  return true;
}

bool MemoryFiles::ReadFile(platform::Handle file, uint8_t* buffer, uint32_t bytes,
                           uint32_t* bytesRead) {
  auto* open = static_cast<OpenBinary*>(file);
  const std::size_t count = std::min<std::size_t>(bytes, open->bytes->size() - open->position);
  if (count != 0) std::memcpy(buffer, open->bytes->data() + open->position, count);
  open->position += count;
  *bytesRead = static_cast<uint32_t>(count);
  return true;
}

void MemoryFiles::CloseFile(platform::Handle file) {
  delete static_cast<OpenBinary*>(file);
  --openNow_;
}

int MemoryFiles::OpenText(const std::string& name, std::unique_ptr<platform::TextFile>* file) {
  const auto found = files_.find(name);
  if (found == files_.end()) return platform::kCauseFileNotFound;
  ++openNow_;
  ++opens_;
  *file = std::make_unique<Text>(found->second, chunkBytes_, &openNow_);
  return 0;
}

uint8_t* BufferArena::Take(std::size_t size) {
  if (storage_ == nullptr || size > size_) {
    storage_.reset();
    size_ = std::max<std::size_t>(size, 1);
    storage_.reset(new uint8_t[size_]);
  }
  uint8_t* buffer = storage_.get() + (size_ - size);
  Poison(storage_.get(), size_ - size);
  if (size != 0) std::memset(buffer, 0, size);
  return buffer;
}

void BufferArena::Give() {
  Unpoison(storage_.get(), size_);
}

FuzzRun::FuzzRun(int32_t imageCapacity, bool workBuffer)
    : platform_(WithFiles(host_.platform(), files_)),
      run_(platform_),
      capacity_(imageCapacity),
      imageBuffer_(ImageArena().Take(static_cast<std::size_t>(std::max(imageCapacity, 0)))) {
  if (workBuffer) workBuffer_ = WorkArena().Take(kWorkBufferSize);
  run_.detection.workBuffer = workBuffer_;
  run_.image.firmware.buffer = imageBuffer_;
  run_.image.firmware.capacity = imageCapacity;
  FillBuiltInDefinition(run_);
  ActivateEntry(run_, 0);
  run_.image.firmware.length = static_cast<int32_t>(run_.definition.active.imageSize);
}

FuzzRun::~FuzzRun() {
  ImageArena().Give();
  if (workBuffer_ != nullptr) WorkArena().Give();
}

}  // namespace oddfw::fuzz

namespace oddfw::fuzz {
namespace {

sim::SimOptions XpWithDrive(std::shared_ptr<sim::drive::Drive> drive) {
  sim::SimOptions o;
  o.AttachAtLetter('E', std::move(drive));
  return o;
}

std::shared_ptr<sim::drive::Drive> DriveAnswering(
    const std::array<uint8_t, 96>& inquiry,
    const std::optional<std::array<uint8_t, 48>>& vendorIdentity) {
  auto drive = sim::drive::MakeDrive(sim::drive::DriveProfile::ReleaseDrive());
  drive->inquiry = inquiry;
  drive->vendorIdentity = vendorIdentity;
  return drive;
}

}  // namespace

DriveRun::DriveRun(const std::array<uint8_t, 96>& inquiry,
                   const std::optional<std::array<uint8_t, 48>>& vendorIdentity,
                   int32_t imageCapacity)
    : drive_(DriveAnswering(inquiry, vendorIdentity)),
      host_(XpWithDrive(drive_)),
      run_(host_.platform()),
      imageBuffer_(ImageArena().Take(static_cast<std::size_t>(std::max(imageCapacity, 0)))) {
  FillBuiltInDefinition(run_);
  ActivateEntry(run_, 0);
  HostState& h = run_.host;
  h.commandTimeoutMs = 60000;
  h.ieee1394Adapter = -1;
  h.targetTable[0].driveLetter = 'E';
  h.targetCount = 1;
  run_.image.firmware.buffer = imageBuffer_;
  run_.image.firmware.capacity = imageCapacity;
}

DriveRun::~DriveRun() {
  ImageArena().Give();
}

bool HasStrayControl(std::string_view text) {
  return std::any_of(text.begin(), text.end(), [](char c) {
    const auto b = static_cast<unsigned char>(c);
    return (b < 0x20 && b != '\r' && b != '\n') || b == 0x7F;
  });
}

DriveAnswers SplitDriveInput(const uint8_t* data, std::size_t size) {
  DriveAnswers a;
  a.choice = size > 0 ? data[0] : 0;
  a.inquiry.fill(' ');
  a.vendor.fill(' ');
  for (std::size_t i = 1; i < size && i <= 96; ++i) a.inquiry[i - 1] = data[i];
  for (std::size_t i = 97; i < size && i < 97 + 48; ++i) a.vendor[i - 97] = data[i];
  return a;
}

}  // namespace oddfw::fuzz
