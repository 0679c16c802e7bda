#include "db/file-status-db/file-status-db.h"

#include <sqlite3.h>

#include <algorithm>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "db/file-status-db/file-status-db-internal.h"
#include "db/log-messages.h"
#include "db/reader-mode/reader-mode.h"
#include "db/sqlite-owners.h"
#include "db/store/store.h"
#include "log/fixed-buffer.h"
#include "log/log.h"

// ---------------------------------------------------------------------------------------
// SQL template expander
// ---------------------------------------------------------------------------------------

// No name is a prefix of another, so the first match is the only one.
const char* const grgKeloParamList[5] = {"@KELO:VAR", "@KELO:LVAR", "@KELO:INT", "@KELO:LLINT",
                                         "@KELO:NEVAR"};

int ExpendBufSize(char** buffer, int currentSize, int requiredSize, int preserve) {
  if (buffer == nullptr || *buffer == nullptr || currentSize <= 0 || requiredSize <= 0) {
    return -1;
  }
  if (requiredSize > INT_MAX / 2) return -1;  // The doubled size would not be an int.
  const int newSize = 2 * requiredSize;
  char* grown;
  if (preserve == 1) {
    grown = static_cast<char*>(realloc(*buffer, newSize));
  } else {
    // The content is about to be overwritten, so there is nothing worth copying.
    grown = static_cast<char*>(malloc(newSize));
    if (grown != nullptr) free(*buffer);
  }
  if (grown == nullptr) return 0;
  *buffer = grown;
  return newSize;
}

namespace {

// Positions in grgKeloParamList.
enum ParamKind {
  kParamVar = 0,
  kParamLikeVar = 1,
  kParamInt = 2,
  kParamLongLong = 3,
  kParamNoEscapeVar = 4,
};
constexpr int kParamCount = sizeof(grgKeloParamList) / sizeof(grgKeloParamList[0]);

constexpr int kInitialOutputSize = 4096;
constexpr int kNumberBufferSize = 256;
// Written after the quote that closes a LIKE pattern built from an @KELO:LVAR value.
constexpr char kEscapeClause[] = " escape '\\'";
constexpr int kEscapeClauseLen = sizeof(kEscapeClause) - 1;

// One malloc'd working buffer of an expansion; frees itself unless released.
class WorkBuffer {
 public:
  WorkBuffer() = default;
  WorkBuffer(const WorkBuffer&) = delete;
  WorkBuffer& operator=(const WorkBuffer&) = delete;
  ~WorkBuffer() { free(data_); }

  char* data() const { return data_; }
  char* release() {
    char* data = data_;
    data_ = nullptr;
    size_ = 0;
    return data;
  }

  // Makes index `end` writable: grows to 2 * end when end has reached the size.
  bool makeWritable(int64_t end) {
    if (end < size_) return true;
    return end <= INT_MAX && grow(static_cast<int>(end), 1);
  }

  // Makes the buffer hold at least `need` bytes, content not kept: allocated with exactly
  // `need` bytes on first use, grown to 2 * need later.
  bool reserve(int64_t need) {
    if (need > INT_MAX) return false;
    if (data_ == nullptr) {
      data_ = static_cast<char*>(malloc(static_cast<size_t>(need)));
      size_ = data_ != nullptr ? static_cast<int>(need) : 0;
      return data_ != nullptr;
    }
    return need <= size_ || grow(static_cast<int>(need), 0);
  }

 private:
  bool grow(int required, int preserve) {
    const int grown = ExpendBufSize(&data_, size_, required, preserve);
    if (grown < 1) return false;
    size_ = grown;
    return true;
  }

  char* data_ = nullptr;
  int size_ = 0;
};

// Position in grgKeloParamList of the name that starts at p, or -1.
int MatchParam(const char* p) {
  for (int kind = 0; kind < kParamCount; ++kind) {
    const char* name = grgKeloParamList[kind];
    if (strncmp(p, name, strlen(name)) == 0) return kind;
  }
  return -1;
}

// Puts `text` into `quoted` with every single quote doubled. Doing this by hand rather than
// with sqlite3_snprintf("%q") keeps a value of many quotes whole: the formatter needs a
// scratch allocation for long expansions into a fixed buffer and gives "" when it lacks one.
// Returns the quoted length, or -1 when the buffer cannot be had.
int64_t QuoteValue(const char* text, int64_t len, WorkBuffer* quoted) {
  if (!quoted->reserve(2 * len + 1)) return -1;
  char* out = quoted->data();
  int64_t n = 0;
  for (int64_t i = 0; i < len; ++i) {
    if (text[i] == '\'') out[n++] = '\'';
    out[n++] = text[i];
  }
  out[n] = '\0';
  return n;
}

// Puts `text` into `like` with a backslash before every backslash, percent sign and
// underscore, so that it matches itself only in a LIKE ... ESCAPE '\' pattern.
int64_t EscapeLikeValue(const char* text, int64_t len, WorkBuffer* like) {
  if (!like->reserve(3 * len + 1)) return -1;
  char* out = like->data();
  int64_t n = 0;
  for (int64_t i = 0; i < len; ++i) {
    if (text[i] == '\\' || text[i] == '%' || text[i] == '_') out[n++] = '\\';
    out[n++] = text[i];
  }
  out[n] = '\0';
  return n;
}

char* Expand(const char* tmpl, va_list args) {
  WorkBuffer out, quoted, like;
  if (!out.reserve(kInitialOutputSize)) return nullptr;
  int64_t pos = 0;  // Write position; every growth keeps it below INT_MAX.
  bool quoteSeen = false;
  bool escapePending = false;
  char number[kNumberBufferSize];

  for (const char* p = tmpl; *p != '\0';) {
    if (!out.makeWritable(pos)) return nullptr;
    if (*p == '\'') {
      out.data()[pos++] = *p++;
      // The first quote of the template opens the first literal; it never closes a pattern.
      if (!quoteSeen) {
        quoteSeen = true;
      } else if (escapePending) {
        if (!out.makeWritable(pos + kEscapeClauseLen)) return nullptr;
        memcpy(out.data() + pos, kEscapeClause, kEscapeClauseLen);
        pos += kEscapeClauseLen;
        escapePending = false;
      }
      continue;
    }
    const int kind = *p == '@' ? MatchParam(p) : -1;
    if (kind < 0) {
      out.data()[pos++] = *p++;
      continue;
    }
    p += strlen(grgKeloParamList[kind]);

    const char* text;
    if (kind == kParamInt) {
      snprintf(number, sizeof(number), "%d", va_arg(args, int));
      text = number;
    } else if (kind == kParamLongLong) {
      snprintf(number, sizeof(number), "%lld", va_arg(args, long long));
      text = number;
    } else {
      text = va_arg(args, const char*);
      if (text == nullptr) text = "";
    }
    // Set even for an empty value: the pattern is then just the template's own text.
    if (kind == kParamLikeVar) escapePending = true;

    int64_t len = static_cast<int64_t>(strlen(text));
    if (len == 0) continue;
    if (len > INT_MAX) return nullptr;
    if (kind == kParamVar || kind == kParamLikeVar) {
      len = QuoteValue(text, len, &quoted);
      if (len < 0) return nullptr;
      text = quoted.data();
    }
    if (kind == kParamLikeVar) {
      len = EscapeLikeValue(text, len, &like);
      if (len < 0) return nullptr;
      text = like.data();
    }
    if (!out.makeWritable(pos + len)) return nullptr;
    memcpy(out.data() + pos, text, static_cast<size_t>(len));
    pos += len;
  }
  if (!out.makeWritable(pos)) return nullptr;
  out.data()[pos] = '\0';
  return out.release();
}

}  // namespace

char* KELODBEscapeStringEX3(const char* sqlTemplate, ...) {
  if (sqlTemplate == nullptr) return nullptr;
  va_list args;
  va_start(args, sqlTemplate);
  char* sql = Expand(sqlTemplate, args);
  va_end(args);
  return sql;
}

// ---------------------------------------------------------------------------------------
// FileStatusDB
// ---------------------------------------------------------------------------------------

// The entry lookup: equality in the NOCASE collation matches what LIKE without wildcards
// matches (ASCII letters without case, every other byte exact) but is answered by one probe
// of fstatinfo_path_nocase_idx, where LIKE searched the prefix range of the whole subtree.
// Rows come in the same order either way (index order, then rowid; or rowid order in a
// scan), so the last matching row still wins.
extern const char kSelectByPath[] =
    "select * from fstatinfo where path = '@KELO:VAR' collate nocase";
extern const char kSelectSyncingBelow[] =
    "select * from fstatinfo where path like '@KELO:LVAR%' and syncStatus=@KELO:INT limit 2";

namespace {

constexpr char kComponent[] = "fstat_db_debug";
constexpr size_t kDBPathBufSize = FileStatusDB::kMaxDBPathLen + 1;
constexpr size_t kPathBufSize = FileStatusDB::kMaxPathLen + 1;

// The schema, run statement by statement on every initialize().
constexpr const char* kSchemaStatements[] = {
    "CREATE TABLE IF NOT EXISTS fstatinfo (        id   INTEGER PRIMARY KEY AUTOINCREMENT, "
    "\t\tpath text unique NOT NULL,  \t\tfileType integer NOT NULL,  \t\tsyncStatus integer NOT "
    "NULL  ); ",
    "CREATE INDEX IF NOT EXISTS fstatinfo_path_idx on fstatinfo(path);",
};

// Indexes that let SQLite answer the lookups' unchanged LIKE queries by a range search
// instead of a scan of the whole table. LIKE ignores ASCII case, so SQLite's LIKE
// optimisation takes only an index whose path column is in the NOCASE collation (the
// schema's own path indexes are BINARY):
//  - the entry lookup (getFileSyncStat) searches fstatinfo_path_nocase_idx. A pattern
//    without wildcards still gives a prefix range, so it visits the paths that begin with
//    the asked one: a file's entry and its case variants, but a folder's whole subtree too;
//  - the subtree query (isAnySubFileDirSyncing) searches fstatinfo_status_path_idx for
//    the syncing entries under the prefix only, so a folder holding many synced entries
//    is answered without walking them; isAnyFileSyncing uses its first column.
// They only add speed: initialize() still succeeds when they cannot be made, and a reader
// never builds them (it must not write), so it reads a file without them by a slower plan.
constexpr const char* kLookupIndexStatements[] = {
    "CREATE INDEX IF NOT EXISTS fstatinfo_path_nocase_idx on fstatinfo(path COLLATE NOCASE);",
    "CREATE INDEX IF NOT EXISTS fstatinfo_status_path_idx on fstatinfo(syncStatus, path "
    "COLLATE NOCASE);",
};

using SqliteText = kelo::sqlite::Text;         // sqlite3_mprintf, error texts
using ExpandedSql = kelo::sqlite::MallocText;  // KELODBEscapeStringEX3
using ResultTable = kelo::sqlite::Table;       // sqlite3_get_table

// The connection of one operation, by the process's role: a writer opens `path` for reading
// and writing (creating it if missing) and waits up to five minutes for locks held
// elsewhere; a reader uses a kept read-only connection and waits briefly (reader-mode.h).
// Whatever handle SQLite returns is closed with the object, also after a failed open. An
// icon's operations on the file share one read transaction.
class DbHandle : public kelo::DbConnection {
 public:
  DbHandle() : DbConnection(kComponent, /*icon_transaction=*/true) {}
};

// DbHandle::Open with the open-failure message most operations share.
int OpenLogged(const std::string& path, DbHandle* db) {
  const int rc = db->Open(path);
  if (rc != SQLITE_OK && !db->Silenced() && db->FirstReport(rc)) {
    KELO_LOG_ERROR(kComponent, "open db failed. db-path:[%s] errCode:[%d] errmsg:[%s]\n",
                   path.c_str(), rc, sqlite3_errmsg(db->get()));
  }
  return rc;
}

// The current database. In the reader role each thread keeps its own, set by its last
// initialize(), so that threads drawing icons of different sessions need no lock between
// initialising and reading (and none is held while one of them waits for a file); the
// process-wide m_fstatDBPath is still set, under g_current_mutex.
std::mutex g_current_mutex;
thread_local std::string t_current;
thread_local unsigned long long t_current_epoch = ~0ULL;

void SetCurrent(const std::string& path) {
  if (!kelo::InReaderMode()) {
    FileStatusDB::m_fstatDBPath = path;
    return;
  }
  {
    std::lock_guard<std::mutex> lock(g_current_mutex);
    FileStatusDB::m_fstatDBPath = path;
  }
  t_current = path;
  t_current_epoch = kelo::DbRoleEpoch();
}

std::string CurrentPath() {
  if (!kelo::InReaderMode()) return FileStatusDB::m_fstatDBPath;
  if (t_current_epoch == kelo::DbRoleEpoch()) return t_current;
  std::lock_guard<std::mutex> lock(g_current_mutex);
  return FileStatusDB::m_fstatDBPath;
}

// A failure of a reader's statement is logged once per file and result (a file without an
// index fails the same way on every icon); a writer logs every one.
bool ShouldLog(DbHandle* db, int rc) { return !db->TakeFailure(rc) && db->FirstReport(rc); }

// The error text SQLite handed back, or the connection's own when it handed back none.
const char* ErrorText(const SqliteText& err, sqlite3* db) {
  return err ? err.get() : sqlite3_errmsg(db);
}

int Exec(sqlite3* db, const char* sql, SqliteText* err) {
  char* text = nullptr;
  const int rc = sqlite3_exec(db, sql, nullptr, nullptr, &text);
  err->reset(text);
  return rc;
}

// Runs a write statement of the writer operations: 0 on success, -1 (logged) on failure.
int ExecWrite(DbHandle* db, const char* sql) {
  SqliteText err;
  const int rc = Exec(db->get(), sql, &err);
  if (rc == SQLITE_OK) return 0;
  if (!db->TakeFailure(rc)) {
    KELO_LOG_ERROR(kComponent, "sqlite3_exec error. errCode:(%d) error:[%s]\n", rc,
                   ErrorText(err, db->get()));
  }
  return -1;
}

struct QueryResult {
  ResultTable table;  // Row 0 holds the column names.
  int rows = 0;
  int cols = 0;
  SqliteText err;
};

int GetTable(sqlite3* db, const char* sql, QueryResult* result) {
  char** table = nullptr;
  char* err = nullptr;
  const int rc = sqlite3_get_table(db, sql, &table, &result->rows, &result->cols, &err);
  result->table.reset(table);
  result->err.reset(err);
  return rc;
}

// A path that does not fit its buffer, or that holds a NUL byte, is refused: cut short at
// the buffer's end or at the NUL, it would name another entry or another file.
bool IsUsablePath(const std::string& path, size_t maxLen) {
  if (path.size() > maxLen || path.find('\0') != std::string::npos) kelo::NoteReadFailure();
  if (path.size() > maxLen) {
    KELO_LOG_ERROR(kComponent, "path is too long. length:[%zu] max-length:[%zu] path:[%s]\n",
                   path.size(), maxLen, path.c_str());
    return false;
  }
  const size_t nul = path.find('\0');
  if (nul != std::string::npos) {
    KELO_LOG_ERROR(kComponent, "path holds a NUL byte. offset:[%zu] path:[%s]\n", nul,
                   path.c_str());
    return false;
  }
  return true;
}

// `path` with GLOB's wildcards made literal, for a GLOB pattern that must match the path
// itself and not every path its wildcards would match.
std::string GlobLiteral(const char* path) {
  std::string literal;
  for (const char* p = path; *p != '\0'; ++p) {
    if (*p == '*' || *p == '?' || *p == '[') {
      literal += '[';
      literal += *p;
      literal += ']';
    } else {
      literal += *p;
    }
  }
  return literal;
}

// Takes cell `col` of result row `row` (1-based) into *info, by the column positions of
// fstatinfo: id ignored, path, fileType, syncStatus; any further column is logged.
void AssignEntryCell(int row, int col, const char* cell, FileStatusInfo* info) {
  switch (col) {
    case 0:  // id
      break;
    case 1: {
      char cellBuf[kPathBufSize];
      info->path = FileStatusDB::mbstowcsIfNeed(cellBuf, cell, sizeof(cellBuf));
      break;
    }
    case 2:
      info->fileType = kelo::store::CellToInt32(cell);
      break;
    case 3:
      info->syncStatus = kelo::store::CellToInt32(cell);
      break;
    default:
      KELO_LOG_ERROR(kComponent, "mismatched db output index. row-idx:[%d] col-idx:[%d]\n", row,
                     col);
      break;
  }
}

// Runs `sql` on the current database: true when it returns at least one row. Failures
// are logged and answered with false.
bool AnyRow(const char* sql) {
  DbHandle db;
  if (OpenLogged(CurrentPath(), &db) != SQLITE_OK) return false;
  QueryResult result;
  const int rc = GetTable(db.get(), sql, &result);
  if (rc != SQLITE_OK) {
    if (!db.TakeFailure(rc)) {
      KELO_LOG_ERROR(kComponent, "get_table error. sql:[%s] errCode:[%d] errmsg:[%s]\n", sql, rc,
                     ErrorText(result.err, db.get()));
    }
    return false;
  }
  return result.rows > 0;
}

// --- The reader's lookups -----------------------------------------------------------------
// In the reader role the lookups run statements prepared once per kept connection, with the
// values bound; each gives the answer of the writer's statement text above (the differential
// tests and the entry fuzz target hold them to it), with or without the lookup indexes.

constexpr char kReaderSelectByPath[] = "select * from fstatinfo where path = ?1 collate nocase";
// The subtree query: ?1 is the folder prefix with LIKE's wildcards escaped, then "%". "+path"
// keeps SQLite from planning on the bound pattern, which would make it prepare the statement
// again for every new value. The range, when there is one, is what the LIKE optimisation
// would have added: the prefix up to its first non-ASCII byte, lower case, and that text with
// its last byte raised by one (LIKE folds ASCII letters only, so a matching path sorts between
// them in the NOCASE collation); it lets SQLite search fstatinfo_status_path_idx.
constexpr char kReaderSyncingBelow[] =
    "select * from fstatinfo where syncStatus=?2 and +path like ?1 escape '\\' limit 2";
constexpr char kReaderSyncingBelowInRange[] =
    "select * from fstatinfo where syncStatus=?2 and path >= ?3 collate nocase and "
    "path < ?4 collate nocase and +path like ?1 escape '\\' limit 2";
constexpr char kReaderAnySyncing[] = "select * from fstatinfo where syncStatus=2 limit 2";
constexpr char kSchemaVersion[] = "PRAGMA schema_version";

using Prepared = kelo::DbConnection::Prepared;

void BindText(sqlite3_stmt* stmt, int index, const std::string& text) {
  sqlite3_bind_text(stmt, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
}

// The schema checks of initialize(), run once per change of the file: skipped while the
// kept connection (which stands for one device, inode, change time and size) reports the
// schema version at which they last passed.
int CheckSchemaAsReader(DbHandle* db) {
  int rc;
  long long version = -1;
  {
    Prepared pragma(db, kSchemaVersion, &rc);
    if (pragma.get() != nullptr) {
      rc = sqlite3_step(pragma.get());
      if (rc == SQLITE_ROW) version = sqlite3_column_int64(pragma.get(), 0);
    }
  }
  if (version < 0) {
    if (ShouldLog(db, rc)) {
      KELO_LOG_ERROR(kComponent, KELO_LOGTEXT_SCHEMA_EXEC_FAILED, kSchemaVersion,
                     sqlite3_errmsg(db->get()));
    }
    return -1;
  }
  if (db->SchemaCheckedAt() == version) return 0;
  // On a read-only connection the schema statements only check that the table and its index
  // exist (SQLite writes nothing for an object that is there); a file without them fails.
  for (const char* statement : kSchemaStatements) {
    SqliteText err;
    rc = Exec(db->get(), statement, &err);
    if (rc != SQLITE_OK) {
      if (ShouldLog(db, rc)) {
        KELO_LOG_ERROR(kComponent, KELO_LOGTEXT_SCHEMA_EXEC_FAILED, statement,
                       ErrorText(err, db->get()));
      }
      return -1;
    }
  }
  db->SchemaCheckedAt() = version;
  return 0;
}

int EntryAsReader(const std::string& filePath, const char* pathBuf, FileStatusInfo* info) {
  DbHandle db;
  if (OpenLogged(CurrentPath(), &db) != SQLITE_OK) return -1;
  int rc;
  int rows = 0;
  FileStatusInfo found;  // *info stays untouched when the query fails
  {
    Prepared stmt(&db, kReaderSelectByPath, &rc);
    if (stmt.get() != nullptr) {
      sqlite3_bind_text(stmt.get(), 1, pathBuf, -1, SQLITE_STATIC);
      while ((rc = sqlite3_step(stmt.get())) == SQLITE_ROW) {
        ++rows;
        const int cols = sqlite3_column_count(stmt.get());
        for (int col = 0; col < cols; ++col) {
          AssignEntryCell(rows, col,
                          reinterpret_cast<const char*>(sqlite3_column_text(stmt.get(), col)),
                          &found);
        }
      }
    }
  }
  if (rc != SQLITE_DONE) {
    if (ShouldLog(&db, rc)) {
      KELO_LOG_ERROR(kComponent, "get fstat info failed. file-path:[%s] errCode:[%d] errmsg:[%s]\n",
                     filePath.c_str(), rc, sqlite3_errmsg(db.get()));
    }
    return -1;
  }
  *info = found;
  return rows > 0 ? 0 : -1;
}

// Runs the prepared `sql` with `bind` on the current database: true when it returns a row.
// Failures are logged (with shown(), the statement as the writer runs it) and answered with
// false.
template <typename Bind, typename Shown>
bool AnyRowAsReader(const char* sql, Bind bind, Shown shown) {
  DbHandle db;
  if (OpenLogged(CurrentPath(), &db) != SQLITE_OK) return false;
  int rc;
  {
    Prepared stmt(&db, sql, &rc);
    if (stmt.get() != nullptr) {
      bind(stmt.get());
      rc = sqlite3_step(stmt.get());
    }
  }
  if (rc == SQLITE_ROW) return true;
  if (rc != SQLITE_DONE && ShouldLog(&db, rc)) {
    KELO_LOG_ERROR(kComponent, "get_table error. sql:[%s] errCode:[%d] errmsg:[%s]\n",
                   shown().c_str(), rc, sqlite3_errmsg(db.get()));
  }
  return false;
}

bool SyncingBelowAsReader(const char* prefix) {
  std::string pattern;
  std::string low;
  for (const char* p = prefix; *p != '\0'; ++p) {
    if (*p == '\\' || *p == '%' || *p == '_') pattern += '\\';
    pattern += *p;
  }
  pattern += '%';
  for (const char* p = prefix; *p != '\0' && (*p & 0x80) == 0; ++p) {
    low += *p >= 'A' && *p <= 'Z' ? static_cast<char>(*p - 'A' + 'a') : *p;
  }
  std::string high = low;
  if (!high.empty()) ++high.back();
  return AnyRowAsReader(
      low.empty() ? kReaderSyncingBelow : kReaderSyncingBelowInRange,
      [&](sqlite3_stmt* stmt) {
        BindText(stmt, 1, pattern);
        sqlite3_bind_int(stmt, 2, FileStatusDB::kSyncing);
        if (!low.empty()) {
          BindText(stmt, 3, low);
          BindText(stmt, 4, high);
        }
      },
      [prefix] {
        ExpandedSql sql(KELODBEscapeStringEX3(kSelectSyncingBelow, prefix, FileStatusDB::kSyncing));
        return std::string(sql ? sql.get() : "");
      });
}

}  // namespace

std::string FileStatusDB::m_fstatDBPath;

FileStatusInfo::FileStatusInfo() : path() { clear(); }

void FileStatusInfo::clear() {
  syncStatus = FileStatusDB::kNoState;
  fileType = 0;
  path.clear();
}

// The result shows only in the log, as the constructor has none to give.
FileStatusDB::FileStatusDB(const std::string& dbPath) { static_cast<void>(initialize(dbPath)); }

FileStatusDB::~FileStatusDB() = default;

int FileStatusDB::initialize(const std::string& dbPath) {
  if (dbPath.empty()) {
    KELO_LOG_ERROR(kComponent, "fstat-db path is empty.\n");
    kelo::NoteReadFailure();
    return -1;
  }
  if (!IsUsablePath(dbPath, kMaxDBPathLen)) {
    // Neither the refused path nor the previous one may serve the operations that follow.
    SetCurrent(std::string());
    return -1;
  }
  // The new path becomes current before anything can fail.
  char pathBuf[kDBPathBufSize];
  const std::string current = wcstombsIfNeed(pathBuf, dbPath, sizeof(pathBuf));
  SetCurrent(current);

  DbHandle db;
  if (db.Open(current) != SQLITE_OK) {
    if (!db.Silenced() && db.FirstReport(SQLITE_CANTOPEN)) {
      KELO_LOG_ERROR(kComponent, "open db failed. db-path:[%s] errmsg:[%s]\n", dbPath.c_str(),
                     sqlite3_errmsg(db.get()));
    }
    return -1;
  }
  if (kelo::InReaderMode()) return CheckSchemaAsReader(&db);
  for (const char* statement : kSchemaStatements) {
    SqliteText err;
    const int rc = Exec(db.get(), statement, &err);
    if (rc != SQLITE_OK) {
      if (!db.TakeFailure(rc)) {
        KELO_LOG_ERROR(kComponent, KELO_LOGTEXT_SCHEMA_EXEC_FAILED, statement,
                       ErrorText(err, db.get()));
      }
      return -1;
    }
  }
  // Once an index exists its statement is a schema check that needs no write lock. Building
  // one needs the write lock and, on a large existing file, a few seconds per million
  // entries, once. A failure (read-only file, lock held past the busy time-out) is logged
  // and ends the attempt, so it costs at most one wait and one line; the next initialize()
  // tries again.
  for (const char* statement : kLookupIndexStatements) {
    SqliteText err;
    if (Exec(db.get(), statement, &err) != SQLITE_OK) {
      KELO_LOG_ERROR(kComponent, KELO_LOGTEXT_SCHEMA_EXEC_FAILED, statement,
                     ErrorText(err, db.get()));
      break;
    }
  }
  return 0;
}

int FileStatusDB::getFileSyncStat(const std::string& filePath, FileStatusInfo* info) {
  if (filePath.empty()) {
    KELO_LOG_ERROR(kComponent, "filepath is empty.\n");
    kelo::NoteReadFailure();
    return -1;
  }
  if (info == nullptr) {
    KELO_LOG_ERROR(kComponent, KELO_LOGTEXT_INFO_IS_NULL);
    kelo::NoteReadFailure();
    return -1;
  }
  if (!IsUsablePath(filePath, kMaxPathLen)) return -1;

  char pathBuf[kPathBufSize];
  wcstombsIfNeed(pathBuf, filePath, sizeof(pathBuf));
  if (kelo::InReaderMode()) return EntryAsReader(filePath, pathBuf, info);
  ExpandedSql sql(KELODBEscapeStringEX3(kSelectByPath, pathBuf));
  if (!sql) {
    KELO_LOG_ERROR(kComponent, "sqlite3_mprintf error. path:[%s]\n", filePath.c_str());
    kelo::NoteReadFailure();
    return -1;
  }
  DbHandle db;
  if (OpenLogged(CurrentPath(), &db) != SQLITE_OK) return -1;
  QueryResult result;
  const int rc = GetTable(db.get(), sql.get(), &result);
  if (rc != SQLITE_OK) {
    if (!db.TakeFailure(rc)) {
      KELO_LOG_ERROR(kComponent, "get fstat info failed. file-path:[%s] errCode:[%d] errmsg:[%s]\n",
                     filePath.c_str(), rc, ErrorText(result.err, db.get()));
    }
    return -1;
  }

  info->clear();
  char** cells = result.table.get();
  for (int row = 1; row <= result.rows; ++row) {
    for (int col = 0; col < result.cols; ++col) {
      AssignEntryCell(row, col, cells[row * result.cols + col], info);
    }
  }
  return result.rows > 0 ? 0 : -1;
}

bool FileStatusDB::isAnySubFileDirSyncing(const std::string& dirPath) {
  if (dirPath.empty()) {
    KELO_LOG_ERROR(kComponent, "prefix dirpath is empty.\n");
    kelo::NoteReadFailure();
    return false;
  }
  const std::string prefix = dirPath + "/";
  if (!IsUsablePath(prefix, kMaxPathLen)) return false;

  char prefixBuf[kPathBufSize];
  wcstombsIfNeed(prefixBuf, prefix, sizeof(prefixBuf));
  if (kelo::InReaderMode()) return SyncingBelowAsReader(prefixBuf);
  ExpandedSql sql(KELODBEscapeStringEX3(kSelectSyncingBelow, prefixBuf, kSyncing));
  if (!sql) {
    KELO_LOG_ERROR(kComponent, "sqlite3_mprintf error.\n");
    kelo::NoteReadFailure();
    return false;
  }
  return AnyRow(sql.get());
}

bool FileStatusDB::isAnyFileSyncing() {
  if (kelo::InReaderMode()) {
    return AnyRowAsReader(
        kReaderAnySyncing, [](sqlite3_stmt*) {}, [] { return std::string(kReaderAnySyncing); });
  }
  SqliteText sql(sqlite3_mprintf("select * from fstatinfo where syncStatus=%d limit 2", kSyncing));
  if (!sql) {
    KELO_LOG_ERROR(kComponent, "sqlite3_mprintf error.\n");
    kelo::NoteReadFailure();
    return false;
  }
  return AnyRow(sql.get());
}

int FileStatusDB::setFileSyncStat(const FileStatusInfo& info) {
  // An empty path names no item.
  if (info.path.empty()) {
    KELO_LOG_ERROR(kComponent, "filepath is empty.\n");
    return -1;
  }
  if (!IsUsablePath(info.path, kMaxPathLen)) return -1;
  DbHandle db;
  const int rc = OpenLogged(CurrentPath(), &db);
  if (rc != SQLITE_OK) return rc;

  char pathBuf[kPathBufSize];
  wcstombsIfNeed(pathBuf, info.path, sizeof(pathBuf));
  // A NULL id lets SQLite pick a fresh one; "or replace" drops the old row of the same path.
  SqliteText sql(sqlite3_mprintf(
      "insert or replace into fstatinfo  (id, path, fileType, syncStatus)  values(NULL, '%q', "
      "%d, %d);",
      pathBuf, info.fileType, info.syncStatus));
  if (!sql) {
    KELO_LOG_ERROR(kComponent, "sqlite3_mprintf error. filename:(%s)\n", info.path.c_str());
    return -1;
  }
  return ExecWrite(&db, sql.get());
}

int FileStatusDB::rmFileSyncStat(const FileStatusInfo& info) {
  // An empty path names no item, and its subtree "/*" would be every absolute path.
  if (info.path.empty()) {
    KELO_LOG_ERROR(kComponent, "filepath is empty.\n");
    return -1;
  }
  if (!IsUsablePath(info.path, kMaxPathLen)) return -1;
  DbHandle db;
  const int rc = OpenLogged(CurrentPath(), &db);
  if (rc != SQLITE_OK) return rc;

  char pathBuf[kPathBufSize];
  wcstombsIfNeed(pathBuf, info.path, sizeof(pathBuf));
  // The entry itself, its "/" subtree and its "\" subtree. GLOB has no escape character, so
  // the path's own wildcards are bracketed to match only themselves.
  const std::string literal = GlobLiteral(pathBuf);
  SqliteText sql(sqlite3_mprintf(
      "delete from fstatinfo where (path = %Q OR path GLOB '%q/*' OR path GLOB '%q\\*')", pathBuf,
      literal.c_str(), literal.c_str()));
  if (!sql) {
    KELO_LOG_ERROR(kComponent, "sqlite3_mprintf error. filename:(%s)\n", info.path.c_str());
    return -1;
  }
  return ExecWrite(&db, sql.get());
}

int FileStatusDB::rmEntryBySyncStatus(const std::string& dbPath, int syncStatus) {
  if (dbPath.empty()) {
    KELO_LOG_ERROR(kComponent, "fstat-db path is empty.\n");
    return -1;
  }
  if (!IsUsablePath(dbPath, kMaxPathLen)) return -1;
  char pathBuf[kPathBufSize];
  wcstombsIfNeed(pathBuf, dbPath, sizeof(pathBuf));
  DbHandle db;
  const int rc = OpenLogged(pathBuf, &db);
  if (rc != SQLITE_OK) return rc;

  SqliteText sql(sqlite3_mprintf("delete from fstatinfo where syncStatus=%d", syncStatus));
  if (!sql) {
    KELO_LOG_ERROR(kComponent, "sqlite3_mprintf error.\n");
    return -1;
  }
  return ExecWrite(&db, sql.get());
}

int FileStatusDB::updateAllSyncingEntry() {
  DbHandle db;
  const std::string current = CurrentPath();
  if (db.Open(current) != SQLITE_OK) {
    if (!db.Silenced()) {
      KELO_LOG_ERROR(kComponent, "FileStatusDB: failed to open database (%s)\n", current.c_str());
    }
    return -1;
  }
  // A fixed text, as the client knows it; its codes are the named states.
  static_assert(kSynced == 1 && kSyncing == 2, "the statement turns syncing into synced");
  const char* const sql = "UPDATE fstatinfo SET syncStatus = 1 WHERE syncStatus = 2";
  SqliteText err;
  const int rc = Exec(db.get(), sql, &err);
  if (rc != SQLITE_OK) {
    if (!db.TakeFailure(rc)) {
      KELO_LOG_ERROR(kComponent, KELO_LOGTEXT_UPDATE_ALL_EXEC_FAILED, ErrorText(err, db.get()), rc);
    }
    return -1;
  }
  return 0;
}

char* FileStatusDB::wcstombsIfNeed(char* dst, const std::string& src, size_t size) {
  kelo::CopyToZeroedBuffer(dst, src.c_str(), size);
  return dst;
}

char* FileStatusDB::mbstowcsIfNeed(char* dst, const char* src, size_t size) {
  kelo::CopyToZeroedBuffer(dst, src, size);
  return dst;
}
