#include "sim/sim_platform.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <set>

#include "sim/sim_files.h"

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
  SimClock(VirtualClock& clock, int64_t now) : clock_(clock), timeSeconds_(now) {}
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
  int64_t CurrentTimeSeconds() override {
    return timeSeconds_ + static_cast<int64_t>(clock_.NowUs() / 1000000);
  }

  static constexpr uint32_t kPeriodMax = 1000000;
  VirtualClock& clock_;
  int64_t timeSeconds_;
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

class SimMemory : public platform::Memory {
 public:
  ~SimMemory() override {
    for (uint8_t* block : live_) std::free(block);
  }
  uint8_t* AllocateZeroed(std::size_t bytes) override {
    auto* block = static_cast<uint8_t*>(std::calloc(bytes == 0 ? 1 : bytes, 1));
    if (block != nullptr) live_.insert(block);
    return block;
  }
  void Release(uint8_t* block) override {
    if (live_.erase(block) != 0) std::free(block);
  }
  std::set<uint8_t*> live_;
};

// A host without any of these: no registry keys, no ASPI layer, no devices.
class EmptyRegistry : public platform::Registry {
 public:
  uint32_t OpenKey(platform::RegistryRoot, const std::string&, uint32_t,
                   platform::Handle*) override {
    return platform::kErrorFileNotFound;
  }
  uint32_t QueryInfoKey(platform::Handle, uint32_t*) override {
    return platform::kErrorInvalidHandle;
  }
  uint32_t EnumKey(platform::Handle, uint32_t, std::string*, uint32_t) override {
    return platform::kErrorInvalidHandle;
  }
  uint32_t QueryValue(platform::Handle, const std::string&, uint8_t*, uint32_t*) override {
    return platform::kErrorInvalidHandle;
  }
  uint32_t CloseKey(platform::Handle) override { return platform::kErrorInvalidHandle; }
};

class AbsentAspi : public platform::Aspi {
 public:
  bool LoadLibrary() override { return false; }
  uint32_t GetASPI32SupportInfo() override { return uint32_t{platform::kSsFailedInit} << 8; }
  uint32_t SendASPI32Command(void*) override { return platform::kSsInvalidHa; }
};

class SimEvents : public platform::Events {
 public:
  explicit SimEvents(VirtualClock& clock) : clock_(clock) {}
  platform::Handle CreateEvent() override {
    auto* event = new bool(false);
    events_.insert(event);
    return event;
  }
  uint32_t WaitForSingleObject(platform::Handle handle, uint32_t timeoutMs) override {
    auto* event = static_cast<bool*>(handle);
    if (events_.count(event) == 0) return platform::kWaitFailed;
    const uint64_t deadline = clock_.NowUs() + uint64_t{timeoutMs} * 1000;
    for (;;) {
      if (*event) {
        *event = false;
        return platform::kWaitObject0;
      }
      uint64_t next = 0;
      const bool pending = clock_.NextActionTime(&next);
      if (timeoutMs == platform::kInfinite) {
        if (!pending) throw SimDeadlock("waiting without limit for an event nothing will signal");
        clock_.AdvanceTo(next);
      } else if (pending && next <= deadline) {
        clock_.AdvanceTo(next);
      } else {
        clock_.AdvanceTo(deadline);
        if (*event) continue;
        return platform::kWaitTimeout;
      }
    }
  }
  bool CloseHandle(platform::Handle handle) override {
    auto* event = static_cast<bool*>(handle);
    if (events_.erase(event) == 0) return false;
    delete event;
    return true;
  }
  ~SimEvents() override {
    for (bool* event : events_) delete event;
  }
  VirtualClock& clock_;
  std::set<bool*> events_;
};

class NoPassThrough : public platform::PassThrough {
 public:
  platform::Handle CreateFile(const char*, uint32_t, uint32_t) override {
    lastError_ = platform::kErrorFileNotFound;
    return platform::InvalidHandle();
  }
  bool ScsiPassThroughDirect(platform::Handle, platform::PassThroughRecord*, uint32_t*) override {
    lastError_ = platform::kErrorInvalidHandle;
    return false;
  }
  bool MediaChangeControl(platform::Handle, uint8_t) override {
    lastError_ = platform::kErrorInvalidHandle;
    return false;
  }
  bool CloseHandle(platform::Handle) override { return false; }
  uint32_t LastError() override { return lastError_; }
  uint32_t lastError_ = 0;
};

}  // namespace

struct SimPlatform::Areas {
  Areas(const SimOptions& o, VirtualClock& clock)
      : boxes(o),
        locale(o.codePage),
        simClock(clock, o.currentTimeSeconds),
        osInfo(o.osVersion),
        events(clock),
        files(o.workdir) {}
  SimConsole console;
  SimBoxes boxes;
  SimLocale locale;
  SimClock simClock;
  SimOsInfo osInfo;
  SimMemory memory;
  EmptyRegistry registry;
  AbsentAspi aspi;
  SimEvents events;
  NoPassThrough passThrough;
  SimFiles files;
};

SimPlatform::SimPlatform(SimOptions options)
    : options_(std::move(options)),
      clock_(options_.realtime, options_.clockStartMs),
      areas_(std::make_unique<Areas>(options_, clock_)),
      platform_(std::make_unique<platform::Platform>(
          platform::Platform{areas_->console, areas_->boxes, areas_->locale, areas_->simClock,
                             areas_->osInfo, areas_->memory, areas_->registry, areas_->aspi,
                             areas_->events, areas_->passThrough, areas_->files})) {}

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

}  // namespace oddfw::sim
