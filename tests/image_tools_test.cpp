// The sample image generator, the HEX writer, the oddfw-mkimage command and
// the simulated text reader they are read back through.

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

#include "image/firmware_image.h"
#include "image/hex_loader.h"
#include "image_fixture.h"
#include "sim/hex_writer.h"
#include "sim/image_builder.h"

namespace oddfw {
namespace {

using testing::ImageRun;

std::string Field(const std::vector<uint8_t>& image, uint32_t offset, std::size_t width) {
  return std::string(reinterpret_cast<const char*>(image.data() + offset), width);
}

TEST(BuildImage, DefaultsAreTheBuiltInReleaseImage) {
  const std::vector<uint8_t> image = sim::BuildImage({});
  ASSERT_EQ(image.size(), 0x200000u);
  EXPECT_EQ(Field(image, 0x60, 24), "QUORVEN BD-RW   MHT-860 ");
  EXPECT_EQ(Field(image, 0x90, 5), "1.10 ");
  EXPECT_EQ(Field(image, 0xB0, 8), "SAT 0001");
  EXPECT_EQ(Field(image, 0xD0, 8), "GENERAL ");
  EXPECT_EQ(Field(image, 0xF0, 8), "GENERAL ");
  EXPECT_EQ(image[0x110], 'N');
  EXPECT_EQ(Field(image, 0x130, 8), "09/02/18");
  EXPECT_EQ(Field(image, 0x150, 4), std::string(4, '\0'));
  // The header's other bytes are zero but for the check value; the payload
  // starts behind it.
  EXPECT_EQ(image[0x00], 0);
  EXPECT_EQ(image[0x15F], 0);
  EXPECT_TRUE(sim::ImageCheckHolds(image.data(), image.size()));
  std::vector<uint8_t> garbled = image;
  garbled[0x1000] ^= 0x01;
  EXPECT_FALSE(sim::ImageCheckHolds(garbled.data(), garbled.size()));
  garbled = image;
  std::fill(garbled.begin() + 0x8000, garbled.begin() + 0x10000, 0);
  EXPECT_FALSE(sim::ImageCheckHolds(garbled.data(), garbled.size()));
  EXPECT_FALSE(sim::ImageCheckHolds(image.data(), 0x1F8000));
  for (const uint32_t at : {0x160u, 0x1000u, 0x1FFFFFu}) {
    EXPECT_EQ(image[at], sim::PayloadByte(1, at)) << at;
  }
}

TEST(BuildImage, PayloadFollowsTheSeed) {
  sim::ImageSpec a;
  a.size = 0x4000;
  sim::ImageSpec b = a;
  b.seed = 2;
  const std::vector<uint8_t> first = sim::BuildImage(a);
  EXPECT_EQ(first, sim::BuildImage(a));
  const std::vector<uint8_t> other = sim::BuildImage(b);
  EXPECT_NE(std::memcmp(first.data() + 0x160, other.data() + 0x160, 0x4000 - 0x160), 0);
  // The payload does not depend on the size, nor on the header.
  sim::ImageSpec bare = a;
  bare.header = false;
  bare.size = 0x2000;
  const std::vector<uint8_t> raw = sim::BuildImage(bare);
  EXPECT_EQ(std::memcmp(raw.data() + 0x160, first.data() + 0x160, 0x2000 - 0x160), 0);
  EXPECT_NE(Field(raw, 0x60, 8), "QUORVEN ");
}

TEST(BuildImage, FieldsPlacementsAndBadInput) {
  sim::ImageSpec spec;
  spec.size = 0x20000;
  spec.vendorId = "Wendrix";  // padded
  spec.dateText = "Feb18 2009";
  spec.partKind = 'K';
  spec.kernelRevisionText = "0001";
  spec.placements = {{0x1000, "QUORVEN CDRW1234"}, {0x1FFFE, "\x01\x02"}};
  const std::vector<uint8_t> image = sim::BuildImage(spec);
  EXPECT_EQ(Field(image, 0x60, 8), "Wendrix ");
  EXPECT_EQ(Field(image, 0x130, 10), "Feb18 2009");
  EXPECT_EQ(image[0x110], 'K');
  EXPECT_EQ(Field(image, 0x150, 4), "0001");
  EXPECT_EQ(Field(image, 0x1000, 16), "QUORVEN CDRW1234");
  EXPECT_EQ(image[0x1FFFF], 0x02);

  sim::ImageSpec tooLong;
  tooLong.signature = "GENERAL  ";
  EXPECT_THROW(sim::BuildImage(tooLong), std::invalid_argument);
  sim::ImageSpec outside;
  outside.size = 0x1000;
  outside.placements = {{0xFFF, "ab"}};
  EXPECT_THROW(sim::BuildImage(outside), std::invalid_argument);
  sim::ImageSpec tiny;
  tiny.size = 0x70;  // the header is cut at the image's end
  EXPECT_EQ(Field(sim::BuildImage(tiny), 0x60, 16), "QUORVEN BD-RW   ");
}

// A generated image's header read back by the loader.
TEST(BuildImage, LoaderReadsTheGeneratedHeader) {
  ImageRun r;
  sim::ImageSpec spec;
  spec.revisionText = "1.23 ";
  spec.dateText = "10/11/12";
  spec.size = 0x123456;
  r.Write("S1005001.110", sim::BuildImage(spec));
  ASSERT_EQ(LoadImage(r.run, NormalImage), 0);
  const FirmwareImage& image = r.run.image.firmware;
  EXPECT_EQ(image.length, 0x123456);
  EXPECT_EQ(std::string(image.revisionText, 5), "1.23 ");
  EXPECT_EQ(std::string(image.dateText, 8), "10/11/12");
  EXPECT_EQ(image.imageReleaseDate, 0x20101112u);
  EXPECT_EQ(r.run.definition.definition.releaseRevision, 0x123);
}

TEST(HexRecord, KnownRecords) {
  EXPECT_EQ(sim::HexRecord(0, 0x0010, std::vector<uint8_t>{0x12, 0x34, 0x56, 0x78}),
            ":0400100012345678D8");
  EXPECT_EQ(sim::HexRecord(1, 0, {}), ":00000001FF");
  EXPECT_EQ(sim::HexRecord(2, 0, std::vector<uint8_t>{0x10, 0x00}), ":020000021000EC");
}

TEST(ToHexRecords, LinesSegmentsAndLimits) {
  std::vector<uint8_t> data(0x10010, 0x11);
  const std::string text = sim::ToHexRecords(data, 0, {});
  EXPECT_EQ(text.substr(0, 45), ":1000000011111111111111111111111111111111E0\r\n");
  EXPECT_NE(text.find("\r\n:020000021000EC\r\n:10000000"), std::string::npos);
  EXPECT_EQ(text.substr(text.size() - 13), ":00000001FF\r\n");

  // A start that is not line aligned: no line crosses a 64 KiB boundary.
  sim::HexOptions wide;
  wide.bytesPerLine = 32;
  wide.crlf = false;
  const std::string shifted = sim::ToHexRecords(std::vector<uint8_t>(0x30, 0), 0xFFF8, wide);
  EXPECT_EQ(shifted.substr(0, 11), ":08FFF80000");
  EXPECT_NE(shifted.find("\n:020000021000EC\n:20000000"), std::string::npos);

  EXPECT_THROW(sim::ToHexRecords(std::vector<uint8_t>(2), 0xFFFFF), std::out_of_range);
  sim::HexOptions odd;
  odd.bytesPerLine = 24;
  EXPECT_THROW(sim::ToHexRecords(std::vector<uint8_t>(2), 0, odd), std::invalid_argument);
}

// binary -> HEX -> LoadHexImage gives the binary back.
TEST(ToHexRecords, RoundTripThroughTheLoader) {
  struct Case {
    int bytesPerLine;
    bool crlf;
    bool skipErased;
    int32_t length;
  };
  const Case cases[] = {
      {16, true, false, 0x21000}, {32, false, false, 0x21000}, {16, true, true, 0x21000},
      {32, true, false, 0x1000},  {16, true, false, 0x100000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.bytesPerLine) + (c.crlf ? " crlf " : " lf ") +
                 (c.skipErased ? "sparse " : "") + std::to_string(c.length));
    ImageRun r(0x200000);
    r.run.image.firmware.length = c.length;
    sim::ImageSpec spec;
    spec.header = false;
    spec.size = static_cast<uint32_t>(c.length);
    spec.seed = 7;
    spec.placements = {{0x0800, std::string(0x100, '\xFF')}};  // an erased stretch
    const std::vector<uint8_t> binary = sim::BuildImage(spec);
    sim::HexOptions options;
    options.bytesPerLine = c.bytesPerLine;
    options.crlf = c.crlf;
    options.skipErased = c.skipErased;
    r.WriteText("S1005001.110", sim::ToHexRecords(binary, 0, options));
    ASSERT_EQ(LoadHexImage(r.run), 0) << r.console();
    EXPECT_EQ(std::memcmp(r.run.image.firmware.buffer, binary.data(), binary.size()), 0);
  }
}

// oddfw-mkimage writes what the library builds.
TEST(MkImage, CommandLine) {
  ImageRun r;
  auto run = [&r](const std::string& args) {
    const std::string command =
        std::string(ODDFW_MKIMAGE_BINARY) + " " + args + " 2>" + (r.dir / "stderr.txt").string();
    const int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  };
  auto read = [&r](const std::string& name) {
    std::ifstream in(r.dir / name, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
  };
  const std::string dir = r.dir.string() + "/";

  ASSERT_EQ(run(dir + "S1005001.110"), 0);
  EXPECT_EQ(read("S1005001.110"), sim::BuildImage({}));

  ASSERT_EQ(run("--part K --size 0x11200 --seed 3 --date 'Feb18 2009' --vendor 'Wendrix ' "
                "--kernel-revision 0001 --put-hex 0x200=0102ff " +
                dir + "S1005000.110"),
            0);
  sim::ImageSpec kernel;
  kernel.partKind = 'K';
  kernel.size = 0x11200;
  kernel.seed = 3;
  kernel.dateText = "Feb18 2009";
  kernel.vendorId = "Wendrix ";
  kernel.kernelRevisionText = "0001";
  kernel.placements = {{0x200, "\x01\x02\xff"}};
  EXPECT_EQ(read("S1005000.110"), sim::BuildImage(kernel));

  ASSERT_EQ(run("--no-header --size 0x2000 --hex --hex-width 32 --put 0x1000=QUORVEN " + dir +
                "image.hex"),
            0);
  sim::ImageSpec bare;
  bare.header = false;
  bare.size = 0x2000;
  bare.placements = {{0x1000, "QUORVEN"}};
  sim::HexOptions wide;
  wide.bytesPerLine = 32;
  const std::string hex = sim::ToHexRecords(sim::BuildImage(bare), 0, wide);
  EXPECT_EQ(read("image.hex"), std::vector<uint8_t>(hex.begin(), hex.end()));

  ASSERT_EQ(run("--hex-from " + dir + "image.hex --lf " + dir + "again.hex"), 0);
  EXPECT_FALSE(read("again.hex").empty());

  for (const char* bad : {"", "--part X out", "--size big out", "--bogus out",
                          "--signature TOO-LONG-TEXT out", "a b"}) {
    EXPECT_EQ(run(bad), 2) << bad;
  }
}

TEST(SimTextFile, LinesAsTheLoaderGetsThem) {
  struct Case {
    const char* what;
    std::string text;
    std::vector<std::string> lines;
  };
  const std::string full(1023, 'x');
  const Case cases[] = {
      {"empty file", "", {}},
      {"CR LF and LF", "a\r\nb\nc", {"a", "b", "c"}},
      {"empty lines", "\r\n\n", {"", ""}},
      {"a lone CR stays", "a\rb\r\n", {"a\rb"}},
      {"exactly the limit", full + "\r\nz\n", {full, "z"}},
      {"over the limit", full + "yy\n", {full, "yy"}},
      {"CR LF right at the limit", full + "\r\n", {full}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ImageRun r;
    r.WriteText("t.txt", c.text);
    std::unique_ptr<platform::TextFile> file;
    ASSERT_EQ(r.files.OpenText("t.txt", &file), 0);
    std::vector<std::string> lines;
    std::string line;
    int cause = 0;
    while (file->ReadLine(&line, 1023, &cause) == platform::TextFile::Read::kLine) {
      lines.push_back(line);
    }
    EXPECT_EQ(lines, c.lines);
    file.reset();
    EXPECT_EQ(r.files.counts().textCloses, 1);
  }
}

}  // namespace
}  // namespace oddfw
