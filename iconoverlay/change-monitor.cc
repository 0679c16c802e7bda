#include "iconoverlay/change-monitor.h"

#include <fcntl.h>
#include <poll.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <deque>
#include <list>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <unordered_map>
#include <utility>

#include "db/reader-mode/reader-mode.h"
#include "db/sqlite-owners.h"

namespace kelo {
namespace {

using Clock = std::chrono::steady_clock;
using Millis = std::chrono::milliseconds;

// What the system says of one file, enough to tell that it was written or replaced.
struct FileStamp {
  bool exists = false;
  dev_t device = 0;
  ino_t inode = 0;
  off_t size = 0;
  struct timespec mtime = {0, 0};
  struct timespec ctime = {0, 0};

  bool operator==(const FileStamp& o) const {
    return exists == o.exists && device == o.device && inode == o.inode && size == o.size &&
           mtime.tv_sec == o.mtime.tv_sec && mtime.tv_nsec == o.mtime.tv_nsec &&
           ctime.tv_sec == o.ctime.tv_sec && ctime.tv_nsec == o.ctime.tv_nsec;
  }
  bool SameFile(const FileStamp& o) const {
    return exists && o.exists && device == o.device && inode == o.inode;
  }
};

FileStamp StampOf(const struct stat& st) {
  FileStamp stamp;
  stamp.exists = true;
  stamp.device = st.st_dev;
  stamp.inode = st.st_ino;
  stamp.size = st.st_size;
#ifdef __APPLE__
  stamp.mtime = st.st_mtimespec;
  stamp.ctime = st.st_ctimespec;
#else
  stamp.mtime = st.st_mtim;
  stamp.ctime = st.st_ctim;
#endif
  return stamp;
}

// The stamp of the regular file `path` names (after links); none for anything else, whose
// contents no check may read (a FIFO would block).
FileStamp StampOfRegular(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return {};
  return StampOf(st);
}

// Reads up to `size` bytes at `offset` of the open file `fd`; what could not be read is empty.
std::string ReadAt(int fd, off_t offset, size_t size) {
  std::string bytes(size, '\0');
  const ssize_t n = fd >= 0 ? pread(fd, bytes.data(), size, offset) : -1;
  bytes.resize(n > 0 ? static_cast<size_t>(n) : 0);
  return bytes;
}

int OpenForPeek(const std::string& path) {
  return open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
}

std::string FolderOf(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

// One database whose changes matter, checked without SQLite: the monitor holds no connection
// and so no lock that could stand in a client's way. Every commit either writes the database
// file (rollback mode, with its -journal; the header's change counter moves) or the -wal (WAL
// mode, whose header moves when the log starts over), so the fingerprint below moves with
// every commit; a fingerprint that moves without a commit costs one needless re-resolution.
class WatchedDb {
 public:
  explicit WatchedDb(std::string path)
      : path_(std::move(path)), folder_(FolderOf(path_)), name_(path_.substr(folder_.size() + 1)) {
    Changed();  // the baseline
  }
  ~WatchedDb() { CloseFile(); }
  WatchedDb(const WatchedDb&) = delete;
  WatchedDb& operator=(const WatchedDb&) = delete;

  const std::string& path() const { return path_; }
  const std::string& folder() const { return folder_; }

  // True when `name` in this database's folder is one of the files a commit writes.
  bool Concerns(const std::string& name) const {
    return name == name_ || name == name_ + "-wal" || name == name_ + "-journal";
  }

  // Whether the database changed since the last check: the file or a companion appeared,
  // went, was replaced or written.
  bool Changed() {
    Fingerprint now;
    now.db = StampOfRegular(path_);
    now.wal = StampOfRegular(path_ + "-wal");
    now.journal = StampOfRegular(path_ + "-journal");
    if (!now.db.SameFile(file_stamp_)) {
      CloseFile();
      if (now.db.exists) OpenFile();
    }
    if (fd_ >= 0 && now.db.SameFile(file_stamp_)) now.counter = ReadAt(fd_, 24, 4);
    if (now.wal.exists) {
      const int wal = OpenForPeek(path_ + "-wal");
      now.wal_header = ReadAt(wal, 0, 32);
      if (wal >= 0) close(wal);
    }
    const bool changed = forgotten_ || !(now == last_);
    last_ = std::move(now);
    forgotten_ = false;
    return changed;
  }

  // Makes the next check report a change, for a database whose contents could not be read.
  void Forget() { forgotten_ = true; }

  bool suspect = false;

 private:
  struct Fingerprint {
    FileStamp db, wal, journal;
    std::string counter;     // bytes 24..27 of the database header
    std::string wal_header;  // its first 32 bytes
    bool operator==(const Fingerprint& o) const {
      return db == o.db && wal == o.wal && journal == o.journal && counter == o.counter &&
             wal_header == o.wal_header;
    }
  };

  // The database file stays open while it is the one at the path: the locks SQLite takes
  // belong to the process and the file, and closing any descriptor of the file drops them
  // for the process's own connections, so it is not opened and closed at every check.
  void OpenFile() {
    fd_ = OpenForPeek(path_);
    struct stat st;
    if (fd_ >= 0 && fstat(fd_, &st) == 0 && S_ISREG(st.st_mode)) {
      file_stamp_ = StampOf(st);
    } else {
      CloseFile();
    }
  }
  void CloseFile() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
    file_stamp_ = FileStamp();
  }

  std::string path_;
  std::string folder_;
  std::string name_;
  Fingerprint last_;
  bool forgotten_ = false;
  int fd_ = -1;
  FileStamp file_stamp_;  // of the file fd_ reads
};

int MillisUntil(Clock::time_point when, Clock::time_point now) {
  if (when <= now) return 0;
  return static_cast<int>(std::chrono::ceil<Millis>(when - now).count());
}

// Whether the resolution just made on this thread gave up on a locked database (or did not
// ask one that backs off). Valid only for a resolution that opened a database.
bool ResolutionGaveUp() { return LastReaderWait().kind != ReaderWaitNote::kNone; }

}  // namespace

class ChangeMonitor::Impl {
 public:
  Impl(OverlayPlatform& platform, Options options)
      : platform_(platform), options_(std::move(options)) {
    notifier_ = std::move(options_.notifier);
    if (notifier_ == nullptr && options_.use_platform_notifier) {
      notifier_ = NewPlatformFolderNotifier();
    }
    home_ = platform_.HomeDirectory();
    system_db_ = SystemDbPath(home_);
    registry_ = std::make_unique<WatchedDb>(system_db_);
    LoadSessions();
    next_poll_ = Clock::now() + Millis(options_.fallback_poll_ms);
  }

  ~Impl() { StopThread(); }

  OverlayBadge Resolve(const std::string& path) {
    std::lock_guard<std::mutex> lock(mutex_);
    bool unknown = false;
    const OverlayBadge badge = ResolveItem(path, &unknown);
    Item& item = Touch(path);
    item.told_code = badge.code;
    item.told_unknown = unknown;
    if (unknown) ScheduleRetry(path);
    return badge;
  }

  void Register(const std::string& path, int code) {
    std::lock_guard<std::mutex> lock(mutex_);
    Item& item = Touch(path);
    item.told_code = code;
    item.told_unknown = false;
  }

  bool Forget(const std::string& path) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = items_.find(path);
    if (it == items_.end()) return false;
    order_.erase(it->second.order);
    items_.erase(it);
    return true;
  }

  size_t ForgetUnder(const std::string& folder) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::string prefix = folder;
    while (prefix.size() > 1 && prefix.back() == '/') prefix.pop_back();
    if (prefix != "/") prefix += '/';
    size_t forgotten = 0;
    for (auto it = items_.begin(); it != items_.end();) {
      const std::string& path = it->first;
      if (path == folder || path.compare(0, prefix.size(), prefix) == 0) {
        order_.erase(it->second.order);
        it = items_.erase(it);
        ++forgotten;
      } else {
        ++it;
      }
    }
    return forgotten;
  }

  void ForgetAll() {
    std::lock_guard<std::mutex> lock(mutex_);
    items_.clear();
    order_.clear();
  }

  size_t ItemCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return items_.size();
  }

  int fd() const { return notifier_ != nullptr ? notifier_->fd() : -1; }

  int NextTimeoutMs() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return NextTimeoutLocked(Clock::now());
  }

  void Process(std::vector<BadgeChange>* changes) {
    std::lock_guard<std::mutex> lock(mutex_);
    ProcessLocked(changes);
  }

  bool StartThread(std::function<void(std::vector<BadgeChange>)> on_changes) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (thread_.joinable()) return false;
    int fds[2];
    if (pipe(fds) != 0) return false;
    for (int fd : fds) fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    wake_read_ = fds[0];
    wake_write_ = fds[1];
    stop_ = false;
    thread_ = std::thread(&Impl::Run, this, std::move(on_changes));
    return true;
  }

  void StopThread() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (!thread_.joinable()) return;
      stop_ = true;
      WakeLocked();
    }
    thread_.join();
    std::lock_guard<std::mutex> lock(mutex_);
    close(wake_read_);
    close(wake_write_);
    wake_read_ = wake_write_ = -1;
  }

  unsigned long long ResolutionCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return resolutions_;
  }
  unsigned long long CheckCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return checks_;
  }

 private:
  struct Item {
    int told_code = kStateNone;
    // The host was given an answer that gave up on a lock: the first known one is reported
    // even when its badge is the same, so that the host learns it.
    bool told_unknown = false;
    // The file status database of the item's session (a path no session has when none holds
    // the item); empty until looked up.
    std::string session_db;
    bool queued = false;
    // Queued to be resolved again; otherwise only to have its session looked up, and
    // resolved again only when that session is among those that changed.
    bool must_resolve = false;
    std::list<std::string>::iterator order;
  };

  // The item for `path`, registered now if it was not, and made the most recent.
  Item& Touch(const std::string& path) {
    auto [it, added] = items_.try_emplace(path);
    if (!added) order_.erase(it->second.order);
    it->second.order = order_.insert(order_.end(), path);
    while (items_.size() > std::max<size_t>(options_.max_items, 1)) {
      items_.erase(order_.front());
      order_.pop_front();
    }
    return it->second;
  }

  OverlayBadge ResolveItem(const std::string& path, bool* unknown) {
    ++resolutions_;
    const bool valid = IsValidUtf8(path);
    const OverlayBadge badge = ResolveOverlayBadge(platform_, valid ? path.c_str() : nullptr);
    *unknown = badge.gave_up;
    return badge;
  }

  void ScheduleRetry(const std::string& path) {
    retries_.emplace_back(Clock::now() + Millis(kReaderBackOffMs), path);
    if (retries_.size() == 1) WakeLocked();
  }

  void MarkDirty(const std::string& path, Item& item, bool must_resolve) {
    item.must_resolve = item.must_resolve || must_resolve;
    if (item.queued) return;
    item.queued = true;
    dirty_.push_back(path);
  }

  // Reads the sessions from the registry and watches each one's database; databases watched
  // before keep what they know.
  void LoadSessions() {
    std::set<std::string> paths;
    sqlite::Connection registry;
    sqlite3_stmt* raw = nullptr;
    // A connection for this read only, closed at once; a FIFO or folder is never opened.
    if (StampOfRegular(system_db_).exists &&
        sqlite::Open(system_db_, sqlite::kReadOnly, &registry) == SQLITE_OK &&
        sqlite3_prepare_v2(registry.get(), "SELECT id FROM session_table", -1, &raw, nullptr) ==
            SQLITE_OK) {
      sqlite::Statement statement(raw);
      int rc;
      while ((rc = sqlite3_step(raw)) == SQLITE_ROW) {
        paths.insert(FileStatusDbPath(home_, static_cast<uint64_t>(sqlite3_column_int64(raw, 0))));
      }
      if (rc == SQLITE_BUSY || rc == SQLITE_LOCKED) {
        // Read again once the lock is gone; keep the sessions known so far meanwhile.
        registry_->Forget();
        registry_->suspect = true;
        check_retry_ = Clock::now() + Millis(kReaderBackOffMs);
        return;
      }
    }
    for (auto it = sessions_.begin(); it != sessions_.end();) {
      it = paths.count(it->first) != 0 ? std::next(it) : sessions_.erase(it);
    }
    for (const std::string& path : paths) {
      if (sessions_.count(path) == 0) sessions_.emplace(path, std::make_unique<WatchedDb>(path));
    }
    UpdateWatches();
  }

  void UpdateWatches() {
    std::set<std::string> wanted = {registry_->folder()};
    for (const auto& [path, db] : sessions_) wanted.insert(db->folder());
    for (auto it = folders_.begin(); it != folders_.end();) {
      if (wanted.count(it->first) != 0) {
        ++it;
        continue;
      }
      if (notifier_ != nullptr) notifier_->Unwatch(it->first);
      it = folders_.erase(it);
    }
    polling_ = notifier_ == nullptr;
    for (const std::string& folder : wanted) {
      bool& watched = folders_[folder];
      if (!watched && notifier_ != nullptr) watched = notifier_->Watch(folder);
      if (!watched) polling_ = true;
    }
  }

  void TakeEvents() {
    if (notifier_ == nullptr) return;
    std::vector<FolderEvent> events;
    notifier_->Drain(&events);
    bool any = false;
    for (const FolderEvent& event : events) {
      if (event.name.empty()) {
        // Lost events, or a folder gone: every database in it may have changed, and the
        // folder is watched again (or polled) once it is back.
        if (!event.folder.empty()) folders_[event.folder] = false;
        polling_ = polling_ || !event.folder.empty();
        for (WatchedDb* db : AllDbs()) {
          if (event.folder.empty() || db->folder() == event.folder) db->suspect = any = true;
        }
        continue;
      }
      for (WatchedDb* db : AllDbs()) {
        if (db->folder() == event.folder && db->Concerns(event.name)) db->suspect = any = true;
      }
    }
    if (any && !suspect_since_) suspect_since_ = Clock::now();
  }

  std::vector<WatchedDb*> AllDbs() {
    std::vector<WatchedDb*> all = {registry_.get()};
    for (auto& [path, db] : sessions_) all.push_back(db.get());
    return all;
  }

  // Checks the suspect databases and queues the items they concern.
  void CheckSuspects() {
    suspect_since_.reset();
    check_retry_.reset();
    bool registry_changed = false;
    std::set<std::string> changed;
    for (WatchedDb* db : AllDbs()) {
      if (!db->suspect) continue;
      ++checks_;
      db->suspect = false;
      if (!db->Changed()) continue;
      if (db == registry_.get()) {
        registry_changed = true;
      } else {
        changed.insert(db->path());
      }
    }
    if (registry_changed) {
      LoadSessions();
      QueueLikelyFirst([](Item& item) {
        item.session_db.clear();
        return std::optional<bool>(true);
      });
      return;
    }
    if (changed.empty()) return;
    changed_sessions_.insert(changed.begin(), changed.end());
    QueueLikelyFirst([&changed](Item& item) -> std::optional<bool> {
      if (item.session_db.empty()) return false;
      if (changed.count(item.session_db) != 0) return true;
      return std::nullopt;
    });
  }

  // Queues the items for which `which` says whether they must be resolved again (nullopt:
  // not queued), those most likely to have changed first: items shown as syncing, then the
  // most recently asked about (an item whose change was just shown is asked about again).
  // In a large folder the item that changed is then not left behind thousands of others.
  template <typename Which>
  void QueueLikelyFirst(Which which) {
    for (const bool syncing : {true, false}) {
      for (auto it = order_.rbegin(); it != order_.rend(); ++it) {
        Item& item = items_.find(*it)->second;
        if ((item.told_code == kStateSyncing) != syncing) continue;
        if (const std::optional<bool> must_resolve = which(item)) {
          MarkDirty(*it, item, *must_resolve);
        }
      }
    }
  }

  void ProcessLocked(std::vector<BadgeChange>* changes) {
    const Clock::time_point now = Clock::now();
    TakeEvents();
    if (polling_ && now >= next_poll_) {
      next_poll_ = now + Millis(options_.fallback_poll_ms);
      UpdateWatches();
      for (WatchedDb* db : AllDbs()) db->suspect = true;
      suspect_since_ = now - Millis(options_.debounce_ms);
    }
    const bool debounced = suspect_since_ && now >= *suspect_since_ + Millis(options_.debounce_ms);
    if (debounced || (check_retry_ && now >= *check_retry_)) CheckSuspects();
    while (!retries_.empty() && retries_.front().first <= now) {
      auto it = items_.find(retries_.front().second);
      if (it != items_.end()) MarkDirty(it->first, it->second, true);
      retries_.pop_front();
    }
    const Clock::time_point stop = now + Millis(options_.work_budget_ms);
    while (!dirty_.empty()) {
      if (options_.work_budget_ms > 0 && Clock::now() >= stop) break;
      const std::string path = std::move(dirty_.front());
      dirty_.pop_front();
      auto it = items_.find(path);
      if (it == items_.end()) continue;  // forgotten meanwhile
      Item& item = it->second;
      const bool must_resolve = item.must_resolve;
      item.queued = item.must_resolve = false;
      if (item.session_db.empty() && !ResolveSession(path, &item)) {
        ScheduleRetry(path);
        continue;
      }
      if (!must_resolve && changed_sessions_.count(item.session_db) == 0) continue;
      bool unknown = false;
      const OverlayBadge badge = ResolveItem(path, &unknown);
      if (unknown) {
        ScheduleRetry(path);
        continue;
      }
      if (item.told_unknown || BadgeForCode(badge.code) != BadgeForCode(item.told_code)) {
        changes->push_back({path, item.told_code, badge.code});
      }
      item.told_code = badge.code;
      item.told_unknown = false;
    }
    if (dirty_.empty()) changed_sessions_.clear();
  }

  // Finds the file status database of the item's session; false when the lookup gave up on
  // a lock.
  bool ResolveSession(const std::string& path, Item* item) {
    KELOSessionInfo session;
    if (platform_.FileExists(system_db_) &&
        FindSessionForPath(platform_, system_db_, path, &session) < 0 && ResolutionGaveUp()) {
      return false;
    }
    // Session 0 names no session: a registry starts its ids at 1.
    item->session_db = FileStatusDbPath(home_, session.id);
    return true;
  }

  int NextTimeoutLocked(Clock::time_point now) const {
    if (!dirty_.empty()) return 0;
    std::optional<Clock::time_point> next;
    auto consider = [&](Clock::time_point when) {
      if (!next || when < *next) next = when;
    };
    if (suspect_since_) consider(*suspect_since_ + Millis(options_.debounce_ms));
    if (check_retry_) consider(*check_retry_);
    if (!retries_.empty()) consider(retries_.front().first);
    if (polling_) consider(next_poll_);
    return next ? MillisUntil(*next, now) : -1;
  }

  void WakeLocked() {
    if (wake_write_ >= 0) {
      const char byte = 1;
      [[maybe_unused]] ssize_t ignored = write(wake_write_, &byte, 1);
    }
  }

  void Run(std::function<void(std::vector<BadgeChange>)> on_changes) {
    for (;;) {
      pollfd fds[2] = {{wake_read_, POLLIN, 0}, {fd(), POLLIN, 0}};
      int timeout;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stop_) return;
        timeout = NextTimeoutLocked(Clock::now());
      }
      poll(fds, fds[1].fd >= 0 ? 2 : 1, timeout);
      char drain[64];
      while (read(wake_read_, drain, sizeof drain) > 0) {
      }
      std::vector<BadgeChange> changes;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stop_) return;
        ProcessLocked(&changes);
      }
      if (!changes.empty()) on_changes(std::move(changes));
    }
  }

  OverlayPlatform& platform_;
  Options options_;
  std::unique_ptr<FolderNotifier> notifier_;
  std::string home_;
  std::string system_db_;

  mutable std::mutex mutex_;
  std::unique_ptr<WatchedDb> registry_;
  std::map<std::string, std::unique_ptr<WatchedDb>> sessions_;  // by file status db path
  std::map<std::string, bool> folders_;                         // watched or not
  bool polling_ = false;
  Clock::time_point next_poll_;
  std::optional<Clock::time_point> suspect_since_;
  std::optional<Clock::time_point> check_retry_;

  std::unordered_map<std::string, Item> items_;
  std::list<std::string> order_;  // registration order, oldest first
  std::deque<std::string> dirty_;
  std::set<std::string> changed_sessions_;                         // of the items still queued
  std::deque<std::pair<Clock::time_point, std::string>> retries_;  // in time order

  unsigned long long resolutions_ = 0;
  unsigned long long checks_ = 0;

  std::thread thread_;
  bool stop_ = false;
  int wake_read_ = -1;
  int wake_write_ = -1;
};

ChangeMonitor::ChangeMonitor(OverlayPlatform& platform) : ChangeMonitor(platform, Options()) {}
ChangeMonitor::ChangeMonitor(OverlayPlatform& platform, Options options)
    : impl_(std::make_unique<Impl>(platform, std::move(options))) {}
ChangeMonitor::~ChangeMonitor() = default;

OverlayBadge ChangeMonitor::Resolve(const std::string& utf8_path) {
  return impl_->Resolve(utf8_path);
}
void ChangeMonitor::Register(const std::string& utf8_path, int code) {
  impl_->Register(utf8_path, code);
}
bool ChangeMonitor::Forget(const std::string& utf8_path) { return impl_->Forget(utf8_path); }
std::size_t ChangeMonitor::ForgetUnder(const std::string& folder) {
  return impl_->ForgetUnder(folder);
}
void ChangeMonitor::ForgetAll() { impl_->ForgetAll(); }
std::size_t ChangeMonitor::ItemCount() const { return impl_->ItemCount(); }
int ChangeMonitor::fd() const { return impl_->fd(); }
int ChangeMonitor::NextTimeoutMs() const { return impl_->NextTimeoutMs(); }
void ChangeMonitor::Process(std::vector<BadgeChange>* changes) { impl_->Process(changes); }
bool ChangeMonitor::StartThread(std::function<void(std::vector<BadgeChange>)> on_changes) {
  return impl_->StartThread(std::move(on_changes));
}
void ChangeMonitor::StopThread() { impl_->StopThread(); }
unsigned long long ChangeMonitor::ResolutionCount() const { return impl_->ResolutionCount(); }
unsigned long long ChangeMonitor::CheckCount() const { return impl_->CheckCount(); }

}  // namespace kelo
