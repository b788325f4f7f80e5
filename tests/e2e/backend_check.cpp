// e2e-backend-check.exe --unix-time SECONDS --oem-code-page N --windows xp|98
//
// Exercises every area of the Win32 backend against the real system calls,
// inside the wine prefix that run_e2e.py prepares: its registry keys, the
// files in the working directory, no ASPI layer, no drive D:. The console
// area writes a fixed byte sequence to stdout and three boxes are shown
// (the helper answers No, Cancel and OK); run_e2e.py checks both. Every
// failed check is printed to stderr; the exit code is their number.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "platform/win32/win32_platform.h"
#include "platform/win32/windows_api.h"

namespace {

using namespace oddfw::platform;
using namespace oddfw::platform::win32;

int failures = 0;

void Check(bool ok, const char* what, long long got = 0) {
  if (ok) return;
  ++failures;
  std::fprintf(stderr, "FAIL: %s (got %lld)\n", what, got);
}

void CheckConsole(Console& console) {
  console.Write(std::string_view("\0\r\n100%% \x82\xa0\xb1\n", 13));
  std::string all;
  for (int i = 0; i < 256; ++i) all += static_cast<char>(i);
  console.Write(all);
}

void CheckBoxes(MessageBoxes& boxes) {
  // The helper answers the questions No and Cancel.
  const int yesNo = boxes.Show("question", "TALVEK", kMbYesNo | kMbIconQuestion);
  Check(yesNo == kIdNo, "a Yes/No box answered No returns IDNO", yesNo);
  const int okCancel = boxes.Show("ok or cancel", "TALVEK", kMbOkCancel | kMbIconQuestion);
  Check(okCancel == kIdCancel, "an OK/Cancel box answered Cancel returns IDCANCEL", okCancel);
  const int notice = boxes.Show("notice", "TALVEK", kMbOk | kMbIconAsterisk);
  Check(notice == kIdOk, "a notice returns IDOK", notice);
}

void CheckClock(Clock& clock, long long unixTime) {
  Check(clock.TimerPeriodMax() >= 1, "the timer reports a coarsest period", clock.TimerPeriodMax());
  Check(clock.TimeBeginPeriod(0) == kTimerNoCanDo, "period 0 is refused");
  Check(clock.TimeBeginPeriod(1) == kTimerNoError, "period 1 is granted");
  int64_t frequency = 0;
  int64_t countBefore = 0;
  Check(clock.QueryPerformanceFrequency(&frequency) && frequency > 0,
        "the performance counter has a frequency", frequency);
  Check(clock.QueryPerformanceCounter(&countBefore), "the performance counter reads");
  const uint32_t before = clock.TimeGetTime();
  clock.Sleep(50);
  const uint32_t slept = clock.TimeGetTime() - before;
  Check(slept >= 45 && slept < 5000, "Sleep(50) takes about 50 ms", slept);
  int64_t countAfter = 0;
  clock.QueryPerformanceCounter(&countAfter);
  const long long countedMs = frequency > 0 ? (countAfter - countBefore) * 1000 / frequency : 0;
  Check(countedMs >= 50 && countedMs < 5000, "the performance counter sees the 50 ms", countedMs);
  Check(clock.TimeEndPeriod(1) == kTimerNoError, "period 1 is given back");
  const long long now = clock.CurrentTimeSeconds();
  Check(now > unixTime - 120 && now < unixTime + 120, "time() is the wall clock", now);
}

void CheckOsVersion(OsInfo& os, const std::string& windows) {
  OsVersion v;
  Check(os.GetVersionEx(v), "GetVersionExA with the size 148 succeeds");
  if (windows == "98") {
    Check(v.platformId == kPlatformWin32Windows, "Windows 98 is a 9x platform", v.platformId);
    Check(v.majorVersion == 4 && v.minorVersion == 10, "Windows 98 is 4.10",
          v.majorVersion * 100 + v.minorVersion);
  } else {
    Check(v.platformId == kPlatformWin32Nt, "Windows XP is an NT platform", v.platformId);
    Check(v.majorVersion == 5 && v.minorVersion == 1, "Windows XP is 5.1",
          v.majorVersion * 100 + v.minorVersion);
  }
  OsVersion bad;
  bad.infoSize = 12;
  Check(!os.GetVersionEx(bad), "GetVersionExA with a wrong size fails");
}

void CheckMemory(Memory& memory) {
  for (const std::size_t bytes : {std::size_t{512}, std::size_t{8} << 20}) {
    uint8_t* block = memory.AllocateZeroed(bytes);
    Check(block != nullptr, "a block is allocated", static_cast<long long>(bytes));
    if (block == nullptr) continue;
    bool zero = true;
    for (std::size_t i = 0; i < bytes; ++i) zero = zero && block[i] == 0;
    Check(zero, "a new block is zero-filled", static_cast<long long>(bytes));
    std::memset(block, 0xA5, bytes);
    memory.Release(block);
  }
}

void CheckRegistry(Registry& registry) {
  Handle key = nullptr;
  uint32_t r = registry.OpenKey(RegistryRoot::LocalMachine, "SOFTWARE\\oddfw-e2e", kKeyRead, &key);
  Check(r == kErrorSuccess, "an HKLM key opens", r);
  if (r != kErrorSuccess) return;
  uint32_t subKeys = 0;
  r = registry.QueryInfoKey(key, &subKeys);
  Check(r == kErrorSuccess && subKeys == 2, "the key has two subkeys", subKeys);
  std::set<std::string> names;
  for (uint32_t i = 0; i < 2; ++i) {
    std::string name;
    r = registry.EnumKey(key, i, &name, 256);
    Check(r == kErrorSuccess, "a subkey is enumerated", r);
    names.insert(name);
  }
  Check(names == std::set<std::string>{"First", "Second"}, "the subkeys are First and Second");
  std::string name;
  r = registry.EnumKey(key, 2, &name, 256);
  Check(r == kErrorNoMoreItems, "enumeration ends with ERROR_NO_MORE_ITEMS", r);
  r = registry.EnumKey(key, 1, &name, 3);
  Check(r == ERROR_MORE_DATA, "a name longer than the room does not fit", r);

  uint8_t byte = 0;
  uint32_t size = 1;
  r = registry.QueryValue(key, "Byte", &byte, &size);
  Check(r == kErrorSuccess && size == 1 && byte == 1, "a one-byte value is read", byte);
  uint8_t text[1023] = {};
  size = 4;
  r = registry.QueryValue(key, "Text", text, &size);
  Check(r == ERROR_MORE_DATA, "a value longer than the room does not fit", r);
  size = sizeof text;
  r = registry.QueryValue(key, "Text", text, &size);
  Check(r == kErrorSuccess && size == 19 &&
            std::strcmp(reinterpret_cast<char*>(text), "SBP2&HALV&LQTB-ZKN") == 0,
        "a string value is read with its terminating zero", size);
  size = 1;
  r = registry.QueryValue(key, "Missing", &byte, &size);
  Check(r == kErrorFileNotFound, "a missing value is not found", r);
  Check(registry.CloseKey(key) == kErrorSuccess, "the key closes");

  r = registry.OpenKey(RegistryRoot::LocalMachine, "SOFTWARE\\no such key", kKeyRead, &key);
  Check(r == kErrorFileNotFound, "a missing key is not found", r);

  // HKEY_DYN_DATA, as Windows 98 keeps its Config Manager there.
  r = registry.OpenKey(RegistryRoot::DynData, "Config Manager\\Enum", kKeyAllAccess, &key);
  Check(r == kErrorSuccess, "an HKEY_DYN_DATA key opens", r);
  if (r != kErrorSuccess) return;
  r = registry.QueryInfoKey(key, &subKeys);
  Check(r == kErrorSuccess && subKeys == 1, "Config Manager\\Enum has one subkey", subKeys);
  r = registry.EnumKey(key, 0, &name, 256);
  Check(r == kErrorSuccess && name == "C1234560", "its name is read", r);
  registry.CloseKey(key);
  r = registry.OpenKey(RegistryRoot::DynData, "Config Manager\\Enum\\C1234560", kKeyAllAccess,
                       &key);
  Check(r == kErrorSuccess, "the instance key opens", r);
  if (r != kErrorSuccess) return;
  size = sizeof text;
  r = registry.QueryValue(key, "HardWareKey", text, &size);
  Check(r == kErrorSuccess &&
            std::strcmp(reinterpret_cast<char*>(text), "SBP2\\HALV&LQTB-ZKN&LUN0") == 0,
        "HardWareKey is read", r);
  registry.CloseKey(key);
}

void CheckAspi(Aspi& aspi) {
  // The case runs with WINEDLLOVERRIDES=wnaspi32=n and no such DLL.
  Check(!aspi.LoadLibrary(), "without WNASPI32.DLL the layer does not load");
  Check(aspi.GetASPI32SupportInfo() == 0xE400, "a layer that is not loaded reports SS_FAILED_INIT",
        aspi.GetASPI32SupportInfo());
}

void CheckEvents(Events& events) {
  const Handle event = events.CreateEvent();
  Check(event != nullptr, "an event is created");
  const uint32_t r = events.WaitForSingleObject(event, 10);
  Check(r == kWaitTimeout, "an event nobody signals times out", r);
  Check(events.CloseHandle(event), "the event closes");
}

void CheckPassThrough(PassThrough& passThrough) {
  const Handle device = passThrough.CreateFile("\\\\.\\D:", kGenericRead | kGenericWrite,
                                               kFileShareRead | kFileShareWrite);
  Check(device == InvalidHandle(), "there is no drive D:");
  Check(passThrough.LastError() == kErrorFileNotFound, "D: is not found", passThrough.LastError());
  PassThroughRecord record{};
  uint32_t returned = 0;
  Check(!passThrough.ScsiPassThroughDirect(InvalidHandle(), &record, &returned),
        "pass-through on no device fails");
  Check(passThrough.LastError() == kErrorInvalidHandle, "on an invalid handle",
        passThrough.LastError());
  Check(!passThrough.MediaChangeControl(InvalidHandle(), 1), "media control on no device fails");
}

std::vector<std::string> AllLines(TextFile& file, std::size_t maxChars, int* cause) {
  std::vector<std::string> lines;
  std::string line;
  for (;;) {
    const TextFile::Read r = file.ReadLine(&line, maxChars, cause);
    if (r == TextFile::Read::kEnd) return lines;
    if (r == TextFile::Read::kError) return {"<error>"};
    lines.push_back(line);
  }
}

void CheckFiles(Files& files) {
  const Handle image = files.OpenForRead("image.bin");
  Check(image != InvalidHandle(), "a binary file opens");
  if (image != InvalidHandle()) {
    uint32_t size = 0;
    Check(files.GetFileSize(image, &size) && size == 4096, "its size is 4096", size);
    std::vector<uint8_t> data(8192);
    uint32_t read = 0;
    Check(files.ReadFile(image, data.data(), 8192, &read) && read == 4096, "it reads whole", read);
    bool same = true;
    for (uint32_t i = 0; i < 4096; ++i) same = same && data[i] == (i & 0xFF);
    Check(same, "its bytes are read unchanged");
    Check(files.ReadFile(image, data.data(), 8192, &read) && read == 0, "at its end 0 bytes", read);
    files.CloseFile(image);
  }
  Check(files.OpenForRead("missing.bin") == InvalidHandle(), "a missing binary file fails");

  std::unique_ptr<TextFile> text;
  int cause = files.OpenText("missing.hex", &text);
  Check(cause == kCauseFileNotFound, "a missing text file: cause 2", cause);
  cause = files.OpenText("no such folder\\x.hex", &text);
  Check(cause == kCauseBadPath, "a missing folder: cause 3", cause);
  cause = files.OpenText(".", &text);
  Check(cause == kCauseAccessDenied, "a folder: cause 5", cause);

  // Someone else holds the file without sharing it.
  const HANDLE held =
      ::CreateFileA("image.bin", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  cause = files.OpenText("image.bin", &text);
  Check(cause == kCauseSharingViolation, "a file held by another: cause 11", cause);
  ::CloseHandle(held);

  cause = files.OpenText("lines.hex", &text);
  Check(cause == 0 && text != nullptr, "a text file opens", cause);
  if (cause == 0) {
    const std::vector<std::string> lines = AllLines(*text, 1023, &cause);
    const std::vector<std::string> expected = {
        ":00000001FF",         "second", "", std::string(1023, 'F'), std::string(1023, 'F'),
        std::string(454, 'F'), "last"};
    Check(lines == expected, "its lines come back, the long one in pieces",
          static_cast<long long>(lines.size()));
  }
  text.reset();
  cause = files.OpenText("empty.hex", &text);
  Check(cause == 0 && AllLines(*text, 1023, &cause).empty(), "an empty text file has no line");

  const struct {
    uint32_t error;
    int cause;
  } causes[] = {
      {ERROR_FILE_NOT_FOUND, 2},
      {ERROR_PATH_NOT_FOUND, 3},
      {ERROR_INVALID_NAME, 3},
      {ERROR_TOO_MANY_OPEN_FILES, 4},
      {ERROR_ACCESS_DENIED, 5},
      {ERROR_INVALID_HANDLE, 6},
      {ERROR_CURRENT_DIRECTORY, 7},
      {ERROR_CANNOT_MAKE, 8},
      {ERROR_SEEK, 9},
      {ERROR_CRC, 10},
      {ERROR_SHARING_VIOLATION, 11},
      {ERROR_LOCK_VIOLATION, 12},
      {ERROR_DISK_FULL, 13},
      {ERROR_HANDLE_EOF, 14},
      {ERROR_SUCCESS, 1},
      {ERROR_NOT_ENOUGH_MEMORY, 1},
  };
  for (const auto& c : causes) {
    Check(FileErrorCauseOf(c.error) == c.cause, "the cause of a Win32 error", c.error);
  }
}

}  // namespace

int main(int argc, char** argv) {
  long long unixTime = 0;
  int oemCodePage = 0;
  std::string windows = "xp";
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--unix-time") == 0) unixTime = std::atoll(argv[i + 1]);
    if (std::strcmp(argv[i], "--oem-code-page") == 0) oemCodePage = std::atoi(argv[i + 1]);
    if (std::strcmp(argv[i], "--windows") == 0) windows = argv[i + 1];
  }

  Win32Platform host;
  Platform& os = host.platform();
  CheckConsole(os.console);
  Check(os.locale.OemCodePage() == oemCodePage, "the OEM code page", os.locale.OemCodePage());
  CheckBoxes(os.boxes);
  CheckClock(os.clock, unixTime);
  CheckOsVersion(os.osInfo, windows);
  CheckMemory(os.memory);
  CheckRegistry(os.registry);
  CheckAspi(os.aspi);
  CheckEvents(os.events);
  CheckPassThrough(os.passThrough);
  CheckFiles(os.files);
  std::fprintf(stderr, "%d failed checks\n", failures);
  return failures > 100 ? 100 : failures;
}
