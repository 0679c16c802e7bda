#include "support/run-sql.h"

#include "db/sqlite-owners.h"

namespace kelo_test {

int RunSql(sqlite3* db, const std::string& sql, SqlRows* rows, std::string* error) {
  const auto collect = [](void* out, int columns, char** values, char**) {
    SqlRow& row = static_cast<SqlRows*>(out)->emplace_back();
    for (int c = 0; c < columns; ++c) row.emplace_back(values[c] ? values[c] : "NULL");
    return 0;
  };
  char* raw_error = nullptr;
  const int rc =
      sqlite3_exec(db, sql.c_str(), rows != nullptr ? +collect : nullptr, rows, &raw_error);
  const kelo::sqlite::Text owned(raw_error);
  if (rc != SQLITE_OK && error != nullptr) *error = owned ? owned.get() : sqlite3_errstr(rc);
  return rc;
}

int RunSql(const std::string& db_path, const std::string& sql, SqlRows* rows, std::string* error) {
  kelo::sqlite::Connection db;
  const int rc = kelo::sqlite::Open(db_path, kelo::sqlite::kReadWriteCreate, &db);
  if (rc != SQLITE_OK) {
    if (error != nullptr) *error = db ? sqlite3_errmsg(db.get()) : sqlite3_errstr(rc);
    return rc;
  }
  sqlite3_busy_timeout(db.get(), 300000);
  return RunSql(db.get(), sql, rows, error);
}

}  // namespace kelo_test
