#pragma once
// Scenario files: the host, its drives and the answers a simulated run gets.
// The format is described in docs/scenarios.md.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <nlohmann/json_fwd.hpp>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "app/definition.h"
#include "sim/sim_platform.h"

namespace oddfw::sim {

class ScenarioError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A file the scenario puts into the working directory.
struct ScenarioFile {
  std::string name;
  std::vector<uint8_t> bytes;
};

struct Scenario {
  std::string description;
  SimOptions options;
  // Another release than the built-in one (tests and the simulator only; the
  // program itself always installs its built-in release).
  std::optional<UpdateDefinition> definition;
  std::vector<ScenarioFile> files;
};

// The "definition" and "files" parts of a scenario (scenario_release.cpp).
UpdateDefinition ParseDefinition(const nlohmann::ordered_json& definition);
std::vector<ScenarioFile> ParseFiles(const nlohmann::ordered_json& files);
class ScenarioBudget;  // scenario_json.h
std::vector<ScenarioFile> ParseFiles(const nlohmann::ordered_json& files, ScenarioBudget& budget);

// Writes the scenario's files into `dir` (created when missing).
void WriteScenarioFiles(const Scenario& scenario, const std::filesystem::path& dir);

// Fills a run's release table with `definition`, as the program fills it
// with its built-in release: for DriverHooks::fillDefinition.
std::function<int32_t(Run&)> DefinitionFiller(const UpdateDefinition& definition);

// Parses a scenario from JSON text; throws ScenarioError with a message that
// names the offending key, also for a scenario that asks for more than the
// simulator makes (scenario_json.h: images over 64 MiB, 128 MiB in all).
Scenario ParseScenario(std::string_view json);
Scenario LoadScenario(const std::filesystem::path& path);

// The Windows version a scenario names ("95", "98", "me", "nt4", "2000", "xp",
// "2003", "vista"); throws ScenarioError for an unknown name.
platform::OsVersion WindowsVersion(std::string_view name);

}  // namespace oddfw::sim
