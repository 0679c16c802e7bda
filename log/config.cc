#include "log/config.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <memory>
#include <sstream>

#include "log/fixed-buffer.h"

namespace {

bool IsSpace(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }
bool IsControl(char c) { return std::iscntrl(static_cast<unsigned char>(c)) != 0; }
bool IsWordChar(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '-' || c == '_';
}

char* SkipSpace(char* p) {
  while (IsSpace(*p)) ++p;
  return p;
}

struct FileCloser {
  void operator()(FILE* f) const { std::fclose(f); }
};

enum class LineRead {
  kEnd,        // nothing left to read
  kLine,       // a whole line, newline included, is in the buffer
  kLongBlank,  // a line too long for the buffer holding only white space or a comment
  kLongOther,  // any other line too long for the buffer
};

// Reads the next line into `line`, NUL-terminated. A line (its newline included) longer
// than the buffer's kLineBuffer - 1 bytes is still one line: it is read to its end and
// only classed (a comment or white space holds nothing, anything else is refused), so its
// tail is never parsed as a line of its own.
LineRead ReadLine(FILE* file, char (&line)[Config::kLineBuffer]) {
  size_t stored = 0;
  int c = EOF;
  while (stored + 1 < sizeof(line) && (c = std::getc(file)) != EOF) {
    line[stored++] = static_cast<char>(c);
    if (c == '\n') break;
  }
  line[stored] = '\0';
  if (stored == 0) return LineRead::kEnd;
  if (c == '\n' || (c = std::getc(file)) == EOF) return LineRead::kLine;

  // Too long. Its first character that is not white space decides what it is; the bytes
  // kept in the buffer may all be blanks, so the rest of the line can still decide.
  int first = EOF;
  for (size_t i = 0; i < stored && first == EOF; ++i) {
    if (!IsSpace(line[i])) first = static_cast<unsigned char>(line[i]);
  }
  for (; c != EOF && c != '\n'; c = std::getc(file)) {
    if (first == EOF && !IsSpace(static_cast<char>(c))) first = c;
  }
  return first == EOF || first == '#' ? LineRead::kLongBlank : LineRead::kLongOther;
}

}  // namespace

int Config::read(const char* path) {
  if (path == nullptr) return -1;
  // Only a regular file is read. Opening without blocking keeps a FIFO without a writer
  // (or a device) from holding the caller in open() for ever, and the type is taken from
  // the descriptor itself, so a name swapped between a check and the open cannot slip by.
  const int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return -1;
  struct stat info;
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    close(fd);
    return -1;
  }
  std::unique_ptr<FILE, FileCloser> file(fdopen(fd, "r"));
  if (!file) {
    close(fd);
    return -1;
  }

  char line[kLineBuffer];
  for (;;) {
    const LineRead got = ReadLine(file.get(), line);
    if (got == LineRead::kEnd) return 0;
    std::string key;
    std::string value;
    const int result = got == LineRead::kLine
                           ? parse(line, static_cast<int>(std::strlen(line)), key, value)
                       : got == LineRead::kLongBlank ? kNothing
                                                     : kSyntaxError;
    switch (result) {
      case kParsedEntry:
        m_conf[key] = value;
        break;
      case kNothing:
        break;
      default:
        m_conf.clear();
        return -1;
    }
  }
}

int Config::parse(char* line, int /*length*/, std::string& key, std::string& value) {
  char* key_begin = SkipSpace(line);
  char* p = key_begin;
  while (IsWordChar(*p)) ++p;
  char* key_end = p;
  if (*p == '#' || *p == '\0') return kNothing;

  p = SkipSpace(p);
  if (*p != '=') return kSyntaxError;
  p = SkipSpace(p + 1);
  if (*p == '\0') return kSyntaxError;

  const char quote = (*p == '"' || *p == '\'') ? *p : '\0';
  if (quote != '\0') ++p;
  const char end_char = quote != '\0' ? quote : ' ';
  char* value_begin = p;
  while (!IsControl(*p) && *p != end_char) ++p;
  char* value_end = p;
  if (quote != '\0') {
    if (*p != quote) return kSyntaxError;
    ++p;
  }
  p = SkipSpace(p);
  if (*p != '\0' && *p != '#') return kSyntaxError;

  // Both pieces pass through a fixed buffer; a piece that does not fit is refused
  // rather than cut, so a long line can never change another component's entry.
  if (static_cast<size_t>(key_end - key_begin) > kMaxPiece ||
      static_cast<size_t>(value_end - value_begin) > kMaxPiece) {
    return kSyntaxError;
  }
  *key_end = '\0';
  *value_end = '\0';
  char buffer[kMaxPiece + 1];
  key = mbstowcsIfNeed(buffer, key_begin, sizeof(buffer));
  value = mbstowcsIfNeed(buffer, value_begin, sizeof(buffer));
  return kParsedEntry;
}

int Config::get_int(const std::string& key) {
  std::istringstream stream(m_conf[key]);
  int result = 0;
  stream >> result;
  return result;
}

char* Config::mbstowcsIfNeed(char* dst, const char* src, size_t size) {
  kelo::CopyToZeroedBuffer(dst, src, size);
  return dst;
}
