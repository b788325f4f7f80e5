#include "platform/line_reader.h"

#include <algorithm>
#include <utility>

namespace oddfw::platform {

LineReader::LineReader(Source source, std::size_t chunkBytes)
    : source_(std::move(source)), chunkBytes_(chunkBytes == 0 ? 1 : chunkBytes) {}

bool LineReader::Ensure(std::size_t count, int* cause) {
  while (Available() < count && !atEnd_) {
    if (pos_ != 0) {  // keep what is left at the front
      buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(pos_));
      end_ -= pos_;
      pos_ = 0;
    }
    buffer_.resize(end_ + chunkBytes_);
    std::size_t got = 0;
    if (!source_(buffer_.data() + end_, chunkBytes_, &got, cause)) return false;
    if (got == 0) atEnd_ = true;
    end_ += got;
  }
  return true;
}

bool LineReader::TakeLineEnd(bool* error, int* cause) {
  // Reads ahead only as far as needed: one byte, two after a CR.
  *error = !Ensure(1, cause);
  if (*error || Available() == 0) return false;
  if (buffer_[pos_] == '\n') {
    pos_ += 1;
    return true;
  }
  if (buffer_[pos_] != '\r') return false;
  *error = !Ensure(2, cause);
  if (*error) return false;
  if (Available() >= 2 && buffer_[pos_ + 1] == '\n') {
    pos_ += 2;
    return true;
  }
  return false;
}

TextFile::Read LineReader::ReadLine(std::string* line, std::size_t maxChars, int* cause) {
  if (maxChars == 0) maxChars = 1;
  line->clear();
  bool error = false;
  for (;;) {
    if (TakeLineEnd(&error, cause)) return TextFile::Read::kLine;
    if (error) return TextFile::Read::kError;
    if (Available() == 0) return line->empty() ? TextFile::Read::kEnd : TextFile::Read::kLine;
    // Take the ordinary characters up to the next CR or LF at once, as far as
    // the buffer and the piece allow. The first one may be a CR that
    // TakeLineEnd has seen is no line end.
    const char* from = buffer_.data() + pos_;
    const std::size_t most = std::min(Available(), maxChars - line->size());
    std::size_t count = 1;
    while (count < most && from[count] != '\n' && from[count] != '\r') ++count;
    line->append(from, count);
    pos_ += count;
    if (line->size() == maxChars) {
      TakeLineEnd(&error, cause);  // a line end right after a full piece ends it
      return error ? TextFile::Read::kError : TextFile::Read::kLine;
    }
  }
}

}  // namespace oddfw::platform
