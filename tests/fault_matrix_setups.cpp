// The setups of the fault matrix: their scenarios, the scripts of their good
// runs and the rule tables of their expectations.

#include <cstdint>
#include <fstream>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>
#include <stdexcept>

#include "fault_matrix.h"
#include "sim/default_scenario.h"

namespace oddfw::testing::matrix {
namespace {

using Json = nlohmann::ordered_json;
using sim::drive::Command;

Json ScenarioFile(const std::string& name) {
  const std::string path = std::string(ODDFW_SOURCE_DIR) + "/scenarios/" + name;
  std::ifstream in(path);
  if (!in) throw std::runtime_error("cannot read " + path);
  std::stringstream text;
  text << in.rdbuf();
  return Json::parse(text.str());
}

// A second drive like the first, which already holds the release, and the
// answer No to "update all drives?", so each drive gets its own question.
Json WithLaterDrive(Json doc, const Json& latestIdentity) {
  Json second = doc["drives"][0];
  if (second.contains("letter")) second["letter"] = "F";
  if (!second.contains("identity")) second["identity"] = Json::object();
  for (const auto& [key, value] : latestIdentity.items()) second["identity"][key] = value;
  doc["drives"].push_back(second);
  doc["answers"] = Json::array({"no"});
  return doc;
}

// The same on Windows 98: ASPI, both drives on the standard IDE adapter.
Json OnAspi(Json doc) {
  doc["host"] = Json{{"windows", "98"}, {"aspi", {{"adapters", {"ESDI_506"}}}}};
  int target = 0;
  for (Json& d : doc["drives"]) {
    d.erase("letter");
    d["adapter"] = 0;
    d["target"] = target++;
  }
  return doc;
}

std::function<bool(const Command&)> Op(uint8_t opcode) {
  return [opcode](const Command& c) { return c.opcode() == opcode; };
}

std::function<bool(const Command&)> Buffer(uint8_t opcode, uint8_t mode, uint8_t id,
                                           std::optional<uint32_t> length = {}) {
  return [=](const Command& c) {
    return c.opcode() == opcode && c.bufferMode() == mode && c.bufferId() == id &&
           (!length || c.bufferLength() == *length);
  };
}

inline constexpr uint32_t kMany = 1000000;
const auto kInquiry = Op(0x12);
const auto kTestUnitReady = Op(0x00);
const auto kStartStop = Op(0x1B);
const auto kVendorIdentity = Buffer(0x3C, 2, 0xF1);

// ---- the rule tables -----------------------------------------------------
//
// What the program sees of a fault: a failed command's result is 2 for a
// CHECK CONDITION on pass-through and -1 through ASPI; a failure below the
// drive is -1 on both; a time-out is -1 on pass-through (the driver gives
// up) and -2 through ASPI (the event wait ends); a vanished drive fails its
// command with -1 and every later one with -2 on pass-through (the device no
// longer opens) and -1 through ASPI. A lie is a success. Where a procedure
// tells -1 from the other failures (the entry selection, the oldest family's
// switches) the result decides.

bool Error(Fault f) {
  return f == Fault::kCheck || f == Fault::kNoSense || f == Fault::kTransport ||
         f == Fault::kTimeout;
}

int32_t Code(Fault f, bool aspi) {
  switch (f) {
    case Fault::kCheck:
    case Fault::kNoSense:
      return aspi ? -1 : 2;
    case Fault::kTimeout:
      return aspi ? -2 : -1;
    case Fault::kTransport:
    case Fault::kGone:
      return -1;
    default:
      return 0;
  }
}

// The result a command after a vanished drive's first failure gets.
int32_t AfterGone(bool aspi) {
  return aspi ? -1 : -2;
}

// The drive was updated and message 12 says so.
Expectation Updated() {
  return {"0", "new", 12, {}};
}
// The retry question (message 47) came and the second attempt updated it.
Expectation Retried() {
  return {"0", "new", 47, {}};
}
// Not updated (a check refused it, or it could not be looked at); the run
// goes on.
Expectation Refused(int message, const std::string& state = "old") {
  return {"1", state, message, {}};
}
// Fatal: the run stops (message 36 follows).
Expectation Stopped(int message, const std::string& state = "old") {
  return {"-1", state, message, {}};
}
// Another failure value: not updated, the run goes on.
Expectation Other(int message, const std::string& state = "old") {
  return {"other", state, message, {}};
}
// A failure of the given result: -1 stops the run, any other goes on.
Expectation ByResult(int32_t result, int message, const std::string& state = "old") {
  return result == -1 ? Stopped(message, state) : Other(message, state);
}
Expectation NotFound() {
  return {"not found", "old", -1, {}};
}

// The steps the BD and DVD procedures share up to the questions.
std::optional<Expectation> CommonChecks(const std::string& role, Fault f, bool aspi) {
  const int32_t code = Code(f, aspi);
  if (role.rfind("discovery", 0) == 0) return NotFound();  // the drive is not taken
  if (role == "entry INQUIRY" || role == "entry vendor identity") {
    const int message = role == "entry INQUIRY" ? 9 : 0;
    // Only -1 ends the procedure; another failure goes on without an entry,
    // and the image (named by the entry) does not load: message 11, fatal.
    if (Error(f) || f == Fault::kGone) return code == -1 ? Refused(message) : Stopped(11);
    // The vendor identity that never came leaves discovery's in the store.
    if (f == Fault::kLieDrop && role == "entry vendor identity") return Updated();
    return Stopped(11);  // an identity no entry matches
  }
  if (role == "revision INQUIRY") {
    if (Error(f) || f == Fault::kGone) return Stopped(9);
    return std::nullopt;  // lies: by family
  }
  if (role == "compatibility vendor identity") {
    if (Error(f) || f == Fault::kGone) return Refused(0);
    if (f == Fault::kLieDrop) return Updated();  // the store holds what was just read
    return Refused(1);                           // hardware revision of zeros
  }
  if (role == "STOP UNIT") return f == Fault::kGone ? Refused(7) : Updated();  // result ignored
  if (role == "empty-drive TEST UNIT READY") {
    return f == Fault::kLieDrop ? Refused(5) : Refused(7);  // "good": a disc seems loaded
  }
  return std::nullopt;
}

Expectation Expect4000(const std::string& role, Fault f, bool aspi) {
  if (auto common = CommonChecks(role, f, aspi)) return *common;
  const bool failed = Error(f) || f == Fault::kGone;
  if (role == "revision INQUIRY") return Updated();  // zeros: no date, revision 0, not refused
  if (role == "kernel-mode switch") {
    // A switch the drive never saw: it refuses the pieces, still runs the old
    // revision, and that is no update.
    return f == Fault::kLieDrop ? Stopped(42) : Stopped(14);
  }
  if (role == "kernel-mode INQUIRY") {
    if (failed) return Stopped(9, "kernel");
    // The identity read before (this product counts as in its kernel) stays.
    if (f == Fault::kLieDrop) return Updated();
    return Stopped(36, "kernel");  // zeros: not in its kernel
  }
  if (role == "normal-part piece" || role == "normal-mode switch") {
    // A failed piece (42) or a refused switch (15) leaves the drive in its
    // kernel: the revision read back asks for a retry, which updates it.
    return f == Fault::kGone ? Stopped(9, "kernel") : Retried();
  }
  if (role == "first re-flash poll TEST UNIT READY" || role == "re-flash poll TEST UNIT READY") {
    if (f == Fault::kGone) return Stopped(9, "new");  // re-flashes on, unseen
    // Through ASPI the probe INQUIRY brings no sense data, so an answer the
    // drive did not give ends the poll while the drive still re-flashes: the
    // revision read back fails. Before the poll the last sense data said
    // "no disc"; within it, "re-flashing" (a lost GOOD goes back to the poll).
    // Near the end of the re-flash the probes find it done.
    if (aspi && f == Fault::kCheck) return {"-1", "new", 9, {Updated()}};
    if (aspi && f == Fault::kLieDrop && role == "first re-flash poll TEST UNIT READY") {
      return Stopped(9, "new");
    }
    return Updated();
  }
  if (role == "final INQUIRY probe") return f == Fault::kGone ? Stopped(9, "new") : Updated();
  if (role == "read-back INQUIRY") {
    if (failed) return Stopped(9, "new");
    // The identity of the kernel-mode check stays: "0000" asks for a retry,
    // which finds the drive up to date (54).
    if (f == Fault::kLieDrop) return Refused(54, "new");
    return Updated();
  }
  throw std::logic_error("no rule for role " + role);
}

Expectation Expect1000(const std::string& role, Fault f, bool aspi) {
  if (auto common = CommonChecks(role, f, aspi)) return *common;
  const bool failed = Error(f) || f == Fault::kGone;
  if (role == "revision INQUIRY") {
    // Zeros: the drive seems to need no handshake; it refuses kernel mode.
    return f == Fault::kLieDrop ? Updated() : Stopped(14);
  }
  // The handshake's result is not looked at: the kernel part decides.
  if (role == "handshake probe") return f == Fault::kGone ? Stopped(9) : Updated();
  if (role == "challenge read" || role == "challenge echo" || role == "challenge response") {
    return f == Fault::kGone ? Stopped(9) : Stopped(41);  // never in its kernel
  }
  if (role == "kernel-mode switch") return f == Fault::kLieDrop ? Stopped(41) : Stopped(14);
  if (role == "handshake INQUIRY") return f == Fault::kGone ? Stopped(9, "kernel") : Updated();
  if (role == "kernel-check INQUIRY") return failed ? Stopped(9, "kernel") : Updated();
  if (role == "first kernel-part piece" || role == "last kernel-part piece") {
    if (failed) return Stopped(41, "kernel");
    // A lost first piece: the second lands at the wrong place and is
    // refused. A lost last piece or zeros: the drive does not take the part,
    // the re-flash fails and the retry updates it.
    if (f == Fault::kLieDrop && role == "first kernel-part piece") return Stopped(41, "kernel");
    return Retried();
  }
  if (role == "normal-part piece" || role == "normal-mode switch") {
    return f == Fault::kGone ? Stopped(9, "kernel") : Retried();
  }
  if (role == "read-back INQUIRY") {
    if (failed) return Stopped(9, "new");
    if (f == Fault::kLieDrop) return Refused(54, "new");  // the handshake's "0000" stays
    return Updated();
  }
  throw std::logic_error("no rule for role " + role);
}

Expectation Expect0000(const std::string& role, Fault f, bool aspi) {
  const int32_t code = Code(f, aspi);
  const bool failed = Error(f) || f == Fault::kGone;
  if (role == "discovery INQUIRY") return NotFound();
  // The drive has no vendor identity: it is taken on its INQUIRY alone.
  if (role == "discovery vendor identity") return f == Fault::kGone ? Refused(9) : Updated();
  if (role == "entry INQUIRY") {
    if (failed) return Refused(9);
    return Stopped(20);  // an identity no entry matches: no HEX file name
  }
  if (role == "memory identity read") return Refused(0);  // lies: no identity found
  if (role == "revision INQUIRY") {
    if (failed) return Stopped(9);
    return f == Fault::kLieDrop ? Updated() : Stopped(49);
  }
  if (role == "memory compare read") {
    // A failed comparison goes on; a vanished drive then fails the switch.
    return f == Fault::kGone ? ByResult(AfterGone(aspi), 22) : Updated();
  }
  if (role == "update-mode switch") {
    if (f == Fault::kGone) return Stopped(22);
    if (Error(f)) return ByResult(code, 22);
    return Updated();  // the transfer switches again
  }
  if (role == "STOP UNIT") return f == Fault::kGone ? Stopped(23, "kernel") : Updated();
  if (role == "transfer update-mode switch") return failed ? Stopped(23, "kernel") : Updated();
  if (role == "image piece") {
    // Lies: the drive flashes what it got; the memory compare catches it.
    return failed ? Stopped(23, "kernel") : Refused(25, "corrupt");
  }
  if (role == "final piece") {
    if (failed) return Stopped(23, "kernel");
    // The drive refuses the re-flash without its final piece (or with a
    // host tag of zeros): its own failure result, which only on ASPI (the
    // asynchronous re-flash) is -1.
    return ByResult(aspi ? -1 : 2, 24, "kernel");
  }
  if (role == "re-flash") {
    if (f == Fault::kLieDrop) return Refused(25, "kernel");  // memory unchanged
    return ByResult(aspi ? -1 : code, 24, "kernel");
  }
  if (role == "verify read") return f == Fault::kLieDrop ? Updated() : Refused(25, "new");
  if (role == "read-back INQUIRY") return failed ? Stopped(9, "new") : Updated();
  throw std::logic_error("no rule for role " + role);
}

Setup Family4000(bool aspi) {
  Setup s;
  s.name = std::string("4000/") + (aspi ? "aspi" : "pass-through");
  Json doc = WithLaterDrive(Json::parse(sim::DefaultScenarioText()),
                            {{"revision", "1.10"}, {"date", "2009/02/18"}});
  s.scenario = (aspi ? OnAspi(doc) : doc).dump();
  s.script = {
      {"discovery INQUIRY", kInquiry},
      {"discovery vendor identity", kVendorIdentity},
      {"entry INQUIRY", kInquiry},
      {"entry vendor identity", kVendorIdentity},
      {"revision INQUIRY", kInquiry},
      {"compatibility vendor identity", kVendorIdentity},
      {"STOP UNIT", kStartStop},
      {"empty-drive TEST UNIT READY", kTestUnitReady},
      {"kernel-mode switch", Buffer(0x3B, 4, 0xFF)},
      {"kernel-mode INQUIRY", kInquiry},
      {"normal-part piece", Buffer(0x3B, 7, 0xF0), 1, kMany},
      {"normal-mode switch", Buffer(0x3B, 5, 0xFF)},
      {"first re-flash poll TEST UNIT READY", kTestUnitReady},
      {"re-flash poll TEST UNIT READY", kTestUnitReady, 1, kMany},
      {"final INQUIRY probe", kInquiry},
      {"read-back INQUIRY", kInquiry},
  };
  s.expect = [aspi](const std::string& role, Fault f) { return Expect4000(role, f, aspi); };
  return s;
}

Setup Family1000(bool aspi) {
  Setup s;
  s.name = std::string("1000/") + (aspi ? "aspi" : "pass-through");
  Json doc = WithLaterDrive(ScenarioFile("dvd-kwx730-handshake.json"),
                            {{"revision", "1.40"}, {"date", "09/06/01"}});
  s.scenario = (aspi ? OnAspi(doc) : doc).dump();
  s.script = {
      {"discovery INQUIRY", kInquiry},
      {"discovery vendor identity", kVendorIdentity},
      {"entry INQUIRY", kInquiry},
      {"entry vendor identity", kVendorIdentity},
      {"revision INQUIRY", kInquiry},
      {"compatibility vendor identity", kVendorIdentity},
      {"STOP UNIT", kStartStop},
      {"empty-drive TEST UNIT READY", kTestUnitReady},
      {"handshake probe", Buffer(0x3B, 1, 0xF3)},
      {"challenge read", Buffer(0x3C, 2, 0xF2)},
      {"challenge echo", Buffer(0x3B, 1, 0xF2, 256)},
      {"challenge response", Buffer(0x3B, 1, 0xF2, 1024)},
      {"kernel-mode switch", Buffer(0x3B, 4, 0xFF)},
      {"handshake INQUIRY", kInquiry},
      {"kernel-check INQUIRY", kInquiry},
      {"first kernel-part piece", Buffer(0x3B, 7, 0xFE)},
      {"last kernel-part piece", Buffer(0x3B, 7, 0xFE)},
      {"normal-part piece", Buffer(0x3B, 7, 0xF0), 1, kMany},
      {"normal-mode switch", Buffer(0x3B, 5, 0xFF)},
      {"read-back INQUIRY", kInquiry},
  };
  s.expect = [aspi](const std::string& role, Fault f) { return Expect1000(role, f, aspi); };
  return s;
}

Setup Family0000(bool aspi) {
  Setup s;
  s.name = std::string("0000/") + (aspi ? "aspi" : "pass-through");
  Json doc = WithLaterDrive(ScenarioFile("xp-old-drive-update.json"), {{"revision", "1.10"}});
  s.scenario = (aspi ? OnAspi(doc) : doc).dump();
  const auto memory = Buffer(0x3C, 1, 0x80);
  s.script = {
      {"discovery INQUIRY", kInquiry},
      {"discovery vendor identity", kVendorIdentity},
      {"entry INQUIRY", kInquiry},
      {"memory identity read", memory},
      {"revision INQUIRY", kInquiry},
      {"memory compare read", memory, 1, kMany},
      {"update-mode switch", Buffer(0x3B, 1, 0x30)},
      {"STOP UNIT", kStartStop},
      {"transfer update-mode switch", Buffer(0x3B, 1, 0x30)},
      {"image piece", Buffer(0x3B, 1, 0xFF, 0x8000), 1, kMany},
      {"final piece", Buffer(0x3B, 1, 0xFF, 0x1010)},
      {"re-flash", Buffer(0x3B, 1, 0x42)},
      {"verify read", memory, 1, kMany},
      {"read-back INQUIRY", kInquiry},
  };
  s.expect = [aspi](const std::string& role, Fault f) { return Expect0000(role, f, aspi); };
  return s;
}

}  // namespace

std::vector<Setup> Setups() {
  return {Family4000(false), Family4000(true),  Family1000(false),
          Family1000(true),  Family0000(false), Family0000(true)};
}

}  // namespace oddfw::testing::matrix
