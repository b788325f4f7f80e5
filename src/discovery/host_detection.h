#pragma once
// Detection of the operating system and its special drivers, preparation of
// the SCSI interface and of the shared buffers, and their release at exit.

#include <cstdint>

namespace oddfw {

struct Run;

inline constexpr int kMaxAdapterNames = 16;

struct HostDetectionState {
  // Host adapters as GetASPI32SupportInfo counts them. Only the first
  // kMaxAdapterNames are inquired and scanned; the others are ignored.
  uint8_t adapterCount = 0;
  char adapterNames[kMaxAdapterNames][16] = {};
  // Shared buffers, zero-filled, alive from detection to release.
  uint8_t* workBuffer = nullptr;       // 2 MiB
  uint8_t* parameterBuffer = nullptr;  // 512 bytes (pass-through) or 2 MiB (ASPI)
  uint8_t* srbBuffer = nullptr;        // ASPI only: the one request block
  uint8_t* haInquiryBlocks = nullptr;  // ASPI only: one SRB_HAInquiry per adapter
};

// The adapters detection inquired and discovery scans.
inline int AdaptersInUse(const HostDetectionState& d) {
  return d.adapterCount < kMaxAdapterNames ? d.adapterCount : kMaxAdapterNames;
}

inline constexpr uint32_t kWorkBufferSize = 0x200000;
inline constexpr uint32_t kSrbBufferSize = 0x200000;
inline constexpr uint32_t kAspiBlockSize = 0x200000;  // every shared buffer in ASPI mode
inline constexpr uint32_t kImageBufferSizePassThrough = 0x800000;
inline constexpr uint32_t kParameterBufferSizePassThrough = 512;

int32_t DetectHostEnvironment(Run& run);
int32_t PreparePassThroughHost(Run& run);
int32_t PrepareAspiHost(Run& run);
int32_t CheckAutoInsertNotification(Run& run);
int32_t IsSbp2InstancePresent(Run& run, const char* instanceName);
int32_t ReleaseHostEnvironment(Run& run);

}  // namespace oddfw
