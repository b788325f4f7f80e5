#pragma once
// The simulated registry: a tree of keys with values under
// HKEY_LOCAL_MACHINE and HKEY_DYN_DATA, read through the registry calls of
// the seam. Key names compare without case, as Windows compares them;
// subkeys enumerate in the order they were added.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/registry.h"
#include "sim/handle_table.h"

namespace oddfw::sim {

inline constexpr uint32_t kRegSz = 1;      // REG_SZ
inline constexpr uint32_t kRegBinary = 3;  // REG_BINARY
inline constexpr uint32_t kRegDword = 4;   // REG_DWORD

inline constexpr uint32_t kErrorMoreData = 234;  // ERROR_MORE_DATA

struct RegistryValue {
  uint32_t type = kRegBinary;
  std::vector<uint8_t> data;
};

class RegistryTree {
 public:
  struct Key {
    std::string name;
    std::vector<Key> subkeys;
    std::vector<std::pair<std::string, RegistryValue>> values;
  };

  // Creates the key and every missing key above it. Paths separate names by
  // backslashes.
  Key& AddKey(platform::RegistryRoot root, std::string_view path);
  void SetValue(platform::RegistryRoot root, std::string_view path, const std::string& name,
                RegistryValue value);
  // A zero-terminated text (REG_SZ).
  void SetString(platform::RegistryRoot root, std::string_view path, const std::string& name,
                 const std::string& text);
  // Bytes as they are (REG_BINARY), e.g. the one-byte AutoInsertNotification.
  void SetBinary(platform::RegistryRoot root, std::string_view path, const std::string& name,
                 std::vector<uint8_t> bytes);
  void SetDword(platform::RegistryRoot root, std::string_view path, const std::string& name,
                uint32_t value);

  // The key at `path`, or nullptr. An empty path is the root key.
  const Key* Find(platform::RegistryRoot root, std::string_view path) const;
  bool empty() const { return localMachine_.subkeys.empty() && dynData_.subkeys.empty(); }

 private:
  Key& Root(platform::RegistryRoot root) {
    return root == platform::RegistryRoot::LocalMachine ? localMachine_ : dynData_;
  }
  const Key& Root(platform::RegistryRoot root) const {
    return root == platform::RegistryRoot::LocalMachine ? localMachine_ : dynData_;
  }
  Key localMachine_;
  Key dynData_;
};

// Parses "HKLM\..." / "HKEY_LOCAL_MACHINE\..." / "HKEY_DYN_DATA\..." into
// its root and the path below it; false for another root.
bool SplitRegistryPath(std::string_view full, platform::RegistryRoot* root, std::string* path);

class SimRegistry : public platform::Registry {
 public:
  explicit SimRegistry(RegistryTree tree) : tree_(std::move(tree)) {}
  uint32_t OpenKey(platform::RegistryRoot root, const std::string& path, uint32_t access,
                   platform::Handle* key) override;
  uint32_t QueryInfoKey(platform::Handle key, uint32_t* subKeyCount) override;
  uint32_t EnumKey(platform::Handle key, uint32_t index, std::string* name,
                   uint32_t maxChars) override;
  uint32_t QueryValue(platform::Handle key, const std::string& name, uint8_t* data,
                      uint32_t* size) override;
  uint32_t CloseKey(platform::Handle key) override;

  std::size_t openKeys() const { return open_.size(); }

 private:
  RegistryTree tree_;
  HandleTable<const RegistryTree::Key*> open_{0x30000};
};

}  // namespace oddfw::sim
