#include "sim/drive/families.h"

namespace oddfw::sim::drive {

std::span<const FamilyKind> FamilyKinds() {
  // One row per family behaviour.
  static const FamilyKind kKinds[] = {
      {"none",
       [](const nlohmann::ordered_json&, Drive&) -> std::unique_ptr<FamilyBehaviour> {
         return nullptr;
       }},
  };
  return kKinds;
}

}  // namespace oddfw::sim::drive
