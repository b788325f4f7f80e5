#pragma once
// Sample firmware images for the simulator, the demo and the tests: a binary
// image with a chosen header and a deterministic payload, so no image file is
// ever kept in the repository.

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace oddfw::sim {

// Bytes put at a fixed offset of the image after everything else (identity
// and CPU-type texts of HEX images, for example).
struct Placement {
  uint32_t offset = 0;
  std::string bytes;
};

// Where an image with a header keeps its check value: the 32-bit sum of all
// the image's bytes, these four counted as zero, least significant byte
// first. The program never reads it; the simulated drives verify it over the
// part they received before they re-flash, as a drive's own loader checks an
// image before it writes its flash, so a part that lost or garbled bytes on
// the way is not taken.
inline constexpr uint32_t kImageCheckOffset = 0x154;

// The check value of `bytes` (its four bytes at kImageCheckOffset counted as
// zero), and whether bytes hold a header whose check value matches them.
uint32_t ImageCheckValue(const uint8_t* bytes, std::size_t size);
bool ImageCheckHolds(const uint8_t* bytes, std::size_t size);

// What the image holds. The defaults give the built-in release's normal image.
// Texts shorter than their field are padded with spaces; a longer one is an
// error. An empty kernel revision leaves its field zero.
struct ImageSpec {
  std::string vendorId = "QUORVEN ";           // 8
  std::string productId = "BD-RW   MHT-860 ";  // 16
  std::string revisionText = "1.10 ";          // 5
  std::string hardwareRevision = "SAT 0001";   // 8
  std::string signature = "GENERAL ";          // 8
  std::string normalModelName = "GENERAL ";    // 8
  char partKind = 'N';                         // 'N' normal, 'K' kernel
  std::string dateText = "09/02/18";           // yy/mm/dd, or "Feb18 2009" for Wendrix images
  std::string kernelRevisionText;              // 4
  uint32_t size = 0x200000;                    // whole image, header included
  uint32_t seed = 1;                           // picks the payload
  bool header = true;                          // false: payload only (HEX images have none)
  std::vector<Placement> placements;
  bool check = true;  // a header gets its check value (computed after the placements)
};

// The image bytes: the payload of `seed` over the whole size, the header's
// first 0x160 bytes zero except for its fields, then the placements, then the
// check value (images with a header of at least 0x160 bytes). Throws
// std::invalid_argument for a text too long for its field or a placement
// outside the image.
std::vector<uint8_t> BuildImage(const ImageSpec& spec);

// The payload byte at `offset` for `seed`: the same whatever the image size.
uint8_t PayloadByte(uint32_t seed, uint32_t offset);

// Writes bytes to a file; throws std::runtime_error when it cannot.
void WriteBinaryFile(const std::filesystem::path& path, const std::vector<uint8_t>& bytes);

}  // namespace oddfw::sim
