#pragma once
// Helpers shared by the parts of the scenario parser.

#include <cstdint>
#include <nlohmann/json.hpp>
#include <set>
#include <string>

#include "sim/image_builder.h"
#include "sim/scenario.h"

namespace oddfw::sim {

// What a scenario may ask the simulator to make: an image or a drive memory
// of at most 64 MiB (the program's image buffer holds 8 MiB), a HEX image of
// at most 16 MiB (its text is about three times as long), and at most
// 128 MiB of files and drive state in all. A larger request is refused, not
// attempted.
inline constexpr uint32_t kLargestImage = 64u << 20;
inline constexpr uint32_t kLargestHexImage = 16u << 20;
inline constexpr uint64_t kLargestScenario = 128u << 20;

// Counts what a scenario makes against kLargestScenario.
class ScenarioBudget {
 public:
  void Take(uint64_t bytes, const std::string& where) {
    used_ += bytes;
    if (used_ > kLargestScenario) {
      throw ScenarioError(where + ": the scenario asks for more than 128 MiB of files and drives");
    }
  }

 private:
  uint64_t used_ = 0;
};

namespace scenario_json {

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

// Bytes given as {"text": ...}, {"hex": "8E 01 F3"} or {"pattern": ...}, one
// of the 16-byte identity patterns of the oldest drives ("identityA",
// "identityB", "identityC") or their CPU-type pattern ("cpuType").
std::string ParseBytes(const json& p, const std::string& where);

// An image described by the keys of a scenario file's "image", starting
// from `base`.
ImageSpec ParseImageSpec(const json& m, ImageSpec base, const std::string& where);

}  // namespace scenario_json
}  // namespace oddfw::sim
