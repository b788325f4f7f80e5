#pragma once
// Every drive operation the update procedures need, each exactly one SCSI
// command. The generic operations take every variable CDB field; the vendor
// operations are fixed uses of them and address the drive being updated.

#include <cstdint>

namespace oddfw {

struct Run;

// --- generic commands -------------------------------------------------------

int32_t TestUnitReady(Run& run, int32_t target);
// INQUIRY of 96 bytes into `buffer` (1 s when an IEEE1394 mapper was found,
// else 5 s).
int32_t Inquiry(Run& run, int32_t target, uint8_t* buffer);
int32_t StartStopUnit(Run& run, int32_t target, uint8_t byte1, uint8_t powerCondition,
                      uint8_t loadEject, uint8_t start);
// READ BUFFER / WRITE BUFFER: the offset is 24 bits; the CDB carries the low
// 16 bits of the length, the transfer the whole length.
int32_t ReadBuffer(Run& run, int32_t target, uint8_t mode, uint8_t bufferId, uint32_t offset,
                   uint32_t length, uint8_t* buffer);
int32_t WriteBuffer(Run& run, int32_t target, uint8_t mode, uint8_t bufferId, uint32_t offset,
                    uint32_t length, const uint8_t* buffer);

// --- vendor operations on currentTarget -------------------------------------

// Family 0x0000: update mode, image data, re-flash, drive memory.
int32_t EnterUpdateMode(Run& run);
int32_t WriteUpdateData(Run& run, uint32_t offset, uint32_t length, const uint8_t* data);
int32_t StartReflash(Run& run);
int32_t ReadDriveMemory(Run& run, uint32_t offset, uint32_t length, uint8_t* buffer);

// The 48-byte vendor identity into the VendorIdentity store.
int32_t ReadVendorIdentity(Run& run);

// Kernel (update) mode and back, with the 256-byte mode-change block. Both
// print their own failure message.
int32_t EnterKernelMode(Run& run, int32_t modelCode);
int32_t EnterNormalMode(Run& run, int32_t modelCode);
int32_t WriteKernelPart(Run& run, uint32_t offset, uint32_t length, const uint8_t* data);
int32_t WriteNormalPart(Run& run, uint32_t offset, uint32_t length, const uint8_t* data);

// Stops the disc; leaves commandTimeoutMs at 0 (no limit).
int32_t StopUnit(Run& run);

// The update-mode handshake's exchange on buffers 0xF3 and 0xF2.
int32_t HandshakeProbe(Run& run);
int32_t ReadChallenge(Run& run, uint8_t* challenge);            // 1024 bytes in
int32_t EchoChallenge(Run& run, const uint8_t* challenge);      // 256 bytes out
int32_t SendChallengeResponse(Run& run, const uint8_t* block);  // 1024 bytes out

// The 256-byte block EnterKernelMode (kernel true) or EnterNormalMode sends
// for a model code, built into `block`.
void BuildModeChangeBlock(Run& run, int32_t modelCode, bool kernel, uint8_t* block);
// The time-out EnterNormalMode uses for a model code on this host.
int32_t NormalModeTimeoutMs(const Run& run, int32_t modelCode);

inline constexpr uint32_t kModeChangeBlockSize = 256;

}  // namespace oddfw
