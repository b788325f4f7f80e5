#pragma once
// Console output: the bytes of a text go to standard output unchanged.

#include <string_view>

namespace oddfw::platform {

class Console {
 public:
  virtual ~Console() = default;
  // Writes the bytes as they are (no newline translation, no format
  // interpretation) and flushes them, so they are visible on return.
  virtual void Write(std::string_view bytes) = 0;
};

}  // namespace oddfw::platform
