// What the FinderSync extension knows between the system's calls, in portable C++: the
// folders it asks the Finder to watch, the items the Finder has shown and the badge each was
// given, through the change monitor. The extension's class (kelo-finder-sync.mm) only turns
// the system's URLs into paths, hands them to a FinderSyncFace, and turns the answers into
// calls of FIFinderSyncController on the main queue.
//
//   kelo::FinderSyncFace face;                 // the user's databases
//   std::vector<std::string> folders = face.ObservedFolders();  // -> directoryURLs
//   std::string id = face.RequestBadge(path);  // -> setBadgeIdentifier:id forURL:path
//   face.EndObserving(folder);                 // the Finder stopped showing `folder`
//   // whenever face.fd() is readable (true) or face.NextTimeoutMs() has passed (false):
//   kelo::FaceChanges changes = face.Process(true);  // -> directoryURLs, setBadgeIdentifier:
//
// Badge identifiers are the registered image names of the badge table ("KeloSynced",
// "KeloSyncing", "KeloUnsupp"); "" is no badge, which the Finder takes as "remove it".
//
// Thread safety: every member may be called from any thread; one mutex serialises them.
#ifndef KELO_FACES_FINDERSYNC_FINDER_SYNC_FACE_H_
#define KELO_FACES_FINDERSYNC_FINDER_SYNC_FACE_H_

#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "iconoverlay/change-monitor.h"
#include "iconoverlay/linux-platform.h"
#include "iconoverlay/overlay-platform.h"

namespace kelo {

// The badge identifier of a badge table row; "" for none.
std::string BadgeIdentifier(const BadgeSpec* badge);

// The core's platform inside the extension. The home is the password database's: inside the
// sandbox HOME and NSHomeDirectory() name the extension's container. The extension sets its
// badge images once with the Finder, so the image of a badge is its table row.
class FinderSyncPlatform : public LinuxOverlayPlatform {
 public:
  // `home` empty: the password database's.
  explicit FinderSyncPlatform(const std::string& home)
      : LinuxOverlayPlatform(home.empty() ? PasswordDatabaseHome() : home) {}
  const void* FetchImage(const std::string& image_name) override;
  void LoadImage(const BadgeSpec&) override {}
};

struct BadgeUpdate {
  std::string path;
  std::string identifier;
};

// What Process found: the folders to observe, whether they differ from the last ones, and the
// items whose badge changed.
struct FaceChanges {
  bool folders_changed = false;
  std::vector<std::string> folders;
  std::vector<BadgeUpdate> badges;
};

class FinderSyncFace {
 public:
  // The client's databases under `home` (the password database's home when empty); `options`
  // go to the change monitor. The process must already be in the reader role.
  explicit FinderSyncFace(const std::string& home = "", ChangeMonitor::Options options = {});

  // The synchronised folders of the sessions that show badges (BadgedSessionFolders), read
  // now and remembered for Process. Empty when the registry is missing or unreadable.
  std::vector<std::string> ObservedFolders();

  // The badge identifier of the item at `path` (UTF-8, as the Finder gives it), resolved now;
  // the item is registered with the change monitor until its folder is let go.
  std::string RequestBadge(const std::string& path);

  // Forgets the items directly inside `folder`: the Finder shows none of them any more. Those
  // further down belong to folders it may still show.
  void EndObserving(const std::string& folder);

  // For the host's wait: the monitor's descriptor (-1 when it polls) and the milliseconds
  // until Process has work due (-1: none).
  int fd() const { return monitor_.fd(); }
  int NextTimeoutMs() const { return monitor_.NextTimeoutMs(); }

  // Does the monitor's due work: the items whose badge changed. With `read_folders` (after a
  // notification, when the registry may have changed) the folders are read again too.
  FaceChanges Process(bool read_folders);

 private:
  std::vector<std::string> ReadFolders();  // under mutex_

  // Serialises the extension's queue (requests) and its change thread (Process).
  std::mutex mutex_;
  FinderSyncPlatform folder_platform_;
  FinderSyncPlatform resolve_platform_;  // the monitor's, used under its own mutex
  ChangeMonitor monitor_;
  std::vector<std::string> folders_;
  // The items registered, by the folder that holds them.
  std::map<std::string, std::set<std::string>> items_by_folder_;
};

}  // namespace kelo

#endif  // KELO_FACES_FINDERSYNC_FINDER_SYNC_FACE_H_
