#include "cli/watch.h"

#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iostream>
#include <set>
#include <string>
#include <vector>

#include "cli/tool-common.h"
#include "db/reader-mode/reader-mode.h"
#include "iconoverlay/badge-resolver.h"
#include "iconoverlay/change-monitor.h"
#include "iconoverlay/linux-platform.h"

namespace kelo {

const char kWatchUsage[] =
    "usage: kelo-overlay watch [--home DIR] [--interval MS] [--json] PATH...\n"
    "\n"
    "Prints the badge of each PATH, then a time-stamped line whenever one changes\n"
    "(e.g. \"syncing -> synced\"), until interrupted (Ctrl-C). Badges are resolved as the\n"
    "Finder plug-in resolves them, and again only when the system reports that one of\n"
    "the client's databases changed (and only the paths of that session). Paths are\n"
    "spelt as for status; nothing on disk is changed.\n"
    "\n"
    "  --home DIR      watch the client databases under DIR/.Tarnvale\n"
    "                  (default: your home directory)\n"
    "  --interval MS   how often to look where the system cannot report changes, such\n"
    "                  as a database folder that does not exist yet (default 500,\n"
    "                  10 to 3600000)\n"
    "  --json          one JSON object per line: each path's first badge, then each change\n";

namespace {

const char kCommand[] = "watch";
constexpr long kDefaultIntervalMs = 500;
constexpr long kMinIntervalMs = 10;
constexpr long kMaxIntervalMs = 3600000;

// Written by the signal handler, read by the loop: the end of the command.
int g_stop_pipe[2] = {-1, -1};
void OnStopSignal(int) {
  const char byte = 1;
  [[maybe_unused]] ssize_t ignored = write(g_stop_pipe[1], &byte, 1);
}

std::string Now(const char* format) {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char text[64];
  std::strftime(text, sizeof text, format, &local);
  return text;
}

std::string BadgeName(int code) {
  const BadgeSpec* badge = BadgeForCode(code);
  return badge != nullptr ? badge->badge : "none";
}

// One line: the first badge of `path` (no `before`), or a change.
void Print(bool json, const std::string& path, const int* before, int now) {
  if (json) {
    std::cout << "{\"time\": " << JsonString(Now("%Y-%m-%dT%H:%M:%S"))
              << ", \"path\": " << JsonString(path) << ", \"badge\": " << JsonString(BadgeName(now))
              << ", \"state\": " << now
              << ", \"previous\": " << (before ? JsonString(BadgeName(*before)) : "null")
              << ", \"previous_state\": " << (before ? std::to_string(*before) : "null") << "}\n";
    return;
  }
  std::string change = before ? BadgeName(*before) + " -> " + BadgeName(now) : BadgeName(now);
  if (change.size() < 22) change.resize(22, ' ');
  std::cout << Now("%Y-%m-%d %H:%M:%S") << "  " << change << "  " << Printable(path) << "\n";
}

}  // namespace

int RunWatch(const std::vector<std::string>& argv) {
  ToolOptions options;
  if (int rc = ParseToolOptions(kCommand, argv, kToolOptHome | kToolOptInterval | kToolOptJson,
                                &options))
    return rc;
  if (options.help) {
    std::cout << kWatchUsage;
    return kToolExitOk;
  }
  long interval_ms = kDefaultIntervalMs;
  if (!options.interval.empty()) {
    char* end = nullptr;
    errno = 0;
    interval_ms = std::strtol(options.interval.c_str(), &end, 10);
    if (*end != '\0' || errno != 0 || interval_ms < kMinIntervalMs ||
        interval_ms > kMaxIntervalMs) {
      return ToolUsageError(
          kCommand, "bad --interval '" + options.interval + "' (milliseconds, 10 to 3600000)");
    }
  }
  if (options.args.empty()) return ToolUsageError(kCommand, "no PATH given");
  std::string home;
  if (int rc = ChooseToolHome(kCommand, options.home, &home)) return rc;
  std::vector<std::string> paths;
  for (const std::string& arg : options.args) paths.push_back(ToolPath(arg));

  // Interruptions end the command cleanly: the handler wakes the loop through a pipe.
  if (pipe(g_stop_pipe) != 0) {
    std::cerr << "kelo-overlay watch: cannot start: " << std::strerror(errno) << "\n";
    return kToolExitFailure;
  }
  struct sigaction stop = {};
  stop.sa_handler = OnStopSignal;
  struct sigaction previous_int, previous_term;
  sigaction(SIGINT, &stop, &previous_int);
  sigaction(SIGTERM, &stop, &previous_term);

  ScopedDbRole reading(DbRole::kReader);
  LinuxOverlayPlatform platform(home);
  ChangeMonitor::Options monitor_options;
  monitor_options.fallback_poll_ms = static_cast<int>(interval_ms);
  ChangeMonitor monitor(platform, std::move(monitor_options));
  // A first answer given up on a lock is unknown: the path's first line waits for the
  // monitor's retry after the back-off.
  std::set<std::string> unknown;
  for (const std::string& path : paths) {
    const OverlayBadge first = monitor.Resolve(path);
    if (first.gave_up) {
      unknown.insert(path);
    } else {
      Print(options.json, path, nullptr, first.code);
    }
  }
  std::cout.flush();
  for (;;) {
    pollfd fds[2] = {{g_stop_pipe[0], POLLIN, 0}, {monitor.fd(), POLLIN, 0}};
    const int ready = poll(fds, fds[1].fd >= 0 ? 2 : 1, monitor.NextTimeoutMs());
    if (ready > 0 && (fds[0].revents & POLLIN)) break;
    std::vector<BadgeChange> changes;
    monitor.Process(&changes);
    for (const BadgeChange& change : changes) {
      const bool first = unknown.erase(change.path) > 0;
      Print(options.json, change.path, first ? nullptr : &change.previous_code, change.code);
    }
    if (!changes.empty()) std::cout.flush();
  }
  sigaction(SIGINT, &previous_int, nullptr);
  sigaction(SIGTERM, &previous_term, nullptr);
  close(g_stop_pipe[0]);
  close(g_stop_pipe[1]);
  return kToolExitOk;
}

}  // namespace kelo
