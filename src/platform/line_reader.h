#pragma once
// Splits the bytes of a text file into lines for a TextFile backend: lines end
// with LF or CR LF (a lone CR is an ordinary character), and a line longer
// than the caller's limit comes back in pieces.

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "platform/files.h"

namespace oddfw::platform {

class LineReader {
 public:
  // Reads up to `room` bytes into `buffer` and stores their number in *got
  // (0 at the end of the file). Returns false on a read error, with the
  // cause (1 to 14) in *cause.
  using Source = std::function<bool(char* buffer, std::size_t room, std::size_t* got, int* cause)>;

  explicit LineReader(Source source, std::size_t chunkBytes = 4096);

  // The next line without its line end. A line of more than maxChars
  // characters comes back as pieces of maxChars (the last one shorter); a
  // line end right after a full piece belongs to that piece, so a line of
  // exactly maxChars characters is one line. A last line without line end
  // is a line; after it comes kEnd. maxChars 0 counts as 1.
  TextFile::Read ReadLine(std::string* line, std::size_t maxChars, int* cause);

 private:
  // Makes at least `count` bytes available unless the file ends first.
  // False on a read error.
  bool Ensure(std::size_t count, int* cause);
  std::size_t Available() const { return end_ - pos_; }
  // True (and consumes it) when an LF or a CR LF comes next.
  bool TakeLineEnd(bool* error, int* cause);

  Source source_;
  std::vector<char> buffer_;
  std::size_t chunkBytes_;
  std::size_t pos_ = 0;
  std::size_t end_ = 0;
  bool atEnd_ = false;
};

}  // namespace oddfw::platform
