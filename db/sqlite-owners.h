// Owners of SQLite resources and of a POSIX mutex: every handle, statement, formatted text,
// error text and result table is released by its owner, so no early return can leak one.
//
//   kelo::sqlite::Connection db;                          // sqlite3_close
//   int rc = kelo::sqlite::Open(path, kelo::sqlite::kReadOnly, &db);
//   kelo::sqlite::Statement stmt(raw_stmt);               // sqlite3_finalize
//   kelo::sqlite::Text sql(sqlite3_mprintf("...%q", v));  // sqlite3_free
//   kelo::sqlite::Table table(raw_table);                 // sqlite3_free_table
//   kelo::sqlite::MallocText expanded(KELODBEscapeStringEX3(...));  // free
//   kelo::MutexLock lock(&mutex);                         // pthread_mutex_lock / unlock
//
// Header only; the owners hold no state of their own.
#ifndef KELO_DB_SQLITE_OWNERS_H_
#define KELO_DB_SQLITE_OWNERS_H_

#include <pthread.h>
#include <sqlite3.h>

#include <cstdlib>
#include <memory>
#include <string>

namespace kelo {
namespace sqlite {

struct ConnectionCloser {
  void operator()(sqlite3* db) const { sqlite3_close(db); }
};
struct StatementFinalizer {
  void operator()(sqlite3_stmt* stmt) const { sqlite3_finalize(stmt); }
};
struct SqliteFree {
  void operator()(char* text) const { sqlite3_free(text); }
};
struct TableFree {
  void operator()(char** table) const { sqlite3_free_table(table); }
};
struct MallocFree {
  void operator()(char* text) const { std::free(text); }
};

using Connection = std::unique_ptr<sqlite3, ConnectionCloser>;
using Statement = std::unique_ptr<sqlite3_stmt, StatementFinalizer>;
// Text SQLite allocated: sqlite3_mprintf results and the error texts of sqlite3_exec.
using Text = std::unique_ptr<char, SqliteFree>;
// A sqlite3_get_table result; row 0 holds the column names.
using Table = std::unique_ptr<char*, TableFree>;
// Text allocated with malloc, such as the SQL template expander's results.
using MallocText = std::unique_ptr<char, MallocFree>;

// Open flags: read and write, creating a missing file (as sqlite3_open); read only.
inline constexpr int kReadWriteCreate = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE;
inline constexpr int kReadOnly = SQLITE_OPEN_READONLY;

// Opens `path` with `flags`. *db owns whatever handle SQLite returned, also after a failed
// open, so its error text can still be read and it is closed either way. Returns SQLite's
// result code.
inline int Open(const std::string& path, int flags, Connection* db) {
  sqlite3* raw = nullptr;
  const int rc = sqlite3_open_v2(path.c_str(), &raw, flags, nullptr);
  db->reset(raw);
  return rc;
}

}  // namespace sqlite

// Holds a POSIX mutex for its lifetime.
class MutexLock {
 public:
  explicit MutexLock(pthread_mutex_t* mutex) : mutex_(mutex) { pthread_mutex_lock(mutex_); }
  ~MutexLock() { pthread_mutex_unlock(mutex_); }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

 private:
  pthread_mutex_t* mutex_;
};

}  // namespace kelo

#endif  // KELO_DB_SQLITE_OWNERS_H_
