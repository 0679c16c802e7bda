#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "db/file-status-db/file-status-db.h"
#include "fstat_test_util.h"

namespace {

using fstat_test::Exec;
using fstat_test::FileStatusDBTest;
using fstat_test::Info;
using fstat_test::Messages;
using fstat_test::Paths;
using fstat_test::Rows;
using kelo_test::LogCapture;
using Strings = std::vector<std::string>;

TEST_F(FileStatusDBTest, RecordingAPathAgainReplacesItsRow) {
  Put("/d/a", 0, 2);
  const int64_t firstId = Rows(db_).at(0).id;
  Put("/d/a", 0, 1);
  const auto rows = Rows(db_);
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].syncStatus, 1);
  EXPECT_GT(rows[0].id, firstId);
}

TEST_F(FileStatusDBTest, RmFileSyncStatRemovesTheEntryAndItsSubtreesOnly) {
  struct Case {
    std::string target;
    Strings stored, kept;
  } cases[] = {
      {"/d", {"/d", "/d/x", "/d/x/y", "/d\\x", "/dx", "/d.txt", "/D/x"}, {"/D/x", "/d.txt", "/dx"}},
      // The path's own GLOB wildcards match only themselves.
      {"/d/a*",
       {"/d/a*", "/d/a*/x", "/d/a*\\y", "/d/ab", "/d/ab/x", "/d/a/x"},
       {"/d/a/x", "/d/ab", "/d/ab/x"}},
      {"/d/a?", {"/d/a?", "/d/a?/x", "/d/ab/x", "/d/ab"}, {"/d/ab", "/d/ab/x"}},
      {"/d/[ab]", {"/d/[ab]", "/d/[ab]/x", "/d/a/x", "/d/b\\x"}, {"/d/a/x", "/d/b\\x"}},
      {"/d/it's", {"/d/it's", "/d/it's/x", "/d/its"}, {"/d/its"}},
      {"/d/50%_", {"/d/50%_", "/d/50%_/x", "/d/50xy/x"}, {"/d/50xy/x"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.target);
    Exec(db_, "delete from fstatinfo");
    for (const std::string& path : c.stored) Put(path, 0, 1);
    EXPECT_EQ(FileStatusDB::rmFileSyncStat(Info(c.target, 0, 0)), 0);
    Strings kept = c.kept;
    std::sort(kept.begin(), kept.end());
    EXPECT_EQ(Paths(db_), kept);
  }
}

TEST_F(FileStatusDBTest, RmEntryBySyncStatusWorksOnTheNamedFileOnly) {
  const std::string other = dir_ / "other.sqlite";
  ASSERT_EQ(FileStatusDB::initialize(other), 0);
  Put("/o/synced", 0, 1);
  Put("/o/syncing1", 0, 2);
  Put("/o/syncing2", 1, 2);
  ASSERT_EQ(FileStatusDB::initialize(db_), 0);
  Put("/c/syncing", 0, 2);

  EXPECT_EQ(FileStatusDB::rmEntryBySyncStatus(other, 2), 0);
  EXPECT_EQ(Paths(other), Strings{"/o/synced"});
  EXPECT_EQ(Paths(db_), Strings{"/c/syncing"});
  EXPECT_EQ(FileStatusDB::m_fstatDBPath, db_);

  LogCapture capture;
  const std::string missing = dir_ / "none/x.sqlite";
  EXPECT_EQ(FileStatusDB::rmEntryBySyncStatus("", 2), -1);
  EXPECT_EQ(FileStatusDB::rmEntryBySyncStatus(std::string(1040, 'p'), 2), -1);
  EXPECT_EQ(FileStatusDB::rmEntryBySyncStatus(missing, 2), SQLITE_CANTOPEN);
  EXPECT_EQ(Messages(capture),
            (Strings{"fstat-db path is empty.",
                     "path is too long. length:[1040] max-length:[1039] path:[" +
                         std::string(1040, 'p') + "]",
                     "open db failed. db-path:[" + missing +
                         "] errCode:[14] errmsg:[unable to open database file]"}));
}

TEST_F(FileStatusDBTest, UpdateAllSyncingEntryTurnsSyncingIntoSynced) {
  Put("/a", 0, 0);
  Put("/b", 0, 1);
  Put("/c", 1, 3);
  EXPECT_EQ(FileStatusDB::updateAllSyncingEntry(), 0);  // Nothing syncing: nothing changes.
  Put("/d", 1, 2);
  Put("/e", 0, 2);
  EXPECT_EQ(FileStatusDB::updateAllSyncingEntry(), 0);
  std::vector<int> states;
  for (const auto& row : Rows(db_)) states.push_back(row.syncStatus);
  EXPECT_EQ(states, (std::vector<int>{0, 1, 3, 1, 1}));
}

// A statement that fails after a good open is a failure, not a success.
TEST_F(FileStatusDBTest, WritesReportFailedStatements) {
  const std::function<int()> writes[] = {
      [] { return FileStatusDB::setFileSyncStat(Info("/d/a", 0, 2)); },
      [] { return FileStatusDB::rmFileSyncStat(Info("/d/a", 0, 2)); },
      [this] { return FileStatusDB::rmEntryBySyncStatus(db_, 2); },
  };
  Put("/d/a", 0, 2);
  Exec(db_,
       "create trigger no_insert before insert on fstatinfo begin select raise(abort, 'refused'); "
       "end; create trigger no_delete before delete on fstatinfo begin select raise(abort, "
       "'refused'); end;");
  for (size_t i = 0; i < std::size(writes); ++i) {
    SCOPED_TRACE(i);
    LogCapture capture;
    EXPECT_EQ(writes[i](), -1);
    EXPECT_EQ(Messages(capture), Strings{"sqlite3_exec error. errCode:(19) error:[refused]"});
  }
  EXPECT_EQ(Rows(db_).size(), 1u);

  // Before any initialisation the temporary database has no table.
  FileStatusDB::m_fstatDBPath.clear();
  LogCapture capture;
  EXPECT_EQ(writes[0](), -1);
  EXPECT_EQ(writes[1](), -1);
  EXPECT_EQ(FileStatusDB::updateAllSyncingEntry(), -1);
  EXPECT_EQ(Messages(capture),
            (Strings{"sqlite3_exec error. errCode:(1) error:[no such table: fstatinfo]",
                     "sqlite3_exec error. errCode:(1) error:[no such table: fstatinfo]",
                     "FileStatusDB: sqlite3_exec: no such table: fstatinfo  (1)"}));
}

TEST_F(FileStatusDBTest, WritesReturnTheOpenCodeWhenTheFileCannotBeOpened) {
  const std::string missing = dir_ / "none/x.sqlite";
  LogCapture capture;
  EXPECT_EQ(FileStatusDB::initialize(missing), -1);
  EXPECT_EQ(FileStatusDB::setFileSyncStat(Info("/d/a", 0, 1)), SQLITE_CANTOPEN);
  EXPECT_EQ(FileStatusDB::rmFileSyncStat(Info("/d/a", 0, 1)), SQLITE_CANTOPEN);
  EXPECT_EQ(FileStatusDB::updateAllSyncingEntry(), -1);
  const std::string openFailed = "open db failed. db-path:[" + missing +
                                 "] errCode:[14] errmsg:[unable to open database file]";
  EXPECT_EQ(
      Messages(capture),
      (Strings{"open db failed. db-path:[" + missing + "] errmsg:[unable to open database file]",
               openFailed, openFailed, "FileStatusDB: failed to open database (" + missing + ")"}));
}

TEST_F(FileStatusDBTest, WritesRefusePathsLongerThanTheirBuffer) {
  const std::string longest(1039, 'p');
  const std::string parent(1030, 'p');
  Put(longest, 0, 1);  // Stored whole.
  Put(parent + "/x", 0, 1);
  LogCapture capture;
  EXPECT_EQ(FileStatusDB::setFileSyncStat(Info(longest + "q", 0, 2)), -1);
  EXPECT_EQ(FileStatusDB::rmFileSyncStat(Info(longest + "q", 0, 2)), -1);
  EXPECT_EQ(Paths(db_), (Strings{parent + "/x", longest}));
  const std::string refused =
      "path is too long. length:[1040] max-length:[1039] path:[" + longest + "q]";
  EXPECT_EQ(Messages(capture), (Strings{refused, refused}));
  EXPECT_EQ(FileStatusDB::rmFileSyncStat(Info(parent, 0, 0)), 0);
  EXPECT_EQ(Paths(db_), Strings{longest});
}

// Another connection holds an exclusive lock for a moment: reads and writes wait for it
// instead of failing busy.
TEST_F(FileStatusDBTest, OperationsWaitForALockHeldElsewhere) {
  sqlite3* holder = nullptr;
  ASSERT_EQ(sqlite3_open(db_.c_str(), &holder), SQLITE_OK);
  const auto holdLockBriefly = [holder](const char* sql) {
    EXPECT_EQ(sqlite3_exec(holder, "begin exclusive", nullptr, nullptr, nullptr), SQLITE_OK);
    EXPECT_EQ(sqlite3_exec(holder, sql, nullptr, nullptr, nullptr), SQLITE_OK);
    return std::thread([holder] {
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
      EXPECT_EQ(sqlite3_exec(holder, "commit", nullptr, nullptr, nullptr), SQLITE_OK);
    });
  };

  std::thread release =
      holdLockBriefly("insert into fstatinfo (path, fileType, syncStatus) values ('/held', 0, 2)");
  FileStatusInfo info;
  EXPECT_EQ(FileStatusDB::getFileSyncStat("/held", &info), 0);  // Sees the committed row.
  release.join();

  release = holdLockBriefly("update fstatinfo set fileType = 1");
  EXPECT_EQ(FileStatusDB::setFileSyncStat(Info("/written", 0, 1)), 0);
  release.join();
  EXPECT_EQ(Paths(db_), (Strings{"/held", "/written"}));
  sqlite3_close(holder);
}

}  // namespace
