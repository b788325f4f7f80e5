#include "sim/sim_passthrough.h"

#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstring>

namespace oddfw::sim {
namespace {

// The drive letter of "\\.\X:", or 0 for any other path.
char LetterOf(const char* path) {
  if (std::strlen(path) != 6 || std::strncmp(path, "\\\\.\\", 4) != 0 || path[5] != ':') return 0;
  const int c = std::toupper(static_cast<unsigned char>(path[4]));
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c) : 0;
}

}  // namespace

platform::Handle SimPassThrough::CreateFile(const char* path, uint32_t access, uint32_t) {
  const char letter = LetterOf(path);
  const AttachedDrive* found = nullptr;
  for (const AttachedDrive& d : drives_) {
    if (letter != 0 && d.letter == letter) found = &d;
  }
  if (found == nullptr || !found->device || !found->device->Present()) {
    lastError_ = platform::kErrorFileNotFound;
    return platform::InvalidHandle();
  }
  const uint32_t error = access == 0 ? found->controlOpenError : found->openError;
  if (error != 0) {
    lastError_ = error;
    return platform::InvalidHandle();
  }
  return open_.Add(OpenDevice{found, access});
}

bool SimPassThrough::ScsiPassThroughDirect(platform::Handle device,
                                           platform::PassThroughRecord* record,
                                           uint32_t* bytesReturned) {
  auto& sptd = record->sptd;
  ScsiRecord log;
  log.timeUs = clock_.NowUs();
  log.path = "passthrough";
  log.cdb.assign(sptd.Cdb, sptd.Cdb + std::min<uint8_t>(sptd.CdbLength, 16));
  log.direction = sptd.DataIn == platform::kScsiIoctlDataIn    ? drive::Direction::kIn
                  : sptd.DataIn == platform::kScsiIoctlDataOut ? drive::Direction::kOut
                                                               : drive::Direction::kNone;
  log.length = sptd.DataTransferLength;
  log.data = sptd.DataBuffer;
  log.timeoutS = sptd.TimeOutValue;
  log.endUs = log.timeUs;
  auto fail = [&](uint32_t error, const char* result) {
    log.result = result;
    log.error = error;
    log.endUs = clock_.NowUs();
    log_.Scsi(log);
    return Fail(error);
  };

  const OpenDevice* open = open_.Find(device);
  if (open == nullptr) {
    log.target = std::string(1, '?');  // not "?": GCC 12 at -O3 sees a false overlap
    return fail(platform::kErrorInvalidHandle, "error");
  }
  const AttachedDrive& attached = *open->drive;
  log.target = {attached.letter, ':'};
  if ((open->access & (platform::kGenericRead | platform::kGenericWrite)) !=
      (platform::kGenericRead | platform::kGenericWrite)) {
    return fail(platform::kErrorAccessDenied, "error");
  }
  if (attached.ioctlError != 0) return fail(attached.ioctlError, "error");
  if (!attached.device->Present()) return fail(platform::kErrorDeviceNotConnected, "device-gone");
  constexpr std::size_t kRecordSize = sizeof(platform::PassThroughRecord);
  if (sptd.Length != sizeof(platform::ScsiPassThroughDirect) || sptd.CdbLength > 16 ||
      (sptd.SenseInfoLength != 0 &&
       sptd.SenseInfoOffset < sizeof(platform::ScsiPassThroughDirect)) ||
      sptd.SenseInfoOffset + sptd.SenseInfoLength > kRecordSize) {
    return fail(kErrorInvalidParameter, "error");
  }

  drive::Command command;
  command.cdb = log.cdb;
  command.direction = log.direction;
  command.transferLength = sptd.DataTransferLength;
  command.timeUs = log.timeUs;
  auto* data = static_cast<uint8_t*>(sptd.DataBuffer);
  if (command.direction == drive::Direction::kOut && data != nullptr) {
    command.dataOut.assign(data, data + sptd.DataTransferLength);
  }
  const drive::Reply reply = attached.device->Execute(command);

  const uint64_t limitUs = uint64_t{sptd.TimeOutValue} * 1000000;
  if (reply.outcome == drive::Outcome::kNeverCompletes || reply.durationUs > limitUs) {
    clock_.SleepUs(limitUs);
    return fail(kErrorSemTimeout, "timeout");
  }
  clock_.SleepUs(reply.durationUs);
  if (reply.outcome == drive::Outcome::kDeviceGone) {
    return fail(platform::kErrorDeviceNotConnected, "device-gone");
  }
  if (reply.outcome == drive::Outcome::kTransportError) {
    return fail(kErrorIoDevice, "transport-error");
  }

  if (command.direction == drive::Direction::kIn && data != nullptr) {
    const auto n =
        static_cast<uint32_t>(std::min<std::size_t>(reply.data.size(), sptd.DataTransferLength));
    if (memory_.Where(data, n) == SimMemory::State::kReleased) {
      log_.Misuse("a pass-through command read into a freed buffer");
    } else if (n != 0) {
      std::memcpy(data, reply.data.data(), n);
    }
    sptd.DataTransferLength = n;
  }
  sptd.ScsiStatus = reply.status;
  uint32_t senseWritten = 0;
  if (reply.status != drive::kStatusGood && reply.hasSense && sptd.SenseInfoLength != 0) {
    // The driver writes at most the room the caller gave, but a careless one
    // may report a longer count.
    senseWritten =
        std::min<uint32_t>(sptd.SenseInfoLength, static_cast<uint32_t>(reply.sense.size()));
    std::memcpy(reinterpret_cast<uint8_t*>(record) + sptd.SenseInfoOffset, reply.sense.data(),
                senseWritten);
    sptd.SenseInfoLength = attached.reportedSenseLength != 0 ? attached.reportedSenseLength
                                                             : static_cast<uint8_t>(senseWritten);
    log.sense.assign(reply.sense.begin(), reply.sense.end());
  } else {
    sptd.SenseInfoLength = attached.reportedSenseLength;
  }
  if (bytesReturned != nullptr) *bytesReturned = sptd.SenseInfoOffset + senseWritten;

  log.status = reply.status;
  log.result = reply.status == drive::kStatusGood             ? "good"
               : reply.status == drive::kStatusCheckCondition ? "check-condition"
                                                              : "status";
  log.endUs = clock_.NowUs();
  log_.Scsi(log);
  return true;
}

bool SimPassThrough::MediaChangeControl(platform::Handle device, uint8_t suspend) {
  const OpenDevice* open = open_.Find(device);
  MediaControlRecord record{clock_.NowUs(), open != nullptr ? open->drive->letter : '?', suspend,
                            open != nullptr};
  log_.MediaControl(record);
  if (open == nullptr) return Fail(platform::kErrorInvalidHandle);
  return true;
}

bool SimPassThrough::CloseHandle(platform::Handle device) {
  if (open_.Remove(device)) return true;
  log_.Misuse("CloseHandle on a device handle that is not open");
  return Fail(platform::kErrorInvalidHandle);
}

}  // namespace oddfw::sim
