// The principal class: +load runs once when the host's runtime loads the bundle. It must
// use only constant-initialised data of the bundle: under the GNU runtime +load can run
// before the bundle's C++ static constructors.
//
// Inside the Finder the plug-in only reads the client's databases: +load puts the process
// in the reader role before any drawing can reach them.

#import "iconoverlay/icon-overlay.h"

#include <objc/runtime.h>

#include "db/reader-mode/reader-mode.h"
#include "iconoverlay/badge-resolver.h"
#include "iconoverlay/bundle-platform.h"

namespace {

// Swaps the implementations of `hook` and `original` as instances of the class named
// `className` answer them (the hook is inherited from NSObject's category). Does nothing
// when the class or either method is missing.
void ExchangeInstanceMethods(NSString* className, SEL hook, SEL original) {
  Class cls = NSClassFromString(className);
  Method hookMethod = class_getInstanceMethod(cls, hook);
  Method originalMethod = class_getInstanceMethod(cls, original);
  if (hookMethod != nullptr && originalMethod != nullptr) {
    method_exchangeImplementations(hookMethod, originalMethod);
  }
}

}  // namespace

@implementation KeloMacIconOverlay

+ (void)load {
  kelo::SetDbRole(kelo::DbRole::kReader);
  for (const kelo::BadgeSpec& badge : kelo::kBadgeTable) kelo::LoadBundleBadgeImage(badge);
  ExchangeInstanceMethods(@"TListViewIconAndTextCell", @selector(KeloDrawIconWithFrame:),
                          @selector(drawIconWithFrame:));
  ExchangeInstanceMethods(@"IKImageBrowserCell", @selector(KeloDrawImage:), @selector(drawImage:));
}

@end
