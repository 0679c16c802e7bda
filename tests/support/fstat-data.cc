#include "support/fstat-data.h"

#include <sqlite3.h>

#include <cstdio>
#include <filesystem>
#include <system_error>

#include "db/file-status-db/file-status-db.h"
#include "db/sqlite-owners.h"
#include "support/run-sql.h"

namespace kelo_test {

const char kDropLookupIndexes[] =
    "DROP INDEX IF EXISTS fstatinfo_path_nocase_idx; "
    "DROP INDEX IF EXISTS fstatinfo_status_path_idx;";

// "WHERE 0" keeps the indexes empty, and no query's WHERE clause implies it, so the planner
// never picks them; writers pay one constant test per row.
const char kLookupIndexPlaceholders[] =
    "CREATE INDEX IF NOT EXISTS fstatinfo_path_nocase_idx on fstatinfo(id) WHERE 0; "
    "CREATE INDEX IF NOT EXISTS fstatinfo_status_path_idx on fstatinfo(id) WHERE 0;";

namespace {

int Fail(sqlite3* db, const std::string& db_path, const char* what) {
  std::fprintf(stderr, "%s failed on %s: %s\n", what, db_path.c_str(),
               db != nullptr ? sqlite3_errmsg(db) : "out of memory");
  return -1;
}

// Opens `db_path` for writing, waiting up to five minutes for other connections' locks.
int OpenForWriting(const std::string& db_path, kelo::sqlite::Connection* db) {
  if (kelo::sqlite::Open(db_path, kelo::sqlite::kReadWriteCreate, db) != SQLITE_OK) {
    return Fail(db->get(), db_path, "open");
  }
  sqlite3_busy_timeout(db->get(), 300000);
  return 0;
}

// Runs `sql` on `db`. Returns 0, or -1 after printing SQLite's error.
int Exec(sqlite3* db, const std::string& db_path, const char* sql) {
  return RunSql(db, sql, nullptr, nullptr) == SQLITE_OK ? 0 : Fail(db, db_path, sql);
}

}  // namespace

int WriteEntries(const std::string& db_path, const std::vector<FstatRow>& entries) {
  kelo::sqlite::Connection db;
  if (OpenForWriting(db_path, &db) != 0) return -1;
  if (Exec(db.get(), db_path, "BEGIN IMMEDIATE") != 0) return -1;
  sqlite3_stmt* raw = nullptr;
  // The writer's own statement, with parameters in place of its formatted values.
  sqlite3_prepare_v2(db.get(),
                     "insert or replace into fstatinfo  (id, path, fileType, syncStatus)  "
                     "values(NULL, ?1, ?2, ?3);",
                     -1, &raw, nullptr);
  kelo::sqlite::Statement stmt(raw);
  if (!stmt) return Fail(db.get(), db_path, "prepare");
  for (const FstatRow& entry : entries) {
    sqlite3_bind_text(stmt.get(), 1, entry.path.data(), static_cast<int>(entry.path.size()),
                      SQLITE_STATIC);
    sqlite3_bind_int(stmt.get(), 2, entry.fileType);
    sqlite3_bind_int(stmt.get(), 3, entry.syncStatus);
    if (sqlite3_step(stmt.get()) != SQLITE_DONE) return Fail(db.get(), db_path, "insert");
    sqlite3_reset(stmt.get());
  }
  stmt.reset();
  return Exec(db.get(), db_path, "COMMIT");
}

int CopyFile(const std::string& from, const std::string& to) {
  std::error_code error;
  std::filesystem::copy_file(from, to, std::filesystem::copy_options::overwrite_existing, error);
  if (error) {
    std::fprintf(stderr, "copy %s to %s failed: %s\n", from.c_str(), to.c_str(),
                 error.message().c_str());
    return -1;
  }
  return 0;
}

}  // namespace kelo_test
