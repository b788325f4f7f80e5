// The oldest drive family end to end: a release of model family 0x0000, its
// HEX image in the working directory, a simulated drive of that family, and
// the whole program run over them through pass-through and through ASPI.

#include "procedures/family0000.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/driver.h"
#include "app/run.h"
#include "console/catalog.h"
#include "image/hex_loader.h"
#include "image_fixture.h"
#include "sim/drive/faults.h"
#include "sim/drive/old_family.h"
#include "sim/hex_writer.h"
#include "sim/image_builder.h"
#include "sim/scenario.h"
#include "sim/sim_platform.h"

namespace oddfw {
namespace {

using sim::drive::Command;
using sim::drive::Drive;
using sim::drive::DriveProfile;
using sim::drive::FaultAction;
using sim::drive::FaultRule;
using sim::drive::OldFamily;
using sim::drive::OldFamilyOptions;

const std::string kBanner = "\n/// ODD Firmware Update Utility Ver2.59B\n";
const std::string kStart = "\r\nStart updating the device No.1.";
const std::string kLoaded = "\r\nF/W file load success.";
const std::string kPatched = "\r\nG6 Patch load success.";
const std::string kStart2 = "\r\nStart updating the device No.2.";
constexpr const char* kHexName = "RQV570.HEX";
constexpr uint32_t kOldSeed = 7;  // the firmware the drive runs
constexpr uint32_t kNewSeed = 8;  // the release's

std::string Msg(int code) {
  return MessageTemplate(code, false);
}

// The bytes the drive keeps for itself at 0x400..0x44F.
std::string OwnBytes() {
  std::string own = "SERIAL 4711-0815 CALIBRATION ";
  own.resize(sim::drive::kOwnBytesEnd - sim::drive::kOwnBytesStart, '\xA5');
  return own;
}

// The release of a test: one definition entry of the oldest family.
struct Release {
  int32_t modelCode = 7;
  std::string version = "1.10";  // firmwareVersionText
  uint32_t imageSize = 0x20000;
  std::string modelName = "QUORVEN RQV-570 ";  // 16 characters
  std::string cpuType = "HITACHI H8_3062A";
  std::string product = "DVD-ROM RQV-570";
  uint16_t releaseRevision = 0x110;
};

std::string Bytes(const uint8_t (&pattern)[16]) {
  return std::string(reinterpret_cast<const char*>(pattern), 16);
}

// Where a model keeps its identity and CPU type, in drive memory and image
// alike, and what they read.
std::vector<sim::Placement> IdentityPlacements(const Release& r) {
  switch (r.modelCode) {
    case 9:
      return {{0x1F000, Bytes(kIdentityPatternA)}, {0x1F010, Bytes(kCpuTypePattern)}};
    case 11:
      return {{0x1F000, Bytes(kIdentityPatternB)}, {0x1F010, Bytes(kCpuTypePattern)}};
    case 8:
      return {{0x1010, r.modelName}, {0x1020, r.cpuType}};
    case 10:
      return {{0x1C010, r.modelName}, {0x1C020, r.cpuType}};
    default:
      return {{0x1000, r.modelName}, {0x1010, r.cpuType}};
  }
}

std::vector<uint8_t> Firmware(const Release& r, uint32_t seed, uint32_t size) {
  sim::ImageSpec spec;
  spec.header = false;
  spec.seed = seed;
  spec.size = size;
  spec.placements = IdentityPlacements(r);
  return sim::BuildImage(spec);
}

// Drive memory holding `firmware` and the drive's own bytes.
std::vector<uint8_t> Memory(std::vector<uint8_t> firmware) {
  firmware.resize(0x40000, 0xFF);
  const std::string own = OwnBytes();
  std::copy(own.begin(), own.end(), firmware.begin() + sim::drive::kOwnBytesStart);
  return firmware;
}

enum class HostKind { kPassThrough, kAspi };

// Everything a run is made of; tests change what they need before the run.
struct OldSetup {
  Release release;
  HostKind host = HostKind::kPassThrough;
  std::vector<std::string> adapters = {"SCSI HOST"};  // ASPI: host adapter names
  int adapter = 0;                                    // ASPI: the drive's adapter
  bool ultraAta = false;                              // the Intel Ultra ATA driver is installed
  DriveProfile profile;
  OldFamilyOptions family;
  std::vector<FaultRule> faults;
  std::optional<std::vector<uint8_t>> image;  // the HEX file's bytes; default: the release's
  // The drive memory before the update; default: the old firmware.
  std::optional<std::vector<uint8_t>> memory;
  std::optional<std::string> patchText;  // G6PATCH.HEX
  bool secondDrive = false;              // a second drive alike, so no per-drive notices
  std::vector<std::vector<uint8_t>> perDriveMemory;  // the two drives' memories, when they differ
  std::vector<FaultRule> secondDriveFaults;          // faults of the second drive alone

  explicit OldSetup(HostKind kind = HostKind::kPassThrough) : host(kind) {
    profile.vendor = "QUORVEN";
    profile.product = release.product;
    profile.revision = "1.05";
    profile.date = "2001/05/10";
    profile.vendorIdentity.reset();  // these drives have no vendor identity buffer
    family.newRevision = "1.10";
  }
  std::vector<uint8_t> ReleaseImage() const {
    return image ? *image : Firmware(release, kNewSeed, release.imageSize);
  }
};

UpdateDefinition DefinitionOf(const Release& r) {
  UpdateDefinition d = BuiltInDefinition();
  DefinitionEntry& e = d.entries[0];
  std::memset(e.fileName, 0, sizeof e.fileName);
  std::strcpy(e.fileName, kHexName);
  std::memcpy(e.vendorId, "QUORVEN ", 8);
  std::memset(e.productId, ' ', 16);
  std::memcpy(e.productId, r.product.data(), std::min<std::size_t>(r.product.size(), 16));
  e.modelCode = r.modelCode;
  e.imageSize = r.imageSize;
  std::memset(e.driveModelName, 0, sizeof e.driveModelName);
  std::memcpy(e.driveModelName, r.modelName.data(), r.modelName.size());
  std::memcpy(e.firmwareVersionText, r.version.data(), 4);
  std::memset(e.cpuType, 0, sizeof e.cpuType);
  std::memcpy(e.cpuType, r.cpuType.data(), std::min<std::size_t>(r.cpuType.size(), 16));
  d.releaseRevision = r.releaseRevision;
  return d;
}

// One run of the program over the setup.
struct OldRun {
  explicit OldRun(OldSetup setup) : s(std::move(setup)), dir(testing::FreshTestDir()) {
    s.family.memory = s.memory ? *s.memory : Memory(Firmware(s.release, kOldSeed, 0x20000));
    const std::string hex = sim::ToHexRecords(s.ReleaseImage());
    sim::WriteBinaryFile(dir / kHexName, std::vector<uint8_t>(hex.begin(), hex.end()));
    if (s.patchText) {
      sim::WriteBinaryFile(dir / kPatchFileName,
                           std::vector<uint8_t>(s.patchText->begin(), s.patchText->end()));
    }

    sim::SimOptions o;
    o.workdir = dir;
    if (s.host == HostKind::kAspi) {
      o.osVersion = sim::WindowsVersion("98");
      o.InstallAspi(s.adapters);
    }
    if (s.ultraAta) o.registry.AddKey(platform::RegistryRoot::LocalMachine, kUltraAtaKey);
    for (int i = 0; i < (s.secondDrive ? 2 : 1); ++i) {
      auto drive = std::make_shared<Drive>(s.profile);
      OldFamilyOptions family = s.family;
      if (!s.perDriveMemory.empty()) family.memory = s.perDriveMemory.at(i);
      drive->SetFamily(std::make_unique<OldFamily>(family));
      std::shared_ptr<sim::drive::ScsiDevice> device = drive;
      const std::vector<FaultRule>& faults = i == 0 ? s.faults : s.secondDriveFaults;
      if (!faults.empty()) device = std::make_shared<sim::drive::FaultInjector>(drive, faults);
      if (s.host == HostKind::kAspi) {
        o.AttachAtAdapter(s.adapter, i, device);
      } else {
        o.AttachAtLetter(static_cast<char>('E' + i), device);
      }
      drives.push_back(drive);
    }
    host = std::make_unique<sim::SimPlatform>(o);
    host->SetConsoleSink([this](std::string_view bytes) {
      prints.push_back({host->clock().NowUs(), std::string(bytes)});
    });
    run = std::make_unique<Run>(host->platform());
    DriverHooks hooks = DriverHooks::Program();
    hooks.fillDefinition = sim::DefinitionFiller(DefinitionOf(s.release));
    exitCode = RunDriver(*run, hooks);
  }
  ~OldRun() {
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
  }

  static constexpr const char* kUltraAtaKey = "SOFTWARE\\INTEL\\Intel Ultra ATA Storage Driver";

  const std::string& console() const { return host->consoleBytes(); }
  OldFamily& family(std::size_t i = 0) const {
    return *dynamic_cast<OldFamily*>(drives.at(i)->family());
  }
  // The commands the first drive got, one line each.
  std::vector<std::string> DriveCommands() const {
    std::vector<std::string> out;
    for (const Command& c : drives.at(0)->history()) out.push_back(Describe(c));
    return out;
  }
  static std::string Describe(const Command& c) {
    switch (c.opcode()) {
      case 0x12:
        return "INQUIRY";
      case 0x1B:
        return "START STOP UNIT";
      case 0x3B:
      case 0x3C:
        return Format("%s %u/%02X @%05X +%04X", c.opcode() == 0x3B ? "WB" : "RB", c.bufferMode(),
                      c.bufferId(), c.bufferOffset(), c.bufferLength());
      default:
        return Format("opcode %02X", c.opcode());
    }
  }
  // The time the re-flash command was sent, and the "Remaining time" lines
  // with the time each was printed.
  uint64_t ReflashSentUs() const {
    for (const sim::ScsiRecord& r : host->commands()) {
      if (r.cdb.size() > 2 && r.cdb[0] == 0x3B && r.cdb[2] == 0x42) return r.timeUs;
    }
    return 0;
  }
  std::vector<std::pair<uint64_t, std::string>> CountDown() const {
    std::vector<std::pair<uint64_t, std::string>> out;
    for (const auto& [t, text] : prints) {
      if (text.rfind("\rRemaining time is ", 0) == 0) out.push_back({t, text});
    }
    return out;
  }

  OldSetup s;
  std::filesystem::path dir;
  std::vector<std::shared_ptr<Drive>> drives;
  std::unique_ptr<sim::SimPlatform> host;
  std::unique_ptr<Run> run;
  std::vector<std::pair<uint64_t, std::string>> prints;
  int exitCode = -100;
};

std::string CountDownText(int from) {
  std::string out;
  for (int n = from; n >= 0; --n) out += Format("\rRemaining time is %02dsec", n);
  return out;
}

std::string RevisionLine(const char* which, const std::string& revision) {
  return std::string(which) + "QUORVEN DVD-ROM RQV-570  " + revision + " 2001/05/10";
}

std::vector<std::string> Pieces(std::initializer_list<uint32_t> offsets, uint32_t finalAt) {
  std::vector<std::string> out;
  for (const uint32_t o : offsets) out.push_back(Format("WB 1/FF @%05X +8000", o));
  out.push_back(Format("WB 1/FF @%05X +1010", finalAt));
  return out;
}

std::vector<std::string> MemoryCompare() {
  return {"RB 1/80 @00000 +8000", "RB 1/80 @08000 +8000", "RB 1/80 @10000 +8000",
          "RB 1/80 @18000 +8000"};
}

template <typename T>
void Append(std::vector<T>& to, const std::vector<T>& more) {
  to.insert(to.end(), more.begin(), more.end());
}

class Family0000Hosts : public ::testing::TestWithParam<HostKind> {};

INSTANTIATE_TEST_SUITE_P(Hosts, Family0000Hosts,
                         ::testing::Values(HostKind::kPassThrough, HostKind::kAspi),
                         [](const ::testing::TestParamInfo<HostKind>& p) {
                           return p.param == HostKind::kAspi ? "Aspi" : "PassThrough";
                         });

// A model-7 drive: identified by its memory, compared with the image before
// (different) and after the update (equal but for the drive's own bytes).
TEST_P(Family0000Hosts, Model7DriveIsUpdatedAndReadBack) {
  const bool aspi = GetParam() == HostKind::kAspi;
  OldRun r{OldSetup(GetParam())};
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.run->driver.updatedCount, 1);

  std::vector<std::string> expected = {"INQUIRY", "RB 2/F1 @00000 +0030",  // discovery
                                       "INQUIRY", "RB 1/80 @01000 +0040",  // identity
                                       "INQUIRY"};                         // revision before
  Append(expected, MemoryCompare());
  Append(expected, {"WB 1/30 @00000 +0000", "START STOP UNIT", "WB 1/30 @00000 +0000"});
  Append(expected, Pieces({0, 0x8000, 0x10000, 0x18000}, 0x1F000));
  expected.push_back("WB 1/42 @00000 +0000");
  Append(expected, MemoryCompare());
  expected.push_back("INQUIRY");  // revision after
  EXPECT_EQ(r.DriveCommands(), expected);

  // Pass-through: the 8 s re-flash is part of the 30 s count-down.
  EXPECT_EQ(r.console(), kBanner + kStart + kLoaded +
                             RevisionLine("\nCurrent Revision>> ", "1.05 ") + kLoaded + Msg(61) +
                             "\n" + CountDownText(aspi ? 29 : 21) +
                             RevisionLine("\nNew Revision    >> ", "1.10 ") + Msg(12) + Msg(35));
  ASSERT_EQ(r.host->boxes().size(), 1u);
  EXPECT_EQ(r.host->boxes()[0].text, Msg(35));

  const OldFamily& drive = r.family();
  EXPECT_EQ(drive.reflashes(), 1);
  EXPECT_EQ(drive.commandsWhileReflashing(), 0);
  EXPECT_EQ(drive.hostTag(), aspi ? "WIN2" : "WIN ");
  const std::vector<uint8_t> image = r.s.ReleaseImage();
  for (uint32_t i = 0; i < image.size(); ++i) {
    const bool own = i >= sim::drive::kOwnBytesStart && i < sim::drive::kOwnBytesEnd;
    ASSERT_EQ(drive.memory()[i],
              own ? static_cast<uint8_t>(OwnBytes()[i - sim::drive::kOwnBytesStart]) : image[i])
        << i;
  }
  EXPECT_EQ(std::string(r.run->family0000.memoryIdentity, 16), "QUORVEN RQV-570 ");
  EXPECT_EQ(std::string(r.run->family0000.memoryCpuType, 16), "HITACHI H8_3062A");
  EXPECT_EQ(r.run->definition.definition.releaseRevision, 0x110);
  EXPECT_TRUE(r.host->misuse().empty());
}

// Already latest: by revision nothing of the drive memory is compared; by
// memory the drive holds the image but for its own bytes 0x400..0x44F.
TEST_P(Family0000Hosts, AlreadyLatest) {
  {
    OldSetup s(GetParam());
    s.profile.revision = "1.10";
    OldRun r(s);
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.run->driver.updatedCount, 0);
    EXPECT_EQ(r.console(),
              kBanner + kStart + kLoaded + RevisionLine("\nCurrent Revision>> ", "1.10 ") + Msg(4));
    EXPECT_TRUE(r.host->boxes().empty());  // said on the console only
    EXPECT_EQ(r.DriveCommands().size(), 5u);
  }
  {
    OldSetup s(GetParam());
    s.memory = Memory(s.ReleaseImage());
    OldRun r(s);
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.run->driver.updatedCount, 0);
    EXPECT_EQ(r.console(),
              kBanner + kStart + kLoaded + RevisionLine("\nCurrent Revision>> ", "1.05 ") + Msg(4));
    // One drive: the notice also comes as a box.
    ASSERT_EQ(r.host->boxes().size(), 1u);
    EXPECT_EQ(r.host->boxes()[0].text, Msg(4));
    std::vector<std::string> expected = {"INQUIRY", "RB 2/F1 @00000 +0030", "INQUIRY",
                                         "RB 1/80 @01000 +0040", "INQUIRY"};
    Append(expected, MemoryCompare());
    EXPECT_EQ(r.DriveCommands(), expected);
    EXPECT_EQ(r.family().reflashes(), 0);
  }
  {
    // With two drives no per-drive notice is raised as a box.
    OldSetup s(GetParam());
    s.memory = Memory(s.ReleaseImage());
    s.secondDrive = true;
    OldRun r(s);
    EXPECT_EQ(r.exitCode, 0);
    ASSERT_EQ(r.host->boxes().size(), 1u);  // the question for both drives
    EXPECT_EQ(r.host->boxes()[0].type & 0x0F, platform::kMbYesNo);
  }
}

// A memory differing anywhere else is not the image.
TEST(Family0000, MemoryDifferencesOutsideTheDrivesOwnBytesCount) {
  for (const uint32_t at : {0x3FFu, 0x450u, 0x7FFFu, 0x8000u, 0x1FFFFu}) {
    OldSetup s;
    s.memory = Memory(s.ReleaseImage());
    (*s.memory)[at] ^= 0x01;
    OldRun r(s);
    EXPECT_EQ(r.exitCode, 0) << at;
    EXPECT_EQ(r.run->driver.updatedCount, 1) << at;
    EXPECT_EQ(r.family().reflashes(), 1) << at;
  }
}

TEST_P(Family0000Hosts, UnknownMemoryIdentityIsNotUpdated) {
  OldSetup s(GetParam());
  s.memory = std::vector<uint8_t>(0x40000, 0x00);
  OldRun r(s);
  EXPECT_EQ(r.exitCode, 0);  // the drive is skipped, the run goes on
  EXPECT_EQ(r.run->driver.updatedCount, 0);
  EXPECT_EQ(std::string(r.run->family0000.memoryIdentity, 16), "Not recognize   ");
  EXPECT_EQ(std::string(r.run->family0000.memoryCpuType, 16), "Not recognize   ");
  // No read failed: the code printed is the one last captured. Through
  // pass-through that is the drive's refusal of the vendor identity read
  // during discovery; the ASPI probes keep no sense data.
  const char* code = GetParam() == HostKind::kAspi ? "000000" : "052400";
  EXPECT_EQ(r.console(), kBanner + kStart + "\r\nError Code : " + code + Msg(0));
  ASSERT_EQ(r.host->boxes().size(), 1u);
  EXPECT_EQ(r.host->boxes()[0].text, Msg(0));
  EXPECT_EQ(r.DriveCommands(),
            (std::vector<std::string>{"INQUIRY", "RB 2/F1 @00000 +0030", "INQUIRY",
                                      "RB 1/80 @01000 +0040", "RB 1/80 @1C000 +0040",
                                      "RB 1/80 @1F000 +0020"}));
}

TEST_P(Family0000Hosts, FailedMemoryReadPrintsItsSenseCode) {
  OldSetup s(GetParam());
  FaultRule rule;
  rule.opcode = 0x3C;
  rule.bufferId = 0x80;
  rule.senseKey = 0x05;
  rule.asc = 0x24;
  s.faults = {rule};
  OldRun r(s);
  EXPECT_EQ(r.run->driver.updatedCount, 0);
  EXPECT_EQ(r.console(), kBanner + kStart + "\r\nError Code : 052400" + Msg(0));
}

// Release "0000": the release revision is 0 and every drive holds the latest.
TEST_P(Family0000Hosts, VersionTextOfZeros) {
  for (const char* revision : {"1.05", "0.00"}) {
    OldSetup s(GetParam());
    s.release.version = "0000";
    s.profile.revision = revision;
    OldRun r(s);
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.run->definition.definition.releaseRevision, 0);
    EXPECT_EQ(r.console(), kBanner + kStart + kLoaded +
                               RevisionLine("\nCurrent Revision>> ", revision + std::string(" ")) +
                               Msg(4));
    EXPECT_EQ(r.family().reflashes(), 0);
  }
}

// The generation-6 patch drive at 1.06 gets the patch file loaded, the tag
// "WIN " whatever the host, and with a 0x20000 image the patch window's
// bytes behind the tag in the final piece.
TEST_P(Family0000Hosts, GenerationSixPatchDrive) {
  OldSetup s(GetParam());
  s.release.product = "DVD-ROM RQV-590";
  s.profile.product = "DVD-ROM RQV-590";
  s.profile.revision = "1.06";
  std::vector<uint8_t> window(0x1000);
  for (std::size_t i = 0; i < window.size(); ++i) window[i] = static_cast<uint8_t>(0x40 + i % 97);
  s.patchText = sim::ToHexRecords(window, 0x20000);
  s.family.hostTag = "WIN ";
  s.family.patchBytes = std::vector<uint8_t>(window.begin() + 4, window.begin() + 16);
  OldRun r(s);
  EXPECT_EQ(r.exitCode, 0) << r.console();
  EXPECT_EQ(r.run->driver.updatedCount, 1);
  EXPECT_EQ(r.run->revision.g6PatchNeeded, 0);  // the After report clears it
  EXPECT_THAT(r.console(), ::testing::HasSubstr(
                               kStart + kLoaded +
                               "\nCurrent Revision>> QUORVEN DVD-ROM RQV-590  1.06  2001/05/10" +
                               kPatched + kLoaded + Msg(61)));
  EXPECT_EQ(r.family().hostTag(), "WIN ");
  EXPECT_EQ(r.family().bytesBehindTag(), *s.family.patchBytes);

  // The final piece as it went to the drive.
  const Command* last = nullptr;
  for (const Command& c : r.drives[0]->history()) {
    if (c.opcode() == 0x3B && c.bufferId() == 0xFF) last = &c;
  }
  ASSERT_NE(last, nullptr);
  ASSERT_EQ(last->dataOut.size(), 0x1010u);
  const std::vector<uint8_t> image = s.ReleaseImage();
  EXPECT_TRUE(std::equal(image.begin() + 0x1F000, image.end(), last->dataOut.begin()));
  EXPECT_EQ(std::string(last->dataOut.begin() + 0x1000, last->dataOut.begin() + 0x1004), "WIN ");
  EXPECT_TRUE(std::equal(window.begin() + 4, window.begin() + 16, last->dataOut.begin() + 0x1004));
}

TEST(Family0000, GenerationSixPatchFileMissingEndsTheRun) {
  OldSetup s;
  s.release.product = "DVD-ROM RQV-590";
  s.profile.product = "DVD-ROM RQV-590";
  s.profile.revision = "1.06";
  OldRun r(s);
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.console(), kBanner + kStart + kLoaded +
                             "\nCurrent Revision>> QUORVEN DVD-ROM RQV-590  1.06  2001/05/10" +
                             "\r\nFile Exception Error 2 : File not found" + Msg(21) + Msg(36));
  EXPECT_EQ(r.family().pieces().size(), 0u);
}

// The pieces of the transfer by image length: 32 KiB pieces from 0 while
// below `length` - 0x1000, then the final piece at `length` - 0x1000.
TEST(Family0000, PieceOffsetsByLength) {
  struct Case {
    uint32_t length;
    std::vector<std::string> pieces;
  };
  const Case cases[] = {
      {0x20000, Pieces({0, 0x8000, 0x10000, 0x18000}, 0x1F000)},
      {0x21000, Pieces({0, 0x8000, 0x10000, 0x18000}, 0x20000)},
      {0x21001, Pieces({0, 0x8000, 0x10000, 0x18000, 0x20000}, 0x20001)},
      {0x30000, Pieces({0, 0x8000, 0x10000, 0x18000, 0x20000, 0x28000}, 0x2F000)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.length);
    OldSetup s;
    s.release.imageSize = c.length;
    OldRun r(s);
    EXPECT_EQ(r.exitCode, 0) << r.console();
    std::vector<std::string> writes;
    for (const std::string& line : r.DriveCommands()) {
      if (line.rfind("WB 1/FF", 0) == 0) writes.push_back(line);
    }
    EXPECT_EQ(writes, c.pieces);
    // The drive holds the whole image afterwards.
    const std::vector<uint8_t> image = s.ReleaseImage();
    EXPECT_TRUE(
        std::equal(image.begin() + 0x450, image.end(), r.family().memory().begin() + 0x450));
  }
}

// The count-down: 30 one-second steps under ASPI whatever the model; under
// pass-through 30 s from the re-flash command, 10 s for models 9 and 11.
TEST(Family0000, CountDowns) {
  struct Case {
    HostKind host;
    int32_t model;
    uint64_t reflashUs;
    int seconds;  // from the re-flash command to the last step
  };
  const Case cases[] = {
      {HostKind::kAspi, 7, 8'000'000, 30},         {HostKind::kAspi, 9, 8'000'000, 30},
      {HostKind::kAspi, 11, 2'000'000, 30},        {HostKind::kPassThrough, 7, 8'000'000, 30},
      {HostKind::kPassThrough, 9, 8'000'000, 10},  {HostKind::kPassThrough, 11, 500'000, 10},
      {HostKind::kPassThrough, 7, 29'000'000, 30},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message()
                 << (c.host == HostKind::kAspi ? "ASPI" : "pass-through") << " model " << c.model);
    OldSetup s(c.host);
    s.release.modelCode = c.model;
    s.family.reflashUs = c.reflashUs;
    OldRun r(s);
    EXPECT_EQ(r.exitCode, 0) << r.console();
    const auto steps = r.CountDown();
    ASSERT_FALSE(steps.empty());
    EXPECT_EQ(steps.back().second, "\rRemaining time is 00sec");
    const uint64_t sent = r.ReflashSentUs();
    EXPECT_GE(steps.back().first, sent + c.seconds * 1'000'000ull);
    EXPECT_LT(steps.back().first, sent + (c.seconds + 1) * 1'000'000ull);
    // Under pass-through the first step comes a second after the re-flash
    // command has ended.
    EXPECT_EQ(steps.size(), c.host == HostKind::kAspi
                                ? 30u
                                : static_cast<std::size_t>(c.seconds - c.reflashUs / 1'000'000));
    EXPECT_EQ(r.family().commandsWhileReflashing(), 0);
  }
}

// Models keep their identity in different places of memory and image.
TEST_P(Family0000Hosts, EveryIdentityPlace) {
  struct Case {
    int32_t model;
    bool comparesMemory;
  };
  for (const Case c :
       {Case{0, true}, Case{8, false}, Case{9, false}, Case{10, false}, Case{11, false}}) {
    SCOPED_TRACE(c.model);
    OldSetup s(GetParam());
    s.release.modelCode = c.model;
    OldRun r(s);
    EXPECT_EQ(r.exitCode, 0) << r.console();
    EXPECT_EQ(r.family().reflashes(), 1);
    const std::vector<std::string> commands = r.DriveCommands();
    const auto memoryReads =
        std::count(commands.begin(), commands.end(), std::string("RB 1/80 @00000 +8000"));
    EXPECT_EQ(memoryReads, c.comparesMemory ? 2 : 0);
    const std::vector<sim::Placement> places = IdentityPlacements(s.release);
    EXPECT_EQ(std::string(r.run->family0000.memoryIdentity, 16), places[0].bytes.substr(0, 16));
  }
}

// The ASPI re-flash runs while the count-down shows; the drive gets no other
// command before it has finished.
TEST(Family0000, AspiReflashOutcomes) {
  struct Case {
    const char* what;
    std::vector<std::string> adapters;
    std::optional<std::string> acceptedTag;
    uint64_t reflashUs;
    bool hang;  // the drive never answers the re-flash
    int exitCode;
    int reflashes;
  };
  const Case cases[] = {
      {"finished within the count-down", {"SCSI HOST"}, {}, 8'000'000, false, 0, 1},
      {"finished after the count-down", {"SCSI HOST"}, {}, 75'000'000, false, 0, 1},
      {"refused by the drive", {"SCSI HOST"}, "WIN ", 8'000'000, false, 1, 0},
      {"never finished", {"SCSI HOST"}, {}, 8'000'000, true, 1, 0},
      // WRITE BUFFER to the IEEE1394 mapper adapter is polled: the re-flash
      // has finished when the command returns.
      {"polled, finished", {"NTMAPHLP"}, {}, 8'000'000, false, 0, 1},
      {"polled, refused", {"NTMAPHLP"}, "WIN ", 8'000'000, false, 1, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    OldSetup s(HostKind::kAspi);
    s.adapters = c.adapters;
    s.family.hostTag = c.acceptedTag;
    s.family.reflashUs = c.reflashUs;
    if (c.hang) {
      FaultRule hang;
      hang.opcode = 0x3B;
      hang.bufferId = 0x42;
      hang.action = FaultAction::kHang;
      s.faults = {hang};
    }
    OldRun r(s);
    EXPECT_EQ(r.exitCode, c.exitCode) << r.console();
    EXPECT_EQ(r.family().reflashes(), c.reflashes);
    EXPECT_EQ(r.family().commandsWhileReflashing(), 0);
    EXPECT_TRUE(r.host->misuse().empty());
    const std::string& out = r.console();
    if (c.exitCode == 0) {
      const std::string end = RevisionLine("\nNew Revision    >> ", "1.10 ") + Msg(12) + Msg(35);
      EXPECT_THAT(out, ::testing::EndsWith(end));
      // The drive was read back once the re-flash was over, and without
      // waiting longer than the count-down, or the re-flash if it took
      // longer (seen within a second), and the 2 s pause.
      const uint64_t sent = r.ReflashSentUs();
      uint64_t next = 0;
      for (const sim::ScsiRecord& record : r.host->commands()) {
        if (record.timeUs > sent && next == 0) next = record.timeUs;
      }
      EXPECT_GE(next, sent + c.reflashUs);
      EXPECT_LT(next, sent + std::max<uint64_t>(30'000'000, c.reflashUs + 1'000'000) + 2'100'000);
    } else {
      EXPECT_THAT(out, ::testing::HasSubstr(Msg(24) + Msg(36)));
      // Nothing was sent after the re-flash command; a refusal the drive has
      // reported ends the wait with the count-down.
      EXPECT_EQ(r.host->commands().back().cdb[2], 0x42);
      if (!c.hang) {
        EXPECT_LT(r.prints.back().first, r.ReflashSentUs() + 31'000'000);
      }
    }
    if (c.hang) {
      // 30 s of count-down and 60 s more before the re-flash counts as failed.
      EXPECT_GE(r.CountDown().back().first, r.ReflashSentUs() + 30'000'000);
      EXPECT_EQ(r.CountDown().size(), 30u);
    }
  }
}

std::string Replaced(std::string text, std::size_t at, const std::string& with) {
  text.replace(at, with.size(), with);
  return text;
}

std::vector<uint8_t> WithBytes(std::vector<uint8_t> image, uint32_t at, const std::string& bytes) {
  std::copy(bytes.begin(), bytes.end(), image.begin() + at);
  return image;
}

// A refused check ends the run before anything is written to the drive.
TEST(Family0000, RefusedChecksEndTheRun) {
  const Release release;
  struct Case {
    const char* what;
    int32_t model;
    std::optional<std::vector<uint8_t>> memory;  // default: the old firmware
    std::optional<std::vector<uint8_t>> image;   // default: the release's image
    std::string product;                         // the drive's INQUIRY product
    int message;
  };
  const std::vector<uint8_t> image = Firmware(release, kNewSeed, 0x20000);
  const std::vector<uint8_t> old = Memory(Firmware(release, kOldSeed, 0x20000));
  Release model9 = release;
  model9.modelCode = 9;
  const Case cases[] = {
      {"another drive model in memory",
       7,
       WithBytes(old, 0x1000, "QUORVEN RQV-580 "),
       {},
       "DVD-ROM RQV-570",
       64},
      {"another CPU in memory",
       7,
       WithBytes(old, 0x1010, "HITACHI H8_3062R"),
       {},
       "DVD-ROM RQV-570",
       65},
      {"another drive model in the image",
       7,
       {},
       WithBytes(image, 0x1000, "QUORVEN RQV-580 "),
       "DVD-ROM RQV-570",
       64},
      {"another CPU in the image",
       7,
       {},
       WithBytes(image, 0x1010, "HITACHI H8_3062R"),
       "DVD-ROM RQV-570",
       40},
      {"model 9 drive with the third identity",
       9,
       WithBytes(Memory(Firmware(model9, kOldSeed, 0x20000)), 0x1F000, Bytes(kIdentityPatternC)),
       {},
       "DVD-ROM RQV-570",
       64},
      {"model 9 image with model 11's identity",
       9,
       {},
       WithBytes(Firmware(model9, kNewSeed, 0x20000), 0x1F000, Bytes(kIdentityPatternB)),
       "DVD-ROM RQV-570",
       64},
      // Every release takes this drive by its identity: its product is not
      // the release's.
      {"another product", 7, {}, {}, "BD-RW   MHT-860", 49},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    OldSetup s;
    s.release.modelCode = c.model;
    s.memory = c.memory;
    s.image = c.image;
    s.profile.product = c.product;
    OldRun r(s);
    EXPECT_EQ(r.exitCode, 1);
    const std::string product = Replaced("DVD-ROM RQV-570 ", 0, c.product);
    EXPECT_EQ(r.console(), kBanner + kStart + kLoaded + "\nCurrent Revision>> QUORVEN " + product +
                               " 1.05  2001/05/10" + Msg(c.message) + Msg(36));
    EXPECT_TRUE(r.family().pieces().empty());
    EXPECT_FALSE(r.family().updateMode());
  }
}

// The CPU type in drive memory is compared over 12 characters for model 10,
// over the length of the release's text for the others.
TEST(Family0000, CpuTypeComparedOverItsLength) {
  struct Case {
    int32_t model;
    std::string memoryCpu;  // what the drive memory holds
    bool updated;
  };
  const Case cases[] = {
      {10, "HITACHI H8_3XXX", true},
      {10, "HITACHI H8_X062", false},
      {7, "HITACHI H8_3062R", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.model);
    OldSetup s;
    s.release.modelCode = c.model;
    const uint32_t cpuAt = c.model == 10 ? 0x1C020 : 0x1010;
    s.memory = WithBytes(Memory(Firmware(s.release, kOldSeed, 0x20000)), cpuAt, c.memoryCpu);
    OldRun r(s);
    EXPECT_EQ(r.family().reflashes(), c.updated ? 1 : 0) << r.console();
    EXPECT_EQ(r.exitCode, c.updated ? 0 : 1);
  }
}

// Failures once the drive is being changed.
TEST(Family0000, UpdateFailures) {
  struct Case {
    const char* what;
    HostKind host;
    FaultRule rule;
    std::string ending;  // the console's last lines
    int exitCode;
    int32_t updated;
  };
  FaultRule updateMode;
  updateMode.opcode = 0x3B;
  updateMode.bufferId = 0x30;
  FaultRule data = updateMode;
  data.bufferId = 0xFF;
  data.senseKey = 0x05;
  data.asc = 0x21;
  data.ascq = 0x01;
  FaultRule reflash = updateMode;
  reflash.bufferId = 0x42;
  // A drive that takes a piece and drops it: the read-back finds the hole.
  FaultRule lost = data;
  lost.status = 0x00;
  lost.hasSense = false;
  lost.times = 1;
  FaultRule stop;
  stop.opcode = 0x1B;
  const Case cases[] = {
      // The transport's own result: 2 through pass-through goes on with the
      // next drive, -1 through ASPI ends the run.
      {"update mode refused", HostKind::kPassThrough, updateMode, Msg(22), 0, 0},
      {"update mode refused", HostKind::kAspi, updateMode, Msg(22) + Msg(36), 1, 0},
      {"image data refused", HostKind::kPassThrough, data,
       "\nSense Code : 05-21-01" + Msg(23) + Msg(36), 1, 0},
      {"image data refused", HostKind::kAspi, data, "\nSense Code : 05-21-01" + Msg(23) + Msg(36),
       1, 0},
      {"re-flash refused", HostKind::kPassThrough, reflash, Msg(24), 0, 0},
      {"piece lost", HostKind::kPassThrough, lost, Msg(25), 0, 0},
      {"piece lost", HostKind::kAspi, lost, Msg(25), 0, 0},
      // A failed START STOP UNIT changes nothing.
      {"stop refused", HostKind::kPassThrough, stop, Msg(12) + Msg(35), 0, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.what << (c.host == HostKind::kAspi ? " (ASPI)" : ""));
    OldSetup s(c.host);
    s.faults = {c.rule};
    OldRun r(s);
    EXPECT_EQ(r.exitCode, c.exitCode);
    EXPECT_EQ(r.run->driver.updatedCount, c.updated);
    const std::string& out = r.console();
    EXPECT_THAT(out, ::testing::EndsWith(c.ending));
  }
}

// "WIN2" with the Intel IDE driver; "WIN " for generation-6 patch drives and
// pass-through hosts; "WIN2" for ASPI hosts.
TEST(Family0000, HostTagRule) {
  struct Case {
    HostKind host;
    bool intel;
    bool generation6;
    const char* tag;
  };
  const Case cases[] = {
      {HostKind::kPassThrough, false, false, "WIN "}, {HostKind::kAspi, false, false, "WIN2"},
      {HostKind::kPassThrough, true, false, "WIN2"},  {HostKind::kAspi, true, false, "WIN2"},
      {HostKind::kPassThrough, false, true, "WIN "},  {HostKind::kAspi, false, true, "WIN "},
      {HostKind::kPassThrough, true, true, "WIN2"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << (c.host == HostKind::kAspi ? "ASPI" : "pass-through")
                                      << (c.intel ? " Intel" : "") << (c.generation6 ? " G6" : ""));
    OldSetup s(c.host);
    if (c.intel && c.host == HostKind::kAspi) s.adapters = {"intelata"};
    s.ultraAta = c.intel && c.host == HostKind::kPassThrough;
    if (c.generation6) {
      s.release.product = "DVD-ROM RQV-590";
      s.profile.product = "DVD-ROM RQV-590";
      s.profile.revision = "1.06";
      s.patchText = ":00000001FF\r\n";
    }
    OldRun r(s);
    EXPECT_EQ(r.exitCode, 0) << r.console();
    EXPECT_EQ(r.family().hostTag(), c.tag);
    EXPECT_EQ(std::string(r.run->family0000.hostTag, 4), c.tag);
  }
}

// Image lengths the transfer cannot use are refused before the drive is
// touched: one as long as the ASPI host's image buffer would send its final
// piece 16 bytes past it; one shorter than the final piece's 4 KiB or longer
// than the staging buffer is not even loaded.
TEST(Family0000, UnusableImageLengthsAreRefused) {
  struct Case {
    HostKind host;
    uint32_t length;
    std::string ending;
  };
  const Case cases[] = {
      {HostKind::kAspi, 0x200000,
       kLoaded + "\r\nThe firmware image does not fit the transfer." + Msg(20) + Msg(36)},
      {HostKind::kPassThrough, 0xFFF,
       kStart + "\r\nImage length 0xFFF is not valid for a HEX image." + Msg(20) + Msg(36)},
      {HostKind::kPassThrough, 0x200001,
       kStart + "\r\nImage length 0x200001 is not valid for a HEX image." + Msg(20) + Msg(36)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.length);
    OldSetup s(c.host);
    s.release.imageSize = c.length;
    s.image = Firmware(s.release, kNewSeed, 0x20000);
    OldRun r(s);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_THAT(r.console(), ::testing::EndsWith(c.ending));
    EXPECT_FALSE(r.family().updateMode());
    for (const std::string& line : r.DriveCommands()) {
      EXPECT_EQ(line.rfind("WB", 0), std::string::npos) << line;
    }
  }
}

// Model-9 releases older than 1.08 are not installed through ASPI.
TEST(Family0000, OldModel9ReleasesNeedPassThrough) {
  for (const HostKind host : {HostKind::kAspi, HostKind::kPassThrough}) {
    OldSetup s(host);
    s.release.modelCode = 9;
    s.release.version = "1.07";
    s.release.releaseRevision = 0x107;
    OldRun r(s);
    if (host == HostKind::kAspi) {
      EXPECT_EQ(r.exitCode, 1);
      EXPECT_EQ(r.console(), kBanner + Msg(63));
      EXPECT_TRUE(r.drives[0]->history().size() == 2u);  // discovery's probes only
    } else {
      EXPECT_EQ(r.exitCode, 0);
      EXPECT_EQ(r.family().reflashes(), 1);
    }
  }
}

// A drive that could not be identified is not updated, whatever the failure
// of its INQUIRY: the identity read from the drive before must not stand in
// for its own.
TEST(Family0000, UnidentifiedDriveIsSkipped) {
  for (const HostKind host : {HostKind::kPassThrough, HostKind::kAspi}) {
    SCOPED_TRACE(host == HostKind::kAspi ? "ASPI" : "pass-through");
    OldSetup s(host);
    s.secondDrive = true;
    // The second drive's memory says another CPU: it must never get this image.
    s.memory =
        WithBytes(Memory(Firmware(s.release, kOldSeed, 0x20000)), 0x1010, "HITACHI H8_3062R");
    s.perDriveMemory = {Memory(Firmware(s.release, kOldSeed, 0x20000)), *s.memory};
    FaultRule inquiry;
    inquiry.opcode = 0x12;
    inquiry.nth = 3;  // after discovery's INQUIRY and vendor identity read
    inquiry.senseKey = 0x02;
    inquiry.asc = 0x04;
    inquiry.ascq = 0x01;
    s.secondDriveFaults = {inquiry};
    OldRun r(s);
    EXPECT_EQ(r.exitCode, 0) << r.console();
    EXPECT_EQ(r.run->driver.updatedCount, 1);
    EXPECT_EQ(r.family(0).reflashes(), 1);
    EXPECT_EQ(r.family(1).reflashes(), 0);
    EXPECT_TRUE(r.family(1).pieces().empty());
    EXPECT_THAT(r.console(), ::testing::EndsWith("\r\nStart updating the device No.2." + Msg(9) +
                                                 "\r\n1drive(s) have been updated successfully."));
  }
}

// The example scenarios of this family, run as oddfw-sim runs them.
TEST(Family0000, ExampleScenarios) {
  struct Case {
    const char* name;
    int exitCode;
    std::vector<int> reflashes;  // per drive
    std::vector<std::string> lines;
    const char* hostTag;  // of the first drive; "" when it got none
  };
  const Case cases[] = {
      {"xp-old-drive-update",
       0,
       {1},
       {RevisionLine("\nNew Revision    >> ", "1.10 "), Msg(12) + Msg(35)},
       "WIN "},
      {"win98-old-already-latest", 0, {0, 0}, {Msg(4) + kStart2, "2001/09/20" + Msg(4)}, ""},
      {"win98-old-g6-patch",
       0,
       {1},
       {kPatched, CountDownText(29), "RQV-590  1.10  2002/03/14" + Msg(12)},
       "WIN "},
      {"xp-old-model9", 0, {1}, {"\rRemaining time is 03sec", "RQV-900  1.08  2004/02/11"}, "WIN "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    sim::Scenario scenario =
        sim::LoadScenario(std::string(ODDFW_SOURCE_DIR) + "/scenarios/" + c.name + ".json");
    const std::filesystem::path dir = testing::FreshTestDir();
    scenario.options.workdir = dir;
    sim::WriteScenarioFiles(scenario, dir);
    sim::SimPlatform host(scenario.options);
    oddfw::Run run(host.platform());
    DriverHooks hooks = DriverHooks::Program();
    ASSERT_TRUE(scenario.definition.has_value());
    hooks.fillDefinition = sim::DefinitionFiller(*scenario.definition);
    EXPECT_EQ(RunDriver(run, hooks), c.exitCode);
    for (const std::string& line : c.lines) {
      EXPECT_THAT(host.consoleBytes(), ::testing::HasSubstr(line));
    }
    ASSERT_EQ(scenario.options.drives.size(), c.reflashes.size());
    for (std::size_t i = 0; i < c.reflashes.size(); ++i) {
      auto drive = std::dynamic_pointer_cast<Drive>(scenario.options.drives[i].device);
      ASSERT_NE(drive, nullptr);
      const auto* family = dynamic_cast<OldFamily*>(drive->family());
      ASSERT_NE(family, nullptr);
      EXPECT_EQ(family->reflashes(), c.reflashes[i]) << i;
      EXPECT_EQ(family->commandsWhileReflashing(), 0);
      if (i == 0) {
        EXPECT_EQ(family->hostTag(), c.hostTag);
      }
    }
    EXPECT_TRUE(host.misuse().empty());
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
  }
}

}  // namespace
}  // namespace oddfw
