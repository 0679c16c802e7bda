// Set-up of the file status store tests: a fresh current database, entries compared by their
// fields, log messages without their location.
#ifndef KELO_TESTS_DB_FILE_STATUS_DB_FILE_STATUS_DB_FIXTURE_H_
#define KELO_TESTS_DB_FILE_STATUS_DB_FILE_STATUS_DB_FIXTURE_H_

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <tuple>
#include <vector>

#include "db/file-status-db/file-status-db.h"
#include "support/log-capture.h"
#include "support/sql.h"
#include "support/temp_dir.h"

inline bool operator==(const FileStatusInfo& a, const FileStatusInfo& b) {
  return std::tie(a.path, a.fileType, a.syncStatus) == std::tie(b.path, b.fileType, b.syncStatus);
}
inline void PrintTo(const FileStatusInfo& info, std::ostream* out) {
  *out << "{path '" << info.path << "', fileType " << info.fileType << ", syncStatus "
       << info.syncStatus << "}";
}

namespace fstat_test {

using kelo_test::ExecSql;
using kelo_test::QueryColumn;
using Strings = std::vector<std::string>;

inline FileStatusInfo Info(const std::string& path, int type, int status) {
  FileStatusInfo info;
  info.path = path;
  info.fileType = type;
  info.syncStatus = status;
  return info;
}

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
    ASSERT_EQ(FileStatusDB::setFileSyncStat(Info(path, type, status)), 0) << path;
  }

  kelo_test::TempDir dir_;
  const std::string db_ = dir_ / "file-status.sqlite";
};

}  // namespace fstat_test

#endif  // KELO_TESTS_DB_FILE_STATUS_DB_FILE_STATUS_DB_FIXTURE_H_
