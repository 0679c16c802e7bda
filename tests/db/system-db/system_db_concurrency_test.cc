// Threads sharing the registry's connection, the lock order against the logger, and other
// connections holding the file's lock.
#include <errno.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <set>
#include <thread>

#include "system_db_test_util.h"

namespace {

using kelo_test::LogCapture;
using kelo_test::SystemDBTest;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

using SystemDBConcurrency = SystemDBTest;

TEST_F(SystemDBConcurrency, MixedReadersAndWritersLoseNothing) {
  LogCapture log;  // DEBUG lines too, so every operation takes the logger's lock
  const auto deadline = Clock::now() + 1500ms;
  std::mutex ids_mutex;
  std::vector<uint64_t> added;
  std::atomic<int> failures{0};
  const auto writer = [&](int n) {
    for (int i = 0; Clock::now() < deadline; ++i) {
      KELOSessionInfo info;
      info.share_name = i % 2 ? "home" : "w" + std::to_string(n);
      info.sync_folder = "/w" + std::to_string(n);
      info.attribute = 4;
      if (SystemDB::addNewSessionInfo(info, n) != 0) ++failures;
      if (SystemDB::setSessionStatus("all", i) != 0) ++failures;
      if (SystemDB::updateHomeViewID(i) != 0) ++failures;
      std::lock_guard<std::mutex> hold(ids_mutex);
      added.push_back(info.id);
    }
  };
  const auto reader = [&](int n) {
    while (Clock::now() < deadline) {
      std::list<uint64_t> ids;
      KELOSessionInfo home, found;
      std::string folder;
      int linked = 0;
      if (SystemDB::getRowIDList(ids) != 0 || SystemDB::getHomeSession(home) != 0 ||
          SystemDB::checkLinked(linked) != 0 ||
          SystemDB::getSessionInfoByFilePath(db_, "/w" + std::to_string(n) + "/f", &found) < 0) {
        ++failures;
      }
      SystemDB::getSyncFolder("w" + std::to_string(n), folder);  // may not exist yet
    }
  };
  auto all_done = std::async(std::launch::async, [&] {
    std::vector<std::thread> threads;
    for (int n = 0; n < 3; ++n) {
      threads.emplace_back(writer, n);
      threads.emplace_back(reader, n);
    }
    for (auto& t : threads) t.join();
  });
  if (all_done.wait_for(60s) != std::future_status::ready) {
    ADD_FAILURE() << "deadlock: threads still running";
    std::abort();
  }
  EXPECT_EQ(failures.load(), 0);
  ASSERT_FALSE(added.empty());
  std::list<KELOSessionInfo> rows;
  ASSERT_EQ(SystemDB::getSessionList(rows), 0);
  const std::set<uint64_t> distinct(added.begin(), added.end());
  EXPECT_EQ(distinct.size(), added.size());
  const auto stored = kelo_test::idsOf(rows);
  EXPECT_EQ(std::set<uint64_t>(stored.begin(), stored.end()), distinct);
}

// Every chunk the logger writes, with whether m_dbMutex and the logger's lock were held then.
struct LockProbe {
  std::vector<std::pair<std::string, bool>> writes;  // text, m_dbMutex held
  bool log_lock_always_held = true;
};
bool held(pthread_mutex_t* mutex) {
  if (pthread_mutex_trylock(mutex) == EBUSY) return true;
  pthread_mutex_unlock(mutex);
  return false;
}
ssize_t probeWrite(void* cookie, const char* data, size_t size) {
  auto* probe = static_cast<LockProbe*>(cookie);
  probe->log_lock_always_held &= held(&Logger::log_lock);
  probe->writes.emplace_back(std::string(data, size), held(&SystemDB::m_dbMutex));
  return static_cast<ssize_t>(size);
}

// Entry messages come before m_dbMutex is taken; failure and value messages while it is held,
// inside the logger's own lock: the order is m_dbMutex, then the logger's lock.
TEST_F(SystemDBConcurrency, LogsUnderTheDatabaseLockOnlyAfterTakingIt) {
  sql("INSERT INTO session_table (share_name, session) VALUES ('home', 's');");
  LockProbe probe;
  FILE* fp = fopencookie(&probe, "w", cookie_io_functions_t{nullptr, probeWrite, nullptr, nullptr});
  ASSERT_NE(fp, nullptr);
  setvbuf(fp, nullptr, _IOFBF, 1 << 16);  // one write per flushed message
  LogCapture restore;
  Logger::log_fp = fp;
  KELOSessionInfo missing;
  missing.view_id = 404;
  std::list<KELOSessionInfo> list;
  SystemDB::disableAllSession();
  SystemDB::updateSessionInfo(missing);
  SystemDB::getSessionList(list);
  Logger::log_fp = stderr;
  fclose(fp);
  const std::vector<std::pair<std::string, bool>> expected = {
      {"[DEBUG] disableAllSession \n", false},
      {"[INFO] status: 0, folder: \n", true},
      {"[ERROR] cannnot get id for last update session\n", true},
      {"[DEBUG] getSessionList\n", false},
      {"[DEBUG] home\n", true},
      {"[DEBUG] s\n", true},
      {"[DEBUG] \n", true},
  };
  ASSERT_EQ(probe.writes.size(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i) {
    SCOPED_TRACE(expected[i].first);
    EXPECT_EQ(kelo_test::parseMessages(probe.writes[i].first),
              std::vector<std::string>{expected[i].first});
    EXPECT_EQ(probe.writes[i].second, expected[i].second);
  }
  EXPECT_TRUE(probe.log_lock_always_held);
}

// Holds an exclusive lock on the file from a second connection until release().
class OtherConnection {
 public:
  explicit OtherConnection(const std::string& path) {
    sqlite3_open(path.c_str(), &db_);
    rc_ = sqlite3_exec(db_, "BEGIN EXCLUSIVE;", nullptr, nullptr, nullptr);
  }
  ~OtherConnection() { sqlite3_close(db_); }
  int lockResult() const { return rc_; }
  void release() { sqlite3_exec(db_, "COMMIT;", nullptr, nullptr, nullptr); }

 private:
  sqlite3* db_ = nullptr;
  int rc_;
};

TEST_F(SystemDBConcurrency, ALockHeldBrieflyElsewhereIsWaitedFor) {
  sql("INSERT INTO session_table (id, sync_folder) VALUES (50, '/w');");
  const std::vector<std::pair<const char*, std::function<int()>>> calls = {
      {"addNewSessionInfo",
       [] {
         KELOSessionInfo info;
         return SystemDB::addNewSessionInfo(info, 1);
       }},
      {"lookup by path",
       [&] {
         KELOSessionInfo info;
         const int rc = SystemDB::getSessionInfoByFilePath(db_, "/w/x", &info);
         return rc == 0 && info.id == 50 ? 0 : -1;
       }},
  };
  for (const auto& [name, call] : calls) {
    SCOPED_TRACE(name);
    OtherConnection other(db_);
    ASSERT_EQ(other.lockResult(), SQLITE_OK);
    const auto start = Clock::now();
    std::thread releaser([&] {
      std::this_thread::sleep_for(300ms);
      other.release();
    });
    EXPECT_EQ(call(), 0);
    EXPECT_GE(Clock::now() - start, 250ms);
    releaser.join();
  }
}

TEST_F(SystemDBConcurrency, ALockHeldPastTheTimeOutFailsWithTheOperationsMessage) {
  OtherConnection other(db_);
  ASSERT_EQ(other.lockResult(), SQLITE_OK);
  sqlite3_busy_timeout(SystemDB::m_db, 20);
  KELOSessionInfo info;
  KELOConnectionInfo conn;
  std::list<KELOSessionInfo> list;
  int value = 0;
  const std::vector<std::pair<std::string, std::function<int()>>> cases = {
      {"sqlite3_step: [5] database is locked\n", [&] { return SystemDB::getSessionList(list); }},
      {"getConnectionInfo: sqlite3_step: database is locked (5)\n",
       [&] { return SystemDB::getHomeSession(info); }},
      {"getConnectionInfo: sqlite3_step: database is locked (5)\n",
       [&] { return SystemDB::getConnectionInfo(conn); }},
      {"checkLinked: sqlite3_step: database is locked (5)\n",
       [&] { return SystemDB::checkLinked(value); }},
      {"sqlite3_step: [5] database is locked\n",
       [&] { return SystemDB::getSessionStatusAndErr("s", value, value); }},
      {"setSessionStatus fail ret = 5 database is locked\n",
       [] { return SystemDB::setSessionStatus("all", 1); }},
      {"updateConnectionInfo fail ret = 5 database is locked\n",
       [&] { return SystemDB::updateConnectionInfo(conn, TunnelInfo{}); }},
  };
  LogCapture log;
  for (const auto& [message, call] : cases) {
    SCOPED_TRACE(message);
    EXPECT_EQ(call(), -1);
    EXPECT_EQ(log.last(), "[ERROR] " + message);
  }
}

}  // namespace
