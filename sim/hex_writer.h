#pragma once
// Binary to HEX records: data records with extended segment address records
// for every 64 KiB block past the first, and an end record.

#include <cstdint>
#include <filesystem>
#include <span>
#include <string>

namespace oddfw::sim {

struct HexOptions {
  int bytesPerLine = 16;    // 16 or 32
  bool crlf = true;         // CR LF line ends (else LF)
  bool skipErased = false;  // leave out lines whose bytes are all 0xFF
  bool endRecord = true;    // close with ":00000001FF"
};

// One record without its line end: ':', byte count, address, type, data and
// the checksum that makes the record's bytes add up to zero.
std::string HexRecord(int type, uint16_t address, std::span<const uint8_t> data);

// The records of `data` placed at `baseAddress`. Segment records reach the
// first 1 MiB; data beyond it throws std::out_of_range, an unsupported line
// width std::invalid_argument.
std::string ToHexRecords(std::span<const uint8_t> data, uint32_t baseAddress = 0,
                         const HexOptions& options = {});

}  // namespace oddfw::sim
