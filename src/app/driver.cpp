#include "app/driver.h"

#include "app/run.h"
#include "console/catalog.h"
#include "discovery/discovery.h"
#include "procedures/procedures.h"

namespace oddfw {
namespace {

inline constexpr int kVersionMajor = 2;
inline constexpr int kVersionMinor = 59;
inline constexpr char kVersionLetter = 'B';
inline constexpr uint32_t kPauseAfterUpdateMs = 2000;

const Procedure& ProcedureOf(const ProcedureTable& table, int32_t modelCode) {
  static const Procedure none;
  switch (ModelFamily(modelCode)) {
    case 0x0000:
      return table.family0000;
    case 0x1000:
      return table.family1000;
    case 0x4000:
      return table.family4000;
    default:
      return none;
  }
}

// The run stops for an interrupt: the line, message 36, the host released.
int StopInterrupted(Run& run) {
  PrintText(run, kInterruptedLine);
  ShowMessage(run, 36, WarningNotice);
  ReleaseHostEnvironment(run);
  return 1;
}

}  // namespace

bool Interrupted(Run& run) {
  return run.os.interrupts.Pending();
}

DriverHooks DriverHooks::Program() {
  DriverHooks hooks;
  hooks.fillDefinition = FillBuiltInDefinition;
  hooks.discoverTargets = DiscoverTargets;
  hooks.procedures = {UpdateFamily0000, UpdateFamily1000, UpdateFamily4000};
  return hooks;
}

int RunDriver(Run& run, const DriverHooks& hooks) {
  // From here on an interrupt never ends the program in the middle of a
  // command: it is remembered, and the run stops at its next safe point.
  run.os.interrupts.Install();
  DriverState& s = run.driver;
  s.updateAllDrives = true;
  run.transport.asyncSubmit = false;
  run.host.autoInsertNotification = 0;

  PrintFormat(run, "\n/// ODD Firmware Update Utility Ver%1d.%02d%c\n", kVersionMajor,
              kVersionMinor, kVersionLetter);
  s.oemCodePage = run.os.locale.OemCodePage();
  (hooks.fillDefinition ? hooks.fillDefinition : FillBuiltInDefinition)(run);
  DetectHostEnvironment(run);
  if (Interrupted(run)) return StopInterrupted(run);
  const int32_t drives = (hooks.discoverTargets ? hooks.discoverTargets : DiscoverTargets)(run);

  if (drives == 0) {
    // Every drive letter there is refused the program: without
    // administrator rights it cannot reach any drive, and says so.
    if (AccessRightsMissing(run)) ShowMessage(run, 87, WarningNotice);
    ShowMessage(run, 28, InfoNotice);
    ReleaseHostEnvironment(run);
    return 1;
  }
  if (Interrupted(run)) return StopInterrupted(run);
  if (drives >= 2) {
    if (ShowMessage(run, 31, AskYesNo) == platform::kIdNo) s.updateAllDrives = false;
  } else {
    s.updateAllDrives = false;
  }

  // Model 9 releases older than 1.08 cannot be installed through ASPI. The
  // release's own model code decides: no drive has selected an entry yet.
  const DefinitionEntry& release = run.definition.definition.entries[0];
  if (run.host.aspiMode && release.modelCode == 9 &&
      run.definition.definition.releaseRevision < 0x108) {
    ShowMessage(run, 63, InfoNotice);
    ReleaseHostEnvironment(run);
    return 1;
  }

  const Procedure& procedure = ProcedureOf(hooks.procedures, release.modelCode);
  for (int32_t i = 0; i < drives; ++i) {
    if (Interrupted(run)) return StopInterrupted(run);
    s.currentTarget = i;
    ShowMessage(run, 34, ConsoleOnly);
    const int32_t result = procedure ? procedure(run) : 1;
    if (result == 0) ++s.updatedCount;
    if (result == -1) {
      if (Interrupted(run)) PrintText(run, kInterruptedLine);
      ShowMessage(run, 36, WarningNotice);
      ReleaseHostEnvironment(run);
      return 1;
    }
    // The drive is finished: an interrupt that came meanwhile stops the run
    // here, before the next drive (and without a summary).
    if (Interrupted(run)) return StopInterrupted(run);
    if (result == 0) DelayMs(run, kPauseAfterUpdateMs);
  }
  if (Interrupted(run)) return StopInterrupted(run);

  if (s.updatedCount == drives) {
    ShowMessage(run, 35, InfoNotice);
  } else if (s.updatedCount != 0) {
    ShowMessage(run, 58, InfoNotice);
  }
  ReleaseHostEnvironment(run);
  return 0;
}

}  // namespace oddfw
