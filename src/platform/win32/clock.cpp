// The multimedia timer, sleeping, the wall clock and the Windows version.
#include "platform/win32/windows_api.h"
// After windows_api.h: it builds on windows.h.
#include <mmsystem.h>

#include <ctime>

#include "platform/win32/win32_platform.h"

namespace oddfw::platform::win32 {

static_assert(kTimerNoError == TIMERR_NOERROR);
static_assert(kTimerNoCanDo == TIMERR_NOCANDO);
static_assert(kPlatformWin32Windows == VER_PLATFORM_WIN32_WINDOWS);
static_assert(kPlatformWin32Nt == VER_PLATFORM_WIN32_NT);
static_assert(OsVersion{}.infoSize == sizeof(OSVERSIONINFOA));
static_assert(sizeof(OsVersion::csdVersion) == sizeof(OSVERSIONINFOA::szCSDVersion));

uint32_t Win32Clock::TimeGetTime() {
  return ::timeGetTime();
}

uint32_t Win32Clock::TimeBeginPeriod(uint32_t periodMs) {
  return ::timeBeginPeriod(periodMs);
}

uint32_t Win32Clock::TimeEndPeriod(uint32_t periodMs) {
  return ::timeEndPeriod(periodMs);
}

uint32_t Win32Clock::TimerPeriodMax() {
  TIMECAPS caps{};
  if (::timeGetDevCaps(&caps, sizeof caps) != TIMERR_NOERROR) return 0;  // no period to try
  return caps.wPeriodMax;
}

void Win32Clock::Sleep(uint32_t ms) {
  ::Sleep(ms);
}

bool Win32Clock::QueryPerformanceFrequency(int64_t* countsPerSecond) {
  LARGE_INTEGER value{};
  const BOOL ok = ::QueryPerformanceFrequency(&value);
  *countsPerSecond = ok ? value.QuadPart : 0;
  return ok != FALSE;
}

bool Win32Clock::QueryPerformanceCounter(int64_t* count) {
  LARGE_INTEGER value{};
  const BOOL ok = ::QueryPerformanceCounter(&value);
  *count = ok ? value.QuadPart : 0;
  return ok != FALSE;
}

int64_t Win32Clock::CurrentTimeSeconds() {
  return static_cast<int64_t>(std::time(nullptr));
}

// The record's size field goes to GetVersionExA as the caller set it, so a
// wrong size fails as it would on Windows. The extended record gives room
// for either size Windows accepts.
bool Win32OsInfo::GetVersionEx(OsVersion& version) {
  OSVERSIONINFOEXA info{};
  info.dwOSVersionInfoSize = version.infoSize;
  if (version.infoSize > sizeof info) return false;
  if (!::GetVersionExA(reinterpret_cast<OSVERSIONINFOA*>(&info))) return false;
  version.majorVersion = info.dwMajorVersion;
  version.minorVersion = info.dwMinorVersion;
  version.buildNumber = info.dwBuildNumber;
  version.platformId = info.dwPlatformId;
  static_assert(sizeof version.csdVersion == sizeof info.szCSDVersion);
  for (std::size_t i = 0; i < sizeof version.csdVersion; ++i) {
    version.csdVersion[i] = info.szCSDVersion[i];
  }
  return true;
}

}  // namespace oddfw::platform::win32
