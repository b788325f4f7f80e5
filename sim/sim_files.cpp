#include "sim/sim_files.h"

#include <cstdio>

namespace oddfw::sim {

platform::Handle SimFiles::OpenForRead(const std::string& name) {
  std::FILE* f = std::fopen((dir_ / name).string().c_str(), "rb");
  return f != nullptr ? static_cast<platform::Handle>(f) : platform::InvalidHandle();
}

bool SimFiles::GetFileSize(platform::Handle file, uint32_t* size) {
  auto* f = static_cast<std::FILE*>(file);
  const long here = std::ftell(f);
  if (std::fseek(f, 0, SEEK_END) != 0) return false;
  const long end = std::ftell(f);
  std::fseek(f, here, SEEK_SET);
  if (end < 0 || end > 0xFFFFFFFEL) return false;
  *size = static_cast<uint32_t>(end);
  return true;
}

bool SimFiles::ReadFile(platform::Handle file, uint8_t* buffer, uint32_t bytes,
                        uint32_t* bytesRead) {
  auto* f = static_cast<std::FILE*>(file);
  *bytesRead = static_cast<uint32_t>(std::fread(buffer, 1, bytes, f));
  return std::ferror(f) == 0;
}

void SimFiles::CloseFile(platform::Handle file) { std::fclose(static_cast<std::FILE*>(file)); }

int SimFiles::OpenText(const std::string&, std::unique_ptr<platform::TextFile>*) {
  return platform::kCauseFileNotFound;  // the text reader comes with the HEX loader
}

}  // namespace oddfw::sim
