// Parts of the program that are not built yet: no family has an update
// procedure.
#include "app/run.h"
#include "procedures/procedures.h"

namespace oddfw {

int32_t UpdateFamily0000(Run&) {
  return 1;
}
int32_t UpdateFamily1000(Run&) {
  return 1;
}
int32_t UpdateFamily4000(Run&) {
  return 1;
}

const uint8_t* ImageHeaderBytes(const Run& run) {
  static const uint8_t kNoHeader[0x200] = {};
  return run.image.firmware.buffer != nullptr ? run.image.firmware.buffer : kNoHeader;
}

}  // namespace oddfw
