// kelo-stress: the desktop client and the Finder on the same databases at the same time.
//
// One writer process does what the client does (record states, remove entries with their
// subtrees, reset syncing entries, add and update sessions, set session statuses) while
// reader threads in another process resolve the badges of the same paths through the
// plug-in's own code. Afterwards every write the writer reported as done must be in the
// databases, no process may have crashed, and every reader failure must be a busy
// time-out. Exit status: 0 all held, 1 something was lost or failed, 2 usage.
//
//   kelo-stress [--journal wal|delete] [--seconds N] [--readers N] [--reader-role] [--home DIR]
//               [--seed N]
//
// --reader-role runs the readers in the Finder's reader role (read-only kept connections,
// 50 ms lock budget, back-off) instead of the writer's connections. The driver above builds a home,
// starts "kelo-stress writer ..." and "kelo-stress reader ..." (this program again), waits for
// both, then checks and prints the counts. The home is removed afterwards unless a check failed or
// --home was given.
//
//   kelo-stress --lock-holder [--journal wal|delete] [--hold N] [--no-targets] [--home DIR]
//
// The Finder against a client that holds a long transaction: "kelo-stress hold ..." (this
// program again) takes BEGIN EXCLUSIVE on the session's file status database, changes one
// entry and keeps the lock for N seconds (default 10) before committing; then the same on the
// registry, where it pauses the second session. Meanwhile one thread of the driver resolves
// icons in the reader role without pause, timing each. Targets: no icon longer than 100 ms,
// at most a tenth of the hold spent in icons that waited, and every icon right again within
// 1.5 s of the commit. --no-targets prints the figures but judges only correctness: no icon
// shows what the holder had not committed, the lock blocked the reader (rollback journal
// only: in WAL mode an exclusive transaction does not block readers), one log line per
// back-off, and every icon right again before the end.
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
#include <mutex>
#include <random>
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

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;
constexpr int kInitialSessions = 2;
constexpr int kMaxAddedSessions = 20;

const char kUsage[] =
    "usage: kelo-stress [--journal wal|delete] [--seconds N] [--readers N] [--reader-role]\n"
    "                   [--home DIR] [--seed N]\n"
    "\n"
    "Runs a writer process (the desktop client) against reader threads in another\n"
    "process (the Finder) on one home's databases for N seconds (default 10), then\n"
    "checks that no reported write was lost and counts reads, reader failures and busy\n"
    "time-outs. --journal picks SQLite's journal (default delete, the rollback journal).\n"
    "--reader-role resolves as the Finder does: read-only, a short lock budget, back-offs.\n"
    "\n"
    "       kelo-stress --lock-holder [--journal wal|delete] [--hold N] [--no-targets]\n"
    "                   [--home DIR]\n"
    "\n"
    "Another process holds an exclusive transaction for N seconds (default 10) on the file\n"
    "status database, then on the registry, while one reader thread resolves icons without\n"
    "pause. Prints the longest icon, the time spent waiting and how long after the commit\n"
    "the right badges are back, and fails when they miss 100 ms, 10 % of the hold and 1.5 s\n"
    "(with --no-targets: only when an icon was wrong or the badges never came back).\n";

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
  bool judge_targets = true;
  std::string hold_db;      // hold: the database to lock
  std::string hold_change;  // hold: the statement run inside the transaction
};

// File names inside the home.
std::string SysDb(const Options& o) { return kelo::SystemDbPath(o.home); }
std::string FstatDb(const Options& o, uint64_t id) { return kelo::FileStatusDbPath(o.home, id); }
std::string DoneLog(const Options& o) { return o.home + "/writer.done"; }
std::string WriterLog(const Options& o) { return o.home + "/writer.log"; }
std::string ReaderLog(const Options& o) { return o.home + "/reader.log"; }
std::string ReaderSummary(const Options& o) { return o.home + "/reader.summary"; }
std::string WriterSummary(const Options& o) { return o.home + "/writer.summary"; }

// The synchronised folder of initial session n (1-based); each holds the same tree.
std::string Folder(const Options& o, int n) { return o.home + "/Sync" + std::to_string(n); }

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

// Sends the logger's lines to `path`, error lines only (the plug-in's set-up).
void LogTo(const std::string& path) {
  FILE* fp = std::fopen(path.c_str(), "w");
  if (fp == nullptr) return;
  Logger::log_type = Logger::kStderr;
  Logger::log_fp = fp;
}

bool SetJournal(const std::string& db_path, const std::string& journal) {
  kelo::sqlite::Connection db;
  const std::string sql = "pragma journal_mode = " + journal + ";";
  return kelo::sqlite::Open(db_path, kelo::sqlite::kReadWriteCreate, &db) == SQLITE_OK &&
         sqlite3_exec(db.get(), sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK;
}

// --- The home ----------------------------------------------------------------------------

// Two active sessions with their file status databases, every item recorded synced.
int BuildHome(const Options& o) {
  std::error_code ec;
  fs::create_directories(fs::path(SysDb(o)).parent_path(), ec);
  if (ec || SystemDB::initialize(SysDb(o)) != 0 || !SetJournal(SysDb(o), o.journal)) return -1;
  for (int n = 1; n <= kInitialSessions; ++n) {
    KELOSessionInfo info;
    info.share_name = "share-" + std::to_string(n);
    info.view_id = n;
    info.attribute = SystemDB::kEnabledBit;
    info.status = 10;
    info.sync_folder = Folder(o, n);
    if (SystemDB::addNewSessionInfo(info, 1) != 0) return -1;
    info.session = "sess-" + std::to_string(info.id);
    if (SystemDB::updateSessionInfo(info) != 0) return -1;
    const std::string db = FstatDb(o, info.id);
    fs::create_directories(fs::path(db).parent_path(), ec);
    if (ec || FileStatusDB::initialize(db) != 0 || !SetJournal(db, o.journal)) return -1;
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

// --- Writer ------------------------------------------------------------------------------

// Every operation that returned success is written to the done log, one line each, before
// the next one starts; the line is flushed so that it survives the process.
// The client's writes, chosen at random: mostly file states, some registry changes. Each is
// reported to the done log once it has succeeded, so the final check knows what to find.
class ClientWriter {
 public:
  ClientWriter(const Options& o, std::vector<KELOSessionInfo> sessions)
      : o_(o), rng_(o.seed), sessions_(std::move(sessions)) {
    for (int n = 1; n <= kInitialSessions; ++n) trees_.push_back(Tree(Folder(o, n)));
  }

  // One write chosen by a roll of 0..99; its report line, or false when it failed.
  bool Write(std::string* report) {
    const int roll = static_cast<int>(Pick(100));
    std::ostringstream line;
    const bool ok = roll < 85               ? WriteEntry(roll, line)
                    : roll < 87 && CanAdd() ? AddSession(line)
                    : roll < 95             ? UpdateSession(line)
                                            : SetStatus(line);
    *report = line.str();
    return ok;
  }

 private:
  size_t Pick(size_t n) { return static_cast<size_t>(rng_() % n); }
  bool CanAdd() const { return sessions_.size() < kInitialSessions + kMaxAddedSessions; }

  // A state set (70 of 85), a removal (10) or a reset of the syncing entries (5) in one of the
  // first sessions' file status databases.
  bool WriteEntry(int roll, std::ostringstream& line) {
    const size_t s = Pick(trees_.size());
    const uint64_t id = sessions_[s].id;
    const kelo::CurrentFileStatusDb current(FstatDb(o_, id));
    // A quarter of the records go to paths of their own, never removed (removals never take
    // the session's folder itself), so that the final check sees each of those writes and not
    // only the last one to a path.
    const size_t first = roll >= 70 && roll < 80 ? 1 : 0;
    const Item item =
        roll < 25
            ? Item{Folder(o_, static_cast<int>(s) + 1) + "/new/" + std::to_string(++fresh_), 0}
            : trees_[s][first + Pick(trees_[s].size() - first)];
    FileStatusInfo entry;
    entry.path = item.path;
    entry.fileType = item.type;
    if (roll < 70) {
      entry.syncStatus = 1 + static_cast<int>(Pick(3));
      line << "set " << id << " " << entry.fileType << " " << entry.syncStatus << " " << entry.path;
      return FileStatusDB::setFileSyncStat(entry) == 0;
    }
    if (roll < 80) {
      line << "rm " << id << " " << entry.path;
      return FileStatusDB::rmFileSyncStat(entry) == 0;
    }
    line << "reset " << id;
    return FileStatusDB::updateAllSyncingEntry() == 0;
  }

  bool AddSession(std::ostringstream& line) {
    KELOSessionInfo info;
    info.share_name = "share-" + std::to_string(sessions_.size() + 1);
    info.view_id = sessions_.size() + 1;
    info.attribute = SystemDB::kEnabledBit;
    info.status = 10;
    info.sync_folder = o_.home + "/Added" + std::to_string(sessions_.size() + 1);
    const bool ok = SystemDB::addNewSessionInfo(info, 1) == 0;
    if (ok) sessions_.push_back(info);
    line << "add " << info.id << " " << info.status << " " << info.sync_folder;
    return ok;
  }

  bool UpdateSession(std::ostringstream& line) {
    KELOSessionInfo& info = sessions_[Pick(sessions_.size())];
    KELOSessionInfo changed = info;
    changed.status = 9 + static_cast<int>(Pick(3));
    changed.error = static_cast<int>(Pick(5));
    changed.session = "sess-" + std::to_string(info.id);
    const bool ok = SystemDB::updateSessionInfo(changed) == 0;
    if (ok) info = changed;
    line << "update " << info.id << " " << changed.status << " " << changed.error;
    return ok;
  }

  bool SetStatus(std::ostringstream& line) {
    const bool all = Pick(10) == 0;
    const std::string target =
        all ? "all" : "sess-" + std::to_string(sessions_[Pick(sessions_.size())].id);
    const int status = 9 + static_cast<int>(Pick(3));
    line << "status " << status << " " << target;
    return SystemDB::setSessionStatus(target, status) == 0;
  }

  const Options& o_;
  std::mt19937 rng_;
  std::vector<KELOSessionInfo> sessions_;
  std::vector<std::vector<Item>> trees_;
  long fresh_ = 0;
};

int RunWriter(const Options& o) {
  LogTo(WriterLog(o));
  FILE* done = std::fopen(DoneLog(o).c_str(), "w");
  if (done == nullptr || SystemDB::initialize(SysDb(o)) != 0) return kExitFailure;
  std::list<KELOSessionInfo> sessions;
  if (SystemDB::getSessionList(sessions) != 0) return kExitFailure;
  ClientWriter writer(o, {sessions.begin(), sessions.end()});
  long failed = 0;
  const auto deadline = Clock::now() + std::chrono::seconds(o.seconds);
  while (Clock::now() < deadline) {
    std::string line;
    if (writer.Write(&line)) {
      std::fputs((line + "\n").c_str(), done);
      std::fflush(done);
    } else {
      ++failed;
    }
  }
  SystemDB::destroy();
  std::fclose(done);
  std::ofstream(WriterSummary(o)) << failed << "\n";
  return failed == 0 ? kExitOk : kExitFailure;
}

// --- Reader ------------------------------------------------------------------------------

// Reader threads resolve badges of the writer's paths as the Finder's drawing would. A
// session lookup that fails shows in the explanation as a non-zero "(result N)"; the file
// status store logs its own failures. In the reader role a read that left a locked
// database alone says so in its explanation ("gave up" or "not asked") and is counted
// apart.
int RunReader(const Options& o) {
  LogTo(ReaderLog(o));
  if (o.reader_role) kelo::SetDbRole(kelo::DbRole::kReader);
  std::vector<std::string> paths = {"/elsewhere/x", Folder(o, 1) + "/cafe\xCC\x81"};
  for (int n = 1; n <= kInitialSessions; ++n) {
    for (const Item& item : Tree(Folder(o, n))) paths.push_back(item.path);
  }
  std::atomic<long> reads{0}, badges{0}, lookup_failures{0}, backed_off{0}, longest_us{0};
  const auto deadline = Clock::now() + std::chrono::seconds(o.seconds);
  std::vector<std::thread> threads;
  for (int t = 0; t < o.readers; ++t) {
    threads.emplace_back([&, t] {
      kelo::LinuxOverlayPlatform platform(o.home);
      for (size_t i = static_cast<size_t>(t); Clock::now() < deadline; ++i) {
        kelo::Explanation explain;
        const auto start = Clock::now();
        const kelo::OverlayBadge badge =
            kelo::ResolveOverlayBadge(platform, paths[i % paths.size()].c_str(), &explain);
        const long took = static_cast<long>(
            std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start).count());
        for (long seen = longest_us;
             took > seen && !longest_us.compare_exchange_weak(seen, took);) {
        }
        ++reads;
        if (badge.badge != nullptr) ++badges;
        // A resolution ends at the database it gave up on, or left alone, so the thread's
        // last wait note tells.
        const bool left_alone = kelo::LastReaderWait().kind != kelo::ReaderWaitNote::kNone;
        if (left_alone) ++backed_off;
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
  std::ofstream(ReaderSummary(o)) << reads << " " << badges << " " << lookup_failures << " "
                                  << backed_off << " " << longest_us << "\n";
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
struct Model {
  std::map<uint64_t, std::map<std::string, Entry>> entries;  // per session id
  std::map<uint64_t, Session> sessions;
  long writes = 0;
};

bool StartsWith(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

// Replays the done log over the initial state: what the databases must hold now.
Model Replay(const Options& o) {
  Model m;
  for (int n = 1; n <= kInitialSessions; ++n) {
    const uint64_t id = static_cast<uint64_t>(n);
    m.sessions[id] = {10, 0, "sess-" + std::to_string(n)};
    for (const Item& item : Tree(Folder(o, n))) m.entries[id][item.path] = {item.type, 1};
  }
  std::ifstream in(DoneLog(o));
  for (std::string line; std::getline(in, line); ++m.writes) {
    std::istringstream fields(line);
    std::string op, rest;
    fields >> op;
    if (op == "set" || op == "rm" || op == "reset") {
      uint64_t id = 0;
      Entry entry{};
      fields >> id;
      if (op == "set") fields >> entry.type >> entry.state;
      std::getline(fields >> std::ws, rest);
      auto& table = m.entries[id];
      if (op == "set") {
        table[rest] = entry;
      } else if (op == "rm") {
        for (auto it = table.begin(); it != table.end();) {
          const bool below =
              StartsWith(it->first, rest + "/") || StartsWith(it->first, rest + "\\");
          it = it->first == rest || below ? table.erase(it) : std::next(it);
        }
      } else {
        for (auto& item : table) {
          if (item.second.state == 2) item.second.state = 1;
        }
      }
    } else if (op == "add") {
      uint64_t id = 0;
      Session session;
      fields >> id >> session.status;
      m.sessions[id] = session;
    } else if (op == "update") {
      uint64_t id = 0;
      Session session;
      fields >> id >> session.status >> session.error;
      session.session = "sess-" + std::to_string(id);
      m.sessions[id] = session;
    } else if (op == "status") {
      int status = 0;
      fields >> status >> rest;
      for (auto& [id, session] : m.sessions) {
        // Every session row is enabled, so "all" reaches each one that has a session text.
        if (session.session == rest || (rest == "all" && !session.session.empty())) {
          session.status = status;
        }
      }
    }
  }
  return m;
}

// Compares the databases with the model: `lost` counts what the model holds and the
// databases do not (or hold otherwise), `unexpected` rows nobody reported.
void Compare(const Options& o, const Model& m, long* checked, long* lost, long* unexpected) {
  const auto rows = [](const std::string& path, const char* sql) {
    std::vector<std::vector<std::string>> out;
    kelo::sqlite::Connection db;
    sqlite3_stmt* raw = nullptr;
    if (kelo::sqlite::Open(path, kelo::sqlite::kReadOnly, &db) == SQLITE_OK) {
      sqlite3_prepare_v2(db.get(), sql, -1, &raw, nullptr);
    }
    const kelo::sqlite::Statement stmt(raw);
    if (stmt) {
      while (sqlite3_step(raw) == SQLITE_ROW) {
        std::vector<std::string> row;
        for (int c = 0; c < sqlite3_column_count(raw); ++c) {
          const unsigned char* text = sqlite3_column_text(raw, c);
          row.push_back(text != nullptr ? reinterpret_cast<const char*>(text) : "");
        }
        out.push_back(row);
      }
    }
    return out;
  };
  std::map<uint64_t, Session> found_sessions;
  for (const auto& row : rows(SysDb(o), "select id, status, error, session from session_table")) {
    found_sessions[std::strtoull(row[0].c_str(), nullptr, 10)] = {
        std::atoi(row[1].c_str()), std::atoi(row[2].c_str()), row[3]};
  }
  for (const auto& [id, want] : m.sessions) {
    ++*checked;
    auto it = found_sessions.find(id);
    if (it == found_sessions.end() || it->second.status != want.status ||
        it->second.error != want.error || it->second.session != want.session) {
      ++*lost;
    }
  }
  for (const auto& item : found_sessions) {
    if (m.sessions.count(item.first) == 0) ++*unexpected;
  }
  for (const auto& [id, want] : m.entries) {
    std::map<std::string, Entry> found;
    for (const auto& row :
         rows(FstatDb(o, id), "select path, fileType, syncStatus from fstatinfo")) {
      found[row[0]] = {std::atoi(row[1].c_str()), std::atoi(row[2].c_str())};
    }
    for (const auto& [path, entry] : want) {
      ++*checked;
      auto it = found.find(path);
      if (it == found.end() || it->second.type != entry.type || it->second.state != entry.state) {
        ++*lost;
      }
    }
    for (const auto& item : found) {
      if (want.count(item.first) == 0) ++*unexpected;
    }
  }
}

// Error lines of a log, split into busy time-outs (a reader's back-offs among them) and
// everything else.
void CountErrors(const std::string& log, long* busy, long* other) {
  std::ifstream in(log);
  for (std::string line; std::getline(in, line);) {
    if (line.find("[ERROR]") == std::string::npos) continue;
    if (line.find("database is locked") != std::string::npos ||
        line.find("locked by another connection") != std::string::npos) {
      ++*busy;
    } else {
      ++*other;
      std::fprintf(stderr, "kelo-stress: %s\n", line.c_str());
    }
  }
}

pid_t Start(const std::string& self, const Options& o, const std::string& mode) {
  std::vector<std::string> args = {self,        mode,
                                   "--home",    o.home,
                                   "--seconds", std::to_string(o.seconds),
                                   "--readers", std::to_string(o.readers),
                                   "--seed",    std::to_string(o.seed)};
  if (o.reader_role) args.push_back("--reader-role");
  const pid_t pid = fork();
  if (pid == 0) {
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    execv(self.c_str(), argv.data());
    _exit(127);
  }
  return pid;
}

// How a child ended, for people; empty when it exited with status 0.
std::string Ended(pid_t pid) {
  int status = 0;
  if (pid < 0 || waitpid(pid, &status, 0) != pid) return "could not be started";
  if (WIFSIGNALED(status)) return "crashed (signal " + std::to_string(WTERMSIG(status)) + ")";
  if (WEXITSTATUS(status) != 0) return "exited with status " + std::to_string(WEXITSTATUS(status));
  return "";
}

// Gives the run a home: a new temporary directory when none was named (then `*own_home`), or
// the named one when it holds no system database yet. kExitOk, or the status to exit with.
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

int RunDriver(Options o) {
  bool own_home = false;
  if (const int status = PrepareHome(&o, &own_home); status != kExitOk) return status;
  if (o.seed == 0) o.seed = static_cast<unsigned>(std::random_device{}());
  std::printf("kelo-stress: journal %s, %d s, %d reader threads%s, seed %u, home %s\n",
              o.journal.c_str(), o.seconds, o.readers, o.reader_role ? " in the reader role" : "",
              o.seed, o.home.c_str());
  if (BuildHome(o) != 0) {
    std::fprintf(stderr, "kelo-stress: cannot build the databases in %s\n", o.home.c_str());
    return kExitFailure;
  }

  std::error_code ec;
  std::string self = fs::read_symlink("/proc/self/exe", ec).string();
  const pid_t writer = Start(self, o, "writer");
  const pid_t reader = Start(self, o, "reader");
  const std::string writer_end = Ended(writer);
  const std::string reader_end = Ended(reader);

  const Model model = Replay(o);
  long checked = 0, lost = 0, unexpected = 0;
  Compare(o, model, &checked, &lost, &unexpected);
  long writer_busy = 0, writer_other = 0, reader_busy = 0, reader_other = 0;
  CountErrors(WriterLog(o), &writer_busy, &writer_other);
  CountErrors(ReaderLog(o), &reader_busy, &reader_other);
  long reads = 0, badges = 0, lookup_failures = 0, backed_off = 0, writer_failed = 0;
  long longest_us = 0;
  std::ifstream(ReaderSummary(o)) >> reads >> badges >> lookup_failures >> backed_off >> longest_us;
  std::ifstream(WriterSummary(o)) >> writer_failed;

  std::printf("writer: %ld writes done, %ld failed (%ld busy time-outs logged)%s%s\n", model.writes,
              writer_failed, writer_busy, writer_end.empty() ? "" : ", ", writer_end.c_str());
  std::printf(
      "readers: %ld reads, %ld badges, %ld failures (%ld busy time-outs, %ld session lookups "
      "failed, %ld other)%s%s\n",
      reads, badges, reader_busy + reader_other + lookup_failures, reader_busy, lookup_failures,
      reader_other, reader_end.empty() ? "" : ", ", reader_end.c_str());
  if (o.reader_role) {
    std::printf(
        "reader role: %ld reads (%.1f %%) left a locked database alone, in %ld back-offs; "
        "longest icon %.1f ms\n",
        backed_off, reads > 0 ? 100.0 * backed_off / reads : 0.0, reader_busy, longest_us / 1000.0);
  }
  std::printf("check: %ld records compared, %ld lost, %ld unexpected\n", checked, lost, unexpected);
  // A session lookup says only that it failed, not why; with the 300 s busy time-out no
  // lookup of a run this short may fail.
  const bool ok = writer_end.empty() && reader_end.empty() && lost == 0 && unexpected == 0 &&
                  writer_other == 0 && reader_other == 0 && lookup_failures == 0 && reads > 0 &&
                  model.writes > 0;
  return Finish(o, own_home, ok);
}

// --- Lock holder -------------------------------------------------------------------------

constexpr double kMaxIconMs = 100;           // longest single icon
constexpr double kMaxWaitingShare = 0.10;    // of the hold, spent in icons that waited
constexpr double kMaxRecoverySeconds = 1.5;  // from the commit to the right badges
int64_t NowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
      .count();
}

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

// The client's long transaction: waits for one byte on stdin, takes BEGIN EXCLUSIVE, runs the
// change, reports "locked <ns>", keeps the lock, reports "committing <ns>", commits and
// reports "released <ns>" (steady clock, the same in every process of the machine).
int RunHolder(const Options& o) {
  char go = 0;
  if (read(STDIN_FILENO, &go, 1) != 1) return kExitFailure;
  kelo::sqlite::Connection db;
  const auto exec = [&](const std::string& sql) {
    char* raw_error = nullptr;
    const int rc = sqlite3_exec(db.get(), sql.c_str(), nullptr, nullptr, &raw_error);
    const kelo::sqlite::Text error(raw_error);
    if (rc != SQLITE_OK) {
      std::fprintf(stderr, "kelo-stress hold: %s: %s\n", sql.c_str(), error.get());
    }
    return rc == SQLITE_OK;
  };
  bool ok = kelo::sqlite::Open(o.hold_db, kelo::sqlite::kReadWriteCreate, &db) == SQLITE_OK &&
            sqlite3_busy_timeout(db.get(), 10000) == SQLITE_OK && exec("BEGIN EXCLUSIVE") &&
            exec(o.hold_change);
  if (ok) {
    std::printf("locked %lld\n", static_cast<long long>(NowNs()));
    std::fflush(stdout);
    std::this_thread::sleep_for(std::chrono::seconds(o.hold_seconds));
    std::printf("committing %lld\n", static_cast<long long>(NowNs()));
    std::fflush(stdout);
    ok = exec("COMMIT");
    std::printf("released %lld\n", static_cast<long long>(NowNs()));
    std::fflush(stdout);
  }
  return ok ? kExitOk : kExitFailure;
}

struct Icon {
  int64_t start_ns;
  int64_t end_ns;
  int64_t waited_ns;  // in SQLite's busy handler
  int path;           // index into the paths resolved
  int code;           // the state code shown, 0 for no badge
};

// What one phase of the lock-holder run found.
struct LockPhase {
  const char* database = "";
  std::string db_path;
  std::string change;
  std::vector<int> before, after;  // the right code of each path before and after the change
  int64_t locked = 0, committing = 0, released = 0;
  std::vector<Icon> icons;
};

// Starts "kelo-stress hold" on `phase`'s database; its stdin and stdout stay with us.
pid_t StartHolder(const Options& o, const LockPhase& phase, int* to_child, FILE** from_child) {
  int in[2], out[2];
  if (pipe(in) != 0 || pipe(out) != 0) return -1;
  std::error_code ec;
  std::string self = fs::read_symlink("/proc/self/exe", ec).string();
  std::vector<std::string> args = {
      self,   "hold",        "--hold",   std::to_string(o.hold_seconds),
      "--db", phase.db_path, "--change", phase.change};
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(in[0], STDIN_FILENO);
    dup2(out[1], STDOUT_FILENO);
    close(in[1]);
    close(out[0]);
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    execv(self.c_str(), argv.data());
    _exit(127);
  }
  close(in[0]);
  close(out[1]);
  *to_child = in[1];
  *from_child = fdopen(out[0], "r");
  return pid;
}

// Resolves `paths` in turn on one thread, in the reader role, from before the holder takes its
// lock until `observe` seconds after it committed; returns what went wrong, or "".
std::string RunLockPhase(const Options& o, const std::vector<std::string>& paths,
                         double observe_seconds, LockPhase* phase) {
  int to_child = -1;
  FILE* from_child = nullptr;
  const pid_t holder = StartHolder(o, *phase, &to_child, &from_child);
  if (holder < 0 || from_child == nullptr) return "the lock holder could not be started";
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
  const char go = 'g';
  std::string problem = write(to_child, &go, 1) == 1 ? "" : "the lock holder did not start";
  char line[128];
  while (problem.empty() && std::fgets(line, sizeof(line), from_child) != nullptr) {
    long long ns = 0;
    if (std::sscanf(line, "locked %lld", &ns) == 1) phase->locked = ns;
    if (std::sscanf(line, "committing %lld", &ns) == 1) phase->committing = ns;
    if (std::sscanf(line, "released %lld", &ns) == 1) phase->released = ns;
  }
  if (problem.empty() && phase->released == 0) problem = "the lock holder failed";
  if (problem.empty()) {
    std::this_thread::sleep_until(Clock::time_point(std::chrono::nanoseconds(phase->released)) +
                                  std::chrono::duration_cast<Clock::duration>(
                                      std::chrono::duration<double>(observe_seconds)));
  }
  stop = true;
  reader.join();
  std::fclose(from_child);
  close(to_child);
  const std::string holder_end = Ended(holder);
  if (problem.empty() && !holder_end.empty()) problem = "the lock holder " + holder_end;
  return problem;
}

// Lines of the log that report a back-off, and any other error lines (printed).
void CountBackOffs(const std::string& log, long* back_offs, long* other) {
  std::ifstream in(log);
  for (std::string line; std::getline(in, line);) {
    if (line.find("[ERROR]") == std::string::npos) continue;
    if (line.find("locked by another connection") != std::string::npos) {
      ++*back_offs;
    } else {
      ++*other;
      std::fprintf(stderr, "kelo-stress: %s\n", line.c_str());
    }
  }
}

// The paths the reader resolves: every item of every session, in order.
std::vector<std::string> LockPaths(const Options& o) {
  std::vector<std::string> paths;
  for (int n = 1; n <= kInitialSessions; ++n) {
    for (const Item& item : Tree(Folder(o, n))) paths.push_back(item.path);
  }
  return paths;
}

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

// What the icons of one phase showed, against what they should have.
struct LockPhaseFigures {
  double longest_ms = 0, longest_waiting_ms = 0, longest_wait_ms = 0, waiting_s = 0;
  long uncommitted = 0, blocked = 0, waits = 0;
  double hold_s = 0, recovery_s = 0;
  bool recovered = false;
};

LockPhaseFigures MeasureLockPhase(const LockPhase& phase) {
  LockPhaseFigures f;
  int64_t last_wrong_end = phase.released;
  for (const Icon& icon : phase.icons) {
    const double ms = (icon.end_ns - icon.start_ns) / 1e6;
    f.longest_ms = std::max(f.longest_ms, ms);
    f.longest_wait_ms = std::max(f.longest_wait_ms, icon.waited_ns / 1e6);
    f.waiting_s += icon.waited_ns / 1e9;
    f.waits += icon.waited_ns > 0;
    if (icon.waited_ns > 0) f.longest_waiting_ms = std::max(f.longest_waiting_ms, ms);
    const int before = phase.before[icon.path], after = phase.after[icon.path];
    if (icon.end_ns < phase.committing && icon.code == after && after != before && after != 0) {
      ++f.uncommitted;
    }
    if (icon.start_ns > phase.locked && icon.end_ns < phase.committing && icon.code == 0 &&
        before != 0) {
      ++f.blocked;
    }
    if (icon.start_ns > phase.committing && icon.code != after) {
      last_wrong_end = std::max(last_wrong_end, icon.end_ns);
    }
  }
  f.hold_s = (phase.released - phase.locked) / 1e9;
  f.recovery_s = (last_wrong_end - phase.released) / 1e9;
  // Right for the last half second of the observation at least.
  f.recovered = phase.icons.back().end_ns - last_wrong_end > 500000000LL;
  return f;
}

// Prints one phase's figures and what they miss; true when the phase passes.
bool ReportLockPhase(const Options& o, const LockPhase& phase, const LockPhaseFigures& f) {
  const bool rollback = o.journal == "delete";
  const bool longest_ok = f.longest_ms <= kMaxIconMs;
  const bool waiting_ok = f.waiting_s <= kMaxWaitingShare * f.hold_s;
  const bool recovery_ok = f.recovered && f.recovery_s <= kMaxRecoverySeconds;
  std::printf("%s locked %.1f s: %zu icons\n", phase.database, f.hold_s, phase.icons.size());
  std::printf(
      "  longest icon %.1f ms (target %.0f ms: %s); longest that waited for the lock %.1f ms\n",
      f.longest_ms, kMaxIconMs, longest_ok ? "met" : "MISSED", f.longest_waiting_ms);
  std::printf(
      "  waiting for the lock %.3f s in %ld icons, at most %.1f ms in one: %.1f %% of the "
      "hold (target %.0f %%: %s)\n",
      f.waiting_s, f.waits, f.longest_wait_ms, 100 * f.waiting_s / f.hold_s, 100 * kMaxWaitingShare,
      waiting_ok ? "met" : "MISSED");
  std::printf(
      "  %ld icons without their badge while locked; right badges again %.3f s after the "
      "commit (target %.1f s: %s)\n",
      f.blocked, f.recovery_s, kMaxRecoverySeconds, recovery_ok ? "met" : "MISSED");
  if (f.uncommitted > 0) {
    std::printf("%s: %ld icons showed the change before it was committed\n", phase.database,
                f.uncommitted);
  }
  if (rollback && f.blocked == 0) {
    std::printf("%s: the lock never kept the reader from reading\n", phase.database);
  }
  if (!f.recovered) std::printf("%s: the right badges did not come back\n", phase.database);
  return f.uncommitted == 0 && (f.blocked > 0 || !rollback) && f.recovered &&
         (!o.judge_targets || (longest_ok && waiting_ok && recovery_ok));
}

// Runs one phase and judges it; true when it passes.
bool RunAndJudgeLockPhase(const Options& o, const std::vector<std::string>& paths,
                          LockPhase* phase) {
  // Long enough to see the badges come back after a back-off that began just before the
  // commit, with time to spare for slow sanitizer builds.
  const double observe = 2 * kMaxRecoverySeconds;
  std::string problem = RunLockPhase(o, paths, observe, phase);
  if (problem.empty() && phase->icons.empty()) problem = "the reader resolved no icon";
  if (!problem.empty()) {
    std::printf("%s: %s\n", phase->database, problem.c_str());
    return false;
  }
  return ReportLockPhase(o, *phase, MeasureLockPhase(*phase));
}

// Prints what the reader's log says about its back-offs; true when that is as expected.
bool JudgeReaderLog(const Options& o) {
  const bool rollback = o.journal == "delete";
  long back_offs = 0, other = 0;
  CountBackOffs(ReaderLog(o), &back_offs, &other);
  // One line per back-off of at least a second each, per database locked.
  const long most_back_offs = 2 * (o.hold_seconds + 2);
  std::printf("reader log: %ld back-off lines (at most %ld expected), %ld other error lines\n",
              back_offs, most_back_offs, other);
  return other == 0 && back_offs <= most_back_offs && (back_offs > 0 || !rollback);
}

int RunLockDriver(Options o) {
  bool own_home = false;
  if (const int status = PrepareHome(&o, &own_home); status != kExitOk) return status;
  std::printf("kelo-stress: lock holder, journal %s, locks held %d s, home %s\n", o.journal.c_str(),
              o.hold_seconds, o.home.c_str());
  if (BuildHome(o) != 0) {
    std::fprintf(stderr, "kelo-stress: cannot build the databases in %s\n", o.home.c_str());
    return kExitFailure;
  }
  const std::vector<std::string> paths = LockPaths(o);
  std::array<LockPhase, 2> phases = LockPhases(o, paths);
  LogTo(ReaderLog(o));
  if (!InstallTimedSleep()) return kExitFailure;
  bool ok = true;
  kelo::SetDbRole(kelo::DbRole::kReader);
  for (LockPhase& phase : phases) {
    if (!RunAndJudgeLockPhase(o, paths, &phase)) ok = false;
  }
  kelo::SetDbRole(kelo::DbRole::kWriter);
  const bool log_ok = JudgeReaderLog(o);
  return Finish(o, own_home, ok && log_ok);
}

bool ParseInt(const char* text, int min, int* out) {
  char* end = nullptr;
  const long value = std::strtol(text, &end, 10);
  if (end == text || *end != '\0' || value < min || value > 1000000) return false;
  *out = static_cast<int>(value);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  int i = 1;
  if (i < argc && (std::strcmp(argv[i], "writer") == 0 || std::strcmp(argv[i], "reader") == 0 ||
                   std::strcmp(argv[i], "hold") == 0)) {
    o.mode = argv[i++];
  }
  for (; i < argc; ++i) {
    const std::string arg = argv[i];
    const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
    int number = 0;
    bool ok = value != nullptr;
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      return kExitOk;
    } else if (arg == "--journal" && ok) {
      o.journal = value;
      ok = o.journal == "wal" || o.journal == "delete";
    } else if (arg == "--home" && ok) {
      o.home = value;
    } else if (arg == "--seconds" && ok && ParseInt(value, 1, &number)) {
      o.seconds = number;
    } else if (arg == "--reader-role") {
      o.reader_role = true;
      continue;
    } else if (arg == "--lock-holder") {
      o.lock_holder = true;
      continue;
    } else if (arg == "--no-targets") {
      o.judge_targets = false;
      continue;
    } else if (arg == "--hold" && ok && ParseInt(value, 1, &number)) {
      o.hold_seconds = number;
    } else if (arg == "--db" && ok) {
      o.hold_db = value;
    } else if (arg == "--change" && ok) {
      o.hold_change = value;
    } else if (arg == "--readers" && ok && ParseInt(value, 1, &number)) {
      o.readers = number;
    } else if (arg == "--seed" && ok) {
      char* end = nullptr;
      const unsigned long seed = std::strtoul(value, &end, 10);
      ok = end != value && *end == '\0' && seed <= 0xffffffffu;
      o.seed = static_cast<unsigned>(seed);
    } else {
      ok = false;
    }
    if (!ok) {
      std::fprintf(stderr, "kelo-stress: bad argument '%s'\n%s", arg.c_str(), kUsage);
      return kExitUsage;
    }
    ++i;
  }
  if (o.mode == "writer") return RunWriter(o);
  if (o.mode == "reader") return RunReader(o);
  if (o.mode == "hold") return RunHolder(o);
  return o.lock_holder ? RunLockDriver(o) : RunDriver(o);
}
