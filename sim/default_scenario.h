#pragma once
// The scenario oddfw-sim runs when it is given none: scenarios/default.json,
// built into the program so it works from any directory.

#include <string_view>

namespace oddfw::sim {

// The text of scenarios/default.json as it was when the program was built.
std::string_view DefaultScenarioText();

}  // namespace oddfw::sim
