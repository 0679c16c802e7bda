// Entries of fstatinfo and a bulk writer that stores them as FileStatusDB::setFileSyncStat
// would (same statement, a fresh id per row) but in one transaction, so a million entries take
// seconds; the statements that remove or stand in for the lookup indexes. Each call opens its
// own connection. The benchmarks' generated trees are in bench/tree-data.h.
#ifndef KELO_TESTS_SUPPORT_FSTAT_DATA_H_
#define KELO_TESTS_SUPPORT_FSTAT_DATA_H_

#include <cstddef>
#include <string>
#include <vector>

namespace kelo_test {

// One row of fstatinfo as the writer records it.
struct FstatRow {
  std::string path;
  int fileType;
  int syncStatus;
};

// Writes `entries`, in order, into the fstatinfo table of the existing file `db_path` in one
// transaction. Returns 0, or -1 after printing SQLite's error to stderr.
int WriteEntries(const std::string& db_path, const std::vector<FstatRow>& entries);

// The statements that remove the lookup indexes (run them with RunSql, support/run-sql.h) that
// FileStatusDB::initialize adds.
extern const char kDropLookupIndexes[];

// The statements that put empty partial indexes under the lookup indexes' names: the file
// answers every query as one without the lookup indexes, and initialize() finds the names
// taken and builds nothing, as on a file made before the lookup indexes.
extern const char kLookupIndexPlaceholders[];

// Copies the file `from` to `to` (replacing it). Returns 0, or -1 after printing why.
int CopyFile(const std::string& from, const std::string& to);

}  // namespace kelo_test

#endif  // KELO_TESTS_SUPPORT_FSTAT_DATA_H_
