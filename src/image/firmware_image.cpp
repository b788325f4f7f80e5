#include "image/firmware_image.h"

#include <cstring>

#include "app/run.h"
#include "console/catalog.h"

namespace oddfw {
namespace {

namespace hdr = image_header;

int HexDigit(uint8_t c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Two digits of a date from text[0..size): blanks skipped, then up to two
// hexadecimal digits as one byte. Dates are BCD, so the decimal digits read
// as hexadecimal are the BCD byte. No digit at all gives 0.
uint8_t ReadTwoDigits(const uint8_t* text, std::size_t size) {
  std::size_t i = 0;
  while (i < size && (text[i] == ' ' || text[i] == '\t')) ++i;
  unsigned value = 0;
  for (int n = 0; n < 2 && i < size && HexDigit(text[i]) >= 0; ++n, ++i) {
    value = value * 16 + static_cast<unsigned>(HexDigit(text[i]));
  }
  return static_cast<uint8_t>(value);
}

uint32_t Bcd32(uint8_t yearHigh, uint8_t yearLow, uint8_t month, uint8_t day) {
  return uint32_t{yearHigh} << 24 | uint32_t{yearLow} << 16 | uint32_t{month} << 8 | day;
}

// "Feb18 2009" at the header's date field of an image whose vendor is "Wendrix ".
uint32_t WendrixDate(const uint8_t* header) {
  static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  static const uint8_t kBcdMonth[] = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06,
                                      0x07, 0x08, 0x09, 0x10, 0x11, 0x12};
  uint8_t month = 0;  // an unknown abbreviation leaves the month 0
  for (int i = 0; i < 12; ++i) {
    if (std::memcmp(header + hdr::kDateText, kMonths[i], 3) == 0) {
      month = kBcdMonth[i];
      break;
    }
  }
  auto digitsAt = [header](uint32_t offset) {
    return ReadTwoDigits(header + offset, hdr::kSize - offset);
  };
  return Bcd32(digitsAt(hdr::kDateText + 6), digitsAt(hdr::kDateText + 8), month,
               digitsAt(hdr::kDateText + 3));
}

// "09/02/18": the year's low digits at 0, the month at 3, the day at 6; the
// century is always 20.
uint32_t OwnFormDate(const char (&dateText)[8]) {
  const auto* text = reinterpret_cast<const uint8_t*>(dateText);
  return Bcd32(0x20, ReadTwoDigits(text, 8), ReadTwoDigits(text + 3, 5),
               ReadTwoDigits(text + 6, 2));
}

// Opens, sizes and reads the whole file into the image buffer with one read.
// Returns the number of bytes read, or -1; the file is closed on every path.
int64_t ReadWholeFile(Run& run, const char* name) {
  FirmwareImage& image = run.image.firmware;
  platform::Files& files = run.os.files;
  const platform::Handle file = files.OpenForRead(name);
  if (file == platform::InvalidHandle()) return -1;
  int64_t result = -1;
  uint32_t size = 0;
  // A file without a whole header, an empty one above all (the progress
  // percentage divides by its length), or one larger than the buffer is
  // refused like a file that cannot be read.
  if (files.GetFileSize(file, &size) && size >= hdr::kSize && image.buffer != nullptr &&
      image.capacity > 0 && size <= static_cast<uint32_t>(image.capacity)) {
    uint32_t bytesRead = 0;
    if (files.ReadFile(file, image.buffer, size, &bytesRead) && bytesRead == size) {
      result = bytesRead;
    }
  }
  files.CloseFile(file);
  return result;
}

// A file name field's text, always zero-terminated.
void CopyName(const char* from, char (&to)[128]) {
  std::memset(to, 0, sizeof to);
  const void* end = std::memchr(from, 0, sizeof to - 1);
  const std::size_t length = end != nullptr
                                 ? static_cast<std::size_t>(static_cast<const char*>(end) - from)
                                 : sizeof to - 1;
  std::memcpy(to, from, length);
}

}  // namespace

const uint8_t* ImageHeaderBytes(const Run& run) {
  static const uint8_t kNoHeader[0x200] = {};
  return run.image.firmware.buffer != nullptr ? run.image.firmware.buffer : kNoHeader;
}

void KernelFileName(const char* normalName, char (&kernelName)[128]) {
  CopyName(normalName, kernelName);
  if (std::strlen(kernelName) > 7) kernelName[7] = '0';
}

int32_t LoadImage(Run& run, ImageKind kind) {
  FirmwareImage& image = run.image.firmware;
  const ActiveEntry& entry = run.definition.active;
  image.imageReleaseDate = 0;

  char name[128];
  if (kind == KernelImage) {
    KernelFileName(entry.fileName, name);
  } else {
    CopyName(entry.fileName, name);
  }

  const int64_t bytesRead = ReadWholeFile(run, name);
  if (bytesRead < 0) return -1;
  image.loadedBytes = static_cast<int32_t>(bytesRead);

  const uint8_t* header = image.buffer;
  if (kind == NormalImage) {
    image.length = static_cast<int32_t>(bytesRead);
    std::memcpy(image.revisionText, header + hdr::kRevisionText, sizeof image.revisionText);
    std::memcpy(image.dateText, header + hdr::kDateText, sizeof image.dateText);
  }

  // "1.10" gives 0x110: the major digit in the high byte, the two minor
  // digits as BCD in the low byte. The characters are taken as they are.
  const uint8_t major = static_cast<uint8_t>(header[hdr::kRevisionText] - '0');
  const uint8_t minor = static_cast<uint8_t>((header[hdr::kRevisionText + 2] - '0') * 16 +
                                             (header[hdr::kRevisionText + 3] - '0'));
  run.definition.definition.releaseRevision = static_cast<uint16_t>(major << 8 | minor);

  // Wendrix images carry their own date form, read from the file being
  // loaded. Own-form dates always come from the last normal image: a kernel
  // image is as new as the normal image it belongs to.
  if (std::memcmp(header + hdr::kVendorId, "Wendrix ", 8) == 0) {
    image.imageReleaseDate = WendrixDate(header);
  } else {
    image.imageReleaseDate = OwnFormDate(image.dateText);
  }

  const uint8_t index = entry.entryIndex;
  if (index >= kMaxDefinitionEntries ||
      image.imageReleaseDate < run.definition.definition.entries[index].minimumImageDate) {
    ShowMessage(run, 69, ErrorNotice);
    return -1;
  }

  const char expectedPart = kind == KernelImage ? 'K' : 'N';
  if (std::memcmp(header + hdr::kSignature, "GENERAL ", 8) != 0 ||
      header[hdr::kPartKind] != static_cast<uint8_t>(expectedPart)) {
    ShowMessage(run, kind == KernelImage ? 39 : 40, ErrorNotice);
    return -1;
  }
  return 0;
}

}  // namespace oddfw
