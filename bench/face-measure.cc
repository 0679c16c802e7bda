// Measurements of the Nautilus face, loaded as Nautilus loads it, on a folder of many files
// (not a test; `make measure-faces` runs it and docs/performance.md quotes it):
//
//   face-measure make-home DIR N   the demo home in DIR plus Sync/Photos/Many with N files,
//                                  on disk and recorded synced by the client's writer
//   face-measure cost DIR          per item: the face's update_file_info (fresh file objects,
//                                  each registered with the monitor) against the core's
//                                  resolution alone, over every file of Sync/Photos/Many
//   face-measure stall DIR S       the host's main loop, asking about items all along, quiet
//                                  for 3 s, then while another process holds an exclusive
//                                  lock on the session's database for S seconds and after it
//                                  commits a change: the longest time one of the face's
//                                  answers or sources held the loop (wall time), and when
//                                  the change reached the host
#include <dlfcn.h>
#include <glib-object.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "cli/demo-home.h"
#include "db/reader-mode/reader-mode.h"
#include "iconoverlay/badge-resolver.h"
#include "iconoverlay/linux-platform.h"
#include "tests/faces/fake-file-info.h"
#include "tests/support/fstat-data.h"

namespace {

using Clock = std::chrono::steady_clock;

// CPU time of this thread, in milliseconds: what an item costs the host's main thread,
// whatever else the machine runs.
double ThreadCpuMs() {
  timespec now;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return now.tv_sec * 1e3 + now.tv_nsec / 1e6;
}

double MsSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

std::string ManyFolder(const std::string& home) { return home + "/Sync/Photos/Many"; }

std::string NameOf(int i) {
  char name[32];
  std::snprintf(name, sizeof name, "file-%05d.txt", i);
  return name;
}

std::vector<std::string> ManyPaths(const std::string& home) {
  std::vector<std::string> paths;
  for (int i = 0;; ++i) {
    std::string path = ManyFolder(home) + "/" + NameOf(i);
    struct stat st;
    if (stat(path.c_str(), &st) != 0) break;
    paths.push_back(path);
  }
  return paths;
}

std::string SessionDb(const std::string& home, const std::string& path) {
  KELOSessionInfo session;
  if (SystemDB::getSessionInfoByFilePath(kelo::SystemDbPath(home), path, &session) < 0) return "";
  return kelo::FileStatusDbPath(home, session.id);
}

int MakeHome(const std::string& home, int count) {
  std::vector<kelo::DemoSample> samples;
  std::string error;
  if (kelo::BuildDemoHome(home, &samples, &error) != 0 ||
      kelo::MakeDirectories(ManyFolder(home), &error) != 0) {
    std::fprintf(stderr, "make-home: %s\n", error.c_str());
    return 1;
  }
  std::vector<kelo_test::FstatRow> entries = {{ManyFolder(home), FileStatusDB::kFolder, 1}};
  for (int i = 0; i < count; ++i) {
    const std::string path = ManyFolder(home) + "/" + NameOf(i);
    std::ofstream(path) << i;
    entries.push_back({path, 0, 1});
  }
  return kelo_test::WriteEntries(SessionDb(home, ManyFolder(home)), entries) == 0 ? 0 : 1;
}

// The face, loaded and initialised as the host does, and its provider.
GObject* LoadFace() {
  void* handle = dlopen(KELO_FACE_MODULE, RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    std::fprintf(stderr, "%s\n", dlerror());
    std::exit(1);
  }
  auto initialize =
      reinterpret_cast<void (*)(GTypeModule*)>(dlsym(handle, "nautilus_module_initialize"));
  auto list_types =
      reinterpret_cast<void (*)(const GType**, int*)>(dlsym(handle, "nautilus_module_list_types"));
  initialize(kelo_fake_type_module_new());
  const GType* types = nullptr;
  int count = 0;
  list_types(&types, &count);
  return G_OBJECT(g_object_new(types[0], nullptr));
}

std::vector<GObject*> NewFiles(const std::vector<std::string>& paths) {
  std::vector<GObject*> files;
  for (const std::string& path : paths) {
    char* uri = g_filename_to_uri(path.c_str(), nullptr, nullptr);
    files.push_back(kelo_fake_file_info_new(uri));
    g_free(uri);
  }
  return files;
}

void Unref(std::vector<GObject*>* files) {
  for (GObject* file : *files) g_object_unref(file);
  files->clear();
}

int Cost(const std::string& home) {
  setenv("HOME", home.c_str(), 1);
  const std::vector<std::string> paths = ManyPaths(home);
  if (paths.empty()) return 1;
  GObject* provider = LoadFace();
  kelo::SetDbRole(kelo::DbRole::kReader);
  kelo::LinuxOverlayPlatform platform;
  std::printf("items %zu\nround core_cpu_us_per_item face_cpu_us_per_item ratio\n", paths.size());
  for (int round = 0; round < 5; ++round) {
    double start = ThreadCpuMs();
    int badges = 0;
    for (const std::string& path : paths) {
      badges += kelo::ResolveOverlayBadge(platform, path.c_str()).code == kelo::kStateSynced;
    }
    const double core_ms = ThreadCpuMs() - start;
    std::vector<GObject*> files = NewFiles(paths);
    start = ThreadCpuMs();
    for (GObject* file : files) kelo_fake_update_file_info(provider, file);
    const double face_ms = ThreadCpuMs() - start;
    int emblems = 0;
    for (GObject* file : files) {
      char* text = kelo_fake_file_info_emblems(file);
      emblems += std::string(text) == "kelo-synced";
      g_free(text);
    }
    Unref(&files);  // the host lets them go: the face forgets them, as between folders
    if (badges != static_cast<int>(paths.size()) || emblems != badges) {
      std::fprintf(stderr, "cost: %d badges, %d emblems of %zu\n", badges, emblems, paths.size());
      return 1;
    }
    const double n = static_cast<double>(paths.size());
    std::printf("%d %.1f %.1f %.2f\n", round, core_ms * 1000 / n, face_ms * 1000 / n,
                face_ms / core_ms);
  }
  return 0;
}

// The host's main loop for `ms`: the face's sources dispatched, and a screenful of other
// items asked about every 100 ms, as while scrolling. Returns the longest time one dispatch
// or one item's answer held the loop, in wall time; `until` may end the loop early.
struct Holds {
  double answer_ms = 0;    // one update_file_info
  double dispatch_ms = 0;  // one dispatch of the face's main-context sources (the monitor)
};

template <typename Until>
Holds RunHost(GObject* provider, const std::vector<std::string>& paths, double ms, Until until) {
  const auto start = Clock::now();
  auto last_ask = Clock::now() - std::chrono::seconds(1);
  size_t next = 0;
  Holds longest;
  while (MsSince(start) < ms && !until()) {
    auto step = Clock::now();
    const bool dispatched = g_main_context_iteration(nullptr, FALSE);
    longest.dispatch_ms = std::max(longest.dispatch_ms, MsSince(step));
    if (!dispatched) g_usleep(1000);
    if (MsSince(last_ask) < 100) continue;
    last_ask = Clock::now();
    for (int i = 0; i < 60; ++i, next = (next + 1) % paths.size()) {
      std::vector<GObject*> one = NewFiles({paths[next]});
      step = Clock::now();
      kelo_fake_update_file_info(provider, one[0]);
      longest.answer_ms = std::max(longest.answer_ms, MsSince(step));
      Unref(&one);
    }
  }
  return longest;
}

int Stall(const std::string& home, int seconds) {
  setenv("HOME", home.c_str(), 1);
  const std::vector<std::string> paths = ManyPaths(home);
  if (paths.size() < 200) return 1;
  const std::string db_path = SessionDb(home, paths[0]);
  GObject* provider = LoadFace();
  std::vector<GObject*> shown = NewFiles(paths);  // the open folder: every item asked once
  for (GObject* file : shown) kelo_fake_update_file_info(provider, file);
  const Holds quiet = RunHost(provider, paths, 3000, [] { return false; });

  int ready[2];
  if (pipe(ready) != 0) return 1;
  const pid_t client = fork();
  if (client == 0) {  // the client: an exclusive transaction that changes one item
    sqlite3* db = nullptr;
    sqlite3_open(db_path.c_str(), &db);
    sqlite3_exec(db, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr);
    const std::string sql = "UPDATE fstatinfo SET syncStatus = 2 WHERE path = '" + paths[7] + "'";
    sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr);
    (void)!write(ready[1], "x", 1);
    sleep(static_cast<unsigned>(seconds));
    sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
    sqlite3_close(db);
    _exit(0);
  }
  char byte;
  (void)!read(ready[0], &byte, 1);
  int status = 0;
  const Holds locked = RunHost(provider, paths, seconds * 1000.0,
                               [&] { return waitpid(client, &status, WNOHANG) == client; });
  if (waitpid(client, &status, 0) != client) {
    // reaped by the loop above
  }
  const auto committed_at = Clock::now();
  const Holds after = RunHost(provider, paths, 10000,
                              [&] { return kelo_fake_file_info_invalidations(shown[7]) > 0; });
  const double changed_after_ms =
      kelo_fake_file_info_invalidations(shown[7]) > 0 ? MsSince(committed_at) : -1;
  std::printf("items_shown %zu\nlock_s %d\n", paths.size(), seconds);
  const std::pair<const char*, Holds> phases[] = {
      {"quiet", quiet}, {"locked", locked}, {"after_commit", after}};
  for (const auto& [phase, holds] : phases) {
    std::printf("%s longest_answer_ms %.1f longest_dispatch_ms %.1f\n", phase, holds.answer_ms,
                holds.dispatch_ms);
  }
  std::printf("change_reached_host_after_ms %.0f\n", changed_after_ms);
  Unref(&shown);
  return changed_after_ms >= 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string command = argc > 2 ? argv[1] : "";
  // The host names files by absolute URIs: the home is made absolute first.
  char* home = argc > 2 ? g_canonicalize_filename(argv[2], nullptr) : nullptr;
  const std::string dir = home != nullptr ? home : "";
  g_free(home);
  if (command == "make-home" && argc == 4) return MakeHome(dir, std::atoi(argv[3]));
  if (command == "cost" && argc == 3) return Cost(dir);
  if (command == "stall" && argc == 4) return Stall(dir, std::atoi(argv[3]));
  std::fprintf(stderr, "usage: face-measure make-home DIR N | cost DIR | stall DIR SECONDS\n");
  return 2;
}
