// The revision report on any INQUIRY data: a simulated drive answers
// INQUIRY with the input, and ReportRevision reads its revision, date form
// and flags and prints its revision line.
//
// Input: byte 0 chooses the model code (bits 0-2), the phase (bit 3: After),
// the release's parts (bit 4: kernel and normal), whether the drive was
// already marked as running its kernel (bit 5) and whether the vendor
// identity (whose signature the refusal rules read) is there (bit 6); then
// 96 bytes of INQUIRY data and 48 bytes of vendor identity, padded with
// blanks where the input ends.

#include <array>
#include <cstring>
#include <optional>
#include <string>

#include "commands/revision.h"
#include "console/catalog.h"
#include "console/console.h"
#include "fuzz/fuzz_fixture.h"

namespace oddfw::fuzz {
namespace {

constexpr int32_t kModels[] = {0x4004, 0x1003, 0x1004, 0x1005, 7, 0x1041, 0x4001, 0};

bool Digits(const uint8_t* text, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
  }
  return true;
}

// Decimal digits read as hexadecimal: their BCD value.
uint32_t Bcd(const uint8_t* text, std::size_t n) {
  uint32_t value = 0;
  for (std::size_t i = 0; i < n; ++i) value = value * 16 + (text[i] - '0');
  return value;
}

bool Starts(const uint8_t* id, std::size_t at, const char* text) {
  return std::memcmp(id + at, text, std::strlen(text)) == 0;
}

}  // namespace
}  // namespace oddfw::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  using namespace oddfw;
  using namespace oddfw::fuzz;
  const auto [choice, inquiry, vendor] = SplitDriveInput(data, size);

  const int32_t model = kModels[choice & 7];
  const RevisionPhase phase = (choice & 0x08) != 0 ? After : Before;
  const bool kernelAndNormal = (choice & 0x10) != 0;
  const int32_t kernelOnlyBefore = (choice & 0x20) != 0 ? 1 : 0;
  const bool hasVendorIdentity = (choice & 0x40) != 0;

  DriveRun r(inquiry, hasVendorIdentity ? std::optional(vendor) : std::nullopt);
  Run& run = r.run();
  run.definition.active.modelCode = model;
  run.definition.active.updateParts = kernelAndNormal ? KernelAndNormal : NormalOnly;
  run.host.kernelOnlyDrive = kernelOnlyBefore;
  if (hasVendorIdentity) std::memcpy(run.host.vendorIdentity.bytes, vendor.data(), 48);

  const int32_t result = ReportRevision(run, phase);
  const RevisionState& s = run.revision;
  const uint8_t* id = s.driveIdentity;
  const std::string what =
      std::string(phase == Before ? "Before" : "After") + ", model " + std::to_string(model);

  FUZZ_CHECK(result == 0 || result == -1, what);
  FUZZ_CHECK(std::memcmp(id, inquiry.data(), 96) == 0,
             what + ": the identity read is not the drive's");
  // The drive's text never reaches the console unfiltered.
  FUZZ_CHECK(!HasStrayControl(r.console()), what + ": a control character reached the console");
  for (const char c : r.console()) {
    const auto b = static_cast<unsigned char>(c);
    FUZZ_CHECK(b == '\r' || b == '\n' || (b >= 0x20 && b < 0x7F),
               what + ": a byte outside printable ASCII in an English console");
  }
  FUZZ_CHECK(r.boxes().empty(), what + ": the report showed a box");

  // The revision line: its form chosen by vendor and date, its three fields
  // always the drive's texts made safe.
  const char* line = nullptr;
  if (phase == After) {
    line = Starts(id, 16, "DVD-RW") ? "\nNew Revision    >> %.24s %.5s %.8s"
                                    : "\nNew Revision    >> %.24s %.5s %.10s";
  } else if (Starts(id, 8, "Wendrix ")) {
    line = "\nCurrent Revision>> %.24s %.5s %.10s";
  } else if (id[39] == '/' && id[42] == '/') {
    line = "\nCurrent Revision>> %.24s %.5s %.8s";
  } else {
    line = "\nCurrent Revision>> %.24s %.5s %.10s";
  }
  std::string expected = Format(line, DriveText(id + 8, 24).c_str(), DriveText(id + 32, 5).c_str(),
                                DriveText(id + 37, 10).c_str());

  // The revision number, whatever the characters are.
  const auto number =
      static_cast<uint16_t>((id[32] - '0') * 256 + (id[34] - '0') * 16 + (id[35] - '0'));

  if (phase == After) {
    FUZZ_CHECK(s.currentFirmwareDate == 0 && s.g6PatchNeeded == 0 && s.handshakeRequired == 0 &&
                   s.kernelTooOld == 0 && s.utilityTooOld == 0,
               what + ": the After phase set a decision");
    FUZZ_CHECK(result == 0, what + ": the After phase refused");
    FUZZ_CHECK(run.host.kernelOnlyDrive == kernelOnlyBefore, what + ": the After phase marked it");
  } else {
    FUZZ_CHECK(s.currentRevisionNumber == number, what + ": revision number");
    for (const int32_t flag :
         {s.g6PatchNeeded, s.handshakeRequired, s.kernelTooOld, s.utilityTooOld}) {
      FUZZ_CHECK(flag == 0 || flag == 1, what + ": a flag that is not 0 or 1");
    }
    const bool kernel = Starts(id, 32, "0000") && Starts(id, 8, "QUORVEN DVD-RW  KWX-");
    FUZZ_CHECK(run.host.kernelOnlyDrive == (kernel ? 1 : kernelOnlyBefore),
               what + ": kernel mode seen wrongly");
    // Dates in digits give their BCD value, in each form.
    uint32_t date = 0;
    bool known = false;
    if (Starts(id, 8, "Wendrix ")) {
      static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                            "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
      for (int m = 0; m < 12; ++m) {
        if (std::memcmp(id + 37, kMonths[m], 3) == 0 && Digits(id + 40, 6)) {
          known = true;
          date = Bcd(id + 42, 2) << 24 | Bcd(id + 44, 2) << 16 |
                 static_cast<uint32_t>(m < 9 ? m + 1 : 0x10 + m - 9) << 8 | Bcd(id + 40, 2);
        }
      }
    } else if (id[39] == '/' && id[42] == '/') {
      if (Starts(id, 32, "000")) {
        known = true;  // a kernel's date is not read
      } else if (Digits(id + 37, 2) && Digits(id + 40, 2) && Digits(id + 43, 2)) {
        known = true;
        date = 0x20u << 24 | Bcd(id + 37, 2) << 16 | Bcd(id + 40, 2) << 8 | Bcd(id + 43, 2);
      }
    } else if (Digits(id + 37, 4) && id[41] == '/' && Digits(id + 42, 2) && id[44] == '/' &&
               Digits(id + 45, 2)) {
      known = true;
      date = Bcd(id + 37, 4) << 16 | Bcd(id + 42, 2) << 8 | Bcd(id + 45, 2);
    }
    if (known) FUZZ_CHECK(s.currentFirmwareDate == date, what + ": firmware date");

    const bool refused = (s.kernelTooOld != 0 && !kernelAndNormal) || s.utilityTooOld != 0;
    FUZZ_CHECK((result == -1) == refused, what + ": the result does not follow the refusals");
    if (s.kernelTooOld != 0 && !kernelAndNormal) {
      expected += MessageTemplate(56, false);
    } else if (s.utilityTooOld != 0) {
      expected += MessageTemplate(55, false);
    }
  }
  FUZZ_CHECK(r.console() == expected, what + ": console \"" + r.console() + "\"");
  return 0;
}
