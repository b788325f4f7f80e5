// The user-facing areas: console output, message boxes and the OEM code page.
#include "platform/win32/win32_platform.h"
#include "platform/win32/windows_api.h"

namespace oddfw::platform::win32 {

// The bytes go to the standard output handle with WriteFile, unchanged,
// whether it is a console, a pipe or a file (WriteConsoleA fails on the
// latter two). WriteFile keeps no buffer of its own in the program, so the
// text is out when it returns.
void Win32Console::Write(std::string_view bytes) {
  const HANDLE out = ::GetStdHandle(STD_OUTPUT_HANDLE);
  if (out == nullptr || out == INVALID_HANDLE_VALUE) return;
  const char* next = bytes.data();
  std::size_t left = bytes.size();
  while (left != 0) {
    DWORD written = 0;
    const DWORD chunk = left > 0x10000 ? 0x10000 : static_cast<DWORD>(left);
    if (!::WriteFile(out, next, chunk, &written, nullptr) || written == 0) return;
    next += written;
    left -= written;
  }
}

int Win32MessageBoxes::Show(const std::string& text, const std::string& caption, uint32_t type) {
  return ::MessageBoxA(nullptr, text.c_str(), caption.c_str(), type);
}

int Win32Locale::OemCodePage() {
  return static_cast<int>(::GetOEMCP());
}

}  // namespace oddfw::platform::win32
