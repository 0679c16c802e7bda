// Fuzzes the session lookup by path (SystemDB::getSessionInfoByFilePath, and the resolver's
// FindSessionForPath, which asks it for the path as given and in form C) against a model of
// the matching rules written from their contract, over a registry whose rows the input chooses.
//
// Input: byte 0 picks the role (bit 0: reader, else writer; bit 1 with bit 0: the writer's
// query asked as well, to compare); the rest, split at '\n', is the
// path, then one session row per piece: the piece's first byte b chooses the row's id
// (b & 7) + 1 + ((b >> 3) & 3) * 2^32, so that ids beyond 32 bits occur; bit 5 pads the folder
// with "/___..." to 1,100 bytes and bit 6 to 30,000 bytes (past SQLite's longest LIKE pattern
// once its wildcards are escaped); bit 7 stores NULL instead. The other
// bytes are the folder (cut at a NUL byte). A later row with the same id replaces the earlier.
// Every session is active.
//
// Checked, whenever the path and every folder are well-formed UTF-8 and the path is absolute:
//  - a path holding a NUL byte or longer than 1023 bytes is refused (-1);
//  - otherwise the result is 0 and the session found is one of the deepest that hold the path,
//    or none when no folder does. A folder holds a path equal to it or continuing it with '/',
//    ASCII letters compared without case and every other byte exactly (so '%', '_' and '\' are
//    themselves); its trailing slashes change nothing (the root "/" holds every absolute
//    path); a NULL folder or one longer than 1023 bytes holds nothing; depth is the length of
//    the folder's form C without its trailing slashes;
//  - FindSessionForPath answers for the path as given unless its form C differs and finds a
//    strictly deeper folder; a refusal of either lookup is a refusal.
// With byte 0's bits 0 and 1, whatever the bytes, the lookup over the rows the reader keeps
// gives the result and record the writer's query gives. Otherwise only that nothing crashes. The
// registry lives on a RAM-backed folder and the fuzzer's own writes are not synced and journalled
// in memory only. The role stays between inputs, so a reader's kept connections meet a registry
// that changed since their last use.
#include <sqlite3.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <set>
#include <string>

#include "db/reader-mode/reader-mode.h"
#include "db/sqlite-owners.h"
#include "db/system-db/system-db.h"
#include "fuzz/fuzz-support.h"
#include "iconoverlay/badge-resolver.h"
#include "iconoverlay/linux-platform.h"
#include "log/log.h"

namespace {

constexpr size_t kMaxValue = 1023;  // the longest path looked up, and the longest useful folder

struct Row {
  bool null = false;
  std::string folder;
};
using Rows = std::map<uint64_t, Row>;  // by id

// --- The model -----------------------------------------------------------------------------

using kelo_fuzz::Check;
using kelo_fuzz::Lower;
using kelo_fuzz::WellFormed;

std::string WithoutTrailingSlashes(std::string folder) {
  while (!folder.empty() && folder.back() == '/') folder.pop_back();
  return folder;
}

bool Holds(const std::string& folder, const std::string& path) {
  const std::string f = WithoutTrailingSlashes(folder);
  if (path.size() < f.size() || (path.size() > f.size() && path[f.size()] != '/')) return false;
  for (size_t i = 0; i < f.size(); ++i) {
    if (Lower(path[i]) != Lower(f[i])) return false;
  }
  return true;
}

// How deep a folder is: the length of its form C without its trailing slashes. The answers of
// both lookups are folders above the path, so this orders them by nesting, whatever form each
// folder was recorded in (a decomposed name can be longer in bytes or in characters than the
// precomposed name of a folder below it).
size_t Depth(const std::string& folder) {
  const std::string stripped = WithoutTrailingSlashes(folder);
  utf8proc_uint8_t* nfc = utf8proc_NFC(reinterpret_cast<const utf8proc_uint8_t*>(stripped.c_str()));
  const size_t depth = nfc != nullptr ? std::strlen(reinterpret_cast<char*>(nfc)) : stripped.size();
  std::free(nfc);
  return depth;
}

struct Answer {
  bool refused = false;
  long depth = -1;         // -1: no folder holds the path
  std::set<uint64_t> ids;  // the sessions of that depth, any of which may be the answer
};

Answer Lookup(const Rows& rows, const std::string& path) {
  Answer answer;
  if (path.size() > kMaxValue || path.find('\0') != std::string::npos) {
    answer.refused = true;
    return answer;
  }
  for (const auto& [id, row] : rows) {
    if (row.null || row.folder.size() > kMaxValue || !Holds(row.folder, path)) continue;
    const long depth = static_cast<long>(Depth(row.folder));
    if (depth > answer.depth) answer.ids.clear();
    if (depth >= answer.depth) {
      answer.depth = depth;
      answer.ids.insert(id);
    }
  }
  return answer;
}

Answer LookupBothForms(const Rows& rows, const std::string& path) {
  const Answer as_given = Lookup(rows, path);
  utf8proc_uint8_t* nfc = utf8proc_NFC(reinterpret_cast<const utf8proc_uint8_t*>(path.c_str()));
  const std::string form_c = nfc != nullptr ? reinterpret_cast<char*>(nfc) : path;
  std::free(nfc);
  if (as_given.refused || form_c == path) return as_given;
  const Answer precomposed = Lookup(rows, form_c);
  if (precomposed.refused) return precomposed;
  return precomposed.depth > as_given.depth ? precomposed : as_given;
}

bool Agrees(const Answer& model, int rc, const KELOSessionInfo& found) {
  if (model.refused) return rc < 0;
  if (rc != 0) return false;
  if (model.depth < 0) return found.id == 0 && found.status == 0;
  return model.ids.count(found.id) == 1;
}

// --- The registry --------------------------------------------------------------------------

struct Registry {
  std::string dir, path;
  kelo::sqlite::Connection writer;
  sqlite3_stmt* insert = nullptr;
};

// Made once and never destroyed: its statement is never finalised.
const Registry& Open() {
  static Registry* r = [] {
    auto* made_ptr = new Registry;
    Registry& made = *made_ptr;
    made.dir = kelo_fuzz::ScratchDir("session");
    made.path = kelo::SystemDbPath(made.dir);
    std::filesystem::create_directories(std::filesystem::path(made.path).parent_path());
    Logger::log_fp = std::fopen("/dev/null", "w");
    // The client's code makes the registry; the fuzzer only replaces its rows.
    if (SystemDB::initialize(made.path) != 0) std::abort();
    SystemDB::destroy();
    if (kelo::sqlite::Open(made.path, kelo::sqlite::kReadWriteCreate, &made.writer) != SQLITE_OK ||
        sqlite3_exec(made.writer.get(), "pragma synchronous = off; pragma journal_mode = memory",
                     nullptr, nullptr, nullptr) != SQLITE_OK ||
        sqlite3_prepare_v2(made.writer.get(),
                           "insert or replace into session_table(id, attribute, status, "
                           "sync_folder, ctime) values (?, 4, 10, ?, 0)",
                           -1, &made.insert, nullptr) != SQLITE_OK) {
      std::abort();
    }
    return made_ptr;
  }();
  return *r;
}

void Store(const Registry& registry, const Rows& rows) {
  sqlite3_exec(registry.writer.get(), "begin; delete from session_table", nullptr, nullptr,
               nullptr);
  for (const auto& [id, row] : rows) {
    sqlite3_bind_int64(registry.insert, 1, static_cast<sqlite3_int64>(id));
    if (row.null) {
      sqlite3_bind_null(registry.insert, 2);
    } else {
      sqlite3_bind_text(registry.insert, 2, row.folder.data(), static_cast<int>(row.folder.size()),
                        SQLITE_STATIC);
    }
    if (sqlite3_step(registry.insert) != SQLITE_DONE) std::abort();
    sqlite3_reset(registry.insert);
  }
  if (sqlite3_exec(registry.writer.get(), "commit", nullptr, nullptr, nullptr) != SQLITE_OK) {
    std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const Registry& registry = Open();
  kelo_fuzz::Input input;
  if (!kelo_fuzz::Split(data, size, &input)) return 0;
  const std::string& path = input.path;
  Rows rows;
  bool well_formed = WellFormed(path) && !path.empty() && path[0] == '/';
  for (const std::string_view piece : input.pieces) {
    const auto b = static_cast<uint8_t>(piece[0]);
    Row& row = rows[(b & 7) + 1 + (static_cast<uint64_t>((b >> 3) & 3) << 32)];
    row.null = (b & 0x80) != 0;
    row.folder = std::string(piece.substr(1, piece.find('\0', 1) - 1));
    well_formed = well_formed && WellFormed(row.folder);  // the padding is ASCII
    const size_t padded = (b & 0x40) != 0 ? 30000 : (b & 0x20) != 0 ? 1100 : 0;
    if (padded > row.folder.size()) row.folder += "/" + std::string(padded - 1, '_');
  }
  Store(registry, rows);

  const bool reader = (input.options & 1) != 0;
  kelo::SetDbRole(reader ? kelo::DbRole::kReader : kelo::DbRole::kWriter);
  KELOSessionInfo found;
  const int rc = SystemDB::getSessionInfoByFilePath(registry.path, path, &found);
  if (reader && (input.options & 2) != 0) {
    // The reader answers from the rows it keeps; the writer runs the query itself. Both must
    // give the same result and the same record, whatever the bytes. (Leaving the reader role
    // closes the kept connections, so only these inputs do.)
    KELOSessionInfo queried;
    kelo::SetDbRole(kelo::DbRole::kWriter);
    const int rc_queried = SystemDB::getSessionInfoByFilePath(registry.path, path, &queried);
    kelo::SetDbRole(kelo::DbRole::kReader);
    Check(rc == rc_queried && found.id == queried.id && found.share_name == queried.share_name &&
              found.session == queried.session && found.attribute == queried.attribute &&
              found.view_id == queried.view_id && found.status == queried.status &&
              found.sync_folder == queried.sync_folder,
          "the kept rows answer differently from the query", path);
  }
  kelo::LinuxOverlayPlatform platform(registry.dir);
  KELOSessionInfo both;
  const int rc_both = kelo::FindSessionForPath(platform, registry.path, path, &both);
  if (!well_formed) return 0;
  Check(Agrees(Lookup(rows, path), rc, found), "getSessionInfoByFilePath differs from the model",
        path);
  Check(Agrees(LookupBothForms(rows, path), rc_both, both),
        "FindSessionForPath differs from the model", path);
  return 0;
}
