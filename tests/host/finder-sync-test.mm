// The FinderSync extension's class driven through stand-ins of the FinderSync framework:
// real databases in a temporary home, the system's calls made as the Finder makes them, and
// what the extension tells the Finder read back from the stand-in controller. Which state
// gets which badge is the core's business (badge-resolver_test.cc); here the extension must
// ask the core, remember what the Finder shows, and push what changes.

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "db/reader-mode/reader-mode.h"
#include "db/system-db/system-db.h"
#import "faces/findersync/kelo-finder-sync.h"
#include "iconoverlay/badge-resolver.h"
#include "support/sql.h"
#include "support/temp-dir.h"
#import "tests/host/finder-sync-stand-ins.h"

namespace kelo_host {
namespace {

using Strings = std::vector<std::string>;

class AppKitEnvironment : public testing::Environment {
  void SetUp() override {
    pool_ = [NSAutoreleasePool new];
    [NSApplication sharedApplication];
  }
  void TearDown() override { [pool_ drain]; }
  NSAutoreleasePool* pool_ = nil;
};
testing::Environment* const environment = testing::AddGlobalTestEnvironment(new AppKitEnvironment);

NSString* Str(const std::string& s) { return [NSString stringWithUTF8String:s.c_str()]; }
FIFinderSyncController* Controller() { return [FIFinderSyncController defaultController]; }

// Runs the main run loop, where the extension talks to the controller, until `done` holds
// or `seconds` have passed; whether `done` held.
bool RunUntil(const std::function<bool()>& done, double seconds = 5.0) {
  const auto deadline = std::chrono::steady_clock::now() +
                        std::chrono::milliseconds(static_cast<int>(seconds * 1000));
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    [[NSRunLoop currentRunLoop] runMode:NSDefaultRunLoopMode
                             beforeDate:[NSDate dateWithTimeIntervalSinceNow:0.01]];
  }
  return true;
}

// The client's write: plain SQL on a connection of its own that waits for the extension's
// short reads to end (the process is in the reader role, where the library writes nothing).
void ClientWrites(const std::string& db_path, const std::string& sql) {
  kelo::sqlite::Connection client = kelo_test::OpenSql(db_path);
  sqlite3_busy_timeout(client.get(), 5000);
  kelo_test::ExecSql(client.get(), sql);
}

Strings Identifiers(const std::vector<BadgeCall>& calls) {
  Strings ids;
  for (const BadgeCall& call : calls) ids.push_back(call.identifier + " " + call.path);
  return ids;
}

// A home with the sessions "Sync" (status 10), "Other" (11, written with a trailing slash)
// and "Paused" (9), and a file status database for "Sync".
class FinderSyncTest : public testing::Test {
 protected:
  void SetUp() override {
    pool_ = [NSAutoreleasePool new];
    [Controller() keloReset];
    kelo::ScopedDbRole writer(kelo::DbRole::kWriter);
    std::filesystem::create_directories(std::filesystem::path(system_db_).parent_path());
    ASSERT_EQ(SystemDB::initialize(system_db_), 0);
    sync_id_ = AddSession(home_ / "Sync", 10);
    AddSession(home_ / "Other/", 11);
    AddSession(home_ / "Paused", 9);
    SystemDB::destroy();
    status_db_ = kelo::FileStatusDbPath(home_.path(), sync_id_);
    std::filesystem::create_directories(std::filesystem::path(status_db_).parent_path());
    const kelo::CurrentFileStatusDb current(status_db_);
    ASSERT_EQ(current.result(), 0);
  }
  void TearDown() override {
    [extension_ release];
    [pool_ drain];
  }

  static uint64_t AddSession(const std::string& folder, int status) {
    KELOSessionInfo info;
    info.share_name = folder;
    info.status = status;
    info.sync_folder = folder;
    EXPECT_EQ(SystemDB::addNewSessionInfo(info, /*conn_id=*/1), 0);
    return info.id;
  }

  void Start() {
    extension_ = [[KeloFinderSync alloc] initWithBadgeFolder:Str(KELO_FINDERSYNC_BADGE_DIR)
                                                        home:Str(home_.path())];
  }

  // The path of `name` in "Sync", recorded with `state` unless negative.
  std::string Item(const std::string& name, int state) {
    const std::string path = sync_ + "/" + name;
    if (state >= 0) {
      ClientWrites(status_db_,
                   "insert or replace into fstatinfo (path, fileType, syncStatus) values ('" +
                       path + "', 0, " + std::to_string(state) + ")");
    }
    return path;
  }

  void Request(const std::string& path) {
    [extension_ requestBadgeIdentifierForURL:[NSURL fileURLWithPath:Str(path)]];
  }

  // The calls recorded after the first `skip`, once there are `count` of them.
  Strings CallsAfter(size_t skip, size_t count) {
    std::vector<BadgeCall> calls;
    RunUntil([&] {
      calls = [Controller() keloRecorded].calls;
      return calls.size() >= skip + count;
    });
    for (const BadgeCall& call : calls) EXPECT_TRUE(call.on_main_thread) << call.path;
    calls.erase(calls.begin(), calls.begin() + std::min(skip, calls.size()));
    return Identifiers(calls);
  }

  // Lets whatever the extension still has to say arrive.
  static void Settle() {
    RunUntil([] { return false; }, 0.5);
  }

  bool FoldersBecome(const Strings& expected) {
    return RunUntil([&] { return [Controller() keloRecorded].folders == expected; });
  }

  kelo_test::TempDir home_;
  const std::string system_db_ = kelo::SystemDbPath(home_.path());
  const std::string sync_ = home_ / "Sync";
  uint64_t sync_id_ = 0;
  std::string status_db_;
  KeloFinderSync* extension_ = nil;
  NSAutoreleasePool* pool_ = nil;
};

// Full-frame emblems, each set once under its identifier: opaque in the middle and at the
// middle of the top edge, clear in the corners.
TEST_F(FinderSyncTest, BadgeImagesAreSetOnceAsFullFrameEmblems) {
  Start();
  ASSERT_TRUE(FoldersBecome({home_ / "Other", sync_}));
  const auto images = [Controller() keloRecorded].images;
  const struct {
    const char* identifier;
    const char* label;
  } rows[] = {{"KeloSynced", "Synced"}, {"KeloSyncing", "Syncing"}, {"KeloUnsupp", "Unsupported"}};
  ASSERT_EQ(images.size(), 3u);
  for (const auto& row : rows) {
    SCOPED_TRACE(row.identifier);
    const auto found = images.find(row.identifier);
    ASSERT_NE(found, images.end());
    EXPECT_EQ(found->second.label, row.label);
    EXPECT_EQ(found->second.times_set, 1);
    NSArray* reps = [found->second.image representations];
    ASSERT_GT([reps count], 0u);
    NSBitmapImageRep* rep = [reps objectAtIndex:0];
    ASSERT_TRUE([rep isKindOfClass:[NSBitmapImageRep class]]);
    EXPECT_EQ([rep pixelsWide], 320);
    EXPECT_EQ([rep pixelsHigh], 320);
    EXPECT_EQ([[rep colorAtX:160 y:160] alphaComponent], 1.0);
    EXPECT_GT([[rep colorAtX:160 y:2] alphaComponent], 0.5);
    EXPECT_EQ([[rep colorAtX:2 y:2] alphaComponent], 0.0);
  }
}

// The folders are those of the sessions that show badges, and follow the registry: a session
// added, a session paused, the whole registry replaced by another file.
TEST_F(FinderSyncTest, DirectoryUrlsFollowTheRegistry) {
  Start();
  ASSERT_TRUE(FoldersBecome({home_ / "Other", sync_})) << "status 9 shows no badges";
  const struct {
    const char* change;
    std::function<void()> make;
    Strings folders;
  } steps[] = {
      {"session added",
       [&] {
         ClientWrites(system_db_,
                      "insert into session_table (conn_id, share_name, status, sync_folder) "
                      "values (1, 'New', 11, '" +
                          home_ / "New" + "')");
       },
       {home_ / "New", home_ / "Other", sync_}},
      {"session paused",
       [&] {
         ClientWrites(system_db_,
                      "update session_table set status = 9 where id = " + std::to_string(sync_id_));
       },
       {home_ / "New", home_ / "Other"}},
      {"registry replaced",
       [&] {
         const std::string fresh = home_ / "fresh.sqlite";
         {
           kelo::ScopedDbRole writer(kelo::DbRole::kWriter);
           ASSERT_EQ(SystemDB::initialize(fresh), 0);
           AddSession(home_ / "Else", 10);
           SystemDB::destroy();
         }
         std::filesystem::rename(fresh, system_db_);
       },
       {home_ / "Else"}},
  };
  for (const auto& step : steps) {
    SCOPED_TRACE(step.change);
    step.make();
    EXPECT_TRUE(FoldersBecome(step.folders));
  }
}

// Each item the Finder asks about is answered on the main thread and registered: a change of
// its state is pushed, an unchanged one is not, and the items of a folder the Finder let go
// are forgotten, but not those of a folder below it.
TEST_F(FinderSyncTest, AnswersAreRegisteredAndChangesPushed) {
  Start();
  const std::string a = Item("a.txt", 1), b = Item("b.txt", 2), c = Item("c.txt", 3),
                    d = Item("d.txt", -1), deep = Item("sub/e.txt", 1);
  const std::string outside = home_ / "Paused/x.txt";
  for (const std::string& path : {a, b, c, d, deep, outside}) Request(path);
  EXPECT_EQ(CallsAfter(0, 6), (Strings{"KeloSynced " + a, "KeloSyncing " + b, "KeloUnsupp " + c,
                                       " " + d, "KeloSynced " + deep, " " + outside}));

  Item("a.txt", 2);
  EXPECT_EQ(CallsAfter(6, 1), (Strings{"KeloSyncing " + a}));
  Settle();
  EXPECT_EQ(CallsAfter(6, 1), (Strings{"KeloSyncing " + a})) << "unchanged items pushed";

  [extension_ endObservingDirectoryAtURL:[NSURL fileURLWithPath:Str(sync_) isDirectory:YES]];
  const std::string marker = Item("marker.txt", 3);
  Request(marker);  // answered after the folder was let go
  EXPECT_EQ(CallsAfter(7, 1), (Strings{"KeloUnsupp " + marker}));
  Item("b.txt", 1);
  Item("sub/e.txt", 2);
  EXPECT_EQ(CallsAfter(8, 1), (Strings{"KeloSyncing " + deep}));
  Settle();
  EXPECT_EQ(CallsAfter(8, 1), (Strings{"KeloSyncing " + deep})) << "a forgotten item pushed";
}

// A database locked by the client: the answer is no badge, quickly, and the item gets its
// badge once the lock is gone and the reader's back-off is over, with no notification.
TEST_F(FinderSyncTest, ALockedDatabaseIsAskedAgainAfterTheBackOff) {
  Start();
  const std::string item = Item("locked.txt", 1);
  kelo::sqlite::Connection client = kelo_test::OpenSql(status_db_);
  kelo_test::ExecSql(client.get(), "begin exclusive");
  const auto asked = std::chrono::steady_clock::now();
  Request(item);
  EXPECT_EQ(CallsAfter(0, 1), (Strings{" " + item}));
  EXPECT_LT(std::chrono::steady_clock::now() - asked, std::chrono::milliseconds(500));
  kelo_test::ExecSql(client.get(), "commit");
  EXPECT_EQ(CallsAfter(1, 1), (Strings{"KeloSynced " + item}));
}

}  // namespace
}  // namespace kelo_host
