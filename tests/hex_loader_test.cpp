#include "image/hex_loader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "console/catalog.h"
#include "image_fixture.h"
#include "sim/hex_writer.h"

namespace oddfw {
namespace {

using testing::ImageRun;

constexpr const char* kHexFile = "S1005001.110";
const std::string kLoaded = "\r\nF/W file load success.";
const std::string kPatched = "\r\nG6 Patch load success.";
const std::string kNoStart = "\r\nStart Charactor is not fouund.";
const std::string kEnd = ":00000001FF\r\n";

std::string Data(uint16_t address, std::vector<uint8_t> bytes) {
  return sim::HexRecord(0, address, bytes) + "\r\n";
}

std::string Segment(uint16_t segment) {
  const uint8_t value[2] = {static_cast<uint8_t>(segment >> 8), static_cast<uint8_t>(segment)};
  return sim::HexRecord(2, 0, value) + "\r\n";
}

// A run of the family that takes HEX images: `length` from the entry, an
// image buffer holding 0xAA where no load has been yet.
struct HexRun : ImageRun {
  explicit HexRun(int32_t length = 0x1000, int32_t capacity = 0x200000) : ImageRun(capacity) {
    run.image.firmware.length = length;
    std::memset(run.image.firmware.buffer, 0xAA, static_cast<std::size_t>(capacity));
  }
  const uint8_t* image() const { return run.image.firmware.buffer; }
  bool ImageUnchanged() const {
    const int32_t capacity = run.image.firmware.capacity;
    return std::all_of(image(), image() + capacity, [](uint8_t b) { return b == 0xAA; });
  }
  bool AllClosed() const { return files.counts().OpenNow() == 0; }
};

TEST(LoadHexImage, TheRecordsOfTheExample) {
  HexRun r;
  r.WriteText(kHexFile, ":0400100012345678D8\r\n:00000001FF\r\n");
  EXPECT_EQ(LoadHexImage(r.run), 0);
  EXPECT_EQ(r.console(), kLoaded);
  for (int i = 0; i < 0x1000; ++i) {
    const uint8_t expected = i == 0x10   ? 0x12
                             : i == 0x11 ? 0x34
                             : i == 0x12 ? 0x56
                             : i == 0x13 ? 0x78
                                         : 0xFF;
    ASSERT_EQ(r.image()[i], expected) << i;
  }
  EXPECT_EQ(r.image()[0x1000], 0xAA);  // behind `length`: untouched
  EXPECT_EQ(r.run.image.firmware.length, 0x1000);
  EXPECT_EQ(r.files.counts().textOpens, 1);
  EXPECT_TRUE(r.AllClosed());
}

// What lands where, table of files that load.
TEST(LoadHexImage, RecordsThatLoad) {
  struct Case {
    const char* what;
    std::string text;
    std::vector<std::pair<uint32_t, uint8_t>> image;   // bytes expected in the image
    std::vector<std::pair<uint32_t, uint8_t>> staged;  // bytes expected in the staging buffer
  };
  const Case cases[] = {
      {"segment record moves the data",
       ":020000021000EC\r\n" + Data(0x0020, {0x5A}) + kEnd,
       {{0x10020, 0x5A}, {0x20, 0xFF}},
       {}},
      {"no end record is accepted", Data(0x0000, {1, 2, 3}), {{0, 1}, {1, 2}, {2, 3}}, {}},
      {"LF line ends", ":0400100012345678D8\n:00000001FF\n", {{0x10, 0x12}, {0x13, 0x78}}, {}},
      {"lower-case digits", ":0400100012345678d8\r\n:00000001ff\r\n", {{0x10, 0x12}}, {}},
      {"later records overwrite earlier ones",
       Data(0x10, {1, 2}) + Data(0x11, {9}) + kEnd,
       {{0x10, 1}, {0x11, 9}},
       {}},
      {"type 4 records are ignored",
       sim::HexRecord(4, 0, std::vector<uint8_t>{0x00, 0x01}) + "\r\n" + Data(0x10, {7}) + kEnd,
       {{0x10, 7}},
       {}},
      {"other record types are ignored",
       sim::HexRecord(5, 0, std::vector<uint8_t>{1, 2, 3, 4}) + "\r\n" + Data(0x10, {7}) + kEnd,
       {{0x10, 7}, {0x00, 0xFF}},
       {}},
      {"lines after the end record are not read",
       Data(0x10, {7}) + kEnd + "garbage\r\n" + Data(0x10, {8}),
       {{0x10, 7}},
       {}},
      {"data behind `length` is staged, not copied",
       Data(0x0FFF, {1, 2}) + Segment(0x1000) + Data(0x0FFF, {3, 4}) + kEnd,
       {{0x0FFF, 1}, {0x1000, 2}, {0x10FFF, 3}, {0x11000, 0xAA}},
       {{0x11000, 4}}},
      {"trailing characters behind the checksum are ignored",
       ":0400100012345678D8  \r\n" + kEnd,
       {{0x10, 0x12}},
       {}},
      {"the highest address a record can reach stays in the staging buffer",
       Segment(0xFFFF) + sim::HexRecord(0, 0xFFFF, std::vector<uint8_t>(0xFF, 0x3C)) + "\r\n" +
           kEnd,
       {{0, 0xFF}},
       {{0xFFFF0 + 0xFFFF, 0x3C}, {0xFFFF0 + 0xFFFF + 0xFE, 0x3C}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    HexRun r(0x11000);
    r.WriteText(kHexFile, c.text);
    EXPECT_EQ(LoadHexImage(r.run), 0);
    EXPECT_EQ(r.console(), kLoaded);
    for (const auto& [offset, value] : c.image) EXPECT_EQ(r.image()[offset], value) << offset;
    for (const auto& [offset, value] : c.staged) {
      EXPECT_EQ(r.workBuffer[offset], value) << offset;
    }
    EXPECT_TRUE(r.AllClosed());
  }
}

// Reading stops once `length` data bytes were read, even without an end
// record and before a line that would be refused.
TEST(LoadHexImage, StopsAfterLengthDataBytes) {
  HexRun r(0x1000);
  std::vector<uint8_t> block(0x1000);
  for (std::size_t i = 0; i < block.size(); ++i) block[i] = static_cast<uint8_t>(i * 7);
  sim::HexOptions options;
  options.endRecord = false;
  r.WriteText(kHexFile, sim::ToHexRecords(block, 0, options) + "not a record\r\n");
  EXPECT_EQ(LoadHexImage(r.run), 0);
  EXPECT_EQ(r.console(), kLoaded);
  EXPECT_EQ(std::memcmp(r.image(), block.data(), block.size()), 0);
}

// A data byte written with characters that are not hexadecimal digits
// leaves its byte as the fill (or an earlier record) left it; the checksum
// covers the bytes that can be read.
TEST(LoadHexImage, NonHexDataCharactersLeaveTheirByte) {
  HexRun r;
  // 0x12 0x?? 0x56 0x78: the readable bytes and the header add up to 0xF4.
  r.WriteText(kHexFile,
              Data(0x11, {0xEE}) + ":0400100012ZZ56780C\r\n:04001400G1345678E6\r\n" + kEnd);
  EXPECT_EQ(LoadHexImage(r.run), 0) << r.console();
  EXPECT_EQ(r.image()[0x10], 0x12);
  EXPECT_EQ(r.image()[0x11], 0xEE);  // kept from the record before
  EXPECT_EQ(r.image()[0x12], 0x56);
  EXPECT_EQ(r.image()[0x14], 0xFF);  // "G1": the fill stays
  EXPECT_EQ(r.image()[0x15], 0x34);
}

// Files refused: nothing reaches the image buffer, the file is closed.
TEST(LoadHexImage, RefusedFiles) {
  struct Case {
    const char* what;
    std::string text;
    std::string console;
  };
  const Case cases[] = {
      {"empty line", Data(0x10, {1}) + "\r\n" + kEnd, kNoStart},
      {"leading blank", " :0400100012345678D8\r\n" + kEnd, kNoStart},
      {"no colon", "0400100012345678D8\r\n", kNoStart},
      {"line longer than 1023 characters: its rest is a line of its own",
       ":" + std::string(1100, '0') + "\r\n", kNoStart},
      {"checksum wrong", ":0400100012345678D9\r\n" + kEnd,
       "\r\nHEX record checksum error in line 1."},
      {"checksum wrong in line 3", Data(0, {1}) + Data(1, {2}) + ":0400100012345679D8\r\n" + kEnd,
       "\r\nHEX record checksum error in line 3."},
      {"no checksum", ":0400100012345678\r\n" + kEnd, "\r\nHEX record is damaged in line 1."},
      {"byte count runs past the line", ":0A00100012345678D8\r\n" + kEnd,
       "\r\nHEX record is damaged in line 1."},
      {"cut short", ":04001\r\n", "\r\nHEX record is damaged in line 1."},
      {"colon alone", ":\r\n", "\r\nHEX record is damaged in line 1."},
      {"byte count not hex", ":0G00100012345678D8\r\n", "\r\nHEX record is damaged in line 1."},
      {"address not hex", ":04001X0012345678D8\r\n", "\r\nHEX record is damaged in line 1."},
      {"checksum not hex", ":0400100012345678DX\r\n", "\r\nHEX record is damaged in line 1."},
      {"segment record without its two bytes", ":0100000210ED\r\n",
       "\r\nHEX record is damaged in line 1."},
      {"segment digits not hex", ":02000002X000FC\r\n", "\r\nHEX record is damaged in line 1."},
      {"end record with a bad checksum", ":00000001FE\r\n",
       "\r\nHEX record checksum error in line 1."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    HexRun r;
    r.WriteText(kHexFile, c.text);
    EXPECT_EQ(LoadHexImage(r.run), -1);
    EXPECT_EQ(r.console(), c.console);
    EXPECT_TRUE(r.boxes().empty());
    EXPECT_TRUE(r.ImageUnchanged());
    EXPECT_TRUE(r.AllClosed());
  }
}

TEST(LoadHexImage, LengthMustFitBothBuffersAndLeaveAFinalPiece) {
  struct Case {
    int32_t length;
    int32_t capacity;
  };
  const Case cases[] = {
      {0, 0x200000},      {0xFFF, 0x200000},
      {-1, 0x200000},     {0x200001, 0x800000},  // larger than the staging buffer
      {0x20000, 0x10000},                        // larger than the image buffer
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.length);
    HexRun r(c.length, c.capacity);
    r.WriteText(kHexFile, ":0400100012345678D8\r\n" + kEnd);
    r.WriteText(kPatchFileName, ":0400100012345678D8\r\n" + kEnd);
    const std::string line = Format("\r\nImage length 0x%X is not valid for a HEX image.",
                                    static_cast<unsigned>(c.length));
    EXPECT_EQ(LoadHexImage(r.run), -1);
    EXPECT_EQ(LoadPatchFile(r.run), -1);
    EXPECT_EQ(r.console(), line + line);
    EXPECT_EQ(r.files.counts().textOpens, 0);  // nothing was read
    EXPECT_TRUE(r.ImageUnchanged());
    EXPECT_TRUE(r.SlackUntouched());
  }
  // The limits themselves are fine.
  for (const int32_t length : {0x1000, 0x200000}) {
    HexRun r(length, 0x200000);
    r.WriteText(kHexFile, kEnd);
    EXPECT_EQ(LoadHexImage(r.run), 0) << length;
  }
}

TEST(LoadPatchFile, OnlyThePatchWindowChanges) {
  HexRun r(0x21000);
  r.WriteText(kPatchFileName, Segment(0x2000) + Data(0x0004, {0x11, 0x22}) +
                                  Data(0x0FFF, {0x33, 0x44}) + Segment(0) + Data(0x0010, {0x55}) +
                                  kEnd);
  EXPECT_EQ(LoadPatchFile(r.run), 0);
  EXPECT_EQ(r.console(), kPatched);
  for (uint32_t i = 0; i < 0x200000; ++i) {
    uint8_t expected = 0xAA;
    if (i >= 0x20000 && i < 0x21000) expected = 0xFF;
    if (i == 0x20004) expected = 0x11;
    if (i == 0x20005) expected = 0x22;
    if (i == 0x20FFF) expected = 0x33;
    ASSERT_EQ(r.image()[i], expected) << i;
  }
  EXPECT_TRUE(r.AllClosed());
}

TEST(LoadPatchFile, APatchOutsideTheWindowChangesNothing) {
  HexRun r(0x21000);
  r.WriteText(kPatchFileName, Data(0x0010, {0x55}) + Segment(0x2100) + Data(0, {0x66}) + kEnd);
  EXPECT_EQ(LoadPatchFile(r.run), 0);
  EXPECT_EQ(r.console(), kPatched);
  for (uint32_t i = 0; i < 0x200000; ++i) {
    if (i >= 0x20000 && i < 0x21000) continue;  // the window: the fill
    ASSERT_EQ(r.image()[i], 0xAA) << i;
  }
}

// Where the window lies beyond `length`, its bytes that the patch does not
// set are what the staging buffer held before.
TEST(LoadPatchFile, AWindowBeyondLengthKeepsTheStagingBytes) {
  HexRun r(0x20000);
  std::memset(r.workBuffer.data() + 0x20000, 0x5A, 0x1000);
  r.WriteText(kPatchFileName, Segment(0x2000) + Data(0x0004, {0x11}) + kEnd);
  EXPECT_EQ(LoadPatchFile(r.run), 0);
  EXPECT_EQ(r.image()[0x20000], 0x5A);
  EXPECT_EQ(r.image()[0x20004], 0x11);
  EXPECT_EQ(r.image()[0x20FFF], 0x5A);
  EXPECT_EQ(r.image()[0x1FFFF], 0xAA);
}

TEST(LoadPatchFile, PatchesTheLoadedImage) {
  HexRun r(0x21000);
  std::vector<uint8_t> base(0x21000, 0x01);
  r.WriteText(kHexFile, sim::ToHexRecords(base));
  r.WriteText(kPatchFileName, Segment(0x2000) + Data(0x0100, {0x99}) + kEnd);
  ASSERT_EQ(LoadHexImage(r.run), 0);
  ASSERT_EQ(LoadPatchFile(r.run), 0);
  EXPECT_EQ(r.image()[0x20100], 0x99);
  EXPECT_EQ(r.image()[0x20101], 0xFF);  // patch window bytes the patch leaves open: the fill
  EXPECT_EQ(r.image()[0x1FFFF], 0x01);
  EXPECT_EQ(r.console(), kLoaded + kPatched);
}

TEST(LoadPatchFile, RefusesLikeTheImageLoader) {
  HexRun r(0x21000);
  r.WriteText(kPatchFileName, Segment(0x2000) + ":0100000011EF\r\n" + kEnd);
  EXPECT_EQ(LoadPatchFile(r.run), -1);
  EXPECT_EQ(r.console(), "\r\nHEX record checksum error in line 2.");
  EXPECT_TRUE(r.ImageUnchanged());

  HexRun missing(0x21000);
  EXPECT_EQ(LoadPatchFile(missing.run), -1);
  EXPECT_EQ(missing.console(), "\r\nFile Exception Error 2 : File not found");
  EXPECT_TRUE(missing.ImageUnchanged());
}

const char* const kCauseTexts[] = {
    "",
    "\r\nFile Exception Error 1 : Generic error occurred",
    "\r\nFile Exception Error 2 : File not found",
    "\r\nFile Exception Error 3 : Bad file path is specified",
    "\r\nFile Exception Error 4 : Too many open files",
    "\r\nFile Exception Error 5 : File access denied",
    "\r\nFile Exception Error 6 : Invalid file handle is specified",
    "\r\nFile Exception Error 7 : Removed current directory",
    "\r\nFile Exception Error 8 : Directory full",
    "\r\nFile Exception Error 9 : Bad seek(file pointer)",
    "\r\nFile Exception Error a : Hardware I/O error",
    "\r\nFile Exception Error b : File sharing violation",
    "\r\nFile Exception Error c : File lock violation",
    "\r\nFile Exception Error d : Disk full",
    "\r\nFile Exception Error e : Reach to end of file",
};

TEST(ReportFileError, EveryCauseText) {
  for (int cause = -1; cause <= 16; ++cause) {
    HexRun r;
    ReportFileError(r.run, cause);
    EXPECT_EQ(r.console(), cause >= 1 && cause <= 14 ? kCauseTexts[cause] : "") << cause;
  }
  // The same English texts with Japanese messages.
  HexRun r;
  r.run.driver.oemCodePage = 932;
  ReportFileError(r.run, 2);
  EXPECT_EQ(r.console(), kCauseTexts[2]);
}

// Every cause reaches the user through the loader, at open and at a read.
TEST(LoadHexImage, FileErrorsAtOpenAndRead) {
  for (const int cause : {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15}) {
    SCOPED_TRACE(cause);
    const std::string text = cause <= 14 ? kCauseTexts[cause] : "";
    {
      HexRun r;
      r.WriteText(kHexFile, ":0400100012345678D8\r\n" + kEnd);
      sim::TextFault fault;
      fault.openCause = cause;
      r.files.InjectTextFault(fault);
      EXPECT_EQ(LoadHexImage(r.run), -1);
      EXPECT_EQ(r.console(), text);
      EXPECT_TRUE(r.ImageUnchanged());
    }
    {
      HexRun r;
      r.WriteText(kHexFile, Data(0, {1}) + Data(1, {2}) + Data(2, {3}) + kEnd);
      sim::TextFault fault;
      fault.name = kHexFile;
      fault.readLine = 2;
      fault.readCause = cause;
      r.files.InjectTextFault(fault);
      EXPECT_EQ(LoadHexImage(r.run), -1);
      EXPECT_EQ(r.console(), text);
      EXPECT_TRUE(r.ImageUnchanged());
      EXPECT_EQ(r.files.counts().textOpens, 1);
      EXPECT_TRUE(r.AllClosed());
    }
  }
}

// Causes the simulated host gives for real files.
TEST(LoadHexImage, CausesOfRealFiles) {
  struct Case {
    const char* fileName;
    int cause;
  };
  const Case cases[] = {{"S1005001.110", 2}, {"nodir/S1005001.110", 3}, {"adir", 5}};
  for (const Case& c : cases) {
    HexRun r;
    std::filesystem::create_directory(r.dir / "adir");
    std::strcpy(r.run.definition.active.fileName, c.fileName);
    EXPECT_EQ(LoadHexImage(r.run), -1) << c.fileName;
    EXPECT_EQ(r.console(), kCauseTexts[c.cause]) << c.fileName;
    EXPECT_TRUE(r.ImageUnchanged());
  }
}

TEST(LoadHexImage, JapaneseMessages) {
  HexRun r;
  r.run.driver.oemCodePage = 932;
  r.WriteText(kHexFile, kEnd);
  r.WriteText(kPatchFileName, "\r\n");
  EXPECT_EQ(LoadHexImage(r.run), 0);
  EXPECT_EQ(LoadPatchFile(r.run), -1);
  EXPECT_EQ(r.console(), std::string(MessageTemplate(17, true)) + MessageTemplate(16, true));
}

}  // namespace
}  // namespace oddfw
