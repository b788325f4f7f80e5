#pragma once
// The challenge-response exchange some DVD-RW drives want before they accept
// the kernel-mode command.

#include <cstdint>

namespace oddfw {

struct Run;

// The drive's unlock secret: key0 is added to the index byte of the
// challenge (so it stays at most 768), key1 is a position in the challenge.
inline constexpr uint16_t kHandshakeKey0 = 0x1A7;
inline constexpr uint16_t kHandshakeKey1 = 0x2E9;
static_assert(kHandshakeKey0 <= 768 && kHandshakeKey1 < 1024);

// Where the exchange works inside the work buffer: the challenge read from the
// drive, and the response block (never the firmware image).
inline constexpr uint32_t kChallengeOffset = 0;
inline constexpr uint32_t kResponseOffset = 0x1000;
inline constexpr uint32_t kChallengeSize = 1024;

// Fills `response` (1024 bytes, already holding filler) with the answer to
// `challenge`: one byte, the complement of the challenge byte the keys pick,
// at the position the challenge names.
void BuildChallengeResponse(const uint8_t* challenge, uint8_t* response);

// Runs the exchange (unless the drive declines it), moves the drive to kernel
// mode and checks by INQUIRY that it runs its kernel. Returns 0 when the
// drive accepted the kernel-mode command, else the failure.
int32_t UpdateModeHandshake(Run& run);

}  // namespace oddfw
