#pragma once
// Small types shared by every area of the operating-system seam.

#include <cstdint>

namespace oddfw::platform {

// An opaque handle as the operating system hands it out (a Win32 HANDLE, an
// event, an open file, a registry key). Backends choose what it points at.
using Handle = void*;

// The value CreateFileA returns when it cannot open a path.
inline Handle InvalidHandle() {
  return reinterpret_cast<Handle>(static_cast<intptr_t>(-1));
}

// Win32 error codes the product reacts to or reports.
inline constexpr uint32_t kErrorSuccess = 0;
inline constexpr uint32_t kErrorFileNotFound = 2;
inline constexpr uint32_t kErrorPathNotFound = 3;
inline constexpr uint32_t kErrorAccessDenied = 5;
inline constexpr uint32_t kErrorInvalidHandle = 6;
inline constexpr uint32_t kErrorSharingViolation = 32;
inline constexpr uint32_t kErrorNotSupported = 50;
inline constexpr uint32_t kErrorDeviceNotConnected = 1167;
inline constexpr uint32_t kErrorNoMoreItems = 259;

}  // namespace oddfw::platform
