// The drawing path in the reader role, as the Finder runs it: nothing on disk changes and
// nothing is created, a locked database is waited for briefly and then left alone for a
// moment, and a kept connection never answers for a file that changed under it.
#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
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
    kelo::SetReaderOpenHook(nullptr);
    FileStatusDB::m_fstatDBPath.clear();
  }

  void WriteEntries() {
    const std::string sync = home_ / "Sync";
    ASSERT_EQ(FileStatusDB::initialize(fstat_), 0);
    ASSERT_EQ(kelo_test::WriteEntries(fstat_, {{sync + "/a.txt", 0, 1},
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
      {"no lookup indexes", fstat_, kelo_test::kDropLookupIndexes, kAllShown, true},
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
      EXPECT_TRUE(!c.quiet || capture.Messages().empty()) << capture.Text();
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
    const std::vector<std::string> lines = capture.Messages();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("locked by another connection"), std::string::npos);

    ExecSql(holder.get(), "COMMIT");
    holder.reset();
    std::this_thread::sleep_for(std::chrono::milliseconds(kelo::kReaderBackOffMs + 50));
    EXPECT_EQ(Badge("Sync/a.txt"), kSynced);
    EXPECT_GT(kelo::ReaderOpenCount(), opens);  // the connection that gave up was dropped
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
    // One lent out while everything is closed is closed, not kept, when it comes back.
    {
      kelo::DbConnection lent("fstat_db_debug");
      ASSERT_EQ(lent.Open(fstat_), SQLITE_OK);
      kelo::CloseKeptConnections();
    }
    EXPECT_EQ(kelo::KeptConnectionCount(), 0u);
    EXPECT_EQ(State("Sync/a.txt"), 1);
    EXPECT_EQ(kelo::KeptConnectionCount(), 1u);
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
        const Shown a = Badge("Sync/a.txt"), b = Badge("Sync/b.txt");
        wrong += !(a == kSynced || a == kSyncing || a == kNone) + !(b == kSyncing || b == kNone);
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

using Clock = std::chrono::steady_clock;

double MsSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// Anything but a regular file, at the database's name or at a companion SQLite would open
// (a FIFO blocks open() until a writer comes), gets no badge at once.
TEST_F(ReaderRoleTest, OnlyRegularFilesAreOpened) {
  {  // What the reader saw of the folders a while ago must not hide a FIFO made since.
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    ScopedDbRole reading(DbRole::kReader);
    EXPECT_EQ(Badge("Sync/a.txt"), kSynced);
  }
  for (const std::string& fifo :
       {sys_, fstat_, fstat_ + "-journal", sys_ + "-journal", fstat_ + "-wal"}) {
    SCOPED_TRACE(fifo);
    const std::string aside = fifo + ".aside";
    if (fs::exists(fifo)) fs::rename(fifo, aside);
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_TRUE(kelo_test::InChild(
        [&] {
          kelo_test::LogCapture quiet;
          ScopedDbRole reading(DbRole::kReader);
          const Clock::time_point start = Clock::now();
          const bool none = Badge("Sync/a.txt") == kNone && Badge("Sync/dir") == kNone;
          return none && MsSince(start) < 1000;
        },
        5));
    fs::remove(fifo);
    if (fs::exists(aside)) fs::rename(aside, fifo);
  }
  ScopedDbRole reading(DbRole::kReader);
  EXPECT_EQ(Badge("Sync/a.txt"), kSynced);
}

// The statement before which the hook below takes an exclusive lock on its database from
// another connection, when the reader's own read lock lets it.
const char* g_fail_statement = nullptr;
sqlite3* g_lock_holder = nullptr;
void LockBeforeStatement(const char*, const char* sql) {
  if (g_fail_statement != nullptr && std::strstr(sql, g_fail_statement) != nullptr) {
    sqlite3_exec(g_lock_holder, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr);
    g_fail_statement = nullptr;
  }
}

// A lock that comes between the folder's entry and the query below it gives no state, never
// the folder's own "synced" (a badge's answer then says it gave up, as for any lock). Within
// an icon no lock can come between: the icon reads the file in one read transaction.
TEST_F(ReaderRoleTest, FailedSubtreeQueryGivesNoBadge) {
  kelo::sqlite::Connection holder = kelo_test::OpenSql(fstat_);
  g_lock_holder = holder.get();
  kelo::SetReaderStatementHook(LockBeforeStatement);
  ScopedDbRole reading(DbRole::kReader);
  const kelo::OverlayBadge answered =
      kelo::ResolveOverlayBadge(platform_, (home_ / "Sync/dir").c_str());
  EXPECT_EQ(answered.code, kSyncing.code);
  EXPECT_FALSE(answered.gave_up);

  kelo_test::LogCapture capture;
  ASSERT_EQ(FileStatusDB::initialize(fstat_), 0);
  g_fail_statement = "syncStatus";
  EXPECT_EQ(kelo::ResolveSyncStatus(platform_, (home_ / "Sync/dir").c_str()), kNone.code);
  EXPECT_EQ(g_fail_statement, nullptr);  // the hook saw the subtree query
  ExecSql(holder.get(), "COMMIT");
  kelo::CloseKeptConnections();  // ends the back-off
  g_fail_statement = "syncStatus";
  EXPECT_EQ(Badge("Sync/dir"), kSyncing);
  EXPECT_EQ(g_fail_statement, nullptr);  // the hook saw the subtree query
}

// A rename between the reader's check of the file and SQLite's open must not leave a
// connection to one file kept under the identity of another: here the file is swapped for
// another just before the open and put back before the first statement.
std::string g_swapped, g_replacement, g_aside;
void SwapBeforeOpen(const char* db) {
  if (db != g_swapped) return;
  kelo::SetReaderOpenHook(nullptr);
  fs::rename(g_swapped, g_aside);
  fs::rename(g_replacement, g_swapped);
}
void SwapBackBeforeStatement(const char* db, const char*) {
  if (db != g_swapped || !fs::exists(g_aside)) return;
  fs::rename(g_swapped, g_replacement);
  fs::rename(g_aside, g_swapped);
}

TEST_F(ReaderRoleTest, KeptConnectionIsTheFileOpened) {
  g_swapped = fstat_;
  g_replacement = fstat_ + ".new";
  g_aside = fstat_ + ".aside";
  fs::copy_file(fstat_, g_replacement);
  ExecSql(g_replacement, SetStateOfA(3));
  kelo::SetReaderOpenHook(SwapBeforeOpen);
  kelo::SetReaderStatementHook(SwapBackBeforeStatement);
  ScopedDbRole reading(DbRole::kReader);
  ASSERT_EQ(FileStatusDB::initialize(fstat_), 0);
  EXPECT_FALSE(fs::exists(g_aside));  // swapped and back
  for (int read = 0; read < 3; ++read) EXPECT_EQ(State("Sync/a.txt"), 1);
}

// Holds each database locked for `hold` at the start of every statement the reader runs on
// it (when the reader's own read lock lets it), as a client committing in a tight loop would.
std::map<std::string, sqlite3*> g_storm;  // database: the connection that locks it
std::chrono::milliseconds g_storm_hold{0};
std::vector<std::thread> g_releases;
void LockEveryStatement(const char* db, const char*) {
  const auto holder = g_storm.find(db);
  if (holder == g_storm.end()) return;
  for (std::thread& release : g_releases) release.join();
  g_releases.clear();
  if (sqlite3_exec(holder->second, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr) != 0) return;
  g_releases.emplace_back([db = holder->second] {
    std::this_thread::sleep_for(g_storm_hold);
    ExecSql(db, "COMMIT");
  });
}

// The wait for locks is budgeted per icon, not per statement or database: an icon that meets
// a lock held 30 ms on each database ends within the budget (no badge, unknown) instead of
// adding the waits up.
TEST_F(ReaderRoleTest, WaitBudgetIsPerIcon) {
  kelo::sqlite::Connection holder = kelo_test::OpenSql(fstat_), registry = kelo_test::OpenSql(sys_);
  g_storm = {{fstat_, holder.get()}, {sys_, registry.get()}};
  g_storm_hold = std::chrono::milliseconds(30);
  kelo::SetReaderStatementHook(LockEveryStatement);
  ScopedDbRole reading(DbRole::kReader);
  kelo_test::LogCapture quiet;
  const Clock::time_point start = Clock::now();
  const kelo::OverlayBadge r = kelo::ResolveOverlayBadge(platform_, (home_ / "Sync/dir").c_str());
  const double took = MsSince(start);
  kelo::SetReaderStatementHook(nullptr);
  for (std::thread& release : g_releases) release.join();
  g_releases.clear();
  EXPECT_LT(took, 2 * kelo::kReaderBusyBudgetMs) << "ms";
  EXPECT_TRUE(r.gave_up);
  EXPECT_EQ(r.badge, nullptr);
}

// While one thread waits for a locked session's file, icons of another session, which nobody
// locked, are drawn at once on other threads: no lock of the process is held while waiting.
TEST_F(ReaderRoleTest, NoIconWaitsForAnotherThreadsLock) {
  ASSERT_EQ(SystemDB::initialize(sys_), 0);
  KELOSessionInfo other{0, "", "", SystemDB::kEnabledBit, 0, 10, 0, home_ / "Other", ""};
  ASSERT_EQ(SystemDB::addNewSessionInfo(other, 1), 0);
  SystemDB::destroy();
  const std::string other_db = kelo::FileStatusDbPath(home_.path(), other.id);
  fs::create_directories(fs::path(other_db).parent_path());
  ASSERT_EQ(FileStatusDB::initialize(other_db), 0);
  ASSERT_EQ(kelo_test::WriteEntries(other_db, {{home_ / "Other/x", 0, 1}}), 0);

  ScopedDbRole reading(DbRole::kReader);
  kelo_test::LogCapture quiet;
  EXPECT_EQ(Badge("Other/x"), kSynced);
  kelo::sqlite::Connection holder = kelo_test::OpenSql(fstat_);
  ExecSql(holder.get(), "BEGIN EXCLUSIVE");
  std::atomic<bool> stop{false};
  std::atomic<int> drawn{0};
  std::thread other_icons([&] {
    while (!stop) {
      EXPECT_EQ(Badge("Other/x"), kSynced);
      ++drawn;
    }
  });
  while (drawn == 0) std::this_thread::yield();
  const int before = drawn;
  EXPECT_EQ(Badge("Sync/a.txt"), kNone);  // waits for the budget, then gives up
  const int during = drawn - before;
  stop = true;
  other_icons.join();
  ExecSql(holder.get(), "COMMIT");
  // Held up by the waiting thread, at most the icon in flight would end.
  EXPECT_GE(during, 3);
}

// A client killed in the middle of a write leaves a hot journal that only its next open may
// roll back: the reader gives no badge, writes nothing, logs one line, and opens the file
// again only after the back-off. A file without the entry index, which fails its schema check
// on every icon, is logged once too.
TEST_F(ReaderRoleTest, RepeatedFailureIsLoggedOnce) {
  const struct {
    const char* what;
    bool hot_journal;
    Shown badge;
  } cases[] = {{"hot journal", true, kNone}, {"no entry index", false, kSynced}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    kelo::CloseKeptConnections();
    fs::remove(fstat_);
    WriteEntries();
    if (c.hot_journal) {
      kelo_test::InChild([&] {  // killed in the middle of its write
        kelo::sqlite::Connection conn = kelo_test::OpenSql(fstat_);
        // Unsynced, the journal's header is written at once (else at the commit's sync).
        kelo_test::ExecSql(conn.get(), "PRAGMA synchronous=OFF; BEGIN; " + SetStateOfA(2));
        return kill(getpid(), SIGKILL) == 0;
      });
      ASSERT_TRUE(fs::exists(fstat_ + "-journal"));
    } else {
      ExecSql(fstat_, "DROP INDEX fstatinfo_path_idx");
    }
    const auto before = Snapshot(home_.path());
    ScopedDbRole reading(DbRole::kReader);
    kelo_test::LogCapture capture;
    const unsigned long long opens = kelo::ReaderOpenCount();
    for (int icon = 0; icon < 20; ++icon) EXPECT_EQ(Badge("Sync/a.txt"), c.badge);
    EXPECT_EQ(capture.Messages().size(), 1u) << capture.Text();
    EXPECT_LE(kelo::ReaderOpenCount() - opens, 2u);
    EXPECT_EQ(Snapshot(home_.path()), before);
  }
}

// Whatever another process changes, the very next icons answer as the files are now, with the
// connections, statements, schema checks and session rows the reader kept from before.
TEST_F(ReaderRoleTest, ChangeByAnotherProcessIsSeenOnTheNextIcon) {
  const Shown kUnsupported{3, "unsupported"};
  const Icons kAsWritten{kSynced, kSyncing, kSyncing, kNone}, kNoBadges(4, kNone),
      kASyncing{kSyncing, kSyncing, kSyncing, kNone},
      kDirHasItsOwn{kSynced, kSyncing, kNone, kNone};
  const std::string saved_sys = sys_ + ".saved";
  fs::copy_file(sys_, saved_sys);
  const std::string add_below =
      "INSERT INTO session_table (id, status, sync_folder) VALUES (2, 10, '" + home_ / "Sync/dir" +
      "')";
  // How the file changes: SQL run on it, or on a copy renamed over it, or the file deleted,
  // truncated or replaced by 8 KiB of text.
  enum How { kSql, kRenamedCopy, kDeleted, kTruncated, kGarbage };
  const struct {
    const char* what;
    How how;
    bool registry;  // the change is the registry's, else the file status database's
    std::string sql;
    Icons badges;
    bool wal_registry = false;
  } cases[] = {
      // clang-format off
      {"entry changed in place", kSql, false, SetStateOfA(2), kASyncing},
      {"file replaced by rename", kRenamedCopy, false, SetStateOfA(3),
       {kUnsupported, kSyncing, kSyncing, kNone}},
      {"file deleted", kDeleted, false, "", kNoBadges},
      {"file truncated", kTruncated, false, "", kNoBadges},
      {"file replaced by a non-database", kGarbage, false, "", kNoBadges},
      {"table dropped", kSql, false, "DROP TABLE fstatinfo", kNoBadges},
      {"table renamed", kSql, false, "ALTER TABLE fstatinfo RENAME TO old", kNoBadges},
      {"indexes dropped", kSql, false, std::string(kelo_test::kDropLookupIndexes) +
       "; DROP INDEX fstatinfo_path_idx; " + SetStateOfA(2), kASyncing},
      {"journal mode switched", kSql, false, "PRAGMA journal_mode=WAL; " + SetStateOfA(2),
       kASyncing},
      {"session added below", kSql, true, add_below, kDirHasItsOwn},
      {"session removed", kSql, true, "DELETE FROM session_table", kNoBadges},
      {"session moved", kSql, true, "UPDATE session_table SET sync_folder = '" +
       (home_ / "Sync/dir") + "'", {kNone, kNone, kSyncing, kNone}},  // the folder holds itself
      {"session status changed", kSql, true, "UPDATE session_table SET status = 12", kNoBadges},
      {"registry replaced by a non-database", kGarbage, true, "", kNoBadges},
      // In WAL mode a commit leaves the registry file's change time alone.
      {"session status changed, WAL", kSql, true, "UPDATE session_table SET status = 12",
       kNoBadges, true},
      {"session added below, WAL", kSql, true, add_below, kDirHasItsOwn, true},
      // clang-format on
  };
  kelo_test::LogCapture quiet;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    for (const char* wal : {"", "-wal", "-shm"}) fs::remove(fstat_ + wal), fs::remove(sys_ + wal);
    WriteEntries();
    fs::copy_file(saved_sys, sys_ + ".restored");
    fs::rename(sys_ + ".restored", sys_);
    if (c.wal_registry) ExecSql(sys_, "PRAGMA journal_mode=WAL");
    ScopedDbRole reading(DbRole::kReader);
    EXPECT_EQ(AllBadges(), kAsWritten);
    EXPECT_EQ(AllBadges(), kAsWritten);  // from what the reader kept
    const std::string& db = c.registry ? sys_ : fstat_;
    ASSERT_TRUE(kelo_test::InChild([&] {  // as the sync client or a copy tool would
      const std::string copy = db + ".new";
      switch (c.how) {
        case kSql:
          return kelo_test::RunSql(db, c.sql) == SQLITE_OK;
        case kRenamedCopy:
          return fs::copy_file(db, copy) && kelo_test::RunSql(copy, c.sql) == SQLITE_OK &&
                 rename(copy.c_str(), db.c_str()) == 0;
        case kDeleted:
          return fs::remove(db);
        case kTruncated:
          return truncate(db.c_str(), 0) == 0;
        case kGarbage:
          return !!(std::ofstream(db, std::ios::binary) << std::string(8192, 'x'));
      }
      return false;
    }));
    EXPECT_EQ(AllBadges(), c.badges);
  }
}

}  // namespace
