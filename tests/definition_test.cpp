#include "app/definition.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "sim_run.h"

namespace oddfw {
namespace {

using testing::SimRun;

std::string Text(const char* field, std::size_t width) {
  return std::string(field, width);
}

TEST(FillBuiltInDefinition, HoldsTheOneBuiltInRelease) {
  SimRun r;
  r.run.definition.active.modelCode = 77;  // left over from nothing: must be cleared
  EXPECT_EQ(FillBuiltInDefinition(r.run), 1);
  const UpdateDefinition& d = r.run.definition.definition;
  EXPECT_EQ(d.entryCount, 1);
  EXPECT_EQ(d.releaseRevision, 0x110);
  const DefinitionEntry& e = d.entries[0];
  EXPECT_STREQ(e.fileName, "S1005001.110");
  EXPECT_EQ(Text(e.oemCode, 8), "GENERAL ");
  EXPECT_EQ(Text(e.vendorId, 8), "QUORVEN ");
  EXPECT_EQ(Text(e.productId, 16), "BD-RW   MHT-860 ");
  EXPECT_EQ(e.updateParts, NormalOnly);
  EXPECT_EQ(Text(e.fileKind, 3), "BIN");
  EXPECT_EQ(e.imageSize, 0x200000u);
  EXPECT_EQ(e.modelCode, 0x4004);
  EXPECT_EQ(e.irreversibleWarning, 0);
  EXPECT_EQ(e.minimumImageDate, 0x20090218u);
  EXPECT_EQ(e.checksum, 0x656dc5aeu);
  EXPECT_EQ(e.driveModelName[0], 0);
  EXPECT_EQ(e.firmwareVersionText[0], 0);
  EXPECT_EQ(e.cpuType[0], 0);
  // Entries 1 to 7 are empty, and nothing has been selected yet.
  const DefinitionEntry empty{};
  for (int i = 1; i < kMaxDefinitionEntries; ++i) {
    EXPECT_EQ(std::memcmp(&d.entries[i], &empty, sizeof empty), 0) << i;
  }
  EXPECT_EQ(r.run.definition.active.modelCode, 0);
}

TEST(ActivateEntry, CopiesEveryFieldAndTheIndex) {
  SimRun r;
  FillBuiltInDefinition(r.run);
  r.run.definition.definition.entries[3] = r.run.definition.definition.entries[0];
  r.run.definition.definition.entries[3].modelCode = 0x1005;
  ActivateEntry(r.run, 3);
  const ActiveEntry& a = r.run.definition.active;
  EXPECT_EQ(a.entryIndex, 3);
  EXPECT_EQ(a.modelCode, 0x1005);
  EXPECT_STREQ(a.fileName, "S1005001.110");
  EXPECT_EQ(Text(a.productId, 16), "BD-RW   MHT-860 ");
  EXPECT_EQ(a.imageSize, 0x200000u);
  EXPECT_EQ(a.checksum, 0x656dc5aeu);
}

}  // namespace
}  // namespace oddfw
