// What `kelo-overlay doctor` costs against the number of entries of a session's file status
// database.
//
//   doctor/<entries>
//       RunDoctor over a home of one active session whose database holds a generated tree
//       (bench/tree-data.h) with the lookup indexes, output discarded: the integrity
//       check, the schema, one scan of the entries (Unicode form, folder, case, existence
//       on disk, syncing) and one walk of the path index. The session's folder exists on
//       disk but its entries do not, so every entry costs a failed lookup on disk as well.
//
// The homes are built into a temporary folder and removed afterwards. KELO_BENCH_SIZES=1000
// limits the sizes (default 1000,100000,1000000).
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "bench/tree-data.h"
#include "cli/doctor.h"
#include "db/file-status-db/file-status-db.h"
#include "db/system-db/system-db.h"
#include "iconoverlay/badge-resolver.h"

namespace {

// A home with one session (status 10) at <home>/Sync/Bench holding `entries` entries.
int BuildHome(const std::string& home, size_t entries) {
  const std::string folder = home + "/Sync/Bench";
  const std::string registry = kelo::SystemDbPath(home);
  std::filesystem::create_directories(folder);
  std::filesystem::create_directories(std::filesystem::path(registry).parent_path());
  KELOSessionInfo session;
  session.share_name = "Bench";
  session.session = "sess-bench";
  session.attribute = SystemDB::kEnabledBit;
  session.sync_folder = folder;
  if (SystemDB::initialize(registry) != 0 || SystemDB::addNewSessionInfo(session, 1) != 0 ||
      SystemDB::updateSessionInfo(session) != 0 ||
      SystemDB::setSessionStatus(session.session, 10) != 0) {
    return -1;
  }
  SystemDB::destroy();
  const std::string db = kelo::FileStatusDbPath(home, session.id);
  std::filesystem::create_directories(std::filesystem::path(db).parent_path());
  kelo_bench::TreeLandmarks marks;
  if (FileStatusDB::initialize(db) != 0) return -1;
  return kelo_test::WriteEntries(db, kelo_bench::GenerateTree(folder, entries, &marks));
}

void Doctor(benchmark::State& state, std::string home, size_t entries) {
  std::ostringstream discarded;
  std::streambuf* out = std::cout.rdbuf(discarded.rdbuf());
  for (auto _ : state) {
    discarded.str("");
    // The generated tree has case variants, so the exit status is 1: a finding, not a failure.
    benchmark::DoNotOptimize(kelo::RunDoctor({"--home", home, "--json"}));
    if (discarded.str().find("\"summary\"") == std::string::npos) {
      state.SkipWithError("doctor printed no summary");
      break;
    }
  }
  std::cout.rdbuf(out);
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * entries));
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  std::vector<size_t> sizes = {1000, 100000, 1000000};
  if (const char* env = std::getenv("KELO_BENCH_SIZES"); env != nullptr && *env != '\0') {
    sizes.clear();
    std::istringstream list(env);
    for (std::string item; std::getline(list, item, ',');) sizes.push_back(std::stoul(item));
  }
  std::string pattern = (std::filesystem::temp_directory_path() / "kelo-doctor-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) return 1;
  const std::string root = pattern;
  int rc = 0;
  for (size_t entries : sizes) {
    const std::string home = root + "/" + std::to_string(entries);
    if (BuildHome(home, entries) != 0) {
      std::cerr << "cannot build the home of " << entries << " entries\n";
      rc = 1;
      break;
    }
    benchmark::RegisterBenchmark(("doctor/" + std::to_string(entries)).c_str(), Doctor, home,
                                 entries)
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime();
  }
  if (rc == 0) benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  std::filesystem::remove_all(root);
  return rc;
}
