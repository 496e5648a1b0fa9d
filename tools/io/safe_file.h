// An output file written under a temporary name beside its final path and renamed over it only
// when complete, so that a failed run leaves no half-written file and never truncates the file
// it would replace. The temporary file is removed when the object goes without commit().
// commit() syncs the file before the rename and the folder after it: once it returns, a crash or
// a power loss leaves the whole file under its name.
#pragma once

#include <cstdio>
#include <string>

namespace halvern::tools {

// What the program keeps of the temporary files it has open, so that it can remove them when it
// is stopped by a signal (the program's handler, not the library, does the removal). A SafeFile
// tells it the temporary name as soon as the file exists and again once the name is gone.
class TemporaryFiles {
 public:
  virtual ~TemporaryFiles() = default;
  virtual void add(const std::string& path) = 0;
  virtual void remove(const std::string& path) = 0;
};

class SafeFile {
 public:
  // Creates the temporary file (told to temporaries, when given); throws ToolError naming path
  // when it cannot.
  explicit SafeFile(const std::string& path, TemporaryFiles* temporaries = nullptr);
  ~SafeFile();
  SafeFile(const SafeFile&) = delete;
  SafeFile& operator=(const SafeFile&) = delete;

  std::FILE* file() const { return file_; }
  const std::string& path() const { return path_; }
  // Writes n bytes; throws ToolError on a failed write.
  void write(const void* data, size_t n);
  // Flushes, syncs and closes the file, checking each, gives it its final name and syncs its
  // folder. Throws ToolError.
  void commit();
  // Closes and removes the temporary file (what the destructor does when not committed); for a
  // caller that wrote through the descriptor (libsndfile) and closed it itself, detach first.
  void discard();

 private:
  // Removes the temporary name from temporaries_ and clears it (renamed or removed).
  void forget_temporary();

  std::string path_;
  std::string temporary_;
  std::FILE* file_ = nullptr;
  TemporaryFiles* temporaries_ = nullptr;
};

// The whole of text to path through a SafeFile.
void write_text_file(const std::string& path, const std::string& text,
                     TemporaryFiles* temporaries = nullptr);

// Throws ToolError, before any work, when path cannot be an output file: its folder is missing,
// is no folder or cannot be written, or path is a folder. "-" (standard output) always can.
void check_output_path(const std::string& path);

}  // namespace halvern::tools
