#pragma once
// The update procedures, one per drive family. Each works on the drive at
// currentTarget and returns 0 (updated), -1 (fatal: the run stops) or another
// value (not updated: 1 refused, 7 declined).

#include <cstdint>

namespace oddfw {

struct Run;

int32_t UpdateFamily0000(Run& run);
int32_t UpdateFamily1000(Run& run);
int32_t UpdateFamily4000(Run& run);

}  // namespace oddfw
