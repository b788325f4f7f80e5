#pragma once
// Zero-filled memory blocks of the simulated host. Released blocks are kept
// (not reused) until the host ends, so a late write by the ASPI layer into a
// block the program already gave back is caught and reported instead of
// corrupting memory.

#include <cstddef>
#include <cstdint>
#include <map>

#include "platform/memory.h"
#include "sim/sim_host.h"

namespace oddfw::sim {

class SimMemory : public platform::Memory {
 public:
  SimMemory(HostLog& log, uint32_t failAllocation) : log_(log), failAllocation_(failAllocation) {}
  ~SimMemory() override;
  uint8_t* AllocateZeroed(std::size_t bytes) override;
  void Release(uint8_t* block) override;

  enum class State { kLive, kReleased, kUnknown };
  // Whether [p, p + bytes) lies in a live block, a released one, or memory
  // the host did not hand out.
  State Where(const void* p, std::size_t bytes) const;

  std::size_t liveBlocks() const { return live_.size(); }
  std::size_t liveBytes() const;
  uint32_t allocations() const { return allocations_; }

 private:
  static bool Inside(const std::map<uint8_t*, std::size_t>& blocks, const uint8_t* p,
                     std::size_t bytes);
  HostLog& log_;
  uint32_t failAllocation_;  // this allocation (1-based) fails; 0: none
  uint32_t allocations_ = 0;
  std::map<uint8_t*, std::size_t> live_;
  std::map<uint8_t*, std::size_t> released_;
};

}  // namespace oddfw::sim
