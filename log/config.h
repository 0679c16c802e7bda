// Reader of small key=value configuration files.
//
// The syntax is strict: one rejected line rejects the whole file and leaves the
// configuration empty. A line is, in order of testing:
//   - empty, white space only, or a comment ("#" first)    -> ignored
//   - a bare key followed by "#" or the end of the text      -> ignored
//   - key [ws] = [ws] value [ws] [# comment]                 -> stored
//   - anything else                                          -> syntax error
// Keys are runs of letters, digits, "-" and "_" (possibly empty). A value is either
// unquoted (up to the first blank or control character) or enclosed in matching
// single or double quotes (no control character inside). Keys and values are at most
// 1023 bytes; a longer one is a syntax error. A line longer than kLineBuffer - 1 bytes
// (its newline included) is still one line: a comment or white space only is ignored,
// anything else is a syntax error.
//
//   Config conf;
//   if (conf.read("/etc/app.debug") == 0) int level = conf.get_int("fstat_db_debug");
//
// A Config object is not thread-safe; the static parse() is.
#ifndef KELO_LOG_CONFIG_H_
#define KELO_LOG_CONFIG_H_

#include <cstddef>
#include <map>
#include <string>

class Config {
 public:
  // parse() results.
  static constexpr int kParsedEntry = 0;
  static constexpr int kNothing = 1;
  static constexpr int kSyntaxError = 2;

  // Longest key or value, in bytes (they pass through a 1024-byte buffer).
  static constexpr size_t kMaxPiece = 1023;
  // Lines are read into a buffer of this size; a longer line is refused unless it holds
  // nothing (see above).
  static constexpr int kLineBuffer = 8192;

  // Reads the file at path, storing every key=value line (a later line replaces an
  // earlier value of the same key). Returns 0 when the file was read to its end; -1
  // for a null path, a file that cannot be opened or is not a regular file (map
  // unchanged; a FIFO or a device is refused without blocking), or when a line was
  // rejected (map emptied).
  [[nodiscard]] int read(const char* path);

  // Parses one NUL-terminated line, writing terminators into it. On kParsedEntry the
  // key and value are stored into the two strings; otherwise they are left alone.
  // `length` is informational: the parse stops at the terminating zero.
  [[nodiscard]] static int parse(char* line, int length, std::string& key, std::string& value);

  // The value of key read as a decimal integer by stream extraction (leading blanks,
  // optional sign, digits up to the first other character); 0 when it does not begin
  // with a number. An absent key is entered with an empty value.
  int get_int(const std::string& key);

  // Clears all `size` bytes of dst, then copies src with its terminator unchanged (null copies
  // nothing); at most size - 1 bytes are copied, so dst is always terminated. Returns dst.
  static char* mbstowcsIfNeed(char* dst, const char* src, size_t size);

  const std::map<std::string, std::string>& entries() const { return m_conf; }

 private:
  std::map<std::string, std::string> m_conf;
};

#endif  // KELO_LOG_CONFIG_H_
