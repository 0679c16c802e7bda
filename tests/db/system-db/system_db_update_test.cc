// Session updates on the open registry.
#include <functional>

#include "system_db_test_util.h"

namespace {

using kelo_test::execSql;
using kelo_test::LogCapture;
using kelo_test::SystemDBTest;

class SystemDBUpdate : public SystemDBTest {
 protected:
  void SetUp() override {
    SystemDBTest::SetUp();
    sql("INSERT INTO session_table (id, conn_id, share_name, session, attribute, view_id, status, "
        "error) VALUES "
        "(1, 1, 'docs', 's1', 4, 10, 1, 1), (2, 1, 'pics', 's2', 3, 11, 1, 1),"
        "(3, 2, 'home', NULL, 4, 10, 1, 1), (4, 2, 'x', 'all', 0, 12, 1, 1),"
        "(5, 1, 'HOME', 'All', 7, 13, 1, 1);");
  }
  std::vector<std::string> column(const std::string& name) {
    return rows("SELECT " + name + " FROM session_table ORDER BY id");
  }
};

using Strings = std::vector<std::string>;

TEST_F(SystemDBUpdate, StatusErrorViewAndDisable) {
  struct Case {
    const char* name;
    std::function<int()> call;
    const char* column;
    Strings after;
  };
  const Case cases[] = {
      {"status of all enabled",
       [] { return SystemDB::setSessionStatus("all", 3); },
       "status",
       {"3", "1", "1", "1", "3"}},
      {"status of session 'All'",
       [] { return SystemDB::setSessionStatus("All", 3); },
       "status",
       {"1", "1", "1", "1", "3"}},
      {"error of one session",
       [] { return SystemDB::setSessionErr("s2", 9); },
       "error",
       {"1", "9", "1", "1", "1"}},
      {"error of no session",
       [] { return SystemDB::setSessionErr("none", 9); },
       "error",
       {"1", "1", "1", "1", "1"}},
      {"error of all enabled",
       [] { return SystemDB::setSessionErr("all", 8); },
       "error",
       {"8", "1", "1", "1", "8"}},
      {"home view id, any case",
       [] { return SystemDB::updateHomeViewID(42); },
       "view_id",
       {"10", "11", "42", "12", "42"}},
      {"disable all",
       [] { return SystemDB::disableAllSession(); },
       "attribute || '/' || status || '/' || error",
       {"0/0/0", "3/0/0", "0/0/0", "0/0/0", "3/0/0"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    sql("UPDATE session_table SET status = 1, error = 1;");
    EXPECT_EQ(c.call(), 0);
    EXPECT_EQ(column(c.column), c.after);
  }
}

TEST_F(SystemDBUpdate, AddThenUpdateGivesTheRowItsSession) {
  KELOSessionInfo info;
  info.share_name = "o'neil";
  info.attribute = 4;
  info.view_id = 77;
  info.status = 5;
  info.error = 6;
  info.sync_folder = "/o'n";
  info.computer_name = "pc";
  ASSERT_EQ(SystemDB::addNewSessionInfo(info, 9), 0);
  const uint64_t first = info.id;
  ASSERT_EQ(SystemDB::addNewSessionInfo(info, 9), 0);
  EXPECT_GT(info.id, first);
  EXPECT_EQ(rows("SELECT id, conn_id, share_name, session, attribute, view_id, status, error, "
                 "sync_folder, computer_name, typeof(ctime) FROM session_table WHERE id >= " +
                 std::to_string(first)),
            (Strings{std::to_string(first) + "|9|o'neil|NULL|4|77|5|6|/o'n|pc|integer",
                     std::to_string(info.id) + "|9|o'neil|NULL|4|77|5|6|/o'n|pc|integer"}));

  LogCapture log;
  KELOSessionInfo update = info;
  update.share_name = "O'NEIL";  // NOCASE
  update.session = "s'o";
  update.status = 10;
  update.sync_folder = "/new";
  ASSERT_EQ(SystemDB::updateSessionInfo(update), 0);
  EXPECT_EQ(update.id, first);  // the first of the two rows
  EXPECT_EQ(log.messages(), (Strings{"[INFO] status: 10, folder: /new\n",
                                     "[DEBUG] update row id " + std::to_string(first) + "\n"}));
  EXPECT_EQ(rows("SELECT share_name, session, status, sync_folder, conn_id, computer_name FROM "
                 "session_table WHERE view_id = 77"),
            (Strings{"o'neil|s'o|10|/new|9|pc", "o'neil|s'o|10|/new|9|pc"}));

  log.clear();
  const Strings before = rows("SELECT * FROM session_table");
  update.view_id = 78;
  update.id = 5555;
  EXPECT_EQ(SystemDB::updateSessionInfo(update), -1);
  EXPECT_EQ(update.id, 5555u);
  EXPECT_EQ(log.last(), "[ERROR] cannnot get id for last update session\n");
  EXPECT_EQ(rows("SELECT * FROM session_table"), before);
}

TEST_F(SystemDBUpdate, RemoveClearAndComputerName) {
  KELOSessionInfo info;
  info.view_id = 10;
  ASSERT_EQ(SystemDB::rmSessionInfo(info, 1), 0);  // row 3 has view 10 but conn 2
  EXPECT_EQ(column("id"), (Strings{"2", "3", "4", "5"}));
  ASSERT_EQ(SystemDB::setComputername("it's mine"), 0);
  EXPECT_EQ(column("computer_name"), Strings(4, "it's mine"));
  ASSERT_EQ(SystemDB::setLink(1), 0);
  EXPECT_EQ(rows("SELECT key, value FROM system_table ORDER BY key"),
            (Strings{"computer_name|it's mine", "linked|1", "release_version|4"}));
  sql("INSERT INTO connection_table (vault_id) VALUES ('v');");
  LogCapture log;
  ASSERT_EQ(SystemDB::clearSystemDB(), 0);
  EXPECT_EQ(log.messages(), Strings{"[DEBUG] clear System DB \n"});
  EXPECT_EQ(rows("SELECT key, value FROM system_table"), Strings{"release_version|4"});
  EXPECT_TRUE(
      rows("SELECT * FROM session_table UNION ALL SELECT id FROM connection_table").empty());
}

// Values are refused whole when they do not fit, never cut.
TEST_F(SystemDBUpdate, ValuesOverTheirLimitAreRefused) {
  KELOSessionInfo info;
  info.sync_folder = "/" + std::string(1022, 'f');  // 1023 bytes: fits
  ASSERT_EQ(SystemDB::addNewSessionInfo(info, 1), 0);
  EXPECT_EQ(
      rows("SELECT length(sync_folder) FROM session_table WHERE id = " + std::to_string(info.id)),
      Strings{"1023"});
  LogCapture log;
  info.id = 0;
  info.share_name = std::string(1024, 's');
  EXPECT_EQ(SystemDB::addNewSessionInfo(info, 1), -1);
  EXPECT_EQ(info.id, 0u);
  EXPECT_EQ(log.messages(),
            Strings{"[ERROR] addNewSessionInfo: value of 1024 bytes is longer than its limit of "
                    "1023\n"});
  EXPECT_EQ(SystemDB::setSessionStatus(std::string(2000, 's'), 1), -1);
  EXPECT_EQ(rows("SELECT count(*) FROM session_table"), Strings{"6"});
}

// On the older nine-column session_table (no error, no computer_name) the writes that name
// those columns fail and change nothing; the others work.
TEST(SystemDBUpdateLayout, NineColumnTable) {
  kelo_test::TempDir dir;
  const std::string db = dir.path("sys.sqlite");
  KELOSessionInfo probe;
  ASSERT_EQ(SystemDB::getSessionInfoByFilePath(db, "/", &probe), 0);
  ASSERT_EQ(execSql(db, "INSERT INTO session_table VALUES (1, 1, 'home', 's', 4, 0, 6, 11, '/n')"),
            SQLITE_OK);
  ASSERT_EQ(SystemDB::initialize(db), 0);
  KELOSessionInfo info;
  info.share_name = "home";
  info.view_id = 6;
  struct Case {
    const char* name;
    std::function<int()> call;
    int result;
    std::string message;  // the error logged; empty when none
  };
  const Case cases[] = {
      {"setSessionErr", [] { return SystemDB::setSessionErr("s", 1); }, -1,
       "[ERROR] setSessionErr fail ret = 1 no such column: error\n"},
      {"disableAllSession", [] { return SystemDB::disableAllSession(); }, -1,
       "[ERROR] disableAllSession fail ret = 1 no such column: error\n"},
      {"addNewSessionInfo", [&] { return SystemDB::addNewSessionInfo(info, 1); }, -1,
       "[ERROR] setSessionInfo fail ret = 1 table session_table has no column named error\n"},
      {"updateSessionInfo", [&] { return SystemDB::updateSessionInfo(info); }, -1,
       "[ERROR] updateSessionInfo fail ret = 1 no such column: error\n"},
      {"setComputername", [] { return SystemDB::setComputername("pc"); }, -1,
       "[ERROR] setComputername fail ret = 1 no such column: computer_name\n"},
      {"setSessionStatus", [] { return SystemDB::setSessionStatus("s", 12); }, 0, ""},
      {"updateHomeViewID", [] { return SystemDB::updateHomeViewID(7); }, 0, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    LogCapture log;
    EXPECT_EQ(c.call(), c.result);
    Strings errors;
    for (const auto& m : log.messages()) {
      if (m.rfind("[ERROR]", 0) == 0) errors.push_back(m);
    }
    EXPECT_EQ(errors, c.message.empty() ? Strings{} : Strings{c.message});
  }
  SystemDB::destroy();
  EXPECT_EQ(kelo_test::queryRows(db, "SELECT * FROM session_table"),
            Strings{"1|1|home|s|4|0|7|12|/n"});
  EXPECT_EQ(kelo_test::queryRows(db, "SELECT value FROM system_table WHERE key = 'computer_name'"),
            Strings{"pc"});
  ASSERT_EQ(SystemDB::initialize(db), 0);
  KELOSessionInfo gone;
  gone.view_id = 7;
  EXPECT_EQ(SystemDB::rmSessionInfo(gone, 1), 0);
  EXPECT_EQ(SystemDB::clearSystemDB(), 0);
  SystemDB::destroy();
  EXPECT_TRUE(kelo_test::queryRows(db, "SELECT * FROM session_table").empty());
}

}  // namespace
