// Zero-filled global memory blocks, locked for as long as the program uses
// them.
#include "platform/win32/win32_platform.h"
#include "platform/win32/windows_api.h"

namespace oddfw::platform::win32 {

uint8_t* Win32Memory::AllocateZeroed(std::size_t bytes) {
  const HGLOBAL handle = ::GlobalAlloc(GMEM_ZEROINIT, bytes);
  if (handle == nullptr) return nullptr;
  void* block = ::GlobalLock(handle);
  if (block == nullptr) {
    ::GlobalFree(handle);
    return nullptr;
  }
  return static_cast<uint8_t*>(block);
}

void Win32Memory::Release(uint8_t* block) {
  if (block == nullptr) return;
  const HGLOBAL handle = ::GlobalHandle(block);
  if (handle == nullptr) return;  // not a block of ours
  ::GlobalUnlock(handle);
  ::GlobalFree(handle);
}

}  // namespace oddfw::platform::win32
