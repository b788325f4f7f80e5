#pragma once
// Scenario files: the host, its drives and the answers a simulated run gets.
// The format is described in docs/scenarios.md.

#include <filesystem>
#include <stdexcept>
#include <string>
#include <string_view>

#include "sim/sim_platform.h"

namespace oddfw::sim {

class ScenarioError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct Scenario {
  std::string description;
  SimOptions options;
};

// Parses a scenario from JSON text; throws ScenarioError with a message that
// names the offending key.
Scenario ParseScenario(std::string_view json);
Scenario LoadScenario(const std::filesystem::path& path);

// The Windows version a scenario names ("95", "98", "me", "nt4", "2000", "xp",
// "2003", "vista"); throws ScenarioError for an unknown name.
platform::OsVersion WindowsVersion(std::string_view name);

}  // namespace oddfw::sim
