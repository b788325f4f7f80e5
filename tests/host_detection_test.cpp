// Host detection on simulated hosts: the interface per Windows version, the
// Intel IDE driver, the ASPI set-up, the IEEE1394 mapper and its
// AutoInsertNotification walk, and the release of everything at exit.

#include "discovery/host_detection.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "app/driver.h"
#include "console/catalog.h"
#include "discovery/discovery.h"
#include "host_fixture.h"

namespace oddfw {
namespace {

using platform::RegistryRoot;
using testing::HostOptions;
using testing::SimRun;
using testing::Win98Host;

const std::string kIntelMessage = "\r\nDetect the Intel's IDE driver.";
const std::string kMapperMessage = "\r\nDetect the IEEE1394 interface.";

int Count(const std::string& text, const std::string& what) {
  int n = 0;
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

TEST(HostDetection, ChoosesTheInterfaceByWindowsVersion) {
  struct Case {
    const char* name;
    platform::OsVersion version;
    bool aspi;
  };
  auto v = [](uint32_t platformId, uint32_t major, uint32_t minor) {
    platform::OsVersion o;
    o.platformId = platformId;
    o.majorVersion = major;
    o.minorVersion = minor;
    return o;
  };
  const Case cases[] = {
      {"Windows 95", sim::WindowsVersion("95"), true},
      {"Windows 98", sim::WindowsVersion("98"), true},
      {"Windows Me", sim::WindowsVersion("me"), true},
      {"NT 4", sim::WindowsVersion("nt4"), false},
      {"Windows 2000", sim::WindowsVersion("2000"), false},
      {"Windows XP", sim::WindowsVersion("xp"), false},
      {"Server 2003", sim::WindowsVersion("2003"), false},
      {"Vista", sim::WindowsVersion("vista"), false},
      {"platform 1, minor 5", v(1, 4, 5), false},
      {"NT 3.51", v(2, 3, 51), false},
      {"Win32s", v(0, 3, 10), false},
  };
  for (const Case& c : cases) {
    sim::SimOptions o;
    o.osVersion = c.version;
    SimRun r(o);
    DetectHostEnvironment(r.run);
    EXPECT_EQ(r.run.host.aspiMode, c.aspi) << c.name;
    EXPECT_EQ(r.run.host.commandTimeoutMs, 60000) << c.name;
    // The ASPI set-up allocates its four 2 MiB blocks before it looks for the
    // layer; the pass-through set-up an 8 MiB image buffer.
    EXPECT_EQ(r.run.image.firmware.capacity, c.aspi ? 0x200000 : 0x800000) << c.name;
    EXPECT_EQ(r.run.detection.srbBuffer != nullptr, c.aspi) << c.name;
    ReleaseHostEnvironment(r.run);
    EXPECT_EQ(r.host.liveMemoryBlocks(), 0u) << c.name;
  }
}

TEST(HostDetection, IntelKeysOnThePassThroughHost) {
  const char* accelerator = "SOFTWARE\\INTEL\\Intel Application Accelerator";
  const char* ultraAta = "SOFTWARE\\Intel\\Intel Ultra ATA Storage Driver";  // any case
  struct Case {
    const char* name;
    std::vector<const char*> keys;
    int messages;
    int32_t intel;
  };
  const Case cases[] = {
      {"no keys", {}, 0, 0},
      {"Application Accelerator only", {accelerator}, 1, 0},
      {"Ultra ATA only", {ultraAta}, 1, 1},
      {"both", {accelerator, ultraAta}, 2, 1},
      {"a neighbour key", {"SOFTWARE\\INTEL\\Intel Matrix Storage"}, 0, 0},
  };
  for (const Case& c : cases) {
    sim::SimOptions o = HostOptions("xp");
    for (const char* key : c.keys) o.registry.AddKey(RegistryRoot::LocalMachine, key);
    SimRun r(o);
    EXPECT_EQ(DetectHostEnvironment(r.run), 0) << c.name;
    EXPECT_EQ(Count(r.host.consoleBytes(), kIntelMessage), c.messages) << c.name;
    EXPECT_EQ(r.host.consoleBytes().size(), c.messages * kIntelMessage.size()) << c.name;
    EXPECT_EQ(r.run.host.intelIdeDriver, c.intel) << c.name;
    EXPECT_EQ(r.host.openRegistryKeys(), 0u) << c.name;
  }
}

TEST(HostDetection, AspiSetUpFailures) {
  struct Case {
    const char* name;
    bool installed;
    bool failedInit;
    int adapters;
    int32_t result;
  };
  const Case cases[] = {
      {"no WNASPI32.DLL", false, false, 2, 1},
      {"failed initialisation with 3 adapters", true, true, 3, 2},
      {"no host adapters", true, false, 0, 3},
  };
  for (const Case& c : cases) {
    sim::SimOptions o = Win98Host(std::vector<std::string>(c.adapters, "ESDI_506"));
    o.aspi.installed = c.installed;
    o.aspi.failedInit = c.failedInit;
    o.AddDriveAtAdapter(0, 0, sim::drive::DriveProfile::ReleaseDrive());
    SimRun r(o);
    EXPECT_EQ(DetectHostEnvironment(r.run), c.result) << c.name;
    EXPECT_EQ(r.run.detection.adapterCount, 0) << c.name;
    EXPECT_EQ(r.run.detection.adapterNames[0][0], 0) << c.name;  // nothing inquired
    EXPECT_TRUE(r.host.consoleBytes().empty()) << c.name;
    EXPECT_EQ(DiscoverTargets(r.run), 0) << c.name;
    EXPECT_TRUE(r.host.commands().empty()) << c.name;
    ReleaseHostEnvironment(r.run);
    EXPECT_EQ(r.host.liveMemoryBlocks(), 0u) << c.name;
  }
}

TEST(HostDetection, AdapterIdentifiersMarkIntelAndTheMapper) {
  const std::string zeros(8, '\0');
  struct Case {
    const char* name;
    std::vector<std::string> adapters;
    int32_t intel;
    int32_t mapper;
    int intelMessages;
    int mapperMessages;
  };
  const Case cases[] = {
      {"ordinary adapters", {"ESDI_506", "SIMSCSI 7000"}, 0, -1, 0, 0},
      {"two intelata adapters: one message", {"intelata", "intelata"}, 1, -1, 1, 0},
      {"NTMAPHLP", {"ESDI_506", "NTMAPHLP"}, 0, 1, 0, 1},
      {"ntmaphlp", {"ntmaphlp"}, 0, 0, 0, 1},
      {"eight spaces", {"ESDI_506", "ESDI_506", "        "}, 0, 2, 0, 1},
      {"eight zero bytes", {"SIMSCSI", zeros}, 0, 1, 0, 1},
      {"only the first eight characters count", {"ntmaphlp-1394"}, 0, 0, 0, 1},
      {"case counts", {"NtMapHlp"}, 0, -1, 0, 0},
      {"two mappers: the highest, a message each",
       {"ntmaphlp", "ESDI_506", "NTMAPHLP"},
       0,
       2,
       0,
       2},
      {"intelata and a mapper", {"intelata", "ntmaphlp"}, 1, 1, 1, 1},
  };
  for (const Case& c : cases) {
    SimRun r(Win98Host(c.adapters));
    EXPECT_EQ(DetectHostEnvironment(r.run), 0) << c.name;
    EXPECT_EQ(r.run.detection.adapterCount, c.adapters.size()) << c.name;
    EXPECT_EQ(r.run.host.intelIdeDriver, c.intel) << c.name;
    EXPECT_EQ(r.run.host.ieee1394Adapter, c.mapper) << c.name;
    EXPECT_EQ(Count(r.host.consoleBytes(), kIntelMessage), c.intelMessages) << c.name;
    EXPECT_EQ(Count(r.host.consoleBytes(), kMapperMessage), c.mapperMessages) << c.name;
    for (std::size_t i = 0; i < c.adapters.size(); ++i) {
      EXPECT_EQ(std::string(r.run.detection.adapterNames[i], c.adapters[i].size()),
                c.adapters[i].substr(0, 16))
          << c.name;
    }
  }
}

TEST(HostDetection, MoreThanSixteenAdaptersStayWithinTheNames) {
  std::vector<std::string> adapters(20, "SIMSCSI");
  adapters[18] = "ntmaphlp";  // past the named slots: not inquired
  adapters[15] = "ESDI_506";
  SimRun r(Win98Host(adapters));
  EXPECT_EQ(DetectHostEnvironment(r.run), 0);
  EXPECT_EQ(r.run.detection.adapterCount, 20);
  EXPECT_EQ(std::string(r.run.detection.adapterNames[15], 8), "ESDI_506");
  EXPECT_EQ(r.run.host.ieee1394Adapter, -1);
  EXPECT_TRUE(r.host.consoleBytes().empty());
}

// The drive key of the mapper at `adapter`, as the walk opens it.
std::string DriveKey(int adapter) {
  return "Enum\\SCSI\\QUORVEN_DVD-RW__KWX-720_" + std::to_string(adapter);
}

struct Instance {
  std::string name;                     // subkey under the drive key
  std::optional<uint8_t> autoInsert;    // one-byte AutoInsertNotification
  std::optional<uint32_t> dword;        // or a DWORD, too long for the read
  std::optional<std::string> hardware;  // HardWareKey in Config Manager; none: absent
};

TEST(HostDetection, AutoInsertNotificationOfPresentInstances) {
  const std::string a = "SBP2&HALV&LQTB-ZKN&LUN_0&0008";
  const std::string b = "SBP2&HALV&LQTB-ZKN&LUN_0&0009";
  const std::string aKey = "SBP2\\HALV&LQTB-ZKN&LUN_0\\0008";
  const std::string bKey = "SBP2\\HALV&LQTB-ZKN&LUN_0\\0009";
  struct Case {
    const char* name;
    int mapperAt;
    int keyAt;  // the drive key's digit in the registry
    std::vector<Instance> instances;
    bool configManager;
    uint8_t sum;
    std::string console;  // after the mapper message
  };
  const Case cases[] = {
      {"two present instances", 2, 2, {{a, 1, {}, aKey}, {b, 1, {}, bKey}}, true, 2, ""},
      {"an absent instance adds nothing", 2, 2, {{a, 1, {}, aKey}, {b, 1, {}, {}}}, true, 1, ""},
      {"values add modulo 256", 0, 0, {{a, 200, {}, aKey}, {b, 100, {}, bKey}}, true, 44, ""},
      {"the key path ends in the mapper's number", 2, 0, {{a, 1, {}, aKey}}, true, 0, ""},
      {"other subkeys are skipped", 1, 1, {{"SBP2&HALV&OTHER", 1, {}, aKey}}, true, 0, ""},
      {"no Config Manager: nothing present", 1, 1, {{a, 1, {}, aKey}}, false, 0, ""},
      {"a value too long for one byte ends the walk",
       1,
       1,
       {{b, {}, 1, bKey}, {a, 1, {}, aKey}},  // walked from the last: a, then b
       true,
       1,
       "\r\nRegQueryValueEx Error : 000000eah"},
      {"an instance without the value",
       1,
       1,
       {{a, {}, {}, aKey}},
       true,
       0,
       "\r\nRegQueryValueEx Error : 00000002h"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> adapters(c.mapperAt + 1, "ESDI_506");
    adapters[c.mapperAt] = "ntmaphlp";
    sim::SimOptions o = Win98Host(adapters);
    if (c.configManager) {
      // An unrelated device node first, so the walk has something to skip.
      o.registry.SetString(RegistryRoot::DynData, "Config Manager\\Enum\\C29A0000", "HardWareKey",
                           "PCI\\VEN_8086&DEV_7111");
    }
    int node = 1;
    for (const Instance& i : c.instances) {
      const std::string path = DriveKey(c.keyAt) + "\\" + i.name;
      o.registry.AddKey(RegistryRoot::LocalMachine, path);
      if (i.autoInsert) {
        o.registry.SetBinary(RegistryRoot::LocalMachine, path, "AutoInsertNotification",
                             {*i.autoInsert});
      }
      if (i.dword)
        o.registry.SetDword(RegistryRoot::LocalMachine, path, "AutoInsertNotification", *i.dword);
      if (i.hardware && c.configManager) {
        o.registry.SetString(RegistryRoot::DynData,
                             "Config Manager\\Enum\\C29A000" + std::to_string(node++),
                             "HardWareKey", *i.hardware);
      }
    }
    SimRun r(o);
    DetectHostEnvironment(r.run);
    EXPECT_EQ(r.run.host.ieee1394Adapter, c.mapperAt) << c.name;
    EXPECT_EQ(r.run.host.autoInsertNotification, c.sum) << c.name;
    EXPECT_EQ(r.host.consoleBytes(), kMapperMessage + c.console) << c.name;
    EXPECT_EQ(r.host.openRegistryKeys(), 0u) << c.name;
  }
}

TEST(HostDetection, HardwareKeySeparatorsAreReplacedOnlyWithinTheValue) {
  struct Case {
    const char* name;
    std::string instance;
    std::string hardwareKey;
    bool present;
  };
  const Case cases[] = {
      {"the usual form", "SBP2&HALV&LQTB-ZKN&LUN_0&0008", "SBP2\\HALV&LQTB-ZKN&LUN_0\\0008", true},
      {"another unit", "SBP2&HALV&LQTB-ZKN&LUN_0&0008", "SBP2\\HALV&LQTB-ZKN&LUN_0\\0007", false},
      // 24 characters: character 24 is the end of the value, not a separator.
      {"exactly 24 characters", "SBP2&HALV&LQTB-ZKN&LUN_0", "SBP2\\HALV&LQTB-ZKN&LUN_0", true},
      {"a shorter value is a prefix of the name", "SBP2&HALV&LQTB-ZKN&LUN_0&0008",
       "SBP2\\HALV&LQTB-ZKN", true},
      {"an empty value matches nothing", "SBP2&HALV&LQTB-ZKN&LUN_0&0008", "", false},
  };
  for (const Case& c : cases) {
    sim::SimOptions o = HostOptions("98");
    o.registry.SetString(RegistryRoot::DynData, "Config Manager\\Enum\\C29A3F80", "HardWareKey",
                         c.hardwareKey);
    SimRun r(o);
    EXPECT_EQ(IsSbp2InstancePresent(r.run, c.instance.c_str()), c.present ? 0 : -1) << c.name;
    EXPECT_EQ(r.host.openRegistryKeys(), 0u) << c.name;
  }
}

TEST(HostDetection, AFailedAllocationEndsTheSetUpAndDiscoveryFindsNothing) {
  struct Case {
    const char* windows;
    uint32_t failing;  // which allocation fails
  };
  const Case cases[] = {{"xp", 1}, {"xp", 2}, {"xp", 3}, {"98", 1},
                        {"98", 2}, {"98", 3}, {"98", 4}, {"98", 5}};
  for (const Case& c : cases) {
    sim::SimOptions o = HostOptions(c.windows);
    o.InstallAspi({"ESDI_506"});
    o.failAllocation = c.failing;
    o.AddDriveAtLetter('E', sim::drive::DriveProfile::ReleaseDrive());
    o.AddDriveAtAdapter(0, 0, sim::drive::DriveProfile::ReleaseDrive());
    SimRun r(o);
    FillBuiltInDefinition(r.run);
    const std::string name = std::string(c.windows) + " allocation " + std::to_string(c.failing);
    EXPECT_EQ(DetectHostEnvironment(r.run), -1) << name;
    EXPECT_EQ(r.host.memoryAllocations(), c.failing) << name;
    EXPECT_EQ(DiscoverTargets(r.run), 0) << name;
    EXPECT_TRUE(r.host.commands().empty()) << name;
    ReleaseHostEnvironment(r.run);
    EXPECT_EQ(r.host.liveMemoryBlocks(), 0u) << name;
  }
}

TEST(HostDetection, ReleaseLeavesNothingBehindOnEveryWayOut) {
  struct Case {
    const char* name;
    const char* windows;
    bool drive;
    int32_t procedureResult;
    int exitCode;
  };
  const Case cases[] = {
      {"XP, no drive", "xp", false, 0, 1},
      {"XP, drive updated", "xp", true, 0, 0},
      {"XP, drive not updated", "xp", true, 1, 0},
      {"XP, fatal", "xp", true, -1, 1},
      {"98, no drive", "98", false, 0, 1},
      {"98, drive updated", "98", true, 0, 0},
      {"98, fatal", "98", true, -1, 1},
  };
  for (const Case& c : cases) {
    sim::SimOptions o = HostOptions(c.windows);
    o.InstallAspi({"ESDI_506", "intelata"});
    o.registry.AddKey(RegistryRoot::LocalMachine,
                      "SOFTWARE\\INTEL\\Intel Ultra ATA Storage Driver");
    if (c.drive) {
      o.AddDriveAtLetter('E', sim::drive::DriveProfile::ReleaseDrive());
      o.AddDriveAtAdapter(1, 0, sim::drive::DriveProfile::ReleaseDrive());
    }
    o.AddDriveAtLetter('D', sim::drive::DriveProfile::OtherMaker());
    SimRun r(o);
    DriverHooks hooks = DriverHooks::Program();
    Procedure procedure = [&c](oddfw::Run& run) {
      ScsiRequest q = testing::TestUnitReady(run.driver.currentTarget);
      ExecuteScsiRequest(run, q);
      return c.procedureResult;
    };
    hooks.procedures = {procedure, procedure, procedure};
    EXPECT_EQ(RunDriver(r.run, hooks), c.exitCode) << c.name;
    EXPECT_EQ(r.run.host.targetCount, c.drive ? 1 : 0) << c.name;
    EXPECT_GT(r.host.memoryAllocations(), 0u) << c.name;
    EXPECT_EQ(r.host.liveMemoryBlocks(), 0u) << c.name;
    EXPECT_EQ(r.host.openDeviceHandles(), 0u) << c.name;
    EXPECT_EQ(r.host.openEvents(), 0u) << c.name;
    EXPECT_EQ(r.host.openRegistryKeys(), 0u) << c.name;
    EXPECT_TRUE(r.host.misuse().empty()) << c.name << ": " << r.host.misuse().front();
  }
}

}  // namespace
}  // namespace oddfw
