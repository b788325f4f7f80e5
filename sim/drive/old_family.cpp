#include "sim/drive/old_family.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "sim/image_builder.h"
#include "sim/scenario_json.h"

namespace oddfw::sim::drive {
namespace {

inline constexpr uint8_t kBufferMemory = 0x80;
inline constexpr uint8_t kBufferUpdateMode = 0x30;
inline constexpr uint8_t kBufferImageData = 0xFF;
inline constexpr uint8_t kBufferReflash = 0x42;

// The final piece: the image's last 4 KiB, the host tag and 12 more bytes.
inline constexpr uint32_t kFinalPieceImageBytes = 0x1000;
inline constexpr uint32_t kFinalPieceLength = kFinalPieceImageBytes + 16;

Reply CommandSequenceError() {
  return Reply::Check(kIllegalRequest, 0x2C, 0x00);
}

Reply OutOfRange() {
  return Reply::Check(kIllegalRequest, 0x21, 0x00);  // logical block address out of range
}

void PutInquiryText(Drive& drive, std::size_t at, std::size_t width, const std::string& text) {
  std::memset(&drive.inquiry[at], ' ', width);
  std::memcpy(&drive.inquiry[at], text.data(), std::min(width, text.size()));
}

}  // namespace

OldFamily::OldFamily(OldFamilyOptions options)
    : options_(std::move(options)), memory_(options_.memory), received_(memory_.size(), 0xFF) {}

bool OldFamily::Execute(Drive& drive, const Command& c, Reply& reply) {
  if (c.timeUs < reflashEndUs_) {
    ++commandsWhileReflashing_;
    const uint64_t time = reply.durationUs;
    reply = Reply::Check(kNotReady, 0x04, 0x07);  // operation in progress
    reply.durationUs = time;
    return true;
  }
  const bool readBuffer = c.opcode() == kOpReadBuffer;
  const bool writeBuffer = c.opcode() == kOpWriteBuffer;
  if ((!readBuffer && !writeBuffer) || c.bufferMode() != 1) return false;
  const uint64_t time = reply.durationUs;
  if (readBuffer && c.bufferId() == kBufferMemory) {
    reply = ReadMemory(c);
  } else if (writeBuffer && c.bufferId() == kBufferUpdateMode) {
    updateMode_ = true;
    pieces_.clear();
    std::fill(received_.begin(), received_.end(), 0xFF);
    reply = Reply::Good();
  } else if (writeBuffer && c.bufferId() == kBufferImageData) {
    reply = WriteData(c);
  } else if (writeBuffer && c.bufferId() == kBufferReflash) {
    reply = Reflash(drive, c);
    if (reply.status == kStatusGood) return true;  // keeps the re-flash's own time
  } else {
    return false;
  }
  reply.durationUs = time;
  return true;
}

Reply OldFamily::ReadMemory(const Command& c) const {
  const uint64_t offset = c.bufferOffset();
  const uint64_t length = c.bufferLength();
  if (offset + length > memory_.size()) return OutOfRange();
  Reply r;
  r.data.assign(memory_.begin() + static_cast<std::ptrdiff_t>(offset),
                memory_.begin() + static_cast<std::ptrdiff_t>(offset + length));
  return r;
}

Reply OldFamily::WriteData(const Command& c) {
  if (!updateMode_) return CommandSequenceError();
  const uint32_t offset = c.bufferOffset();
  const uint32_t length = c.bufferLength();
  // The CDB and the transfer must agree, and the data must fit the memory.
  if (c.direction != Direction::kOut || c.dataOut.size() != length) {
    return Reply::Check(kIllegalRequest, 0x24, 0x00);
  }
  if (uint64_t{offset} + length > received_.size()) return OutOfRange();
  std::copy(c.dataOut.begin(), c.dataOut.end(), received_.begin() + offset);
  pieces_.push_back({offset, length});
  return Reply::Good();
}

Reply OldFamily::Reflash(Drive& drive, const Command& c) {
  // Nothing to flash without the update mode and a final piece last.
  if (!updateMode_ || pieces_.empty() || pieces_.back().length != kFinalPieceLength) {
    ++refusedReflashes_;
    return CommandSequenceError();
  }
  const uint32_t imageEnd = pieces_.back().offset + kFinalPieceImageBytes;
  hostTag_.assign(received_.begin() + imageEnd, received_.begin() + imageEnd + 4);
  behindTag_.assign(received_.begin() + imageEnd + 4, received_.begin() + imageEnd + 16);
  const bool tagAccepted =
      options_.hostTag ? hostTag_ == *options_.hostTag : (hostTag_ == "WIN " || hostTag_ == "WIN2");
  const bool patchAccepted = !options_.patchBytes || behindTag_ == *options_.patchBytes;
  if (!tagAccepted || !patchAccepted) {
    ++refusedReflashes_;
    return Reply::Check(kIllegalRequest, 0x26, 0x00);  // invalid field in parameter list
  }

  for (uint32_t i = 0; i < imageEnd; ++i) {
    if (i >= kOwnBytesStart && i < kOwnBytesEnd) continue;
    memory_[i] = received_[i];
  }
  ++reflashes_;
  updateMode_ = false;
  if (options_.newRevision) PutInquiryText(drive, 32, 5, *options_.newRevision);
  if (options_.newDate) PutInquiryText(drive, 37, 10, *options_.newDate);
  reflashStartUs_ = c.timeUs;
  reflashEndUs_ = c.timeUs + options_.reflashUs;
  Reply r = Reply::Good();
  r.durationUs = options_.reflashUs;
  return r;
}

std::unique_ptr<FamilyBehaviour> MakeOldFamily(const nlohmann::ordered_json& o, Drive&) {
  using namespace scenario_json;
  const std::string where = "old";
  OldFamilyOptions options;
  try {
    CheckKeys(o, {"memory", "reflashMs", "newRevision", "newDate", "hostTag", "patchBytes"}, where);
    if (o.contains("memory")) {
      ImageSpec base;
      base.header = false;
      base.size = 0x40000;
      options.memory = BuildImage(ParseImageSpec(o["memory"], base, "memory"));
    }
    if (o.contains("reflashMs"))
      options.reflashUs = uint64_t{GetNumber(o, "reflashMs", where)} * 1000;
    if (o.contains("newRevision")) options.newRevision = GetText(o, "newRevision", 5, where);
    if (o.contains("newDate")) options.newDate = GetText(o, "newDate", 10, where);
    if (o.contains("hostTag")) {
      options.hostTag = GetText(o, "hostTag", 4, where);
      if (options.hostTag->size() != 4) throw ScenarioError("hostTag: 4 characters");
    }
    if (o.contains("patchBytes")) {
      const std::string bytes = ParseBytes(o["patchBytes"], "patchBytes");
      if (bytes.size() != 12) throw ScenarioError("patchBytes: 12 bytes");
      options.patchBytes = std::vector<uint8_t>(bytes.begin(), bytes.end());
    }
  } catch (const ScenarioError& e) {
    throw std::invalid_argument(e.what());
  }
  return std::make_unique<OldFamily>(std::move(options));
}

}  // namespace oddfw::sim::drive
