#include "iconoverlay/badge-resolver.h"

#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "db/file-status-db/file-status-db.h"
#include "db/system-db/system-db.h"
#include "iconoverlay/linux-platform.h"
#include "support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using kelo::LinuxOverlayPlatform;
using Strings = std::vector<std::string>;

#define DECOMPOSED_E "e\xCC\x81"  // e + combining acute accent
#define PRECOMPOSED_E "\xC3\xA9"  // U+00E9

// Records the files asked about; `slow` pauses between initialising and reading the state.
class RecordingPlatform : public LinuxOverlayPlatform {
 public:
  using LinuxOverlayPlatform::LinuxOverlayPlatform;
  bool FileExists(const std::string& path) override {
    asked.push_back(path);
    return LinuxOverlayPlatform::FileExists(path);
  }
  int SyncStatus(const char* utf8_path, kelo::Explanation* explain) override {
    if (slow) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    return LinuxOverlayPlatform::SyncStatus(utf8_path, explain);
  }
  Strings asked;
  bool slow = false;
};

// A home directory whose system database is open for adding sessions.
class ResolverTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(home_ / ".Tarnvale/db");
    ASSERT_EQ(0, SystemDB::initialize(kelo::SystemDbPath(home_.path())));
  }
  void TearDown() override { SystemDB::destroy(); }

  // Adds an enabled session for the folder `relative` in `status`; returns its id.
  uint64_t AddSession(const std::string& relative, int status) {
    KELOSessionInfo info;
    info.attribute = SystemDB::kEnabledBit;
    info.status = status;
    info.sync_folder = home_ / relative;
    EXPECT_EQ(0, SystemDB::addNewSessionInfo(info, 1));
    return info.id;
  }

  // Records an entry in the session's file status database, creating the database.
  void Record(uint64_t session, const std::string& relative, int type, int state) {
    const std::string db = kelo::FileStatusDbPath(home_.path(), session);
    fs::create_directories(fs::path(db).parent_path());
    FileStatusInfo entry;
    entry.path = home_ / relative;
    entry.fileType = type;
    entry.syncStatus = state;
    ASSERT_EQ(0, FileStatusDB::initialize(db));
    ASSERT_EQ(0, FileStatusDB::setFileSyncStat(entry));
  }

  // "<code> <image name>" for the item `relative`, "none" standing for no badge.
  std::string Resolve(const std::string& relative, RecordingPlatform* platform = nullptr) {
    const kelo::OverlayBadge r =
        kelo::ResolveOverlayBadge(platform ? *platform : platform_, (home_ / relative).c_str());
    EXPECT_EQ(r.badge == nullptr, r.image == nullptr);
    return std::to_string(r.code) + " " + (r.badge != nullptr ? r.badge->image_name : "none");
  }

  kelo_test::TempDir home_;
  RecordingPlatform platform_{home_.path()};
};

TEST_F(ResolverTest, PathWithoutUtf8FormGetsNoBadgeAndTouchesNothing) {
  Record(AddSession("S", 10), "S/a", 0, 1);
  FileStatusDB::m_fstatDBPath = "unchanged";
  // Stray, truncated, overlong (2 and 3 bytes), surrogate, past U+10FFFF, 5 bytes, interrupted.
  for (const char* bad : {"\x80", "\xC3", "\xC0\xAF", "\xE0\x9F\xBF", "\xED\xA0\x80",
                          "\xF4\x90\x80\x80", "\xF8\x88\x80\x80\x80", "\xE6\xB5/"}) {
    EXPECT_EQ("0 none", Resolve("S/a" + std::string(bad)));
    EXPECT_EQ(0, kelo::ResolveSyncStatus(platform_, (home_ / "S/a" + bad).c_str()));
  }
  EXPECT_EQ(nullptr, kelo::ResolveOverlayBadge(platform_, nullptr).badge);
  EXPECT_EQ(0, kelo::ResolveSyncStatus(platform_, nullptr));
  EXPECT_EQ(Strings{}, platform_.asked);
  EXPECT_EQ("unchanged", FileStatusDB::m_fstatDBPath);
  EXPECT_EQ(nullptr, kelo::ResolveOverlayBadge(platform_, "").badge);  // Empty: never found.
  EXPECT_EQ(0, kelo::ResolveSyncStatus(platform_, ""));
  EXPECT_TRUE(kelo::IsValidUtf8("\xF0\x9F\x98\x80 \xF4\x8F\xBF\xBF"));  // Up to U+10FFFF.
}

// The files asked about, in order; the resolution creates none of them.
TEST_F(ResolverTest, EachStepEndsWhenItsFileIsMissing) {
  kelo_test::TempDir bare;
  RecordingPlatform nowhere(bare.path());
  EXPECT_EQ(nullptr, kelo::ResolveOverlayBadge(nowhere, (bare / "S/a").c_str()).badge);
  EXPECT_EQ(Strings{bare / ".Tarnvale/db/sys.sqlite"}, nowhere.asked);
  EXPECT_FALSE(fs::exists(bare / ".Tarnvale"));
  uint64_t id = 0;
  for (int i = 1; i <= 7; ++i) id = AddSession("S" + std::to_string(i), 10);
  const std::string sys = home_ / ".Tarnvale/db/sys.sqlite";
  const std::string own = home_ / ".Tarnvale/session/7/db/file-status.sqlite";
  fs::create_directories(fs::path(own).parent_path());  // Its folder, not yet its database.
  EXPECT_EQ("0 none", Resolve("Elsewhere/a"));          // No session: no database asked about.
  EXPECT_EQ("0 none", Resolve("S7/a"));
  EXPECT_EQ((Strings{sys, sys, own}), platform_.asked);
  EXPECT_FALSE(fs::exists(own));
  Record(id, "S7/a", 0, 2);
  EXPECT_EQ("2 KeloSyncing", Resolve("S7/a"));
  EXPECT_EQ("/h/.Tarnvale/session/-1/db/file-status.sqlite",
            kelo::FileStatusDbPath("/h", 0x1ffffffffull));
  EXPECT_EQ("/h/.Tarnvale/db/sys.sqlite", kelo::SystemDbPath("/h//"));
}

// Only sessions in status 10 and 11 show badges; codes without a badge are still read; a
// synced folder (type 1) with a syncing entry below it shows syncing.
TEST_F(ResolverTest, SessionStatusStateCodeAndFolderRule) {
  const struct {
    int status, type, state;
    const char* below;  // Where a syncing entry is recorded, after the item's path.
    const char* expected;
  } cases[] = {{9, 0, 1, nullptr, "0 none"},        {10, 0, 1, nullptr, "1 KeloSynced"},
               {11, 0, 1, nullptr, "1 KeloSynced"}, {12, 0, 1, nullptr, "0 none"},
               {11, 0, 0, nullptr, "0 none"},       {11, 0, 2, nullptr, "2 KeloSyncing"},
               {11, 0, 3, nullptr, "3 KeloUnsupp"}, {11, 0, 4, nullptr, "4 none"},
               {11, 0, 5, nullptr, "5 none"},       {11, 0, -1, nullptr, "-1 none"},
               {10, 1, 1, "/x/y", "2 KeloSyncing"}, {10, 1, 1, "x/y", "1 KeloSynced"},
               {10, 0, 1, "/x", "1 KeloSynced"},    {10, 1, 3, "/x", "3 KeloUnsupp"}};
  for (size_t i = 0; i < std::size(cases); ++i) {
    const auto& c = cases[i];
    const std::string folder = "S" + std::to_string(i), item = folder + "/item";
    const uint64_t id = AddSession(folder, c.status);
    Record(id, item, c.type, c.state);
    if (c.below != nullptr) Record(id, item + c.below, 0, 2);
    EXPECT_EQ(c.expected, Resolve(item)) << "row " << i;
  }
}

// The client records paths, and may register folders, precomposed; the Finder may not.
TEST_F(ResolverTest, DecomposedPathsAreResolvedInFormC) {
  const uint64_t s = AddSession("S", 10);
  Record(s, "S/caf" PRECOMPOSED_E, 0, 3);
  EXPECT_EQ("3 KeloUnsupp", Resolve("S/caf" DECOMPOSED_E));
  Record(s, "S/r" PRECOMPOSED_E "s", 1, 1);  // Its subtree is asked in form C too.
  Record(s, "S/r" PRECOMPOSED_E "s/cv.pdf", 0, 2);
  EXPECT_EQ("2 KeloSyncing", Resolve("S/r" DECOMPOSED_E "s"));
  Record(AddSession("T" PRECOMPOSED_E "am", 10), "T" PRECOMPOSED_E "am/a", 0, 1);
  EXPECT_EQ("1 KeloSynced", Resolve("T" DECOMPOSED_E "am/a"));  // Found on the second try.
  AddSession("C" DECOMPOSED_E "ll", 12);  // Found by the path as given: never replaced.
  Record(AddSession("C" PRECOMPOSED_E "ll", 10), "C" PRECOMPOSED_E "ll/a", 0, 1);
  EXPECT_EQ("0 none", Resolve("C" DECOMPOSED_E "ll/a"));
  EXPECT_EQ("1 KeloSynced", Resolve("C" PRECOMPOSED_E "ll/a"));
}

// Two threads, slowed between initialising and reading, each always read their own database.
TEST_F(ResolverTest, InitialiseAndReadAreAtomicAcrossThreads) {
  Record(AddSession("A", 10), "A/x", 0, 1);
  Record(AddSession("B", 10), "B/x", 0, 3);
  std::atomic<int> wrong{0};
  const auto worker = [&](const std::string& relative, const std::string& expected) {
    RecordingPlatform platform(home_.path());
    platform.slow = true;
    for (int i = 0; i < 40; ++i) wrong += Resolve(relative, &platform) != expected ? 1 : 0;
  };
  std::thread a(worker, "A/x", "1 KeloSynced"), b(worker, "B/x", "3 KeloUnsupp");
  a.join();
  b.join();
  EXPECT_EQ(0, wrong.load());
}

TEST_F(ResolverTest, BadgeImageIsLoadedAgainOnceUnregistered) {
  Record(AddSession("S", 10), "S/a", 0, 1);
  RecordingPlatform bare(home_.path(), home_ / "no-resources");
  kelo::LinuxImageRegistry::Unregister("KeloSynced");
  EXPECT_EQ("1 none", Resolve("S/a", &bare));  // Its image cannot be loaded: no badge.
  EXPECT_EQ("1 KeloSynced", Resolve("S/a"));   // Loaded from the shipped resource.
  const kelo::LinuxBadgeImage* first = kelo::LinuxImageRegistry::Fetch("KeloSynced");
  ASSERT_NE(nullptr, first);
  EXPECT_EQ("synced.ico", fs::path(first->file_path).filename());
  EXPECT_EQ(first, kelo::ResolveOverlayBadge(platform_, (home_ / "S/a").c_str()).image);
  ASSERT_TRUE(kelo::LinuxImageRegistry::Unregister("KeloSynced"));
  EXPECT_EQ("1 KeloSynced", Resolve("S/a"));  // Registered again, from the resource.
  EXPECT_NE(first, kelo::LinuxImageRegistry::Fetch("KeloSynced"));
}

TEST(LinuxPlatform, HomeDirectoryIsTheGivenOneThenHomeThenTheAccounts) {
  const char* saved = std::getenv("HOME");
  const std::string restore = saved != nullptr ? saved : "";
  const struct passwd* entry = getpwuid(getuid());
  ASSERT_NE(nullptr, entry);
  setenv("HOME", "/from/env", 1);
  EXPECT_EQ("/from/env", LinuxOverlayPlatform().HomeDirectory());
  EXPECT_EQ("/given", LinuxOverlayPlatform("/given").HomeDirectory());
  setenv("HOME", "", 1);  // Set but empty counts as unset.
  EXPECT_EQ(entry->pw_dir, LinuxOverlayPlatform().HomeDirectory());
  saved != nullptr ? setenv("HOME", restore.c_str(), 1) : unsetenv("HOME");
}

TEST(LinuxPlatform, NormalizeFormCWithinItsLimit) {
  const std::string a4093(4093, 'a'), refused = "(refused)";
  // The last row is 4097 bytes, and 4096 once composed: still too long.
  const std::pair<std::string, std::string> cases[] = {{"/cafe\xCC\x81", "/caf\xC3\xA9"},
                                                       {"/caf\xC3\xA9", "/caf\xC3\xA9"},
                                                       {"/bad\xFF", refused},
                                                       {a4093 + "aa", a4093 + "aa"},
                                                       {a4093 + "aaa", refused},
                                                       {a4093 + "e\xCC\x81", a4093 + "\xC3\xA9"},
                                                       {a4093 + "ae\xCC\x81", refused}};
  LinuxOverlayPlatform platform;
  for (const auto& [in, expected] : cases) {
    std::string out;
    EXPECT_EQ(expected, platform.NormalizeFormC(in, &out) ? out : refused) << in.substr(0, 40);
  }
}

}  // namespace
