#pragma once
// Carries one SCSI command to one drive through ASPI or the pass-through
// interface and brings back data, status and sense data.

#include <cstdint>
#include <vector>

#include "platform/passthrough.h"
#include "platform/types.h"

namespace oddfw {

struct Run;

enum Direction : int32_t { kNoData = 0, kDataIn = 1, kDataOut = 2 };

// One command, built by the caller (which zeroes it first).
struct ScsiRequest {
  int32_t targetIndex = 0;
  int32_t direction = kNoData;
  int32_t cdbLength = 0;
  int32_t timeoutMs = 0;  // 0: no limit on ASPI, 60 s on pass-through
  int32_t dataLength = 0;
  uint8_t* data = nullptr;
  uint8_t cdb[16] = {};
};

// The last sense data.
struct SenseInfo {
  uint8_t rawSense[18] = {};
  // Sense byte 2 (whole byte) in bits 23..16, ASC in 15..8, ASCQ in 7..0;
  // written only by FetchSense.
  uint32_t senseCode = 0;
};

// An ASPI request the program gave up waiting for (a time-out, or an
// asynchronous request superseded by another command). Its request block and
// event stay reserved until the layer has finished with them.
struct AbandonedRequest {
  uint32_t slot = 0;                 // its request block in srbBuffer
  platform::Handle event = nullptr;  // its completion event; null when polled
};

// Request blocks lie in slots of this size in srbBuffer; a slot is reused
// only once the layer has finished the request in it.
inline constexpr uint32_t kSrbSlotSize = 128;

struct TransportState {
  SenseInfo sense;
  platform::Handle currentDevice = nullptr;  // pass-through: the newest open handle
  char devicePath[256] = {};
  uint8_t aspiAdapter = 0;  // address of the last ASPI command
  uint8_t aspiTarget = 0;
  platform::Handle completionEvent = nullptr;  // event of the asynchronous ASPI command
  bool completedOnSubmit = false;              // that command was finished during SendASPI32Command
  bool asyncSubmit = false;
  platform::PassThroughRecord record{};
  uint32_t lastSenseLength = 0;  // sense bytes the last pass-through call returned
  uint32_t srbSlot = 0;          // slot of the request block in use
  std::vector<AbandonedRequest> abandoned;
};

// Results of ExecuteScsiRequest besides 0.
inline constexpr int32_t kTransportFailed = -1;
inline constexpr int32_t kTransportTimeout = -2;  // also: the device did not open
inline constexpr int32_t kTransportCheckCondition = 2;

// Time limit of the pass-through probes, in seconds.
inline constexpr uint32_t kProbeTimeoutSeconds = 2;

int32_t ExecuteScsiRequest(Run& run, const ScsiRequest& request);
int32_t FetchSense(Run& run);
int32_t CheckAsyncCompletion(Run& run);
// True while a command submitted with asyncSubmit is still to be collected
// by CheckAsyncCompletion. A polled command has finished when
// ExecuteScsiRequest returns and leaves nothing to collect.
bool AsyncCommandPending(const Run& run);
int32_t OpenTargetDevice(Run& run, char driveLetter);
int32_t CloseTargetDevice(Run& run);
int32_t InquireByHandle(Run& run);
int32_t ReadVendorIdentityByHandle(Run& run);
int32_t InquireByAddress(Run& run, uint8_t adapter, uint8_t target);
int32_t ReadVendorIdentityByAddress(Run& run, uint8_t adapter, uint8_t target);
int32_t InquireCurrentTarget(Run& run);

// Gives the layer's abandoned requests a last look at clean-up; true when
// none of them is still running (their blocks and events are then released).
bool SettleAbandonedRequests(Run& run);

}  // namespace oddfw
