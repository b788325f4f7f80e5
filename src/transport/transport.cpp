#include "transport/transport.h"

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstring>

#include "app/run.h"

namespace oddfw {
namespace {

using platform::SrbExecScsiCmd;

inline constexpr uint8_t kOpTestUnitReady = 0x00;
inline constexpr uint8_t kOpWriteBuffer = 0x3B;
inline constexpr int32_t kOemClassUnlimitedWaits = 0x300;
inline constexpr uint32_t kPollIntervalMs = 500;
// A wait the ASPI interface would leave without limit (a command without a
// time limit, every command of OEM class 0x300, the discovery probes) ends
// after ten minutes: far longer than any command takes a drive, even one
// that re-flashes before it answers (the longest time limit the program
// gives a command is three minutes), yet a drive that never answers cannot
// hold the program for ever. Such a wait then ends as a time-out.
inline constexpr uint32_t kLongestWaitMs = 600000;
inline constexpr uint32_t kDefaultPassThroughSeconds = 60;

inline constexpr uint8_t kInquiryCdb[6] = {0x12, 0x00, 0x00, 0x00, 0x60, 0x00};
inline constexpr uint32_t kInquiryLength = 96;
inline constexpr uint8_t kVendorIdentityCdb[10] = {0x3C, 0x02, 0xF1, 0x00, 0x00,
                                                   0x00, 0x00, 0x00, 0x30, 0x00};
inline constexpr uint32_t kVendorIdentityLength = 48;

static_assert(sizeof(SrbExecScsiCmd) <= kSrbSlotSize);
inline constexpr uint32_t kSrbSlots = kSrbBufferSize / kSrbSlotSize;

bool IsOpen(platform::Handle h) {
  return h != nullptr && h != platform::InvalidHandle();
}

SrbExecScsiCmd* SrbAt(Run& run, uint32_t slot) {
  return reinterpret_cast<SrbExecScsiCmd*>(run.detection.srbBuffer + slot * kSrbSlotSize);
}

SrbExecScsiCmd* CurrentSrb(Run& run) {
  return SrbAt(run, run.transport.srbSlot);
}

// ---- ASPI request blocks ------------------------------------------------
//
// After a time-out the layer may still own the request block and may still
// signal its event. Such a request is set aside with its slot and event; the
// next request takes a slot no unfinished request uses, and the event is
// closed only once the layer has signalled it.

bool Finished(Run& run, const AbandonedRequest& r) {
  if (r.event != nullptr) {
    return run.os.events.WaitForSingleObject(r.event, 0) == platform::kWaitObject0;
  }
  return SrbAt(run, r.slot)->SRB_Status != platform::kSsPending;
}

void ReapAbandoned(Run& run) {
  auto& list = run.transport.abandoned;
  list.erase(std::remove_if(list.begin(), list.end(),
                            [&](const AbandonedRequest& r) {
                              if (!Finished(run, r)) return false;
                              if (r.event != nullptr) run.os.events.CloseHandle(r.event);
                              return true;
                            }),
             list.end());
}

void Abandon(Run& run, platform::Handle event) {
  run.transport.abandoned.push_back({run.transport.srbSlot, event});
}

bool SlotBusy(const TransportState& t, uint32_t slot) {
  return std::any_of(t.abandoned.begin(), t.abandoned.end(),
                     [slot](const AbandonedRequest& r) { return r.slot == slot; });
}

// Readies a request block for the next ASPI request: one that no unfinished
// request uses. False when there is none (or no request-block buffer).
bool TakeRequestBlock(Run& run) {
  TransportState& t = run.transport;
  if (run.detection.srbBuffer == nullptr) return false;
  // An asynchronous request nobody has collected is still the layer's.
  if (t.completionEvent != nullptr) {
    if (!t.completedOnSubmit) {
      Abandon(run, t.completionEvent);
    } else {
      run.os.events.CloseHandle(t.completionEvent);
    }
    t.completionEvent = nullptr;
    t.completedOnSubmit = false;
  }
  ReapAbandoned(run);
  for (uint32_t n = 0; n < kSrbSlots; ++n) {
    const uint32_t slot = (t.srbSlot + n) % kSrbSlots;
    if (!SlotBusy(t, slot)) {
      t.srbSlot = slot;
      std::memset(CurrentSrb(run), 0, sizeof(SrbExecScsiCmd));
      return true;
    }
  }
  return false;
}

uint8_t DirectionFlags(int32_t direction) {
  switch (direction) {
    case kDataIn:
      return platform::kSrbDirIn;
    case kDataOut:
      return platform::kSrbDirOut;
    default:
      return 0;
  }
}

void FillSrb(SrbExecScsiCmd* srb, uint8_t adapter, uint8_t target, const uint8_t* cdb,
             int32_t cdbLength, uint8_t* data, uint32_t dataLength, uint8_t senseLength) {
  const auto n = static_cast<uint8_t>(std::clamp(cdbLength, 0, 16));
  srb->SRB_Cmd = platform::kScExecScsiCmd;
  srb->SRB_HaId = adapter;
  srb->SRB_Target = target;
  srb->SRB_Lun = 0;
  srb->SRB_BufLen = dataLength;
  srb->SRB_BufPointer = data;
  srb->SRB_SenseLen = senseLength;
  srb->SRB_CDBLen = n;
  std::memcpy(srb->CDBByte, cdb, n);
}

// Waits for an event-notify request. True when the request has finished
// (its event fired, or the layer finished it during the call and will not
// signal); false when the wait ended otherwise, with *timedOut telling
// whether the limit passed.
bool AwaitEvent(Run& run, platform::Handle event, uint32_t submitted, uint32_t timeoutMs,
                bool* timedOut) {
  *timedOut = false;
  if (submitted != platform::kSsPending) return true;
  const uint32_t wait = run.os.events.WaitForSingleObject(event, timeoutMs);
  if (wait == platform::kWaitObject0) return true;
  if (wait == platform::kWaitTimeout) {
    *timedOut = true;
    return false;
  }
  return CurrentSrb(run)->SRB_Status != platform::kSsPending;
}

int32_t ExecuteAspi(Run& run, const ScsiRequest& request) {
  TransportState& t = run.transport;
  const TargetEntry& entry = run.host.targetTable[request.targetIndex];
  t.aspiAdapter = static_cast<uint8_t>(entry.adapter);
  t.aspiTarget = static_cast<uint8_t>(entry.target);
  if (!TakeRequestBlock(run)) return kTransportFailed;
  SrbExecScsiCmd* srb = CurrentSrb(run);
  FillSrb(srb, t.aspiAdapter, t.aspiTarget, request.cdb, request.cdbLength, request.data,
          static_cast<uint32_t>(request.dataLength), sizeof t.sense.rawSense);

  // WRITE BUFFER to the IEEE1394 mapper adapter, and the mode-5 WRITE BUFFER
  // of model 0x1003, are polled: their completion event is not reliable.
  const bool writeBuffer = request.cdb[0] == kOpWriteBuffer;
  const bool polled =
      (writeBuffer && t.aspiAdapter == run.host.ieee1394Adapter) ||
      (writeBuffer && request.cdb[1] == 5 && run.definition.active.modelCode == 0x1003);
  platform::Handle event = nullptr;
  if (polled) {
    srb->SRB_Flags = DirectionFlags(request.direction);
    srb->SRB_PostProc = nullptr;
    run.os.aspi.SendASPI32Command(srb);
    int64_t elapsedMs = 0;
    const int64_t limitMs = request.timeoutMs != 0 ? request.timeoutMs : kLongestWaitMs;
    for (;;) {
      run.os.clock.Sleep(kPollIntervalMs);
      elapsedMs += kPollIntervalMs;
      if (limitMs < elapsedMs) {
        Abandon(run, nullptr);
        return kTransportFailed;
      }
      if (srb->SRB_Status != platform::kSsPending) break;
    }
  } else {
    event = run.os.events.CreateEvent();
    if (event == nullptr) return kTransportFailed;
    srb->SRB_PostProc = event;
    srb->SRB_Flags = platform::kSrbEventNotify | DirectionFlags(request.direction);
    const uint32_t submitted = run.os.aspi.SendASPI32Command(srb);
    if (t.asyncSubmit) {
      t.completionEvent = event;
      t.completedOnSubmit = submitted != platform::kSsPending;
      return 0;
    }
    const bool unlimited = request.timeoutMs == 0 || run.host.oemClass == kOemClassUnlimitedWaits;
    bool timedOut = false;
    if (!AwaitEvent(run, event, submitted,
                    unlimited ? kLongestWaitMs : static_cast<uint32_t>(request.timeoutMs),
                    &timedOut)) {
      // The layer still owns the request: keep its block and event for it.
      Abandon(run, event);
      return timedOut ? kTransportTimeout : kTransportFailed;
    }
  }

  int32_t result = 0;
  if (srb->SRB_Status != platform::kSsComp) {
    std::memcpy(t.sense.rawSense, srb->SenseArea, sizeof t.sense.rawSense);
    FetchSense(run);
    // The Intel IDE driver reports NOT READY for commands that did succeed.
    const bool excused = run.host.intelIdeDriver != 0 && request.cdb[0] != kOpTestUnitReady &&
                         (t.sense.senseCode >> 16) == 2;
    result = excused ? 0 : kTransportFailed;
  }
  if (event != nullptr) run.os.events.CloseHandle(event);
  return result;
}

// ---- pass-through ------------------------------------------------------

int32_t PassThroughCommand(Run& run, int32_t direction, const uint8_t* cdb, int32_t cdbLength,
                           uint8_t* data, uint32_t dataLength, uint32_t timeoutSeconds) {
  TransportState& t = run.transport;
  platform::PassThroughRecord& record = t.record;
  record = platform::PassThroughRecord{};
  auto& sptd = record.sptd;
  const auto n = static_cast<uint8_t>(std::clamp(cdbLength, 0, 16));
  sptd.Length = sizeof(platform::ScsiPassThroughDirect);
  sptd.CdbLength = n;
  sptd.SenseInfoLength = sizeof t.sense.rawSense;
  sptd.DataIn = direction == kDataIn    ? platform::kScsiIoctlDataIn
                : direction == kDataOut ? platform::kScsiIoctlDataOut
                                        : platform::kScsiIoctlDataUnspecified;
  sptd.DataTransferLength = dataLength;
  sptd.TimeOutValue = timeoutSeconds;
  sptd.DataBuffer = data;
  sptd.SenseInfoOffset = offsetof(platform::PassThroughRecord, sense);
  std::memcpy(sptd.Cdb, cdb, n);

  uint32_t bytesReturned = 0;
  if (!run.os.passThrough.ScsiPassThroughDirect(t.currentDevice, &record, &bytesReturned)) {
    // The call failed as a whole (no access rights, the device is gone, the
    // driver gave up): the status field was never filled, so this is no
    // success.
    t.lastSenseLength = 0;
    return kTransportFailed;
  }
  // Never more than rawSense (and the record's sense area) holds, whatever
  // count the driver reports.
  t.lastSenseLength = std::min<uint32_t>(sptd.SenseInfoLength, sizeof t.sense.rawSense);
  if (sptd.ScsiStatus != 0) {
    std::memcpy(t.sense.rawSense, record.sense, t.lastSenseLength);
    return kTransportCheckCondition;
  }
  return 0;
}

int32_t ExecutePassThrough(Run& run, const ScsiRequest& request) {
  const TargetEntry& entry = run.host.targetTable[request.targetIndex];
  if (OpenTargetDevice(run, entry.driveLetter) != 0) return kTransportTimeout;
  const auto timeoutMs = static_cast<uint32_t>(request.timeoutMs);
  const uint32_t seconds = timeoutMs == 0 ? kDefaultPassThroughSeconds : timeoutMs / 1000;
  return PassThroughCommand(run, request.direction, request.cdb, request.cdbLength, request.data,
                            static_cast<uint32_t>(request.dataLength), seconds);
}

// ---- ASPI probes -------------------------------------------------------

int32_t AspiProbe(Run& run, uint8_t adapter, uint8_t target, const uint8_t* cdb, int32_t cdbLength,
                  uint8_t* data, uint32_t dataLength) {
  if (data == nullptr || !TakeRequestBlock(run)) return kTransportFailed;
  SrbExecScsiCmd* srb = CurrentSrb(run);
  FillSrb(srb, adapter, target, cdb, cdbLength, data, dataLength, 0);
  platform::Handle event = run.os.events.CreateEvent();
  if (event == nullptr) return kTransportFailed;
  srb->SRB_PostProc = event;
  srb->SRB_Flags = platform::kSrbEventNotify | platform::kSrbDirIn;
  const uint32_t submitted = run.os.aspi.SendASPI32Command(srb);
  bool timedOut = false;
  if (!AwaitEvent(run, event, submitted, kLongestWaitMs, &timedOut)) {
    Abandon(run, event);
    return kTransportFailed;
  }
  run.os.events.CloseHandle(event);
  return srb->SRB_Status == platform::kSsComp ? 0 : kTransportFailed;
}

}  // namespace

int32_t ExecuteScsiRequest(Run& run, const ScsiRequest& request) {
  if (request.targetIndex < 0 || request.targetIndex >= run.host.targetCount ||
      request.targetIndex >= kMaxTargets) {
    return kTransportFailed;
  }
  return run.host.aspiMode ? ExecuteAspi(run, request) : ExecutePassThrough(run, request);
}

int32_t FetchSense(Run& run) {
  SenseInfo& s = run.transport.sense;
  if (!run.host.aspiMode) {
    std::memcpy(s.rawSense, run.transport.record.sense, run.transport.lastSenseLength);
  }
  s.senseCode = uint32_t{s.rawSense[2]} << 16 | uint32_t{s.rawSense[12]} << 8 | s.rawSense[13];
  return 0;
}

int32_t CheckAsyncCompletion(Run& run) {
  TransportState& t = run.transport;
  t.asyncSubmit = false;
  if (t.completionEvent == nullptr) return 1;
  if (!t.completedOnSubmit &&
      run.os.events.WaitForSingleObject(t.completionEvent, 0) != platform::kWaitObject0) {
    return 1;
  }
  run.os.events.CloseHandle(t.completionEvent);
  t.completionEvent = nullptr;
  t.completedOnSubmit = false;
  return CurrentSrb(run)->SRB_Status == platform::kSsComp ? 0 : -1;
}

bool AsyncCommandPending(const Run& run) {
  return run.transport.completionEvent != nullptr;
}

int32_t OpenTargetDevice(Run& run, char driveLetter) {
  TransportState& t = run.transport;
  run.host.ieee1394Adapter = -1;
  std::memset(t.devicePath, 0, sizeof t.devicePath);
  std::snprintf(t.devicePath, sizeof t.devicePath, "\\\\.\\%c:", driveLetter);
  const platform::Handle device =
      run.os.passThrough.CreateFile(t.devicePath, platform::kGenericRead | platform::kGenericWrite,
                                    platform::kFileShareRead | platform::kFileShareWrite);
  // The handle this one replaces is not used again.
  if (IsOpen(t.currentDevice)) run.os.passThrough.CloseHandle(t.currentDevice);
  t.currentDevice = device;
  return device == platform::InvalidHandle() ? -1 : 0;
}

int32_t CloseTargetDevice(Run& run) {
  TransportState& t = run.transport;
  if (IsOpen(t.currentDevice)) run.os.passThrough.CloseHandle(t.currentDevice);
  t.currentDevice = nullptr;
  return 0;
}

int32_t InquireByHandle(Run& run) {
  if (run.detection.workBuffer == nullptr) return kTransportFailed;
  return PassThroughCommand(run, kDataIn, kInquiryCdb, sizeof kInquiryCdb, run.detection.workBuffer,
                            kInquiryLength, kProbeTimeoutSeconds);
}

int32_t ReadVendorIdentityByHandle(Run& run) {
  return PassThroughCommand(run, kDataIn, kVendorIdentityCdb, sizeof kVendorIdentityCdb,
                            run.host.vendorIdentity.bytes, kVendorIdentityLength,
                            kProbeTimeoutSeconds);
}

int32_t InquireByAddress(Run& run, uint8_t adapter, uint8_t target) {
  return AspiProbe(run, adapter, target, kInquiryCdb, sizeof kInquiryCdb, run.detection.workBuffer,
                   kInquiryLength);
}

int32_t ReadVendorIdentityByAddress(Run& run, uint8_t adapter, uint8_t target) {
  return AspiProbe(run, adapter, target, kVendorIdentityCdb, sizeof kVendorIdentityCdb,
                   run.host.vendorIdentity.bytes, kVendorIdentityLength);
}

int32_t InquireCurrentTarget(Run& run) {
  if (run.host.aspiMode) {
    return InquireByAddress(run, run.transport.aspiAdapter, run.transport.aspiTarget);
  }
  return InquireByHandle(run);
}

bool SettleAbandonedRequests(Run& run) {
  TransportState& t = run.transport;
  if (t.completionEvent != nullptr) {
    if (t.completedOnSubmit ||
        run.os.events.WaitForSingleObject(t.completionEvent, 0) == platform::kWaitObject0) {
      run.os.events.CloseHandle(t.completionEvent);
    } else {
      Abandon(run, t.completionEvent);
    }
    t.completionEvent = nullptr;
    t.completedOnSubmit = false;
  }
  if (run.detection.srbBuffer == nullptr) return t.abandoned.empty();
  ReapAbandoned(run);
  return t.abandoned.empty();
}

}  // namespace oddfw
