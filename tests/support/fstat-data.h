// Data for measuring and cross-checking the file status store: entries of realistic
// synchronised trees, and bulk writes of entries into a file status database.
//
// The bulk writer stores rows exactly as FileStatusDB::setFileSyncStat would (same
// statement, "insert or replace" with a fresh id), but in one transaction over one
// connection, so a million entries take seconds instead of hours of commits.
//
//   kelo_bench::TreeLandmarks marks;
//   std::vector<kelo_bench::Entry> entries = kelo_bench::GenerateTree("/Users/b/Sync", 1000,
//                                                                     &marks);
//   FileStatusDB::initialize(db_path);                     // schema
//   kelo_bench::WriteEntries(db_path, entries);
//
// Not thread-safe: each call opens its own connection, so concurrent calls on different
// files are fine, on one file they are ordered by SQLite's locks.
#ifndef KELO_TESTS_SUPPORT_FSTAT_DATA_H_
#define KELO_TESTS_SUPPORT_FSTAT_DATA_H_

#include <sqlite3.h>

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "db/sqlite-owners.h"

namespace kelo_bench {

using DbHandle = kelo::sqlite::Connection;
using StmtHandle = kelo::sqlite::Statement;

// One row of fstatinfo as the writer records it.
struct Entry {
  std::string path;
  int fileType;
  int syncStatus;
};

// Paths worth asking for in a generated tree.
struct TreeLandmarks {
  std::string root;          // the synchronised folder itself: synced, syncing entries below
  std::string big_folder;    // synced folder holding half of the entries, none syncing
  std::string folder;        // the synced folder of `file`: two dozen entries, none syncing
  std::string file;          // a synced file with a non-ASCII name, four levels down
  std::string case_variant;  // a path recorded twice in different ASCII case (last one wins)
};

// Exactly `count` entries (count >= 100) of a synchronised folder at `root`, in the order a
// client that walks the tree would record them, parents before children: the root,
// "Archive" (half of all entries, every one synced), "Projects", "Photos", "Documents" with
// nested year, month and project folders, names with spaces and non-ASCII letters, a few
// entries that are not supported, a few file names recorded twice in different ASCII case,
// and a small "Inbox" whose last files are syncing. The same arguments give the same
// entries.
std::vector<Entry> GenerateTree(const std::string& root, size_t count, TreeLandmarks* marks);

// Writes `entries`, in order, into the fstatinfo table of the existing file `db_path` in one
// transaction. Returns 0, or -1 after printing SQLite's error to stderr.
int WriteEntries(const std::string& db_path, const std::vector<Entry>& entries);

// Runs `sql` (one or more statements) on `db_path`. Returns 0, or -1 after printing SQLite's
// error to stderr.
int ExecSql(const std::string& db_path, const std::string& sql);

// The statements that remove the lookup indexes that FileStatusDB::initialize adds.
extern const char kDropLookupIndexes[];

// The statements that put empty partial indexes under the lookup indexes' names. A file that
// holds them answers every query as a file without the lookup indexes, while initialize()
// finds the names taken and builds nothing, as on a file made before the lookup indexes.
extern const char kLookupIndexPlaceholders[];

// Copies the file `from` to `to` (replacing it). Returns 0, or -1 after printing why.
int CopyFile(const std::string& from, const std::string& to);

}  // namespace kelo_bench

#endif  // KELO_TESTS_SUPPORT_FSTAT_DATA_H_
