// SQL run on a database file over a connection of its own, for programs without GoogleTest
// (the benchmarks) and as the core of the test helpers in sql.h.
//
//   std::string error;
//   kelo_test::SqlRows rows;
//   if (kelo_test::RunSql(db_path, "select path from fstatinfo", &rows, &error) != 0) ...
#ifndef KELO_TESTS_SUPPORT_RUN_SQL_H_
#define KELO_TESTS_SUPPORT_RUN_SQL_H_

#include <sqlite3.h>

#include <string>
#include <vector>

namespace kelo_test {

using SqlRow = std::vector<std::string>;
using SqlRows = std::vector<SqlRow>;

// Runs `sql` (one or more statements) on `db`, appending the rows of every statement to *rows
// when it is not null, each cell as text and NULL as "NULL". Returns SQLite's result code;
// on failure *error (when not null) says why. Rows read before a failure are kept.
int RunSql(sqlite3* db, const std::string& sql, SqlRows* rows, std::string* error);

// The same on a read-write connection of its own to `db_path` (created when missing), which
// waits up to five minutes for other connections' locks.
int RunSql(const std::string& db_path, const std::string& sql, SqlRows* rows = nullptr,
           std::string* error = nullptr);

}  // namespace kelo_test

#endif  // KELO_TESTS_SUPPORT_RUN_SQL_H_
