#pragma once
// Files of the simulated host's working directory, read from a real folder.
// Tests can make any step fail (open, size, read, a given text line) and
// count how many files were opened and closed.

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "platform/files.h"

namespace oddfw::sim {

// A failure to inject into the binary-file steps of one file.
struct BinaryFault {
  std::string name;        // file it hits (as the program names it); empty: every file
  bool failOpen = false;   // OpenForRead returns the invalid handle
  bool failSize = false;   // GetFileSize fails
  bool failRead = false;   // ReadFile fails
  int64_t readLimit = -1;  // >= 0: ReadFile succeeds but returns at most this many bytes
};

// A failure to inject into the text reader of one file.
struct TextFault {
  std::string name;   // file it hits; empty: every text file
  int openCause = 0;  // non-zero: OpenText fails with this cause
  int readLine = 0;   // non-zero: the readLine-th ReadLine of the file fails (1 is the first)...
  int readCause = 0;  // ...with this cause
};

// How often files were opened and closed; an open that failed is not counted.
struct FileCounts {
  int binaryOpens = 0;
  int binaryCloses = 0;
  int textOpens = 0;
  int textCloses = 0;
  int OpenNow() const { return binaryOpens - binaryCloses + textOpens - textCloses; }
};

class SimFiles : public platform::Files {
 public:
  explicit SimFiles(std::filesystem::path dir) : dir_(std::move(dir)) {}
  ~SimFiles() override;
  SimFiles(const SimFiles&) = delete;
  SimFiles& operator=(const SimFiles&) = delete;

  platform::Handle OpenForRead(const std::string& name) override;
  bool GetFileSize(platform::Handle file, uint32_t* size) override;
  bool ReadFile(platform::Handle file, uint8_t* buffer, uint32_t bytes,
                uint32_t* bytesRead) override;
  void CloseFile(platform::Handle file) override;
  int OpenText(const std::string& name, std::unique_ptr<platform::TextFile>* file) override;

  // Faults stay in force until cleared; the first one whose name matches wins.
  void InjectBinaryFault(BinaryFault fault) { binaryFaults_.push_back(std::move(fault)); }
  void InjectTextFault(TextFault fault) { textFaults_.push_back(std::move(fault)); }
  void ClearFaults();

  const FileCounts& counts() const { return counts_; }
  const std::filesystem::path& dir() const { return dir_; }

  // The cause (1 to 14) of a failed open of `path`, from the C library's errno.
  static int CauseOfOpenFailure(const std::filesystem::path& path, int error);

 private:
  struct OpenBinary;
  const BinaryFault* BinaryFaultFor(const std::string& name) const;

  std::filesystem::path dir_;
  std::vector<BinaryFault> binaryFaults_;
  std::vector<TextFault> textFaults_;
  FileCounts counts_;
};

}  // namespace oddfw::sim
