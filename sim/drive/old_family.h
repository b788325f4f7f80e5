#pragma once
// The oldest drives (model family 0x0000): firmware lives in a drive memory
// that the host reads back, and an update is the image written into that
// memory followed by a re-flash that takes seconds.
//
// Commands, all READ/WRITE BUFFER mode 1:
// - READ BUFFER buffer 0x80 at an offset: the drive memory (the identity and
//   CPU-type texts sit at 0x1000, 0x1C000 or 0x1F000 by model).
// - WRITE BUFFER buffer 0x30, no data: enter the update mode.
// - WRITE BUFFER buffer 0xFF at an offset: image data, update mode only. The
//   last piece before the re-flash is the final one: the image's last 4 KiB,
//   then the host tag ("WIN " from pass-through hosts and generation-6 patch
//   drives, "WIN2" from ASPI hosts and the Intel IDE driver) and 12 bytes.
// - WRITE BUFFER buffer 0x42, no data: re-flash. The command ends when the
//   re-flash ends. The drive memory then holds the image up to the host tag,
//   except bytes 0x400..0x44F, which the drive keeps its own; bytes never
//   sent read as erased flash (0xFF). INQUIRY reports the new revision.
// Any command that reaches the drive while it re-flashes is answered NOT
// READY 04/07 and counted: a host must not do that.

#include <cstdint>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "sim/drive/drive.h"

namespace oddfw::sim::drive {

struct OldFamilyOptions {
  // The drive memory as it is before any update (its size is the memory's).
  std::vector<uint8_t> memory = std::vector<uint8_t>(0x40000, 0xFF);
  uint64_t reflashUs = 8'000'000;
  // INQUIRY revision (and date) after a successful re-flash; absent: unchanged.
  std::optional<std::string> newRevision;
  std::optional<std::string> newDate;
  // The host tag the drive accepts; absent: "WIN " or "WIN2".
  std::optional<std::string> hostTag;
  // A generation-6 patch drive expects these 12 bytes behind the host tag.
  std::optional<std::vector<uint8_t>> patchBytes;
};

// Where the drive's own bytes lie, which a re-flash does not overwrite.
inline constexpr uint32_t kOwnBytesStart = 0x400;
inline constexpr uint32_t kOwnBytesEnd = 0x450;

class OldFamily : public FamilyBehaviour {
 public:
  explicit OldFamily(OldFamilyOptions options);

  bool Execute(Drive& drive, const Command& command, Reply& reply) override;
  std::size_t MemoryBytes() const override { return memory_.size() + received_.size(); }

  struct Piece {
    uint32_t offset = 0;
    uint32_t length = 0;
  };

  // What the drive holds and what it saw.
  const std::vector<uint8_t>& memory() const { return memory_; }
  std::vector<uint8_t>& memory() { return memory_; }
  bool updateMode() const { return updateMode_; }
  const std::vector<Piece>& pieces() const { return pieces_; }  // since the last update mode
  int reflashes() const { return reflashes_; }                  // the successful ones
  int refusedReflashes() const { return refusedReflashes_; }
  // The host tag and the 12 bytes behind it of the last re-flash asked for.
  const std::string& hostTag() const { return hostTag_; }
  const std::vector<uint8_t>& bytesBehindTag() const { return behindTag_; }
  // Commands that arrived while the drive was re-flashing.
  int commandsWhileReflashing() const { return commandsWhileReflashing_; }
  uint64_t reflashStartUs() const { return reflashStartUs_; }
  uint64_t reflashEndUs() const { return reflashEndUs_; }

 private:
  Reply ReadMemory(const Command& c) const;
  Reply WriteData(const Command& c);
  Reply Reflash(Drive& drive, const Command& c);

  OldFamilyOptions options_;
  std::vector<uint8_t> memory_;
  std::vector<uint8_t> received_;  // image data of this update, 0xFF where none came
  bool updateMode_ = false;
  std::vector<Piece> pieces_;
  int reflashes_ = 0;
  int refusedReflashes_ = 0;
  std::string hostTag_;
  std::vector<uint8_t> behindTag_;
  int commandsWhileReflashing_ = 0;
  uint64_t reflashStartUs_ = 0;
  uint64_t reflashEndUs_ = 0;
};

// The scenario's "family": {"kind": "old", ...} options (see docs/scenarios.md);
// throws std::invalid_argument for bad ones.
std::unique_ptr<FamilyBehaviour> MakeOldFamily(const nlohmann::ordered_json& options, Drive& drive);

}  // namespace oddfw::sim::drive
