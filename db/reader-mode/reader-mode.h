// The process-wide database role, and the connection every database operation opens
// through it: the sync client writes, the Finder only reads.
//
// The same database classes run in two kinds of process. A writer (the sync client, the
// tool's writing commands) creates files and schema, builds indexes and waits up to five
// minutes for a lock held elsewhere. A reader (the Finder bundle, the tool's reading
// commands) opens read-only, creates nothing, changes no byte of any file and waits only
// briefly, because it waits on the Finder's drawing thread:
//  - only a regular file is opened, and only while SQLite's companion files beside it are
//    regular files too (SQLite would block in open() on a FIFO);
//  - its connections are opened read-only (a missing file is never created) and kept open
//    between calls, at most kMaxKeptConnections of them, the least recently used closed
//    first, and none longer than kReaderIdleCloseMs after its last use: an idle reader holds
//    no connection, so it never stands in the way of a client that switches the journal
//    mode, takes an exclusive lock or checkpoints its WAL on close. Before each use the path
//    must still name the very file that was opened: same device, inode, change time and
//    size (an in-place overwrite that keeps SQLite's own change counter is seen too); a file
//    changed, deleted or replaced since is dropped and opened afresh, or not at all when it
//    is gone. The identity is the one of the file SQLite opened: it is taken before and
//    after the open and must agree. A kept connection holds no transaction and no lock
//    between calls, and SQLite checks at the start of every read whether another connection
//    changed the file, so each call sees what a fresh connection would see;
//  - inside a ReaderIconScope, a connection opened for the icon (DbConnection's
//    `icon_transaction`) reads in one read transaction from its first statement to the end of
//    the icon, so the icon takes SQLite's shared lock and reads the file's header once, and its
//    statements all see the same state of the file. A thread holds one such transaction at a
//    time: opening another database ends it first, so no thread waits for a lock while it
//    holds one. The end of the icon ends it, whatever way the icon ended;
//  - a kept connection keeps its prepared statements (Prepared()), finalised with it, and
//    remembers the schema version its schema checks passed at (SchemaCheckedAt());
//  - a lock held by another connection is waited for at most kReaderBusyBudgetMs, per
//    statement, or in all per icon inside a ReaderIconScope. When that runs out, the
//    database "backs off": for kReaderBackOffMs every operation on it fails at once without
//    any SQLite call, then the next one tries again. Each such episode is logged once, when
//    it starts. A hot journal (a client stopped in the middle of a write, whose next open
//    rolls it back) is backed off from the same way and logged once per file;
//  - every failed read is counted per thread (ReadFailures()), so a caller can tell a
//    failed step from an answer, and an answer given up on a lock from a real one.
//
// The role is chosen in one place per process (the bundle when it loads, the tool per
// command) and the database classes consult it; nothing passes it down through calls.
//
// Usage:
//   kelo::SetDbRole(kelo::DbRole::kReader);                     // for the process
//   { kelo::ScopedDbRole reading(kelo::DbRole::kReader); ... }  // for one block
//
//   kelo::DbConnection db("fstat_db_debug");  // in a database operation
//   if (db.Open(path) != SQLITE_OK) { if (!db.Silenced()) LOG(...); return -1; }
//   int rc;
//   kelo::DbConnection::Prepared stmt(&db, "select ... where path = ?1", &rc);
//   if (stmt.get() != nullptr) { sqlite3_bind_text(stmt.get(), 1, ...); rc = sqlite3_step(...); }
//   if (rc != SQLITE_ROW && rc != SQLITE_DONE && !db.TakeFailure(rc)) LOG(...);
//
// Thread safety: the role may be read from any thread at any time; change it only while no
// database operation runs on another thread. DbConnection objects belong to one thread; a
// kept connection is lent to one DbConnection at a time.
#ifndef KELO_DB_READER_MODE_READER_MODE_H_
#define KELO_DB_READER_MODE_READER_MODE_H_

#include <cstddef>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "db/sqlite-owners.h"

namespace kelo {

enum class DbRole {
  kWriter,  // the default: read-write connections, schema and index creation, long waits
  kReader,  // read-only connections, nothing created or written, short bounded waits
};

DbRole CurrentDbRole();
inline bool InReaderMode() { return CurrentDbRole() == DbRole::kReader; }

// Sets the process-wide role. Leaving the reader role closes every kept connection.
void SetDbRole(DbRole role);
// Counts the calls of SetDbRole, so that what a thread remembers for one role is not taken
// for the next.
unsigned long long DbRoleEpoch();

// Sets a role for the lifetime of the object and restores the previous one afterwards.
class ScopedDbRole {
 public:
  explicit ScopedDbRole(DbRole role) : previous_(CurrentDbRole()) { SetDbRole(role); }
  ~ScopedDbRole() { SetDbRole(previous_); }
  ScopedDbRole(const ScopedDbRole&) = delete;
  ScopedDbRole& operator=(const ScopedDbRole&) = delete;

 private:
  DbRole previous_;
};

// Busy time-out of a writer's connections: five minutes.
inline constexpr int kWriterBusyTimeoutMs = 300000;
// Longest wait of a reader for a lock held elsewhere, in real time: per statement, or per
// icon inside a ReaderIconScope. A sync client's ordinary write transaction holds its lock
// for the time of one commit: a few milliseconds on a quiet disk, 28 ms typically and 44 ms
// at most on a busy one (kelo-stress); this waits one out, and an icon that gives up on a
// database still ends well within 100 ms.
inline constexpr int kReaderBusyBudgetMs = 50;
// How long a reader leaves a database alone after a wait ran out.
inline constexpr int kReaderBackOffMs = 1000;
// Most connections a reader keeps open between calls.
inline constexpr std::size_t kMaxKeptConnections = 4;
// A kept connection unused this long is closed. Reopening costs about a tenth of a
// millisecond, paid once per burst of drawing; a burst (a window scrolled, a folder opened)
// draws its icons within a few frames.
inline constexpr int kReaderIdleCloseMs = 1000;

// Why the last reader-role database operation of this thread gave up, for explanations.
struct ReaderWaitNote {
  enum Kind {
    kNone,        // it did not give up on a lock
    kGaveUp,      // it waited kReaderBusyBudgetMs for a lock and gave up; back-off started
    kBackingOff,  // it made no SQLite call: the database is backing off
    kHotJournal,  // a client's interrupted write waits to be rolled back; back-off started
  };
  Kind kind = kNone;
  std::string db_path;
  int remaining_ms = 0;  // kBackingOff: time left before the next attempt
};
ReaderWaitNote LastReaderWait();

// Per-thread counts of failed database reads, for a caller that must tell an answer from a
// failure: compare the counts before and after a step.
struct ReadFailures {
  unsigned long long failed = 0;   // every failed read, for whatever reason
  unsigned long long gave_up = 0;  // of those: a lock not released in time, a back-off, a
                                   // hot journal; the answer is unknown, try again later
};
ReadFailures ThreadReadFailures();
// Counts a failed read of this thread that no DbConnection saw (a refused argument).
void NoteReadFailure();

// Makes the reader's wait budget one for the whole icon: the first wait of any statement
// inside the scope starts it, and every later statement gives up when it has run out. The
// end of the outermost scope also ends the icon's read transaction and hands its connection
// back. Scopes nest; the outermost one counts.
class ReaderIconScope {
 public:
  ReaderIconScope();
  ~ReaderIconScope();
  ReaderIconScope(const ReaderIconScope&) = delete;
  ReaderIconScope& operator=(const ReaderIconScope&) = delete;
};

// The connection of one database operation, by the current role.
//  Writer: sqlite3_open (read and write, the file created if missing) with the five-minute
//          busy time-out, closed when the object goes.
//  Reader: a kept read-only connection (or a new one) with the short busy budget, handed back
//          when the object goes; nothing at all while the database backs off.
class DbConnection {
 public:
  // `component` names the logger component of the episode message. With `icon_transaction`,
  // a reader inside a ReaderIconScope keeps the connection and its read transaction for the
  // icon's next operation on the same database (see above).
  explicit DbConnection(const char* component, bool icon_transaction = false)
      : component_(component), icon_transaction_(icon_transaction) {}
  ~DbConnection();
  DbConnection(const DbConnection&) = delete;
  DbConnection& operator=(const DbConnection&) = delete;

  // SQLite's result of opening `path`. After a failed open get() may still hold a handle
  // (for its error text); it is closed with the object. SQLITE_BUSY without any SQLite
  // call while a reader backs off from `path`, SQLITE_CANTOPEN without any for a file that
  // is not a regular one (then Silenced() is true: logged once here).
  int Open(const std::string& path);

  sqlite3* get() const { return state_.db.get(); }

  // True when the last failure was already accounted for (a back-off): the caller reports
  // the failure in its result only, without a log line.
  bool Silenced() const { return silenced_; }

  // To be called with a statement's failing result code. In the reader role a lock that was
  // not released within the budget, or a hot journal, starts a back-off of this database,
  // logged once; then the result is true and the caller logs nothing. Otherwise false.
  bool TakeFailure(int rc);

  // True when the caller should log a failure `rc` of this database: always for a writer; for
  // a reader once per file identity and result, so a file that fails the same way on every
  // icon (a missing index) is reported once, not once per icon.
  bool FirstReport(int rc);

  // The statement for `sql` (a text that lives as long as the program), prepared once per
  // kept connection and reset, its bindings cleared, after every use; finalised with the
  // connection. nullptr when it cannot be prepared (*rc has SQLite's code).
  class Prepared {
   public:
    Prepared(DbConnection* db, const char* sql, int* rc);
    ~Prepared();
    Prepared(const Prepared&) = delete;
    Prepared& operator=(const Prepared&) = delete;
    sqlite3_stmt* get() const { return stmt_; }

   private:
    sqlite3_stmt* stmt_ = nullptr;
  };

  // The schema version at which this connection's schema checks last passed, or -1; the
  // caller sets it after a check passed. Kept with the connection.
  long long& SchemaCheckedAt() { return state_.schema_checked_at; }
  // One value the caller keeps with this connection (the registry keeps its rows here);
  // dropped with the connection.
  std::shared_ptr<void>& Memo() { return state_.memo; }

  // The connection's state, kept together while it is lent or idle. Members are destroyed in
  // reverse order: statements are finalised before the connection is closed.
  struct State {
    State() = default;
    State(State&&) = default;
    State& operator=(State&& other) {
      statements.clear();  // sqlite3_close fails while a statement lives
      db = std::move(other.db);
      statements = std::move(other.statements);
      schema_checked_at = other.schema_checked_at;
      memo = std::move(other.memo);
      return *this;
    }
    ~State() { statements.clear(); }
    sqlite::Connection db;
    std::vector<std::pair<const char*, sqlite::Statement>> statements;
    long long schema_checked_at = -1;
    std::shared_ptr<void> memo;
  };

  // Identity of a database file: a kept connection serves only while its path names this.
  struct FileId {
    unsigned long long dev = 0, ino = 0, size = 0;
    long long ctime_sec = 0, ctime_nsec = 0;
    bool operator==(const FileId& o) const {
      return dev == o.dev && ino == o.ino && size == o.size && ctime_sec == o.ctime_sec &&
             ctime_nsec == o.ctime_nsec;
    }
  };

 private:
  int OpenReader(const std::string& path);
  void BeginIconTransaction();

  const char* component_;
  bool icon_transaction_;
  std::string path_;
  State state_;
  bool kept_ = false;  // a reader's connection, handed back unless it failed
  bool healthy_ = true;
  bool silenced_ = false;
  unsigned long long generation_ = 0;
  FileId identity_;  // of the file when this connection was opened
};

// Closes every kept connection now and ends every back-off.
void CloseKeptConnections();

// For tests and diagnosis: the number of kept connections, the number of read-only opens
// made so far, a hook that sees every statement a reader's connection runs, with the
// database file's path (installed on connections opened after the call; nullptr removes
// it), and a hook called between a reader's identity check and SQLite's open of a file.
std::size_t KeptConnectionCount();
unsigned long long ReaderOpenCount();
void SetReaderStatementHook(void (*hook)(const char* db_path, const char* sql));
void SetReaderOpenHook(void (*hook)(const char* db_path));

}  // namespace kelo

#endif  // KELO_DB_READER_MODE_READER_MODE_H_
