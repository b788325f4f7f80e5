// Scenario files: what they build, and the mistakes they refuse.

#include "sim/scenario.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>

#include "sim/drive/faults.h"
#include "sim/image_builder.h"

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
      // What a scenario may ask the simulator to make.
      {R"({"files": {"A": {"image": {"size": "0x4000001"}}}})", "64 MiB"},
      {R"({"files": {"A": {"hex": {"image": {"size": "0x1000001"}}}}})", "16 MiB"},
      {[] {
         const std::string big =
             R"({"letter": "E", "family": {"kind": "bd", "normalPartSize": "0x1000000",
                                          "kernelPartSize": "0x1000000"}})";
         static const std::string text =
             R"({"drives": [)" + big + "," + big + "," + big + "," + big + "," + big + "]}";
         return text.c_str();
       }(),
       "128 MiB"},
      {R"({"drives": [{"letter": "E", "family": {"kind": "old", "memory": {"size": "0x8000000"}}}]})",
       "64 MiB"},
      {R"({"drives": [{"letter": "E", "faults": {"rules": [{"opcode": 300}]}}]})", "opcode"},
      {R"({"drives": [{"letter": "E", "family": {"kind": "nosuch"}}]})", "nosuch"},
      {R"({"definition": {"entries": [{"vendorId": "FAR TOO LONG"}]}})", "vendorId"},
      {R"({"definition": {"entries": [{"updateParts": "both"}]}})", "updateParts"},
      {R"({"definition": {"entries": [{"modelCode": "0xZZ"}]}})", "modelCode"},
      {R"({"definition": {"entries": [{},{},{},{},{},{},{},{},{}]}})", "entries"},
      {R"({"files": {"../escape": {"text": ""}}})", "plain file name"},
      {R"({"files": {"A.BIN": {"text": "", "hex": {}}}})", "one of"},
      {R"({"files": {"A.BIN": {"image": {"signature": "NINE CHARS"}}}})", "A.BIN"},
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

TEST(Scenario, DefinitionEntriesStartFromTheBuiltInRelease) {
  const Scenario s = ParseScenario(R"({"definition": {
      "releaseRevision": "0x130",
      "entries": [
        {"fileName": "D1305001.130", "productId": "DVD-RW  KWX-730", "modelCode": "0x1004",
         "updateParts": "kernel-and-normal", "irreversibleWarning": true, "imageSize": 1048576},
        {"modelCode": 7, "driveModelName": "QUORVEN DVD-ROM ", "firmwareVersionText": "1.10",
         "cpuType": "HITACHI H8_3062A"}
      ]}})");
  ASSERT_TRUE(s.definition.has_value());
  const UpdateDefinition& d = *s.definition;
  EXPECT_EQ(d.releaseRevision, 0x130);
  EXPECT_EQ(d.entryCount, 2);
  EXPECT_STREQ(d.entries[0].fileName, "D1305001.130");
  EXPECT_EQ(std::string(d.entries[0].productId, 16), "DVD-RW  KWX-730 ");  // padded
  EXPECT_EQ(std::string(d.entries[0].vendorId, 8), "QUORVEN ");            // kept
  EXPECT_EQ(d.entries[0].modelCode, 0x1004);
  EXPECT_EQ(d.entries[0].updateParts, KernelAndNormal);
  EXPECT_EQ(d.entries[0].irreversibleWarning, 1);
  EXPECT_EQ(d.entries[0].imageSize, 0x100000u);
  EXPECT_EQ(d.entries[0].checksum, 0x656dc5aeu);
  EXPECT_EQ(d.entries[1].modelCode, 7);
  EXPECT_STREQ(d.entries[1].cpuType, "HITACHI H8_3062A");  // not padded: compared by its length
  EXPECT_EQ(std::string(d.entries[1].firmwareVersionText, 4), "1.10");
  EXPECT_EQ(d.entries[2].modelCode, 0);  // unused entries stay empty
}

TEST(Scenario, FilesAreBuiltIntoTheWorkingDirectory) {
  const Scenario s = ParseScenario(R"({"files": {
      "S1005001.110": {"image": {"revisionText": "1.20 ", "size": 4096, "seed": 7}},
      "IMAGE.HEX": {"hex": {"image": {"size": 32}, "bytesPerLine": 16}},
      "NOTE.TXT": {"text": ":00000001FF\n"}}})");
  ASSERT_EQ(s.files.size(), 3u);
  ImageSpec spec;
  spec.revisionText = "1.20 ";
  spec.size = 4096;
  spec.seed = 7;
  EXPECT_EQ(s.files[0].name, "S1005001.110");
  EXPECT_EQ(s.files[0].bytes, BuildImage(spec));
  const std::string hex(s.files[1].bytes.begin(), s.files[1].bytes.end());
  EXPECT_EQ(std::count(hex.begin(), hex.end(), '\n'), 3) << hex;  // two data records and the end
  EXPECT_EQ(hex.substr(hex.size() - 13), ":00000001FF\r\n");
  EXPECT_EQ(std::string(s.files[2].bytes.begin(), s.files[2].bytes.end()), ":00000001FF\n");

  const std::filesystem::path dir = std::filesystem::path(::testing::TempDir()) / "oddfw-files";
  std::filesystem::remove_all(dir);
  WriteScenarioFiles(s, dir);
  EXPECT_EQ(std::filesystem::file_size(dir / "S1005001.110"), 4096u);
  std::filesystem::remove_all(dir);
}

TEST(Scenario, TheExamplesLoad) {
  // Every example in scenarios/, so none goes stale unnoticed.
  int examples = 0;
  for (const auto& entry :
       std::filesystem::directory_iterator(std::string(ODDFW_SOURCE_DIR) + "/scenarios")) {
    if (entry.path().extension() != ".json") continue;
    ++examples;
    EXPECT_NO_THROW(LoadScenario(entry.path())) << entry.path();
  }
  EXPECT_GT(examples, 0);
}

}  // namespace
}  // namespace oddfw::sim
