// Fuzzes badge resolution over a home whose client databases are damaged. At start-up the
// client's code creates a valid sys.sqlite (session 1 active over /kelo-fuzz/Sync, session 2
// inactive) and session 1's file-status.sqlite (entries of every state); each input damages
// copies of both and resolves paths, as the Finder plug-in would.
//
// Input: byte 0 a bit set of hostile SQL edits (kEdits); byte 1 the shape of sys.sqlite (low
// nibble) and file-status.sqlite (high nibble), each & 7: 0-3 as edited, 4 cut to the length in
// bytes 3-4 / 5-6, 5 empty, 6 a directory, 7 missing; bit 3 of byte 1 resolves in the reader
// role (the Finder's), else in the writer role; byte 2 the path resolved, kPaths[byte 2 % 11],
// 10 standing for all of them; bit 7 of byte 1 lets a reader keep its connections for the next
// input, which then meets them with its own files in place; then three-byte patches: a 16-bit
// offset (bit 15 picks file-status, taken modulo the file's size) and the byte to put there.
//
// Checked beyond not crashing: a badge is its code's, with its registered image; while both
// files pass SQLite's integrity check, their rows justify it: session 1 is active (status 10 or
// 11 as the readers parse it) over a folder that starts the path, and the store holds the path
// in that state, or, for syncing, as a synced folder with a syncing entry below it; and a
// reader leaves both files byte for byte as they were and creates neither.
//
// Speed: the files live on a RAM-backed folder when there is one, the edited files are made once
// per set of edits and kept, and the files are read back and checked once per input, only when a
// badge needs justifying. Unless the input says otherwise, it ends as an idle Finder does, its
// kept connections closed: then its allocations and frees balance, and libFuzzer runs no leak
// scan after it (the scans and the reruns libFuzzer makes for them took two fifths of the time
// in a profile). The code under test runs as it would in the Finder.
#include <sqlite3.h>
#include <strings.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "db/file-status-db/file-status-db.h"
#include "db/reader-mode/reader-mode.h"
#include "db/sqlite-owners.h"
#include "db/system-db/system-db.h"
#include "fuzz/fuzz-support.h"
#include "iconoverlay/badge-resolver.h"
#include "iconoverlay/linux-platform.h"
#include "log/log.h"
#include "support/temp-dir.h"

namespace {

namespace fs = std::filesystem;
using kelo_test::ReadFile;

// Each run on file-status.sqlite with sys.sqlite attached as "sys"; one that fails does nothing.
constexpr const char* kEdits[8] = {
    // Columns in another order: the positional reader takes a huge id for the path.
    "drop table fstatinfo; create table fstatinfo(path text, id, syncStatus, fileType, x);"
    "insert into fstatinfo values('/kelo-fuzz/Sync/a.txt', hex(zeroblob(1600)), 2, 1, 0);",
    "update fstatinfo set syncStatus = syncStatus || 'abc', fileType = 1.5e300 where id % 2;"
    "update fstatinfo set syncStatus = x'32' where path like '%it''s';",
    "insert into fstatinfo(path, fileType, syncStatus) values ('/kelo-fuzz/SYNC/A.TXT', 0, 3),"
    "('/kelo-fuzz/Sync/dir/' || hex(zeroblob(4000)), 0, 2), ('/kelo-fuzz/Sync/x', 1e300, -1e300);"
    "update fstatinfo set syncStatus = 4294967298 where path like '%50\\%\\_x' escape '\\';",
    "update sys.session_table set status = '10abc', attribute = 'x', view_id = 1e300;"
    "insert into sys.session_table(id, status, sync_folder)"
    " values(7, 11, ''), (8, 10, '/kelo-fuzz/S%'), (9, 10, '/kelo-fuzz/Sync/_ir');",
    "drop table sys.session_table; create table sys.session_table(id, status);"
    "insert into sys.session_table values(1, 10);",
    "drop table fstatinfo; create view fstatinfo as select 1 as id, '/kelo-fuzz/Sync/dir' as path,"
    " 1 as fileType, 1 as syncStatus union all select 2, '/kelo-fuzz/Sync/dir/q', 0, 2;",
    "pragma writable_schema = 1; update sqlite_master set sql = 'CREATE INDEX fstatinfo_path_idx"
    " on fstatinfo(syncStatus)' where name = 'fstatinfo_path_idx'; pragma writable_schema = 0;"
    "pragma main.journal_mode = wal; pragma sys.journal_mode = wal;",
    "update sys.session_table set status = 9 where id = 1;"};

// The paths resolved ("cafe" + U+0301 is stored precomposed); kLong is past the lookup's.
const std::string kLong = "/kelo-fuzz/Sync/" + std::string(1023, 'l');
// clang-format off
constexpr size_t kPathCount = 10;
const char* const kPaths[kPathCount] = {
    "/kelo-fuzz/Sync", "/kelo-fuzz/Sync/a.txt", "/kelo-fuzz/Sync/dir", "/kelo-fuzz/Sync/it's",
    "/kelo-fuzz/Sync/50%_x", "/kelo-fuzz/Sync/cafe\xCC\x81", "/kelo-fuzz/SYNC/A.TXT",
    "/kelo-fuzz/Other/x", "/elsewhere", kLong.c_str()};
// clang-format on

// The fuzzer's own writes; one that fails leaves the files unlike the input says.
void WriteFile(const std::string& file, const std::string& bytes) {
  if (!kelo_test::WriteFile(file, bytes)) std::abort();
}

// Removes `file` (a file, or the empty directory shape 6 makes) and SQLite's companions.
void Remove(const std::string& file) {
  for (const char* end : {"", "-wal", "-shm", "-journal"}) std::remove((file + end).c_str());
}

using Rows = std::vector<std::vector<std::string>>;  // cells as text up to a NUL; NULL is ""

int Collect(void* rows, int n, char** cells, char**) {
  static_cast<Rows*>(rows)->emplace_back(n);
  for (int i = 0; i < n; ++i) static_cast<Rows*>(rows)->back()[i] = cells[i] ? cells[i] : "";
  return 0;
}

// Runs `sql` on `file`. Read-only with `rows`, and only while the file passes SQLite's integrity
// check.
bool Exec(const std::string& file, const std::string& sql, Rows* rows = nullptr) {
  kelo::sqlite::Connection connection;
  Rows check;
  const int flags = rows ? kelo::sqlite::kReadOnly : kelo::sqlite::kReadWriteCreate;
  bool ok = kelo::sqlite::Open(file, flags, &connection) == SQLITE_OK;
  sqlite3* db = connection.get();
  ok = ok && (rows == nullptr ||
              (sqlite3_exec(db, "pragma integrity_check", Collect, &check, nullptr) == SQLITE_OK &&
               check == Rows{{"ok"}}));
  // Nothing here needs to survive a crash of the machine: no sync on the fuzzer's own writes.
  ok = ok && (rows != nullptr ||
              sqlite3_exec(db, "pragma synchronous = off", nullptr, nullptr, nullptr) == SQLITE_OK);
  ok = ok && sqlite3_exec(db, sql.c_str(), rows ? Collect : nullptr, rows, nullptr) == SQLITE_OK;
  return ok;
}

std::string g_dir, g_files[2], g_valid[2];  // the home, sys and file-status, their valid bytes

// Creates the valid databases through the client's code, with small pages to keep them short,
// in memory when possible (SQLite syncs every commit).
void MakeHome() {
  g_dir = kelo_fuzz::ScratchDir("resolve");
  g_files[0] = kelo::SystemDbPath(g_dir);
  g_files[1] = kelo::FileStatusDbPath(g_dir, 1);
  for (const std::string& file : g_files) {
    fs::create_directories(fs::path(file).parent_path());
    Exec(file, "pragma page_size = 512; vacuum;");
  }
  Logger::log_fp = std::fopen("/dev/null", "w");  // damaged files make every call log
  const bool built =
      SystemDB::initialize(g_files[0]) == 0 && FileStatusDB::initialize(g_files[1]) == 0 &&
      Exec(g_files[0],
           "insert into session_table(id, attribute, status, sync_folder, ctime) values"
           " (1, 4, 10, '/kelo-fuzz/Sync', 0), (2, 4, 9, '/kelo-fuzz/Other', 0);") &&
      Exec(g_files[1], "insert into fstatinfo(path, fileType, syncStatus) values ('" + kLong +
                           "', 0, 3), ('/kelo-fuzz/Sync', 1, 1), ('/kelo-fuzz/Sync/a.txt', 0, 1),"
                           " ('/kelo-fuzz/Sync/dir', 1, 1), ('/kelo-fuzz/Sync/dir/sub/b', 0, 2),"
                           " ('/kelo-fuzz/Sync/it''s', 0, 3), ('/kelo-fuzz/Sync/50%_x', 0, 2),"
                           " ('/kelo-fuzz/Sync/caf\xC3\xA9', 0, 1);");
  SystemDB::destroy();
  FileStatusDB::m_fstatDBPath.clear();
  if (!built) std::abort();
  for (int f = 0; f < 2; ++f) g_valid[f] = ReadFile(g_files[f]);
}

bool StartsNoCase(const std::string& text, const std::string& prefix) {
  return strncasecmp(text.c_str(), prefix.c_str(), prefix.size()) == 0;
}

// The rows of both files, read directly once per input when a badge needs justifying.
// Cells by position, as the readers take them; paths and syncing by name.
struct Contents {
  bool readable = false;  // both files pass SQLite's integrity check and their queries run
  Rows sessions, entries;
};

Contents ReadContents() {
  Contents c;
  c.readable = Exec(g_files[0], "select *, sync_folder from session_table", &c.sessions) &&
               Exec(g_files[1], "select *, path, syncStatus = 2 from fstatinfo", &c.entries);
  return c;
}

// Whether `c` justifies `code` for `path` (in form C); undecided (true) when a file cannot be
// read. A session folder's trailing slashes do not change what it holds.
bool Justified(const Contents& c, const std::string& path, int code) {
  if (!c.readable) return true;
  bool active = false, own = false, synced_folder = false, syncing_below = false;
  for (const auto& s : c.sessions) {
    const int status = s.size() > 8 ? std::atoi(s[7].c_str()) : 0;
    std::string folder = s.back();
    while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
    active = active || (std::atoi(s[0].c_str()) == 1 && (status == 10 || status == 11) &&
                        StartsNoCase(path, folder));
  }
  for (const auto& e : c.entries) {
    const int type = e.size() > 5 ? std::atoi(e[2].c_str()) : 0;
    const int state = e.size() > 5 ? std::atoi(e[3].c_str()) : 0;
    const bool same = strcasecmp(e[e.size() - 2].c_str(), path.c_str()) == 0;
    own = own || (same && state == code);
    synced_folder = synced_folder || (same && type == 1 && state == 1);
    syncing_below = syncing_below || (e.back() == "1" && StartsNoCase(e[e.size() - 2], path + "/"));
  }
  return active && (own || (code == kelo::kStateSyncing && synced_folder && syncing_below));
}

// The valid files with the edits of `mask` applied, made once per mask.
const std::array<std::string, 2>& Edited(uint8_t mask) {
  static std::map<uint8_t, std::array<std::string, 2>> made;
  auto it = made.find(mask);
  if (it == made.end()) {
    for (int f = 0; f < 2; ++f) {
      Remove(g_files[f]);
      WriteFile(g_files[f], g_valid[f]);
    }
    for (int bit = 0; bit < 8; ++bit) {
      if (mask & (1 << bit)) Exec(g_files[1], "attach '" + g_files[0] + "' as sys;" + kEdits[bit]);
    }
    it = made.emplace(mask, std::array<std::string, 2>{ReadFile(g_files[0]), ReadFile(g_files[1])})
             .first;
  }
  return it->second;
}

uint16_t U16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool made = (MakeHome(), true);
  if (size < 7 || !made) return 0;
  std::array<std::string, 2> bytes = Edited(data[0]);
  for (size_t i = 7; i + 3 <= size; i += 3) {
    std::string& target = bytes[U16(data + i) >> 15];
    if (!target.empty()) target[(U16(data + i) & 0x7fff) % target.size()] = data[i + 2];
  }
  for (int f = 0; f < 2; ++f) {
    const int shape = (data[1] >> (4 * f)) & 7;
    Remove(g_files[f]);
    if (shape == 4 && !bytes[f].empty()) bytes[f].resize(U16(data + 3 + 2 * f) % bytes[f].size());
    if (shape == 5) bytes[f].clear();
    if (shape == 6) fs::create_directory(g_files[f]);
    if (shape < 6) WriteFile(g_files[f], bytes[f]);
  }
  // The role stays between inputs, so a reader's kept connections meet replaced files.
  kelo::SetDbRole((data[1] & 8) != 0 ? kelo::DbRole::kReader : kelo::DbRole::kWriter);
  kelo::LinuxOverlayPlatform platform(g_dir);
  const size_t pick = data[2] % (kPathCount + 1);
  const size_t first = pick == kPathCount ? 0 : pick;
  const size_t end = pick == kPathCount ? kPathCount : pick + 1;
  Contents contents;
  bool contents_read = false;
  for (size_t p = first; p < end; ++p) {
    const std::string path = kPaths[p];
    const kelo::OverlayBadge r = kelo::ResolveOverlayBadge(platform, path.c_str());
    if (r.badge == nullptr && r.image == nullptr) continue;
    std::string lookup;
    if (!platform.NormalizeFormC(path, &lookup)) lookup = path;
    if (r.badge != nullptr && !std::exchange(contents_read, true)) contents = ReadContents();
    if (r.badge == nullptr || r.badge != kelo::BadgeForCode(r.code) ||
        r.image != platform.FetchImage(r.badge->image_name) ||
        !Justified(contents, lookup, r.code)) {
      std::fprintf(stderr, "'%s': badge %d unjustified or imageless\n", path.c_str(), r.code);
      std::abort();
    }
  }
  for (int f = 0; f < 2 && kelo::InReaderMode(); ++f) {
    const int shape = (data[1] >> (4 * f)) & 7;
    if (shape < 6 ? ReadFile(g_files[f]) != bytes[f] : shape == 7 && fs::exists(g_files[f])) {
      std::fprintf(stderr, "%s: changed or created by a reader\n", g_files[f].c_str());
      std::abort();
    }
  }
  if ((data[1] & 0x80) == 0) kelo::CloseKeptConnections();
  return 0;
}
