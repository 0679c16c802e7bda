// The connection record and the linked flag.
#include "system_db_test_util.h"

namespace {

using kelo_test::LogCapture;
using kelo_test::SystemDBTest;
using Strings = std::vector<std::string>;

KELOConnectionInfo sampleConnection() {
  KELOConnectionInfo info;
  info.conn_mode = 2;
  info.server_name = "o'server";
  info.server_ip = "10.0.0.1";
  info.server_port = 5001;
  info.waypoint_mode = "wp";
  info.username = "Ann";
  info.vault_id = "v1";
  info.session = "sid";
  info.protocol_version = 3;
  return info;
}

std::string describe(const KELOConnectionInfo& c) {
  return std::to_string(c.id) + "|" + std::to_string(c.conn_mode) + "|" + c.server_name + "|" +
         c.server_ip + "|" + std::to_string(c.server_port) + "|" + c.waypoint_mode + "|" +
         c.username + "|" + c.vault_id + "|" + c.session + "|" + std::to_string(c.protocol_version);
}

using SystemDBConnection = SystemDBTest;

TEST_F(SystemDBConnection, AddReadAndTunnelColumns) {
  KELOConnectionInfo read;
  read.server_name = "untouched";
  ASSERT_EQ(SystemDB::getConnectionInfo(read), 0);  // empty table
  EXPECT_EQ(read.id, 0u);
  EXPECT_EQ(read.server_name, "untouched");

  KELOConnectionInfo info = sampleConnection();
  ASSERT_EQ(SystemDB::setConnectionInfo(info, TunnelInfo{true, "t'ip", 65535}), 0);
  const uint64_t first = info.id;
  info.server_name = "second";
  ASSERT_EQ(SystemDB::setConnectionInfo(info, TunnelInfo{}), 0);
  EXPECT_NE(info.id, first);
  EXPECT_EQ(rows("SELECT linked, use_tunnel, tunnel_ip, tunnel_port FROM connection_table ORDER "
                 "BY id"),
            (Strings{"NULL|1|t'ip|65535", "NULL|0||0"}));

  LogCapture log;
  ASSERT_EQ(SystemDB::getConnectionInfo(read), 0);  // the first row only
  EXPECT_EQ(describe(read), std::to_string(first) + "|2|o'server|10.0.0.1|5001|wp|Ann|v1|sid|3");
  EXPECT_EQ(log.messages(),
            (Strings{"[DEBUG] getConnectionInfo\n", "[DEBUG] o'server\n", "[DEBUG] 10.0.0.1\n",
                     "[DEBUG] wp\n", "[DEBUG] Ann\n", "[DEBUG] v1\n", "[DEBUG] sid\n"}));
}

TEST_F(SystemDBConnection, NullColumnsReadAsEmptyAndZero) {
  sql("INSERT INTO connection_table (id) VALUES (5);");
  KELOConnectionInfo read = sampleConnection();
  ASSERT_EQ(SystemDB::getConnectionInfo(read), 0);
  EXPECT_EQ(describe(read), "5|0|||0|||||0");
}

TEST_F(SystemDBConnection, UpdateFindsRowsByVaultAndKeepsUsername) {
  KELOConnectionInfo info = sampleConnection();
  ASSERT_EQ(SystemDB::setConnectionInfo(info, TunnelInfo{}), 0);
  const uint64_t id = info.id;
  ASSERT_EQ(SystemDB::setLink(1), 0);

  LogCapture log;
  KELOConnectionInfo update = sampleConnection();
  update.username = "Bob";
  update.server_port = 6000;
  update.session = "new";
  ASSERT_EQ(SystemDB::updateConnectionInfo(update, TunnelInfo{true, "tun", 443}), 0);
  EXPECT_EQ(update.id, id);
  EXPECT_EQ(log.last(), "[DEBUG] update conn id " + std::to_string(id) + "\n");
  EXPECT_EQ(rows("SELECT username, vault_id, server_port, session, linked, use_tunnel, tunnel_ip, "
                 "tunnel_port FROM connection_table"),
            Strings{"Ann|v1|6000|new|1|1|tun|443"});

  const Strings before = rows("SELECT * FROM connection_table");
  update.vault_id = "unknown";
  update.id = 0;
  EXPECT_EQ(SystemDB::updateConnectionInfo(update, TunnelInfo{}), -1);
  EXPECT_EQ(update.id, 0u);
  EXPECT_EQ(log.last(), "[ERROR] cannnot get id for last update connection\n");
  EXPECT_EQ(rows("SELECT * FROM connection_table"), before);
  EXPECT_EQ(SystemDB::getConnectionInfoByVaultID(update, "v1"), 0);
  EXPECT_EQ(rows("SELECT * FROM connection_table"), before);
}

TEST_F(SystemDBConnection, LinkedFlagLifecycle) {
  KELOConnectionInfo info = sampleConnection();
  ASSERT_EQ(SystemDB::setConnectionInfo(info, TunnelInfo{}), 0);
  struct Step {
    const char* name;
    int (*change)();
    int linked;
  };
  const Step steps[] = {
      {"never set", [] { return 0; }, 0},
      {"set to 2", [] { return SystemDB::setLink(2); }, 2},
      {"set to -1", [] { return SystemDB::setLink(-1); }, -1},
      {"cleared", [] { return SystemDB::clearSystemDB(); }, 0},
  };
  for (const auto& s : steps) {
    SCOPED_TRACE(s.name);
    ASSERT_EQ(s.change(), 0);
    int linked = 99;
    EXPECT_EQ(SystemDB::checkLinked(linked), 0);
    EXPECT_EQ(linked, s.linked);
    if (s.linked == 2) {
      EXPECT_EQ(rows("SELECT linked FROM connection_table"), Strings{"2"});
    }
  }
  LogCapture log;
  ASSERT_EQ(SystemDB::setLink(7), 0);
  EXPECT_EQ(log.messages(), Strings{"[INFO] set link 7\n"});
  sql("DROP TABLE system_table;");
  EXPECT_EQ(SystemDB::setLink(1), -1);
  EXPECT_EQ(log.last(), "[ERROR] setLink fail ret = 1 no such table: system_table\n");
}

TEST_F(SystemDBConnection, OverlongMemberIsRefused) {
  KELOConnectionInfo info = sampleConnection();
  info.vault_id = std::string(1024, 'v');
  LogCapture log;
  EXPECT_EQ(SystemDB::setConnectionInfo(info, TunnelInfo{}), -1);
  EXPECT_EQ(log.last(),
            "[ERROR] setConnectionInfo: value of 1024 bytes is longer than its limit of 1023\n");
  EXPECT_TRUE(rows("SELECT * FROM connection_table").empty());
}

}  // namespace
