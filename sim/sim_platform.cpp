#include "sim/sim_platform.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <set>

#include "sim/sim_aspi.h"
#include "sim/sim_events.h"
#include "sim/sim_files.h"
#include "sim/sim_memory.h"
#include "sim/sim_passthrough.h"
#include "sim/sim_registry.h"

namespace oddfw::sim {

bool ParseAnswer(std::string_view word, int* result) {
  static const std::map<std::string_view, int> kAnswers = {{"yes", platform::kIdYes},
                                                           {"no", platform::kIdNo},
                                                           {"ok", platform::kIdOk},
                                                           {"cancel", platform::kIdCancel},
                                                           {"fail", 0}};
  const auto it = kAnswers.find(word);
  if (it == kAnswers.end()) return false;
  *result = it->second;
  return true;
}

const char* AnswerName(int result) {
  switch (result) {
    case platform::kIdYes:
      return "yes";
    case platform::kIdNo:
      return "no";
    case platform::kIdOk:
      return "ok";
    case platform::kIdCancel:
      return "cancel";
    case 0:
      return "fail";
    default:
      return "other";
  }
}

AttachedDrive& SimOptions::AttachAtLetter(char letter, std::shared_ptr<drive::ScsiDevice> device) {
  AttachedDrive d;
  d.device = std::move(device);
  d.letter = letter;
  drives.push_back(std::move(d));
  return drives.back();
}

AttachedDrive& SimOptions::AttachAtAdapter(int adapter, int target,
                                           std::shared_ptr<drive::ScsiDevice> device) {
  AttachedDrive d;
  d.device = std::move(device);
  d.adapter = adapter;
  d.target = target;
  drives.push_back(std::move(d));
  return drives.back();
}

std::shared_ptr<drive::Drive> SimOptions::AddDriveAtLetter(char letter,
                                                           const drive::DriveProfile& profile) {
  auto d = drive::MakeDrive(profile);
  AttachAtLetter(letter, d);
  return d;
}

std::shared_ptr<drive::Drive> SimOptions::AddDriveAtAdapter(int adapter, int target,
                                                            const drive::DriveProfile& profile) {
  auto d = drive::MakeDrive(profile);
  AttachAtAdapter(adapter, target, d);
  return d;
}

void SimOptions::InstallAspi(std::vector<std::string> adapters) {
  aspi.installed = true;
  aspi.adapters = std::move(adapters);
}

platform::OsVersion SimOptions::WindowsXp() {
  platform::OsVersion v;
  v.majorVersion = 5;
  v.minorVersion = 1;
  v.buildNumber = 2600;
  v.platformId = platform::kPlatformWin32Nt;
  std::strcpy(v.csdVersion, "Service Pack 3");
  return v;
}

namespace {

class SimConsole : public platform::Console {
 public:
  void Write(std::string_view bytes) override {
    bytes_.append(bytes);
    if (sink_) sink_(bytes);
  }
  std::string bytes_;
  std::function<void(std::string_view)> sink_;
};

class SimBoxes : public platform::MessageBoxes {
 public:
  explicit SimBoxes(const SimOptions& o)
      : answers_(o.answers.begin(), o.answers.end()), noBoxes_(o.noBoxes) {}
  int Show(const std::string& text, const std::string& caption, uint32_t type) override {
    BoxRecord box{caption, type, text, 0};
    const bool question =
        (type & 0x0F) == platform::kMbYesNo || (type & 0x0F) == platform::kMbOkCancel;
    if (noBoxes_) {
      box.answer = 0;
    } else if (answerer_) {
      box.answer = answerer_(box);
    } else if (question && !answers_.empty()) {
      box.answer = answers_.front();
      answers_.pop_front();
    } else if ((type & 0x0F) == platform::kMbYesNo) {
      box.answer = platform::kIdYes;
    } else {
      box.answer = platform::kIdOk;
    }
    transcript_.push_back(box);
    if (observer_) observer_(box);
    return box.answer;
  }
  std::deque<int> answers_;
  bool noBoxes_;
  std::vector<BoxRecord> transcript_;
  std::function<int(const BoxRecord&)> answerer_;
  std::function<void(const BoxRecord&)> observer_;
};

class SimLocale : public platform::Locale {
 public:
  explicit SimLocale(int codePage) : codePage_(codePage) {}
  int OemCodePage() override { return codePage_; }
  int codePage_;
};

class SimClock : public platform::Clock {
 public:
  SimClock(VirtualClock& clock, int64_t now, bool performanceCounter)
      : clock_(clock), timeSeconds_(now), performanceCounter_(performanceCounter) {}
  uint32_t TimeGetTime() override { return clock_.ReadMs(); }
  uint32_t TimeBeginPeriod(uint32_t periodMs) override {
    if (periodMs < 1 || periodMs > kPeriodMax) return platform::kTimerNoCanDo;
    ++openPeriods_;
    return platform::kTimerNoError;
  }
  uint32_t TimeEndPeriod(uint32_t periodMs) override {
    if (periodMs < 1 || periodMs > kPeriodMax) return platform::kTimerNoCanDo;
    --openPeriods_;
    return platform::kTimerNoError;
  }
  uint32_t TimerPeriodMax() override { return kPeriodMax; }
  void Sleep(uint32_t ms) override { clock_.Sleep(ms); }
  bool QueryPerformanceFrequency(int64_t* countsPerSecond) override {
    *countsPerSecond = performanceCounter_ ? 1000000 : 0;
    return performanceCounter_;
  }
  bool QueryPerformanceCounter(int64_t* count) override {
    *count = performanceCounter_ ? static_cast<int64_t>(clock_.ReadUs()) : 0;
    return performanceCounter_;
  }
  int64_t CurrentTimeSeconds() override {
    return timeSeconds_ + static_cast<int64_t>(clock_.NowUs() / 1000000);
  }

  static constexpr uint32_t kPeriodMax = 1000000;
  VirtualClock& clock_;
  int64_t timeSeconds_;
  bool performanceCounter_;
  int openPeriods_ = 0;
};

class SimOsInfo : public platform::OsInfo {
 public:
  explicit SimOsInfo(const platform::OsVersion& v) : version_(v) {}
  bool GetVersionEx(platform::OsVersion& version) override {
    if (version.infoSize != 148) return false;
    version = version_;
    return true;
  }
  platform::OsVersion version_;
};

// Power management that records what the program asked for.
class SimPower : public platform::Power {
 public:
  SimPower(VirtualClock& clock, HostLog& log) : clock_(clock), log_(log) {}
  void KeepAwake(bool on) override { log_.Power(PowerRecord{clock_.NowUs(), on}); }
  VirtualClock& clock_;
  HostLog& log_;
};

// Interrupts that a test fires (now, or at a moment of the virtual clock) or
// that the runner's signal handler reports. One fired before the program has
// installed its handler ends the program, as the system's default would.
class SimInterrupts : public platform::Interrupts {
 public:
  void Install() override {
    installed_ = true;
    if (onInstall_) onInstall_();
  }
  bool Pending() override { return pending_ || (external_ && external_()); }
  void SetCritical(bool inside) override { critical_ = inside; }

  void Fire() {
    if (!installed_) throw SimInterruptKilled("an interrupt ended the program: no handler yet");
    pending_ = true;
  }

  bool installed_ = false;
  bool pending_ = false;
  bool critical_ = false;
  std::function<void()> onInstall_;
  std::function<bool()> external_;
};

}  // namespace

struct SimPlatform::Areas {
  Areas(const SimOptions& o, VirtualClock& clock)
      : boxes(o),
        locale(o.codePage),
        simClock(clock, o.currentTimeSeconds, o.performanceCounter),
        osInfo(o.osVersion),
        memory(log, o.failAllocation),
        registry(o.registry),
        events(clock, log),
        aspi(o.aspi, o.drives, clock, events, memory, log),
        passThrough(o.drives, clock, memory, log),
        files(o.workdir),
        power(clock, log) {}
  HostLog log;
  SimConsole console;
  SimBoxes boxes;
  SimLocale locale;
  SimClock simClock;
  SimOsInfo osInfo;
  SimMemory memory;
  SimRegistry registry;
  SimEvents events;
  SimAspi aspi;
  SimPassThrough passThrough;
  SimFiles files;
  SimPower power;
  SimInterrupts interrupts;
};

SimPlatform::SimPlatform(SimOptions options)
    : options_(std::move(options)),
      clock_(options_.realtime, options_.clockStartMs),
      areas_(std::make_unique<Areas>(options_, clock_)),
      platform_(std::make_unique<platform::Platform>(platform::Platform{
          areas_->console, areas_->boxes, areas_->locale, areas_->simClock, areas_->osInfo,
          areas_->memory, areas_->registry, areas_->aspi, areas_->events, areas_->passThrough,
          areas_->files, areas_->power, areas_->interrupts})) {}

SimPlatform::~SimPlatform() = default;

const std::string& SimPlatform::consoleBytes() const {
  return areas_->console.bytes_;
}
const std::vector<BoxRecord>& SimPlatform::boxes() const {
  return areas_->boxes.transcript_;
}

void SimPlatform::SetConsoleSink(std::function<void(std::string_view)> sink) {
  areas_->console.sink_ = std::move(sink);
}
void SimPlatform::SetBoxAnswerer(std::function<int(const BoxRecord&)> answerer) {
  areas_->boxes.answerer_ = std::move(answerer);
}
void SimPlatform::SetBoxObserver(std::function<void(const BoxRecord&)> observer) {
  areas_->boxes.observer_ = std::move(observer);
}
void SimPlatform::SetScsiObserver(std::function<void(const ScsiRecord&)> observer) {
  areas_->log.scsiObserver_ = std::move(observer);
}
void SimPlatform::SetMediaControlObserver(std::function<void(const MediaControlRecord&)> observer) {
  areas_->log.mediaControlObserver_ = std::move(observer);
}

void SimPlatform::SetPowerObserver(std::function<void(const PowerRecord&)> observer) {
  areas_->log.powerObserver_ = std::move(observer);
}

void SimPlatform::Interrupt() {
  areas_->interrupts.Fire();
}
void SimPlatform::InterruptAt(uint64_t atUs) {
  clock_.Schedule(atUs, [this] { areas_->interrupts.Fire(); });
}
void SimPlatform::SetInterruptHooks(std::function<void()> onInstall,
                                    std::function<bool()> pending) {
  areas_->interrupts.onInstall_ = std::move(onInstall);
  areas_->interrupts.external_ = std::move(pending);
}
bool SimPlatform::interruptsInstalled() const {
  return areas_->interrupts.installed_;
}
bool SimPlatform::inCriticalStretch() const {
  return areas_->interrupts.critical_;
}

const HostLog& SimPlatform::log() const {
  return areas_->log;
}
std::size_t SimPlatform::liveMemoryBlocks() const {
  return areas_->memory.liveBlocks();
}
uint32_t SimPlatform::memoryAllocations() const {
  return areas_->memory.allocations();
}
std::size_t SimPlatform::openDeviceHandles() const {
  return areas_->passThrough.openHandles();
}
std::size_t SimPlatform::openEvents() const {
  return areas_->events.openEvents();
}
std::size_t SimPlatform::openRegistryKeys() const {
  return areas_->registry.openKeys();
}
std::size_t SimPlatform::pendingAspiRequests() const {
  return areas_->aspi.pendingRequests();
}

}  // namespace oddfw::sim
