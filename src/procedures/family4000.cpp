// The update of the BD writers (model family 0x4000), the family of the
// built-in release.

#include <algorithm>
#include <cstring>

#include "app/run.h"
#include "commands/command_set.h"
#include "commands/revision.h"
#include "console/catalog.h"
#include "image/checks.h"
#include "procedures/keep_awake.h"
#include "procedures/procedures.h"

namespace oddfw {
namespace {

// The kernel part always goes as these three pieces, from the start of the
// kernel image.
struct Piece {
  uint32_t offset;
  uint32_t length;
};
constexpr Piece kKernelPieces[] = {{0, 0x8000}, {0x8000, 0x8000}, {0x10000, 0x1200}};
inline constexpr int32_t kKernelPartSize = 0x11200;

// The re-flash poll gives up after this much drive time (or this many polls)
// and lets the revision read back decide.
inline constexpr uint32_t kReflashPollLimitMs = 600000;
inline constexpr uint32_t kReflashPollLimitCount = 1000000;

bool SenseIs(const Run& run, uint8_t key, uint8_t asc, uint8_t ascq) {
  const uint8_t* s = run.transport.sense.rawSense;
  return s[2] == key && s[12] == asc && s[13] == ascq;
}

// Fixed-format sense data (current or deferred) is there.
bool HasSense(const uint8_t* sense) {
  return (sense[0] & 0x7E) == 0x70;
}

bool StillReflashing(const Run& run) {
  return SenseIs(run, 0x02, 0x04, 0x12);
}

// Follows the drive while it re-flashes itself, showing the progress it
// reports in sense bytes 16-17 (out of 65536).
void FollowReflash(Run& run) {
  const int32_t target = run.driver.currentTarget;
  const bool japanese = JapaneseTexts(run);
  const uint32_t start = run.os.clock.TimeGetTime();
  uint32_t polls = 0;
  auto withinBound = [&] {
    return ++polls < kReflashPollLimitCount &&
           run.os.clock.TimeGetTime() - start < kReflashPollLimitMs;
  };
  uint8_t* sense = run.transport.sense.rawSense;
  while (withinBound()) {
    // On ASPI hosts a CHECK CONDITION comes back as -1, like a failed
    // transport; only the sense data the layer returned with it tells the
    // drive's answer apart. Without it the poll would never see the progress
    // or the restart.
    uint8_t earlier[sizeof run.transport.sense.rawSense];
    std::memcpy(earlier, sense, sizeof earlier);
    if (run.host.aspiMode) std::memset(sense, 0, sizeof earlier);
    const int32_t result = TestUnitReady(run, target);
    const bool answered = run.host.aspiMode && result == kTransportFailed && HasSense(sense);
    if (run.host.aspiMode && !answered) std::memcpy(sense, earlier, sizeof earlier);
    if (result == kTransportFailed && !answered) continue;  // ask again at once
    bool showProgress = false;
    if (result == 0) {
      DelayMs(run, 2000);
    } else if (StillReflashing(run)) {
      showProgress = true;
    } else if (SenseIs(run, 0x06, 0x29, 0x00)) {
      // Unit attention after the reset: the drive has restarted.
    } else if (InquireCurrentTarget(run) == 0) {
      // Answers again.
    } else if (StillReflashing(run)) {
      showProgress = true;
    } else {
      InquireCurrentTarget(run);
      DelayMs(run, 1000);
      InquireCurrentTarget(run);
    }
    if (showProgress) {
      const long progress = sense[16] * 256L + sense[17];
      PrintFormat(run, ProcedureTemplate(ProcedureText::Reflashing, japanese),
                  progress * 100 / 65536);
      continue;
    }
    // The final probe: a drive still re-flashing sends the poll back.
    if (InquireCurrentTarget(run) != 0 && StillReflashing(run)) continue;
    return;
  }
}

// Sends the normal image in 32 KiB pieces straight from the image buffer,
// with a progress line before each. False when a piece failed (message 42).
bool WriteNormalImage(Run& run) {
  const FirmwareImage& image = run.image.firmware;
  for (int32_t offset = 0; offset < image.length;) {
    PrintFormat(run, "\rProcessing %d%%", static_cast<int>(offset * 100 / image.length));
    const auto piece = static_cast<uint32_t>(std::min(image.length - offset, int32_t{0x8000}));
    if (WriteNormalPart(run, static_cast<uint32_t>(offset), piece, image.buffer + offset) != 0) {
      ShowMessage(run, 42, ErrorNotice);
      return false;
    }
    offset += static_cast<int32_t>(piece);
  }
  return true;
}

}  // namespace

int32_t UpdateFamily4000(Run& run) {
  if (SelectDefinitionEntry(run) == -1) return 1;
  const bool japanese = JapaneseTexts(run);
  FirmwareImage& image = run.image.firmware;

  for (;;) {  // one attempt; the user may ask for another
    run.host.kernelOnlyDrive = 0;
    if (LoadImage(run, NormalImage) != 0) {
      ShowMessage(run, 11, ErrorNotice);
      return -1;
    }
    if (ReportRevision(run, Before) != 0) return -1;
    PrintFormat(run, "\nCurrent Signature = %.8s",
                DriveText(run.host.vendorIdentity.signature(), 8).c_str());
    if (CheckCompatibility(run) != 0) return 1;

    const ActiveEntry& entry = run.definition.active;
    if (entry.irreversibleWarning != 0 && ShowMessage(run, 46, AskYesNo) == platform::kIdNo) {
      ShowMessage(run, 33, WarningNotice);
      return 1;
    }
    if (CheckDriveEmpty(run) != 0) return 1;
    if (!run.driver.updateAllDrives && ShowMessage(run, 82, AskYesNo) == platform::kIdNo) return 7;
    ShowMessage(run, 61, ConsoleOnly);
    const KeepAwake awake(run);  // the drive is about to enter its update mode

    if (run.host.kernelOnlyDrive == 0) {
      if (EnterKernelMode(run, entry.modelCode) != 0) return -1;
      DelayMs(run, 1000);
      if (ConfirmKernelMode(run) != 0) return -1;
    }

    if (entry.updateParts == KernelAndNormal) {
      // A kernel file shorter than the kernel part would send what an earlier
      // load left in the buffer.
      if (LoadImage(run, KernelImage) != 0 || image.loadedBytes < kKernelPartSize) {
        ShowMessage(run, 72, ConsoleOnly);
        return -1;
      }
      if (CheckKernelNeeded(run) != 0) return -1;
      for (const Piece& p : kKernelPieces) {
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
    }

    const bool transferred = WriteNormalImage(run);
    if (transferred) {
      PrintTemplate(run, ProcedureTemplate(ProcedureText::TransferDone, japanese));
      if (EnterNormalMode(run, entry.modelCode) != 0) DelayMs(run, 2000);
      PrintText(run, "\n");
      FollowReflash(run);
      PrintTemplate(run, ProcedureTemplate(ProcedureText::ReflashDone, japanese));
    }

    if (ReportRevision(run, After) != 0) return -1;
    const uint8_t* revision = run.revision.driveIdentity + 32;
    if (std::memcmp(revision, "000", 3) != 0) {
      // After a failed piece only a drive that reads back the image's
      // revision was updated; one still on its old firmware was not.
      if (!transferred && std::memcmp(revision, image.revisionText, 4) != 0) return -1;
      ShowMessage(run, 12, ConsoleOnly);
      return 0;
    }
    // The drive still runs its kernel.
    if (ShowMessage(run, 47, AskYesNo) != platform::kIdYes) return -1;
  }
}

}  // namespace oddfw
