#include "sim/sim_registry.h"

#include <algorithm>
#include <cctype>
#include <cstring>

namespace oddfw::sim {
namespace {

bool SameName(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

std::vector<std::string_view> SplitPath(std::string_view path) {
  std::vector<std::string_view> parts;
  while (!path.empty()) {
    const std::size_t cut = path.find('\\');
    const std::string_view part = path.substr(0, cut);
    if (!part.empty()) parts.push_back(part);
    if (cut == std::string_view::npos) break;
    path.remove_prefix(cut + 1);
  }
  return parts;
}

}  // namespace

RegistryTree::Key& RegistryTree::AddKey(platform::RegistryRoot root, std::string_view path) {
  Key* key = &Root(root);
  for (const std::string_view part : SplitPath(path)) {
    auto it = std::find_if(key->subkeys.begin(), key->subkeys.end(),
                           [&](const Key& k) { return SameName(k.name, part); });
    if (it == key->subkeys.end()) {
      key->subkeys.push_back(Key{std::string(part), {}, {}});
      key = &key->subkeys.back();
    } else {
      key = &*it;
    }
  }
  return *key;
}

void RegistryTree::SetValue(platform::RegistryRoot root, std::string_view path,
                            const std::string& name, RegistryValue value) {
  Key& key = AddKey(root, path);
  for (auto& [n, v] : key.values) {
    if (SameName(n, name)) {
      v = std::move(value);
      return;
    }
  }
  key.values.emplace_back(name, std::move(value));
}

void RegistryTree::SetString(platform::RegistryRoot root, std::string_view path,
                             const std::string& name, const std::string& text) {
  RegistryValue v{kRegSz, std::vector<uint8_t>(text.begin(), text.end())};
  v.data.push_back(0);
  SetValue(root, path, name, std::move(v));
}

void RegistryTree::SetBinary(platform::RegistryRoot root, std::string_view path,
                             const std::string& name, std::vector<uint8_t> bytes) {
  SetValue(root, path, name, RegistryValue{kRegBinary, std::move(bytes)});
}

void RegistryTree::SetDword(platform::RegistryRoot root, std::string_view path,
                            const std::string& name, uint32_t value) {
  RegistryValue v{kRegDword, {}};
  for (int i = 0; i < 4; ++i) v.data.push_back(static_cast<uint8_t>(value >> (8 * i)));
  SetValue(root, path, name, std::move(v));
}

const RegistryTree::Key* RegistryTree::Find(platform::RegistryRoot root,
                                            std::string_view path) const {
  const Key* key = &Root(root);
  for (const std::string_view part : SplitPath(path)) {
    auto it = std::find_if(key->subkeys.begin(), key->subkeys.end(),
                           [&](const Key& k) { return SameName(k.name, part); });
    if (it == key->subkeys.end()) return nullptr;
    key = &*it;
  }
  return key;
}

bool SplitRegistryPath(std::string_view full, platform::RegistryRoot* root, std::string* path) {
  const std::size_t cut = full.find('\\');
  const std::string_view head = full.substr(0, cut);
  if (SameName(head, "HKLM") || SameName(head, "HKEY_LOCAL_MACHINE")) {
    *root = platform::RegistryRoot::LocalMachine;
  } else if (SameName(head, "HKEY_DYN_DATA") || SameName(head, "HKDD")) {
    *root = platform::RegistryRoot::DynData;
  } else {
    return false;
  }
  *path = cut == std::string_view::npos ? std::string() : std::string(full.substr(cut + 1));
  return true;
}

uint32_t SimRegistry::OpenKey(platform::RegistryRoot root, const std::string& path, uint32_t,
                              platform::Handle* key) {
  const RegistryTree::Key* found = tree_.Find(root, path);
  if (found == nullptr) return platform::kErrorFileNotFound;
  *key = open_.Add(found);
  return platform::kErrorSuccess;
}

uint32_t SimRegistry::QueryInfoKey(platform::Handle key, uint32_t* subKeyCount) {
  const RegistryTree::Key* const* k = open_.Find(key);
  if (k == nullptr) return platform::kErrorInvalidHandle;
  *subKeyCount = static_cast<uint32_t>((*k)->subkeys.size());
  return platform::kErrorSuccess;
}

uint32_t SimRegistry::EnumKey(platform::Handle key, uint32_t index, std::string* name,
                              uint32_t maxChars) {
  const RegistryTree::Key* const* k = open_.Find(key);
  if (k == nullptr) return platform::kErrorInvalidHandle;
  if (index >= (*k)->subkeys.size()) return platform::kErrorNoMoreItems;
  const std::string& n = (*k)->subkeys[index].name;
  if (n.size() > maxChars) return kErrorMoreData;
  *name = n;
  return platform::kErrorSuccess;
}

uint32_t SimRegistry::QueryValue(platform::Handle key, const std::string& name, uint8_t* data,
                                 uint32_t* size) {
  const RegistryTree::Key* const* k = open_.Find(key);
  if (k == nullptr) return platform::kErrorInvalidHandle;
  for (const auto& [n, v] : (*k)->values) {
    if (!SameName(n, name)) continue;
    const auto needed = static_cast<uint32_t>(v.data.size());
    if (needed > *size) {
      *size = needed;
      return kErrorMoreData;
    }
    if (needed != 0) std::memcpy(data, v.data.data(), needed);
    *size = needed;
    return platform::kErrorSuccess;
  }
  return platform::kErrorFileNotFound;
}

uint32_t SimRegistry::CloseKey(platform::Handle key) {
  return open_.Remove(key) ? platform::kErrorSuccess : platform::kErrorInvalidHandle;
}

}  // namespace oddfw::sim
