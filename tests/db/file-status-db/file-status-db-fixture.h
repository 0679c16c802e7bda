// Set-up of the file status store tests: a fresh current database, log messages without their
// location.
#ifndef KELO_TESTS_DB_FILE_STATUS_DB_FILE_STATUS_DB_FIXTURE_H_
#define KELO_TESTS_DB_FILE_STATUS_DB_FILE_STATUS_DB_FIXTURE_H_

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "db/file-status-db/file-status-db.h"
#include "support/log-capture.h"
#include "support/records.h"
#include "support/sql.h"
#include "support/temp-dir.h"

namespace fstat_test {

using kelo_test::ExecSql;
using kelo_test::QueryColumn;
using Strings = std::vector<std::string>;

using kelo_test::Entry;

// The captured messages without "[ERROR] file-status-db.cc(LINE): "; other lines stay whole.
inline Strings Messages(const kelo_test::LogCapture& capture) {
  Strings texts = capture.Lines();
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
    ASSERT_EQ(FileStatusDB::setFileSyncStat(Entry(path, type, status)), 0) << path;
  }

  kelo_test::TempDir dir_;
  const std::string db_ = dir_ / "file-status.sqlite";
};

}  // namespace fstat_test

#endif  // KELO_TESTS_DB_FILE_STATUS_DB_FILE_STATUS_DB_FIXTURE_H_
