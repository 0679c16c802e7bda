// The rules that every reader of the client's two databases shares, in one place: the column
// positions of session_table, which session statuses show badges, how a number cell is read,
// which files may be opened at all, and how a reading tool opens a database.
//
// The database classes, the resolver, the tool's commands (doctor, watch) and the faces all
// take these from here instead of writing them again.
//
//   if (!kelo::store::IsReadableDatabase(path, &why)) { ...no badge, say `why`... }
//   kelo::sqlite::Connection db;
//   if (kelo::store::OpenForReading(path, 5000, &db) == SQLITE_OK) { ... }
//   if (kelo::store::StatusShowsBadges(session.status)) { ... }
//
// Thread safety: everything here is stateless and may be called from any thread.
#ifndef KELO_DB_STORE_STORE_H_
#define KELO_DB_STORE_STORE_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "db/sqlite-owners.h"

namespace kelo {
namespace store {

// Positions of the columns of session_table in the client's full layout. Readers that select
// every column read a row by these positions, whatever the file's own layout is.
enum SessionColumn : int {
  kSessionId = 0,
  kSessionConnId = 1,
  kSessionShareName = 2,
  kSessionSession = 3,
  kSessionAttribute = 4,
  kSessionCtime = 5,
  kSessionViewId = 6,
  kSessionStatus = 7,
  kSessionError = 8,
  kSessionSyncFolder = 9,
  kSessionComputerName = 10,
};

// Session statuses that show badges: 10 and 11, nothing else.
inline constexpr int kFirstActiveStatus = 10;
inline constexpr int kLastActiveStatus = 11;
constexpr bool StatusShowsBadges(long long status) {
  return status >= kFirstActiveStatus && status <= kLastActiveStatus;
}

// Longest value a reader takes from a row or a caller, in bytes: a session folder longer than
// this holds nothing, a path longer than this is refused.
inline constexpr size_t kMaxValueBytes = 1023;

// True when the session folder `folder` (the bytes of sync_folder as text) holds `path`
// (which holds no NUL byte): the folder without its trailing "/" (a folder of only "/" is the
// root) is the path itself or a folder above it, bytes compared with the 26 ASCII letters in
// either case and nothing else folded. A folder longer than kMaxValueBytes holds nothing.
// The session lookup's SQL asks exactly this; every other reader asks this function.
bool FolderHoldsPath(std::string_view folder, std::string_view path);

// The length in bytes of `folder` without its trailing "/": of the folders that hold a path,
// the longest wins.
size_t FolderLength(std::string_view folder);

// Reads a number cell given as text as atoi() does (leading blanks, a sign, the digits up
// to the first other character; NULL or no digits give 0), except that a number outside the
// 32-bit range, judged on the whole number with fraction and exponent, reads as 0: cut to 32
// bits it could wrap into a code that means something (4294967298 into 2, syncing), and
// clamped it could set a bit (the enabled bit of an attribute) nobody wrote.
int32_t CellToInt32(const char* cell);

// True when `path` names a regular file (links followed) and none of SQLite's companion
// files beside it ("-journal", "-wal", "-shm") is anything else: SQLite would block in
// open() on a FIFO, forever on a drawing thread. Otherwise false, with what is wrong in
// *why when it is not null. A missing database file is refused too ("does not exist").
bool IsReadableDatabase(const std::string& path, std::string* why = nullptr);
// The companion part of IsReadableDatabase: false, with *why, when one of SQLite's companion
// files beside `path` exists and is not a regular file.
bool CompanionsAreRegular(const std::string& path, std::string* why = nullptr);

// Opens the existing database `path` read-only (never creating or writing it) for a reading
// tool that may wait `busy_timeout_ms` for a lock held elsewhere. SQLITE_CANTOPEN, without
// any SQLite call, for a file IsReadableDatabase refuses. *db owns whatever handle SQLite
// returned, also after a failed open.
int OpenForReading(const std::string& path, int busy_timeout_ms, sqlite::Connection* db);

}  // namespace store
}  // namespace kelo

#endif  // KELO_DB_STORE_STORE_H_
