// The file status store: the SQL template expander, reads and writes, their failures, and the
// lookup indexes initialize() adds.
#include "db/file-status-db/file-status-db.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <climits>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "db/file-status-db/file-status-db-internal.h"
#include "support/fstat-data.h"
#include "support/log-capture.h"
#include "support/records.h"
#include "support/sql.h"
#include "support/temp-dir.h"

namespace {

using FS = FileStatusDB;
using Expansion = kelo::sqlite::MallocText;
using kelo_test::Entry;
using kelo_test::ExecSql;
using kelo_test::QueryColumn;
using Strings = std::vector<std::string>;
constexpr char kPaths[] = "select path from fstatinfo order by path";

// The detail column of EXPLAIN QUERY PLAN, one line per step, for `tmpl` expanded with `path`.
std::string Plan(const std::string& db_path, const char* tmpl, const std::string& path = "") {
  const Expansion sql(KELODBEscapeStringEX3(tmpl, path.c_str(), 2));
  std::string plan;
  for (const auto& step :
       kelo_test::QuerySql(db_path, std::string("EXPLAIN QUERY PLAN ") + sql.get())) {
    plan += step.at(3) + "\n";
  }
  return plan;
}

// Each test starts with a new, initialised current database and ends with none.
class FileStatusDBTest : public testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(FS::initialize(db_), 0); }
  void TearDown() override { FS::m_fstatDBPath.clear(); }

  static void Put(const std::string& path, int type, int status) {
    ASSERT_EQ(FS::setFileSyncStat(Entry(path, type, status)), 0) << path;
  }

  kelo_test::TempDir dir_;
  const std::string db_ = dir_ / "file-status.sqlite";
};

// What the expander makes of templates and values is checked against a model of its contract
// by the expander fuzz target, whose corpus the tests replay (under ASan in that build).
TEST(Expander, ExtremeIntegersNullTemplateAndGrowthLimits) {
  Expansion ints(KELODBEscapeStringEX3("@KELO:INT @KELO:LLINT", INT_MIN, LLONG_MIN));
  EXPECT_STREQ(ints.get(), "-2147483648 -9223372036854775808");
  EXPECT_EQ(KELODBEscapeStringEX3(nullptr), nullptr);
  // Its growth step refuses a size whose double would pass INT_MAX, like a bad argument.
  char* block = static_cast<char*>(malloc(4));
  char* none = nullptr;
  EXPECT_EQ(ExpendBufSize(&block, 4, INT_MAX / 2 + 1, 1), -1);
  EXPECT_EQ(ExpendBufSize(&block, 0, 8, 1), -1);
  EXPECT_EQ(ExpendBufSize(&block, 4, -3, 1), -1);
  EXPECT_EQ(ExpendBufSize(&none, 4, 8, 1), -1);
  EXPECT_EQ(ExpendBufSize(nullptr, 4, 8, 1), -1);
  free(block);
}

TEST_F(FileStatusDBTest, SchemaCurrentFileAndWholeFileWrites) {
  EXPECT_EQ(QueryColumn(db_,
                        "select sql from sqlite_master where name in ('fstatinfo', "
                        "'fstatinfo_path_idx') order by name"),
            (Strings{"CREATE TABLE fstatinfo (        id   INTEGER PRIMARY KEY AUTOINCREMENT, "
                     "\t\tpath text unique NOT NULL,  \t\tfileType integer NOT NULL,  "
                     "\t\tsyncStatus integer NOT NULL  )",
                     "CREATE INDEX fstatinfo_path_idx on fstatinfo(path)"}));
  const int states[] = {0, 1, 2, 3, 2};
  for (int i = 0; i < 5; ++i) Put("/c/" + std::to_string(i), 0, states[i]);
  Put("/c/0", 0, 2);                  // Recorded again: replaced under a new id.
  EXPECT_EQ(FS::initialize(db_), 0);  // Again: the rows stay.
  const std::string other = dir_ / "other.sqlite";
  EXPECT_EQ(FS::initialize(other), 0);  // A, then B: lookups and writes go to B.
  EXPECT_FALSE(FS::isAnyFileSyncing());
  Put("/o/synced", 0, 1);
  Put("/o/syncing", 0, 2);
  EXPECT_TRUE(FS::isAnyFileSyncing());
  // The subtree query ignores ASCII case and asks strictly below "<dir>/".
  for (const char* dir : {"/o", "/O"}) EXPECT_TRUE(FS::isAnySubFileDirSyncing(dir)) << dir;
  for (const char* dir : {"/o/", "/o/sync", "/", "/o/syncing"}) {
    EXPECT_FALSE(FS::isAnySubFileDirSyncing(dir)) << dir;
  }
  FileStatusInfo info = Entry("junk", 7, 7);  // Not found: cleared.
  EXPECT_EQ(FS::getFileSyncStat("/o/none", &info), -1);
  EXPECT_EQ(info, Entry("", 0, 0));
  FileStatusDB fromConstructor(db_);                // The constructor makes A current again.
  EXPECT_EQ(FS::rmEntryBySyncStatus(other, 2), 0);  // The named file, not the current one.
  EXPECT_EQ(QueryColumn(other, kPaths), Strings{"/o/synced"});
  EXPECT_EQ(FS::updateAllSyncingEntry(), 0);
  EXPECT_EQ(kelo_test::QuerySql(db_, "select id, syncStatus from fstatinfo order by path"),
            (kelo_test::SqlRows{{"6", "1"}, {"2", "1"}, {"3", "1"}, {"4", "3"}, {"5", "1"}}));
}

// Each failure: its result, one log line, the current database after; `missing` has 511 bytes.
TEST_F(FileStatusDBTest, FailuresReturnTheirCodeAndLogOneLine) {
  Put("/d/a", 1, 2);
  ExecSql(db_,
          "alter table fstatinfo add column extra text default 'x';"
          "create trigger a before insert on fstatinfo begin select raise(abort, 'refused'); end;"
          "create trigger b before delete on fstatinfo begin select raise(abort, 'refused'); end");
  const std::string missing = dir_ / ("none/" + std::string(511 - dir_.path().size() - 6, 'm'));
  const std::string p512(512, 'p'), p1040(1040, 'p'), d1039(1039, 'd'), nul("/d/a\0x", 6);
  const std::string holdsNul = "path holds a NUL byte. offset:[4] path:[/d/a]";
  const auto tooLong = [](const std::string& path) {
    return "path is too long. length:[" + std::to_string(path.size()) + "] max-length:[" +
           std::to_string(path.size() - 1) + "] path:[" + path + "]";
  };
  const std::string cantOpen = "open db failed. db-path:[" + missing + "] ";
  const std::string unable = "errmsg:[unable to open database file]";
  const std::string openFailed = cantOpen + "errCode:[14] " + unable;
  const std::string refused = "sqlite3_exec error. errCode:(19) error:[refused]";
  const std::string noTable = "errCode:[1] errmsg:[no such table: fstatinfo]";
  const std::string below =
      "select * from fstatinfo where path like '/a/%' escape '\\' and syncStatus=2 limit 2";
  FileStatusInfo keep = Entry("keep", 5, 6);
  FileStatusInfo found;
  const auto rm = [] { return FS::rmFileSyncStat(Entry("/d/a", 0, 2)); };
  const struct {
    std::function<int()> op;
    int result;
    std::string message;
    // The current database before (unset: the test's own) and after (unset: as before).
    std::optional<std::string> before = {}, after = {};
  } cases[] = {
      {[] { return FS::initialize(""); }, -1, "fstat-db path is empty."},
      // A failed open still makes the path current.
      {[&] { return FS::initialize(missing); }, -1, cantOpen + unable, {}, missing},
      {[&] { return FS::initialize(p512); }, -1, tooLong(p512), {}, ""},
      {[&] { return FS::getFileSyncStat("", &keep); }, -1, "filepath is empty."},
      {[] { return FS::getFileSyncStat("/d/a", nullptr); }, -1, "FileStatusInfo  is NULL."},
      {[&] { return FS::getFileSyncStat("/d/a", &found); }, 0,  // A column more than expected.
       "mismatched db output index. row-idx:[1] col-idx:[4]"},
      {[] { return FS::isAnySubFileDirSyncing(""); }, 0, "prefix dirpath is empty."},
      {[&] { return FS::isAnySubFileDirSyncing(d1039); }, 0, tooLong(d1039 + "/")},
      {[&] { return FS::rmFileSyncStat(Entry(p1040, 0, 2)); }, -1, tooLong(p1040)},
      // Removing "" would take every absolute path with it.
      {[] { return FS::rmFileSyncStat(Entry("", 0, 2)); }, -1, "filepath is empty."},
      {[] { return FS::setFileSyncStat(Entry("", 0, 2)); }, -1, "filepath is empty."},
      // Cut at its NUL byte, the path would name "/d/a" and its whole subtree.
      {[&] { return FS::rmFileSyncStat(Entry(nul, 0, 2)); }, -1, holdsNul},
      {[&] { return FS::getFileSyncStat(nul, &keep); }, -1, holdsNul},
      {[] { return FS::rmEntryBySyncStatus("", 2); }, -1, "fstat-db path is empty."},
      {[&] { return FS::rmEntryBySyncStatus(p1040, 2); }, -1, tooLong(p1040)},
      {[&] { return FS::rmEntryBySyncStatus(missing, 2); }, SQLITE_CANTOPEN, openFailed},
      // A statement that fails after a good open is a failure, not a success.
      {[] { return FS::setFileSyncStat(Entry("/d/a", 0, 2)); }, -1, refused},
      {rm, -1, refused},
      {[&] { return FS::rmEntryBySyncStatus(db_, 2); }, -1, refused},
      {rm, SQLITE_CANTOPEN, openFailed, missing},
      // Before any initialisation the temporary database has no table.
      {[&] { return FS::getFileSyncStat("/a", &keep); }, -1,
       "get fstat info failed. file-path:[/a] " + noTable, ""},
      {[] { return FS::isAnySubFileDirSyncing("/a"); }, 0,
       "get_table error. sql:[" + below + "] " + noTable, ""},
      {FS::isAnyFileSyncing, 0,
       "get_table error. sql:[select * from fstatinfo where syncStatus=2 limit 2] " + noTable, ""},
      {FS::updateAllSyncingEntry, -1, "FileStatusDB: sqlite3_exec: no such table: fstatinfo  (1)",
       ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message);
    FS::m_fstatDBPath = c.before.value_or(db_);
    kelo_test::LogCapture capture;
    EXPECT_EQ(c.op(), c.result);
    EXPECT_EQ(capture.Messages(), Strings{"[ERROR] " + c.message + "\n"});
    EXPECT_EQ(FS::m_fstatDBPath, c.after.value_or(c.before.value_or(db_)));
  }
  EXPECT_EQ(keep, Entry("keep", 5, 6));  // Refusals and failed reads leave the record alone.
  EXPECT_EQ(found, Entry("/d/a", 1, 2));
  EXPECT_EQ(QueryColumn(db_, kPaths), Strings{"/d/a"});
}

// A code cell reads as atoi() reads it, but a number outside the 32-bit range reads as 0 instead
// of wrapping into a code (4294967298 would show syncing, 1e20 synced).
TEST_F(FileStatusDBTest, CodesOutsideThe32BitRangeReadAsZero) {
  // clang-format off
  const std::pair<const char*, int> cases[] = {
      {"2", 2}, {"-2147483648", INT_MIN}, {"2147483647", INT_MAX}, {"2147483648", 0},
      {"4294967298", 0}, {"4294967297", 0}, {"-4294967295", 0}, {"1e20", 0}, {"1e300", 0},
      {"-1e300", 0}, {"2.9", 2}, {"'3x'", 3}};
  // clang-format on
  for (const auto& [value, code] : cases) {
    SCOPED_TRACE(value);
    ExecSql(db_, std::string("delete from fstatinfo; insert into fstatinfo (path, fileType, "
                             "syncStatus) values ('/p', ") +
                     value + ", " + value + ")");
    FileStatusInfo info;
    EXPECT_EQ(FS::getFileSyncStat("/p", &info), 0);
    EXPECT_EQ(info, Entry("/p", code, code));
  }
}

// What the entry lookup matches is checked against a model by the entry fuzz target, in either
// role, with and without the lookup indexes; paths holding quotes and wildcards by the
// hostile-input test, which also asks for syncing entries below each.

TEST_F(FileStatusDBTest, RmFileSyncStatRemovesTheEntryAndItsSubtreesOnly) {
  const struct {
    std::string target;
    Strings stored, kept;  // kept in path order
  } cases[] = {
      {"/d", {"/d", "/d/x", "/d/x/y", "/d\\x", "/dx", "/d.txt", "/D/x"}, {"/D/x", "/d.txt", "/dx"}},
      // The path's own GLOB wildcards match only themselves (more in the hostile-input test).
      {"/d/[ab]", {"/d/[ab]", "/d/[ab]/x", "/d/a/x", "/d/b\\x"}, {"/d/a/x", "/d/b\\x"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.target);
    ExecSql(db_, "delete from fstatinfo");
    for (const std::string& path : c.stored) Put(path, 0, 1);
    EXPECT_EQ(FS::rmFileSyncStat(Entry(c.target, 0, 0)), 0);
    EXPECT_EQ(QueryColumn(db_, kPaths), c.kept);
  }
}

TEST_F(FileStatusDBTest, TheLookupsSearchTheirIndexes) {
  for (const char* path : {"/d/File.txt", "/d/50%_a", "/d/it's", "/d/back\\slash",
                           "/d/\xc3\x89t\xc3\xa9/\xe6\x97\xa5", "/@"}) {
    SCOPED_TRACE(path);
    EXPECT_EQ(Plan(db_, kSelectByPath, path),
              "SEARCH fstatinfo USING INDEX fstatinfo_path_nocase_idx (path=?)\n");
    EXPECT_EQ(Plan(db_, kSelectSyncingBelow, std::string(path) + "/"),
              "SEARCH fstatinfo USING INDEX fstatinfo_status_path_idx (syncStatus=? AND path>? AND "
              "path<?)\n");
  }
  EXPECT_EQ(Plan(db_, "select * from fstatinfo where syncStatus=2 limit 2"),
            "SEARCH fstatinfo USING INDEX fstatinfo_status_path_idx (syncStatus=?)\n");
}

// A table in the way of the first index, or a read-only file lacking the indexes: one line,
// the second index not tried, initialize() succeeds and the lookups are still served.
TEST_F(FileStatusDBTest, AnIndexThatCannotBeBuiltIsLoggedOnceAndInitializeSucceeds) {
  Put("/d/a", 0, 2);
  const struct {
    std::string setup, db_path, error;
  } cases[] = {{"create table fstatinfo_path_nocase_idx (x);", db_,
                "there is already a table named fstatinfo_path_nocase_idx"},
               {"drop table fstatinfo_path_nocase_idx;", "file:" + db_ + "?mode=ro",
                "attempt to write a readonly database"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.db_path);
    ExecSql(db_, kelo_test::kDropLookupIndexes + (" " + c.setup));
    if (c.db_path != db_ && !sqlite3_compileoption_used("USE_URI"))
      GTEST_SKIP() << "this SQLite takes no URI file names";
    kelo_test::LogCapture capture;
    EXPECT_EQ(FS::initialize(c.db_path), 0);
    EXPECT_EQ(capture.Messages(),
              Strings{"[ERROR] sqlite3_exec error. cmd:(CREATE INDEX IF NOT EXISTS "
                      "fstatinfo_path_nocase_idx on fstatinfo(path COLLATE NOCASE);)  error:(" +
                      c.error + ")\n"});
    FileStatusInfo info;
    EXPECT_EQ(FS::getFileSyncStat("/D/A", &info), 0);
    EXPECT_EQ(info.syncStatus, 2);
  }
}

}  // namespace
