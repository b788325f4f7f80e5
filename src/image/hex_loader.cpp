#include "image/hex_loader.h"

#include <array>
#include <cstring>
#include <memory>
#include <string>

#include "app/run.h"
#include "console/catalog.h"

namespace oddfw {
namespace {

// The longest line the reader hands over; a longer one comes in pieces.
constexpr std::size_t kMaxLineChars = 1023;

// A data byte lands at segment base + record address + i: at most
// 0xFFFF0 + 0xFFFF + 0xFE, since extended linear address records are not
// followed. The staging buffer holds every such address.
constexpr uint32_t kHighestStagedByte = 0xFFFF0 + 0xFFFF + 0xFE;
static_assert(kHighestStagedByte < kWorkBufferSize);

enum RecordType : int { kData = 0, kEndOfFile = 1, kSegmentAddress = 2 };

// The value of each character as a hexadecimal digit, or -1.
constexpr auto kDigitValues = [] {
  std::array<int8_t, 256> values{};
  for (int c = 0; c < 256; ++c) {
    values[static_cast<std::size_t>(c)] = static_cast<int8_t>(c >= '0' && c <= '9'   ? c - '0'
                                                              : c >= 'a' && c <= 'f' ? c - 'a' + 10
                                                              : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                                                     : -1);
  }
  return values;
}();

// The byte of the two hexadecimal digits at line[at], or -1.
int HexByte(const std::string& line, std::size_t at) {
  if (at + 1 >= line.size()) return -1;
  const int high = kDigitValues[static_cast<unsigned char>(line[at])];
  const int low = kDigitValues[static_cast<unsigned char>(line[at + 1])];
  return high < 0 || low < 0 ? -1 : high * 16 + low;
}

struct Record {
  int count = 0;
  uint32_t address = 0;
  int type = 0;
  // The data bytes as read once by ReadRecord; -1 where the characters are
  // not hexadecimal digits.
  std::array<int16_t, 255> data;
};

enum class RecordCheck { kGood, kDamaged, kChecksum };

// Reads and checks one record: every field must lie inside the line and the
// record's bytes must add up to zero with its checksum. A data byte whose
// characters are not hexadecimal digits is left out of the sum; the loader
// leaves its staging byte as it is.
RecordCheck ReadRecord(const std::string& line, Record* record) {
  const int count = HexByte(line, 1);
  const int addressHigh = HexByte(line, 3);
  const int addressLow = HexByte(line, 5);
  const int type = HexByte(line, 7);
  if (count < 0 || addressHigh < 0 || addressLow < 0 || type < 0) return RecordCheck::kDamaged;
  const std::size_t checksumAt = 9 + 2 * static_cast<std::size_t>(count);
  const int checksum = HexByte(line, checksumAt);
  if (checksum < 0) return RecordCheck::kDamaged;  // too short for its byte count
  if (type == kSegmentAddress && (count < 2 || HexByte(line, 9) < 0 || HexByte(line, 11) < 0)) {
    return RecordCheck::kDamaged;
  }
  unsigned sum = static_cast<unsigned>(count + addressHigh + addressLow + type + checksum);
  for (int i = 0; i < count; ++i) {
    const int value = HexByte(line, 9 + 2 * static_cast<std::size_t>(i));
    record->data[static_cast<std::size_t>(i)] = static_cast<int16_t>(value);
    if (value >= 0) sum += static_cast<unsigned>(value);
  }
  if ((sum & 0xFF) != 0) return RecordCheck::kChecksum;
  record->count = count;
  record->address = static_cast<uint32_t>(addressHigh << 8 | addressLow);
  record->type = type;
  return RecordCheck::kGood;
}

// The image length must fit the staging buffer and the image buffer, and
// leave the transfer its final 4 KiB piece.
bool LengthIsUsable(Run& run) {
  const FirmwareImage& image = run.image.firmware;
  if (run.detection.workBuffer != nullptr && image.buffer != nullptr &&
      image.length >= kMinimumHexImageLength &&
      static_cast<uint32_t>(image.length) <= kWorkBufferSize && image.length <= image.capacity) {
    return true;
  }
  PrintFormat(run, "\r\nImage length 0x%X is not valid for a HEX image.",
              static_cast<unsigned>(image.length));
  return false;
}

// Builds the staging area from the HEX file: the first `length` bytes filled
// with 0xFF, then the records' data on top. 0, or -1 with the reason shown.
int32_t StageHexFile(Run& run, const char* name) {
  uint8_t* staging = run.detection.workBuffer;
  const int32_t length = run.image.firmware.length;
  std::memset(staging, 0xFF, static_cast<std::size_t>(length));

  std::unique_ptr<platform::TextFile> file;
  const int openCause = run.os.files.OpenText(name, &file);
  if (openCause != 0 || file == nullptr) {
    ReportFileError(run, openCause != 0 ? openCause : platform::kCauseGeneric);
    return -1;
  }

  int32_t result = 0;
  uint32_t segmentBase = 0;
  int64_t dataCount = 0;
  int lineNumber = 0;
  std::string line;
  while (dataCount < length) {
    int cause = 0;
    const platform::TextFile::Read read = file->ReadLine(&line, kMaxLineChars, &cause);
    if (read == platform::TextFile::Read::kEnd) break;  // no end record: accepted
    if (read == platform::TextFile::Read::kError) {
      ReportFileError(run, cause);
      result = -1;
      break;
    }
    ++lineNumber;
    if (line.empty() || line[0] != ':') {
      ShowMessage(run, 16, ConsoleOnly);
      result = -1;
      break;
    }
    Record record;
    const RecordCheck check = ReadRecord(line, &record);
    if (check != RecordCheck::kGood) {
      // A damaged record must never reach a drive.
      PrintFormat(run,
                  check == RecordCheck::kChecksum ? "\r\nHEX record checksum error in line %d."
                                                  : "\r\nHEX record is damaged in line %d.",
                  lineNumber);
      result = -1;
      break;
    }
    if (record.type == kEndOfFile) break;
    if (record.type == kSegmentAddress) {
      segmentBase = static_cast<uint32_t>(HexByte(line, 9) << 8 | HexByte(line, 11)) * 16;
    } else if (record.type == kData) {
      const uint32_t at = segmentBase + record.address;
      for (int i = 0; i < record.count; ++i) {
        const int value = record.data[static_cast<std::size_t>(i)];
        if (value >= 0 && at + static_cast<uint32_t>(i) < kWorkBufferSize) {
          staging[at + static_cast<uint32_t>(i)] = static_cast<uint8_t>(value);
        }
      }
      dataCount += record.count;
    }
    // Other record types (extended linear addresses among them) are ignored.
  }
  file.reset();  // closes the file
  return result;
}

}  // namespace

int32_t LoadHexImage(Run& run) {
  if (!LengthIsUsable(run)) return -1;
  if (StageHexFile(run, run.definition.active.fileName) != 0) return -1;
  FirmwareImage& image = run.image.firmware;
  std::memcpy(image.buffer, run.detection.workBuffer, static_cast<std::size_t>(image.length));
  ShowMessage(run, 17, ConsoleOnly);
  return 0;
}

int32_t LoadPatchFile(Run& run) {
  if (!LengthIsUsable(run)) return -1;
  FirmwareImage& image = run.image.firmware;
  if (image.capacity < kPatchWindowStart + kPatchWindowSize) {
    PrintFormat(run, "\r\nImage buffer of 0x%X bytes has no room for the patch.",
                static_cast<unsigned>(image.capacity));
    return -1;
  }
  if (StageHexFile(run, kPatchFileName) != 0) return -1;
  // Only the window is taken; where it lies beyond `length`, its bytes that
  // the patch does not set are what the staging buffer held before.
  std::memcpy(image.buffer + kPatchWindowStart, run.detection.workBuffer + kPatchWindowStart,
              kPatchWindowSize);
  ShowMessage(run, 19, ConsoleOnly);
  return 0;
}

void ReportFileError(Run& run, int cause) {
  static const char* const kTexts[] = {
      "\r\nFile Exception Error %x : Generic error occurred",
      "\r\nFile Exception Error %x : File not found",
      "\r\nFile Exception Error %x : Bad file path is specified",
      "\r\nFile Exception Error %x : Too many open files",
      "\r\nFile Exception Error %x : File access denied",
      "\r\nFile Exception Error %x : Invalid file handle is specified",
      "\r\nFile Exception Error %x : Removed current directory",
      "\r\nFile Exception Error %x : Directory full",
      "\r\nFile Exception Error %x : Bad seek(file pointer)",
      "\r\nFile Exception Error %x : Hardware I/O error",
      "\r\nFile Exception Error %x : File sharing violation",
      "\r\nFile Exception Error %x : File lock violation",
      "\r\nFile Exception Error %x : Disk full",
      "\r\nFile Exception Error %x : Reach to end of file",
  };
  if (cause < 1 || cause > 14) return;
  PrintFormat(run, kTexts[cause - 1], static_cast<unsigned>(cause));
}

}  // namespace oddfw
