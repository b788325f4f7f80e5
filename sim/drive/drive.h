#pragma once
// A behavioural model of one optical drive, separate from the host that
// carries commands to it.
//
// The core answers what every drive of these lines answers: INQUIRY (96
// bytes), READ BUFFER mode 2 buffer 0xF1 (the 48-byte vendor identity), TEST
// UNIT READY and START STOP UNIT, with status, fixed-format sense data and a
// time per command. A drive family plugs its own commands (kernel mode, image
// transfer, re-flash, challenge buffers, drive memory) and its own state in
// through a FamilyBehaviour, which sees every command before the core does.

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "sim/drive/scsi.h"

namespace oddfw::sim::drive {

// The three texts of the vendor identity a drive returns for READ BUFFER
// mode 2 buffer 0xF1, each 8 characters (padded with spaces).
struct VendorIdentityText {
  std::string hardwareRevision;  // bytes 16-23, e.g. "SAT 0001"
  std::string signature;         // bytes 24-31, e.g. "GENERAL "
  std::string normalModelName;   // bytes 32-39; eight spaces: no normal firmware part
};

// What a drive says about itself. Texts are padded with spaces to their
// width; a longer text is refused.
struct DriveProfile {
  uint8_t peripheral = 5;           // INQUIRY byte 0: qualifier and device type (5: CD/DVD)
  std::string vendor;               // 8 characters, bytes 8-15
  std::string product;              // 16 characters, bytes 16-31
  std::string revision = "1.00";    // up to 5 characters, bytes 32-36
  std::string date = "2009/02/18";  // up to 10 characters, bytes 37-46
  // Absent: the drive refuses READ BUFFER buffer 0xF1 (another maker's drive).
  std::optional<VendorIdentityText> vendorIdentity;
  bool discLoaded = false;

  // The drive of the built-in release: QUORVEN BD-RW MHT-860, hardware
  // revision "SAT 0001", signature and normal-part model name "GENERAL ".
  static DriveProfile ReleaseDrive();
  // A writer of another maker, without the vendor identity buffer.
  static DriveProfile OtherMaker();
};

// The 96 bytes of INQUIRY data and the 48 bytes of vendor identity a profile
// describes. Throw std::invalid_argument for a text longer than its field.
std::array<uint8_t, 96> InquiryData(const DriveProfile& profile);
std::array<uint8_t, 48> VendorIdentityData(const VendorIdentityText& text);

class Drive;

// The commands and state of one drive family.
class FamilyBehaviour {
 public:
  virtual ~FamilyBehaviour() = default;
  // Answers a command the family knows and returns true, or returns false to
  // leave the command to the core. `reply` arrives with the core's time for
  // the command; the family may change it.
  virtual bool Execute(Drive& drive, const Command& command, Reply& reply) = 0;
  // Bytes of memory the family holds for its state (parts, drive memory).
  virtual std::size_t MemoryBytes() const { return 0; }
};

class Drive : public ScsiDevice {
 public:
  explicit Drive(const DriveProfile& profile);

  Reply Execute(const Command& command) override;

  void SetFamily(std::unique_ptr<FamilyBehaviour> family) { family_ = std::move(family); }
  FamilyBehaviour* family() { return family_.get(); }

  // Time the drive takes for commands with this operation code.
  void SetCommandTime(uint8_t opcode, uint64_t us) { commandTimeUs_[opcode] = us; }
  uint64_t CommandTime(uint8_t opcode) const;

  // Every command that reached the drive, in order.
  const std::vector<Command>& history() const { return history_; }

  // State the core answers from; families and tests may change it.
  std::array<uint8_t, 96> inquiry{};
  std::optional<std::array<uint8_t, 48>> vendorIdentity;
  bool discLoaded = false;
  bool spinning = false;
  bool unitAttention = false;  // the next command but INQUIRY reports 06/29/00

 private:
  Reply ExecuteCore(const Command& command);

  std::unique_ptr<FamilyBehaviour> family_;
  std::map<uint8_t, uint64_t> commandTimeUs_;
  std::vector<Command> history_;
};

// A drive built from a profile.
std::shared_ptr<Drive> MakeDrive(const DriveProfile& profile);

}  // namespace oddfw::sim::drive
