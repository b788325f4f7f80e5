#pragma once
// Handles of the simulated host: numbers that are never reused, so a handle
// used after it was closed is always recognised as such (a real system may
// hand the same value to a new object; the simulator reports the misuse
// instead).

#include <cstdint>
#include <map>

#include "platform/types.h"

namespace oddfw::sim {

template <typename T>
class HandleTable {
 public:
  // `base` keeps the handles of different areas apart.
  explicit HandleTable(uintptr_t base) : next_(base) {}

  platform::Handle Add(T value) {
    next_ += 4;
    objects_.emplace(next_, std::move(value));
    return reinterpret_cast<platform::Handle>(next_);
  }
  T* Find(platform::Handle handle) {
    const auto it = objects_.find(reinterpret_cast<uintptr_t>(handle));
    return it != objects_.end() ? &it->second : nullptr;
  }
  bool Remove(platform::Handle handle) {
    return objects_.erase(reinterpret_cast<uintptr_t>(handle)) != 0;
  }
  std::size_t size() const { return objects_.size(); }
  template <typename F>
  void ForEach(F f) const {
    for (const auto& [h, value] : objects_) f(value);
  }

 private:
  uintptr_t next_;
  std::map<uintptr_t, T> objects_;
};

}  // namespace oddfw::sim
