// Keeping the system awake. SetThreadExecutionState came with Windows 98
// and 2000: it is looked up when needed, so the program still starts on
// Windows 95 and NT 4, which lack it and do without.
#include "platform/win32/win32_platform.h"
#include "platform/win32/windows_api.h"

namespace oddfw::platform::win32 {

void Win32Power::KeepAwake(bool on) {
  using SetStateFn = EXECUTION_STATE(WINAPI*)(EXECUTION_STATE);
  const HMODULE kernel = ::GetModuleHandleA("kernel32.dll");
  if (kernel == nullptr) return;
  const FARPROC address = ::GetProcAddress(kernel, "SetThreadExecutionState");
  if (address == nullptr) return;
  // GetProcAddress hands out a generic function pointer; the real type is
  // restored through the one type that converts to every other.
  const auto setState = reinterpret_cast<SetStateFn>(reinterpret_cast<void (*)()>(address));
  setState(on ? ES_CONTINUOUS | ES_SYSTEM_REQUIRED : ES_CONTINUOUS);
}

}  // namespace oddfw::platform::win32
