#include "sim/drive/drive.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace oddfw::sim::drive {
namespace {

void PutText(uint8_t* field, std::size_t width, const std::string& text, const char* name) {
  if (text.size() > width) {
    throw std::invalid_argument(std::string(name) + " \"" + text + "\" is longer than " +
                                std::to_string(width) + " characters");
  }
  std::memset(field, ' ', width);
  std::memcpy(field, text.data(), text.size());
}

// Times a drive of these lines takes when nothing else is set.
uint64_t DefaultTimeUs(uint8_t opcode) {
  switch (opcode) {
    case kOpTestUnitReady:
      return 1000;
    case kOpInquiry:
      return 2000;
    case kOpStartStopUnit:
      return 200000;  // spinning a disc down or up
    case kOpReadBuffer:
    case kOpWriteBuffer:
      return 5000;
    default:
      return 1000;
  }
}

}  // namespace

DriveProfile DriveProfile::ReleaseDrive() {
  DriveProfile s;
  s.vendor = "QUORVEN";
  s.product = "BD-RW   MHT-860";
  s.revision = "1.00";
  s.date = "2008/11/20";
  s.vendorIdentity = VendorIdentityText{"SAT 0001", "GENERAL ", "GENERAL "};
  return s;
}

DriveProfile DriveProfile::OtherMaker() {
  DriveProfile s;
  s.vendor = "VARNOK";
  s.product = "DVD-RW  VX-2210";
  s.revision = "2.05";
  s.date = "2007/06/01";
  return s;
}

std::array<uint8_t, 96> InquiryData(const DriveProfile& profile) {
  std::array<uint8_t, 96> d{};
  d[0] = profile.peripheral;
  d[1] = 0x80;  // removable medium
  d[2] = 0x00;
  d[3] = 0x32;  // response data format 2
  d[4] = 96 - 5;
  PutText(&d[8], 8, profile.vendor, "vendor");
  PutText(&d[16], 16, profile.product, "product");
  PutText(&d[32], 5, profile.revision, "revision");
  PutText(&d[37], 10, profile.date, "date");
  return d;
}

std::array<uint8_t, 48> VendorIdentityData(const VendorIdentityText& text) {
  std::array<uint8_t, 48> d{};
  PutText(&d[16], 8, text.hardwareRevision, "hardwareRevision");
  PutText(&d[24], 8, text.signature, "signature");
  PutText(&d[32], 8, text.normalModelName, "normalModelName");
  return d;
}

Drive::Drive(const DriveProfile& profile)
    : inquiry(InquiryData(profile)), discLoaded(profile.discLoaded) {
  if (profile.vendorIdentity) vendorIdentity = VendorIdentityData(*profile.vendorIdentity);
  spinning = discLoaded;
}

uint64_t Drive::CommandTime(uint8_t opcode) const {
  const auto it = commandTimeUs_.find(opcode);
  return it != commandTimeUs_.end() ? it->second : DefaultTimeUs(opcode);
}

Reply Drive::Execute(const Command& command) {
  history_.push_back(command);
  const uint64_t timeUs = CommandTime(command.opcode());
  // A pending unit attention is reported once, to any command but INQUIRY.
  if (unitAttention && command.opcode() != kOpInquiry) {
    unitAttention = false;
    Reply r = Reply::Check(kUnitAttention, 0x29, 0x00);  // power on or reset occurred
    r.durationUs = timeUs;
    return r;
  }
  Reply reply;
  reply.durationUs = timeUs;
  if (family_ && family_->Execute(*this, command, reply)) return reply;
  reply = ExecuteCore(command);
  reply.durationUs = timeUs;
  return reply;
}

Reply Drive::ExecuteCore(const Command& c) {
  switch (c.opcode()) {
    case kOpTestUnitReady:
      if (!discLoaded) return Reply::Check(kNotReady, 0x3A, 0x00);  // medium not present
      if (!spinning) return Reply::Check(kNotReady, 0x04, 0x02);    // start unit required
      return Reply::Good();

    case kOpInquiry: {
      if ((c.byte(1) & 0x01) != 0) return Reply::Check(kIllegalRequest, 0x24, 0x00);
      const uint32_t allocation = uint32_t{c.byte(3)} << 8 | c.byte(4);
      Reply r;
      r.data.assign(inquiry.begin(), inquiry.begin() + std::min<uint32_t>(allocation, 96));
      return r;
    }

    case kOpStartStopUnit: {
      const uint8_t b4 = c.byte(4);
      if ((b4 >> 4) != 0) return Reply::Good();  // a power condition: nothing to do here
      const bool start = (b4 & 0x01) != 0;
      const bool loadEject = (b4 & 0x02) != 0;
      if (loadEject && !start) discLoaded = false;
      spinning = start && discLoaded;
      return Reply::Good();
    }

    case kOpReadBuffer:
      if (c.bufferMode() == 2 && c.bufferId() == 0xF1 && vendorIdentity) {
        Reply r;
        const uint32_t n = std::min<uint32_t>(c.bufferLength(), 48);
        r.data.assign(vendorIdentity->begin(), vendorIdentity->begin() + n);
        return r;
      }
      return Reply::Check(kIllegalRequest, 0x24, 0x00);  // invalid field in CDB

    case kOpWriteBuffer:
      return Reply::Check(kIllegalRequest, 0x24, 0x00);

    default:
      return Reply::Check(kIllegalRequest, 0x20, 0x00);  // invalid command operation code
  }
}

std::shared_ptr<Drive> MakeDrive(const DriveProfile& profile) {
  return std::make_shared<Drive>(profile);
}

}  // namespace oddfw::sim::drive
