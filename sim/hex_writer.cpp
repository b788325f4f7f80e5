#include "sim/hex_writer.h"

#include <algorithm>
#include <cstdio>
#include <stdexcept>

namespace oddfw::sim {

std::string HexRecord(int type, uint16_t address, std::span<const uint8_t> data) {
  if (data.size() > 0xFF) throw std::invalid_argument("a record holds at most 255 bytes");
  std::string line = ":";
  unsigned sum = 0;
  auto put = [&line, &sum](unsigned byte) {
    char digits[3];
    std::snprintf(digits, sizeof digits, "%02X", byte & 0xFF);
    line += digits;
    sum += byte;
  };
  put(static_cast<unsigned>(data.size()));
  put(address >> 8);
  put(address & 0xFF);
  put(static_cast<unsigned>(type));
  for (const uint8_t b : data) put(b);
  put((0x100 - (sum & 0xFF)) & 0xFF);
  return line;
}

std::string ToHexRecords(std::span<const uint8_t> data, uint32_t baseAddress,
                         const HexOptions& options) {
  if (options.bytesPerLine != 16 && options.bytesPerLine != 32) {
    throw std::invalid_argument("HEX lines hold 16 or 32 data bytes");
  }
  if (uint64_t{baseAddress} + data.size() > 0x100000) {
    throw std::out_of_range("HEX records with segment addresses reach only the first 1 MiB");
  }
  const char* lineEnd = options.crlf ? "\r\n" : "\n";
  std::string out;
  uint32_t block = 0;  // the 64 KiB block the segment base points at
  std::size_t at = 0;
  while (at < data.size()) {
    const uint32_t address = baseAddress + static_cast<uint32_t>(at);
    // A line never crosses into the next 64 KiB block.
    const std::size_t chunk =
        std::min<std::size_t>({static_cast<std::size_t>(options.bytesPerLine), data.size() - at,
                               0x10000 - (address & 0xFFFF)});
    const std::span<const uint8_t> bytes = data.subspan(at, chunk);
    at += chunk;
    if (options.skipErased &&
        std::all_of(bytes.begin(), bytes.end(), [](uint8_t b) { return b == 0xFF; })) {
      continue;
    }
    if (address >> 16 != block) {
      block = address >> 16;
      const uint8_t segment[2] = {static_cast<uint8_t>(block << 4), 0};
      out += HexRecord(2, 0, segment) + lineEnd;
    }
    out += HexRecord(0, static_cast<uint16_t>(address & 0xFFFF), bytes) + lineEnd;
  }
  if (options.endRecord) out += HexRecord(1, 0, {}) + lineEnd;
  return out;
}

}  // namespace oddfw::sim
