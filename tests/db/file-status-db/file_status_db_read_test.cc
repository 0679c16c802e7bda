#include <gtest/gtest.h>

#include <random>
#include <set>
#include <string>
#include <vector>

#include "db/file-status-db/file-status-db.h"
#include "fstat_test_util.h"

namespace {

using fstat_test::Exec;
using fstat_test::FileStatusDBTest;
using fstat_test::Info;
using fstat_test::Messages;
using kelo_test::LogCapture;
using Strings = std::vector<std::string>;

constexpr char kNoTable[] = "no such table: fstatinfo";

TEST_F(FileStatusDBTest, InitializeCreatesTheExactSchema) {
  sqlite3* db = nullptr;
  char** table = nullptr;
  int rows = 0, cols = 0;
  ASSERT_EQ(sqlite3_open(db_.c_str(), &db), SQLITE_OK);
  ASSERT_EQ(sqlite3_get_table(db,
                              "select name, sql from sqlite_master where name like 'fstat%' "
                              "order by name",
                              &table, &rows, &cols, nullptr),
            SQLITE_OK);
  ASSERT_EQ(rows, 4);
  EXPECT_STREQ(table[2], "fstatinfo");
  EXPECT_STREQ(table[3],
               "CREATE TABLE fstatinfo (        id   INTEGER PRIMARY KEY AUTOINCREMENT, \t\tpath "
               "text unique NOT NULL,  \t\tfileType integer NOT NULL,  \t\tsyncStatus integer NOT "
               "NULL  )");
  EXPECT_STREQ(table[4], "fstatinfo_path_idx");
  EXPECT_STREQ(table[5], "CREATE INDEX fstatinfo_path_idx on fstatinfo(path)");
  // The lookup indexes that serve the LIKE queries.
  EXPECT_STREQ(table[6], "fstatinfo_path_nocase_idx");
  EXPECT_STREQ(table[7],
               "CREATE INDEX fstatinfo_path_nocase_idx on fstatinfo(path COLLATE NOCASE)");
  EXPECT_STREQ(table[8], "fstatinfo_status_path_idx");
  EXPECT_STREQ(
      table[9],
      "CREATE INDEX fstatinfo_status_path_idx on fstatinfo(syncStatus, path COLLATE NOCASE)");
  sqlite3_free_table(table);
  sqlite3_close(db);
  EXPECT_EQ(FileStatusDB::initialize(db_), 0);  // Again: the schema steps do nothing.
}

TEST_F(FileStatusDBTest, InitializeSwitchesTheCurrentFileEvenWhenItFails) {
  Put("/a/only-in-a", 0, 2);
  const std::string b = dir_ / "b.sqlite";
  const std::string missing = dir_ / "no-such-dir/c.sqlite";
  FileStatusInfo info;
  LogCapture capture;

  EXPECT_EQ(FileStatusDB::initialize(b), 0);  // A, then B: lookups read B.
  EXPECT_EQ(FileStatusDB::getFileSyncStat("/a/only-in-a", &info), -1);
  EXPECT_FALSE(FileStatusDB::isAnyFileSyncing());
  FileStatusDB fromConstructor(db_);  // The constructor makes A current again.
  EXPECT_TRUE(FileStatusDB::isAnyFileSyncing());

  EXPECT_EQ(FileStatusDB::initialize(""), -1);  // Empty: A stays current.
  EXPECT_EQ(FileStatusDB::m_fstatDBPath, db_);
  EXPECT_EQ(FileStatusDB::initialize(missing), -1);  // Failed, yet current.
  EXPECT_EQ(FileStatusDB::m_fstatDBPath, missing);
  EXPECT_EQ(FileStatusDB::getFileSyncStat("/a/only-in-a", &info), -1);
  EXPECT_EQ(
      Messages(capture),
      (Strings{"fstat-db path is empty.",
               "open db failed. db-path:[" + missing + "] errmsg:[unable to open database file]",
               "open db failed. db-path:[" + missing +
                   "] errCode:[14] errmsg:[unable to open database file]"}));
}

TEST_F(FileStatusDBTest, InitializeRefusesAPathLongerThanItsBuffer) {
  // 511 bytes fit and become current whole; the open then fails (no such folder).
  const std::string fits = dir_ / ("none/" + std::string(511 - dir_.path().size() - 6, 'f'));
  ASSERT_EQ(fits.size(), 511u);
  LogCapture capture;
  EXPECT_EQ(FileStatusDB::initialize(fits), -1);
  EXPECT_EQ(FileStatusDB::m_fstatDBPath, fits);
  // One byte more is refused, and no earlier path stays current.
  EXPECT_EQ(FileStatusDB::initialize(fits + "g"), -1);
  EXPECT_EQ(FileStatusDB::m_fstatDBPath, "");
  EXPECT_EQ(Messages(capture),
            (Strings{"open db failed. db-path:[" + fits + "] errmsg:[unable to open database file]",
                     "path is too long. length:[512] max-length:[511] path:[" + fits + "g]"}));
}

TEST_F(FileStatusDBTest, InitializeOnAFileThatIsNoDatabase) {
  const std::string junk = dir_ / "junk";
  kelo_test::WriteFile(junk, std::string(4096, 'x'));
  LogCapture capture;
  EXPECT_EQ(FileStatusDB::initialize(junk), -1);
  ASSERT_EQ(Messages(capture).size(), 1u);
  EXPECT_EQ(Messages(capture)[0].rfind("sqlite3_exec error. cmd:(CREATE TABLE IF NOT EXISTS", 0),
            0u);
  EXPECT_NE(Messages(capture)[0].find(")  error:(file is not a database)"), std::string::npos);
}

TEST_F(FileStatusDBTest, GetFileSyncStat) {
  Put("/d/File.txt", 0, 1);
  Put("/d/50%_a", 0, 2);
  Put("/d/50xya", 0, 3);
  Put("/d/it's", 1, 2);
  Put("/d/back\\slash", 0, 3);
  Put(std::string(1039, 'p'), 0, 1);
  struct Case {
    std::string path;
    int result;
    FileStatusInfo expected;
  } cases[] = {
      {"/d/file.txt", 0, Info("/d/File.txt", 0, 1)},  // ASCII case is ignored.
      {"/d/50%_a", 0, Info("/d/50%_a", 0, 2)},        // Its wildcards match only themselves.
      {"/d/50%_", -1, Info("", 0, 0)},
      {"/d/50x_a", -1, Info("", 0, 0)},
      {"/d/it's", 0, Info("/d/it's", 1, 2)},
      {"/d/back\\slash", 0, Info("/d/back\\slash", 0, 3)},
      {"/d/none", -1, Info("", 0, 0)},  // Not found: cleared.
      {std::string(1039, 'p'), 0, Info(std::string(1039, 'p'), 0, 1)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    FileStatusInfo info = Info("junk", 7, 7);
    EXPECT_EQ(FileStatusDB::getFileSyncStat(c.path, &info), c.result);
    EXPECT_EQ(info.path, c.expected.path);
    EXPECT_EQ(info.fileType, c.expected.fileType);
    EXPECT_EQ(info.syncStatus, c.expected.syncStatus);
  }
}

TEST_F(FileStatusDBTest, GetFileSyncStatRefusalsLeaveTheRecordAlone) {
  LogCapture capture;
  FileStatusInfo info = Info("keep", 5, 6);
  EXPECT_EQ(FileStatusDB::getFileSyncStat("", &info), -1);
  EXPECT_EQ(FileStatusDB::getFileSyncStat("/d/a", nullptr), -1);
  EXPECT_EQ(FileStatusDB::getFileSyncStat(std::string(1040, 'p'), &info), -1);
  EXPECT_EQ(info.path, "keep");
  EXPECT_EQ(info.fileType, 5);
  EXPECT_EQ(Messages(capture), (Strings{"filepath is empty.", "FileStatusInfo  is NULL.",
                                        "path is too long. length:[1040] max-length:[1039] path:[" +
                                            std::string(1040, 'p') + "]"}));
}

TEST_F(FileStatusDBTest, GetFileSyncStatReportsExtraColumns) {
  Exec(db_, "alter table fstatinfo add column extra text default 'x'");
  Put("/d/a", 1, 2);
  LogCapture capture;
  FileStatusInfo info;
  EXPECT_EQ(FileStatusDB::getFileSyncStat("/d/a", &info), 0);
  EXPECT_EQ(info.syncStatus, 2);
  EXPECT_EQ(Messages(capture), Strings{"mismatched db output index. row-idx:[1] col-idx:[4]"});
}

TEST_F(FileStatusDBTest, SyncingQuestions) {
  EXPECT_FALSE(FileStatusDB::isAnyFileSyncing());
  Put("/d", 1, 1);
  Put("/d/a/b", 0, 1);
  Put("/dx/c", 0, 2);
  EXPECT_TRUE(FileStatusDB::isAnyFileSyncing());
  EXPECT_FALSE(FileStatusDB::isAnySubFileDirSyncing("/d"));  // Only the sibling "/dx" syncs.
  Put("/d/a/b", 0, 2);
  struct Case {
    const char* dir;
    bool syncing;
  } cases[] = {{"/d", true},      {"/D", true}, {"/d/a", true}, {"/d/", false}, {"/dx", true},
               {"/d/a/b", false}, {"/", false}, {"/d%", false}, {"/d_", false}, {"/e", false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.dir);
    EXPECT_EQ(FileStatusDB::isAnySubFileDirSyncing(c.dir), c.syncing);
  }
  LogCapture capture;
  EXPECT_FALSE(FileStatusDB::isAnySubFileDirSyncing(""));
  EXPECT_FALSE(FileStatusDB::isAnySubFileDirSyncing(std::string(1039, 'd')));  // With "/": 1040.
  EXPECT_EQ(Messages(capture), (Strings{"prefix dirpath is empty.",
                                        "path is too long. length:[1040] max-length:[1039] path:[" +
                                            std::string(1039, 'd') + "/]"}));
}

TEST_F(FileStatusDBTest, LookupsBeforeAnyInitialisationFailAndLog) {
  FileStatusDB::m_fstatDBPath.clear();
  LogCapture capture;
  FileStatusInfo info = Info("keep", 1, 1);
  EXPECT_EQ(FileStatusDB::getFileSyncStat("/a", &info), -1);
  EXPECT_EQ(info.path, "keep");
  EXPECT_FALSE(FileStatusDB::isAnySubFileDirSyncing("/a"));
  EXPECT_FALSE(FileStatusDB::isAnyFileSyncing());
  EXPECT_EQ(Messages(capture),
            (Strings{std::string("get fstat info failed. file-path:[/a] errCode:[1] errmsg:[") +
                         kNoTable + "]",
                     std::string("get_table error. sql:[select * from fstatinfo where path like "
                                 "'/a/%' escape '\\' and syncStatus=2 limit 2] errCode:[1] "
                                 "errmsg:[") +
                         kNoTable + "]",
                     std::string("get_table error. sql:[select * from fstatinfo where syncStatus=2 "
                                 "limit 2] errCode:[1] errmsg:[") +
                         kNoTable + "]"}));
}

// Paths built from the characters that quoting, LIKE or GLOB treat specially. ASCII letters
// are lower case only, since lookups ignore their case.
Strings GeneratedPaths(size_t count) {
  static const char* const kPieces[] = {
      "'", "\\", "%",  "_",  "a", "b", "\xc3\xa9",     "/",         "*", "?", "[",
      "]", " ",  "\"", "''", "@", "x", "\xe6\x97\xa5", "@KELO:VAR", "%_"};
  std::mt19937 rng(4);
  std::uniform_int_distribution<size_t> piece(0, std::size(kPieces) - 1), length(1, 10);
  std::set<std::string> seen;
  Strings paths;
  while (paths.size() < count) {
    std::string path = "/r/";
    for (size_t n = length(rng); n > 0; --n) path += kPieces[piece(rng)];
    if (seen.insert(path).second) paths.push_back(path);
  }
  return paths;
}

TEST_F(FileStatusDBTest, EveryGeneratedPathFindsOnlyItsOwnRow) {
  const Strings paths = GeneratedPaths(150);
  // The last matching row wins, so a second match shows up in one of the two insert orders.
  for (bool reversed : {false, true}) {
    Exec(db_, "delete from fstatinfo");
    for (size_t k = 0; k < paths.size(); ++k) {
      const size_t i = reversed ? paths.size() - 1 - k : k;
      Put(paths[i], static_cast<int>(i), 1);
    }
    for (size_t i = 0; i < paths.size(); ++i) {
      SCOPED_TRACE(paths[i]);
      FileStatusInfo info;
      ASSERT_EQ(FileStatusDB::getFileSyncStat(paths[i], &info), 0);
      EXPECT_EQ(info.path, paths[i]);
      EXPECT_EQ(info.fileType, static_cast<int>(i));
    }
  }
}

TEST_F(FileStatusDBTest, SubtreeQueryNeverMatchesASiblingPrefix) {
  for (const std::string& dir : GeneratedPaths(40)) {
    SCOPED_TRACE(dir);
    Exec(db_, "delete from fstatinfo");
    std::string lookalike = dir;  // What the folder's wildcards would match if left live.
    for (char& c : lookalike) c = (c == '%' || c == '_' || c == '\\') ? 'z' : c;
    Put(dir, 1, 1);
    Put(dir + "x/c", 0, 2);
    Put(dir + "\\c", 0, 2);
    if (lookalike != dir) Put(lookalike + "/c", 0, 2);
    EXPECT_FALSE(FileStatusDB::isAnySubFileDirSyncing(dir));
    Put(dir + "/deep/c", 0, 2);
    EXPECT_TRUE(FileStatusDB::isAnySubFileDirSyncing(dir));
  }
}

}  // namespace
