// The BD family of the drive simulator on its own: what the MHT-860 answers
// in normal mode, in its kernel and while it re-flashes itself.

#include "sim/drive/bd_family.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim/image_builder.h"
#include "sim/scenario.h"

namespace oddfw::sim::drive {
namespace {

constexpr uint64_t kSecond = 1'000'000;

struct BdDrive {
  explicit BdDrive(BdFamilyOptions options = {}) : drive(Profile()) {
    auto f = std::make_unique<BdFamily>(options, drive);
    family = f.get();
    drive.SetFamily(std::move(f));
  }
  static DriveProfile Profile() {
    DriveProfile p = DriveProfile::ReleaseDrive();
    p.revision = "1.05";
    p.date = "2009/01/20";
    return p;
  }

  Reply Send(std::vector<uint8_t> cdb, uint64_t atUs, std::vector<uint8_t> data = {}) {
    Command c;
    c.cdb = std::move(cdb);
    c.timeUs = atUs;
    if (!data.empty()) {
      c.direction = Direction::kOut;
      c.transferLength = static_cast<uint32_t>(data.size());
      c.dataOut = std::move(data);
    }
    return drive.Execute(c);
  }
  Reply TestUnitReady(uint64_t atUs) { return Send({0, 0, 0, 0, 0, 0}, atUs); }
  Reply Inquiry(uint64_t atUs) { return Send({0x12, 0, 0, 0, 0x60, 0}, atUs); }
  Reply VendorIdentity(uint64_t atUs) {
    return Send({0x3C, 2, 0xF1, 0, 0, 0, 0, 0, 0x30, 0}, atUs);
  }
  Reply WriteBuffer(uint8_t mode, uint8_t id, uint32_t offset, std::vector<uint8_t> data,
                    uint64_t atUs) {
    const auto n = static_cast<uint32_t>(data.size());
    return Send(
        {0x3B, mode, id, static_cast<uint8_t>(offset >> 16), static_cast<uint8_t>(offset >> 8),
         static_cast<uint8_t>(offset), 0, static_cast<uint8_t>(n >> 8), static_cast<uint8_t>(n), 0},
        atUs, std::move(data));
  }
  // The mode-change block; `name` and `checksum` as the program would fill it.
  Reply ModeChange(uint8_t mode, uint64_t atUs, std::string name = "QUORVEN  MHT-870",
                   uint32_t checksum = 0x656dc5ae, std::size_t size = 256) {
    std::vector<uint8_t> block(size, 0);
    std::copy(name.begin(), name.end(), block.begin());
    for (int i = 0; i < 4; ++i) block[16 + i] = static_cast<uint8_t>(checksum >> (8 * i));
    return WriteBuffer(mode, 0xFF, 0, block, atUs);
  }
  // Sends `image` in 32 KiB pieces to buffer `id`.
  void SendPart(const std::vector<uint8_t>& image, uint8_t id = 0xF0, uint64_t atUs = kSecond) {
    for (uint32_t offset = 0; offset < image.size(); offset += 0x8000) {
      const auto end = std::min<std::size_t>(image.size(), offset + 0x8000);
      const Reply r =
          WriteBuffer(7, id, offset, {image.begin() + offset, image.begin() + end}, atUs);
      ASSERT_EQ(r.status, kStatusGood) << offset;
    }
  }
  std::string Revision() const { return Text(drive.inquiry.data(), 32, 5); }
  std::string Date() const { return Text(drive.inquiry.data(), 37, 10); }
  std::string NormalModelName() const { return Text(drive.vendorIdentity->data(), 32, 8); }
  static std::string Text(const uint8_t* bytes, std::size_t at, std::size_t n) {
    return std::string(bytes + at, bytes + at + n);
  }

  Drive drive;
  BdFamily* family = nullptr;
};

std::string SenseOf(const Reply& r) {
  if (r.status == kStatusGood) return "good";
  return HexBytes(&r.sense[2], 1) + "/" + HexBytes(&r.sense[12], 1) + "/" +
         HexBytes(&r.sense[13], 1);
}

uint32_t ProgressOf(const Reply& r) {
  return uint32_t{r.sense[16]} << 8 | r.sense[17];
}

const std::vector<uint8_t>& ReleaseImage() {
  static const std::vector<uint8_t> image = BuildImage(ImageSpec{});
  return image;
}

TEST(BdFamily, TheModeChangeBlockOpensTheKernel) {
  struct Case {
    const char* name;
    std::string blockName;
    uint32_t checksum;
    std::size_t size;
    std::string answer;
  };
  const Case cases[] = {
      {"the release's block", "QUORVEN  MHT-870", 0x656dc5ae, 256, "good"},
      {"another model's name", "QUORVEN  KWX-740", 0x656dc5ae, 256, "05/26/00"},
      {"another checksum", "QUORVEN  MHT-870", 0xae6dc565, 256, "05/26/00"},
      {"a short block", "QUORVEN  MHT-870", 0x656dc5ae, 128, "05/26/00"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    BdDrive d;
    const Reply r = d.ModeChange(4, 0, c.blockName, c.checksum, c.size);
    EXPECT_EQ(SenseOf(r), c.answer);
    EXPECT_EQ(r.durationUs, 150'000u);
    const bool kernel = c.answer == "good";
    EXPECT_EQ(d.family->mode(), kernel ? BdFamily::Mode::kKernel : BdFamily::Mode::kNormal);
    // The kernel shows revision 0000 and its own date; the normal part
    // stays where it is.
    EXPECT_EQ(d.Revision(), kernel ? "0000 " : "1.05 ");
    EXPECT_EQ(d.Date(), kernel ? "08/12/05  " : "2009/01/20");
    EXPECT_EQ(d.NormalModelName(), "GENERAL ");
  }
}

TEST(BdFamily, PiecesAndTheReturnToNormalModeWantTheKernelAndAWholeImage) {
  BdDrive d;
  const std::vector<uint8_t> piece(0x8000, 0x5A);
  EXPECT_EQ(SenseOf(d.WriteBuffer(7, 0xF0, 0, piece, 0)), "05/2C/00");  // not in the kernel
  EXPECT_EQ(SenseOf(d.ModeChange(5, 0)), "05/2C/00");
  ASSERT_EQ(SenseOf(d.ModeChange(4, 0)), "good");
  const Reply accepted = d.WriteBuffer(7, 0xF0, 0x1F8000, piece, 0);
  EXPECT_EQ(SenseOf(accepted), "good");
  EXPECT_EQ(accepted.durationUs, 30'000u);
  EXPECT_EQ(SenseOf(d.WriteBuffer(7, 0xF0, 0x1F8001, piece, 0)), "05/24/00");  // past the end
  EXPECT_EQ(SenseOf(d.WriteBuffer(7, 0xFE, 0x10000, piece, 0)), "05/24/00");   // kernel is 0x11200
  EXPECT_EQ(SenseOf(d.WriteBuffer(7, 0xF0, 0, {}, 0)), "05/24/00");            // no data
  EXPECT_EQ(d.family->normalBytesReceived(), 0x8000u);
  EXPECT_EQ(SenseOf(d.ModeChange(5, 0)), "05/2C/00");  // the image is not complete
  EXPECT_EQ(d.family->mode(), BdFamily::Mode::kKernel);
  EXPECT_EQ(d.Revision(), "0000 ");
}

TEST(BdFamily, ReflashReportsProgressThenRestartsWithTheImagesRevision) {
  BdDrive d;
  ASSERT_EQ(SenseOf(d.ModeChange(4, 0)), "good");
  d.SendPart(ReleaseImage());
  EXPECT_EQ(d.family->normalPart(), ReleaseImage());
  const uint64_t t = 10 * kSecond;
  ASSERT_EQ(SenseOf(d.ModeChange(5, t)), "good");
  const uint64_t start = t + 150'000;  // the re-flash begins once the command is answered
  EXPECT_EQ(d.family->mode(), BdFamily::Mode::kReflashing);

  // Every command waits for the flash, each answer taking 250 ms.
  const Reply first = d.TestUnitReady(start);
  EXPECT_EQ(SenseOf(first), "02/04/12");
  EXPECT_EQ(first.sense[15], 0x80);  // sense-key specific bytes valid
  EXPECT_EQ(ProgressOf(first), 0u);
  EXPECT_EQ(first.durationUs, 250'000u);
  EXPECT_EQ(ProgressOf(d.TestUnitReady(start + 15 * kSecond)), 0x8000u);
  // The drive counts in steps of one answer's time, to the nearest step, so
  // a host clock a few milliseconds off sees the same progress.
  EXPECT_EQ(ProgressOf(d.TestUnitReady(start + 15 * kSecond + 124'000)), 0x8000u);
  EXPECT_EQ(ProgressOf(d.TestUnitReady(start + 30 * kSecond - 126'000)),
            uint64_t{29'750'000} * 65536 / 30'000'000);
  EXPECT_EQ(SenseOf(d.Inquiry(start + kSecond)), "02/04/12");
  EXPECT_EQ(SenseOf(d.VendorIdentity(start + kSecond)), "02/04/12");

  // Done (the last half step rounds up to the end): one unit attention, then
  // the new firmware with an empty tray.
  EXPECT_EQ(SenseOf(d.TestUnitReady(start + 30 * kSecond - 125'000)), "06/29/00");
  EXPECT_EQ(SenseOf(d.TestUnitReady(start + 31 * kSecond)), "02/3A/00");
  EXPECT_EQ(d.family->mode(), BdFamily::Mode::kNormal);
  EXPECT_EQ(d.Revision(), "1.10 ");
  EXPECT_EQ(d.Date(), "2009/02/18");  // the header's 09/02/18 in the drive's form
  EXPECT_EQ(d.NormalModelName(), "GENERAL ");
  EXPECT_EQ(d.family->reflashCount(), 1u);
}

TEST(BdFamily, AnInquiryFirstAfterTheReflashLeavesTheUnitAttentionPending) {
  BdDrive d(BdFamilyOptions{.reflashUs = kSecond});
  ASSERT_EQ(SenseOf(d.ModeChange(4, 0)), "good");
  d.SendPart(ReleaseImage());
  ASSERT_EQ(SenseOf(d.ModeChange(5, 0)), "good");
  const Reply inquiry = d.Inquiry(2 * kSecond);
  ASSERT_EQ(SenseOf(inquiry), "good");
  EXPECT_EQ(BdDrive::Text(inquiry.data.data(), 32, 5), "1.10 ");
  EXPECT_EQ(SenseOf(d.TestUnitReady(2 * kSecond)), "06/29/00");
  EXPECT_EQ(SenseOf(d.TestUnitReady(2 * kSecond)), "02/3A/00");
}

TEST(BdFamily, ImagesThatDoNotFitTheDriveAreRefused) {
  struct Case {
    const char* name;
    ImageSpec spec;
  };
  ImageSpec otherProduct;
  otherProduct.productId = "BD-RW   MHT-990 ";
  ImageSpec otherSignature;
  otherSignature.signature = "HALV    ";
  ImageSpec kernelImage;
  kernelImage.partKind = 'K';
  ImageSpec unchecked;  // as if bytes had been lost or garbled on the way
  unchecked.check = false;
  const Case cases[] = {{"another product", otherProduct},
                        {"another signature", otherSignature},
                        {"a kernel image", kernelImage},
                        {"a part whose check value does not hold", unchecked}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    BdDrive d;
    ASSERT_EQ(SenseOf(d.ModeChange(4, 0)), "good");
    d.SendPart(BuildImage(c.spec));
    EXPECT_EQ(SenseOf(d.ModeChange(5, 0)), "05/26/00");
    EXPECT_EQ(d.family->mode(), BdFamily::Mode::kKernel);
  }
}

TEST(BdFamily, KernelPartTakesTheKernelsRevisionAfterTheReflash) {
  BdDrive d(BdFamilyOptions{.reflashUs = kSecond});
  ASSERT_EQ(SenseOf(d.ModeChange(4, 0)), "good");
  ImageSpec kernel;
  kernel.partKind = 'K';
  kernel.size = 0x11200;
  kernel.kernelRevisionText = "0002";
  kernel.dateText = "09/01/30";
  std::vector<uint8_t> part = BuildImage(kernel);
  // Only part of the kernel: the drive will not leave its kernel.
  d.SendPart({part.begin(), part.begin() + 0x8000}, 0xFE);
  d.SendPart(ReleaseImage());
  EXPECT_EQ(SenseOf(d.ModeChange(5, 0)), "05/2C/00");
  d.SendPart(part, 0xFE);
  EXPECT_EQ(d.family->kernelBytesReceived(), 0x11200u);
  ASSERT_EQ(SenseOf(d.ModeChange(5, 0)), "good");
  EXPECT_EQ(SenseOf(d.TestUnitReady(2 * kSecond)), "06/29/00");
  EXPECT_EQ(d.Revision(), "1.10 ");
  ASSERT_EQ(SenseOf(d.ModeChange(4, 3 * kSecond)), "good");
  EXPECT_EQ(d.Revision(), "0002 ");
  EXPECT_EQ(d.Date(), "09/01/30  ");
}

TEST(BdFamily, AKernelOnlyDriveAndAFailedReflash) {
  BdDrive kernelOnly(BdFamilyOptions{.kernelOnly = true});
  EXPECT_EQ(kernelOnly.family->mode(), BdFamily::Mode::kKernel);
  EXPECT_EQ(kernelOnly.Revision(), "0000 ");
  EXPECT_EQ(kernelOnly.NormalModelName(), "        ");
  // It takes the image without a kernel-mode entry.
  kernelOnly.SendPart(ReleaseImage());
  EXPECT_EQ(SenseOf(kernelOnly.ModeChange(5, 0)), "good");

  BdDrive failing(BdFamilyOptions{.reflashUs = kSecond, .failedReflashes = 1});
  for (int attempt = 0; attempt < 2; ++attempt) {
    SCOPED_TRACE(attempt);
    const uint64_t t = static_cast<uint64_t>(attempt) * 10 * kSecond;
    ASSERT_EQ(SenseOf(failing.ModeChange(4, t)), "good");
    failing.SendPart(ReleaseImage(), 0xF0, t);
    ASSERT_EQ(SenseOf(failing.ModeChange(5, t)), "good");
    EXPECT_EQ(SenseOf(failing.TestUnitReady(t + 2 * kSecond)), "06/29/00");
    // The first re-flash leaves the drive in its kernel without a normal
    // part; the second succeeds.
    EXPECT_EQ(failing.Revision(), attempt == 0 ? "0000 " : "1.10 ");
    EXPECT_EQ(failing.NormalModelName(), attempt == 0 ? "        " : "GENERAL ");
  }
}

TEST(BdFamily, TheTray) {
  struct Case {
    const char* name;
    bool disc;
    uint64_t spinUpUs;
    std::string at1s;
    std::string at3s;
  };
  const Case cases[] = {
      {"empty", false, 0, "02/3A/00", "02/3A/00"},
      {"a disc", true, 0, "good", "good"},
      {"a disc spinning up for 2 s", true, 2 * kSecond, "02/04/01", "good"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    BdFamilyOptions o;
    o.spinUpUs = c.spinUpUs;
    BdDrive d(o);
    d.drive.discLoaded = c.disc;
    // Stopping the disc does not keep a loaded drive from being ready.
    ASSERT_EQ(SenseOf(d.Send({0x1B, 0, 0, 0, 0, 0}, 0)), "good");
    EXPECT_EQ(SenseOf(d.TestUnitReady(kSecond)), c.at1s);
    EXPECT_EQ(SenseOf(d.TestUnitReady(3 * kSecond)), c.at3s);
  }
}

TEST(BdFamily, ScenarioOptions) {
  const Scenario s = ParseScenario(R"({"drives": [{"letter": "E", "preset": "release",
    "family": {"kind": "bd", "checksum": "0x01020304", "reflashMs": 2000, "reflashAnswerMs": 10,
               "pieceMs": 5, "modeChangeMs": 7, "spinUpMs": 3000, "kernelOnly": true,
               "kernelRevision": "0003", "kernelDate": "09/01/01", "failedReflashes": 2,
               "normalPartSize": "0x100000", "kernelPartSize": 4096,
               "modeChangeName": "QUORVEN  MHT-999"}}]})");
  auto* drive = dynamic_cast<Drive*>(s.options.drives.at(0).device.get());
  ASSERT_NE(drive, nullptr);
  auto* family = dynamic_cast<BdFamily*>(drive->family());
  ASSERT_NE(family, nullptr);
  const BdFamilyOptions& o = family->options();
  EXPECT_EQ(o.checksum, 0x01020304u);
  EXPECT_EQ(o.reflashUs, 2 * kSecond);
  EXPECT_EQ(o.reflashAnswerUs, 10'000u);
  EXPECT_EQ(o.pieceUs, 5'000u);
  EXPECT_EQ(o.modeChangeUs, 7'000u);
  EXPECT_EQ(o.spinUpUs, 3 * kSecond);
  EXPECT_TRUE(o.kernelOnly);
  EXPECT_EQ(o.kernelRevision, "0003");
  EXPECT_EQ(o.failedReflashes, 2u);
  EXPECT_EQ(o.normalPartSize, 0x100000u);
  EXPECT_EQ(o.kernelPartSize, 4096u);
  EXPECT_EQ(o.modeChangeName, "QUORVEN  MHT-999");
  EXPECT_EQ(std::string(drive->inquiry.begin() + 32, drive->inquiry.begin() + 47),
            "0003 09/01/01  ");

  for (const char* bad :
       {R"({"kind": "bd", "reflashSeconds": 2})", R"({"kind": "bd", "reflashMs": "soon"})",
        R"({"kind": "bd", "kernelOnly": 1})",
        R"({"kind": "bd", "modeChangeName": "QUORVEN  MHT-870 LONG"})",
        R"({"kind": "bd", "checksum": "0x123456789"})"}) {
    SCOPED_TRACE(bad);
    const std::string scenario =
        std::string(R"({"drives": [{"letter": "E", "family": )") + bad + "}]}";
    try {
      ParseScenario(scenario);
      ADD_FAILURE() << "accepted";
    } catch (const ScenarioError& e) {
      EXPECT_NE(std::string(e.what()).find("drives[0].family: "), std::string::npos) << e.what();
    }
  }
}

}  // namespace
}  // namespace oddfw::sim::drive
