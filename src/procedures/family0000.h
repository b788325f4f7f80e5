#pragma once
// The update procedure of the oldest drive family, which takes HEX images.

#include <cstdint>

namespace oddfw {

struct Run;

struct Family0000State {
  char memoryIdentity[16] = {};  // found in drive memory, "Not recognize   " when none
  char memoryCpuType[16] = {};
  char hostTag[4] = {};  // "WIN " or "WIN2", written behind the image
};

// Identities kept in the memory (and the image) of the drives of model codes
// 9 and 11, a third identity some drives carry, and the CPU type of models 9
// and 11. They are not text.
inline constexpr uint8_t kIdentityPatternA[16] = {0x8E, 0x01, 0xF3, 0xDA, 0xC7, 0x02, 0x9B, 0x10,
                                                  0xE4, 0x03, 0xED, 0xB6, 0x04, 0xAF, 0x18, 0xD2};
inline constexpr uint8_t kIdentityPatternB[16] = {0x91, 0xFE, 0x06, 0xC3, 0x1B, 0xE8, 0x07, 0x84,
                                                  0xD9, 0x0E, 0xB2, 0x05, 0xF7, 0x8C, 0x13, 0xA1};
inline constexpr uint8_t kIdentityPatternC[16] = {0xA5, 0x0F, 0xD4, 0x81, 0x1E, 0xB9, 0x08, 0xF2,
                                                  0x97, 0x1C, 0xE3, 0x0A, 0xC8, 0x85, 0x11, 0xBD};
inline constexpr uint8_t kCpuTypePattern[16] = {0xC1, 0x9E, 0x02, 0xF6, 0x8B, 0x17, 0xD3, 0x05,
                                                0xAA, 0x1F, 0xE7, 0x90, 0x0C, 0xB4, 0x83, 0xFD};

int32_t UpdateFamily0000(Run& run);

}  // namespace oddfw
