// The update of the BD writers (model family 0x4000), the family of the
// built-in release.

#include <algorithm>
#include <cstring>
#include <optional>

#include "app/run.h"
#include "commands/command_set.h"
#include "commands/revision.h"
#include "console/catalog.h"
#include "image/checks.h"
#include "procedures/kernel_part.h"
#include "procedures/procedures.h"
#include "procedures/update_mode.h"

namespace oddfw {
namespace {

// The kernel part always goes as these three pieces, from the start of the
// kernel image.
constexpr KernelPiece kKernelPieces[] = {{0, 0x8000}, {0x8000, 0x8000}, {0x10000, 0x1200}};

// The re-flash poll gives up after this much drive time (or this many polls)
// and lets the revision read back decide.
inline constexpr uint32_t kReflashPollLimitMs = 600000;
inline constexpr uint32_t kReflashPollLimitCount = 1000000;
// A transport failure is asked again at once; once this many come in a row
// (the drive has left the bus, so each fails at once), the poll asks only
// ten times a second, and the time bound ends it.
inline constexpr uint32_t kFailuresAskedAtOnce = 100;
inline constexpr uint32_t kFailurePauseMs = 100;

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
  // Sends one command of the poll. Afterwards rawSense holds the sense data
  // that command returned; when it returned none, on ASPI hosts the drive's
  // last answer stays (the probe INQUIRY there never brings sense data, and
  // a CHECK CONDITION comes back as -1 like a failed transport: only the
  // sense data tell the drive's answer apart), on pass-through hosts nothing
  // does: there a command that returned no sense (the drive could not be
  // opened, or the driver gave a status without sense data) would otherwise
  // leave an earlier answer behind, and a vanished drive would seem to
  // re-flash for ever. Returns whether the command brought sense data.
  auto send = [&](int32_t* result, auto&& command) {
    uint8_t earlier[sizeof run.transport.sense.rawSense];
    std::memcpy(earlier, sense, sizeof earlier);
    std::memset(sense, 0, sizeof earlier);
    *result = command();
    const bool answered = *result != 0 && HasSense(sense);
    if (!answered && run.host.aspiMode) std::memcpy(sense, earlier, sizeof earlier);
    return answered;
  };
  auto probe = [&] {
    int32_t result = 0;
    send(&result, [&] { return InquireCurrentTarget(run); });
    return result;
  };
  uint32_t failuresInARow = 0;
  while (withinBound()) {
    int32_t result = 0;
    const bool answered = send(&result, [&] { return TestUnitReady(run, target); });
    if (result == kTransportFailed && !answered) {
      // Ask again at once.
      if (++failuresInARow > kFailuresAskedAtOnce) run.os.clock.Sleep(kFailurePauseMs);
      continue;
    }
    failuresInARow = 0;
    bool showProgress = false;
    if (result == 0) {
      DelayMs(run, 2000);
    } else if (StillReflashing(run)) {
      showProgress = true;
    } else if (SenseIs(run, 0x06, 0x29, 0x00)) {
      // Unit attention after the reset: the drive has restarted.
    } else if (probe() == 0) {
      // Answers again.
    } else if (StillReflashing(run)) {
      showProgress = true;
    } else {
      probe();
      DelayMs(run, 1000);
      probe();
    }
    if (showProgress) {
      const long progress = sense[16] * 256L + sense[17];
      PrintFormat(run, ProcedureTemplate(ProcedureText::Reflashing, japanese),
                  progress * 100 / 65536);
      continue;
    }
    // The final probe: a drive still re-flashing sends the poll back.
    if (probe() != 0 && StillReflashing(run)) continue;
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

  std::optional<UpdateModeGuard> updateMode;  // from the first move into it to the end
  for (;;) {                                  // one attempt; the user may ask for another
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
    // Once the user has interrupted the run no drive goes into its update
    // mode; a drive already in it (a retry) is finished.
    if (!updateMode && Interrupted(run)) return 1;
    ShowMessage(run, 61, ConsoleOnly);
    if (!updateMode) updateMode.emplace(run);  // the drive is about to enter its update mode

    if (run.host.kernelOnlyDrive == 0) {
      if (EnterKernelMode(run, entry.modelCode) != 0) return -1;
      DelayMs(run, 1000);
      if (ConfirmKernelMode(run) != 0) return -1;
    }

    if (entry.updateParts == KernelAndNormal && InstallKernelPart(run, kKernelPieces) != 0) {
      return -1;
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
      // After a failed piece the drive may still have taken the image, but a
      // drive that answers with another revision than the image's never
      // left its old firmware (it may have refused kernel mode without
      // saying so): that is no update.
      if (!transferred && std::memcmp(revision, image.revisionText, 4) != 0) return -1;
      ShowMessage(run, 12, ConsoleOnly);
      return 0;
    }
    // The drive still runs its kernel.
    if (ShowMessage(run, 47, AskYesNo) != platform::kIdYes) return -1;
  }
}

}  // namespace oddfw
