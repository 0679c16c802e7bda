// kelo-overlay: the badge resolution of the Finder plug-in, on the command line.
//
// Resolves paths through exactly the code the plug-in runs (iconoverlay/badge-resolver.h)
// against a home directory's client databases, explains each step, builds a sample home,
// lists sessions and records states by hand. Exit status: 0 success, 1 failure, 2 usage.
#include <sys/stat.h>
#include <unistd.h>
#include <utf8proc.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <list>
#include <sstream>
#include <string>
#include <vector>

#include "cli/demo-home.h"
#include "cli/doctor.h"
#include "cli/tool-common.h"
#include "cli/watch.h"
#include "db/file-status-db/file-status-db.h"
#include "db/reader-mode/reader-mode.h"
#include "db/system-db/system-db.h"
#include "iconoverlay/badge-resolver.h"
#include "iconoverlay/linux-platform.h"
#include "log/log.h"

namespace kelo {
namespace {

const char kProgram[] = "kelo-overlay";

const char kMainUsage[] =
    "usage: kelo-overlay [--log-config FILE] COMMAND [OPTIONS] [ARGS]\n"
    "\n"
    "Shows which sync badge the Finder plug-in draws on a file, and why.\n"
    "\n"
    "commands that only read, as the Finder does (nothing is created or changed):\n"
    "  status PATH...           the badge each path gets (--explain: every step)\n"
    "  sessions                 the synchronised folders of the system database\n"
    "  doctor                   check the whole set-up: why badges are missing or wrong\n"
    "  watch PATH...            show the badges of paths live, each change as it comes\n"
    "\n"
    "commands that write, as the sync client does:\n"
    "  demo [DIR]               build a sample home directory and show its badges\n"
    "  set-state PATH STATE     record a sync state for a path\n"
    "  reset-syncing PATH       turn the syncing entries of PATH's session into synced\n"
    "\n"
    "  --log-config FILE        set the logger's thresholds from a key=value file\n"
    "                           (e.g. \"system_db_debug=7\"); log lines go to stderr\n"
    "\n"
    "Run 'kelo-overlay COMMAND --help' for the options of a command.\n";

const char kStatusUsage[] =
    "usage: kelo-overlay status [--home DIR] [--explain] [--json] PATH...\n"
    "\n"
    "Prints the badge (synced, syncing, unsupported or none) and the sync state code\n"
    "that the Finder plug-in would show for each PATH; nothing on disk is changed.\n"
    "Each PATH is spelt as the Finder spells it: relative paths are taken from the\n"
    "current folder, repeated slashes, '.' components and a trailing slash are dropped\n"
    "and '..' removes the component before it (symbolic links are not followed).\n"
    "\n"
    "  --home DIR   resolve against the client databases under DIR/.Tarnvale\n"
    "               (default: your home directory)\n"
    "  --explain    print every step: databases, session, entry, folder rule\n"
    "  --json       print a JSON array, one object per path\n";

const char kDemoUsage[] =
    "usage: kelo-overlay demo [--json] [DIR]\n"
    "\n"
    "Makes DIR (default: a new temporary folder) a sample home directory as the\n"
    "desktop client would: a server connection, five synchronised folders in\n"
    "different states, their file status databases and real files, some with\n"
    "non-ASCII and decomposed names. Then prints the badge of every sample path and\n"
    "the status command to try next. DIR must not hold a .Tarnvale folder yet.\n"
    "\n"
    "  --json       print the home and the sample badges as JSON\n";

const char kSessionsUsage[] =
    "usage: kelo-overlay sessions [--home DIR] [--json]\n"
    "\n"
    "Lists the sessions (synchronised folders) of the system database: id, share,\n"
    "session, status, enabled and folder. Badges show for status 10 and 11 only.\n"
    "The database is only read, as it is: nothing is created or written.\n"
    "\n"
    "  --home DIR   read DIR/.Tarnvale/db/sys.sqlite (default: your home directory)\n"
    "  --json       print a JSON array\n";

const char kSetStateUsage[] =
    "usage: kelo-overlay set-state [--home DIR] [--folder] PATH STATE\n"
    "\n"
    "Records STATE for PATH in the file status database of the session that holds\n"
    "PATH, as the desktop client would (the path is stored in Unicode form C, and\n"
    "spelt as status spells it: absolute, without '.', '..' or a trailing slash).\n"
    "The database is created if the session has none yet.\n"
    "\n"
    "  STATE        none, synced, syncing, unsupported, or a number\n"
    "  --folder     record PATH as a folder (file type 1)\n"
    "  --home DIR   use the client databases under DIR (default: your home)\n";

const char kResetUsage[] =
    "usage: kelo-overlay reset-syncing [--home DIR] PATH\n"
    "\n"
    "Turns every syncing entry of the file status database of the session that holds\n"
    "PATH (any path inside its folder, spelt as for status) into synced.\n"
    "\n"
    "  --home DIR   use the client databases under DIR (default: your home)\n";

// `text` as one shell word: unchanged when it holds only characters no shell interprets.
std::string ShellQuote(const std::string& text) {
  static const char kSafe[] =
      "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_/.,:@%+=-";
  if (!text.empty() && text.find_first_not_of(kSafe) == std::string::npos) return text;
  std::string out = "'";
  for (char c : text) {
    if (c == '\'') {
      out += "'\\''";
    } else {
      out += c;
    }
  }
  return out + "'";
}

// Columns a terminal gives `text` (combining marks take none, wide characters two).
size_t DisplayWidth(const std::string& text) {
  size_t width = 0;
  for (size_t i = 0, n; i < text.size(); i += n) {
    char32_t cp;
    n = DecodeUtf8(std::string_view(text).substr(i), &cp);
    if (n == 0) {
      ++width;
      n = 1;
    } else {
      width +=
          static_cast<size_t>(std::max(0, utf8proc_charwidth(static_cast<utf8proc_int32_t>(cp))));
    }
  }
  return width;
}

std::string Pad(const std::string& text, size_t width) {
  size_t used = DisplayWidth(text);
  return used >= width ? text + " " : text + std::string(width - used, ' ');
}

struct PathReport {
  std::string path;
  OverlayBadge result;
  Explanation steps;
};

PathReport Resolve(LinuxOverlayPlatform& platform, const std::string& path) {
  PathReport report;
  report.path = path;
  // A path that is not UTF-8 has no UTF-8 form; the plug-in's host would give none.
  const char* utf8 = IsValidUtf8(path) ? path.c_str() : nullptr;
  report.result = ResolveOverlayBadge(platform, utf8, &report.steps);
  return report;
}

const char* BadgeName(const OverlayBadge& result) {
  return result.badge != nullptr ? result.badge->badge : "none";
}

std::string ReportJson(const PathReport& report, bool with_steps, const std::string& indent) {
  std::ostringstream out;
  out << indent << "{\"path\": " << JsonString(report.path)
      << ", \"badge\": " << JsonString(BadgeName(report.result))
      << ", \"state\": " << report.result.code << ", \"image\": "
      << (report.result.badge != nullptr ? JsonString(report.result.badge->image_name) : "null");
  if (with_steps) {
    out << ",\n" << indent << " \"steps\": [";
    for (size_t i = 0; i < report.steps.size(); ++i) {
      out << (i ? ",\n" : "\n") << indent << "   {\"step\": " << JsonString(report.steps[i].step)
          << ", \"result\": " << report.steps[i].result
          << ", \"detail\": " << JsonString(report.steps[i].detail) << "}";
    }
    out << "]";
  }
  out << "}";
  return out.str();
}

void PrintSteps(const Explanation& steps) {
  for (const ExplainStep& step : steps) {
    std::cout << "    " << Pad(step.step + ":", 16) << step.detail << "\n";
  }
}

int RunStatus(const std::vector<std::string>& argv) {
  ToolOptions options;
  if (int rc = ParseToolOptions("status", argv, kToolOptHome | kToolOptExplain | kToolOptJson,
                                &options)) {
    return rc;
  }
  if (options.help) {
    std::cout << kStatusUsage;
    return kToolExitOk;
  }
  if (options.args.empty()) return ToolUsageError("status", "no PATH given");
  std::string home;
  if (int rc = ChooseToolHome("status", options.home, &home)) return rc;

  // The Finder's role: read-only, nothing created, short waits for locks.
  ScopedDbRole reading(DbRole::kReader);
  LinuxOverlayPlatform platform(home);
  std::vector<PathReport> reports;
  for (const std::string& path : options.args) reports.push_back(Resolve(platform, ToolPath(path)));

  if (options.json) {
    std::cout << "[";
    for (size_t i = 0; i < reports.size(); ++i) {
      std::cout << (i ? ",\n" : "\n") << ReportJson(reports[i], options.explain, "  ");
    }
    std::cout << "\n]\n";
    return kToolExitOk;
  }
  std::cout << Pad("BADGE", 13) << Pad("STATE", 7) << "PATH\n";
  for (const PathReport& report : reports) {
    std::cout << Pad(BadgeName(report.result), 13) << Pad(std::to_string(report.result.code), 7)
              << report.path << "\n";
    if (options.explain) PrintSteps(report.steps);
  }
  return kToolExitOk;
}

std::string MakeTemporaryHome(std::string* error) {
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/kelo-demo-XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (mkdtemp(buffer.data()) == nullptr) {
    *error = "cannot create a temporary folder from '" + pattern + "': " + std::strerror(errno);
    return "";
  }
  return buffer.data();
}

std::string RelativeTo(const std::string& home, const std::string& path) {
  if (path.size() > home.size() && path.compare(0, home.size(), home) == 0 &&
      path[home.size()] == '/') {
    return path.substr(home.size() + 1);
  }
  return path;
}

// `program` is how the tool was started, so the suggested command can be pasted as it is.
int RunDemo(const std::string& program, const std::vector<std::string>& argv) {
  ToolOptions options;
  if (int rc = ParseToolOptions("demo", argv, kToolOptJson, &options)) return rc;
  if (options.help) {
    std::cout << kDemoUsage;
    return kToolExitOk;
  }
  if (options.args.size() > 1) return ToolUsageError("demo", "at most one folder may be given");
  std::string error;
  std::string home;
  if (options.args.empty()) {
    home = MakeTemporaryHome(&error);
    if (home.empty()) return ToolFailure("demo", error);
  } else {
    home = ToolPath(options.args[0]);
  }
  std::vector<DemoSample> samples;
  if (BuildDemoHome(home, &samples, &error) != 0) return ToolFailure("demo", error);

  // The sample was written as the client writes; its badges are read as the Finder reads.
  ScopedDbRole reading(DbRole::kReader);
  LinuxOverlayPlatform platform(home);
  std::vector<PathReport> reports;
  for (const DemoSample& sample : samples) reports.push_back(Resolve(platform, sample.path));

  const std::string try_path = home + "/Sync/Documents/Projects";
  if (options.json) {
    std::cout << "{\"home\": " << JsonString(home) << ",\n \"samples\": [";
    for (size_t i = 0; i < reports.size(); ++i) {
      std::cout << (i ? ",\n" : "\n") << ReportJson(reports[i], false, "  ");
    }
    std::cout << "\n ]}\n";
    return kToolExitOk;
  }
  size_t path_width = 4;
  for (const DemoSample& sample : samples) {
    path_width = std::max(path_width, DisplayWidth(RelativeTo(home, sample.path)));
  }
  std::cout << "Sample home: " << home << "\n"
            << "  system database  " << SystemDbPath(home) << "\n"
            << "  sessions         Documents (status 10), Photos (11), Archive (12),\n"
            << "                   \xC3\x89quipe (10), Music (10, no status database yet)\n\n";
  std::cout << Pad("BADGE", 13) << Pad("STATE", 7) << Pad("PATH", path_width + 2) << "SHOWS\n";
  for (size_t i = 0; i < reports.size(); ++i) {
    std::cout << Pad(BadgeName(reports[i].result), 13)
              << Pad(std::to_string(reports[i].result.code), 7)
              << Pad(RelativeTo(home, reports[i].path), path_width + 2) << samples[i].what << "\n";
  }
  std::cout << "\nPaths are relative to the sample home. Try next:\n"
            << "  " << program << " status --home " << ShellQuote(home) << " --explain "
            << ShellQuote(try_path) << "\n"
            << "  " << program << " doctor --home " << ShellQuote(home)
            << "    # why Music shows no badges\n";
  return kToolExitOk;
}

int RunSessions(const std::vector<std::string>& argv) {
  ToolOptions options;
  if (int rc = ParseToolOptions("sessions", argv, kToolOptHome | kToolOptJson, &options)) return rc;
  if (options.help) {
    std::cout << kSessionsUsage;
    return kToolExitOk;
  }
  if (!options.args.empty())
    return ToolUsageError("sessions", "unexpected argument '" + options.args[0] + "'");
  std::string home;
  if (int rc = ChooseToolHome("sessions", options.home, &home)) return rc;
  const std::string system_db = SystemDbPath(home);
  if (!LinuxOverlayPlatform(home).FileExists(system_db)) {
    return ToolFailure("sessions", "no system database at '" + system_db + "'");
  }
  // Read-only: the registry is listed as it is, never initialised or written.
  ScopedDbRole reading(DbRole::kReader);
  std::list<KELOSessionInfo> sessions;
  int rc = SystemDB::initialize(system_db);
  if (rc == 0) rc = SystemDB::getSessionList(sessions);
  SystemDB::destroy();
  if (rc != 0) return ToolFailure("sessions", "cannot read the sessions of '" + system_db + "'");

  if (options.json) {
    std::cout << "[";
    bool first = true;
    for (const KELOSessionInfo& s : sessions) {
      std::cout << (first ? "\n" : ",\n") << "  {\"id\": " << s.id
                << ", \"share\": " << JsonString(s.share_name)
                << ", \"session\": " << JsonString(s.session) << ", \"status\": " << s.status
                << ", \"enabled\": " << ((s.attribute & SystemDB::kEnabledBit) ? "true" : "false")
                << ", \"folder\": " << JsonString(s.sync_folder) << "}";
      first = false;
    }
    std::cout << "\n]\n";
    return kToolExitOk;
  }
  std::cout << Pad("ID", 5) << Pad("SHARE", 12) << Pad("SESSION", 16) << Pad("STATUS", 8)
            << Pad("ENABLED", 9) << "FOLDER\n";
  for (const KELOSessionInfo& s : sessions) {
    std::cout << Pad(std::to_string(s.id), 5) << Pad(s.share_name, 12) << Pad(s.session, 16)
              << Pad(std::to_string(s.status), 8)
              << Pad((s.attribute & SystemDB::kEnabledBit) ? "yes" : "no", 9) << s.sync_folder
              << "\n";
  }
  if (sessions.empty()) std::cout << "(no sessions)\n";
  return kToolExitOk;
}

// The session holding `path`, looked up as the plug-in does (as given and in form C).
int FindSession(const std::string& command, LinuxOverlayPlatform& platform, const std::string& path,
                KELOSessionInfo* session) {
  const std::string system_db = SystemDbPath(platform.HomeDirectory());
  if (!platform.FileExists(system_db)) {
    return ToolFailure(command, "no system database at '" + system_db + "'");
  }
  if (FindSessionForPath(platform, system_db, path, session) < 0) {
    return ToolFailure(command, "cannot read '" + system_db + "'");
  }
  if (session->id == 0) return ToolFailure(command, "no synchronised folder holds '" + path + "'");
  return kToolExitOk;
}

// The session's file status database path, with its folder made when missing.
int FileStatusDbFolder(const std::string& command, const std::string& home,
                       const KELOSessionInfo& session, std::string* db_path) {
  *db_path = FileStatusDbPath(home, session.id);
  std::string error;
  if (MakeDirectories(db_path->substr(0, db_path->rfind('/')), &error) != 0) {
    return ToolFailure(command, error);
  }
  return kToolExitOk;
}

bool ParseState(const std::string& text, int* state) {
  static const struct {
    const char* name;
    int code;
  } kNames[] = {{"none", kStateNone},
                {"synced", kStateSynced},
                {"syncing", kStateSyncing},
                {"unsupported", kStateUnsupported}};
  for (const auto& name : kNames) {
    if (text == name.name) {
      *state = name.code;
      return true;
    }
  }
  if (text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  long value = std::strtol(text.c_str(), &end, 10);
  if (*end != '\0' || errno != 0 || value < INT32_MIN || value > INT32_MAX) return false;
  *state = static_cast<int>(value);
  return true;
}

int RunSetState(const std::vector<std::string>& argv) {
  ToolOptions options;
  if (int rc = ParseToolOptions("set-state", argv, kToolOptHome | kToolOptFolder, &options))
    return rc;
  if (options.help) {
    std::cout << kSetStateUsage;
    return kToolExitOk;
  }
  if (options.args.size() != 2) return ToolUsageError("set-state", "expected PATH and STATE");
  int state = 0;
  if (!ParseState(options.args[1], &state)) {
    return ToolUsageError("set-state", "bad STATE '" + options.args[1] +
                                           "' (none, synced, syncing, unsupported or a number)");
  }
  if (!IsValidUtf8(options.args[0])) return ToolFailure("set-state", "PATH is not UTF-8");
  std::string home;
  if (int rc = ChooseToolHome("set-state", options.home, &home)) return rc;
  LinuxOverlayPlatform platform(home);
  const std::string path = ToolPath(options.args[0]);
  KELOSessionInfo session;
  if (int rc = FindSession("set-state", platform, path, &session)) return rc;

  FileStatusInfo record;
  if (!platform.NormalizeFormC(path, &record.path)) {
    return ToolFailure("set-state",
                       "PATH has no form C within " + std::to_string(kMaxFormCBytes) + " bytes");
  }
  record.fileType = options.folder ? kFileTypeFolder : 0;
  record.syncStatus = state;
  std::string db_path;
  if (int rc = FileStatusDbFolder("set-state", home, session, &db_path)) return rc;
  CurrentFileStatusDb current(db_path);  // created when missing, as the client does
  if (current.result() != 0) {
    return ToolFailure("set-state", "cannot open the file status database '" + db_path + "'");
  }
  FileStatusInfo check;
  if (FileStatusDB::setFileSyncStat(record) != 0 ||
      FileStatusDB::getFileSyncStat(record.path, &check) != 0 || check.syncStatus != state) {
    return ToolFailure("set-state", "cannot record the state in '" + db_path + "'");
  }
  std::cout << "recorded state " << state << " ("
            << (BadgeForCode(state) ? BadgeForCode(state)->badge : "no badge") << "), type "
            << record.fileType << (options.folder ? " (folder)" : "") << " for " << record.path
            << "\n  in " << db_path << " (session " << session.id << ", " << session.share_name
            << ")\n";
  return kToolExitOk;
}

int RunResetSyncing(const std::vector<std::string>& argv) {
  ToolOptions options;
  if (int rc = ParseToolOptions("reset-syncing", argv, kToolOptHome, &options)) return rc;
  if (options.help) {
    std::cout << kResetUsage;
    return kToolExitOk;
  }
  if (options.args.size() != 1) return ToolUsageError("reset-syncing", "expected one PATH");
  if (!IsValidUtf8(options.args[0])) return ToolFailure("reset-syncing", "PATH is not UTF-8");
  std::string home;
  if (int rc = ChooseToolHome("reset-syncing", options.home, &home)) return rc;
  LinuxOverlayPlatform platform(home);
  KELOSessionInfo session;
  if (int rc = FindSession("reset-syncing", platform, ToolPath(options.args[0]), &session)) {
    return rc;
  }
  const std::string db_path = FileStatusDbPath(home, session.id);
  if (!platform.FileExists(db_path)) {
    return ToolFailure("reset-syncing", "session " + std::to_string(session.id) +
                                            " has no file status database ('" + db_path + "')");
  }
  CurrentFileStatusDb current(db_path);
  if (current.result() != 0 || FileStatusDB::updateAllSyncingEntry() != 0) {
    return ToolFailure("reset-syncing", "cannot update '" + db_path + "'");
  }
  std::cout << "syncing entries of session " << session.id << " (" << session.share_name
            << ") are synced now\n  in " << db_path << "\n";
  return kToolExitOk;
}

// Applies --log-config FILE (anywhere before "--") and removes it from `args`.
int ApplyLogConfig(std::vector<std::string>* args) {
  for (size_t i = 0; i < args->size(); ++i) {
    const std::string& arg = (*args)[i];
    if (arg == "--") break;
    std::string file;
    size_t take = 0;
    if (arg == "--log-config") {
      if (i + 1 >= args->size()) return ToolUsageError("", "--log-config needs a file");
      file = (*args)[i + 1];
      take = 2;
    } else if (arg.rfind("--log-config=", 0) == 0) {
      file = arg.substr(13);
      take = 1;
    } else {
      continue;
    }
    // The reader refuses anything but a regular file without waiting (a FIFO would
    // otherwise hold it for ever); say so here rather than go on without the thresholds.
    struct stat st;
    if (stat(file.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || access(file.c_str(), R_OK) != 0) {
      return ToolFailure(
          "", "cannot read the log configuration '" + file + "': not a readable regular file");
    }
    // Standard error needs no file opened, so this cannot fail.
    static_cast<void>(Logger::Initialize(Logger::kStderr, "", file, Logger::rotate_cnt));
    args->erase(args->begin() + static_cast<long>(i), args->begin() + static_cast<long>(i + take));
    --i;
  }
  return kToolExitOk;
}

}  // namespace

int Main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (int rc = ApplyLogConfig(&args)) return rc;
  if (args.empty()) {
    std::cerr << kMainUsage;
    return kToolExitUsage;
  }
  const std::string command = args[0];
  const std::vector<std::string> rest(args.begin() + 1, args.end());
  if (command == "--help" || command == "-h" || command == "help") {
    std::cout << kMainUsage;
    return kToolExitOk;
  }
  if (command == "status") return RunStatus(rest);
  if (command == "demo") {
    std::string program = argv[0];
    if (program.find('/') == std::string::npos) program = kProgram;
    return RunDemo(ShellQuote(program), rest);
  }
  if (command == "sessions") return RunSessions(rest);
  if (command == "set-state") return RunSetState(rest);
  if (command == "reset-syncing") return RunResetSyncing(rest);
  if (command == "doctor") return RunDoctor(rest);
  if (command == "watch") return RunWatch(rest);
  return ToolUsageError("", "unknown command '" + command + "'");
}

}  // namespace kelo

int main(int argc, char** argv) { return kelo::Main(argc, argv); }
