// Scenario files: what they build, and the mistakes they refuse.

#include "sim/scenario.h"

#include <gtest/gtest.h>

#include <string>

#include "sim/drive/faults.h"

namespace oddfw::sim {
namespace {

TEST(Scenario, BuildsHostRegistryAspiAndDrives) {
  const Scenario s = ParseScenario(R"({
    "host": {
      "windows": "98",
      "aspi": { "adapters": ["ESDI_506", "ntmaphlp"] },
      "registry": {
        "HKLM\\Enum\\SCSI\\X\\B": { "AutoInsertNotification": { "binary": "01" } },
        "HKLM\\Enum\\SCSI\\X\\A": { "Word": { "dword": 7 }, "Text": "abc" },
        "HKEY_DYN_DATA\\Config Manager\\Enum\\C1": {}
      }
    },
    "drives": [
      { "adapter": 1, "target": 0, "preset": "release", "disc": true,
        "faults": { "seed": 3, "rules": [ { "opcode": "0x3C", "bufferId": 241, "action": "hang" } ] } },
      { "letter": "e", "preset": "other-maker", "identity": { "peripheral": "0x25" },
        "openError": 5, "commandTimeMs": { "0x12": 9 } }
    ]
  })");
  const SimOptions& o = s.options;
  EXPECT_EQ(o.osVersion.minorVersion, 10u);
  EXPECT_TRUE(o.aspi.installed);
  EXPECT_EQ(o.aspi.adapters.size(), 2u);
  const RegistryTree::Key* x =
      o.registry.Find(platform::RegistryRoot::LocalMachine, "enum\\scsi\\x");
  ASSERT_NE(x, nullptr);
  ASSERT_EQ(x->subkeys.size(), 2u);
  EXPECT_EQ(x->subkeys[0].name, "B");  // in the order written
  EXPECT_EQ(x->subkeys[0].values[0].second.data, std::vector<uint8_t>{1});
  EXPECT_EQ(x->subkeys[1].values[0].second.data, (std::vector<uint8_t>{7, 0, 0, 0}));
  EXPECT_EQ(x->subkeys[1].values[1].second.data, (std::vector<uint8_t>{'a', 'b', 'c', 0}));
  EXPECT_NE(o.registry.Find(platform::RegistryRoot::DynData, "Config Manager\\Enum\\C1"), nullptr);

  ASSERT_EQ(o.drives.size(), 2u);
  EXPECT_EQ(o.drives[0].adapter, 1);
  EXPECT_EQ(o.drives[0].letter, 0);
  auto* faulty = dynamic_cast<drive::FaultInjector*>(o.drives[0].device.get());
  ASSERT_NE(faulty, nullptr);
  drive::Command readId;
  readId.cdb = {0x3C, 2, 0xF1, 0, 0, 0, 0, 0, 0x30, 0};
  EXPECT_EQ(faulty->Execute(readId).outcome, drive::Outcome::kNeverCompletes);

  EXPECT_EQ(o.drives[1].letter, 'E');
  EXPECT_EQ(o.drives[1].openError, 5u);
  auto* other = dynamic_cast<drive::Drive*>(o.drives[1].device.get());
  ASSERT_NE(other, nullptr);
  EXPECT_EQ(other->inquiry[0], 0x25);
  EXPECT_EQ(other->CommandTime(0x12), 9000u);
  EXPECT_FALSE(other->vendorIdentity.has_value());
}

TEST(Scenario, MistakesAreRefusedWithTheirPlace) {
  struct Case {
    const char* json;
    const char* mentions;
  };
  const Case cases[] = {
      {R"({"host": {"aspi": {"adaptors": []}}})", "adaptors"},
      {R"({"host": {"registry": {"HKCU\\X": {}}}})", "HKLM"},
      {R"({"host": {"registry": {"HKLM\\X": {"V": 1}}}})", "binary"},
      {R"({"drives": [{"preset": "release"}]})", "letter"},
      {R"({"drives": [{"letter": "E", "adapter": 1}]})", "together"},
      {R"({"drives": [{"letter": "E", "preset": "nosuch"}]})", "preset"},
      {R"({"drives": [{"letter": "E", "identity": {"vendor": "FAR TOO LONG"}}]})", "vendor"},
      {R"({"drives": [{"letter": "E", "faults": {"rules": [{"action": "explode"}]}}]})", "explode"},
      {R"({"drives": [{"letter": "E", "faults": {"rules": [{"opcode": 300}]}}]})", "opcode"},
  };
  for (const Case& c : cases) {
    try {
      ParseScenario(c.json);
      ADD_FAILURE() << "accepted: " << c.json;
    } catch (const ScenarioError& e) {
      EXPECT_NE(std::string(e.what()).find(c.mentions), std::string::npos) << e.what();
    }
  }
}

TEST(Scenario, TheExamplesLoad) {
  for (const char* name : {"no-drives", "xp-two-drives", "win98-aspi", "xp-intel-keys"}) {
    EXPECT_NO_THROW(LoadScenario(std::string(ODDFW_SOURCE_DIR) + "/scenarios/" + name + ".json"))
        << name;
  }
}

}  // namespace
}  // namespace oddfw::sim
