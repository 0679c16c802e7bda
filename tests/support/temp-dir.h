// A temporary directory for one test, removed with everything in it on destruction.
#ifndef KELO_TESTS_SUPPORT_TEMP_DIR_H_
#define KELO_TESTS_SUPPORT_TEMP_DIR_H_

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
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

// The whole file; empty when it cannot be read.
inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

inline void WriteFile(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
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
