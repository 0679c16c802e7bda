// Text rules the differential fuzz targets' models share, written apart from the code under
// test: whether bytes are well-formed UTF-8 (utf8proc's decoder), and ASCII-only case folding.
#ifndef KELO_FUZZ_MODEL_TEXT_H_
#define KELO_FUZZ_MODEL_TEXT_H_

#include <utf8proc.h>

#include <string>

namespace kelo_fuzz {

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

#endif  // KELO_FUZZ_MODEL_TEXT_H_
