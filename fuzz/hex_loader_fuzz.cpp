// The HEX image and patch loaders on any text: the input is the file's
// text. Each input is loaded on fresh runs whose image length lies at the
// bounds of the valid range and beyond it, as the release's HEX image and
// then as the patch file, and the properties every load must keep are
// checked: the image changes only where and when it may.

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz/fuzz_fixture.h"
#include "image/hex_loader.h"

namespace oddfw::fuzz {
namespace {

constexpr uint8_t kUntouched = 0xAA;
constexpr int32_t kWork = static_cast<int32_t>(kWorkBufferSize);
constexpr int32_t kWindowEnd = kPatchWindowStart + kPatchWindowSize;

struct Variant {
  const char* what;
  int32_t length;
  int32_t capacity;
  bool workBuffer;
  std::size_t chunkBytes;  // how the line reader is fed
};

constexpr Variant kVariants[] = {
    {"shortest image, window beyond it", kMinimumHexImageLength, kWindowEnd, true, 4096},
    {"image up to the window's end, read a byte at a time", kWindowEnd, kWindowEnd, true, 1},
    {"longest image", kWork, kWork, true, 7},
    {"image shorter than its final piece", kMinimumHexImageLength - 1, kWindowEnd, true, 4096},
    {"image longer than the staging buffer", kWork + 1, kWork + 0x10, true, 4096},
    {"image longer than its buffer", kWindowEnd + 1, kWindowEnd, true, 4096},
    {"negative length", -1, kWindowEnd, true, 4096},
    {"buffer without room for the patch window", 0x1000, kWindowEnd - 1, true, 4096},
    {"no staging buffer", 0x1000, kWindowEnd, false, 4096},
};

bool LengthValid(const Variant& v) {
  return v.workBuffer && v.length >= kMinimumHexImageLength && v.length <= kWork &&
         v.length <= v.capacity;
}

// True when every byte in [from, to) of the image holds `value` (memcmp with
// itself one byte on: instrumented byte loops over megabytes are slow).
bool All(const uint8_t* image, int32_t from, int32_t to, uint8_t value) {
  return from >= to ||
         (image[from] == value && std::memcmp(image + from, image + from + 1,
                                              static_cast<std::size_t>(to - from - 1)) == 0);
}

void LoadOne(const Variant& v, const std::vector<uint8_t>& text) {
  FuzzRun f(v.capacity, v.workBuffer);
  Run& run = f.run();
  f.image().length = v.length;
  uint8_t* image = f.imageBytes();
  std::memset(image, kUntouched, static_cast<std::size_t>(v.capacity));
  f.files().Put(f.normalFileName(), text);
  f.files().Put(kPatchFileName, text);
  f.files().set_chunkBytes(v.chunkBytes);
  const std::string what =
      std::string(v.what) + ", text of " + std::to_string(text.size()) + " bytes";

  const int32_t loaded = LoadHexImage(run);
  FUZZ_CHECK(loaded == 0 || loaded == -1, what);
  FUZZ_CHECK(f.files().openNow() == 0, what + ": the HEX image was left open");
  FUZZ_CHECK(f.boxCount() == 0, what + ": the HEX loader showed a box");
  FUZZ_CHECK(f.image().length == v.length, what + ": the loader changed the length");
  if (!LengthValid(v)) {
    FUZZ_CHECK(loaded == -1 && f.files().opens() == 0,
               what + ": a length outside the buffers was used");
  }
  if (loaded != 0) {
    FUZZ_CHECK(All(image, 0, v.capacity, kUntouched), what + ": a failed load changed the image");
    FUZZ_CHECK(f.console().find("\r\nF/W file load success.") == std::string::npos,
               what + ": a failed load reported success");
  } else {
    FUZZ_CHECK(f.console() == "\r\nF/W file load success.", what + ": " + f.console());
    FUZZ_CHECK(All(image, v.length, v.capacity, kUntouched),
               what + ": the load wrote beyond the length");
  }

  // The patch goes on top of whatever the image holds now.
  // Kept between inputs: fresh pages for megabytes each time are slow.
  static std::vector<uint8_t> before;
  before.assign(image, image + v.capacity);
  const std::size_t consoleBefore = f.console().size();
  const int32_t patched = LoadPatchFile(run);
  FUZZ_CHECK(patched == 0 || patched == -1, what);
  FUZZ_CHECK(f.files().openNow() == 0, what + ": the patch file was left open");
  FUZZ_CHECK(f.boxCount() == 0, what + ": the patch loader showed a box");
  const std::string shown = f.console().substr(consoleBefore);
  if (!LengthValid(v) || v.capacity < kWindowEnd) {
    FUZZ_CHECK(patched == -1, what + ": a patch was taken into a buffer without room for it");
  }
  if (patched != 0) {
    FUZZ_CHECK(std::memcmp(image, before.data(), before.size()) == 0,
               what + ": a failed patch changed the image");
    FUZZ_CHECK(shown.find("\r\nG6 Patch load success.") == std::string::npos,
               what + ": a failed patch reported success");
  } else {
    FUZZ_CHECK(shown == "\r\nG6 Patch load success.", what + ": " + shown);
    FUZZ_CHECK(std::memcmp(image, before.data(), kPatchWindowStart) == 0 &&
                   std::memcmp(image + kWindowEnd, before.data() + kWindowEnd,
                               before.size() - kWindowEnd) == 0,
               what + ": the patch changed the image outside its window");
  }
}

}  // namespace
}  // namespace oddfw::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  const std::vector<uint8_t> text(data, data + size);
  for (const auto& variant : oddfw::fuzz::kVariants) oddfw::fuzz::LoadOne(variant, text);
  return 0;
}
