// The simulated drive of the oldest family on its own: drive memory, update
// mode, image pieces, the final piece's host tag and the re-flash.

#include "sim/drive/old_family.h"

#include <gtest/gtest.h>

#include <memory>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>
#include <vector>

#include "procedures/family0000.h"
#include "sim/drive/families.h"
#include "sim/scenario.h"

namespace oddfw::sim::drive {
namespace {

Command Buffer(uint8_t opcode, uint8_t bufferId, uint32_t offset, uint32_t length,
               std::vector<uint8_t> data = {}, uint64_t timeUs = 0) {
  Command c;
  c.cdb = {opcode,
           1,
           bufferId,
           static_cast<uint8_t>(offset >> 16),
           static_cast<uint8_t>(offset >> 8),
           static_cast<uint8_t>(offset),
           0,
           static_cast<uint8_t>(length >> 8),
           static_cast<uint8_t>(length),
           0};
  c.direction = opcode == kOpReadBuffer ? Direction::kIn
                : length != 0           ? Direction::kOut
                                        : Direction::kNone;
  c.transferLength = length;
  c.dataOut = std::move(data);
  c.timeUs = timeUs;
  return c;
}

Command UpdateMode(uint64_t timeUs = 0) {
  return Buffer(kOpWriteBuffer, 0x30, 0, 0, {}, timeUs);
}
Command Data(uint32_t offset, std::vector<uint8_t> bytes) {
  const auto n = static_cast<uint32_t>(bytes.size());
  return Buffer(kOpWriteBuffer, 0xFF, offset, n, std::move(bytes));
}
Command Reflash(uint64_t timeUs = 0) {
  return Buffer(kOpWriteBuffer, 0x42, 0, 0, {}, timeUs);
}
Command ReadMemory(uint32_t offset, uint32_t length, uint64_t timeUs = 0) {
  return Buffer(kOpReadBuffer, 0x80, offset, length, {}, timeUs);
}

// The final piece of an image ending at `end`: its last 4 KiB of `fill`, the
// tag and 12 more bytes.
Command FinalPiece(uint32_t end, uint8_t fill, const std::string& tag,
                   std::vector<uint8_t> behind = std::vector<uint8_t>(12, 0)) {
  std::vector<uint8_t> piece(0x1000, fill);
  piece.insert(piece.end(), tag.begin(), tag.end());
  piece.insert(piece.end(), behind.begin(), behind.end());
  return Data(end - 0x1000, piece);
}

struct OldDrive {
  explicit OldDrive(OldFamilyOptions options = {}) : drive(Profile()) {
    drive.SetFamily(std::make_unique<OldFamily>(std::move(options)));
  }
  static DriveProfile Profile() {
    DriveProfile p;
    p.vendor = "QUORVEN";
    p.product = "DVD-ROM RQV-570";
    p.revision = "1.05";
    return p;
  }
  OldFamily& family() { return *dynamic_cast<OldFamily*>(drive.family()); }
  std::string Sense(const Command& c) {
    const Reply r = drive.Execute(c);
    if (r.status == kStatusGood) return "good";
    return HexBytes(&r.sense[2], 1) + "/" + HexBytes(&r.sense[12], 2);
  }
  Drive drive;
};

TEST(OldFamilyDrive, RefusesWhatIsOutOfOrder) {
  OldFamilyOptions tagged;
  tagged.hostTag = "WIN ";
  OldFamilyOptions patched;
  patched.patchBytes = std::vector<uint8_t>(12, 0x5A);
  struct Case {
    const char* what;
    OldFamilyOptions options;
    std::vector<Command> before;
    Command command;
    std::string sense;
  };
  const Case cases[] = {
      {"data outside update mode", {}, {}, Data(0, {1, 2}), "05/2C 00"},
      {"re-flash outside update mode", {}, {}, Reflash(), "05/2C 00"},
      {"re-flash without a piece", {}, {UpdateMode()}, Reflash(), "05/2C 00"},
      {"re-flash after a 32 KiB piece",
       {},
       {UpdateMode(), Data(0, std::vector<uint8_t>(0x8000))},
       Reflash(),
       "05/2C 00"},
      {"data past the memory", {}, {UpdateMode()}, Data(0x3FFFF, {1, 2}), "05/21 00"},
      {"memory read past its end", {}, {}, ReadMemory(0x3FFC0, 0x41), "05/21 00"},
      {"no host tag",
       {},
       {UpdateMode(), FinalPiece(0x2000, 1, std::string(4, '\0'))},
       Reflash(),
       "05/26 00"},
      {"a tag this drive does not take",
       tagged,
       {UpdateMode(), FinalPiece(0x2000, 1, "WIN2")},
       Reflash(),
       "05/26 00"},
      {"the patch bytes missing",
       patched,
       {UpdateMode(), FinalPiece(0x2000, 1, "WIN ")},
       Reflash(),
       "05/26 00"},
      {"other buffers are the core's", {}, {}, Buffer(kOpWriteBuffer, 0x31, 0, 0), "05/24 00"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    OldDrive d(c.options);
    for (const Command& before : c.before) ASSERT_EQ(d.Sense(before), "good");
    EXPECT_EQ(d.Sense(c.command), c.sense);
    EXPECT_EQ(d.family().reflashes(), 0);
  }
}

TEST(OldFamilyDrive, ReflashWritesTheImageAndKeepsTheDrivesOwnBytes) {
  OldFamilyOptions options;
  options.memory = std::vector<uint8_t>(0x40000, 0x11);
  options.reflashUs = 7'000'000;
  options.newRevision = "1.10";
  options.patchBytes = std::vector<uint8_t>(12, 0x5A);
  OldDrive d(options);
  ASSERT_EQ(d.Sense(UpdateMode()), "good");
  ASSERT_EQ(d.Sense(Data(0, std::vector<uint8_t>(0x1000, 0x22))), "good");
  // 0x1000..0x1FFF never sent.
  ASSERT_EQ(d.Sense(FinalPiece(0x3000, 0x33, "WIN ", std::vector<uint8_t>(12, 0x5A))), "good");
  EXPECT_EQ(d.family().pieces().size(), 2u);

  const Reply reflash = d.drive.Execute(Reflash(1'000'000));
  EXPECT_EQ(reflash.status, kStatusGood);
  EXPECT_EQ(reflash.durationUs, 7'000'000u);  // the command ends with the re-flash
  EXPECT_EQ(d.family().hostTag(), "WIN ");
  EXPECT_EQ(d.family().bytesBehindTag(), std::vector<uint8_t>(12, 0x5A));
  EXPECT_FALSE(d.family().updateMode());

  // Anything sent while the drive re-flashes is turned away.
  EXPECT_EQ(d.Sense(ReadMemory(0, 0x10, 7'999'999)), "02/04 07");
  EXPECT_EQ(d.family().commandsWhileReflashing(), 1);

  const std::vector<uint8_t>& m = d.family().memory();
  EXPECT_EQ(m[0x3FF], 0x22);
  EXPECT_EQ(m[0x400], 0x11);  // the drive's own bytes 0x400..0x44F
  EXPECT_EQ(m[0x44F], 0x11);
  EXPECT_EQ(m[0x450], 0x22);
  EXPECT_EQ(m[0x1000], 0xFF);  // erased, never written
  EXPECT_EQ(m[0x2FFF], 0x33);
  EXPECT_EQ(m[0x3000], 0x11);  // the tag and what follows are not flashed

  const Reply read = d.drive.Execute(ReadMemory(0x2FF0, 0x20, 8'000'000));
  ASSERT_EQ(read.status, kStatusGood);
  EXPECT_EQ(read.data[0x0F], 0x33);
  EXPECT_EQ(read.data[0x10], 0x11);
  Command inquiryCommand;
  inquiryCommand.cdb = {0x12, 0, 0, 0, 0x60, 0};
  inquiryCommand.timeUs = 8'000'000;
  const Reply inquiry = d.drive.Execute(inquiryCommand);
  ASSERT_EQ(inquiry.data.size(), 96u);
  EXPECT_EQ(std::string(inquiry.data.begin() + 32, inquiry.data.begin() + 37), "1.10 ");
  EXPECT_EQ(d.family().reflashes(), 1);
}

// The scenario's options of this family.
TEST(OldFamilyDrive, ScenarioOptions) {
  Drive drive(OldDrive::Profile());
  const auto options = nlohmann::ordered_json::parse(R"({
    "memory": { "seed": 7, "size": "0x30000",
                "placements": [ { "offset": "0x1F000", "pattern": "identityA" },
                                { "offset": "0x1F010", "pattern": "cpuType" } ] },
    "reflashMs": 12000, "newRevision": "1.08", "hostTag": "WIN ",
    "patchBytes": { "hex": "00 01 02 03 04 05 06 07 08 09 0A 0B" } })");
  auto family = MakeOldFamily(options, drive);
  auto* old = dynamic_cast<OldFamily*>(family.get());
  ASSERT_NE(old, nullptr);
  ASSERT_EQ(old->memory().size(), 0x30000u);
  EXPECT_TRUE(std::equal(old->memory().begin() + 0x1F000, old->memory().begin() + 0x1F010,
                         kIdentityPatternA));
  EXPECT_TRUE(std::equal(old->memory().begin() + 0x1F010, old->memory().begin() + 0x1F020,
                         kCpuTypePattern));

  const char* const bad[] = {
      R"({"hostTag": "WIN"})",
      R"({"patchBytes": {"hex": "00 01"}})",
      R"({"memory": {"placements": [{"offset": 0, "pattern": "identityD"}]}})",
      R"({"reflash": 1})",
  };
  for (const char* text : bad) {
    EXPECT_THROW(MakeOldFamily(nlohmann::ordered_json::parse(text), drive), std::invalid_argument)
        << text;
  }
  // The scenario names the family "old".
  bool known = false;
  for (const FamilyKind& k : FamilyKinds()) known = known || std::string(k.name) == "old";
  EXPECT_TRUE(known);
}

}  // namespace
}  // namespace oddfw::sim::drive
