// The Japanese texts the program shows are the code page 932 bytes of the
// UTF-8 texts in the source, checked here against the C library's own
// converter (iconv), independently of the generator that produced them.

#include <gtest/gtest.h>
#include <iconv.h>

#include <string>
#include <vector>

#include "console/catalog.h"

namespace oddfw {
namespace {

struct Utf8Text {
  int code;  // -1 for a procedure text
  ProcedureText name;
  const char* text;
};

const std::vector<Utf8Text>& Utf8Texts() {
  static const std::vector<Utf8Text> texts = {
#define MESSAGE(code, text) {code, ProcedureText::TransferDone, text},
#define TEXT(name, text) {-1, ProcedureText::name, text},
#include "console/catalog_ja_utf8.inc"
#undef MESSAGE
#undef TEXT
  };
  return texts;
}

std::string ToCp932(const std::string& utf8) {
  iconv_t cd = iconv_open("CP932", "UTF-8");
  EXPECT_NE(cd, reinterpret_cast<iconv_t>(-1));
  std::string in = utf8;
  std::string out(in.size() * 2 + 16, '\0');
  char* inPtr = in.data();
  std::size_t inLeft = in.size();
  char* outPtr = out.data();
  std::size_t outLeft = out.size();
  const std::size_t rc = iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft);
  iconv_close(cd);
  EXPECT_NE(rc, static_cast<std::size_t>(-1)) << utf8;
  out.resize(out.size() - outLeft);
  return out;
}

TEST(Cp932, EveryJapaneseTextIsTheIconvEncodingOfItsSource) {
  int messages = 0;
  int procedureTexts = 0;
  for (const Utf8Text& t : Utf8Texts()) {
    const std::string expected = ToCp932(t.text);
    if (t.code >= 0) {
      ++messages;
      EXPECT_EQ(std::string(MessageTemplate(t.code, true)), expected) << "message " << t.code;
    } else {
      ++procedureTexts;
      EXPECT_EQ(std::string(ProcedureTemplate(t.name, true)), expected) << t.text;
    }
  }
  // The source lists the texts; an empty list would prove nothing.
  EXPECT_GT(messages, 80);
  EXPECT_EQ(procedureTexts, 4);
}

TEST(Cp932, HalfWidthKatakanaStaysSingleByte) {
  // "\nﾄﾞﾗｲﾌﾞ" : LF, then one byte per half-width character.
  const std::string text = MessageTemplate(0, true);
  EXPECT_EQ(text.substr(0, 6), "\n\xC4\xDE\xD7\xB2\xCC");
  // A full-width character is two bytes: the 0x5C second byte of U+80FD
  // (in "利用可能") must survive as data.
  EXPECT_NE(std::string(MessageTemplate(28, true)).find("\x94\x5C"), std::string::npos);
}

}  // namespace
}  // namespace oddfw
