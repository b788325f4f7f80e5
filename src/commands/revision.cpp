#include "commands/revision.h"

#include <cstring>

#include "app/run.h"
#include "commands/command_set.h"
#include "console/catalog.h"

namespace oddfw {
namespace {

// Offsets into the INQUIRY data.
inline constexpr std::size_t kVendor = 8;     // vendor, 8 characters
inline constexpr std::size_t kProduct = 16;   // product, 16 characters
inline constexpr std::size_t kRevision = 32;  // revision, 4 characters and one more
inline constexpr std::size_t kDate = 37;      // firmware date text

bool Starts(const uint8_t* identity, std::size_t offset, const char* text) {
  return std::memcmp(identity + offset, text, std::strlen(text)) == 0;
}

// Up to `count` hexadecimal digits as a number; reading stops at the first
// other character. Dates are written in decimal, so each field read this way
// is its BCD value (day 18 becomes 0x18).
uint32_t HexField(const uint8_t* text, int count) {
  uint32_t value = 0;
  for (int i = 0; i < count; ++i) {
    const uint8_t c = text[i];
    uint32_t digit = 0;
    if (c >= '0' && c <= '9') {
      digit = c - '0';
    } else if (c >= 'a' && c <= 'f') {
      digit = c - 'a' + 10;
    } else if (c >= 'A' && c <= 'F') {
      digit = c - 'A' + 10;
    } else {
      break;
    }
    value = value * 16 + digit;
  }
  return value;
}

// The BCD month of an English month abbreviation, 0 for none.
uint32_t MonthOf(const uint8_t* text) {
  static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  for (int m = 0; m < 12; ++m) {
    if (std::memcmp(text, kMonths[m], 3) == 0) return m < 9 ? m + 1 : 0x10 + (m - 9);
  }
  return 0;
}

struct RevisionRow {
  const char* model;  // leading characters of vendor and product
  uint16_t low;       // the revision number lies in [low, high]
  uint16_t high;
};

bool Matches(const uint8_t* identity, uint16_t revision, const RevisionRow& row) {
  return Starts(identity, kVendor, row.model) && revision >= row.low && revision <= row.high;
}

// Drives whose kernel is too old for a release without a kernel part.
constexpr RevisionRow kKernelTooOld[] = {
    {"QUORVEN DVD-RW  KWX-720", 0, 0x128},
    {"QUORVEN DVD-RW  KWX-740", 0, 0x10F},
    {"DALO    QF-R61G         ", 0, 0x10F},
    {"FENK    DVD-RW ZKN-0513T", 0, 0x10F},
};

// Drives that want the challenge before kernel mode.
constexpr RevisionRow kHandshake[] = {
    {"QUORVEN DVD-RW  KWX-720", 0x180, 0xFFFF},
    {"QUORVEN DVD-RW  KWX-730", 0x130, 0xFFFF},
    {"QUORVEN DVD-RW  KWX-740", 0x122, 0xFFFF},
};

bool UtilityTooOld(const Run& run, const uint8_t* identity, uint16_t revision) {
  if (Starts(identity, kVendor, "QUORVEN DVD-RW  KWX-720")) return revision > 0x200;
  if (Starts(identity, kVendor, "QUORVEN DVD-RW  KWX-730")) {
    if (revision > 0x141 && revision < 0x400) return true;
    // Above 4.20 only drives signed for one OEM are refused.
    return revision > 0x420 && std::memcmp(run.host.vendorIdentity.signature(), "HALV", 4) == 0;
  }
  if (Starts(identity, kVendor, "QUORVEN DVD-RW  KWX-740")) return revision > 0x133;
  return false;
}

// Reads the date, chooses the current-revision line and sets the flags.
const char* AssessBefore(Run& run) {
  RevisionState& s = run.revision;
  const uint8_t* id = s.driveIdentity;
  const char* line = nullptr;

  if (Starts(id, kVendor, "Wendrix ")) {
    // Month name, day, century, year: "Feb18 2009" style.
    s.currentFirmwareDate = MonthOf(id + kDate) << 8 | HexField(id + 42, 2) << 24 |
                            HexField(id + 44, 2) << 16 | HexField(id + 40, 2);
    line = "\nCurrent Revision>> %.24s %.5s %.10s";
  } else if (id[39] == '/' && id[42] == '/') {
    // yy/mm/dd; a drive running its kernel ("000...") has no date.
    line = "\nCurrent Revision>> %.24s %.5s %.8s";
    if (!Starts(id, kRevision, "000")) {
      s.currentFirmwareDate = 0x20u << 24 | HexField(id + 37, 2) << 16 | HexField(id + 40, 2) << 8 |
                              HexField(id + 43, 2);
    }
  } else {
    // yyyy/mm/dd
    line = "\nCurrent Revision>> %.24s %.5s %.10s";
    s.currentFirmwareDate =
        HexField(id + 37, 4) << 16 | HexField(id + 42, 2) << 8 | HexField(id + 45, 2);
  }

  if (Starts(id, kRevision, "1.06") && Starts(id, kVendor, "QUORVEN DVD-ROM RQV-590 ")) {
    s.g6PatchNeeded = 1;
  }
  if (Starts(id, kRevision, "0000") && Starts(id, kVendor, "QUORVEN DVD-RW  KWX-")) {
    run.host.kernelOnlyDrive = 1;
  }
  s.currentRevisionNumber = static_cast<uint16_t>(
      (id[kRevision] - '0') * 256 + (id[kRevision + 2] - '0') * 16 + (id[kRevision + 3] - '0'));
  const uint16_t revision = s.currentRevisionNumber;
  if (id[kRevision + 1] == '.') {
    for (const RevisionRow& row : kKernelTooOld) {
      if (Matches(id, revision, row)) s.kernelTooOld = 1;
    }
  }
  for (const RevisionRow& row : kHandshake) {
    if (Matches(id, revision, row)) s.handshakeRequired = 1;
  }
  s.utilityTooOld = UtilityTooOld(run, id, revision) ? 1 : 0;
  return line;
}

}  // namespace

int32_t ReportRevision(Run& run, RevisionPhase phase) {
  RevisionState& s = run.revision;
  s.currentFirmwareDate = 0;
  s.g6PatchNeeded = 0;
  s.handshakeRequired = 0;
  s.utilityTooOld = 0;
  s.kernelTooOld = 0;

  const int32_t model = run.definition.active.modelCode;
  const int32_t target = run.driver.currentTarget;
  int32_t result = Inquiry(run, target, s.driveIdentity);
  if (model == 0x1003 && phase == After) {
    // This model answers for its old firmware at first.
    DelayMs(run, 3000);
    result = Inquiry(run, target, s.driveIdentity);
  }
  if (result != 0 && phase == After && run.host.aspiMode &&
      (run.host.intelIdeDriver != 0 || model == 0x1003)) {
    // Some hosts take a while to see the drive again after its re-flash.
    for (int attempt = 0; attempt < 6 && result != 0; ++attempt) {
      DelayMs(run, 3000);
      result = Inquiry(run, target, s.driveIdentity);
    }
  }
  if (result != 0) {
    ShowMessage(run, 9, ConsoleOnly);
    return result;
  }

  const uint8_t* id = s.driveIdentity;
  const char* line = nullptr;
  if (phase == Before) {
    line = AssessBefore(run);
  } else if (phase == After) {
    line = Starts(id, kProduct, "DVD-RW") ? "\nNew Revision    >> %.24s %.5s %.8s"
                                          : "\nNew Revision    >> %.24s %.5s %.10s";
  } else {
    return 0;
  }
  PrintFormat(run, line, DriveText(id + kVendor, 24).c_str(), DriveText(id + kRevision, 5).c_str(),
              DriveText(id + kDate, 10).c_str());

  if (s.kernelTooOld != 0 && run.definition.active.updateParts != KernelAndNormal) {
    ShowMessage(run, 56, ConsoleOnly);
    return -1;
  }
  if (s.utilityTooOld != 0) {
    ShowMessage(run, 55, ConsoleOnly);
    return -1;
  }
  return 0;
}

}  // namespace oddfw
