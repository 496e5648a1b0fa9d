#include "tools/io/safe_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "tools/io/tool_error.h"

namespace halvern::tools {

namespace {

// The process's file-creation mask, read without changing it (umask() would, for every thread).
mode_t current_umask() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("Umask:", 0) == 0)
      return static_cast<mode_t>(std::strtol(line.c_str() + 6, nullptr, 8));
  }
  return 022;
}

// Waits until the data of descriptor fd is on the storage device. A descriptor that cannot be
// synced (a device, a pipe, a file system without the call) is not an error.
bool sync_descriptor(int fd) {
  if (::fsync(fd) == 0) return true;
  return errno == EINVAL || errno == ENOTSUP || errno == EROFS;
}

// Syncs the folder of path, so that a file renamed into it keeps its name after a crash.
bool sync_folder(const std::string& path) {
  const std::filesystem::path target(path);
  const std::string folder = target.has_parent_path() ? target.parent_path().string() : ".";
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool synced = sync_descriptor(fd);
  const int error = errno;
  ::close(fd);
  errno = error;
  return synced;
}

// Creates a new file named pattern with its last six characters made unique, as mkstemp does,
// but tells temporaries the name BEFORE the file exists: a signal that ends the program at any
// moment then finds every file it created in the list (removing a name not yet created is
// harmless). Returns the descriptor, -1 with errno set when it cannot.
int create_temporary(std::string* name, TemporaryFiles* temporaries) {
  static constexpr char LETTERS[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  std::random_device random;
  for (int attempt = 0; attempt < 100; ++attempt) {
    for (size_t k = name->size() - 6; k < name->size(); ++k) {
      (*name)[k] = LETTERS[random() % (sizeof LETTERS - 1)];
    }
    if (temporaries != nullptr) temporaries->add(*name);
    const int fd = ::open(name->c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd >= 0) return fd;
    const int error = errno;
    if (temporaries != nullptr) temporaries->remove(*name);
    errno = error;
    if (error != EEXIST) return -1;
  }
  return -1;
}

}  // namespace

SafeFile::SafeFile(const std::string& path, TemporaryFiles* temporaries)
    : path_(path), temporaries_(temporaries) {
  // A device or a pipe (/dev/null, a FIFO) is written in place: renaming over it would replace
  // it with a plain file.
  struct stat node {};
  if (::stat(path.c_str(), &node) == 0 && !S_ISREG(node.st_mode) && !S_ISDIR(node.st_mode)) {
    file_ = std::fopen(path.c_str(), "wb");
    if (file_ == nullptr) throw ToolError("cannot open " + path + ": " + std::strerror(errno));
    return;
  }
  const std::filesystem::path target(path);
  const std::filesystem::path folder = target.has_parent_path() ? target.parent_path() : ".";
  std::string hidden = ".";
  hidden += target.filename().string();
  hidden += ".partial-XXXXXX";
  std::string name = (folder / hidden).string();
  const int fd = create_temporary(&name, temporaries_);
  if (fd < 0) {
    throw ToolError("cannot create " + path + ": " + std::strerror(errno));
  }
  temporary_ = name;
  // The mode a new file would get, or the mode of the file it replaces.
  struct stat existing {};
  const mode_t mode =
      ::stat(path.c_str(), &existing) == 0 ? (existing.st_mode & 07777) : (0666 & ~current_umask());
  if (fchmod(fd, mode) != 0 || (file_ = fdopen(fd, "wb")) == nullptr) {
    const int error = errno;
    ::close(fd);
    std::remove(temporary_.c_str());
    forget_temporary();
    throw ToolError("cannot create " + path + ": " + std::strerror(error));
  }
}

SafeFile::~SafeFile() { discard(); }

void SafeFile::write(const void* data, size_t n) {
  if (n > 0 && std::fwrite(data, 1, n, file_) != n) {
    throw ToolError("cannot write " + path_ + ": " + std::strerror(errno));
  }
}

void SafeFile::commit() {
  std::FILE* f = file_;
  file_ = nullptr;
  errno = 0;
  // The data reaches the device before the file takes its name: after a crash or a power loss,
  // the final name holds the whole file or the earlier one, never an empty or partial file.
  const bool flushed = std::fflush(f) == 0 && std::ferror(f) == 0 &&
                       (temporary_.empty() || sync_descriptor(fileno(f)));
  const int error = errno;
  const bool closed = std::fclose(f) == 0;
  if (!flushed || !closed) {
    if (!temporary_.empty()) std::remove(temporary_.c_str());
    forget_temporary();
    throw ToolError("cannot write " + path_ + ": " + std::strerror(error != 0 ? error : errno));
  }
  if (temporary_.empty()) return;  // written in place
  if (std::rename(temporary_.c_str(), path_.c_str()) != 0) {
    const int rename_error = errno;
    std::remove(temporary_.c_str());
    forget_temporary();
    throw ToolError("cannot write " + path_ + ": " + std::strerror(rename_error));
  }
  forget_temporary();
  if (!sync_folder(path_)) {
    throw ToolError("cannot write " + path_ +
                    ": its folder could not be synced: " + std::strerror(errno));
  }
}

void SafeFile::forget_temporary() {
  if (temporaries_ != nullptr && !temporary_.empty()) temporaries_->remove(temporary_);
  temporary_.clear();
}

void SafeFile::discard() {
  if (file_ != nullptr) {
    std::fclose(file_);
    file_ = nullptr;
  }
  if (!temporary_.empty()) {
    std::remove(temporary_.c_str());
    forget_temporary();
  }
}

void write_text_file(const std::string& path, const std::string& text,
                     TemporaryFiles* temporaries) {
  SafeFile file(path, temporaries);
  file.write(text.data(), text.size());
  file.commit();
}

void check_output_path(const std::string& path) {
  if (path == "-") return;
  namespace fs = std::filesystem;
  std::error_code error;
  if (fs::is_directory(path, error)) {
    throw ToolError(path + " is a folder: give a file name for the output");
  }
  const fs::path target(path);
  const fs::path folder = target.has_parent_path() ? target.parent_path() : ".";
  if (!fs::exists(folder, error)) {
    throw ToolError("cannot write " + path + ": the folder " + folder.string() +
                    " does not exist; create it first or choose another path");
  }
  if (!fs::is_directory(folder, error)) {
    throw ToolError("cannot write " + path + ": " + folder.string() + " is not a folder");
  }
  if (::access(folder.c_str(), W_OK) != 0) {
    throw ToolError("cannot write " + path + ": the folder " + folder.string() +
                    " cannot be written (" + std::strerror(errno) + ")");
  }
}

}  // namespace halvern::tools
