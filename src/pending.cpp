// Parts of the program that are not built yet: the host is not detected, no
// drive is discovered and no command reaches a drive.
#include "app/run.h"
#include "discovery/discovery.h"
#include "procedures/procedures.h"

namespace oddfw {

int32_t DetectHostEnvironment(Run& run) {
  run.host.commandTimeoutMs = 60000;
  return 0;
}
int32_t ReleaseHostEnvironment(Run&) { return 0; }
int32_t DiscoverTargets(Run& run) {
  run.host.targetCount = 0;
  return 0;
}
int32_t MatchUpdateDefinition(Run&, const uint8_t*) { return -1; }
int32_t ExecuteScsiRequest(Run&, const ScsiRequest&) { return -1; }
int32_t FetchSense(Run&) { return 0; }
int32_t InquireCurrentTarget(Run&) { return -1; }
int32_t CheckAsyncCompletion(Run&) { return -1; }

}  // namespace oddfw
