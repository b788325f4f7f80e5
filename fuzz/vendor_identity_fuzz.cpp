// The drive's identity against the release: MatchUpdateDefinition (the
// filter of discovery and of the entry selection) on any INQUIRY data and
// vendor identity, then CheckCompatibility, which reads the vendor identity
// from a simulated drive, compares it with an image header and derives the
// OEM class.
//
// Input: byte 0 chooses the release table (bits 0-1), whether every drive is
// updated without a question (bit 2), whether the drive answers READ BUFFER
// buffer 0xF1 at all (bit 3), whether the image header carries the drive's
// own hardware revision, signature and normal-part name (bit 4, so the
// later checks are reached) and whether the drive already runs a newer
// firmware (bit 5); then 96 bytes of INQUIRY data and 48 bytes of vendor
// identity, padded with blanks where the input ends.

#include <array>
#include <cstring>
#include <optional>
#include <string>

#include "app/definition.h"
#include "console/catalog.h"
#include "discovery/discovery.h"
#include "fuzz/fuzz_fixture.h"
#include "image/checks.h"
#include "image/firmware_image.h"

namespace oddfw::fuzz {
namespace {

struct EntrySpec {
  const char* vendorId;
  const char* productId;
  const char* oemCode;
  int32_t modelCode;
};

// The release tables: the built-in one, a DVD writer's, one whose model code
// takes the identity rule alone, and two entries of two families.
const std::vector<EntrySpec> kTables[] = {
    {{"QUORVEN ", "BD-RW   MHT-860 ", "GENERAL ", 0x4004}},
    {{"QUORVEN ", "DVD-RW  KWX-730 ", "GENERAL ", 0x1004}},
    {{"QUORVEN ", "DVD-ROM RQV-590 ", "GENERAL ", 0x1100}},
    {{"QUORVEN ", "DVD-RW  KWX-740 ", "HALV    ", 0x1041},
     {"QUORVEN ", "BD-RW   MHT-860 ", "GENERAL ", 0x4004}},
};

void SetTable(Run& run, const std::vector<EntrySpec>& table) {
  UpdateDefinition& d = run.definition.definition;
  const DefinitionEntry first = d.entries[0];
  for (DefinitionEntry& e : d.entries) e = DefinitionEntry{};
  for (std::size_t i = 0; i < table.size(); ++i) {
    DefinitionEntry& e = d.entries[i];
    e = first;
    std::memcpy(e.vendorId, table[i].vendorId, 8);
    std::memcpy(e.productId, table[i].productId, 16);
    std::memcpy(e.oemCode, table[i].oemCode, 8);
    e.modelCode = table[i].modelCode;
  }
  d.entryCount = static_cast<int32_t>(table.size());
}

// The filter as the release's rules give it.
int32_t ExpectedMatch(const Run& run, const uint8_t* inquiry, const uint8_t* store,
                      bool* kernelOnly) {
  const UpdateDefinition& d = run.definition.definition;
  for (int32_t i = 0; i < d.entryCount; ++i) {
    const DefinitionEntry& e = d.entries[i];
    const bool identity = (std::memcmp(inquiry + 8, e.vendorId, 8) == 0 &&
                           std::memcmp(inquiry + 16, e.productId, 16) == 0) ||
                          std::memcmp(inquiry + 8, "QUORVEN BD-RW   MHT-860 ", 24) == 0 ||
                          std::memcmp(inquiry + 8, "QUORVEN BD-ROM  MHL-860 ", 24) == 0;
    if (!identity) continue;
    const int32_t family = e.modelCode & 0xFF00;
    if (family != 0x1000 && family != 0x4000) return i;
    if (std::memcmp(store + 32, e.oemCode, 8) == 0 && std::memcmp(store + 16, "SAT ", 4) == 0) {
      return i;
    }
    if (std::memcmp(store + 32, "        ", 8) == 0 && std::memcmp(store + 24, e.oemCode, 8) == 0) {
      *kernelOnly = true;
      return i;
    }
  }
  return -1;
}

int32_t ExpectedOemClass(const uint8_t* store) {
  static const std::pair<const char*, int32_t> kClasses[] = {
      {"HALV    ", 0x101}, {"ZEBRO   ", 0x102}, {"DRESKO  ", 0x103}, {"RAVMO   ", 0x104},
      {"RAVKEL  ", 0x108}, {"HALVQT  ", 0x111}, {"MUNTA   ", 0x115}, {"VOL     ", 0x121}};
  if (std::memcmp(store + 24, "GENERAL ", 8) == 0) {
    return std::memcmp(store + 16, "SCSI", 4) == 0 ? 0x300 : 0x100;
  }
  for (const auto& [signature, oemClass] : kClasses) {
    if (std::memcmp(store + 24, signature, 8) == 0) return oemClass;
  }
  return -1;
}

}  // namespace
}  // namespace oddfw::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  using namespace oddfw;
  using namespace oddfw::fuzz;
  const auto [choice, inquiry, vendor] = SplitDriveInput(data, size);
  const bool answers = (choice & 0x08) != 0;

  DriveRun r(inquiry, answers ? std::optional(vendor) : std::nullopt);
  Run& run = r.run();
  SetTable(run, kTables[choice & 3]);
  run.driver.updateAllDrives = (choice & 0x04) != 0;

  // The filter, as discovery runs it: the store holds what the drive sent.
  std::memset(run.host.vendorIdentity.bytes, 0, sizeof run.host.vendorIdentity.bytes);
  std::memcpy(run.host.vendorIdentity.bytes, vendor.data(), vendor.size());
  bool kernelOnly = false;
  const int32_t expected = ExpectedMatch(run, inquiry.data(), vendor.data(), &kernelOnly);
  run.host.kernelOnlyDrive = 0;
  const int32_t index = MatchUpdateDefinition(run, inquiry.data());
  FUZZ_CHECK(index == expected, "MatchUpdateDefinition picked entry " + std::to_string(index) +
                                    ", the rules pick " + std::to_string(expected));
  FUZZ_CHECK(run.host.kernelOnlyDrive == (kernelOnly ? 1 : 0), "kernelOnlyDrive after the filter");
  const int32_t entry = index >= 0 ? index : 0;
  ActivateEntry(run, entry);

  // The image: a header with the drive's own texts or the release's.
  uint8_t* header = r.imageBytes();
  std::memset(header, 0, 0x200);
  const bool own = (choice & 0x10) != 0;
  std::memcpy(header + image_header::kHardwareRevision,
              own ? vendor.data() + 16 : reinterpret_cast<const uint8_t*>("SAT 0001"), 8);
  std::memcpy(header + image_header::kSignature,
              own ? vendor.data() + 24 : reinterpret_cast<const uint8_t*>("GENERAL "), 8);
  std::memcpy(header + image_header::kNormalModelName,
              own ? vendor.data() + 32 : reinterpret_cast<const uint8_t*>("GENERAL "), 8);
  header[image_header::kPartKind] = 'N';
  run.image.firmware.length = 0x200;
  run.image.firmware.imageReleaseDate = 0x20090218;
  run.definition.definition.releaseRevision = 0x110;
  run.revision.currentRevisionNumber = (choice & 0x20) != 0 ? 0x120 : 0x105;
  run.revision.currentFirmwareDate = (choice & 0x20) != 0 ? 0x20100101 : 0x20090120;
  std::memcpy(run.revision.driveIdentity, inquiry.data(), 96);
  constexpr int32_t kUnset = 0x7777;
  run.host.oemClass = kUnset;

  const int32_t result = CheckCompatibility(run);
  const uint8_t* store = run.host.vendorIdentity.bytes;
  FUZZ_CHECK(result == 0 || result == 1 || result == -1 || (!answers && result != 0),
             "CheckCompatibility result " + std::to_string(result));
  if (answers) {
    FUZZ_CHECK(std::memcmp(store, vendor.data(), 48) == 0,
               "the store does not hold what the drive sent");
    const bool absent = vendor[32] == ' ';
    FUZZ_CHECK(run.checks.normalPartAbsent == (absent ? 1 : 0), "normalPartAbsent");
    FUZZ_CHECK(run.host.kernelOnlyDrive == (absent ? 1 : 0), "kernelOnlyDrive after the probe");
  }
  if (result == 0) {
    FUZZ_CHECK(
        run.host.oemClass == (run.checks.normalPartAbsent == 1 ? kUnset : ExpectedOemClass(store)),
        "oemClass " + std::to_string(run.host.oemClass));
  } else {
    FUZZ_CHECK(run.host.oemClass == kUnset, "a refused drive changed oemClass");
  }
  if (result == 1) {
    FUZZ_CHECK(r.console().find(MessageTemplate(54, false)) != std::string::npos, "no message 54");
  }
  FUZZ_CHECK(!HasStrayControl(r.console()), "a control character reached the console");
  for (const sim::BoxRecord& box : r.boxes()) {
    FUZZ_CHECK(!HasStrayControl(box.text), "a control character reached a box");
  }
  return 0;
}
