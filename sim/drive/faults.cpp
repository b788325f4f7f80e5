#include "sim/drive/faults.h"

#include <algorithm>
#include <cstdio>

namespace oddfw::sim::drive {

bool FaultRule::Matches(const Command& c, uint32_t number) const {
  if (nth != 0 && nth != number) return false;
  if (opcode && *opcode != c.opcode()) return false;
  if (mode && *mode != (c.byte(1) & 0x1F)) return false;
  if (bufferId && *bufferId != c.byte(2)) return false;
  return true;
}

std::string Describe(const FaultRule& rule) {
  std::string what;
  char text[64];
  if (rule.nth != 0) what += "command " + std::to_string(rule.nth) + " ";
  if (rule.opcode) {
    std::snprintf(text, sizeof text, "opcode %02X ", *rule.opcode);
    what += text;
  }
  if (rule.mode) what += "mode " + std::to_string(*rule.mode) + " ";
  if (rule.bufferId) {
    std::snprintf(text, sizeof text, "buffer %02X ", *rule.bufferId);
    what += text;
  }
  if (what.empty()) what = "every command ";
  switch (rule.action) {
    case FaultAction::kFail:
      std::snprintf(text, sizeof text, "-> fail status %02X sense %02X/%02X/%02X", rule.status,
                    rule.senseKey, rule.asc, rule.ascq);
      return what + text;
    case FaultAction::kHang:
      return what + "-> never completes";
    case FaultAction::kDisappear:
      return what + "-> device disappears";
    case FaultAction::kTransportError:
      return what + "-> fails below the drive";
    case FaultAction::kLieDrop:
      return what + "-> reports success, data dropped";
    case FaultAction::kLieZero:
      return what + "-> reports success, data zeroed";
  }
  return what;
}

FaultInjector::FaultInjector(std::shared_ptr<ScsiDevice> inner, std::vector<FaultRule> rules,
                             uint64_t seed)
    : inner_(std::move(inner)), random_(seed) {
  for (auto& rule : rules) rules_.push_back({std::move(rule), 0});
}

bool FaultInjector::Draw(double probability) {
  if (probability >= 1.0) return true;
  if (probability <= 0.0) return false;
  // 53 random bits as a fraction in [0, 1): the same on every standard library.
  const double x = static_cast<double>(random_() >> 11) * (1.0 / 9007199254740992.0);
  return x < probability;
}

Reply FaultInjector::Execute(const Command& command) {
  ++commands_;
  if (gone_) {
    Reply r;
    r.outcome = Outcome::kDeviceGone;
    return r;
  }
  for (Armed& armed : rules_) {
    const FaultRule& rule = armed.rule;
    if (rule.times != 0 && armed.fired >= rule.times) continue;
    if (!rule.Matches(command, commands_) || !Draw(rule.probability)) continue;
    ++armed.fired;
    Reply r;
    switch (rule.action) {
      case FaultAction::kFail:
        if (rule.carriedOut) inner_->Execute(command);
        r.status = rule.status;
        r.hasSense = rule.hasSense;
        if (rule.hasSense) r.sense = FixedSense(rule.senseKey, rule.asc, rule.ascq);
        r.durationUs = rule.durationUs;
        ++counts_.failed;
        return r;
      case FaultAction::kHang:
        if (rule.carriedOut) inner_->Execute(command);
        r.outcome = Outcome::kNeverCompletes;
        ++counts_.hung;
        return r;
      case FaultAction::kDisappear:
        gone_ = true;
        r.outcome = Outcome::kDeviceGone;
        ++counts_.disappeared;
        return r;
      case FaultAction::kTransportError:
        if (rule.carriedOut) inner_->Execute(command);
        r.outcome = Outcome::kTransportError;
        r.durationUs = rule.durationUs;
        ++counts_.transportErrors;
        return r;
      case FaultAction::kLieDrop:
        r.durationUs = rule.durationUs;
        ++counts_.lies;
        return r;
      case FaultAction::kLieZero: {
        if (command.direction == Direction::kOut) {
          Command zeroed = command;
          std::fill(zeroed.dataOut.begin(), zeroed.dataOut.end(), 0);
          ++counts_.lies;
          return inner_->Execute(zeroed);
        }
        r = inner_->Execute(command);
        if (command.direction == Direction::kIn && r.outcome == Outcome::kCompleted) {
          r.data.assign(r.data.size(), 0);
          ++counts_.lies;
        }
        return r;
      }
    }
  }
  return inner_->Execute(command);
}

}  // namespace oddfw::sim::drive
