#include "sim/sim_memory.h"

#include <cstdlib>

namespace oddfw::sim {

SimMemory::~SimMemory() {
  for (auto& [block, size] : live_) std::free(block);
  for (auto& [block, size] : released_) std::free(block);
}

uint8_t* SimMemory::AllocateZeroed(std::size_t bytes) {
  ++allocations_;
  if (allocations_ == failAllocation_) return nullptr;
  auto* block = static_cast<uint8_t*>(std::calloc(bytes == 0 ? 1 : bytes, 1));
  if (block != nullptr) live_.emplace(block, bytes);
  return block;
}

void SimMemory::Release(uint8_t* block) {
  const auto it = live_.find(block);
  if (it == live_.end()) {
    log_.Misuse("GlobalFree of a block that is not allocated");
    return;
  }
  released_.insert(*it);
  live_.erase(it);
}

bool SimMemory::Inside(const std::map<uint8_t*, std::size_t>& blocks, const uint8_t* p,
                       std::size_t bytes) {
  auto it = blocks.upper_bound(const_cast<uint8_t*>(p));
  if (it == blocks.begin()) return false;
  --it;
  return p >= it->first && p + bytes <= it->first + it->second;
}

SimMemory::State SimMemory::Where(const void* p, std::size_t bytes) const {
  const auto* b = static_cast<const uint8_t*>(p);
  if (Inside(live_, b, bytes)) return State::kLive;
  if (Inside(released_, b, bytes)) return State::kReleased;
  return State::kUnknown;
}

std::size_t SimMemory::liveBytes() const {
  std::size_t total = 0;
  for (const auto& [block, size] : live_) total += size;
  return total;
}

}  // namespace oddfw::sim
