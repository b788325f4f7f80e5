#pragma once
// The numbered, bilingual messages the program shows.

#include <cstdint>
#include <string>

#include "console/console.h"

namespace oddfw {

struct Run;

using MessageCode = int32_t;

// Shown for a code outside 0..100 and for a code without text.
inline constexpr const char* kMissingCodeText = "\r\nUnknow Message Code\r\n";

// Texts the update procedures print themselves, in both languages.
enum class ProcedureText {
  TransferDone,       // "\rProcessing 100%% --> Data transfer complete..."
  TransferDoneShort,  // "\rProcessing 100%% --> Complete"
  Reflashing,         // "\rFW Reflashing %ld%%"
  ReflashDone,        // "\rFW Reflashing 100%%"
};

// Shows message `code` in the run's language, filled from the run's state,
// as `style` says. Returns the box result for the box styles, else 0.
int32_t ShowMessage(Run& run, MessageCode code, int32_t style);

// The unformatted text of a message in English (japanese false) or in code
// page 932; kMissingCodeText for a code without text.
const char* MessageTemplate(MessageCode code, bool japanese);

// The unformatted procedure text in English or in code page 932.
const char* ProcedureTemplate(ProcedureText text, bool japanese);

// True when the run shows Japanese texts (OEM code page 932).
bool JapaneseTexts(const Run& run);

}  // namespace oddfw
