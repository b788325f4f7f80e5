#pragma once
// The firmware image in memory and the loader of binary image files.

#include <cstdint>

namespace oddfw {

struct Run;

enum ImageKind : int32_t { KernelImage = 0, NormalImage = 1 };

struct FirmwareImage {
  uint8_t* buffer = nullptr;  // allocated by host detection
  int32_t capacity = 0;       // 8 MiB (pass-through) or 2 MiB (ASPI)
  int32_t length = 0;         // valid image bytes
  char revisionText[5] = {};  // header bytes 0x90..0x94 of the last normal image
  char dateText[8] = {};      // header bytes 0x130..0x137 of the last normal image
  uint32_t imageReleaseDate = 0;
};

struct ImageState {
  FirmwareImage firmware;
};

// The image header as it lies in the image buffer (zero bytes when the buffer
// does not exist).
const uint8_t* ImageHeaderBytes(const Run& run);

int32_t LoadImage(Run& run, ImageKind kind);

}  // namespace oddfw
