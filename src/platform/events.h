#pragma once
// Auto-reset events, which the ASPI layer signals when a request completes.

#include <cstdint>

#include "platform/types.h"

namespace oddfw::platform {

inline constexpr uint32_t kInfinite = 0xFFFFFFFFu;    // INFINITE
inline constexpr uint32_t kWaitObject0 = 0x00000000;  // WAIT_OBJECT_0
inline constexpr uint32_t kWaitTimeout = 0x00000102;  // WAIT_TIMEOUT
inline constexpr uint32_t kWaitFailed = 0xFFFFFFFFu;  // WAIT_FAILED

class Events {
 public:
  virtual ~Events() = default;
  // CreateEventA(nullptr, FALSE, FALSE, nullptr); nullptr on failure.
  virtual Handle CreateEvent() = 0;
  // WaitForSingleObject.
  virtual uint32_t WaitForSingleObject(Handle event, uint32_t timeoutMs) = 0;
  virtual bool CloseHandle(Handle event) = 0;
};

}  // namespace oddfw::platform
