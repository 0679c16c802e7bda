// The drawing path in the reader role, as the Finder runs it: nothing on disk changes and
// nothing is created, a locked database is waited for briefly and then left alone for a
// moment, and a kept connection never answers for a file that changed under it.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "db/file-status-db/file-status-db.h"
#include "db/reader-mode/reader-mode.h"
#include "db/sqlite-owners.h"
#include "db/system-db/system-db.h"
#include "iconoverlay/badge-resolver.h"
#include "iconoverlay/linux-platform.h"
#include "support/fstat-data.h"
#include "support/log-capture.h"
#include "support/shown-badge.h"
#include "support/sql.h"
#include "support/temp-dir.h"

namespace {

namespace fs = std::filesystem;
using kelo::DbRole;
using kelo::ScopedDbRole;
using kelo_test::ExecSql;
using kelo_test::Snapshot;
using Shown = kelo_test::ShownBadge;  // the name is the badge's
using Icons = std::vector<Shown>;
const Shown kNone{0, ""}, kSynced{1, "synced"}, kSyncing{2, "syncing"};

// Statements run by the reader's connections, per database file.
std::map<std::string, int> g_statements;
void CountStatement(const char* db_path, const char*) { ++g_statements[db_path]; }

bool Mentions(const kelo::Explanation& explain, const std::string& text) {
  for (const kelo::ExplainStep& step : explain) {
    if (step.detail.find(text) != std::string::npos) return true;
  }
  return false;
}

// A home with one active session on Sync: a synced file, a syncing file, and a synced
// folder with a syncing entry below it.
class ReaderRoleTest : public testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(home_ / ".Tarnvale/db");
    ASSERT_EQ(SystemDB::initialize(sys_), 0);
    KELOSessionInfo info{0, "", "", SystemDB::kEnabledBit, 0, 10, 0, home_ / "Sync", ""};
    ASSERT_EQ(SystemDB::addNewSessionInfo(info, 1), 0);
    SystemDB::destroy();
    fstat_ = kelo::FileStatusDbPath(home_.path(), info.id);
    fs::create_directories(fs::path(fstat_).parent_path());
    WriteEntries();
  }
  void TearDown() override {
    kelo::SetDbRole(DbRole::kWriter);
    kelo::SetReaderStatementHook(nullptr);
    FileStatusDB::m_fstatDBPath.clear();
  }

  void WriteEntries() {
    const std::string sync = home_ / "Sync";
    ASSERT_EQ(FileStatusDB::initialize(fstat_), 0);
    ASSERT_EQ(kelo_bench::WriteEntries(fstat_, {{sync + "/a.txt", 0, 1},
                                                {sync + "/b.txt", 0, 2},
                                                {sync + "/dir", 1, 1},
                                                {sync + "/dir/c", 0, 2}}),
              0);
  }

  // "<code> <badge>" of the item `relative`.
  Shown Badge(const std::string& relative, kelo::Explanation* explain = nullptr) {
    const kelo::OverlayBadge r =
        kelo::ResolveOverlayBadge(platform_, (home_ / relative).c_str(), explain);
    return {r.code, r.badge != nullptr ? r.badge->badge : ""};
  }
  Icons AllBadges() {
    return {Badge("Sync/a.txt"), Badge("Sync/b.txt"), Badge("Sync/dir"), Badge("Desktop/x")};
  }
  // The statement that records `state` for Sync/a.txt.
  std::string SetStateOfA(int state) const {
    return "update fstatinfo set syncStatus=" + std::to_string(state) + " where path='" +
           (home_ / "Sync/a.txt") + "'";
  }

  // The state the current file status database records for `relative`, or -1.
  int State(const std::string& relative) {
    FileStatusInfo info;
    return FileStatusDB::getFileSyncStat(home_ / relative, &info) == 0 ? info.syncStatus : -1;
  }

  kelo_test::TempDir home_;
  kelo::LinuxOverlayPlatform platform_{home_.path()};
  const std::string sys_ = kelo::SystemDbPath(home_.path());
  std::string fstat_;
};

// Drawing in the reader role, whatever state the files are in, writes and creates no file.
TEST_F(ReaderRoleTest, DrawingChangesNothingOnDisk) {
  const Icons kAllShown{kSynced, kSyncing, kSyncing, kNone}, kNoBadges(4, kNone);
  const struct {
    const char* what;
    std::string db;  // changed first: removed when `sql` is null
    const char* sql;
    Icons badges;
    bool quiet;  // no log line at all
  } cases[] = {
      {"indexes", fstat_, "", kAllShown, true},
      {"no lookup indexes", fstat_, kelo_bench::kDropLookupIndexes, kAllShown, true},
      {"wal", fstat_, "PRAGMA journal_mode=WAL;", kAllShown, true},
      {"no table", fstat_, "DROP TABLE fstatinfo;", kNoBadges, false},
      {"no store", fstat_, nullptr, kNoBadges, true},
      // The registry last: nothing restores it.
      {"no session table", sys_, "DROP TABLE session_table;", kNoBadges, true},
      {"no registry", sys_, nullptr, kNoBadges, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    fs::remove(fstat_);
    WriteEntries();
    if (c.sql == nullptr) fs::remove(c.db);
    if (c.sql != nullptr && *c.sql != '\0') ExecSql(c.db, c.sql);
    const auto before = Snapshot(home_.path());
    {
      kelo_test::LogCapture capture;
      ScopedDbRole reading(DbRole::kReader);
      for (int round = 0; round < 25; ++round) EXPECT_EQ(AllBadges(), c.badges);
      EXPECT_TRUE(!c.quiet || capture.Lines().empty()) << capture.Text();
      if (c.sql == nullptr) {
        EXPECT_EQ(SystemDB::initialize(sys_), c.db == sys_ ? -1 : 0);
        EXPECT_EQ(FileStatusDB::initialize(fstat_), c.db == fstat_ ? -1 : 0);
        SystemDB::destroy();
      }
    }
    EXPECT_EQ(Snapshot(home_.path()), before);
    EXPECT_EQ(fs::exists(c.db), c.sql != nullptr);
  }
}

// Another connection holds an exclusive lock on one database: the first icon waits for the
// budget and gives up, later icons make no SQLite call on that database and draw no badge,
// one line is logged, and the badge is back once the lock and the back-off are over.
TEST_F(ReaderRoleTest, LockedDatabaseIsLeftAloneForAMoment) {
  for (const std::string& db : {fstat_, sys_}) {
    SCOPED_TRACE(db);
    kelo::CloseKeptConnections();
    kelo::SetReaderStatementHook(CountStatement);
    g_statements.clear();
    ScopedDbRole reading(DbRole::kReader);
    EXPECT_EQ(Badge("Sync/a.txt"), kSynced);
    ASSERT_GT(g_statements[db], 0);

    kelo::sqlite::Connection holder = kelo_test::OpenSql(db);
    ASSERT_TRUE(holder);
    ExecSql(holder.get(), "BEGIN EXCLUSIVE");
    kelo_test::LogCapture capture;
    kelo::Explanation gave_up;
    EXPECT_EQ(Badge("Sync/a.txt", &gave_up), kNone);
    EXPECT_TRUE(Mentions(gave_up, "gave up: '" + db + "'"));

    const int statements = g_statements[db];
    const unsigned long long opens = kelo::ReaderOpenCount();
    kelo::Explanation backing_off;
    for (int icon = 0; icon < 20; ++icon) EXPECT_EQ(Badge("Sync/a.txt"), kNone);
    EXPECT_EQ(Badge("Sync/a.txt", &backing_off), kNone);
    EXPECT_EQ(g_statements[db], statements);
    EXPECT_TRUE(Mentions(backing_off, "not asked: '" + db + "'"));
    const std::vector<std::string> lines = capture.Lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("locked by another connection"), std::string::npos);

    ExecSql(holder.get(), "COMMIT");
    holder.reset();
    std::this_thread::sleep_for(std::chrono::milliseconds(kelo::kReaderBackOffMs + 50));
    EXPECT_EQ(Badge("Sync/a.txt"), kSynced);
    EXPECT_GT(kelo::ReaderOpenCount(), opens);  // the connection that gave up was dropped
  }
}

// Runs `sql`, which changes one row, on `db` in a child process, as the sync client would.
void ExecSqlInAnotherProcess(const std::string& db, const std::string& sql) {
  const pid_t child = fork();
  if (child == 0) {
    kelo::sqlite::Connection conn;
    const bool changed =
        kelo::sqlite::Open(db, kelo::sqlite::kReadWriteCreate, &conn) == SQLITE_OK &&
        sqlite3_exec(conn.get(), sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK &&
        sqlite3_changes(conn.get()) == 1;
    _exit(changed ? 0 : 1);
  }
  int status = -1;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_EQ(status, 0);
}

// Changed in place by another process, replaced by another file, or deleted: the kept
// connection answers as the file is now.
TEST_F(ReaderRoleTest, KeptConnectionNeverAnswersForAChangedFile) {
  enum Change { kUpdated, kReplaced, kDeleted };
  const struct {
    const char* what;
    Change change;
    int state;      // of a.txt afterwards, -1 for none
    bool reopened;  // a new connection was needed
  } cases[] = {{"updated", kUpdated, 2, false},
               {"replaced", kReplaced, 3, true},
               {"deleted", kDeleted, -1, true}};
  const std::string replacement = fstat_ + ".new";
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    fs::remove(fstat_);
    WriteEntries();
    ScopedDbRole reading(DbRole::kReader);
    ASSERT_EQ(FileStatusDB::initialize(fstat_), 0);
    ASSERT_EQ(State("Sync/a.txt"), 1);
    const unsigned long long opens = kelo::ReaderOpenCount();
    if (c.change == kUpdated) ExecSqlInAnotherProcess(fstat_, SetStateOfA(2));
    if (c.change == kReplaced) {
      fs::copy_file(fstat_, replacement);
      ExecSql(replacement, SetStateOfA(3));
      fs::rename(replacement, fstat_);
    }
    if (c.change == kDeleted) fs::remove(fstat_);
    EXPECT_EQ(FileStatusDB::initialize(fstat_), c.state < 0 ? -1 : 0);
    EXPECT_EQ(State("Sync/a.txt"), c.state);
    EXPECT_EQ(kelo::ReaderOpenCount() > opens, c.reopened);
    EXPECT_EQ(fs::exists(fstat_), c.state >= 0);
  }
}

TEST_F(ReaderRoleTest, KeepsAFewConnectionsAndClosesThemWithTheRole) {
  {
    ScopedDbRole reading(DbRole::kReader);
    for (int copy = 0; copy < 6; ++copy) {
      const std::string db = fstat_ + std::to_string(copy);
      fs::copy_file(fstat_, db);
      ASSERT_EQ(FileStatusDB::initialize(db), 0);
      EXPECT_EQ(State("Sync/a.txt"), 1);
    }
    EXPECT_EQ(kelo::KeptConnectionCount(), kelo::kMaxKeptConnections);
  }
  EXPECT_EQ(kelo::KeptConnectionCount(), 0u);
}

// Threads drawing at once share the kept connections while another connection keeps
// changing an entry: every answer is one of the two states recorded.
TEST_F(ReaderRoleTest, ThreadsShareTheKeptConnections) {
  ScopedDbRole reading(DbRole::kReader);
  std::atomic<bool> stop{false};
  std::atomic<int> wrong{0};
  std::vector<std::thread> readers;
  for (int t = 0; t < 4; ++t) {
    readers.emplace_back([&] {
      while (!stop) {
        const Shown a = Badge("Sync/a.txt");
        if (!(a == kSynced || a == kSyncing || a == kNone)) ++wrong;
        const Shown b = Badge("Sync/b.txt");
        if (!(b == kSyncing || b == kNone)) ++wrong;
      }
    });
  }
  kelo::sqlite::Connection writer = kelo_test::OpenSql(fstat_);
  ASSERT_TRUE(writer);
  sqlite3_busy_timeout(writer.get(), 5000);
  for (int change = 0; change < 100; ++change) ExecSql(writer.get(), SetStateOfA(1 + change % 2));
  writer.reset();
  stop = true;
  for (std::thread& reader : readers) reader.join();
  EXPECT_EQ(wrong, 0);
  EXPECT_LE(kelo::KeptConnectionCount(), kelo::kMaxKeptConnections);
}

}  // namespace
