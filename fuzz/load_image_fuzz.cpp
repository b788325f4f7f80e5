// The binary image loader on any file: the input is the file's bytes. Each
// input is loaded on fresh runs as the normal and as the kernel image, into
// buffers that just hold it, that are one byte short of it or larger, and
// the properties every load must keep are checked.

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz/fuzz_fixture.h"
#include "image/firmware_image.h"

namespace oddfw::fuzz {
namespace {

namespace hdr = image_header;

const std::string kTooOld = "\r\nSelected file is too old fw file.";
const std::string kIllegalKernel = "\r\nSelected file is illegal kernel file.";
const std::string kIllegalNormal = "\r\nSelected file is illegal fw file.";

struct Variant {
  const char* what;
  int64_t capacityOverSize;  // the image buffer's capacity minus the file size
  bool normalFirst;          // a normal image load of the same file comes before
  ImageKind kind;
};

constexpr Variant kVariants[] = {
    {"normal image, buffer just large enough", 0, false, NormalImage},
    {"normal image, buffer one byte short", -1, false, NormalImage},
    {"kernel image on a fresh run", 0x40, false, KernelImage},
    {"kernel image after the normal image", 0, true, KernelImage},
};

std::string Describe(const Variant& v, std::size_t size) {
  return std::string(v.what) + ", file of " + std::to_string(size) + " bytes";
}

void LoadOne(const Variant& v, const std::vector<uint8_t>& file) {
  const int64_t capacity = static_cast<int64_t>(file.size()) + v.capacityOverSize;
  if (capacity < 0 || capacity > 0x800000) return;
  FuzzRun f(static_cast<int32_t>(capacity));
  Run& run = f.run();
  FirmwareImage& image = f.image();
  const std::string normalName = f.normalFileName();
  char kernelName[128];
  KernelFileName(normalName.c_str(), kernelName);
  f.files().Put(normalName, file);
  f.files().Put(kernelName, file);
  const std::string what = Describe(v, file.size());

  if (v.normalFirst) LoadImage(run, NormalImage);
  // What the load must leave alone when the file cannot be read.
  const int32_t lengthBefore = image.length;
  char revisionBefore[sizeof image.revisionText];
  char dateBefore[sizeof image.dateText];
  std::memcpy(revisionBefore, image.revisionText, sizeof revisionBefore);
  std::memcpy(dateBefore, image.dateText, sizeof dateBefore);
  const std::string consoleBefore = f.console();
  const std::size_t boxesBefore = f.boxCount();
  const uint16_t revisionBeforeLoad = run.definition.definition.releaseRevision;

  const int32_t result = LoadImage(run, v.kind);

  FUZZ_CHECK(result == 0 || result == -1, what);
  FUZZ_CHECK(f.files().openNow() == 0, what + ": a file was left open");
  const std::string shown = f.console().substr(consoleBefore.size());
  const std::size_t boxes = f.boxCount() - boxesBefore;
  const bool readable = file.size() >= hdr::kSize && file.size() <= static_cast<size_t>(capacity);

  if (!readable) {
    // Refused like a read failure: silently, with the image's texts kept.
    FUZZ_CHECK(result == -1, what + ": a file without a header or beyond the buffer loaded");
    FUZZ_CHECK(shown.empty() && boxes == 0, what + ": a read failure showed a message");
    FUZZ_CHECK(image.length == lengthBefore, what + ": length changed");
    FUZZ_CHECK(std::memcmp(image.revisionText, revisionBefore, sizeof revisionBefore) == 0 &&
                   std::memcmp(image.dateText, dateBefore, sizeof dateBefore) == 0,
               what + ": header texts changed");
    FUZZ_CHECK(run.definition.definition.releaseRevision == revisionBeforeLoad,
               what + ": release revision changed");
    FUZZ_CHECK(image.imageReleaseDate == 0, what + ": release date not cleared");
    return;
  }

  const uint8_t* header = f.imageBytes();
  FUZZ_CHECK(std::memcmp(header, file.data(), file.size()) == 0, what + ": bytes differ");
  if (v.kind == NormalImage) {
    FUZZ_CHECK(image.length == static_cast<int32_t>(file.size()), what + ": length");
    FUZZ_CHECK(std::memcmp(image.revisionText, header + hdr::kRevisionText, 5) == 0 &&
                   std::memcmp(image.dateText, header + hdr::kDateText, 8) == 0,
               what + ": header texts not taken");
  } else {
    FUZZ_CHECK(image.length == lengthBefore, what + ": a kernel load changed the length");
  }
  const uint32_t minimum = run.definition.definition.entries[0].minimumImageDate;
  const bool general = std::memcmp(header + hdr::kSignature, "GENERAL ", 8) == 0;
  const bool rightPart = header[hdr::kPartKind] == (v.kind == KernelImage ? 'K' : 'N');
  const std::string& illegal = v.kind == KernelImage ? kIllegalKernel : kIllegalNormal;

  if (result == 0) {
    FUZZ_CHECK(shown.empty() && boxes == 0, what + ": an accepted image showed a message");
    FUZZ_CHECK(image.imageReleaseDate >= minimum, what + ": an older image was accepted");
    FUZZ_CHECK(general && rightPart, what + ": an image of another kind was accepted");
  } else {
    // Exactly one refusal, in the order of the tests: date, then kind.
    FUZZ_CHECK(boxes == 1, what + ": a refusal showed no box or several");
    if (image.imageReleaseDate < minimum) {
      FUZZ_CHECK(shown == kTooOld, what + ": an old image got \"" + shown + "\"");
    } else {
      FUZZ_CHECK(!(general && rightPart), what + ": a good image was refused");
      FUZZ_CHECK(shown == illegal, what + ": an illegal image got \"" + shown + "\"");
    }
  }
}

}  // namespace
}  // namespace oddfw::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  const std::vector<uint8_t> file(data, data + size);
  for (const auto& variant : oddfw::fuzz::kVariants) oddfw::fuzz::LoadOne(variant, file);
  return 0;
}
