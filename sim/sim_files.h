#pragma once
// Files of the simulated host's working directory, read from a real folder.

#include <filesystem>
#include <memory>
#include <string>

#include "platform/files.h"

namespace oddfw::sim {

class SimFiles : public platform::Files {
 public:
  explicit SimFiles(std::filesystem::path dir) : dir_(std::move(dir)) {}
  platform::Handle OpenForRead(const std::string& name) override;
  bool GetFileSize(platform::Handle file, uint32_t* size) override;
  bool ReadFile(platform::Handle file, uint8_t* buffer, uint32_t bytes,
                uint32_t* bytesRead) override;
  void CloseFile(platform::Handle file) override;
  int OpenText(const std::string& name, std::unique_ptr<platform::TextFile>* file) override;

 private:
  std::filesystem::path dir_;
};

}  // namespace oddfw::sim
