#pragma once
// The BD writers (model family 0x4000, the MHT-860 of the built-in release):
// kernel mode, the transfer of the kernel and normal parts, the internal
// re-flash and the tray.
//
// - WRITE BUFFER mode 4 buffer 0xFF with the 256-byte mode-change block (the
//   kernel's name in bytes 0-15, the release checksum in bytes 16-19, least
//   significant byte first) moves the drive to its kernel; a wrong name or
//   checksum is refused with ILLEGAL REQUEST 26/00. The kernel reports
//   revision "0000" and a date of its own.
// - In the kernel, WRITE BUFFER mode 7 takes the normal part (buffer 0xF0)
//   and the kernel part (buffer 0xFE) in pieces at their offsets.
// - WRITE BUFFER mode 5 buffer 0xFF (the same block) starts the re-flash when
//   the whole normal part has arrived and fits the drive; otherwise it is
//   refused (ILLEGAL REQUEST 2C/00 for a short transfer, 26/00 for an image
//   of another drive, or for a part whose check value does not hold: bytes
//   lost or garbled on the way) and the drive stays in its kernel.
// - While it re-flashes, the drive answers every command with NOT READY
//   04/12 and the progress (out of 65536) in sense bytes 16-17; then it
//   reports UNIT ATTENTION 29/00 once and runs the new firmware, whose
//   revision and date come from the image header (0x90, 0x130).
// - TEST UNIT READY: NOT READY 3A/00 with an empty tray; with a disc NOT
//   READY 04/01 while it spins up, then GOOD.

#include <cstdint>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "sim/drive/drive.h"

namespace oddfw::sim::drive {

struct BdFamilyOptions {
  std::string modeChangeName = "QUORVEN  MHT-870";  // bytes 0-15 of the mode-change block
  uint32_t checksum = 0x656dc5ae;                   // bytes 16-19, least significant first
  uint32_t normalPartSize = 0x200000;               // the normal part the drive expects
  uint32_t kernelPartSize = 0x11200;
  uint64_t pieceUs = 30000;             // one WRITE BUFFER piece of up to 32 KiB
  uint64_t modeChangeUs = 150000;       // WRITE BUFFER mode 4 or 5
  uint64_t reflashUs = 30000000;        // the internal re-flash
  uint64_t reflashAnswerUs = 250000;    // any command while it re-flashes
  uint64_t spinUpUs = 0;                // a loaded disc is becoming ready until then
  bool kernelOnly = false;              // the drive holds no normal part: it runs its kernel
  std::string kernelRevision = "0000";  // INQUIRY revision while the kernel runs
  std::string kernelDate = "08/12/05";  // INQUIRY date while the kernel runs
  uint32_t failedReflashes = 0;         // this many re-flashes fail and erase the normal part
};

class BdFamily : public FamilyBehaviour {
 public:
  enum class Mode { kNormal, kKernel, kReflashing };

  BdFamily(const BdFamilyOptions& options, Drive& drive);

  bool Execute(Drive& drive, const Command& command, Reply& reply) override;
  std::size_t MemoryBytes() const override { return normal_.bytes.size() + kernel_.bytes.size(); }

  Mode mode() const { return mode_; }
  const BdFamilyOptions& options() const { return options_; }
  // What the drive has received of the normal part since it entered its
  // kernel, and how many distinct bytes of it.
  const std::vector<uint8_t>& normalPart() const { return normal_.bytes; }
  uint32_t normalBytesReceived() const { return normal_.received; }
  uint32_t kernelBytesReceived() const { return kernel_.received; }
  uint32_t reflashCount() const { return reflashes_; }

 private:
  // A part arriving in pieces: its bytes and which of them came.
  struct Part {
    std::vector<uint8_t> bytes;
    std::map<uint32_t, uint32_t> seen;  // the ranges that came: start -> end
    uint32_t received = 0;              // bytes in them
    void Reset(uint32_t size);
    void Take(uint32_t offset, const uint8_t* data, uint32_t length);
    bool Complete() const { return received == bytes.size(); }
  };

  Reply ModeChange(Drive& drive, const Command& c, bool toKernel);
  Reply Piece(const Command& c, Part& part);
  Reply TestUnitReady(const Drive& drive, const Command& c) const;
  void EnterKernel(Drive& drive);
  void FinishReflash(Drive& drive);
  void ShowIdentity(Drive& drive, const std::string& revision, const std::string& date);
  void SetNormalModelName(Drive& drive, const std::string& name);
  bool BlockValid(const Command& c) const;

  BdFamilyOptions options_;
  Mode mode_ = Mode::kNormal;
  Part normal_;
  Part kernel_;
  // The firmware the drive runs in normal mode: INQUIRY revision (5) and
  // date (10), and the normal-part model name of the vendor identity (8).
  std::string normalRevision_;
  std::string normalDate_;
  std::string normalModelName_;
  // The re-flash under way.
  uint64_t reflashStartUs_ = 0;
  uint64_t reflashEndUs_ = 0;
  bool reflashFails_ = false;
  uint32_t reflashes_ = 0;
};

// The family from its scenario options (docs/scenarios.md, "The BD family");
// throws std::invalid_argument for an unknown key or a bad value.
std::unique_ptr<FamilyBehaviour> MakeBdFamily(const nlohmann::ordered_json& options, Drive& drive);

}  // namespace oddfw::sim::drive
