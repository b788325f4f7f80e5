#include "console/catalog.h"

#include <array>

#include "app/run.h"

namespace oddfw {
namespace {

inline constexpr int kCatalogSize = 101;  // codes 0 to 100

struct Texts {
  std::array<const char*, kCatalogSize> messages{};
  std::array<const char*, 4> procedure{};
};

constexpr std::size_t Index(ProcedureText t) {
  return static_cast<std::size_t>(t);
}

constexpr Texts EnglishTexts() {
  Texts t;
#define MESSAGE(code, text) t.messages[code] = text;
#define TEXT(name, text) t.procedure[Index(ProcedureText::name)] = text;
#include "console/catalog_en.inc"
#undef MESSAGE
#undef TEXT
  return t;
}

constexpr Texts JapaneseCp932Texts() {
  Texts t;
#define MESSAGE(code, text) t.messages[code] = text;
#define TEXT(name, text) t.procedure[Index(ProcedureText::name)] = text;
#include "console/catalog_ja_cp932.inc"
#undef MESSAGE
#undef TEXT
  return t;
}

constexpr Texts kEnglish = EnglishTexts();
constexpr Texts kJapanese = JapaneseCp932Texts();

// Fills the conversions of `code` with the values that message takes.
std::string FillMessage(const Run& run, MessageCode code, const char* text) {
  const uint8_t* identity = run.revision.driveIdentity;
  const FirmwareImage& image = run.image.firmware;
  switch (code) {
    case 11:
      return Format(text, run.definition.active.fileName);
    case 31:
      return Format(text, static_cast<int>(run.host.targetCount));
    case 32:
      return Format(text, static_cast<int>(run.driver.currentTarget),
                    DriveText(image.revisionText, 4).c_str(), DriveText(identity + 8, 24).c_str(),
                    DriveText(identity + 32, 4).c_str());
    case 34:
      return Format(text, static_cast<int>(run.driver.currentTarget + 1));
    case 45:
    case 46:
      return Format(text, DriveText(image.revisionText, 4).c_str());
    case 58:
      return Format(text, static_cast<int>(run.driver.updatedCount));
    case 82: {
      // The question shows both dates as "20" and yy/mm/dd. A drive that
      // reports its date as yyyy/mm/dd gives its last eight characters, so
      // the user reads the date rather than "(202009/01/)".
      const bool fourDigitYear = identity[41] == '/' && identity[44] == '/';
      const uint8_t* date = identity + (fourDigitYear ? 39 : 37);
      const uint8_t* header = ImageHeaderBytes(run);
      // The image's texts come from a file: made safe alike.
      return Format(text, DriveText(identity + 8, 24).c_str(), DriveText(identity + 32, 5).c_str(),
                    DriveText(date, 8).c_str(), DriveText(header + 0x60, 24).c_str(),
                    DriveText(header + 0x90, 5).c_str(), DriveText(header + 0x130, 8).c_str());
    }
    default:
      // The other texts take no values and hold no conversion.
      return text;
  }
}

}  // namespace

bool JapaneseTexts(const Run& run) {
  return run.driver.oemCodePage == 932;
}

const char* MessageTemplate(MessageCode code, bool japanese) {
  const Texts& texts = japanese ? kJapanese : kEnglish;
  if (static_cast<uint32_t>(code) >= kCatalogSize) return kMissingCodeText;
  const char* text = texts.messages[static_cast<std::size_t>(code)];
  return text != nullptr ? text : kMissingCodeText;
}

const char* ProcedureTemplate(ProcedureText text, bool japanese) {
  return (japanese ? kJapanese : kEnglish).procedure[Index(text)];
}

int32_t ShowMessage(Run& run, MessageCode code, int32_t style) {
  const char* text = MessageTemplate(code, JapaneseTexts(run));
  const std::string filled =
      text == kMissingCodeText ? std::string(text) : FillMessage(run, code, text);
  switch (style) {
    case AskOkCancel:
    case AskYesNo:
      return ShowBox(run, filled, style);
    case ErrorNotice:
    case InfoNotice:
    case WarningNotice:
      PrintText(run, filled);
      return ShowBox(run, filled, style);
    default:
      PrintText(run, filled);
      return 0;
  }
}

}  // namespace oddfw
