// Test helper: a private directory under $TMPDIR (or /tmp), removed with its
// contents at the end of the test.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace kestrun::testplugins {

class TempDir {
 public:
  TempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern =
        std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/kesgp-test-XXXXXX";
    if (mkdtemp(pattern.data()) != nullptr) path_ = pattern;
  }
  ~TempDir() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }

  // Writes `text` to `name` (replacing it) and returns the file's path.
  std::string Write(const std::string& name, const std::string& text) const {
    std::ofstream(File(name), std::ios::binary | std::ios::trunc) << text;
    return File(name);
  }

 private:
  std::string path_;
};

// Sets a file's modification time to `seconds` after the epoch.
inline bool SetModified(const std::string& path, time_t seconds) {
  const timespec times[2] = {{seconds, 0}, {seconds, 0}};
  return utimensat(AT_FDCWD, path.c_str(), times, 0) == 0;
}

}  // namespace kestrun::testplugins
