#pragma once
// Reading firmware files from the working directory: whole binary files, and
// text files line by line.

#include <cstdint>
#include <memory>
#include <string>

#include "platform/types.h"

namespace oddfw::platform {

// Causes of a failed text-file operation, 1 to 14.
enum FileErrorCause : int {
  kCauseGeneric = 1,
  kCauseFileNotFound = 2,
  kCauseBadPath = 3,
  kCauseTooManyOpenFiles = 4,
  kCauseAccessDenied = 5,
  kCauseInvalidFile = 6,
  kCauseRemoveCurrentDir = 7,
  kCauseDirectoryFull = 8,
  kCauseBadSeek = 9,
  kCauseHardIo = 10,
  kCauseSharingViolation = 11,
  kCauseLockViolation = 12,
  kCauseDiskFull = 13,
  kCauseEndOfFile = 14,
};

class TextFile {
 public:
  enum class Read { kLine, kEnd, kError };
  virtual ~TextFile() = default;
  // Reads the next line without its line end (LF or CR LF). A line longer
  // than maxChars comes back in pieces of maxChars. On kError, *cause holds
  // the cause.
  virtual Read ReadLine(std::string* line, std::size_t maxChars, int* cause) = 0;
};

class Files {
 public:
  virtual ~Files() = default;
  // CreateFileA(name, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
  // 0, nullptr); InvalidHandle() when it fails.
  virtual Handle OpenForRead(const std::string& name) = 0;
  // GetFileSize; false when the size cannot be taken.
  virtual bool GetFileSize(Handle file, uint32_t* size) = 0;
  // ReadFile; false when the read fails.
  virtual bool ReadFile(Handle file, uint8_t* buffer, uint32_t bytes, uint32_t* bytesRead) = 0;
  virtual void CloseFile(Handle file) = 0;
  // Opens a text file for reading: 0, or the cause (1 to 14) of the failure.
  virtual int OpenText(const std::string& name, std::unique_ptr<TextFile>* file) = 0;
};

}  // namespace oddfw::platform
