#include "db/reader-mode/reader-mode.h"

#include <sqlite3.h>
#include <sys/stat.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <tuple>
#include <vector>

#include "db/store/store.h"
#include "log/log.h"

namespace kelo {
namespace {

using Clock = std::chrono::steady_clock;
using FileId = DbConnection::FileId;

std::atomic<DbRole> g_role{DbRole::kWriter};
std::atomic<unsigned long long> g_role_epoch{0};
std::atomic<unsigned long long> g_reader_opens{0};
std::atomic<void (*)(const char*, const char*)> g_statement_hook{nullptr};
std::atomic<void (*)(const char*)> g_open_hook{nullptr};

thread_local ReaderWaitNote t_wait_note;
thread_local ReadFailures t_failures;

struct KeptConnection {
  std::string path;
  DbConnection::State state;
  FileId identity;
  unsigned long long last_use;
  Clock::time_point idle_since;
};

// A failure already logged for one file: logged again only when the file or the failure
// changes.
using Report = std::tuple<std::string, unsigned long long, unsigned long long, long long, long long,
                          unsigned long long, int>;

// The reader's kept connections and back-off deadlines. A connection is either here (idle)
// or lent to exactly one DbConnection.
struct ReaderPool {
  std::mutex mutex;
  std::condition_variable idle_changed;
  bool closer_running = false;
  std::vector<KeptConnection> idle;
  std::map<std::string, Clock::time_point> backing_off;
  std::set<Report> reported;
  // Bumped whenever everything is closed, so a connection lent out before is closed when it
  // comes back instead of being kept.
  unsigned long long generation = 0;
  unsigned long long uses = 0;
};

ReaderPool& Pool() {
  static ReaderPool* pool = new ReaderPool;  // outlives static teardown
  return *pool;
}

// The identity of a file, from its status.
void FillId(const struct stat& st, FileId* id) {
  id->dev = st.st_dev;
  id->ino = st.st_ino;
  id->size = static_cast<unsigned long long>(st.st_size);
#ifdef __APPLE__
  id->ctime_sec = st.st_ctimespec.tv_sec;
  id->ctime_nsec = st.st_ctimespec.tv_nsec;
#else
  id->ctime_sec = st.st_ctim.tv_sec;
  id->ctime_nsec = st.st_ctim.tv_nsec;
#endif
}

// The identity of the regular file `path` names now, or false when it names none.
bool StatFile(const std::string& path, FileId* id) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  FillId(st, id);
  return true;
}

int TraceStatement(unsigned type, void*, void* stmt, void*) {
  void (*hook)(const char*, const char*) = g_statement_hook.load();
  if (hook != nullptr && type == SQLITE_TRACE_STMT) {
    sqlite3_stmt* statement = static_cast<sqlite3_stmt*>(stmt);
    hook(sqlite3_db_filename(sqlite3_db_handle(statement), "main"), sqlite3_sql(statement));
  }
  return 0;
}

void CloseAllLocked(ReaderPool& pool, std::vector<KeptConnection>* closing) {
  for (KeptConnection& kept : pool.idle) closing->push_back(std::move(kept));
  pool.idle.clear();
  pool.backing_off.clear();
  pool.reported.clear();
  ++pool.generation;
}

// Closes the kept connections that nobody used for kReaderIdleCloseMs, on a thread of its
// own, started with the first kept connection: an idle reader must hold no connection
// whether or not anything is drawn again. The connections are closed outside the pool's lock.
void CloseIdleConnections() {
  ReaderPool& pool = Pool();
  std::unique_lock<std::mutex> lock(pool.mutex);
  for (;;) {
    if (pool.idle.empty()) {
      pool.idle_changed.wait(lock);
      continue;
    }
    const auto oldest = std::min_element(pool.idle.begin(), pool.idle.end(),
                                         [](const KeptConnection& a, const KeptConnection& b) {
                                           return a.idle_since < b.idle_since;
                                         });
    const Clock::time_point due =
        oldest->idle_since + std::chrono::milliseconds(kReaderIdleCloseMs);
    if (Clock::now() < due) {
      pool.idle_changed.wait_until(lock, due);
      continue;
    }
    KeptConnection closing = std::move(*oldest);
    pool.idle.erase(oldest);
    lock.unlock();
    closing.state = DbConnection::State();
    lock.lock();
  }
}

bool IsBusy(int rc) { return (rc & 0xff) == SQLITE_BUSY; }

// SQLite's answer when a read-only connection meets a hot journal, or a WAL it may not
// recover; only a writer's next open puts the file right.
bool IsHotJournal(int extended_rc) {
  return extended_rc == SQLITE_READONLY_ROLLBACK || extended_rc == SQLITE_READONLY_RECOVERY;
}

// The wait of this thread's current statement, or icon: a kept connection serves one thread
// at a time, so the thread's clock is the connection's.
thread_local Clock::time_point t_wait_deadline;
thread_local int t_icon_depth = 0;
thread_local bool t_icon_waited = false;

// The reader's busy handler: waits in short sleeps until kReaderBusyBudgetMs of real time have
// passed since the statement (or, in an icon scope, the icon) first met a lock, then gives up.
// SQLite's own time-out adds up the sleeps it asked for, which a busy machine stretches well
// past the budget.
int ReaderBusyHandler(void*, int count) {
  const Clock::time_point now = Clock::now();
  if (count == 0 && !(t_icon_depth > 0 && t_icon_waited)) {
    t_wait_deadline = now + std::chrono::milliseconds(kReaderBusyBudgetMs);
    t_icon_waited = t_icon_depth > 0;
  }
  if (now >= t_wait_deadline) return 0;
  const auto remaining =
      std::chrono::ceil<std::chrono::milliseconds>(t_wait_deadline - now).count();
  sqlite3_sleep(static_cast<int>(std::min<long long>(count < 4 ? 1 : 5, remaining)));
  return 1;
}

// The file checks of one icon: an icon opens each of its two databases several times, and
// a file replaced between two steps of one icon is no different from one replaced just after.
thread_local unsigned long long t_icon_serial = 0;
struct CheckedFile {
  unsigned long long icon = 0;
  std::string path;
  FileId id;
  bool exists = false;
  bool readable = false;
  std::string why;
};
thread_local CheckedFile t_checked[2];

// Companion files (a FIFO among them would block SQLite) appear only as new names in the
// folder, and every new, removed or renamed name there moves the folder's change time. So
// once all three were found missing, not even a dangling link, they are still missing while
// the folder shows the same identity and change time: one stat instead of three per file and
// icon. A change time is from the clock's current tick, so a change in the very tick of the
// check could leave it as it was; a check counts only when the folder's last change was a
// second (many ticks) before it began. (This takes the folder's times from this machine's
// clock, as local file systems do.)
struct MissingCompanions {
  std::string path;  // of the database
  FileId folder;     // of its folder at a check that found all three missing
};
thread_local MissingCompanions t_missing[4];
thread_local unsigned t_missing_next = 0;

bool CompanionsMissing(const std::string& path) {
  const size_t slash = path.rfind('/');
  const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash + 1);
  struct timespec began;
  clock_gettime(CLOCK_REALTIME, &began);
  struct stat st;
  if (stat(folder.c_str(), &st) != 0) return false;
  FileId now;
  FillId(st, &now);
  MissingCompanions* slot = nullptr;
  for (MissingCompanions& missing : t_missing) {
    if (missing.path == path) slot = &missing;
  }
  if (slot != nullptr && slot->folder == now) return true;
  for (const char* companion : {"-journal", "-wal", "-shm"}) {
    if (lstat((path + companion).c_str(), &st) == 0 || errno != ENOENT) {
      if (slot != nullptr) slot->path.clear();
      return false;
    }
  }
  const bool settled = now.ctime_sec + 1 < began.tv_sec ||
                       (now.ctime_sec + 1 == began.tv_sec && now.ctime_nsec < began.tv_nsec);
  if (!settled) {
    if (slot != nullptr) slot->path.clear();
  } else {
    if (slot == nullptr) slot = &t_missing[t_missing_next++ % 4];
    *slot = {path, now};
  }
  return true;
}

// Whether `path` may be opened: false (with *why) when it, or one of SQLite's companions
// beside it, is there but not a regular file. *exists and *id tell the regular file found.
bool CheckFile(const std::string& path, FileId* id, bool* exists, std::string* why) {
  if (t_icon_depth > 0) {
    for (const CheckedFile& checked : t_checked) {
      if (checked.icon == t_icon_serial && checked.path == path) {
        *id = checked.id;
        *exists = checked.exists;
        *why = checked.why;
        return checked.readable;
      }
    }
  }
  struct stat st;
  bool readable = true;
  *exists = false;
  if (stat(path.c_str(), &st) == 0) {
    if (!S_ISREG(st.st_mode)) {
      *why = "is not a regular file";
      readable = false;
    } else {
      FillId(st, id);
      *exists = true;
      readable = CompanionsMissing(path) || store::CompanionsAreRegular(path, why);
    }
  }
  if (t_icon_depth > 0) {
    CheckedFile& slot = t_checked[t_checked[0].icon == t_icon_serial ? 1 : 0];
    slot = {t_icon_serial, path, *id, *exists, readable, *why};
  }
  return readable;
}

// The statement for `sql` kept with `state`, prepared on first use; nullptr (with *rc) when it
// cannot be prepared.
sqlite3_stmt* KeptStatement(DbConnection::State* state, const char* sql, int* rc) {
  *rc = SQLITE_OK;
  for (auto& [text, stmt] : state->statements) {
    if (text == sql || std::strcmp(text, sql) == 0) return stmt.get();
  }
  sqlite3_stmt* raw = nullptr;
  *rc = sqlite3_prepare_v2(state->db.get(), sql, -1, &raw, nullptr);
  if (*rc != SQLITE_OK) {
    sqlite3_finalize(raw);
    return nullptr;
  }
  state->statements.emplace_back(sql, sqlite::Statement(raw));
  return raw;
}

// Runs the kept statement `sql` (BEGIN, COMMIT) once: SQLITE_DONE on success.
int StepKept(DbConnection::State* state, const char* sql) {
  int rc;
  sqlite3_stmt* stmt = KeptStatement(state, sql, &rc);
  if (stmt == nullptr) return rc;
  rc = sqlite3_step(stmt);
  sqlite3_reset(stmt);
  return rc;
}

// Hands a healthy reader's connection back to the pool, unless everything was closed since it
// was lent (then it is closed here); the least recently used one beyond kMaxKeptConnections is
// closed.
void KeepIdle(std::string path, DbConnection::State state, const FileId& identity,
              unsigned long long generation) {
  ReaderPool& pool = Pool();
  KeptConnection evicted;
  std::lock_guard<std::mutex> lock(pool.mutex);
  if (pool.generation != generation) return;
  // The closing thread sleeps until the oldest idle connection is due; only an empty pool
  // leaves it asleep with no due time, so only then does it need waking.
  const bool was_empty = pool.idle.empty();
  pool.idle.push_back({std::move(path), std::move(state), identity, ++pool.uses, Clock::now()});
  if (pool.idle.size() > kMaxKeptConnections) {
    const auto lru = std::min_element(
        pool.idle.begin(), pool.idle.end(),
        [](const KeptConnection& a, const KeptConnection& b) { return a.last_use < b.last_use; });
    evicted = std::move(*lru);
    pool.idle.erase(lru);
  }
  if (!pool.closer_running) {
    pool.closer_running = true;
    std::thread(CloseIdleConnections).detach();
  }
  if (was_empty) pool.idle_changed.notify_one();
}

// The connection the current icon keeps between its operations on one database, in the read
// transaction it opened there. Only this thread sees it.
struct HeldConnection {
  bool held = false;
  std::string path;
  DbConnection::State state;
  FileId identity;
  unsigned long long generation = 0;
};
thread_local HeldConnection t_held;

// Ends the icon's read transaction, which lets go of SQLite's shared lock, and hands its
// connection back; one whose transaction does not end cleanly is closed.
void EndIconTransaction() {
  if (!t_held.held) return;
  t_held.held = false;
  DbConnection::State state = std::move(t_held.state);
  const bool ended =
      sqlite3_get_autocommit(state.db.get()) != 0 || StepKept(&state, "COMMIT") == SQLITE_DONE;
  if (ended && InReaderMode()) {
    KeepIdle(std::move(t_held.path), std::move(state), t_held.identity, t_held.generation);
  }
}

Report ReportKey(const std::string& path, const FileId& id, int rc) {
  return {path, id.dev, id.ino, id.ctime_sec, id.ctime_nsec, id.size, rc};
}

// True the first time `rc` is reported for the file `path` names now.
bool FirstReportOf(const std::string& path, int rc) {
  FileId id;
  StatFile(path, &id);
  ReaderPool& pool = Pool();
  std::lock_guard<std::mutex> lock(pool.mutex);
  return pool.reported.insert(ReportKey(path, id, rc)).second;
}

}  // namespace

DbRole CurrentDbRole() { return g_role.load(std::memory_order_acquire); }

unsigned long long DbRoleEpoch() { return g_role_epoch.load(std::memory_order_acquire); }

void SetDbRole(DbRole role) {
  g_role_epoch.fetch_add(1, std::memory_order_acq_rel);
  const DbRole previous = g_role.exchange(role, std::memory_order_acq_rel);
  if (previous == DbRole::kReader && role != DbRole::kReader) CloseKeptConnections();
}

void CloseKeptConnections() {
  std::vector<KeptConnection> closing;
  ReaderPool& pool = Pool();
  std::lock_guard<std::mutex> lock(pool.mutex);
  CloseAllLocked(pool, &closing);
}

std::size_t KeptConnectionCount() {
  ReaderPool& pool = Pool();
  std::lock_guard<std::mutex> lock(pool.mutex);
  return pool.idle.size();
}

unsigned long long ReaderOpenCount() { return g_reader_opens.load(); }

void SetReaderStatementHook(void (*hook)(const char* db_path, const char* sql)) {
  g_statement_hook.store(hook);
}

void SetReaderOpenHook(void (*hook)(const char* db_path)) { g_open_hook.store(hook); }

ReaderWaitNote LastReaderWait() { return t_wait_note; }

ReadFailures ThreadReadFailures() { return t_failures; }

void NoteReadFailure() { ++t_failures.failed; }

ReaderIconScope::ReaderIconScope() {
  if (t_icon_depth++ == 0) {
    t_icon_waited = false;
    ++t_icon_serial;
  }
}

ReaderIconScope::~ReaderIconScope() {
  if (--t_icon_depth == 0) EndIconTransaction();
}

int DbConnection::Open(const std::string& path) {
  path_ = path;
  silenced_ = false;
  if (!InReaderMode()) {
    const int rc = sqlite::Open(path, sqlite::kReadWriteCreate, &state_.db);
    if (rc == SQLITE_OK) sqlite3_busy_timeout(state_.db.get(), kWriterBusyTimeoutMs);
    if (rc != SQLITE_OK) NoteReadFailure();
    return rc;
  }
  const int rc = OpenReader(path);
  if (rc != SQLITE_OK) {
    NoteReadFailure();
    if (silenced_ && t_wait_note.kind == ReaderWaitNote::kBackingOff) ++t_failures.gave_up;
  }
  return rc;
}

int DbConnection::OpenReader(const std::string& path) {
  t_wait_note = ReaderWaitNote();
  if (t_held.held) {
    // The icon's own connection, checked and locked by its first operation.
    if (icon_transaction_ && t_icon_depth > 0 && t_held.path == path) {
      t_held.held = false;
      state_ = std::move(t_held.state);
      identity_ = t_held.identity;
      generation_ = t_held.generation;
      kept_ = true;
      return SQLITE_OK;
    }
    EndIconTransaction();
  }
  ReaderPool& pool = Pool();
  FileId now;
  bool exists = false;
  std::string why;
  // Anything that is not a regular file, or has a companion that is not, gets no SQLite
  // call at all: SQLite would block opening a FIFO.
  if (!CheckFile(path, &now, &exists, &why)) {
    silenced_ = true;
    if (FirstReport(SQLITE_CANTOPEN)) {
      KELO_LOG_ERROR(component_, "database file %s: not opened. db-path:[%s]\n", why.c_str(),
                     path.c_str());
    }
    return SQLITE_CANTOPEN;
  }
  {
    std::lock_guard<std::mutex> lock(pool.mutex);
    auto backing_off = pool.backing_off.find(path);
    if (backing_off != pool.backing_off.end()) {
      const Clock::time_point time = Clock::now();
      if (time < backing_off->second) {
        silenced_ = true;
        t_wait_note.kind = ReaderWaitNote::kBackingOff;
        t_wait_note.db_path = path;
        t_wait_note.remaining_ms = static_cast<int>(
            std::chrono::ceil<std::chrono::milliseconds>(backing_off->second - time).count());
        return SQLITE_BUSY;
      }
      pool.backing_off.erase(backing_off);
    }
    generation_ = pool.generation;
    // Connections to this path that no longer name the file there are dropped (closed with
    // `stale` once the lock is let go); one that still does is lent out.
    std::vector<KeptConnection> stale;
    for (auto it = pool.idle.begin(); it != pool.idle.end();) {
      if (it->path != path) {
        ++it;
      } else if (exists && it->identity == now && state_.db == nullptr) {
        state_ = std::move(it->state);
        identity_ = it->identity;
        it = pool.idle.erase(it);
      } else {
        stale.push_back(std::move(*it));
        it = pool.idle.erase(it);
      }
    }
  }
  kept_ = true;
  if (state_.db != nullptr) {
    BeginIconTransaction();
    return SQLITE_OK;
  }

  // The identity must be the one of the file SQLite opened: taken before and after the
  // open, it must not have changed in between, or the file could have been replaced by
  // another (and its inode number given to a third) while SQLite opened it.
  constexpr int kAttempts = 3;
  int rc = SQLITE_CANTOPEN;
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    FileId before;
    const bool existed = StatFile(path, &before);
    if (void (*hook)(const char*) = g_open_hook.load()) hook(path.c_str());
    ++g_reader_opens;
    rc = sqlite::Open(path, sqlite::kReadOnly, &state_.db);
    FileId after;
    if (rc != SQLITE_OK || !existed) {
      healthy_ = false;
      return rc;
    }
    if (StatFile(path, &after) && after == before) {
      identity_ = before;
      healthy_ = true;
      break;
    }
    // Changed during the open: used for this call only, unless a later attempt is stable.
    healthy_ = false;
    if (attempt + 1 < kAttempts) state_.db.reset();
  }
  sqlite3_busy_handler(state_.db.get(), ReaderBusyHandler, nullptr);
  // A plan that depends on a bound value (a LIKE pattern) would be made again whenever the
  // value changes, which is on every icon; the reader's statements bind ranges for the index.
  sqlite3_db_config(state_.db.get(), SQLITE_DBCONFIG_ENABLE_QPSG, 1, nullptr);
  if (g_statement_hook.load() != nullptr) {
    sqlite3_trace_v2(state_.db.get(), SQLITE_TRACE_STMT, TraceStatement, nullptr);
  }
  BeginIconTransaction();
  return SQLITE_OK;
}

// A deferred BEGIN takes no lock: the icon's first read takes the shared lock (waiting within
// the icon's budget), and its later reads find it taken. When BEGIN fails the statements run
// one by one, as outside an icon.
void DbConnection::BeginIconTransaction() {
  if (icon_transaction_ && t_icon_depth > 0) static_cast<void>(StepKept(&state_, "BEGIN"));
}

bool DbConnection::TakeFailure(int rc) {
  NoteReadFailure();
  const int extended = state_.db != nullptr ? sqlite3_extended_errcode(state_.db.get()) : rc;
  const bool hot_journal = IsHotJournal(extended);
  // A statement that failed on what the file holds (a missing table or index, a write a
  // read-only connection refused) leaves the connection as good as it was.
  if (hot_journal || (rc != SQLITE_ERROR && rc != SQLITE_READONLY)) healthy_ = false;
  if (!kept_) return false;
  if (!IsBusy(rc) && !hot_journal) return false;
  ++t_failures.gave_up;
  ReaderPool& pool = Pool();
  {
    std::lock_guard<std::mutex> lock(pool.mutex);
    pool.backing_off[path_] = Clock::now() + std::chrono::milliseconds(kReaderBackOffMs);
  }
  t_wait_note.kind = hot_journal ? ReaderWaitNote::kHotJournal : ReaderWaitNote::kGaveUp;
  t_wait_note.db_path = path_;
  t_wait_note.remaining_ms = kReaderBackOffMs;
  if (!hot_journal) {
    KELO_LOG_ERROR(component_,
                   "database locked by another connection for more than %d ms; not reading it "
                   "for %d ms. db-path:[%s]\n",
                   kReaderBusyBudgetMs, kReaderBackOffMs, path_.c_str());
  } else if (FirstReport(extended)) {
    KELO_LOG_ERROR(component_,
                   "database has a hot journal (a write interrupted); the client's next open "
                   "rolls it back; not reading it until then. db-path:[%s]\n",
                   path_.c_str());
  }
  silenced_ = true;
  return true;
}

bool DbConnection::FirstReport(int rc) { return !InReaderMode() || FirstReportOf(path_, rc); }

DbConnection::Prepared::Prepared(DbConnection* db, const char* sql, int* rc)
    : stmt_(KeptStatement(&db->state_, sql, rc)) {}

// A statement left stepped would keep its read transaction, and the lock, between icons.
DbConnection::Prepared::~Prepared() {
  if (stmt_ == nullptr) return;
  sqlite3_reset(stmt_);
  sqlite3_clear_bindings(stmt_);
}

// A healthy reader's connection goes back to the pool, or stays with the icon in its read
// transaction; any other is closed by its owner, which ends its transaction too.
DbConnection::~DbConnection() {
  if (state_.db == nullptr || !kept_ || !healthy_ || !InReaderMode()) return;
  if (sqlite3_get_autocommit(state_.db.get()) == 0) {
    if (t_icon_depth > 0 && !t_held.held) {
      t_held.held = true;
      t_held.path = path_;
      t_held.state = std::move(state_);
      t_held.identity = identity_;
      t_held.generation = generation_;
      return;
    }
    if (StepKept(&state_, "COMMIT") != SQLITE_DONE) return;
  }
  KeepIdle(path_, std::move(state_), identity_, generation_);
}

}  // namespace kelo
