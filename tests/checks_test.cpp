// The checks between drive, image and release: the compatibility check with
// its OEM classes, the empty-drive check, the kernel-mode confirmation, the
// kernel check and the entry selection.

#include "image/checks.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "console/catalog.h"
#include "host_fixture.h"
#include "sim/drive/bd_family.h"
#include "sim/image_builder.h"

namespace oddfw {
namespace {

using testing::HostRun;

// The release's drive with this vendor identity.
sim::drive::DriveProfile Profile(const std::string& signature = "GENERAL ",
                                 const std::string& hardwareRevision = "SAT 0001",
                                 const std::string& normalModelName = "GENERAL ") {
  sim::drive::DriveProfile p = sim::drive::DriveProfile::ReleaseDrive();
  p.vendorIdentity = sim::drive::VendorIdentityText{hardwareRevision, signature, normalModelName};
  return p;
}

// A Windows XP host with the release's drive at E: (through a fault layer),
// the built-in release active and an image header in the image buffer.
struct CheckRun {
  explicit CheckRun(const sim::drive::DriveProfile& profile = Profile(),
                    std::vector<sim::drive::FaultRule> rules = {})
      : drive(testing::FaultyDrive(std::move(rules), profile)), h(Options(drive)) {
    // The BD writer's tray: a loaded disc is ready, also once stopped.
    model().SetFamily(
        std::make_unique<sim::drive::BdFamily>(sim::drive::BdFamilyOptions{}, model()));
    h.AddLetter('E');
    Run& r = h.run();
    r.driver.currentTarget = 0;
    ActivateEntry(r, 0);
    SetImage(sim::ImageSpec{});
    // The image and the drive of the default update: 1.10 of 2009/02/18
    // against 1.05 of 2009/01/20.
    r.image.firmware.imageReleaseDate = 0x20090218;
    r.definition.definition.releaseRevision = 0x110;
    r.revision.currentFirmwareDate = 0x20090120;
    r.revision.currentRevisionNumber = 0x105;
  }
  static sim::SimOptions Options(std::shared_ptr<sim::drive::ScsiDevice> device) {
    sim::SimOptions o = testing::HostOptions("xp");
    o.AttachAtLetter('E', std::move(device));
    return o;
  }
  void SetImage(sim::ImageSpec spec) {
    spec.size = 0x1000;
    const std::vector<uint8_t> image = sim::BuildImage(spec);
    std::memcpy(h.run().image.firmware.buffer, image.data(), image.size());
  }
  sim::drive::Drive& model() { return static_cast<sim::drive::Drive&>(drive->inner()); }
  Run& run() { return h.run(); }
  const std::string& console() { return h.host().consoleBytes(); }
  std::vector<std::string> boxes() {
    std::vector<std::string> texts;
    for (const sim::BoxRecord& b : h.host().boxes()) texts.push_back(b.text);
    return texts;
  }

  std::shared_ptr<sim::drive::FaultInjector> drive;
  HostRun h;
};

std::string M(int code) {
  return MessageTemplate(code, false);
}

TEST(CheckCompatibility, OemClasses) {
  struct Case {
    const char* signature;
    const char* hardwareRevision;
    int32_t oemClass;
  };
  const Case cases[] = {
      {"GENERAL ", "SCSI0001", 0x300}, {"GENERAL ", "SAT 0001", 0x100},
      {"GENERAL ", "SCS 0001", 0x100}, {"HALV    ", "SAT 0001", 0x101},
      {"ZEBRO   ", "SAT 0001", 0x102}, {"DRESKO  ", "SAT 0001", 0x103},
      {"RAVMO   ", "SAT 0001", 0x104}, {"RAVKEL  ", "SAT 0001", 0x108},
      {"HALVQT  ", "SAT 0001", 0x111}, {"MUNTA   ", "SAT 0001", 0x115},
      {"VOL     ", "SAT 0001", 0x121}, {"HALVX   ", "SAT 0001", -1},
      {"general ", "SAT 0001", -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.signature << c.hardwareRevision);
    CheckRun r(Profile(c.signature, c.hardwareRevision));
    // The image carries the drive's identity, so only the class differs.
    sim::ImageSpec spec;
    spec.signature = c.signature;
    spec.hardwareRevision = c.hardwareRevision;
    r.SetImage(spec);
    EXPECT_EQ(CheckCompatibility(r.run()), 0);
    EXPECT_EQ(r.run().host.oemClass, c.oemClass);
    EXPECT_TRUE(r.console().empty());
  }
}

TEST(CheckCompatibility, Refusals) {
  struct Case {
    const char* name;
    std::function<void(CheckRun&)> setUp;
    bool updateAllDrives;
    int32_t result;
    std::string console;
    std::vector<std::string> boxes;
  };
  auto image = [](std::function<void(sim::ImageSpec&)> change) {
    return [change](CheckRun& r) {
      sim::ImageSpec spec;
      change(spec);
      r.SetImage(spec);
    };
  };
  auto model = [](int32_t code, int32_t parts) {
    return [code, parts](CheckRun& r) {
      r.run().definition.active.modelCode = code;
      r.run().definition.active.updateParts = parts;
      sim::ImageSpec spec;
      spec.hardwareRevision = "SAT 0002";
      r.SetImage(spec);
    };
  };
  auto drive = [](uint32_t date, uint16_t revision) {
    return [date, revision](CheckRun& r) {
      r.run().revision.currentFirmwareDate = date;
      r.run().revision.currentRevisionNumber = revision;
    };
  };
  const Case cases[] = {
      {"compatible", [](CheckRun&) {}, false, 0, "", {}},
      {"hardware revision",
       image([](sim::ImageSpec& s) { s.hardwareRevision = "SAT 0002"; }),
       false,
       -1,
       M(1),
       {M(1)}},
      {"0x1041 without a kernel part: console only",
       model(0x1041, NormalOnly),
       false,
       -1,
       M(1),
       {}},
      {"0x1041 with a kernel part: accepted", model(0x1041, KernelAndNormal), false, 0, "", {}},
      {"0x4004 with a kernel part: refused",
       model(0x4004, KernelAndNormal),
       false,
       -1,
       M(1),
       {M(1)}},
      {"signature",
       image([](sim::ImageSpec& s) { s.signature = "HALV    "; }),
       false,
       -1,
       M(37),
       {M(37)}},
      {"normal part",
       image([](sim::ImageSpec& s) { s.normalModelName = "RAVMO   "; }),
       false,
       -1,
       M(3),
       {M(3)}},
      {"same date and revision", drive(0x20090218, 0x110), false, 1, M(54), {M(54)}},
      {"same, all drives at once: console only", drive(0x20090218, 0x110), true, 1, M(54), {}},
      {"a newer drive", drive(0x20100101, 0x200), false, 1, M(54), {M(54)}},
      {"the image a day newer", drive(0x20090217, 0x110), false, 0, "", {}},
      {"an older image of a higher revision", drive(0x20090301, 0x109), false, 0, "", {}},
      {"pre-production firmware", drive(0x20090120, 0x099), false, -1, M(73), {M(73)}},
      {"a drive in its kernel (revision 0)", drive(0, 0), false, 0, "", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CheckRun r;
    r.run().driver.updateAllDrives = c.updateAllDrives;
    r.run().host.oemClass = 0x777;
    c.setUp(r);
    EXPECT_EQ(CheckCompatibility(r.run()), c.result);
    EXPECT_EQ(r.console(), c.console);
    EXPECT_EQ(r.boxes(), c.boxes);
    // The class is set only when every check passed.
    EXPECT_EQ(r.run().host.oemClass, c.result == 0 ? 0x100 : 0x777);
  }
}

TEST(CheckCompatibility, ADriveWithoutNormalPartSkipsTheLaterChecks) {
  CheckRun r(Profile("GENERAL ", "SAT 0001", "        "));
  // A normal part of another model and a drive that looks newer: neither is
  // looked at.
  sim::ImageSpec spec;
  spec.normalModelName = "RAVMO   ";
  r.SetImage(spec);
  r.run().revision.currentFirmwareDate = 0x20990101;
  r.run().revision.currentRevisionNumber = 0x999;
  EXPECT_EQ(CheckCompatibility(r.run()), 0);
  EXPECT_EQ(r.run().checks.normalPartAbsent, 1);
  EXPECT_EQ(r.run().host.kernelOnlyDrive, 1);
  EXPECT_EQ(r.run().host.oemClass, 0);
  EXPECT_TRUE(r.console().empty());
  // ... but the hardware revision and the signature still count.
  sim::ImageSpec other;
  other.hardwareRevision = "SAT 0002";
  r.SetImage(other);
  EXPECT_EQ(CheckCompatibility(r.run()), -1);
}

TEST(CheckDriveEmpty, WhatTheDriveAnswers) {
  using sim::drive::FaultRule;
  auto tur = [](uint8_t key, uint8_t asc, uint8_t ascq, uint32_t times = 0) {
    FaultRule rule = testing::FailRule(0x00, key, asc, ascq);
    rule.times = times;
    return rule;
  };
  FaultRule noSense = tur(3, 0, 0);
  noSense.hasSense = false;
  struct Case {
    const char* name;
    std::vector<FaultRule> rules;
    bool disc;
    int32_t modelCode;
    bool intel;
    int32_t result;
    std::string console;
    std::vector<std::string> boxes;
    std::size_t testUnitReadies;
  };
  const Case cases[] = {
      {"no disc", {}, false, 0x4004, false, 0, "", {}, 1},
      {"a disc", {}, true, 0x4004, false, -1, M(5), {M(5)}, 1},
      {"a disc, model 0x1041", {}, true, 0x1041, false, 0, "", {}, 1},
      {"not spinning", {tur(2, 0x04, 0x02)}, false, 0x4004, false, 0, "", {}, 1},
      {"becoming ready", {tur(2, 0x04, 0x01)}, false, 0x4004, false, -1, M(6), {}, 1},
      {"unit attention twice, then no disc",
       {tur(6, 0x29, 0, 2)},
       false,
       0x4004,
       false,
       0,
       "",
       {},
       3},
      {"another error", {tur(3, 0x11, 0)}, false, 0x4004, false, -1, M(7), {}, 1},
      {"no sense data", {noSense}, false, 0x4004, false, -1, M(7), {}, 1},
      {"no sense data, Intel driver", {noSense}, false, 0x4004, true, 0, "", {}, 1},
      {"another error, Intel driver", {tur(3, 0x11, 0)}, false, 0x4004, true, -1, M(7), {}, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    sim::drive::DriveProfile p = Profile();
    p.discLoaded = c.disc;
    CheckRun r(p, c.rules);
    r.run().definition.active.modelCode = c.modelCode;
    r.run().host.intelIdeDriver = c.intel ? 1 : 0;
    // An earlier command (another drive's) left "no disc" behind: a TEST
    // UNIT READY that returns no sense data of its own must not pass for it.
    uint8_t* stale = r.run().transport.sense.rawSense;
    stale[0] = 0x70;
    stale[2] = 2;
    stale[12] = 0x3A;
    EXPECT_EQ(CheckDriveEmpty(r.run()), c.result);
    EXPECT_EQ(r.console(), c.console);
    EXPECT_EQ(r.boxes(), c.boxes);
    const std::vector<sim::ScsiRecord>& commands = r.h.host().commands();
    ASSERT_EQ(commands.size(), 1 + c.testUnitReadies);
    EXPECT_EQ(commands[0].cdb, (std::vector<uint8_t>{0x1B, 0, 0, 0, 0, 0}));
    EXPECT_EQ(r.run().host.commandTimeoutMs, 0);
  }
}

TEST(CheckDriveEmpty, UnitAttentionWithoutEndIsAnError) {
  // Every TEST UNIT READY reports a reset; the check asks for a minute of
  // drive time, then gives up.
  sim::drive::FaultRule attention = testing::FailRule(0x00, 6, 0x29, 0);
  CheckRun r(Profile(), {attention});
  EXPECT_EQ(CheckDriveEmpty(r.run()), -1);
  EXPECT_EQ(r.console(), M(7));
  const std::vector<sim::ScsiRecord>& commands = r.h.host().commands();
  ASSERT_GT(commands.size(), 2u);
  const uint64_t spanUs = commands.back().endUs - commands[1].timeUs;
  EXPECT_GE(spanUs, 60'000'000u);
  EXPECT_LT(spanUs, 60'100'000u);
}

TEST(ConfirmKernelMode, TheDriveRunsItsKernel) {
  struct Case {
    const char* product;
    const char* revision;
    bool inquiryFails;
    int32_t result;
    int32_t kernelOnly;
    std::string console;
  };
  const Case cases[] = {
      {"BD-RW   MHT-860", "0000", false, 0, 1, ""},
      {"DVD-RW  KWX-730", "0001", false, 0, 1, ""},
      // every BD writer of the line counts as in its kernel
      {"BD-RW   MHT-860", "1.05", false, 0, 1, ""},
      {"BD-RW   MHT-990", "1.05", false, 0, 1, ""},
      {"DVD-RW  KWX-730", "1.30", false, -1, 0, ""},
      {"BD-ROM  MHL-860", "1.05", false, -1, 0, ""},
      {"BD-RW   MHT-860", "0000", true, -1, 7, M(9)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.product << " " << c.revision);
    sim::drive::DriveProfile p = Profile();
    p.product = c.product;
    p.revision = c.revision;
    std::vector<sim::drive::FaultRule> rules;
    if (c.inquiryFails) rules.push_back(testing::FailRule(0x12, 4, 0x44, 0));
    CheckRun r(p, rules);
    r.run().host.kernelOnlyDrive = 7;  // kept when the INQUIRY fails
    EXPECT_EQ(ConfirmKernelMode(r.run()), c.result);
    EXPECT_EQ(r.run().host.kernelOnlyDrive, c.kernelOnly);
    EXPECT_EQ(r.console(), c.console);
    EXPECT_TRUE(r.boxes().empty());
  }
}

TEST(CheckKernelNeeded, TheDrivesKernelAgainstTheKernelImage) {
  struct Case {
    const char* name;
    int32_t modelCode;
    const char* driveRevision;
    const char* driveDate;
    int32_t result;
    std::string console;
  };
  const Case cases[] = {
      {"the same kernel", 0x4004, "0002", "09/02/18", 1, M(10)},
      {"another kernel revision", 0x4004, "0001", "09/02/18", 0, ""},
      {"another kernel date", 0x4004, "0002", "09/02/17", 0, ""},
      {"model 0x1003 always writes it", 0x1003, "0002", "09/02/18", 0, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    sim::drive::DriveProfile p = Profile();
    p.revision = c.driveRevision;
    p.date = c.driveDate;
    CheckRun r(p);
    sim::ImageSpec kernel;
    kernel.partKind = 'K';
    kernel.kernelRevisionText = "0002";
    kernel.dateText = "09/02/18";
    r.SetImage(kernel);
    r.run().definition.active.modelCode = c.modelCode;
    EXPECT_EQ(CheckKernelNeeded(r.run()), c.result);
    EXPECT_EQ(r.console(), c.console);
  }
  CheckRun failing(Profile(), {testing::FailRule(0x12, 4, 0x44, 0)});
  EXPECT_EQ(CheckKernelNeeded(failing.run()), -1);
  EXPECT_EQ(failing.console(), M(9));
}

TEST(SelectDefinitionEntry, MatchFailuresAndNoMatch) {
  // A drive no entry is for keeps the entry in force.
  sim::drive::DriveProfile other = sim::drive::DriveProfile::OtherMaker();
  other.vendorIdentity = sim::drive::VendorIdentityText{"SAT 0001", "GENERAL ", "GENERAL "};
  CheckRun r(other);
  r.run().definition.active.modelCode = 0x1234;
  r.run().image.firmware.length = 77;
  EXPECT_EQ(SelectDefinitionEntry(r.run()), 0);
  EXPECT_EQ(r.run().definition.active.modelCode, 0x1234);
  EXPECT_EQ(r.run().image.firmware.length, 77);

  CheckRun release;
  release.run().image.firmware.length = 77;
  EXPECT_EQ(SelectDefinitionEntry(release.run()), 0);
  EXPECT_EQ(release.run().definition.active.modelCode, 0x4004);
  EXPECT_EQ(release.run().image.firmware.length, 0x200000);

  CheckRun noInquiry(Profile(), {testing::FailRule(0x12, 4, 0x44, 0)});
  EXPECT_NE(SelectDefinitionEntry(noInquiry.run()), 0);
  EXPECT_EQ(noInquiry.boxes(), (std::vector<std::string>{M(9)}));
  CheckRun noIdentity(Profile(), {testing::FailRule(0x3C, 5, 0x24, 0)});
  EXPECT_NE(SelectDefinitionEntry(noIdentity.run()), 0);
  EXPECT_EQ(noIdentity.boxes(), (std::vector<std::string>{M(0)}));
}

}  // namespace
}  // namespace oddfw
