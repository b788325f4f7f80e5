#include "fault_matrix.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <stdexcept>

#include "app/driver.h"
#include "app/run.h"
#include "console/catalog.h"
#include "procedures/procedures.h"
#include "sim/drive/bd_family.h"
#include "sim/drive/drive.h"
#include "sim/drive/dvd_family.h"
#include "sim/drive/faults.h"
#include "sim/drive/old_family.h"
#include "sim/scenario.h"
#include "sim/sim_files.h"
#include "sim/sim_platform.h"

namespace oddfw::testing::matrix {
namespace {

using Json = nlohmann::ordered_json;
using sim::drive::Command;
using sim::drive::Direction;
using sim::drive::FaultAction;
using sim::drive::FaultRule;

// Bounds of one run: far more than any cell needs, so that a run that does
// not end is seen as such.
inline constexpr uint64_t kVirtualTimeLimitUs = 4ull * 3600 * 1000000;  // 4 hours
inline constexpr uint32_t kCommandLimit = 20000;  // commands to the first drive

class Runaway : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Keeps the commands that reach the first drive (through its fault layer).
class Recorder : public sim::drive::ScsiDevice {
 public:
  explicit Recorder(std::shared_ptr<sim::drive::ScsiDevice> inner) : inner_(std::move(inner)) {}
  sim::drive::Reply Execute(const Command& command) override {
    Command kept;
    kept.cdb = command.cdb;
    kept.direction = command.direction;
    kept.transferLength = command.transferLength;
    kept.timeUs = command.timeUs;
    commands.push_back(std::move(kept));
    if (commands.size() > kCommandLimit) {
      throw Runaway("more than " + std::to_string(kCommandLimit) + " commands to the drive");
    }
    return inner_->Execute(command);
  }
  bool Present() const override { return inner_->Present(); }
  std::vector<Command> commands;

 private:
  std::shared_ptr<sim::drive::ScsiDevice> inner_;
};

std::string Hex(const std::vector<uint8_t>& bytes) {
  return sim::drive::HexBytes(bytes.data(), bytes.size());
}

std::string Describe(const Command& c) {
  std::string text = Hex(c.cdb);
  if (c.direction == Direction::kOut) text += " out " + std::to_string(c.transferLength);
  if (c.direction == Direction::kIn) text += " in " + std::to_string(c.transferLength);
  return text;
}

// ---- catalog messages in a run -----------------------------------------

// Messages that report an outcome or a refusal (console), and the questions
// (boxes).
constexpr int kConsoleCodes[] = {0,  1,  3,  4,  5,  6,  7,  9,  10, 11, 12, 14,
                                 15, 20, 21, 22, 23, 24, 25, 33, 36, 37, 39, 40,
                                 41, 42, 49, 53, 54, 55, 56, 64, 65, 69, 72, 73};
constexpr int kQuestionCodes[] = {46, 47, 82};
// A check refused the drive or the user cancelled: nothing is written after.
const std::set<int> kRefusals = {1,  3,  4,  5,  6,  7,  33, 37, 39, 40,
                                 49, 53, 54, 55, 56, 64, 65, 69, 73};

std::string English(int code) {
  return MessageTemplate(code, false);
}

// The text of a message up to its first value.
std::string Stem(int code) {
  const std::string text = English(code);
  return text.substr(0, text.find('%'));
}

struct Found {
  std::size_t at;
  std::size_t length;
  int code;
};

// The messages in console[from, to), in order; a text inside a longer one
// found at the same place (54 inside 55) counts as the longer one only.
std::vector<Found> MessagesIn(const std::string& console, std::size_t from, std::size_t to) {
  std::vector<Found> all;
  for (const int code : kConsoleCodes) {
    const std::string text = Stem(code);
    for (std::size_t at = console.find(text, from); at != std::string::npos && at < to;
         at = console.find(text, at + 1)) {
      all.push_back({at, text.size(), code});
    }
  }
  std::vector<Found> kept;
  for (const Found& f : all) {
    const bool inside = std::any_of(all.begin(), all.end(), [&](const Found& g) {
      return g.length > f.length && g.at <= f.at && f.at + f.length <= g.at + g.length;
    });
    if (!inside) kept.push_back(f);
  }
  std::sort(kept.begin(), kept.end(), [](const Found& a, const Found& b) { return a.at < b.at; });
  return kept;
}

// ---- one run ------------------------------------------------------------

struct ProcedureCall {
  int drive = -1;  // 0: the first drive of the scenario, 1: the second
  int32_t result = 0;
  std::size_t consoleStart = 0;
  std::size_t consoleEnd = 0;
  std::size_t boxStart = 0;
  std::size_t boxEnd = 0;
};

struct BoxSeen {
  std::string text;
  int answer = 0;
  std::size_t commandsBefore = 0;  // commands to the first drive before the box
  std::size_t consoleAt = 0;       // console size when it came
};

struct RunRecord {
  Observed observed;
  std::vector<Command> commands;       // to the first drive
  std::vector<std::size_t> consoleAt;  // console size when each of them was sent
  std::string revision;                // of the first drive afterwards (INQUIRY bytes 32-35)
  std::vector<uint8_t> memory;         // of the first drive afterwards (oldest family)
};

std::filesystem::path FreshDir() {
  static int counter = 0;
  const std::filesystem::path dir =
      std::filesystem::temp_directory_path() /
      ("oddfw-fault-matrix-" + std::to_string(::getpid()) + "-" + std::to_string(counter++));
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  return dir;
}

// Where the first drive sits, as the target table holds it.
bool IsFirstDrive(const Run& run, int32_t target, const sim::AttachedDrive& first) {
  const TargetEntry& e = run.host.targetTable[static_cast<std::size_t>(target)];
  return run.host.aspiMode ? (e.adapter == first.adapter && e.target == first.target)
                           : e.driveLetter == first.letter;
}

struct Reference {
  std::string oldRevision;
  std::string newRevision;
  std::vector<uint8_t> oldMemory;
  std::vector<uint8_t> newMemory;
};

std::string StateOf(sim::drive::Drive& drive, const Reference& ref, RunRecord& record) {
  record.revision.assign(drive.inquiry.begin() + 32, drive.inquiry.begin() + 36);
  sim::drive::FamilyBehaviour* family = drive.family();
  if (auto* bd = dynamic_cast<sim::drive::BdFamily*>(family)) {
    if (bd->mode() != sim::drive::BdFamily::Mode::kNormal) return "kernel";
  } else if (auto* dvd = dynamic_cast<sim::drive::DvdFamily*>(family)) {
    if (dvd->inKernelMode()) return "kernel";
  } else if (auto* old = dynamic_cast<sim::drive::OldFamily*>(family)) {
    record.memory = old->memory();
    if (ref.newMemory.empty()) return old->updateMode() ? "kernel" : "new";
    auto same = [&](const std::vector<uint8_t>& reference) {
      return reference.size() == old->memory().size() &&
             std::equal(reference.begin(), reference.end(), old->memory().begin());
    };
    if (same(ref.newMemory)) return "new";
    if (!same(ref.oldMemory)) return "corrupt";
    return old->updateMode() ? "kernel" : "old";
  }
  if (ref.newRevision.empty()) return "new";  // the good run itself
  if (record.revision == ref.newRevision) return "new";
  if (record.revision == ref.oldRevision) return "old";
  return "corrupt";
}

std::string ResultText(int32_t result) {
  switch (result) {
    case 0:
      return "0";
    case 1:
      return "1";
    case 7:
      return "7";
    case -1:
      return "-1";
    default:
      return "other";
  }
}

// The scenario without its files, which lie in the run's folder already.
std::string WithoutFiles(const std::string& scenario) {
  nlohmann::ordered_json doc = nlohmann::ordered_json::parse(scenario);
  doc.erase("files");
  return doc.dump();
}

RunRecord RunOnce(const std::string& scenarioText, const std::filesystem::path& dir,
                  const std::vector<FaultRule>& rules, const Reference& ref) {
  RunRecord record;
  Observed& o = record.observed;

  sim::Scenario scenario = sim::ParseScenario(scenarioText);
  scenario.options.workdir = dir;
  sim::AttachedDrive& first = scenario.options.drives.at(0);
  const std::shared_ptr<sim::drive::ScsiDevice> model = first.device;
  auto injector = std::make_shared<sim::drive::FaultInjector>(model, rules, 1);
  auto recorder = std::make_shared<Recorder>(injector);
  first.device = recorder;
  const sim::AttachedDrive firstPlace = first;

  sim::SimPlatform host(scenario.options);
  sim::SimFiles files(dir);
  platform::Platform platform = host.platform().WithFiles(files);
  Run run(platform);
  host.clock().SetLimitUs(kVirtualTimeLimitUs);

  std::vector<BoxSeen> boxes;
  host.SetBoxObserver([&](const sim::BoxRecord& box) {
    boxes.push_back({box.text, box.answer, recorder->commands.size(), host.consoleBytes().size()});
  });
  std::size_t seen = 0;
  host.SetScsiObserver([&](const sim::ScsiRecord&) {
    // Each command that reached the first drive, with the console as it was.
    for (; seen < recorder->commands.size(); ++seen) {
      record.consoleAt.push_back(host.consoleBytes().size());
    }
  });

  std::vector<ProcedureCall> calls;
  DriverHooks hooks = DriverHooks::Program();
  if (scenario.definition) hooks.fillDefinition = sim::DefinitionFiller(*scenario.definition);
  auto wrap = [&](Procedure procedure) -> Procedure {
    if (!procedure) return procedure;
    return [&, procedure](Run& r) {
      ProcedureCall call;
      call.drive = IsFirstDrive(r, r.driver.currentTarget, firstPlace) ? 0 : 1;
      call.consoleStart = host.consoleBytes().size();
      call.boxStart = boxes.size();
      calls.push_back(call);
      const int32_t result = procedure(r);
      calls.back().result = result;
      calls.back().consoleEnd = host.consoleBytes().size();
      calls.back().boxEnd = boxes.size();
      return result;
    };
  };
  hooks.procedures.family0000 = wrap(hooks.procedures.family0000);
  hooks.procedures.family1000 = wrap(hooks.procedures.family1000);
  hooks.procedures.family4000 = wrap(hooks.procedures.family4000);

  try {
    o.exitCode = RunDriver(run, hooks);
  } catch (const sim::SimDeadlock& e) {
    o.failure = std::string("waits forever: ") + e.what();
  } catch (const sim::SimTimeLimit& e) {
    o.failure = std::string("does not end: ") + e.what();
  } catch (const Runaway& e) {
    o.failure = std::string("does not end: ") + e.what();
  } catch (const std::exception& e) {
    o.failure = std::string("exception: ") + e.what();
  }
  for (; seen < recorder->commands.size(); ++seen) {
    record.consoleAt.push_back(host.consoleBytes().size());
  }
  record.commands = recorder->commands;
  o.commands = static_cast<uint32_t>(record.commands.size());
  o.injected = injector->injected().total();

  auto* drive = dynamic_cast<sim::drive::Drive*>(model.get());
  if (drive != nullptr) {
    // The drives finish what they do (a re-flash) when the next command
    // comes: one more, an hour later, shows where they end up.
    Command later;
    later.cdb = {sim::drive::kOpInquiry, 0, 0, 0, 96, 0};
    later.direction = Direction::kIn;
    later.transferLength = 96;
    later.timeUs = host.clock().NowUs() + 3600ull * 1000000;
    drive->Execute(later);
  }
  o.state = drive != nullptr ? StateOf(*drive, ref, record) : "?";

  const std::string& console = host.consoleBytes();
  const ProcedureCall* mine = nullptr;
  for (const ProcedureCall& c : calls) {
    if (c.drive == 0 && mine == nullptr) mine = &c;
    if (c.drive == 1) o.laterDriveTouched = true;
  }
  o.result = mine != nullptr ? ResultText(mine->result) : "not found";

  if (mine != nullptr) {
    // The drive's part of the console: from its procedure to the next one.
    std::size_t end = console.size();
    for (const ProcedureCall& c : calls) {
      if (c.consoleStart > mine->consoleStart) end = std::min(end, c.consoleStart);
    }
    const std::vector<Found> found = MessagesIn(console, mine->consoleStart, end);
    struct Event {
      std::size_t at;
      int code;
    };
    std::vector<Event> events;
    for (const Found& f : found) events.push_back({f.at, f.code});
    for (std::size_t b = mine->boxStart; b < mine->boxEnd; ++b) {
      for (const int code : kQuestionCodes) {
        if (boxes[b].text.rfind(Stem(code), 0) == 0) {
          events.push_back({boxes[b].consoleAt, code});
        }
      }
    }
    std::stable_sort(events.begin(), events.end(),
                     [](const Event& a, const Event& b) { return a.at < b.at; });
    for (const Event& e : events) o.messages.push_back(e.code);

    // Nothing written after a refusal ...
    auto writesAfter = [&](std::size_t consoleFrom, std::size_t commandFrom) {
      for (std::size_t i = commandFrom; i < record.commands.size(); ++i) {
        if (record.commands[i].opcode() == sim::drive::kOpWriteBuffer &&
            record.consoleAt[i] >= consoleFrom) {
          return true;
        }
      }
      return false;
    };
    for (const Found& f : found) {
      if (kRefusals.count(f.code) != 0 && writesAfter(f.at + f.length, 0)) {
        o.violations.push_back("WRITE BUFFER after message " + std::to_string(f.code));
        break;
      }
    }
    // ... or after a question the user declined.
    for (std::size_t b = mine->boxStart; b < mine->boxEnd; ++b) {
      for (const int code : kQuestionCodes) {
        if (boxes[b].answer == platform::kIdNo && boxes[b].text.rfind(Stem(code), 0) == 0 &&
            writesAfter(0, boxes[b].commandsBefore)) {
          o.violations.push_back("WRITE BUFFER after No to question " + std::to_string(code));
        }
      }
    }
  }

  if (o.failure.empty()) {
    const bool success = std::find(o.messages.begin(), o.messages.end(), 12) != o.messages.end();
    const bool allDone = console.find(English(35)) != std::string::npos;
    if (o.state != "new") {
      if (success) o.violations.push_back("message 12 for a drive in state " + o.state);
      if (o.result == "0") o.violations.push_back("result 0 for a drive in state " + o.state);
      if (allDone) o.violations.push_back("message 35 with a drive in state " + o.state);
    }
    const bool fatal = std::any_of(calls.begin(), calls.end(),
                                   [](const ProcedureCall& c) { return c.result == -1; });
    if (o.exitCode != (fatal ? 1 : 0)) {
      o.violations.push_back("exit code " + std::to_string(o.exitCode));
    }
    if (o.result == "-1" && o.laterDriveTouched) {
      o.violations.push_back("the later drive was touched after a fatal result");
    }
    if (o.result != "-1" && !o.laterDriveTouched) {
      o.violations.push_back("the later drive was left alone");
    }
  }
  for (const std::string& what : host.misuse()) o.violations.push_back("misuse: " + what);
  return record;
}

std::vector<Position> Assign(const std::vector<Step>& script,
                             const std::vector<Command>& commands) {
  std::vector<Position> positions;
  std::size_t i = 0;
  for (const Step& step : script) {
    uint32_t n = 0;
    while (i < commands.size() && n < step.max && step.matches(commands[i])) {
      positions.push_back(
          {static_cast<uint32_t>(i + 1), step.role, Describe(commands[i]), commands[i].direction});
      ++i;
      ++n;
    }
    if (n < step.min) {
      throw std::logic_error("the good run does not follow its script at step \"" + step.role +
                             "\", command " + std::to_string(i + 1) + ": " +
                             (i < commands.size() ? Describe(commands[i]) : "none"));
    }
  }
  if (i != commands.size()) {
    throw std::logic_error("the good run has commands beyond its script: command " +
                           std::to_string(i + 1) + ": " + Describe(commands[i]));
  }
  return positions;
}

FaultRule RuleOf(Fault fault, uint32_t position) {
  FaultRule r;
  r.nth = position;
  r.times = 1;
  switch (fault) {
    case Fault::kCheck:
      r.action = FaultAction::kFail;
      break;
    case Fault::kNoSense:
      r.action = FaultAction::kFail;
      r.hasSense = false;
      break;
    case Fault::kTransport:
      r.action = FaultAction::kTransportError;
      break;
    case Fault::kTimeout:
      r.action = FaultAction::kHang;
      break;
    case Fault::kGone:
      r.action = FaultAction::kDisappear;
      break;
    case Fault::kLieDrop:
      r.action = FaultAction::kLieDrop;
      break;
    case Fault::kLieZero:
      r.action = FaultAction::kLieZero;
      break;
  }
  return r;
}

std::string MessagesText(const std::vector<int>& messages) {
  std::string text;
  for (const int m : messages) text += (text.empty() ? "" : ",") + std::to_string(m);
  return text.empty() ? "-" : text;
}

std::vector<std::string> Differences(const Expectation& e, const Observed& o) {
  std::vector<std::string> out;
  if (e.result != o.result) out.push_back("result " + o.result + ", expected " + e.result);
  if (e.state != o.state) out.push_back("drive " + o.state + ", expected " + e.state);
  if (e.message >= 0 &&
      std::find(o.messages.begin(), o.messages.end(), e.message) == o.messages.end()) {
    out.push_back("no message " + std::to_string(e.message) + " (messages " +
                  MessagesText(o.messages) + ")");
  }
  return out;
}

std::vector<std::string> Compare(const Expectation& e, const Observed& o) {
  std::vector<std::string> out;
  if (!o.failure.empty()) out.push_back(o.failure);
  if (o.injected == 0) out.push_back("no fault was injected");
  std::vector<std::string> differences = Differences(e, o);
  for (const Expectation& other : e.orElse) {
    if (Differences(other, o).empty()) differences.clear();
  }
  out.insert(out.end(), differences.begin(), differences.end());
  for (const std::string& v : o.violations) out.push_back(v);
  return out;
}

}  // namespace

const char* FaultName(Fault fault) {
  switch (fault) {
    case Fault::kCheck:
      return "check";
    case Fault::kNoSense:
      return "no-sense";
    case Fault::kTransport:
      return "transport";
    case Fault::kTimeout:
      return "timeout";
    case Fault::kGone:
      return "gone";
    case Fault::kLieDrop:
      return "lie-drop";
    case Fault::kLieZero:
      return "lie-zero";
  }
  return "?";
}

uint32_t MatrixResult::unexpected() const {
  return static_cast<uint32_t>(
      std::count_if(cells.begin(), cells.end(), [](const Cell& c) { return !c.ok(); }));
}

bool Selection::Takes(const std::string& role, Fault fault) const {
  const bool roleTaken =
      roles.empty() || std::find(roles.begin(), roles.end(), role) != roles.end();
  const bool faultTaken =
      faults.empty() || std::find(faults.begin(), faults.end(), FaultName(fault)) != faults.end();
  return roleTaken && faultTaken;
}

MatrixResult RunMatrix(const Setup& setup, const Selection& selection,
                       const std::function<void(const Cell&)>& progress) {
  MatrixResult result;
  result.setup = setup.name;
  const std::filesystem::path dir = FreshDir();
  struct Cleanup {
    std::filesystem::path dir;
    ~Cleanup() {
      std::error_code ignored;
      std::filesystem::remove_all(dir, ignored);
    }
  } cleanup{dir};
  sim::WriteScenarioFiles(sim::ParseScenario(setup.scenario), dir);

  // The drive as it is before, then the good run.
  Reference ref;
  {
    sim::Scenario fresh = sim::ParseScenario(setup.scenario);
    auto* drive = dynamic_cast<sim::drive::Drive*>(fresh.options.drives.at(0).device.get());
    if (drive == nullptr) throw std::logic_error("the first drive is no drive model");
    ref.oldRevision.assign(drive->inquiry.begin() + 32, drive->inquiry.begin() + 36);
    if (auto* old = dynamic_cast<sim::drive::OldFamily*>(drive->family())) {
      ref.oldMemory = old->memory();
    }
  }
  const Reference none;
  const std::string scenario = WithoutFiles(setup.scenario);
  RunRecord good = RunOnce(scenario, dir, {}, none);
  result.good = good.observed;
  ref.newRevision = good.revision;
  ref.newMemory = good.memory;
  if (!good.observed.failure.empty() || good.observed.result != "0" ||
      good.observed.state != "new" || !good.observed.violations.empty()) {
    throw std::logic_error("the good run of " + setup.name + " is not good: " +
                           good.observed.failure + " result " + good.observed.result);
  }
  result.positions = Assign(setup.script, good.commands);

  for (const Position& p : result.positions) {
    for (const Fault fault : kFaults) {
      if (fault == Fault::kLieZero && p.direction == Direction::kNone) continue;
      if (!selection.Takes(p.role, fault)) continue;
      Cell cell;
      cell.position = p;
      cell.fault = fault;
      cell.expected = setup.expect(p.role, fault);
      cell.observed = RunOnce(scenario, dir, {RuleOf(fault, p.number)}, ref).observed;
      cell.mismatches = Compare(cell.expected, cell.observed);
      if (progress) progress(cell);
      result.cells.push_back(std::move(cell));
    }
  }
  return result;
}

std::string Report(const MatrixResult& result, bool everyCell) {
  std::ostringstream out;
  out << "## " << result.setup << ": " << result.positions.size() << " command positions, "
      << result.cells.size() << " cells, " << result.unexpected() << " unexpected\n\n";
  // How the cells ended, for the first drive.
  std::map<std::string, uint32_t> ends;
  for (const Cell& c : result.cells) {
    const Observed& o = c.observed;
    std::string end;
    if (!o.failure.empty()) {
      end = "broke down";
    } else if (o.result == "0") {
      end = std::find(o.messages.begin(), o.messages.end(), 47) != o.messages.end()
                ? "updated after the retry question"
                : "updated";
    } else if (o.result == "-1") {
      end = "run stopped (exit 1), drive " + o.state;
    } else if (o.result == "not found") {
      end = "drive not found";
    } else {
      end = "not updated, run goes on, drive " + o.state;
    }
    ++ends[end];
  }
  out << "| outcome | cells |\n|---|---|\n";
  for (const auto& [end, n] : ends) out << "| " << end << " | " << n << " |\n";
  out << "\n";
  // One line per role and fault: how many cells, and what they ended with.
  struct Line {
    std::string role;
    Fault fault;
    uint32_t cells = 0;
    std::map<std::string, uint32_t> outcomes;
  };
  std::vector<Line> lines;
  for (const Cell& c : result.cells) {
    auto it = std::find_if(lines.begin(), lines.end(), [&](const Line& l) {
      return l.role == c.position.role && l.fault == c.fault;
    });
    if (it == lines.end()) {
      lines.push_back({c.position.role, c.fault, 0, {}});
      it = lines.end() - 1;
    }
    ++it->cells;
    const Observed& o = c.observed;
    const std::string outcome =
        !o.failure.empty() ? o.failure
                           : "result " + o.result + ", exit " + std::to_string(o.exitCode) +
                                 ", drive " + o.state + ", messages " + MessagesText(o.messages) +
                                 (o.laterDriveTouched ? "" : ", later drive untouched") +
                                 (c.ok() ? "" : "  UNEXPECTED");
    ++it->outcomes[outcome];
  }
  out << "| role | fault | cells | outcome |\n|---|---|---|---|\n";
  for (const Line& l : lines) {
    bool firstOutcome = true;
    for (const auto& [outcome, n] : l.outcomes) {
      out << "| " << (firstOutcome ? l.role : "") << " | "
          << (firstOutcome ? FaultName(l.fault) : "") << " | " << n << " | " << outcome << " |\n";
      firstOutcome = false;
    }
  }
  out << "\n";
  for (const Cell& c : result.cells) {
    if (c.ok() && !everyCell) continue;
    out << "command " << c.position.number << " (" << c.position.role << ", " << c.position.command
        << ") " << FaultName(c.fault) << ": ";
    if (c.ok()) {
      out << "as expected";
    } else {
      for (std::size_t i = 0; i < c.mismatches.size(); ++i) {
        out << (i ? "; " : "") << c.mismatches[i];
      }
    }
    out << "\n";
  }
  return out.str();
}

}  // namespace oddfw::testing::matrix
