#include "procedures/kernel_part.h"

#include <algorithm>

#include "app/run.h"
#include "commands/command_set.h"
#include "console/catalog.h"
#include "image/checks.h"

namespace oddfw {

int32_t InstallKernelPart(Run& run, std::span<const KernelPiece> pieces) {
  const FirmwareImage& image = run.image.firmware;
  int32_t partSize = 0;
  for (const KernelPiece& p : pieces) {
    partSize = std::max(partSize, static_cast<int32_t>(p.offset + p.length));
  }
  // A kernel file shorter than the part would send what an earlier load left
  // in the buffer.
  if (LoadImage(run, KernelImage) != 0 || image.loadedBytes < partSize) {
    ShowMessage(run, 72, ConsoleOnly);
    return -1;
  }
  if (CheckKernelNeeded(run) != 0) return -1;
  for (const KernelPiece& p : pieces) {
    if (WriteKernelPart(run, p.offset, p.length, image.buffer + p.offset) != 0) {
      ShowMessage(run, 41, ErrorNotice);
      return -1;
    }
  }
  DelayMs(run, 2000);
  // The kernel image took the buffer: the normal image comes back.
  if (LoadImage(run, NormalImage) != 0) {
    ShowMessage(run, 11, ConsoleOnly);
    return -1;
  }
  return 0;
}

}  // namespace oddfw
