// The update of the DVD writers (model family 0x1000).

#include <algorithm>
#include <cstring>
#include <optional>

#include "app/run.h"
#include "commands/command_set.h"
#include "commands/handshake.h"
#include "commands/revision.h"
#include "console/catalog.h"
#include "image/checks.h"
#include "procedures/kernel_part.h"
#include "procedures/procedures.h"
#include "procedures/update_mode.h"

namespace oddfw {
namespace {

// The kernel part is always these two pieces from the start of the kernel
// image.
constexpr KernelPiece kKernelPieces[] = {{0, 0x8000}, {0x8000, 0x8000}};

// Sends the normal image in 32 KiB pieces with a progress line before each.
// With the Intel IDE driver under ASPI the drive starts re-flashing on the
// last full piece, so 100% comes before it. False when a piece failed.
bool WriteNormalImage(Run& run, bool intelAspi) {
  const FirmwareImage& image = run.image.firmware;
  PrintText(run, "\n");
  int32_t piece = 0x8000;
  for (int32_t offset = 0; offset < image.length;) {
    if (intelAspi && offset == image.length - piece) {
      PrintTemplate(run, "\rProcessing 100%%");
      ShowMessage(run, 44, ConsoleOnly);
    } else {
      PrintFormat(run, "\rProcessing %d%%", static_cast<int>(offset * 100 / image.length));
    }
    piece = std::min(piece, image.length - offset);
    if (WriteNormalPart(run, static_cast<uint32_t>(offset), static_cast<uint32_t>(piece),
                        image.buffer + offset) != 0) {
      ShowMessage(run, 42, ErrorNotice);
      return false;
    }
    offset += piece;
  }
  return true;
}

}  // namespace

int32_t UpdateFamily1000(Run& run) {
  if (SelectDefinitionEntry(run) == -1) return 1;
  const bool japanese = JapaneseTexts(run);
  FirmwareImage& image = run.image.firmware;
  const HostState& host = run.host;
  const bool intelAspi = host.intelIdeDriver != 0 && host.aspiMode;

  std::optional<UpdateModeGuard> updateMode;  // from the first move into it to the end
  for (;;) {                                  // one attempt; the user may ask for another
    run.host.kernelOnlyDrive = 0;
    if (LoadImage(run, NormalImage) != 0) {
      ShowMessage(run, 11, ErrorNotice);
      return -1;
    }
    if (ReportRevision(run, Before) != 0) return -1;
    if (CheckCompatibility(run) != 0) return 1;

    const ActiveEntry& entry = run.definition.active;
    if (entry.irreversibleWarning != 0) {
      if (entry.modelCode == 0x1006 && run.revision.currentRevisionNumber < 0x23) {
        ShowMessage(run, 70, InfoNotice);
      } else if (ShowMessage(run, 46, AskYesNo) == platform::kIdNo) {
        ShowMessage(run, 33, WarningNotice);
        return 1;
      }
    }
    if (CheckDriveEmpty(run) != 0) return 1;
    if (!run.driver.updateAllDrives && ShowMessage(run, 82, AskYesNo) == platform::kIdNo) return 7;
    // Once the user has interrupted the run no drive goes into its update
    // mode; a drive already in it (a retry) is finished.
    if (!updateMode && Interrupted(run)) return 1;
    ShowMessage(run, 61, ConsoleOnly);
    if (!updateMode) updateMode.emplace(run);  // the drive is about to enter its update mode

    if (run.host.kernelOnlyDrive == 0) {
      if (run.revision.handshakeRequired != 0) {
        // Whatever the exchange gives, the transfer and the revision read
        // back decide.
        UpdateModeHandshake(run);
      } else {
        if (EnterKernelMode(run, entry.modelCode) != 0) return -1;
        DelayMs(run, 1000);
        if (ConfirmKernelMode(run) != 0) return -1;
      }
    }

    if (entry.updateParts == KernelAndNormal && InstallKernelPart(run, kKernelPieces) != 0) {
      return -1;
    }

    const bool transferred = WriteNormalImage(run, intelAspi);
    if (transferred) {
      if (!intelAspi) {
        if (entry.modelCode < 0x1005) {
          PrintTemplate(run, ProcedureTemplate(ProcedureText::TransferDoneShort, japanese));
          ShowMessage(run, 44, ConsoleOnly);
        } else {
          PrintTemplate(run, ProcedureTemplate(ProcedureText::TransferDone, japanese));
        }
      }
      const int32_t normal = EnterNormalMode(run, entry.modelCode);
      if (host.ieee1394Adapter != -1 || intelAspi) {
        DelayMs(run, 5000);
      } else if (normal != 0) {
        DelayMs(run, 2000);
      }
    }

    if (ReportRevision(run, After) != 0) return -1;
    const uint8_t* revision = run.revision.driveIdentity + 32;
    if (std::memcmp(revision, "000", 3) != 0) {
      // After a failed piece the drive may still have taken the image (one
      // that re-flashes as soon as it holds the last piece), but a drive
      // still running its old firmware was not updated.
      if (!transferred && std::memcmp(revision, image.revisionText, 4) != 0) return -1;
      ShowMessage(run, 12, ConsoleOnly);
      return 0;
    }
    // The drive still runs its kernel.
    if (intelAspi) {
      EnterNormalMode(run, entry.modelCode);
      DelayMs(run, 5000);
    }
    if (ShowMessage(run, 47, AskYesNo) != platform::kIdYes) return -1;
  }
}

}  // namespace oddfw
