#include "image/firmware_image.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "console/catalog.h"
#include "image_fixture.h"

namespace oddfw {
namespace {

using testing::ImageRun;

constexpr const char* kNormalFile = "S1005001.110";
constexpr const char* kKernelFile = "S1005000.110";
const std::string kTooOld = "\r\nSelected file is too old fw file.";
const std::string kIllegalKernel = "\r\nSelected file is illegal kernel file.";
const std::string kIllegalFw = "\r\nSelected file is illegal fw file.";

sim::ImageSpec KernelSpec() {
  sim::ImageSpec spec;
  spec.partKind = 'K';
  spec.size = 0x11200;
  spec.seed = 2;
  spec.kernelRevisionText = "0001";
  return spec;
}

std::string Text(const char* field, std::size_t width) {
  return std::string(field, width);
}

// The message a refusal shows: on the console and in one error box.
void ExpectRefusal(const ImageRun& r, const std::string& text) {
  EXPECT_EQ(r.console(), text);
  ASSERT_EQ(r.boxes().size(), 1u);
  EXPECT_EQ(r.boxes()[0].text, text);
  EXPECT_EQ(r.boxes()[0].type, 0x10u);  // error icon, OK button
}

TEST(LoadImage, TheBuiltInReleaseImageLoads) {
  ImageRun r;
  const sim::ImageSpec spec;
  const std::vector<uint8_t> bytes = sim::BuildImage(spec);
  r.Write(kNormalFile, bytes);
  r.run.image.firmware.length = 12345;
  r.run.definition.definition.releaseRevision = 0;

  EXPECT_EQ(LoadImage(r.run, NormalImage), 0);
  const FirmwareImage& image = r.run.image.firmware;
  EXPECT_EQ(image.length, 0x200000);
  EXPECT_EQ(Text(image.revisionText, 5), "1.10 ");
  EXPECT_EQ(Text(image.dateText, 8), "09/02/18");
  EXPECT_EQ(image.imageReleaseDate, 0x20090218u);
  EXPECT_EQ(r.run.definition.definition.releaseRevision, 0x110);
  EXPECT_EQ(std::memcmp(image.buffer, bytes.data(), bytes.size()), 0);
  EXPECT_EQ(r.console(), "");
  EXPECT_TRUE(r.boxes().empty());
  EXPECT_EQ(r.files.counts().binaryOpens, 1);
  EXPECT_EQ(r.files.counts().OpenNow(), 0);

  // The header as message 82 shows it.
  const uint8_t* header = ImageHeaderBytes(r.run);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(header + 0x60), 24),
            "QUORVEN BD-RW   MHT-860 ");
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(header + 0xB0), 8), "SAT 0001");
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(header + 0xF0), 8), "GENERAL ");
}

TEST(LoadImage, ReleaseDateAgainstTheMinimum) {
  struct Case {
    const char* vendor;
    const char* date;
    uint32_t minimum;
    uint32_t expectedDate;
    bool accepted;
  };
  const Case cases[] = {
      {"QUORVEN ", "09/02/18", 0x20090218, 0x20090218, true},  // equal is new enough
      {"QUORVEN ", "09/02/17", 0x20090218, 0x20090217, false},
      {"QUORVEN ", "10/01/05", 0x20090218, 0x20100105, true},
      {"QUORVEN ", " 9/ 2/18", 0x20090218, 0x20090218, true},  // blanks before the digits
      {"Wendrix ", "Feb18 2009", 0x20090218, 0x20090218, true},
      {"Wendrix ", "Oct01 2010", 0x20090218, 0x20101001, true},
      {"Wendrix ", "Dec31 2008", 0x20090218, 0x20081231, false},
      {"Wendrix ", "Feb 8 2009", 0x20090101, 0x20090208, true},
      // An unknown month is month 0: older than any date of the same year.
      {"Wendrix ", "Fbr18 2009", 0x20090101, 0x20090018, false},
      {"Wendrix ", "Fbr18 2009", 0x20081231, 0x20090018, true},
      {"WENDRIX ", "09/02/18", 0x20090218, 0x20090218, true},  // vendor compared exactly
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.vendor) + c.date);
    ImageRun r;
    sim::ImageSpec spec;
    spec.vendorId = c.vendor;
    spec.dateText = c.date;
    spec.size = 0x1000;
    r.Write(kNormalFile, sim::BuildImage(spec));
    r.run.definition.definition.entries[0].minimumImageDate = c.minimum;

    EXPECT_EQ(LoadImage(r.run, NormalImage), c.accepted ? 0 : -1);
    EXPECT_EQ(r.run.image.firmware.imageReleaseDate, c.expectedDate);
    if (c.accepted) {
      EXPECT_EQ(r.console(), "");
    } else {
      ExpectRefusal(r, kTooOld);
    }
    EXPECT_EQ(r.files.counts().OpenNow(), 0);
  }
}

// An own-form kernel image is dated by the normal image loaded before it; a
// Wendrix kernel image by its own date text.
TEST(LoadImage, KernelImageDate) {
  struct Case {
    const char* vendor;
    const char* normalDate;
    const char* kernelDate;
    uint32_t expectedDate;
    bool accepted;
  };
  const Case cases[] = {
      {"QUORVEN ", "09/02/18", "01/01/01", 0x20090218, true},
      {"QUORVEN ", "09/02/17", "99/12/31", 0x20090217, false},
      {"Wendrix ", "Feb18 2009", "Jan01 2008", 0x20080101, false},
      {"Wendrix ", "Feb18 2009", "Mar01 2009", 0x20090301, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.vendor) + c.normalDate + " " + c.kernelDate);
    ImageRun r;
    sim::ImageSpec normal;
    normal.vendorId = c.vendor;
    normal.dateText = c.normalDate;
    normal.size = 0x30000;
    r.Write(kNormalFile, sim::BuildImage(normal));
    sim::ImageSpec kernel = KernelSpec();
    kernel.vendorId = c.vendor;
    kernel.dateText = c.kernelDate;
    kernel.revisionText = "0.99 ";
    r.Write(kKernelFile, sim::BuildImage(kernel));

    LoadImage(r.run, NormalImage);  // may be refused itself; its date text is kept
    const std::string before = r.console();
    const std::size_t boxesBefore = r.boxes().size();
    EXPECT_EQ(LoadImage(r.run, KernelImage), c.accepted ? 0 : -1);
    EXPECT_EQ(r.run.image.firmware.imageReleaseDate, c.expectedDate);
    EXPECT_EQ(r.console().substr(before.size()), c.accepted ? "" : kTooOld);
    EXPECT_EQ(r.boxes().size(), boxesBefore + (c.accepted ? 0 : 1));
    // A kernel load keeps what the normal load set, except the revision.
    EXPECT_EQ(r.run.image.firmware.length, 0x30000);
    EXPECT_EQ(Text(r.run.image.firmware.revisionText, 5), "1.10 ");
    EXPECT_EQ(Text(r.run.image.firmware.dateText, 8), std::string(c.normalDate).substr(0, 8));
    EXPECT_EQ(r.run.definition.definition.releaseRevision, 0x99);
    EXPECT_EQ(r.files.counts().binaryOpens, 2);
    EXPECT_EQ(r.files.counts().OpenNow(), 0);
  }
}

TEST(LoadImage, SignatureAndPartKind) {
  struct Case {
    ImageKind kind;
    const char* signature;
    char part;
    const char* date;
    const std::string* message;  // nullptr: accepted
  };
  const Case cases[] = {
      {NormalImage, "GENERAL ", 'N', "09/02/18", nullptr},
      {KernelImage, "GENERAL ", 'K', "09/02/18", nullptr},
      {NormalImage, "GENERAL ", 'K', "09/02/18", &kIllegalFw},
      {KernelImage, "GENERAL ", 'N', "09/02/18", &kIllegalKernel},
      {NormalImage, "OEMXYZ  ", 'N', "09/02/18", &kIllegalFw},
      {KernelImage, "general ", 'K', "09/02/18", &kIllegalKernel},
      {NormalImage, "GENERAL", 'N', "09/02/18", &kIllegalFw},  // ends in a zero, not a blank
      {NormalImage, "OEMXYZ  ", 'K', "09/02/17", &kTooOld},    // the date test comes first
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.kind == KernelImage ? "kernel " : "normal ") + c.signature + c.part +
                 c.date);
    ImageRun r;
    // The kernel load is dated by a normal image loaded before.
    std::memcpy(r.run.image.firmware.dateText, c.date, 8);
    sim::ImageSpec spec;
    spec.signature = c.signature;
    spec.partKind = c.part;
    spec.dateText = c.date;
    spec.size = 0x2000;
    std::vector<uint8_t> bytes = sim::BuildImage(spec);
    if (std::strlen(c.signature) < 8) bytes[0xD7] = 0;  // not blank padded
    r.Write(c.kind == KernelImage ? kKernelFile : kNormalFile, bytes);

    EXPECT_EQ(LoadImage(r.run, c.kind), c.message == nullptr ? 0 : -1);
    if (c.message == nullptr) {
      EXPECT_EQ(r.console(), "");
      EXPECT_TRUE(r.boxes().empty());
    } else {
      ExpectRefusal(r, *c.message);
    }
    EXPECT_EQ(r.files.counts().OpenNow(), 0);
  }
}

TEST(LoadImage, RevisionTextGivesTheReleaseRevision) {
  struct Case {
    const char* text;
    uint16_t revision;
  };
  const Case cases[] = {{"0.99 ", 0x99}, {"1.10 ", 0x110}, {"2.05A", 0x205}, {"1.00 ", 0x100}};
  for (const Case& c : cases) {
    ImageRun r;
    sim::ImageSpec spec;
    spec.revisionText = c.text;
    spec.size = 0x1000;
    r.Write(kNormalFile, sim::BuildImage(spec));
    EXPECT_EQ(LoadImage(r.run, NormalImage), 0) << c.text;
    EXPECT_EQ(r.run.definition.definition.releaseRevision, c.revision) << c.text;
    EXPECT_EQ(Text(r.run.image.firmware.revisionText, 5), c.text);
  }
}

// A refused image still counts as the last normal image: its length and texts
// are taken before the checks.
TEST(LoadImage, RefusedNormalImageStillSetsItsTexts) {
  ImageRun r;
  sim::ImageSpec spec;
  spec.dateText = "08/12/31";
  spec.revisionText = "1.09 ";
  spec.size = 0x4000;
  r.Write(kNormalFile, sim::BuildImage(spec));
  EXPECT_EQ(LoadImage(r.run, NormalImage), -1);
  EXPECT_EQ(r.run.image.firmware.length, 0x4000);
  EXPECT_EQ(Text(r.run.image.firmware.revisionText, 5), "1.09 ");
  EXPECT_EQ(Text(r.run.image.firmware.dateText, 8), "08/12/31");
}

sim::BinaryFault Fault(bool sim::BinaryFault::*step) {
  sim::BinaryFault fault;
  fault.*step = true;
  return fault;
}

sim::BinaryFault ShortRead(int64_t limit) {
  sim::BinaryFault fault;
  fault.readLimit = limit;
  return fault;
}

TEST(LoadImage, FileFailuresAreSilentAndKeepTheState) {
  struct Case {
    const char* what;
    int64_t fileSize;  // -1: no file
    sim::BinaryFault fault;
    int32_t capacity = 0x200000;
  };
  const Case cases[] = {
      {"missing file", -1, {}},
      {"open fails", 0x1000, Fault(&sim::BinaryFault::failOpen)},
      {"size fails", 0x1000, Fault(&sim::BinaryFault::failSize)},
      {"read fails", 0x1000, Fault(&sim::BinaryFault::failRead)},
      {"short read", 0x1000, ShortRead(0xFFF)},
      {"empty file", 0, {}},
      {"no whole header", 0x15F, {}},
      {"one byte over the capacity", 0x200001, {}},
      {"8 MiB file, 2 MiB buffer", 0x800000, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ImageRun r(c.capacity);
    FirmwareImage& image = r.run.image.firmware;
    image.length = 0x1234;
    std::memcpy(image.revisionText, "9.99X", 5);
    std::memcpy(image.dateText, "77/07/07", 8);
    image.imageReleaseDate = 0x20770707;
    r.run.definition.definition.releaseRevision = 0x110;
    std::memset(image.buffer, 0xA5, 0x200000);
    if (c.fileSize >= 0) {
      sim::ImageSpec spec;
      spec.size = static_cast<uint32_t>(c.fileSize);
      spec.revisionText = "0.01 ";
      r.Write(kNormalFile, sim::BuildImage(spec));
    }
    r.files.InjectBinaryFault(c.fault);

    EXPECT_EQ(LoadImage(r.run, NormalImage), -1);
    EXPECT_EQ(r.console(), "");
    EXPECT_TRUE(r.boxes().empty());
    EXPECT_EQ(image.length, 0x1234);
    EXPECT_EQ(Text(image.revisionText, 5), "9.99X");
    EXPECT_EQ(Text(image.dateText, 8), "77/07/07");
    EXPECT_EQ(image.imageReleaseDate, 0u);  // cleared at the start of every load
    EXPECT_EQ(r.run.definition.definition.releaseRevision, 0x110);
    EXPECT_TRUE(r.SlackUntouched());
    EXPECT_EQ(r.files.counts().binaryOpens, r.files.counts().binaryCloses);
  }
}

TEST(LoadImage, AFileOfExactlyTheCapacityLoads) {
  ImageRun r(0x200000);
  r.Write(kNormalFile, sim::BuildImage(sim::ImageSpec{}));
  EXPECT_EQ(LoadImage(r.run, NormalImage), 0);
  EXPECT_EQ(r.run.image.firmware.length, 0x200000);
  EXPECT_TRUE(r.SlackUntouched());
}

TEST(LoadImage, KernelFileNameReplacesTheEighthCharacter) {
  char name[128];
  KernelFileName("S1005001.110", name);
  EXPECT_STREQ(name, "S1005000.110");
  KernelFileName("ABCDEFGH", name);
  EXPECT_STREQ(name, "ABCDEFG0");

  // The kernel load opens that file, not the normal one.
  ImageRun r;
  std::memcpy(r.run.image.firmware.dateText, "09/02/18", 8);
  r.Write(kNormalFile, sim::BuildImage(sim::ImageSpec{}));
  EXPECT_EQ(LoadImage(r.run, KernelImage), -1);
  EXPECT_EQ(r.files.counts().binaryOpens, 0);
  r.Write(kKernelFile, sim::BuildImage(KernelSpec()));
  EXPECT_EQ(LoadImage(r.run, KernelImage), 0);
}

TEST(LoadImage, JapaneseRefusal) {
  ImageRun r;
  r.run.driver.oemCodePage = 932;
  sim::ImageSpec spec;
  spec.dateText = "09/02/17";
  spec.size = 0x1000;
  r.Write(kNormalFile, sim::BuildImage(spec));
  EXPECT_EQ(LoadImage(r.run, NormalImage), -1);
  EXPECT_EQ(r.console(), MessageTemplate(69, true));
}

}  // namespace
}  // namespace oddfw
