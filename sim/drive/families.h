#pragma once
// The drive families a scenario can give a drive: "family": {"kind": "...",
// ...options}. Each family reads its own options.

#include <memory>
#include <nlohmann/json.hpp>
#include <span>
#include <string>

#include "sim/drive/drive.h"

namespace oddfw::sim::drive {

// Makes a family's behaviour from its scenario options (the object without
// "kind"); throws std::invalid_argument with a message for bad options. The
// drive is the one the family is for, so it can adjust the profile's state.
using FamilyMaker = std::unique_ptr<FamilyBehaviour> (*)(const nlohmann::ordered_json& options,
                                                         Drive& drive);

struct FamilyKind {
  const char* name;
  FamilyMaker make;
};

// Every family the simulator knows.
std::span<const FamilyKind> FamilyKinds();

}  // namespace oddfw::sim::drive
