#pragma once
// The real Windows backend of the operating-system seam. Each area maps its
// calls one to one onto the Win32 functions of the same name; nothing here
// decides anything for the program. Only the Windows build compiles it, and
// only its .cpp files see <windows.h>.

#include <cstdint>
#include <memory>
#include <string>

#include "platform/platform.h"

namespace oddfw::platform::win32 {

class Win32Console : public Console {
 public:
  void Write(std::string_view bytes) override;
};

class Win32MessageBoxes : public MessageBoxes {
 public:
  int Show(const std::string& text, const std::string& caption, uint32_t type) override;
};

class Win32Locale : public Locale {
 public:
  int OemCodePage() override;
};

class Win32Clock : public Clock {
 public:
  uint32_t TimeGetTime() override;
  uint32_t TimeBeginPeriod(uint32_t periodMs) override;
  uint32_t TimeEndPeriod(uint32_t periodMs) override;
  uint32_t TimerPeriodMax() override;
  void Sleep(uint32_t ms) override;
  bool QueryPerformanceFrequency(int64_t* countsPerSecond) override;
  bool QueryPerformanceCounter(int64_t* count) override;
  int64_t CurrentTimeSeconds() override;
};

class Win32OsInfo : public OsInfo {
 public:
  bool GetVersionEx(OsVersion& version) override;
};

class Win32Memory : public Memory {
 public:
  uint8_t* AllocateZeroed(std::size_t bytes) override;
  void Release(uint8_t* block) override;
};

class Win32Registry : public Registry {
 public:
  uint32_t OpenKey(RegistryRoot root, const std::string& path, uint32_t access,
                   Handle* key) override;
  uint32_t QueryInfoKey(Handle key, uint32_t* subKeyCount) override;
  uint32_t EnumKey(Handle key, uint32_t index, std::string* name, uint32_t maxChars) override;
  uint32_t QueryValue(Handle key, const std::string& name, uint8_t* data, uint32_t* size) override;
  uint32_t CloseKey(Handle key) override;
};

class Win32Aspi : public Aspi {
 public:
  bool LoadLibrary() override;
  uint32_t GetASPI32SupportInfo() override;
  uint32_t SendASPI32Command(void* srb) override;

 private:
  using SupportInfoFn = uint32_t(__cdecl*)();
  using SendCommandFn = uint32_t(__cdecl*)(void*);
  SupportInfoFn supportInfo_ = nullptr;
  SendCommandFn sendCommand_ = nullptr;
};

class Win32Events : public Events {
 public:
  Handle CreateEvent() override;
  uint32_t WaitForSingleObject(Handle event, uint32_t timeoutMs) override;
  bool CloseHandle(Handle event) override;
};

class Win32PassThrough : public PassThrough {
 public:
  Handle CreateFile(const char* path, uint32_t access, uint32_t share) override;
  bool ScsiPassThroughDirect(Handle device, PassThroughRecord* record,
                             uint32_t* bytesReturned) override;
  bool MediaChangeControl(Handle device, uint8_t suspend) override;
  bool CloseHandle(Handle device) override;
  uint32_t LastError() override { return lastError_; }

 private:
  uint32_t lastError_ = 0;  // GetLastError of the last failed call
};

class Win32Files : public Files {
 public:
  Handle OpenForRead(const std::string& name) override;
  bool GetFileSize(Handle file, uint32_t* size) override;
  bool ReadFile(Handle file, uint8_t* buffer, uint32_t bytes, uint32_t* bytesRead) override;
  void CloseFile(Handle file) override;
  int OpenText(const std::string& name, std::unique_ptr<TextFile>* file) override;
};

class Win32Power : public Power {
 public:
  void KeepAwake(bool on) override;
};

// SetConsoleCtrlHandler: Ctrl+C and Ctrl+Break are swallowed and
// remembered; closing the console, logging off or shutting down (which
// Windows does not let a program refuse) are remembered and held off while
// a drive is in its update mode, until Windows ends the process anyway.
class Win32Interrupts : public Interrupts {
 public:
  void Install() override;
  bool Pending() override;
  void SetCritical(bool inside) override;
};

// The cause (1 to 14) that a failed file operation reports for a Win32 error
// code; 1 (generic) for every code without a closer cause.
int FileErrorCauseOf(uint32_t win32Error);

// Every area together, for the program's entry point.
class Win32Platform {
 public:
  Win32Platform();
  Win32Platform(const Win32Platform&) = delete;
  Win32Platform& operator=(const Win32Platform&) = delete;

  Platform& platform() { return platform_; }

 private:
  Win32Console console_;
  Win32MessageBoxes boxes_;
  Win32Locale locale_;
  Win32Clock clock_;
  Win32OsInfo osInfo_;
  Win32Memory memory_;
  Win32Registry registry_;
  Win32Aspi aspi_;
  Win32Events events_;
  Win32PassThrough passThrough_;
  Win32Files files_;
  Win32Power power_;
  Win32Interrupts interrupts_;
  Platform platform_;
};

}  // namespace oddfw::platform::win32
