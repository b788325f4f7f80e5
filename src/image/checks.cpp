#include "image/checks.h"

#include <cstring>

#include "app/run.h"
#include "commands/command_set.h"
#include "console/catalog.h"
#include "discovery/discovery.h"

namespace oddfw {
namespace {

// Places in the image header.
inline constexpr std::size_t kHeaderHardwareRevision = 0xB0;
inline constexpr std::size_t kHeaderSignature = 0xD0;
inline constexpr std::size_t kHeaderNormalModelName = 0xF0;
inline constexpr std::size_t kHeaderDateText = 0x130;
inline constexpr std::size_t kHeaderKernelRevision = 0x150;

// A drive that keeps reporting unit attention for this long is not idle.
inline constexpr uint32_t kUnitAttentionLimitMs = 60000;

struct OemSignature {
  const char* signature;
  int32_t oemClass;
};

constexpr OemSignature kOemClasses[] = {
    {"HALV    ", 0x101}, {"ZEBRO   ", 0x102}, {"DRESKO  ", 0x103}, {"RAVMO   ", 0x104},
    {"RAVKEL  ", 0x108}, {"HALVQT  ", 0x111}, {"MUNTA   ", 0x115}, {"VOL     ", 0x121},
};

int32_t OemClassOf(const VendorIdentity& v) {
  if (std::memcmp(v.signature(), "GENERAL ", 8) == 0) {
    return std::memcmp(v.hardwareRevision(), "SCSI", 4) == 0 ? 0x300 : 0x100;
  }
  for (const OemSignature& o : kOemClasses) {
    if (std::memcmp(v.signature(), o.signature, 8) == 0) return o.oemClass;
  }
  return -1;
}

bool IsRevision(const uint8_t* identity, const char* prefix) {
  return std::memcmp(identity + 32, prefix, std::strlen(prefix)) == 0;
}

}  // namespace

int32_t ProbeDriveInfo(Run& run) {
  run.checks.normalPartAbsent = -1;
  const int32_t result = ReadVendorIdentity(run);
  if (result != 0) return result;
  const bool absent = run.host.vendorIdentity.normalModelName()[0] == ' ';
  run.host.kernelOnlyDrive = absent ? 1 : 0;
  run.checks.normalPartAbsent = absent ? 1 : 0;
  return 0;
}

int32_t SelectDefinitionEntry(Run& run) {
  int32_t result = Inquiry(run, run.driver.currentTarget, run.revision.driveIdentity);
  if (result != 0) {
    ShowMessage(run, 9, ErrorNotice);
    return result;
  }
  result = ProbeDriveInfo(run);
  if (result != 0) {
    ShowMessage(run, 0, ErrorNotice);
    return result;
  }
  const int32_t index = MatchUpdateDefinition(run, run.revision.driveIdentity);
  if (index == -1) return 0;
  ActivateEntry(run, index);
  run.image.firmware.length = static_cast<int32_t>(run.definition.active.imageSize);
  return 0;
}

int32_t CheckCompatibility(Run& run) {
  int32_t result = ProbeDriveInfo(run);
  if (result != 0) {
    ShowMessage(run, 0, ErrorNotice);
    return result;
  }
  const VendorIdentity& v = run.host.vendorIdentity;
  const uint8_t* header = ImageHeaderBytes(run);
  const ActiveEntry& entry = run.definition.active;

  if (std::memcmp(v.hardwareRevision(), header + kHeaderHardwareRevision, 8) != 0) {
    if ((entry.modelCode & 0xFFF0) == 0x1040) {
      // These drives take a new kernel that suits their hardware.
      if (entry.updateParts == NormalOnly) {
        ShowMessage(run, 1, ConsoleOnly);
        return -1;
      }
    } else {
      ShowMessage(run, 1, ErrorNotice);
      return -1;
    }
  }
  if (std::memcmp(v.signature(), header + kHeaderSignature, 8) != 0) {
    ShowMessage(run, 37, ErrorNotice);
    return -1;
  }
  if (run.checks.normalPartAbsent == 1) return 0;

  if (std::memcmp(v.normalModelName(), header + kHeaderNormalModelName, 8) != 0) {
    ShowMessage(run, 3, ErrorNotice);
    return -1;
  }
  if (run.image.firmware.imageReleaseDate <= run.revision.currentFirmwareDate &&
      run.definition.definition.releaseRevision <= run.revision.currentRevisionNumber) {
    ShowMessage(run, 54, run.driver.updateAllDrives ? ConsoleOnly : InfoNotice);
    return 1;
  }
  const HostState& host = run.host;
  const int32_t target = run.driver.currentTarget;
  if (host.aspiMode && target >= 0 && target < kMaxTargets &&
      host.targetTable[static_cast<std::size_t>(target)].adapter == host.ieee1394Adapter &&
      host.autoInsertNotification != 0 &&
      std::memcmp(run.revision.driveIdentity + 8, "QUORVEN DVD-RW  KWX-720", 23) == 0) {
    ShowMessage(run, 53, ErrorNotice);
    return -1;
  }
  const uint16_t revision = run.revision.currentRevisionNumber;
  if (revision != 0 && revision < 0x100) {
    ShowMessage(run, 73, ErrorNotice);
    return -1;
  }
  run.host.oemClass = OemClassOf(v);
  return 0;
}

int32_t CheckDriveEmpty(Run& run) {
  StopUnit(run);  // leaves commandTimeoutMs at 0: no limit for what follows
  platform::Clock& clock = run.os.clock;
  const uint32_t start = clock.TimeGetTime();
  for (;;) {
    // Decide on what this TEST UNIT READY returns. A failure without sense
    // data would leave an earlier command's sense in rawSense on pass-through
    // hosts (another drive's "no disc", say), which must not pass for this
    // drive's answer: without sense data the answer is an unknown error.
    std::memset(run.transport.sense.rawSense, 0, sizeof run.transport.sense.rawSense);
    if (TestUnitReady(run, run.driver.currentTarget) == 0) {
      // A disc is loaded and ready.
      if (run.definition.active.modelCode == 0x1041) return 0;
      ShowMessage(run, 5, InfoNotice);
      return -1;
    }
    FetchSense(run);
    const uint8_t* sense = run.transport.sense.rawSense;
    if (sense[2] == 2 && sense[12] == 0x3A) return 0;                       // no disc
    if (sense[2] == 2 && sense[12] == 0x04 && sense[13] == 0x02) return 0;  // not spinning
    if (sense[2] == 2 && sense[12] == 0x04 && sense[13] == 0x01) {
      ShowMessage(run, 6, ConsoleOnly);
      return -1;
    }
    if (sense[2] == 6) {
      // Unit attention: ask again, but not for ever.
      if (clock.TimeGetTime() - start < kUnitAttentionLimitMs) continue;
    } else if (run.host.intelIdeDriver != 0 && run.transport.sense.senseCode == 0) {
      return 0;
    }
    ShowMessage(run, 7, ConsoleOnly);
    return -1;
  }
}

int32_t ConfirmKernelMode(Run& run) {
  if (Inquiry(run, run.driver.currentTarget, run.revision.driveIdentity) != 0) {
    ShowMessage(run, 9, ConsoleOnly);
    return -1;
  }
  const uint8_t* id = run.revision.driveIdentity;
  if (IsRevision(id, "000") || std::memcmp(id + 8, "QUORVEN BD-RW   MHT-", 20) == 0) {
    run.host.kernelOnlyDrive = 1;
    return 0;
  }
  run.host.kernelOnlyDrive = 0;
  return -1;
}

int32_t CheckKernelNeeded(Run& run) {
  if (Inquiry(run, run.driver.currentTarget, run.revision.driveIdentity) != 0) {
    ShowMessage(run, 9, ConsoleOnly);
    return -1;
  }
  if (run.definition.active.modelCode == 0x1003) return 0;
  const uint8_t* id = run.revision.driveIdentity;
  const uint8_t* header = ImageHeaderBytes(run);
  if (std::memcmp(id + 32, header + kHeaderKernelRevision, 4) == 0 &&
      std::memcmp(id + 37, header + kHeaderDateText, 8) == 0) {
    ShowMessage(run, 10, ConsoleOnly);
    return 1;
  }
  return 0;
}

}  // namespace oddfw
