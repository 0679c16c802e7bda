// The lookup of a session by file path: which folder holds a path, how the row is read, and
// that every failure is silent and leaves the record alone.
#include "system_db_test_util.h"

namespace {

using kelo_test::execSql;
using kelo_test::LogCapture;
using kelo_test::queryRows;
using kelo_test::TempDir;

class SystemDBLookup : public ::testing::Test {
 protected:
  // The full schema, as the desktop client leaves it.
  void SetUp() override {
    ASSERT_EQ(SystemDB::initialize(db_), 0);
    SystemDB::destroy();
  }
  void sql(const std::string& script) { ASSERT_EQ(execSql(db_, script), SQLITE_OK) << script; }
  void addFolder(int id, const std::string& folder) {
    char* text = sqlite3_mprintf("INSERT INTO session_table (id, sync_folder) VALUES (%d, %Q);", id,
                                 folder.c_str());
    sql(text);
    sqlite3_free(text);
  }
  // The id of the session holding `path`; 0 when none does (the record then keeps its defaults).
  uint64_t holder(const std::string& path) {
    KELOSessionInfo info;
    EXPECT_EQ(SystemDB::getSessionInfoByFilePath(db_, path, &info), 0);
    if (info.id == 0) {
      EXPECT_TRUE(info.sync_folder.empty() && info.status == 0);
    }
    return info.id;
  }

  TempDir dir_;
  std::string db_ = dir_.path("sys.sqlite");
};

TEST_F(SystemDBLookup, FolderHoldsItselfAndWhatLiesBelowIt) {
  const char* folders[] = {"/u/a",      "/u/a/b",         "/u/my_dir",
                           "/u/100%",   "/u/back\\slash", "/u/\xC3\x84rger" /* Ärger */,
                           "/u/q'uote", "/u/slash/",      "/"};
  for (int i = 0; i < 9; ++i) addFolder(i + 1, folders[i]);
  sql("INSERT INTO session_table (id) VALUES (10);");  // NULL folder: holds nothing
  struct Case {
    const char* path;
    uint64_t id;
  };
  const Case cases[] = {
      {"/u/a/b/c", 2},
      {"/u/a/c", 1},
      {"/u/a", 1},
      {"/u/a/b", 2},
      {"/u/a/b/", 2},
      {"/u/a/bc/d", 1},  // not a child of b
      {"/u/ab", 9},
      {"/U/A/B/c", 2},
      {"/u/my_dir/f", 3},
      {"/u/myXdir/f", 9},
      {"/u/100%/x", 4},
      {"/u/100abc/x", 9},
      {"/u/back\\slash/f", 5},
      {"/u/backXslash/f", 9},
      {"/u/\xC3\x84rger/f", 6},
      {"/u/\xC3\xA4rger/f", 9} /* ärger: only ASCII letters ignore case */,
      {"/u/q'uote/f", 7},
      {"/u/slash/f", 8},
      {"/u/slash/", 8},
      {"/u/slash", 9},
      {"/u/slashx", 9},
      {"relative", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(holder(c.path), c.id);
  }
}

TEST_F(SystemDBLookup, EmptyFolderHoldsEveryAbsolutePathNoOtherFolderHolds) {
  addFolder(1, "");
  addFolder(2, "/u/a");
  EXPECT_EQ(holder("/u/a/x"), 2u);
  EXPECT_EQ(holder("/v/w"), 1u);
  EXPECT_EQ(holder("v/w"), 0u);
}

TEST_F(SystemDBLookup, FillsTheRecordByPositionAndKeepsErrorAndComputerName) {
  sql("INSERT INTO session_table VALUES (7, 3, 'S', 'sess', 5, 99, 9, 10, 42, '/f', 'pc');"
      "INSERT INTO session_table (id, sync_folder) VALUES (8, '/n');");
  KELOSessionInfo info;
  info.error = -5;
  info.computer_name = "keep";
  ASSERT_EQ(SystemDB::getSessionInfoByFilePath(db_, "/f/x", &info), 0);
  EXPECT_EQ(std::make_tuple(info.id, info.share_name, info.session, info.attribute, info.view_id,
                            info.status, info.error, info.sync_folder, info.computer_name),
            std::make_tuple(uint64_t{7}, std::string("S"), std::string("sess"), 5, uint64_t{9}, 10,
                            -5, std::string("/f"), std::string("keep")));
  // NULL text reads as empty, NULL numbers as 0, over whatever the record held.
  ASSERT_EQ(SystemDB::getSessionInfoByFilePath(db_, "/n", &info), 0);
  EXPECT_EQ(info.id, 8u);
  EXPECT_EQ(info.share_name + info.session, "");
  EXPECT_EQ(info.attribute + info.status + static_cast<int>(info.view_id), 0);
}

// Numbers come as text and are read as 32-bit values the way atoi does, with out-of-range
// values clamped; id and view_id are widened with their sign.
TEST_F(SystemDBLookup, ReadsNumbersAsBounded32BitValues) {
  struct Case {
    const char* attribute;  // SQL literal
    int32_t expected;
  };
  const Case cases[] = {{"12", 12},
                        {"-7", -7},
                        {"'  8x'", 8},
                        {"'abc'", 0},
                        {"2.9", 2},
                        {"2147483647", INT32_MAX},
                        {"3000000000", INT32_MAX},
                        {"-3000000000", INT32_MIN},
                        {"'99999999999999999999x'", INT32_MAX}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.attribute);
    sql(std::string("DELETE FROM session_table; INSERT INTO session_table (id, attribute, "
                    "view_id, status, sync_folder) VALUES (5000000000, ") +
        c.attribute + ", " + c.attribute + ", " + c.attribute + ", '/f');");
    KELOSessionInfo info;
    ASSERT_EQ(SystemDB::getSessionInfoByFilePath(db_, "/f", &info), 0);
    EXPECT_EQ(info.attribute, c.expected);
    EXPECT_EQ(info.status, c.expected);
    EXPECT_EQ(info.view_id, static_cast<uint64_t>(int64_t{c.expected}));
    EXPECT_EQ(info.id, uint64_t{INT32_MAX});
  }
}

TEST(SystemDBLookupLayout, CreatesTheNineColumnTableAndReadsItByFullLayoutPositions) {
  TempDir dir;
  const std::string db = dir.path("new.sqlite");
  KELOSessionInfo info;
  info.error = 3;
  ASSERT_EQ(SystemDB::getSessionInfoByFilePath(db, "/n/f", &info), 0);
  EXPECT_EQ(info.id, 0u);
  EXPECT_EQ(queryRows(db, "SELECT sql FROM sqlite_master"),
            std::vector<std::string>{
                "CREATE TABLE session_table ( \tid INTEGER primary key, \tconn_id INTEGER, "
                "\tshare_name TEXT, \tsession TEXT, \tattribute INTEGER, \tctime DATATIME "
                "DEFAULT (strftime('%s','now')), \tview_id INTEGER, \tstatus INTEGER, "
                "\tsync_folder TEXT )"});
  ASSERT_EQ(execSql(db, "INSERT INTO session_table VALUES (4, 1, 's', 'x', 4, 0, 6, 11, '/n')"),
            SQLITE_OK);
  ASSERT_EQ(SystemDB::getSessionInfoByFilePath(db, "/N/f", &info), 0);
  EXPECT_EQ(std::make_tuple(info.id, info.share_name, info.session, info.attribute, info.view_id,
                            info.status, info.error, info.sync_folder),
            std::make_tuple(uint64_t{4}, std::string("s"), std::string("x"), 4, uint64_t{6}, 11, 3,
                            std::string()));
}

TEST(SystemDBLookupFailures, AreSilentAndLeaveTheRecordUntouched) {
  TempDir dir;
  const std::string no_folder_column = dir.path("old.sqlite");
  ASSERT_EQ(execSql(no_folder_column,
                    "CREATE TABLE session_table (id INTEGER, status INTEGER);"
                    "INSERT INTO session_table VALUES (1, 10);"),
            SQLITE_OK);
  const std::string long_value = dir.path("long.sqlite");
  ASSERT_EQ(execSql(long_value,
                    "CREATE TABLE session_table (id, conn_id, share_name, session, "
                    "attribute, ctime, view_id, status, error, sync_folder); "
                    "INSERT INTO session_table VALUES (1, 0, '" +
                        std::string(1024, 's') + "', 0, 0, 0, 0, 0, 0, '/l');"),
            SQLITE_OK);
  const std::string junk = dir.path("junk.sqlite");
  FILE* f = fopen(junk.c_str(), "w");
  ASSERT_NE(f, nullptr);
  fputs(std::string(4096, 'j').c_str(), f);
  fclose(f);
  std::string long_db = "/tmp";
  while (long_db.size() < 512) long_db += "/d";
  struct Case {
    const char* name;
    std::string db;
    std::string path;
    int result;
  };
  const Case cases[] = {
      {"empty db path", "", "/l/x", -1},
      {"missing folder", dir.path("none/sys.sqlite"), "/l/x", -1},
      {"not a database", junk, "/l/x", -1},
      {"db path over 511 bytes", long_db, "/l/x", -1},
      {"file path over 1023 bytes", dir.path("fresh.sqlite"), "/l/" + std::string(1021, 'p'), -1},
      {"table without sync_folder", no_folder_column, "/l/x", SQLITE_ERROR},
      {"row value over 1023 bytes", long_value, "/l/x", -1},
  };
  LogCapture log;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    KELOSessionInfo info;
    info.id = 99;
    info.sync_folder = "keep";
    EXPECT_EQ(SystemDB::getSessionInfoByFilePath(c.db, c.path, &info), c.result);
    EXPECT_EQ(info.id, 99u);
    EXPECT_EQ(info.sync_folder + info.share_name, "keep");
  }
  EXPECT_EQ(SystemDB::getSessionInfoByFilePath(long_value, "/l/x", nullptr), -1);
  EXPECT_FALSE(std::filesystem::exists(long_db));
  EXPECT_FALSE(std::filesystem::exists(dir.path("fresh.sqlite")));
  EXPECT_TRUE(log.messages().empty());
  // The longest accepted file path still works.
  KELOSessionInfo info;
  EXPECT_EQ(SystemDB::getSessionInfoByFilePath(dir.path("ok.sqlite"), "/" + std::string(1022, 'p'),
                                               &info),
            0);
}

}  // namespace
