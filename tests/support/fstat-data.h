// Entries of realistic synchronised trees, and a bulk writer that stores them as
// FileStatusDB::setFileSyncStat would (same statement, a fresh id per row) but in one
// transaction, so a million entries take seconds. Each call opens its own connection.
//
//   kelo_bench::TreeLandmarks marks;
//   auto entries = kelo_bench::GenerateTree("/Users/b/Sync", 1000, &marks);
//   FileStatusDB::initialize(db_path);  // the schema
//   kelo_bench::WriteEntries(db_path, entries);
#ifndef KELO_TESTS_SUPPORT_FSTAT_DATA_H_
#define KELO_TESTS_SUPPORT_FSTAT_DATA_H_

#include <cstddef>
#include <string>
#include <vector>

namespace kelo_bench {

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

// Exactly `count` entries (count >= 100) of a synchronised folder at `root`, parents before
// children: the root, "Archive" (half of all entries, every one synced), "Projects", "Photos",
// "Documents" with nested year, month and project folders, names with spaces and non-ASCII
// letters, a few entries not supported, a few file names recorded twice in different ASCII
// case, and a small "Inbox" whose last files are syncing. Same arguments, same entries.
std::vector<Entry> GenerateTree(const std::string& root, size_t count, TreeLandmarks* marks);

// Writes `entries`, in order, into the fstatinfo table of the existing file `db_path` in one
// transaction. Returns 0, or -1 after printing SQLite's error to stderr.
int WriteEntries(const std::string& db_path, const std::vector<Entry>& entries);

// Runs `sql` (one or more statements) on `db_path`. Returns 0, or -1 after printing SQLite's
// error to stderr.
int ExecSql(const std::string& db_path, const std::string& sql);

// The statements that remove the lookup indexes that FileStatusDB::initialize adds.
extern const char kDropLookupIndexes[];

// The statements that put empty partial indexes under the lookup indexes' names: the file
// answers every query as one without the lookup indexes, and initialize() finds the names
// taken and builds nothing, as on a file made before the lookup indexes.
extern const char kLookupIndexPlaceholders[];

// Copies the file `from` to `to` (replacing it). Returns 0, or -1 after printing why.
int CopyFile(const std::string& from, const std::string& to);

}  // namespace kelo_bench

#endif  // KELO_TESTS_SUPPORT_FSTAT_DATA_H_
