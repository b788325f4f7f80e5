#include "discovery/discovery.h"

#include <cstring>

#include "app/run.h"
#include "transport/transport.h"

namespace oddfw {
namespace {

inline constexpr uint8_t kWriteOnceDevice = 4;
inline constexpr uint8_t kCdDvdDevice = 5;
// These two identities pass the identity rule of every definition entry.
inline constexpr const char* kUniversalIdentities[] = {"QUORVEN BD-RW   MHT-860 ",
                                                       "QUORVEN BD-ROM  MHL-860 "};

// Every shared buffer discovery and the procedures use is there (host
// detection may have stopped at a failed allocation).
bool HostReady(const Run& run) {
  return run.detection.workBuffer != nullptr && run.detection.parameterBuffer != nullptr &&
         run.image.firmware.buffer != nullptr &&
         (!run.host.aspiMode || run.detection.srbBuffer != nullptr);
}

int32_t DiscoverByLetter(Run& run) {
  HostState& h = run.host;
  int32_t accepted = 0;
  h.openedLetters = 0;
  h.deniedLetters = 0;
  for (char letter = 'D'; letter <= 'Z'; ++letter) {
    if (OpenTargetDevice(run, letter) != 0) {
      if (run.os.passThrough.LastError() == platform::kErrorAccessDenied) ++h.deniedLetters;
      continue;
    }
    ++h.openedLetters;
    if (InquireByHandle(run) != 0) {
      CloseTargetDevice(run);
      continue;
    }
    const uint8_t* inquiry = run.detection.workBuffer;
    // The whole byte: a qualifier other than 0 keeps a device off the list.
    if ((inquiry[0] == kWriteOnceDevice || inquiry[0] == kCdDvdDevice) &&
        h.cdDeviceCount < kMaxCdDevices) {
      h.cdDevices[h.cdDeviceCount] = CdDevice{letter, nullptr};
      ++h.cdDeviceCount;
      ControlMediaNotification(run, letter);
    }
    if (ReadVendorIdentityByHandle(run) != 0) h.vendorIdentity.Clear();
    if (MatchUpdateDefinition(run, inquiry) != -1 && accepted < kMaxTargets) {
      h.targetTable[accepted].driveLetter = letter;
      ++accepted;
    }
    CloseTargetDevice(run);
  }
  return accepted;
}

int32_t DiscoverByAddress(Run& run) {
  HostState& h = run.host;
  int32_t accepted = 0;
  const int adapters = AdaptersInUse(run.detection);
  for (int a = 0; a < adapters; ++a) {
    const char* name = run.detection.adapterNames[a];
    int lastTarget = 6;
    if (std::memcmp(name, "ESDI_506", 8) == 0) {
      lastTarget = 1;
    } else if (std::memcmp(name, "intelata", 8) == 0) {
      h.intelIdeDriver = 1;
      lastTarget = 1;
    } else if (h.intelIdeDriver != 0) {
      continue;
    }
    for (int t = 0; t <= lastTarget; ++t) {
      const auto adapter = static_cast<uint8_t>(a);
      const auto target = static_cast<uint8_t>(t);
      if (InquireByAddress(run, adapter, target) != 0) continue;
      if (ReadVendorIdentityByAddress(run, adapter, target) != 0) h.vendorIdentity.Clear();
      if (MatchUpdateDefinition(run, run.detection.workBuffer) != -1 && accepted < kMaxTargets) {
        h.targetTable[accepted].adapter = a;
        h.targetTable[accepted].target = t;
        ++accepted;
      }
    }
  }
  return accepted;
}

}  // namespace

int32_t DiscoverTargets(Run& run) {
  int32_t accepted = 0;
  if (HostReady(run)) {
    if (!run.host.aspiMode) {
      accepted = DiscoverByLetter(run);
    } else if (run.detection.adapterCount != 0) {
      accepted = DiscoverByAddress(run);
    }
  }
  run.host.targetCount = accepted;
  return accepted;
}

bool AccessRightsMissing(const Run& run) {
  const HostState& h = run.host;
  return !h.aspiMode && h.openedLetters == 0 && h.deniedLetters != 0;
}

int32_t MatchUpdateDefinition(Run& run, const uint8_t* inquiryData) {
  const UpdateDefinition& definition = run.definition.definition;
  const VendorIdentity& vendor = run.host.vendorIdentity;
  const int32_t entries =
      definition.entryCount < kMaxDefinitionEntries ? definition.entryCount : kMaxDefinitionEntries;
  const bool universal = std::memcmp(inquiryData + 8, kUniversalIdentities[0], 24) == 0 ||
                         std::memcmp(inquiryData + 8, kUniversalIdentities[1], 24) == 0;
  for (int32_t i = 0; i < entries; ++i) {
    const DefinitionEntry& e = definition.entries[i];
    const bool identity = (std::memcmp(inquiryData + 8, e.vendorId, 8) == 0 &&
                           std::memcmp(inquiryData + 16, e.productId, 16) == 0) ||
                          universal;
    if (!identity) continue;
    // 0xFF00 here, not the 0xF000 of the model family.
    const int32_t f = e.modelCode & 0xFF00;
    if (f != 0x1000 && f != 0x4000) return i;
    if (std::memcmp(vendor.normalModelName(), e.oemCode, 8) == 0 &&
        std::memcmp(vendor.hardwareRevision(), "SAT ", 4) == 0) {
      return i;
    }
    if (std::memcmp(vendor.normalModelName(), "        ", 8) == 0 &&
        std::memcmp(vendor.signature(), e.oemCode, 8) == 0) {
      run.host.kernelOnlyDrive = 1;
      return i;
    }
  }
  return -1;
}

}  // namespace oddfw
