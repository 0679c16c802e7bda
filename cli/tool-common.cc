#include "cli/tool-common.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <iostream>

#include "cli/lexical-path.h"
#include "iconoverlay/badge-resolver.h"
#include "iconoverlay/linux-platform.h"

namespace kelo {
namespace {

const char kProgram[] = "kelo-overlay";

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
                     unsigned allowed, ToolOptions* out) {
  static const struct {
    const char* name;
    ToolOption bit;
    bool ToolOptions::*flag;
  } kFlags[] = {{"--json", kToolOptJson, &ToolOptions::json},
                {"--explain", kToolOptExplain, &ToolOptions::explain},
                {"--folder", kToolOptFolder, &ToolOptions::folder}};
  static const struct {
    const char* name;
    ToolOption bit;
    std::string ToolOptions::*value;
    const char* what;
  } kValues[] = {
      {"--home", kToolOptHome, &ToolOptions::home, "a folder"},
      {"--interval", kToolOptInterval, &ToolOptions::interval, "a number of milliseconds"}};
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
    bool known = false;
    for (const auto& flag : kFlags) {
      if ((allowed & flag.bit) != 0 && arg == flag.name) {
        out->*flag.flag = true;
        known = true;
      }
    }
    for (const auto& option : kValues) {
      const std::string name = option.name;
      if (known || (allowed & option.bit) == 0 || (arg != name && arg.rfind(name + "=", 0) != 0)) {
        continue;
      }
      std::string& value = out->*option.value;
      if (arg == name) {
        if (i + 1 >= argv.size()) return ToolUsageError(command, name + " needs " + option.what);
        value = argv[++i];
      } else {
        value = arg.substr(name.size() + 1);
      }
      if (value.empty()) return ToolUsageError(command, name + " needs " + option.what);
      known = true;
    }
    if (!known) return ToolUsageError(command, "unknown option '" + arg + "'");
  }
  return kToolExitOk;
}

int ToolUsageError(const std::string& command, const std::string& message) {
  const std::string who = command.empty() ? kProgram : std::string(kProgram) + " " + command;
  std::cerr << who << ": " << message << "\n"
            << "Try '" << who << " --help'.\n";
  return kToolExitUsage;
}

int ToolFailure(const std::string& command, const std::string& message) {
  std::cerr << kProgram << (command.empty() ? "" : " " + command) << ": " << message << "\n";
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
    char32_t code_point;
    const size_t n = DecodeUtf8(bytes.substr(i), &code_point);
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
      char32_t code_point;
      const size_t n = DecodeUtf8(text.substr(i), &code_point);
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
