#include "db/reader-mode/reader-mode.h"

#include <sqlite3.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <vector>

#include "log/log.h"

namespace kelo {
namespace {

using Clock = std::chrono::steady_clock;

std::atomic<DbRole> g_role{DbRole::kWriter};
std::atomic<unsigned long long> g_reader_opens{0};
std::atomic<void (*)(const char*, const char*)> g_statement_hook{nullptr};

thread_local ReaderWaitNote t_wait_note;

struct KeptConnection {
  std::string path;
  sqlite::Connection db;
  unsigned long long dev;
  unsigned long long ino;
  unsigned long long last_use;
};

// The reader's kept connections and back-off deadlines. A connection is either here (idle)
// or lent to exactly one DbConnection.
struct ReaderPool {
  std::mutex mutex;
  std::vector<KeptConnection> idle;
  std::map<std::string, Clock::time_point> backing_off;
  // Bumped whenever everything is closed, so a connection lent out before is closed when it
  // comes back instead of being kept.
  unsigned long long generation = 0;
  unsigned long long uses = 0;
};

ReaderPool& Pool() {
  static ReaderPool* pool = new ReaderPool;  // outlives static teardown
  return *pool;
}

// The identity of the file `path` names now, or false when it names none.
bool FileIdentity(const std::string& path, unsigned long long* dev, unsigned long long* ino) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return false;
  *dev = st.st_dev;
  *ino = st.st_ino;
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

void CloseAllLocked(ReaderPool& pool) {
  pool.idle.clear();
  pool.backing_off.clear();
  ++pool.generation;
}

bool IsBusy(int rc) { return (rc & 0xff) == SQLITE_BUSY; }

// When the lock wait of this thread's current statement began. A kept connection serves one
// thread at a time, so the thread's clock is the connection's.
thread_local Clock::time_point t_busy_since;

// The reader's busy handler: waits in short sleeps until kReaderBusyBudgetMs of real time have
// passed since the statement first met the lock, then gives up. SQLite's own time-out adds up
// the sleeps it asked for, which a busy machine stretches well past the budget.
int ReaderBusyHandler(void*, int count) {
  const Clock::time_point now = Clock::now();
  if (count == 0) t_busy_since = now;
  const auto waited = now - t_busy_since;
  const auto budget = std::chrono::milliseconds(kReaderBusyBudgetMs);
  if (waited >= budget) return 0;
  const auto remaining = std::chrono::ceil<std::chrono::milliseconds>(budget - waited).count();
  sqlite3_sleep(static_cast<int>(std::min<long long>(count < 4 ? 1 : 5, remaining)));
  return 1;
}

}  // namespace

DbRole CurrentDbRole() { return g_role.load(std::memory_order_acquire); }

void SetDbRole(DbRole role) {
  const DbRole previous = g_role.exchange(role, std::memory_order_acq_rel);
  if (previous == DbRole::kReader && role != DbRole::kReader) CloseKeptConnections();
}

void CloseKeptConnections() {
  ReaderPool& pool = Pool();
  std::lock_guard<std::mutex> lock(pool.mutex);
  CloseAllLocked(pool);
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

ReaderWaitNote LastReaderWait() { return t_wait_note; }

int DbConnection::Open(const std::string& path) {
  path_ = path;
  silenced_ = false;
  if (!InReaderMode()) {
    const int rc = sqlite::Open(path, sqlite::kReadWriteCreate, &db_);
    if (rc == SQLITE_OK) sqlite3_busy_timeout(db_.get(), kWriterBusyTimeoutMs);
    return rc;
  }

  t_wait_note = ReaderWaitNote();
  ReaderPool& pool = Pool();
  unsigned long long dev = 0;
  unsigned long long ino = 0;
  const bool exists = FileIdentity(path, &dev, &ino);
  {
    std::lock_guard<std::mutex> lock(pool.mutex);
    auto backing_off = pool.backing_off.find(path);
    if (backing_off != pool.backing_off.end()) {
      const Clock::time_point now = Clock::now();
      if (now < backing_off->second) {
        silenced_ = true;
        t_wait_note.kind = ReaderWaitNote::kBackingOff;
        t_wait_note.db_path = path;
        t_wait_note.remaining_ms = static_cast<int>(
            std::chrono::ceil<std::chrono::milliseconds>(backing_off->second - now).count());
        return SQLITE_BUSY;
      }
      pool.backing_off.erase(backing_off);
    }
    generation_ = pool.generation;
    // Connections to this path that no longer name the file there are dropped; one that
    // still does is lent out.
    for (auto it = pool.idle.begin(); it != pool.idle.end();) {
      if (it->path != path) {
        ++it;
      } else if (exists && it->dev == dev && it->ino == ino && db_ == nullptr) {
        db_ = std::move(it->db);
        identity_dev_ = it->dev;
        identity_ino_ = it->ino;
        it = pool.idle.erase(it);
      } else {
        it = pool.idle.erase(it);
      }
    }
  }
  kept_ = true;
  if (db_ != nullptr) return SQLITE_OK;

  // The identity was taken before the open: should the file be replaced in between, the
  // next use sees a different identity and opens afresh, never the other way round.
  ++g_reader_opens;
  const int rc = sqlite::Open(path, sqlite::kReadOnly, &db_);
  if (rc != SQLITE_OK || !exists) {
    healthy_ = false;
    return rc;
  }
  sqlite3_busy_handler(db_.get(), ReaderBusyHandler, nullptr);
  if (g_statement_hook.load() != nullptr) {
    sqlite3_trace_v2(db_.get(), SQLITE_TRACE_STMT, TraceStatement, nullptr);
  }
  identity_dev_ = dev;
  identity_ino_ = ino;
  return SQLITE_OK;
}

bool DbConnection::TakeFailure(int rc) {
  healthy_ = false;
  if (!kept_ || !IsBusy(rc)) return false;
  ReaderPool& pool = Pool();
  {
    std::lock_guard<std::mutex> lock(pool.mutex);
    pool.backing_off[path_] = Clock::now() + std::chrono::milliseconds(kReaderBackOffMs);
  }
  t_wait_note.kind = ReaderWaitNote::kGaveUp;
  t_wait_note.db_path = path_;
  t_wait_note.remaining_ms = kReaderBackOffMs;
  KELO_LOG_ERROR(component_,
                 "database locked by another connection for more than %d ms; not reading it for "
                 "%d ms. db-path:[%s]\n",
                 kReaderBusyBudgetMs, kReaderBackOffMs, path_.c_str());
  silenced_ = true;
  return true;
}

// A healthy reader's connection goes back to the pool (the least recently used one beyond
// kMaxKeptConnections is closed); any other is closed by its owner.
DbConnection::~DbConnection() {
  if (db_ == nullptr || !kept_ || !healthy_ || !InReaderMode()) return;
  ReaderPool& pool = Pool();
  std::lock_guard<std::mutex> lock(pool.mutex);
  if (pool.generation != generation_) return;
  pool.idle.push_back({path_, std::move(db_), identity_dev_, identity_ino_, ++pool.uses});
  if (pool.idle.size() > kMaxKeptConnections) {
    pool.idle.erase(std::min_element(
        pool.idle.begin(), pool.idle.end(),
        [](const KeptConnection& a, const KeptConnection& b) { return a.last_use < b.last_use; }));
  }
}

}  // namespace kelo
