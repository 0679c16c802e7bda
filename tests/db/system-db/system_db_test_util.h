// Shared pieces of the system database tests: a temporary folder, SQL on a second connection,
// a captured log and a fixture with an open registry.
#ifndef KELO_TESTS_DB_SYSTEM_DB_SYSTEM_DB_TEST_UTIL_H_
#define KELO_TESTS_DB_SYSTEM_DB_SYSTEM_DB_TEST_UTIL_H_

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "db/system-db/system-db.h"
#include "log/log.h"

namespace kelo_test {

class TempDir {
 public:
  TempDir() {
    char tmpl[] = "/tmp/kelo-sysdb-XXXXXX";
    path_ = mkdtemp(tmpl);
  }
  ~TempDir() { std::filesystem::remove_all(path_); }
  std::string path(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Runs a statement script on a connection of its own; returns SQLite's result code.
inline int execSql(const std::string& db_path, const std::string& sql) {
  sqlite3* db = nullptr;
  int rc = sqlite3_open(db_path.c_str(), &db);
  if (rc == SQLITE_OK) rc = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr);
  sqlite3_close(db);
  return rc;
}

// Each row of `sql` as its columns joined by "|", NULL written as "NULL".
inline std::vector<std::string> queryRows(const std::string& db_path, const std::string& sql) {
  std::vector<std::string> rows;
  sqlite3* db = nullptr;
  sqlite3_stmt* stmt = nullptr;
  if (sqlite3_open(db_path.c_str(), &db) == SQLITE_OK &&
      sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr) == SQLITE_OK) {
    while (sqlite3_step(stmt) == SQLITE_ROW) {
      std::string row;
      for (int c = 0; c < sqlite3_column_count(stmt); ++c) {
        const unsigned char* text = sqlite3_column_text(stmt, c);
        row += (c ? "|" : "") + std::string(text ? reinterpret_cast<const char*>(text) : "NULL");
      }
      rows.push_back(row);
    }
  }
  sqlite3_finalize(stmt);
  sqlite3_close(db);
  return rows;
}

// Splits raw logger output into messages "[LEVEL] text". Each message is "<16-byte time stamp>
// [LEVEL] <path>system-db.cc(<line>): text"; a text without a final newline runs on until the
// next time stamp.
inline std::vector<std::string> parseMessages(const std::string& raw) {
  std::vector<size_t> tags;  // where each "[LEVEL]" starts
  for (size_t loc = raw.find("system-db.cc("); loc != std::string::npos;
       loc = raw.find("system-db.cc(", loc + 1)) {
    tags.push_back(raw.rfind('[', loc));
  }
  std::vector<std::string> out;
  for (size_t i = 0; i < tags.size(); ++i) {
    const size_t text = raw.find("): ", tags[i]) + 3;
    const size_t next = i + 1 < tags.size() ? tags[i + 1] - 16 : raw.size();
    out.push_back(raw.substr(tags[i], raw.find(']', tags[i]) + 2 - tags[i]) +
                  raw.substr(text, next - text));
  }
  return out;
}

// Sends the logger's output to a temporary stream (standard error destination, the component
// at DEBUG) and restores the logger afterwards.
class LogCapture {
 public:
  LogCapture() : saved_fp_(Logger::log_fp), saved_type_(Logger::log_type) {
    fp_ = tmpfile();
    Logger::log_fp = fp_;
    Logger::log_type = Logger::kStderr;
    Logger::log_level["system_db_debug"] = Logger::kDebug;
  }
  ~LogCapture() {
    Logger::log_fp = saved_fp_;
    Logger::log_type = saved_type_;
    Logger::log_level.erase("system_db_debug");
    fclose(fp_);
  }

  // The messages written so far, each as "[LEVEL] text": time stamp and location removed.
  std::vector<std::string> messages() const {
    std::string all;
    rewind(fp_);
    for (int c; (c = fgetc(fp_)) != EOF;) all += static_cast<char>(c);
    fseek(fp_, 0, SEEK_END);  // the logger writes next; an update stream needs a seek between
    return parseMessages(all);
  }
  std::string last() const {
    const auto all = messages();
    return all.empty() ? "" : all.back();
  }
  void clear() {
    fflush(fp_);
    if (ftruncate(fileno(fp_), 0) == 0) rewind(fp_);
  }

 private:
  FILE* fp_;
  FILE* saved_fp_;
  Logger::Type saved_type_;
};

// A registry opened on a fresh file for each test and closed afterwards.
class SystemDBTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(SystemDB::initialize(db_), 0); }
  void TearDown() override { SystemDB::destroy(); }
  void sql(const std::string& script) { ASSERT_EQ(execSql(db_, script), SQLITE_OK) << script; }
  std::vector<std::string> rows(const std::string& query) { return queryRows(db_, query); }

  TempDir dir_;
  std::string db_ = dir_.path("sys.sqlite");
};

inline std::vector<uint64_t> idsOf(const std::list<KELOSessionInfo>& list) {
  std::vector<uint64_t> ids;
  for (const auto& info : list) ids.push_back(info.id);
  return ids;
}

}  // namespace kelo_test

#endif  // KELO_TESTS_DB_SYSTEM_DB_SYSTEM_DB_TEST_UTIL_H_
