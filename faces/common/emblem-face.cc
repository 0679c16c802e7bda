#include "faces/common/emblem-face.h"

#include <glib-unix.h>

#include <string>
#include <unordered_map>
#include <vector>

#include "db/reader-mode/reader-mode.h"
#include "iconoverlay/badge-resolver.h"
#include "iconoverlay/change-monitor.h"
#include "iconoverlay/linux-platform.h"

namespace kelo {
namespace {

// The emblem a file manager draws for each badge; the host finds it as a named icon.
const char* EmblemForBadge(const BadgeSpec& badge) {
  switch (badge.code) {
    case kStateSynced:
      return KELO_EMBLEM_SYNCED;
    case kStateSyncing:
      return KELO_EMBLEM_SYNCING;
    case kStateUnsupported:
      return KELO_EMBLEM_UNSUPPORTED;
  }
  return nullptr;
}

// The Linux platform whose "images" are emblem names: the host loads the picture itself
// from the icon theme, so there is nothing to read and an image is always at hand.
class EmblemPlatform : public LinuxOverlayPlatform {
 public:
  const void* FetchImage(const std::string& image_name) override {
    for (const BadgeSpec& badge : kBadgeTable) {
      if (image_name == badge.image_name) return EmblemForBadge(badge);
    }
    return nullptr;
  }
  void LoadImage(const BadgeSpec&) override {}
};

// The face's state. The monitor is driven from the default main context: a watch on its
// descriptor and one timeout source for its next due work, both on the host's main thread.
class EmblemFace {
 public:
  explicit EmblemFace(KeloInvalidateFunc invalidate)
      : invalidate_(invalidate), monitor_(platform_) {
    if (monitor_.fd() >= 0) {
      fd_source_ = g_unix_fd_add(monitor_.fd(), G_IO_IN, &EmblemFace::OnReadable, this);
    }
    Reschedule();
  }
  ~EmblemFace() {
    if (fd_source_ != 0) g_source_remove(fd_source_);
    if (timeout_source_ != 0) g_source_remove(timeout_source_);
    for (auto& [item, path] : path_of_) g_object_weak_unref(item, &EmblemFace::ItemGone, this);
  }

  const char* Answer(GObject* item, const char* uri) {
    char* raw_path = uri != nullptr ? g_filename_from_uri(uri, nullptr, nullptr) : nullptr;
    if (raw_path == nullptr) {
      Forget(item);
      return nullptr;
    }
    std::string path(raw_path);
    g_free(raw_path);
    if (item != nullptr) Remember(item, path);
    // Resolved and registered with the monitor as what the host now shows.
    const OverlayBadge answer = monitor_.Resolve(path);
    Reschedule();
    return static_cast<const char*>(answer.image);
  }

  guint tracked() const { return static_cast<guint>(path_of_.size()); }

 private:
  // The monitor's news: the badges of these paths changed. The host asks again about each
  // of their objects, and may drop or ask about items inside the call: work on copies.
  void Changed(const std::vector<BadgeChange>& changes) {
    for (const BadgeChange& change : changes) {
      auto it = items_at_.find(change.path);
      if (it == items_at_.end()) continue;
      const std::vector<GObject*> items = it->second;
      for (GObject* item : items) {
        if (path_of_.count(item) != 0) invalidate_(item);
      }
    }
  }

  void ProcessMonitor() {
    std::vector<BadgeChange> changes;
    monitor_.Process(&changes);
    Changed(changes);
    Reschedule();
  }

  // Keeps one timeout source for the monitor's next due work, moved only when that work
  // comes due earlier than the source would fire (so asking 10,000 items costs no churn).
  void Reschedule() {
    const int due_ms = monitor_.NextTimeoutMs();
    if (due_ms < 0) return;
    const gint64 due = g_get_monotonic_time() + gint64{due_ms} * 1000;
    if (timeout_source_ != 0) {
      if (due >= timeout_due_) return;
      g_source_remove(timeout_source_);
    }
    timeout_due_ = due;
    timeout_source_ = g_timeout_add(static_cast<guint>(due_ms), &EmblemFace::OnTimeout, this);
  }

  static gboolean OnReadable(gint, GIOCondition, gpointer data) {
    static_cast<EmblemFace*>(data)->ProcessMonitor();
    return G_SOURCE_CONTINUE;
  }

  static gboolean OnTimeout(gpointer data) {
    auto* self = static_cast<EmblemFace*>(data);
    self->timeout_source_ = 0;
    self->ProcessMonitor();
    return G_SOURCE_REMOVE;
  }

  void Remember(GObject* item, const std::string& path) {
    auto known = path_of_.find(item);
    if (known != path_of_.end()) {
      if (known->second == path) return;
      Unlink(item, known->second);  // the same object now stands for another path (renamed)
      known->second = path;
    } else {
      path_of_.emplace(item, path);
      g_object_weak_ref(item, &EmblemFace::ItemGone, this);
    }
    items_at_[path].push_back(item);
  }

  void Forget(GObject* item) {
    auto known = path_of_.find(item);
    if (known == path_of_.end()) return;
    g_object_weak_unref(item, &EmblemFace::ItemGone, this);
    Unlink(item, known->second);
    path_of_.erase(known);
  }

  void Unlink(GObject* item, const std::string& path) {
    auto it = items_at_.find(path);
    if (it == items_at_.end()) return;
    std::vector<GObject*>& items = it->second;
    for (auto i = items.begin(); i != items.end(); ++i) {
      if (*i == item) {
        items.erase(i);
        break;
      }
    }
    if (items.empty()) {
      items_at_.erase(it);
      monitor_.Forget(path);  // the host shows it nowhere any more
    }
  }

  static void ItemGone(gpointer data, GObject* item) {
    auto* self = static_cast<EmblemFace*>(data);
    auto known = self->path_of_.find(item);
    if (known == self->path_of_.end()) return;
    self->Unlink(item, known->second);
    self->path_of_.erase(known);
  }

  KeloInvalidateFunc invalidate_;
  EmblemPlatform platform_;
  ChangeMonitor monitor_;
  guint fd_source_ = 0;
  guint timeout_source_ = 0;
  gint64 timeout_due_ = 0;
  std::unordered_map<GObject*, std::string> path_of_;
  std::unordered_map<std::string, std::vector<GObject*>> items_at_;
};

EmblemFace* the_face = nullptr;

}  // namespace
}  // namespace kelo

extern "C" {

void kelo_emblem_face_start(KeloInvalidateFunc invalidate) {
  if (kelo::the_face != nullptr) return;
  // A file manager only reads the client's databases, and never waits long for them.
  kelo::SetDbRole(kelo::DbRole::kReader);
  kelo::the_face = new kelo::EmblemFace(invalidate);
}

void kelo_emblem_face_stop(void) {
  delete kelo::the_face;
  kelo::the_face = nullptr;
}

const char* kelo_emblem_face_answer(GObject* item, const char* uri) {
  return kelo::the_face != nullptr ? kelo::the_face->Answer(item, uri) : nullptr;
}

guint kelo_emblem_face_tracked_count(void) {
  return kelo::the_face != nullptr ? kelo::the_face->tracked() : 0;
}

}  // extern "C"
