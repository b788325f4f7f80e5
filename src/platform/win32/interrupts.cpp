// Ctrl+C, Ctrl+Break and the console closing. The console calls the handler
// on a thread of its own and hands it no context, so what it shares with the
// program lies in this file: whether an interrupt came, and an event that is
// set while the program is outside a stretch that must not be cut short.
#include <atomic>

#include "platform/win32/win32_platform.h"
#include "platform/win32/windows_api.h"

namespace oddfw::platform::win32 {
namespace {

std::atomic<bool> interrupted{false};
std::atomic<HANDLE> outsideCritical{nullptr};  // manual-reset event

BOOL WINAPI OnConsoleEvent(DWORD type) {
  interrupted.store(true);
  if (type == CTRL_C_EVENT || type == CTRL_BREAK_EVENT) return TRUE;  // swallowed
  // Closing the console, logging off, shutting down: Windows ends the process
  // once this returns (or when its own time for the handler is up). While a
  // drive is in its update mode, hold it off until the drive is finished.
  const HANDLE outside = outsideCritical.load();
  if (outside != nullptr) ::WaitForSingleObject(outside, INFINITE);
  return TRUE;
}

}  // namespace

void Win32Interrupts::Install() {
  if (outsideCritical.load() == nullptr) {
    outsideCritical.store(::CreateEventA(nullptr, TRUE, TRUE, nullptr));
  }
  ::SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

bool Win32Interrupts::Pending() {
  return interrupted.load();
}

void Win32Interrupts::SetCritical(bool inside) {
  const HANDLE outside = outsideCritical.load();
  if (outside == nullptr) return;
  if (inside) {
    ::ResetEvent(outside);
  } else {
    ::SetEvent(outside);
  }
}

}  // namespace oddfw::platform::win32
