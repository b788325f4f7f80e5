// Reading firmware files: whole binary files, and text files line by line
// with the cause of a failure as a number from 1 to 14.
#include "platform/line_reader.h"
#include "platform/win32/win32_platform.h"
#include "platform/win32/windows_api.h"

namespace oddfw::platform::win32 {

int FileErrorCauseOf(uint32_t win32Error) {
  switch (win32Error) {
    case ERROR_FILE_NOT_FOUND:
      return kCauseFileNotFound;
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
    case ERROR_NOT_SAME_DEVICE:
    case ERROR_WRONG_DISK:
    case ERROR_BAD_NETPATH:
    case ERROR_DEV_NOT_EXIST:
    case ERROR_BAD_NET_NAME:
    case ERROR_INVALID_NAME:
    case ERROR_BAD_PATHNAME:
    case ERROR_FILENAME_EXCED_RANGE:
    case ERROR_DIRECTORY:
      return kCauseBadPath;
    case ERROR_TOO_MANY_OPEN_FILES:
    case ERROR_SHARING_BUFFER_EXCEEDED:
    case ERROR_NO_MORE_SEARCH_HANDLES:
      return kCauseTooManyOpenFiles;
    case ERROR_ACCESS_DENIED:
    case ERROR_INVALID_ACCESS:
    case ERROR_WRITE_PROTECT:
    case ERROR_NETWORK_ACCESS_DENIED:
      return kCauseAccessDenied;
    case ERROR_INVALID_HANDLE:
    case ERROR_INVALID_TARGET_HANDLE:
      return kCauseInvalidFile;
    case ERROR_CURRENT_DIRECTORY:
      return kCauseRemoveCurrentDir;
    case ERROR_CANNOT_MAKE:
      return kCauseDirectoryFull;
    case ERROR_SEEK:
    case ERROR_SECTOR_NOT_FOUND:
    case ERROR_NEGATIVE_SEEK:
    case ERROR_SEEK_ON_DEVICE:
      return kCauseBadSeek;
    case ERROR_BAD_UNIT:
    case ERROR_NOT_READY:
    case ERROR_BAD_COMMAND:
    case ERROR_CRC:
    case ERROR_WRITE_FAULT:
    case ERROR_READ_FAULT:
    case ERROR_GEN_FAILURE:
    case ERROR_NET_WRITE_FAULT:
    case ERROR_IO_DEVICE:
      return kCauseHardIo;
    case ERROR_SHARING_VIOLATION:
      return kCauseSharingViolation;
    case ERROR_LOCK_VIOLATION:
    case ERROR_DRIVE_LOCKED:
    case ERROR_LOCK_FAILED:
      return kCauseLockViolation;
    case ERROR_HANDLE_DISK_FULL:
    case ERROR_DISK_FULL:
      return kCauseDiskFull;
    case ERROR_HANDLE_EOF:
      return kCauseEndOfFile;
    default:
      return kCauseGeneric;
  }
}

namespace {

class Win32TextFile : public TextFile {
 public:
  explicit Win32TextFile(HANDLE file)
      : file_(file), lines_([file](char* buffer, std::size_t room, std::size_t* got, int* cause) {
          DWORD read = 0;
          if (!::ReadFile(file, buffer, static_cast<DWORD>(room), &read, nullptr)) {
            *cause = FileErrorCauseOf(::GetLastError());
            return false;
          }
          *got = read;
          return true;
        }) {}
  ~Win32TextFile() override { ::CloseHandle(file_); }
  Win32TextFile(const Win32TextFile&) = delete;
  Win32TextFile& operator=(const Win32TextFile&) = delete;

  Read ReadLine(std::string* line, std::size_t maxChars, int* cause) override {
    return lines_.ReadLine(line, maxChars, cause);
  }

 private:
  HANDLE file_;
  LineReader lines_;
};

}  // namespace

Handle Win32Files::OpenForRead(const std::string& name) {
  return ::CreateFileA(name.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                       nullptr);
}

// A file of 4 GiB or more has no 32-bit size: that counts as a failure.
bool Win32Files::GetFileSize(Handle file, uint32_t* size) {
  DWORD high = 0;
  const DWORD low = ::GetFileSize(file, &high);
  if (low == INVALID_FILE_SIZE && ::GetLastError() != NO_ERROR) return false;
  if (high != 0) return false;
  *size = low;
  return true;
}

bool Win32Files::ReadFile(Handle file, uint8_t* buffer, uint32_t bytes, uint32_t* bytesRead) {
  DWORD read = 0;
  const BOOL ok = ::ReadFile(file, buffer, bytes, &read, nullptr);
  *bytesRead = read;
  return ok != FALSE;
}

void Win32Files::CloseFile(Handle file) {
  ::CloseHandle(file);
}

int Win32Files::OpenText(const std::string& name, std::unique_ptr<TextFile>* file) {
  const HANDLE handle = ::CreateFileA(name.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return FileErrorCauseOf(::GetLastError());
  *file = std::make_unique<Win32TextFile>(handle);
  return 0;
}

}  // namespace oddfw::platform::win32
