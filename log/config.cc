#include "log/config.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <memory>
#include <sstream>

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

}  // namespace

int Config::read(const char* path) {
  if (path == nullptr) return -1;
  std::unique_ptr<FILE, FileCloser> file(std::fopen(path, "r"));
  if (!file) return -1;

  char line[kLineBuffer];
  while (std::fgets(line, sizeof(line), file.get()) != nullptr) {
    std::string key;
    std::string value;
    switch (parse(line, static_cast<int>(std::strlen(line)), key, value)) {
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
  return 0;
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
  if (size == 0) return dst;
  std::memset(dst, 0, size);
  std::memcpy(dst, src, std::min(std::strlen(src), size - 1));
  return dst;
}
