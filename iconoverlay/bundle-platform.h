// The badge resolution core's platform inside the Finder bundle.
//
// A BundlePlatform lives for one category method call and wraps its receiver, so that the
// core's questions become messages to that object: file existence is IsFStateDBEsixt:,
// the sync state is GetSyncStatus: with the host's own path string. The home directory is
// NSHomeDirectory(), form C is NormalizeToFormC's (linux-platform.h: Core Foundation on
// Apple, utf8proc under GNUstep), and badge images live in NSImage's registry of named images.
#ifndef KELO_ICONOVERLAY_BUNDLE_PLATFORM_H_
#define KELO_ICONOVERLAY_BUNDLE_PLATFORM_H_

#import <AppKit/AppKit.h>

#include <string>

#include "iconoverlay/overlay-platform.h"

namespace kelo {

class BundlePlatform final : public OverlayPlatform {
 public:
  // `receiver` answers the IconOverlay category; `path` is the item's path as the host
  // gave it (may be nil). Neither is retained: both outlive the call that made this.
  BundlePlatform(id receiver, NSString* path) : receiver_(receiver), path_(path) {}

  std::string HomeDirectory() override;
  bool FileExists(const std::string& path) override;
  bool NormalizeFormC(const std::string& utf8, std::string* out) override;
  int SyncStatus(const char* utf8_path, Explanation* explain) override;
  const void* FetchImage(const std::string& image_name) override;
  void LoadImage(const BadgeSpec& badge) override;

 private:
  id receiver_;
  NSString* path_;
};

// Creates the image of `badge` from its resource in the bundle kBundleIdentifier and
// registers it under badge.image_name. A missing bundle or resource registers nothing.
// The image is never released: the registry keeps it for the life of the process.
void LoadBundleBadgeImage(const BadgeSpec& badge);

}  // namespace kelo

#endif  // KELO_ICONOVERLAY_BUNDLE_PLATFORM_H_
