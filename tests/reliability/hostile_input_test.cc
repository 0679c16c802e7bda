// Hostile values and hostile files through the public operations of both databases and the
// badge resolution. Every case must give its documented result or fail cleanly with its log
// line; reads must leave schema and rows as they were; and no value may change the SQL
// around it: every statement SQLite runs is recorded, its string literals blanked, and the
// result compared with the run of a harmless value of the same length.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "db/file-status-db/file-status-db.h"
#include "db/system-db/system-db.h"
#include "iconoverlay/badge-resolver.h"
#include "iconoverlay/linux-platform.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using kelo_test::LogCapture;
using kelo_test::TempDir;

// --- Statement recording ------------------------------------------------------------------

std::mutex g_statements_mutex;
std::vector<std::string> g_statements;

int RecordStatement(unsigned, void*, void*, void* sql) {
  std::lock_guard<std::mutex> lock(g_statements_mutex);
  g_statements.push_back(static_cast<const char*>(sql));
  return 0;
}

int TraceEveryConnection(sqlite3* db, const char**, const sqlite3_api_routines*) {
  sqlite3_trace_v2(db, SQLITE_TRACE_STMT, RecordStatement, nullptr);
  return SQLITE_OK;
}

// The statements run by `operation`, each with its string literals replaced by "?".
std::vector<std::string> Skeletons(const std::function<void()>& operation) {
  static const bool registered =
      sqlite3_auto_extension(reinterpret_cast<void (*)()>(TraceEveryConnection)) == SQLITE_OK;
  EXPECT_TRUE(registered);
  {
    std::lock_guard<std::mutex> lock(g_statements_mutex);
    g_statements.clear();
  }
  operation();
  std::lock_guard<std::mutex> lock(g_statements_mutex);
  std::vector<std::string> skeletons;
  for (const std::string& sql : g_statements) {
    std::string skeleton;
    for (size_t i = 0; i < sql.size(); ++i) {
      if (sql[i] != '\'') {
        skeleton += sql[i];
        continue;
      }
      // A literal ends at a quote that is not doubled.
      for (++i; i < sql.size() && !(sql[i] == '\'' && (i + 1 == sql.size() || sql[i + 1] != '\''));
           ++i) {
        if (sql[i] == '\'') ++i;
      }
      skeleton += '?';
    }
    skeletons.push_back(skeleton);
  }
  return skeletons;
}

// --- Databases as text --------------------------------------------------------------------

std::string Dump(const std::string& path) {
  sqlite3* db = nullptr;
  std::string dump;
  const auto query = [&](const std::string& sql) {
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr) != SQLITE_OK) {
      dump += "unreadable: " + sql + "\n";
      return std::vector<std::string>();
    }
    std::vector<std::string> tables;
    while (sqlite3_step(stmt) == SQLITE_ROW) {
      for (int c = 0; c < sqlite3_column_count(stmt); ++c) {
        const unsigned char* text = sqlite3_column_text(stmt, c);
        dump += text != nullptr ? reinterpret_cast<const char*>(text) : "NULL";
        dump += '|';
      }
      dump += '\n';
      if (sqlite3_column_count(stmt) == 2) {
        tables.push_back(reinterpret_cast<const char*>(sqlite3_column_text(stmt, 1)));
      }
    }
    sqlite3_finalize(stmt);
    return tables;
  };
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
    query("select sql, name from sqlite_master order by name");
    for (const std::string& table :
         query("select type, name from sqlite_master where type = 'table' order by name")) {
      query("select * from \"" + table + "\" order by rowid");
    }
  }
  sqlite3_close(db);
  return dump;
}

// A file's bytes; "" for a directory or nothing.
std::string Bytes(const std::string& path) {
  return fs::is_regular_file(path) ? kelo_test::ReadFile(path) : std::string();
}

bool Logged(const LogCapture& log, const std::string& text) {
  for (const std::string& line : log.Lines()) {
    if (line.find(text) != std::string::npos) return true;
  }
  return false;
}

// --- Hostile values -----------------------------------------------------------------------

struct Hostile {
  const char* what;
  std::string name;  // a file name; paths are <root>/<name>
};

// Names, plus names that make <root>/<name> exactly `length` bytes long.
std::vector<Hostile> HostileNames(const std::string& root) {
  std::vector<Hostile> names = {
      {"quote", "it's"},
      {"injection", "'; DROP TABLE session_table; --"},
      {"injection into the file table", "x'); DROP TABLE fstatinfo; --"},
      {"percent", "%"},
      {"underscore", "_"},
      {"backslash", "\\"},
      {"asterisk", "z*"},
      {"question mark", "?"},
      {"bracket set", "[z]"},
      {"open bracket", "["},
      {"newline", "line\nbreak"},
      {"invalid UTF-8", "\xff\xfe"},
      {"cut UTF-8 sequence", "caf\xc3"},
  };
  for (size_t length : {1038, 1039, 1040, 1041, 4094, 4095, 4096, 4097}) {
    names.push_back({"length", std::string(length - root.size() - 1, 'n')});
  }
  return names;
}

std::string Printable(const Hostile& h, const std::string& path) {
  return std::string(h.what) + ", path of " + std::to_string(path.size()) +
         " bytes: " + (path.size() > 80 ? path.substr(0, 40) + "..." : path);
}

FileStatusInfo Info(const std::string& path, int type, int state) {
  FileStatusInfo info;
  info.path = path;
  info.fileType = type;
  info.syncStatus = state;
  return info;
}

// Entries that a wildcard left unescaped would wrongly find or remove.
const char* const kDecoys[] = {"/z", "/z/child", "/zz/child", "/n"};

TEST(HostileValues, FileStatusOperations) {
  TempDir dir;
  const std::string db = dir / "file-status.sqlite";
  const std::string root = dir.path() + "/Sync";
  for (const Hostile& h : HostileNames(root)) {
    const std::string path = root + "/" + h.name;
    SCOPED_TRACE(Printable(h, path));
    const auto run = [&](const std::string& p, bool check) {
      fs::remove(db);
      ASSERT_EQ(FileStatusDB::initialize(db), 0);
      for (const char* decoy : kDecoys) {
        ASSERT_EQ(FileStatusDB::setFileSyncStat(Info(root + decoy, 0, 2)), 0);
      }
      const bool fits = p.size() <= FileStatusDB::kMaxPathLen;
      const bool child_fits = p.size() + 2 <= FileStatusDB::kMaxPathLen;
      LogCapture log;
      FileStatusInfo info = Info("untouched", 7, 7);
      std::string before = Dump(db);
      EXPECT_EQ(FileStatusDB::getFileSyncStat(p, &info), -1);  // not recorded yet
      EXPECT_EQ(FileStatusDB::setFileSyncStat(Info(p, 1, 1)), fits ? 0 : -1);
      EXPECT_EQ(FileStatusDB::setFileSyncStat(Info(p + "/c", 0, 2)), child_fits ? 0 : -1);
      before = Dump(db);
      EXPECT_EQ(FileStatusDB::getFileSyncStat(p, &info), fits ? 0 : -1);
      EXPECT_EQ(FileStatusDB::isAnySubFileDirSyncing(p), child_fits);
      EXPECT_EQ(Dump(db), before) << "a read changed the database";
      if (check && fits) {
        EXPECT_EQ(info.path, p);
        EXPECT_EQ(info.fileType, 1);
        EXPECT_EQ(info.syncStatus, 1);
      }
      EXPECT_EQ(FileStatusDB::rmFileSyncStat(Info(p, 0, 0)), fits ? 0 : -1);
      EXPECT_EQ(FileStatusDB::getFileSyncStat(p, &info), -1);
      EXPECT_FALSE(FileStatusDB::isAnySubFileDirSyncing(p));
      for (const char* decoy : kDecoys) {
        EXPECT_EQ(FileStatusDB::getFileSyncStat(root + decoy, &info), 0) << decoy;
      }
      if (check && !fits) {
        EXPECT_TRUE(Logged(log, "path is too long"));
      }
      FileStatusDB::m_fstatDBPath.clear();
    };
    const std::vector<std::string> hostile = Skeletons([&] { run(path, true); });
    const std::vector<std::string> harmless =
        Skeletons([&] { run(root + "/" + std::string(h.name.size(), 'a'), false); });
    EXPECT_EQ(hostile, harmless) << "a value changed the SQL around it";
  }
}

TEST(HostileValues, SessionOperations) {
  TempDir dir;
  const std::string db = dir / "sys.sqlite";
  const std::string root = dir.path() + "/Sync";
  for (const Hostile& h : HostileNames(root)) {
    const std::string folder = root + "/" + h.name;
    SCOPED_TRACE(Printable(h, folder));
    const auto run = [&](const std::string& name, bool check) {
      const std::string f = root + "/" + name;
      fs::remove(db);
      ASSERT_EQ(SystemDB::initialize(db), 0);
      KELOSessionInfo plain;
      plain.share_name = "plain";
      plain.status = 10;
      plain.sync_folder = root;
      ASSERT_EQ(SystemDB::addNewSessionInfo(plain, 1), 0);
      // Values and paths up to 1023 bytes are taken; the path looked up is the folder's "/f".
      const size_t limit = SystemDB::kValueBufferSize - 1;
      const bool fits = f.size() + 2 <= limit;
      const bool name_fits = name.size() <= limit;
      LogCapture log;
      KELOSessionInfo info;
      info.share_name = name;
      info.view_id = 2;
      info.status = 10;
      info.sync_folder = f;
      EXPECT_EQ(SystemDB::addNewSessionInfo(info, 1), fits ? 0 : -1);
      info.session = name;
      EXPECT_EQ(SystemDB::updateSessionInfo(info), fits ? 0 : -1);
      EXPECT_EQ(SystemDB::setSessionStatus(name, 11), name_fits ? 0 : -1);

      const std::string before = Dump(db);
      KELOSessionInfo found, decoy;
      std::string folder_found;
      EXPECT_EQ(SystemDB::getSessionInfoByFilePath(db, f + "/f", &found), fits ? 0 : -1);
      EXPECT_EQ(SystemDB::getSessionInfoByFilePath(db, root + "/z/f", &decoy), 0);
      EXPECT_EQ(SystemDB::getSyncFolder(name, folder_found), fits ? 0 : -1);
      EXPECT_EQ(Dump(db), before) << "a read changed the database";
      if (check) {
        EXPECT_EQ(decoy.sync_folder, root) << "another folder's wildcard took the path";
        EXPECT_EQ(decoy.status, 10);
      }
      if (check && fits) {
        EXPECT_EQ(found.sync_folder, f);
        EXPECT_EQ(found.share_name, name);
        EXPECT_EQ(found.session, name);
        EXPECT_EQ(found.status, 11);
        EXPECT_EQ(folder_found, f);
      }
      if (check && !fits) {
        EXPECT_TRUE(Logged(log, "is longer than its limit"));
      }
      SystemDB::destroy();
    };
    const std::vector<std::string> hostile = Skeletons([&] { run(h.name, true); });
    const std::vector<std::string> harmless =
        Skeletons([&] { run(std::string(h.name.size(), 'a'), false); });
    EXPECT_EQ(hostile, harmless) << "a value changed the SQL around it";
  }
}

// --- Badge resolution on hostile paths and hostile files ----------------------------------

class HostileHome : public testing::Test {
 public:
  void SetUp() override {
    fs::create_directories(fs::path(sys_).parent_path());
    fs::create_directories(fs::path(fstat_).parent_path());
    ASSERT_EQ(SystemDB::initialize(sys_), 0);
    KELOSessionInfo info;
    info.share_name = "Sync";
    info.status = 10;
    info.sync_folder = root_;
    ASSERT_EQ(SystemDB::addNewSessionInfo(info, 1), 0);
    ASSERT_EQ(info.id, 1u);
    SystemDB::destroy();
    ASSERT_EQ(FileStatusDB::initialize(fstat_), 0);
    ASSERT_EQ(FileStatusDB::setFileSyncStat(Info(file_, 0, 3)), 0);
    FileStatusDB::m_fstatDBPath.clear();
  }
  void TearDown() override { FileStatusDB::m_fstatDBPath.clear(); }

  const kelo::BadgeSpec* Badge(const std::string& path) {
    kelo::LinuxOverlayPlatform platform(home_.path());
    return kelo::ResolveOverlayBadge(platform, path.c_str()).badge;
  }

  TempDir home_;
  const std::string root_ = home_.path() + "/Sync";
  const std::string file_ = root_ + "/a";
  const std::string sys_ = kelo::SystemDbPath(home_.path());
  const std::string fstat_ = kelo::FileStatusDbPath(home_.path(), 1);
};

TEST_F(HostileHome, PathsGetTheirBadgeOrNoneAndChangeNothing) {
  for (const Hostile& h : HostileNames(root_)) {
    const std::string path = root_ + "/" + h.name;
    SCOPED_TRACE(Printable(h, path));
    {
      LogCapture quiet;  // paths over 1039 bytes are refused with a line
      FileStatusDB::initialize(fstat_);
      FileStatusDB::setFileSyncStat(Info(path, 0, 3));
      FileStatusDB::m_fstatDBPath.clear();
    }
    const std::string sys_before = Dump(sys_);
    const std::string fstat_before = Dump(fstat_);
    // The session lookup takes paths of up to 1023 bytes, the Finder's only UTF-8 ones.
    const bool shown = kelo::IsValidUtf8(path) && path.size() < SystemDB::kValueBufferSize;
    const kelo::BadgeSpec* badge = Badge(path);
    EXPECT_EQ(badge != nullptr ? badge->code : 0, shown ? kelo::kStateUnsupported : 0);
    EXPECT_EQ(Dump(sys_), sys_before);
    EXPECT_EQ(Dump(fstat_), fstat_before);
  }
}

// What a hostile file does to each operation: its result and the line it logs ("" when it
// must log nothing).
struct FileCase {
  const char* what;
  std::function<void(HostileHome&)> damage;
  std::function<int(HostileHome&)> operation;
  int expected;
  const char* logged;
  bool writes;  // may change the files (creates a schema or records an entry)
};

void MakeNotSqlite(const std::string& path) {
  fs::remove(path);
  kelo_test::WriteFile(path, std::string(2048, 'k'));
}
void MakeEmpty(const std::string& path) {
  fs::remove(path);
  kelo_test::WriteFile(path, "");
}
void MakeDirectory(const std::string& path) {
  fs::remove(path);
  fs::create_directory(path);
}

int BadgeCode(HostileHome& t) {
  const kelo::BadgeSpec* badge = t.Badge(t.file_);
  return badge != nullptr ? badge->code : 0;
}
int ReadEntry(HostileHome& t) {
  FileStatusDB::initialize(t.fstat_);
  FileStatusInfo info;
  return FileStatusDB::getFileSyncStat(t.file_, &info);
}
int WriteEntry(HostileHome& t) {
  FileStatusDB::initialize(t.fstat_);
  return FileStatusDB::setFileSyncStat(Info(t.file_, 0, 1));
}
int LookUpSession(HostileHome& t) {
  KELOSessionInfo info;
  const int rc = SystemDB::getSessionInfoByFilePath(t.sys_, t.file_, &info);
  return rc != 0 ? rc : static_cast<int>(info.id);
}

std::vector<FileCase> FileCases() {
  const auto fstat = [](void (*make)(const std::string&)) {
    return [make](HostileHome& t) { make(t.fstat_); };
  };
  const auto sys = [](void (*make)(const std::string&)) {
    return [make](HostileHome& t) { make(t.sys_); };
  };
  return {
      {"file status db not SQLite: badge", fstat(MakeNotSqlite), BadgeCode, 0,
       "errmsg:[file is not a database]", false},
      {"file status db not SQLite: read", fstat(MakeNotSqlite), ReadEntry, -1,
       "get fstat info failed.", false},
      {"file status db not SQLite: write", fstat(MakeNotSqlite), WriteEntry, -1,
       "sqlite3_exec error. errCode:(26)", true},
      {"file status db empty: badge", fstat(MakeEmpty), BadgeCode, 0, "", true},
      {"file status db empty: read", fstat(MakeEmpty), ReadEntry, -1, "", true},
      {"file status db a directory: badge", fstat(MakeDirectory), BadgeCode, 0, "open db failed.",
       false},
      {"file status db a directory: write", fstat(MakeDirectory), WriteEntry, SQLITE_CANTOPEN,
       "errCode:[14]", true},
      {"system db not SQLite: badge", sys(MakeNotSqlite), BadgeCode, 0, "", false},
      {"system db not SQLite: lookup", sys(MakeNotSqlite), LookUpSession, -1, "", false},
      {"system db empty: lookup", sys(MakeEmpty), LookUpSession, 0, "", true},
      {"system db a directory: lookup", sys(MakeDirectory), LookUpSession, -1, "", false},
      {"system db a directory: badge", sys(MakeDirectory), BadgeCode, 0, "", false},
      {"home does not exist: badge", [](HostileHome& t) { fs::remove_all(t.home_.path()); },
       BadgeCode, 0, "", false},
      {"home does not exist: open the registry",
       [](HostileHome& t) { fs::remove_all(t.home_.path()); },
       [](HostileHome& t) { return SystemDB::initialize(t.sys_); }, -1,
       "SystemDB: Failed to open database at", false},
  };
}

TEST_F(HostileHome, DamagedFilesFailCleanlyWithTheirLogLine) {
  ASSERT_EQ(BadgeCode(*this), kelo::kStateUnsupported);
  for (const FileCase& c : FileCases()) {
    SCOPED_TRACE(c.what);
    fs::remove_all(home_.path());
    fs::create_directories(home_.path());
    SetUp();
    c.damage(*this);
    const bool home_existed = fs::exists(home_.path());
    const std::string sys_before = Bytes(sys_);
    const std::string fstat_before = Bytes(fstat_);
    LogCapture log;
    EXPECT_EQ(c.operation(*this), c.expected);
    if (*c.logged != '\0') {
      EXPECT_TRUE(Logged(log, c.logged)) << log.Text();
    } else {
      EXPECT_TRUE(log.Lines().empty()) << log.Text();
    }
    if (!c.writes) {
      EXPECT_EQ(Bytes(sys_), sys_before) << "the call changed the file";
      EXPECT_EQ(Bytes(fstat_), fstat_before) << "the call changed the file";
    }
    EXPECT_EQ(fs::exists(home_.path()), home_existed) << "the call created the home";
    SystemDB::destroy();
    FileStatusDB::m_fstatDBPath.clear();
  }
}

// A lock held by another connection for a short while, exclusive or a read transaction
// such as every badge lookup holds, is waited for; then every operation gives its ordinary
// result and logs nothing. Opening the registry used to fail at once under a reader.
TEST_F(HostileHome, ShortLocksAreWaitedFor) {
  const std::vector<std::pair<const char*, std::function<int(HostileHome&)>>> operations = {
      {"badge", BadgeCode},
      {"read", ReadEntry},
      {"write", WriteEntry},
      {"lookup", LookUpSession},
      {"open the registry", [](HostileHome& t) {
         const int rc = SystemDB::initialize(t.sys_);
         SystemDB::destroy();
         return rc;
       }}};
  const std::vector<int> expected = {kelo::kStateUnsupported, 0, 0, 1, 0};
  for (size_t i = 0; i < operations.size(); ++i) {
    for (const std::string& db : {sys_, fstat_}) {
      for (const char* lock : {"begin exclusive", "begin; select count(*) from sqlite_master"}) {
        SCOPED_TRACE(std::string(operations[i].first) + " while " + db + " is held by: " + lock);
        sqlite3* holder = nullptr;
        ASSERT_EQ(sqlite3_open(db.c_str(), &holder), SQLITE_OK);
        ASSERT_EQ(sqlite3_exec(holder, lock, nullptr, nullptr, nullptr), SQLITE_OK);
        std::thread release([holder] {
          std::this_thread::sleep_for(std::chrono::milliseconds(200));
          sqlite3_exec(holder, "commit", nullptr, nullptr, nullptr);
        });
        LogCapture log;
        EXPECT_EQ(operations[i].second(*this), expected[i]);
        release.join();
        sqlite3_close(holder);
        EXPECT_TRUE(log.Lines().empty()) << log.Text();
      }
    }
  }
}

// A read-only file (as another user; root writes anywhere) still answers reads; a write
// fails with its log line and leaves the rows alone.
TEST_F(HostileHome, ReadOnlyFileStatusDatabase) {
  for (const fs::path& p : {fs::path(home_.path()), fs::path(sys_).parent_path().parent_path(),
                            fs::path(sys_).parent_path(), fs::path(fstat_).parent_path(),
                            fs::path(fstat_).parent_path().parent_path(),
                            fs::path(fstat_).parent_path().parent_path().parent_path()}) {
    chmod(p.c_str(), 0755);
  }
  chmod(sys_.c_str(), 0644);
  chmod(fstat_.c_str(), 0444);
  chmod(fs::path(fstat_).parent_path().c_str(), 0555);
  const std::string before = Dump(fstat_);
  int pipe_fds[2];
  ASSERT_EQ(pipe(pipe_fds), 0);
  const pid_t child = fork();
  if (child == 0) {
    if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(3);
    LogCapture log;
    // One statement each: the operands of + have no set order of evaluation.
    std::string result = std::to_string(BadgeCode(*this));
    result += " " + std::to_string(ReadEntry(*this));
    result += " " + std::to_string(WriteEntry(*this));
    result += Logged(log, "attempt to write a readonly database") ? " logged" : " silent";
    if (write(pipe_fds[1], result.data(), result.size()) < 0) _exit(4);
    _exit(0);
  }
  close(pipe_fds[1]);
  char buffer[64] = {};
  const ssize_t n = read(pipe_fds[0], buffer, sizeof(buffer) - 1);
  close(pipe_fds[0]);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_EQ(std::string(buffer, n > 0 ? n : 0), "3 0 -1 logged");
  EXPECT_EQ(Dump(fstat_), before);
  chmod(fs::path(fstat_).parent_path().c_str(), 0755);
}

}  // namespace
