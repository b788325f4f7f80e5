#pragma once
// The simulated host: every area of the operating-system seam, backed by a
// virtual clock, scripted (or interactive) message boxes, a console that
// records every byte the program writes, a registry, an ASPI layer, the
// pass-through interface and the drives attached to them.

#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"
#include "sim/drive/drive.h"
#include "sim/sim_host.h"
#include "sim/sim_registry.h"
#include "sim/virtual_clock.h"

namespace oddfw::sim {

// An interrupt came before the program had installed its handler: the
// process would have ended at once.
class SimInterruptKilled : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// One message box as the program showed it, with the answer it got.
struct BoxRecord {
  std::string caption;
  uint32_t type = 0;
  std::string text;
  int answer = 0;
};

// Parses "yes", "no", "ok", "cancel" or "fail" into a box result (fail: 0).
// Returns false for anything else.
bool ParseAnswer(std::string_view word, int* result);
const char* AnswerName(int result);

struct SimOptions {
  bool realtime = false;
  int codePage = 437;
  uint32_t clockStartMs = 0;  // where the millisecond counter starts
  // The host has a performance counter (1 MHz, in step with the millisecond
  // counter); false: only the millisecond counter.
  bool performanceCounter = true;
  platform::OsVersion osVersion = WindowsXp();
  // Answers to question boxes (Yes/No, OK/Cancel), in order. When they run
  // out a question gets Yes (or OK). Notices are always closed with OK.
  std::vector<int> answers;
  // True: no box can be shown at all (every box returns 0).
  bool noBoxes = false;
  std::filesystem::path workdir = ".";
  int64_t currentTimeSeconds = 1234567890;  // fixed, so runs are reproducible

  RegistryTree registry;
  AspiConfig aspi;  // no ASPI layer unless installed
  std::vector<AttachedDrive> drives;
  uint32_t failAllocation = 0;  // this memory allocation (1-based) fails; 0: none

  // Attaches a device at a drive letter (pass-through) or at an ASPI adapter
  // and target id; the returned entry can be adjusted further.
  AttachedDrive& AttachAtLetter(char letter, std::shared_ptr<drive::ScsiDevice> device);
  AttachedDrive& AttachAtAdapter(int adapter, int target,
                                 std::shared_ptr<drive::ScsiDevice> device);
  // Builds a drive from a profile and attaches it; returns the drive.
  std::shared_ptr<drive::Drive> AddDriveAtLetter(char letter, const drive::DriveProfile& profile);
  std::shared_ptr<drive::Drive> AddDriveAtAdapter(int adapter, int target,
                                                  const drive::DriveProfile& profile);
  // Installs an ASPI layer with these host adapters (HA_Identifier each).
  void InstallAspi(std::vector<std::string> adapters);

  static platform::OsVersion WindowsXp();
};

class SimPlatform {
 public:
  explicit SimPlatform(SimOptions options = {});
  ~SimPlatform();
  SimPlatform(const SimPlatform&) = delete;
  SimPlatform& operator=(const SimPlatform&) = delete;

  platform::Platform& platform() { return *platform_; }
  VirtualClock& clock() { return clock_; }
  const SimOptions& options() const { return options_; }

  // Every byte the program wrote to its console.
  const std::string& consoleBytes() const;
  // Every box the program showed.
  const std::vector<BoxRecord>& boxes() const;

  // Also hands each console write to `sink` (the runner's stdout).
  void SetConsoleSink(std::function<void(std::string_view)> sink);
  // Answers boxes with `answerer` instead of the script (a person at a
  // terminal); it gets the box without its answer.
  void SetBoxAnswerer(std::function<int(const BoxRecord&)> answerer);
  // Called after each box with its answer.
  void SetBoxObserver(std::function<void(const BoxRecord&)> observer);
  // Called for every SCSI command and every media-change control.
  void SetScsiObserver(std::function<void(const ScsiRecord&)> observer);
  void SetMediaControlObserver(std::function<void(const MediaControlRecord&)> observer);
  // Called for every call of the power management.
  void SetPowerObserver(std::function<void(const PowerRecord&)> observer);

  // Interrupts (Ctrl+C): fired now, or when the virtual clock reaches
  // `atUs`. Before the program has installed its handler one ends the run
  // (SimInterruptKilled). The hooks let a runner follow the program's
  // handler with real signals: `onInstall` runs when the program installs
  // it, `pending` adds interrupts from outside.
  void Interrupt();
  void InterruptAt(uint64_t atUs);
  void SetInterruptHooks(std::function<void()> onInstall, std::function<bool()> pending);
  bool interruptsInstalled() const;
  // Whether the program says a drive is in its update mode now.
  bool inCriticalStretch() const;

  // What the program did with the host's devices and interfaces.
  const HostLog& log() const;
  const std::vector<ScsiRecord>& commands() const { return log().scsi(); }
  const std::vector<MediaControlRecord>& mediaControls() const { return log().mediaControls(); }
  // Every KeepAwake call, in order.
  const std::vector<PowerRecord>& powerCalls() const { return log().power(); }
  const std::vector<std::string>& misuse() const { return log().misuse(); }

  // Resources the program holds now.
  std::size_t liveMemoryBlocks() const;
  uint32_t memoryAllocations() const;
  std::size_t openDeviceHandles() const;
  std::size_t openEvents() const;
  std::size_t openRegistryKeys() const;
  std::size_t pendingAspiRequests() const;

  struct Areas;  // the implementations of the seam's areas

 private:
  SimOptions options_;
  VirtualClock clock_;
  std::unique_ptr<Areas> areas_;
  std::unique_ptr<platform::Platform> platform_;
};

}  // namespace oddfw::sim
