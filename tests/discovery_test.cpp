// Target discovery on simulated hosts, and the filter that decides which
// drives the release applies to.

#include "discovery/discovery.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "host_fixture.h"

namespace oddfw {
namespace {

using sim::drive::DriveProfile;
using testing::HostOptions;
using testing::SimRun;
using testing::Win98Host;

DriveProfile Release() {
  return DriveProfile::ReleaseDrive();
}

struct Discovered {
  explicit Discovered(sim::SimOptions o) : r(std::move(o)) {
    FillBuiltInDefinition(r.run);
    DetectHostEnvironment(r.run);
    count = DiscoverTargets(r.run);
  }
  std::string Letters() const {
    std::string s;
    for (int i = 0; i < count; ++i) s += r.run.host.targetTable[i].driveLetter;
    return s;
  }
  std::string CdList() const {
    std::string s;
    for (int i = 0; i < r.run.host.cdDeviceCount; ++i) s += r.run.host.cdDevices[i].letter;
    return s;
  }
  // Targets probed, as "adapter:target" or "E:".
  std::set<std::string> Probed() const {
    std::set<std::string> s;
    for (const sim::ScsiRecord& c : r.host.commands()) s.insert(c.target);
    return s;
  }
  SimRun r;
  int32_t count = 0;
};

TEST(Discovery, BeforeDiscoveryTheTableIsEmpty) {
  SimRun r;
  EXPECT_EQ(r.run.host.targetCount, 0);
  for (const TargetEntry& e : r.run.host.targetTable) {
    EXPECT_EQ(e.adapter, 0);
    EXPECT_EQ(e.target, 0);
    EXPECT_EQ(e.driveLetter, 0);
  }
  EXPECT_EQ(r.run.host.cdDeviceCount, 0);
}

TEST(Discovery, LettersDToZInOrder) {
  sim::SimOptions o = HostOptions("xp");
  o.AddDriveAtLetter('Z', Release());
  o.AddDriveAtLetter('C', Release());
  o.AddDriveAtLetter('F', Release());
  o.AddDriveAtLetter('E', DriveProfile::OtherMaker());
  o.AddDriveAtLetter('D', Release());
  Discovered d(o);
  EXPECT_EQ(d.count, 3);
  EXPECT_EQ(d.r.run.host.targetCount, 3);
  EXPECT_EQ(d.Letters(), "DFZ");
  EXPECT_EQ(d.Probed(), (std::set<std::string>{"D:", "E:", "F:", "Z:"}));
  EXPECT_EQ(d.CdList(), "DEFZ");
  EXPECT_EQ(d.r.host.openDeviceHandles(), 4u);  // the media-change handles only
  // ASPI fields are not written in pass-through mode.
  EXPECT_EQ(d.r.run.host.targetTable[0].adapter, 0);
}

TEST(Discovery, DeviceTypeDecidesTheCdListButNotAcceptance) {
  struct Case {
    const char* name;
    uint8_t peripheral;
    bool listed;
  };
  const Case cases[] = {
      {"CD/DVD device", 0x05, true},
      {"write-once device", 0x04, true},
      {"qualifier 1, type 5", 0x25, false},
      {"disk", 0x00, false},
  };
  for (const Case& c : cases) {
    DriveProfile profile = Release();
    profile.peripheral = c.peripheral;
    sim::SimOptions o = HostOptions("xp");
    o.AddDriveAtLetter('E', profile);
    Discovered d(o);
    EXPECT_EQ(d.count, 1) << c.name;
    EXPECT_EQ(d.CdList(), c.listed ? "E" : "") << c.name;
    EXPECT_EQ(d.r.host.mediaControls().size(), c.listed ? 1u : 0u) << c.name;
  }
}

TEST(Discovery, MediaChangeNotificationIsSuspendedAndRestored) {
  sim::SimOptions o = HostOptions("xp");
  o.AddDriveAtLetter('D', DriveProfile::OtherMaker());
  o.AttachAtLetter('E', sim::drive::MakeDrive(Release())).controlOpenError =
      platform::kErrorAccessDenied;
  o.AddDriveAtLetter('F', Release());
  Discovered d(o);
  EXPECT_EQ(d.Letters(), "EF");
  EXPECT_EQ(d.CdList(), "DEF");  // E's entry counts although its open failed
  ReleaseHostEnvironment(d.r.run);
  std::vector<std::string> controls;
  for (const sim::MediaControlRecord& m : d.r.host.mediaControls()) {
    controls.push_back(std::string(1, m.letter) + (m.suspend != 0 ? "+" : "-") + (m.ok ? "" : "!"));
  }
  EXPECT_EQ(controls, (std::vector<std::string>{"D+", "F+", "D-", "F-"}));
  EXPECT_EQ(d.r.host.openDeviceHandles(), 0u);
  EXPECT_TRUE(d.r.host.misuse().empty());
}

TEST(Discovery, DevicesThatDoNotOpenOrAnswerAreSkipped) {
  sim::SimOptions o = HostOptions("xp");
  o.AttachAtLetter('D', sim::drive::MakeDrive(Release())).openError = platform::kErrorAccessDenied;
  o.AttachAtLetter('E', testing::FaultyDrive({testing::FailRule(0x12, 2, 4, 1)}));
  o.AttachAtLetter('F', sim::drive::MakeDrive(Release())).ioctlError = platform::kErrorAccessDenied;
  o.AddDriveAtLetter('G', Release());
  Discovered d(o);
  EXPECT_EQ(d.Letters(), "G");
  EXPECT_EQ(d.CdList(), "G");
}

TEST(Discovery, AFailedVendorIdentityReadClearsTheStore) {
  sim::SimOptions o = HostOptions("xp");
  o.AttachAtLetter('E', testing::FaultyDrive({testing::FailRule(0x3C, 5, 0x24, 0)}));
  SimRun r(o);
  FillBuiltInDefinition(r.run);
  DetectHostEnvironment(r.run);
  std::memset(r.run.host.vendorIdentity.bytes, 'x', 64);
  EXPECT_EQ(DiscoverTargets(r.run), 0);  // the 0x4000 entry needs the OEM rules
  for (const uint8_t b : r.run.host.vendorIdentity.bytes) EXPECT_EQ(b, 0);

  // An entry of another family takes the drive on its identity alone.
  SimRun r2(o);
  FillBuiltInDefinition(r2.run);
  r2.run.definition.definition.entries[0].modelCode = 0x0004;
  DetectHostEnvironment(r2.run);
  EXPECT_EQ(DiscoverTargets(r2.run), 1);
}

TEST(Discovery, AspiAdaptersScannedByIdentifier) {
  struct Case {
    const char* name;
    std::vector<std::string> adapters;
    std::set<std::string> probed;
    int32_t intel;
  };
  auto ids = [](int adapter, int last) {
    std::set<std::string> s;
    for (int t = 0; t <= last; ++t) s.insert(std::to_string(adapter) + ":" + std::to_string(t));
    return s;
  };
  auto join = [](std::set<std::string> a, const std::set<std::string>& b) {
    a.insert(b.begin(), b.end());
    return a;
  };
  const Case cases[] = {
      {"ESDI_506: ids 0 and 1", {"ESDI_506"}, ids(0, 1), 0},
      {"ordinary SCSI adapter: ids 0 to 6", {"SIMSCSI 7000"}, ids(0, 6), 0},
      {"the mapper counts as ordinary", {"ESDI_506", "ntmaphlp"}, join(ids(0, 1), ids(1, 6)), 0},
      {"intelata: only the IDE adapters",
       {"SIMSCSI 7000", "ESDI_506", "intelata"},
       join(ids(1, 1), ids(2, 1)),
       1},
  };
  for (const Case& c : cases) {
    sim::SimOptions o = Win98Host(c.adapters);
    Discovered d(o);
    EXPECT_EQ(d.count, 0) << c.name;
    EXPECT_EQ(d.Probed(), c.probed) << c.name;
    EXPECT_EQ(d.r.run.host.intelIdeDriver, c.intel) << c.name;
    EXPECT_EQ(d.r.host.openEvents(), 0u) << c.name;
  }
}

TEST(Discovery, AspiTargetsInOrderWithoutCdList) {
  sim::SimOptions o = Win98Host({"ESDI_506", "SIMSCSI 7000"});
  o.AddDriveAtAdapter(1, 5, Release());
  o.AddDriveAtAdapter(0, 1, Release());
  o.AddDriveAtAdapter(0, 0, DriveProfile::OtherMaker());
  o.AddDriveAtAdapter(1, 7, Release());  // past the ids scanned
  DriveProfile disk = Release();
  disk.peripheral = 0x00;  // ASPI discovery does not look at the device type
  o.AddDriveAtAdapter(1, 2, disk);
  Discovered d(o);
  ASSERT_EQ(d.count, 3);
  const auto& t = d.r.run.host.targetTable;
  EXPECT_EQ(std::vector<int>(
                {t[0].adapter, t[0].target, t[1].adapter, t[1].target, t[2].adapter, t[2].target}),
            std::vector<int>({0, 1, 1, 2, 1, 5}));
  EXPECT_EQ(t[0].driveLetter, 0);
  EXPECT_EQ(d.r.run.host.cdDeviceCount, 0);
  EXPECT_TRUE(d.r.host.mediaControls().empty());
}

TEST(Discovery, NoAdaptersBeyondTheNamedSlots) {
  std::vector<std::string> adapters(20, "ESDI_506");
  sim::SimOptions o = Win98Host(adapters);
  o.AddDriveAtAdapter(15, 0, Release());
  o.AddDriveAtAdapter(17, 0, Release());
  Discovered d(o);
  EXPECT_EQ(d.count, 1);
  EXPECT_EQ(d.r.run.host.targetTable[0].adapter, 15);
  for (const std::string& target : d.Probed()) EXPECT_LT(std::stoi(target), 16) << target;
}

// MatchUpdateDefinition against the built-in release (one entry, OEM code
// "GENERAL ", QUORVEN BD-RW MHT-860, model 0x4004) and variations of it.
TEST(Discovery, MatchUpdateDefinitionRules) {
  struct Case {
    const char* name;
    std::string vendorProduct;  // INQUIRY bytes 8-31
    std::string hardwareRevision, signature, normalModelName;
    int32_t modelCode;
    int32_t match;
    int32_t kernelOnly;
  };
  const std::string release = "QUORVEN BD-RW   MHT-860 ";
  const std::string spaces = "        ";
  const Case cases[] = {
      {"normal part of this OEM", release, "SAT 0001", "GENERAL ", "GENERAL ", 0x4004, 0, 0},
      {"kernel only, signature of this OEM", release, "SAT 0001", "GENERAL ", spaces, 0x4004, 0, 1},
      {"kernel only, any interface tag", release, "SCSI0001", "GENERAL ", spaces, 0x4004, 0, 1},
      {"SCSI drive with a normal part", release, "SCSI0001", "GENERAL ", "GENERAL ", 0x4004, -1, 0},
      {"another OEM", release, "SAT 0001", "OTHEROEM", "OTHEROEM", 0x4004, -1, 0},
      {"kernel only, another signature", release, "SAT 0001", "OTHEROEM", spaces, 0x4004, -1, 0},
      {"no vendor identity", release, "", "", "", 0x4004, -1, 0},
      {"case counts", release, "sat 0001", "GENERAL ", "GENERAL ", 0x4004, -1, 0},
      {"another product", "QUORVEN BD-RW   MHT-870 ", "SAT 0001", "GENERAL ", "GENERAL ", 0x4004,
       -1, 0},
      {"MHL-860 passes every entry's identity", "QUORVEN BD-ROM  MHL-860 ", "SAT 0001", "GENERAL ",
       "GENERAL ", 0x4004, 0, 0},
      {"family rule uses 0xFF00: 0x1100 skips the OEM rules", release, "", "", "", 0x1100, 0, 0},
      {"0x1000 needs them", release, "", "", "", 0x1003, -1, 0},
      {"0x0000 does not", release, "", "", "", 0x0004, 0, 0},
      {"another maker", "VARNOK  DVD-RW  VX-2210 ", "", "", "", 0x0004, -1, 0},
  };
  for (const Case& c : cases) {
    SimRun r;
    FillBuiltInDefinition(r.run);
    r.run.definition.definition.entries[0].modelCode = c.modelCode;
    uint8_t inquiry[96] = {};
    inquiry[0] = 5;
    std::memcpy(inquiry + 8, c.vendorProduct.data(), 24);
    VendorIdentity& v = r.run.host.vendorIdentity;
    std::memcpy(v.bytes + 16, c.hardwareRevision.data(), c.hardwareRevision.size());
    std::memcpy(v.bytes + 24, c.signature.data(), c.signature.size());
    std::memcpy(v.bytes + 32, c.normalModelName.data(), c.normalModelName.size());
    EXPECT_EQ(MatchUpdateDefinition(r.run, inquiry), c.match) << c.name;
    EXPECT_EQ(r.run.host.kernelOnlyDrive, c.kernelOnly) << c.name;
  }
}

TEST(Discovery, TheFirstPassingEntryWins) {
  SimRun r;
  FillBuiltInDefinition(r.run);
  UpdateDefinition& def = r.run.definition.definition;
  def.entries[1] = def.entries[0];
  def.entries[2] = def.entries[0];
  std::memcpy(def.entries[0].oemCode, "OTHEROEM", 8);
  def.entryCount = 3;
  uint8_t inquiry[96] = {};
  std::memcpy(inquiry + 8, "QUORVEN BD-RW   MHT-860 ", 24);
  std::memcpy(r.run.host.vendorIdentity.bytes + 16, "SAT 0001GENERAL GENERAL ", 24);
  EXPECT_EQ(MatchUpdateDefinition(r.run, inquiry), 1);
  def.entryCount = 1;
  EXPECT_EQ(MatchUpdateDefinition(r.run, inquiry), -1);
}

}  // namespace
}  // namespace oddfw
