// Fuzzes the configuration reader: one input is both a single line for Config::parse
// and a whole file for Config::read. Beyond not crashing, every accepted entry must obey
// the line syntax, and a rejected file must leave nothing behind.
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "fuzz/fuzz-support.h"
#include "log/config.h"

namespace {

using kelo_fuzz::Check;

bool IsKey(const std::string& key) {
  for (unsigned char c : key) {
    if (!std::isalnum(c) && c != '-' && c != '_') return false;
  }
  return key.size() <= Config::kMaxPiece;
}

bool IsValue(const std::string& value) {
  for (unsigned char c : value) {
    if (std::iscntrl(c)) return false;
  }
  return value.size() <= Config::kMaxPiece;
}

// Whether some line of `text` that fits the read buffer begins, after white space, with
// the whole of `key`: a stored key must come from such a line, never from the tail of a
// longer one.
bool KeyBeginsAShortLine(const std::string& text, const std::string& key) {
  for (size_t begin = 0; begin < text.size();) {
    const size_t newline = text.find('\n', begin);
    const size_t end = newline == std::string::npos ? text.size() : newline + 1;
    size_t p = begin;
    while (p < end && std::isspace(static_cast<unsigned char>(text[p]))) ++p;
    const size_t after = p + key.size();
    if (end - begin < static_cast<size_t>(Config::kLineBuffer) && after <= end &&
        text.compare(p, key.size(), key) == 0 &&
        (after == end || !IsKey(std::string(1, text[after])))) {
      return true;
    }
    begin = end;
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Config::parse sees a NUL-terminated copy, exactly as Config::read hands it a line.
  std::vector<char> line(data, data + size);
  line.push_back('\0');
  std::string key = "unset";
  std::string value = "unset";
  const int parsed = Config::parse(line.data(), static_cast<int>(size), key, value);
  Check(parsed == Config::kParsedEntry || parsed == Config::kNothing ||
            parsed == Config::kSyntaxError,
        "parse result");
  if (parsed == Config::kParsedEntry) {
    Check(IsKey(key), "parsed key");
    Check(IsValue(value), "parsed value");
  } else {
    Check(key == "unset" && value == "unset", "outputs untouched unless parsed");
  }

  static const std::string scratch = kelo_fuzz::ScratchDir("config") + "/config";
  FILE* file = std::fopen(scratch.c_str(), "wb");
  if (file == nullptr) return 0;
  std::fwrite(data, 1, size, file);
  std::fclose(file);
  Config config;
  const int read = config.read(scratch.c_str());
  Check(read == 0 || read == -1, "read result");
  if (read != 0) Check(config.entries().empty(), "rejected file leaves no entry");
  const std::string text(reinterpret_cast<const char*>(data), size);
  for (const auto& entry : config.entries()) {
    Check(IsKey(entry.first), "stored key");
    Check(KeyBeginsAShortLine(text, entry.first), "stored key begins a line that fits");
    Check(IsValue(entry.second), "stored value");
  }
  return 0;
}
