#include "platform/line_reader.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace oddfw::platform {
namespace {

// Every line (or the end, or an error) of `bytes`, read `maxChars` at a time
// from a source that hands out `chunk` bytes per read.
std::vector<std::string> Lines(const std::string& bytes, std::size_t maxChars, std::size_t chunk) {
  std::size_t at = 0;
  LineReader reader(
      [&](char* buffer, std::size_t room, std::size_t* got, int*) {
        *got = std::min(room, bytes.size() - at);
        bytes.copy(buffer, *got, at);
        at += *got;
        return true;
      },
      chunk);
  std::vector<std::string> out;
  for (int guard = 0; guard < 1000; ++guard) {
    std::string line = "left over";
    int cause = 0;
    const TextFile::Read r = reader.ReadLine(&line, maxChars, &cause);
    if (r == TextFile::Read::kEnd) {
      // The end stays the end.
      EXPECT_EQ(reader.ReadLine(&line, maxChars, &cause), TextFile::Read::kEnd);
      return out;
    }
    if (r == TextFile::Read::kError) return {"<error>"};
    out.push_back(line);
  }
  ADD_FAILURE() << "no end";
  return out;
}

TEST(LineReader, SplitsLinesAndPieces) {
  struct Case {
    std::string bytes;
    std::size_t maxChars;
    std::vector<std::string> lines;
  };
  const Case cases[] = {
      {"", 10, {}},
      {"a\nb\n", 10, {"a", "b"}},
      {"a\r\nb\r\n", 10, {"a", "b"}},
      {"a\r\nb", 10, {"a", "b"}},                 // last line without a line end
      {"\n\r\n\n", 10, {"", "", ""}},             // empty lines are lines
      {"a\rb\r\r\n", 10, {"a\rb\r"}},             // a lone CR is a character
      {"abcdefg\n", 3, {"abc", "def", "g"}},      // a long line in pieces
      {"abcdef\nxy\n", 3, {"abc", "def", "xy"}},  // exactly two pieces: no empty third
      {"abc\r\nd", 3, {"abc", "d"}},              // CR LF right after a full piece
      {"abc\rd\n", 3, {"abc", "\rd"}},            // a lone CR after a full piece
      {"ab\r\n", 2, {"ab"}},
      {std::string("a\0b\n", 4), 10, {std::string("a\0b", 3)}},
      {"xy", 0, {"x", "y"}},  // no room counts as one character
  };
  for (const Case& c : cases) {
    for (const std::size_t chunk : {1u, 2u, 3u, 4096u}) {
      EXPECT_EQ(Lines(c.bytes, c.maxChars, chunk), c.lines)
          << "bytes \"" << c.bytes << "\" max " << c.maxChars << " chunk " << chunk;
    }
  }
}

TEST(LineReader, LongHexLinesComeBackIn1023CharacterPieces) {
  const std::string longLine(2500, 'F');
  const auto lines = Lines(":00000001FF\r\n" + longLine + "\r\n:0\r\n", 1023, 4096);
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(lines[0], ":00000001FF");
  EXPECT_EQ(lines[1].size(), 1023u);
  EXPECT_EQ(lines[2].size(), 1023u);
  EXPECT_EQ(lines[3].size(), 454u);
  EXPECT_EQ(lines[4], ":0");
}

TEST(LineReader, ReportsTheCauseOfAReadError) {
  int reads = 0;
  LineReader reader([&](char* buffer, std::size_t, std::size_t* got, int* cause) {
    if (++reads > 1) {
      *cause = kCauseHardIo;
      return false;
    }
    buffer[0] = 'a';
    buffer[1] = '\n';
    *got = 2;
    return true;
  });
  std::string line;
  int cause = 0;
  EXPECT_EQ(reader.ReadLine(&line, 10, &cause), TextFile::Read::kLine);
  EXPECT_EQ(line, "a");
  EXPECT_EQ(reader.ReadLine(&line, 10, &cause), TextFile::Read::kError);
  EXPECT_EQ(cause, kCauseHardIo);
}

}  // namespace
}  // namespace oddfw::platform
