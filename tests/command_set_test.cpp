// The command set: the CDB, direction, length and time limit of every
// operation, the shared time limit it leaves behind, the mode-change blocks,
// and the kernel- and normal-mode changes with their waits and failures.

#include "commands/command_set.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "console/catalog.h"
#include "host_fixture.h"

namespace oddfw {
namespace {

using testing::HostRun;

// A device that answers every command with what `answer` says (GOOD when
// unset) and keeps what it was sent.
class ScriptedDevice : public sim::drive::ScsiDevice {
 public:
  sim::drive::Reply Execute(const sim::drive::Command& command) override {
    received.push_back(command);
    sim::drive::Reply r = answer ? answer(command) : sim::drive::Reply::Good();
    if (r.durationUs == 0) r.durationUs = 1000;
    return r;
  }
  std::function<sim::drive::Reply(const sim::drive::Command&)> answer;
  std::vector<sim::drive::Command> received;
};

// A Windows XP host with the scripted device at E: (pass-through), or a
// Windows 98 host with it at ASPI adapter 0, target 0.
struct DeviceRun {
  explicit DeviceRun(bool aspi = false)
      : device(std::make_shared<ScriptedDevice>()), h(Options(device, aspi)) {
    if (aspi) {
      h.AddAddress(0, 0);
    } else {
      h.AddLetter('E');
    }
    h.run().driver.currentTarget = 0;
  }
  static sim::SimOptions Options(const std::shared_ptr<ScriptedDevice>& device, bool aspi) {
    sim::SimOptions o = aspi ? testing::Win98Host({"ESDI_506"}) : testing::HostOptions("xp");
    if (aspi) {
      o.AttachAtAdapter(0, 0, device);
    } else {
      o.AttachAtLetter('E', device);
    }
    return o;
  }
  Run& run() { return h.run(); }
  const sim::ScsiRecord& last() { return h.host().commands().back(); }
  std::string LastCdb() { return sim::drive::HexBytes(last().cdb.data(), last().cdb.size()); }
  uint64_t NowUs() { return h.host().clock().NowUs(); }

  std::shared_ptr<ScriptedDevice> device;
  HostRun h;
};

const char* DirectionName(sim::drive::Direction d) {
  switch (d) {
    case sim::drive::Direction::kIn:
      return "in";
    case sim::drive::Direction::kOut:
      return "out";
    default:
      return "none";
  }
}

TEST(CommandSet, GenericCommands) {
  std::vector<uint8_t> bytes(0x20000);
  uint8_t* buffer = bytes.data();
  struct Case {
    const char* name;
    std::function<int32_t(oddfw::Run&)> call;
    std::string cdb;
    const char* direction;
    uint32_t length;
    uint32_t timeoutS;  // the pass-through record's limit with 7000 ms current
  };
  const Case cases[] = {
      {"TEST UNIT READY", [](oddfw::Run& r) { return TestUnitReady(r, 0); }, "00 00 00 00 00 00",
       "none", 0, 7},
      {"INQUIRY", [&](oddfw::Run& r) { return Inquiry(r, 0, buffer); }, "12 00 00 00 60 00", "in",
       96, 5},
      {"INQUIRY with a mapper adapter",
       [&](oddfw::Run& r) {
         r.host.ieee1394Adapter = 2;
         return Inquiry(r, 0, buffer);
       },
       "12 00 00 00 60 00", "in", 96, 1},
      {"START STOP UNIT load/eject", [](oddfw::Run& r) { return StartStopUnit(r, 0, 0, 0, 1, 0); },
       "1B 00 00 00 02 00", "none", 0, 7},
      {"START STOP UNIT every field", [](oddfw::Run& r) { return StartStopUnit(r, 0, 1, 3, 1, 1); },
       "1B 01 00 00 33 00", "none", 0, 7},
      {"WRITE BUFFER at 0x10000, 0x1200 bytes",
       [&](oddfw::Run& r) { return WriteBuffer(r, 0, 7, 0xF0, 0x10000, 0x1200, buffer); },
       "3B 07 F0 01 00 00 00 12 00 00", "out", 0x1200, 7},
      {"WRITE BUFFER without data",
       [](oddfw::Run& r) { return WriteBuffer(r, 0, 5, 0xFF, 0, 0, nullptr); },
       "3B 05 FF 00 00 00 00 00 00 00", "none", 0, 7},
      {"WRITE BUFFER longer than the CDB's 16 bits",
       [&](oddfw::Run& r) { return WriteBuffer(r, 0, 7, 0xF0, 0xABCDEF, 0x12345, buffer); },
       "3B 07 F0 AB CD EF 00 23 45 00", "out", 0x12345, 7},
      {"READ BUFFER",
       [&](oddfw::Run& r) { return ReadBuffer(r, 0, 2, 0xF1, 0x030201, 48, buffer); },
       "3C 02 F1 03 02 01 00 00 30 00", "in", 48, 7},
      {"READ BUFFER without data, still data in",
       [&](oddfw::Run& r) { return ReadBuffer(r, 0, 1, 0x80, 0, 0, buffer); },
       "3C 01 80 00 00 00 00 00 00 00", "in", 0, 7},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    DeviceRun x;
    x.run().host.commandTimeoutMs = 7000;
    EXPECT_EQ(c.call(x.run()), 0);
    EXPECT_EQ(x.LastCdb(), c.cdb);
    EXPECT_STREQ(DirectionName(x.last().direction), c.direction);
    EXPECT_EQ(x.last().length, c.length);
    EXPECT_EQ(x.last().timeoutS, c.timeoutS);
    EXPECT_EQ(x.run().host.commandTimeoutMs, 7000);
  }
}

TEST(CommandSet, VendorOperations) {
  std::vector<uint8_t> bytes(0x8000);
  uint8_t* buffer = bytes.data();
  struct Case {
    const char* name;
    std::function<int32_t(oddfw::Run&)> call;
    std::string cdb;
    const char* direction;
    uint32_t length;
    bool setsTimeout;  // stores 60000 first; else the 7000 ms in force stays
  };
  const Case cases[] = {
      {"EnterUpdateMode", EnterUpdateMode, "3B 01 30 00 00 00 00 00 00 00", "none", 0, true},
      {"WriteUpdateData",
       [&](oddfw::Run& r) { return WriteUpdateData(r, 0x123456, 0x100, buffer); },
       "3B 01 FF 12 34 56 00 01 00 00", "out", 256, false},
      {"StartReflash", StartReflash, "3B 01 42 00 00 00 00 00 00 00", "none", 0, false},
      {"ReadDriveMemory", [&](oddfw::Run& r) { return ReadDriveMemory(r, 0x20, 16, buffer); },
       "3C 01 80 00 00 20 00 00 10 00", "in", 16, true},
      {"ReadVendorIdentity", ReadVendorIdentity, "3C 02 F1 00 00 00 00 00 30 00", "in", 48, true},
      {"WriteKernelPart",
       [&](oddfw::Run& r) { return WriteKernelPart(r, 0x10000, 0x1200, buffer); },
       "3B 07 FE 01 00 00 00 12 00 00", "out", 0x1200, true},
      {"WriteNormalPart", [&](oddfw::Run& r) { return WriteNormalPart(r, 0x8000, 0x8000, buffer); },
       "3B 07 F0 00 80 00 00 80 00 00", "out", 0x8000, true},
      {"HandshakeProbe", HandshakeProbe, "3B 01 F3 00 00 00 00 00 00 00", "none", 0, false},
      {"ReadChallenge", [&](oddfw::Run& r) { return ReadChallenge(r, buffer); },
       "3C 02 F2 00 00 00 00 04 00 00", "in", 1024, false},
      {"EchoChallenge", [&](oddfw::Run& r) { return EchoChallenge(r, buffer); },
       "3B 01 F2 00 00 00 00 01 00 00", "out", 256, false},
      {"SendChallengeResponse", [&](oddfw::Run& r) { return SendChallengeResponse(r, buffer); },
       "3B 01 F2 00 00 00 00 04 00 00", "out", 1024, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    DeviceRun x;
    x.run().host.commandTimeoutMs = 7000;
    EXPECT_EQ(c.call(x.run()), 0);
    EXPECT_EQ(x.LastCdb(), c.cdb);
    EXPECT_STREQ(DirectionName(x.last().direction), c.direction);
    EXPECT_EQ(x.last().length, c.length);
    EXPECT_EQ(x.last().timeoutS, c.setsTimeout ? 60u : 7u);
    EXPECT_EQ(x.run().host.commandTimeoutMs, c.setsTimeout ? 60000 : 7000);
    EXPECT_TRUE(x.h.host().boxes().empty());
    EXPECT_TRUE(x.h.host().consoleBytes().empty());
  }
}

TEST(CommandSet, StopUnitLeavesNoTimeLimitForWhatFollows) {
  DeviceRun x;
  EXPECT_EQ(StopUnit(x.run()), 0);
  EXPECT_EQ(x.LastCdb(), "1B 00 00 00 00 00");
  EXPECT_EQ(x.run().host.commandTimeoutMs, 0);
  // The pass-through interface turns "no limit" into its 60 s default.
  EXPECT_EQ(TestUnitReady(x.run(), 0), 0);
  EXPECT_EQ(x.last().timeoutS, 60u);
  EXPECT_EQ(x.run().host.commandTimeoutMs, 0);
}

TEST(CommandSet, ModeChangeBlocksByModelCode) {
  struct Case {
    int32_t modelCode;
    const char* kernelName;  // nullptr: the block is all zero
    const char* normalName;
    bool checksum;  // bytes 16-19 carry the release checksum (both blocks)
  };
  const Case cases[] = {
      {0x1003, "QUORVEN KWX-T680", "QUORVEN KWX-T680", false},
      {0x1004, "QUORVEN KWXN-730", "QUORVEN KWXN-730", false},
      {0x1005, "QUORVEN  KWX-740", "QUORVEN  KWX-740", false},
      // the one model whose two blocks name different models
      {0x1041, "QUORVEN  KWX-740", "QUORVEN  KWX-L57", false},
      {0x4004, "QUORVEN  MHT-870", "QUORVEN  MHT-870", true},
      // a name and the checksum only on the way back to normal mode
      {0x4024, nullptr, "QUORVEN  MHT-870", true},
      {0x4001, nullptr, nullptr, false},
      {0x1006, nullptr, nullptr, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.modelCode);
    DeviceRun x;
    x.run().definition.active.checksum = 0x656dc5ae;
    for (const bool kernel : {true, false}) {
      const char* name = kernel ? c.kernelName : c.normalName;
      std::vector<uint8_t> expected(256, 0);
      if (name != nullptr) {
        std::copy(name, name + 16, expected.begin());
        if (c.checksum) {
          expected[16] = 0xAE;
          expected[17] = 0xC5;
          expected[18] = 0x6D;
          expected[19] = 0x65;
        }
      }
      std::vector<uint8_t> block(256, 0xEE);
      BuildModeChangeBlock(x.run(), c.modelCode, kernel, block.data());
      EXPECT_EQ(block, expected) << (kernel ? "kernel" : "normal");
    }
    // What the drive receives is that block.
    x.device->received.clear();
    ASSERT_EQ(EnterKernelMode(x.run(), c.modelCode), 0);
    ASSERT_EQ(EnterNormalMode(x.run(), c.modelCode), 0);
    ASSERT_EQ(x.device->received.size(), 2u);
    std::vector<uint8_t> kernelBlock(256), normalBlock(256);
    BuildModeChangeBlock(x.run(), c.modelCode, true, kernelBlock.data());
    BuildModeChangeBlock(x.run(), c.modelCode, false, normalBlock.data());
    EXPECT_EQ(x.device->received[0].dataOut, kernelBlock);
    EXPECT_EQ(x.device->received[1].dataOut, normalBlock);
    EXPECT_EQ(sim::drive::HexBytes(x.device->received[0].cdb.data(), 10),
              "3B 04 FF 00 00 00 00 01 00 00");
    EXPECT_EQ(sim::drive::HexBytes(x.device->received[1].cdb.data(), 10),
              "3B 05 FF 00 00 00 00 01 00 00");
  }
}

TEST(CommandSet, EnterKernelMode) {
  struct Case {
    const char* name;
    bool fails;
    bool intel;
    bool aspi;
    uint64_t waitUs;  // after the command
  };
  const Case cases[] = {
      {"success waits 2 s", false, false, false, 2'000'000},
      {"Intel driver, pass-through: waits", false, true, false, 2'000'000},
      {"Intel driver through ASPI: no wait", false, true, true, 0},
      {"ASPI without the Intel driver: waits", false, false, true, 2'000'000},
      {"failure", true, false, false, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    DeviceRun x(c.aspi);
    x.device->answer = [&](const sim::drive::Command&) {
      return c.fails ? sim::drive::Reply::Check(5, 0x26, 0) : sim::drive::Reply::Good();
    };
    x.run().host.intelIdeDriver = c.intel ? 1 : 0;
    x.run().host.commandTimeoutMs = 7000;
    EXPECT_EQ(EnterKernelMode(x.run(), 0x4004) == 0, !c.fails);
    EXPECT_EQ(x.LastCdb(), "3B 04 FF 00 00 00 00 01 00 00");
    if (!c.aspi) {
      EXPECT_EQ(x.last().timeoutS, 60u);
    }
    const uint64_t after = x.NowUs() - x.last().endUs;
    EXPECT_GE(after + 1000, c.waitUs);  // whole ticks of the millisecond clock
    EXPECT_LT(after, c.waitUs + 2000);
    EXPECT_EQ(x.h.host().consoleBytes(), c.fails ? MessageTemplate(14, false) : "");
    EXPECT_TRUE(x.h.host().boxes().empty());
    EXPECT_EQ(x.run().host.commandTimeoutMs, 60000);
  }
}

TEST(CommandSet, NormalModeTimeOutRules) {
  struct Case {
    int32_t modelCode;
    bool aspi;
    int32_t mapperAdapter;  // ieee1394Adapter; the target sits on adapter 1
    int32_t timeoutMs;
  };
  const Case cases[] = {
      {0x1005, false, -1, 30000},
      {0x1041, true, 1, 30000},
      {0x1006, false, -1, 180000},
      {0x100F, false, -1, 180000},
      {0x1042, false, -1, 180000},
      {0x1049, false, -1, 180000},
      {0x4004, false, -1, 180000},
      {0x4024, false, -1, 180000},
      {0x4041, false, -1, 180000},
      {0x4061, false, -1, 180000},
      {0x4001, false, -1, 60000},
      {0x4003, false, -1, 60000},
      // the model's own rule comes before the mapper's
      {0x4001, true, 1, 60000},
      {0x1004, true, 1, 10000},
      {0x1004, true, 3, 5000},
      {0x1004, false, 1, 5000},
      {0x1003, true, 3, 10000},
      {0x1003, false, -1, 5000},
      {0x1010, false, -1, 5000},
      {0x104A, false, -1, 5000},
      {0x4005, false, -1, 5000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message()
                 << std::hex << c.modelCode << " aspi " << c.aspi << " mapper " << c.mapperAdapter);
    DeviceRun x;
    x.run().host.aspiMode = c.aspi;
    x.run().host.ieee1394Adapter = c.mapperAdapter;
    x.run().host.targetTable[0].adapter = 1;
    EXPECT_EQ(NormalModeTimeoutMs(x.run(), c.modelCode), c.timeoutMs);
    if (c.aspi) continue;
    // In pass-through mode the record carries it, in seconds.
    ASSERT_EQ(EnterNormalMode(x.run(), c.modelCode), 0);
    EXPECT_EQ(x.last().timeoutS, static_cast<uint32_t>(c.timeoutMs / 1000));
    EXPECT_EQ(x.run().host.commandTimeoutMs, 60000);
  }
}

TEST(CommandSet, NormalModeFailuresThatCountAsSuccess) {
  struct Case {
    const char* name;
    bool fails;
    uint8_t senseKey;
    bool aspi;
    int32_t mapperAdapter;
    int32_t oemClass;
    bool forgiven;    // result 0, no message, the 5 s wait
    bool readyCheck;  // a TEST UNIT READY after the wait
  };
  const Case cases[] = {
      {"success", false, 0, false, -1, 0x100, true, false},
      {"success, SCSI OEM class", false, 0, false, -1, 0x300, true, true},
      {"failure", true, 4, false, -1, 0x100, false, false},
      {"failure, SCSI OEM class, pass-through", true, 4, false, -1, 0x300, true, true},
      {"failure, SCSI OEM class, ASPI", true, 4, true, -1, 0x300, false, false},
      {"NOT READY behind the mapper", true, 2, true, 3, 0x100, true, false},
      {"UNIT ATTENTION behind the mapper", true, 6, true, 3, 0x100, true, false},
      {"UNIT ATTENTION without a mapper", true, 6, true, -1, 0x100, false, false},
      {"HARDWARE ERROR behind the mapper", true, 4, true, 3, 0x100, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    DeviceRun x(c.aspi);
    std::shared_ptr<ScriptedDevice>& device = x.device;
    device->answer = [&](const sim::drive::Command& command) {
      if (c.fails && command.opcode() == 0x3B) return sim::drive::Reply::Check(c.senseKey, 0x29, 0);
      return sim::drive::Reply::Good();
    };
    HostRun& h = x.h;
    h.run().host.ieee1394Adapter = c.mapperAdapter;
    h.run().host.oemClass = c.oemClass;
    const int32_t result = EnterNormalMode(h.run(), 0x4004);
    EXPECT_EQ(result == 0, c.forgiven);
    EXPECT_EQ(h.host().consoleBytes(), c.forgiven ? "" : MessageTemplate(15, false));
    ASSERT_FALSE(device->received.empty());
    const sim::drive::Command& command = device->received.front();
    const sim::drive::Command& last = device->received.back();
    EXPECT_EQ(device->received.size(), c.readyCheck ? 2u : 1u);
    EXPECT_EQ(last.opcode(), c.readyCheck ? 0x00 : 0x3B);
    EXPECT_GE(last.timeUs - command.timeUs, c.readyCheck ? 5'000'000u : 0u);
    // The 5 s wait follows a success or a forgiven failure only.
    const uint64_t since = h.host().clock().NowUs() - command.timeUs;
    EXPECT_EQ(since >= 5'000'000, c.forgiven) << since;
    EXPECT_EQ(h.run().host.commandTimeoutMs, 60000);
  }
}

}  // namespace
}  // namespace oddfw
