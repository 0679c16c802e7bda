// What the fuzz targets share: their failure report, a scratch folder, the split of the
// differential targets' inputs, and the text rules their models use, written apart from the
// code under test (well-formed UTF-8 by utf8proc's decoder, ASCII-only case folding).
#ifndef KELO_FUZZ_FUZZ_SUPPORT_H_
#define KELO_FUZZ_FUZZ_SUPPORT_H_

#include <unistd.h>
#include <utf8proc.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace kelo_fuzz {

inline void Check(bool condition, const char* what, const std::string& path = "") {
  if (condition) return;
  std::fprintf(stderr, "invariant broken%s%s%s: %s\n", path.empty() ? "" : " for path '",
               path.c_str(), path.empty() ? "" : "'", what);
  std::abort();
}

// A folder of its own for `name`, on a RAM-backed file system when there is one: targets
// rewrite their files for every input. Made once, removed at exit.
inline const std::string& ScratchDir(const char* name) {
  static const std::string* dir = [name] {
    auto* made = new std::string(access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp");
    *made += std::string("/kelo-fuzz-") + name + "-XXXXXX";
    if (mkdtemp(made->data()) == nullptr) std::abort();
    std::atexit([] { std::filesystem::remove_all(*dir); });
    return made;
  }();
  return *dir;
}

// The input of a differential target: byte 0 for options, then the path asked for and one
// piece per row, split at '\n' (empty pieces left out). False for an empty input.
struct Input {
  uint8_t options = 0;
  std::string path;
  std::vector<std::string_view> pieces;
};

inline bool Split(const uint8_t* data, size_t size, Input* input) {
  if (size < 1) return false;
  input->options = data[0];
  const std::string_view text(reinterpret_cast<const char*>(data) + 1, size - 1);
  size_t end = std::min(text.find('\n'), text.size());
  input->path = std::string(text.substr(0, end));
  for (size_t start = end + 1; end < text.size(); start = end + 1) {
    end = std::min(text.find('\n', start), text.size());
    if (end > start) input->pieces.push_back(text.substr(start, end - start));
  }
  return true;
}

inline bool WellFormed(const std::string& text) {
  const auto* p = reinterpret_cast<const utf8proc_uint8_t*>(text.data());
  for (utf8proc_ssize_t left = static_cast<utf8proc_ssize_t>(text.size()); left > 0;) {
    utf8proc_int32_t code_point;
    const utf8proc_ssize_t n = utf8proc_iterate(p, left, &code_point);
    if (n <= 0) return false;
    p += n;
    left -= n;
  }
  return true;
}

inline char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

}  // namespace kelo_fuzz

#endif  // KELO_FUZZ_FUZZ_SUPPORT_H_
