#include "bench/bench-cache.h"

#include <sqlite3.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <system_error>

#include "db/file-status-db/file-status-db.h"
#include "db/sqlite-owners.h"
#include "db/system-db/system-db.h"
#include "iconoverlay/badge-resolver.h"
#include "support/run-sql.h"

namespace kelo_bench {
namespace fs = std::filesystem;

namespace {

// Bump when the generated data changes, so an old cache is not taken for the new one.
constexpr char kFormat[] = "v4";
constexpr int kSessions = 50;
constexpr int kSessionStatusActive = 10;
// Which of the 50 sessions carries the tree of each benchmarked size.
const std::map<size_t, int> kSessionOfSize = {{1000, 17}, {100000, 29}, {1000000, 41}};

std::string SyncFolder(int session) {
  char name[64];
  std::snprintf(name, sizeof(name), "/Users/bench/Tarnvale/Share %02d", session);
  return name;
}

std::string ShareName(int session) {
  char name[32];
  std::snprintf(name, sizeof(name), "Share %02d", session);
  return name;
}

bool MakeParent(const std::string& path) {
  std::error_code error;
  fs::create_directories(fs::path(path).parent_path(), error);
  if (error)
    std::fprintf(stderr, "cannot create the folder of %s: %s\n", path.c_str(),
                 error.message().c_str());
  return !error;
}

void Remove(const std::string& path) {
  std::error_code ignored;
  fs::remove(path, ignored);
  fs::remove(path + "-journal", ignored);
}

long long CountEntries(const std::string& db_path) {
  kelo::sqlite::Connection db;
  kelo::sqlite::Open(db_path, kelo::sqlite::kReadOnly, &db);
  sqlite3_stmt* raw = nullptr;
  sqlite3_prepare_v2(db.get(), "select count(*) from fstatinfo", -1, &raw, nullptr);
  kelo::sqlite::Statement stmt(raw);
  return stmt && sqlite3_step(raw) == SQLITE_ROW ? sqlite3_column_int64(raw, 0) : -1;
}

std::string ReadyFile(const std::string& root, size_t entries) {
  return root + "/size-" + std::to_string(entries) + ".ready";
}

// Runs `sql` on `db_path`. Returns 0, or -1 after printing SQLite's error.
int Exec(const std::string& db_path, const char* sql) {
  std::string error;
  if (kelo_test::RunSql(db_path, sql, nullptr, &error) == SQLITE_OK) return 0;
  std::fprintf(stderr, "%s failed on %s: %s\n", sql, db_path.c_str(), error.c_str());
  return -1;
}

}  // namespace

BenchCache::BenchCache(std::string dir) : root_(std::move(dir) + "/" + kFormat) {}

std::string BenchCache::DefaultDir() {
  const char* env = std::getenv("KELO_BENCH_CACHE");
  if (env != nullptr && env[0] != '\0') return env;
  return KELO_BENCH_DEFAULT_CACHE;
}

std::string BenchCache::Home(Variant variant) const {
  return root_ + (variant == Variant::kWith ? "/with" : "/without");
}

std::string BenchCache::FileStatusDb(Variant variant, size_t entries) const {
  return kelo::FileStatusDbPath(Home(variant), session_of_size_.at(entries));
}

std::string BenchCache::ScratchDir() const { return root_ + "/scratch"; }

int BenchCache::Prepare(const std::vector<size_t>& sizes) {
  std::error_code error;
  fs::remove_all(ScratchDir(), error);
  fs::create_directories(ScratchDir(), error);
  if (error) {
    std::fprintf(stderr, "cannot create %s: %s\n", ScratchDir().c_str(), error.message().c_str());
    return -1;
  }
  if (PrepareSystemDb() != 0) return -1;
  for (size_t entries : sizes) {
    const auto session = kSessionOfSize.find(entries);
    if (session == kSessionOfSize.end()) {
      std::fprintf(stderr, "no session holds a tree of %zu entries\n", entries);
      return -1;
    }
    // The session's row id, as the drawing path will find it by the folder's path.
    KELOSessionInfo info;
    const std::string sys_db = kelo::SystemDbPath(Home(Variant::kWith));
    if (SystemDB::getSessionInfoByFilePath(sys_db, SyncFolder(session->second), &info) != 0 ||
        info.id == 0) {
      std::fprintf(stderr, "session %d is missing from %s\n", session->second, sys_db.c_str());
      return -1;
    }
    session_of_size_[entries] = info.id;
    if (LoadSize(entries, info.id) == 0) continue;
    if (PrepareSize(entries, info.id) != 0) return -1;
    if (LoadSize(entries, info.id) != 0) {
      std::fprintf(stderr, "%s is incomplete\n", ReadyFile(root_, entries).c_str());
      return -1;
    }
  }
  return 0;
}

int BenchCache::PrepareSystemDb() {
  const std::string with = kelo::SystemDbPath(Home(Variant::kWith));
  const std::string without = kelo::SystemDbPath(Home(Variant::kWithout));
  const std::string ready = root_ + "/sys.ready";
  if (fs::exists(ready) && fs::exists(with) && fs::exists(without)) return 0;

  std::fprintf(stderr, "bench cache: writing a system database of %d sessions\n", kSessions);
  if (!MakeParent(with) || !MakeParent(without)) return -1;
  Remove(with);
  if (SystemDB::initialize(with) != 0) return -1;
  int rc = 0;
  KELOConnectionInfo connection;
  connection.server_name = "bench-server";
  connection.server_ip = "127.0.0.1";
  connection.server_port = 6690;
  connection.username = "bench";
  connection.vault_id = "vault-bench";
  rc |= SystemDB::setConnectionInfo(connection, TunnelInfo());
  for (int session = 1; session <= kSessions && rc == 0; ++session) {
    KELOSessionInfo info;
    info.share_name = ShareName(session);
    info.sync_folder = SyncFolder(session);
    info.view_id = 1000 + session;
    info.attribute = SystemDB::kEnabledBit;
    info.computer_name = "bench-host";
    rc |= SystemDB::addNewSessionInfo(info, connection.id);
    info.session = "session-" + std::to_string(session);
    // Most sessions show badges; a few are paused or not started.
    info.status = session % 7 == 0 ? 12 : session % 11 == 0 ? 0 : kSessionStatusActive;
    rc |= SystemDB::updateSessionInfo(info);
  }
  SystemDB::destroy();
  if (rc != 0) {
    std::fprintf(stderr, "writing the system database %s failed\n", with.c_str());
    return -1;
  }
  if (kelo_test::CopyFile(with, without) != 0) return -1;
  std::ofstream(ready) << kSessions << " sessions\n";
  return 0;
}

int BenchCache::PrepareSize(size_t entries, uint64_t session_id) {
  const std::string with = FileStatusDb(Variant::kWith, entries);
  const std::string without = FileStatusDb(Variant::kWithout, entries);
  if (!MakeParent(with) || !MakeParent(without)) return -1;
  Remove(with);
  Remove(without);

  std::fprintf(stderr, "bench cache: generating %zu entries for session %llu\n", entries,
               static_cast<unsigned long long>(session_id));
  for (const auto& [size, session] : kSessionOfSize) {
    if (size != entries) continue;
    TreeLandmarks marks;
    const std::vector<kelo_test::FstatRow> tree =
        GenerateTree(SyncFolder(session), entries, &marks);
    // The file the client made before the lookup indexes: the schema of initialize(), its
    // lookup indexes swapped for the placeholders before any row arrives.
    if (FileStatusDB::initialize(without) != 0 ||
        Exec(without, kelo_test::kDropLookupIndexes) != 0 ||
        Exec(without, kelo_test::kLookupIndexPlaceholders) != 0 ||
        kelo_test::WriteEntries(without, tree) != 0) {
      return -1;
    }
    if (CountEntries(without) != static_cast<long long>(entries)) {
      std::fprintf(stderr, "%s holds %lld entries instead of %zu\n", without.c_str(),
                   CountEntries(without), entries);
      return -1;
    }
    // The same file after its first initialize() by today's code: placeholders gone, the
    // lookup indexes built once over the existing rows.
    if (kelo_test::CopyFile(without, with) != 0 || Exec(with, kelo_test::kDropLookupIndexes) != 0) {
      return -1;
    }
    const auto start = std::chrono::steady_clock::now();
    const int rc = FileStatusDB::initialize(with);
    const std::chrono::duration<double> build = std::chrono::steady_clock::now() - start;
    if (rc != 0) return -1;
    std::fprintf(stderr, "bench cache: first initialize() built the lookup indexes in %.3f s\n",
                 build.count());

    std::ofstream ready(ReadyFile(root_, entries));
    ready << "root=" << marks.root << "\nbig_folder=" << marks.big_folder
          << "\nfolder=" << marks.folder << "\nfile=" << marks.file
          << "\ncase_variant=" << marks.case_variant
          << "\nfirst_index_build_seconds=" << build.count() << "\n";
    ready.close();
    return ready ? 0 : -1;
  }
  return -1;
}

int BenchCache::LoadSize(size_t entries, uint64_t session_id) {
  std::ifstream ready(ReadyFile(root_, entries));
  if (!ready || !fs::exists(FileStatusDb(Variant::kWith, entries)) ||
      !fs::exists(FileStatusDb(Variant::kWithout, entries))) {
    return -1;
  }
  SizeData data;
  data.entries = entries;
  data.session_id = session_id;
  std::string line;
  while (std::getline(ready, line)) {
    const size_t eq = line.find('=');
    if (eq == std::string::npos) continue;
    const std::string key = line.substr(0, eq), value = line.substr(eq + 1);
    if (key == "root") data.marks.root = value;
    if (key == "big_folder") data.marks.big_folder = value;
    if (key == "folder") data.marks.folder = value;
    if (key == "file") data.marks.file = value;
    if (key == "case_variant") data.marks.case_variant = value;
    if (key == "first_index_build_seconds")
      data.first_index_build_seconds = std::atof(value.c_str());
  }
  if (data.marks.root.empty() || data.marks.big_folder.empty() || data.marks.folder.empty() ||
      data.marks.file.empty()) {
    return -1;
  }
  sizes_[entries] = data;
  return 0;
}

}  // namespace kelo_bench
