// The change monitor: tells a host that keeps the badges it was given (Dolphin, Nautilus,
// Nemo, Caja, FinderSync) which of them changed, without polling the databases in a loop.
//
// A host registers every item it asked about (its path and the badge it was told) and forgets
// items when it lets them go. The monitor hears from the operating system that a file in the
// registry's folder or in a session's database folder changed (FolderNotifier: inotify on
// Linux, FSEvents on a Mac), confirms that a database really changed (a fingerprint of the file
// and its -wal and -journal: identity, size, modification and change times, and the header's
// change counter, read without SQLite: the monitor keeps no connection and so holds no lock a
// client could wait for), re-resolves through the core only the items of the session whose
// database changed (every item when the registry changed), and reports the items whose badge
// now differs from what the host was told. A resolution that gave up on a locked database is
// unknown: it is tried again after the reader's back-off and never reported as a change. Where the
// system cannot notify (no notifier, or a folder that does not exist yet) the monitor asks every
// Options::fallback_poll_ms instead.
//
// Resolutions run in the process's current database role: a host sets the reader role
// (db/reader-mode/reader-mode.h) once, before it creates a monitor.
//
// Two ways to drive it, both without a thread of the monitor's own:
//
//   kelo::LinuxOverlayPlatform platform;
//   kelo::ChangeMonitor monitor(platform);
//   kelo::OverlayBadge shown = monitor.Resolve(path);   // answer the host, item registered
//   // Wait until monitor.fd() is readable or monitor.NextTimeoutMs() passes (Qt's
//   // QSocketNotifier and a single-shot QTimer, GLib's g_unix_fd_add and g_timeout_add),
//   // then:
//   std::vector<kelo::BadgeChange> changes;
//   monitor.Process(&changes);                          // tell the host about each one
//
// or, for a host that wants the monitor's own thread:
//
//   monitor.StartThread([](std::vector<kelo::BadgeChange> changes) { ... });  // its thread
//
// Thread safety: every member may be called from any thread; calls are serialised by one
// internal mutex. The callback of StartThread runs on the monitor's thread without that mutex
// held, so it may call back into the monitor.
#ifndef KELO_ICONOVERLAY_CHANGE_MONITOR_H_
#define KELO_ICONOVERLAY_CHANGE_MONITOR_H_

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "iconoverlay/badge-resolver.h"
#include "iconoverlay/overlay-platform.h"

namespace kelo {

// One notification of a FolderNotifier.
struct FolderEvent {
  // The watched folder, as given to Watch; empty when events were lost (every watched
  // folder may have changed).
  std::string folder;
  // The name of the file in `folder` that changed; empty when the folder itself went away
  // or was replaced (it is then no longer watched).
  std::string name;
};

// The operating system's notification of changes to the files directly inside folders.
// Implementations (NewPlatformFolderNotifier): inotify on Linux; FSEvents on a Mac, whose file
// events also report a database written in place, which a kqueue on the folder would not.
// An implementation belongs to one monitor, which calls it under its mutex.
class FolderNotifier {
 public:
  virtual ~FolderNotifier() = default;

  // A descriptor that becomes readable while events are pending, for the host's event loop.
  virtual int fd() const = 0;

  // Starts watching the files directly inside `folder` (created, written, deleted or
  // renamed). False when the folder cannot be watched, for example because it does not
  // exist; watching a folder twice is harmless.
  virtual bool Watch(const std::string& folder) = 0;

  // Stops watching `folder`; harmless when it is not watched.
  virtual void Unwatch(const std::string& folder) = 0;

  // Appends every pending event to *events without blocking.
  virtual void Drain(std::vector<FolderEvent>* events) = 0;
};

// This system's notifier, or nullptr when it has none (the monitor then polls).
std::unique_ptr<FolderNotifier> NewPlatformFolderNotifier();

// An item whose badge differs from what the host was last told. The host is now taken to
// show `code`'s badge (BadgeForCode).
struct BadgeChange {
  std::string path;   // as registered
  int previous_code;  // the sync state code the host was told before
  int code;           // the sync state code now
};

class ChangeMonitor {
 public:
  struct Options {
    // Most items kept; registering one more forgets the one registered longest ago.
    std::size_t max_items = 50000;
    // How long after the first notification the databases are checked, so that a burst of
    // writes costs one check.
    int debounce_ms = 30;
    // How often every database is checked when the system cannot notify.
    int fallback_poll_ms = 2000;
    // Longest time one Process call spends re-resolving items; what is left is done by the
    // next call, which NextTimeoutMs() then asks for at once. 0: no limit.
    int work_budget_ms = 20;
    // The notifier; nullptr (with `use_platform_notifier` false) makes the monitor poll.
    std::unique_ptr<FolderNotifier> notifier;
    bool use_platform_notifier = true;
  };

  // `platform` (its home directory, form C, and resolution) must outlive the monitor; the
  // monitor uses it only under its mutex. Reads the registry and starts watching.
  explicit ChangeMonitor(OverlayPlatform& platform);
  ChangeMonitor(OverlayPlatform& platform, Options options);
  ~ChangeMonitor();  // stops the thread, if any
  ChangeMonitor(const ChangeMonitor&) = delete;
  ChangeMonitor& operator=(const ChangeMonitor&) = delete;

  // Resolves `utf8_path` through the core (ResolveOverlayBadge) and registers it with the
  // answer, which the caller is expected to show. When the resolution gave up on a locked
  // database (OverlayBadge::gave_up) the answer has no badge and the item is resolved again
  // after the back-off; its first known answer is reported as a change, even when it is none.
  OverlayBadge Resolve(const std::string& utf8_path);

  // Registers `utf8_path` as shown with the badge of sync state code `code`, or updates
  // what the host was told; the item becomes the most recently registered.
  void Register(const std::string& utf8_path, int code);

  // Forgets one item; true when it was registered.
  bool Forget(const std::string& utf8_path);
  // Forgets `folder` and every item below it ("folder/..."); returns how many.
  std::size_t ForgetUnder(const std::string& folder);
  // Forgets every item.
  void ForgetAll();

  std::size_t ItemCount() const;

  // The descriptor to wait on (readable when the system notified a change), or -1 when the
  // monitor polls; then NextTimeoutMs() alone says when to call Process.
  int fd() const;

  // Milliseconds until Process has work due: 0 for now, -1 for none (wait for fd() only).
  int NextTimeoutMs() const;

  // Takes the pending notifications without blocking and does the work that is due: checks
  // which databases changed, re-resolves the affected items (within
  // Options::work_budget_ms) and appends each item whose badge changed to *changes.
  void Process(std::vector<BadgeChange>* changes);

  // Runs the monitor on a thread of its own, which waits on fd() and NextTimeoutMs(), calls
  // Process and hands each non-empty list of changes to `on_changes`. False when a thread
  // already runs or cannot be started. Stopped by StopThread or the destructor.
  bool StartThread(std::function<void(std::vector<BadgeChange>)> on_changes);
  void StopThread();

  // For tests and diagnosis: how many resolutions the monitor made (Resolve included), and
  // how many times it checked whether a database changed.
  unsigned long long ResolutionCount() const;
  unsigned long long CheckCount() const;

 private:
  class Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace kelo

#endif  // KELO_ICONOVERLAY_CHANGE_MONITOR_H_
