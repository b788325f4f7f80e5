#include "commands/handshake.h"

#include <cstring>

#include "app/run.h"
#include "commands/command_set.h"
#include "console/console.h"

namespace oddfw {
namespace {

// A small linear congruential generator: one byte per draw.
class Filler {
 public:
  explicit Filler(uint32_t seed) : state_(seed) {}
  uint8_t Next() {
    state_ = state_ * 214013u + 2531011u;
    return static_cast<uint8_t>(state_ >> 16);
  }

 private:
  uint32_t state_;
};

}  // namespace

void BuildChallengeResponse(const uint8_t* challenge, uint8_t* response) {
  const uint32_t index = challenge[512] + kHandshakeKey0;
  const uint8_t position = challenge[kHandshakeKey1];
  response[position] = static_cast<uint8_t>(~challenge[index]);
}

int32_t UpdateModeHandshake(Run& run) {
  const int32_t modelCode = run.definition.active.modelCode;
  uint8_t* work = run.detection.workBuffer;
  if (work == nullptr) return kTransportFailed;
  uint8_t* challenge = work + kChallengeOffset;
  uint8_t* response = work + kResponseOffset;

  bool challengeRuns = true;
  // Only the probe's own sense data may skip the challenge: a failure without
  // sense would leave an earlier command's in rawSense on pass-through hosts.
  std::memset(run.transport.sense.rawSense, 0, sizeof run.transport.sense.rawSense);
  if (HandshakeProbe(run) != 0) {
    FetchSense(run);
    // INVALID FIELD IN CDB: this drive needs no challenge.
    if (run.transport.sense.senseCode == 0x052400 || run.host.intelIdeDriver != 0) {
      challengeRuns = false;
    }
  }

  if (challengeRuns) {
    DelayMs(run, 100);
    Filler filler(static_cast<uint32_t>(run.os.clock.CurrentTimeSeconds()));
    for (uint32_t i = 0; i < kChallengeSize; ++i) {
      challenge[i] = filler.Next();
      response[i] = filler.Next();
    }
    if (const int32_t r = ReadChallenge(run, challenge); r != 0) {
      PrintFormat(run, "\nError occurred at step %d.", 0);
      return r;
    }
    if (const int32_t r = EchoChallenge(run, challenge); r != 0) {
      PrintFormat(run, "\nError occurred at step %d.", 1);
      return r;
    }
    BuildChallengeResponse(challenge, response);
    if (const int32_t r = SendChallengeResponse(run, response); r != 0) {
      PrintFormat(run, "\nError occurred at step %d.", 2);
      return r;
    }
    DelayMs(run, 5);
  }

  const int32_t result = EnterKernelMode(run, modelCode);
  if (result == 0) {
    DelayMs(run, 100);
    const uint8_t* id = run.revision.driveIdentity;
    if (Inquiry(run, run.driver.currentTarget, run.revision.driveIdentity) != 0) {
      PrintText(run, "\nFailed to execute Inquiry Command.");
      return -1;
    }
    if (std::memcmp(id + 32, "0000", 4) == 0 &&
        std::memcmp(id + 8, "QUORVEN DVD-RW  KWX-", 20) == 0) {
      run.host.kernelOnlyDrive = 1;
    }
  }
  DelayMs(run, 100);
  return result;
}

}  // namespace oddfw
