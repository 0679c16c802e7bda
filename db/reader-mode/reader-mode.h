// The process-wide database role, and the connection every database operation opens
// through it: the sync client writes, the Finder only reads.
//
// The same database classes run in two kinds of process. A writer (the sync client, the
// tool's writing commands) creates files and schema, builds indexes and waits up to five
// minutes for a lock held elsewhere. A reader (the Finder bundle, the tool's reading
// commands) opens read-only, creates nothing, changes no byte of any file and waits only
// briefly, because it waits on the Finder's drawing thread:
//  - its connections are opened read-only (a missing file is never created) and kept open
//    between calls, at most kMaxKeptConnections of them, the least recently used closed
//    first. Before each use the path must still name the file that was opened (same device
//    and inode); a file deleted or replaced since is dropped and opened afresh, or not at all
//    when it is gone. A kept connection holds no transaction and no lock between calls, and
//    SQLite checks at the start of every read whether another connection changed the file,
//    so each call sees what a fresh connection would see;
//  - a lock held by another connection is waited for at most kReaderBusyBudgetMs per
//    statement. When that runs out, the database "backs off": for kReaderBackOffMs every
//    operation on it fails at once without any SQLite call, then the next one tries again.
//    Each such episode is logged once, when it starts.
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
//   rc = sqlite3_exec(db.get(), ...);
//   if (rc != SQLITE_OK && !db.TakeFailure(rc)) LOG(...);
//
// Thread safety: the role may be read from any thread at any time; change it only while no
// database operation runs on another thread. DbConnection objects belong to one thread; a
// kept connection is lent to one DbConnection at a time.
#ifndef KELO_DB_READER_MODE_READER_MODE_H_
#define KELO_DB_READER_MODE_READER_MODE_H_

#include <cstddef>
#include <string>

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
// Longest wait of a reader's statement for a lock held elsewhere, in real time. A sync
// client's ordinary write transaction holds its lock for the time of one commit: a few
// milliseconds on a quiet disk, 28 ms typically and 44 ms at most on a busy one
// (kelo-stress); this waits one out, and an icon that gives up on a database still ends well
// within 100 ms.
inline constexpr int kReaderBusyBudgetMs = 50;
// How long a reader leaves a database alone after a wait ran out.
inline constexpr int kReaderBackOffMs = 1000;
// Most connections a reader keeps open between calls.
inline constexpr std::size_t kMaxKeptConnections = 4;

// Why the last reader-role database operation of this thread gave up, for explanations.
struct ReaderWaitNote {
  enum Kind {
    kNone,        // it did not give up on a lock
    kGaveUp,      // it waited kReaderBusyBudgetMs for a lock and gave up; back-off started
    kBackingOff,  // it made no SQLite call: the database is backing off
  };
  Kind kind = kNone;
  std::string db_path;
  int remaining_ms = 0;  // kBackingOff: time left before the next attempt
};
ReaderWaitNote LastReaderWait();

// The connection of one database operation, by the current role.
//  Writer: sqlite3_open (read and write, the file created if missing) with the five-minute
//          busy time-out, closed when the object goes.
//  Reader: a kept read-only connection (or a new one) with the short busy budget, handed back
//          when the object goes; nothing at all while the database backs off.
class DbConnection {
 public:
  // `component` names the logger component of the episode message.
  explicit DbConnection(const char* component) : component_(component) {}
  ~DbConnection();
  DbConnection(const DbConnection&) = delete;
  DbConnection& operator=(const DbConnection&) = delete;

  // SQLite's result of opening `path`. After a failed open get() may still hold a handle
  // (for its error text); it is closed with the object. SQLITE_BUSY without any SQLite
  // call while a reader backs off from `path` (then Silenced() is true).
  int Open(const std::string& path);

  sqlite3* get() const { return db_.get(); }

  // True when the last failure was already accounted for (a back-off): the caller reports
  // the failure in its result only, without a log line.
  bool Silenced() const { return silenced_; }

  // To be called with a statement's failing result code. In the reader role a lock that was
  // not released within the budget starts a back-off of this database, logged once; then the
  // result is true and the caller logs nothing. Otherwise false.
  bool TakeFailure(int rc);

 private:
  const char* component_;
  std::string path_;
  sqlite::Connection db_;
  bool kept_ = false;  // a reader's connection, handed back unless it failed
  bool healthy_ = true;
  bool silenced_ = false;
  unsigned long long generation_ = 0;
  // Identity of the file when this connection was opened.
  unsigned long long identity_dev_ = 0;
  unsigned long long identity_ino_ = 0;
};

// Closes every kept connection now and ends every back-off.
void CloseKeptConnections();

// For tests and diagnosis: the number of kept connections, the number of read-only opens
// made so far, and a hook that sees every statement a reader's connection runs, with the
// database file's path (installed on connections opened after the call; nullptr removes
// it).
std::size_t KeptConnectionCount();
unsigned long long ReaderOpenCount();
void SetReaderStatementHook(void (*hook)(const char* db_path, const char* sql));

}  // namespace kelo

#endif  // KELO_DB_READER_MODE_READER_MODE_H_
