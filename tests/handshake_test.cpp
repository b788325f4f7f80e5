// The update-mode handshake against simulated DVD-RW writers: when the
// challenge runs, what each failing step leaves behind, the response block,
// and the buffers it must not touch.

#include "commands/handshake.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "dvd_fixture.h"
#include "host_fixture.h"
#include "sim/image_builder.h"

namespace oddfw {
namespace {

using sim::drive::DvdOptions;
using sim::drive::FaultRule;
using testing::CommandNames;
using testing::DvdDrive;
using testing::DvdProfile;

DvdOptions Challenge() {
  DvdOptions o;
  o.challenge = true;
  return o;
}

FaultRule Fail(uint32_t nth, uint8_t key = 0x04, uint8_t asc = 0x44, uint8_t ascq = 0x00) {
  FaultRule r;
  r.nth = nth;
  r.senseKey = key;
  r.asc = asc;
  r.ascq = ascq;
  return r;
}

// A DVD-RW writer at E: of an XP host, detected, with the release entry of
// model 0x1004 active; the handshake's commands are the only ones it gets.
struct HandshakeRun {
  HandshakeRun(const DvdOptions& options, std::vector<FaultRule> rules = {},
               const sim::drive::DriveProfile& profile = DvdProfile(),
               int64_t timeSeconds = 1234567890)
      : drive(DvdDrive(profile, options)),
        faults(std::make_shared<sim::drive::FaultInjector>(drive, std::move(rules))),
        host([&] {
          sim::SimOptions o = testing::HostOptions("xp");
          o.currentTimeSeconds = timeSeconds;
          o.AttachAtLetter('E', faults);
          return testing::HostRun(o);
        }()) {
    host.AddLetter('E');
    ActivateEntry(run(), 0);
    run().definition.active.modelCode = 0x1004;
    run().driver.currentTarget = 0;
  }
  Run& run() { return host.run(); }
  std::string console() { return host.host().consoleBytes(); }
  std::vector<std::string> commands() { return CommandNames(host.host().commands()); }
  sim::drive::DvdFamily& family() { return testing::FamilyOf(*drive); }

  std::shared_ptr<sim::drive::Drive> drive;
  std::shared_ptr<sim::drive::FaultInjector> faults;
  testing::HostRun host;
};

const std::vector<std::string> kExchange = {"W1 F3", "R2 F2", "W1 F2 256", "W1 F2 1024"};

std::vector<std::string> Then(std::vector<std::string> first,
                              const std::vector<std::string>& second) {
  first.insert(first.end(), second.begin(), second.end());
  return first;
}

TEST(Handshake, WhenTheChallengeRunsAndWhatEachFailureLeaves) {
  struct Case {
    const char* name;
    DvdOptions options;
    std::vector<FaultRule> rules;
    bool intelIdeDriver;
    int32_t result;
    std::string console;
    std::vector<std::string> commands;
    int32_t kernelOnlyDrive;
  };
  const std::string noKernel = "\nFailed to move to the kernel mode.";
  const Case cases[] = {
      {"probe accepted: challenge, then kernel mode",
       Challenge(),
       {},
       false,
       0,
       "",
       Then(kExchange, {"W4 FF", "INQ"}),
       1},
      {"probe refused with 05/24/00: kernel mode at once",
       DvdOptions{},
       {},
       false,
       0,
       "",
       {"W1 F3", "W4 FF", "INQ"},
       1},
      {"probe refused with sense byte 2 = 0x25: the challenge still runs",
       Challenge(),
       {Fail(1, 0x25, 0x24, 0x00)},
       false,
       0,
       "",
       Then(kExchange, {"W4 FF", "INQ"}),
       1},
      {"probe refused with another sense under the Intel IDE driver: no challenge",
       DvdOptions{},
       {Fail(1)},
       true,
       0,
       "",
       {"W1 F3", "W4 FF", "INQ"},
       1},
      {"probe refused with another sense: the challenge runs",
       Challenge(),
       {Fail(1)},
       false,
       0,
       "",
       Then(kExchange, {"W4 FF", "INQ"}),
       1},
      {"challenge read fails: step 0",
       Challenge(),
       {Fail(2)},
       false,
       kTransportCheckCondition,
       "\nError occurred at step 0.",
       {"W1 F3", "R2 F2"},
       0},
      {"echo fails: step 1",
       Challenge(),
       {Fail(3)},
       false,
       kTransportCheckCondition,
       "\nError occurred at step 1.",
       {"W1 F3", "R2 F2", "W1 F2 256"},
       0},
      {"response fails: step 2",
       Challenge(),
       {Fail(4)},
       false,
       kTransportCheckCondition,
       "\nError occurred at step 2.",
       kExchange,
       0},
      {"kernel-mode command refused: no INQUIRY",
       Challenge(),
       {Fail(5)},
       false,
       kTransportCheckCondition,
       noKernel,
       Then(kExchange, {"W4 FF"}),
       0},
      {"INQUIRY after kernel mode fails: -1",
       Challenge(),
       {Fail(6)},
       false,
       -1,
       "\nFailed to execute Inquiry Command.",
       Then(kExchange, {"W4 FF", "INQ"}),
       0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    HandshakeRun h(c.options, c.rules);
    h.run().host.intelIdeDriver = c.intelIdeDriver ? 1 : 0;
    EXPECT_EQ(UpdateModeHandshake(h.run()), c.result);
    EXPECT_EQ(h.console(), c.console);
    EXPECT_EQ(h.commands(), c.commands);
    EXPECT_EQ(h.run().host.kernelOnlyDrive, c.kernelOnlyDrive);
    // Only a failed INQUIRY leaves the drive in kernel mode with a failure.
    EXPECT_EQ(h.family().inKernelMode(), c.result == 0 || c.result == -1);
  }
}

TEST(Handshake, OnlyTheProbesOwnSenseSkipsTheChallenge) {
  // An earlier command left 05/24/00 behind; the probe fails without sense
  // data of its own (on pass-through the driver then leaves rawSense as it
  // was): the challenge still runs.
  FaultRule noSense = Fail(1);
  noSense.hasSense = false;
  HandshakeRun h(Challenge(), {noSense});
  uint8_t* stale = h.run().transport.sense.rawSense;
  stale[0] = 0x70;
  stale[2] = 0x05;
  stale[12] = 0x24;
  EXPECT_EQ(UpdateModeHandshake(h.run()), 0);
  EXPECT_EQ(h.commands(), Then(kExchange, {"W4 FF", "INQ"}));
  EXPECT_TRUE(h.family().inKernelMode());
}

TEST(Handshake, AKernelThatDoesNotAnswerZerosLeavesTheFlagAsItWas) {
  for (const int32_t before : {0, 1}) {
    DvdOptions o;
    o.kernelRevision = "K101";
    HandshakeRun h(o);
    h.run().host.kernelOnlyDrive = before;
    EXPECT_EQ(UpdateModeHandshake(h.run()), 0);
    EXPECT_EQ(h.run().host.kernelOnlyDrive, before);
  }
  // Another maker's drive answering "0000" is no DVD-RW writer of this line.
  sim::drive::DriveProfile other = DvdProfile();
  other.vendor = "DALO";
  other.product = "QF-R61G";
  HandshakeRun h(DvdOptions{}, {}, other);
  h.run().definition.active.modelCode = 0x1010;  // no names: the drive wants zero names
  EXPECT_EQ(UpdateModeHandshake(h.run()), 0);
  EXPECT_EQ(h.run().host.kernelOnlyDrive, 0);
}

TEST(Handshake, TheDriveTakesTheResponseAndTheImageStaysUntouched) {
  HandshakeRun h(Challenge());
  oddfw::Run& run = h.run();
  FirmwareImage& image = run.image.firmware;
  const std::vector<uint8_t> bytes = sim::BuildImage(sim::ImageSpec{});
  std::memcpy(image.buffer, bytes.data(), bytes.size());
  const std::vector<uint8_t> before(image.buffer, image.buffer + image.capacity);

  ASSERT_EQ(UpdateModeHandshake(run), 0);
  EXPECT_TRUE(h.family().inKernelMode());  // the response opened it
  EXPECT_TRUE(std::equal(before.begin(), before.end(), image.buffer));

  // The challenge the drive sent is in the work buffer, the response block
  // behind it, and the response is what reached the drive.
  const std::vector<uint8_t>& challenge = h.family().challenge();
  ASSERT_EQ(challenge.size(), kChallengeSize);
  EXPECT_TRUE(std::equal(challenge.begin(), challenge.end(), run.detection.workBuffer));
  const std::vector<uint8_t>& response = h.family().lastResponse();
  ASSERT_EQ(response.size(), kChallengeSize);
  EXPECT_TRUE(std::equal(response.begin(), response.end(), run.detection.workBuffer + 0x1000));
  const uint8_t position = challenge[kHandshakeKey1];
  EXPECT_EQ(response[position], static_cast<uint8_t>(~challenge[challenge[512] + kHandshakeKey0]));
}

// Every byte of the response block but the answer is filler drawn from the
// current time: the same second gives the same filler whatever the
// challenge, another second another filler.
TEST(Handshake, TheResponseIsFillerDrawnFromTheTimeButForTheAnswer) {
  auto responseOf = [](uint32_t challengeSeed, int64_t seconds, uint8_t* position) {
    DvdOptions o = Challenge();
    o.challengeSeed = challengeSeed;
    HandshakeRun h(o, {}, DvdProfile(), seconds);
    EXPECT_EQ(UpdateModeHandshake(h.run()), 0);
    *position = h.family().challenge()[kHandshakeKey1];
    return h.family().lastResponse();
  };
  uint8_t p1 = 0, p2 = 0, p3 = 0;
  const std::vector<uint8_t> a = responseOf(1, 1234567890, &p1);
  const std::vector<uint8_t> b = responseOf(2, 1234567890, &p2);
  const std::vector<uint8_t> c = responseOf(1, 1234567891, &p3);
  ASSERT_EQ(a.size(), 1024u);
  ASSERT_EQ(b.size(), 1024u);
  ASSERT_EQ(c.size(), 1024u);
  int same = 0;
  int sameAsOtherSecond = 0;
  for (std::size_t i = 0; i < 1024; ++i) {
    if (i == p1 || i == p2) continue;
    same += a[i] == b[i];
    sameAsOtherSecond += a[i] == c[i];
  }
  const int compared = p1 == p2 ? 1023 : 1022;
  EXPECT_EQ(same, compared);
  EXPECT_LT(sameAsOtherSecond, 64);
}

TEST(Handshake, AnswerByteFromTheKeys) {
  // Challenge byte 512 = 0x10 and the byte at key1 = 0x7F: response byte
  // 0x7F carries the complement of challenge byte 0x10 + key0; nothing else
  // changes.
  std::vector<uint8_t> challenge(1024);
  for (std::size_t i = 0; i < challenge.size(); ++i) challenge[i] = static_cast<uint8_t>(i * 7);
  challenge[512] = 0x10;
  challenge[kHandshakeKey1] = 0x7F;
  std::vector<uint8_t> response(1024, 0xA5);
  BuildChallengeResponse(challenge.data(), response.data());
  for (std::size_t i = 0; i < response.size(); ++i) {
    if (i == 0x7F) {
      EXPECT_EQ(response[i], static_cast<uint8_t>(~challenge[0x10 + kHandshakeKey0]));
    } else {
      EXPECT_EQ(response[i], 0xA5) << i;
    }
  }
  // The highest index the keys can reach stays inside the challenge.
  challenge[512] = 0xFF;
  challenge[kHandshakeKey1] = 0xFF;
  BuildChallengeResponse(challenge.data(), response.data());
  EXPECT_EQ(response[0xFF], static_cast<uint8_t>(~challenge[0xFF + kHandshakeKey0]));
}

}  // namespace
}  // namespace oddfw
