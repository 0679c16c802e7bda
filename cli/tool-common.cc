#include "cli/tool-common.h"

#include <sys/stat.h>
#include <unistd.h>
#include <utf8proc.h>

#include <cerrno>
#include <cstdio>
#include <iostream>

#include "cli/lexical-path.h"
#include "iconoverlay/linux-platform.h"

namespace kelo {
namespace {

const char kProgram[] = "kelo-overlay";

// Length of the well-formed UTF-8 character at the start of `bytes`, or 0.
size_t Utf8CharLength(std::string_view bytes) {
  utf8proc_int32_t cp;
  const utf8proc_ssize_t n =
      utf8proc_iterate(reinterpret_cast<const utf8proc_uint8_t*>(bytes.data()),
                       static_cast<utf8proc_ssize_t>(bytes.size()), &cp);
  return n > 0 ? static_cast<size_t>(n) : 0;
}

std::string CurrentFolder() {
  std::vector<char> buffer(4096);
  while (getcwd(buffer.data(), buffer.size()) == nullptr) {
    if (errno != ERANGE) return "";
    buffer.resize(buffer.size() * 2);
  }
  return buffer.data();
}

}  // namespace

int ParseToolOptions(const std::string& command, const std::vector<std::string>& argv,
                     bool allow_interval, ToolOptions* out) {
  bool options_done = false;
  for (size_t i = 0; i < argv.size(); ++i) {
    const std::string& arg = argv[i];
    if (options_done || arg.size() < 2 || arg[0] != '-') {
      out->args.push_back(arg);
      continue;
    }
    if (arg == "--") {
      options_done = true;
      continue;
    }
    if (arg == "--help" || arg == "-h") {
      out->help = true;
      continue;
    }
    if (arg == "--json") {
      out->json = true;
      continue;
    }
    std::string* value = nullptr;
    std::string name;
    for (const char* option : {"--home", "--interval"}) {
      const std::string prefix = std::string(option) + "=";
      if (arg == option || arg.rfind(prefix, 0) == 0) name = option;
    }
    if (name == "--home") value = &out->home;
    if (name == "--interval" && allow_interval) value = &out->interval;
    if (value == nullptr) return ToolUsageError(command, "unknown option '" + arg + "'");
    const std::string what = name == "--home" ? "a folder" : "a number of milliseconds";
    if (arg == name) {
      if (i + 1 >= argv.size()) return ToolUsageError(command, name + " needs " + what);
      *value = argv[++i];
    } else {
      *value = arg.substr(name.size() + 1);
    }
    if (value->empty()) return ToolUsageError(command, name + " needs " + what);
  }
  return kToolExitOk;
}

int ToolUsageError(const std::string& command, const std::string& message) {
  std::cerr << kProgram << " " << command << ": " << message << "\n"
            << "Try '" << kProgram << " " << command << " --help'.\n";
  return kToolExitUsage;
}

int ToolFailure(const std::string& command, const std::string& message) {
  std::cerr << kProgram << " " << command << ": " << message << "\n";
  return kToolExitFailure;
}

std::string ToolPath(const std::string& path) { return AbsoluteLexicalPath(path, CurrentFolder()); }

int ChooseToolHome(const std::string& command, const std::string& home_option, std::string* home) {
  if (!home_option.empty()) {
    *home = ToolPath(home_option);
    struct stat st;
    if (stat(home->c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
      return ToolFailure(command, "home folder '" + home_option + "' does not exist");
    }
    return kToolExitOk;
  }
  *home = LinuxOverlayPlatform::UserHomeDirectory();
  if (home->empty()) {
    return ToolFailure(command, "cannot tell the home directory; set HOME or give --home DIR");
  }
  return kToolExitOk;
}

std::string Printable(std::string_view bytes) {
  std::string out;
  size_t i = 0;
  while (i < bytes.size()) {
    const size_t n = Utf8CharLength(bytes.substr(i));
    if (n == 0 || (n == 1 && static_cast<unsigned char>(bytes[i]) < 0x20)) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02X", static_cast<unsigned char>(bytes[i]));
      out += escaped;
      ++i;
    } else {
      out.append(bytes.substr(i, n));
      i += n;
    }
  }
  return out;
}

std::string JsonString(std::string_view text) {
  std::string out = "\"";
  size_t i = 0;
  while (i < text.size()) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
      ++i;
    } else if (c < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
      out += escaped;
      ++i;
    } else {
      const size_t n = c < 0x80 ? 1 : Utf8CharLength(text.substr(i));
      if (n == 0) {
        out += "\xEF\xBF\xBD";
        ++i;
      } else {
        out.append(text.substr(i, n));
        i += n;
      }
    }
  }
  return out + "\"";
}

}  // namespace kelo
