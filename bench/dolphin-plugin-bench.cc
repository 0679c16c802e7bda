// Measures the Dolphin plug-in in a Qt event loop, loaded as Dolphin loads it, on the sample
// home with N more synced files in one session:
//   - the plug-in's CPU time per item (getOverlays) against the core's resolution of the same
//     paths (ResolveOverlayBadge in the reader role), in paired passes;
//   - the longest stall of the event loop while another process holds an exclusive lock on
//     the session's database for LOCK seconds, right after committing a change, and the host
//     keeps asking about items meanwhile (a batch of 50 every 100 ms, as a repaint would);
//     first as long without a lock, for what the machine's load alone does.
//
//   dolphin_plugin_bench PLUGIN_ROOT [N=10000] [LOCK=10]
#include <malloc.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <KOverlayIconPlugin>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>
#include <QUrl>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "cli/demo-home.h"
#include "db/reader-mode/reader-mode.h"
#include "db/sqlite-owners.h"
#include "faces/dolphin/load-as-dolphin.h"
#include "iconoverlay/badge-resolver.h"
#include "iconoverlay/linux-platform.h"
#include "support/fstat-data.h"
#include "support/temp-dir.h"

namespace {

// CPU time of this thread, in seconds: the machine is shared, so wall time says little.
double ThreadCpuSeconds() {
  timespec now;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return now.tv_sec + now.tv_nsec / 1e9;
}

// CPU microseconds per item of one pass of `per_item` over `count` items.
template <typename Fn>
double MicrosPerItem(size_t count, Fn per_item) {
  const double start = ThreadCpuSeconds();
  for (size_t i = 0; i < count; ++i) per_item(i);
  return (ThreadCpuSeconds() - start) * 1e6 / count;
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

// In a child process: commits a change of `path`'s state, then holds an exclusive lock on
// `db` for `seconds`.
pid_t ChangeThenHoldLock(const std::string& db, const std::string& path, int seconds) {
  const pid_t child = fork();
  if (child != 0) return child;
  kelo::sqlite::Connection conn;
  kelo::sqlite::Open(db, kelo::sqlite::kReadWriteCreate, &conn);
  const std::string change = "UPDATE fstatinfo SET syncStatus=2 WHERE path='" + path + "'";
  sqlite3_exec(conn.get(), change.c_str(), nullptr, nullptr, nullptr);
  sqlite3_exec(conn.get(), "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr);
  sleep(static_cast<unsigned>(seconds));
  sqlite3_exec(conn.get(), "COMMIT", nullptr, nullptr, nullptr);
  _exit(0);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s PLUGIN_ROOT [N] [LOCK_SECONDS]\n", argv[0]);
    return 2;
  }
  const int count = argc > 2 ? std::atoi(argv[2]) : 10000;
  const int lock_seconds = argc > 3 ? std::atoi(argv[3]) : 10;
  // Without this, whichever loop happens to free the top of the heap pays for the kernel's
  // trimming (a TLB flush on every CPU of this virtual machine) and the comparison measures
  // that instead.
  mallopt(M_TRIM_THRESHOLD, 256 << 20);

  kelo_test::TempDir home;
  std::vector<kelo::DemoSample> samples;
  std::string error;
  if (kelo::BuildDemoHome(home.path(), &samples, &error) != 0) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 1;
  }
  const std::string folder = home / "Sync/Documents/Big";
  std::vector<std::string> paths;
  std::vector<kelo_test::FstatRow> entries;
  for (int i = 0; i < count; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "/f%05d.txt", i);
    paths.push_back(folder + name);
    entries.push_back({paths.back(), 0, 1});
  }
  kelo::LinuxOverlayPlatform platform(home.path());
  KELOSessionInfo session;
  if (kelo::FindSessionForPath(platform, kelo::SystemDbPath(home.path()), folder, &session) < 0) {
    return 1;
  }
  const std::string db = kelo::FileStatusDbPath(home.path(), session.id);
  if (kelo_test::WriteEntries(db, entries) != 0) return 1;
  // The plug-in keeps its own copy of the libraries, role included; this is the core's.
  kelo::SetDbRole(kelo::DbRole::kReader);

  setenv("HOME", home.path().c_str(), 1);
  qputenv("QT_PLUGIN_PATH", argv[1]);
  QCoreApplication app(argc, argv);
  KOverlayIconPlugin* plugin = kelo_test::LoadAsDolphinDoes();  // sets the reader role
  if (plugin == nullptr) {
    std::fprintf(stderr, "no plug-in in %s\n", argv[1]);
    return 1;
  }
  std::vector<QUrl> urls;
  for (const std::string& path : paths)
    urls.push_back(QUrl::fromLocalFile(QString::fromStdString(path)));

  if (plugin->getOverlays(urls[0]) != QStringList{QStringLiteral("kelo-synced")}) {
    std::fprintf(stderr, "the plug-in does not answer for the sample files\n");
    return 1;
  }
  // Passes of the core and of the plug-in in turn, so that both see the same load; the
  // plug-in's first pass registers every item.
  const double first = MicrosPerItem(urls.size(), [&](size_t i) { plugin->getOverlays(urls[i]); });
  std::vector<double> core, face, ratio;
  for (int pass = 0; pass < 7; ++pass) {
    core.push_back(MicrosPerItem(
        paths.size(), [&](size_t i) { kelo::ResolveOverlayBadge(platform, paths[i].c_str()); }));
    face.push_back(MicrosPerItem(urls.size(), [&](size_t i) { plugin->getOverlays(urls[i]); }));
    ratio.push_back(face.back() / core.back());
  }
  std::printf(
      "items %d, CPU per item (median of 7 paired passes): core %.1f us, plug-in %.1f us, "
      "ratio %.2f (%.2f..%.2f); the plug-in's first pass (registering) %.1f us\n",
      count, Median(core), Median(face), Median(ratio),
      *std::min_element(ratio.begin(), ratio.end()), *std::max_element(ratio.begin(), ratio.end()),
      first);

  // The event loop's longest gap while the lock is held, beside a 2 ms heartbeat.
  QElapsedTimer since_beat;
  qint64 longest_gap_ms = 0;
  QTimer heartbeat;
  QObject::connect(&heartbeat, &QTimer::timeout,
                   [&] { longest_gap_ms = std::max(longest_gap_ms, since_beat.restart()); });
  QTimer repaint;
  size_t asked = 0;
  qint64 longest_answer_ms = 0;
  QObject::connect(&repaint, &QTimer::timeout, [&] {
    for (int i = 0; i < 50; ++i) {
      QElapsedTimer answer;
      answer.start();
      plugin->getOverlays(urls[asked++ % urls.size()]);
      longest_answer_ms = std::max(longest_answer_ms, answer.elapsed());
    }
  });
  int announced = 0;
  QObject::connect(plugin, &KOverlayIconPlugin::overlaysChanged, [&] { ++announced; });
  // First as long without any lock, for the load of the machine alone.
  for (const bool locked : {false, true}) {
    longest_gap_ms = longest_answer_ms = 0;
    announced = 0;
    asked = 0;
    const pid_t holder = locked ? ChangeThenHoldLock(db, paths[0], lock_seconds) : 0;
    since_beat.start();
    heartbeat.start(2);
    repaint.start(100);
    QTimer::singleShot((lock_seconds + 2) * 1000, &app, &QCoreApplication::quit);
    app.exec();
    heartbeat.stop();
    repaint.stop();
    if (locked) waitpid(holder, nullptr, 0);
    std::printf(
        "%s, %d s: longest event loop gap %lld ms (2 ms heartbeat), longest getOverlays %lld "
        "ms, %d item(s) announced, %zu asked meanwhile\n",
        locked ? "a change, then the lock held" : "no lock", lock_seconds + 2,
        static_cast<long long>(longest_gap_ms), static_cast<long long>(longest_answer_ms),
        announced, asked);
  }
  return 0;
}
