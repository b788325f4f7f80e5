#include "sim/scenario.h"

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>

#include "sim/drive/families.h"
#include "sim/drive/faults.h"
#include "sim/scenario_json.h"

namespace oddfw::sim {
namespace {

using namespace scenario_json;

platform::OsVersion ParseWindows(const json& value, const std::string& where) {
  if (value.is_string()) return WindowsVersion(value.get<std::string>());
  CheckKeys(value, {"platform", "major", "minor", "build"}, where);
  platform::OsVersion v;
  v.platformId = Get<uint32_t>(value, "platform", where);
  v.majorVersion = Get<uint32_t>(value, "major", where);
  v.minorVersion = Get<uint32_t>(value, "minor", where);
  if (value.contains("build")) v.buildNumber = Get<uint32_t>(value, "build", where);
  return v;
}

// A byte given as a number or as a "0x.." string.
uint8_t ParseByte(const json& value, const std::string& where) {
  long n = -1;
  if (value.is_number_unsigned()) {
    n = static_cast<long>(value.get<uint64_t>() > 255 ? 256 : value.get<uint64_t>());
  } else if (value.is_string()) {
    const std::string text = value.get<std::string>();
    char* end = nullptr;
    n = std::strtol(text.c_str(), &end, 0);
    if (text.empty() || *end != '\0') n = -1;
  }
  if (n < 0 || n > 255) throw ScenarioError(where + ": expected a byte (0-255 or \"0x..\")");
  return static_cast<uint8_t>(n);
}

std::vector<uint8_t> ParseHex(const std::string& text, const std::string& where) {
  std::vector<uint8_t> bytes;
  std::string digits;
  for (const char c : text) {
    if (c == ' ') continue;
    if (!std::isxdigit(static_cast<unsigned char>(c))) {
      throw ScenarioError(where + ": \"" + text + "\" is not hexadecimal");
    }
    digits += c;
  }
  if (digits.size() % 2 != 0) throw ScenarioError(where + ": odd number of hex digits");
  for (std::size_t i = 0; i < digits.size(); i += 2) {
    bytes.push_back(static_cast<uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
  }
  return bytes;
}

void ParseRegistry(const json& registry, RegistryTree& tree) {
  if (!registry.is_object()) throw ScenarioError("host.registry: expected an object");
  for (const auto& [fullPath, values] : registry.items()) {
    const std::string where = "host.registry[\"" + fullPath + "\"]";
    platform::RegistryRoot root;
    std::string path;
    if (!SplitRegistryPath(fullPath, &root, &path)) {
      throw ScenarioError(where + ": the path must start with HKLM\\ or HKEY_DYN_DATA\\");
    }
    if (!values.is_object()) throw ScenarioError(where + ": expected an object of values");
    tree.AddKey(root, path);
    for (const auto& [name, value] : values.items()) {
      const std::string at = where + "." + name;
      if (value.is_string()) {
        tree.SetString(root, path, name, value.get<std::string>());
      } else if (value.is_object() && value.size() == 1 && value.contains("binary")) {
        tree.SetBinary(root, path, name, ParseHex(Get<std::string>(value, "binary", at), at));
      } else if (value.is_object() && value.size() == 1 && value.contains("dword")) {
        tree.SetDword(root, path, name, Get<uint32_t>(value, "dword", at));
      } else {
        throw ScenarioError(at + ": expected a text, {\"binary\": \"01\"} or {\"dword\": 1}");
      }
    }
  }
}

void ParseAspi(const json& aspi, AspiConfig& config) {
  const std::string where = "host.aspi";
  CheckKeys(aspi, {"adapters", "failedInit"}, where);
  config.installed = true;
  if (aspi.contains("adapters")) {
    config.adapters = Get<std::vector<std::string>>(aspi, "adapters", where);
    for (const std::string& name : config.adapters) {
      if (name.size() > 16)
        throw ScenarioError(where + ".adapters: \"" + name + "\" is longer than 16");
    }
  }
  if (aspi.contains("failedInit")) config.failedInit = Get<bool>(aspi, "failedInit", where);
}

void ParseHost(const json& host, SimOptions& options) {
  const std::string where = "host";
  CheckKeys(host, {"windows", "codePage", "clockStartMs", "registry", "aspi"}, where);
  if (host.contains("windows")) options.osVersion = ParseWindows(host["windows"], "host.windows");
  if (host.contains("codePage")) options.codePage = Get<int>(host, "codePage", where);
  if (host.contains("clockStartMs")) {
    options.clockStartMs = Get<uint32_t>(host, "clockStartMs", where);
  }
  if (host.contains("registry")) ParseRegistry(host["registry"], options.registry);
  if (host.contains("aspi") && !host["aspi"].is_null()) ParseAspi(host["aspi"], options.aspi);
}

void ParseIdentity(const json& identity, drive::DriveProfile& profile, const std::string& where) {
  CheckKeys(identity, {"peripheral", "vendor", "product", "revision", "date"}, where);
  if (identity.contains("peripheral"))
    profile.peripheral = ParseByte(identity["peripheral"], where + ".peripheral");
  if (identity.contains("vendor")) profile.vendor = Get<std::string>(identity, "vendor", where);
  if (identity.contains("product")) profile.product = Get<std::string>(identity, "product", where);
  if (identity.contains("revision"))
    profile.revision = Get<std::string>(identity, "revision", where);
  if (identity.contains("date")) profile.date = Get<std::string>(identity, "date", where);
}

drive::FaultRule ParseFaultRule(const json& rule, const std::string& where) {
  CheckKeys(rule,
            {"nth", "opcode", "mode", "bufferId", "times", "probability", "action", "status",
             "sense", "carriedOut", "timeMs"},
            where);
  drive::FaultRule r;
  if (rule.contains("nth")) r.nth = Get<uint32_t>(rule, "nth", where);
  if (rule.contains("opcode")) r.opcode = ParseByte(rule["opcode"], where + ".opcode");
  if (rule.contains("mode")) r.mode = ParseByte(rule["mode"], where + ".mode");
  if (rule.contains("bufferId")) r.bufferId = ParseByte(rule["bufferId"], where + ".bufferId");
  if (rule.contains("times")) r.times = Get<uint32_t>(rule, "times", where);
  if (rule.contains("probability")) r.probability = Get<double>(rule, "probability", where);
  const std::string action =
      rule.contains("action") ? Get<std::string>(rule, "action", where) : "fail";
  if (action == "fail") {
    r.action = drive::FaultAction::kFail;
  } else if (action == "hang") {
    r.action = drive::FaultAction::kHang;
  } else if (action == "disappear") {
    r.action = drive::FaultAction::kDisappear;
  } else if (action == "transport-error") {
    r.action = drive::FaultAction::kTransportError;
  } else if (action == "lie-drop") {
    r.action = drive::FaultAction::kLieDrop;
  } else if (action == "lie-zero") {
    r.action = drive::FaultAction::kLieZero;
  } else {
    throw ScenarioError(where + ".action: unknown action \"" + action +
                        "\" (fail, hang, disappear, transport-error, lie-drop, lie-zero)");
  }
  if (rule.contains("status")) r.status = ParseByte(rule["status"], where + ".status");
  if (rule.contains("sense")) {
    const json& sense = rule["sense"];
    if (sense.is_null()) {
      r.hasSense = false;
    } else if (sense.is_array() && sense.size() == 3) {
      r.senseKey = ParseByte(sense[0], where + ".sense[0]");
      r.asc = ParseByte(sense[1], where + ".sense[1]");
      r.ascq = ParseByte(sense[2], where + ".sense[2]");
    } else {
      throw ScenarioError(where + ".sense: expected [key, asc, ascq] or null");
    }
  }
  if (rule.contains("carriedOut")) r.carriedOut = Get<bool>(rule, "carriedOut", where);
  if (rule.contains("timeMs")) r.durationUs = uint64_t{Get<uint32_t>(rule, "timeMs", where)} * 1000;
  return r;
}

void ParseDrive(const json& d, std::size_t index, SimOptions& options, ScenarioBudget& budget) {
  const std::string where = "drives[" + std::to_string(index) + "]";
  CheckKeys(d,
            {"letter", "adapter", "target", "preset", "identity", "vendorIdentity", "disc",
             "unitAttention", "commandTimeMs", "openError", "controlOpenError", "passThroughError",
             "faults", "family"},
            where);
  drive::DriveProfile profile;
  if (d.contains("preset")) {
    const std::string preset = Get<std::string>(d, "preset", where);
    if (preset == "release") {
      profile = drive::DriveProfile::ReleaseDrive();
    } else if (preset == "other-maker") {
      profile = drive::DriveProfile::OtherMaker();
    } else {
      throw ScenarioError(where + ".preset: unknown preset \"" + preset +
                          "\" (release, other-maker)");
    }
  }
  if (d.contains("identity")) ParseIdentity(d["identity"], profile, where + ".identity");
  if (d.contains("vendorIdentity")) {
    const json& v = d["vendorIdentity"];
    const std::string at = where + ".vendorIdentity";
    if (v.is_null()) {
      profile.vendorIdentity.reset();
    } else {
      CheckKeys(v, {"hardwareRevision", "signature", "normalModelName"}, at);
      drive::VendorIdentityText text = profile.vendorIdentity.value_or(drive::VendorIdentityText{});
      if (v.contains("hardwareRevision"))
        text.hardwareRevision = Get<std::string>(v, "hardwareRevision", at);
      if (v.contains("signature")) text.signature = Get<std::string>(v, "signature", at);
      if (v.contains("normalModelName"))
        text.normalModelName = Get<std::string>(v, "normalModelName", at);
      profile.vendorIdentity = text;
    }
  }
  if (d.contains("disc")) profile.discLoaded = Get<bool>(d, "disc", where);

  std::shared_ptr<drive::Drive> model;
  try {
    model = drive::MakeDrive(profile);
  } catch (const std::invalid_argument& e) {
    throw ScenarioError(where + ": " + e.what());
  }
  if (d.contains("unitAttention")) model->unitAttention = Get<bool>(d, "unitAttention", where);
  if (d.contains("commandTimeMs")) {
    const json& times = d["commandTimeMs"];
    if (!times.is_object()) throw ScenarioError(where + ".commandTimeMs: expected an object");
    for (const auto& [opcode, ms] : times.items()) {
      const std::string at = where + ".commandTimeMs." + opcode;
      if (!ms.is_number_unsigned()) throw ScenarioError(at + ": expected milliseconds");
      model->SetCommandTime(ParseByte(json(opcode), at), ms.get<uint64_t>() * 1000);
    }
  }

  if (d.contains("family")) {
    const json& f = d["family"];
    const std::string at = where + ".family";
    if (!f.is_object() || !f.contains("kind"))
      throw ScenarioError(at + ": expected {\"kind\": ...}");
    const std::string kind = Get<std::string>(f, "kind", at);
    json familyOptions = f;
    familyOptions.erase("kind");
    std::string known;
    bool found = false;
    for (const drive::FamilyKind& k : drive::FamilyKinds()) {
      known += std::string(known.empty() ? "" : ", ") + k.name;
      if (kind != k.name) continue;
      found = true;
      try {
        model->SetFamily(k.make(familyOptions, *model));
      } catch (const std::invalid_argument& e) {
        throw ScenarioError(at + ": " + e.what());
      }
      budget.Take(model->family()->MemoryBytes(), at);
    }
    if (!found) throw ScenarioError(at + ".kind: unknown family \"" + kind + "\" (" + known + ")");
  }

  std::shared_ptr<drive::ScsiDevice> device = model;
  if (d.contains("faults")) {
    const json& f = d["faults"];
    const std::string at = where + ".faults";
    CheckKeys(f, {"seed", "rules"}, at);
    std::vector<drive::FaultRule> rules;
    if (f.contains("rules")) {
      if (!f["rules"].is_array()) throw ScenarioError(at + ".rules: expected an array");
      for (std::size_t i = 0; i < f["rules"].size(); ++i) {
        rules.push_back(ParseFaultRule(f["rules"][i], at + ".rules[" + std::to_string(i) + "]"));
      }
    }
    const uint64_t seed = f.contains("seed") ? Get<uint64_t>(f, "seed", at) : 0;
    device = std::make_shared<drive::FaultInjector>(model, std::move(rules), seed);
  }

  AttachedDrive attached;
  attached.device = device;
  if (d.contains("letter")) {
    const std::string letter = Get<std::string>(d, "letter", where);
    if (letter.size() != 1 || !std::isalpha(static_cast<unsigned char>(letter[0]))) {
      throw ScenarioError(where + ".letter: expected one letter A to Z");
    }
    attached.letter = static_cast<char>(std::toupper(static_cast<unsigned char>(letter[0])));
  }
  if (d.contains("adapter") != d.contains("target")) {
    throw ScenarioError(where + ": \"adapter\" and \"target\" go together");
  }
  if (d.contains("adapter")) {
    attached.adapter = Get<int>(d, "adapter", where);
    attached.target = Get<int>(d, "target", where);
    if (attached.adapter < 0 || attached.adapter > 255 || attached.target < 0 ||
        attached.target > 255) {
      throw ScenarioError(where + ": adapter and target are 0 to 255");
    }
  }
  if (attached.letter == 0 && attached.adapter < 0) {
    throw ScenarioError(where + ": give a \"letter\", or an \"adapter\" and \"target\"");
  }
  if (d.contains("openError")) attached.openError = Get<uint32_t>(d, "openError", where);
  if (d.contains("controlOpenError"))
    attached.controlOpenError = Get<uint32_t>(d, "controlOpenError", where);
  if (d.contains("passThroughError"))
    attached.ioctlError = Get<uint32_t>(d, "passThroughError", where);
  options.drives.push_back(std::move(attached));
}

}  // namespace

platform::OsVersion WindowsVersion(std::string_view name) {
  struct Known {
    uint32_t platformId, major, minor, build;
  };
  static const std::map<std::string_view, Known> kVersions = {
      {"95", {platform::kPlatformWin32Windows, 4, 0, 950}},
      {"98", {platform::kPlatformWin32Windows, 4, 10, 2222}},
      {"me", {platform::kPlatformWin32Windows, 4, 90, 3000}},
      {"nt4", {platform::kPlatformWin32Nt, 4, 0, 1381}},
      {"2000", {platform::kPlatformWin32Nt, 5, 0, 2195}},
      {"xp", {platform::kPlatformWin32Nt, 5, 1, 2600}},
      {"2003", {platform::kPlatformWin32Nt, 5, 2, 3790}},
      {"vista", {platform::kPlatformWin32Nt, 6, 0, 6002}},
  };
  const auto it = kVersions.find(name);
  if (it == kVersions.end()) {
    throw ScenarioError("unknown Windows version \"" + std::string(name) + "\"");
  }
  platform::OsVersion v;
  v.platformId = it->second.platformId;
  v.majorVersion = it->second.major;
  v.minorVersion = it->second.minor;
  v.buildNumber = it->second.build;
  return v;
}

Scenario ParseScenario(std::string_view text) {
  json doc;
  try {
    doc = json::parse(text);
  } catch (const json::exception& e) {
    // A syntax error, or a number beyond what the parser holds.
    throw ScenarioError(std::string("not valid JSON: ") + e.what());
  }
  CheckKeys(doc, {"description", "host", "drives", "answers", "definition", "files"}, "scenario");
  Scenario s;
  if (doc.contains("description")) s.description = Get<std::string>(doc, "description", "scenario");
  if (doc.contains("host")) ParseHost(doc["host"], s.options);
  if (doc.contains("answers")) {
    for (const auto& a : Get<std::vector<std::string>>(doc, "answers", "scenario")) {
      int result = 0;
      if (!ParseAnswer(a, &result)) throw ScenarioError("answers: unknown answer \"" + a + "\"");
      s.options.answers.push_back(result);
    }
  }
  ScenarioBudget budget;
  if (doc.contains("definition")) s.definition = ParseDefinition(doc["definition"]);
  if (doc.contains("files")) s.files = ParseFiles(doc["files"], budget);
  if (doc.contains("drives")) {
    if (!doc["drives"].is_array()) throw ScenarioError("drives: expected an array");
    for (std::size_t i = 0; i < doc["drives"].size(); ++i)
      ParseDrive(doc["drives"][i], i, s.options, budget);
  }
  return s;
}

Scenario LoadScenario(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw ScenarioError("cannot read " + path.string());
  std::ostringstream text;
  text << in.rdbuf();
  return ParseScenario(text.str());
}

}  // namespace oddfw::sim
