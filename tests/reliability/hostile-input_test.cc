// Hostile values and hostile files through the public operations of both databases and the
// badge resolution. Every case gives its documented result or fails cleanly with its log line;
// reads leave the files byte for byte as they were; and no value changes the SQL around it:
// the statements SQLite runs, string literals left out, equal those run for a harmless value.
#include <gtest/gtest.h>
#include <sqlite3.h>
#ifdef __linux__
#include <sys/fsuid.h>
#endif
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "db/file-status-db/file-status-db.h"
#include "db/system-db/system-db.h"
#include "iconoverlay/badge-resolver.h"
#include "iconoverlay/linux-platform.h"
#include "support/log-capture.h"
#include "support/records.h"
#include "support/sql.h"
#include "support/temp-dir.h"

namespace {

namespace fs = std::filesystem;
using kelo_test::Entry;
using kelo_test::LogCapture;

std::vector<std::string> g_statements;  // of the traced connections, literals left out

int Record(unsigned, void*, void*, void* sql) {
  std::string skeleton;
  bool literal = false;  // a doubled quote inside a literal ends and restarts it
  for (const char* c = static_cast<const char*>(sql); *c != '\0'; ++c) {
    if (*c == '\'') literal = !literal;
    if (*c != '\'' && !literal) skeleton += *c;
  }
  g_statements.push_back(skeleton);
  return 0;
}

int TraceEveryConnection(sqlite3* db, const char**, const sqlite3_api_routines*) {
  return sqlite3_trace_v2(db, SQLITE_TRACE_STMT, Record, nullptr);
}

// The statements run on the connections `operation` opens, each without its string literals.
std::vector<std::string> Skeletons(const std::function<void()>& operation) {
  g_statements.clear();
  EXPECT_EQ(sqlite3_auto_extension(reinterpret_cast<void (*)()>(TraceEveryConnection)), SQLITE_OK);
  operation();
  sqlite3_reset_auto_extension();
  return g_statements;
}

std::string Bytes(const std::string& path) {
  return fs::is_regular_file(path) ? kelo_test::ReadFile(path) : std::string();
}

bool Logged(const LogCapture& log, const std::string& text) {
  return log.Text().find(text) != std::string::npos;
}

enum Op { kBadge, kRead, kWrite, kLookup, kOpenRegistry, kUpdateRegistry };
enum Damage { kNotSqlite, kEmpty, kDirectory, kNoHome, kReadOnly, kLocked, kReadLocked };

class Hostile : public testing::Test {
 protected:
  void TearDown() override {
    SystemDB::destroy();
    FileStatusDB::m_fstatDBPath.clear();
  }

  // A fresh registry with one active session "Sync" over root_ (id 1), whose store records
  // `path` as unsupported.
  void MakeHome(const std::string& path) {
    for (const std::string& db : {sys_, fstat_}) {
      fs::remove_all(db);
      fs::create_directories(fs::path(db).parent_path());
    }
    KELOSessionInfo info{0, "Sync", "", 0, 0, 10, 0, root_, ""};
    ASSERT_EQ(SystemDB::initialize(sys_) + SystemDB::addNewSessionInfo(info, 1), 0);
    ASSERT_EQ(info.id, 1u);
    LogCapture quiet;  // paths over 1039 bytes are refused with a line
    ASSERT_EQ(FileStatusDB::initialize(fstat_), 0);
    static_cast<void>(FileStatusDB::setFileSyncStat(Entry(path, 0, 3)));  // refused when too long
    TearDown();
  }

  int Badge(const std::string& path) {
    kelo::LinuxOverlayPlatform platform(home_.path());
    const kelo::BadgeSpec* badge = kelo::ResolveOverlayBadge(platform, path.c_str()).badge;
    return badge != nullptr ? badge->code : 0;
  }

  int Do(Op op) {
    KELOSessionInfo session;
    FileStatusInfo entry;
    if (op == kBadge) return Badge(file_);
    if (op == kOpenRegistry) return SystemDB::initialize(sys_);
    if (op == kUpdateRegistry) return SystemDB::disableAllSession();  // on the open registry
    if (op == kLookup && SystemDB::getSessionInfoByFilePath(sys_, file_, &session) != 0) return -1;
    if (op == kLookup) return static_cast<int>(session.id);
    static_cast<void>(FileStatusDB::initialize(fstat_));  // the read or write below reports
    return op == kRead ? FileStatusDB::getFileSyncStat(file_, &entry)
                       : FileStatusDB::setFileSyncStat(Entry(file_, 0, 1));
  }

  std::string Files() { return Bytes(sys_) + "\n--\n" + Bytes(fstat_); }

  kelo_test::TempDir home_;
  const std::string root_ = home_.path() + "/Sync";
  const std::string file_ = root_ + "/a";
  const std::string sys_ = kelo::SystemDbPath(home_.path());
  const std::string fstat_ = kelo::FileStatusDbPath(home_.path(), 1);
};

// Each hostile name as a path to resolve, an entry of the session's store (beside near misses an
// unescaped wildcard would find or remove) and a share, session and folder of the registry.
TEST_F(Hostile, ValuesKeepTheirMeaningAndCannotChangeTheSql) {
  const char* const decoys[] = {"/z", "/z/child", "/zz/child", "/n"};
  // Quotes, an injection into either database, LIKE and GLOB wildcards, a newline, invalid and
  // cut UTF-8; and names that make the path 1038-1041 and 4094-4097 bytes long.
  // clang-format off
  std::vector<std::string> names = {
      "it's", "'; DROP TABLE session_table; --", "x'); DROP TABLE fstatinfo; --", "%", "_", "\\",
      "z*", "?", "[z]", "[", "line\nbreak", "\xff\xfe", "caf\xc3"};
  // clang-format on
  for (size_t length : {1038, 1039, 1040, 1041, 4094, 4095, 4096, 4097})
    names.push_back(std::string(length - root_.size() - 1, 'n'));
  const auto run = [&](const std::string& name) {
    const std::string p = root_ + "/" + name;
    // The store takes paths of up to 1039 bytes, the registry values of up to 1023 (the folder
    // is registered as "<p>/f/"), the Finder only UTF-8 ones.
    const bool fits = p.size() <= FileStatusDB::kMaxPathLen;
    const bool child_fits = p.size() + 2 <= FileStatusDB::kMaxPathLen;
    const bool registered = p.size() + 3 < SystemDB::kValueBufferSize;
    const bool shown = kelo::IsValidUtf8(p) && p.size() < SystemDB::kValueBufferSize;
    MakeHome(p);
    LogCapture log;
    ASSERT_EQ(FileStatusDB::initialize(fstat_), 0);
    for (const char* d : decoys)
      ASSERT_EQ(FileStatusDB::setFileSyncStat(Entry(root_ + d, 0, 2)), 0);
    EXPECT_EQ(FileStatusDB::setFileSyncStat(Entry(p, 1, 1)), fits ? 0 : -1);
    EXPECT_EQ(FileStatusDB::setFileSyncStat(Entry(p + "/c", 0, 2)), child_fits ? 0 : -1);
    ASSERT_EQ(SystemDB::initialize(sys_), 0);
    // A folder "<p>/f/" holds "<p>/f" (its trailing slash aside), not p itself.
    KELOSessionInfo info{0, name, name, 0, 2, 10, 0, p + "/f/", ""}, found, decoy;
    EXPECT_EQ(SystemDB::addNewSessionInfo(info, 1), registered ? 0 : -1);
    EXPECT_EQ(SystemDB::updateSessionInfo(info), registered ? 0 : -1);
    EXPECT_EQ(SystemDB::setSessionStatus(name, 11), name.size() < 1024 ? 0 : -1);
    const std::string before = Files();
    FileStatusInfo entry;
    std::string folder;
    // p is a synced folder with a syncing entry below it: that shows syncing.
    EXPECT_EQ(Badge(p), shown ? kelo::kStateSyncing : 0);
    EXPECT_EQ(FileStatusDB::getFileSyncStat(p, &entry), fits ? 0 : -1);
    EXPECT_EQ(FileStatusDB::isAnySubFileDirSyncing(p), child_fits);
    EXPECT_EQ(SystemDB::getSessionInfoByFilePath(sys_, p + "/f", &found), registered ? 0 : -1);
    EXPECT_EQ(SystemDB::getSessionInfoByFilePath(sys_, root_ + "/z/f", &decoy), 0);
    EXPECT_EQ(SystemDB::getSyncFolder(name, folder), registered ? 0 : -1);
    EXPECT_TRUE(Files() == before) << "a read changed a file";
    EXPECT_EQ(entry, fits ? Entry(p, 1, 1) : FileStatusInfo());
    const KELOSessionInfo added{2, name, name, 0, 2, 11, 0, p + "/f/", ""};
    EXPECT_EQ(found, registered ? added : KELOSessionInfo());
    EXPECT_EQ(folder, registered ? p + "/f/" : "");
    EXPECT_EQ(decoy, (KELOSessionInfo{1, "Sync", "", 0, 0, 10, 0, root_, ""}))
        << "a wildcard took a sibling's path";
    EXPECT_EQ(FileStatusDB::rmFileSyncStat(Entry(p, 0, 0)), fits ? 0 : -1);
    EXPECT_EQ(FileStatusDB::getFileSyncStat(p, &entry), -1);
    EXPECT_FALSE(FileStatusDB::isAnySubFileDirSyncing(p));
    for (const char* d : decoys) EXPECT_EQ(FileStatusDB::getFileSyncStat(root_ + d, &entry), 0);
    EXPECT_EQ(Logged(log, "path is too long"), !child_fits) << log.Text();
    EXPECT_EQ(Logged(log, "is longer than its limit"), !registered) << log.Text();
    TearDown();
  };
  for (const std::string& name : names) {
    SCOPED_TRACE("name of " + std::to_string(name.size()) + " bytes: " + name.substr(0, 40));
    std::string harmless = name;  // ASCII bytes, the only ones SQL gives a meaning, as 'a'
    for (char& c : harmless) c = static_cast<unsigned char>(c) < 0x80 ? 'a' : c;
    const std::vector<std::string> hostile = Skeletons([&] { run(name); });
    EXPECT_GT(hostile.size(), 10u);
    EXPECT_EQ(hostile, Skeletons([&] { run(harmless); })) << "a value changed the SQL around it";
  }
}

// A damaged, read-only or briefly locked file (the registry's when `sys`, else the store's)
// and a missing home: an operation's result and the line it logs ("": nothing). The files stay
// as they were unless the operation writes or the file was empty; nothing creates the home.
// Opening the registry used to fail at once under another connection's read lock.
TEST_F(Hostile, DamagedReadOnlyAndLockedFilesGiveTheirResultOrFailCleanly) {
  const std::tuple<bool, Damage, Op, int, const char*> cases[] = {
      {false, kNotSqlite, kBadge, 0, "errmsg:[file is not a database]"},
      {false, kNotSqlite, kRead, -1, "get fstat info failed."},
      {false, kNotSqlite, kWrite, -1, "sqlite3_exec error. errCode:(26)"},
      {false, kEmpty, kBadge, 0, ""},
      {false, kEmpty, kRead, -1, ""},
      {false, kDirectory, kBadge, 0, "open db failed."},
      {false, kDirectory, kWrite, SQLITE_CANTOPEN, "errCode:[14]"},
      {true, kNotSqlite, kBadge, 0, ""},
      {true, kEmpty, kLookup, 0, ""},
      {true, kDirectory, kLookup, -1, ""},
      {true, kDirectory, kBadge, 0, ""},
      {true, kNoHome, kBadge, 0, ""},
      {true, kNoHome, kOpenRegistry, -1, "SystemDB: Failed to open database at"},
      {false, kReadOnly, kBadge, kelo::kStateUnsupported, ""},
      {false, kReadOnly, kRead, 0, ""},
      {false, kReadOnly, kWrite, -1, "attempt to write a readonly database"},
      {false, kLocked, kBadge, kelo::kStateUnsupported, ""},
      {false, kReadLocked, kWrite, 0, ""},
      {true, kLocked, kBadge, kelo::kStateUnsupported, ""},
      {true, kLocked, kOpenRegistry, 0, ""},
      {true, kReadLocked, kOpenRegistry, 0, ""},
      {true, kLocked, kUpdateRegistry, 0, ""},
      {true, kReadLocked, kUpdateRegistry, 0, ""}};
  for (const auto& c : cases) {
    SCOPED_TRACE("row " + std::to_string(&c - cases));
    const auto& [sys, damage, op, expected, logged] = c;
    MakeHome(file_);
    const std::string& db = sys ? sys_ : fstat_;
    if (damage <= kNoHome) fs::remove_all(damage == kNoHome ? home_.path() : db);
    if (damage == kDirectory) fs::create_directory(db);
    if (damage <= kEmpty) kelo_test::WriteFile(db, std::string(damage == kEmpty ? 0 : 2048, 'k'));
    if (damage == kReadOnly) {
      chmod(home_.path().c_str(), 0755);
      for (const auto& entry : fs::recursive_directory_iterator(home_.path())) {
        chmod(entry.path().c_str(), entry.is_directory() ? 0755 : 0644);
      }
      chmod(db.c_str(), 0444);
      chmod(fs::path(db).parent_path().c_str(), 0555);
#ifdef __linux__
      if (geteuid() == 0) setfsuid(65534);  // root writes anywhere: open files as nobody
#endif
    }
    kelo::sqlite::Connection holder;
    std::thread release;
    if (damage >= kLocked) {  // held for 200 ms by another connection
      ASSERT_TRUE(op != kUpdateRegistry || SystemDB::initialize(sys_) == 0);
      holder = kelo_test::OpenSql(db);
      ASSERT_TRUE(holder);
      kelo_test::ExecSql(holder.get(), damage == kLocked ? "begin exclusive"
                                                         : "begin; select * from sqlite_master");
      release = std::thread([&holder] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        kelo_test::ExecSql(holder.get(), "commit");
      });
    }
    const bool home_existed = fs::exists(home_.path());
    const std::string before = Files();
    LogCapture log;
    EXPECT_EQ(Do(op), expected);
#ifdef __linux__
    setfsuid(geteuid());
#endif
    if (release.joinable()) release.join();
    holder.reset();
    EXPECT_TRUE(*logged != '\0' ? Logged(log, logged) : log.Text().empty()) << log.Text();
    const bool writes = op == kWrite || op >= kOpenRegistry || damage == kEmpty;
    EXPECT_TRUE((writes && damage != kReadOnly) || Files() == before) << "a file changed";
    EXPECT_EQ(fs::exists(home_.path()), home_existed) << "the call created the home";
    chmod(fs::path(db).parent_path().c_str(), 0755);
    TearDown();
  }
}

}  // namespace
