#pragma once
// The JSON-lines trace of a simulated run: one line per message box, per
// SCSI command, per media-change control and per call of the power
// management, in the order they happened.
// docs/scenarios.md describes the lines.
//
// Texts are byte strings (code page 932 for Japanese): each byte is written
// as the character of the same number (bytes 0x80-0xFF become U+0080-U+00FF),
// so a reader gets the bytes back exactly.

#include <cstdint>
#include <ostream>
#include <string>
#include <string_view>

#include "sim/sim_platform.h"

namespace oddfw::sim {

// Bytes as a JSON string value, each byte as the code point of its number.
std::string JsonBytes(std::string_view bytes);
// A box style's name ("question", "error", "information", "warning", ...).
std::string BoxKind(uint32_t type);

class TraceWriter {
 public:
  explicit TraceWriter(std::ostream& out) : out_(out) {}
  void Box(uint64_t timeUs, const BoxRecord& box);
  void Scsi(const ScsiRecord& command);
  void MediaControl(const MediaControlRecord& control);
  void Power(const PowerRecord& power);
  // Writes a line as it is (used for lines built elsewhere).
  void Line(const std::string& jsonLine);

 private:
  std::ostream& out_;
};

}  // namespace oddfw::sim
