// Session queries on the open registry.
#include <algorithm>
#include <functional>

#include "system_db_test_util.h"

namespace {

using kelo_test::idsOf;
using kelo_test::LogCapture;
using kelo_test::SystemDBTest;

class SystemDBQuery : public SystemDBTest {
 protected:
  void SetUp() override {
    SystemDBTest::SetUp();
    sql("INSERT INTO session_table (id, conn_id, share_name, session, attribute, view_id, status, "
        "error, sync_folder, computer_name) VALUES "
        "(1, 1, 'home', NULL, 4, 1, 0, 0, '/h', 'pc'),"
        "(2, 1, 'docs', 's-docs', 4, 2, 10, 7, '/d', 'pc'),"
        "(3, 1, 'pics', 's''pics', 3, 3, 11, 0, '/p', 'pc'),"
        "(4, 1, 'music', 's-music', 7, 4, 0, 0, '/m', 'pc'),"
        "(5, 1, 'a', 'dup', 0, 5, 1, 0, '/d1', 'pc'),"
        "(6, 1, NULL, 'dup', 0, 6, 2, 0, '/d2', 'pc');");
  }
};

TEST_F(SystemDBQuery, RecordListsSelectByPresenceOfSessionAndEnabledBit) {
  using Reader = int (*)(std::list<KELOSessionInfo>&);
  struct Case {
    const char* name;
    Reader read;
    std::vector<uint64_t> ids;
  };
  const Case cases[] = {
      {"getSessionList", SystemDB::getSessionList, {1, 2, 3, 4, 5, 6}},
      {"getEnabledSession", SystemDB::getEnabledSession, {2, 4}},
      {"getSessionListWithConf", SystemDB::getSessionListWithConf, {2, 3, 4, 5, 6}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::list<KELOSessionInfo> list(3);  // old entries are dropped
    ASSERT_EQ(c.read(list), 0);
    auto ids = idsOf(list);
    std::sort(ids.begin(), ids.end());
    EXPECT_EQ(ids, c.ids);
    for (const auto& info : list) {
      EXPECT_EQ(info.computer_name, "");
      if (info.id == 2) {
        EXPECT_EQ(std::make_tuple(info.share_name, info.session, info.attribute, info.view_id,
                                  info.status, info.error, info.sync_folder),
                  std::make_tuple(std::string("docs"), std::string("s-docs"), 4, uint64_t{2}, 10, 7,
                                  std::string("/d")));
      }
    }
  }
}

TEST_F(SystemDBQuery, ListReadersTraceEachTextValue) {
  sql("DELETE FROM session_table WHERE id <> 4;");
  LogCapture log;
  std::list<KELOSessionInfo> list;
  ASSERT_EQ(SystemDB::getSessionListWithConf(list), 0);
  EXPECT_EQ(log.messages(),
            (std::vector<std::string>{"[DEBUG] getEnabledSession\n", "[DEBUG] music\n",
                                      "[DEBUG] s-music\n", "[DEBUG] /m\n"}));
  log.clear();
  std::list<std::string> sessions;
  ASSERT_EQ(SystemDB::getSession(sessions), 0);
  EXPECT_EQ(log.messages(), (std::vector<std::string>{"[DEBUG] getSession\n",
                                                      "[DEBUG] get enabled session s-music\n"}));
}

TEST_F(SystemDBQuery, IdAndSessionLists) {
  std::list<uint64_t> ids{42};
  ASSERT_EQ(SystemDB::getRowIDList(ids), 0);
  std::vector<uint64_t> sorted_ids(ids.begin(), ids.end());
  std::sort(sorted_ids.begin(), sorted_ids.end());
  EXPECT_EQ(sorted_ids, (std::vector<uint64_t>{2, 3, 4, 5, 6}));
  std::list<std::string> sessions{"old"};
  ASSERT_EQ(SystemDB::getSession(sessions), 0);
  std::vector<std::string> sorted(sessions.begin(), sessions.end());
  std::sort(sorted.begin(), sorted.end());
  EXPECT_EQ(sorted, (std::vector<std::string>{"dup", "dup", "s'pics", "s-docs", "s-music"}));
}

TEST_F(SystemDBQuery, OneRowReaders) {
  // Each call writes its outputs into `out`; outputs start as "keep" / 55 / 66.
  using Call = std::function<int(std::string&)>;
  const auto folder = [](int (*read)(const std::string&, std::string&), std::string key) {
    return [=](std::string& out) { return read(key, out); };
  };
  const auto status = [](std::string session) {
    return [=](std::string& out) {
      int s = 55, e = 66;
      const int r = SystemDB::getSessionStatusAndErr(session, s, e);
      out = std::to_string(s) + "/" + std::to_string(e);
      return r;
    };
  };
  const auto info = [](std::string session) {
    return [=](std::string& out) {
      std::string share = "keep", dir = "keep";
      const int r = SystemDB::getFolderInfoBySession(session, share, dir);
      out = share + "|" + dir;
      return r;
    };
  };
  struct Case {
    const char* name;
    Call call;
    int result;
    std::string out;
    std::string last_message;
  };
  const Case cases[] = {
      {"share any case", folder(SystemDB::getSyncFolder, "HOME"), 0, "/h",
       "[DEBUG] ggetSyncFolder /h\n"},
      {"no share", folder(SystemDB::getSyncFolder, "nobody"), -1, "keep",
       "[ERROR] cannnot get home share sync folder QQ"},
      {"session with quote", folder(SystemDB::getSyncFolderBySession, "s'pics"), 0, "/p",
       "[DEBUG] ggetSyncFolder /p\n"},
      {"session exact case", folder(SystemDB::getSyncFolderBySession, "S-DOCS"), -1, "keep",
       "[ERROR] cannnot get home share sync folder QQ"},
      {"folder of first dup", folder(SystemDB::getSyncFolderBySession, "dup"), 0, "/d1",
       "[DEBUG] ggetSyncFolder /d1\n"},
      {"status", status("s-docs"), 0, "10/7", "[DEBUG] getSessionStatusAndErr\n"},
      {"status of first dup", status("dup"), 0, "1/0", "[DEBUG] getSessionStatusAndErr\n"},
      {"no status", status("nope"), -1, "55/66",
       "[DEBUG] cannnot get getSessionStatusAndErr nope\n"},
      {"folder info", info("s'pics"), 0, "pics|/p", "[DEBUG] getSystemInfo\n"},
      {"folder info, last non-NULL wins", info("dup"), 0, "a|/d2", "[DEBUG] getSystemInfo\n"},
      {"no folder info", info("none"), 0, "keep|keep", "[DEBUG] getSystemInfo\n"},
      {"argument over 1023 bytes", folder(SystemDB::getSyncFolder, std::string(1024, 'x')), -1,
       "keep", "[ERROR] getSyncFolder: value of 1024 bytes is longer than its limit of 1023\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    LogCapture log;
    std::string out = "keep";
    EXPECT_EQ(c.call(out), c.result);
    EXPECT_EQ(out, c.out);
    EXPECT_EQ(log.last(), c.last_message);
  }
}

TEST_F(SystemDBQuery, HomeSessionFillsTheRecordInPlace) {
  sql("UPDATE session_table SET share_name = 'HoMe' WHERE id = 1;");
  KELOSessionInfo info;
  info.computer_name = "keep";
  ASSERT_EQ(SystemDB::getHomeSession(info), 0);
  EXPECT_EQ(std::make_tuple(info.id, info.share_name, info.session, info.attribute, info.view_id,
                            info.sync_folder, info.computer_name),
            std::make_tuple(uint64_t{1}, std::string("HoMe"), std::string(), 4, uint64_t{1},
                            std::string("/h"), std::string("keep")));
  sql("DELETE FROM session_table;");
  KELOSessionInfo untouched;
  untouched.id = 9;
  ASSERT_EQ(SystemDB::getHomeSession(untouched), 0);
  EXPECT_EQ(untouched.id, 9u);
}

TEST_F(SystemDBQuery, OverlongValuesAndBrokenTablesFailWithTheirMessages) {
  sql("UPDATE session_table SET session = '" + std::string(256, 'v') + "' WHERE id = 3;");
  LogCapture log;
  std::list<std::string> sessions;
  EXPECT_EQ(SystemDB::getSession(sessions), -1);
  EXPECT_EQ(log.last(), "[ERROR] getSession: value of 256 bytes is longer than its limit of 255\n");
  ASSERT_EQ(sqlite3_exec(SystemDB::m_db, "DROP TABLE session_table", nullptr, nullptr, nullptr),
            SQLITE_OK);
  std::list<KELOSessionInfo> list(2);
  EXPECT_EQ(SystemDB::getSessionList(list), -1);
  EXPECT_TRUE(list.empty());
  EXPECT_EQ(log.last(),
            "[ERROR] getSessionList: sqlite3_prepare_v2: no such table: session_table (1)\n");
}

TEST(SystemDBQueryLayout, NineColumnTableReadsByFullLayoutPositions) {
  kelo_test::TempDir dir;
  const std::string db = dir.path("sys.sqlite");
  KELOSessionInfo probe;
  ASSERT_EQ(SystemDB::getSessionInfoByFilePath(db, "/", &probe), 0);  // nine-column table
  ASSERT_EQ(kelo_test::execSql(
                db, "INSERT INTO session_table VALUES (4, 1, 's', 'x', 4, 0, 6, 11, '/n');"),
            SQLITE_OK);
  ASSERT_EQ(SystemDB::initialize(db), 0);
  std::list<KELOSessionInfo> list;
  EXPECT_EQ(SystemDB::getSessionList(list), 0);
  SystemDB::destroy();
  ASSERT_EQ(list.size(), 1u);
  const auto& info = list.front();
  EXPECT_EQ(std::make_tuple(info.id, info.share_name, info.session, info.attribute, info.view_id,
                            info.status, info.error, info.sync_folder),
            std::make_tuple(uint64_t{4}, std::string("s"), std::string("x"), 4, uint64_t{6}, 11, 0,
                            std::string()));
}

}  // namespace
