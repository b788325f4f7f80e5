// Read-only registry access on HKEY_LOCAL_MACHINE and HKEY_DYN_DATA.
#include <vector>

#include "platform/win32/win32_platform.h"
#include "platform/win32/windows_api.h"

namespace oddfw::platform::win32 {

static_assert(kKeyRead == KEY_READ);
static_assert(kKeyAllAccess == KEY_ALL_ACCESS);
static_assert(kErrorSuccess == ERROR_SUCCESS);
static_assert(kErrorNoMoreItems == ERROR_NO_MORE_ITEMS);

namespace {

// Key names are at most 255 characters; a larger room changes nothing.
constexpr uint32_t kLongestKeyName = 0x7FFF;

HKEY KeyOf(Handle key) {
  return static_cast<HKEY>(key);
}

}  // namespace

uint32_t Win32Registry::OpenKey(RegistryRoot root, const std::string& path, uint32_t access,
                                Handle* key) {
  const HKEY rootKey = root == RegistryRoot::DynData ? HKEY_DYN_DATA : HKEY_LOCAL_MACHINE;
  HKEY opened = nullptr;
  const LONG result = ::RegOpenKeyExA(rootKey, path.c_str(), 0, access, &opened);
  *key = result == ERROR_SUCCESS ? static_cast<Handle>(opened) : nullptr;
  return static_cast<uint32_t>(result);
}

uint32_t Win32Registry::QueryInfoKey(Handle key, uint32_t* subKeyCount) {
  DWORD count = 0;
  const LONG result = ::RegQueryInfoKeyA(KeyOf(key), nullptr, nullptr, nullptr, &count, nullptr,
                                         nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
  if (result == ERROR_SUCCESS) *subKeyCount = count;
  return static_cast<uint32_t>(result);
}

uint32_t Win32Registry::EnumKey(Handle key, uint32_t index, std::string* name, uint32_t maxChars) {
  if (maxChars > kLongestKeyName) maxChars = kLongestKeyName;
  std::vector<char> buffer(std::size_t{maxChars} + 1, '\0');  // room for the terminating zero
  DWORD length = maxChars + 1;
  const LONG result = ::RegEnumKeyExA(KeyOf(key), index, buffer.data(), &length, nullptr, nullptr,
                                      nullptr, nullptr);
  if (result == ERROR_SUCCESS) name->assign(buffer.data(), length);
  return static_cast<uint32_t>(result);
}

uint32_t Win32Registry::QueryValue(Handle key, const std::string& name, uint8_t* data,
                                   uint32_t* size) {
  DWORD bytes = *size;
  const LONG result = ::RegQueryValueExA(KeyOf(key), name.c_str(), nullptr, nullptr, data, &bytes);
  *size = bytes;
  return static_cast<uint32_t>(result);
}

uint32_t Win32Registry::CloseKey(Handle key) {
  return static_cast<uint32_t>(::RegCloseKey(KeyOf(key)));
}

}  // namespace oddfw::platform::win32
