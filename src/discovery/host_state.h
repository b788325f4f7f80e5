#pragma once
// State shared by everything that talks to drives: the host flags, the table
// of drives found, the drive's vendor identity and the per-drive flags.

#include <array>
#include <cstdint>
#include <cstring>

#include "platform/types.h"

namespace oddfw {

struct Run;

// One drive the release applies to.
struct TargetEntry {
  int32_t adapter = 0;   // ASPI host adapter number (ASPI mode)
  int32_t target = 0;    // SCSI target id on that adapter (ASPI mode)
  char driveLetter = 0;  // 'D' to 'Z' (pass-through mode)
};

inline constexpr int kMaxTargets = 256;

// The 48 bytes a drive returns for READ BUFFER mode 2 buffer 0xF1, kept in a
// 64-byte store.
struct VendorIdentity {
  uint8_t bytes[64] = {};
  const char* hardwareRevision() const { return reinterpret_cast<const char*>(bytes + 16); }
  const char* signature() const { return reinterpret_cast<const char*>(bytes + 24); }
  const char* normalModelName() const { return reinterpret_cast<const char*>(bytes + 32); }
  void Clear() { std::memset(bytes, 0, sizeof bytes); }
};

// A CD or DVD device whose media-change notification is suspended while the
// program runs.
struct CdDevice {
  char letter = 0;
  platform::Handle handle = nullptr;
};

inline constexpr int kMaxCdDevices = 23;  // one per drive letter D to Z

struct HostState {
  // Host flags, set by host detection.
  bool aspiMode = false;
  int32_t intelIdeDriver = 0;
  int32_t ieee1394Adapter = -1;
  uint8_t autoInsertNotification = 0;
  int32_t commandTimeoutMs = 0;

  // The drives found, in the order they were accepted.
  std::array<TargetEntry, kMaxTargets> targetTable{};
  int32_t targetCount = 0;

  VendorIdentity vendorIdentity{};
  int32_t kernelOnlyDrive = 0;  // the drive runs only its kernel
  int32_t oemClass = 0;         // class of the drive's OEM signature

  std::array<CdDevice, kMaxCdDevices> cdDevices{};
  int8_t cdDeviceCount = 0;

  // Pass-through discovery: drive letters that opened, and those refused
  // for want of access rights (ERROR_ACCESS_DENIED).
  int32_t openedLetters = 0;
  int32_t deniedLetters = 0;
};

// Suspends media-change notification for a CD/DVD device at `letter` and
// keeps its handle in the newest entry of the device list.
int32_t ControlMediaNotification(Run& run, char letter);
// Restores media-change notification for entry `index` of the list.
void RestoreMediaNotification(Run& run, int index);

}  // namespace oddfw
