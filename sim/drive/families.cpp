#include "sim/drive/families.h"

#include "sim/drive/dvd_family.h"
#include "sim/drive/old_family.h"
#include "sim/drive/bd_family.h"

namespace oddfw::sim::drive {

std::span<const FamilyKind> FamilyKinds() {
  // One row per family behaviour.
  static const FamilyKind kKinds[] = {
      {"none",
       [](const nlohmann::ordered_json&, Drive&) -> std::unique_ptr<FamilyBehaviour> {
         return nullptr;
       }},
      {"dvd",
       [](const nlohmann::ordered_json& options, Drive& drive) -> std::unique_ptr<FamilyBehaviour> {
         return std::make_unique<DvdFamily>(drive, ParseDvdOptions(options));
       }},
      {"old", MakeOldFamily},
      {"bd", MakeBdFamily},
  };
  return kKinds;
}

}  // namespace oddfw::sim::drive
