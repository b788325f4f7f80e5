#pragma once
// What passes between a host and a simulated SCSI device: one command in, one
// reply out. The host (the simulated ASPI layer or pass-through driver) turns
// its request records into a Command, hands it to the device, and applies the
// Reply after the reply's duration on the virtual clock.

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace oddfw::sim::drive {

// SCSI status bytes.
inline constexpr uint8_t kStatusGood = 0x00;
inline constexpr uint8_t kStatusCheckCondition = 0x02;
inline constexpr uint8_t kStatusBusy = 0x08;

// Sense keys.
inline constexpr uint8_t kNoSense = 0x0;
inline constexpr uint8_t kNotReady = 0x2;
inline constexpr uint8_t kMediumError = 0x3;
inline constexpr uint8_t kHardwareError = 0x4;
inline constexpr uint8_t kIllegalRequest = 0x5;
inline constexpr uint8_t kUnitAttention = 0x6;

// Operation codes the drives know.
inline constexpr uint8_t kOpTestUnitReady = 0x00;
inline constexpr uint8_t kOpInquiry = 0x12;
inline constexpr uint8_t kOpStartStopUnit = 0x1B;
inline constexpr uint8_t kOpWriteBuffer = 0x3B;
inline constexpr uint8_t kOpReadBuffer = 0x3C;

enum class Direction { kNone, kIn, kOut };

struct Command {
  std::vector<uint8_t> cdb;  // the CDB bytes the host sent (its CDB length)
  Direction direction = Direction::kNone;
  uint32_t transferLength = 0;   // bytes the host buffer holds (data in) or sends (data out)
  std::vector<uint8_t> dataOut;  // the bytes sent, for data-out commands
  uint64_t timeUs = 0;           // virtual time when the command reached the device

  uint8_t opcode() const { return cdb.empty() ? 0xFF : cdb[0]; }
  uint8_t byte(std::size_t i) const { return i < cdb.size() ? cdb[i] : 0; }
  // READ/WRITE BUFFER fields.
  uint8_t bufferMode() const { return byte(1) & 0x1F; }
  uint8_t bufferId() const { return byte(2); }
  uint32_t bufferOffset() const {
    return uint32_t{byte(3)} << 16 | uint32_t{byte(4)} << 8 | byte(5);
  }
  uint32_t bufferLength() const {
    return uint32_t{byte(6)} << 16 | uint32_t{byte(7)} << 8 | byte(8);
  }
};

// How the exchange with the device ends.
enum class Outcome {
  kCompleted,       // status (and sense, data) arrive after durationUs
  kNeverCompletes,  // the device never answers: the host times out or waits forever
  kDeviceGone,      // the device vanished during the command
  // The command failed below the drive (the bus, the adapter, the driver):
  // the pass-through call fails as a whole, an ASPI request ends with an
  // error status and a host adapter status but no sense data.
  kTransportError,
};

using SenseBytes = std::array<uint8_t, 18>;

struct Reply {
  Outcome outcome = Outcome::kCompleted;
  uint8_t status = kStatusGood;
  bool hasSense = false;
  SenseBytes sense{};         // fixed-format sense data, when hasSense
  std::vector<uint8_t> data;  // data in; the host copies at most its buffer's length
  uint64_t durationUs = 0;    // time the device takes to answer

  static Reply Good() { return Reply{}; }
  // CHECK CONDITION with fixed-format sense data.
  static Reply Check(uint8_t key, uint8_t asc, uint8_t ascq);
  // Sets the sense-key-specific bytes 15-17 to a progress indication
  // (0..65535, 65536 meaning 100 %), as a drive that is busy re-flashing
  // reports it with NOT READY.
  void SetProgress(uint16_t progress);
};

// Fixed-format sense data (response code 0x70, additional length 10).
SenseBytes FixedSense(uint8_t key, uint8_t asc, uint8_t ascq);

// Something that answers SCSI commands: a drive, or a layer around one.
class ScsiDevice {
 public:
  virtual ~ScsiDevice() = default;
  virtual Reply Execute(const Command& command) = 0;
  // False once the device has gone from the machine: opening it fails.
  virtual bool Present() const { return true; }
};

// Hex dump of bytes, "12 00 00 00 60 00".
std::string HexBytes(const uint8_t* bytes, std::size_t count);

}  // namespace oddfw::sim::drive
