#include "sim/drive/dvd_family.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <set>
#include <stdexcept>

#include "commands/handshake.h"
#include "sim/image_builder.h"

namespace oddfw::sim::drive {
namespace {

using json = nlohmann::ordered_json;

// INQUIRY fields the family changes.
constexpr std::size_t kProduct = 16;
constexpr std::size_t kRevision = 32;  // 5 bytes
constexpr std::size_t kDate = 37;      // 10 bytes
// The normal-part name in the 48 bytes of the vendor identity.
constexpr std::size_t kNormalModelName = 32;

// Where the image header keeps what the drive takes from a part it received.
constexpr std::size_t kHeaderRevision = 0x90;         // 5
constexpr std::size_t kHeaderNormalModelName = 0xF0;  // 8
constexpr std::size_t kHeaderDate = 0x130;            // 8, yy/mm/dd
constexpr std::size_t kHeaderKernelRevision = 0x150;  // 4
constexpr std::size_t kHeaderSize = 0x160;

constexpr uint32_t kModeChangeBlockSize = 256;
constexpr uint32_t kChallengeSize = 1024;
constexpr uint32_t kEchoSize = 256;
constexpr uint32_t kNormalPartLimit = 0x800000;

struct ModeNames {
  int32_t modelCode;
  const char* kernel;
  const char* normal;
};

// The names each model wants to hear with WRITE BUFFER mode 4 and mode 5.
constexpr ModeNames kModeNames[] = {
    {0x1003, "QUORVEN KWX-T680", "QUORVEN KWX-T680"},
    {0x1004, "QUORVEN KWXN-730", "QUORVEN KWXN-730"},
    {0x1005, "QUORVEN  KWX-740", "QUORVEN  KWX-740"},
    {0x1041, "QUORVEN  KWX-740", "QUORVEN  KWX-L57"},
};

int32_t ModelCodeOfProduct(const std::array<uint8_t, 96>& inquiry) {
  const std::string product(inquiry.begin() + kProduct, inquiry.begin() + kProduct + 16);
  if (product.find("KWX-720") != std::string::npos) return 0x1003;
  if (product.find("KWX-730") != std::string::npos) return 0x1004;
  if (product.find("KWX-740") != std::string::npos) return 0x1005;
  return 0;
}

template <std::size_t N>
std::array<uint8_t, N> Padded(const std::string& text, const char* what) {
  if (text.size() > N) {
    throw std::invalid_argument(std::string(what) + " \"" + text + "\" is longer than " +
                                std::to_string(N) + " characters");
  }
  std::array<uint8_t, N> out;
  out.fill(' ');
  std::memcpy(out.data(), text.data(), text.size());
  return out;
}

uint64_t Number(const json& options, const char* key) {
  const json& v = options.at(key);
  if (v.is_number_unsigned()) return v.get<uint64_t>();
  if (v.is_string()) {
    const std::string text = v.get<std::string>();
    char* end = nullptr;
    const unsigned long long n = std::strtoull(text.c_str(), &end, 0);
    if (!text.empty() && *end == '\0') return n;
  }
  throw std::invalid_argument(std::string(key) + ": expected a number (42 or \"0x2a\")");
}

std::string Text(const json& options, const char* key) {
  if (!options.at(key).is_string())
    throw std::invalid_argument(std::string(key) + ": expected a text");
  return options.at(key).get<std::string>();
}

// One of the given words.
std::string Choice(const json& options, const char* key, std::initializer_list<const char*> words) {
  const std::string word = Text(options, key);
  std::string known;
  for (const char* w : words) {
    if (word == w) return word;
    known += std::string(known.empty() ? "" : ", ") + w;
  }
  throw std::invalid_argument(std::string(key) + ": \"" + word + "\" is not one of " + known);
}

}  // namespace

DvdOptions ParseDvdOptions(const json& options) {
  static const std::set<std::string> kKeys = {
      "handshake",           "challengeSeed",   "modelCode",     "start",     "kernelRevision",
      "kernelDate",          "kernelModeMs",    "normalModeMs",  "reflashMs", "busy",
      "reflashWhenReceived", "failedReflashes", "staleInquiries"};
  if (!options.is_object()) throw std::invalid_argument("expected an object of options");
  for (const auto& [key, value] : options.items()) {
    if (kKeys.count(key) == 0) throw std::invalid_argument("unknown key \"" + key + "\"");
  }
  DvdOptions o;
  if (options.contains("handshake")) {
    o.challenge = Choice(options, "handshake", {"none", "challenge"}) == "challenge";
  }
  if (options.contains("challengeSeed")) {
    o.challengeSeed = static_cast<uint32_t>(Number(options, "challengeSeed"));
  }
  if (options.contains("modelCode")) {
    o.modelCode = static_cast<int32_t>(Number(options, "modelCode"));
  }
  if (options.contains("start")) {
    o.startInKernel = Choice(options, "start", {"normal", "kernel"}) == "kernel";
  }
  if (options.contains("kernelRevision")) o.kernelRevision = Text(options, "kernelRevision");
  if (options.contains("kernelDate")) o.kernelDate = Text(options, "kernelDate");
  if (options.contains("kernelModeMs")) o.kernelModeUs = Number(options, "kernelModeMs") * 1000;
  if (options.contains("normalModeMs")) o.normalModeUs = Number(options, "normalModeMs") * 1000;
  if (options.contains("reflashMs")) o.reflashUs = Number(options, "reflashMs") * 1000;
  if (options.contains("busy")) {
    o.absentWhileBusy = Choice(options, "busy", {"not-ready", "absent"}) == "absent";
  }
  if (options.contains("reflashWhenReceived")) {
    o.reflashWhenReceived = static_cast<uint32_t>(Number(options, "reflashWhenReceived"));
  }
  if (options.contains("failedReflashes")) {
    o.failedReflashes = static_cast<uint32_t>(Number(options, "failedReflashes"));
  }
  if (options.contains("staleInquiries")) {
    o.staleInquiries = static_cast<uint32_t>(Number(options, "staleInquiries"));
  }
  // Checked here, so a scenario learns of a bad text when it loads.
  Padded<5>(o.kernelRevision, "kernelRevision");
  Padded<10>(o.kernelDate, "kernelDate");
  return o;
}

DvdFamily::DvdFamily(Drive& drive, DvdOptions options)
    : options_(std::move(options)),
      random_(options_.challengeSeed),
      failedReflashesLeft_(options_.failedReflashes) {
  const int32_t model = options_.modelCode.value_or(ModelCodeOfProduct(drive.inquiry));
  for (const ModeNames& m : kModeNames) {
    if (m.modelCode == model) {
      kernelName_ = m.kernel;
      normalName_ = m.normal;
    }
  }
  kernelRevision_ = Padded<5>(options_.kernelRevision, "kernelRevision");
  kernelDate_ = Padded<10>(options_.kernelDate, "kernelDate");
  if (drive.vendorIdentity) {
    std::memcpy(normalModelName_.data(), drive.vendorIdentity->data() + kNormalModelName, 8);
  }
  if (options_.startInKernel) {
    // No normal firmware: the drive answers as its kernel does.
    kernel_ = true;
    std::memcpy(drive.inquiry.data() + kRevision, kernelRevision_.data(), 5);
    std::memcpy(drive.inquiry.data() + kDate, kernelDate_.data(), 10);
    if (drive.vendorIdentity) std::memset(drive.vendorIdentity->data() + kNormalModelName, ' ', 8);
    staleInquiry_ = drive.inquiry;
  } else {
    normalInquiry_ = drive.inquiry;
  }
}

bool DvdFamily::Execute(Drive& drive, const Command& c, Reply& reply) {
  if (busy_ && c.timeUs >= busyUntilUs_) FinishReflash(drive);
  if (busy_) {
    const uint64_t time = reply.durationUs;
    if (options_.absentWhileBusy) {
      reply = Reply{};
      reply.outcome = Outcome::kDeviceGone;
    } else {
      reply = Reply::Check(kNotReady, 0x04, 0x01);  // becoming ready
    }
    reply.durationUs = time;
    return true;
  }
  if (c.opcode() == kOpInquiry && staleLeft_ > 0) {
    // Still the identity of the firmware before the update.
    --staleLeft_;
    const uint64_t time = reply.durationUs;
    reply = Reply::Good();
    reply.data.assign(staleInquiry_.begin(), staleInquiry_.end());
    reply.durationUs = time;
    return true;
  }

  const uint64_t time = reply.durationUs;
  std::optional<Reply> answer;
  if (c.opcode() == kOpReadBuffer && c.bufferMode() == 2 && c.bufferId() == 0xF2) {
    answer = Challenge(c);
  } else if (c.opcode() == kOpWriteBuffer) {
    const uint8_t mode = c.bufferMode();
    const uint8_t id = c.bufferId();
    if (mode == 1 && (id == 0xF3 || id == 0xF2)) {
      answer = Handshake(c);
    } else if ((mode == 4 || mode == 5) && id == 0xFF) {
      Reply r;
      r.durationUs = time;
      reply = ModeChange(drive, c, r);
      return true;
    } else if (mode == 7 && id == 0xFE) {
      answer = Part(drive, c, kernelPart_, kKernelPartSize);
    } else if (mode == 7 && id == 0xF0) {
      answer = Part(drive, c, normalPart_, kNormalPartLimit);
    }
  }
  if (!answer) return false;
  reply = *answer;
  reply.durationUs = time;
  if (c.opcode() == kOpWriteBuffer && c.bufferId() == 0xF0 && reply.status == kStatusGood &&
      options_.reflashWhenReceived != 0 && normalPart_.size() >= options_.reflashWhenReceived) {
    // This drive does not wait for mode 5: it re-flashes once it holds the
    // whole normal part.
    busy_ = true;
    busyUntilUs_ = c.timeUs + time + options_.reflashUs;
  }
  return true;
}

Reply DvdFamily::Challenge(const Command& c) {
  if (!options_.challenge) return Reply::Check(kIllegalRequest, 0x24, 0x00);
  if (c.bufferLength() != kChallengeSize) return Reply::Check(kIllegalRequest, 0x24, 0x00);
  // A fresh challenge for every read.
  challenge_.resize(kChallengeSize);
  for (uint8_t& b : challenge_) b = static_cast<uint8_t>(random_() >> 24);
  exchange_ = Exchange::kChallenged;
  unlocked_ = false;
  Reply r;
  r.data = challenge_;
  return r;
}

Reply DvdFamily::Handshake(const Command& c) {
  if (!options_.challenge) return Reply::Check(kIllegalRequest, 0x24, 0x00);
  if (c.bufferId() == 0xF3) {
    if (c.bufferLength() != 0) return Reply::Check(kIllegalRequest, 0x24, 0x00);
    exchange_ = Exchange::kIdle;
    return Reply::Good();
  }
  const uint32_t length = c.bufferLength();
  if (c.dataOut.size() != length) return Reply::Check(kIllegalRequest, 0x1A, 0x00);
  if (length == kEchoSize && exchange_ == Exchange::kChallenged) {
    if (!std::equal(c.dataOut.begin(), c.dataOut.end(), challenge_.begin())) {
      exchange_ = Exchange::kIdle;
      return Reply::Check(kIllegalRequest, 0x26, 0x00);  // invalid field in parameter list
    }
    exchange_ = Exchange::kEchoed;
    return Reply::Good();
  }
  if (length == kChallengeSize && exchange_ == Exchange::kEchoed) {
    // The one byte that counts: at the position the challenge names, the
    // complement of the challenge byte its index byte and the secret pick.
    response_ = c.dataOut;
    const uint32_t index = challenge_[512] + uint32_t{kHandshakeKey0};
    const uint8_t position = challenge_[kHandshakeKey1];
    unlocked_ = response_[position] == static_cast<uint8_t>(~challenge_[index]);
    exchange_ = Exchange::kIdle;
    return Reply::Good();  // a wrong answer only shows when mode 4 is refused
  }
  exchange_ = Exchange::kIdle;
  return Reply::Check(kIllegalRequest, 0x2C, 0x00);  // command sequence error
}

bool DvdFamily::BlockNames(const Command& c, const std::string& name) const {
  if (c.dataOut.size() != kModeChangeBlockSize) return false;
  uint8_t expected[kModeChangeBlockSize] = {};
  std::memcpy(expected, name.data(), std::min<std::size_t>(name.size(), 16));
  return std::equal(c.dataOut.begin(), c.dataOut.end(), expected);
}

void DvdFamily::EnterKernel(Drive& drive) {
  staleInquiry_ = drive.inquiry;  // what the drive ran before
  kernel_ = true;
  ++kernelEntries_;
  unlocked_ = false;
  exchange_ = Exchange::kIdle;
  kernelPart_.clear();
  normalPart_.clear();
  std::memcpy(drive.inquiry.data() + kRevision, kernelRevision_.data(), 5);
  std::memcpy(drive.inquiry.data() + kDate, kernelDate_.data(), 10);
  // The kernel knows no normal part.
  if (drive.vendorIdentity) std::memset(drive.vendorIdentity->data() + kNormalModelName, ' ', 8);
}

Reply DvdFamily::ModeChange(Drive& drive, const Command& c, Reply reply) {
  const bool toKernel = c.bufferMode() == 4;
  if (c.bufferLength() != kModeChangeBlockSize || c.dataOut.size() != kModeChangeBlockSize) {
    return Reply::Check(kIllegalRequest, 0x1A, 0x00);  // parameter list length error
  }
  if (!BlockNames(c, toKernel ? kernelName_ : normalName_)) {
    return Reply::Check(kIllegalRequest, 0x26, 0x00);
  }
  if (toKernel) {
    if (kernel_) return reply;
    if (options_.challenge && !unlocked_) return Reply::Check(kIllegalRequest, 0x2C, 0x00);
    EnterKernel(drive);
    if (options_.kernelModeUs) reply.durationUs = *options_.kernelModeUs;
    return reply;
  }
  if (!kernel_) return reply;  // already in normal mode
  busy_ = true;
  busyUntilUs_ = c.timeUs + options_.reflashUs;
  reply.durationUs = options_.normalModeUs.value_or(options_.reflashUs);
  return reply;
}

Reply DvdFamily::Part(Drive&, const Command& c, std::vector<uint8_t>& part, uint32_t limit) {
  if (!kernel_) return Reply::Check(kIllegalRequest, 0x2C, 0x00);
  const uint32_t length = c.bufferLength();
  if (c.dataOut.size() != length) return Reply::Check(kIllegalRequest, 0x1A, 0x00);
  // The pieces come in order, each where the last one ended; a piece at
  // offset 0 starts the part again.
  if (c.bufferOffset() == 0) part.clear();
  if (c.bufferOffset() != part.size() || part.size() + length > limit) {
    return Reply::Check(kIllegalRequest, 0x24, 0x00);
  }
  if (&part == &normalPart_) normalInquiry_.reset();  // the old normal firmware is erased
  part.insert(part.end(), c.dataOut.begin(), c.dataOut.end());
  return Reply::Good();
}

void DvdFamily::FinishReflash(Drive& drive) {
  busy_ = false;
  ++reflashes_;
  // The drive's loader verifies each part it received before it writes it:
  // a part that lost or garbled bytes on the way is not taken.
  const bool partsHold =
      (normalPart_.empty() || ImageCheckHolds(normalPart_.data(), normalPart_.size())) &&
      (kernelPart_.empty() || (kernelPart_.size() == kKernelPartSize &&
                               ImageCheckHolds(kernelPart_.data(), kernelPart_.size())));
  const bool failed = failedReflashesLeft_ > 0 || !partsHold;
  if (failedReflashesLeft_ > 0) {
    --failedReflashesLeft_;
  } else if (!failed) {
    if (kernelPart_.size() == kKernelPartSize) {
      std::memcpy(kernelDate_.data(), kernelPart_.data() + kHeaderDate, 8);
      std::memset(kernelDate_.data() + 8, ' ', 2);
      const uint8_t* revision = kernelPart_.data() + kHeaderKernelRevision;
      if (std::any_of(revision, revision + 4, [](uint8_t b) { return b != 0; })) {
        std::memcpy(kernelRevision_.data(), revision, 4);
        kernelRevision_[4] = ' ';
      }
    }
    if (normalPart_.size() >= kHeaderSize) {
      std::array<uint8_t, 96> identity = normalInquiry_.value_or(drive.inquiry);
      std::memcpy(identity.data() + kRevision, normalPart_.data() + kHeaderRevision, 5);
      std::memcpy(identity.data() + kDate, normalPart_.data() + kHeaderDate, 8);
      std::memset(identity.data() + kDate + 8, ' ', 2);
      std::memcpy(normalModelName_.data(), normalPart_.data() + kHeaderNormalModelName, 8);
      normalInquiry_ = identity;
    }
  }
  kernelPart_.clear();
  normalPart_.clear();
  if (!failed && normalInquiry_) {
    kernel_ = false;
    drive.inquiry = *normalInquiry_;
    if (drive.vendorIdentity) {
      std::memcpy(drive.vendorIdentity->data() + kNormalModelName, normalModelName_.data(), 8);
    }
    staleLeft_ = options_.staleInquiries;
  } else {
    // Back in the kernel: the drive waits for another transfer.
    kernel_ = true;
    std::memcpy(drive.inquiry.data() + kRevision, kernelRevision_.data(), 5);
    std::memcpy(drive.inquiry.data() + kDate, kernelDate_.data(), 10);
  }
}

}  // namespace oddfw::sim::drive
