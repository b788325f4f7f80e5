#pragma once
// Fault injection: a layer around any simulated device that makes chosen
// commands fail, never complete (the host's time limit runs out), fail below
// the drive, lie, or makes the device vanish. Rules pick
// commands by their number or by operation code, mode and buffer id; a rule
// with a probability draws from the layer's own generator, so the same seed
// gives the same faults on every run and every machine. The layer counts
// what it injected.

#include <cstdint>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "sim/drive/scsi.h"

namespace oddfw::sim::drive {

enum class FaultAction {
  kFail,            // answer with `status` and `sense` instead of the drive
  kHang,            // never answer: the host's time limit runs out
  kDisappear,       // the device leaves the machine: this command and every later open fail
  kTransportError,  // the command fails below the drive, without status or sense
  // Lies: the command reports success, but its data are lost on the way.
  kLieDrop,  // the drive never sees the command (data in: none arrives)
  kLieZero,  // the data are zeros: the drive receives zeros (data out), the host reads zeros
             // (data in); a command without data goes through unchanged
};

struct FaultRule {
  // Which commands: every condition that is given must hold.
  uint32_t nth = 0;                 // only the nth command reaching the layer (1-based); 0: any
  std::optional<uint8_t> opcode;    // CDB byte 0
  std::optional<uint8_t> mode;      // CDB byte 1, low five bits (the READ/WRITE BUFFER mode)
  std::optional<uint8_t> bufferId;  // CDB byte 2
  uint32_t times = 0;               // inject at most this often; 0: every time it matches
  double probability = 1.0;         // chance per matching command

  FaultAction action = FaultAction::kFail;
  uint8_t status = kStatusCheckCondition;  // kFail
  bool hasSense = true;                    // kFail: with fixed-format sense data
  uint8_t senseKey = kHardwareError;
  uint8_t asc = 0x44;  // internal target failure
  uint8_t ascq = 0x00;
  bool carriedOut = false;     // the drive still carries the command out (kFail, kHang)
  uint64_t durationUs = 1000;  // kFail, kTransportError, kLieDrop: time until the answer

  bool Matches(const Command& command, uint32_t number) const;
};

struct FaultCounts {
  uint32_t failed = 0;
  uint32_t hung = 0;
  uint32_t disappeared = 0;
  uint32_t transportErrors = 0;
  uint32_t lies = 0;  // commands whose data were dropped or zeroed
  uint32_t total() const { return failed + hung + disappeared + transportErrors + lies; }
};

// Human-readable form of a rule, for reports ("command 3: fail 02 05/24/00").
std::string Describe(const FaultRule& rule);

class FaultInjector : public ScsiDevice {
 public:
  FaultInjector(std::shared_ptr<ScsiDevice> inner, std::vector<FaultRule> rules, uint64_t seed = 0);

  Reply Execute(const Command& command) override;
  bool Present() const override { return !gone_ && inner_->Present(); }

  void AddRule(const FaultRule& rule) { rules_.push_back({rule, 0}); }
  const FaultCounts& injected() const { return counts_; }
  uint32_t commandCount() const { return commands_; }
  ScsiDevice& inner() { return *inner_; }

 private:
  bool Draw(double probability);

  struct Armed {
    FaultRule rule;
    uint32_t fired;
  };
  std::shared_ptr<ScsiDevice> inner_;
  std::vector<Armed> rules_;
  std::mt19937_64 random_;
  uint32_t commands_ = 0;
  bool gone_ = false;
  FaultCounts counts_;
};

}  // namespace oddfw::sim::drive
