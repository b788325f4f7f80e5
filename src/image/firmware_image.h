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
  int32_t loadedBytes = 0;  // size of the file the last load read, either kind
};

struct ImageState {
  FirmwareImage firmware;
};

// Where the fields of the header of a binary image lie, from the start of the
// file. Texts are ASCII, blank padded, not terminated.
namespace image_header {
inline constexpr uint32_t kVendorId = 0x60;             // 8
inline constexpr uint32_t kProductId = 0x68;            // 16
inline constexpr uint32_t kRevisionText = 0x90;         // 5, "d.dd" and one byte
inline constexpr uint32_t kHardwareRevision = 0xB0;     // 8
inline constexpr uint32_t kSignature = 0xD0;            // 8, "GENERAL "
inline constexpr uint32_t kNormalModelName = 0xF0;      // 8
inline constexpr uint32_t kPartKind = 0x110;            // 1, 'K' or 'N'
inline constexpr uint32_t kDateText = 0x130;            // 8 (yy/mm/dd) or 10 ("Feb18 2009")
inline constexpr uint32_t kKernelRevisionText = 0x150;  // 4
// The header ends here; a file shorter than this holds no header.
inline constexpr uint32_t kSize = 0x160;
}  // namespace image_header

// The image header as it lies in the image buffer (zero bytes when the buffer
// does not exist).
const uint8_t* ImageHeaderBytes(const Run& run);

// The kernel image's file name: the normal image's name with its 8th
// character replaced by '0' (S1005001.110 -> S1005000.110).
void KernelFileName(const char* normalName, char (&kernelName)[128]);

// Reads the normal or the kernel image named by the active entry into the
// image buffer and checks its date, signature and part kind. 0 when loaded
// and accepted, -1 otherwise (messages 69, 39 and 40 shown here; a file that
// cannot be opened, sized or read fails silently).
int32_t LoadImage(Run& run, ImageKind kind);

}  // namespace oddfw
