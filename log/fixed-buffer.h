// The one copy behind every class's wcstombsIfNeed and mbstowcsIfNeed: values pass through
// zero-filled fixed buffers whose size is their length limit. Strings are UTF-8 bytes on both
// sides, so nothing is converted.
#ifndef KELO_LOG_FIXED_BUFFER_H_
#define KELO_LOG_FIXED_BUFFER_H_

#include <cstddef>
#include <cstring>

namespace kelo {

// Clears the `size` bytes of `dst`, then copies `src` up to its first NUL (a null `src` copies
// nothing) into it, at most size - 1 bytes, so `dst` stays terminated. Returns the length of
// `src`: a result of `size` or more means that it did not fit. Nothing is written when `size`
// is 0.
inline size_t CopyToZeroedBuffer(char* dst, const char* src, size_t size) {
  const size_t length = src != nullptr ? std::strlen(src) : 0;
  if (dst == nullptr || size == 0) return length;
  std::memset(dst, 0, size);
  std::memcpy(dst, src != nullptr ? src : "", length < size ? length : size - 1);
  return length;
}

}  // namespace kelo

#endif  // KELO_LOG_FIXED_BUFFER_H_
