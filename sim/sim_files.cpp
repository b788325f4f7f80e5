#include "sim/sim_files.h"

#include <cerrno>
#include <cstdio>
#include <optional>
#include <system_error>

#include "platform/line_reader.h"

namespace oddfw::sim {
namespace {

namespace fs = std::filesystem;

bool IsDirectory(const fs::path& path) {
  std::error_code ec;
  return fs::is_directory(path, ec);
}

// A text file read line by line with the same line splitting as the Windows
// program (LF and CR LF end a line, a long line comes in pieces).
class SimTextFile : public platform::TextFile {
 public:
  SimTextFile(std::FILE* file, FileCounts* counts, std::optional<TextFault> fault)
      : file_(file),
        counts_(counts),
        fault_(std::move(fault)),
        lines_([this](char* buffer, std::size_t room, std::size_t* got, int* cause) {
          *got = std::fread(buffer, 1, room, file_);
          if (std::ferror(file_) != 0) {
            *cause = platform::kCauseHardIo;
            return false;
          }
          return true;
        }) {}
  ~SimTextFile() override {
    std::fclose(file_);
    ++counts_->textCloses;
  }
  SimTextFile(const SimTextFile&) = delete;
  SimTextFile& operator=(const SimTextFile&) = delete;

  Read ReadLine(std::string* line, std::size_t maxChars, int* cause) override {
    line->clear();
    ++reads_;
    if (fault_ && fault_->readLine == reads_) {
      *cause = fault_->readCause;
      return Read::kError;
    }
    return lines_.ReadLine(line, maxChars, cause);
  }

 private:
  std::FILE* file_;
  FileCounts* counts_;
  std::optional<TextFault> fault_;
  int reads_ = 0;
  platform::LineReader lines_;
};

}  // namespace

// What a binary handle points at.
struct SimFiles::OpenBinary {
  std::FILE* file;
  std::optional<BinaryFault> fault;
};

SimFiles::~SimFiles() = default;

void SimFiles::ClearFaults() {
  binaryFaults_.clear();
  textFaults_.clear();
}

const BinaryFault* SimFiles::BinaryFaultFor(const std::string& name) const {
  for (const BinaryFault& f : binaryFaults_) {
    if (f.name.empty() || f.name == name) return &f;
  }
  return nullptr;
}

int SimFiles::CauseOfOpenFailure(const fs::path& path, int error) {
  switch (error) {
    case ENOENT: {
      // A missing folder on the way is a bad path; a missing file is just missing.
      const fs::path parent = path.parent_path();
      return parent.empty() || IsDirectory(parent) ? platform::kCauseFileNotFound
                                                   : platform::kCauseBadPath;
    }
    case ENOTDIR:
    case ENAMETOOLONG:
    case ELOOP:
      return platform::kCauseBadPath;
    case EACCES:
    case EPERM:
    case EISDIR:
    case EROFS:
      return platform::kCauseAccessDenied;
    case EMFILE:
    case ENFILE:
      return platform::kCauseTooManyOpenFiles;
    case EBUSY:
    case ETXTBSY:
      return platform::kCauseSharingViolation;
    case EIO:
      return platform::kCauseHardIo;
    default:
      return platform::kCauseGeneric;
  }
}

platform::Handle SimFiles::OpenForRead(const std::string& name) {
  const BinaryFault* fault = BinaryFaultFor(name);
  if (fault != nullptr && fault->failOpen) return platform::InvalidHandle();
  const fs::path path = dir_ / name;
  if (IsDirectory(path)) return platform::InvalidHandle();
  std::FILE* f = std::fopen(path.string().c_str(), "rb");
  if (f == nullptr) return platform::InvalidHandle();
  ++counts_.binaryOpens;
  auto* open = new OpenBinary{f, std::nullopt};
  if (fault != nullptr) open->fault = *fault;
  return static_cast<platform::Handle>(open);
}

bool SimFiles::GetFileSize(platform::Handle file, uint32_t* size) {
  auto* open = static_cast<OpenBinary*>(file);
  if (open->fault && open->fault->failSize) return false;
  std::FILE* f = open->file;
  const long here = std::ftell(f);
  if (std::fseek(f, 0, SEEK_END) != 0) return false;
  const long end = std::ftell(f);
  std::fseek(f, here, SEEK_SET);
  if (end < 0 || static_cast<uint64_t>(end) > 0xFFFFFFFEu) return false;
  *size = static_cast<uint32_t>(end);
  return true;
}

bool SimFiles::ReadFile(platform::Handle file, uint8_t* buffer, uint32_t bytes,
                        uint32_t* bytesRead) {
  auto* open = static_cast<OpenBinary*>(file);
  *bytesRead = 0;
  if (open->fault && open->fault->failRead) return false;
  if (open->fault && open->fault->readLimit >= 0 && open->fault->readLimit < int64_t{bytes}) {
    bytes = static_cast<uint32_t>(open->fault->readLimit);
  }
  *bytesRead = static_cast<uint32_t>(std::fread(buffer, 1, bytes, open->file));
  return std::ferror(open->file) == 0;
}

void SimFiles::CloseFile(platform::Handle file) {
  auto* open = static_cast<OpenBinary*>(file);
  std::fclose(open->file);
  delete open;
  ++counts_.binaryCloses;
}

int SimFiles::OpenText(const std::string& name, std::unique_ptr<platform::TextFile>* file) {
  std::optional<TextFault> fault;
  for (const TextFault& f : textFaults_) {
    if (f.name.empty() || f.name == name) {
      fault = f;
      break;
    }
  }
  if (fault && fault->openCause != 0) return fault->openCause;
  const fs::path path = dir_ / name;
  if (IsDirectory(path)) return platform::kCauseAccessDenied;
  errno = 0;
  std::FILE* f = std::fopen(path.string().c_str(), "rb");
  if (f == nullptr) return CauseOfOpenFailure(path, errno);
  ++counts_.textOpens;
  *file = std::make_unique<SimTextFile>(f, &counts_, std::move(fault));
  return 0;
}

}  // namespace oddfw::sim
