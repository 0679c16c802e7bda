// The change monitor as a host drives it: items registered through Resolve, changes made by
// another process heard through the descriptor, and only what changed reported.
#include "iconoverlay/change-monitor.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "db/file-status-db/file-status-db.h"
#include "db/reader-mode/reader-mode.h"
#include "db/system-db/system-db.h"
#include "iconoverlay/linux-platform.h"
#include "support/fstat-data.h"
#include "support/sql.h"
#include "support/temp-dir.h"

namespace {

namespace fs = std::filesystem;
using kelo::BadgeChange;
using kelo::ChangeMonitor;
using Clock = std::chrono::steady_clock;
using Strings = std::vector<std::string>;

// Statements run by the reader's connections, per database file.
std::map<std::string, int> g_statements;
void CountStatement(const char* db_path, const char*) { ++g_statements[db_path]; }

// Whether this process holds a lock on any byte of `path`, as the kernel sees it (asked by a
// child, to which its parent's locks are foreign).
bool LockedByThisProcess(const std::string& path) {
  const pid_t parent = getpid();
  return kelo_test::InChild([&] {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct flock lock = {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    return fd >= 0 && fcntl(fd, F_GETLK, &lock) == 0 && lock.l_type != F_UNLCK &&
           lock.l_pid == parent;
  });
}

// Sorted "path: before -> now" lines, for comparisons that name every change.
Strings Lines(const std::string& home, const std::vector<BadgeChange>& changes) {
  Strings lines;
  for (const BadgeChange& c : changes) {
    lines.push_back(c.path.substr(home.size() + 1) + ": " + std::to_string(c.previous_code) +
                    " -> " + std::to_string(c.code));
  }
  std::sort(lines.begin(), lines.end());
  return lines;
}

// Drives the monitor as an event loop would (wait for the descriptor or the time-out, then
// Process) until it reports changes, or `within` has passed.
std::vector<BadgeChange> WaitForChanges(ChangeMonitor& monitor, std::chrono::milliseconds within) {
  std::vector<BadgeChange> changes;
  const Clock::time_point end = Clock::now() + within;
  while (changes.empty() && Clock::now() < end) {
    const int left = static_cast<int>(
        std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count());
    const int next = monitor.NextTimeoutMs();
    pollfd fd = {monitor.fd(), POLLIN, 0};
    poll(&fd, fd.fd >= 0 ? 1 : 0, next < 0 ? left : std::min(next, left));
    monitor.Process(&changes);
  }
  // Whatever else is due now belongs to the same change.
  while (monitor.NextTimeoutMs() == 0) monitor.Process(&changes);
  return changes;
}

// A home with two active sessions, Sync (a synced and a syncing file) and Other (one synced
// file), and a file outside both.
class ChangeMonitorTest : public testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(home_ / ".Tarnvale/db");
    ASSERT_EQ(SystemDB::initialize(sys_), 0);
    for (const char* folder : {"Sync", "Other"}) {
      KELOSessionInfo info{0, folder, folder, SystemDB::kEnabledBit, 0, 10, 0, home_ / folder, ""};
      ASSERT_EQ(SystemDB::addNewSessionInfo(info, 1), 0);
      fstat_.push_back(kelo::FileStatusDbPath(home_.path(), info.id));
      fs::create_directories(fs::path(fstat_.back()).parent_path());
      ASSERT_EQ(FileStatusDB::initialize(fstat_.back()), 0);
    }
    SystemDB::destroy();
    ASSERT_EQ(kelo_test::WriteEntries(fstat_[0],
                                      {{home_ / "Sync/a.txt", 0, 1}, {home_ / "Sync/b.txt", 0, 2}}),
              0);
    ASSERT_EQ(kelo_test::WriteEntries(fstat_[1], {{home_ / "Other/x.txt", 0, 1}}), 0);
    kelo::SetDbRole(kelo::DbRole::kReader);
  }
  void TearDown() override {
    monitor_.reset();
    kelo::SetDbRole(kelo::DbRole::kWriter);
    kelo::SetReaderStatementHook(nullptr);
    FileStatusDB::m_fstatDBPath.clear();
  }

  // A monitor with every item registered as the host would, through Resolve.
  ChangeMonitor& StartMonitor(ChangeMonitor::Options options = {}) {
    monitor_ = std::make_unique<ChangeMonitor>(platform_, std::move(options));
    for (const char* item : {"Sync/a.txt", "Sync/b.txt", "Other/x.txt", "Desktop/d.txt"}) {
      monitor_->Resolve(home_ / item);
    }
    return *monitor_;
  }

  // The changes the monitor reports within `ms`, as sorted "path: before -> now" lines.
  Strings Reported(ChangeMonitor& monitor, int ms = 3000) {
    return Lines(home_.path(), WaitForChanges(monitor, std::chrono::milliseconds(ms)));
  }

  // Runs `sql` on `db` in another process, as the sync client would.
  static void Client(const std::string& db, const std::string& sql) {
    EXPECT_TRUE(kelo_test::SqlInChild(db, sql)) << sql;
  }

  std::string SetState(const std::string& relative, int state) const {
    return "UPDATE fstatinfo SET syncStatus=" + std::to_string(state) + " WHERE path='" +
           (home_ / relative) + "'";
  }

  kelo_test::TempDir home_;
  kelo::LinuxOverlayPlatform platform_{home_.path()};
  const std::string sys_ = kelo::SystemDbPath(home_.path());
  Strings fstat_;  // Sync's, Other's
  std::unique_ptr<ChangeMonitor> monitor_;
};

constexpr std::chrono::milliseconds kWithin(3000);

TEST_F(ChangeMonitorTest, ReportsWhatAnotherProcessChangedAndNothingElse) {
  const std::string replacement = fstat_[0] + ".new";
  const struct {
    const char* what;
    std::string db;
    std::string sql;  // run in another process, on `db` or on its replacement
    bool replace;     // the changed copy is renamed over `db`
    Strings reported;
  } cases[] = {
      // clang-format off
      {"one entry", fstat_[0], SetState("Sync/a.txt", 2), false, {"Sync/a.txt: 1 -> 2"}},
      {"replaced file", fstat_[0], SetState("Sync/b.txt", 3), true, {"Sync/b.txt: 2 -> 3"}},
      {"same badge", fstat_[0], SetState("Sync/a.txt", 1), false, {}},
      {"wal", fstat_[0], "PRAGMA journal_mode=WAL; " + SetState("Sync/a.txt", 2), false,
       {"Sync/a.txt: 1 -> 2"}},
      {"registry", sys_, "UPDATE session_table SET status=9", false,
       {"Other/x.txt: 1 -> 0", "Sync/a.txt: 1 -> 0", "Sync/b.txt: 2 -> 0"}},
      // clang-format on
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ChangeMonitor& monitor = StartMonitor();
    ASSERT_GE(monitor.fd(), 0);
    kelo::SetReaderStatementHook(CountStatement);
    kelo::CloseKeptConnections();  // so that the hook sees every statement from now on
    g_statements.clear();
    if (c.replace) {
      fs::copy_file(c.db, replacement, fs::copy_options::overwrite_existing);
      Client(replacement, c.sql);
      fs::rename(replacement, c.db);
    } else {
      Client(c.db, c.sql);
    }
    EXPECT_EQ(Reported(monitor, c.reported.empty() ? 500 : 3000), c.reported);
    if (c.db != sys_) {
      EXPECT_GT(g_statements[fstat_[0]], 0);
      EXPECT_EQ(g_statements[fstat_[1]], 0) << "an unrelated session was resolved again";
    }
    // What was reported is what the host is now taken to show: nothing more to report.
    EXPECT_EQ(Reported(monitor, 100), Strings{});
    // Leaving WAL needs every other connection closed.
    monitor_.reset();
    kelo::CloseKeptConnections();
    Client(fstat_[0], SetState("Sync/a.txt", 1) + "; " + SetState("Sync/b.txt", 2) +
                          "; PRAGMA journal_mode=DELETE");
    Client(sys_, "UPDATE session_table SET status=10");
  }
}

// With nothing changing, a host that waits on the descriptor and the time-out is never woken,
// and the databases are not checked.
TEST_F(ChangeMonitorTest, IdleMonitorNeverWakes) {
  ChangeMonitor& monitor = StartMonitor();
  std::vector<BadgeChange> changes;
  monitor.Process(&changes);
  const unsigned long long checks = monitor.CheckCount();
  EXPECT_EQ(monitor.NextTimeoutMs(), -1);
  pollfd fd = {monitor.fd(), POLLIN, 0};
  EXPECT_EQ(poll(&fd, 1, 300), 0);
  // Reading the databases, as hosts do all the time, is no change either.
  for (int i = 0; i < 20; ++i) monitor.Resolve(home_ / "Sync/a.txt");
  EXPECT_EQ(poll(&fd, 1, 100), 0);
  monitor.Process(&changes);
  EXPECT_TRUE(changes.empty());
  EXPECT_EQ(monitor.CheckCount(), checks);
}

// An idle monitor holds nothing open that a client must wait for: the client may switch a WAL
// database back to rollback mode, and its close removes the -wal. The monitor still hears the
// client's changes after that.
TEST_F(ChangeMonitorTest, IdleMonitorLeavesWalDatabasesToTheClient) {
  for (const std::string& db : {sys_, fstat_[0], fstat_[1]}) {
    EXPECT_EQ(kelo_test::QueryColumn(db, "PRAGMA journal_mode=WAL"), Strings{"wal"});
  }
  ChangeMonitor& monitor = StartMonitor();
  Client(fstat_[0], SetState("Sync/a.txt", 2));
  EXPECT_EQ(Reported(monitor), Strings{"Sync/a.txt: 1 -> 2"});
  std::this_thread::sleep_for(std::chrono::milliseconds(kelo::kReaderIdleCloseMs + 400));
  for (const std::string& db : {sys_, fstat_[0], fstat_[1]}) {
    SCOPED_TRACE(db);
    EXPECT_FALSE(LockedByThisProcess(db));
    EXPECT_TRUE(kelo_test::SqlInChild(db, "PRAGMA journal_mode=DELETE", "delete"));
    EXPECT_FALSE(fs::exists(db + "-wal"));
  }
  Client(fstat_[0], SetState("Sync/a.txt", 3));
  EXPECT_EQ(Reported(monitor), Strings{"Sync/a.txt: 2 -> 3"});
}

// A file's locks belong to the process, and closing any descriptor of the file drops them:
// the monitor's checks must not take a lock from a read of the process's own connection.
TEST_F(ChangeMonitorTest, ChecksLeaveTheProcessLocksAlone) {
  ChangeMonitor& monitor = StartMonitor();
  monitor.ForgetAll();  // nothing resolved: only the check touches the file
  kelo::CloseKeptConnections();
  const unsigned long long checks = monitor.CheckCount();
  Client(fstat_[0], SetState("Sync/a.txt", 2));
  kelo::sqlite::Connection reading = kelo_test::OpenSql(fstat_[0]);
  kelo_test::ExecSql(reading.get(), "BEGIN; SELECT count(*) FROM fstatinfo");
  EXPECT_EQ(Reported(monitor, 300), Strings{});
  EXPECT_GT(monitor.CheckCount(), checks);
  EXPECT_TRUE(LockedByThisProcess(fstat_[0])) << "a read of this process lost its lock";
  kelo_test::ExecSql(reading.get(), "COMMIT");
}

// The database file's change counter (bytes 24..27 of its header).
std::string ChangeCounter(const std::string& db) {
  std::string counter(4, '\0');
  const int fd = open(db.c_str(), O_RDONLY | O_CLOEXEC);
  const bool read = fd >= 0 && pread(fd, counter.data(), 4, 24) == 4;
  if (fd >= 0) close(fd);
  return read ? counter : "";
}

// A restore or copy tool may write an older copy over the database in place, keeping its
// inode; the copy's header may even carry the same change counter. The item's badge in the
// copy is still reported.
TEST_F(ChangeMonitorTest, ReportsACopyWrittenInPlaceWithTheSameCounter) {
  const std::string older = fstat_[0] + ".older";
  fs::copy_file(fstat_[0], older);
  Client(older, SetState("Sync/a.txt", 3));
  ChangeMonitor& monitor = StartMonitor();
  // One commit that changes no badge brings the database's counter to the copy's.
  Client(fstat_[0], SetState("Sync/b.txt", 2));
  EXPECT_EQ(Reported(monitor, 300), Strings{});
  ASSERT_EQ(ChangeCounter(older), ChangeCounter(fstat_[0]));
  struct stat before;
  ASSERT_EQ(stat(fstat_[0].c_str(), &before), 0);
  ASSERT_TRUE(kelo_test::InChild([&] {
    std::error_code error;
    return fs::copy_file(older, fstat_[0], fs::copy_options::overwrite_existing, error);
  }));
  struct stat after;
  ASSERT_EQ(stat(fstat_[0].c_str(), &after), 0);
  ASSERT_EQ(after.st_ino, before.st_ino);
  EXPECT_EQ(Reported(monitor), Strings{"Sync/a.txt: 1 -> 3"});
}

// A resolution that gave up on a lock is no answer: a badge the host shows is not taken away,
// and the item is asked again once the lock is gone.
TEST_F(ChangeMonitorTest, ResolutionThatGaveUpIsRetriedNotReported) {
  ChangeMonitor& monitor = StartMonitor();
  kelo::sqlite::Connection holder = kelo_test::OpenSql(fstat_[0]);
  ASSERT_TRUE(holder);
  kelo_test::ExecSql(holder.get(), "BEGIN EXCLUSIVE; " + SetState("Sync/a.txt", 2));
  // Asked while locked, the new items have no answer yet; once known, each answer is
  // reported, also the one that has no badge.
  for (const char* item : {"Sync/new.txt", "Sync/never-recorded.txt"}) {
    const kelo::OverlayBadge answer = monitor.Resolve(home_ / item);
    EXPECT_TRUE(answer.gave_up);
    EXPECT_EQ(answer.badge, nullptr);
  }
  kelo_test::ExecSql(holder.get(),
                     "INSERT INTO fstatinfo (fileType, syncStatus, path) VALUES (0, 1, '" +
                         (home_ / "Sync/new.txt") + "')");
  // Changes the monitor hears of while the lock is held take nothing away.
  Client(fstat_[1], SetState("Other/x.txt", 1));
  EXPECT_EQ(Reported(monitor, 300), Strings{});
  kelo_test::ExecSql(holder.get(), "COMMIT");
  holder.reset();
  // The back-off the lock started is over by the time the host next looks.
  std::this_thread::sleep_for(std::chrono::milliseconds(kelo::kReaderBackOffMs + 100));
  EXPECT_EQ(Reported(monitor), (Strings{"Sync/a.txt: 1 -> 2", "Sync/never-recorded.txt: 0 -> 0",
                                        "Sync/new.txt: 0 -> 1"}));
}

TEST_F(ChangeMonitorTest, ForgottenItemsAreNotReported) {
  const struct {
    const char* what;
    std::string forget;  // an item, or a folder with a trailing "/"
    std::size_t max_items;
    std::size_t left;
    Strings reported;
  } cases[] = {
      {"nothing", "", 10, 4, {"Other/x.txt: 1 -> 3", "Sync/a.txt: 1 -> 3"}},
      {"one item", "Sync/a.txt", 10, 3, {"Other/x.txt: 1 -> 3"}},
      {"a folder", "Sync/", 10, 2, {"Other/x.txt: 1 -> 3"}},
      {"a folder's name only", "Syn/", 10, 4, {"Other/x.txt: 1 -> 3", "Sync/a.txt: 1 -> 3"}},
      // Registered in the order a, b, x, d: the bound forgets the oldest.
      {"bound", "", 2, 2, {"Other/x.txt: 1 -> 3"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ChangeMonitor::Options options;
    options.max_items = c.max_items;
    ChangeMonitor& monitor = StartMonitor(std::move(options));
    if (!c.forget.empty() && c.forget.back() == '/') {
      EXPECT_EQ(monitor.ForgetUnder(home_ / c.forget.substr(0, c.forget.size() - 1)), 4 - c.left);
    } else if (!c.forget.empty()) {
      EXPECT_TRUE(monitor.Forget(home_ / c.forget));
      EXPECT_FALSE(monitor.Forget(home_ / c.forget));
    }
    EXPECT_EQ(monitor.ItemCount(), c.left);
    Client(fstat_[0], SetState("Sync/a.txt", 3));
    Client(fstat_[1], SetState("Other/x.txt", 3));
    EXPECT_EQ(Reported(monitor, 500), c.reported);
    Client(fstat_[0], SetState("Sync/a.txt", 1));
    Client(fstat_[1], SetState("Other/x.txt", 1));
  }
}

// Without a notifier the monitor asks every fallback_poll_ms; with a thread of its own it
// hands the changes to the callback on that thread.
TEST_F(ChangeMonitorTest, PollsWithoutNotifierAndRunsOnItsOwnThread) {
  for (const bool notify : {false, true}) {
    SCOPED_TRACE(notify ? "own thread" : "polling");
    ChangeMonitor::Options options;
    options.use_platform_notifier = notify;
    options.fallback_poll_ms = 200;
    ChangeMonitor& monitor = StartMonitor(std::move(options));
    EXPECT_EQ(monitor.fd() >= 0, notify);
    EXPECT_TRUE(notify || monitor.NextTimeoutMs() > 0);
    std::mutex mutex;
    std::condition_variable arrived;
    std::vector<BadgeChange> changes;
    if (notify) {
      ASSERT_TRUE(monitor.StartThread([&](std::vector<BadgeChange> more) {
        std::lock_guard<std::mutex> lock(mutex);
        changes.insert(changes.end(), more.begin(), more.end());
        arrived.notify_all();
      }));
      EXPECT_FALSE(monitor.StartThread([](std::vector<BadgeChange>) {}));
    }
    Client(fstat_[0], SetState("Sync/b.txt", 1));
    if (notify) {
      std::unique_lock<std::mutex> lock(mutex);
      arrived.wait_for(lock, kWithin, [&] { return !changes.empty(); });
    } else {
      changes = WaitForChanges(monitor, kWithin);
    }
    monitor.StopThread();
    EXPECT_EQ(Lines(home_.path(), changes), Strings{"Sync/b.txt: 2 -> 1"});
    Client(fstat_[0], SetState("Sync/b.txt", 2));
  }
}

}  // namespace
