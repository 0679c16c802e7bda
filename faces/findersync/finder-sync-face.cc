#include "faces/findersync/finder-sync-face.h"

#include <utility>

#include "iconoverlay/badge-resolver.h"

namespace kelo {

std::string BadgeIdentifier(const BadgeSpec* badge) {
  return badge != nullptr ? badge->image_name : "";
}

const void* FinderSyncPlatform::FetchImage(const std::string& image_name) {
  for (const BadgeSpec& row : kBadgeTable) {
    if (image_name == row.image_name) return &row;
  }
  return nullptr;
}

FinderSyncFace::FinderSyncFace(const std::string& home, ChangeMonitor::Options options)
    : folder_platform_(home),
      resolve_platform_(home),
      monitor_(resolve_platform_, std::move(options)) {}

std::vector<std::string> FinderSyncFace::ReadFolders() {
  if (BadgedSessionFolders(folder_platform_, &folders_) != 0) folders_.clear();
  return folders_;
}

std::vector<std::string> FinderSyncFace::ObservedFolders() {
  std::lock_guard<std::mutex> lock(mutex_);
  return ReadFolders();
}

std::string FinderSyncFace::RequestBadge(const std::string& path) {
  std::lock_guard<std::mutex> lock(mutex_);
  const OverlayBadge shown = monitor_.Resolve(path);
  const std::size_t end = path.find_last_not_of('/');
  const std::size_t slash = end == std::string::npos ? end : path.rfind('/', end);
  if (slash != std::string::npos) items_by_folder_[path.substr(0, slash)].insert(path);
  return BadgeIdentifier(shown.badge);
}

void FinderSyncFace::EndObserving(const std::string& folder) {
  std::lock_guard<std::mutex> lock(mutex_);
  const std::size_t end = folder.find_last_not_of('/');
  auto found = items_by_folder_.find(end == std::string::npos ? "" : folder.substr(0, end + 1));
  if (found == items_by_folder_.end()) return;
  for (const std::string& item : found->second) monitor_.Forget(item);
  items_by_folder_.erase(found);
}

FaceChanges FinderSyncFace::Process(bool read_folders) {
  std::lock_guard<std::mutex> lock(mutex_);
  FaceChanges out;
  std::vector<BadgeChange> changes;
  monitor_.Process(&changes);
  for (const BadgeChange& change : changes) {
    out.badges.push_back({change.path, BadgeIdentifier(BadgeForCode(change.code))});
  }
  if (read_folders) {
    const std::vector<std::string> before = folders_;
    out.folders = ReadFolders();
    out.folders_changed = out.folders != before;
  }
  return out;
}

}  // namespace kelo
