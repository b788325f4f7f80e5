// The parts of a scenario that describe the release: its definition table
// and the files of the working directory (images made by the image builder,
// HEX records made by the HEX writer, or plain text).

#include <cstdlib>
#include <cstring>
#include <fstream>

#include "app/run.h"
#include "procedures/family0000.h"
#include "sim/hex_writer.h"
#include "sim/image_builder.h"
#include "sim/scenario.h"
#include "sim/scenario_json.h"

namespace oddfw::sim {

namespace scenario_json {

uint32_t GetNumber(const json& object, const std::string& key, const std::string& where) {
  const json& value = object.at(key);
  if (value.is_number_unsigned() && value.get<uint64_t>() <= 0xFFFFFFFFu) {
    return static_cast<uint32_t>(value.get<uint64_t>());
  }
  if (value.is_string()) {
    const std::string text = value.get<std::string>();
    char* end = nullptr;
    const unsigned long long n = std::strtoull(text.c_str(), &end, 0);
    if (!text.empty() && *end == '\0' && n <= 0xFFFFFFFFu) return static_cast<uint32_t>(n);
  }
  throw ScenarioError(where + "." + key + ": expected a number (42 or \"0x2a\")");
}

std::string GetText(const json& object, const std::string& key, std::size_t width,
                    const std::string& where) {
  const std::string text = Get<std::string>(object, key, where);
  if (text.size() > width) {
    throw ScenarioError(where + "." + key + ": longer than " + std::to_string(width) +
                        " characters");
  }
  return text;
}

std::string ParseBytes(const json& p, const std::string& where) {
  if (!p.is_object() || p.contains("text") + p.contains("hex") + p.contains("pattern") != 1) {
    throw ScenarioError(where + ": give \"text\", \"hex\" or \"pattern\"");
  }
  if (p.contains("text")) return Get<std::string>(p, "text", where);
  if (p.contains("pattern")) {
    const std::string name = Get<std::string>(p, "pattern", where);
    const uint8_t* pattern = name == "identityA"   ? kIdentityPatternA
                             : name == "identityB" ? kIdentityPatternB
                             : name == "identityC" ? kIdentityPatternC
                             : name == "cpuType"   ? kCpuTypePattern
                                                   : nullptr;
    if (pattern == nullptr) {
      throw ScenarioError(where +
                          ".pattern: \"identityA\", \"identityB\", \"identityC\" or "
                          "\"cpuType\"");
    }
    return std::string(reinterpret_cast<const char*>(pattern), 16);
  }
  std::string bytes;
  const std::string hex = Get<std::string>(p, "hex", where);
  for (std::size_t i = 0; i < hex.size();) {
    if (hex[i] == ' ') {
      ++i;
      continue;
    }
    char* end = nullptr;
    const std::string pair = hex.substr(i, 2);
    const long value = std::strtol(pair.c_str(), &end, 16);
    if (pair.size() != 2 || *end != '\0') throw ScenarioError(where + ".hex: expected byte pairs");
    bytes += static_cast<char>(value);
    i += 2;
  }
  return bytes;
}

ImageSpec ParseImageSpec(const json& m, ImageSpec base, const std::string& where) {
  CheckKeys(m,
            {"vendorId", "productId", "revisionText", "hardwareRevision", "signature",
             "normalModelName", "partKind", "dateText", "kernelRevisionText", "size", "seed",
             "header", "placements", "check"},
            where);
  ImageSpec spec = std::move(base);
  if (m.contains("vendorId")) spec.vendorId = Get<std::string>(m, "vendorId", where);
  if (m.contains("productId")) spec.productId = Get<std::string>(m, "productId", where);
  if (m.contains("revisionText")) spec.revisionText = Get<std::string>(m, "revisionText", where);
  if (m.contains("hardwareRevision")) {
    spec.hardwareRevision = Get<std::string>(m, "hardwareRevision", where);
  }
  if (m.contains("signature")) spec.signature = Get<std::string>(m, "signature", where);
  if (m.contains("normalModelName")) {
    spec.normalModelName = Get<std::string>(m, "normalModelName", where);
  }
  if (m.contains("partKind")) {
    const std::string kind = GetText(m, "partKind", 1, where);
    spec.partKind = kind.empty() ? '\0' : kind[0];
  }
  if (m.contains("dateText")) spec.dateText = Get<std::string>(m, "dateText", where);
  if (m.contains("kernelRevisionText")) {
    spec.kernelRevisionText = Get<std::string>(m, "kernelRevisionText", where);
  }
  if (m.contains("size")) {
    spec.size = GetNumber(m, "size", where);
    if (spec.size > kLargestImage) throw ScenarioError(where + ".size: more than 64 MiB");
  }
  if (m.contains("seed")) spec.seed = GetNumber(m, "seed", where);
  if (m.contains("header")) spec.header = Get<bool>(m, "header", where);
  if (m.contains("check")) spec.check = Get<bool>(m, "check", where);
  if (m.contains("placements")) {
    const json& list = m["placements"];
    if (!list.is_array()) throw ScenarioError(where + ".placements: expected an array");
    for (std::size_t i = 0; i < list.size(); ++i) {
      const std::string at = where + ".placements[" + std::to_string(i) + "]";
      CheckKeys(list[i], {"offset", "text", "hex", "pattern"}, at);
      spec.placements.push_back({GetNumber(list[i], "offset", at), ParseBytes(list[i], at)});
    }
  }
  return spec;
}

}  // namespace scenario_json

namespace {

using namespace scenario_json;

ImageSpec ParseImage(const json& m, bool header, const std::string& where) {
  ImageSpec base;
  base.header = header;
  return ParseImageSpec(m, base, where);
}

// Copies a text into a fixed field: padded with spaces (identification
// texts) or with zero bytes (the others).
template <std::size_t N>
void SetField(char (&field)[N], const std::string& text, bool spaces) {
  std::memset(field, spaces ? ' ' : 0, N);
  std::memcpy(field, text.data(), text.size());
}

DefinitionEntry ParseEntry(const json& e, const DefinitionEntry& base, const std::string& where) {
  CheckKeys(e,
            {"fileName", "oemCode", "vendorId", "productId", "updateParts", "fileKind", "imageSize",
             "modelCode", "irreversibleWarning", "minimumImageDate", "checksum", "driveModelName",
             "firmwareVersionText", "cpuType"},
            where);
  DefinitionEntry entry = base;
  if (e.contains("fileName")) SetField(entry.fileName, GetText(e, "fileName", 127, where), false);
  if (e.contains("oemCode")) SetField(entry.oemCode, GetText(e, "oemCode", 8, where), true);
  if (e.contains("vendorId")) SetField(entry.vendorId, GetText(e, "vendorId", 8, where), true);
  if (e.contains("productId")) SetField(entry.productId, GetText(e, "productId", 16, where), true);
  if (e.contains("updateParts")) {
    const std::string parts = Get<std::string>(e, "updateParts", where);
    if (parts == "kernel-and-normal") {
      entry.updateParts = KernelAndNormal;
    } else if (parts == "normal-only") {
      entry.updateParts = NormalOnly;
    } else {
      throw ScenarioError(where + ".updateParts: \"kernel-and-normal\" or \"normal-only\"");
    }
  }
  if (e.contains("fileKind")) SetField(entry.fileKind, GetText(e, "fileKind", 3, where), false);
  if (e.contains("imageSize")) entry.imageSize = GetNumber(e, "imageSize", where);
  if (e.contains("modelCode")) {
    entry.modelCode = static_cast<int32_t>(GetNumber(e, "modelCode", where));
  }
  if (e.contains("irreversibleWarning")) {
    const json& w = e["irreversibleWarning"];
    entry.irreversibleWarning =
        w.is_boolean() ? (w.get<bool>() ? 1 : 0)
                       : static_cast<int32_t>(GetNumber(e, "irreversibleWarning", where));
  }
  if (e.contains("minimumImageDate")) {
    entry.minimumImageDate = GetNumber(e, "minimumImageDate", where);
  }
  if (e.contains("checksum")) entry.checksum = GetNumber(e, "checksum", where);
  if (e.contains("driveModelName")) {
    SetField(entry.driveModelName, GetText(e, "driveModelName", 64, where), false);
  }
  if (e.contains("firmwareVersionText")) {
    SetField(entry.firmwareVersionText, GetText(e, "firmwareVersionText", 4, where), false);
  }
  if (e.contains("cpuType")) SetField(entry.cpuType, GetText(e, "cpuType", 16, where), false);
  return entry;
}

std::vector<uint8_t> Build(const ImageSpec& spec, const std::string& where) {
  try {
    return BuildImage(spec);
  } catch (const std::exception& e) {
    throw ScenarioError(where + ": " + e.what());
  }
}

std::vector<uint8_t> ParseHexFile(const json& h, const std::string& where) {
  CheckKeys(h, {"image", "bytesPerLine", "crlf", "skipErased", "endRecord", "baseAddress"}, where);
  const ImageSpec spec =
      h.contains("image") ? ParseImage(h["image"], false, where + ".image") : [] {
        ImageSpec s;
        s.header = false;
        return s;
      }();
  HexOptions options;
  if (h.contains("bytesPerLine")) {
    options.bytesPerLine = static_cast<int>(GetNumber(h, "bytesPerLine", where));
  }
  if (h.contains("crlf")) options.crlf = Get<bool>(h, "crlf", where);
  if (h.contains("skipErased")) options.skipErased = Get<bool>(h, "skipErased", where);
  if (h.contains("endRecord")) options.endRecord = Get<bool>(h, "endRecord", where);
  const uint32_t base = h.contains("baseAddress") ? GetNumber(h, "baseAddress", where) : 0;
  if (spec.size > kLargestHexImage) throw ScenarioError(where + ".image.size: more than 16 MiB");
  const std::vector<uint8_t> image = Build(spec, where + ".image");
  try {
    const std::string text = ToHexRecords(image, base, options);
    return std::vector<uint8_t>(text.begin(), text.end());
  } catch (const std::exception& e) {
    throw ScenarioError(where + ": " + e.what());
  }
}

}  // namespace

UpdateDefinition ParseDefinition(const json& d) {
  const std::string where = "definition";
  CheckKeys(d, {"releaseRevision", "entries"}, where);
  UpdateDefinition table = BuiltInDefinition();
  if (d.contains("releaseRevision")) {
    table.releaseRevision = static_cast<uint16_t>(GetNumber(d, "releaseRevision", where));
  }
  if (d.contains("entries")) {
    const json& list = d["entries"];
    if (!list.is_array() || list.empty() || list.size() > kMaxDefinitionEntries) {
      throw ScenarioError(where + ".entries: expected an array of 1 to 8 entries");
    }
    // Every entry starts as the built-in release's entry.
    const DefinitionEntry base = table.entries[0];
    for (DefinitionEntry& e : table.entries) e = DefinitionEntry{};
    for (std::size_t i = 0; i < list.size(); ++i) {
      table.entries[i] = ParseEntry(list[i], base, where + ".entries[" + std::to_string(i) + "]");
    }
    table.entryCount = static_cast<int32_t>(list.size());
  }
  return table;
}

std::vector<ScenarioFile> ParseFiles(const json& files) {
  ScenarioBudget budget;
  return ParseFiles(files, budget);
}

std::vector<ScenarioFile> ParseFiles(const json& files, ScenarioBudget& budget) {
  if (!files.is_object()) throw ScenarioError("files: expected an object of file names");
  std::vector<ScenarioFile> out;
  for (const auto& [name, f] : files.items()) {
    const std::string where = "files." + name;
    if (name.empty() || name.find_first_of("/\\") != std::string::npos || name == "." ||
        name == "..") {
      throw ScenarioError(where + ": a plain file name is expected");
    }
    CheckKeys(f, {"image", "hex", "text"}, where);
    if (f.size() != 1) throw ScenarioError(where + ": give one of \"image\", \"hex\", \"text\"");
    ScenarioFile file{name, {}};
    if (f.contains("image")) {
      file.bytes = Build(ParseImage(f["image"], true, where + ".image"), where + ".image");
    } else if (f.contains("hex")) {
      file.bytes = ParseHexFile(f["hex"], where + ".hex");
    } else {
      const std::string text = Get<std::string>(f, "text", where);
      file.bytes.assign(text.begin(), text.end());
    }
    budget.Take(file.bytes.size(), where);
    out.push_back(std::move(file));
  }
  return out;
}

void WriteScenarioFiles(const Scenario& scenario, const std::filesystem::path& dir) {
  std::filesystem::create_directories(dir);
  for (const ScenarioFile& f : scenario.files) WriteBinaryFile(dir / f.name, f.bytes);
}

std::function<int32_t(Run&)> DefinitionFiller(const UpdateDefinition& definition) {
  return [definition](Run& run) {
    run.definition.active = ActiveEntry{};
    run.definition.definition = definition;
    return 1;
  };
}

}  // namespace oddfw::sim
