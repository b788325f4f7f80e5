#pragma once
// The one firmware release a build installs: its drive variants, the image
// file, the model code that picks the update procedure, and the values the
// drive and the image are checked against.

#include <cstdint>

namespace oddfw {

struct Run;

enum UpdateParts : int32_t {
  KernelAndNormal = 0,  // the kernel part, then the normal part
  NormalOnly = 1,       // the normal part only
};

// One drive variant of the release. Texts are fixed-width, space padded and
// compared byte by byte; an empty text is all zero bytes.
struct DefinitionEntry {
  char fileName[128];  // zero-terminated, opened relative to the working directory
  char oemCode[8];
  char vendorId[8];
  char productId[16];
  int32_t updateParts;
  char fileKind[3];
  uint32_t imageSize;
  int32_t modelCode;  // modelCode & 0xF000 is the model family
  int32_t irreversibleWarning;
  uint32_t minimumImageDate;  // BCD 0xYYYYMMDD
  uint32_t checksum;          // sent to the drive with the mode-change commands
  char driveModelName[64];
  char firmwareVersionText[4];  // "d.dd"
  char cpuType[16];
  char reserved10[10];
  char reserved12[12];
};

// The entry in use for the current drive: a copy of a DefinitionEntry without
// its OEM code and minimum image date (those are looked up by entryIndex).
struct ActiveEntry {
  char fileName[128];
  char vendorId[8];
  char productId[16];
  int32_t updateParts;
  char fileKind[3];
  uint32_t imageSize;
  int32_t modelCode;
  int32_t irreversibleWarning;
  uint32_t checksum;
  char driveModelName[64];
  char firmwareVersionText[4];
  char cpuType[16];
  char reserved10[10];
  char reserved12[12];
  uint8_t entryIndex;
};

inline constexpr int kMaxDefinitionEntries = 8;

struct UpdateDefinition {
  DefinitionEntry entries[kMaxDefinitionEntries];
  int32_t entryCount;
  uint16_t releaseRevision;  // 0x110 is revision 1.10
};

// Per-run state of the release description.
struct DefinitionState {
  UpdateDefinition definition{};
  ActiveEntry active{};
};

// The built-in release's table.
UpdateDefinition BuiltInDefinition();

// Clears the table and fills it with the built-in release. Returns 1.
int32_t FillBuiltInDefinition(Run& run);

// Makes entry `index` the active entry (every field and the index).
void ActivateEntry(Run& run, int index);

// The model family of a model code: 0x0000, 0x1000 or 0x4000.
inline int32_t ModelFamily(int32_t modelCode) {
  return modelCode & 0xF000;
}

}  // namespace oddfw
