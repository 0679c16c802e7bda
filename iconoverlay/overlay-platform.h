// The host seam of the badge resolution core.
//
// The core (badge-resolver.h) decides which badge an item gets; everything it needs of the
// host process goes through one OverlayPlatform object: the home directory, file
// existence, normalisation to Unicode form C, the item's sync state code and the
// process-wide registry of badge images by name. The UTF-8 form of the item's path is
// taken by the host before it calls the core (a host string that has none is passed as
// nullptr).
//
// Implementations:
//   - LinuxOverlayPlatform (linux-platform.h): HOME or the password database, stat(2),
//     utf8proc and an in-process image registry; used by the tool and the tests.
//   - The Finder bundle: a short-lived object per call that wraps the receiver of the
//     category methods, so that FileExists sends IsFStateDBEsixt: and SyncStatus sends
//     GetSyncStatus: to it, and whose registry is NSImage's named images.
//
// Thread safety: the core calls a platform object only from the thread that called the
// core, one call at a time. An image registry is process-wide and must tolerate calls
// from several threads.
#ifndef KELO_ICONOVERLAY_OVERLAY_PLATFORM_H_
#define KELO_ICONOVERLAY_OVERLAY_PLATFORM_H_

#include <cstddef>
#include <string>
#include <vector>

namespace kelo {

// Longest form C result, in bytes, that the core accepts (a 4096-byte buffer with its
// terminating NUL). A longer result counts as a failed conversion.
inline constexpr std::size_t kMaxFormCBytes = 4095;

// Identifier of the bundle whose resources hold the badge images.
inline constexpr const char* kBundleIdentifier = "tessal.KeloMacIconOverlay";

// One row of the badge table: the sync state code it stands for and how its image is
// found. All texts are static.
struct BadgeSpec {
  int code;                   // 1 synced, 2 syncing, 3 not supported
  const char* badge;          // display name: "synced", "syncing", "unsupported"
  const char* resource_name;  // bundle resource: "synced", "syncing", "unsupp"
  const char* resource_type;  // "ico"
  const char* image_name;     // registry name: "KeloSynced", "KeloSyncing", "KeloUnsupp"
};

// One step of a resolution as recorded for explanations. `step` is a stable key and
// `result` the step's outcome as a number (both listed in badge-resolver.h), for programs;
// `detail` is a sentence for people.
struct ExplainStep {
  std::string step;
  int result;
  std::string detail;
};
using Explanation = std::vector<ExplainStep>;

class OverlayPlatform {
 public:
  virtual ~OverlayPlatform() = default;

  // The user's home directory, without interpretation. May be empty.
  virtual std::string HomeDirectory() = 0;

  // True exactly when a file (of any kind) exists at `path`. Must not create anything.
  virtual bool FileExists(const std::string& path) = 0;

  // Converts UTF-8 text to Unicode normalisation form C into *out. Returns false, with
  // *out unspecified, when the text cannot be converted or the result needs more than
  // kMaxFormCBytes bytes.
  virtual bool NormalizeFormC(const std::string& utf8, std::string* out) = 0;

  // The sync state code of the item `utf8_path` (the path given to ResolveOverlayBadge,
  // which holds the file status database lock around this call). The default runs
  // ResolveSyncStatus(*this, utf8_path, explain). The bundle sends GetSyncStatus: to its
  // receiver with the host's own string instead and may ignore `explain`.
  virtual int SyncStatus(const char* utf8_path, Explanation* explain);

  // The image registered under `image_name`, as an opaque host handle (NSImage* in the
  // bundle), or nullptr when there is none. The handle stays valid for the life of the
  // process.
  virtual const void* FetchImage(const std::string& image_name) = 0;

  // Loads the image of `badge` from the resource badge.resource_name of type
  // badge.resource_type in the bundle kBundleIdentifier and registers it under
  // badge.image_name. A missing bundle or resource registers nothing; no error is
  // reported (the next FetchImage tells).
  virtual void LoadImage(const BadgeSpec& badge) = 0;
};

}  // namespace kelo

#endif  // KELO_ICONOVERLAY_OVERLAY_PLATFORM_H_
