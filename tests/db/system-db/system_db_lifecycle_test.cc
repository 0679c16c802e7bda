// Opening and closing the registry, the schema it creates, the copy operations, and every
// operation on a closed registry.
#include <cstring>
#include <functional>

#include "system_db_test_util.h"

namespace {

using kelo_test::execSql;
using kelo_test::LogCapture;
using kelo_test::queryRows;
using kelo_test::TempDir;

// The schema as the desktop client defines it, kept here independently of the code under test.
const char kExpectedSchema[] =
    "BEGIN;CREATE TABLE IF NOT EXISTS connection_table ( \tid INTEGER primary key autoincrement, "
    "\tconn_mode INTEGER, \tserver_name TEXT, \tserver_ip TEXT, \tserver_port INTEGER, "
    "\twaypoint_mode TEXT, \tusername TEXT COLLATE NOCASE, \tvault_id TEXT, \tsession TEXT NOT "
    "NULL DEFAULT '' , \tprotocol_version INTEGER, \tlinked INTEGER, \tuse_tunnel INTEGER, "
    "\ttunnel_ip TEXT, \ttunnel_port INTEGER ); CREATE TABLE IF NOT EXISTS session_table ( \tid "
    "INTEGER primary key autoincrement, \tconn_id INTEGER, \tshare_name TEXT COLLATE NOCASE, "
    "\tsession TEXT, \tattribute INTEGER, \tctime DATATIME DEFAULT (strftime('%s','now')), "
    "\tview_id INTEGER, \tstatus INTEGER, \terror INTEGER, \tsync_folder TEXT, \tcomputer_name "
    "TEXT );CREATE TABLE IF NOT EXISTS system_table ( \tkey    VARCHAR PRIMARY KEY ON CONFLICT "
    "IGNORE, \tvalue  VARCHAR NOT NULL );CREATE INDEX IF NOT EXISTS session_table_session_idx on "
    "session_table(session); CREATE INDEX IF NOT EXISTS session_table_name_idx on "
    "session_table(share_name); CREATE INDEX IF NOT EXISTS session_table_view_idx on "
    "session_table(view_id); CREATE INDEX IF NOT EXISTS session_table_attr_idx on "
    "session_table(attribute); insert or replace into system_table values ('release_version', "
    "4); COMMIT; ";
const char kMaster[] = "SELECT type, name, tbl_name, sql FROM sqlite_master ORDER BY name";

TEST(SystemDBLifecycle, CreatesTheSchemaExactly) {
  TempDir dir;
  ASSERT_EQ(execSql(dir.path("expected.sqlite"), kExpectedSchema), SQLITE_OK);
  ASSERT_EQ(SystemDB::initialize(dir.path("sys.sqlite")), 0);
  SystemDB::destroy();
  const auto expected = queryRows(dir.path("expected.sqlite"), kMaster);
  EXPECT_EQ(expected.size(), 9u);  // three tables, four indexes, two autoindex/sequence entries
  EXPECT_EQ(queryRows(dir.path("sys.sqlite"), kMaster), expected);
  EXPECT_EQ(queryRows(dir.path("sys.sqlite"), "SELECT key, typeof(value), value FROM system_table"),
            std::vector<std::string>{"release_version|text|4"});
}

TEST(SystemDBLifecycle, StateTable) {
  TempDir dir;
  const std::string a = dir.path("a.sqlite"), b = dir.path("b.sqlite");
  struct Step {
    bool init;
    std::string path;
    std::string message;
    std::string open_path;  // m_systemDBPath afterwards; empty: closed
  };
  const Step steps[] = {
      {false, "", "[INFO] SystemDB has been deinitialzed (no-op)\n", ""},
      {true, a, "[INFO] SystemDB has been initialized with location '" + a + "'\n", a},
      {true, b, "[INFO] SystemDB has been initialized (no-op)\n", a},
      {false, "", "[INFO] SystemDB has been deinitialzed\n", ""},
      {false, "", "[INFO] SystemDB has been deinitialzed (no-op)\n", ""},
      {true, b, "[INFO] SystemDB has been initialized with location '" + b + "'\n", b},
      {false, "", "[INFO] SystemDB has been deinitialzed\n", ""},
  };
  LogCapture log;
  for (size_t i = 0; i < std::size(steps); ++i) {
    SCOPED_TRACE(i);
    log.clear();
    if (steps[i].init) {
      EXPECT_EQ(SystemDB::initialize(steps[i].path), 0);
    } else {
      SystemDB::destroy();
    }
    EXPECT_EQ(log.messages(), std::vector<std::string>{steps[i].message});
    EXPECT_EQ(SystemDB::m_systemDBPath, steps[i].open_path);
    EXPECT_EQ(SystemDB::m_db != nullptr, !steps[i].open_path.empty());
  }
  { SystemDB constructed_and_gone; }
  const auto tail = log.messages();
  ASSERT_GE(tail.size(), 2u);
  EXPECT_EQ(tail[tail.size() - 2], "[DEBUG] SystemDB constructed\n");
  EXPECT_EQ(tail.back(), "[DEBUG] SystemDB deconstructed\n");
}

TEST(SystemDBLifecycle, KeepsRowsAndLayoutOfAnExistingFile) {
  TempDir dir;
  const std::string path = dir.path("sys.sqlite");
  // The lookup by path creates the older nine-column session_table on a fresh file.
  KELOSessionInfo info;
  ASSERT_EQ(SystemDB::getSessionInfoByFilePath(path, "/x", &info), 0);
  ASSERT_EQ(execSql(path,
                    "INSERT INTO session_table (id, share_name, sync_folder) VALUES "
                    "(3, 's', '/f'); CREATE TABLE system_table (key VARCHAR PRIMARY KEY ON "
                    "CONFLICT IGNORE, value VARCHAR NOT NULL); INSERT INTO system_table "
                    "VALUES ('release_version', '9'), ('linked', '1');"),
            SQLITE_OK);
  ASSERT_EQ(SystemDB::initialize(path), 0);
  SystemDB::destroy();
  EXPECT_EQ(queryRows(path,
                      "SELECT id, conn_id, share_name, session, attribute, view_id, status, "
                      "sync_folder FROM session_table"),
            std::vector<std::string>{"3|NULL|s|NULL|NULL|NULL|NULL|/f"});
  EXPECT_EQ(queryRows(path, "SELECT key, value FROM system_table ORDER BY key"),
            (std::vector<std::string>{"linked|1", "release_version|4"}));
}

TEST(SystemDBLifecycle, FailuresLeaveTheRegistryClosed) {
  TempDir dir;
  const std::string junk = dir.path("junk.sqlite");
  FILE* f = fopen(junk.c_str(), "w");
  ASSERT_NE(f, nullptr);
  fputs(std::string(4096, 'j').c_str(), f);
  fclose(f);
  const std::string missing = dir.path("no/such/folder/sys.sqlite");
  std::string too_long = "/tmp";
  while (too_long.size() < 512) too_long += "/l";
  struct Case {
    std::string path;
    std::vector<std::string> messages;
  };
  const Case cases[] = {
      {junk,
       {"[ERROR] SystemDB: Failed to initialize database at '" + junk +
            "'. [26] file is not a database\n",
        "[ERROR] initialize fail file is not a database\n"}},
      {missing,
       {"[ERROR] SystemDB: Failed to open database at '" + missing +
        "'. [14] unable to open database file\n"}},
      {too_long, {"[ERROR] initialize: value of 512 bytes is longer than its limit of 511\n"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    LogCapture log;
    EXPECT_EQ(SystemDB::initialize(c.path), -1);
    EXPECT_EQ(log.messages(), c.messages);
    EXPECT_EQ(SystemDB::m_db, nullptr);
    EXPECT_EQ(SystemDB::m_systemDBPath, "");
  }
  EXPECT_FALSE(std::filesystem::exists(too_long));
}

TEST(SystemDBLifecycle, CopyOperationsZeroFillAndReportTheSourceLength) {
  struct Case {
    const char* src;
    size_t size;
    const char* copied;
    size_t result;
  };
  const Case cases[] = {
      {nullptr, 8, "", 0},           {"", 8, "", 0},
      {"abc", 8, "abc", 3},          {"abcdefg", 8, "abcdefg", 7},
      {"abcdefgh", 8, "abcdefg", 8},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.src ? c.src : "(null)");
    char buf[10];
    memset(buf, 'x', sizeof buf);
    EXPECT_EQ(SystemDB::mbstowcsIfNeed(buf, c.src, c.size), c.result);
    EXPECT_STREQ(buf, c.copied);
    for (size_t i = strlen(c.copied); i < c.size; ++i) EXPECT_EQ(buf[i], '\0') << i;
    EXPECT_EQ(buf[c.size], 'x');  // nothing past the buffer
  }
  char buf[8];  // the string form copies up to the first NUL
  EXPECT_EQ(SystemDB::wcstombsIfNeed(buf, std::string("ab\0cd", 5), sizeof buf), 2u);
  EXPECT_STREQ(buf, "ab");
}

// A closed registry refuses every operation through its own failure message, without a crash.
TEST(SystemDBLifecycle, ClosedRegistryFailsEveryOperation) {
  ASSERT_EQ(SystemDB::m_db, nullptr);
  std::list<KELOSessionInfo> sessions{KELOSessionInfo()};
  std::list<uint64_t> ids{1};
  std::list<std::string> names{"old"};
  KELOSessionInfo info;
  info.id = 77;
  KELOConnectionInfo conn;
  conn.id = 88;
  std::string text = "keep", text2 = "keep";
  int a = 5, b = 6;
  const std::string prep = ": sqlite3_prepare_v2: system database is not open (21)\n";
  const std::string fail = " fail ret = 21 system database is not open\n";
  struct Case {
    std::string message;
    std::function<int()> call;
  };
  const Case cases[] = {
      {"getSessionList" + prep, [&] { return SystemDB::getSessionList(sessions); }},
      {"getEnabledSession" + prep, [&] { return SystemDB::getEnabledSession(sessions); }},
      {"getEnabledSession" + prep, [&] { return SystemDB::getSessionListWithConf(sessions); }},
      {"getRowIDList" + prep, [&] { return SystemDB::getRowIDList(ids); }},
      {"getSession" + prep, [&] { return SystemDB::getSession(names); }},
      {"getHomeSession" + prep, [&] { return SystemDB::getHomeSession(info); }},
      {"checkLinked" + prep, [&] { return SystemDB::getSyncFolder("home", text); }},
      {"checkLinked" + prep, [&] { return SystemDB::getSyncFolderBySession("s", text); }},
      {"checkLinked" + prep, [&] { return SystemDB::getFolderInfoBySession("s", text, text2); }},
      {"getSessionStatusAndErr" + prep,
       [&] { return SystemDB::getSessionStatusAndErr("s", a, b); }},
      {"setSessionStatus" + fail, [] { return SystemDB::setSessionStatus("all", 1); }},
      {"setSessionErr" + fail, [] { return SystemDB::setSessionErr("s", 1); }},
      {"setSessionInfo" + fail, [&] { return SystemDB::rmSessionInfo(info, 1); }},
      {"disableAllSession" + fail, [] { return SystemDB::disableAllSession(); }},
      {"updateHomeViewID" + fail, [] { return SystemDB::updateHomeViewID(1); }},
      {"setSessionInfo" + fail, [&] { return SystemDB::addNewSessionInfo(info, 1); }},
      {"clearSystemDB" + fail, [] { return SystemDB::clearSystemDB(); }},
      {"setComputername" + fail, [] { return SystemDB::setComputername("pc"); }},
      {"updateSessionInfo" + fail, [&] { return SystemDB::updateSessionInfo(info); }},
      {"setConnectionInfo" + fail, [&] { return SystemDB::setConnectionInfo(conn, {}); }},
      {"updateConnectionInfo" + fail, [&] { return SystemDB::updateConnectionInfo(conn, {}); }},
      {"getConnectionInfo" + prep, [&] { return SystemDB::getConnectionInfo(conn); }},
      {"setLink" + fail, [] { return SystemDB::setLink(1); }},
      {"checkLinked" + prep, [&] { return SystemDB::checkLinked(a); }},
  };
  LogCapture log;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message);
    EXPECT_EQ(c.call(), -1);
    EXPECT_EQ(log.last(), "[ERROR] " + c.message);
  }
  EXPECT_TRUE(sessions.empty() && ids.empty() && names.empty());
  EXPECT_EQ(info.id, 77u);
  EXPECT_EQ(conn.id, 88u);
  EXPECT_EQ(text + text2, "keepkeep");
  EXPECT_EQ(a * 10 + b, 56);
}

}  // namespace
