#include "db/system-db/system-db.h"

#include <sqlite3.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <vector>

#include "db/log-messages.h"
#include "db/reader-mode/reader-mode.h"
#include "db/sqlite-owners.h"
#include "db/store/store.h"
#include "log/fixed-buffer.h"
#include "log/log.h"

sqlite3* SystemDB::m_db = nullptr;
pthread_mutex_t SystemDB::m_dbMutex = PTHREAD_MUTEX_INITIALIZER;
std::string SystemDB::m_systemDBPath;

namespace {

constexpr char kComponent[] = "system_db_debug";
constexpr int kBusyTimeoutMs = kelo::kWriterBusyTimeoutMs;
// The reserved session argument of setSessionStatus / setSessionErr: every enabled row.
constexpr char kAllSessions[] = "all";
// Reported with SQLITE_MISUSE when an operation finds the registry closed; SQLite is never
// handed a null connection.
constexpr char kNotOpenText[] = "system database is not open";

// Creates whatever is missing of the full schema and stamps the release version. Every table
// and index is created IF NOT EXISTS, so an existing file keeps its rows and its layout.
constexpr char kSchemaScript[] =
    "BEGIN;"
    "CREATE TABLE IF NOT EXISTS connection_table ( \tid INTEGER primary key autoincrement, "
    "\tconn_mode INTEGER, \tserver_name TEXT, \tserver_ip TEXT, \tserver_port INTEGER, "
    "\twaypoint_mode TEXT, \tusername TEXT COLLATE NOCASE, \tvault_id TEXT, "
    "\tsession TEXT NOT NULL DEFAULT '' , \tprotocol_version INTEGER, \tlinked INTEGER, "
    "\tuse_tunnel INTEGER, \ttunnel_ip TEXT, \ttunnel_port INTEGER ); "
    "CREATE TABLE IF NOT EXISTS session_table ( \tid INTEGER primary key autoincrement, "
    "\tconn_id INTEGER, \tshare_name TEXT COLLATE NOCASE, \tsession TEXT, \tattribute INTEGER, "
    "\tctime DATATIME DEFAULT (strftime('%s','now')), \tview_id INTEGER, \tstatus INTEGER, "
    "\terror INTEGER, \tsync_folder TEXT, \tcomputer_name TEXT );"
    "CREATE TABLE IF NOT EXISTS system_table ( \tkey    VARCHAR PRIMARY KEY ON CONFLICT IGNORE, "
    "\tvalue  VARCHAR NOT NULL );"
    "CREATE INDEX IF NOT EXISTS session_table_session_idx on session_table(session); "
    "CREATE INDEX IF NOT EXISTS session_table_name_idx on session_table(share_name); "
    "CREATE INDEX IF NOT EXISTS session_table_view_idx on session_table(view_id); "
    "CREATE INDEX IF NOT EXISTS session_table_attr_idx on session_table(attribute); "
    "insert or replace into system_table values ('release_version', 4); "
    "COMMIT; ";

// The lookup by path makes sure a session_table exists. When it has to create one it uses this
// older nine-column layout (no error, no computer_name); rows are still read by the positions of
// the full layout.
constexpr char kLookupTableScript[] =
    "BEGIN;"
    "CREATE TABLE IF NOT EXISTS session_table ( \tid INTEGER primary key, \tconn_id INTEGER, "
    "\tshare_name TEXT, \tsession TEXT, \tattribute INTEGER, "
    "\tctime DATATIME DEFAULT (strftime('%s','now')), \tview_id INTEGER, \tstatus INTEGER, "
    "\tsync_folder TEXT );"
    "COMMIT; ";

// The session whose sync_folder holds the path. The folder F is sync_folder without its trailing
// "/" (a folder of only "/" gives "", the root); it holds the path when the path + "/" begins
// with F + "/", so the path is F or lies below it. The prefix is cut from the path as bytes
// (substr of a BLOB) and compared in the NOCASE collation: ASCII letters without case, every
// other byte exactly, whatever SQLite's LIKE or an ICU lower() would make of non-ASCII text, and
// "%", "_" and "\" are plain bytes. A row whose sync_folder is longer than a value's limit
// (1023 bytes, trailing slashes included) takes no part: it could not be read back whole, and it
// must not fail the query or hide the other rows. A NULL folder holds nothing. The longest folder
// wins, counted in bytes after the trim; equal ones (the same folder up to ASCII case and
// trailing slashes) are decided by the row stored first.
constexpr char kLookupQuery[] =
    "select * from session_table where length(CAST(sync_folder AS BLOB)) <= %d AND "
    "CAST(substr(CAST('%q/' AS BLOB), 1, length(CAST(rtrim(sync_folder, '/') AS BLOB)) + 1) "
    "AS TEXT) = (rtrim(sync_folder, '/') || '/') COLLATE NOCASE "
    "ORDER BY length(CAST(rtrim(sync_folder, '/') AS BLOB)) DESC, rowid LIMIT 1;";

// --- Owners ------------------------------------------------------------------------------------

using DbHandle = kelo::sqlite::Connection;
using Statement = kelo::sqlite::Statement;
using SqliteText = kelo::sqlite::Text;  // formatted SQL and the error texts of sqlite3_exec
using ResultTable = kelo::sqlite::Table;

// Holds m_dbMutex for its lifetime. Declared after the holders that must be released while the
// lock is held (statements of the readers), before those released after the unlock.
class DbLock : public kelo::MutexLock {
 public:
  DbLock() : MutexLock(&SystemDB::m_dbMutex) {}
};

// A zero-filled buffer of N bytes that a value is copied through. assign() reports whether the
// whole value was copied; a value that was not must not be used, since a path or name cut at the
// buffer's end or at a NUL byte would match or write the wrong row.
template <size_t N>
class Buffer {
 public:
  bool assign(const std::string& value) {
    length_ = kelo::CopyToZeroedBuffer(buf_, value.c_str(), N);
    return length_ < N && length_ == value.size();
  }
  bool assign(const char* value) {
    length_ = kelo::CopyToZeroedBuffer(buf_, value, N);
    return length_ < N;
  }
  const char* c_str() const { return buf_; }
  size_t length() const { return length_; }

 private:
  char buf_[N];
  size_t length_ = 0;
};
using PathBuffer = Buffer<SystemDB::kPathBufferSize>;
using ValueBuffer = Buffer<SystemDB::kValueBufferSize>;
using ShortBuffer = Buffer<SystemDB::kShortValueBufferSize>;

void LogTooLong(const char* op, size_t length, size_t limit) {
  KELO_LOG_ERROR(kComponent, "%s: value of %zu bytes is longer than its limit of %zu\n", op, length,
                 limit);
}

// Refuses (logged) a text argument that holds a NUL byte: SQL would see only its part before the
// NUL, another session, share or path.
bool IsWholeText(const std::string& value, const char* op) {
  const size_t nul = value.find('\0');
  if (nul == std::string::npos) return true;
  KELO_LOG_ERROR(kComponent, "%s: value holds a NUL byte at offset %zu\n", op, nul);
  return false;
}

// Copies an argument into its scratch buffer; refuses (logged) a value that holds a NUL byte or
// does not fit.
template <size_t N>
bool CopyArgument(Buffer<N>* buf, const std::string& value, const char* op) {
  if (!IsWholeText(value, op)) return false;
  if (buf->assign(value)) return true;
  LogTooLong(op, buf->length(), N - 1);
  return false;
}

// An error text is only reported, so a long one is cut to its buffer rather than refused.
std::string ReportedText(const char* text) {
  ValueBuffer buf;
  buf.assign(text);
  return buf.c_str();
}

// Reads decimal text as a signed 64-bit number (as atoi() would, saturating at the 64-bit bounds)
// and keeps its bits, as sqlite3_column_int64 gives id and view_id to the list readers.
uint64_t ParseId(const char* text) {
  return text != nullptr ? static_cast<uint64_t>(std::strtoll(text, nullptr, 10)) : 0;
}

unsigned long long ForLlu(uint64_t value) { return static_cast<unsigned long long>(value); }

// --- The shared connection -----------------------------------------------------------------

const char* SharedErrorText() {
  return SystemDB::m_db != nullptr ? sqlite3_errmsg(SystemDB::m_db) : kNotOpenText;
}

int PrepareShared(const char* sql, Statement* stmt) {
  if (SystemDB::m_db == nullptr) return SQLITE_MISUSE;
  sqlite3_stmt* raw = nullptr;
  const int rc = sqlite3_prepare_v2(SystemDB::m_db, sql, -1, &raw, nullptr);
  stmt->reset(raw);
  return rc;
}

int ExecShared(const char* sql, SqliteText* error) {
  char* raw = nullptr;
  int rc = SQLITE_MISUSE;
  if (SystemDB::m_db == nullptr) {
    raw = sqlite3_mprintf("%s", kNotOpenText);
  } else {
    rc = sqlite3_exec(SystemDB::m_db, sql, nullptr, nullptr, &raw);
  }
  error->reset(raw);
  return rc;
}

// Column readers that treat a position past the end of the row (a table with fewer columns than
// the full layout) as NULL.
bool HasColumn(sqlite3_stmt* stmt, int col) { return col < sqlite3_column_count(stmt); }
int ColumnInt(sqlite3_stmt* stmt, int col) {
  return HasColumn(stmt, col) ? sqlite3_column_int(stmt, col) : 0;
}
uint64_t ColumnId(sqlite3_stmt* stmt, int col) {
  return HasColumn(stmt, col) ? static_cast<uint64_t>(sqlite3_column_int64(stmt, col)) : 0;
}
bool ColumnIsNull(sqlite3_stmt* stmt, int col) {
  return !HasColumn(stmt, col) || sqlite3_column_type(stmt, col) == SQLITE_NULL;
}

// Copies a text column (NULL gives "") through a zero-filled buffer of N bytes into *out; a value
// that does not fit is refused (logged) and leaves *out as it was.
template <size_t N>
bool ColumnText(sqlite3_stmt* stmt, int col, const char* op, std::string* out) {
  Buffer<N> buf;
  const char* text = HasColumn(stmt, col)
                         ? reinterpret_cast<const char*>(sqlite3_column_text(stmt, col))
                         : nullptr;
  if (!buf.assign(text)) {
    LogTooLong(op, buf.length(), N - 1);
    return false;
  }
  *out = buf.c_str();
  return true;
}

// As columnText, then traces the value at DEBUG.
bool TracedColumnText(sqlite3_stmt* stmt, int col, const char* op, std::string* out) {
  if (!ColumnText<SystemDB::kValueBufferSize>(stmt, col, op, out)) return false;
  KELO_LOG_DEBUG(kComponent, "%s\n", out->c_str());
  return true;
}

void LogStepFailure(int rc) {
  KELO_LOG_ERROR(kComponent, "sqlite3_step: [%d] %s\n", rc, SharedErrorText());
}

// The read frame: under m_dbMutex, prepare `sql` on m_db and hand the statement to `read`,
// whose result is returned. The statement is finalised before the unlock; the caller owns `sql`
// and frees it afterwards. `name` leads the prepare failure message.
template <typename Read>
int ReadLocked(const char* name, const char* sql, Read read) {
  DbLock lock;
  Statement stmt;
  const int rc = PrepareShared(sql, &stmt);
  if (rc != SQLITE_OK) {
    KELO_LOG_ERROR(kComponent, "%s: sqlite3_prepare_v2: %s (%d)\n", name, SharedErrorText(), rc);
    return -1;
  }
  return read(stmt.get());
}

// Steps through every row, handing each to on_row, which returns false to stop with failure.
// Returns 0 at the end of the rows, -1 after a failed step (logged) or a refused row.
template <typename OnRow>
int ForEachRow(sqlite3_stmt* stmt, OnRow on_row) {
  for (;;) {
    const int rc = sqlite3_step(stmt);
    if (rc == SQLITE_DONE) return 0;
    if (rc != SQLITE_ROW) {
      LogStepFailure(rc);
      return -1;
    }
    if (!on_row(stmt)) return -1;
  }
}

// Fills the members that the session readers take, by the column positions of the full layout;
// each text member is traced at DEBUG. conn_id, ctime and computer_name are not read.
bool ReadSessionRow(sqlite3_stmt* stmt, const char* op, KELOSessionInfo* info) {
  using namespace kelo::store;  // the column positions
  info->id = ColumnId(stmt, kSessionId);
  if (!TracedColumnText(stmt, kSessionShareName, op, &info->share_name)) return false;
  if (!TracedColumnText(stmt, kSessionSession, op, &info->session)) return false;
  info->attribute = ColumnInt(stmt, kSessionAttribute);
  info->view_id = ColumnId(stmt, kSessionViewId);
  info->status = ColumnInt(stmt, kSessionStatus);
  info->error = ColumnInt(stmt, kSessionError);
  return TracedColumnText(stmt, kSessionSyncFolder, op, &info->sync_folder);
}

// getSessionList, getEnabledSession and getSessionListWithConf: every row `sql` yields, as a
// fresh record. `name` is the name their messages carry, `op` the operation itself.
int ReadSessionList(const char* name, const char* op, const char* sql,
                    std::list<KELOSessionInfo>& list) {
  list.clear();
  KELO_LOG_DEBUG(kComponent, "%s\n", name);
  return ReadLocked(name, sql, [&](sqlite3_stmt* stmt) {
    return ForEachRow(stmt, [&](sqlite3_stmt* row) {
      KELOSessionInfo info;
      if (!ReadSessionRow(row, op, &info)) return false;
      list.push_back(info);
      return true;
    });
  });
}

// getSyncFolder and getSyncFolderBySession: sync_folder of the first row `sql` yields.
int ReadSyncFolder(const char* op, const char* sql, std::string& folder) {
  return ReadLocked(kelo::logtext::kFolderReadsName, sql, [&](sqlite3_stmt* stmt) {
    const int rc = sqlite3_step(stmt);
    if (rc == SQLITE_ROW) {
      std::string value;
      if (!ColumnText<SystemDB::kValueBufferSize>(stmt, 0, op, &value)) return -1;
      KELO_LOG_DEBUG(kComponent, KELO_LOGTEXT_SYNC_FOLDER_FOUND, value.c_str());
      folder = value;
      return 0;
    }
    if (rc == SQLITE_DONE) {
      KELO_LOG_ERROR(kComponent, KELO_LOGTEXT_NO_SYNC_FOLDER);
      return -1;
    }
    LogStepFailure(rc);
    return -1;
  });
}

// The write frame: under m_dbMutex, format the statement, run it with sqlite3_exec and, when it
// succeeded, run `then` (still under the lock) for the result. `name` leads the
// "<name> fail ret = <code> <text>" message, `format_failed` is logged when the formatter returns
// nothing. The statement and SQLite's error text are freed after the unlock.
template <typename Format, typename Then>
int WriteLocked(const char* name, const char* format_failed, Format format, Then then) {
  SqliteText sql;
  SqliteText error;
  DbLock lock;
  sql.reset(format());
  if (!sql) {
    KELO_LOG_ERROR(kComponent, "%s\n", format_failed);
    return -1;
  }
  const int rc = ExecShared(sql.get(), &error);
  if (rc != SQLITE_OK) {
    KELO_LOG_ERROR(kComponent, "%s fail ret = %d %s\n", name, rc,
                   ReportedText(error.get()).c_str());
    return -1;
  }
  return then();
}

template <typename Format>
int WriteLocked(const char* name, const char* format_failed, Format format) {
  return WriteLocked(name, format_failed, format, [] { return 0; });
}

// Names that complete the messages of updateAndFetchId.
struct UpdateNames {
  const char* op;     // "<op> fail ret = ..." and "<op>: sqlite3_prepare_v2: ..."
  const char* row;    // "update <row> id %llu"
  const char* no_id;  // logged when no row was updated (log-messages.h)
};

// The frame of updateSessionInfo and updateConnectionInfo: under one hold of m_dbMutex, run
// `on_locked`, the UPDATE, and a look-up of the first targeted row's id into *id, so no other
// write of this process comes between them. The look-up statement is finalised after the
// unlock, the texts are freed after it too.
template <typename OnLocked, typename FormatUpdate, typename FormatLookup>
int UpdateAndFetchId(const UpdateNames& names, OnLocked on_locked, FormatUpdate format_update,
                     FormatLookup format_lookup, uint64_t* id) {
  const char* const kFormatFailed = kelo::logtext::kFormatFailedInsertReplace;
  Statement lookup;
  SqliteText error;
  SqliteText lookup_sql;
  SqliteText update_sql;
  DbLock lock;
  on_locked();
  update_sql.reset(format_update());
  if (!update_sql) {
    KELO_LOG_ERROR(kComponent, "%s\n", kFormatFailed);
    return -1;
  }
  int rc = ExecShared(update_sql.get(), &error);
  if (rc != SQLITE_OK) {
    KELO_LOG_ERROR(kComponent, "%s fail ret = %d %s\n", names.op, rc,
                   ReportedText(error.get()).c_str());
    return -1;
  }
  lookup_sql.reset(format_lookup());
  if (!lookup_sql) {
    KELO_LOG_ERROR(kComponent, "%s\n", kFormatFailed);
    return -1;
  }
  rc = PrepareShared(lookup_sql.get(), &lookup);
  if (rc != SQLITE_OK) {
    KELO_LOG_ERROR(kComponent, "%s: sqlite3_prepare_v2: %s (%d)\n", names.op, SharedErrorText(),
                   rc);
    return -1;
  }
  rc = sqlite3_step(lookup.get());
  if (rc == SQLITE_ROW) {
    *id = ColumnId(lookup.get(), 0);
    KELO_LOG_DEBUG(kComponent, "update %s id %llu\n", names.row, ForLlu(*id));
    return 0;
  }
  if (rc == SQLITE_DONE) {
    KELO_LOG_ERROR(kComponent, "%s", names.no_id);
    return -1;
  }
  LogStepFailure(rc);
  return -1;
}

// setSessionStatus and setSessionErr differ only in the column they write:
//   "update session_table SET <column> = %d WHERE session = '%q';" or, for "all",
//   "update session_table SET <column> = %d WHERE session IS NOT NULL AND (attribute & %d);"
int SetSessionColumn(const char* op, const char* column, const std::string& session, int value) {
  const char* const kFormatFailed = kelo::logtext::kFormatFailed;
  if (session == kAllSessions) {
    return WriteLocked(op, kFormatFailed, [&] {
      return sqlite3_mprintf(
          "update session_table SET %s = %d WHERE session IS NOT NULL AND (attribute & %d);",
          column, value, SystemDB::kEnabledBit);
    });
  }
  ValueBuffer name;
  if (!CopyArgument(&name, session, op)) return -1;
  return WriteLocked(op, kFormatFailed, [&] {
    return sqlite3_mprintf("update session_table SET %s = %d WHERE session = '%q';", column, value,
                           name.c_str());
  });
}

// Part of the row that the lookup by path reads, by the positions of the full layout. Integers
// come as text from sqlite3_get_table; id and view_id are read as 64-bit values, the 32-bit
// members are clamped to their range. Returns false for a text value longer than its buffer.
bool AssignLookupColumn(int col, const char* text, KELOSessionInfo* info) {
  const auto text_member = [text](std::string* member) {
    ValueBuffer buf;
    if (!buf.assign(text)) return false;
    *member = buf.c_str();
    return true;
  };
  switch (col) {
    case kelo::store::kSessionId:
      info->id = ParseId(text);
      return true;
    case kelo::store::kSessionShareName:
      return text_member(&info->share_name);
    case kelo::store::kSessionSession:
      return text_member(&info->session);
    case kelo::store::kSessionAttribute:
      info->attribute = kelo::store::CellToInt32(text);
      return true;
    case kelo::store::kSessionViewId:
      info->view_id = ParseId(text);
      return true;
    case kelo::store::kSessionStatus:
      info->status = kelo::store::CellToInt32(text);
      return true;
    case kelo::store::kSessionSyncFolder:
      return text_member(&info->sync_folder);
    default:  // conn_id, ctime, error and computer_name are not read
      return true;
  }
}

// --- The reader's lookup by path --------------------------------------------------------------
// In the reader role the rows of session_table are read once per change of the registry and
// kept with the connection: read again only when PRAGMA data_version of that connection moves
// (a commit by another connection) or the file's identity does (then the connection is a new
// one). The lookup over them answers as kLookupQuery does: the rule of
// kelo::store::FolderHoldsPath, the longest folder without its trailing "/" first, the lowest
// rowid between equals, and the row's cells as SQLite gives them as text.

constexpr char kReaderDataVersion[] = "PRAGMA data_version";
constexpr char kReaderSessionRows[] = "select rowid, sync_folder, * from session_table";

struct KeptSessions {
  struct Row {
    long long rowid = 0;
    std::optional<std::string> folder;
    std::vector<std::optional<std::string>> cells;  // the columns of "select *"
  };
  long long data_version = -1;
  std::vector<Row> rows;
};

std::optional<std::string> TextCell(sqlite3_stmt* stmt, int col) {
  const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt, col));
  if (text == nullptr) return std::nullopt;
  return std::string(text, static_cast<size_t>(sqlite3_column_bytes(stmt, col)));
}

// Reads every row of session_table into *kept. SQLite's result code.
int ReadSessions(kelo::DbConnection* db, KeptSessions* kept) {
  int rc;
  kelo::DbConnection::Prepared stmt(db, kReaderSessionRows, &rc);
  if (stmt.get() == nullptr) return rc;
  const int cols = sqlite3_column_count(stmt.get());
  while ((rc = sqlite3_step(stmt.get())) == SQLITE_ROW) {
    KeptSessions::Row& row = kept->rows.emplace_back();
    row.rowid = sqlite3_column_int64(stmt.get(), 0);
    row.folder = TextCell(stmt.get(), 1);
    for (int c = 2; c < cols; ++c) row.cells.push_back(TextCell(stmt.get(), c));
  }
  return rc == SQLITE_DONE ? SQLITE_OK : rc;
}

// The kept rows of the registry on `db`, read again when it changed; nullptr with *rc set
// when they cannot be read.
const KeptSessions* CurrentSessions(kelo::DbConnection* db, int* rc) {
  long long version = -1;
  {
    kelo::DbConnection::Prepared pragma(db, kReaderDataVersion, rc);
    if (pragma.get() != nullptr && (*rc = sqlite3_step(pragma.get())) == SQLITE_ROW) {
      version = sqlite3_column_int64(pragma.get(), 0);
      *rc = SQLITE_OK;
    }
  }
  if (*rc != SQLITE_OK) return nullptr;
  auto kept = std::static_pointer_cast<KeptSessions>(db->Memo());
  if (kept != nullptr && kept->data_version == version) return kept.get();
  db->Memo().reset();
  kept = std::make_shared<KeptSessions>();
  kept->data_version = version;
  *rc = ReadSessions(db, kept.get());
  if (*rc != SQLITE_OK) return nullptr;
  db->Memo() = kept;
  return kept.get();
}

// kLookupQuery over the kept rows: the row that holds `path`, or nullptr.
const KeptSessions::Row* Winner(const KeptSessions& sessions, const char* path) {
  const KeptSessions::Row* winner = nullptr;
  size_t longest = 0;
  for (const KeptSessions::Row& row : sessions.rows) {
    if (!row.folder || !kelo::store::FolderHoldsPath(*row.folder, path)) continue;
    const size_t length = kelo::store::FolderLength(*row.folder);
    if (winner == nullptr || length > longest || (length == longest && row.rowid < winner->rowid)) {
      winner = &row;
      longest = length;
    }
  }
  return winner;
}

int LookupAsReader(const char* db_path, const char* file_path, KELOSessionInfo* info) {
  kelo::DbConnection db(kComponent);
  if (db.Open(db_path) != SQLITE_OK) return -1;
  int rc;
  const KeptSessions* sessions = CurrentSessions(&db, &rc);
  if (sessions == nullptr) {
    if (db.TakeFailure(rc) || (rc & 0xff) == SQLITE_BUSY) return -1;
    // As the table script before the query: no session_table fails with -1, any other
    // failure is the query's.
    const int script = sqlite3_exec(db.get(), kLookupTableScript, nullptr, nullptr, nullptr);
    return script != SQLITE_OK ? -1 : rc;
  }
  const KeptSessions::Row* row = Winner(*sessions, file_path);
  if (row == nullptr) return 0;
  KELOSessionInfo found = *info;
  for (size_t c = 0; c < row->cells.size(); ++c) {
    const auto& cell = row->cells[c];
    if (!AssignLookupColumn(static_cast<int>(c), cell ? cell->c_str() : nullptr, &found)) return -1;
  }
  *info = found;
  return 0;
}

}  // namespace

SystemDB::SystemDB() { KELO_LOG_DEBUG(kComponent, "SystemDB constructed\n"); }

SystemDB::~SystemDB() { KELO_LOG_DEBUG(kComponent, KELO_LOGTEXT_DESTRUCTED); }

char* SystemDB::mbstowcsIfNeed(char* dst, const char* src, size_t size) {
  kelo::CopyToZeroedBuffer(dst, src, size);
  return dst;
}

char* SystemDB::wcstombsIfNeed(char* dst, const std::string& src, size_t size) {
  kelo::CopyToZeroedBuffer(dst, src.c_str(), size);
  return dst;
}

// --- Lifecycle ---------------------------------------------------------------------------------

int SystemDB::initialize(const std::string& path) {
  if (m_db != nullptr) {
    KELO_LOG_INFO(kComponent, "SystemDB has been initialized (no-op)\n");
    return 0;
  }
  PathBuffer file;
  if (!CopyArgument(&file, path, "initialize")) return -1;

  // A reader opens an existing registry read-only and runs no schema script (which writes
  // "release_version"): it lists what is there and changes nothing.
  const bool reader = kelo::InReaderMode();
  DbHandle db;  // also closes the handle of a failed open
  int rc = kelo::sqlite::Open(
      file.c_str(), reader ? kelo::sqlite::kReadOnly : kelo::sqlite::kReadWriteCreate, &db);
  if (rc != SQLITE_OK) {
    KELO_LOG_ERROR(kComponent, "SystemDB: Failed to open database at '%s'. [%d] %s\n", path.c_str(),
                   rc, sqlite3_errmsg(db.get()));
    return -1;
  }
  // Before the schema script, which writes "release_version": without a busy handler that
  // write fails at once whenever a badge lookup is reading the file.
  sqlite3_busy_timeout(db.get(), reader ? kelo::kReaderBusyBudgetMs : kBusyTimeoutMs);

  char* raw_error = nullptr;
  rc = reader ? SQLITE_OK : sqlite3_exec(db.get(), kSchemaScript, nullptr, nullptr, &raw_error);
  SqliteText error(raw_error);
  if (rc != SQLITE_OK) {
    KELO_LOG_ERROR(kComponent, "SystemDB: Failed to initialize database at '%s'. [%d] %s\n",
                   path.c_str(), rc, sqlite3_errmsg(db.get()));
    KELO_LOG_ERROR(kComponent, "initialize fail %s\n", ReportedText(error.get()).c_str());
    return -1;
  }

  m_db = db.release();
  m_systemDBPath = file.c_str();
  KELO_LOG_INFO(kComponent, "SystemDB has been initialized with location '%s'\n", path.c_str());
  return 0;
}

void SystemDB::destroy() {
  if (m_db == nullptr) {
    KELO_LOG_INFO(kComponent, "SystemDB has been deinitialzed (no-op)\n");
    return;
  }
  sqlite3_close(m_db);
  m_db = nullptr;
  m_systemDBPath.clear();
  KELO_LOG_INFO(kComponent, "SystemDB has been deinitialzed\n");
}

// --- Lookup by path ----------------------------------------------------------------------------

int SystemDB::getSessionInfoByFilePath(const std::string& dbPath, const std::string& filePath,
                                       KELOSessionInfo* info) {
  // Silent by design: this runs on the Finder's drawing thread for every icon.
  if (dbPath.empty() || info == nullptr) return -1;
  PathBuffer db_path;
  ValueBuffer file_path;
  if (!db_path.assign(dbPath) || !file_path.assign(filePath)) return -1;

  if (kelo::InReaderMode()) return LookupAsReader(db_path.c_str(), file_path.c_str(), info);
  kelo::DbConnection db(kComponent);
  int rc = db.Open(db_path.c_str());
  if (rc != SQLITE_OK) return -1;
  rc = sqlite3_exec(db.get(), kLookupTableScript, nullptr, nullptr, nullptr);
  if (rc != SQLITE_OK) {
    db.TakeFailure(rc);
    return -1;
  }

  SqliteText query(
      sqlite3_mprintf(kLookupQuery, static_cast<int>(kValueBufferSize - 1), file_path.c_str()));
  if (!query) return -1;

  char** raw_table = nullptr;
  char* raw_error = nullptr;
  int rows = 0;
  int cols = 0;
  rc = sqlite3_get_table(db.get(), query.get(), &raw_table, &rows, &cols, &raw_error);
  ResultTable table(raw_table);
  SqliteText error(raw_error);
  if (rc != SQLITE_OK) {
    db.TakeFailure(rc);
    return rc;
  }

  // Row 0 holds the column names. The record is filled as a copy so that a refused value
  // leaves the caller's record untouched.
  KELOSessionInfo found = *info;
  for (int r = 1; r <= rows; ++r) {
    for (int c = 0; c < cols; ++c) {
      if (!AssignLookupColumn(c, table.get()[r * cols + c], &found)) return -1;
    }
  }
  *info = found;
  return 0;
}

// --- Session queries ---------------------------------------------------------------------------

int SystemDB::getSessionList(std::list<KELOSessionInfo>& list) {
  return ReadSessionList("getSessionList", "getSessionList", "SELECT * FROM session_table ;", list);
}

int SystemDB::getEnabledSession(std::list<KELOSessionInfo>& list) {
  SqliteText sql(sqlite3_mprintf(
      "SELECT * FROM session_table  WHERE session IS NOT NULL AND (attribute & %d);", kEnabledBit));
  return ReadSessionList("getEnabledSession", "getEnabledSession", sql.get(), list);
}

int SystemDB::getSessionListWithConf(std::list<KELOSessionInfo>& list) {
  return ReadSessionList(kelo::logtext::kSessionListWithConfName, "getSessionListWithConf",
                         "SELECT * FROM session_table  WHERE session IS NOT NULL; ", list);
}

int SystemDB::getRowIDList(std::list<uint64_t>& ids) {
  ids.clear();
  KELO_LOG_DEBUG(kComponent, "getRowIDList\n");
  return ReadLocked("getRowIDList", "SELECT id FROM session_table WHERE session IS NOT NULL ;",
                    [&](sqlite3_stmt* stmt) {
                      return ForEachRow(stmt, [&](sqlite3_stmt* row) {
                        ids.push_back(ColumnId(row, 0));
                        return true;
                      });
                    });
}

int SystemDB::getSession(std::list<std::string>& sessions) {
  sessions.clear();
  KELO_LOG_DEBUG(kComponent, "getSession\n");
  return ReadLocked("getSession", "SELECT session FROM session_table WHERE session IS NOT NULL ;",
                    [&](sqlite3_stmt* stmt) {
                      return ForEachRow(stmt, [&](sqlite3_stmt* row) {
                        std::string session;
                        if (!ColumnText<kShortValueBufferSize>(row, 0, "getSession", &session))
                          return false;
                        sessions.push_back(session);
                        KELO_LOG_DEBUG(kComponent, "get enabled session %s\n", session.c_str());
                        return true;
                      });
                    });
}

int SystemDB::getHomeSession(KELOSessionInfo& info) {
  KELO_LOG_DEBUG(kComponent, "getHomeSession\n");
  return ReadLocked("getHomeSession", "SELECT * FROM session_table WHERE share_name = 'home' ",
                    [&](sqlite3_stmt* stmt) {
                      const int rc = sqlite3_step(stmt);
                      if (rc == SQLITE_DONE) return 0;
                      if (rc != SQLITE_ROW) {
                        KELO_LOG_ERROR(kComponent, KELO_LOGTEXT_HOME_SESSION_STEP_FAILED,
                                       SharedErrorText(), rc);
                        return -1;
                      }
                      KELOSessionInfo found = info;  // unread members keep their values
                      if (!ReadSessionRow(stmt, "getHomeSession", &found)) return -1;
                      info = found;
                      return 0;
                    });
}

int SystemDB::getSyncFolder(const std::string& shareName, std::string& folder) {
  ValueBuffer share;
  if (!CopyArgument(&share, shareName, "getSyncFolder")) return -1;
  SqliteText sql(sqlite3_mprintf("SELECT sync_folder FROM session_table WHERE share_name = '%q';",
                                 share.c_str()));
  KELO_LOG_DEBUG(kComponent, "getSyncFolder\n");
  return ReadSyncFolder("getSyncFolder", sql.get(), folder);
}

int SystemDB::getSyncFolderBySession(const std::string& session, std::string& folder) {
  ValueBuffer id;
  if (!CopyArgument(&id, session, "getSyncFolderBySession")) return -1;
  SqliteText sql(
      sqlite3_mprintf("SELECT sync_folder FROM session_table WHERE session = '%q';", id.c_str()));
  KELO_LOG_DEBUG(kComponent, "getSyncFolderBySession\n");
  return ReadSyncFolder("getSyncFolderBySession", sql.get(), folder);
}

int SystemDB::getFolderInfoBySession(const std::string& session, std::string& shareName,
                                     std::string& folder) {
  static constexpr char kOp[] = "getFolderInfoBySession";
  ValueBuffer id;
  if (!CopyArgument(&id, session, kOp)) return -1;
  SqliteText sql(sqlite3_mprintf(
      "SELECT share_name,sync_folder FROM session_table WHERE session = '%q';", id.c_str()));
  KELO_LOG_DEBUG(kComponent, KELO_LOGTEXT_FOLDER_INFO_ENTRY);
  // Every matching row is read and the last non-NULL value of each column wins. The outputs are
  // assigned only when the whole query succeeded.
  std::string share_value = shareName;
  std::string folder_value = folder;
  const int result =
      ReadLocked(kelo::logtext::kFolderReadsName, sql.get(), [&](sqlite3_stmt* stmt) {
        return ForEachRow(stmt, [&](sqlite3_stmt* row) {
          if (!ColumnIsNull(row, 0) &&
              !ColumnText<kShortValueBufferSize>(row, 0, kOp, &share_value)) {
            return false;
          }
          return ColumnIsNull(row, 1) ||
                 ColumnText<kShortValueBufferSize>(row, 1, kOp, &folder_value);
        });
      });
  if (result == 0) {
    shareName = share_value;
    folder = folder_value;
  }
  return result;
}

int SystemDB::getSessionStatusAndErr(const std::string& session, int& status, int& error) {
  ValueBuffer id;
  if (!CopyArgument(&id, session, "getSessionStatusAndErr")) return -1;
  SqliteText sql(
      sqlite3_mprintf("SELECT status, error FROM session_table WHERE session = '%q';", id.c_str()));
  KELO_LOG_DEBUG(kComponent, "getSessionStatusAndErr\n");
  return ReadLocked("getSessionStatusAndErr", sql.get(), [&](sqlite3_stmt* stmt) {
    const int rc = sqlite3_step(stmt);
    if (rc == SQLITE_ROW) {
      status = ColumnInt(stmt, 0);
      error = ColumnInt(stmt, 1);
      return 0;
    }
    if (rc == SQLITE_DONE) {
      KELO_LOG_DEBUG(kComponent, KELO_LOGTEXT_NO_STATUS_AND_ERR, session.c_str());
    } else {
      LogStepFailure(rc);
    }
    return -1;
  });
}

// --- Session updates ---------------------------------------------------------------------------

int SystemDB::setSessionStatus(const std::string& session, int status) {
  return SetSessionColumn("setSessionStatus", "status", session, status);
}

int SystemDB::setSessionErr(const std::string& session, int error) {
  return SetSessionColumn("setSessionErr", "error", session, error);
}

int SystemDB::rmSessionInfo(const KELOSessionInfo& info, uint64_t conn_id) {
  return WriteLocked(kelo::logtext::kSessionRowWriteName, kelo::logtext::kFormatFailedInsertReplace,
                     [&] {
                       return sqlite3_mprintf(
                           "delete from session_table where view_id = %llu and conn_id = %llu; ",
                           ForLlu(info.view_id), ForLlu(conn_id));
                     });
}

int SystemDB::disableAllSession() {
  KELO_LOG_DEBUG(kComponent, "disableAllSession \n");
  return WriteLocked("disableAllSession", kelo::logtext::kFormatFailedInsert, [] {
    return sqlite3_mprintf(
        "UPDATE session_table SET  attribute = attribute & ~(%d),  status = 0,  error = 0 ; ",
        kEnabledBit);
  });
}

int SystemDB::updateHomeViewID(uint64_t view_id) {
  return WriteLocked("updateHomeViewID", kelo::logtext::kFormatFailed, [&] {
    return sqlite3_mprintf("update session_table SET view_id = %llu WHERE share_name = 'home';",
                           ForLlu(view_id));
  });
}

int SystemDB::addNewSessionInfo(KELOSessionInfo& info, uint64_t conn_id) {
  static constexpr char kOp[] = "addNewSessionInfo";
  ValueBuffer share, computer, folder;
  if (!CopyArgument(&share, info.share_name, kOp) ||
      !CopyArgument(&computer, info.computer_name, kOp) ||
      !CopyArgument(&folder, info.sync_folder, kOp)) {
    return -1;
  }
  return WriteLocked(
      kelo::logtext::kSessionRowWriteName, kelo::logtext::kFormatFailedInsertReplace,
      [&] {
        return sqlite3_mprintf(
            "insert or replace into session_table ( conn_id, share_name, attribute, view_id, "
            "status, error, computer_name, sync_folder)values (%llu, '%q', %d, %llu, %d, %d, "
            "'%q', '%q');",
            ForLlu(conn_id), share.c_str(), info.attribute, ForLlu(info.view_id), info.status,
            info.error, computer.c_str(), folder.c_str());
      },
      [&] {
        info.id = static_cast<uint64_t>(sqlite3_last_insert_rowid(m_db));
        return 0;
      });
}

int SystemDB::clearSystemDB() {
  KELO_LOG_DEBUG(kComponent, "clear System DB \n");
  return WriteLocked("clearSystemDB", kelo::logtext::kFormatFailedInsert, [] {
    return sqlite3_mprintf(
        "delete from connection_table;delete from session_table;delete from system_table Where "
        "key <> 'release_version' ;");
  });
}

int SystemDB::setComputername(const std::string& name) {
  ValueBuffer computer;
  if (!CopyArgument(&computer, name, "setComputername")) return -1;
  KELO_LOG_DEBUG(kComponent, "set computer name %s\n", computer.c_str());
  return WriteLocked("setComputername", kelo::logtext::kFormatFailedInsert, [&] {
    return sqlite3_mprintf(
        "insert or replace into system_table values ('computer_name', '%q'); update "
        "session_table set computer_name = '%q'; ",
        computer.c_str(), computer.c_str());
  });
}

int SystemDB::updateSessionInfo(KELOSessionInfo& info) {
  static constexpr char kOp[] = "updateSessionInfo";
  ValueBuffer share, session, folder;
  if (!CopyArgument(&share, info.share_name, kOp) || !CopyArgument(&session, info.session, kOp) ||
      !CopyArgument(&folder, info.sync_folder, kOp)) {
    return -1;
  }
  // Logs "update row id %llu" and "cannnot get id for last update session".
  return UpdateAndFetchId(
      UpdateNames{kOp, "row", kelo::logtext::kNoIdForUpdatedSession},
      [&] { KELO_LOG_INFO(kComponent, "status: %d, folder: %s\n", info.status, folder.c_str()); },
      [&] {
        return sqlite3_mprintf(
            "UPDATE session_table SET session = '%q', attribute = %d, status = %d, error = %d, "
            "sync_folder = '%q' WHERE share_name = '%q' AND view_id = %llu ;",
            session.c_str(), info.attribute, info.status, info.error, folder.c_str(), share.c_str(),
            ForLlu(info.view_id));
      },
      [&] {
        return sqlite3_mprintf(
            "select id from session_table  WHERE share_name = '%q' AND view_id = %llu ;",
            share.c_str(), ForLlu(info.view_id));
      },
      &info.id);
}

// --- Connection record and link state ----------------------------------------------------------

int SystemDB::setConnectionInfo(KELOConnectionInfo& info, const TunnelInfo& tunnel) {
  static constexpr char kOp[] = "setConnectionInfo";
  ValueBuffer ip, user, server, waypoint, vault, session;
  if (!CopyArgument(&ip, info.server_ip, kOp) || !CopyArgument(&user, info.username, kOp) ||
      !CopyArgument(&server, info.server_name, kOp) ||
      !CopyArgument(&waypoint, info.waypoint_mode, kOp) ||
      !CopyArgument(&vault, info.vault_id, kOp) || !CopyArgument(&session, info.session, kOp) ||
      !IsWholeText(tunnel.tunnel_ip, kOp)) {
    return -1;
  }
  return WriteLocked(
      kOp, kelo::logtext::kFormatFailedInsertReplace,
      [&] {
        return sqlite3_mprintf(
            "insert or replace into connection_table ( conn_mode, server_name, server_ip, "
            "server_port, waypoint_mode, username, vault_id, session, protocol_version,  "
            "use_tunnel, tunnel_ip, tunnel_port )values (%d, '%q', '%q', %d, '%q', '%q', '%q', "
            "'%q', %d, %d, '%q', %d);",
            info.conn_mode, server.c_str(), ip.c_str(), info.server_port, waypoint.c_str(),
            user.c_str(), vault.c_str(), session.c_str(), info.protocol_version,
            tunnel.use_tunnel ? 1 : 0, tunnel.tunnel_ip.c_str(), int{tunnel.tunnel_port});
      },
      [&] {
        info.id = static_cast<uint64_t>(sqlite3_last_insert_rowid(m_db));
        return 0;
      });
}

int SystemDB::updateConnectionInfo(KELOConnectionInfo& info, const TunnelInfo& tunnel) {
  static constexpr char kOp[] = "updateConnectionInfo";
  ValueBuffer ip, server, vault, waypoint, session;
  if (!CopyArgument(&ip, info.server_ip, kOp) || !CopyArgument(&server, info.server_name, kOp) ||
      !CopyArgument(&vault, info.vault_id, kOp) ||
      !CopyArgument(&waypoint, info.waypoint_mode, kOp) ||
      !CopyArgument(&session, info.session, kOp) || !IsWholeText(tunnel.tunnel_ip, kOp)) {
    return -1;
  }
  // Logs "update conn id %llu" and "cannnot get id for last update connection".
  return UpdateAndFetchId(
      UpdateNames{kOp, "conn", kelo::logtext::kNoIdForUpdatedConnection}, [] {},
      [&] {
        return sqlite3_mprintf(
            "UPDATE connection_table SET  conn_mode = %d,  server_name = '%q',  server_ip = '%q', "
            " server_port = %d,  waypoint_mode = '%q',  session = '%q',  protocol_version = %d,  "
            "use_tunnel = %d,  tunnel_ip = '%q',  tunnel_port = %d  WHERE vault_id = '%q' ; ",
            info.conn_mode, server.c_str(), ip.c_str(), info.server_port, waypoint.c_str(),
            session.c_str(), info.protocol_version, tunnel.use_tunnel ? 1 : 0,
            tunnel.tunnel_ip.c_str(), int{tunnel.tunnel_port}, vault.c_str());
      },
      [&] {
        return sqlite3_mprintf("select id from connection_table WHERE vault_id = '%q' ;",
                               vault.c_str());
      },
      &info.id);
}

int SystemDB::getConnectionInfo(KELOConnectionInfo& info) {
  static constexpr char kOp[] = "getConnectionInfo";
  KELO_LOG_DEBUG(kComponent, "getConnectionInfo\n");
  return ReadLocked(kOp, "SELECT * FROM connection_table", [&](sqlite3_stmt* stmt) {
    const int rc = sqlite3_step(stmt);
    if (rc == SQLITE_DONE) return 0;
    if (rc != SQLITE_ROW) {
      KELO_LOG_ERROR(kComponent, "getConnectionInfo: sqlite3_step: %s (%d)\n", SharedErrorText(),
                     rc);
      return -1;
    }
    KELOConnectionInfo found = info;
    found.id = ColumnId(stmt, 0);
    found.conn_mode = ColumnInt(stmt, 1);
    if (!TracedColumnText(stmt, 2, kOp, &found.server_name) ||
        !TracedColumnText(stmt, 3, kOp, &found.server_ip)) {
      return -1;
    }
    found.server_port = ColumnInt(stmt, 4);
    if (!TracedColumnText(stmt, 5, kOp, &found.waypoint_mode) ||
        !TracedColumnText(stmt, 6, kOp, &found.username) ||
        !TracedColumnText(stmt, 7, kOp, &found.vault_id) ||
        !TracedColumnText(stmt, 8, kOp, &found.session)) {
      return -1;
    }
    found.protocol_version = ColumnInt(stmt, 9);
    info = found;
    return 0;
  });
}

int SystemDB::getConnectionInfoByVaultID(const KELOConnectionInfo& /*info*/,
                                         std::string /*vaultId*/) {
  return 0;
}

int SystemDB::setLink(int linked) {
  KELO_LOG_INFO(kComponent, "set link %d\n", linked);
  return WriteLocked("setLink", kelo::logtext::kFormatFailedInsert, [&] {
    return sqlite3_mprintf(
        "insert or replace into system_table values ('linked', %d); update connection_table set "
        "linked = %d; ",
        linked, linked);
  });
}

int SystemDB::checkLinked(int& linked) {
  return ReadLocked("checkLinked", "SELECT value FROM system_table WHERE key = 'linked';",
                    [&](sqlite3_stmt* stmt) {
                      const int rc = sqlite3_step(stmt);
                      if (rc == SQLITE_ROW || rc == SQLITE_DONE) {
                        linked = rc == SQLITE_ROW ? ColumnInt(stmt, 0) : 0;
                        return 0;
                      }
                      KELO_LOG_ERROR(kComponent, "checkLinked: sqlite3_step: %s (%d)\n",
                                     SharedErrorText(), rc);
                      return -1;
                    });
}
