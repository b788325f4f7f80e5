#pragma once
// The fault matrix: every update procedure, on each kind of host its family
// runs on, with one fault at each command position of a good run.
//
// A setup is a scenario with two drives of one family: the first is to be
// updated, the second already holds the release (it is only looked at, so a
// run shows whether the program goes on to later drives). A good run records
// the commands that reach the first drive; a script names the role of each
// (the discovery INQUIRY, a normal-part piece, the re-flash poll, ...). Each
// cell then runs the program again with one fault at one position: the
// command fails with sense data, fails without, fails below the drive, never
// answers, finds the drive gone, or lies (reports success while its data are
// lost, or zeros).
//
// Every cell is held against the safety rules (the run ends, no WRITE BUFFER
// after a refusal or a declined question, a drive left in its kernel or
// update mode or with a bad image is never reported as updated, the exit
// code and the later drive follow the procedure's result, no misuse of the
// host) and against the expectation a rule table derives from the role of
// the command and the fault.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "sim/drive/scsi.h"

namespace oddfw::testing::matrix {

enum class Fault {
  kCheck,      // CHECK CONDITION, sense HARDWARE ERROR 44/00
  kNoSense,    // CHECK CONDITION without sense data
  kTransport,  // fails below the drive: the program sees -1
  kTimeout,    // never answers: the time limit runs out
  kGone,       // the drive leaves the machine
  kLieDrop,    // reports success, the data are lost
  kLieZero,    // reports success, the data are zeros (commands with data only)
};
inline constexpr Fault kFaults[] = {Fault::kCheck,   Fault::kNoSense, Fault::kTransport,
                                    Fault::kTimeout, Fault::kGone,    Fault::kLieDrop,
                                    Fault::kLieZero};
const char* FaultName(Fault fault);

// One role in the script of a good run: the commands it covers match
// `matches` and come `min` to `max` times in a row.
struct Step {
  std::string role;
  std::function<bool(const sim::drive::Command&)> matches;
  uint32_t min = 1;
  uint32_t max = 1;
};

// What a cell is expected to end with, for the first drive.
struct Expectation {
  // The procedure's result: "0", "1", "7", "-1", "other" (another failure
  // value, which lets the run go on) or "not found" (discovery did not take
  // the drive, so no procedure ran for it).
  std::string result;
  // The drive afterwards: "new" (runs the release), "old" (its firmware of
  // before), "kernel" (in its kernel or update mode: it needs another
  // update), "corrupt" (firmware that is neither).
  std::string state;
  // The catalog message that reports the outcome (-1: none asked for).
  int message = -1;
  // Other outcomes that are as right (where timing decides between them).
  std::vector<Expectation> orElse;
};

struct Setup {
  std::string name;      // "4000/pass-through"
  std::string scenario;  // JSON text
  std::vector<Step> script;
  // The expectation of a fault at a command of `role`.
  std::function<Expectation(const std::string& role, Fault fault)> expect;
};

// The setups: 4000, 1000 and 0000 on pass-through and on ASPI.
std::vector<Setup> Setups();

// A command position of the good run.
struct Position {
  uint32_t number = 0;  // 1-based, as the fault layer counts
  std::string role;
  std::string command;  // CDB and data length
  sim::drive::Direction direction = sim::drive::Direction::kNone;
};

// What one run ended with.
struct Observed {
  std::string failure;  // empty, or how the run broke down (deadlock, time limit, exception)
  int exitCode = -100;
  std::string result;  // as in Expectation
  std::string state;
  std::vector<int> messages;  // catalog messages reported for the first drive
  bool laterDriveTouched = false;
  uint32_t injected = 0;
  uint32_t commands = 0;  // to the first drive
  std::vector<std::string> violations;
};

struct Cell {
  Position position;
  Fault fault = Fault::kCheck;
  Expectation expected;
  Observed observed;
  std::vector<std::string> mismatches;  // expected against observed, and violations
  bool ok() const { return mismatches.empty(); }
};

struct MatrixResult {
  std::string setup;
  std::vector<Position> positions;  // of the good run
  Observed good;
  std::vector<Cell> cells;
  uint32_t unexpected() const;
};

// Which cells to run: all of them, or those whose role and fault are named.
struct Selection {
  std::vector<std::string> roles;
  std::vector<std::string> faults;
  bool Takes(const std::string& role, Fault fault) const;
};

// Runs the good run and the chosen cells of a setup. `progress` (optional)
// hears of each finished cell.
MatrixResult RunMatrix(const Setup& setup, const Selection& selection = {},
                       const std::function<void(const Cell&)>& progress = {});

// The table of a result: one line per role and fault with the number of
// cells, the outcome, and the unexpected ones in detail.
std::string Report(const MatrixResult& result, bool everyCell);

}  // namespace oddfw::testing::matrix
