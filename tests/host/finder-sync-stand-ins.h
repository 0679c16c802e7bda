// Stand-ins for the FinderSync framework's FIFinderSync and FIFinderSyncController, declared
// by faces/findersync/finder-sync-host.h, for driving the extension's class in tests. The
// controller records what the extension tells the Finder: the observed folders, the badge
// images and every setBadgeIdentifier:forURL: call, with the thread it came on.
#ifndef KELO_TESTS_HOST_FINDER_SYNC_STAND_INS_H_
#define KELO_TESTS_HOST_FINDER_SYNC_STAND_INS_H_

#import "faces/findersync/finder-sync-host.h"

#include <map>
#include <string>
#include <vector>

namespace kelo_host {

struct BadgeCall {
  std::string identifier;
  std::string path;
  bool on_main_thread;
};

struct BadgeImage {
  NSImage* image;  // retained by the controller
  std::string label;
  int times_set;
};

struct Recorded {
  std::vector<std::string> folders;  // the observed folders as paths, sorted
  std::vector<BadgeCall> calls;
  std::map<std::string, BadgeImage> images;  // by badge identifier
};

}  // namespace kelo_host

@interface FIFinderSyncController (KeloStandIn)
// Forgets everything recorded; the observed folders become none.
- (void)keloReset;
- (kelo_host::Recorded)keloRecorded;
@end

#endif  // KELO_TESTS_HOST_FINDER_SYNC_STAND_INS_H_
