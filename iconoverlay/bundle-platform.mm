#include "iconoverlay/bundle-platform.h"

#import "iconoverlay/icon-overlay.h"

#include "iconoverlay/linux-platform.h"

namespace kelo {
namespace {

NSString* StringFromUtf8(const std::string& utf8) {
  return [NSString stringWithUTF8String:utf8.c_str()];
}

}  // namespace

std::string BundlePlatform::HomeDirectory() {
  const char* home = [NSHomeDirectory() UTF8String];
  return home != nullptr ? home : "";
}

bool BundlePlatform::FileExists(const std::string& path) {
  return [receiver_ IsFStateDBEsixt:StringFromUtf8(path)];
}

bool BundlePlatform::NormalizeFormC(const std::string& utf8, std::string* out) {
  return NormalizeToFormC(utf8, out);
}

int BundlePlatform::SyncStatus(const char*, Explanation*) {
  return [receiver_ GetSyncStatus:path_];
}

const void* BundlePlatform::FetchImage(const std::string& image_name) {
  return [NSImage imageNamed:StringFromUtf8(image_name)];
}

void BundlePlatform::LoadImage(const BadgeSpec& badge) { LoadBundleBadgeImage(badge); }

void LoadBundleBadgeImage(const BadgeSpec& badge) {
  NSBundle* bundle =
      [NSBundle bundleWithIdentifier:[NSString stringWithUTF8String:kBundleIdentifier]];
  NSString* file = [bundle pathForResource:[NSString stringWithUTF8String:badge.resource_name]
                                    ofType:[NSString stringWithUTF8String:badge.resource_type]];
  // Without the file there is nothing usable to register; an image made from nil would
  // only hide the name from the next attempt.
  if (file == nil) return;
  NSImage* image = [[NSImage alloc] initByReferencingFile:file];
  [image setName:[NSString stringWithUTF8String:badge.image_name]];
}

}  // namespace kelo
