// Fuzzes the entry lookup (FileStatusDB::getFileSyncStat) against a model, and against the
// LIKE form of the same lookup run on the same file.
//
// Input: byte 0 picks the role (bit 0: reader, else writer) and, for a reader, the file (bit 1:
// one without the lookup indexes, read by the slower plan); the rest, split at '\n', is the
// path asked for, then one entry per piece, recorded in that order: the piece's first byte b
// gives the state (b & 3) and the type ((b >> 2) & 1); with bit 7 the entry's path is the path
// asked for with the case of its ASCII letters flipped where the bits of the piece's other
// bytes say (a case variant), else it is those bytes up to a NUL byte. An entry whose path is
// already recorded byte for byte is dropped (the path is unique).
//
// Checked: the lookup equals the model always: a path that is empty, longer than 1039 bytes or
// holding a NUL byte finds nothing (-1); otherwise the entry found is the last one recorded
// whose path equals the path asked for with ASCII letters compared without case and every
// other byte exactly, or none (-1, the record cleared). The LIKE form
// "select * from fstatinfo where path like '<escaped path>' escape '\'" finds the same last
// entry wherever the path and every recorded path are well-formed UTF-8 (elsewhere SQLite's
// LIKE reads broken sequences as U+FFFD and may match more).
//
// The files live on a RAM-backed folder and the fuzzer's own writes are not synced and are
// journalled in memory only. The role stays between inputs, so a reader's kept connections
// meet files that changed since their last use.
#include <sqlite3.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "db/file-status-db/file-status-db-internal.h"
#include "db/file-status-db/file-status-db.h"
#include "db/reader-mode/reader-mode.h"
#include "db/sqlite-owners.h"
#include "fuzz/fuzz-support.h"
#include "log/log.h"

namespace {

constexpr size_t kMaxPath = 1039;
constexpr char kLikeForm[] = "select * from fstatinfo where path like '@KELO:LVAR'";

struct Entry {
  std::string path;
  int type = 0;
  int state = 0;
};

// --- The model -----------------------------------------------------------------------------

using kelo_fuzz::Check;
using kelo_fuzz::Lower;
using kelo_fuzz::WellFormed;

bool SameNoCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (Lower(a[i]) != Lower(b[i])) return false;
  }
  return true;
}

// The entry the lookup must find, or nullptr; `refused` when the path cannot be asked for.
const Entry* Expected(const std::vector<Entry>& entries, const std::string& path, bool* refused) {
  *refused = path.empty() || path.size() > kMaxPath || path.find('\0') != std::string::npos;
  const Entry* last = nullptr;
  for (const Entry& e : entries) {
    if (!*refused && SameNoCase(e.path, path)) last = &e;
  }
  return last;
}

bool Agrees(const Entry* expected, bool refused, int rc, const FileStatusInfo& info) {
  if (refused || expected == nullptr) return rc == -1;
  return rc == 0 && info.path == expected->path && info.fileType == expected->type &&
         info.syncStatus == expected->state;
}

// --- The files -----------------------------------------------------------------------------

struct Store {
  std::string files[2];  // with the lookup indexes, without them
  kelo::sqlite::Connection writer[2];
  sqlite3_stmt* insert[2] = {nullptr, nullptr};
};

// Made once and never destroyed: its statements are never finalised.
Store& Open() {
  static Store* s = [] {
    auto* made_ptr = new Store;
    Store& made = *made_ptr;
    Logger::log_fp = std::fopen("/dev/null", "w");  // refused paths log
    for (int f = 0; f < 2; ++f) {
      made.files[f] =
          kelo_fuzz::ScratchDir("entry") + (f == 0 ? "/indexed.sqlite" : "/plain.sqlite");
      // The client's code makes the file, lookup indexes included.
      kelo::SetDbRole(kelo::DbRole::kWriter);
      if (FileStatusDB::initialize(made.files[f]) != 0 ||
          kelo::sqlite::Open(made.files[f], kelo::sqlite::kReadWriteCreate, &made.writer[f]) !=
              SQLITE_OK ||
          sqlite3_exec(made.writer[f].get(),
                       f == 0 ? "pragma synchronous = off; pragma journal_mode = memory"
                              : "pragma synchronous = off; pragma journal_mode = memory;"
                                "drop index fstatinfo_path_nocase_idx;"
                                "drop index fstatinfo_status_path_idx",
                       nullptr, nullptr, nullptr) != SQLITE_OK ||
          sqlite3_prepare_v2(made.writer[f].get(),
                             "insert or ignore into fstatinfo(path, fileType, syncStatus)"
                             " values (?, ?, ?)",
                             -1, &made.insert[f], nullptr) != SQLITE_OK) {
        std::abort();
      }
    }
    return made_ptr;
  }();
  return *s;
}

// Records `entries` in order in file `f`, in place of what it held; drops those whose path is
// recorded already.
void Record(Store& store, int f, std::vector<Entry>* entries) {
  sqlite3* db = store.writer[f].get();
  sqlite3_stmt* insert = store.insert[f];
  sqlite3_exec(db, "begin; delete from fstatinfo", nullptr, nullptr, nullptr);
  std::vector<Entry> kept;
  for (const Entry& e : *entries) {
    sqlite3_bind_text(insert, 1, e.path.data(), static_cast<int>(e.path.size()), SQLITE_STATIC);
    sqlite3_bind_int(insert, 2, e.type);
    sqlite3_bind_int(insert, 3, e.state);
    if (sqlite3_step(insert) != SQLITE_DONE) std::abort();
    if (sqlite3_changes(db) == 1) kept.push_back(e);
    sqlite3_reset(insert);
  }
  if (sqlite3_exec(db, "commit", nullptr, nullptr, nullptr) != SQLITE_OK) std::abort();
  *entries = std::move(kept);
}

// The LIKE form, run on the fuzzer's own connection: the last row's cells, or none.
int LikeForm(sqlite3* db, const std::string& path, FileStatusInfo* info) {
  char* sql = KELODBEscapeStringEX3(kLikeForm, path.c_str());
  char** table = nullptr;
  int rows = 0, cols = 0;
  const int rc = sql ? sqlite3_get_table(db, sql, &table, &rows, &cols, nullptr) : SQLITE_NOMEM;
  std::free(sql);
  if (rc == SQLITE_OK && rows > 0 && cols == 4) {
    info->path = table[rows * cols + 1];
    info->fileType = std::atoi(table[rows * cols + 2]);
    info->syncStatus = std::atoi(table[rows * cols + 3]);
  }
  sqlite3_free_table(table);
  return rc == SQLITE_OK && rows > 0 ? 0 : -1;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Store& store = Open();
  kelo_fuzz::Input input;
  if (!kelo_fuzz::Split(data, size, &input)) return 0;
  const bool reader = (input.options & 1) != 0;
  const int f = reader && (input.options & 2) != 0 ? 1 : 0;
  const std::string& path = input.path;
  std::vector<Entry> entries;
  for (const std::string_view piece : input.pieces) {
    const auto b = static_cast<uint8_t>(piece[0]);
    const std::string_view bytes = piece.substr(1);
    Entry e{std::string(bytes.substr(0, bytes.find('\0'))), (b >> 2) & 1, b & 3};
    if ((b & 0x80) != 0) {
      e.path = path;
      for (size_t i = 0; i < e.path.size() && !bytes.empty(); ++i) {
        const bool flip = (bytes[(i / 8) % bytes.size()] >> (i % 8)) & 1;
        if (flip && ((e.path[i] | 0x20) >= 'a' && (e.path[i] | 0x20) <= 'z')) e.path[i] ^= 0x20;
      }
    }
    entries.push_back(std::move(e));
  }
  Record(store, f, &entries);

  kelo::SetDbRole(reader ? kelo::DbRole::kReader : kelo::DbRole::kWriter);
  FileStatusInfo found;
  found.path = "untouched";
  const int rc = FileStatusDB::initialize(store.files[f]) == 0
                     ? FileStatusDB::getFileSyncStat(path, &found)
                     : -2;
  bool refused = false;
  const Entry* expected = Expected(entries, path, &refused);
  Check(Agrees(expected, refused, rc, found), "getFileSyncStat differs from the model", path);

  bool well_formed = WellFormed(path);
  for (const Entry& e : entries) well_formed = well_formed && WellFormed(e.path);
  if (refused || !well_formed) return 0;
  FileStatusInfo like;
  const int rc_like = LikeForm(store.writer[f].get(), path, &like);
  Check(Agrees(expected, false, rc_like, like), "the LIKE form differs from the model", path);
  return 0;
}
