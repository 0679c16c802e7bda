// The macOS FolderNotifier: one FSEvents stream with file-level events over the watched
// folders (made again whenever the set changes), delivered on a private serial queue and
// handed to the monitor through a pipe, whose read end is the descriptor it waits on.
// FSEvents works inside the app sandbox for folders the process may read, and reports the
// writes of a database in place (kqueue on a folder would only see names come and go).
#include <CoreFoundation/CoreFoundation.h>
#include <CoreServices/CoreServices.h>
#include <dispatch/dispatch.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "iconoverlay/change-monitor.h"

namespace kelo {
namespace {

// FSEvents gathers the events of this long into one delivery; the monitor debounces again.
constexpr CFTimeInterval kLatencySeconds = 0.05;

// The path FSEvents reports for `folder`: symbolic links resolved (/var is /private/var).
std::string RealPath(const std::string& folder) {
  char resolved[PATH_MAX];
  return realpath(folder.c_str(), resolved) != nullptr ? resolved : folder;
}

class FsEventsNotifier : public FolderNotifier {
 public:
  FsEventsNotifier(int read_fd, int write_fd)
      : read_fd_(read_fd),
        write_fd_(write_fd),
        queue_(dispatch_queue_create("kelo.folder-notifier", DISPATCH_QUEUE_SERIAL)) {}

  ~FsEventsNotifier() override {
    StopStream();
    dispatch_release(queue_);
    close(read_fd_);
    close(write_fd_);
  }

  int fd() const override { return read_fd_; }

  bool Watch(const std::string& folder) override {
    struct stat st;
    if (stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return false;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (!by_real_path_.emplace(RealPath(folder), folder).second) return true;
    }
    return StartStream();
  }

  void Unwatch(const std::string& folder) override {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (by_real_path_.erase(RealPath(folder)) == 0) return;
    }
    StartStream();
  }

  void Drain(std::vector<FolderEvent>* events) override {
    char buffer[256];
    while (read(read_fd_, buffer, sizeof buffer) > 0) {
    }
    std::lock_guard<std::mutex> lock(mutex_);
    events->insert(events->end(), pending_.begin(), pending_.end());
    pending_.clear();
  }

 private:
  static void Deliver(ConstFSEventStreamRef, void* info, size_t count, void* paths,
                      const FSEventStreamEventFlags flags[], const FSEventStreamEventId[]) {
    static_cast<FsEventsNotifier*>(info)->Take(count, static_cast<char**>(paths), flags);
  }

  void Take(size_t count, char** paths, const FSEventStreamEventFlags flags[]) {
    constexpr FSEventStreamEventFlags kLost = kFSEventStreamEventFlagMustScanSubDirs |
                                              kFSEventStreamEventFlagUserDropped |
                                              kFSEventStreamEventFlagKernelDropped;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      for (size_t i = 0; i < count; ++i) {
        if (flags[i] & kLost) {
          pending_.push_back({"", ""});
          continue;
        }
        const std::string path = paths[i];
        auto folder = by_real_path_.find(path);
        if (folder != by_real_path_.end()) {
          // The watched folder itself went or was replaced.
          if (flags[i] & (kFSEventStreamEventFlagItemRemoved | kFSEventStreamEventFlagItemRenamed |
                          kFSEventStreamEventFlagRootChanged)) {
            pending_.push_back({folder->second, ""});
          }
          continue;
        }
        const size_t slash = path.rfind('/');
        if (slash == std::string::npos) continue;
        folder = by_real_path_.find(path.substr(0, slash == 0 ? 1 : slash));
        if (folder != by_real_path_.end()) {
          pending_.push_back({folder->second, path.substr(slash + 1)});
        }
      }
    }
    const char byte = 0;
    const ssize_t written = write(write_fd_, &byte, 1);  // a full pipe already wakes the monitor
    (void)written;
  }

  // Replaces the stream by one over the folders watched now; false when it cannot start.
  bool StartStream() {
    StopStream();
    CFMutableArrayRef folders =
        CFArrayCreateMutable(kCFAllocatorDefault, 0, &kCFTypeArrayCallBacks);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      for (const auto& entry : by_real_path_) {
        CFStringRef path = CFStringCreateWithCString(kCFAllocatorDefault, entry.first.c_str(),
                                                     kCFStringEncodingUTF8);
        if (path == nullptr) continue;
        CFArrayAppendValue(folders, path);
        CFRelease(path);
      }
    }
    if (CFArrayGetCount(folders) == 0) {
      CFRelease(folders);
      return true;
    }
    FSEventStreamContext context = {0, this, nullptr, nullptr, nullptr};
    stream_ =
        FSEventStreamCreate(kCFAllocatorDefault, &FsEventsNotifier::Deliver, &context, folders,
                            kFSEventStreamEventIdSinceNow, kLatencySeconds,
                            kFSEventStreamCreateFlagFileEvents | kFSEventStreamCreateFlagNoDefer |
                                kFSEventStreamCreateFlagWatchRoot);
    CFRelease(folders);
    if (stream_ == nullptr) return false;
    FSEventStreamSetDispatchQueue(stream_, queue_);
    if (!FSEventStreamStart(stream_)) {
      StopStream();
      return false;
    }
    return true;
  }

  void StopStream() {
    if (stream_ == nullptr) return;
    FSEventStreamStop(stream_);
    FSEventStreamInvalidate(stream_);
    FSEventStreamRelease(stream_);
    stream_ = nullptr;
    // A delivery already queued runs before this returns, so none comes after.
    dispatch_sync_f(queue_, nullptr, [](void*) {});
  }

  const int read_fd_;
  const int write_fd_;
  dispatch_queue_t queue_;
  FSEventStreamRef stream_ = nullptr;
  std::mutex mutex_;  // by_real_path_ and pending_, shared with the queue's deliveries
  std::map<std::string, std::string> by_real_path_;  // real path -> folder as given
  std::vector<FolderEvent> pending_;
};

}  // namespace

std::unique_ptr<FolderNotifier> NewPlatformFolderNotifier() {
  int ends[2];
  if (pipe(ends) != 0) return nullptr;
  for (int end : ends) {
    fcntl(end, F_SETFL, fcntl(end, F_GETFL) | O_NONBLOCK);
    fcntl(end, F_SETFD, FD_CLOEXEC);
  }
  return std::make_unique<FsEventsNotifier>(ends[0], ends[1]);
}

}  // namespace kelo
