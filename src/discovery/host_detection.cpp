#include "discovery/host_detection.h"

#include <cstring>
#include <string>

#include "app/run.h"
#include "console/catalog.h"
#include "transport/transport.h"

namespace oddfw {
namespace {

using platform::RegistryRoot;

inline constexpr int32_t kDefaultCommandTimeoutMs = 60000;
inline constexpr MessageCode kIntelDriverFound = 48;
inline constexpr MessageCode kIeee1394Found = 52;

inline constexpr const char* kApplicationAcceleratorKey =
    "SOFTWARE\\INTEL\\Intel Application Accelerator";
inline constexpr const char* kUltraAtaKey = "SOFTWARE\\INTEL\\Intel Ultra ATA Storage Driver";
// The Windows 98/Me key of the drive model whose IEEE1394 instances carry an
// AutoInsertNotification value; its last character becomes the mapper's
// adapter number.
inline constexpr const char* kDriveKeyPath = "Enum\\SCSI\\QUORVEN_DVD-RW__KWX-720_0";
inline constexpr std::size_t kDriveKeyLength = 35;
inline constexpr const char* kInstancePrefix = "SBP2&HALV&LQTB-ZKN";
inline constexpr std::size_t kInstancePrefixLength = 18;
inline constexpr const char* kConfigManagerEnum = "Config Manager\\Enum";
inline constexpr uint32_t kMaxKeyNameChars = 256;
inline constexpr uint32_t kHardwareKeyRoom = 1023;

bool Allocate(Run& run, uint8_t** block, std::size_t bytes) {
  *block = run.os.memory.AllocateZeroed(bytes);
  return *block != nullptr;
}

void Free(Run& run, uint8_t** block) {
  if (*block != nullptr) run.os.memory.Release(*block);
  *block = nullptr;
}

bool AllocateImageBuffer(Run& run, std::size_t bytes) {
  FirmwareImage& image = run.image.firmware;
  if (!Allocate(run, &image.buffer, bytes)) return false;
  image.capacity = static_cast<int32_t>(bytes);
  return true;
}

void FreeImageBuffer(Run& run) {
  Free(run, &run.image.firmware.buffer);
  run.image.firmware.capacity = 0;
}

bool KeyExists(Run& run, const char* path) {
  platform::Handle key = nullptr;
  if (run.os.registry.OpenKey(RegistryRoot::LocalMachine, path, platform::kKeyRead, &key) !=
      platform::kErrorSuccess) {
    return false;
  }
  run.os.registry.CloseKey(key);
  return true;
}

bool IsMapperName(const char* name) {
  static const char kZeros[8] = {};
  return std::memcmp(name, "NTMAPHLP", 8) == 0 || std::memcmp(name, "ntmaphlp", 8) == 0 ||
         std::memcmp(name, "        ", 8) == 0 || std::memcmp(name, kZeros, 8) == 0;
}

void PrintRegistryError(Run& run, const char* format, uint32_t code) {
  PrintFormat(run, format, static_cast<unsigned long>(code));
}

}  // namespace

int32_t DetectHostEnvironment(Run& run) {
  run.host.commandTimeoutMs = kDefaultCommandTimeoutMs;
  platform::OsVersion version;
  version.infoSize = 148;
  run.os.osInfo.GetVersionEx(version);

  const uint32_t platformId = version.platformId;
  const uint32_t major = version.majorVersion;
  const uint32_t minor = version.minorVersion;
  if (platformId == platform::kPlatformWin32Windows) {
    // Windows 95, 98 and Me.
    if (minor == 0 || minor == 10 || minor == 90) run.host.aspiMode = true;
  } else if (platformId == platform::kPlatformWin32Nt) {
    if (major == 4 || (major == 5 && (minor == 0 || minor == 1))) run.host.aspiMode = false;
  } else {
    run.host.aspiMode = false;
  }
  return run.host.aspiMode ? PrepareAspiHost(run) : PreparePassThroughHost(run);
}

int32_t PreparePassThroughHost(Run& run) {
  HostState& h = run.host;
  HostDetectionState& d = run.detection;
  h.commandTimeoutMs = kDefaultCommandTimeoutMs;
  h.intelIdeDriver = 0;
  if (KeyExists(run, kApplicationAcceleratorKey)) ShowMessage(run, kIntelDriverFound, ConsoleOnly);
  if (KeyExists(run, kUltraAtaKey)) {
    h.intelIdeDriver = 1;
    ShowMessage(run, kIntelDriverFound, ConsoleOnly);
  }
  if (!Allocate(run, &d.workBuffer, kWorkBufferSize)) return -1;
  if (!AllocateImageBuffer(run, kImageBufferSizePassThrough)) return -1;
  if (!Allocate(run, &d.parameterBuffer, kParameterBufferSizePassThrough)) return -1;
  return 0;
}

int32_t PrepareAspiHost(Run& run) {
  HostState& h = run.host;
  HostDetectionState& d = run.detection;
  h.commandTimeoutMs = kDefaultCommandTimeoutMs;
  h.intelIdeDriver = 0;
  h.ieee1394Adapter = -1;
  if (!Allocate(run, &d.workBuffer, kWorkBufferSize)) return -1;
  if (!Allocate(run, &d.srbBuffer, kSrbBufferSize)) return -1;
  if (!AllocateImageBuffer(run, kAspiBlockSize)) return -1;
  if (!Allocate(run, &d.parameterBuffer, kAspiBlockSize)) return -1;

  if (!run.os.aspi.LoadLibrary()) return 1;
  const uint32_t info = run.os.aspi.GetASPI32SupportInfo();
  if (((info >> 8) & 0xFF) == platform::kSsFailedInit) return 2;
  d.adapterCount = static_cast<uint8_t>(info & 0xFF);
  if (d.adapterCount == 0) return 3;

  // adapterNames has room for kMaxAdapterNames adapters; any beyond are not
  // inquired (and discovery does not scan them).
  const int adapters = AdaptersInUse(d);
  if (!Allocate(run, &d.haInquiryBlocks, adapters * sizeof(platform::SrbHaInquiry))) {
    d.adapterCount = 0;
    return -1;
  }
  for (int i = 0; i < adapters; ++i) {
    auto* block = reinterpret_cast<platform::SrbHaInquiry*>(d.haInquiryBlocks +
                                                            i * sizeof(platform::SrbHaInquiry));
    block->SRB_Cmd = platform::kScHaInquiry;
    block->SRB_HaId = static_cast<uint8_t>(i);
    run.os.aspi.SendASPI32Command(block);
    std::memcpy(d.adapterNames[i], block->HA_Identifier, sizeof d.adapterNames[i]);
    if (std::memcmp(d.adapterNames[i], "intelata", 8) == 0) {
      if (h.intelIdeDriver == 0) ShowMessage(run, kIntelDriverFound, ConsoleOnly);
      h.intelIdeDriver = 1;
    } else if (IsMapperName(d.adapterNames[i])) {
      h.ieee1394Adapter = i;
      ShowMessage(run, kIeee1394Found, ConsoleOnly);
    }
  }
  if (h.ieee1394Adapter != -1) CheckAutoInsertNotification(run);
  return 0;
}

int32_t CheckAutoInsertNotification(Run& run) {
  platform::Registry& registry = run.os.registry;
  char path[kDriveKeyLength + 1];
  std::memcpy(path, kDriveKeyPath, sizeof path);
  path[kDriveKeyLength - 1] = static_cast<char>(0x30 + run.host.ieee1394Adapter);

  platform::Handle key = nullptr;
  uint32_t error =
      registry.OpenKey(RegistryRoot::LocalMachine, path, platform::kKeyAllAccess, &key);
  if (error != platform::kErrorSuccess) return static_cast<int32_t>(error);
  uint32_t subKeys = 0;
  error = registry.QueryInfoKey(key, &subKeys);
  if (error != platform::kErrorSuccess) {
    PrintRegistryError(run, "\r\nRegQueryInfoKey Error : %08lxh", error);
    registry.CloseKey(key);
    return static_cast<int32_t>(error);
  }
  for (int64_t index = int64_t{subKeys} - 1; index >= 0; --index) {
    std::string name;
    error = registry.EnumKey(key, static_cast<uint32_t>(index), &name, kMaxKeyNameChars);
    if (error == platform::kErrorNoMoreItems) break;
    if (error != platform::kErrorSuccess) continue;
    if (name.compare(0, kInstancePrefixLength, kInstancePrefix) != 0) continue;

    const std::string instancePath = Format("%.35s\\%s", path, name.c_str());
    platform::Handle instance = nullptr;
    error = registry.OpenKey(RegistryRoot::LocalMachine, instancePath, platform::kKeyAllAccess,
                             &instance);
    if (error != platform::kErrorSuccess) {
      PrintRegistryError(run, "\r\nRegOpenKeyEx Error : %08lxh", error);
      registry.CloseKey(key);
      return static_cast<int32_t>(error);
    }
    if (IsSbp2InstancePresent(run, name.c_str()) != 0) {
      registry.CloseKey(instance);
      continue;
    }
    uint8_t value = 0;
    uint32_t size = 1;
    error = registry.QueryValue(instance, "AutoInsertNotification", &value, &size);
    registry.CloseKey(instance);
    if (error != platform::kErrorSuccess) {
      PrintRegistryError(run, "\r\nRegQueryValueEx Error : %08lxh", error);
      registry.CloseKey(key);
      return static_cast<int32_t>(error);
    }
    run.host.autoInsertNotification = static_cast<uint8_t>(run.host.autoInsertNotification + value);
  }
  registry.CloseKey(key);
  return 0;
}

int32_t IsSbp2InstancePresent(Run& run, const char* instanceName) {
  platform::Registry& registry = run.os.registry;
  platform::Handle key = nullptr;
  if (registry.OpenKey(RegistryRoot::DynData, kConfigManagerEnum, platform::kKeyAllAccess, &key) !=
      platform::kErrorSuccess) {
    return -1;
  }
  uint32_t subKeys = 0;
  uint32_t error = registry.QueryInfoKey(key, &subKeys);
  if (error != platform::kErrorSuccess) {
    PrintRegistryError(run, "\r\nRegQueryInfoKey Error : %08lxh", error);
    registry.CloseKey(key);
    return -1;
  }
  for (int64_t index = int64_t{subKeys} - 1; index >= 0; --index) {
    std::string name;
    error = registry.EnumKey(key, static_cast<uint32_t>(index), &name, kMaxKeyNameChars);
    if (error == platform::kErrorNoMoreItems) break;
    if (error != platform::kErrorSuccess) continue;

    platform::Handle node = nullptr;
    error = registry.OpenKey(RegistryRoot::DynData, std::string(kConfigManagerEnum) + "\\" + name,
                             platform::kKeyAllAccess, &node);
    if (error != platform::kErrorSuccess) {
      PrintRegistryError(run, "\r\nRegOpenKeyEx Error (Config Mahager): %08lxh", error);
      continue;
    }
    char value[kHardwareKeyRoom + 1] = {};
    uint32_t size = kHardwareKeyRoom;
    error = registry.QueryValue(node, "HardWareKey", reinterpret_cast<uint8_t*>(value), &size);
    registry.CloseKey(node);
    if (error != platform::kErrorSuccess) {
      PrintRegistryError(run, "\r\nRegQueryValueEx Error : %08lxh", error);
      registry.CloseKey(key);
      return -1;
    }
    // A hardware key reads "SBP2\...\..."; with its separators at 4 and 24
    // made "&" it has the form of the instance name. Only a value that long
    // has those characters to replace.
    const std::size_t length = std::strlen(value);
    if (std::strncmp(value, "SBP2", 4) == 0) {
      if (length > 4) value[4] = '&';
      if (length > 24) value[24] = '&';
    }
    if (length != 0 && std::strncmp(value, instanceName, length) == 0) {
      registry.CloseKey(key);
      return 0;
    }
  }
  registry.CloseKey(key);
  return -1;
}

int32_t ReleaseHostEnvironment(Run& run) {
  HostState& h = run.host;
  HostDetectionState& d = run.detection;
  if (!h.aspiMode) {
    for (int i = 0; i < h.cdDeviceCount; ++i) RestoreMediaNotification(run, i);
    // With notification restored the handles have done their work.
    for (int i = 0; i < h.cdDeviceCount; ++i) {
      CdDevice& cd = h.cdDevices[i];
      if (cd.handle != nullptr && cd.handle != platform::InvalidHandle()) {
        run.os.passThrough.CloseHandle(cd.handle);
      }
      cd.handle = nullptr;
    }
    CloseTargetDevice(run);
    Free(run, &d.parameterBuffer);
    FreeImageBuffer(run);
    Free(run, &d.workBuffer);
    return 0;
  }
  // A request the layer has not finished may still write its request block
  // and its data buffer: those stay allocated then (the process ends right
  // after and the system takes them back).
  if (SettleAbandonedRequests(run)) {
    Free(run, &d.parameterBuffer);
    FreeImageBuffer(run);
    Free(run, &d.srbBuffer);
    Free(run, &d.workBuffer);
  }
  Free(run, &d.haInquiryBlocks);
  return 0;
}

}  // namespace oddfw
