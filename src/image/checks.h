#pragma once
// The checks between drive, release and image before anything is written.

#include <cstdint>

namespace oddfw {

struct Run;

struct CheckState {
  // -1 during a probe, 1 when the drive holds no normal part, else 0.
  int32_t normalPartAbsent = 0;
};

int32_t ProbeDriveInfo(Run& run);
int32_t SelectDefinitionEntry(Run& run);
int32_t CheckCompatibility(Run& run);
int32_t CheckDriveEmpty(Run& run);
int32_t ConfirmKernelMode(Run& run);
int32_t CheckKernelNeeded(Run& run);

}  // namespace oddfw
