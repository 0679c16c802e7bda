// What one drawn icon costs, against the number of entries in the session's file status
// database, with and without the lookup indexes; what the client's writer pays for them;
// and what building them once costs.
//
// The icons are resolved in the reader role, as the Finder resolves them: read-only
// connections kept open between icons, nothing built or written. A reader never builds the
// lookup indexes, so the "with" file holds them already (the client's writer built them).
//
//   icon/<file|folder|big_folder|root>/<entries>/<with|without>
//       kelo::ResolveOverlayBadge through a LinuxOverlayPlatform over a sample home, as the
//       plug-in runs it for each icon: system database lookup among 50 sessions,
//       FileStatusDB::initialize, entry lookup, and for the synced folders the subtree
//       query. "folder" holds two dozen entries, "big_folder" half of all entries (none
//       syncing in either), "root" is the session's folder (a syncing entry below it).
//   icon_fresh/file/<entries>
//       the same icon with every kept connection closed first: what an icon costs when it
//       has to open both databases, as every icon did before connections were kept.
//   icon_ratio/<file|folder|big_folder|root>/<largest>_vs_<smallest>
//       the same item of the largest and of the smallest file, resolved alternately in one
//       loop; "ratio" is the median of the per-pair time ratios, robust on a busy machine.
//   icon_floor/<file|folder>/<entries>
//       one icon and one floor lookup alternately; "ratio" is the median of (icon / floor).
//   floor/<entries>
//       the least any lookup costs: one kept-open read-only connection answering the same
//       file entry with a prepared equality query.
//   writer/<entries>/<with|without>
//       FileStatusDB::setFileSyncStat per second in the writer role on a copy of the file
//       (three state changes of existing entries, one new entry in four).
//   writer_ratio/<entries>
//       both writers alternately, write by write; "rate_ratio" is the rate with the indexes
//       as a share of the rate without, the median over the pairs.
//   index_build/<entries>
//       the writer's first initialize() on a file that lacks the lookup indexes.
//
// The data is built once into BenchCache::DefaultDir(). KELO_BENCH_SIZES=1000,100000 limits
// the sizes. Run with --benchmark_repetitions=N for medians and spread; `make bench` writes
// docs/performance.json and docs/performance.png.
#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "bench/bench-cache.h"
#include "bench/tree-data.h"
#include "db/file-status-db/file-status-db.h"
#include "db/reader-mode/reader-mode.h"
#include "db/sqlite-owners.h"
#include "db/system-db/system-db.h"
#include "iconoverlay/badge-resolver.h"
#include "iconoverlay/linux-platform.h"
#include "support/run-sql.h"

namespace {

using kelo_bench::BenchCache;
using kelo_bench::SizeData;
using kelo_bench::Variant;

kelo::sqlite::Connection OpenReadOnly(const std::string& path) {
  kelo::sqlite::Connection db;
  kelo::sqlite::Open(path, kelo::sqlite::kReadOnly, &db);
  return db;
}

// Column `column` of every row of `sql` on `path`.
std::vector<std::string> QueryColumn(const std::string& path, const std::string& sql, int column) {
  kelo::sqlite::Connection db = OpenReadOnly(path);
  sqlite3_stmt* raw = nullptr;
  sqlite3_prepare_v2(db.get(), sql.c_str(), -1, &raw, nullptr);
  kelo::sqlite::Statement stmt(raw);
  std::vector<std::string> cells;
  while (stmt && sqlite3_step(stmt.get()) == SQLITE_ROW) {
    const unsigned char* cell = sqlite3_column_text(stmt.get(), column);
    cells.push_back(cell != nullptr ? reinterpret_cast<const char*>(cell) : "NULL");
  }
  return cells;
}

std::string Join(const std::vector<std::string>& cells) {
  std::string text;
  for (const std::string& cell : cells) text += (text.empty() ? "" : "; ") + cell;
  return text;
}

// The definitions of the lookup indexes in the file, to tell built ones from placeholders.
std::string LookupIndexSql(const std::string& path) {
  return Join(QueryColumn(path,
                          "select sql from sqlite_master where name in "
                          "('fstatinfo_path_nocase_idx', 'fstatinfo_status_path_idx')",
                          0));
}

bool HoldsBuiltIndexes(const std::string& path) {
  const std::string sql = LookupIndexSql(path);
  return sql.find("COLLATE NOCASE") != std::string::npos &&
         sql.find("WHERE 0") == std::string::npos;
}

enum class Target { kFile, kFolder, kBigFolder, kRoot };

const std::string& PathOf(const SizeData& data, Target target) {
  return target == Target::kFile        ? data.marks.file
         : target == Target::kFolder    ? data.marks.folder
         : target == Target::kBigFolder ? data.marks.big_folder
                                        : data.marks.root;
}

// A statement a reader's connection ran, and the file it ran on.
struct Statement {
  std::string db_path;
  std::string sql;
};
std::vector<Statement>* g_statements = nullptr;
void RecordStatement(const char* db_path, const char* sql) {
  g_statements->push_back({db_path != nullptr ? db_path : "", sql != nullptr ? sql : ""});
}

// The statements one icon runs, in order, as the reader's connections saw them.
std::vector<Statement> StatementsOfIcon(const std::string& home, const std::string& path) {
  std::vector<Statement> statements;
  g_statements = &statements;
  kelo::SetReaderStatementHook(RecordStatement);
  {
    kelo::ScopedDbRole reading(kelo::DbRole::kReader);
    kelo::LinuxOverlayPlatform platform(home);
    kelo::ResolveOverlayBadge(platform, path.c_str());
  }
  kelo::SetReaderStatementHook(nullptr);
  g_statements = nullptr;
  return statements;
}

// The plan of every query an icon runs, taken from the statements themselves, so the plans
// printed are those of the code measured.
void PrintPlans(const BenchCache& cache, size_t entries) {
  const std::pair<Target, const char*> items[] = {
      {Target::kFile, "file"}, {Target::kBigFolder, "big_folder"}, {Target::kRoot, "root"}};
  for (Variant variant : {Variant::kWithout, Variant::kWith}) {
    const char* name = variant == Variant::kWith ? "with" : "without";
    for (const auto& [target, item] : items) {
      const std::vector<Statement> statements =
          StatementsOfIcon(cache.Home(variant), PathOf(cache.Size(entries), target));
      std::fprintf(stderr, "plan %s %zu/%s: %zu statements\n", item, entries, name,
                   statements.size());
      for (const Statement& statement : statements) {
        if (statement.sql.rfind("select", 0) != 0) continue;
        std::fprintf(
            stderr, "plan %s %zu/%s: %.60s...: %s\n", item, entries, name, statement.sql.c_str(),
            Join(QueryColumn(statement.db_path, "EXPLAIN QUERY PLAN " + statement.sql, 3)).c_str());
      }
    }
  }
}

void Icon(benchmark::State& state, const BenchCache* cache, size_t entries, Target target,
          Variant variant) {
  const std::string& path = PathOf(cache->Size(entries), target);
  kelo::ScopedDbRole reading(kelo::DbRole::kReader);
  kelo::LinuxOverlayPlatform platform(cache->Home(variant));
  // The figure only counts if the whole road is taken and gives the known answer.
  const int expected = target == Target::kRoot ? kelo::kStateSyncing : kelo::kStateSynced;
  const kelo::OverlayBadge first = kelo::ResolveOverlayBadge(platform, path.c_str());
  if (first.code != expected || first.badge == nullptr) {
    state.SkipWithError(("unexpected badge for " + path).c_str());
    return;
  }
  if (HoldsBuiltIndexes(cache->FileStatusDb(variant, entries)) != (variant == Variant::kWith)) {
    state.SkipWithError("the file does not hold the indexes of its variant");
    return;
  }
  const unsigned long long opens = kelo::ReaderOpenCount();
  for (auto _ : state) {
    kelo::OverlayBadge badge = kelo::ResolveOverlayBadge(platform, path.c_str());
    benchmark::DoNotOptimize(badge);
  }
  if (kelo::ReaderOpenCount() != opens) {
    state.SkipWithError("icons opened connections: they were not kept");
  }
  state.counters["entries"] = static_cast<double>(entries);
}

// The floor: one kept-open read-only connection answering one entry with a prepared
// equality lookup, no parsing, no opening, no schema check.
class FloorLookup {
 public:
  FloorLookup(const std::string& db_path, std::string path)
      : db_(OpenReadOnly(db_path)), path_(std::move(path)) {
    sqlite3_stmt* raw = nullptr;
    sqlite3_prepare_v2(db_.get(),
                       "select fileType, syncStatus, path from fstatinfo where path = ?1", -1, &raw,
                       nullptr);
    stmt_.reset(raw);
  }
  // Why the lookup cannot run, or nullptr.
  const char* Error() const { return stmt_ ? nullptr : sqlite3_errmsg(db_.get()); }
  // True when the entry was found.
  bool Run() {
    sqlite3_bind_text(stmt_.get(), 1, path_.data(), static_cast<int>(path_.size()), SQLITE_STATIC);
    const bool found = sqlite3_step(stmt_.get()) == SQLITE_ROW;
    if (found) {
      int state_code = sqlite3_column_int(stmt_.get(), 1);
      benchmark::DoNotOptimize(state_code);
      benchmark::DoNotOptimize(sqlite3_column_text(stmt_.get(), 2));
    }
    sqlite3_reset(stmt_.get());
    return found;
  }

 private:
  kelo::sqlite::Connection db_;
  std::string path_;
  kelo::sqlite::Statement stmt_;
};

void Floor(benchmark::State& state, const BenchCache* cache, size_t entries) {
  FloorLookup floor(cache->FileStatusDb(Variant::kWith, entries), cache->Size(entries).marks.file);
  if (floor.Error() != nullptr) {
    state.SkipWithError(floor.Error());
    return;
  }
  for (auto _ : state) {
    if (!floor.Run()) {
      state.SkipWithError("the floor query found no row");
      break;
    }
  }
  state.counters["entries"] = static_cast<double>(entries);
}

// An icon with nothing kept: every kept connection is closed before it, so it opens both
// databases and reads their schema, as every icon did before connections were kept.
void IconFresh(benchmark::State& state, const BenchCache* cache, size_t entries) {
  const std::string& path = cache->Size(entries).marks.file;
  kelo::ScopedDbRole reading(kelo::DbRole::kReader);
  kelo::LinuxOverlayPlatform platform(cache->Home(Variant::kWith));
  const unsigned long long opens = kelo::ReaderOpenCount();
  for (auto _ : state) {
    kelo::CloseKeptConnections();
    const kelo::OverlayBadge badge = kelo::ResolveOverlayBadge(platform, path.c_str());
    if (badge.code != kelo::kStateSynced) {
      state.SkipWithError(("unexpected badge for " + path).c_str());
      break;
    }
  }
  state.counters["opens_per_icon"] = static_cast<double>(kelo::ReaderOpenCount() - opens) /
                                     static_cast<double>(state.iterations());
  state.counters["entries"] = static_cast<double>(entries);
}

// A private copy of a variant's file for writing, made once per process.
struct WriterFile {
  std::string path;
  std::string root;
  std::vector<std::string> sample;  // existing entries to change
  size_t next = 0;
  size_t added = 0;
};

WriterFile* PrepareWriterFile(const BenchCache& cache, size_t entries, Variant variant) {
  static std::map<std::pair<size_t, Variant>, WriterFile> files;
  auto found = files.find({entries, variant});
  if (found != files.end()) return &found->second;
  WriterFile file;
  file.path = cache.ScratchDir() + "/writer-" + std::to_string(entries) +
              (variant == Variant::kWith ? "-with.sqlite" : "-without.sqlite");
  file.root = cache.Size(entries).marks.root;
  // "without": the schema of the two original statements alone, as before.
  if (kelo_test::CopyFile(cache.FileStatusDb(variant, entries), file.path) != 0 ||
      (variant == Variant::kWithout &&
       kelo_test::RunSql(file.path, kelo_test::kDropLookupIndexes) != SQLITE_OK)) {
    return nullptr;
  }
  file.sample = QueryColumn(
      file.path, "select path from fstatinfo where fileType = 0 and id % 97 = 13 limit 4096", 0);
  if (file.sample.empty()) return nullptr;
  return &files.emplace(std::make_pair(entries, variant), std::move(file)).first->second;
}

// One write of the writer's mix on `file`: three state changes of existing entries, then a
// new entry. The copy without the lookup indexes must stay without, so it is made current
// directly: initialize() would build them.
bool WriteOne(WriterFile* file) {
  FileStatusDB::m_fstatDBPath = file->path;
  FileStatusInfo info;
  if (file->next % 4 == 3) {
    info.path = file->root + "/Incoming/new file " + std::to_string(++file->added) + ".dat";
    info.syncStatus = FileStatusDB::kSyncing;
  } else {
    const size_t pick = file->next * 7919 % file->sample.size();
    info.path = file->sample[pick];
    info.syncStatus = (file->next / file->sample.size()) % 2 == 0 ? FileStatusDB::kSyncing
                                                                  : FileStatusDB::kSynced;
  }
  ++file->next;
  return FileStatusDB::setFileSyncStat(info) == 0;
}

double Seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

double Median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const size_t mid = values.size() / 2;
  return values.size() % 2 == 1 ? values[mid] : (values[mid - 1] + values[mid]) / 2;
}

// Times `first` and `second` alternately, once each per iteration, so that both see the
// same load; `ratios` holds (second's time / first's time) per pair. Stops with `error` as
// soon as either reports failure.
struct PairedTimes {
  double first_seconds = 0;
  double second_seconds = 0;
  std::vector<double> ratios;
};

template <typename First, typename Second>
PairedTimes RunPaired(benchmark::State& state, First first, Second second, const char* error) {
  PairedTimes times;
  for (auto _ : state) {
    auto start = std::chrono::steady_clock::now();
    const bool first_ok = first();
    const double first_took = Seconds(start);
    start = std::chrono::steady_clock::now();
    const bool second_ok = second();
    const double second_took = Seconds(start);
    if (!first_ok || !second_ok) {
      state.SkipWithError(error);
      break;
    }
    times.first_seconds += first_took;
    times.second_seconds += second_took;
    times.ratios.push_back(second_took / first_took);
    state.SetIterationTime(first_took + second_took);
  }
  return times;
}

void Writer(benchmark::State& state, const BenchCache* cache, size_t entries, Variant variant) {
  kelo::ScopedDbRole writing(kelo::DbRole::kWriter);
  WriterFile* file = PrepareWriterFile(*cache, entries, variant);
  if (file == nullptr) {
    state.SkipWithError("cannot prepare the writer's copy");
    return;
  }
  for (auto _ : state) {
    if (!WriteOne(file)) {
      state.SkipWithError("setFileSyncStat failed");
      break;
    }
  }
  state.SetItemsProcessed(state.iterations());
  state.counters["entries"] = static_cast<double>(entries);
  if (HoldsBuiltIndexes(file->path) != (variant == Variant::kWith)) {
    state.SkipWithError("the writer's copy does not hold the indexes of its variant");
  }
}

// The two writers alternately, write by write, so that both see the same disk and the same
// neighbours: "rate_ratio" is the median over the pairs of (time without / time with), the
// rate with the indexes as a share of the rate without.
void WriterPaired(benchmark::State& state, const BenchCache* cache, size_t entries) {
  kelo::ScopedDbRole writing(kelo::DbRole::kWriter);
  WriterFile* with = PrepareWriterFile(*cache, entries, Variant::kWith);
  WriterFile* without = PrepareWriterFile(*cache, entries, Variant::kWithout);
  if (with == nullptr || without == nullptr) {
    state.SkipWithError("cannot prepare the writers' copies");
    return;
  }
  const PairedTimes times = RunPaired(
      state, [with] { return WriteOne(with); }, [without] { return WriteOne(without); },
      "setFileSyncStat failed");
  const double n = static_cast<double>(state.iterations());
  state.counters["with_per_s"] = times.first_seconds > 0 ? n / times.first_seconds : 0;
  state.counters["without_per_s"] = times.second_seconds > 0 ? n / times.second_seconds : 0;
  state.counters["rate_ratio"] = Median(times.ratios);
}

// One icon of the smallest and one of the largest file alternately: "ratio" is the median
// over the pairs of (time at the largest / time at the smallest), measured under the same
// load.
void IconPaired(benchmark::State& state, const BenchCache* cache, size_t small, size_t large,
                const std::string* small_path, const std::string* large_path) {
  kelo::ScopedDbRole reading(kelo::DbRole::kReader);
  kelo::LinuxOverlayPlatform platform(cache->Home(Variant::kWith));
  int small_code = -1;
  const PairedTimes times = RunPaired(
      state,
      [&] {
        const kelo::OverlayBadge a = kelo::ResolveOverlayBadge(platform, small_path->c_str());
        small_code = a.code;
        return a.badge != nullptr;
      },
      [&] {
        const kelo::OverlayBadge b = kelo::ResolveOverlayBadge(platform, large_path->c_str());
        return b.badge != nullptr && b.code == small_code;
      },
      "the two icons do not get the same badge");
  const double n = static_cast<double>(state.iterations());
  state.counters["small_us"] = n > 0 ? times.first_seconds / n * 1e6 : 0;
  state.counters["large_us"] = n > 0 ? times.second_seconds / n * 1e6 : 0;
  state.counters["ratio"] = Median(times.ratios);
  state.counters["entries_small"] = static_cast<double>(small);
  state.counters["entries_large"] = static_cast<double>(large);
}

enum class Step { kFormC, kSessionLookup, kInitialize, kEntryLookup, kSubtree };

// One step of a file's icon (the subtree query: of its folder), alone, in the reader role
// with kept connections: where the time of an icon goes.
void IconStep(benchmark::State& state, const BenchCache* cache, size_t entries, Step step) {
  const SizeData& data = cache->Size(entries);
  const std::string db = cache->FileStatusDb(Variant::kWith, entries);
  const std::string sys_db = kelo::SystemDbPath(cache->Home(Variant::kWith));
  kelo::ScopedDbRole reading(kelo::DbRole::kReader);
  kelo::LinuxOverlayPlatform platform(cache->Home(Variant::kWith));
  if (FileStatusDB::initialize(db) != 0) {
    state.SkipWithError("initialize failed");
    return;
  }
  for (auto _ : state) {
    bool ok = true;
    switch (step) {
      case Step::kFormC: {
        std::string form_c;
        ok = platform.NormalizeFormC(data.marks.file, &form_c);
        break;
      }
      case Step::kSessionLookup: {
        KELOSessionInfo info;
        ok = SystemDB::getSessionInfoByFilePath(sys_db, data.marks.file, &info) == 0 &&
             info.id == data.session_id;
        break;
      }
      case Step::kInitialize:
        ok = FileStatusDB::initialize(db) == 0;
        break;
      case Step::kEntryLookup: {
        FileStatusInfo info;
        ok = FileStatusDB::getFileSyncStat(data.marks.file, &info) == 0;
        break;
      }
      case Step::kSubtree:
        ok = !FileStatusDB::isAnySubFileDirSyncing(data.marks.folder);
        break;
    }
    if (!ok) {
      state.SkipWithError("the step failed");
      break;
    }
  }
  state.counters["entries"] = static_cast<double>(entries);
}

// One icon and one floor lookup alternately: "ratio" is the median over the pairs of
// (icon / floor), how far the whole drawing path is from the least a lookup costs.
void IconVsFloor(benchmark::State& state, const BenchCache* cache, size_t entries, Target target) {
  const std::string& path = PathOf(cache->Size(entries), target);
  kelo::ScopedDbRole reading(kelo::DbRole::kReader);
  kelo::LinuxOverlayPlatform platform(cache->Home(Variant::kWith));
  FloorLookup floor(cache->FileStatusDb(Variant::kWith, entries), cache->Size(entries).marks.file);
  if (floor.Error() != nullptr) {
    state.SkipWithError(floor.Error());
    return;
  }
  const PairedTimes times = RunPaired(
      state, [&] { return floor.Run(); },
      [&] { return kelo::ResolveOverlayBadge(platform, path.c_str()).code == kelo::kStateSynced; },
      "the floor found no row or the icon did not get its badge");
  const double n = static_cast<double>(state.iterations());
  state.counters["floor_us"] = n > 0 ? times.first_seconds / n * 1e6 : 0;
  state.counters["icon_us"] = n > 0 ? times.second_seconds / n * 1e6 : 0;
  state.counters["ratio"] = Median(times.ratios);
  state.counters["entries"] = static_cast<double>(entries);
}

void IndexBuild(benchmark::State& state, const BenchCache* cache, size_t entries) {
  kelo::ScopedDbRole writing(kelo::DbRole::kWriter);
  const std::string copy = cache->ScratchDir() + "/index-build.sqlite";
  for (auto _ : state) {
    if (kelo_test::CopyFile(cache->FileStatusDb(Variant::kWithout, entries), copy) != 0 ||
        kelo_test::RunSql(copy, kelo_test::kDropLookupIndexes) != SQLITE_OK) {
      state.SkipWithError("cannot prepare the copy");
      break;
    }
    const auto start = std::chrono::steady_clock::now();
    const int rc = FileStatusDB::initialize(copy);
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    if (rc != 0 || !HoldsBuiltIndexes(copy)) {
      state.SkipWithError("initialize did not build the indexes");
      break;
    }
    state.SetIterationTime(took.count());
  }
  state.counters["entries"] = static_cast<double>(entries);
  std::filesystem::remove(copy);
}

std::vector<size_t> Sizes() {
  std::vector<size_t> sizes;
  const char* env = std::getenv("KELO_BENCH_SIZES");
  std::istringstream list(env != nullptr && env[0] != '\0' ? env : "1000,100000,1000000");
  for (std::string item; std::getline(list, item, ',');) {
    sizes.push_back(std::strtoull(item.c_str(), nullptr, 10));
  }
  return sizes;
}

const char* VariantName(Variant variant) { return variant == Variant::kWith ? "with" : "without"; }

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;

  static BenchCache cache(BenchCache::DefaultDir());
  const std::vector<size_t> sizes = Sizes();
  if (cache.Prepare(sizes) != 0) return 1;
  PrintPlans(cache, sizes.back());

  benchmark::AddCustomContext("sqlite_version", sqlite3_libversion());
  benchmark::AddCustomContext("bench_cache", BenchCache::DefaultDir());
  for (size_t entries : sizes) {
    benchmark::AddCustomContext("first_index_build_seconds/" + std::to_string(entries),
                                std::to_string(cache.Size(entries).first_index_build_seconds));
    const std::string n = std::to_string(entries);
    const std::pair<Target, const char*> targets[] = {{Target::kFile, "file"},
                                                      {Target::kFolder, "folder"},
                                                      {Target::kBigFolder, "big_folder"},
                                                      {Target::kRoot, "root"}};
    for (const auto& [target, name] : targets) {
      for (Variant variant : {Variant::kWith, Variant::kWithout}) {
        benchmark::RegisterBenchmark(
            ("icon/" + std::string(name) + "/" + n + "/" + VariantName(variant)).c_str(), Icon,
            &cache, entries, target, variant)
            ->Unit(benchmark::kMicrosecond)
            ->UseRealTime();
      }
    }
    benchmark::RegisterBenchmark(("floor/" + n).c_str(), Floor, &cache, entries)
        ->Unit(benchmark::kMicrosecond)
        ->UseRealTime();
    for (const auto& [target, name] : {targets[0], targets[1]}) {
      benchmark::RegisterBenchmark(("icon_floor/" + std::string(name) + "/" + n).c_str(),
                                   IconVsFloor, &cache, entries, target)
          ->Unit(benchmark::kMicrosecond)
          ->UseManualTime();
    }
    benchmark::RegisterBenchmark(("icon_fresh/file/" + n).c_str(), IconFresh, &cache, entries)
        ->Unit(benchmark::kMicrosecond)
        ->UseRealTime();
    const std::pair<Step, const char*> steps[] = {{Step::kFormC, "form_c"},
                                                  {Step::kSessionLookup, "session_lookup"},
                                                  {Step::kInitialize, "initialize"},
                                                  {Step::kEntryLookup, "entry_lookup"},
                                                  {Step::kSubtree, "subtree"}};
    for (const auto& [step, name] : steps) {
      benchmark::RegisterBenchmark(("step/" + std::string(name) + "/" + n).c_str(), IconStep,
                                   &cache, entries, step)
          ->Unit(benchmark::kMicrosecond)
          ->UseRealTime();
    }
  }
  const size_t smallest = sizes.front(), largest = sizes.back();
  if (smallest != largest) {
    const SizeData& a = cache.Size(smallest);
    const SizeData& b = cache.Size(largest);
    const std::pair<const char*, std::pair<const std::string*, const std::string*>> pairs[] = {
        {"file", {&a.marks.file, &b.marks.file}},
        {"folder", {&a.marks.folder, &b.marks.folder}},
        {"big_folder", {&a.marks.big_folder, &b.marks.big_folder}},
        {"root", {&a.marks.root, &b.marks.root}}};
    for (const auto& [name, paths] : pairs) {
      benchmark::RegisterBenchmark(("icon_ratio/" + std::string(name) + "/" +
                                    std::to_string(largest) + "_vs_" + std::to_string(smallest))
                                       .c_str(),
                                   IconPaired, &cache, smallest, largest, paths.first, paths.second)
          ->Unit(benchmark::kMicrosecond)
          ->UseManualTime();
    }
  }
  benchmark::RegisterBenchmark(("writer_ratio/" + std::to_string(largest)).c_str(), WriterPaired,
                               &cache, largest)
      ->Unit(benchmark::kMicrosecond)
      ->UseManualTime()
      ->MinTime(3.0);
  for (Variant variant : {Variant::kWith, Variant::kWithout}) {
    benchmark::RegisterBenchmark(
        ("writer/" + std::to_string(largest) + "/" + VariantName(variant)).c_str(), Writer, &cache,
        largest, variant)
        ->Unit(benchmark::kMicrosecond)
        ->UseRealTime()
        ->MinTime(2.0);
  }
  benchmark::RegisterBenchmark(("index_build/" + std::to_string(largest)).c_str(), IndexBuild,
                               &cache, largest)
      ->Unit(benchmark::kMillisecond)
      ->UseManualTime()
      ->Iterations(1);

  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  std::error_code ignored;
  std::filesystem::remove_all(cache.ScratchDir(), ignored);
  return 0;
}
