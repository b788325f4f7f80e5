#include "app/definition.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "app/run.h"

namespace oddfw {
namespace {

template <std::size_t N>
void SetText(char (&field)[N], const char* text) {
  std::memset(field, 0, N);
  std::memcpy(field, text, std::min(N, std::strlen(text)));
}

}  // namespace

UpdateDefinition BuiltInDefinition() {
  UpdateDefinition d{};
  d.releaseRevision = 0x110;
  DefinitionEntry& e = d.entries[0];
  std::snprintf(e.fileName, sizeof e.fileName, "S1005001.%03x", d.releaseRevision);
  SetText(e.oemCode, "GENERAL ");
  SetText(e.vendorId, "QUORVEN ");
  SetText(e.productId, "BD-RW   MHT-860 ");
  e.updateParts = NormalOnly;
  SetText(e.fileKind, "BIN");
  e.imageSize = 0x200000;
  e.modelCode = 0x4004;
  e.irreversibleWarning = 0;
  e.minimumImageDate = 0x20090218;
  e.checksum = 0x656dc5ae;
  d.entryCount = 1;
  return d;
}

int32_t FillBuiltInDefinition(Run& run) {
  run.definition.active = ActiveEntry{};
  run.definition.definition = BuiltInDefinition();
  return 1;
}

void ActivateEntry(Run& run, int index) {
  const DefinitionEntry& e = run.definition.definition.entries[index];
  ActiveEntry& a = run.definition.active;
  std::memcpy(a.fileName, e.fileName, sizeof a.fileName);
  std::memcpy(a.vendorId, e.vendorId, sizeof a.vendorId);
  std::memcpy(a.productId, e.productId, sizeof a.productId);
  a.updateParts = e.updateParts;
  std::memcpy(a.fileKind, e.fileKind, sizeof a.fileKind);
  a.imageSize = e.imageSize;
  a.modelCode = e.modelCode;
  a.irreversibleWarning = e.irreversibleWarning;
  a.checksum = e.checksum;
  std::memcpy(a.driveModelName, e.driveModelName, sizeof a.driveModelName);
  std::memcpy(a.firmwareVersionText, e.firmwareVersionText, sizeof a.firmwareVersionText);
  std::memcpy(a.cpuType, e.cpuType, sizeof a.cpuType);
  std::memcpy(a.reserved10, e.reserved10, sizeof a.reserved10);
  std::memcpy(a.reserved12, e.reserved12, sizeof a.reserved12);
  a.entryIndex = static_cast<uint8_t>(index);
}

}  // namespace oddfw
