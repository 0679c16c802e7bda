// kelo-stress: the desktop client and the Finder on the same databases at the same time.
//
//   kelo-stress [--journal wal|delete] [--seconds N] [--readers N] [--reader-role] [--home DIR]
//               [--seed N]
//
// A writer process does what the client does (record states, remove entries with their
// subtrees, reset syncing entries, add and update sessions, set session statuses) while reader
// threads of another process resolve badges of the same paths through the plug-in's code, in
// the writer's role or (--reader-role) the Finder's. Both are this program again ("kelo-stress
// writer|reader ..."). Afterwards the driver checks:
//  - lost writes: the writer logs each write that returned success before it starts the next;
//    replayed over the initial state, the log must be what the databases hold;
//  - wrong answers: the writer is one thread, so its log is the sequence of states the
//    databases went through; each line carries the steady-clock times (the same in every
//    process) just before the write and just after it, and its commit lies between. State j
//    (after j writes) may be seen from the start of write j to the end of write j+1, so an
//    icon from s to e may see the states from the number of writes that ended before s to the
//    number that began by e. An icon's statements need not see the same moment, so each fact
//    may come from any state of that window: a badge is right when the path's session shows
//    badges (status 10 or 11) in one and its entry has the badge's state in one, or for
//    syncing, is a synced folder in one with a syncing entry below it in one. "No badge" is
//    never wrong; where every state of the window had a badge it is counted apart, by whether
//    the reader was backing off;
//  - no process crashed, and every reader failure was a busy time-out or a back-off.
// Exit status: 0 all held, 1 something was lost, wrong or failed, 2 usage. The home is removed
// afterwards unless a check failed or --home was given.
//
//   kelo-stress --lock-holder [--journal wal|delete] [--hold N] [--no-targets] [--home DIR]
//
// The Finder against a client's long transaction: "kelo-stress hold ..." takes BEGIN EXCLUSIVE
// on the session's file status database, changes one entry and keeps the lock N seconds
// (default 10) before committing; then the same on the registry, pausing the second session.
// Meanwhile one thread resolves icons in the reader role without pause, timing each. Targets:
// no icon over 100 ms, at most a tenth of the hold in icons that waited, every icon right again
// within 1.5 s of the commit. --no-targets judges only correctness: no icon shows what the
// holder had not committed, the lock blocked the reader (rollback journal only: in WAL mode an
// exclusive transaction does not block readers), one log line per back-off, and every icon
// right again before the end.
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <list>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "db/file-status-db/file-status-db.h"
#include "db/reader-mode/reader-mode.h"
#include "db/sqlite-owners.h"
#include "db/system-db/system-db.h"
#include "iconoverlay/badge-resolver.h"
#include "iconoverlay/linux-platform.h"
#include "log/log.h"
#include "support/run-sql.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;
constexpr int kInitialSessions = 2;
constexpr int kMaxAddedSessions = 20;
constexpr double kMaxIconMs = 100;           // longest single icon
constexpr double kMaxWaitingShare = 0.10;    // of the hold, spent in icons that waited
constexpr double kMaxRecoverySeconds = 1.5;  // from the commit to the right badges

const char kUsage[] =
    "usage: kelo-stress [--journal wal|delete] [--seconds N] [--readers N] [--reader-role]\n"
    "                   [--home DIR] [--seed N]\n"
    "       kelo-stress --lock-holder [--journal wal|delete] [--hold N] [--no-targets]\n"
    "                   [--home DIR]\n"
    "The first runs the client's writer against the Finder's readers for N seconds (default\n"
    "10) and fails when a write was lost or a badge wrong; the second holds a client's\n"
    "exclusive transaction N seconds (default 10) against one reader and fails when an icon\n"
    "takes over 100 ms, waiting over 10 % of the hold, or the right badges over 1.5 s to\n"
    "come back (--no-targets: only when an icon was wrong or they never came back).\n";

struct Options {
  std::string mode = "driver";  // driver, writer, reader or hold
  std::string journal = "delete";
  std::string home;
  int seconds = 10;
  int readers = 4;
  unsigned seed = 0;
  bool reader_role = false;  // the readers resolve in the Finder's reader role
  bool lock_holder = false;  // the lock-holder run instead of the writer against readers
  int hold_seconds = 10;
  bool no_targets = false;
  int phase = 1;  // hold: the phase (1 or 2) whose database it locks and changes
};

// File names inside the home.
std::string SysDb(const Options& o) { return kelo::SystemDbPath(o.home); }
std::string FstatDb(const Options& o, uint64_t id) { return kelo::FileStatusDbPath(o.home, id); }
std::string InHome(const Options& o, const char* name) { return o.home + "/" + name; }

// The synchronised folder of initial session n (1-based); each holds the same tree.
std::string Folder(const Options& o, int n) { return o.home + "/Sync" + std::to_string(n); }

bool StartsWith(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

int64_t NowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
      .count();
}

struct Item {
  std::string path;
  int type;  // 1 folder, 0 file
};

// The items the writer records and the readers resolve: folders, files at two depths and
// names with a quote, LIKE wildcards and a non-ASCII letter.
std::vector<Item> Tree(const std::string& root) {
  std::vector<Item> items = {{root, 1}};
  for (int d = 0; d < 5; ++d) {
    const std::string dir = root + "/d" + std::to_string(d);
    items.push_back({dir, 1});
    items.push_back({dir + "/sub", 1});
    items.push_back({dir + "/sub/x", 0});
    for (int f = 0; f < 8; ++f) items.push_back({dir + "/f" + std::to_string(f), 0});
  }
  for (const char* name : {"/it's", "/50%_x", "/caf\xC3\xA9"}) items.push_back({root + name, 0});
  return items;
}

// The paths the readers resolve: every item of every initial session, then, with `extra`, a
// path outside every session and the decomposed form of the first session's "café".
std::vector<std::string> ReaderPaths(const Options& o, bool extra) {
  std::vector<std::string> paths;
  for (int n = 1; n <= kInitialSessions; ++n) {
    for (const Item& item : Tree(Folder(o, n))) paths.push_back(item.path);
  }
  if (extra) paths.insert(paths.end(), {"/elsewhere/x", Folder(o, 1) + "/cafe\xCC\x81"});
  return paths;
}

// Sends the logger's lines to `path`, error lines only (the plug-in's set-up).
void LogTo(const std::string& path) {
  FILE* fp = std::fopen(path.c_str(), "w");
  if (fp == nullptr) return;
  Logger::log_type = Logger::kStderr;
  Logger::log_fp = fp;
}

// Error lines of a log: those holding one of `busy` (busy time-outs, back-offs) counted in
// *busy, any other counted in *other and printed.
void CountErrors(const std::string& log, std::vector<const char*> busy, long* busy_lines,
                 long* other) {
  std::ifstream in(log);
  for (std::string line; std::getline(in, line);) {
    if (line.find("[ERROR]") == std::string::npos) continue;
    if (std::any_of(busy.begin(), busy.end(),
                    [&](const char* text) { return line.find(text) != std::string::npos; })) {
      ++*busy_lines;
    } else {
      ++*other;
      std::fprintf(stderr, "kelo-stress: %s\n", line.c_str());
    }
  }
}

// Starts this program again with `args` (words without a single quote), its output read here.
FILE* Start(const std::vector<std::string>& args) {
  std::error_code ec;
  std::string command = "'" + fs::read_symlink("/proc/self/exe", ec).string() + "'";
  for (const std::string& arg : args) command += " '" + arg + "'";
  return popen(command.c_str(), "r");
}

// Waits for a child started by Start; how it ended, for people, empty when it exited with 0.
std::string Ended(FILE* child) {
  const int status = child != nullptr ? pclose(child) : -1;
  if (status == -1) return "could not be started";
  if (WIFSIGNALED(status)) return "crashed (signal " + std::to_string(WTERMSIG(status)) + ")";
  if (WEXITSTATUS(status) != 0) return "exited with status " + std::to_string(WEXITSTATUS(status));
  return "";
}

// --- The home ----------------------------------------------------------------------------

bool SetJournal(const std::string& db_path, const std::string& journal) {
  return kelo_test::RunSql(db_path, "pragma journal_mode = " + journal + ";") == SQLITE_OK;
}

// A new enabled session over `folder`, active (status 10), added to the registry.
bool AddSession(const std::string& folder, size_t n, KELOSessionInfo* info) {
  info->share_name = "share-" + std::to_string(n);
  info->view_id = n;
  info->attribute = SystemDB::kEnabledBit;
  info->status = 10;
  info->sync_folder = folder;
  return SystemDB::addNewSessionInfo(*info, 1) == 0;
}

// Two active sessions with their file status databases, every item recorded synced.
int BuildHome(const Options& o) {
  std::error_code ec;
  fs::create_directories(fs::path(SysDb(o)).parent_path(), ec);
  if (ec || SystemDB::initialize(SysDb(o)) != 0 || !SetJournal(SysDb(o), o.journal)) return -1;
  for (int n = 1; n <= kInitialSessions; ++n) {
    KELOSessionInfo info;
    if (!AddSession(Folder(o, n), n, &info)) return -1;
    info.session = "sess-" + std::to_string(info.id);
    const std::string db = FstatDb(o, info.id);
    fs::create_directories(fs::path(db).parent_path(), ec);
    if (ec || SystemDB::updateSessionInfo(info) != 0 || FileStatusDB::initialize(db) != 0 ||
        !SetJournal(db, o.journal)) {
      return -1;
    }
    for (const Item& item : Tree(info.sync_folder)) {
      FileStatusInfo entry;
      entry.path = item.path;
      entry.fileType = item.type;
      entry.syncStatus = FileStatusDB::kSynced;
      if (FileStatusDB::setFileSyncStat(entry) != 0) return -1;
    }
  }
  SystemDB::destroy();
  FileStatusDB::m_fstatDBPath.clear();
  return 0;
}

// Gives the run a home: a new temporary directory when none was named (then `*own_home`), or
// the named one when it holds no system database yet; then builds its databases. kExitOk, or
// the status to exit with.
int PrepareHome(Options* o, bool* own_home) {
  *own_home = o->home.empty();
  if (*own_home) {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern =
        std::string(tmp != nullptr && *tmp ? tmp : "/tmp") + "/kelo-stress-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) return kExitFailure;
    o->home = pattern;
  } else if (fs::exists(SysDb(*o))) {
    std::fprintf(stderr, "kelo-stress: %s already holds a system database\n", o->home.c_str());
    return kExitUsage;
  }
  if (BuildHome(*o) != 0) {
    std::fprintf(stderr, "kelo-stress: cannot build the databases in %s\n", o->home.c_str());
    return kExitFailure;
  }
  return kExitOk;
}

// Prints the verdict; removes a home of our own after a good run, keeps any home after a bad one.
int Finish(const Options& o, bool own_home, bool ok) {
  std::printf("result: %s\n", ok ? "ok" : "FAILED");
  std::error_code ec;
  if (ok && own_home) {
    fs::remove_all(o.home, ec);
  } else if (!ok) {
    std::printf("the databases and logs are kept in %s\n", o.home.c_str());
  }
  return ok ? kExitOk : kExitFailure;
}

// --- Writer ------------------------------------------------------------------------------

// The client's writes, chosen at random: mostly file states, some registry changes.
struct ClientWriter {
  const Options& o;
  std::mt19937 rng;
  std::vector<KELOSessionInfo> sessions;
  long fresh = 0;

  size_t Pick(size_t n) { return static_cast<size_t>(rng() % n); }

  // One write chosen by a roll of 0..99, described in *line; false when it failed. Of 85
  // entry writes, 70 set a state, 10 remove an entry with its subtree, 5 reset the syncing
  // entries, in one of the first sessions' file status databases.
  bool Write(std::string* report) {
    const int roll = static_cast<int>(Pick(100));
    std::ostringstream line;
    bool ok = false;
    if (roll < 85) {
      const size_t s = Pick(kInitialSessions);
      const uint64_t id = sessions[s].id;
      const kelo::CurrentFileStatusDb current(FstatDb(o, id));
      const std::vector<Item> tree = Tree(Folder(o, static_cast<int>(s) + 1));
      // A quarter of the records go to paths of their own, never removed (removals never take
      // the session's folder itself), so that the final check sees each of those writes and
      // not only the last one to a path.
      const size_t first = roll >= 70 && roll < 80 ? 1 : 0;
      const Item item = roll < 25 ? Item{tree[0].path + "/new/" + std::to_string(++fresh), 0}
                                  : tree[first + Pick(tree.size() - first)];
      FileStatusInfo entry;
      entry.path = item.path;
      entry.fileType = item.type;
      entry.syncStatus = roll < 70 ? 1 + static_cast<int>(Pick(3)) : 0;
      if (roll < 70) line << "set " << id << " " << item.type << " " << entry.syncStatus << " ";
      if (roll < 70) ok = FileStatusDB::setFileSyncStat(entry) == 0;
      if (roll >= 70 && roll < 80) line << "rm " << id << " ";
      if (roll >= 70 && roll < 80) ok = FileStatusDB::rmFileSyncStat(entry) == 0;
      if (roll >= 80) ok = FileStatusDB::updateAllSyncingEntry() == 0;
      line << (roll < 80 ? item.path : "reset " + std::to_string(id));
    } else if (roll < 95) {
      const bool add = roll < 87 && sessions.size() < kInitialSessions + kMaxAddedSessions;
      KELOSessionInfo info = add ? KELOSessionInfo() : sessions[Pick(sessions.size())];
      const std::string n = std::to_string(sessions.size() + 1);
      if (add) {
        ok = AddSession(o.home + "/Added" + n, sessions.size() + 1, &info);
        line << "add " << info.id << " " << info.status;
      } else {
        info.status = 9 + static_cast<int>(Pick(3));
        info.error = static_cast<int>(Pick(5));
        info.session = "sess-" + std::to_string(info.id);
        ok = SystemDB::updateSessionInfo(info) == 0;
        line << "update " << info.id << " " << info.status << " " << info.error;
      }
      for (KELOSessionInfo& known : sessions) known = ok && known.id == info.id ? info : known;
      if (ok && add) sessions.push_back(info);
    } else {
      const std::string target =
          Pick(10) == 0 ? "all" : "sess-" + std::to_string(sessions[Pick(sessions.size())].id);
      const int status = 9 + static_cast<int>(Pick(3));
      line << "status " << status << " " << target;
      ok = SystemDB::setSessionStatus(target, status) == 0;
    }
    *report = line.str();
    return ok;
  }
};

// Each write that returned success goes to the done log, flushed, before the next one starts,
// with the times just before it began and just after it returned.
int RunWriter(const Options& o) {
  LogTo(InHome(o, "writer.log"));
  FILE* done = std::fopen(InHome(o, "writer.done").c_str(), "w");
  if (done == nullptr || SystemDB::initialize(SysDb(o)) != 0) return kExitFailure;
  std::list<KELOSessionInfo> sessions;
  if (SystemDB::getSessionList(sessions) != 0) return kExitFailure;
  ClientWriter writer{o, std::mt19937(o.seed), {sessions.begin(), sessions.end()}};
  long failed = 0;
  for (const auto deadline = Clock::now() + std::chrono::seconds(o.seconds);
       Clock::now() < deadline;) {
    std::string line;
    const long long began = NowNs();
    if (writer.Write(&line)) {
      std::fprintf(done, "%lld %lld %s\n", began, static_cast<long long>(NowNs()), line.c_str());
      std::fflush(done);
    } else {
      ++failed;
    }
  }
  SystemDB::destroy();
  std::fclose(done);
  std::printf("%ld\n", failed);
  return failed == 0 ? kExitOk : kExitFailure;
}

// --- Reader ------------------------------------------------------------------------------

struct Icon {
  int64_t start_ns;
  int64_t end_ns;
  int64_t waited_ns;  // lock-holder run: in SQLite's busy handler; else 1 when it backed off
  int path;           // index into the paths resolved
  int code;           // the state code shown, 0 for no badge
};

// Reader threads resolve badges of the writer's paths as the Finder's drawing would, and keep
// every icon for the check. A session lookup that fails shows in the explanation as a non-zero
// "(result N)"; the file status store logs its own failures. In the reader role a read that
// left a locked database alone (gave up or backed off) is counted apart.
int RunReader(const Options& o) {
  LogTo(InHome(o, "reader.log"));
  if (o.reader_role) kelo::SetDbRole(kelo::DbRole::kReader);
  const std::vector<std::string> paths = ReaderPaths(o, true);
  std::atomic<long> lookup_failures{0};
  std::vector<std::vector<Icon>> icons(static_cast<size_t>(o.readers));
  const auto deadline = Clock::now() + std::chrono::seconds(o.seconds);
  std::vector<std::thread> threads;
  for (int t = 0; t < o.readers; ++t) {
    threads.emplace_back([&, t] {
      kelo::LinuxOverlayPlatform platform(o.home);
      for (size_t i = static_cast<size_t>(t); Clock::now() < deadline; ++i) {
        kelo::Explanation explain;
        const int path = static_cast<int>(i % paths.size());
        const int64_t start = NowNs();
        const kelo::OverlayBadge badge =
            kelo::ResolveOverlayBadge(platform, paths[path].c_str(), &explain);
        const int64_t end = NowNs();
        // A resolution ends at the database it gave up on, or left alone, so the thread's
        // last wait note tells.
        const bool left_alone = kelo::LastReaderWait().kind != kelo::ReaderWaitNote::kNone;
        icons[t].push_back(
            {start, end, left_alone ? 1 : 0, path, badge.badge != nullptr ? badge.code : 0});
        for (const kelo::ExplainStep& step : explain) {
          if (!left_alone && (step.step == "session" || step.step == "session_form_c") &&
              step.result != 0) {
            ++lookup_failures;
          }
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  FILE* out = std::fopen(InHome(o, "reader.icons").c_str(), "wb");
  for (const std::vector<Icon>& some : icons) {
    if (out != nullptr) std::fwrite(some.data(), sizeof(Icon), some.size(), out);
  }
  if (out == nullptr || std::fclose(out) != 0) return kExitFailure;
  std::printf("%ld\n", lookup_failures.load());
  return kExitOk;
}

// --- Driver ------------------------------------------------------------------------------

struct Entry {
  int type;
  int state;
};
struct Session {
  int status = 0;
  int error = 0;
  std::string session;
};

// What state j of the databases says about one reader path, for the wrong-answer check.
enum Fact : uint8_t { kActive = 1, kSyncedFolder = 2, kSyncingBelow = 4 };
struct PathState {
  uint8_t facts = 0;
  uint8_t state = 0;  // the entry's syncStatus, 0 for none
};

// The model of the databases, replayed from the done log.
struct Model {
  std::map<uint64_t, std::map<std::string, Entry>> entries;  // per session id
  std::map<uint64_t, std::set<std::string>> syncing;         // paths in state 2, per session id
  std::map<uint64_t, Session> sessions;
  std::vector<int64_t> began, ended;          // of write k+1
  std::vector<std::vector<PathState>> after;  // [j][path]: state j, after j writes
  long writes = 0;
};

// What state `m` says about `path` (the key it is recorded under) in session `id`.
PathState Describe(const Model& m, uint64_t id, const std::string& path) {
  PathState p;
  const auto session = m.sessions.find(id);
  if (session != m.sessions.end() && kelo::StatusShowsBadges(session->second.status)) {
    p.facts |= kActive;
  }
  const auto& table = m.entries.at(id);
  if (const auto it = table.find(path); it != table.end()) {
    p.state = static_cast<uint8_t>(it->second.state);
    if (it->second.type == 1 && it->second.state == FileStatusDB::kSynced) p.facts |= kSyncedFolder;
  }
  const auto& syncing = m.syncing.at(id);
  if (const auto it = syncing.lower_bound(path + "/");
      it != syncing.end() && StartsWith(*it, path + "/")) {
    p.facts |= kSyncingBelow;
  }
  return p;
}

// Applies one line of the done log to `m`.
void Apply(Model& m, const std::string& line) {
  std::istringstream fields(line);
  std::string op, rest;
  uint64_t id = 0;
  Entry entry{};
  Session session;
  fields >> op;
  if (op == "set" || op == "rm" || op == "reset") {
    fields >> id;
    if (op == "set") fields >> entry.type >> entry.state;
    std::getline(fields >> std::ws, rest);
    auto& table = m.entries[id];
    auto& syncing = m.syncing[id];
    if (op == "set") {
      table[rest] = entry;
      if (entry.state == FileStatusDB::kSyncing) syncing.insert(rest);
      if (entry.state != FileStatusDB::kSyncing) syncing.erase(rest);
    } else if (op == "rm") {
      for (auto it = table.begin(); it != table.end();) {
        const bool gone = it->first == rest || StartsWith(it->first, rest + "/") ||
                          StartsWith(it->first, rest + "\\");
        if (gone) syncing.erase(it->first);
        it = gone ? table.erase(it) : std::next(it);
      }
    } else {
      for (auto& item : table) {
        if (item.second.state == FileStatusDB::kSyncing) item.second.state = FileStatusDB::kSynced;
      }
      syncing.clear();
    }
  } else if (op == "add" || op == "update") {
    fields >> id >> session.status;
    if (op == "update") fields >> session.error;
    if (op == "update") session.session = "sess-" + std::to_string(id);
    m.sessions[id] = session;
  } else if (op == "status") {
    int status = 0;
    fields >> status >> rest;
    for (auto& item : m.sessions) {
      // Every session row is enabled, so "all" reaches each one that has a session text.
      if (item.second.session == rest || (rest == "all" && !item.second.session.empty())) {
        item.second.status = status;
      }
    }
  }
}

// Replays the done log over the initial state: what the databases must hold now, and what
// every state on the way said about each reader path.
Model Replay(const Options& o) {
  Model m;
  for (int n = 1; n <= kInitialSessions; ++n) {
    const uint64_t id = static_cast<uint64_t>(n);
    m.sessions[id] = {10, 0, "sess-" + std::to_string(n)};
    for (const Item& item : Tree(Folder(o, n))) m.entries[id][item.path] = {item.type, 1};
    m.syncing[id];
  }
  // Each reader path's session and the key its entry is recorded under (the decomposed "café"
  // is looked up precomposed); session 0 for the path outside every session.
  std::vector<std::pair<uint64_t, std::string>> keys;
  for (const std::string& path : ReaderPaths(o, true)) {
    const uint64_t id = StartsWith(path, Folder(o, 1) + "/") || path == Folder(o, 1) ? 1
                        : StartsWith(path, Folder(o, 2))                             ? 2
                                                                                     : 0;
    keys.emplace_back(
        id, path == Folder(o, 1) + "/cafe\xCC\x81" ? Folder(o, 1) + "/caf\xC3\xA9" : path);
  }
  const auto record = [&] {
    m.after.emplace_back();
    for (const auto& [id, key] : keys) {
      m.after.back().push_back(id == 0 ? PathState{} : Describe(m, id, key));
    }
  };
  record();
  std::ifstream in(InHome(o, "writer.done"));
  for (std::string line; std::getline(in, line); ++m.writes) {
    long long began = 0, ended = 0;
    int used = 0;
    if (std::sscanf(line.c_str(), "%lld %lld %n", &began, &ended, &used) != 2) continue;
    m.began.push_back(began);
    m.ended.push_back(ended);
    Apply(m, line.substr(static_cast<size_t>(used)));
    record();
  }
  return m;
}

// The reader's icons, and their answers against the states the writer went through (see the
// top of the file).
struct Answers {
  long reads = 0, backed_off = 0, badges = 0, wrong = 0, missing_backing_off = 0, missing_other = 0;
  int64_t longest_ns = 0;
};

Answers CheckAnswers(const Options& o, const Model& m) {
  Answers a;
  FILE* in = std::fopen(InHome(o, "reader.icons").c_str(), "rb");
  for (Icon icon; in != nullptr && std::fread(&icon, sizeof icon, 1, in) == 1; ++a.reads) {
    a.backed_off += icon.waited_ns != 0;
    a.longest_ns = std::max(a.longest_ns, icon.end_ns - icon.start_ns);
    const auto first = std::lower_bound(m.ended.begin(), m.ended.end(), icon.start_ns);
    const auto last = std::upper_bound(m.began.begin(), m.began.end(), icon.end_ns);
    uint8_t any = 0;
    unsigned states = 0;  // bit s: the entry was in state s
    bool badge_due_throughout = true;
    for (auto j = first - m.ended.begin(); j <= last - m.began.begin(); ++j) {
      const PathState& p = m.after[static_cast<size_t>(j)][static_cast<size_t>(icon.path)];
      any |= p.facts;
      states |= 1u << p.state;
      badge_due_throughout = badge_due_throughout && (p.facts & kActive) && p.state != 0;
    }
    const bool syncing_folder =
        icon.code == FileStatusDB::kSyncing && (any & kSyncedFolder) && (any & kSyncingBelow);
    if (icon.code != 0) {
      ++a.badges;
      if (!(any & kActive) || (!(states & (1u << icon.code)) && !syncing_folder)) ++a.wrong;
    } else if (badge_due_throughout) {
      ++(icon.waited_ns != 0 ? a.missing_backing_off : a.missing_other);
    }
  }
  if (in != nullptr) std::fclose(in);
  return a;
}

// The rows of `sql` on the database `path`, each as its cells joined by "|".
std::set<std::string> Rows(const std::string& path, const std::string& sql) {
  std::set<std::string> rows;
  kelo::sqlite::Connection db;
  kelo_test::SqlRows found;
  if (kelo::sqlite::Open(path, kelo::sqlite::kReadOnly, &db) == SQLITE_OK) {
    kelo_test::RunSql(db.get(), sql, &found, nullptr);
  }
  for (const kelo_test::SqlRow& cells : found) {
    std::string row;
    for (size_t c = 0; c < cells.size(); ++c) row += (c > 0 ? "|" : "") + cells[c];
    rows.insert(row);
  }
  return rows;
}

// Compares the databases with the model: `lost` counts the rows the model holds and the
// databases do not (or hold otherwise), `unexpected` the rows nobody reported.
void Compare(const Options& o, const Model& m, long* checked, long* lost, long* unexpected) {
  std::vector<std::pair<std::set<std::string>, std::set<std::string>>> tables(1);
  for (const auto& [id, s] : m.sessions) {
    tables[0].first.insert(std::to_string(id) + "|" + std::to_string(s.status) + "|" +
                           std::to_string(s.error) + "|" + s.session);
  }
  tables[0].second =
      Rows(SysDb(o), "select id, status, error, ifnull(session, '') from session_table");
  for (const auto& [id, entries] : m.entries) {
    tables.emplace_back();
    for (const auto& [path, e] : entries) {
      tables.back().first.insert(path + "|" + std::to_string(e.type) + "|" +
                                 std::to_string(e.state));
    }
    tables.back().second = Rows(FstatDb(o, id), "select path, fileType, syncStatus from fstatinfo");
  }
  for (const auto& [want, found] : tables) {
    *checked += static_cast<long>(want.size());
    for (const std::string& row : want) *lost += found.count(row) == 0 ? 1 : 0;
    for (const std::string& row : found) *unexpected += want.count(row) == 0 ? 1 : 0;
  }
}

int RunDriver(Options o) {
  if (o.seed == 0) o.seed = static_cast<unsigned>(std::random_device{}());
  bool own_home = false;
  if (const int status = PrepareHome(&o, &own_home); status != kExitOk) return status;
  std::printf("kelo-stress: journal %s, %d s, %d reader threads%s, seed %u, home %s\n",
              o.journal.c_str(), o.seconds, o.readers, o.reader_role ? " in the reader role" : "",
              o.seed, o.home.c_str());
  std::vector<std::string> args = {"writer",
                                   "--home",
                                   o.home,
                                   "--seconds",
                                   std::to_string(o.seconds),
                                   "--readers",
                                   std::to_string(o.readers),
                                   "--seed",
                                   std::to_string(o.seed)};
  if (o.reader_role) args.push_back("--reader-role");
  FILE* writer = Start(args);
  args[0] = "reader";
  FILE* reader = Start(args);
  // Each child prints one count when it is done: its failed writes, its failed session lookups.
  long writer_failed = -1, lookup_failures = -1;
  if (writer != nullptr && std::fscanf(writer, "%ld", &writer_failed) != 1) writer_failed = -1;
  if (reader != nullptr && std::fscanf(reader, "%ld", &lookup_failures) != 1) lookup_failures = -1;
  const std::string writer_end = Ended(writer);
  const std::string reader_end = Ended(reader);

  const Model model = Replay(o);
  long checked = 0, lost = 0, unexpected = 0;
  Compare(o, model, &checked, &lost, &unexpected);
  const Answers a = CheckAnswers(o, model);
  long writer_busy = 0, writer_other = 0, reader_busy = 0, reader_other = 0;
  const std::vector<const char*> busy = {"database is locked", "locked by another connection"};
  CountErrors(InHome(o, "writer.log"), busy, &writer_busy, &writer_other);
  CountErrors(InHome(o, "reader.log"), busy, &reader_busy, &reader_other);
  std::printf("writer: %ld writes done, %ld failed (%ld busy time-outs logged)%s%s\n", model.writes,
              writer_failed, writer_busy, writer_end.empty() ? "" : ", ", writer_end.c_str());
  std::printf(
      "readers: %ld reads, %ld badges, %ld failures (%ld busy time-outs, %ld session lookups "
      "failed, %ld other)%s%s\n",
      a.reads, a.badges, reader_busy + reader_other + lookup_failures, reader_busy, lookup_failures,
      reader_other, reader_end.empty() ? "" : ", ", reader_end.c_str());
  if (o.reader_role) {
    std::printf(
        "reader role: %ld reads (%.1f %%) left a locked database alone, in %ld back-offs; "
        "longest icon %.1f ms\n",
        a.backed_off, a.reads > 0 ? 100.0 * a.backed_off / a.reads : 0.0, reader_busy,
        a.longest_ns / 1e6);
  }
  std::printf("check: %ld records compared, %ld lost, %ld unexpected\n", checked, lost, unexpected);
  std::printf(
      "answers: %ld wrong of %ld badges; no badge where every state had one: %ld while "
      "backing off, %ld otherwise\n",
      a.wrong, a.badges, a.missing_backing_off, a.missing_other);
  // A session lookup says only that it failed, not why; with the 300 s busy time-out no
  // lookup of a run this short may fail.
  const bool ok = writer_end.empty() && reader_end.empty() && lost == 0 && unexpected == 0 &&
                  a.wrong == 0 && writer_other == 0 && reader_other == 0 && lookup_failures == 0 &&
                  a.reads > 0 && model.writes > 0;
  return Finish(o, own_home, ok);
}

// --- Lock holder -------------------------------------------------------------------------

// The time this process's connections spent waiting for locks: SQLite's busy handler waits
// by calling its file system's xSleep, so a copy of the default one whose xSleep is timed,
// made the default, sees every wait and nothing else. (Timing whole icons instead would
// count the time the thread was descheduled on a busy machine as waiting.)
std::atomic<int64_t> g_slept_ns{0};
int (*g_base_sleep)(sqlite3_vfs*, int) = nullptr;

int TimedSleep(sqlite3_vfs* vfs, int microseconds) {
  const int64_t start = NowNs();
  const int slept = g_base_sleep(vfs, microseconds);
  g_slept_ns += NowNs() - start;
  return slept;
}

bool InstallTimedSleep() {
  static sqlite3_vfs timed;
  const sqlite3_vfs* base = sqlite3_vfs_find(nullptr);
  if (base == nullptr) return false;
  timed = *base;
  timed.zName = "kelo-stress-timed";
  g_base_sleep = base->xSleep;
  timed.xSleep = TimedSleep;
  return sqlite3_vfs_register(&timed, 1) == SQLITE_OK;
}

// One phase of the lock-holder run: what is locked and changed, and what the icons showed.
struct LockPhase {
  const char* database = "";
  std::string db_path;
  std::string change;
  std::vector<int> before, after;  // the right code of each path before and after the change
  int64_t locked = 0, committing = 0, released = 0;
  std::vector<Icon> icons;
};

// The two phases, with the right code of every path before and after each change. Every item of
// both sessions is recorded synced. The first holder makes one file of the first session
// syncing, which its folder and the session folder then show too; the second pauses the second
// session (status 12), whose items then show no badge.
std::array<LockPhase, 2> LockPhases(const Options& o, const std::vector<std::string>& paths) {
  const std::string syncing = Folder(o, 1) + "/d0/f0";
  const auto code = [&](const std::string& path, bool fstat_changed, bool registry_changed) {
    if (StartsWith(path, Folder(o, 2))) return registry_changed ? 0 : kelo::kStateSynced;
    const bool shows_syncing =
        path == syncing || path == Folder(o, 1) + "/d0" || path == Folder(o, 1);
    return fstat_changed && shows_syncing ? kelo::kStateSyncing : kelo::kStateSynced;
  };
  std::array<LockPhase, 2> phases;
  phases[0].database = "file status database";
  phases[0].db_path = FstatDb(o, 1);
  phases[0].change = "update fstatinfo set syncStatus = 2 where path = '" + syncing + "'";
  phases[1].database = "registry";
  phases[1].db_path = SysDb(o);
  phases[1].change = "update session_table set status = 12 where id = 2";
  for (const std::string& path : paths) {
    phases[0].before.push_back(code(path, false, false));
    phases[0].after.push_back(code(path, true, false));
    phases[1].before.push_back(code(path, true, false));
    phases[1].after.push_back(code(path, true, true));
  }
  return phases;
}

// The client's long transaction on phase `o.phase`'s database: takes BEGIN EXCLUSIVE, runs the
// change, prints "locked <ns>", keeps the lock, prints "committing <ns>", commits and prints
// "released <ns>" (steady clock, the same in every process of the machine).
int RunHolder(const Options& o) {
  const LockPhase phase = LockPhases(o, {})[o.phase == 1 ? 0 : 1];
  kelo::sqlite::Connection db;
  const auto exec = [&](const std::string& sql) {
    char* raw_error = nullptr;
    const int rc = sqlite3_exec(db.get(), sql.c_str(), nullptr, nullptr, &raw_error);
    const kelo::sqlite::Text error(raw_error);
    if (rc != SQLITE_OK)
      std::fprintf(stderr, "kelo-stress hold: %s: %s\n", sql.c_str(), error.get());
    return rc == SQLITE_OK;
  };
  const auto report = [](const char* what) {
    std::printf("%s %lld\n", what, static_cast<long long>(NowNs()));
    std::fflush(stdout);
  };
  bool ok = kelo::sqlite::Open(phase.db_path, kelo::sqlite::kReadWriteCreate, &db) == SQLITE_OK &&
            sqlite3_busy_timeout(db.get(), 10000) == SQLITE_OK && exec("BEGIN EXCLUSIVE") &&
            exec(phase.change);
  if (ok) {
    report("locked");
    std::this_thread::sleep_for(std::chrono::seconds(o.hold_seconds));
    report("committing");
    ok = exec("COMMIT");
    report("released");
  }
  return ok ? kExitOk : kExitFailure;
}

// Resolves `paths` in turn on one thread, in the reader role, from half a second before the
// holder of phase `index` starts until `observe` seconds after it committed; returns what went
// wrong, or "".
std::string RunLockPhase(const Options& o, const std::vector<std::string>& paths, int index,
                         double observe_seconds, LockPhase* phase) {
  std::atomic<bool> stop{false};
  std::thread reader([&] {
    kelo::LinuxOverlayPlatform platform(o.home);
    for (size_t i = 0; !stop.load(std::memory_order_relaxed); ++i) {
      const int path = static_cast<int>(i % paths.size());
      const int64_t slept = g_slept_ns.load();
      const int64_t start = NowNs();
      const kelo::OverlayBadge badge = kelo::ResolveOverlayBadge(platform, paths[path].c_str());
      const int64_t end = NowNs();
      phase->icons.push_back(
          {start, end, g_slept_ns.load() - slept, path, badge.badge != nullptr ? badge.code : 0});
    }
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(500));  // icons before the lock
  FILE* holder = Start({"hold", "--home", o.home, "--hold", std::to_string(o.hold_seconds),
                        "--phase", std::to_string(index + 1)});
  char line[128];
  while (holder != nullptr && std::fgets(line, sizeof(line), holder) != nullptr) {
    long long ns = 0;
    if (std::sscanf(line, "locked %lld", &ns) == 1) phase->locked = ns;
    if (std::sscanf(line, "committing %lld", &ns) == 1) phase->committing = ns;
    if (std::sscanf(line, "released %lld", &ns) == 1) phase->released = ns;
  }
  const std::string holder_end = Ended(holder);
  if (phase->released != 0) {
    std::this_thread::sleep_until(Clock::time_point(std::chrono::nanoseconds(phase->released)) +
                                  std::chrono::duration_cast<Clock::duration>(
                                      std::chrono::duration<double>(observe_seconds)));
  }
  stop = true;
  reader.join();
  if (!holder_end.empty()) return "the lock holder " + holder_end;
  return phase->released == 0 ? "the lock holder failed" : "";
}

// Runs one phase, prints what its icons showed against what they should have, and judges it;
// true when it passes.
bool RunAndJudgeLockPhase(const Options& o, const std::vector<std::string>& paths, int index,
                          LockPhase* phase) {
  // Long enough to see the badges come back after a back-off that began just before the
  // commit, with time to spare for slow sanitizer builds.
  std::string problem = RunLockPhase(o, paths, index, 2 * kMaxRecoverySeconds, phase);
  if (problem.empty() && phase->icons.empty()) problem = "the reader resolved no icon";
  if (!problem.empty()) {
    std::printf("%s: %s\n", phase->database, problem.c_str());
    return false;
  }
  double longest_ms = 0, longest_waiting_ms = 0, longest_wait_ms = 0, waiting_s = 0;
  long uncommitted = 0, blocked = 0, waits = 0;
  int64_t last_wrong_end = phase->released;
  for (const Icon& icon : phase->icons) {
    const double ms = (icon.end_ns - icon.start_ns) / 1e6;
    longest_ms = std::max(longest_ms, ms);
    longest_wait_ms = std::max(longest_wait_ms, icon.waited_ns / 1e6);
    waiting_s += icon.waited_ns / 1e9;
    waits += icon.waited_ns > 0;
    if (icon.waited_ns > 0) longest_waiting_ms = std::max(longest_waiting_ms, ms);
    const int before = phase->before[icon.path], after = phase->after[icon.path];
    uncommitted +=
        icon.end_ns < phase->committing && icon.code == after && after != before && after != 0;
    blocked += icon.start_ns > phase->locked && icon.end_ns < phase->committing && icon.code == 0 &&
               before != 0;
    if (icon.start_ns > phase->committing && icon.code != after) {
      last_wrong_end = std::max(last_wrong_end, icon.end_ns);
    }
  }
  const double hold_s = (phase->released - phase->locked) / 1e9;
  const double recovery_s = (last_wrong_end - phase->released) / 1e9;
  // Right for the last half second of the observation at least.
  const bool recovered = phase->icons.back().end_ns - last_wrong_end > 500000000LL;
  const bool rollback = o.journal == "delete";
  const bool longest_ok = longest_ms <= kMaxIconMs;
  const bool waiting_ok = waiting_s <= kMaxWaitingShare * hold_s;
  const bool recovery_ok = recovered && recovery_s <= kMaxRecoverySeconds;
  const auto verdict = [](bool met) { return met ? "met" : "MISSED"; };
  std::printf("%s locked %.1f s: %zu icons\n", phase->database, hold_s, phase->icons.size());
  std::printf(
      "  longest icon %.1f ms (target %.0f ms: %s); longest that waited for the lock %.1f ms\n",
      longest_ms, kMaxIconMs, verdict(longest_ok), longest_waiting_ms);
  std::printf(
      "  waiting for the lock %.3f s in %ld icons, at most %.1f ms in one: %.1f %% of the "
      "hold (target %.0f %%: %s)\n",
      waiting_s, waits, longest_wait_ms, 100 * waiting_s / hold_s, 100 * kMaxWaitingShare,
      verdict(waiting_ok));
  std::printf(
      "  %ld icons without their badge while locked; right badges again %.3f s after the "
      "commit (target %.1f s: %s)\n",
      blocked, recovery_s, kMaxRecoverySeconds, verdict(recovery_ok));
  if (uncommitted > 0) {
    std::printf("%s: %ld icons showed the change before it was committed\n", phase->database,
                uncommitted);
  }
  if (rollback && blocked == 0) {
    std::printf("%s: the lock never kept the reader from reading\n", phase->database);
  }
  if (!recovered) std::printf("%s: the right badges did not come back\n", phase->database);
  return uncommitted == 0 && (blocked > 0 || !rollback) && recovered &&
         (o.no_targets || (longest_ok && waiting_ok && recovery_ok));
}

int RunLockDriver(Options o) {
  bool own_home = false;
  if (const int status = PrepareHome(&o, &own_home); status != kExitOk) return status;
  std::printf("kelo-stress: lock holder, journal %s, locks held %d s, home %s\n", o.journal.c_str(),
              o.hold_seconds, o.home.c_str());
  const std::vector<std::string> paths = ReaderPaths(o, false);
  std::array<LockPhase, 2> phases = LockPhases(o, paths);
  LogTo(InHome(o, "reader.log"));
  if (!InstallTimedSleep()) return kExitFailure;
  bool ok = true;
  kelo::SetDbRole(kelo::DbRole::kReader);
  for (int n = 0; n < 2; ++n) ok = RunAndJudgeLockPhase(o, paths, n, &phases[n]) && ok;
  kelo::SetDbRole(kelo::DbRole::kWriter);
  // One line per back-off of at least a second each, per database locked.
  long back_offs = 0, other = 0;
  CountErrors(InHome(o, "reader.log"), {"locked by another connection"}, &back_offs, &other);
  const long most_back_offs = 2 * (o.hold_seconds + 2);
  std::printf("reader log: %ld back-off lines (at most %ld expected), %ld other error lines\n",
              back_offs, most_back_offs, other);
  ok = ok && other == 0 && back_offs <= most_back_offs && (back_offs > 0 || o.journal != "delete");
  return Finish(o, own_home, ok);
}

bool ParseInt(const char* text, long min, long max, long* out) {
  char* end = nullptr;
  *out = std::strtol(text, &end, 10);
  return end != text && *end == '\0' && *out >= min && *out <= max;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  int i = 1;
  for (const char* mode : {"writer", "reader", "hold"}) {
    if (i < argc && std::strcmp(argv[i], mode) == 0) o.mode = argv[i++];
  }
  const std::map<std::string, bool*> flags = {{"--reader-role", &o.reader_role},
                                              {"--lock-holder", &o.lock_holder},
                                              {"--no-targets", &o.no_targets}};
  const std::map<std::string, std::string*> texts = {{"--journal", &o.journal},
                                                     {"--home", &o.home}};
  const std::map<std::string, int*> numbers = {{"--seconds", &o.seconds},
                                               {"--hold", &o.hold_seconds},
                                               {"--readers", &o.readers},
                                               {"--phase", &o.phase}};
  for (; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      return kExitOk;
    }
    bool ok = i + 1 < argc;
    long number = 0;
    if (flags.count(arg) != 0) {
      ok = *flags.at(arg) = true;
    } else if (ok && texts.count(arg) != 0) {
      *texts.at(arg) = argv[++i];
    } else if (ok && numbers.count(arg) != 0 && ParseInt(argv[++i], 1, 1000000, &number)) {
      *numbers.at(arg) = static_cast<int>(number);
    } else {
      ok = ok && arg == "--seed" && ParseInt(argv[++i], 0, 0xffffffffL, &number);
      o.seed = static_cast<unsigned>(number);
    }
    // The home is passed to the children in single quotes (see Start).
    if (!ok || (o.journal != "wal" && o.journal != "delete") ||
        o.home.find('\'') != std::string::npos) {
      std::fprintf(stderr, "kelo-stress: bad argument '%s'\n%s", arg.c_str(), kUsage);
      return kExitUsage;
    }
  }
  if (o.mode == "writer") return RunWriter(o);
  if (o.mode == "reader") return RunReader(o);
  if (o.mode == "hold") return RunHolder(o);
  return o.lock_holder ? RunLockDriver(o) : RunDriver(o);
}
