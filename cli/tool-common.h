// What the tool's commands share: option parsing, messages, path spelling and JSON text.
// Used by the commands that live in units of their own (doctor, watch).
#ifndef KELO_TOOLS_TOOL_COMMON_H_
#define KELO_TOOLS_TOOL_COMMON_H_

#include <string>
#include <string_view>
#include <vector>

namespace kelo {

inline constexpr int kToolExitOk = 0;
inline constexpr int kToolExitFailure = 1;
inline constexpr int kToolExitUsage = 2;

struct ToolOptions {
  std::string home;      // --home DIR, empty when not given
  bool json = false;     // --json
  bool help = false;     // --help or -h
  std::string interval;  // --interval MS, as given; empty when not given
  std::vector<std::string> args;
};

// Parses --home DIR, --json, --help, -h and, when `allow_interval`, --interval MS (each
// option with a value also as --option=VALUE); "--" ends the options. Anything else that
// starts with '-' is a usage error. Returns kToolExitOk, or kToolExitUsage after reporting.
int ParseToolOptions(const std::string& command, const std::vector<std::string>& argv,
                     bool allow_interval, ToolOptions* out);

// Reports a usage error of `command` on standard error; returns kToolExitUsage.
int ToolUsageError(const std::string& command, const std::string& message);
// Reports a failure of `command` on standard error; returns kToolExitFailure.
int ToolFailure(const std::string& command, const std::string& message);

// `path` as the Finder spells it: absolute (from the current folder) and lexically normal.
std::string ToolPath(const std::string& path);

// The home to work on: `home_option` (which must be an existing folder), else the user's.
// Returns kToolExitOk, or kToolExitFailure after reporting.
int ChooseToolHome(const std::string& command, const std::string& home_option, std::string* home);

// `bytes` for people: well-formed UTF-8 is kept, any other byte becomes "\xNN".
std::string Printable(std::string_view bytes);

// A JSON string literal of `text`; bytes that are not UTF-8 become U+FFFD.
std::string JsonString(std::string_view text);

}  // namespace kelo

#endif  // KELO_TOOLS_TOOL_COMMON_H_
