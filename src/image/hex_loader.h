#pragma once
// Images of the oldest drive family come as text files of HEX records: the
// release image and a 4 KiB patch for generation-6 drives.

#include <cstdint>

namespace oddfw {

struct Run;

// The patch file, read from the working directory.
inline constexpr const char* kPatchFileName = "G6PATCH.HEX";
// The part of the image that the patch file replaces.
inline constexpr int32_t kPatchWindowStart = 0x20000;
inline constexpr int32_t kPatchWindowSize = 0x1000;
// The transfer ends with the image's last 4 KiB, so a shorter image has no
// valid final piece.
inline constexpr int32_t kMinimumHexImageLength = 0x1000;

// Builds the first `length` bytes of the image from the HEX file named by the
// active entry. 0, or -1 with the reason printed.
int32_t LoadHexImage(Run& run);

// Overlays the patch window of the image with the patch file. 0, or -1 with
// the reason printed.
int32_t LoadPatchFile(Run& run);

// Prints the text of a failed file operation (cause 1 to 14); any other
// cause prints nothing.
void ReportFileError(Run& run, int cause);

}  // namespace oddfw
