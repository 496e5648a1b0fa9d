// An output file written under a temporary name beside its final path and renamed over it only
// when complete, so that a failed run leaves no half-written file and never truncates the file
// it would replace. The temporary file is removed when the object goes without commit().
// commit() syncs the file before the rename and the folder after it: once it returns, a crash or
// a power loss leaves the whole file under its name.
#pragma once

#include <cstdio>
#include <string>

namespace halvern::tools {

class SafeFile {
 public:
  // Creates the temporary file; throws ToolError naming path when it cannot.
  explicit SafeFile(const std::string& path);
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
  std::string path_;
  std::string temporary_;
  std::FILE* file_ = nullptr;
};

// The whole of text to path through a SafeFile.
void write_text_file(const std::string& path, const std::string& text);

}  // namespace halvern::tools
