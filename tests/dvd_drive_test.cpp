// The simulated DVD-RW writer on its own: the handshake it asks for, the
// names it wants in the mode-change blocks, kernel mode, the parts and the
// re-flash.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "commands/handshake.h"
#include "dvd_fixture.h"
#include "sim/drive/dvd_family.h"
#include "sim/drive/families.h"
#include "sim/image_builder.h"
#include "sim/scenario.h"

namespace oddfw::sim::drive {
namespace {

using testing::DvdDrive;
using testing::DvdProfile;

Command WriteBuffer(uint8_t mode, uint8_t id, std::vector<uint8_t> data = {}, uint32_t offset = 0,
                    uint64_t timeUs = 0) {
  Command c;
  const auto length = static_cast<uint32_t>(data.size());
  c.cdb = {0x3B,
           mode,
           id,
           static_cast<uint8_t>(offset >> 16),
           static_cast<uint8_t>(offset >> 8),
           static_cast<uint8_t>(offset),
           0,
           static_cast<uint8_t>(length >> 8),
           static_cast<uint8_t>(length),
           0};
  c.direction = length > 0 ? Direction::kOut : Direction::kNone;
  c.transferLength = length;
  c.dataOut = std::move(data);
  c.timeUs = timeUs;
  return c;
}

Command ReadChallenge() {
  Command c;
  c.cdb = {0x3C, 2, 0xF2, 0, 0, 0, 0, 0x04, 0x00, 0};
  c.direction = Direction::kIn;
  c.transferLength = 1024;
  return c;
}

Command Inquiry(uint64_t timeUs = 0) {
  Command c;
  c.cdb = {0x12, 0, 0, 0, 0x60, 0};
  c.direction = Direction::kIn;
  c.transferLength = 96;
  c.timeUs = timeUs;
  return c;
}

std::vector<uint8_t> ModeBlock(const std::string& name) {
  std::vector<uint8_t> block(256, 0);
  std::copy(name.begin(), name.end(), block.begin());
  return block;
}

std::string Sense(const Reply& r) {
  if (r.status == kStatusGood) return "good";
  char text[16];
  std::snprintf(text, sizeof text, "%02X/%02X/%02X", r.sense[2], r.sense[12], r.sense[13]);
  return text;
}

std::string Revision(const Drive& d) {
  return std::string(d.inquiry.begin() + 32, d.inquiry.begin() + 47);
}

// Reads a challenge, echoes it and answers it (rightly or not).
Reply Exchange(Drive& d, bool rightAnswer) {
  const std::vector<uint8_t> challenge = d.Execute(ReadChallenge()).data;
  EXPECT_EQ(challenge.size(), 1024u);
  EXPECT_EQ(Sense(d.Execute(WriteBuffer(1, 0xF2, {challenge.begin(), challenge.begin() + 256}))),
            "good");
  std::vector<uint8_t> response(1024, 0);
  const uint8_t value = static_cast<uint8_t>(~challenge[challenge[512] + kHandshakeKey0]);
  response[challenge[kHandshakeKey1]] = rightAnswer ? value : static_cast<uint8_t>(value ^ 1);
  return d.Execute(WriteBuffer(1, 0xF2, response));
}

TEST(DvdDrive, TheChallengeOpensKernelModeOnlyWithTheRightAnswer) {
  DvdOptions o;
  o.challenge = true;
  const std::vector<uint8_t> kernelName = ModeBlock("QUORVEN KWXN-730");
  {
    auto d = DvdDrive(DvdProfile(), o);
    EXPECT_EQ(Sense(d->Execute(WriteBuffer(1, 0xF3))), "good");
    EXPECT_EQ(Sense(d->Execute(WriteBuffer(4, 0xFF, kernelName))), "05/2C/00");  // not yet
    EXPECT_EQ(Sense(Exchange(*d, false)), "good");  // a wrong answer only shows later
    EXPECT_EQ(Sense(d->Execute(WriteBuffer(4, 0xFF, kernelName))), "05/2C/00");
    EXPECT_EQ(Sense(Exchange(*d, true)), "good");
    EXPECT_EQ(Sense(d->Execute(WriteBuffer(4, 0xFF, kernelName))), "good");
    EXPECT_TRUE(testing::FamilyOf(*d).inKernelMode());
  }
  {
    // The echo must be the challenge's first 256 bytes, and comes after a read.
    auto d = DvdDrive(DvdProfile(), o);
    EXPECT_EQ(Sense(d->Execute(WriteBuffer(1, 0xF2, std::vector<uint8_t>(256)))), "05/2C/00");
    std::vector<uint8_t> challenge = d->Execute(ReadChallenge()).data;
    challenge[3] ^= 0xFF;
    EXPECT_EQ(Sense(d->Execute(WriteBuffer(1, 0xF2, {challenge.begin(), challenge.begin() + 256}))),
              "05/26/00");
    // Every read is a fresh challenge.
    EXPECT_NE(d->Execute(ReadChallenge()).data, d->Execute(ReadChallenge()).data);
  }
  {
    // A drive that wants no challenge refuses the probe and the buffer.
    auto d = DvdDrive(DvdProfile(), DvdOptions{});
    EXPECT_EQ(Sense(d->Execute(WriteBuffer(1, 0xF3))), "05/24/00");
    EXPECT_EQ(Sense(d->Execute(ReadChallenge())), "05/24/00");
    EXPECT_EQ(Sense(d->Execute(WriteBuffer(4, 0xFF, kernelName))), "good");
  }
}

TEST(DvdDrive, EachModelWantsItsNamesInTheModeChangeBlocks) {
  struct Case {
    const char* product;
    std::optional<int32_t> modelCode;
    const char* kernel;
    const char* normal;
  };
  const Case cases[] = {
      {"DVD-RW  KWX-720", {}, "QUORVEN KWX-T680", "QUORVEN KWX-T680"},
      {"DVD-RW  KWX-730", {}, "QUORVEN KWXN-730", "QUORVEN KWXN-730"},
      {"DVD-RW  KWX-740", {}, "QUORVEN  KWX-740", "QUORVEN  KWX-740"},
      {"DVD-RW  KWX-740", 0x1041, "QUORVEN  KWX-740", "QUORVEN  KWX-L57"},
      {"DVD-RW  KWX-750", {}, "", ""},  // zero names
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.product);
    DvdOptions o;
    o.modelCode = c.modelCode;
    auto d = DvdDrive(DvdProfile(c.product), o);
    EXPECT_EQ(Sense(d->Execute(WriteBuffer(4, 0xFF, ModeBlock("QUORVEN  MHT-870")))), "05/26/00");
    std::vector<uint8_t> withChecksum = ModeBlock(c.kernel);
    withChecksum[16] = 0xAE;
    EXPECT_EQ(Sense(d->Execute(WriteBuffer(4, 0xFF, withChecksum))), "05/26/00");
    EXPECT_EQ(Sense(d->Execute(WriteBuffer(4, 0xFF, ModeBlock(c.kernel)))), "good");
    if (std::string(c.kernel) != c.normal) {
      EXPECT_EQ(Sense(d->Execute(WriteBuffer(5, 0xFF, ModeBlock(c.kernel)))), "05/26/00");
    }
    EXPECT_EQ(Sense(d->Execute(WriteBuffer(5, 0xFF, ModeBlock(c.normal)))), "good");
  }
}

TEST(DvdDrive, KernelModePartsAndTheReflash) {
  DvdOptions o;
  o.reflashUs = 3000000;
  o.staleInquiries = 1;
  auto d = DvdDrive(DvdProfile(), o);
  DvdFamily& f = testing::FamilyOf(*d);
  const std::vector<uint8_t> piece(0x8000, 0x11);

  // Parts only in kernel mode.
  EXPECT_EQ(Sense(d->Execute(WriteBuffer(7, 0xF0, piece))), "05/2C/00");
  EXPECT_EQ(Sense(d->Execute(WriteBuffer(4, 0xFF, ModeBlock("QUORVEN KWXN-730")))), "good");
  EXPECT_EQ(Revision(*d), "0000 08/10/01  ");
  EXPECT_EQ(std::string(d->vendorIdentity->begin() + 32, d->vendorIdentity->begin() + 40),
            "        ");

  // The kernel part: two pieces in order, never more than 0x10000 bytes.
  ImageSpec kernel;
  kernel.partKind = 'K';
  kernel.size = 0x10000;
  kernel.dateText = "09/05/20";
  kernel.kernelRevisionText = "0000";
  const std::vector<uint8_t> k = BuildImage(kernel);
  EXPECT_EQ(Sense(d->Execute(WriteBuffer(7, 0xFE, {k.begin() + 0x8000, k.end()}, 0x8000))),
            "05/24/00");
  EXPECT_EQ(Sense(d->Execute(WriteBuffer(7, 0xFE, {k.begin(), k.begin() + 0x8000}, 0))), "good");
  EXPECT_EQ(Sense(d->Execute(WriteBuffer(7, 0xFE, {k.begin() + 0x8000, k.end()}, 0x8000))), "good");
  EXPECT_EQ(Sense(d->Execute(WriteBuffer(7, 0xFE, piece, 0x10000))), "05/24/00");
  EXPECT_EQ(f.kernelPart(), k);

  // The normal part, in order from offset 0.
  ImageSpec normal;
  normal.revisionText = "1.40 ";
  normal.dateText = "09/06/01";
  normal.normalModelName = "GENERAL2";
  normal.size = 0x18000;
  const std::vector<uint8_t> n = BuildImage(normal);
  for (uint32_t at = 0; at < n.size(); at += 0x8000) {
    EXPECT_EQ(
        Sense(d->Execute(WriteBuffer(7, 0xF0, {n.begin() + at, n.begin() + at + 0x8000}, at))),
        "good");
  }
  EXPECT_EQ(f.normalPart(), n);

  // Mode 5: busy re-flashing for three seconds, answered when done.
  Command toNormal = WriteBuffer(5, 0xFF, ModeBlock("QUORVEN KWXN-730"), 0, 10000000);
  const Reply r = d->Execute(toNormal);
  EXPECT_EQ(Sense(r), "good");
  EXPECT_EQ(r.durationUs, 3000000u);
  EXPECT_EQ(Sense(d->Execute(Inquiry(12999999))), "02/04/01");
  // Then the firmware it received, though the first INQUIRY still answers
  // for the one before.
  const std::vector<uint8_t> stale = d->Execute(Inquiry(13000000)).data;
  ASSERT_EQ(stale.size(), 96u);
  EXPECT_EQ(std::string(stale.begin() + 32, stale.begin() + 36), "1.30");
  EXPECT_EQ(Revision(*d), "1.40 09/06/01  ");
  EXPECT_EQ(std::string(d->vendorIdentity->begin() + 32, d->vendorIdentity->begin() + 40),
            "GENERAL2");
  EXPECT_FALSE(f.inKernelMode());

  // Its next kernel is the one it received.
  EXPECT_EQ(Sense(d->Execute(WriteBuffer(4, 0xFF, ModeBlock("QUORVEN KWXN-730")))), "good");
  EXPECT_EQ(Revision(*d), "0000 09/05/20  ");
}

TEST(DvdDrive, ReflashVariants) {
  const std::vector<uint8_t> image = [] {
    ImageSpec s;
    s.revisionText = "1.40 ";
    s.size = 0x10000;
    return BuildImage(s);
  }();
  auto enterAndSend = [&](Drive& d) {
    EXPECT_EQ(Sense(d.Execute(WriteBuffer(4, 0xFF, ModeBlock("QUORVEN KWXN-730")))), "good");
    for (uint32_t at = 0; at < image.size(); at += 0x8000) {
      EXPECT_EQ(Sense(d.Execute(WriteBuffer(
                    7, 0xF0, {image.begin() + at, image.begin() + at + 0x8000}, at, 1000))),
                "good");
    }
  };
  {
    // A failed re-flash ends back in the kernel; the next one works.
    DvdOptions o;
    o.failedReflashes = 1;
    auto d = DvdDrive(DvdProfile(), o);
    enterAndSend(*d);
    d->Execute(WriteBuffer(5, 0xFF, ModeBlock("QUORVEN KWXN-730"), 0, 1000000));
    EXPECT_EQ(Sense(d->Execute(Inquiry(10000000))), "good");
    EXPECT_EQ(Revision(*d).substr(0, 4), "0000");
    enterAndSend(*d);
    d->Execute(WriteBuffer(5, 0xFF, ModeBlock("QUORVEN KWXN-730"), 0, 20000000));
    d->Execute(Inquiry(30000000));
    EXPECT_EQ(Revision(*d).substr(0, 4), "1.40");
  }
  {
    // A part that lost its last piece, or got one garbled, does not hold its
    // check value: the re-flash fails and the drive stays in its kernel.
    for (const bool lost : {true, false}) {
      auto d = DvdDrive(DvdProfile(), DvdOptions{});
      EXPECT_EQ(Sense(d->Execute(WriteBuffer(4, 0xFF, ModeBlock("QUORVEN KWXN-730")))), "good");
      d->Execute(WriteBuffer(7, 0xF0, {image.begin(), image.begin() + 0x8000}, 0, 1000));
      if (!lost) d->Execute(WriteBuffer(7, 0xF0, std::vector<uint8_t>(0x8000), 0x8000, 1000));
      d->Execute(WriteBuffer(5, 0xFF, ModeBlock("QUORVEN KWXN-730"), 0, 1000000));
      d->Execute(Inquiry(10000000));
      EXPECT_EQ(Revision(*d).substr(0, 4), "0000") << lost;
    }
  }
  {
    // This one re-flashes on its own once it holds the whole normal part,
    // and is off the bus meanwhile.
    DvdOptions o;
    o.reflashWhenReceived = 0x10000;
    o.absentWhileBusy = true;
    auto d = DvdDrive(DvdProfile(), o);
    enterAndSend(*d);
    EXPECT_EQ(d->Execute(Inquiry(2000000)).outcome, Outcome::kDeviceGone);
    EXPECT_EQ(d->Execute(Inquiry(4100000)).outcome, Outcome::kCompleted);
    EXPECT_EQ(Revision(*d).substr(0, 4), "1.40");
  }
  {
    // Back to normal mode without a transfer: the old firmware again.
    auto d = DvdDrive(DvdProfile(), DvdOptions{});
    EXPECT_EQ(Sense(d->Execute(WriteBuffer(4, 0xFF, ModeBlock("QUORVEN KWXN-730")))), "good");
    d->Execute(WriteBuffer(5, 0xFF, ModeBlock("QUORVEN KWXN-730")));
    d->Execute(Inquiry(5000000));
    EXPECT_EQ(Revision(*d), "1.30 09/03/10  ");
  }
  {
    // A drive that starts without normal firmware runs its kernel.
    DvdOptions o;
    o.startInKernel = true;
    o.kernelRevision = "0.22";
    auto d = DvdDrive(DvdProfile("DVD-RW  KWX-750"), o);
    EXPECT_EQ(Revision(*d).substr(0, 4), "0.22");
    EXPECT_EQ(std::string(d->vendorIdentity->begin() + 32, d->vendorIdentity->begin() + 40),
              "        ");
    EXPECT_EQ(Sense(d->Execute(WriteBuffer(7, 0xF0, std::vector<uint8_t>(0x8000)))), "good");
  }
}

TEST(DvdDrive, ScenarioOptions) {
  const Scenario s = ParseScenario(R"({"drives": [{"letter": "E",
      "identity": {"vendor": "QUORVEN", "product": "DVD-RW  KWX-740", "revision": "1.25"},
      "family": {"kind": "dvd", "handshake": "challenge", "modelCode": "0x1041",
                 "kernelDate": "08/01/01", "normalModeMs": 8000, "reflashMs": 6000,
                 "busy": "absent", "reflashWhenReceived": "0x200000", "failedReflashes": 1,
                 "staleInquiries": 1, "challengeSeed": 9, "kernelModeMs": 50}}]})");
  auto& d = dynamic_cast<Drive&>(*s.options.drives[0].device);
  DvdFamily& f = testing::FamilyOf(d);
  EXPECT_EQ(f.kernelModeName(), "QUORVEN  KWX-740");
  EXPECT_EQ(f.normalModeName(), "QUORVEN  KWX-L57");
  EXPECT_EQ(Sense(d.Execute(WriteBuffer(1, 0xF3))), "good");

  for (const char* bad :
       {R"({"kind": "dvd", "handshake": "maybe"})", R"({"kind": "dvd", "reflashMs": -1})",
        R"({"kind": "dvd", "kernelDate": "2008/10/01 x"})", R"({"kind": "dvd", "reflashes": 1})"}) {
    const std::string json = std::string(R"({"drives": [{"letter": "E", "family": )") + bad + "}]}";
    try {
      ParseScenario(json);
      ADD_FAILURE() << "accepted: " << bad;
    } catch (const ScenarioError& e) {
      EXPECT_NE(std::string(e.what()).find("drives[0].family"), std::string::npos) << e.what();
    }
  }
}

}  // namespace
}  // namespace oddfw::sim::drive
