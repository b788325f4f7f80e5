#pragma once
// The identity of the drive being updated, its revision line and the facts
// derived from it.

#include <cstdint>

namespace oddfw {

struct Run;

enum RevisionPhase : int32_t { Before = 0, After = 1 };

struct RevisionState {
  uint8_t driveIdentity[96] = {};  // INQUIRY data of the current drive
  uint16_t currentRevisionNumber = 0;
  uint32_t currentFirmwareDate = 0;  // BCD 0xYYYYMMDD, 0 when none was read
  int32_t handshakeRequired = 0;
  int32_t kernelTooOld = 0;
  int32_t utilityTooOld = 0;
  int32_t g6PatchNeeded = 0;
};

int32_t ReportRevision(Run& run, RevisionPhase phase);

}  // namespace oddfw
