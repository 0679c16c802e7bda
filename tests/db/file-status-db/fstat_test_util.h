// Shared set-up of the file status store tests: a fresh current database per test, direct
// reads of its rows, and the logged messages without their fixed line prefix.
#ifndef KELO_TESTS_DB_FILE_STATUS_DB_FSTAT_TEST_UTIL_H_
#define KELO_TESTS_DB_FILE_STATUS_DB_FSTAT_TEST_UTIL_H_

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cctype>
#include <cstdint>
#include <string>
#include <vector>

#include "db/file-status-db/file-status-db.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"

namespace fstat_test {

inline FileStatusInfo Info(const std::string& path, int type, int status) {
  FileStatusInfo info;
  info.path = path;
  info.fileType = type;
  info.syncStatus = status;
  return info;
}

struct Row {
  int64_t id;
  std::string path;
  int fileType;
  int syncStatus;
};

// Runs sql on dbPath over a connection of the test's own.
inline void Exec(const std::string& dbPath, const std::string& sql) {
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(dbPath.c_str(), &db), SQLITE_OK);
  EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK) << sql;
  sqlite3_close(db);
}

// Every row of dbPath, ordered by path.
inline std::vector<Row> Rows(const std::string& dbPath) {
  std::vector<Row> rows;
  sqlite3* db = nullptr;
  sqlite3_stmt* stmt = nullptr;
  if (sqlite3_open(dbPath.c_str(), &db) == SQLITE_OK &&
      sqlite3_prepare_v2(db, "select id, path, fileType, syncStatus from fstatinfo order by path",
                         -1, &stmt, nullptr) == SQLITE_OK) {
    while (sqlite3_step(stmt) == SQLITE_ROW) {
      rows.push_back({sqlite3_column_int64(stmt, 0),
                      reinterpret_cast<const char*>(sqlite3_column_text(stmt, 1)),
                      sqlite3_column_int(stmt, 2), sqlite3_column_int(stmt, 3)});
    }
  }
  sqlite3_finalize(stmt);
  sqlite3_close(db);
  return rows;
}

inline std::vector<std::string> Paths(const std::string& dbPath) {
  std::vector<std::string> paths;
  for (const Row& row : Rows(dbPath)) paths.push_back(row.path);
  return paths;
}

// The texts of the captured messages, without "[ERROR] file-status-db.cc(LINE): ". A line
// that lacks that prefix comes back whole, so a comparison with the expected text fails.
inline std::vector<std::string> Messages(const kelo_test::LogCapture& capture) {
  static const std::string kPrefix = "[ERROR] file-status-db.cc(";
  std::vector<std::string> texts;
  for (const std::string& line : capture.Lines()) {
    size_t end = kPrefix.size();
    if (line.compare(0, end, kPrefix) == 0) {
      while (end < line.size() && std::isdigit(static_cast<unsigned char>(line[end]))) ++end;
    }
    const bool prefixed = end > kPrefix.size() && line.compare(end, 3, "): ") == 0;
    texts.push_back(prefixed ? line.substr(end + 3) : line);
  }
  return texts;
}

// Each test starts with a new, initialised current database and ends with none.
class FileStatusDBTest : public testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(FileStatusDB::initialize(db_), 0); }
  void TearDown() override { FileStatusDB::m_fstatDBPath.clear(); }

  static void Put(const std::string& path, int type, int status) {
    ASSERT_EQ(FileStatusDB::setFileSyncStat(Info(path, type, status)), 0) << path;
  }

  kelo_test::TempDir dir_;
  const std::string db_ = dir_ / "file-status.sqlite";
};

}  // namespace fstat_test

#endif  // KELO_TESTS_DB_FILE_STATUS_DB_FSTAT_TEST_UTIL_H_
