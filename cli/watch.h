// `kelo-overlay watch`: the badges of some paths, live. Prints each path's badge, then a
// time-stamped line whenever one changes, until interrupted (SIGINT or SIGTERM end it
// cleanly with exit status 0).
//
// Badges are resolved through the same drawing path as the Finder's, in the reader role
// (db/reader-mode/reader-mode.h), and kept by the change monitor (iconoverlay/change-monitor.h):
// between changes the command sleeps until the system reports a write in the client's database
// folders, and then resolves again only the paths of the session whose database changed (every
// path when the registry changed).
#ifndef KELO_TOOLS_WATCH_H_
#define KELO_TOOLS_WATCH_H_

#include <string>
#include <vector>

namespace kelo {

extern const char kWatchUsage[];

// Runs the command with the arguments that follow "watch". Returns the exit status: 0
// after an interruption, 1 when it cannot start, 2 for a usage error.
int RunWatch(const std::vector<std::string>& argv);

}  // namespace kelo

#endif  // KELO_TOOLS_WATCH_H_
