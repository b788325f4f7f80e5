#include "sim/drive/scsi.h"

#include <cstdio>

namespace oddfw::sim::drive {

SenseBytes FixedSense(uint8_t key, uint8_t asc, uint8_t ascq) {
  SenseBytes s{};
  s[0] = 0x70;  // current error, fixed format
  s[2] = key;
  s[7] = 10;  // additional sense length: bytes 8-17
  s[12] = asc;
  s[13] = ascq;
  return s;
}

Reply Reply::Check(uint8_t key, uint8_t asc, uint8_t ascq) {
  Reply r;
  r.status = kStatusCheckCondition;
  r.hasSense = true;
  r.sense = FixedSense(key, asc, ascq);
  return r;
}

void Reply::SetProgress(uint16_t progress) {
  sense[15] = 0x80;  // sense-key-specific bytes valid
  sense[16] = static_cast<uint8_t>(progress >> 8);
  sense[17] = static_cast<uint8_t>(progress);
}

std::string HexBytes(const uint8_t* bytes, std::size_t count) {
  std::string out;
  for (std::size_t i = 0; i < count; ++i) {
    char hex[4];
    std::snprintf(hex, sizeof hex, "%02X", bytes[i]);
    if (i != 0) out += ' ';
    out += hex;
  }
  return out;
}

}  // namespace oddfw::sim::drive
