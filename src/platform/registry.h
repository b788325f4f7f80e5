#pragma once
// Read-only registry access, with Win32 error codes as results.

#include <cstdint>
#include <string>

#include "platform/types.h"

namespace oddfw::platform {

enum class RegistryRoot { LocalMachine, DynData };  // HKEY_LOCAL_MACHINE, HKEY_DYN_DATA

inline constexpr uint32_t kKeyRead = 0x20019;       // KEY_READ
inline constexpr uint32_t kKeyAllAccess = 0xF003F;  // KEY_ALL_ACCESS

class Registry {
 public:
  virtual ~Registry() = default;
  // RegOpenKeyExA on a root key.
  virtual uint32_t OpenKey(RegistryRoot root, const std::string& path, uint32_t access,
                           Handle* key) = 0;
  // RegQueryInfoKeyA, the number of subkeys only.
  virtual uint32_t QueryInfoKey(Handle key, uint32_t* subKeyCount) = 0;
  // RegEnumKeyExA: the name of subkey `index`, at most maxChars characters.
  virtual uint32_t EnumKey(Handle key, uint32_t index, std::string* name, uint32_t maxChars) = 0;
  // RegQueryValueExA: on input *size is the room in data, on output the bytes
  // stored.
  virtual uint32_t QueryValue(Handle key, const std::string& name, uint8_t* data,
                              uint32_t* size) = 0;
  virtual uint32_t CloseKey(Handle key) = 0;
};

}  // namespace oddfw::platform
