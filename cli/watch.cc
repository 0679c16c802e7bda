#include "cli/watch.h"

#include <signal.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <iostream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "cli/tool-common.h"
#include "db/reader-mode/reader-mode.h"
#include "db/sqlite-owners.h"
#include "iconoverlay/badge-resolver.h"
#include "iconoverlay/linux-platform.h"

namespace kelo {

const char kWatchUsage[] =
    "usage: kelo-overlay watch [--home DIR] [--interval MS] [--json] PATH...\n"
    "\n"
    "Prints the badge of each PATH, then a time-stamped line whenever one changes\n"
    "(e.g. \"syncing -> synced\"), until interrupted (Ctrl-C). Badges are resolved as the\n"
    "Finder plug-in resolves them, and again only when one of the client's databases\n"
    "has changed. Paths are spelt as for status; nothing on disk is changed.\n"
    "\n"
    "  --home DIR      watch the client databases under DIR/.Tarnvale\n"
    "                  (default: your home directory)\n"
    "  --interval MS   how often to ask whether a database changed (default 500,\n"
    "                  10 to 3600000)\n"
    "  --json          one JSON object per line: each path's first badge, then each change\n";

namespace {

const char kCommand[] = "watch";
constexpr long kDefaultIntervalMs = 500;
constexpr long kMinIntervalMs = 10;
constexpr long kMaxIntervalMs = 3600000;
// A change count read while the client holds a lock is skipped, and asked for again at
// the next tick, rather than waited for.
constexpr int kBusyTimeoutMs = 50;

using Db = sqlite::Connection;

// Opens an existing database read-only (never creating it); null on failure.
Db OpenReadOnly(const std::string& path) {
  Db db;
  if (sqlite::Open(path, sqlite::kReadOnly, &db) != SQLITE_OK) return nullptr;
  sqlite3_busy_timeout(db.get(), kBusyTimeoutMs);
  return db;
}

// Runs a one-column integer query; false when it fails or gives no row.
bool QueryInt(sqlite3* db, const char* sql, int64_t* value) {
  sqlite3_stmt* raw = nullptr;
  const int rc = sqlite3_prepare_v2(db, sql, -1, &raw, nullptr);
  sqlite::Statement statement(raw);  // finalised on return: no lock is held between ticks
  if (rc != SQLITE_OK || sqlite3_step(raw) != SQLITE_ROW) return false;
  *value = sqlite3_column_int64(raw, 0);
  return true;
}

// The time of the file's last status change; Apple's struct stat names it st_ctimespec.
const timespec& ChangeTime(const struct stat& st) {
#ifdef __APPLE__
  return st.st_ctimespec;
#else
  return st.st_ctim;
#endif
}

// One database file whose changes the watch notices.
class WatchedDb {
 public:
  explicit WatchedDb(std::string path) : path_(std::move(path)) {}

  // True on the first call and whenever the file changed since the last call: it appeared,
  // disappeared, was replaced or written, or another connection committed a change.
  bool Changed() {
    Identity now;
    struct stat st;
    if (stat(path_.c_str(), &st) == 0) {
      now = {true, st.st_dev, st.st_ino, ChangeTime(st).tv_sec, ChangeTime(st).tv_nsec, st.st_size};
    }
    bool changed = first_ || !(now == identity_);
    first_ = false;
    if (changed) {
      identity_ = now;
      db_ = now.exists ? OpenReadOnly(path_) : nullptr;
      version_known_ = false;
    }
    int64_t version = 0;
    if (db_ != nullptr && QueryInt(db_.get(), "PRAGMA data_version", &version)) {
      changed = changed || (version_known_ && version != version_);
      version_ = version;
      version_known_ = true;
    }
    return changed;
  }

  sqlite3* db() const { return db_.get(); }

 private:
  struct Identity {
    bool exists = false;
    dev_t device = 0;
    ino_t inode = 0;
    time_t ctime_sec = 0;
    long ctime_nsec = 0;
    off_t size = 0;
    bool operator==(const Identity& o) const {
      return exists == o.exists && device == o.device && inode == o.inode &&
             ctime_sec == o.ctime_sec && ctime_nsec == o.ctime_nsec && size == o.size;
    }
  };

  std::string path_;
  bool first_ = true;
  Identity identity_;
  Db db_;
  int64_t version_ = 0;
  bool version_known_ = false;
};

// The file status databases of every session of the system database, by path. Files that
// were watched before keep their watch (and so what they know).
void RefreshSessionDbs(const std::string& home, sqlite3* registry,
                       std::map<std::string, WatchedDb>* watched) {
  std::map<std::string, WatchedDb> next;
  sqlite3_stmt* statement = nullptr;
  if (registry != nullptr && sqlite3_prepare_v2(registry, "SELECT id FROM session_table", -1,
                                                &statement, nullptr) == SQLITE_OK) {
    while (sqlite3_step(statement) == SQLITE_ROW) {
      const std::string path =
          FileStatusDbPath(home, static_cast<uint64_t>(sqlite3_column_int64(statement, 0)));
      auto old = watched->find(path);
      if (old != watched->end()) {
        next.emplace(path, std::move(old->second));
        watched->erase(old);
      } else {
        next.emplace(path, WatchedDb(path));
      }
    }
  }
  sqlite3_finalize(statement);
  *watched = std::move(next);
}

std::string Now(const char* format) {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char text[64];
  std::strftime(text, sizeof text, format, &local);
  return text;
}

struct Shown {
  bool known = false;
  int code = 0;
  std::string badge;
};

void Print(bool json, const std::string& path, const Shown& before, const Shown& now) {
  if (json) {
    std::cout << "{\"time\": " << JsonString(Now("%Y-%m-%dT%H:%M:%S"))
              << ", \"path\": " << JsonString(path) << ", \"badge\": " << JsonString(now.badge)
              << ", \"state\": " << now.code
              << ", \"previous\": " << (before.known ? JsonString(before.badge) : "null")
              << ", \"previous_state\": " << (before.known ? std::to_string(before.code) : "null")
              << "}\n";
    return;
  }
  std::string change = before.known ? before.badge + " -> " + now.badge : now.badge;
  if (change.size() < 22) change.resize(22, ' ');
  std::cout << Now("%Y-%m-%d %H:%M:%S") << "  " << change << "  " << Printable(path) << "\n";
}

}  // namespace

int RunWatch(const std::vector<std::string>& argv) {
  ToolOptions options;
  if (int rc = ParseToolOptions(kCommand, argv, /*allow_interval=*/true, &options)) return rc;
  if (options.help) {
    std::cout << kWatchUsage;
    return kToolExitOk;
  }
  long interval_ms = kDefaultIntervalMs;
  if (!options.interval.empty()) {
    char* end = nullptr;
    errno = 0;
    interval_ms = std::strtol(options.interval.c_str(), &end, 10);
    if (*end != '\0' || errno != 0 || interval_ms < kMinIntervalMs ||
        interval_ms > kMaxIntervalMs) {
      return ToolUsageError(
          kCommand, "bad --interval '" + options.interval + "' (milliseconds, 10 to 3600000)");
    }
  }
  if (options.args.empty()) return ToolUsageError(kCommand, "no PATH given");
  std::string home;
  if (int rc = ChooseToolHome(kCommand, options.home, &home)) return rc;
  std::vector<std::string> paths;
  for (const std::string& arg : options.args) paths.push_back(ToolPath(arg));

  // Interruptions are taken as they come, between ticks, so the command ends cleanly.
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGINT);
  sigaddset(&stop, SIGTERM);
  sigset_t previous_mask;
  sigprocmask(SIG_BLOCK, &stop, &previous_mask);

  ScopedDbRole reading(DbRole::kReader);
  LinuxOverlayPlatform platform(home);
  WatchedDb registry(SystemDbPath(home));
  std::map<std::string, WatchedDb> session_dbs;
  std::vector<Shown> shown(paths.size());
  const timespec tick = {interval_ms / 1000, (interval_ms % 1000) * 1000000};
  for (;;) {
    bool changed = registry.Changed();
    if (changed) RefreshSessionDbs(home, registry.db(), &session_dbs);
    for (auto& [path, db] : session_dbs) changed = db.Changed() || changed;
    if (changed) {
      for (size_t i = 0; i < paths.size(); ++i) {
        const std::string& path = paths[i];
        const OverlayBadge result =
            ResolveOverlayBadge(platform, IsValidUtf8(path) ? path.c_str() : nullptr);
        Shown now{true, result.code, result.badge != nullptr ? result.badge->badge : "none"};
        if (!shown[i].known || now.badge != shown[i].badge || now.code != shown[i].code) {
          Print(options.json, path, shown[i], now);
          shown[i] = now;
        }
      }
      std::cout.flush();
    }
    if (sigtimedwait(&stop, nullptr, &tick) > 0) break;
  }
  sigprocmask(SIG_SETMASK, &previous_mask, nullptr);
  return kToolExitOk;
}

}  // namespace kelo
