#pragma once
// The SCSI pass-through interface on drive letters ("\\.\E:"), and the
// record that carries one command through it.

#include <cstddef>
#include <cstdint>

#include "platform/types.h"

namespace oddfw::platform {

inline constexpr uint32_t kGenericRead = 0x80000000u;
inline constexpr uint32_t kGenericWrite = 0x40000000u;
inline constexpr uint32_t kFileShareRead = 0x1;
inline constexpr uint32_t kFileShareWrite = 0x2;

inline constexpr uint32_t kIoctlScsiPassThroughDirect = 0x4D014;
inline constexpr uint32_t kIoctlStorageMcnControl = 0x2D0944;  // 0x2D4808 would eject the media

inline constexpr uint8_t kScsiIoctlDataOut = 0;
inline constexpr uint8_t kScsiIoctlDataIn = 1;
inline constexpr uint8_t kScsiIoctlDataUnspecified = 2;

// SCSI_PASS_THROUGH_DIRECT in the natural layout of the host; on a 32-bit
// host it is 44 bytes with the data pointer at offset 20.
struct ScsiPassThroughDirect {
  uint16_t Length;
  uint8_t ScsiStatus;
  uint8_t PathId;
  uint8_t TargetId;
  uint8_t Lun;
  uint8_t CdbLength;
  uint8_t SenseInfoLength;
  uint8_t DataIn;
  uint32_t DataTransferLength;
  uint32_t TimeOutValue;
  void* DataBuffer;
  uint32_t SenseInfoOffset;
  uint8_t Cdb[16];
};

// The record handed to the driver: the structure, a filler and the area the
// driver returns sense bytes into (SenseInfoOffset points at it).
struct PassThroughRecord {
  ScsiPassThroughDirect sptd;
  uint32_t filler;
  uint8_t sense[32];
};

static_assert(offsetof(ScsiPassThroughDirect, ScsiStatus) == 2);
static_assert(offsetof(ScsiPassThroughDirect, CdbLength) == 6);
static_assert(offsetof(ScsiPassThroughDirect, SenseInfoLength) == 7);
static_assert(offsetof(ScsiPassThroughDirect, DataIn) == 8);
static_assert(offsetof(ScsiPassThroughDirect, DataTransferLength) == 12);
static_assert(offsetof(ScsiPassThroughDirect, TimeOutValue) == 16);
#if UINTPTR_MAX == 0xFFFFFFFFu
static_assert(offsetof(ScsiPassThroughDirect, DataBuffer) == 20);
static_assert(offsetof(ScsiPassThroughDirect, SenseInfoOffset) == 24);
static_assert(offsetof(ScsiPassThroughDirect, Cdb) == 28);
static_assert(sizeof(ScsiPassThroughDirect) == 44);
static_assert(offsetof(PassThroughRecord, filler) == 44);
static_assert(offsetof(PassThroughRecord, sense) == 48);
static_assert(sizeof(PassThroughRecord) == 80);
#else
static_assert(offsetof(ScsiPassThroughDirect, DataBuffer) == 24);
static_assert(offsetof(ScsiPassThroughDirect, SenseInfoOffset) == 32);
static_assert(offsetof(ScsiPassThroughDirect, Cdb) == 36);
static_assert(sizeof(ScsiPassThroughDirect) == 56);
static_assert(offsetof(PassThroughRecord, sense) == 60);
#endif

class PassThrough {
 public:
  virtual ~PassThrough() = default;
  // CreateFileA(path, access, share, nullptr, OPEN_EXISTING, 0, nullptr);
  // InvalidHandle() when it fails (LastError tells why).
  virtual Handle CreateFile(const char* path, uint32_t access, uint32_t share) = 0;
  // DeviceIoControl(IOCTL_SCSI_PASS_THROUGH_DIRECT) with the record as input
  // and output buffer. False when the call failed as a whole.
  virtual bool ScsiPassThroughDirect(Handle device, PassThroughRecord* record,
                                     uint32_t* bytesReturned) = 0;
  // DeviceIoControl(IOCTL_STORAGE_MCN_CONTROL) with a one-byte input: 1
  // suspends media-change notification for the handle, 0 restores it.
  virtual bool MediaChangeControl(Handle device, uint8_t suspend) = 0;
  virtual bool CloseHandle(Handle device) = 0;
  // GetLastError after a failed call of this interface.
  virtual uint32_t LastError() = 0;
};

}  // namespace oddfw::platform
