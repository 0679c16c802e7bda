// A temporary directory for one test, removed with everything in it on destruction.
#ifndef KELO_TESTS_SUPPORT_TEMP_DIR_H_
#define KELO_TESTS_SUPPORT_TEMP_DIR_H_

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>

namespace kelo_test {

class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "kelo-test-XXXXXX").string();
    path_ = ::mkdtemp(pattern.data()) != nullptr ? pattern : std::string();
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// The whole file; empty when it is not a regular file that can be read. Plain system calls:
// the resolution fuzz target reads its databases back once per input.
inline std::string ReadFile(const std::string& path) {
  std::string bytes;
  const int fd = ::open(path.c_str(), O_RDONLY);
  struct stat st;
  if (fd >= 0 && ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
    bytes.resize(static_cast<size_t>(st.st_size));
    size_t got = 0;
    while (got < bytes.size()) {
      const ssize_t n = ::read(fd, bytes.data() + got, bytes.size() - got);
      if (n <= 0) break;
      got += static_cast<size_t>(n);
    }
    bytes.resize(got);
  }
  if (fd >= 0) ::close(fd);
  return bytes;
}

// Replaces the file's bytes with `bytes`; false when they were not all written.
inline bool WriteFile(const std::string& path, const std::string& bytes) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) return false;
  const bool written =
      ::write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
  return ::close(fd) == 0 && written;
}

// Every regular file below `dir` with its bytes, leaving out the -wal and -shm companions that
// SQLite itself may make for a WAL database.
inline std::map<std::string, std::string> Snapshot(const std::string& dir) {
  std::map<std::string, std::string> files;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(dir)) {
    const std::string path = entry.path().string();
    const std::string tail = path.size() >= 4 ? path.substr(path.size() - 4) : "";
    if (entry.is_regular_file() && tail != "-wal" && tail != "-shm") files[path] = ReadFile(path);
  }
  return files;
}

}  // namespace kelo_test

#endif  // KELO_TESTS_SUPPORT_TEMP_DIR_H_
