// The benchmarks' data: two sample homes, built once into a cache folder and reused by
// later runs.
//
// Both homes hold the same system database of 50 sessions (written through SystemDB) and,
// for each benchmarked size, the same file status database of a generated tree:
//   - "with":    a file as FileStatusDB::initialize leaves it today, lookup indexes built;
//   - "without": a file made before the lookup indexes existed. It holds empty
//                placeholders under their names, so the drawing path's initialize()
//                builds nothing and the queries run as they did before.
//
//   kelo_bench::BenchCache cache(kelo_bench::BenchCache::DefaultDir());
//   if (cache.Prepare({1000, 100000}) != 0) return 1;
//   const kelo_bench::SizeData& data = cache.Size(1000);
//   kelo::LinuxOverlayPlatform platform(cache.Home(kelo_bench::Variant::kWith));
//   kelo::ResolveOverlayBadge(platform, data.marks.file.c_str());
#ifndef KELO_BENCH_BENCH_CACHE_H_
#define KELO_BENCH_BENCH_CACHE_H_

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "bench/tree-data.h"

namespace kelo_bench {

enum class Variant { kWith, kWithout };

struct SizeData {
  size_t entries = 0;
  uint64_t session_id = 0;
  TreeLandmarks marks;
  // Seconds the first initialize() took to build the lookup indexes of the "with" file.
  double first_index_build_seconds = 0;
};

class BenchCache {
 public:
  // The cache folder holds everything below `dir`/v<format>; other versions are left alone.
  explicit BenchCache(std::string dir);

  // $KELO_BENCH_CACHE when set, else the folder the build configured.
  static std::string DefaultDir();

  // Builds what is missing for `sizes` (each at least 100) and loads what is there.
  // Progress goes to stderr. Returns 0, or -1 after printing what failed.
  int Prepare(const std::vector<size_t>& sizes);

  // The home of a variant: the folder that holds .Tarnvale.
  std::string Home(Variant variant) const;
  // The session's file status database in that home.
  std::string FileStatusDb(Variant variant, size_t entries) const;
  // A prepared size.
  const SizeData& Size(size_t entries) const { return sizes_.at(entries); }
  // A folder for scratch copies, emptied by Prepare().
  std::string ScratchDir() const;

 private:
  int PrepareSystemDb();
  int PrepareSize(size_t entries, uint64_t session_id);
  int LoadSize(size_t entries, uint64_t session_id);

  std::string root_;
  std::map<size_t, SizeData> sizes_;
  std::map<size_t, uint64_t> session_of_size_;
};

}  // namespace kelo_bench

#endif  // KELO_BENCH_BENCH_CACHE_H_
