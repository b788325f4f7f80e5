// WNASPI32.DLL made from the drive simulator.
//
// It plays the ASPI layer of a scenario's host (host.aspi: its host
// adapters) with the scenario's drives at their adapter and target ids, so
// that the Windows program can run under wine against the same simulated
// drives as oddfw-sim. The request semantics are the simulated host's
// (sim/aspi_layer.h); what differs is time: SendASPI32Command hands the
// command to the drive at once and returns SS_PENDING, and a worker thread
// completes the request when the drive has finished it, on the real clock.
// It fills the data buffer, the sense area and SRB_Status, and signals the
// event of an event-notify request (SRB_EVENT_NOTIFY with the event in
// SRB_PostProc); a polled request only changes its SRB_Status. Requests
// complete in the order they were submitted.
//
// Environment:
//   ODDFW_ASPI_SCENARIO    the scenario file (default: WNASPI32.JSON beside
//                          the DLL)
//   ODDFW_ASPI_TRACE       where to write the JSON-lines trace of the SCSI
//                          commands, as oddfw-sim --trace writes them
//   ODDFW_ASPI_TIME_SCALE  a drive's command takes 1/N of its time in real
//                          time (default 1)
//
// The drive's clock: a command takes the drive its full time, however much
// it is scaled down in real time and however late the worker gets to it, and
// the time between one request's completion and the next submission (the
// program's own pauses) counts in whole milliseconds, rounded down, so that
// the fraction of a millisecond wine spends between two commands does not
// add up over thousands of them. A drive that counts time (a re-flash in
// progress) so sees the times it sees under oddfw-sim to within a
// millisecond per pause.
//
// A scenario without "host.aspi" is a host without an ASPI layer: the DLL
// then refuses to load, as a missing WNASPI32.DLL does. A scenario that
// cannot be read also stops the DLL from loading, with the reason on
// stderr.

#include <cstdio>
#include <cstdlib>
#include <deque>
#include <fstream>
#include <memory>
#include <string>

#include "platform/win32/windows_api.h"
#include "sim/aspi_layer.h"
#include "sim/scenario.h"
#include "sim/trace.h"

namespace {

using namespace oddfw;
using namespace oddfw::sim;

void Complain(const std::string& what) {
  const std::string line = "WNASPI32.DLL (simulated): " + what + "\n";
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
}

std::string Environment(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

// The folder of this DLL, with its trailing backslash.
std::string FolderOf(HMODULE module) {
  char path[MAX_PATH] = {};
  const DWORD n = ::GetModuleFileNameA(module, path, sizeof path);
  std::string folder(path, n < sizeof path ? n : 0);
  const std::size_t slash = folder.find_last_of("\\/");
  return slash == std::string::npos ? std::string() : folder.substr(0, slash + 1);
}

class SimulatedLayer {
 public:
  SimulatedLayer(Scenario scenario, uint32_t timeScale)
      : scenario_(std::move(scenario)),
        layer_(scenario_.options.aspi, scenario_.options.drives),
        timeScale_(timeScale) {
    ::InitializeCriticalSection(&lock_);
    ::InitializeConditionVariable(&changed_);
    LARGE_INTEGER f;
    ::QueryPerformanceFrequency(&f);
    ticksPerSecond_ = static_cast<uint64_t>(f.QuadPart);
    anchorRealUs_ = RealUs();
  }
  // The process ends with the layer: its worker is never stopped, and the
  // layer stays for it.
  SimulatedLayer(const SimulatedLayer&) = delete;
  SimulatedLayer& operator=(const SimulatedLayer&) = delete;

  bool OpenTrace(const std::string& path) {
    traceFile_ = std::make_unique<std::ofstream>(path, std::ios::binary | std::ios::trunc);
    if (!*traceFile_) return false;
    trace_ = std::make_unique<TraceWriter>(*traceFile_);
    return true;
  }

  uint32_t SupportInfo() { return layer_.SupportInfo(); }

  uint32_t Send(void* block) {
    if (block == nullptr) return kSsInvalidSrb;
    const uint8_t command = *static_cast<const uint8_t*>(block);
    if (command == platform::kScHaInquiry) {
      return layer_.HaInquiry(static_cast<platform::SrbHaInquiry*>(block));
    }
    if (command != platform::kScExecScsiCmd) return AspiLayer::Reject(block);

    auto* srb = static_cast<platform::SrbExecScsiCmd*>(block);
    ::EnterCriticalSection(&lock_);
    const uint64_t realUs = RealUs();
    ScsiRecord record;
    AspiRequest request;
    const uint32_t status = layer_.Submit(srb, DriveUs(realUs), &record, &request);
    if (trace_) trace_->Scsi(record);
    if (status == platform::kSsPending && request.completes()) {
      const uint64_t durationUs = record.endUs - record.timeUs;
      uint64_t dueUs = realUs + durationUs / timeScale_;
      if (!queue_.empty() && dueUs < queue_.back().dueRealUs) dueUs = queue_.back().dueRealUs;
      queue_.push_back({request, dueUs, record.endUs});
      StartWorker();
      ::WakeConditionVariable(&changed_);
    }
    ::LeaveCriticalSection(&lock_);
    return status;
  }

 private:
  struct Pending {
    AspiRequest request;
    uint64_t dueRealUs;   // when the worker completes it
    uint64_t endDriveUs;  // when the drive has finished it, on the drive's clock
  };

  uint64_t RealUs() const {
    LARGE_INTEGER now;
    ::QueryPerformanceCounter(&now);
    const auto ticks = static_cast<uint64_t>(now.QuadPart);
    return ticks / ticksPerSecond_ * 1000000 + ticks % ticksPerSecond_ * 1000000 / ticksPerSecond_;
  }

  // The drive's clock at a real time (under the lock).
  uint64_t DriveUs(uint64_t realUs) const {
    const uint64_t gapUs = realUs > anchorRealUs_ ? realUs - anchorRealUs_ : 0;
    return anchorDriveUs_ + gapUs / 1000 * 1000;
  }

  void StartWorker() {
    if (worker_ != nullptr) return;
    worker_ = ::CreateThread(nullptr, 0, &SimulatedLayer::WorkerMain, this, 0, nullptr);
    if (worker_ == nullptr) Complain("cannot start the thread that completes requests");
  }

  static DWORD WINAPI WorkerMain(void* self) {
    static_cast<SimulatedLayer*>(self)->Work();
    return 0;
  }

  void Work() {
    ::EnterCriticalSection(&lock_);
    for (;;) {
      if (queue_.empty()) {
        ::SleepConditionVariableCS(&changed_, &lock_, INFINITE);
        continue;
      }
      const uint64_t nowUs = RealUs();
      const Pending next = queue_.front();
      if (nowUs < next.dueRealUs) {
        const uint64_t waitMs = (next.dueRealUs - nowUs + 999) / 1000;
        ::SleepConditionVariableCS(&changed_, &lock_, static_cast<DWORD>(waitMs));
        continue;
      }
      queue_.pop_front();
      AspiLayer::Complete(next.request, true);
      // The drive has spent the command's time, however long the layer
      // took in real time; the program's next pause counts from here.
      if (next.endDriveUs > anchorDriveUs_) anchorDriveUs_ = next.endDriveUs;
      anchorRealUs_ = nowUs;
      if (next.request.notifies()) ::SetEvent(next.request.event);
    }
  }

  Scenario scenario_;
  AspiLayer layer_;
  uint32_t timeScale_;
  std::unique_ptr<std::ofstream> traceFile_;
  std::unique_ptr<TraceWriter> trace_;

  CRITICAL_SECTION lock_;
  CONDITION_VARIABLE changed_;  // a request was queued
  HANDLE worker_ = nullptr;
  std::deque<Pending> queue_;  // in submission order
  uint64_t ticksPerSecond_ = 1;
  // The drive's clock stood at anchorDriveUs_ at the real time anchorRealUs_
  // (the last completion, or the load of the DLL).
  uint64_t anchorDriveUs_ = 0;
  uint64_t anchorRealUs_ = 0;
};

// The one layer of the process, made when the DLL is loaded. The entry
// points are plain functions, so they find it here.
SimulatedLayer* theLayer = nullptr;

bool Load(HMODULE module) {
  std::string path = Environment("ODDFW_ASPI_SCENARIO");
  if (path.empty()) path = FolderOf(module) + "WNASPI32.JSON";
  uint32_t timeScale = 1;
  const std::string scale = Environment("ODDFW_ASPI_TIME_SCALE");
  if (!scale.empty()) {
    char* end = nullptr;
    const unsigned long n = std::strtoul(scale.c_str(), &end, 10);
    if (*end != '\0' || n < 1 || n > 1000000) {
      Complain("ODDFW_ASPI_TIME_SCALE is a whole number from 1 up, not \"" + scale + "\"");
      return false;
    }
    timeScale = static_cast<uint32_t>(n);
  }
  Scenario scenario;
  try {
    scenario = LoadScenario(path);
  } catch (const std::exception& e) {
    Complain(std::string(e.what()) + " (the scenario: ODDFW_ASPI_SCENARIO or WNASPI32.JSON)");
    return false;
  }
  // A host without an ASPI layer: the library is not there.
  if (!scenario.options.aspi.installed) return false;
  auto layer = std::make_unique<SimulatedLayer>(std::move(scenario), timeScale);
  const std::string trace = Environment("ODDFW_ASPI_TRACE");
  if (!trace.empty() && !layer->OpenTrace(trace)) {
    Complain("cannot write the trace " + trace);
    return false;
  }
  theLayer = layer.release();
  return true;
}

}  // namespace

extern "C" {

BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, void* /*reserved*/) {
  if (reason == DLL_PROCESS_ATTACH) {
    ::DisableThreadLibraryCalls(module);
    return Load(module) ? TRUE : FALSE;
  }
  return TRUE;
}

DWORD __cdecl GetASPI32SupportInfo() {
  return theLayer->SupportInfo();
}

DWORD __cdecl SendASPI32Command(void* srb) {
  return theLayer->Send(srb);
}

}  // extern "C"
