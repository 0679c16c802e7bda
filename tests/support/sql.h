// A second connection for tests: SQL run on a database file beside the code under test, to
// set up rows, damage a schema, hold a lock or read back what the code wrote.
//
//   kelo_test::ExecSql(db, "drop index fstatinfo_path_nocase_idx");  // failure fails the test
//   kelo_test::QuerySql(db, "select path, syncStatus from fstatinfo")  // {{"/a", "1"}, ...}
//   kelo::sqlite::Connection holder = kelo_test::OpenSql(db);          // kept open by the caller
//   kelo_test::ExecSql(holder.get(), "begin exclusive");
//   EXPECT_TRUE(kelo_test::SqlInChild(db, "update ..."));           // as the sync client would
#ifndef KELO_TESTS_SUPPORT_SQL_H_
#define KELO_TESTS_SUPPORT_SQL_H_

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include "db/sqlite-owners.h"
#include "support/run-sql.h"

namespace kelo_test {

// A read-write connection of its own to `db_path` (created when missing); null, and a test
// failure, when it cannot be opened.
inline kelo::sqlite::Connection OpenSql(const std::string& db_path) {
  kelo::sqlite::Connection db;
  const int rc = kelo::sqlite::Open(db_path, kelo::sqlite::kReadWriteCreate, &db);
  EXPECT_EQ(rc, SQLITE_OK) << db_path;
  if (rc != SQLITE_OK) db.reset();
  return db;
}

// Runs `sql` (one or more statements) on `db`: the rows of every statement, each cell as text
// and NULL as "NULL". A failure fails the test; the rows read before it are returned.
inline SqlRows QuerySql(sqlite3* db, const std::string& sql) {
  SqlRows rows;
  std::string error;
  EXPECT_EQ(RunSql(db, sql, &rows, &error), SQLITE_OK) << sql << ": " << error;
  return rows;
}

inline SqlRows QuerySql(const std::string& db_path, const std::string& sql) {
  const kelo::sqlite::Connection db = OpenSql(db_path);
  return db ? QuerySql(db.get(), sql) : SqlRows();
}

inline void ExecSql(sqlite3* db, const std::string& sql) { QuerySql(db, sql); }
inline void ExecSql(const std::string& db_path, const std::string& sql) { QuerySql(db_path, sql); }

// The first cell of each row `sql` returns.
inline std::vector<std::string> QueryColumn(const std::string& db_path, const std::string& sql) {
  std::vector<std::string> cells;
  for (SqlRow& row : QuerySql(db_path, sql)) cells.push_back(row.empty() ? "" : row[0]);
  return cells;
}

// Runs `body` in a child process, killed after `seconds` so that a hang fails the test instead
// of stopping the suite. True when the child exited with status 0, which `body` returning true
// gives.
inline bool InChild(const std::function<bool()>& body, unsigned seconds = 30) {
  const pid_t child = fork();
  if (child == 0) {
    alarm(seconds);
    _exit(body() ? 0 : 1);
  }
  int status = -1;
  return waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Runs `sql` on `db` in a child process over a connection of its own, as the sync client (or a
// tool of the user's) would. True when it succeeded and, when `first_cell` is given, its first
// row's first cell is that text.
inline bool SqlInChild(const std::string& db, const std::string& sql,
                       const char* first_cell = nullptr) {
  return InChild([&] {
    SqlRows rows;
    return RunSql(db, sql, &rows) == SQLITE_OK &&
           (first_cell == nullptr ||
            (!rows.empty() && !rows[0].empty() && rows[0][0] == first_cell));
  });
}

}  // namespace kelo_test

#endif  // KELO_TESTS_SUPPORT_SQL_H_
