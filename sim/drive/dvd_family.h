#pragma once
// The maker's DVD-RW writers (QUORVEN DVD-RW KWX-720/730/740 and their
// relatives): the update-mode handshake on buffers 0xF3 and 0xF2, kernel
// mode, the kernel part (buffer 0xFE) and the normal part (buffer 0xF0), and
// the re-flash that the return to normal mode starts.
//
// Life of a drive: normal firmware -> (probe, challenge, echo, response when
// the drive wants the handshake) -> WRITE BUFFER mode 4 with its kernel-mode
// name -> kernel mode (revision "0000", no normal part in the vendor
// identity) -> kernel part and normal part, in order -> WRITE BUFFER mode 5
// with its normal-mode name -> busy re-flashing -> the new firmware, whose
// revision, date and normal-part name come from the image the drive
// received. A part whose check value (sim/image_builder.h) does not hold is
// not taken: the re-flash fails and the drive stays in its kernel.

#include <cstdint>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "sim/drive/drive.h"

namespace oddfw::sim::drive {

struct DvdOptions {
  // "challenge": the drive accepts the probe on buffer 0xF3 and enters
  // kernel mode only after a correct response on buffer 0xF2. "none": it
  // refuses the probe with ILLEGAL REQUEST 24/00 and needs no exchange.
  bool challenge = false;
  uint32_t challengeSeed = 1;  // the drive's own generator of challenges
  // Which names the drive wants in the mode-change blocks, by the model code
  // of its table; absent: chosen by the product name (KWX-720 0x1003,
  // KWX-730 0x1004, KWX-740 0x1005; any other product wants zero names).
  std::optional<int32_t> modelCode;
  bool startInKernel = false;           // the drive runs only its kernel at power-on
  std::string kernelRevision = "0000";  // what INQUIRY says while the kernel runs
  std::string kernelDate = "08/10/01";
  std::optional<uint64_t> kernelModeUs;  // time to answer mode 4; absent: the command time
  uint64_t reflashUs = 3000000;          // the re-flash that mode 5 starts
  // Time to answer mode 5; absent: the drive answers when its re-flash is
  // done.
  std::optional<uint64_t> normalModeUs;
  // While re-flashing: true, the drive does not answer on the bus at all;
  // false, it answers every command NOT READY 04/01 (becoming ready).
  bool absentWhileBusy = false;
  // The drive starts re-flashing by itself once it holds this many bytes of
  // the normal part (0: only mode 5 starts it).
  uint32_t reflashWhenReceived = 0;
  uint32_t failedReflashes = 0;  // this many re-flashes end back in the kernel
  // INQUIRY commands after a re-flash that still answer for the firmware the
  // drive had before the update.
  uint32_t staleInquiries = 0;
};

// Reads the scenario options of the "dvd" family; throws
// std::invalid_argument naming a bad key.
DvdOptions ParseDvdOptions(const nlohmann::ordered_json& options);

class DvdFamily : public FamilyBehaviour {
 public:
  DvdFamily(Drive& drive, DvdOptions options);

  bool Execute(Drive& drive, const Command& command, Reply& reply) override;

  // What tests look at.
  bool inKernelMode() const { return kernel_; }
  bool unlocked() const { return unlocked_; }
  const std::vector<uint8_t>& challenge() const { return challenge_; }
  const std::vector<uint8_t>& lastResponse() const { return response_; }
  const std::vector<uint8_t>& kernelPart() const { return kernelPart_; }
  const std::vector<uint8_t>& normalPart() const { return normalPart_; }
  uint32_t reflashes() const { return reflashes_; }
  uint32_t kernelModeEntries() const { return kernelEntries_; }
  // The names the drive wants to enter kernel mode and to leave it.
  const std::string& kernelModeName() const { return kernelName_; }
  const std::string& normalModeName() const { return normalName_; }

  // The size of the kernel part the drive takes.
  static constexpr uint32_t kKernelPartSize = 0x10000;

 private:
  enum class Exchange { kIdle, kChallenged, kEchoed };

  void FinishReflash(Drive& drive);
  void EnterKernel(Drive& drive);
  bool BlockNames(const Command& command, const std::string& name) const;
  Reply Challenge(const Command& command);
  Reply Handshake(const Command& command);
  Reply ModeChange(Drive& drive, const Command& command, Reply reply);
  Reply Part(Drive& drive, const Command& command, std::vector<uint8_t>& part, uint32_t limit);

  DvdOptions options_;
  std::string kernelName_;
  std::string normalName_;
  std::mt19937 random_;

  bool kernel_ = false;
  bool busy_ = false;
  uint64_t busyUntilUs_ = 0;
  Exchange exchange_ = Exchange::kIdle;
  bool unlocked_ = false;
  std::vector<uint8_t> challenge_;
  std::vector<uint8_t> response_;
  std::vector<uint8_t> kernelPart_;
  std::vector<uint8_t> normalPart_;
  uint32_t reflashes_ = 0;
  uint32_t kernelEntries_ = 0;
  uint32_t failedReflashesLeft_ = 0;
  uint32_t staleLeft_ = 0;

  // The firmware the drive runs in normal mode: INQUIRY data and the
  // normal-part name of its vendor identity. Absent: the drive holds no
  // normal firmware.
  std::optional<std::array<uint8_t, 96>> normalInquiry_;
  std::array<uint8_t, 8> normalModelName_{};
  std::array<uint8_t, 96> staleInquiry_{};
  std::array<uint8_t, 5> kernelRevision_{};
  std::array<uint8_t, 10> kernelDate_{};
};

}  // namespace oddfw::sim::drive
