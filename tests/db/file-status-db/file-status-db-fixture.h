// Set-up of the file status store tests: a fresh current database, row reads, log messages.
#ifndef KELO_TESTS_DB_FILE_STATUS_DB_FILE_STATUS_DB_FIXTURE_H_
#define KELO_TESTS_DB_FILE_STATUS_DB_FILE_STATUS_DB_FIXTURE_H_

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <string>
#include <vector>

#include "db/file-status-db/file-status-db.h"
#include "support/log-capture.h"
#include "support/temp_dir.h"

namespace fstat_test {

inline FileStatusInfo Info(const std::string& path, int type, int status) {
  FileStatusInfo info;
  info.path = path, info.fileType = type, info.syncStatus = status;
  return info;
}

// Runs sql on dbPath over a connection of its own: the first column of each row (NULL as "").
inline std::vector<std::string> Exec(const std::string& dbPath, const std::string& sql) {
  std::vector<std::string> cells;
  sqlite3* db = nullptr;
  EXPECT_EQ(sqlite3_open(dbPath.c_str(), &db), SQLITE_OK);
  const auto collect = [](void* out, int, char** values, char**) {
    static_cast<std::vector<std::string>*>(out)->push_back(values[0] != nullptr ? values[0] : "");
    return 0;
  };
  EXPECT_EQ(sqlite3_exec(db, sql.c_str(), collect, &cells, nullptr), SQLITE_OK) << sql;
  sqlite3_close(db);
  return cells;
}

// The captured messages without "[ERROR] file-status-db.cc(LINE): "; other lines stay whole.
inline std::vector<std::string> Messages(const kelo_test::LogCapture& capture) {
  std::vector<std::string> texts = capture.Lines();
  for (std::string& line : texts) {
    if (line.rfind("[ERROR] file-status-db.cc(", 0) == 0) line.erase(0, line.find("): ") + 3);
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

#endif  // KELO_TESTS_DB_FILE_STATUS_DB_FILE_STATUS_DB_FIXTURE_H_
