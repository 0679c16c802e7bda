// The session registry: every operation, its messages, and its use from many threads at once.
#include "db/system-db/system-db.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <set>
#include <thread>

#include "support/log-capture.h"
#include "support/records.h"
#include "support/sql.h"
#include "support/temp-dir.h"

namespace {

using S = SystemDB;
using kelo_test::ExecSql;
using kelo_test::QueryColumn;
using kelo_test::QuerySql;
using kelo_test::SqlRows;
using Strings = std::vector<std::string>;
using Ids = std::vector<uint64_t>;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// The tables and indexes as the desktop client defines them, kept apart from the code under test.
constexpr char kSchema[] =
    "CREATE TABLE IF NOT EXISTS connection_table ( \tid INTEGER primary key autoincrement, "
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
    "session_table(attribute); ";

// Captures each message as "[LEVEL] text" and whether m_dbMutex was held then; DEBUG is on.
struct Log : kelo_test::LogCapture {
  Log() : LogCapture(&S::m_dbMutex) { Logger::log_level["system_db_debug"] = Logger::kDebug; }
  std::string Last() const { return Messages().empty() ? "" : Messages().back(); }
};

// Each call returns `result` and logs `message` last.
struct Call {
  std::string message;
  std::function<int()> call;
  int result = -1;
};
void ExpectCalls(const std::vector<Call>& calls) {
  Log log;
  for (const Call& c : calls) {
    SCOPED_TRACE(c.message);
    EXPECT_EQ(c.call(), c.result);
    EXPECT_EQ(log.Last(), c.message);
  }
}
// Each call fails with -1 and logs "[ERROR] <its message>" last.
void ExpectFailures(std::vector<Call> calls) {
  for (Call& c : calls) c.message = "[ERROR] " + c.message;
  ExpectCalls(calls);
}
// The ids of `sessions`; computer_name is never read.
Ids IdsOf(const std::list<KELOSessionInfo>& sessions) {
  Ids ids;
  for (const KELOSessionInfo& s : sessions) {
    ids.push_back(s.id);
    EXPECT_EQ(s.computer_name, "") << s.id;
  }
  return ids;
}
constexpr auto Lookup = &S::getSessionInfoByFilePath;

struct SystemDBTest : ::testing::Test {
  void SetUp() override { ASSERT_EQ(S::initialize(db_), 0); }
  void TearDown() override { S::destroy(); }
  kelo_test::TempDir dir_;
  std::string db_ = dir_ / "sys.sqlite";
};

TEST(SystemDBLifecycle, InitializeAndDestroyLogAndKeepTheRegistryOpenOrClosed) {
  kelo_test::TempDir dir;
  const std::string a = dir / "a.sqlite", junk = dir / "junk.sqlite", missing = dir / "no/x.db";
  kelo_test::WriteFile(junk, std::string(4096, 'j'));
  const std::string init = "[INFO] SystemDB has been initialized", failed = "[ERROR] SystemDB: ";
  // clang-format off
  const struct {
    std::string path;  // to initialize; "" destroys
    int result;
    Strings messages;
    std::string open_path;  // m_systemDBPath afterwards; "" closed
  } steps[] = {
      {"", 0, {"[INFO] SystemDB has been deinitialzed (no-op)\n"}, ""},
      {junk, -1, {failed + "Failed to initialize database at '" + junk + "'. [26] file is not a "
                  "database\n", "[ERROR] initialize fail file is not a database\n"}, ""},
      {missing, -1, {failed + "Failed to open database at '" + missing + "'. [14] unable to open "
                     "database file\n"}, ""},
      {"/" + std::string(511, 'l'), -1,
       {"[ERROR] initialize: value of 512 bytes is longer than its limit of 511\n"}, ""},
      {a + std::string("\0x", 2), -1, {"[ERROR] initialize: value holds a NUL byte at offset " +
                                        std::to_string(a.size()) + "\n"}, ""},
      {a, 0, {init + " with location '" + a + "'\n"}, a},
      {missing, 0, {init + " (no-op)\n"}, a},
      {"", 0, {"[INFO] SystemDB has been deinitialzed\n"}, ""}};
  // clang-format on
  for (const auto& step : steps) {
    SCOPED_TRACE(step.messages.front());
    Log log;
    int result = 0;
    if (step.path.empty()) {
      S::destroy();
    } else {
      result = S::initialize(step.path);
    }
    EXPECT_EQ(result, step.result);
    EXPECT_EQ(log.Messages(), step.messages);
    EXPECT_EQ(S::m_systemDBPath, step.open_path);
    EXPECT_EQ(S::m_db != nullptr, !step.open_path.empty());
  }
}

TEST(SystemDBLifecycle, SchemaIsTheClientsAndAnExistingFileKeepsItsRows) {
  kelo_test::TempDir dir;
  const std::string a = dir / "a.sqlite", expected = dir / "expected.sqlite";
  const std::string master = "SELECT * FROM sqlite_master";
  ASSERT_EQ(S::initialize(a), 0);
  S::destroy();
  ExecSql(expected, kSchema);
  EXPECT_EQ(QuerySql(a, master), QuerySql(expected, master));
  ExecSql(a, "INSERT INTO session_table (id) VALUES (3); UPDATE system_table SET value = 9");
  ASSERT_EQ(S::initialize(a), 0);
  S::destroy();
  EXPECT_EQ(QueryColumn(a, "SELECT id FROM session_table"), Strings{"3"});
  EXPECT_EQ(QuerySql(a, "SELECT key, typeof(value), value FROM system_table"),
            (SqlRows{{"release_version", "text", "4"}}));
}

// Closed: each operation fails with its own message and leaves its outputs alone (the lists
// are emptied first).
TEST(SystemDBLifecycle, EveryOperationFailsWhileClosed) {
  std::list<KELOSessionInfo> sessions(1);
  std::list<uint64_t> ids{1};
  std::list<std::string> names{"old"};
  KELOSessionInfo info{77, "", "", 0, 0, 0, 0, "", ""};
  KELOConnectionInfo conn;
  std::string text = "keep";
  int n = 5;
  const std::string prep = ": sqlite3_prepare_v2: system database is not open (21)\n",
                    fail = " fail ret = 21 system database is not open\n";
  ExpectFailures(
      {{"getSessionList" + prep, [&] { return S::getSessionList(sessions); }},
       {"getEnabledSession" + prep, [&] { return S::getEnabledSession(sessions); }},
       {"getRowIDList" + prep, [&] { return S::getRowIDList(ids); }},
       {"getSession" + prep, [&] { return S::getSession(names); }},
       {"getHomeSession" + prep, [&] { return S::getHomeSession(info); }},
       {"checkLinked" + prep, [&] { return S::getSyncFolder("home", text); }},
       {"getSessionStatusAndErr" + prep, [&] { return S::getSessionStatusAndErr("s", n, n); }},
       {"setSessionStatus" + fail, [] { return S::setSessionStatus("all", 1); }},
       {"disableAllSession" + fail, [] { return S::disableAllSession(); }},
       {"updateHomeViewID" + fail, [] { return S::updateHomeViewID(1); }},
       {"setSessionInfo" + fail, [&] { return S::addNewSessionInfo(info, 1); }},
       {"clearSystemDB" + fail, [] { return S::clearSystemDB(); }},
       {"setComputername" + fail, [] { return S::setComputername("pc"); }},
       {"updateSessionInfo" + fail, [&] { return S::updateSessionInfo(info); }},
       {"setConnectionInfo" + fail, [&] { return S::setConnectionInfo(conn, {}); }},
       {"updateConnectionInfo" + fail, [&] { return S::updateConnectionInfo(conn, {}); }},
       {"getConnectionInfo" + prep, [&] { return S::getConnectionInfo(conn); }},
       {"setLink" + fail, [] { return S::setLink(1); }},
       {"checkLinked" + prep, [&] { return S::checkLinked(n); }}});
  EXPECT_TRUE(sessions.empty() && ids.empty() && names.empty());
  EXPECT_EQ(std::tie(info.id, conn.id, text, n), std::make_tuple(77u, 0u, "keep", 5));
}

// Which session holds a path (its folder, trailing slashes aside, is the path or a folder above
// it, ASCII case ignored, the longest winning) is checked against a model by the session fuzz
// target, whose corpus the tests replay; hostile values by the hostile-input test.

// Numbers read as atoi would; id and view_id as 64-bit numbers, the others as 32-bit numbers,
// 0 when out of that range (as the file status store reads its codes); error is not read.
TEST_F(SystemDBTest, LookupReadsNumbersAsAtoiWould) {
  ExecSql(db_, "INSERT INTO session_table (id, sync_folder) VALUES (5000000000, '/f');");
  // clang-format off
  const struct {
    std::string value;
    int32_t attribute_and_status;
    uint64_t view_id;
  } cases[] = {
      {"NULL", 0, 0}, {"-7", -7, uint64_t(-7)}, {"'  8x'", 8, 8}, {"'abc'", 0, 0}, {"2.9", 2, 2},
      {"3000000000", 0, 3000000000}, {"-3000000000", 0, uint64_t(-3000000000LL)},
      {"'99999999999999999999x'", 0, INT64_MAX}, {"1e300", 0, 1}};
  // clang-format on
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value);
    ExecSql(db_, "UPDATE session_table SET attribute = " + c.value + ", view_id = " + c.value +
                     ", status = " + c.value);
    KELOSessionInfo info{0, "S", "sess", 0, 0, 0, -5, "", "keep"};
    const int32_t n = c.attribute_and_status;
    EXPECT_EQ(Lookup(db_, "/f", &info), 0);
    EXPECT_EQ(info, (KELOSessionInfo{5000000000, "", "", n, c.view_id, n, -5, "/f", "keep"}));
  }
}

// Failures are silent and leave the record untouched.
TEST_F(SystemDBTest, LookupFailuresAreSilentAndLeaveTheRecordAlone) {
  const std::string old = dir_ / "old.sqlite";
  ExecSql(old, "CREATE TABLE session_table (id, status);");
  ExecSql(db_, "INSERT INTO session_table (id, share_name, sync_folder) VALUES (11, '" +
                   std::string(1024, 's') + "', '/l'), (12, 'ok', '/p');");
  // clang-format off
  const struct {
    std::string db, path;
    int result;
  } cases[] = {
      {"", "/p/x", -1}, {"/" + std::string(511, 'd'), "/p/x", -1}, {old, "/p/x", SQLITE_ERROR},
      {db_, "/p/" + std::string(1021, 'p'), -1}, {db_, "/l/x", -1},  // /l: share too long
      {db_ + std::string("\0x", 2), "/p/x", -1}, {db_, std::string("/p\0/../x", 8), -1}};
  // clang-format on
  Log log;
  const KELOSessionInfo untouched{99, "", "", 0, 0, 0, 0, "keep", ""};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.db + c.path.substr(0, 20));
    KELOSessionInfo info = untouched;
    EXPECT_EQ(Lookup(c.db, c.path, &info), c.result);
    EXPECT_EQ(info, untouched);
  }
  EXPECT_EQ(Lookup(db_, "/p/x", nullptr), -1);
  EXPECT_EQ(log.Messages(), Strings{});
  KELOSessionInfo fits;
  EXPECT_EQ(Lookup(db_, "/p/" + std::string(1020, 'p'), &fits), 0);
  EXPECT_EQ(fits.id, 12u);
}

// A fresh file gets the nine-column session_table; readers keep the full layout's positions.
TEST_F(SystemDBTest, LookupOnAFreshFileCreatesTheNineColumnTable) {
  const std::string db = dir_ / "nine.sqlite";
  const KELOSessionInfo before{12, "ok", "", 0, 0, 0, -5, "/p", "keep"};
  KELOSessionInfo info = before;
  ASSERT_EQ(Lookup(db, "/n/f", &info), 0);
  EXPECT_EQ(info, before);  // no rows: untouched
  EXPECT_EQ(QueryColumn(db, "SELECT sql FROM sqlite_master"),
            Strings{"CREATE TABLE session_table ( \tid INTEGER primary key, \tconn_id INTEGER, "
                    "\tshare_name TEXT, \tsession TEXT, \tattribute INTEGER, \tctime DATATIME "
                    "DEFAULT (strftime('%s','now')), \tview_id INTEGER, \tstatus INTEGER, "
                    "\tsync_folder TEXT )"});
  ExecSql(db,
          "INSERT INTO session_table VALUES (4, 1, 'home', 's', 4, 0, 6, 11, '/n'), "
          "(3, 1, 'root', '', 0, 0, 0, 0, '//')");  // only slashes: the root
  EXPECT_EQ(Lookup(db, "/x", &info), 0);
  EXPECT_EQ(info.id, 3u);
  EXPECT_EQ(Lookup(db, "/N/f", &info), 0);
  EXPECT_EQ(info, (KELOSessionInfo{4, "home", "s", 4, 6, 11, -5, "/p", "keep"}));
  S::destroy();
  ASSERT_EQ(S::initialize(db), 0);
  EXPECT_EQ(S::getHomeSession(info), 0);
  EXPECT_EQ(info, (KELOSessionInfo{4, "home", "s", 4, 6, 11, 0, "", "keep"}));
  ExpectFailures({{"setSessionInfo fail ret = 1 table session_table has no column named error\n",
                   [&] { return S::addNewSessionInfo(info, 1); }}});
}

// Every query's result, outputs and last message; a failure leaves its outputs alone. Sessions
// increase with the id, so index and table order agree.
TEST_F(SystemDBTest, QueriesFillTheirOutputsOnly) {
  ExecSql(db_,
          "INSERT INTO session_table (id, conn_id, share_name, session, attribute, view_id, "
          "status, error, sync_folder, computer_name) VALUES (1, 1, 'HoMe', NULL, 4, 1, 8, 9, "
          "'/h', 'pc'), (2, 1, 'docs', 'a', 4, 2, 10, 7, '/d', 'pc'), (3, 1, 'pics', 'b''c', 3, "
          "3, 11, 0, '/p', 'pc'), (4, 1, 'music', 'c', 7, 4, 0, 0, '/m', 'pc'), (5, 1, 'x', 'd', "
          "0, 5, 1, 0, '/d1', 'pc'), (6, 1, NULL, 'd', 0, 6, 2, 0, '/d2', 'pc'), (7, 1, '" +
              std::string(256, 'n') + "', 'e', 0, 7, 0, 0, '/e', 'pc');");
  std::list<KELOSessionInfo> all(1), enabled(1), with_conf(1);  // emptied first
  std::list<uint64_t> row_ids{42};
  std::list<std::string> names{"old"};
  KELOSessionInfo home{0, "", "", 0, 0, 0, 0, "", "keep"};
  std::string folder, share, share_folder, kept = "keep";
  int status = 0, error = 0, kept_number = 55;
  const std::string info = "[DEBUG] getSystemInfo\n";
  ExpectCalls(
      {{"[DEBUG] /e\n", [&] { return S::getSessionList(all); }, 0},
       {"[DEBUG] /m\n", [&] { return S::getEnabledSession(enabled); }, 0},
       {"[DEBUG] /e\n", [&] { return S::getSessionListWithConf(with_conf); }, 0},
       {"[DEBUG] getRowIDList\n", [&] { return S::getRowIDList(row_ids); }, 0},
       {"[DEBUG] get enabled session e\n", [&] { return S::getSession(names); }, 0},
       {"[DEBUG] /h\n", [&] { return S::getHomeSession(home); }, 0},
       {"[DEBUG] ggetSyncFolder /h\n", [&] { return S::getSyncFolder("HOME", folder); }, 0},
       {"[ERROR] cannnot get home share sync folder QQ",  // no newline
        [&] { return S::getSyncFolderBySession("A", kept); }},
       {"[DEBUG] getSessionStatusAndErr\n",
        [&] { return S::getSessionStatusAndErr("a", status, error); }, 0},
       {"[DEBUG] cannnot get getSessionStatusAndErr no\n",
        [&] { return S::getSessionStatusAndErr("no", kept_number, kept_number); }},
       {info, [&] { return S::getFolderInfoBySession("d", share, share_folder); }, 0},
       {info, [&] { return S::getFolderInfoBySession("z", kept, kept); }, 0},
       {"[ERROR] getFolderInfoBySession: value of 256 bytes is longer than its limit of 255\n",
        [&] { return S::getFolderInfoBySession("e", kept, kept); }}});
  EXPECT_EQ(IdsOf(all), (Ids{1, 2, 3, 4, 5, 6, 7}));
  EXPECT_EQ(IdsOf(enabled), (Ids{2, 4}));
  EXPECT_EQ(IdsOf(with_conf), (Ids{2, 3, 4, 5, 6, 7}));
  EXPECT_EQ(row_ids, (std::list<uint64_t>{2, 3, 4, 5, 6, 7}));
  EXPECT_EQ(names, (std::list<std::string>{"a", "b'c", "c", "d", "d", "e"}));
  EXPECT_EQ(home, (KELOSessionInfo{1, "HoMe", "", 4, 1, 8, 9, "/h", "keep"}));
  EXPECT_EQ(std::tie(folder, status, error, share, share_folder, kept, kept_number),
            std::make_tuple("/h", 10, 7, "x", "/d2", "keep", 55));
}

// A text argument holding a NUL byte is refused: cut there, it would name session s1.
TEST_F(SystemDBTest, TextArgumentsHoldingANulByteAreRefused) {
  ExecSql(db_,
          "INSERT INTO session_table (id, conn_id, share_name, session, attribute, view_id) "
          "VALUES (1, 1, 'docs', 's1', 4, 10), (2, 1, 'pics', 's2', 3, 11);");
  const std::string s1("s1\0junk", 7), nul = ": value holds a NUL byte at offset 2\n";
  const SqlRows before = QuerySql(db_, "SELECT * FROM session_table");
  KELOSessionInfo cut{0, "docs", s1, 4, 10, 0, 0, "/d", ""}, add{0, "n", "", 4, 1, 0, 0, s1, ""};
  KELOConnectionInfo named{0, "", "", 0, "", "", "v", s1, 0, 0},
      ok{0, "", "", 0, "", "", "v", "", 0, 0};
  std::string out;
  int n = 0;
  ExpectFailures(
      {{"setSessionStatus" + nul, [&] { return S::setSessionStatus(s1, 5); }},
       {"setSessionErr" + nul, [&] { return S::setSessionErr(s1, 5); }},
       {"getSyncFolder" + nul, [&] { return S::getSyncFolder(s1, out); }},
       {"getSyncFolderBySession" + nul, [&] { return S::getSyncFolderBySession(s1, out); }},
       {"getFolderInfoBySession" + nul, [&] { return S::getFolderInfoBySession(s1, out, out); }},
       {"getSessionStatusAndErr" + nul, [&] { return S::getSessionStatusAndErr(s1, n, n); }},
       {"setComputername" + nul, [&] { return S::setComputername(s1); }},
       {"updateSessionInfo" + nul, [&] { return S::updateSessionInfo(cut); }},
       {"addNewSessionInfo" + nul, [&] { return S::addNewSessionInfo(add, 1); }},
       {"setConnectionInfo" + nul, [&] { return S::setConnectionInfo(named, {}); }},
       {"updateConnectionInfo" + nul, [&] { return S::updateConnectionInfo(named, {}); }},
       {"setConnectionInfo" + nul, [&] {
          return S::setConnectionInfo(ok, {true, s1, 1});
        }}});
  EXPECT_EQ(out, "");
  EXPECT_EQ(n, 0);
  EXPECT_EQ(QuerySql(db_, "SELECT * FROM session_table"), before);
  EXPECT_EQ(QueryColumn(db_, "SELECT count(*) FROM connection_table"), Strings{"0"});
}

TEST_F(SystemDBTest, UpdatesChangeTheirRowsOnly) {
  ExecSql(db_,
          "INSERT INTO session_table (id, conn_id, share_name, session, attribute, view_id) "
          "VALUES (1, 1, 'docs', 's1', 4, 10), (2, 1, 'pics', 's2', 3, 11), "
          "(3, 2, 'home', NULL, 4, 10), (4, 2, 'x', 'all', 0, 12), (5, 1, 'HOME', 'All', 7, 13);");
  KELOSessionInfo gone{0, "", "", 0, 10, 0, 0, "", ""};
  const struct {
    std::function<int()> call;  // status and error are 1 before
    const char* column;
    Strings after;  // by id
  } cases[] = {
      {[] { return S::setSessionStatus("all", 3); }, "status", {"3", "1", "1", "1", "3"}},
      {[] { return S::setSessionStatus("All", 3); }, "status", {"1", "1", "1", "1", "3"}},
      {[] { return S::setSessionErr("s2", 9); }, "error", {"1", "9", "1", "1", "1"}},
      {[] { return S::updateHomeViewID(42); }, "view_id", {"10", "11", "42", "12", "42"}},
      {[] { return S::disableAllSession(); },
       "attribute || status || error",
       {"000", "300", "000", "000", "300"}},
      {[] { return S::setComputername("it's"); },
       "computer_name",
       {"it's", "it's", "it's", "it's", "it's"}},
      {[&] { return S::rmSessionInfo(gone, 1); }, "id", {"2", "3", "4", "5"}}};  // view 10, conn 1
  for (const auto& c : cases) {
    SCOPED_TRACE(c.column);
    ExecSql(db_, "UPDATE session_table SET status = 1, error = 1;");
    EXPECT_EQ(c.call(), 0);
    EXPECT_EQ(
        QueryColumn(db_, std::string("SELECT ") + c.column + " FROM session_table ORDER BY id"),
        c.after);
  }
}

// The link flag, and a clear that keeps only the release version. Their messages come before
// m_dbMutex is taken.
TEST_F(SystemDBTest, LinkFlagAndClear) {
  ExecSql(db_,
          "INSERT INTO session_table (id, share_name) VALUES (1, 'home');"
          "INSERT INTO connection_table (vault_id) VALUES ('v');");
  Log log;
  int linked = 99;
  EXPECT_EQ(S::checkLinked(linked), 0);
  EXPECT_EQ(linked, 0);  // never set
  for (int set : {2, -1}) {
    EXPECT_EQ(S::setLink(set), 0);
    EXPECT_EQ(S::checkLinked(linked), 0);
    EXPECT_EQ(linked, set);
  }
  EXPECT_EQ(QueryColumn(db_, "SELECT linked FROM connection_table"), Strings{"-1"});
  ASSERT_EQ(S::clearSystemDB(), 0);
  EXPECT_EQ(QuerySql(db_,
                     "SELECT key, value FROM system_table UNION ALL SELECT id, 0 FROM "
                     "session_table UNION ALL SELECT id, 0 FROM connection_table"),
            (SqlRows{{"release_version", "4"}}));
  EXPECT_EQ(S::checkLinked(linked), 0);
  EXPECT_EQ(linked, 0);
  const KELOSessionInfo untouched{0, "", "", 0, 10, 0, 0, "", ""};
  KELOSessionInfo home = untouched;
  EXPECT_EQ(S::getHomeSession(home), 0);
  EXPECT_EQ(home, untouched);  // no home row
  EXPECT_EQ(log.Messages(), (Strings{"[INFO] set link 2\n", "[INFO] set link -1\n",
                                     "[DEBUG] clear System DB \n", "[DEBUG] getHomeSession\n"}));
  EXPECT_EQ(log.watched_held, std::vector<bool>(4, false));
  EXPECT_TRUE(log.log_lock_held);
}

// Added rows take every field but the session; an update finds rows by share name (any case)
// and view, and logs under m_dbMutex, then the logger's lock.
TEST_F(SystemDBTest, AddAndUpdateSessionRows) {
  KELOSessionInfo info{0, "o'neil", "", 4, 77, 5, 6, "/" + std::string(1022, 'f'), "pc"};
  ASSERT_EQ(S::addNewSessionInfo(info, 9), 0);  // a folder of 1023 bytes fits
  const std::string first = std::to_string(info.id);
  info.sync_folder = "/o'n";
  ASSERT_EQ(S::addNewSessionInfo(info, 9), 0);
  EXPECT_EQ(QuerySql(db_,
                     "SELECT conn_id, share_name, session, attribute, view_id, status, "
                     "error, computer_name, typeof(ctime), length(sync_folder) FROM "
                     "session_table"),
            (SqlRows{{"9", "o'neil", "NULL", "4", "77", "5", "6", "pc", "integer", "1023"},
                     {"9", "o'neil", "NULL", "4", "77", "5", "6", "pc", "integer", "4"}}));
  Log log;
  info = KELOSessionInfo{0, "O'NEIL", "s'o", 4, 77, 10, 6, "/new", "pc"};
  EXPECT_EQ(S::updateSessionInfo(info), 0);
  EXPECT_EQ(std::to_string(info.id), first);  // the first of the two rows
  EXPECT_EQ(log.Messages(), (Strings{"[INFO] status: 10, folder: /new\n",
                                     "[DEBUG] update row id " + first + "\n"}));
  EXPECT_EQ(log.watched_held, (std::vector<bool>{true, true}));
  EXPECT_TRUE(log.log_lock_held);
  EXPECT_EQ(QuerySql(db_,
                     "SELECT DISTINCT share_name, session, status, sync_folder FROM "
                     "session_table"),
            (SqlRows{{"o'neil", "s'o", "10", "/new"}}));
}

// The connection record: the first row is the one read, rows are found by their vault.
TEST_F(SystemDBTest, ConnectionRowsAreFoundByTheirVault) {
  KELOConnectionInfo conn{0, "untouched", "", 0, "", "", std::string(1024, 'v'), "", 0, 0};
  ExpectFailures({{"setConnectionInfo: value of 1024 bytes is longer than its limit of 1023\n",
                   [&] { return S::setConnectionInfo(conn, {}); }}});
  EXPECT_EQ(S::getConnectionInfo(conn), 0);  // no row: untouched
  EXPECT_EQ(std::tie(conn.id, conn.server_name), std::make_tuple(0u, "untouched"));
  conn = KELOConnectionInfo{2, "o'server", "10.0.0.1", 5001, "wp", "Ann", "v1", "sid", 3, 0};
  ASSERT_EQ(S::setConnectionInfo(conn, TunnelInfo{true, "t'ip", 65535}), 0);
  const uint64_t id = conn.id;
  conn.vault_id = "v2";
  ASSERT_EQ(S::setConnectionInfo(conn, TunnelInfo{}), 0);
  EXPECT_EQ(S::getConnectionInfo(conn), 0);
  EXPECT_EQ(conn, (KELOConnectionInfo{2, "o'server", "10.0.0.1", 5001, "wp", "Ann", "v1", "sid", 3,
                                      id}));  // the first row
  Log log;
  conn = KELOConnectionInfo{2, "o'server", "10.0.0.1", 6000, "wp", "Bob", "v1", "new", 3, 0};
  EXPECT_EQ(S::updateConnectionInfo(conn, TunnelInfo{true, "tun", 443}), 0);
  EXPECT_EQ(conn.id, id);
  EXPECT_EQ(log.Last(), "[DEBUG] update conn id " + std::to_string(id) + "\n");
  EXPECT_EQ(QuerySql(db_,
                     "SELECT username, vault_id, server_port, session, use_tunnel, "
                     "tunnel_ip, tunnel_port FROM connection_table"),
            (SqlRows{{"Ann", "v1", "6000", "new", "1", "tun", "443"},  // username kept
                     {"Ann", "v2", "5001", "sid", "0", "", "0"}}));
  conn.vault_id = "unknown";
  EXPECT_EQ(S::updateConnectionInfo(conn, TunnelInfo{}), -1);
  EXPECT_EQ(conn.id, id);
  EXPECT_EQ(log.Last(), "[ERROR] cannnot get id for last update connection\n");
}

TEST_F(SystemDBTest, MixedReadersAndWritersLoseNothing) {
  Log log;  // DEBUG lines too, so every operation takes the logger's lock
  const auto deadline = Clock::now() + 1500ms;
  std::mutex added_mutex;
  std::set<std::string> added;
  std::atomic<int> failures{0}, running{4};
  const auto work = [&](int n) {
    const std::string w = "w" + std::to_string(n);
    for (int i = 0; Clock::now() < deadline; ++i) {
      KELOSessionInfo info{0, i % 2 ? "home" : w, "", 4, 0, 0, 0, "/" + w, ""};
      std::list<uint64_t> ids;
      failures += S::addNewSessionInfo(info, n) != 0;
      const std::string id = std::to_string(info.id);
      failures += S::setSessionStatus("all", i) || S::updateHomeViewID(i) || S::getRowIDList(ids) ||
                  S::getHomeSession(info) || S::checkLinked(info.status) ||
                  Lookup(db_, "/" + w + "/f", &info) < 0 || S::getSyncFolder(w, info.sync_folder);
      std::lock_guard<std::mutex> hold(added_mutex);
      failures += !added.insert(id).second;  // ids are distinct
    }
    --running;
  };
  std::vector<std::thread> threads;
  for (int n = 0; n < 4; ++n) threads.emplace_back(work, n);
  while (running > 0 && Clock::now() < deadline + 60s) std::this_thread::sleep_for(10ms);
  ASSERT_EQ(running, 0) << "deadlock";  // ends the process: the threads cannot be joined
  for (auto& t : threads) t.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_TRUE(log.log_lock_held);
  EXPECT_GT(added.size(), 4u);
  EXPECT_EQ(QueryColumn(db_, "SELECT id FROM session_table ORDER BY id || ''"),  // all present
            Strings(added.begin(), added.end()));
}

}  // namespace
