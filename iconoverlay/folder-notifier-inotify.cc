// The Linux FolderNotifier: one inotify instance, one watch per folder.
#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "iconoverlay/change-monitor.h"

namespace kelo {
namespace {

// What a database's writer does to the files in its folder. Closing, opening and reading are
// left out, so that the monitor's own read-only connections never wake it.
constexpr uint32_t kFolderEvents = IN_CREATE | IN_DELETE | IN_MODIFY | IN_MOVED_FROM | IN_MOVED_TO |
                                   IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;

class InotifyNotifier : public FolderNotifier {
 public:
  explicit InotifyNotifier(int fd) : fd_(fd) {}
  ~InotifyNotifier() override { close(fd_); }

  int fd() const override { return fd_; }

  bool Watch(const std::string& folder) override {
    if (by_folder_.count(folder) != 0) return true;
    const int wd = inotify_add_watch(fd_, folder.c_str(), kFolderEvents);
    if (wd < 0) return false;
    by_folder_[folder] = wd;
    by_wd_[wd] = folder;
    return true;
  }

  void Unwatch(const std::string& folder) override {
    auto it = by_folder_.find(folder);
    if (it == by_folder_.end()) return;
    inotify_rm_watch(fd_, it->second);
    by_wd_.erase(it->second);
    by_folder_.erase(it);
  }

  void Drain(std::vector<FolderEvent>* events) override {
    alignas(inotify_event) char buffer[16384];
    for (;;) {
      const ssize_t n = read(fd_, buffer, sizeof buffer);
      if (n <= 0) {
        if (n < 0 && errno == EINTR) continue;
        return;  // EAGAIN: nothing more pending
      }
      for (ssize_t at = 0; at < n;) {
        const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
        at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
        Take(*event, events);
      }
    }
  }

 private:
  void Take(const inotify_event& event, std::vector<FolderEvent>* events) {
    if (event.mask & IN_Q_OVERFLOW) {
      events->push_back({"", ""});
      return;
    }
    auto it = by_wd_.find(event.wd);
    if (it == by_wd_.end()) return;  // a watch already let go
    const std::string folder = it->second;
    if (event.mask & (IN_IGNORED | IN_DELETE_SELF | IN_MOVE_SELF)) {
      // The folder went away or moved: its watch no longer says anything about the path.
      inotify_rm_watch(fd_, event.wd);
      by_folder_.erase(folder);
      by_wd_.erase(it);
      events->push_back({folder, ""});
      return;
    }
    if (event.len > 0) events->push_back({folder, std::string(event.name)});
  }

  int fd_;
  std::map<std::string, int> by_folder_;
  std::map<int, std::string> by_wd_;
};

}  // namespace

std::unique_ptr<FolderNotifier> NewPlatformFolderNotifier() {
  const int fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (fd < 0) return nullptr;
  return std::make_unique<InotifyNotifier>(fd);
}

}  // namespace kelo
