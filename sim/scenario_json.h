#pragma once
// Helpers shared by the parts of the scenario parser.

#include <cstdint>
#include <nlohmann/json.hpp>
#include <set>
#include <string>

#include "sim/scenario.h"

namespace oddfw::sim::scenario_json {

// Ordered, so registry keys enumerate in the order the scenario lists them.
using json = nlohmann::ordered_json;

inline void CheckKeys(const json& object, const std::set<std::string>& known,
                      const std::string& where) {
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

// A 32-bit number given as a JSON number or as a string ("0x656dc5ae", "42").
uint32_t GetNumber(const json& object, const std::string& key, const std::string& where);

// A text of at most `width` characters.
std::string GetText(const json& object, const std::string& key, std::size_t width,
                    const std::string& where);

}  // namespace oddfw::sim::scenario_json
