// Fuzzes badge resolution over a home directory whose client databases are damaged.
//
// At start-up the client's own writers build a valid pair of databases (sys.sqlite with an
// active and an inactive session, the active session's file-status.sqlite with entries of
// every state). Each input then damages copies of them and resolves a fixed set of paths
// through kelo::ResolveOverlayBadge, exactly as the Finder plug-in would.
//
// Input layout:
//   bytes 0-1  a bit set of hostile SQL edits (kEdits): wrong schemas, wrong types, huge
//              values, views, NULLs, an index that disagrees with its table, WAL mode
//   byte  2    bit 0/1 cut sys/file-status to the length in bytes 3-4/5-6; bit 2/3 make
//              it an empty file; bit 4/5 make it a directory; bit 6 remove file-status
//   bytes 7..  three-byte patches: a 16-bit offset (bit 15 picks file-status over sys,
//              taken modulo the file's size) and the byte to put there
//
// Checked beyond not crashing: a badge, when there is one, is the one of the code read,
// with its registered image; and while both files still pass SQLite's integrity check,
// the badge is justified by their rows: an active session (status 10 or 11, as the
// readers parse it) whose folder starts the path, and an entry of the path in that state,
// or a synced folder entry with a syncing entry below it.
#include <sqlite3.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "db/file-status-db/file-status-db.h"
#include "db/system-db/system-db.h"
#include "iconoverlay/badge-resolver.h"
#include "iconoverlay/linux-platform.h"
#include "log/log.h"

namespace {

namespace fs = std::filesystem;

constexpr char kRoot[] = "/kelo-fuzz/Sync";
constexpr int kSessionStatusActive = 10;

// Hostile edits, run on the fstat database with sys.sqlite attached as "sys". Errors are
// ignored: an edit that no longer applies after an earlier one simply does nothing.
constexpr const char* kEdits[16] = {
    "drop table fstatinfo;",
    // Columns in another order, so that the positional reader takes a huge id as the path.
    "drop table fstatinfo; create table fstatinfo(path text, id, syncStatus, fileType, x);"
    "insert into fstatinfo values('/kelo-fuzz/Sync/a.txt', hex(zeroblob(1600)), 2, 1, 0),"
    "('/kelo-fuzz/Sync/dir', 1, 1, 1, 'e'), ('/kelo-fuzz/Sync/dir/x', 2, 2, 2, NULL);",
    "update fstatinfo set syncStatus = syncStatus || 'abc';"
    "update fstatinfo set fileType = 1.5e300 where path like '%a.txt';"
    "update fstatinfo set syncStatus = x'32' where path like '%it''s';",
    "insert into fstatinfo(path, fileType, syncStatus) values"
    "('/kelo-fuzz/Sync/dir/' || hex(zeroblob(4000)), 0, 2),"
    "('/kelo-fuzz/Sync/huge', 9223372036854775807, -9223372036854775808);"
    "update fstatinfo set syncStatus = 4294967298 where path like '%50\\%\\_x' escape '\\';",
    "update sys.session_table set status = '10abc', attribute = 'x', view_id = 1e300;"
    "insert into sys.session_table(id, status, sync_folder)"
    " values(4294967297, 10, '/kelo-fuzz/Sync/dir');",
    "update sys.session_table set sync_folder = NULL where id = 1;"
    "insert into sys.session_table(id, status, sync_folder)"
    " values(7, 11, ''), (8, 10, '/kelo-fuzz/S%'), (9, 10, '/kelo-fuzz/Sync/_ir');",
    "drop table sys.session_table;",
    "drop table sys.session_table; create table sys.session_table(id INTEGER primary key,"
    " conn_id INTEGER, share_name TEXT, session TEXT, attribute INTEGER, ctime DATATIME,"
    " view_id INTEGER, status INTEGER, sync_folder TEXT);"
    "insert into sys.session_table(id, status, sync_folder) values(1, 10, '/kelo-fuzz/Sync');",
    "drop table sys.session_table; create table sys.session_table(id, status);"
    "insert into sys.session_table values(1, 10);",
    "insert into fstatinfo(path, fileType, syncStatus) values('/kelo-fuzz/SYNC/A.TXT', 0, 3),"
    "('/KELO-FUZZ/sync/dir/sub/B', 0, 2);",
    "drop table fstatinfo; create view fstatinfo as select 1 as id,"
    " '/kelo-fuzz/Sync/a.txt' as path, 0 as fileType, 2 as syncStatus"
    " union all select 2, '/kelo-fuzz/Sync/dir', 1, 1 union all select 3, '/kelo-fuzz/Sync/dir/q', "
    "0, 2;",
    "drop table fstatinfo; create view fstatinfo as with recursive n(i) as (select 1 union all"
    " select i + 1 from n where i < 3000) select i as id, '/kelo-fuzz/Sync/dir/' || i as path,"
    " 0 as fileType, 2 as syncStatus from n;",
    "pragma writable_schema = 1; update sqlite_master set sql ="
    " 'CREATE INDEX fstatinfo_path_idx on fstatinfo(syncStatus)' where name = 'fstatinfo_path_idx';"
    " pragma writable_schema = 0;",
    "drop table fstatinfo; create table fstatinfo(id integer primary key, path, fileType,"
    " syncStatus); insert into fstatinfo(path, fileType, syncStatus) values"
    "('/kelo-fuzz/Sync/a.txt', NULL, NULL), (NULL, 1, 2), ('/kelo-fuzz/Sync/dir', 1, 1),"
    "('/kelo-fuzz/Sync/dir/n', NULL, 2);",
    "pragma main.journal_mode = wal;",
    "pragma sys.journal_mode = wal;",
};

void Check(bool condition, const char* what, const std::string& path) {
  if (!condition) {
    std::fprintf(stderr, "invariant broken for '%s': %s\n", path.c_str(), what);
    std::abort();
  }
}

std::string ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteBytes(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

void RemoveWithCompanions(const std::string& path) {
  std::error_code ignored;
  for (const char* suffix : {"", "-wal", "-shm", "-journal"})
    fs::remove_all(path + suffix, ignored);
}

void ExecOn(const std::string& path, const std::string& sql) {
  sqlite3* db = nullptr;
  if (sqlite3_open(path.c_str(), &db) == SQLITE_OK) {
    sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr);
  }
  sqlite3_close(db);
}

struct Home {
  std::string dir;
  std::string sys;
  std::string fstat;
  std::string scratch;  // where edits are made
  std::string sys_image;
  std::string fstat_image;
};

// Lookup paths; all precomposed except the decomposed "cafe" + U+0301.
const std::vector<std::string>& Paths() {
  static const std::vector<std::string> paths = {
      kRoot,
      std::string(kRoot) + "/a.txt",
      std::string(kRoot) + "/dir",
      std::string(kRoot) + "/it's",
      std::string(kRoot) + "/50%_x",
      std::string(kRoot) + "/cafe\xCC\x81",
      "/kelo-fuzz/SYNC/A.TXT",
      "/kelo-fuzz/Other/x",
      "/elsewhere",
      std::string(kRoot) + "/" + std::string(1039 - sizeof(kRoot), 'l'),
  };
  return paths;
}

// Builds the valid databases with the client's writers, small pages keeping them short.
Home& TheHome() {
  static Home* home = [] {
    Home* h = new Home;
    // A memory file system when there is one: SQLite syncs every commit, and the runs
    // should be limited by the code under test, not by the disk.
    std::error_code no_shm;
    std::string pattern = fs::is_directory("/dev/shm", no_shm) && access("/dev/shm", W_OK) == 0
                              ? "/dev/shm/kelo-fuzz-resolve-XXXXXX"
                              : "/tmp/kelo-fuzz-resolve-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) std::abort();
    h->dir = pattern;
    h->sys = kelo::SystemDbPath(h->dir);
    h->fstat = kelo::FileStatusDbPath(h->dir, 1);
    h->scratch = h->dir + "/scratch";
    fs::create_directories(fs::path(h->sys).parent_path());
    fs::create_directories(fs::path(h->fstat).parent_path());
    fs::create_directories(h->scratch);
    std::atexit([] { fs::remove_all(TheHome().dir); });

    Logger::log_fp = std::fopen("/dev/null", "w");  // corrupt files make every call log
    const std::string sys = h->scratch + "/sys.sqlite";
    const std::string fstat = h->scratch + "/file-status.sqlite";
    for (const std::string& db : {sys, fstat}) ExecOn(db, "pragma page_size = 512; vacuum;");
    if (SystemDB::initialize(sys) != 0) std::abort();
    const struct {
      const char* share;
      const char* folder;
      int status;
    } sessions[] = {{"Sync", kRoot, kSessionStatusActive}, {"Other", "/kelo-fuzz/Other", 9}};
    for (const auto& [share, folder, status] : sessions) {
      KELOSessionInfo info;
      info.share_name = share;
      info.attribute = SystemDB::kEnabledBit;
      info.status = status;
      info.sync_folder = folder;
      if (SystemDB::addNewSessionInfo(info, 1) != 0) std::abort();
    }
    SystemDB::destroy();
    ExecOn(sys, "update session_table set ctime = 0;");  // the same bytes on every run

    if (FileStatusDB::initialize(fstat) != 0) std::abort();
    const struct {
      std::string path;
      int type;
      int state;
    } entries[] = {
        {kRoot, 1, 1},
        {std::string(kRoot) + "/a.txt", 0, 1},
        {std::string(kRoot) + "/dir", 1, 1},
        {std::string(kRoot) + "/dir/sub/b", 0, 2},
        {std::string(kRoot) + "/it's", 0, 3},
        {std::string(kRoot) + "/50%_x", 0, 2},
        {std::string(kRoot) + "/caf\xC3\xA9", 0, 1},
        {Paths().back(), 0, 3},
    };
    for (const auto& entry : entries) {
      FileStatusInfo info;
      info.path = entry.path;
      info.fileType = entry.type;
      info.syncStatus = entry.state;
      if (FileStatusDB::setFileSyncStat(info) != 0) std::abort();
    }
    FileStatusDB::m_fstatDBPath.clear();
    for (const std::string& db : {sys, fstat}) ExecOn(db, "vacuum;");
    h->sys_image = ReadBytes(sys);
    h->fstat_image = ReadBytes(fstat);
    return h;
  }();
  return *home;
}

// The images after the edits of `mask`, remembered per mask.
const std::pair<std::string, std::string>& Edited(uint16_t mask) {
  static std::map<uint16_t, std::pair<std::string, std::string>> cache;
  auto found = cache.find(mask);
  if (found != cache.end()) return found->second;
  if (cache.size() > 2048) cache.clear();
  Home& h = TheHome();
  const std::string sys = h.scratch + "/sys.sqlite";
  const std::string fstat = h.scratch + "/file-status.sqlite";
  RemoveWithCompanions(sys);
  RemoveWithCompanions(fstat);
  WriteBytes(sys, h.sys_image);
  WriteBytes(fstat, h.fstat_image);
  std::string script = "attach '" + sys + "' as sys;";
  for (int bit = 0; bit < 16; ++bit) {
    if (mask & (1u << bit)) ExecOn(fstat, script + kEdits[bit]);
  }
  return cache[mask] = {ReadBytes(sys), ReadBytes(fstat)};
}

uint16_t U16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

void Place(const std::string& path, std::string bytes, int flags, int cut_bit, int empty_bit,
           int dir_bit, uint16_t cut_at) {
  RemoveWithCompanions(path);
  if (flags & (1 << dir_bit)) {
    fs::create_directory(path);
    return;
  }
  if (flags & (1 << empty_bit)) bytes.clear();
  if ((flags & (1 << cut_bit)) && !bytes.empty()) bytes.resize(cut_at % bytes.size());
  WriteBytes(path, bytes);
}

int AtoiCell(const unsigned char* text) {
  return text != nullptr ? std::atoi(reinterpret_cast<const char*>(text)) : 0;
}

// Text up to its first NUL, as SQLite's LIKE sees it.
std::string CellText(sqlite3_stmt* stmt, int col) {
  const unsigned char* text = sqlite3_column_text(stmt, col);
  return text != nullptr ? reinterpret_cast<const char*>(text) : "";
}

bool StartsNoCase(const std::string& text, const std::string& prefix) {
  if (text.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i) {
    unsigned char a = static_cast<unsigned char>(text[i]);
    unsigned char b = static_cast<unsigned char>(prefix[i]);
    if (a >= 'A' && a <= 'Z') a += 32;
    if (b >= 'A' && b <= 'Z') b += 32;
    if (a != b) return false;
  }
  return true;
}

bool EqualNoCase(const std::string& a, const std::string& b) {
  return a.size() == b.size() && StartsNoCase(a, b);
}

// Rows of `sql` on a read-only connection; false when the file is damaged or the query
// cannot run, so that nothing can be concluded from it.
template <typename RowFn>
bool ReadRows(const std::string& path, const char* sql, RowFn on_row) {
  sqlite3* db = nullptr;
  sqlite3_stmt* stmt = nullptr;
  bool ok = sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK &&
            sqlite3_prepare_v2(db, "pragma integrity_check", -1, &stmt, nullptr) == SQLITE_OK &&
            sqlite3_step(stmt) == SQLITE_ROW && CellText(stmt, 0) == "ok";
  sqlite3_finalize(stmt);
  stmt = nullptr;
  ok = ok && sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr) == SQLITE_OK;
  int rc = SQLITE_DONE;
  while (ok && (rc = sqlite3_step(stmt)) == SQLITE_ROW) on_row(stmt);
  sqlite3_finalize(stmt);
  sqlite3_close(db);
  return ok && rc == SQLITE_DONE;
}

// Whether the databases, read directly, justify `code` for `path`. Undecided (true) when
// either file fails its integrity check or a query cannot run.
bool Justified(const std::string& raw, const std::string& lookup, int code) {
  const Home& h = TheHome();
  bool session = false;
  bool known = ReadRows(h.sys, "select *, sync_folder from session_table", [&](sqlite3_stmt* s) {
    const int last = sqlite3_column_count(s) - 1;
    const int status = AtoiCell(sqlite3_column_text(s, 7));
    const std::string folder = CellText(s, last);
    session =
        session || (static_cast<int32_t>(AtoiCell(sqlite3_column_text(s, 0))) == 1 &&
                    (status == 10 || status == 11) && sqlite3_column_type(s, last) != SQLITE_NULL &&
                    (StartsNoCase(raw, folder) || StartsNoCase(lookup, folder)));
  });
  if (!known) return true;
  if (!session) return false;

  bool own_state = false;
  bool synced_folder = false;
  bool syncing_below = false;
  known = ReadRows(h.fstat, "select *, path from fstatinfo", [&](sqlite3_stmt* s) {
    if (!EqualNoCase(CellText(s, sqlite3_column_count(s) - 1), lookup)) return;
    const int type = AtoiCell(sqlite3_column_text(s, 2));
    const int state = AtoiCell(sqlite3_column_text(s, 3));
    own_state = own_state || state == code;
    synced_folder = synced_folder || (type == 1 && state == 1);
  });
  known =
      known &&
      ReadRows(h.fstat, "select path from fstatinfo where syncStatus = 2", [&](sqlite3_stmt* s) {
        syncing_below = syncing_below || StartsNoCase(CellText(s, 0), lookup + "/");
      });
  if (!known) return true;
  return own_state || (code == 2 && synced_folder && syncing_below);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 7) return 0;
  Home& h = TheHome();
  const auto& [sys_image, fstat_image] = Edited(U16(data));
  std::string sys = sys_image;
  std::string fstat = fstat_image;
  for (size_t i = 7; i + 3 <= size; i += 3) {
    const uint16_t where = U16(data + i);
    std::string& target = (where & 0x8000) ? fstat : sys;
    if (!target.empty()) target[(where & 0x7fff) % target.size()] = static_cast<char>(data[i + 2]);
  }
  const int flags = data[2];
  Place(h.sys, sys, flags, 0, 2, 4, U16(data + 3));
  Place(h.fstat, fstat, flags, 1, 3, 5, U16(data + 5));
  if (flags & (1 << 6)) RemoveWithCompanions(h.fstat);

  kelo::LinuxOverlayPlatform platform(h.dir);
  for (const std::string& path : Paths()) {
    const kelo::OverlayBadge result = kelo::ResolveOverlayBadge(platform, path.c_str());
    Check((result.badge == nullptr) == (result.image == nullptr), "badge without image", path);
    if (result.badge == nullptr) continue;
    Check(result.badge == kelo::BadgeForCode(result.code), "badge of another code", path);
    Check(result.image == platform.FetchImage(result.badge->image_name), "unregistered image",
          path);
    std::string lookup;
    if (!platform.NormalizeFormC(path, &lookup)) lookup = path;
    Check(Justified(path, lookup, result.code), "badge not justified by the databases", path);
  }
  return 0;
}
