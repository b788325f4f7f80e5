// The ASPI layer (WNASPI32.DLL, entry points by ordinal) and the events it
// signals when a request completes.
#include "platform/win32/win32_platform.h"
#include "platform/win32/windows_api.h"

namespace oddfw::platform::win32 {

static_assert(kInfinite == INFINITE);
static_assert(kWaitObject0 == WAIT_OBJECT_0);
static_assert(kWaitTimeout == WAIT_TIMEOUT);
static_assert(kWaitFailed == WAIT_FAILED);

namespace {

constexpr WORD kOrdinalSupportInfo = 1;  // GetASPI32SupportInfo
constexpr WORD kOrdinalSendCommand = 2;  // SendASPI32Command

// GetProcAddress hands out a generic function pointer; the entry point's
// real type is restored through the one type that converts to every other.
template <typename Fn>
Fn EntryPoint(HMODULE library, WORD ordinal) {
  const FARPROC address = ::GetProcAddress(library, MAKEINTRESOURCEA(ordinal));
  return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(address));
}

}  // namespace

bool Win32Aspi::LoadLibrary() {
  const HMODULE library = ::LoadLibraryA("WNASPI32.DLL");
  if (library == nullptr) return false;
  supportInfo_ = EntryPoint<SupportInfoFn>(library, kOrdinalSupportInfo);
  sendCommand_ = EntryPoint<SendCommandFn>(library, kOrdinalSendCommand);
  if (supportInfo_ == nullptr || sendCommand_ == nullptr) {
    supportInfo_ = nullptr;
    sendCommand_ = nullptr;
    ::FreeLibrary(library);
    return false;
  }
  return true;  // stays loaded until the program ends
}

// Without a loaded layer the calls answer as a layer that failed to start.
uint32_t Win32Aspi::GetASPI32SupportInfo() {
  if (supportInfo_ == nullptr) return uint32_t{kSsFailedInit} << 8;
  return supportInfo_();
}

uint32_t Win32Aspi::SendASPI32Command(void* srb) {
  if (sendCommand_ == nullptr) return kSsFailedInit;
  return sendCommand_(srb);
}

Handle Win32Events::CreateEvent() {
  return ::CreateEventA(nullptr, FALSE, FALSE, nullptr);
}

uint32_t Win32Events::WaitForSingleObject(Handle event, uint32_t timeoutMs) {
  return ::WaitForSingleObject(event, timeoutMs);
}

bool Win32Events::CloseHandle(Handle event) {
  return ::CloseHandle(event) != FALSE;
}

}  // namespace oddfw::platform::win32
