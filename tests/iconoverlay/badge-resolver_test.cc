#include "iconoverlay/badge-resolver.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "db/file-status-db/file-status-db.h"
#include "db/system-db/system-db.h"
#include "iconoverlay/linux-platform.h"
#include "support/temp_dir.h"

namespace {

using kelo::OverlayBadge;
using kelo::ResolveOverlayBadge;

#define DECOMPOSED_E "e\xCC\x81"  // e + combining acute accent
#define PRECOMPOSED_E "\xC3\xA9"  // U+00E9

// The Linux platform, with a record of the questions the core asks it.
class RecordingPlatform : public kelo::LinuxOverlayPlatform {
 public:
  using LinuxOverlayPlatform::LinuxOverlayPlatform;
  bool FileExists(const std::string& path) override {
    exists_asked.push_back(path);
    return LinuxOverlayPlatform::FileExists(path);
  }
  bool NormalizeFormC(const std::string& utf8, std::string* out) override {
    ++normalized;
    return LinuxOverlayPlatform::NormalizeFormC(utf8, out);
  }
  int SyncStatus(const char* utf8_path, kelo::Explanation* explain) override {
    if (pause_before_read) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    return LinuxOverlayPlatform::SyncStatus(utf8_path, explain);
  }
  std::vector<std::string> exists_asked;
  int normalized = 0;
  bool pause_before_read = false;
};

// A home directory with the client's system database open for writing sessions.
class ResolverTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(home_.path().empty());
    std::filesystem::create_directories(home_ / ".Tarnvale/db");
    ASSERT_EQ(0, SystemDB::initialize(kelo::SystemDbPath(home_.path())));
  }
  void TearDown() override { SystemDB::destroy(); }

  std::string Path(const std::string& relative) const { return home_ / relative; }

  // Adds an enabled session for `folder` (relative to the home) in `status`.
  uint64_t AddSession(const std::string& folder, int status) {
    KELOSessionInfo info;
    info.share_name = folder;
    info.attribute = SystemDB::kEnabledBit;
    info.view_id = ++sessions_;
    info.status = status;
    info.sync_folder = Path(folder);
    EXPECT_EQ(0, SystemDB::addNewSessionInfo(info, 1));
    return info.id;
  }

  // Records an entry in the session's file status database, creating the database.
  void Record(uint64_t session, const std::string& relative, int type, int state) {
    const std::string db = kelo::FileStatusDbPath(home_.path(), session);
    std::filesystem::create_directories(std::filesystem::path(db).parent_path());
    ASSERT_EQ(0, FileStatusDB::initialize(db));
    FileStatusInfo entry;
    entry.path = Path(relative);
    entry.fileType = type;
    entry.syncStatus = state;
    ASSERT_EQ(0, FileStatusDB::setFileSyncStat(entry));
  }

  OverlayBadge Resolve(const std::string& relative, kelo::Explanation* explain = nullptr) {
    return ResolveOverlayBadge(platform_, Path(relative).c_str(), explain);
  }

  static std::string ImageName(const OverlayBadge& result) {
    return result.badge != nullptr ? result.badge->image_name : "none";
  }

  kelo_test::TempDir home_;
  RecordingPlatform platform_{home_.path()};
  uint64_t sessions_ = 0;
};

TEST_F(ResolverTest, PathWithoutUtf8FormTouchesNothing) {
  const uint64_t id = AddSession("S", 10);
  Record(id, "S/a", 0, 1);
  FileStatusDB::m_fstatDBPath = "unchanged";
  const struct {
    const char* name;
    const char* path;
  } kCases[] = {{"nil", nullptr},
                {"truncated sequence", "S/a\xC3"},
                {"surrogate", "S/\xED\xA0\x80"},
                {"overlong slash",
                 "S\xC0\xAF"
                 "a"}};
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    const std::string path = c.path ? Path(c.path) : std::string();
    OverlayBadge result = ResolveOverlayBadge(platform_, c.path ? path.c_str() : nullptr);
    EXPECT_EQ(nullptr, result.badge);
    EXPECT_EQ(nullptr, result.image);
    EXPECT_EQ(0, kelo::ResolveSyncStatus(platform_, c.path ? path.c_str() : nullptr));
  }
  EXPECT_TRUE(platform_.exists_asked.empty());
  EXPECT_EQ(0, platform_.normalized);
  EXPECT_EQ("unchanged", FileStatusDB::m_fstatDBPath);
}

TEST_F(ResolverTest, MissingSystemDatabaseGivesNoBadgeAndCreatesNothing) {
  kelo_test::TempDir other;
  RecordingPlatform platform(other.path());
  const std::string path = other / "S/a";
  EXPECT_EQ(nullptr, ResolveOverlayBadge(platform, path.c_str()).badge);
  EXPECT_EQ(std::vector<std::string>{other / ".Tarnvale/db/sys.sqlite"}, platform.exists_asked);
  EXPECT_FALSE(std::filesystem::exists(other / ".Tarnvale"));
}

TEST_F(ResolverTest, OnlySessionStatusesTenAndElevenShowBadges) {
  const struct {
    int status;
    const char* image;
  } kCases[] = {{0, "none"},        {9, "none"},  {10, "KeloSynced"},
                {11, "KeloSynced"}, {12, "none"}, {-1, "none"}};
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.status);
    const std::string folder = "S" + std::to_string(c.status);
    const uint64_t id = AddSession(folder, c.status);
    Record(id, folder + "/a", 0, 1);
    EXPECT_EQ(c.image, ImageName(Resolve(folder + "/a")));
  }
}

TEST_F(ResolverTest, PathUnderNoSessionNeverTestsAStatusDatabase) {
  AddSession("S", 10);
  EXPECT_EQ(nullptr, Resolve("Elsewhere/a").badge);
  EXPECT_EQ(std::vector<std::string>{Path(".Tarnvale/db/sys.sqlite")}, platform_.exists_asked);
}

TEST_F(ResolverTest, SessionSevenReadsItsOwnDatabase) {
  uint64_t id = 0;
  for (int i = 1; i <= 7; ++i) id = AddSession("S" + std::to_string(i), 10);
  ASSERT_EQ(7u, id);
  Record(id, "S7/a", 0, 2);
  EXPECT_EQ("KeloSyncing", ImageName(Resolve("S7/a")));
  ASSERT_EQ(2u, platform_.exists_asked.size());
  EXPECT_EQ(Path(".Tarnvale/session/7/db/file-status.sqlite"), platform_.exists_asked[1]);
}

TEST_F(ResolverTest, MissingStatusDatabaseIsNotCreated) {
  const uint64_t id = AddSession("S", 10);
  EXPECT_EQ(nullptr, Resolve("S/a").badge);
  EXPECT_FALSE(std::filesystem::exists(kelo::FileStatusDbPath(home_.path(), id)));
  EXPECT_FALSE(std::filesystem::exists(Path(".Tarnvale/session")));
}

TEST_F(ResolverTest, StateCodesMapToBadges) {
  const struct {
    int state;
    const char* image;
  } kCases[] = {{0, "none"}, {1, "KeloSynced"}, {2, "KeloSyncing"}, {3, "KeloUnsupp"},
                {4, "none"}, {5, "none"},       {-1, "none"}};
  const uint64_t id = AddSession("S", 11);
  for (const auto& c : kCases) {
    Record(id, "S/f" + std::to_string(c.state), 0, c.state);
  }
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.state);
    OverlayBadge result = Resolve("S/f" + std::to_string(c.state));
    EXPECT_EQ(c.state, result.code);
    EXPECT_EQ(c.image, ImageName(result));
    EXPECT_EQ(result.badge == nullptr, result.image == nullptr);
  }
  EXPECT_EQ(0, Resolve("S/unrecorded").code);
}

TEST_F(ResolverTest, FolderRule) {
  const struct {
    const char* name;
    int type;
    int state;
    const char* below;  // entry recorded below (or beside) the item, state syncing
    int expected;
  } kCases[] = {
      {"synced folder, syncing child", 1, 1, "/x/y", 2},
      {"synced folder, syncing sibling with same prefix", 1, 1, "x/y", 1},
      {"synced file, syncing entry below its name", 0, 1, "/x", 1},
      {"unsupported folder, syncing child", 1, 3, "/x", 3},
      {"synced folder, nothing below", 1, 1, nullptr, 1},
  };
  const uint64_t id = AddSession("S", 10);
  int n = 0;
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    const std::string item = "S/d" + std::to_string(++n);
    Record(id, item, c.type, c.state);
    if (c.below) Record(id, item + c.below, 0, 2);
    EXPECT_EQ(c.expected, Resolve(item).code);
  }
}

TEST_F(ResolverTest, DecomposedNamesAreLookedUpPrecomposedAndEmptyPathsNotAtAll) {
  const uint64_t id = AddSession("", 10);  // an empty folder holds every path, "" included
  Record(id, "S/caf" PRECOMPOSED_E ".txt", 0, 3);
  EXPECT_EQ("KeloUnsupp", ImageName(Resolve("S/caf" DECOMPOSED_E ".txt")));
  EXPECT_EQ("KeloUnsupp", ImageName(Resolve("S/caf" PRECOMPOSED_E ".txt")));
  EXPECT_EQ(nullptr, ResolveOverlayBadge(platform_, "").badge);
  EXPECT_EQ(0, kelo::ResolveSyncStatus(platform_, ""));
}

// The subtree of a folder with a decomposed name is asked in form C, as its entry is.
TEST_F(ResolverTest, FolderRuleUsesFormCPath) {
  const uint64_t id = AddSession("S", 10);
  Record(id, "S/r" PRECOMPOSED_E "sum" PRECOMPOSED_E "s", 1, 1);
  Record(id, "S/r" PRECOMPOSED_E "sum" PRECOMPOSED_E "s/cv.pdf", 0, 2);
  EXPECT_EQ("KeloSyncing", ImageName(Resolve("S/r" DECOMPOSED_E "sum" DECOMPOSED_E "s")));
}

// A folder registered precomposed is found for a path that arrives decomposed; a session
// found by the path as given is never replaced by the form C lookup.
TEST_F(ResolverTest, SessionLookupRetriesInFormC) {
  const uint64_t team = AddSession("T" PRECOMPOSED_E "am", 10);
  Record(team, "T" PRECOMPOSED_E "am/a", 0, 1);
  EXPECT_EQ("KeloSynced", ImageName(Resolve("T" DECOMPOSED_E "am/a")));

  AddSession("C" DECOMPOSED_E "ll", 12);  // paused, matches the decomposed path itself
  const uint64_t cell = AddSession("C" PRECOMPOSED_E "ll", 10);
  Record(cell, "C" PRECOMPOSED_E "ll/a", 0, 1);
  EXPECT_EQ(nullptr, Resolve("C" DECOMPOSED_E "ll/a").badge);
  EXPECT_EQ("KeloSynced", ImageName(Resolve("C" PRECOMPOSED_E "ll/a")));
}

// Two threads resolve items of two sessions with different databases; each must always
// read its own, although the reader is slowed down between initialisation and read.
TEST_F(ResolverTest, InitialiseAndReadAreAtomicAcrossThreads) {
  const uint64_t a = AddSession("A", 10);
  const uint64_t b = AddSession("B", 10);
  Record(a, "A/x", 0, 1);
  Record(b, "B/x", 0, 3);
  std::atomic<int> wrong{0};
  auto worker = [&](const std::string& relative, int expected) {
    RecordingPlatform platform(home_.path());
    platform.pause_before_read = true;
    const std::string path = Path(relative);
    for (int i = 0; i < 40; ++i) {
      if (ResolveOverlayBadge(platform, path.c_str()).code != expected) ++wrong;
    }
  };
  std::thread ta(worker, "A/x", 1);
  std::thread tb(worker, "B/x", 3);
  ta.join();
  tb.join();
  EXPECT_EQ(0, wrong.load());
}

TEST_F(ResolverTest, BadgeImageIsLoadedAgainOnceUnregistered) {
  const uint64_t id = AddSession("S", 10);
  Record(id, "S/a", 0, 1);
  kelo_test::TempDir no_resources;
  RecordingPlatform bare(home_.path(), no_resources.path());
  kelo::LinuxImageRegistry::Unregister("KeloSynced");
  OverlayBadge missing = ResolveOverlayBadge(bare, Path("S/a").c_str());
  EXPECT_EQ(1, missing.code);
  EXPECT_EQ(nullptr, missing.badge);
  EXPECT_EQ(nullptr, missing.image);

  OverlayBadge first = Resolve("S/a");
  ASSERT_NE(nullptr, first.image);
  EXPECT_EQ(first.image, kelo::LinuxImageRegistry::Fetch("KeloSynced"));
  EXPECT_EQ(
      "synced.ico",
      std::filesystem::path(kelo::LinuxImageRegistry::Fetch("KeloSynced")->file_path).filename());
  EXPECT_EQ(first.image, Resolve("S/a").image);  // registered images are reused

  ASSERT_TRUE(kelo::LinuxImageRegistry::Unregister("KeloSynced"));
  OverlayBadge refilled = Resolve("S/a");
  ASSERT_NE(nullptr, refilled.image);
  EXPECT_NE(first.image, refilled.image);
  EXPECT_EQ(refilled.image, kelo::LinuxImageRegistry::Fetch("KeloSynced"));
}

TEST(ResolverPaths, DatabasePaths) {
  const struct {
    const char* home;
    const char* system_db;
  } kSystem[] = {{"/home/u", "/home/u/.Tarnvale/db/sys.sqlite"},
                 {"/home/u/", "/home/u/.Tarnvale/db/sys.sqlite"},
                 {"/home/u//", "/home/u/.Tarnvale/db/sys.sqlite"},
                 {"/", "/.Tarnvale/db/sys.sqlite"},
                 {"", ".Tarnvale/db/sys.sqlite"}};
  for (const auto& c : kSystem) {
    SCOPED_TRACE(c.home);
    EXPECT_EQ(c.system_db, kelo::SystemDbPath(c.home));
  }
  const struct {
    const char* home;
    uint64_t id;
    const char* file_status_db;
  } kSession[] = {{"/h", 7, "/h/.Tarnvale/session/7/db/file-status.sqlite"},
                  {"/h/", 7, "/h//.Tarnvale/session/7/db/file-status.sqlite"},
                  {"/h", 0x100000005ull, "/h/.Tarnvale/session/5/db/file-status.sqlite"},
                  {"/h", 0xffffffffull, "/h/.Tarnvale/session/-1/db/file-status.sqlite"}};
  for (const auto& c : kSession) {
    SCOPED_TRACE(c.file_status_db);
    EXPECT_EQ(c.file_status_db, kelo::FileStatusDbPath(c.home, c.id));
  }
}

TEST(ResolverUtf8, Validity) {
  for (const char* valid :
       {"", "plain/ascii", "caf\xC3\xA9", "\xE6\xB5\xB7", "\xF0\x9F\x98\x80", "\xF4\x8F\xBF\xBF"}) {
    EXPECT_TRUE(kelo::IsValidUtf8(valid)) << ::testing::PrintToString(std::string(valid));
  }
  // Stray continuation, truncated, overlong (2 and 3 bytes), surrogate, beyond U+10FFFF,
  // five-byte form, interrupted sequence.
  for (const char* invalid : {"\x80", "\xC3", "\xC0\xAF", "\xE0\x9F\xBF", "\xED\xA0\x80",
                              "\xF4\x90\x80\x80", "\xF8\x88\x80\x80\x80", "\xE6\xB5/"}) {
    EXPECT_FALSE(kelo::IsValidUtf8(invalid)) << ::testing::PrintToString(std::string(invalid));
  }
}

TEST(ResolverGeometry, BadgeRectangles) {
  auto values = [](const kelo::BadgeRect& r) {
    return std::vector<double>{r.x, r.y, r.width, r.height};
  };
  // The list-view badge is as tall as the frame, whatever its width, 5 points to the right.
  EXPECT_EQ((std::vector<double>{15, 20, 16, 16}),
            values(kelo::ListViewBadgeRect({10, 20, 16, 16})));
  EXPECT_EQ((std::vector<double>{5, 0, 32, 32}), values(kelo::ListViewBadgeRect({0, 0, 64, 32})));
  EXPECT_EQ((std::vector<double>{1.5, 2.25, 40, 40}),
            values(kelo::ListViewBadgeRect({-3.5, 2.25, 8, 40})));
  EXPECT_EQ((std::vector<double>{0, 0, 128, 96}), values(kelo::ImageBrowserBadgeRect(128, 96)));
}

}  // namespace
