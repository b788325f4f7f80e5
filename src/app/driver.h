#pragma once
// The program's entry point and its only control loop.

#include <cstdint>
#include <functional>

namespace oddfw {

struct Run;

struct DriverState {
  int32_t oemCodePage = 0;
  bool updateAllDrives = true;  // no per-drive question while true
  int32_t currentTarget = 0;
  int32_t updatedCount = 0;
};

using Procedure = std::function<int32_t(Run&)>;

// The update procedure of each model family; an empty slot means the family
// has none and its drives count as not updated.
struct ProcedureTable {
  Procedure family0000;
  Procedure family1000;
  Procedure family4000;
};

// What the driver runs. The program uses the defaults; tests and the
// simulator may give another release definition or other procedures.
struct DriverHooks {
  std::function<int32_t(Run&)> fillDefinition;   // default: FillBuiltInDefinition
  std::function<int32_t(Run&)> discoverTargets;  // default: DiscoverTargets
  ProcedureTable procedures;                     // default: the real procedures
  static DriverHooks Program();
};

// Whether the user interrupted the run (Ctrl+C, Ctrl+Break, the console
// closing). The driver then stops before the next drive, and a procedure
// moves no drive into its update mode any more; a drive already in it is
// finished first.
bool Interrupted(Run& run);

// The line shown when the run stops for an interrupt, before message 36. It
// is English in both languages, like the program's other technical lines.
inline constexpr const char* kInterruptedLine =
    "\r\nInterrupted by the user: no further drive is updated.";

// One run: banner, detection, discovery, the drive loop, the summary.
// Returns the process exit code (0 or 1).
int RunDriver(Run& run, const DriverHooks& hooks = DriverHooks::Program());

}  // namespace oddfw
