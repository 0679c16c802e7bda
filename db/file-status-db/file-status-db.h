// File status store: one SQLite file per synchronised folder that records, for every
// file and folder the sync client has handled, its path, file type and sync state.
//
// The desktop sync client writes these files (setFileSyncStat, rmFileSyncStat,
// rmEntryBySyncStatus, updateAllSyncingEntry); the Finder plug-in only reads them to pick
// a badge (getFileSyncStat, isAnySubFileDirSyncing, isAnyFileSyncing).
//
// FileStatusDB is a class of static operations. The file they work on is the
// process-wide "current" database m_fstatDBPath, which initialize() sets. How each operation
// connects follows the process's role (db/reader-mode/reader-mode.h):
//  - writer (the default, the sync client): its own read-write connection, closed before it
//    returns; a missing file is created; a lock held elsewhere is waited for up to five
//    minutes;
//  - reader (the Finder): a read-only connection kept open between calls, with its lookups
//    prepared once and their values bound, and the schema checks of initialize() run again
//    only when the file's schema version moves; no file is ever created or changed, a lock
//    is waited for briefly, then the file is left alone for a moment and every operation on
//    it fails at once (logged once per episode). Each thread has its own current database.
//
// Locking: none. m_fstatDBPath is shared and unguarded, so a caller that initialises and
// then looks up must make sure no other thread initialises in between. SQLite's file
// locking alone orders this process against the sync client.
//
// Failures are logged at ERROR level under the component "fstat_db_debug".
//
// Usage:
//   if (FileStatusDB::initialize(home + "/.Tarnvale/session/3/db/file-status.sqlite") == 0) {
//     FileStatusInfo info;
//     if (FileStatusDB::getFileSyncStat("/Users/me/Sync/a.txt", &info) == 0 &&
//         info.syncStatus == FileStatusDB::kSyncing) { ... }
//   }
#ifndef KELO_DB_FILE_STATUS_DB_FILE_STATUS_DB_H_
#define KELO_DB_FILE_STATUS_DB_FILE_STATUS_DB_H_

#include <cstddef>
#include <cstdint>
#include <string>

// One entry of a file status database.
struct FileStatusInfo {
  int32_t fileType;    // 1 is a folder; other codes belong to the sync client.
  int32_t syncStatus;  // FileStatusDB::kNoState .. kUnsupported.
  std::string path;    // Full path, UTF-8.

  FileStatusInfo();
  // Back to the empty entry: type 0, state 0, empty path.
  void clear();
};

class FileStatusDB {
 public:
  // Sync state codes stored in column syncStatus.
  static constexpr int kNoState = 0;
  static constexpr int kSynced = 1;
  static constexpr int kSyncing = 2;
  static constexpr int kUnsupported = 3;
  // File type code of a folder.
  static constexpr int kFolder = 1;

  // Longest database path initialize() accepts (its buffer holds this plus the NUL).
  static constexpr size_t kMaxDBPathLen = 511;
  // Longest item path, folder path plus "/", or rmEntryBySyncStatus database path.
  static constexpr size_t kMaxPathLen = 1039;

  // Same steps as initialize(); the result is only visible in the log.
  explicit FileStatusDB(const std::string& dbPath);
  ~FileStatusDB();

  // Makes dbPath current and creates the schema if missing. 0 on success, -1 on failure.
  // The new path stays current even when the open or the schema fails; an empty path leaves
  // the current one alone; a path longer than kMaxDBPathLen empties it, so no later
  // operation works on a file nobody asked for. A writer also creates the lookup indexes
  // that let SQLite serve the lookups by index; failing to create them is logged and does
  // not fail initialize(). On a large file that lacks them the first call builds them once.
  // A reader creates nothing: a missing file or a file without the table fails, and a file
  // without the lookup indexes is read without them.
  [[nodiscard]] static int initialize(const std::string& dbPath);

  // Fills *info with the entry whose path equals filePath (ASCII letters compared without
  // case, every other byte exactly; of several such entries the last one read wins) and
  // returns 0; -1 when there is none (then *info is cleared) or on error (then *info is
  // untouched). A fileType or syncStatus cell is read as atoi() reads it, but a number
  // outside the 32-bit range reads as 0 (no state), so it never wraps into a code that shows
  // a badge.
  [[nodiscard]] static int getFileSyncStat(const std::string& filePath, FileStatusInfo* info);

  // True when some entry below dirPath + "/" (any depth) is syncing; false otherwise or on
  // error.
  [[nodiscard]] static bool isAnySubFileDirSyncing(const std::string& dirPath);

  // True when any entry is syncing; false otherwise or on error.
  [[nodiscard]] static bool isAnyFileSyncing();

  // Records info (replacing an entry with the same path). 0 on success, SQLite's open code
  // when the file cannot be opened, -1 for any other failure. An empty path is refused with
  // -1 and logged, as are paths that are too long or hold a NUL byte.
  [[nodiscard]] static int setFileSyncStat(const FileStatusInfo& info);

  // Removes the entry of info.path and every entry below it ("/" or "\" after the path).
  // Results and refused paths as setFileSyncStat.
  [[nodiscard]] static int rmFileSyncStat(const FileStatusInfo& info);

  // Removes every entry in state syncStatus from the file dbPath (not the current file).
  // 0 on success, SQLite's open code when it cannot be opened, -1 for any other failure.
  [[nodiscard]] static int rmEntryBySyncStatus(const std::string& dbPath, int syncStatus);

  // Turns every syncing entry into a synced one. 0 on success, -1 on failure.
  [[nodiscard]] static int updateAllSyncingEntry();

  // Zero-fill dst[0, size) and copy src, up to its first NUL and at most size - 1 bytes, into
  // it; returns dst.
  static char* wcstombsIfNeed(char* dst, const std::string& src, size_t size);
  static char* mbstowcsIfNeed(char* dst, const char* src, size_t size);

  // The current database; empty until the first initialize().
  static std::string m_fstatDBPath;
};

#endif  // KELO_DB_FILE_STATUS_DB_FILE_STATUS_DB_H_
