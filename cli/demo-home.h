// A sample home directory for trying the badge resolution by hand: a connection, five
// sessions in different states, their file status databases, and real files and folders
// on disk (non-ASCII and decomposed names among them). Built only through the database
// library's own write operations, as the desktop client would build it.
#ifndef KELO_TOOLS_DEMO_HOME_H_
#define KELO_TOOLS_DEMO_HOME_H_

#include <string>
#include <vector>

namespace kelo {

// One sample path of the demo home and what it shows.
struct DemoSample {
  std::string path;  // absolute, as it is named on disk
  std::string what;  // what the sample demonstrates
};

// Builds the sample home in `home`, which may exist but must not hold a ".Tarnvale"
// folder. Fills *samples with the paths worth resolving. Returns 0, or -1 with a message
// for people in *error (the home may then be half built).
int BuildDemoHome(const std::string& home, std::vector<DemoSample>* samples, std::string* error);

// Creates `path` and its missing parents (mode 0755). Returns 0, or -1 with *error set.
int MakeDirectories(const std::string& path, std::string* error);

}  // namespace kelo

#endif  // KELO_TOOLS_DEMO_HOME_H_
