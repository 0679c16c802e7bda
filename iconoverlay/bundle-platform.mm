#include "iconoverlay/bundle-platform.h"

#import "iconoverlay/icon-overlay.h"

#ifdef __APPLE__
#include <CoreFoundation/CoreFoundation.h>
#else
#include "iconoverlay/linux-platform.h"
#endif

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
#ifdef __APPLE__
  // Form C through Core Foundation into a fixed buffer, as the Finder's own strings are.
  CFMutableStringRef text = CFStringCreateMutable(kCFAllocatorDefault, 0);
  if (text == nullptr) return false;
  CFStringAppendCString(text, utf8.c_str(), kCFStringEncodingUTF8);
  CFStringNormalize(text, kCFStringNormalizationFormC);
  char buffer[kMaxFormCBytes + 1];
  bool copied = CFStringGetCString(text, buffer, sizeof buffer, kCFStringEncodingUTF8);
  CFRelease(text);
  if (!copied) return false;
  out->assign(buffer);
  return true;
#else
  // GNUstep has no Core Foundation; the Linux platform's conversion is the same Unicode
  // algorithm with the same size limit.
  return LinuxOverlayPlatform().NormalizeFormC(utf8, out);
#endif
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
