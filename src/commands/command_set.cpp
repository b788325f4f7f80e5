#include "commands/command_set.h"

#include <cstring>

#include "app/run.h"
#include "console/catalog.h"

namespace oddfw {
namespace {

inline constexpr uint8_t kOpTestUnitReady = 0x00;
inline constexpr uint8_t kOpInquiry = 0x12;
inline constexpr uint8_t kOpStartStopUnit = 0x1B;
inline constexpr uint8_t kOpWriteBuffer = 0x3B;
inline constexpr uint8_t kOpReadBuffer = 0x3C;

inline constexpr int32_t kDefaultTimeoutMs = 60000;

ScsiRequest Request(int32_t target, int32_t direction, int32_t cdbLength, int32_t timeoutMs) {
  ScsiRequest r{};
  r.targetIndex = target;
  r.direction = direction;
  r.cdbLength = cdbLength;
  r.timeoutMs = timeoutMs;
  return r;
}

// READ BUFFER and WRITE BUFFER share their CDB layout.
ScsiRequest BufferRequest(Run& run, int32_t target, uint8_t opcode, uint8_t mode, uint8_t bufferId,
                          uint32_t offset, uint32_t length, uint8_t* data, int32_t direction) {
  ScsiRequest r = Request(target, direction, 10, run.host.commandTimeoutMs);
  r.cdb[0] = opcode;
  r.cdb[1] = mode;
  r.cdb[2] = bufferId;
  r.cdb[3] = static_cast<uint8_t>(offset >> 16);
  r.cdb[4] = static_cast<uint8_t>(offset >> 8);
  r.cdb[5] = static_cast<uint8_t>(offset);
  r.cdb[6] = 0;  // the top byte of the length field stays 0
  r.cdb[7] = static_cast<uint8_t>(length >> 8);
  r.cdb[8] = static_cast<uint8_t>(length);
  r.dataLength = static_cast<int32_t>(length);
  r.data = data;
  return r;
}

struct ModelName {
  int32_t modelCode;
  const char* name;
  bool checksum;  // bytes 16-19 carry the release checksum
};

// The names the drive expects to enter kernel mode, by model code.
constexpr ModelName kKernelModeNames[] = {
    {0x1003, "QUORVEN KWX-T680", false}, {0x1004, "QUORVEN KWXN-730", false},
    {0x1005, "QUORVEN  KWX-740", false}, {0x1041, "QUORVEN  KWX-740", false},
    {0x4004, "QUORVEN  MHT-870", true},
};

// ... and to return to normal mode.
constexpr ModelName kNormalModeNames[] = {
    {0x1003, "QUORVEN KWX-T680", false}, {0x1004, "QUORVEN KWXN-730", false},
    {0x1005, "QUORVEN  KWX-740", false}, {0x1041, "QUORVEN  KWX-L57", false},
    {0x4004, "QUORVEN  MHT-870", true},  {0x4024, "QUORVEN  MHT-870", true},
};

template <std::size_t N>
const ModelName* FindName(const ModelName (&table)[N], int32_t modelCode) {
  for (const ModelName& m : table) {
    if (m.modelCode == modelCode) return &m;
  }
  return nullptr;
}

}  // namespace

int32_t TestUnitReady(Run& run, int32_t target) {
  ScsiRequest r = Request(target, kNoData, 6, run.host.commandTimeoutMs);
  r.cdb[0] = kOpTestUnitReady;
  return ExecuteScsiRequest(run, r);
}

int32_t Inquiry(Run& run, int32_t target, uint8_t* buffer) {
  ScsiRequest r = Request(target, kDataIn, 6, run.host.ieee1394Adapter != -1 ? 1000 : 5000);
  r.cdb[0] = kOpInquiry;
  r.cdb[4] = 0x60;
  r.dataLength = 96;
  r.data = buffer;
  return ExecuteScsiRequest(run, r);
}

int32_t StartStopUnit(Run& run, int32_t target, uint8_t byte1, uint8_t powerCondition,
                      uint8_t loadEject, uint8_t start) {
  ScsiRequest r = Request(target, kNoData, 6, run.host.commandTimeoutMs);
  r.cdb[0] = kOpStartStopUnit;
  r.cdb[1] = byte1;
  r.cdb[4] = static_cast<uint8_t>(powerCondition * 16 + loadEject * 2 + start);
  return ExecuteScsiRequest(run, r);
}

int32_t ReadBuffer(Run& run, int32_t target, uint8_t mode, uint8_t bufferId, uint32_t offset,
                   uint32_t length, uint8_t* buffer) {
  return ExecuteScsiRequest(run, BufferRequest(run, target, kOpReadBuffer, mode, bufferId, offset,
                                               length, buffer, kDataIn));
}

int32_t WriteBuffer(Run& run, int32_t target, uint8_t mode, uint8_t bufferId, uint32_t offset,
                    uint32_t length, const uint8_t* buffer) {
  // The transfer only reads the buffer on the way out.
  return ExecuteScsiRequest(
      run, BufferRequest(run, target, kOpWriteBuffer, mode, bufferId, offset, length,
                         const_cast<uint8_t*>(buffer), length > 0 ? kDataOut : kNoData));
}

int32_t EnterUpdateMode(Run& run) {
  run.host.commandTimeoutMs = kDefaultTimeoutMs;
  return WriteBuffer(run, run.driver.currentTarget, 1, 0x30, 0, 0, nullptr);
}

int32_t WriteUpdateData(Run& run, uint32_t offset, uint32_t length, const uint8_t* data) {
  return WriteBuffer(run, run.driver.currentTarget, 1, 0xFF, offset, length, data);
}

int32_t StartReflash(Run& run) {
  return WriteBuffer(run, run.driver.currentTarget, 1, 0x42, 0, 0, nullptr);
}

int32_t ReadDriveMemory(Run& run, uint32_t offset, uint32_t length, uint8_t* buffer) {
  run.host.commandTimeoutMs = kDefaultTimeoutMs;
  return ReadBuffer(run, run.driver.currentTarget, 1, 0x80, offset, length, buffer);
}

int32_t ReadVendorIdentity(Run& run) {
  run.host.commandTimeoutMs = kDefaultTimeoutMs;
  return ReadBuffer(run, run.driver.currentTarget, 2, 0xF1, 0, 48, run.host.vendorIdentity.bytes);
}

void BuildModeChangeBlock(Run& run, int32_t modelCode, bool kernel, uint8_t* block) {
  std::memset(block, 0, kModeChangeBlockSize);
  const ModelName* m =
      kernel ? FindName(kKernelModeNames, modelCode) : FindName(kNormalModeNames, modelCode);
  if (m == nullptr) return;
  std::memcpy(block, m->name, 16);
  if (m->checksum) {
    const uint32_t sum = run.definition.active.checksum;
    for (int i = 0; i < 4; ++i) block[16 + i] = static_cast<uint8_t>(sum >> (8 * i));
  }
}

int32_t EnterKernelMode(Run& run, int32_t modelCode) {
  uint8_t* block = run.detection.parameterBuffer;
  if (block == nullptr) return kTransportFailed;
  BuildModeChangeBlock(run, modelCode, true, block);
  run.host.commandTimeoutMs = kDefaultTimeoutMs;
  const int32_t result =
      WriteBuffer(run, run.driver.currentTarget, 4, 0xFF, 0, kModeChangeBlockSize, block);
  if (result != 0) {
    ShowMessage(run, 14, ConsoleOnly);
    return result;
  }
  run.host.commandTimeoutMs = kDefaultTimeoutMs;
  if (!(run.host.intelIdeDriver != 0 && run.host.aspiMode)) DelayMs(run, 2000);
  return 0;
}

int32_t NormalModeTimeoutMs(const Run& run, int32_t modelCode) {
  const HostState& host = run.host;
  if (modelCode == 0x1005 || modelCode == 0x1041) return 30000;
  if ((modelCode >= 0x1006 && modelCode <= 0x100F) ||
      (modelCode >= 0x1042 && modelCode <= 0x1049) || modelCode == 0x4004 || modelCode == 0x4024 ||
      modelCode == 0x4041 || modelCode == 0x4061) {
    return 180000;
  }
  if (modelCode >= 0x4001 && modelCode <= 0x4003) return 60000;
  const int32_t target = run.driver.currentTarget;
  if (host.aspiMode && target >= 0 && target < kMaxTargets &&
      host.ieee1394Adapter == host.targetTable[static_cast<std::size_t>(target)].adapter) {
    return 10000;
  }
  if (host.aspiMode && modelCode == 0x1003) return 10000;
  return 5000;
}

int32_t EnterNormalMode(Run& run, int32_t modelCode) {
  uint8_t* block = run.detection.parameterBuffer;
  if (block == nullptr) return kTransportFailed;
  BuildModeChangeBlock(run, modelCode, false, block);
  run.host.commandTimeoutMs = NormalModeTimeoutMs(run, modelCode);
  const int32_t result =
      WriteBuffer(run, run.driver.currentTarget, 5, 0xFF, 0, kModeChangeBlockSize, block);
  run.host.commandTimeoutMs = kDefaultTimeoutMs;
  if (result != 0) {
    const uint32_t senseByte = (run.transport.sense.senseCode >> 16) & 0xFF;
    const bool forgiven = (run.host.oemClass == 0x300 && !run.host.aspiMode) ||
                          (run.host.ieee1394Adapter != -1 && (senseByte == 2 || senseByte == 6));
    if (!forgiven) {
      ShowMessage(run, 15, ConsoleOnly);
      return result;
    }
  }
  DelayMs(run, 5000);
  if (run.host.oemClass == 0x300) TestUnitReady(run, run.driver.currentTarget);
  return 0;
}

int32_t WriteKernelPart(Run& run, uint32_t offset, uint32_t length, const uint8_t* data) {
  run.host.commandTimeoutMs = kDefaultTimeoutMs;
  return WriteBuffer(run, run.driver.currentTarget, 7, 0xFE, offset, length, data);
}

int32_t WriteNormalPart(Run& run, uint32_t offset, uint32_t length, const uint8_t* data) {
  run.host.commandTimeoutMs = kDefaultTimeoutMs;
  return WriteBuffer(run, run.driver.currentTarget, 7, 0xF0, offset, length, data);
}

int32_t StopUnit(Run& run) {
  run.host.commandTimeoutMs = 0;
  return StartStopUnit(run, run.driver.currentTarget, 0, 0, 0, 0);
}

int32_t HandshakeProbe(Run& run) {
  return WriteBuffer(run, run.driver.currentTarget, 1, 0xF3, 0, 0, nullptr);
}

int32_t ReadChallenge(Run& run, uint8_t* challenge) {
  return ReadBuffer(run, run.driver.currentTarget, 2, 0xF2, 0, 1024, challenge);
}

int32_t EchoChallenge(Run& run, const uint8_t* challenge) {
  return WriteBuffer(run, run.driver.currentTarget, 1, 0xF2, 0, 256, challenge);
}

int32_t SendChallengeResponse(Run& run, const uint8_t* block) {
  return WriteBuffer(run, run.driver.currentTarget, 1, 0xF2, 0, 1024, block);
}

}  // namespace oddfw
