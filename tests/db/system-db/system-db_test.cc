// The session registry: every operation, its messages, and its use from many threads at once.
#include "db/system-db/system-db.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <functional>
#include <mutex>
#include <set>
#include <thread>

#include "support/log-capture.h"
#include "support/temp_dir.h"

namespace {

using S = SystemDB;
using Strings = std::vector<std::string>;
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

std::string Join(const Strings& items) {
  std::string text;
  for (const auto& item : items) text += (text.empty() ? "" : ",") + item;
  return text;
}
// Runs `sql` on a connection of its own and expects success. Returns the result rows joined by
// ",", each row's values joined by "|" (NULL as "NULL").
std::string Rows(const std::string& db, const std::string& sql) {
  const auto collect = [](void* out, int n, char** values, char**) {
    std::string row;
    for (int c = 0; c < n; ++c) row += (c ? "|" : "") + std::string(values[c] ? values[c] : "NULL");
    static_cast<Strings*>(out)->push_back(row);
    return 0;
  };
  Strings rows;
  sqlite3* handle = nullptr;
  int rc = sqlite3_open(db.c_str(), &handle);
  if (rc == SQLITE_OK) rc = sqlite3_exec(handle, sql.c_str(), collect, &rows, nullptr);
  sqlite3_close(handle);
  EXPECT_EQ(rc, SQLITE_OK) << sql;
  return Join(rows);
}

// Values as text, so that a result and the outputs it left compare as one string.
template <typename T>
std::string Text(const T& number) {
  return std::to_string(number);
}
std::string Text(const std::string& text) { return text; }
std::string Text(const KELOSessionInfo& i) {
  return Join({Text(i.id), i.share_name, i.session, Text(i.attribute), Text(i.view_id),
               Text(i.status), Text(i.error), i.sync_folder, i.computer_name});
}
std::string Text(const KELOConnectionInfo& c) {
  return Join({Text(c.id), Text(c.conn_mode), c.server_name, c.server_ip, Text(c.server_port),
               c.waypoint_mode, c.username, c.vault_id, c.session, Text(c.protocol_version)});
}
template <typename T>
std::string Text(const std::list<T>& list) {  // records by id, and computer_name (never read)
  Strings items;
  for (const auto& i : list) {
    if constexpr (std::is_same_v<T, KELOSessionInfo>) items.push_back(Text(i.id) + i.computer_name);
    if constexpr (!std::is_same_v<T, KELOSessionInfo>) items.push_back(Text(i));
  }
  return Join(items);
}
template <typename... T>
std::string R(int result, const T&... outputs) {  // "result|output|..."
  return (Text(result) + ... + ("|" + Text(outputs)));
}

// Records each message written while it lives as "[LEVEL] text" (no time stamp or location), if
// m_dbMutex was held then, and if the logger's lock was held at every write; DEBUG is on.
struct Log : kelo_test::LogCapture {
  Log() : stream_(fopencookie(this, "w", {nullptr, Write, nullptr, nullptr})) {
    setvbuf(stream_, nullptr, _IOFBF, 1 << 16);  // the logger flushes once per message
    Logger::log_fp = stream_;
    Logger::log_level["system_db_debug"] = Logger::kDebug;
  }
  ~Log() { fclose(stream_); }
  std::string All() const { return Join(texts); }
  std::string Last() const { return texts.empty() ? "" : texts.back(); }
  Strings texts;
  std::vector<bool> db_lock_held;
  bool log_lock_held = true;
  static ssize_t Write(void* cookie, const char* data, size_t size) {
    const auto held = [](pthread_mutex_t* m) {
      return pthread_mutex_trylock(m) == EBUSY || pthread_mutex_unlock(m);
    };
    auto* log = static_cast<Log*>(cookie);
    const std::string m(data, size);
    const size_t tag = m.find('['), text = m.find("): ") + 3;
    log->texts.push_back(m.substr(tag, m.find(']') + 2 - tag) + m.substr(text));
    log->db_lock_held.push_back(held(&S::m_dbMutex));
    log->log_lock_held &= held(&Logger::log_lock);
    return static_cast<ssize_t>(size);
  }
  FILE* stream_;
};

// Each call fails with -1 and logs "[ERROR] <its message>" last.
void ExpectFailures(const std::vector<std::pair<std::string, std::function<int()>>>& calls) {
  Log log;
  for (const auto& [message, call] : calls) {
    SCOPED_TRACE(message);
    EXPECT_EQ(call(), -1);
    EXPECT_EQ(log.Last(), "[ERROR] " + message);
  }
}
constexpr auto Lookup = &S::getSessionInfoByFilePath;

struct SystemDBTest : ::testing::Test {
  void SetUp() override { ASSERT_EQ(S::initialize(db_), 0); }
  void TearDown() override { S::destroy(); }
  void Sql(const std::string& script) { ::Rows(db_, script); }
  std::string Rows(const std::string& query) { return ::Rows(db_, query); }
  kelo_test::TempDir dir_;
  std::string db_ = dir_ / "sys.sqlite";
};

// Open, no-op, failed and closed states; the schema; and every operation failing while closed.
TEST(SystemDBLifecycle, StatesSchemaAndClosedRegistry) {
  kelo_test::TempDir dir;
  const std::string a = dir / "a.sqlite", junk = dir / "junk.sqlite", missing = dir / "no/x.db",
                    big = "/" + std::string(511, 'l');
  kelo_test::WriteFile(junk, std::string(4096, 'j'));
  const std::string init = "[INFO] SystemDB has been initialized", failed = "[ERROR] SystemDB: ";
  // clang-format off
  const std::tuple<std::string, int, std::string, std::string> steps[] = {
      // path to initialize ("": destroy), result, messages, m_systemDBPath afterwards ("": closed)
      {"", 0, "[INFO] SystemDB has been deinitialzed (no-op)\n", ""},
      {junk, -1, failed + "Failed to initialize database at '" + junk + "'. [26] file is not a "
                 "database\n,[ERROR] initialize fail file is not a database\n", ""},
      {missing, -1, failed + "Failed to open database at '" + missing + "'. [14] unable to open "
                    "database file\n", ""},
      {big, -1, "[ERROR] initialize: value of 512 bytes is longer than its limit of 511\n", ""},
      {a + std::string("\0x", 2), -1, "[ERROR] initialize: value holds a NUL byte at offset " +
                                   std::to_string(a.size()) + "\n", ""},
      {a, 0, init + " with location '" + a + "'\n", a},
      {missing, 0, init + " (no-op)\n", a},
      {"", 0, "[INFO] SystemDB has been deinitialzed\n", ""}};
  // clang-format on
  for (const auto& [path, result, messages, open_path] : steps) {
    SCOPED_TRACE(messages);
    Log log;
    EXPECT_EQ(path.empty() ? (S::destroy(), 0) : S::initialize(path), result);
    EXPECT_EQ(log.All(), messages);
    EXPECT_EQ(S::m_systemDBPath, open_path);
    EXPECT_EQ(S::m_db != nullptr, !open_path.empty());
  }
  // The schema as the script creates it; an existing file keeps its rows.
  const std::string expected = dir / "expected.sqlite", master = "SELECT * FROM sqlite_master";
  Rows(expected, kSchema);
  EXPECT_EQ(Rows(a, master), Rows(expected, master));
  Rows(a, "INSERT INTO session_table (id) VALUES (3); UPDATE system_table SET value = 9");
  ASSERT_EQ(S::initialize(a), 0);
  S::destroy();
  EXPECT_EQ(Rows(a, "SELECT id FROM session_table"), "3");
  EXPECT_EQ(Rows(a, "SELECT key, typeof(value), value FROM system_table"),
            "release_version|text|4");
  // Closed: each operation fails with its own message and leaves its outputs alone.
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
  EXPECT_EQ(R(0, sessions, ids, names, info.id, conn.id, text, n), "0||||77|0|keep|5");
}

// The session holding a path: its folder, trailing slashes aside, is the path or a folder above
// it, compared byte for byte but for ASCII case; the longest wins, then the lowest id.
TEST_F(SystemDBTest, LookupByPath) {
  Sql("INSERT INTO session_table (id, sync_folder) VALUES (1, '/u/a'), (2, '/u/a/b'), "
      "(3, '/u/my_dir'), (4, '/u/\xC3\x84rger'), (5, '/u/q''uote'), (6, '/u/slash/'), "
      "(7, '/u/pct%'), (8, '/u/back\\'), (9, ''), (10, NULL), (13, '/u/a//'), (14, '/U/A/B/D'), "
      "(15, '/u/\xEF\xBF\xBD'), (16, '/u/a/b/' || replace(hex(zeroblob(13000)), '0', '_')), "
      "(17, '/u/z' || replace(hex(zeroblob(550)), '0', '/')), "
      "(18, '/u/y' || substr(replace(hex(zeroblob(510)), '0', '/'), 1, 1019));");
  // '' holds every absolute path, NULL nothing; 16 (26,007 bytes) and 17 (1,104) are longer than
  // any value read and must not keep the others from matching; 18 has 1,023 bytes.
  // clang-format off
  const std::pair<const char*, uint64_t> cases[] = {
      {"/u/a/b/c", 2}, {"/u/a/c", 1}, {"/u/a", 1}, {"/u/a/b", 2}, {"/u/a/b/", 2}, {"/u/a/bc/d", 1},
      {"/u/ab", 9}, {"/U/A/B/c", 2}, {"/u/a/b/d/x", 14}, {"/u/my_dir/f", 3}, {"/u/myXdir/f", 9},
      {"/u/q'uote/f", 5}, {"/u/pct%/f", 7}, {"/u/pctX/f", 9}, {"/u/back\\/f", 8},
      {"/u/\xC3\x84rger/f", 4}, {"/u/\xC3\xA4rger/f", 9},  // only ASCII letters ignore case
      {"/u/\xEF\xBF\xBD/f", 15}, {"/u/\xEF\xBF\xBE/f", 9},  // other bytes compare exactly
      {"/u/slash/f", 6}, {"/u/slash/", 6}, {"/u/slash", 6}, {"/u/slashx", 9}, {"/u/z/f", 9}, {"/u/y/f", 18}, {"/v", 9}, {"v", 0}};
  // clang-format on
  for (const auto& [path, id] : cases) {
    KELOSessionInfo found;
    EXPECT_EQ(R(Lookup(db_, path, &found), found.id), R(0, id)) << path;
  }
  // Numbers read as atoi would; id and view_id as 64-bit numbers, the others clamped to 32 bits.
  KELOSessionInfo info{0, "S", "sess", 0, 0, 0, -5, "", "keep"};
  Sql("INSERT INTO session_table (id, sync_folder) VALUES (5000000000, '/f');");
  // clang-format off
  const std::tuple<std::string, int32_t, int64_t> numbers[] = {
      {"NULL", 0, 0}, {"-7", -7, -7}, {"'  8x'", 8, 8}, {"'abc'", 0, 0}, {"2.9", 2, 2},
      {"3000000000", INT32_MAX, 3000000000}, {"-3000000000", INT32_MIN, -3000000000},
      {"'99999999999999999999x'", INT32_MAX, INT64_MAX}};
  // clang-format on
  for (const auto& [v, n, wide] : numbers) {
    Sql("UPDATE session_table SET attribute = " + v + ", view_id = " + v + ", status = " + v);
    const std::string s = Text(n) + ",", w = Text(uint64_t(wide)) + ",";
    EXPECT_EQ(R(Lookup(db_, "/f", &info), info), "0|5000000000,,," + s + w + s + "-5,/f,keep") << v;
  }
  // Failures are silent and leave the record untouched.
  const std::string old = dir_ / "old.sqlite";
  ::Rows(old, "CREATE TABLE session_table (id, status);");
  Sql("INSERT INTO session_table (id, share_name, sync_folder) VALUES (11, '" +
      std::string(1024, 's') + "', '/l'), (12, 'ok', '/p');");
  // clang-format off
  const std::tuple<std::string, std::string, int> failures[] = {
      {"", "/p/x", -1}, {"/" + std::string(511, 'd'), "/p/x", -1}, {old, "/p/x", SQLITE_ERROR},
      {db_, "/p/" + std::string(1021, 'p'), -1}, {db_, "/l/x", -1},  // /l: share too long
      {db_ + std::string("\0x", 2), "/p/x", -1}, {db_, std::string("/p\0/../x", 8), -1}};
  // clang-format on
  Log log;
  for (const auto& [db, path, result] : failures) {
    KELOSessionInfo untouched{99, "", "", 0, 0, 0, 0, "keep", ""};
    EXPECT_EQ(R(Lookup(db, path, &untouched), untouched), Text(result) + "|99,,,0,0,0,0,keep,")
        << db << path.substr(0, 20);
  }
  EXPECT_EQ(Lookup(db_, "/p/x", nullptr), -1);
  EXPECT_EQ(log.All(), "");
  EXPECT_EQ(R(Lookup(db_, "/p/" + std::string(1020, 'p'), &info), info.id), "0|12");  // fits
  // A fresh file gets the nine-column session_table; readers keep the full layout's positions.
  const std::string db = dir_ / "nine.sqlite";
  ASSERT_EQ(R(Lookup(db, "/n/f", &info), info.id), "0|12");  // no rows: untouched
  EXPECT_EQ(::Rows(db, "SELECT sql FROM sqlite_master"),
            "CREATE TABLE session_table ( \tid INTEGER primary key, \tconn_id INTEGER, "
            "\tshare_name TEXT, \tsession TEXT, \tattribute INTEGER, \tctime DATATIME DEFAULT "
            "(strftime('%s','now')), \tview_id INTEGER, \tstatus INTEGER, \tsync_folder TEXT )");
  ::Rows(db,
         "INSERT INTO session_table VALUES (4, 1, 'home', 's', 4, 0, 6, 11, '/n'), "
         "(3, 1, 'root', '', 0, 0, 0, 0, '//')");  // only slashes: the root
  EXPECT_EQ(R(Lookup(db, "/x", &info), info.id), "0|3");
  EXPECT_EQ(R(Lookup(db, "/N/f", &info), info), "0|4,home,s,4,6,11,-5,/p,keep");
  S::destroy();
  ASSERT_EQ(S::initialize(db), 0);
  EXPECT_EQ(R(S::getHomeSession(info), info), "0|4,home,s,4,6,11,0,,keep");
  ExpectFailures({{"setSessionInfo fail ret = 1 table session_table has no column named error\n",
                   [&] { return S::addNewSessionInfo(info, 1); }}});
}

// Sessions increase with the id, so index and table order agree.
TEST_F(SystemDBTest, Queries) {
  Sql("INSERT INTO session_table (id, conn_id, share_name, session, attribute, view_id, status, "
      "error, sync_folder, computer_name) VALUES (1, 1, 'HoMe', NULL, 4, 1, 8, 9, '/h', 'pc'), "
      "(2, 1, 'docs', 'a', 4, 2, 10, 7, '/d', 'pc'), (3, 1, 'pics', 'b''c', 3, 3, 11, 0, '/p', "
      "'pc'), (4, 1, 'music', 'c', 7, 4, 0, 0, '/m', 'pc'), (5, 1, 'x', 'd', 0, 5, 1, 0, '/d1', "
      "'pc'), (6, 1, NULL, 'd', 0, 6, 2, 0, '/d2', 'pc'), (7, 1, '" +
      std::string(256, 'n') + "', 'e', 0, 7, 0, 0, '/e', 'pc');");
  std::list<KELOSessionInfo> rows;
  std::list<uint64_t> ids;
  std::list<std::string> names;
  KELOSessionInfo home{0, "", "", 0, 0, 0, 0, "", "keep"};
  std::string share, dir;
  int s = 0, e = 0;
  const std::string none = "[ERROR] cannnot get home share sync folder QQ";  // no newline
  const std::string got = "[DEBUG] ggetSyncFolder ", sys = "[DEBUG] getSystemInfo\n";
  // clang-format off
  const std::tuple<std::function<std::string()>, std::string, std::string> cases[] = {
    // call, result and outputs (which start as one old entry, "keep", 55 and 66), last message
    {[&] { return R(S::getSessionList(rows), rows); }, "0|1,2,3,4,5,6,7", "[DEBUG] /e\n"},
    {[&] { return R(S::getEnabledSession(rows), rows); }, "0|2,4", "[DEBUG] /m\n"},
    {[&] { return R(S::getSessionListWithConf(rows), rows); }, "0|2,3,4,5,6,7", "[DEBUG] /e\n"},
    {[&] { return R(S::getRowIDList(ids), ids); }, "0|2,3,4,5,6,7", "[DEBUG] getRowIDList\n"},
    {[&] { return R(S::getSession(names), names); }, "0|a,b'c,c,d,d,e",
     "[DEBUG] get enabled session e\n"},
    {[&] { return R(S::getHomeSession(home), home); }, "0|1,HoMe,,4,1,8,9,/h,keep", "[DEBUG] /h\n"},
    {[&] { return R(S::getSyncFolder("HOME", dir), dir); }, "0|/h", got + "/h\n"},
    {[&] { return R(S::getSyncFolderBySession("A", dir), dir); }, "-1|keep", none},
    {[&] { return R(S::getSessionStatusAndErr("a", s, e), s, e); }, "0|10|7",
     "[DEBUG] getSessionStatusAndErr\n"},
    {[&] { return R(S::getSessionStatusAndErr("no", s, e), s, e); }, "-1|55|66",
     "[DEBUG] cannnot get getSessionStatusAndErr no\n"},
    {[&] { return R(S::getFolderInfoBySession("d", share, dir), share, dir); }, "0|x|/d2", sys},
    {[&] { return R(S::getFolderInfoBySession("z", share, dir), share, dir); }, "0|keep|keep", sys},
    {[&] { return R(S::getFolderInfoBySession("e", share, dir), share, dir); }, "-1|keep|keep",
     "[ERROR] getFolderInfoBySession: value of 256 bytes is longer than its limit of 255\n"}};
  // clang-format on
  for (const auto& [call, expected, last_message] : cases) {
    Log log;
    rows.assign(1, {}), ids = {42}, names = {"old"}, share = dir = "keep", s = 55, e = 66;
    EXPECT_EQ(call(), expected);
    EXPECT_EQ(log.Last(), last_message) << expected;
  }
}

TEST_F(SystemDBTest, UpdatesLinkAndConnection) {
  Sql("INSERT INTO session_table (id, conn_id, share_name, session, attribute, view_id) VALUES "
      "(1, 1, 'docs', 's1', 4, 10), (2, 1, 'pics', 's2', 3, 11), (3, 2, 'home', NULL, 4, 10), "
      "(4, 2, 'x', 'all', 0, 12), (5, 1, 'HOME', 'All', 7, 13);");
  // A text argument holding a NUL byte is refused: cut there, it would name session s1.
  const std::string s1("s1\0junk", 7), nul = ": value holds a NUL byte at offset 2\n";
  const std::string before = Rows("SELECT * FROM session_table");
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
  EXPECT_EQ(R(0, out, n), "0||0");
  EXPECT_EQ(Rows("SELECT * FROM session_table") + Rows("SELECT count(*) FROM connection_table"),
            before + "0");
  KELOSessionInfo gone{0, "", "", 0, 10, 0, 0, "", ""};
  const std::tuple<std::function<int()>, const char*, const char*> cases[] = {
      // call (status and error are 1 before), column afterwards by id
      {[] { return S::setSessionStatus("all", 3); }, "status", "3,1,1,1,3"},
      {[] { return S::setSessionStatus("All", 3); }, "status", "1,1,1,1,3"},
      {[] { return S::setSessionErr("s2", 9); }, "error", "1,9,1,1,1"},
      {[] { return S::updateHomeViewID(42); }, "view_id", "10,11,42,12,42"},
      {[] { return S::disableAllSession(); }, "attribute||status||error", "000,300,000,000,300"},
      {[] { return S::setComputername("it's"); }, "computer_name", "it's,it's,it's,it's,it's"},
      {[&] { return S::rmSessionInfo(gone, 1); }, "id", "2,3,4,5"}};  // view 10 of conn 1
  for (const auto& [call, column, after] : cases) {
    Sql("UPDATE session_table SET status = 1, error = 1;");
    EXPECT_EQ(call(), 0) << after;
    EXPECT_EQ(Rows(std::string("SELECT ") + column + " FROM session_table ORDER BY id"), after);
  }
  Sql("INSERT INTO connection_table (vault_id) VALUES ('v');");
  Log log;
  int linked = 99;
  for (int set : {0, 2, -1}) {  // 0: never set
    EXPECT_EQ(set ? S::setLink(set) : 0, 0);
    EXPECT_EQ(R(S::checkLinked(linked), linked), R(0, set));
  }
  EXPECT_EQ(Rows("SELECT linked FROM connection_table"), "-1");
  ASSERT_EQ(S::clearSystemDB(), 0);
  EXPECT_EQ(Rows("SELECT key || value FROM system_table UNION ALL SELECT id FROM session_table "
                 "UNION ALL SELECT id FROM connection_table"),
            "release_version4");
  EXPECT_EQ(R(S::checkLinked(linked), linked), "0|0");
  EXPECT_EQ(R(S::getHomeSession(gone), gone), "0|0,,,0,10,0,0,,");  // no home row: untouched
  KELOSessionInfo info{0, "o'neil", "", 4, 77, 5, 6, "/" + std::string(1022, 'f'), "pc"};
  ASSERT_EQ(S::addNewSessionInfo(info, 9), 0);  // a folder of 1023 bytes fits
  const std::string first = Text(info.id);
  info.sync_folder = "/o'n";
  ASSERT_EQ(S::addNewSessionInfo(info, 9), 0);
  EXPECT_EQ(Rows("SELECT conn_id, share_name, session, attribute, view_id, status, error, "
                 "computer_name, typeof(ctime), length(sync_folder) FROM session_table"),
            "9|o'neil|NULL|4|77|5|6|pc|integer|1023,9|o'neil|NULL|4|77|5|6|pc|integer|4");
  info = KELOSessionInfo{0, "O'NEIL", "s'o", 4, 77, 10, 6, "/new", "pc"};  // share in any case
  EXPECT_EQ(R(S::updateSessionInfo(info), info.id), "0|" + first);  // the first of the two rows
  // Entry messages come before m_dbMutex is taken, the rest under it, then the logger's lock.
  EXPECT_EQ(log.All(),
            "[INFO] set link 2\n,[INFO] set link -1\n,[DEBUG] clear System DB \n,[DEBUG] "
            "getHomeSession\n,[INFO] status: 10, folder: /new\n,[DEBUG] update row id " +
                first + "\n");
  EXPECT_EQ(log.db_lock_held, (std::vector<bool>{false, false, false, false, true, true}));
  EXPECT_TRUE(log.log_lock_held);
  EXPECT_EQ(Rows("SELECT DISTINCT share_name, session, status, sync_folder FROM session_table"),
            "o'neil|s'o|10|/new");
  // The connection record: the first row is the one read, rows are found by their vault.
  KELOConnectionInfo conn{0, "untouched", "", 0, "", "", std::string(1024, 'v'), "", 0, 0};
  ExpectFailures({{"setConnectionInfo: value of 1024 bytes is longer than its limit of 1023\n",
                   [&] { return S::setConnectionInfo(conn, {}); }}});
  EXPECT_EQ(R(S::getConnectionInfo(conn), conn.id, conn.server_name), "0|0|untouched");  // no row
  conn = KELOConnectionInfo{2, "o'server", "10.0.0.1", 5001, "wp", "Ann", "v1", "sid", 3, 0};
  ASSERT_EQ(S::setConnectionInfo(conn, TunnelInfo{true, "t'ip", 65535}), 0);
  const std::string id = Text(conn.id);
  conn.vault_id = "v2";
  ASSERT_EQ(S::setConnectionInfo(conn, TunnelInfo{}), 0);
  EXPECT_EQ(R(S::getConnectionInfo(conn), conn),
            "0|" + id + ",2,o'server,10.0.0.1,5001,wp,Ann,v1,sid,3");  // the first row
  conn = KELOConnectionInfo{2, "o'server", "10.0.0.1", 6000, "wp", "Bob", "v1", "new", 3, 0};
  EXPECT_EQ(R(S::updateConnectionInfo(conn, TunnelInfo{true, "tun", 443}), conn.id), "0|" + id);
  EXPECT_EQ(log.Last(), "[DEBUG] update conn id " + id + "\n");
  EXPECT_EQ(Rows("SELECT username, vault_id, server_port, session, use_tunnel, tunnel_ip, "
                 "tunnel_port FROM connection_table"),  // username kept: rows are found by vault
            "Ann|v1|6000|new|1|tun|443,Ann|v2|5001|sid|0||0");
  conn.vault_id = "unknown";
  EXPECT_EQ(R(S::updateConnectionInfo(conn, TunnelInfo{}), conn.id), "-1|" + id);
  EXPECT_EQ(log.Last(), "[ERROR] cannnot get id for last update connection\n");
}

TEST_F(SystemDBTest, MixedReadersAndWritersLoseNothing) {
  Log log;  // DEBUG lines too, so every operation takes the logger's lock
  const auto deadline = Clock::now() + 1500ms;
  std::mutex added_mutex;
  std::set<std::string> added;
  std::atomic<int> failures{0}, running{4};
  const auto work = [&](int n) {
    const std::string w = "w" + Text(n);
    for (int i = 0; Clock::now() < deadline; ++i) {
      KELOSessionInfo info{0, i % 2 ? "home" : w, "", 4, 0, 0, 0, "/" + w, ""};
      std::list<uint64_t> ids;
      failures += S::addNewSessionInfo(info, n) != 0;
      const std::string id = Text(info.id);
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
  EXPECT_EQ(Rows("SELECT id FROM session_table ORDER BY id || ''"),  // all present
            Join(Strings(added.begin(), added.end())));
}

}  // namespace
