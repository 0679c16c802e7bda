// Fuzzes the configuration reader: one input is both a single line for Config::parse
// and a whole file for Config::read. Beyond not crashing, every accepted entry must obey
// the line syntax, and a rejected file must leave nothing behind.
#include <unistd.h>

#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "log/config.h"

namespace {

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

void Check(bool condition, const char* what) {
  if (!condition) {
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
  }
}

// On a RAM-backed folder when there is one: the file is rewritten for every input. Made once
// and never destroyed, so the clean-up at exit still finds its name.
const std::string& ScratchFile() {
  static const std::string* path = [] {
    auto* made = new std::string(access("/dev/shm", W_OK) == 0 ? "/dev/shm/kelo-fuzz-config-XXXXXX"
                                                               : "/tmp/kelo-fuzz-config-XXXXXX");
    const int fd = mkstemp(made->data());
    if (fd >= 0) close(fd);
    std::atexit([] { unlink(path->c_str()); });
    return made;
  }();
  return *path;
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

  FILE* file = std::fopen(ScratchFile().c_str(), "wb");
  if (file == nullptr) return 0;
  std::fwrite(data, 1, size, file);
  std::fclose(file);
  Config config;
  const int read = config.read(ScratchFile().c_str());
  Check(read == 0 || read == -1, "read result");
  if (read != 0) Check(config.entries().empty(), "rejected file leaves no entry");
  for (const auto& entry : config.entries()) {
    Check(IsKey(entry.first), "stored key");
    Check(IsValue(entry.second), "stored value");
  }
  return 0;
}
