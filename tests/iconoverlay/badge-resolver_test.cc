#include "iconoverlay/badge-resolver.h"

#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "db/file-status-db/file-status-db.h"
#include "db/system-db/system-db.h"
#include "iconoverlay/linux-platform.h"
#include "support/records.h"
#include "support/shown-badge.h"
#include "support/temp-dir.h"

namespace {

namespace fs = std::filesystem;
using kelo::LinuxOverlayPlatform;
using Strings = std::vector<std::string>;

#define DECOMPOSED_E "e\xCC\x81"  // e + combining acute accent
#define PRECOMPOSED_E "\xC3\xA9"  // U+00E9

using Shown = kelo_test::ShownBadge;  // the name is the badge image's
const Shown kNone{0, ""}, kSynced{1, "KeloSynced"}, kSyncing{2, "KeloSyncing"},
    kUnsupported{3, "KeloUnsupp"};

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
    KELOSessionInfo info{0, "", "", SystemDB::kEnabledBit, 0, status, 0, home_ / relative, ""};
    EXPECT_EQ(0, SystemDB::addNewSessionInfo(info, 1));
    return info.id;
  }

  // Records an entry in the session's file status database, creating the database.
  void Record(uint64_t session, const std::string& relative, int type, int state) {
    const std::string db = kelo::FileStatusDbPath(home_.path(), session);
    fs::create_directories(fs::path(db).parent_path());
    ASSERT_EQ(0, FileStatusDB::initialize(db));
    ASSERT_EQ(0, FileStatusDB::setFileSyncStat(kelo_test::Entry(home_ / relative, type, state)));
  }

  // What the item `relative` shows.
  Shown Resolve(const std::string& relative, RecordingPlatform* platform = nullptr) {
    const kelo::OverlayBadge r =
        kelo::ResolveOverlayBadge(platform ? *platform : platform_, (home_ / relative).c_str());
    EXPECT_EQ(r.badge == nullptr, r.image == nullptr);
    return {r.code, r.badge != nullptr ? r.badge->image_name : ""};
  }

  kelo_test::TempDir home_;
  RecordingPlatform platform_{home_.path()};
};

TEST_F(ResolverTest, PathWithoutUtf8FormGetsNoBadgeAndTouchesNothing) {
  Record(AddSession("S", 10), "S/a", 0, 1);
  const auto none = [this](const char* path) {
    return !kelo::ResolveOverlayBadge(platform_, path).badge &&
           kelo::ResolveSyncStatus(platform_, path) == 0;
  };
  // Stray, truncated, overlong (2 and 3 bytes), surrogate, past U+10FFFF, 5 bytes, interrupted.
  for (const char* bad : {"\x80", "\xC3", "\xC0\xAF", "\xE0\x9F\xBF", "\xED\xA0\x80",
                          "\xF4\x90\x80\x80", "\xF8\x88\x80\x80\x80", "\xE6\xB5/"}) {
    SCOPED_TRACE(bad);
    EXPECT_TRUE(none((home_ / "S/a" + bad).c_str()));
  }
  EXPECT_TRUE(none(nullptr) && platform_.asked.empty()) << platform_.asked.size();
  EXPECT_TRUE(none(""));                                                // Empty: never found.
  EXPECT_TRUE(kelo::IsValidUtf8("\xF0\x9F\x98\x80 \xF4\x8F\xBF\xBF"));  // Up to U+10FFFF.
}

// The files asked about, in order; the resolution creates none of them.
TEST_F(ResolverTest, EachStepEndsWhenItsFileIsMissing) {
  for (int i = 1; i <= 7; ++i) AddSession("S" + std::to_string(i), 10);
  const std::string sys = home_ / ".Tarnvale/db/sys.sqlite";
  const std::string own = home_ / ".Tarnvale/session/7/db/file-status.sqlite";
  fs::create_directories(fs::path(own).parent_path());  // Its folder, not yet its database.
  EXPECT_EQ(kNone, Resolve("Elsewhere/a"));             // No session: no database asked about.
  EXPECT_EQ(kNone, Resolve("S7/a"));
  EXPECT_EQ((Strings{sys, sys, own}), platform_.asked);
  EXPECT_FALSE(fs::exists(own));
  EXPECT_EQ("/h/.Tarnvale/db/sys.sqlite", kelo::SystemDbPath("/h//"));
  // The id's low 32 bits, printed signed.
  EXPECT_EQ("/h/.Tarnvale/session/-1/db/file-status.sqlite",
            kelo::FileStatusDbPath("/h", 0x1ffffffffULL));
}

// Only sessions in status 10 and 11 show badges; codes without a badge are still read; a
// synced folder (type 1) with a syncing entry below it shows syncing.
TEST_F(ResolverTest, SessionStatusStateCodeAndFolderRule) {
  const struct {
    int status, type, state;
    const char* below;  // Where a syncing entry is recorded, after the item's path.
    Shown expected;
  } cases[] = {{9, 0, 1, nullptr, kNone},         {10, 0, 1, nullptr, kSynced},
               {11, 0, 1, nullptr, kSynced},      {12, 0, 1, nullptr, kNone},
               {11, 0, 0, nullptr, kNone},        {11, 0, 2, nullptr, kSyncing},
               {11, 0, 3, nullptr, kUnsupported}, {11, 0, 4, nullptr, {4, ""}},
               {11, 0, 5, nullptr, {5, ""}},      {11, 0, -1, nullptr, {-1, ""}},
               {10, 1, 1, "/x/y", kSyncing},      {10, 1, 1, "x/y", kSynced},
               {10, 0, 1, "/x", kSynced},         {10, 1, 3, "/x", kUnsupported}};
  for (const auto& c : cases) {
    SCOPED_TRACE("row " + std::to_string(&c - cases));
    const std::string folder = "S" + std::to_string(&c - cases), item = folder + "/item";
    const uint64_t id = AddSession(folder, c.status);
    Record(id, item, c.type, c.state);
    if (c.below != nullptr) Record(id, item + c.below, 0, 2);
    EXPECT_EQ(c.expected, Resolve(item));
  }
}

// The client records paths, and may register folders, precomposed; the Finder may not.
TEST_F(ResolverTest, DecomposedPathsAreResolvedInFormC) {
  const uint64_t s = AddSession("S", 10);
  Record(s, "S/r" PRECOMPOSED_E "s", 1, 1);  // The entry and its subtree are asked in form C.
  Record(s, "S/r" PRECOMPOSED_E "s/cv.pdf", 0, 2);
  EXPECT_EQ(kSyncing, Resolve("S/r" DECOMPOSED_E "s"));
  Record(AddSession("T" PRECOMPOSED_E "am", 10), "T" PRECOMPOSED_E "am/a", 0, 1);
  EXPECT_EQ(kSynced, Resolve("T" DECOMPOSED_E "am/a"));  // Found on the second try.
  AddSession("C" DECOMPOSED_E "ll", 12);  // Found by the path as given: never replaced.
  Record(AddSession("C" PRECOMPOSED_E "ll", 10), "C" PRECOMPOSED_E "ll/a", 0, 1);
  EXPECT_EQ(kNone, Resolve("C" DECOMPOSED_E "ll/a"));
  EXPECT_EQ(kSynced, Resolve("C" PRECOMPOSED_E "ll/a"));
  // A nested folder registered precomposed wins over the folder around it, which the path
  // as given already matches; the outer session's database must not answer.
  const uint64_t outer = AddSession("N", 10);
  Record(outer, "N/" PRECOMPOSED_E "quipe/a", 0, 3);
  Record(outer, "N/" PRECOMPOSED_E "quip/a", 0, 3);
  Record(AddSession("N/" PRECOMPOSED_E "quipe", 10), "N/" PRECOMPOSED_E "quipe/a", 0, 1);
  EXPECT_EQ(kSynced, Resolve("N/" DECOMPOSED_E "quipe/a"));
  EXPECT_EQ(kUnsupported, Resolve("N/" DECOMPOSED_E "quip/a"));
  // Depth is told by form C: an outer folder recorded decomposed is longer in bytes than the
  // precomposed folder nested in it ("H" + U+1112 U+1161 U+11AB against "H" + U+D55C).
  const uint64_t han = AddSession("H\xE1\x84\x92\xE1\x85\xA1\xE1\x86\xAB", 10);
  Record(han, "H\xED\x95\x9C/T/x", 0, 3);
  Record(AddSession("H\xED\x95\x9C/T", 10), "H\xED\x95\x9C/T/x", 0, 1);
  EXPECT_EQ(kSynced, Resolve("H\xE1\x84\x92\xE1\x85\xA1\xE1\x86\xAB/T/x"));
}

// Two threads, slowed between initialising and reading, each always read their own database.
TEST_F(ResolverTest, InitialiseAndReadAreAtomicAcrossThreads) {
  Record(AddSession("A", 10), "A/x", 0, 1);
  Record(AddSession("B", 10), "B/x", 0, 3);
  const auto worker = [&](const std::string& relative, const Shown& expected) {
    RecordingPlatform platform(home_.path());
    platform.slow = true;
    for (int i = 0; i < 40; ++i) ASSERT_EQ(expected, Resolve(relative, &platform));
  };
  std::thread a(worker, "A/x", kSynced), b(worker, "B/x", kUnsupported);
  a.join();
  b.join();
}

TEST_F(ResolverTest, BadgeImageIsLoadedAgainOnceUnregistered) {
  Record(AddSession("S", 10), "S/a", 0, 1);
  kelo::LinuxImageRegistry::Unregister("KeloSynced");
  EXPECT_EQ(kSynced, Resolve("S/a"));  // Loaded from the shipped resource.
  const kelo::LinuxBadgeImage* first = kelo::LinuxImageRegistry::Fetch("KeloSynced");
  ASSERT_NE(nullptr, first);
  EXPECT_EQ("synced.ico", fs::path(first->file_path).filename());
  ASSERT_TRUE(kelo::LinuxImageRegistry::Unregister("KeloSynced"));
  EXPECT_EQ(kSynced, Resolve("S/a"));  // Registered again, from the resource.
  EXPECT_NE(first, kelo::LinuxImageRegistry::Fetch("KeloSynced"));
}

TEST(LinuxPlatform, HomeDirectoryAndFormCWithinItsLimit) {
  const std::string saved = std::getenv("HOME") != nullptr ? std::getenv("HOME") : "";
  ASSERT_NE(nullptr, getpwuid(getuid()));
  setenv("HOME", "/from/env", 1);
  EXPECT_EQ("/from/env", LinuxOverlayPlatform().HomeDirectory());
  setenv("HOME", "", 1);  // Set but empty counts as unset.
  EXPECT_EQ(getpwuid(getuid())->pw_dir, LinuxOverlayPlatform().HomeDirectory());
  setenv("HOME", saved.c_str(), 1);  // Unset or empty alike.
  // Results of up to 4095 bytes ("": refused); the last row is 4097 bytes, 4096 once composed.
  std::string a(4093, 'a'), out;
  const std::pair<std::string, std::string> cases[] = {{"/cafe\xCC\x81", "/caf\xC3\xA9"},
                                                       {"/bad\xFF", ""},
                                                       {a + "aa", a + "aa"},
                                                       {a + "aaa", ""},
                                                       {a + "e\xCC\x81", a + "\xC3\xA9"},
                                                       {a + "ae\xCC\x81", ""}};
  for (const auto& [in, expected] : cases) {
    SCOPED_TRACE(in.size());
    EXPECT_EQ(expected, LinuxOverlayPlatform().NormalizeFormC(in, &out) ? out : "");
  }
}

}  // namespace
