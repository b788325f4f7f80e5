// The command transport on simulated hosts: both paths with every result
// code, sense data, time limits, asynchronous submission and the handling of
// requests the ASPI layer still owns.

#include "transport/transport.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "host_fixture.h"

namespace oddfw {
namespace {

using sim::drive::DriveProfile;
using sim::drive::FaultRule;
using testing::FailRule;
using testing::FaultyDrive;
using testing::HangRule;
using testing::HostOptions;
using testing::HostRun;
using testing::TransportErrorRule;
using testing::Win98Host;

// A WRITE BUFFER the drive accepts, so the polled path can succeed.
class AcceptsWrites : public sim::drive::FamilyBehaviour {
 public:
  bool Execute(sim::drive::Drive&, const sim::drive::Command& c,
               sim::drive::Reply& reply) override {
    if (c.opcode() != sim::drive::kOpWriteBuffer) return false;
    received += c.dataOut.size();
    reply = sim::drive::Reply::Good();
    reply.durationUs = timeUs;
    return true;
  }
  uint64_t timeUs = 3200000;
  std::size_t received = 0;
};

std::shared_ptr<sim::drive::Drive> WritableDrive(AcceptsWrites** family) {
  auto drive = sim::drive::MakeDrive(DriveProfile::ReleaseDrive());
  auto f = std::make_unique<AcceptsWrites>();
  *family = f.get();
  drive->SetFamily(std::move(f));
  return drive;
}

// A drive of the release with a disc loaded: TEST UNIT READY answers GOOD.
DriveProfile Loaded() {
  DriveProfile s = DriveProfile::ReleaseDrive();
  s.discLoaded = true;
  return s;
}

uint64_t NowMs(HostRun& h) {
  return h.host().clock().NowUs() / 1000;
}

TEST(Transport, TargetIndexOutOfRangeTouchesNoDevice) {
  for (const char* windows : {"xp", "98"}) {
    sim::SimOptions o = HostOptions(windows);
    o.InstallAspi({"ESDI_506"});
    o.AddDriveAtLetter('E', DriveProfile::ReleaseDrive());
    o.AddDriveAtAdapter(0, 0, DriveProfile::ReleaseDrive());
    HostRun h(o);
    h.AddLetter('E');
    h.AddAddress(0, 0);
    for (const int32_t index : {2, -1, 256}) {
      EXPECT_EQ(ExecuteScsiRequest(h.run(), testing::TestUnitReady(index)), -1) << windows;
    }
    EXPECT_TRUE(h.host().commands().empty()) << windows;
    EXPECT_EQ(h.host().openDeviceHandles(), 0u) << windows;
    EXPECT_EQ(h.host().openEvents(), 0u) << windows;
  }
}

TEST(Transport, PassThroughTimeOutValueInSeconds) {
  struct Case {
    int32_t timeoutMs;
    uint32_t seconds;
  };
  const Case cases[] = {{0, 60}, {60000, 60}, {80000, 80}, {999, 0}, {1000, 1}, {180000, 180}};
  for (const Case& c : cases) {
    sim::SimOptions o = HostOptions("xp");
    o.AddDriveAtLetter('E', DriveProfile::ReleaseDrive());
    HostRun h(o);
    h.AddLetter('E');
    ExecuteScsiRequest(h.run(), testing::TestUnitReady(0, c.timeoutMs));
    ASSERT_EQ(h.host().commands().size(), 1u);
    EXPECT_EQ(h.host().commands()[0].timeoutS, c.seconds) << c.timeoutMs;
  }
}

TEST(Transport, PassThroughResultsAndSense) {
  struct Case {
    const char* name;
    FaultRule rule;
    int32_t result;
    uint8_t rawSense2;  // rawSense byte 2 after the command (0xEE: left as it was)
  };
  FaultRule noSense = FailRule(0x00, 2, 0x3A, 0);
  noSense.hasSense = false;
  FaultRule busy = FailRule(0x00, 0, 0, 0);
  busy.status = sim::drive::kStatusBusy;
  busy.hasSense = false;
  const Case cases[] = {
      {"good", FailRule(0x3C, 5, 0x24, 0), 0, 0xEE},  // the rule hits another command
      {"check condition", FailRule(0x00, 2, 0x3A, 0), 2, 0x02},
      {"check condition without sense", noSense, 2, 0xEE},
      {"busy", busy, 2, 0xEE},
  };
  for (const Case& c : cases) {
    sim::SimOptions o = HostOptions("xp");
    o.AttachAtLetter('E', FaultyDrive({c.rule}, Loaded()));
    HostRun h(o);
    h.AddLetter('E');
    SenseInfo& s = h.run().transport.sense;
    std::memset(s.rawSense, 0xEE, sizeof s.rawSense);
    s.senseCode = 0x123456;
    EXPECT_EQ(ExecuteScsiRequest(h.run(), testing::TestUnitReady(0)), c.result) << c.name;
    EXPECT_EQ(s.rawSense[2], c.rawSense2) << c.name;
    // senseCode changes only when FetchSense is called.
    EXPECT_EQ(s.senseCode, 0x123456u) << c.name;
    if (c.rawSense2 == 0x02) {
      FetchSense(h.run());
      EXPECT_EQ(s.senseCode, 0x023A00u) << c.name;
    }
  }
}

TEST(Transport, SenseIsNeverCopiedPastRawSense) {
  for (const uint8_t reported : {uint8_t{32}, uint8_t{255}}) {
    sim::SimOptions o = HostOptions("xp");
    o.AttachAtLetter('E', FaultyDrive({FailRule(0x00, 0x02, 0x04, 0x01)})).reportedSenseLength =
        reported;
    HostRun h(o);
    h.AddLetter('E');
    SenseInfo& s = h.run().transport.sense;
    s.senseCode = 0xABCDEF;  // lies right after rawSense
    EXPECT_EQ(ExecuteScsiRequest(h.run(), testing::TestUnitReady(0)), 2);
    EXPECT_EQ(s.senseCode, 0xABCDEFu) << int{reported};
    EXPECT_EQ(s.rawSense[0], 0x70);
    EXPECT_EQ(s.rawSense[13], 0x01);
    FetchSense(h.run());
    EXPECT_EQ(s.senseCode, 0x020401u) << int{reported};
  }
}

TEST(Transport, APassThroughCallThatFailsAsAWholeIsAFailure) {
  struct Case {
    const char* name;
    uint32_t ioctlError;
    std::vector<FaultRule> rules;
    int32_t result;
  };
  FaultRule gone;
  gone.nth = 1;
  gone.action = sim::drive::FaultAction::kDisappear;
  const Case cases[] = {
      {"no access rights", platform::kErrorAccessDenied, {}, -1},
      {"the device vanishes during the command", 0, {gone}, -1},
      {"the drive never answers: the driver gives up", 0, {HangRule(0x00)}, -1},
      {"the request fails below the drive", 0, {TransportErrorRule(0x00)}, -1},
  };
  for (const Case& c : cases) {
    sim::SimOptions o = HostOptions("xp");
    o.AttachAtLetter('E', FaultyDrive(c.rules)).ioctlError = c.ioctlError;
    HostRun h(o);
    h.AddLetter('E');
    std::memset(h.run().transport.sense.rawSense, 0xEE, 18);
    EXPECT_EQ(ExecuteScsiRequest(h.run(), testing::TestUnitReady(0, 10000)), c.result) << c.name;
    EXPECT_EQ(h.run().transport.sense.rawSense[2], 0xEE) << c.name;
    FetchSense(h.run());  // nothing came back: rawSense stays
    EXPECT_EQ(h.run().transport.sense.rawSense[2], 0xEE) << c.name;
  }
}

TEST(Transport, PassThroughOpenFailureAndVanishedDevice) {
  FaultRule gone;
  gone.nth = 2;
  gone.action = sim::drive::FaultAction::kDisappear;
  sim::SimOptions o = HostOptions("xp");
  o.AttachAtLetter('E', FaultyDrive({gone}));
  HostRun h(o);
  h.AddLetter('E');
  h.AddLetter('G');  // nothing there
  EXPECT_EQ(ExecuteScsiRequest(h.run(), testing::TestUnitReady(1)), -2);
  EXPECT_EQ(ExecuteScsiRequest(h.run(), testing::TestUnitReady(0)), 2);   // no disc
  EXPECT_EQ(ExecuteScsiRequest(h.run(), testing::TestUnitReady(0)), -1);  // gone meanwhile
  EXPECT_EQ(ExecuteScsiRequest(h.run(), testing::TestUnitReady(0)), -2);  // no longer opens
}

TEST(Transport, EachCommandReplacesTheDeviceHandle) {
  sim::SimOptions o = HostOptions("xp");
  o.AddDriveAtLetter('D', DriveProfile::OtherMaker());
  o.AddDriveAtLetter('E', DriveProfile::ReleaseDrive());
  HostRun h(o);
  h.AddLetter('D');
  h.AddLetter('E');
  h.run().host.ieee1394Adapter = 3;
  for (int i = 0; i < 10; ++i) ExecuteScsiRequest(h.run(), testing::TestUnitReady(i % 2));
  EXPECT_EQ(h.run().host.ieee1394Adapter, -1);  // every open resets it
  EXPECT_EQ(h.host().openDeviceHandles(), 1u);
  // The newest handle is the drive the last command addressed.
  ASSERT_EQ(InquireCurrentTarget(h.run()), 0);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(h.run().detection.workBuffer) + 8, 24),
            "QUORVEN BD-RW   MHT-860 ");
  ExecuteScsiRequest(h.run(), testing::TestUnitReady(0));
  ASSERT_EQ(InquireCurrentTarget(h.run()), 0);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(h.run().detection.workBuffer) + 8, 7), "VARNOK ");
  EXPECT_EQ(std::string(h.run().transport.devicePath), "\\\\.\\D:");
  ReleaseHostEnvironment(h.run());
  EXPECT_EQ(h.host().openDeviceHandles(), 0u);
  EXPECT_TRUE(h.host().misuse().empty());
}

TEST(Transport, AspiCompletionAndSense) {
  struct Case {
    const char* name;
    std::vector<std::string> adapters;
    FaultRule rule;
    bool readBuffer;  // else TEST UNIT READY
    int32_t result;
    uint32_t senseCode;
  };
  FaultRule noSense = FailRule(0x00, 2, 0x3A, 0);
  noSense.hasSense = false;
  const Case cases[] = {
      {"good", {"ESDI_506"}, FailRule(0x1B, 5, 0x24, 0), true, 0, 0x999999},
      {"error with sense", {"ESDI_506"}, FailRule(0x3C, 0x05, 0x24, 0x00), true, -1, 0x052400},
      {"error without sense", {"ESDI_506"}, noSense, false, -1, 0},
      {"Intel: a NOT READY READ BUFFER is excused",
       {"intelata"},
       FailRule(0x3C, 0x02, 0x04, 0x01),
       true,
       0,
       0x020401},
      {"Intel: a NOT READY TEST UNIT READY is not",
       {"intelata"},
       FailRule(0x00, 0x02, 0x04, 0x01),
       false,
       -1,
       0x020401},
      {"Intel: another sense key is not",
       {"intelata"},
       FailRule(0x3C, 0x03, 0x11, 0x00),
       true,
       -1,
       0x031100},
  };
  for (const Case& c : cases) {
    sim::SimOptions o = Win98Host(c.adapters);
    o.AttachAtAdapter(0, 1, FaultyDrive({c.rule}));
    HostRun h(o);
    h.AddAddress(0, 1);
    h.run().transport.sense.senseCode = 0x999999;
    uint8_t data[48] = {};
    const ScsiRequest q =
        c.readBuffer ? testing::ReadVendorIdentity(0, data) : testing::TestUnitReady(0);
    EXPECT_EQ(ExecuteScsiRequest(h.run(), q), c.result) << c.name;
    EXPECT_EQ(h.run().transport.sense.senseCode, c.senseCode) << c.name;
    if (c.result == 0 && c.senseCode == 0x999999) {
      EXPECT_EQ(std::string(reinterpret_cast<char*>(data) + 24, 8), "GENERAL ") << c.name;
    }
    EXPECT_EQ(h.run().transport.aspiAdapter, 0) << c.name;
    EXPECT_EQ(h.run().transport.aspiTarget, 1) << c.name;
    EXPECT_EQ(h.host().commands().at(0).notify, "event") << c.name;
    EXPECT_EQ(h.host().openEvents(), 0u) << c.name;
  }
}

TEST(Transport, AspiRequestFailingBelowTheDriveOrLying) {
  sim::SimOptions o = Win98Host({"ESDI_506"});
  FaultRule drop;
  drop.nth = 2;
  drop.action = sim::drive::FaultAction::kLieDrop;
  FaultRule zero;
  zero.nth = 3;
  zero.action = sim::drive::FaultAction::kLieZero;
  o.AttachAtAdapter(0, 0, FaultyDrive({TransportErrorRule(0x12), drop, zero}));
  HostRun h(o);
  h.AddAddress(0, 0);
  h.run().transport.sense.senseCode = 0x999999;
  uint8_t data[96];
  std::memset(data, 0xEE, sizeof data);
  // An error status without sense data: -1, and the empty sense decoded.
  EXPECT_EQ(ExecuteScsiRequest(h.run(), testing::Inquiry(0, data)), -1);
  EXPECT_EQ(h.run().transport.sense.senseCode, 0u);
  EXPECT_EQ(h.host().commands().back().result, "transport-error");
  // A lie: success, and the data never arrive ...
  EXPECT_EQ(ExecuteScsiRequest(h.run(), testing::Inquiry(0, data)), 0);
  EXPECT_EQ(data[8], 0xEE);
  // ... or arrive as zeros.
  EXPECT_EQ(ExecuteScsiRequest(h.run(), testing::Inquiry(0, data)), 0);
  EXPECT_EQ(data[8], 0);
}

TEST(Transport, AspiEventWaits) {
  struct Case {
    const char* name;
    int32_t timeoutMs;
    int32_t oemClass;
    uint64_t driveMs;
    int32_t result;
    uint64_t returnsAtMs;
  };
  const Case cases[] = {
      {"done within the limit", 5000, 0, 3000, 0, 3000},
      {"limit passes first", 1000, 0, 3000, -2, 1000},
      {"no limit", 0, 0, 400000, 0, 400000},
      {"OEM class 0x300 waits without limit", 1000, 0x300, 3000, 0, 3000},
  };
  for (const Case& c : cases) {
    auto drive = sim::drive::MakeDrive(Loaded());
    drive->SetCommandTime(0x00, c.driveMs * 1000);
    sim::SimOptions o = Win98Host({"ESDI_506"});
    o.AttachAtAdapter(0, 0, drive);
    HostRun h(o);
    h.AddAddress(0, 0);
    h.run().host.oemClass = c.oemClass;
    EXPECT_EQ(ExecuteScsiRequest(h.run(), testing::TestUnitReady(0, c.timeoutMs)), c.result)
        << c.name;
    EXPECT_EQ(NowMs(h), c.returnsAtMs) << c.name;
  }
}

// A wait ASPI leaves without limit ends after ten minutes as a time-out:
// event-notify and polled commands without a time limit, every command of
// OEM class 0x300, and the discovery probes.
TEST(Transport, AWaitWithoutLimitForANeverAnsweringDriveEndsAfterTenMinutes) {
  struct Case {
    const char* name;
    std::vector<std::string> adapters;
    int32_t oemClass;
    int32_t timeoutMs;
    int32_t result;
  };
  const Case cases[] = {
      {"event, no time limit", {"ESDI_506"}, 0, 0, -2},
      {"event, OEM class 0x300", {"ESDI_506"}, 0x300, 5000, -2},
      {"polled, no time limit", {"ntmaphlp"}, 0, 0, -1},  // the IEEE1394 mapper adapter
  };
  for (const Case& c : cases) {
    sim::SimOptions o = Win98Host(c.adapters);
    o.AttachAtAdapter(0, 0, FaultyDrive({HangRule(0x3B)}));
    HostRun h(o);
    h.AddAddress(0, 0);
    h.run().host.oemClass = c.oemClass;
    EXPECT_EQ(
        ExecuteScsiRequest(h.run(), testing::WriteBuffer(0, 1, 0x30, nullptr, 0, c.timeoutMs)),
        c.result)
        << c.name;
    EXPECT_GE(NowMs(h), 600000u) << c.name;
    EXPECT_LE(NowMs(h), 601000u) << c.name;
  }
  sim::SimOptions o = Win98Host({"ESDI_506"});
  o.AttachAtAdapter(0, 0, FaultyDrive({HangRule(0x12)}));
  HostRun h(o);
  EXPECT_EQ(InquireByAddress(h.run(), 0, 0), -1);
  EXPECT_GE(NowMs(h), 600000u);
}

TEST(Transport, PolledModeForTheMapperAndModel1003) {
  struct Case {
    const char* name;
    std::vector<std::string> adapters;
    int32_t modelCode;
    uint8_t opcode;
    uint8_t mode;
    const char* notify;
  };
  const Case cases[] = {
      {"WRITE BUFFER to the mapper", {"ntmaphlp"}, 0x4004, 0x3B, 7, "poll"},
      {"READ BUFFER to the mapper", {"ntmaphlp"}, 0x4004, 0x3C, 2, "event"},
      {"WRITE BUFFER elsewhere", {"ESDI_506"}, 0x4004, 0x3B, 7, "event"},
      {"model 0x1003, mode 5", {"ESDI_506"}, 0x1003, 0x3B, 5, "poll"},
      {"model 0x1003, mode 7", {"ESDI_506"}, 0x1003, 0x3B, 7, "event"},
      {"model 0x1004, mode 5", {"ESDI_506"}, 0x1004, 0x3B, 5, "event"},
  };
  for (const Case& c : cases) {
    AcceptsWrites* family = nullptr;
    sim::SimOptions o = Win98Host(c.adapters);
    o.AttachAtAdapter(0, 0, WritableDrive(&family));
    HostRun h(o);
    h.AddAddress(0, 0);
    h.run().definition.active.modelCode = c.modelCode;
    uint8_t data[256] = {};
    const ScsiRequest q = testing::Request(0, {c.opcode, c.mode, 0xF0, 0, 0, 0, 0, 1, 0, 0}, 60000,
                                           c.opcode == 0x3B ? kDataOut : kDataIn, data, 256);
    ExecuteScsiRequest(h.run(), q);
    ASSERT_EQ(h.host().commands().size(), 1u) << c.name;
    EXPECT_EQ(h.host().commands()[0].notify, c.notify) << c.name;
    EXPECT_EQ(h.host().commands()[0].direction,
              c.opcode == 0x3B ? sim::drive::Direction::kOut : sim::drive::Direction::kIn)
        << c.name;
  }
}

TEST(Transport, PolledWaits) {
  struct Case {
    const char* name;
    int32_t timeoutMs;
    bool hang;
    int32_t result;
    uint64_t returnsAtMs;
  };
  const Case cases[] = {
      // elapsed 1500 exceeds 1000 after the third sleep
      {"limit 1000, never completes", 1000, true, -1, 1500},
      {"limit 1500: still polls at 1500", 1500, true, -1, 2000},
      {"no limit: polls until done", 0, false, 0, 3500},
      {"done before the limit", 10000, false, 0, 3500},
  };
  for (const Case& c : cases) {
    AcceptsWrites* family = nullptr;
    sim::SimOptions o = Win98Host({"ntmaphlp"});
    auto drive = WritableDrive(&family);  // answers after 3.2 s
    if (c.hang) {
      o.AttachAtAdapter(0, 0,
                        std::make_shared<sim::drive::FaultInjector>(
                            drive, std::vector<FaultRule>{HangRule(0x3B)}));
    } else {
      o.AttachAtAdapter(0, 0, drive);
    }
    HostRun h(o);
    h.AddAddress(0, 0);
    uint8_t data[16] = {1, 2, 3};
    EXPECT_EQ(ExecuteScsiRequest(h.run(), testing::WriteBuffer(0, 7, 0xF0, data, 16, c.timeoutMs)),
              c.result)
        << c.name;
    EXPECT_EQ(NowMs(h), c.returnsAtMs) << c.name;
    EXPECT_EQ(h.host().openEvents(), 0u) << c.name;
    if (!c.hang) {
      EXPECT_EQ(family->received, 16u) << c.name;
    }
  }
}

TEST(Transport, AsyncSubmission) {
  struct Case {
    const char* name;
    std::vector<FaultRule> rules;
    int32_t finished;
  };
  FaultRule slowFailure = FailRule(0x00, 2, 0x3A, 0);
  slowFailure.durationUs = 2500000;
  const Case cases[] = {{"completes without error", {}, 0},
                        {"completes with an error", {slowFailure}, -1}};
  for (const Case& c : cases) {
    auto drive = sim::drive::MakeDrive(Loaded());
    drive->SetCommandTime(0x00, 2500000);
    sim::SimOptions o = Win98Host({"ESDI_506"});
    o.AttachAtAdapter(0, 0, std::make_shared<sim::drive::FaultInjector>(drive, c.rules));
    HostRun h(o);
    h.AddAddress(0, 0);
    h.run().transport.asyncSubmit = true;
    EXPECT_EQ(ExecuteScsiRequest(h.run(), testing::TestUnitReady(0, 1000)), 0) << c.name;
    EXPECT_EQ(NowMs(h), 0u) << c.name;
    std::vector<int32_t> seen;
    for (int i = 0; i < 4; ++i) {
      seen.push_back(CheckAsyncCompletion(h.run()));
      EXPECT_FALSE(h.run().transport.asyncSubmit) << c.name;
      h.host().clock().Sleep(1000);
    }
    EXPECT_EQ(seen, (std::vector<int32_t>{1, 1, 1, c.finished})) << c.name;
    EXPECT_EQ(CheckAsyncCompletion(h.run()), 1) << c.name;  // nothing in flight any more
    EXPECT_EQ(h.host().openEvents(), 0u) << c.name;
  }
}

TEST(Transport, AsyncSubmissionOfAPolledCommandFinishesAtOnce) {
  AcceptsWrites* family = nullptr;
  sim::SimOptions o = Win98Host({"ntmaphlp"});
  o.AttachAtAdapter(0, 0, WritableDrive(&family));
  HostRun h(o);
  h.AddAddress(0, 0);
  h.run().transport.asyncSubmit = true;
  uint8_t data[16] = {};
  EXPECT_EQ(ExecuteScsiRequest(h.run(), testing::WriteBuffer(0, 7, 0xF0, data, 16, 0)), 0);
  EXPECT_EQ(NowMs(h), 3500u);                   // polled to its end
  EXPECT_EQ(CheckAsyncCompletion(h.run()), 1);  // no event: it keeps saying "running"
  EXPECT_EQ(CheckAsyncCompletion(h.run()), 1);
}

TEST(Transport, ARequestTheLayerStillOwnsKeepsItsBlockAndEvent) {
  struct Case {
    const char* name;
    std::vector<std::string> adapters;
    bool writeBuffer;
    int32_t result;
  };
  const Case cases[] = {
      {"event wait timed out", {"ESDI_506"}, false, -2},
      {"polled wait timed out", {"ntmaphlp"}, true, -1},
  };
  for (const Case& c : cases) {
    AcceptsWrites* family = nullptr;
    auto drive = WritableDrive(&family);
    family->timeUs = 5000000;
    drive->SetCommandTime(0x00, 5000000);
    sim::SimOptions o = Win98Host(c.adapters);
    o.AttachAtAdapter(0, 0, drive);
    HostRun h(o);
    h.AddAddress(0, 0);
    uint8_t data[16] = {};
    const ScsiRequest slow = c.writeBuffer ? testing::WriteBuffer(0, 7, 0xF0, data, 16, 1000)
                                           : testing::TestUnitReady(0, 1000);
    EXPECT_EQ(ExecuteScsiRequest(h.run(), slow), c.result) << c.name;
    EXPECT_EQ(h.host().pendingAspiRequests(), 1u) << c.name;
    const uint32_t slot = h.run().transport.srbSlot;
    // The next command takes another block and completes on its own.
    uint8_t identity[96] = {};
    EXPECT_EQ(ExecuteScsiRequest(h.run(), testing::Inquiry(0, identity, 4000)), 0) << c.name;
    EXPECT_NE(h.run().transport.srbSlot, slot) << c.name;
    EXPECT_EQ(std::string(reinterpret_cast<char*>(identity) + 8, 7), "QUORVEN") << c.name;
    // Once the layer has finished the old request, its block and event are
    // given up at the next command.
    h.host().clock().Sleep(6000);
    EXPECT_EQ(h.host().pendingAspiRequests(), 0u) << c.name;
    EXPECT_EQ(ExecuteScsiRequest(h.run(), testing::Inquiry(0, identity, 4000)), 0) << c.name;
    EXPECT_TRUE(h.run().transport.abandoned.empty()) << c.name;
    EXPECT_EQ(h.host().openEvents(), 0u) << c.name;
    ReleaseHostEnvironment(h.run());
    EXPECT_EQ(h.host().liveMemoryBlocks(), 0u) << c.name;
    EXPECT_TRUE(h.host().misuse().empty()) << c.name << ": " << h.host().misuse().front();
  }
}

TEST(Transport, CleanUpKeepsTheBuffersARunningRequestMayStillWrite) {
  sim::SimOptions o = Win98Host({"ESDI_506"});
  o.AttachAtAdapter(0, 0, FaultyDrive({HangRule(0x00)}));
  HostRun h(o);
  h.AddAddress(0, 0);
  EXPECT_EQ(ExecuteScsiRequest(h.run(), testing::TestUnitReady(0, 1000)), -2);
  ReleaseHostEnvironment(h.run());
  EXPECT_EQ(h.host().liveMemoryBlocks(), 4u);  // work, request block, image, parameter
  EXPECT_EQ(h.host().openEvents(), 1u);        // the layer may still signal it
  EXPECT_TRUE(h.host().misuse().empty());
}

TEST(Transport, AspiProbes) {
  sim::SimOptions o = Win98Host({"ESDI_506"});
  o.AddDriveAtAdapter(0, 1, DriveProfile::ReleaseDrive());
  o.AddDriveAtAdapter(0, 0, DriveProfile::OtherMaker());
  HostRun h(o);
  oddfw::Run& run = h.run();
  EXPECT_EQ(InquireByAddress(run, 0, 1), 0);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(run.detection.workBuffer) + 8, 7), "QUORVEN");
  EXPECT_EQ(ReadVendorIdentityByAddress(run, 0, 1), 0);
  EXPECT_EQ(std::string(run.host.vendorIdentity.signature(), 8), "GENERAL ");
  EXPECT_EQ(InquireByAddress(run, 0, 2), -1);  // no device: rejected at once
  EXPECT_EQ(InquireByAddress(run, 5, 0), -1);  // no such adapter
  run.transport.sense.rawSense[2] = 0x77;
  EXPECT_EQ(ReadVendorIdentityByAddress(run, 0, 0), -1);  // refused, no sense stored
  EXPECT_EQ(run.transport.sense.rawSense[2], 0x77);
  for (const sim::ScsiRecord& c : h.host().commands()) EXPECT_EQ(c.notify, "event");
  // InquireCurrentTarget follows the last ExecuteScsiRequest, not the probes.
  h.AddAddress(0, 1);
  ExecuteScsiRequest(run, testing::TestUnitReady(0));
  std::memset(run.detection.workBuffer, 0, 96);
  EXPECT_EQ(InquireCurrentTarget(run), 0);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(run.detection.workBuffer) + 8, 7), "QUORVEN");
  EXPECT_EQ(h.host().openEvents(), 0u);
}

}  // namespace
}  // namespace oddfw
