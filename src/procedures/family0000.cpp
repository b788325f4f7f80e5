// The update of the oldest drives (model family 0x0000): HEX images written
// into drive memory, identified and verified through that memory.

#include "procedures/family0000.h"

#include <algorithm>
#include <cstring>

#include "app/run.h"
#include "commands/command_set.h"
#include "commands/revision.h"
#include "console/catalog.h"
#include "discovery/discovery.h"
#include "image/hex_loader.h"
#include "procedures/procedures.h"
#include "procedures/update_mode.h"

namespace oddfw {
namespace {

inline constexpr uint32_t kPiece = 0x8000;
inline constexpr uint32_t kFinalPiece = 0x1010;  // the last 4 KiB, the host tag and 12 more
inline constexpr uint32_t kCompareSize = 0x20000;
inline constexpr char kNotRecognized[] = "Not recognize   ";

// After the count-down a re-flash that has not finished gets this much more
// time before it counts as failed.
inline constexpr int kExtraReflashSeconds = 60;

int32_t ModelCode(const Run& run) {
  return run.definition.active.modelCode;
}

uint16_t RevisionOf(const char* text) {
  return static_cast<uint16_t>((text[0] - '0') * 256 + (text[2] - '0') * 16 + (text[3] - '0'));
}

void SetReleaseRevision(Run& run) {
  const char* text = run.definition.active.firmwareVersionText;
  run.definition.definition.releaseRevision =
      std::memcmp(text, "0000", 4) == 0 ? 0 : RevisionOf(text);
}

// The error report of a drive whose memory identity could not be read.
int32_t ReportMemoryError(Run& run) {
  FetchSense(run);
  PrintFormat(run, "\r\nError Code : %06lx",
              static_cast<unsigned long>(run.transport.sense.senseCode));
  return -1;
}

void TakeIdentity(Run& run, const uint8_t* identity, const uint8_t* cpuType) {
  std::memcpy(run.family0000.memoryIdentity, identity, 16);
  std::memcpy(run.family0000.memoryCpuType, cpuType, 16);
}

int32_t ReadMemoryIdentity(Run& run) {
  uint8_t* block = run.detection.workBuffer;
  if (ReadDriveMemory(run, 0x1000, 0x40, block) != 0) return ReportMemoryError(run);
  if (std::memcmp(block, "QUORVEN ", 8) == 0) {
    TakeIdentity(run, block, block + 16);
    return 0;
  }
  if (std::memcmp(block + 16, "QUORVEN ", 8) == 0) {
    TakeIdentity(run, block + 16, block + 32);
    return 0;
  }
  if (ReadDriveMemory(run, 0x1C000, 0x40, block) != 0) return ReportMemoryError(run);
  if (std::memcmp(block + 16, "QUORVEN ", 8) == 0) {
    TakeIdentity(run, block + 16, block + 32);
    return 0;
  }
  if (ReadDriveMemory(run, 0x1F000, 0x20, block) != 0) return ReportMemoryError(run);
  for (const uint8_t* pattern : {kIdentityPatternA, kIdentityPatternB, kIdentityPatternC}) {
    if (std::memcmp(block, pattern, 16) == 0) {
      TakeIdentity(run, block, block + 16);
      return 0;
    }
  }
  std::memcpy(run.family0000.memoryIdentity, kNotRecognized, 16);
  std::memcpy(run.family0000.memoryCpuType, kNotRecognized, 16);
  return ReportMemoryError(run);
}

int32_t PrepareFamily0000(Run& run) {
  int32_t result = Inquiry(run, run.driver.currentTarget, run.revision.driveIdentity);
  if (result != 0) {
    ShowMessage(run, 9, ErrorNotice);
  } else if ((result = ReadMemoryIdentity(run)) != 0) {
    ShowMessage(run, 0, ErrorNotice);
  } else if (const int32_t index = MatchUpdateDefinition(run, run.revision.driveIdentity);
             index != -1) {
    ActivateEntry(run, index);
    run.image.firmware.length = static_cast<int32_t>(run.definition.active.imageSize);
  }
  SetReleaseRevision(run);
  return result;
}

// Where a model keeps its identity and CPU type in the image, and what they
// must read.
struct ImagePlaces {
  uint32_t identityOffset, identityLength;
  const uint8_t* identity;
  uint32_t cpuOffset, cpuLength;
  const uint8_t* cpu;
};

ImagePlaces PlacesOf(const Run& run) {
  const ActiveEntry& e = run.definition.active;
  const auto* name = reinterpret_cast<const uint8_t*>(e.driveModelName);
  const auto* cpu = reinterpret_cast<const uint8_t*>(e.cpuType);
  switch (e.modelCode) {
    case 9:
      return {0x1F000, 16, kIdentityPatternA, 0x1F010, 16, kCpuTypePattern};
    case 11:
      return {0x1F000, 16, kIdentityPatternB, 0x1F010, 16, kCpuTypePattern};
    case 8:
      return {0x1010, 12, name, 0x1020, 12, cpu};
    case 10:
      return {0x1C010, 12, name, 0x1C020, 12, cpu};
    default:
      return {0x1000, 16, name, 0x1010, 16, cpu};
  }
}

int32_t CheckFamily0000(Run& run) {
  const ActiveEntry& e = run.definition.active;
  const uint8_t* id = run.revision.driveIdentity;
  const Family0000State& memory = run.family0000;
  int32_t result = 0;
  const int32_t model = e.modelCode;

  const auto* cpuText = reinterpret_cast<const uint8_t*>(e.cpuType);
  const auto* modelName = reinterpret_cast<const uint8_t*>(e.driveModelName);
  const uint8_t* expectedIdentity = model == 9    ? kIdentityPatternA
                                    : model == 11 ? kIdentityPatternB
                                                  : modelName;
  const uint8_t* expectedCpu = (model == 9 || model == 11) ? kCpuTypePattern : cpuText;
  const std::size_t cpuLength = (model == 9 || model == 11) ? 16
                                : model == 10               ? 12
                                                            : strnlen(e.cpuType, 16);
  const ImagePlaces places = PlacesOf(run);
  const uint8_t* image = run.image.firmware.buffer;

  if (std::memcmp(id + 8, e.vendorId, 8) != 0 || std::memcmp(id + 16, e.productId, 16) != 0) {
    ShowMessage(run, 49, ConsoleOnly);
    result = -1;
  } else if (RevisionOf(e.firmwareVersionText) <= run.revision.currentRevisionNumber) {
    ShowMessage(run, 4, ConsoleOnly);
    result = 1;
  } else if (std::memcmp(memory.memoryIdentity, expectedIdentity, 16) != 0) {
    ShowMessage(run, 64, ConsoleOnly);
    result = -1;
  } else if (std::memcmp(memory.memoryCpuType, expectedCpu, cpuLength) != 0) {
    ShowMessage(run, 65, ConsoleOnly);
    result = -1;
  } else if (std::memcmp(image + places.identityOffset, places.identity, places.identityLength) !=
             0) {
    ShowMessage(run, 64, ConsoleOnly);
    result = -1;
  } else if (std::memcmp(image + places.cpuOffset, places.cpu, places.cpuLength) != 0) {
    ShowMessage(run, 40, ConsoleOnly);
    result = -1;
  }
  SetReleaseRevision(run);
  return result;
}

// 0 when the drive memory holds the image (bytes 0x400..0x44F, which the
// drive keeps for itself, aside); the failed read's result or -1..-3 where
// they differ.
int32_t CompareDriveMemory(Run& run, uint32_t size) {
  uint8_t* memory = run.detection.workBuffer;
  const uint8_t* image = run.image.firmware.buffer;
  for (uint32_t offset = 0; offset < size; offset += kPiece) {
    const int32_t result = ReadDriveMemory(run, offset, kPiece, memory + offset);
    if (result != 0) return result;
  }
  if (std::memcmp(memory, image, 0x400) != 0) return -1;
  if (std::memcmp(memory + 0x450, image + 0x450, 0x8000 - 0x450) != 0) return -2;
  for (uint32_t offset = kPiece; offset < size; offset += kPiece) {
    if (std::memcmp(memory + offset, image + offset, kPiece) != 0) return -3;
  }
  return 0;
}

int32_t ReportSense(Run& run) {
  FetchSense(run);
  const uint8_t* s = run.transport.sense.rawSense;
  PrintFormat(run, "\nSense Code : %02x-%02x-%02x", s[2], s[12], s[13]);
  return -1;
}

const char* HostTag(const Run& run) {
  if (run.host.intelIdeDriver != 0) return "WIN2";
  if (run.revision.g6PatchNeeded != 0) return "WIN ";
  if (!run.host.aspiMode) return "WIN ";
  return "WIN2";
}

// True when every piece of the transfer lies inside the image buffer: the
// 32 KiB pieces may reach past the image, and the final piece carries 16
// bytes beyond it.
bool TransferFits(const Run& run) {
  const int64_t length = run.image.firmware.length;
  const int64_t capacity = run.image.firmware.capacity;
  if (length < 0x1000 || length + kFinalPiece - 0x1000 > capacity) return false;
  int64_t end = 0;
  for (int64_t offset = 0; offset < length - 0x1000; offset += kPiece) end = offset + kPiece;
  return end <= capacity;
}

int32_t TransferHexImage(Run& run) {
  if (EnterUpdateMode(run) != 0) return ReportSense(run);
  FirmwareImage& image = run.image.firmware;
  const auto length = static_cast<uint32_t>(image.length);
  std::memcpy(run.family0000.hostTag, HostTag(run), 4);
  std::memcpy(image.buffer + length, run.family0000.hostTag, 4);
  for (int32_t offset = 0; offset < image.length - 0x1000; offset += kPiece) {
    if (WriteUpdateData(run, static_cast<uint32_t>(offset), kPiece, image.buffer + offset) != 0) {
      return ReportSense(run);
    }
  }
  if (WriteUpdateData(run, length - 0x1000, kFinalPiece, image.buffer + length - 0x1000) != 0) {
    return ReportSense(run);
  }
  return 0;
}

uint32_t SecondsSinceStart(Run& run) {
  return (ReadClock(run) - run.console.start) / 1000;
}

int32_t ReflashAndWait(Run& run) {
  const int32_t model = ModelCode(run);
  const bool shortReflash = model == 9 || model == 11;
  if (run.host.aspiMode) {
    // The re-flash runs in the drive while the count-down shows.
    run.host.commandTimeoutMs = shortReflash ? 10000 : 0;
    run.transport.asyncSubmit = true;
    BeginTiming(run);
    int32_t result = StartReflash(run);
    // A command that went through polled mode (WRITE BUFFER to the IEEE1394
    // mapper adapter), or was never submitted, is over already: its result
    // is the re-flash's, and there is nothing left to wait for.
    bool finished = !AsyncCommandPending(run);
    PrintText(run, "\n");
    auto check = [&] {
      if (finished) return;
      const int32_t state = CheckAsyncCompletion(run);
      if (state == 1) return;
      finished = true;
      // The drive refused the re-flash after taking the command.
      if (state == -1 && result == 0) result = -1;
    };
    for (uint32_t seconds = 0; seconds < 30;) {
      check();
      run.os.clock.Sleep(1000);
      seconds = SecondsSinceStart(run);
      PrintFormat(run, "\rRemaining time is %02dsec", 30 - static_cast<int>(seconds));
    }
    // Never talk to the drive again while it may still be re-flashing.
    for (int extra = 0; !finished && extra < kExtraReflashSeconds; ++extra) {
      check();
      if (!finished) run.os.clock.Sleep(1000);
    }
    // CheckAsyncCompletion clears the flag; where it never ran (a polled or
    // failed submission) the next command must still wait for its answer.
    run.transport.asyncSubmit = false;
    EndTiming(run);
    if (!finished && result == 0) result = -1;
    return result;
  }
  run.host.commandTimeoutMs = shortReflash ? 10000 : 30000;
  BeginTiming(run);
  const int32_t result = StartReflash(run);
  if (result != 0) {
    EndTiming(run);
    return result;
  }
  const uint32_t limit = static_cast<uint32_t>(run.host.commandTimeoutMs) / 1000;
  PrintText(run, "\n");
  uint32_t seconds = 0;
  do {
    run.os.clock.Sleep(1000);
    seconds = SecondsSinceStart(run);
    PrintFormat(run, "\rRemaining time is %02dsec",
                static_cast<int>(limit) - static_cast<int>(seconds));
  } while (seconds < limit);
  EndTiming(run);
  return 0;
}

}  // namespace

int32_t UpdateFamily0000(Run& run) {
  // A drive that was not identified is left alone, also when its INQUIRY
  // failed with another code than -1: the identity in memory would still be
  // the one read from the drive before.
  if (PrepareFamily0000(run) != 0) return 1;
  if (LoadHexImage(run) != 0) {
    ShowMessage(run, 20, ConsoleOnly);
    return -1;
  }
  if (ReportRevision(run, Before) != 0) return -1;
  if (run.revision.g6PatchNeeded != 0 && LoadPatchFile(run) != 0) {
    ShowMessage(run, 21, ConsoleOnly);
    return -1;
  }
  if (const int32_t result = CheckFamily0000(run); result != 0) return result;
  if (ModelCode(run) <= 7 && CompareDriveMemory(run, kCompareSize) == 0) {
    ShowMessage(run, 4, run.driver.updateAllDrives ? ConsoleOnly : InfoNotice);
    return 1;
  }
  if (LoadHexImage(run) != 0) {
    ShowMessage(run, 20, ConsoleOnly);
    return -1;
  }
  if (!TransferFits(run)) {
    // The pieces would read past the image buffer: nothing is sent.
    PrintText(run, "\r\nThe firmware image does not fit the transfer.");
    ShowMessage(run, 20, ConsoleOnly);
    return -1;
  }
  // Once the user has interrupted the run no drive goes into its update mode.
  if (Interrupted(run)) return 1;
  ShowMessage(run, 61, ConsoleOnly);
  const UpdateModeGuard updateMode(run);  // the drive is about to enter its update mode
  if (const int32_t result = EnterUpdateMode(run); result != 0) {
    ShowMessage(run, 22, ConsoleOnly);
    return result;
  }
  if (StopUnit(run) != 0) FetchSense(run);
  if (TransferHexImage(run) != 0) {
    ShowMessage(run, 23, ConsoleOnly);
    return -1;
  }
  if (const int32_t result = ReflashAndWait(run); result != 0) {
    ShowMessage(run, 24, ConsoleOnly);
    return result;
  }
  DelayMs(run, 2000);
  if (ModelCode(run) <= 7 && CompareDriveMemory(run, kCompareSize) != 0) {
    ShowMessage(run, 25, ConsoleOnly);
    return 1;
  }
  if (ReportRevision(run, After) != 0) return -1;
  ShowMessage(run, 12, ConsoleOnly);
  return 0;
}

}  // namespace oddfw
