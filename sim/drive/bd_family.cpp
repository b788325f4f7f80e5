#include "sim/drive/bd_family.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <stdexcept>

#include "sim/image_builder.h"

namespace oddfw::sim::drive {
namespace {

// Where things lie in the INQUIRY data, the vendor identity and the image
// header.
inline constexpr std::size_t kInquiryProduct = 16;
inline constexpr std::size_t kInquiryRevision = 32;  // 5 bytes
inline constexpr std::size_t kInquiryDate = 37;      // 10 bytes
inline constexpr std::size_t kVendorSignature = 24;
inline constexpr std::size_t kVendorNormalModelName = 32;
inline constexpr std::size_t kHeaderProduct = 0x68;
inline constexpr std::size_t kHeaderRevision = 0x90;
inline constexpr std::size_t kHeaderSignature = 0xD0;
inline constexpr std::size_t kHeaderNormalModelName = 0xF0;
inline constexpr std::size_t kHeaderPartKind = 0x110;
inline constexpr std::size_t kHeaderDate = 0x130;
inline constexpr std::size_t kHeaderKernelRevision = 0x150;
inline constexpr std::size_t kHeaderEnd = 0x160;

inline constexpr uint32_t kModeChangeBlockSize = 256;
const std::string kNoModelName(8, ' ');

std::string Padded(std::string text, std::size_t width) {
  text.resize(width, ' ');
  return text;
}

std::string TextAt(const std::vector<uint8_t>& bytes, std::size_t at, std::size_t n) {
  if (bytes.size() < at + n) return std::string(n, ' ');
  return std::string(bytes.begin() + static_cast<std::ptrdiff_t>(at),
                     bytes.begin() + static_cast<std::ptrdiff_t>(at + n));
}

// The drive shows its dates as yyyy/mm/dd; image headers carry yy/mm/dd.
std::string DriveDate(const std::string& headerDate) {
  const bool shortForm = headerDate.size() >= 8 && headerDate[2] == '/' && headerDate[5] == '/';
  return shortForm ? "20" + headerDate.substr(0, 8) : headerDate;
}

Reply WithTime(Reply reply, uint64_t us) {
  reply.durationUs = us;
  return reply;
}

// --- options -------------------------------------------------------------

using json = nlohmann::ordered_json;

[[noreturn]] void Bad(const std::string& key, const std::string& what) {
  throw std::invalid_argument(key + ": " + what);
}

uint64_t Number(const json& value, const std::string& key) {
  if (value.is_number_unsigned()) return value.get<uint64_t>();
  if (value.is_string()) {
    const std::string text = value.get<std::string>();
    char* end = nullptr;
    const unsigned long long n = std::strtoull(text.c_str(), &end, 0);
    if (!text.empty() && *end == '\0') return n;
  }
  Bad(key, "expected a number (42 or \"0x2a\")");
}

std::string Text(const json& value, const std::string& key, std::size_t width) {
  if (!value.is_string()) Bad(key, "expected a text");
  std::string text = value.get<std::string>();
  if (text.size() > width) Bad(key, "longer than " + std::to_string(width) + " characters");
  return text;
}

}  // namespace

void BdFamily::Part::Reset(uint32_t size) {
  bytes.assign(size, 0);
  seen.clear();
  received = 0;
}

void BdFamily::Part::Take(uint32_t offset, const uint8_t* data, uint32_t length) {
  std::copy_n(data, length, bytes.begin() + offset);
  // Merge [offset, offset + length) with the ranges it meets or touches.
  uint32_t start = offset;
  uint32_t end = offset + length;
  auto it = seen.upper_bound(start);
  if (it != seen.begin() && std::prev(it)->second >= start) --it;
  while (it != seen.end() && it->first <= end) {
    start = std::min(start, it->first);
    end = std::max(end, it->second);
    received -= it->second - it->first;
    it = seen.erase(it);
  }
  seen.emplace(start, end);
  received += end - start;
}

BdFamily::BdFamily(const BdFamilyOptions& options, Drive& drive) : options_(options) {
  normalRevision_ = std::string(drive.inquiry.begin() + kInquiryRevision,
                                drive.inquiry.begin() + kInquiryRevision + 5);
  normalDate_ =
      std::string(drive.inquiry.begin() + kInquiryDate, drive.inquiry.begin() + kInquiryDate + 10);
  normalModelName_ = drive.vendorIdentity
                         ? std::string(drive.vendorIdentity->begin() + kVendorNormalModelName,
                                       drive.vendorIdentity->begin() + kVendorNormalModelName + 8)
                         : kNoModelName;
  normal_.Reset(options_.normalPartSize);
  kernel_.Reset(options_.kernelPartSize);
  if (options_.kernelOnly) {
    normalModelName_ = kNoModelName;
    SetNormalModelName(drive, normalModelName_);
    EnterKernel(drive);
  }
}

bool BdFamily::Execute(Drive& drive, const Command& c, Reply& reply) {
  if (mode_ == Mode::kReflashing) {
    // The drive counts its re-flash in steps of one answer's time, to the
    // nearest step, so hosts whose clocks differ by a few milliseconds (the
    // simulator and the program under wine) see the same progress.
    const uint64_t raw = c.timeUs > reflashStartUs_ ? c.timeUs - reflashStartUs_ : 0;
    const uint64_t step = options_.reflashAnswerUs;
    const uint64_t done = step == 0 ? raw : (raw + step / 2) / step * step;
    const uint64_t total = reflashEndUs_ - reflashStartUs_;
    if (done < total) {
      // Busy writing its flash: everything waits, the progress tells how long.
      reply = WithTime(Reply::Check(kNotReady, 0x04, 0x12), options_.reflashAnswerUs);
      reply.SetProgress(static_cast<uint16_t>(std::min<uint64_t>(done * 65536 / total, 65535)));
      return true;
    }
    FinishReflash(drive);
    // The drive has restarted: the first command but INQUIRY learns of it.
    if (c.opcode() == kOpInquiry) {
      drive.unitAttention = true;
      return false;
    }
    reply = WithTime(Reply::Check(kUnitAttention, 0x29, 0x00), reply.durationUs);
    return true;
  }

  switch (c.opcode()) {
    case kOpTestUnitReady:
      reply = WithTime(TestUnitReady(drive, c), reply.durationUs);
      return true;
    case kOpWriteBuffer:
      if (c.bufferMode() == 4 && c.bufferId() == 0xFF) {
        reply = WithTime(ModeChange(drive, c, true), options_.modeChangeUs);
        return true;
      }
      if (c.bufferMode() == 5 && c.bufferId() == 0xFF) {
        reply = WithTime(ModeChange(drive, c, false), options_.modeChangeUs);
        return true;
      }
      if (c.bufferMode() == 7 && (c.bufferId() == 0xF0 || c.bufferId() == 0xFE)) {
        reply = WithTime(Piece(c, c.bufferId() == 0xF0 ? normal_ : kernel_), options_.pieceUs);
        return true;
      }
      return false;
    default:
      return false;
  }
}

Reply BdFamily::TestUnitReady(const Drive& drive, const Command& c) const {
  if (!drive.discLoaded) return Reply::Check(kNotReady, 0x3A, 0x00);  // medium not present
  if (c.timeUs < options_.spinUpUs) {
    return Reply::Check(kNotReady, 0x04, 0x01);  // becoming ready
  }
  return Reply::Good();
}

bool BdFamily::BlockValid(const Command& c) const {
  if (c.bufferOffset() != 0 || c.bufferLength() != kModeChangeBlockSize ||
      c.dataOut.size() < kModeChangeBlockSize) {
    return false;
  }
  const std::string name = Padded(options_.modeChangeName, 16);
  if (std::memcmp(c.dataOut.data(), name.data(), 16) != 0) return false;
  for (int i = 0; i < 4; ++i) {
    if (c.dataOut[16 + static_cast<std::size_t>(i)] !=
        static_cast<uint8_t>(options_.checksum >> (8 * i))) {
      return false;
    }
  }
  return true;
}

Reply BdFamily::ModeChange(Drive& drive, const Command& c, bool toKernel) {
  if (!BlockValid(c)) return Reply::Check(kIllegalRequest, 0x26, 0x00);  // invalid parameter
  if (toKernel) {
    EnterKernel(drive);
    return Reply::Good();
  }
  // Back to normal mode: only from the kernel, with a whole image.
  if (mode_ != Mode::kKernel || !normal_.Complete() ||
      (kernel_.received != 0 && !kernel_.Complete())) {
    return Reply::Check(kIllegalRequest, 0x2C, 0x00);  // command sequence error
  }
  const std::vector<uint8_t>& image = normal_.bytes;
  const std::string signature =
      drive.vendorIdentity ? std::string(drive.vendorIdentity->begin() + kVendorSignature,
                                         drive.vendorIdentity->begin() + kVendorSignature + 8)
                           : TextAt(image, kHeaderSignature, 8);
  const std::string product(drive.inquiry.begin() + kInquiryProduct,
                            drive.inquiry.begin() + kInquiryProduct + 16);
  const bool fits = image.size() >= kHeaderEnd && TextAt(image, kHeaderProduct, 16) == product &&
                    TextAt(image, kHeaderSignature, 8) == signature &&
                    image[kHeaderPartKind] == 'N' && ImageCheckHolds(image.data(), image.size()) &&
                    (kernel_.received == 0 ||
                     (kernel_.bytes.size() >= kHeaderEnd && kernel_.bytes[kHeaderPartKind] == 'K' &&
                      ImageCheckHolds(kernel_.bytes.data(), kernel_.bytes.size())));
  if (!fits) return Reply::Check(kIllegalRequest, 0x26, 0x00);

  // The firmware it will run: revision and date from the image header.
  normalRevision_ = TextAt(image, kHeaderRevision, 5);
  normalDate_ = Padded(DriveDate(TextAt(image, kHeaderDate, 8)), 10);
  normalModelName_ = TextAt(image, kHeaderNormalModelName, 8);
  if (kernel_.Complete() && kernel_.bytes.size() >= kHeaderEnd) {
    options_.kernelRevision = TextAt(kernel_.bytes, kHeaderKernelRevision, 4);
    options_.kernelDate = TextAt(kernel_.bytes, kHeaderDate, 8);
  }
  reflashFails_ = options_.failedReflashes > 0;
  if (reflashFails_) --options_.failedReflashes;
  ++reflashes_;
  mode_ = Mode::kReflashing;
  reflashStartUs_ = c.timeUs + options_.modeChangeUs;
  reflashEndUs_ = reflashStartUs_ + options_.reflashUs;
  return Reply::Good();
}

Reply BdFamily::Piece(const Command& c, Part& part) {
  if (mode_ != Mode::kKernel) return Reply::Check(kIllegalRequest, 0x2C, 0x00);
  const uint32_t offset = c.bufferOffset();
  const uint32_t length = c.bufferLength();
  if (length == 0 || c.dataOut.size() < length || offset > part.bytes.size() ||
      length > part.bytes.size() - offset) {
    return Reply::Check(kIllegalRequest, 0x24, 0x00);  // invalid field in CDB
  }
  part.Take(offset, c.dataOut.data(), length);
  return Reply::Good();
}

void BdFamily::EnterKernel(Drive& drive) {
  mode_ = Mode::kKernel;
  normal_.Reset(options_.normalPartSize);
  kernel_.Reset(options_.kernelPartSize);
  ShowIdentity(drive, options_.kernelRevision, options_.kernelDate);
}

void BdFamily::FinishReflash(Drive& drive) {
  if (reflashFails_) {
    // The flash did not take: the normal part is gone, the kernel runs.
    normalModelName_ = kNoModelName;
    SetNormalModelName(drive, normalModelName_);
    EnterKernel(drive);
    return;
  }
  mode_ = Mode::kNormal;
  ShowIdentity(drive, normalRevision_, normalDate_);
  SetNormalModelName(drive, normalModelName_);
}

void BdFamily::ShowIdentity(Drive& drive, const std::string& revision, const std::string& date) {
  const std::string r = Padded(revision, 5);
  const std::string d = Padded(date, 10);
  std::copy(r.begin(), r.end(), drive.inquiry.begin() + kInquiryRevision);
  std::copy(d.begin(), d.end(), drive.inquiry.begin() + kInquiryDate);
}

void BdFamily::SetNormalModelName(Drive& drive, const std::string& name) {
  if (!drive.vendorIdentity) return;
  const std::string n = Padded(name, 8);
  std::copy(n.begin(), n.end(), drive.vendorIdentity->begin() + kVendorNormalModelName);
}

std::unique_ptr<FamilyBehaviour> MakeBdFamily(const json& options, Drive& drive) {
  BdFamilyOptions o;
  for (const auto& [key, value] : options.items()) {
    if (key == "modeChangeName") {
      o.modeChangeName = Text(value, key, 16);
    } else if (key == "checksum") {
      const uint64_t n = Number(value, key);
      if (n > 0xFFFFFFFFu) Bad(key, "more than 32 bits");
      o.checksum = static_cast<uint32_t>(n);
    } else if (key == "normalPartSize") {
      o.normalPartSize = static_cast<uint32_t>(std::min<uint64_t>(Number(value, key), 0x1000000));
    } else if (key == "kernelPartSize") {
      o.kernelPartSize = static_cast<uint32_t>(std::min<uint64_t>(Number(value, key), 0x1000000));
    } else if (key == "pieceMs") {
      o.pieceUs = Number(value, key) * 1000;
    } else if (key == "modeChangeMs") {
      o.modeChangeUs = Number(value, key) * 1000;
    } else if (key == "reflashMs") {
      o.reflashUs = Number(value, key) * 1000;
    } else if (key == "reflashAnswerMs") {
      o.reflashAnswerUs = Number(value, key) * 1000;
    } else if (key == "spinUpMs") {
      o.spinUpUs = Number(value, key) * 1000;
    } else if (key == "kernelOnly") {
      if (!value.is_boolean()) Bad(key, "expected true or false");
      o.kernelOnly = value.get<bool>();
    } else if (key == "kernelRevision") {
      o.kernelRevision = Text(value, key, 5);
    } else if (key == "kernelDate") {
      o.kernelDate = Text(value, key, 10);
    } else if (key == "failedReflashes") {
      o.failedReflashes = static_cast<uint32_t>(std::min<uint64_t>(Number(value, key), 1000));
    } else {
      Bad(key, "unknown option of the bd family");
    }
  }
  return std::make_unique<BdFamily>(o, drive);
}

}  // namespace oddfw::sim::drive
