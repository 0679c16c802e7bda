// Entries of realistic synchronised trees for the benchmarks, stored with the bulk writer of
// the test support:
//
//   kelo_bench::TreeLandmarks marks;
//   auto entries = kelo_bench::GenerateTree("/Users/b/Sync", 1000, &marks);
//   FileStatusDB::initialize(db_path);  // the schema
//   kelo_test::WriteEntries(db_path, entries);
#ifndef KELO_BENCH_TREE_DATA_H_
#define KELO_BENCH_TREE_DATA_H_

#include <cstddef>
#include <string>
#include <vector>

#include "support/fstat-data.h"

namespace kelo_bench {

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
std::vector<kelo_test::FstatRow> GenerateTree(const std::string& root, size_t count,
                                              TreeLandmarks* marks);

}  // namespace kelo_bench

#endif  // KELO_BENCH_TREE_DATA_H_
