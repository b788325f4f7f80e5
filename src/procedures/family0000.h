#pragma once
// The update procedure of the oldest drive family, which takes HEX images.

#include <cstdint>

namespace oddfw {

struct Run;

struct Family0000State {
  char memoryIdentity[16] = {};
  char memoryCpuType[16] = {};
  char hostTag[4] = {};
};

int32_t UpdateFamily0000(Run& run);

}  // namespace oddfw
