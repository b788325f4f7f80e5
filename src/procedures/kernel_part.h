#pragma once
// The kernel part of a release, written by the BD and DVD procedures before
// the normal part when the release carries one.

#include <cstdint>
#include <span>

namespace oddfw {

struct Run;

// One WRITE BUFFER of the kernel part: a stretch from the start of the
// kernel image.
struct KernelPiece {
  uint32_t offset;
  uint32_t length;
};

// Loads the kernel image, checks that the drive does not run it already,
// sends it in `pieces` (the part is their whole length), waits 2 s and loads
// the normal image back into the buffer the kernel image took. 0, or -1
// after the message that says why.
int32_t InstallKernelPart(Run& run, std::span<const KernelPiece> pieces);

}  // namespace oddfw
