// The drive simulator on its own: the core commands, the family hook and the
// fault layer.

#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>

#include "sim/drive/drive.h"
#include "sim/drive/faults.h"

namespace oddfw::sim::drive {
namespace {

Command Cdb(std::vector<uint8_t> cdb, Direction direction = Direction::kNone, uint32_t length = 0) {
  Command c;
  c.cdb = std::move(cdb);
  c.direction = direction;
  c.transferLength = length;
  return c;
}

const Command kInquiry = Cdb({0x12, 0, 0, 0, 0x60, 0}, Direction::kIn, 96);
const Command kVendorIdentity = Cdb({0x3C, 2, 0xF1, 0, 0, 0, 0, 0, 0x30, 0}, Direction::kIn, 48);
const Command kTestUnitReady = Cdb({0, 0, 0, 0, 0, 0});

std::string Text(const std::vector<uint8_t>& data, std::size_t at, std::size_t n) {
  return std::string(data.begin() + at, data.begin() + at + n);
}

TEST(DriveCore, AnswersIdentityAndVendorIdentity) {
  Drive drive(DriveProfile::ReleaseDrive());
  const Reply inquiry = drive.Execute(kInquiry);
  ASSERT_EQ(inquiry.status, kStatusGood);
  ASSERT_EQ(inquiry.data.size(), 96u);
  EXPECT_EQ(inquiry.data[0], 5);
  EXPECT_EQ(Text(inquiry.data, 8, 24), "QUORVEN BD-RW   MHT-860 ");
  EXPECT_EQ(inquiry.durationUs, 2000u);

  const Reply vendor = drive.Execute(kVendorIdentity);
  ASSERT_EQ(vendor.status, kStatusGood);
  ASSERT_EQ(vendor.data.size(), 48u);
  EXPECT_EQ(Text(vendor.data, 16, 24), "SAT 0001GENERAL GENERAL ");

  // Another maker's drive has no such buffer.
  Drive other(DriveProfile::OtherMaker());
  const Reply refused = other.Execute(kVendorIdentity);
  EXPECT_EQ(refused.status, kStatusCheckCondition);
  ASSERT_TRUE(refused.hasSense);
  EXPECT_EQ(refused.sense[0], 0x70);
  EXPECT_EQ(refused.sense[2], kIllegalRequest);
  EXPECT_EQ(refused.sense[7], 10);
  EXPECT_EQ(refused.sense[12], 0x24);
}

TEST(DriveCore, ShortAllocationAndUnknownCommands) {
  Drive drive(DriveProfile::ReleaseDrive());
  EXPECT_EQ(drive.Execute(Cdb({0x12, 0, 0, 0, 36, 0}, Direction::kIn, 96)).data.size(), 36u);
  EXPECT_EQ(drive.Execute(Cdb({0x12, 1, 0x80, 0, 36, 0})).sense[12], 0x24);  // EVPD
  EXPECT_EQ(drive.Execute(Cdb({0xA8, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0})).sense[12], 0x20);
  EXPECT_EQ(drive.history().size(), 3u);
}

TEST(DriveCore, TextsLongerThanTheirFieldAreRefused) {
  DriveProfile profile = DriveProfile::ReleaseDrive();
  profile.vendor = "TOO LONG VENDOR";
  EXPECT_THROW(Drive{profile}, std::invalid_argument);
}

TEST(DriveCore, DiscStateAnswersTestUnitReady) {
  struct Case {
    const char* name;
    bool disc;
    std::vector<std::vector<uint8_t>> before;  // START STOP UNIT CDBs first
    uint8_t key, asc, ascq;                    // key 0: GOOD
  };
  const Case cases[] = {
      {"no disc", false, {}, kNotReady, 0x3A, 0x00},
      {"disc, spinning", true, {}, 0, 0, 0},
      {"disc, stopped", true, {{0x1B, 0, 0, 0, 0x00, 0}}, kNotReady, 0x04, 0x02},
      {"disc, stopped and started", true, {{0x1B, 0, 0, 0, 0, 0}, {0x1B, 0, 0, 0, 1, 0}}, 0, 0, 0},
      {"disc ejected", true, {{0x1B, 0, 0, 0, 0x02, 0}}, kNotReady, 0x3A, 0x00},
  };
  for (const Case& c : cases) {
    DriveProfile profile = DriveProfile::ReleaseDrive();
    profile.discLoaded = c.disc;
    Drive drive(profile);
    for (const auto& cdb : c.before) drive.Execute(Cdb(cdb));
    const Reply r = drive.Execute(kTestUnitReady);
    if (c.key == 0) {
      EXPECT_EQ(r.status, kStatusGood) << c.name;
    } else {
      EXPECT_EQ(r.status, kStatusCheckCondition) << c.name;
      EXPECT_EQ(r.sense[2], c.key) << c.name;
      EXPECT_EQ(r.sense[12], c.asc) << c.name;
      EXPECT_EQ(r.sense[13], c.ascq) << c.name;
    }
  }
}

TEST(DriveCore, UnitAttentionIsReportedOnceButNotToInquiry) {
  Drive drive(DriveProfile::ReleaseDrive());
  drive.unitAttention = true;
  EXPECT_EQ(drive.Execute(kInquiry).status, kStatusGood);
  const Reply first = drive.Execute(kTestUnitReady);
  EXPECT_EQ(first.sense[2], kUnitAttention);
  EXPECT_EQ(first.sense[12], 0x29);
  EXPECT_EQ(drive.Execute(kTestUnitReady).sense[12], 0x3A);  // then the real state
}

// A family sees every command first and keeps its own state.
class CountingFamily : public FamilyBehaviour {
 public:
  bool Execute(Drive& drive, const Command& c, Reply& reply) override {
    if (c.opcode() != kOpWriteBuffer || c.bufferMode() != 4) return false;
    ++kernelEntries;
    drive.inquiry[32] = '0';  // the drive now shows its kernel revision
    reply.durationUs = 40000;
    return true;
  }
  int kernelEntries = 0;
};

TEST(DriveCore, AFamilyAddsCommandsWithoutTheCoreKnowingThem) {
  Drive drive(DriveProfile::ReleaseDrive());
  auto family = std::make_unique<CountingFamily>();
  CountingFamily* f = family.get();
  drive.SetFamily(std::move(family));
  const Reply r = drive.Execute(Cdb({0x3B, 4, 0xFF, 0, 0, 0, 0, 1, 0, 0}, Direction::kOut, 256));
  EXPECT_EQ(r.status, kStatusGood);
  EXPECT_EQ(r.durationUs, 40000u);
  EXPECT_EQ(f->kernelEntries, 1);
  EXPECT_EQ(drive.Execute(kInquiry).data[32], '0');
  // What the family leaves alone the core answers.
  EXPECT_EQ(drive.Execute(Cdb({0x3B, 5, 0xFF, 0, 0, 0, 0, 1, 0, 0})).sense[2], kIllegalRequest);
}

TEST(Faults, RulesPickCommandsByNumberOpcodeModeAndBuffer) {
  FaultRule third;
  third.nth = 3;
  third.senseKey = kMediumError;
  FaultRule vendorRead;
  vendorRead.opcode = kOpReadBuffer;
  vendorRead.mode = 2;
  vendorRead.bufferId = 0xF1;
  vendorRead.senseKey = kIllegalRequest;
  vendorRead.asc = 0x24;
  auto drive = MakeDrive(DriveProfile::ReleaseDrive());
  FaultInjector faulty(drive, {third, vendorRead});

  EXPECT_EQ(faulty.Execute(kInquiry).status, kStatusGood);               // 1
  EXPECT_EQ(faulty.Execute(kVendorIdentity).sense[2], kIllegalRequest);  // 2
  EXPECT_EQ(faulty.Execute(kInquiry).sense[2], kMediumError);            // 3
  EXPECT_EQ(faulty.Execute(kVendorIdentity).sense[12], 0x24);            // 4: every time
  EXPECT_EQ(faulty.Execute(Cdb({0x3C, 2, 0xF2, 0, 0, 0, 0, 4, 0, 0})).sense[12], 0x24);  // the core
  EXPECT_EQ(faulty.injected().failed, 3u);
  // Failed commands never reached the drive.
  EXPECT_EQ(drive->history().size(), 2u);
}

TEST(Faults, HangAndDisappear) {
  FaultRule hang;
  hang.opcode = kOpTestUnitReady;
  hang.times = 1;
  hang.action = FaultAction::kHang;
  FaultRule gone;
  gone.nth = 4;
  gone.action = FaultAction::kDisappear;
  FaultInjector faulty(MakeDrive(DriveProfile::ReleaseDrive()), {hang, gone});
  EXPECT_EQ(faulty.Execute(kTestUnitReady).outcome, Outcome::kNeverCompletes);
  EXPECT_EQ(faulty.Execute(kTestUnitReady).outcome, Outcome::kCompleted);  // once only
  EXPECT_TRUE(faulty.Present());
  EXPECT_EQ(faulty.Execute(kInquiry).outcome, Outcome::kCompleted);
  EXPECT_EQ(faulty.Execute(kInquiry).outcome, Outcome::kDeviceGone);
  EXPECT_FALSE(faulty.Present());
  EXPECT_EQ(faulty.Execute(kInquiry).outcome, Outcome::kDeviceGone);
  EXPECT_EQ(faulty.injected().hung, 1u);
  EXPECT_EQ(faulty.injected().disappeared, 1u);
}

// A drive that keeps what WRITE BUFFER sends it.
class Recorder : public FamilyBehaviour {
 public:
  bool Execute(Drive&, const Command& c, Reply& reply) override {
    if (c.opcode() != kOpWriteBuffer) return false;
    received.push_back(c.dataOut);
    reply = Reply::Good();
    return true;
  }
  std::vector<std::vector<uint8_t>> received;
};

TEST(Faults, TransportErrorsAndLies) {
  FaultRule below;
  below.nth = 1;
  below.action = FaultAction::kTransportError;
  FaultRule dropRead;
  dropRead.nth = 2;
  dropRead.action = FaultAction::kLieDrop;
  FaultRule zeroRead;
  zeroRead.nth = 3;
  zeroRead.action = FaultAction::kLieZero;
  FaultRule dropWrite;
  dropWrite.nth = 4;
  dropWrite.action = FaultAction::kLieDrop;
  FaultRule zeroWrite;
  zeroWrite.nth = 5;
  zeroWrite.action = FaultAction::kLieZero;
  FaultRule zeroNoData;
  zeroNoData.nth = 6;
  zeroNoData.action = FaultAction::kLieZero;
  auto drive = MakeDrive(DriveProfile::ReleaseDrive());
  auto recorder = std::make_unique<Recorder>();
  Recorder* r = recorder.get();
  drive->SetFamily(std::move(recorder));
  FaultInjector faulty(drive, {below, dropRead, zeroRead, dropWrite, zeroWrite, zeroNoData});

  EXPECT_EQ(faulty.Execute(kInquiry).outcome, Outcome::kTransportError);  // 1
  const Reply dropped = faulty.Execute(kInquiry);                         // 2
  EXPECT_EQ(dropped.status, kStatusGood);
  EXPECT_TRUE(dropped.data.empty());
  const Reply zeroed = faulty.Execute(kInquiry);  // 3
  EXPECT_EQ(zeroed.status, kStatusGood);
  EXPECT_EQ(zeroed.data, std::vector<uint8_t>(96, 0));
  Command write = Cdb({0x3B, 7, 0xF0, 0, 0, 0, 0, 0, 4, 0}, Direction::kOut, 4);
  write.dataOut = {1, 2, 3, 4};
  EXPECT_EQ(faulty.Execute(write).status, kStatusGood);       // 4: never reaches the drive
  EXPECT_EQ(faulty.Execute(write).status, kStatusGood);       // 5: arrives as zeros
  EXPECT_EQ(faulty.Execute(kTestUnitReady).sense[12], 0x3A);  // 6: nothing to zero
  EXPECT_EQ(faulty.Execute(write).status, kStatusGood);       // 7: as sent
  ASSERT_EQ(r->received.size(), 2u);
  EXPECT_EQ(r->received[0], std::vector<uint8_t>(4, 0));
  EXPECT_EQ(r->received[1], write.dataOut);
  EXPECT_EQ(faulty.injected().transportErrors, 1u);
  EXPECT_EQ(faulty.injected().lies, 4u);
  EXPECT_EQ(faulty.injected().total(), 5u);
  // The transport error and the dropped commands never reached the drive.
  EXPECT_EQ(drive->history().size(), 4u);
}

TEST(Faults, TheSameSeedGivesTheSameFaults) {
  auto pattern = [](uint64_t seed) {
    FaultRule sometimes;
    sometimes.probability = 0.3;
    FaultInjector faulty(MakeDrive(DriveProfile::ReleaseDrive()), {sometimes}, seed);
    std::string hits;
    for (int i = 0; i < 64; ++i) hits += faulty.Execute(kInquiry).status == kStatusGood ? '.' : 'x';
    return hits;
  };
  EXPECT_EQ(pattern(42), pattern(42));
  EXPECT_NE(pattern(42), pattern(43));
  const std::string p = pattern(7);
  const auto failures = std::count(p.begin(), p.end(), 'x');
  EXPECT_GT(failures, 5);
  EXPECT_LT(failures, 40);
}

}  // namespace
}  // namespace oddfw::sim::drive
