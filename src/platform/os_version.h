#pragma once
// The operating system version as GetVersionExA reports it.

#include <cstdint>

namespace oddfw::platform {

inline constexpr uint32_t kPlatformWin32Windows = 1;  // VER_PLATFORM_WIN32_WINDOWS
inline constexpr uint32_t kPlatformWin32Nt = 2;       // VER_PLATFORM_WIN32_NT

struct OsVersion {
  uint32_t infoSize = 148;  // dwOSVersionInfoSize of an OSVERSIONINFOA
  uint32_t majorVersion = 0;
  uint32_t minorVersion = 0;
  uint32_t buildNumber = 0;
  uint32_t platformId = 0;
  char csdVersion[128] = {};
};

class OsInfo {
 public:
  virtual ~OsInfo() = default;
  // Fills the record; false when the call failed.
  virtual bool GetVersionEx(OsVersion& version) = 0;
};

}  // namespace oddfw::platform
