#include "sim/scenario.h"

#include <cstring>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>

namespace oddfw::sim {
namespace {

using nlohmann::json;

void CheckKeys(const json& object, const std::set<std::string>& known, const std::string& where) {
  if (!object.is_object()) throw ScenarioError(where + ": expected an object");
  for (const auto& [key, value] : object.items()) {
    if (known.count(key) == 0) throw ScenarioError(where + ": unknown key \"" + key + "\"");
  }
}

template <typename T>
T Get(const json& object, const std::string& key, const std::string& where) {
  try {
    return object.at(key).get<T>();
  } catch (const json::exception&) {
    throw ScenarioError(where + "." + key + ": wrong type");
  }
}

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

void ParseHost(const json& host, SimOptions& options) {
  const std::string where = "host";
  CheckKeys(host, {"windows", "codePage", "clockStartMs"}, where);
  if (host.contains("windows")) options.osVersion = ParseWindows(host["windows"], "host.windows");
  if (host.contains("codePage")) options.codePage = Get<int>(host, "codePage", where);
  if (host.contains("clockStartMs")) {
    options.clockStartMs = Get<uint32_t>(host, "clockStartMs", where);
  }
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
  } catch (const json::parse_error& e) {
    throw ScenarioError(std::string("not valid JSON: ") + e.what());
  }
  CheckKeys(doc, {"description", "host", "drives", "answers"}, "scenario");
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
  if (doc.contains("drives") && !doc["drives"].is_array()) {
    throw ScenarioError("drives: expected an array");
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
