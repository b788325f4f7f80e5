#pragma once
// Zero-filled memory blocks (GlobalAlloc with GMEM_ZEROINIT, locked for use).

#include <cstddef>
#include <cstdint>

namespace oddfw::platform {

class Memory {
 public:
  virtual ~Memory() = default;
  // Allocates and locks a zero-filled block; nullptr when it cannot.
  virtual uint8_t* AllocateZeroed(std::size_t bytes) = 0;
  // Unlocks and frees a block that AllocateZeroed returned.
  virtual void Release(uint8_t* block) = 0;
};

}  // namespace oddfw::platform
