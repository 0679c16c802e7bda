// What the tool's commands share: exit codes, option parsing, messages, path spelling and
// text for people and for JSON. Every command parses and reports through these.
#ifndef KELO_TOOLS_TOOL_COMMON_H_
#define KELO_TOOLS_TOOL_COMMON_H_

#include <string>
#include <string_view>
#include <vector>

namespace kelo {

inline constexpr int kToolExitOk = 0;
inline constexpr int kToolExitFailure = 1;
inline constexpr int kToolExitUsage = 2;

// The options a command may accept besides --help, -h and "--".
enum ToolOption : unsigned {
  kToolOptHome = 1u << 0,      // --home DIR
  kToolOptJson = 1u << 1,      // --json
  kToolOptExplain = 1u << 2,   // --explain
  kToolOptFolder = 1u << 3,    // --folder
  kToolOptInterval = 1u << 4,  // --interval MS
};

struct ToolOptions {
  std::string home;      // --home DIR, empty when not given
  bool json = false;     // --json
  bool explain = false;  // --explain
  bool folder = false;   // --folder
  bool help = false;     // --help or -h
  std::string interval;  // --interval MS, as given; empty when not given
  std::vector<std::string> args;
};

// Parses the options in `allowed` (a set of ToolOption bits), --help and -h; an option with a
// value also as --option=VALUE, and "--" ends the options. Anything else that starts with '-'
// is a usage error. Returns kToolExitOk, or kToolExitUsage after reporting.
int ParseToolOptions(const std::string& command, const std::vector<std::string>& argv,
                     unsigned allowed, ToolOptions* out);

// Reports a usage error of `command` (empty: of the tool itself) on standard error; returns
// kToolExitUsage.
int ToolUsageError(const std::string& command, const std::string& message);
// Reports a failure of `command` (empty: of the tool itself) on standard error; returns
// kToolExitFailure.
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
