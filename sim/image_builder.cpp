#include "sim/image_builder.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "image/firmware_image.h"

namespace oddfw::sim {
namespace {

namespace hdr = oddfw::image_header;
static_assert(kImageCheckOffset >= hdr::kKernelRevisionText + 4 &&
                  kImageCheckOffset + 4 <= hdr::kSize,
              "the check value lies in the header's unused bytes");

uint64_t SplitMix64(uint64_t x) {
  x += 0x9E3779B97F4A7C15ULL;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ULL;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBULL;
  return x ^ (x >> 31);
}

// Puts `text` at `offset`, padded with spaces to `width`, cut at the image's end.
void PutField(std::vector<uint8_t>& image, uint32_t offset, const std::string& text,
              std::size_t width, const char* field) {
  if (text.size() > width) {
    throw std::invalid_argument(std::string(field) + " \"" + text + "\" is longer than " +
                                std::to_string(width) + " characters");
  }
  for (std::size_t i = 0; i < width && offset + i < image.size(); ++i) {
    image[offset + i] = i < text.size() ? static_cast<uint8_t>(text[i]) : ' ';
  }
}

}  // namespace

namespace {

// The sum of the bytes in [from, to), eight at a time (the simulator checks
// whole images on every re-flash, also in debug builds).
uint64_t ByteSum(const uint8_t* bytes, std::size_t from, std::size_t to) {
  uint64_t sum = 0;
  std::size_t i = from;
  for (; i + 8 <= to; i += 8) {
    uint64_t w = 0;
    std::memcpy(&w, bytes + i, 8);
    w = (w & 0x00FF00FF00FF00FFull) + ((w >> 8) & 0x00FF00FF00FF00FFull);
    w = (w & 0x0000FFFF0000FFFFull) + ((w >> 16) & 0x0000FFFF0000FFFFull);
    sum += (w & 0xFFFFFFFFull) + (w >> 32);
  }
  for (; i < to; ++i) sum += bytes[i];
  return sum;
}

}  // namespace

uint32_t ImageCheckValue(const uint8_t* bytes, std::size_t size) {
  if (size <= kImageCheckOffset) return static_cast<uint32_t>(ByteSum(bytes, 0, size));
  const std::size_t after = std::min<std::size_t>(size, kImageCheckOffset + 4);
  return static_cast<uint32_t>(ByteSum(bytes, 0, kImageCheckOffset) + ByteSum(bytes, after, size));
}

bool ImageCheckHolds(const uint8_t* bytes, std::size_t size) {
  if (size < hdr::kSize) return false;
  uint32_t stored = 0;
  for (int i = 3; i >= 0; --i) stored = stored << 8 | bytes[kImageCheckOffset + i];
  return stored == ImageCheckValue(bytes, size);
}

uint8_t PayloadByte(uint32_t seed, uint32_t offset) {
  const uint64_t word = SplitMix64(uint64_t{seed} << 32 | (offset / 8));
  return static_cast<uint8_t>(word >> (8 * (offset % 8)));
}

std::vector<uint8_t> BuildImage(const ImageSpec& spec) {
  std::vector<uint8_t> image(spec.size);
  for (uint32_t i = 0; i < spec.size; i += 8) {
    const uint64_t word = SplitMix64(uint64_t{spec.seed} << 32 | (i / 8));
    for (uint32_t k = 0; k < 8 && i + k < spec.size; ++k) {
      image[i + k] = static_cast<uint8_t>(word >> (8 * k));
    }
  }
  if (spec.header) {
    // An empty image has no storage: the C library's memory and file
    // functions must not get its null data pointer, even for zero bytes.
    if (!image.empty()) {
      std::memset(image.data(), 0, std::min<std::size_t>(image.size(), hdr::kSize));
    }
    PutField(image, hdr::kVendorId, spec.vendorId, 8, "vendor id");
    PutField(image, hdr::kProductId, spec.productId, 16, "product id");
    PutField(image, hdr::kRevisionText, spec.revisionText, 5, "revision text");
    PutField(image, hdr::kHardwareRevision, spec.hardwareRevision, 8, "hardware revision");
    PutField(image, hdr::kSignature, spec.signature, 8, "signature");
    PutField(image, hdr::kNormalModelName, spec.normalModelName, 8, "normal-part model name");
    PutField(image, hdr::kPartKind, std::string(1, spec.partKind), 1, "part kind");
    PutField(image, hdr::kDateText, spec.dateText, std::max<std::size_t>(8, spec.dateText.size()),
             "date text");
    if (spec.dateText.size() > hdr::kKernelRevisionText - hdr::kDateText) {
      throw std::invalid_argument("date text \"" + spec.dateText + "\" is too long");
    }
    if (!spec.kernelRevisionText.empty()) {
      PutField(image, hdr::kKernelRevisionText, spec.kernelRevisionText, 4, "kernel revision");
    }
  }
  for (const Placement& p : spec.placements) {
    if (uint64_t{p.offset} + p.bytes.size() > image.size()) {
      throw std::invalid_argument("placement at offset " + std::to_string(p.offset) +
                                  " lies outside the image");
    }
    if (!p.bytes.empty()) std::memcpy(image.data() + p.offset, p.bytes.data(), p.bytes.size());
  }
  if (spec.header && spec.check && image.size() >= hdr::kSize) {
    const uint32_t check = ImageCheckValue(image.data(), image.size());
    for (int i = 0; i < 4; ++i)
      image[kImageCheckOffset + i] = static_cast<uint8_t>(check >> (8 * i));
  }
  return image;
}

void WriteBinaryFile(const std::filesystem::path& path, const std::vector<uint8_t>& bytes) {
  std::FILE* f = std::fopen(path.string().c_str(), "wb");
  if (f == nullptr) throw std::runtime_error("cannot create " + path.string());
  const bool written =
      bytes.empty() || std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  if (std::fclose(f) != 0 || !written) throw std::runtime_error("cannot write " + path.string());
}

}  // namespace oddfw::sim
