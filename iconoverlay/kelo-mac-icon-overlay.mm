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

// Makes instances of the class named `className` run the hook's implementation for
// `original`, and the host's former implementation for `hook`. The entries changed are the
// class's own: a method it inherits is first added to it, so the superclass that defines
// the method, and every other subclass of it, keep their own drawing (an exchange of the
// inherited entries would make sibling classes run the hook, which asks them for a `node`
// they do not have). Does nothing when the class or either method is missing.
void ExchangeInstanceMethods(NSString* className, SEL hook, SEL original) {
  Class cls = NSClassFromString(className);
  Method hookMethod = class_getInstanceMethod(cls, hook);
  Method originalMethod = class_getInstanceMethod(cls, original);
  if (cls == Nil || hookMethod == nullptr || originalMethod == nullptr) return;
  IMP hookImp = method_getImplementation(hookMethod);
  IMP originalImp = method_getImplementation(originalMethod);
  const char* originalTypes = method_getTypeEncoding(originalMethod);
  const char* hookTypes = method_getTypeEncoding(hookMethod);
  if (!class_addMethod(cls, original, hookImp, originalTypes)) {
    class_replaceMethod(cls, original, hookImp, originalTypes);
  }
  if (!class_addMethod(cls, hook, originalImp, hookTypes)) {
    class_replaceMethod(cls, hook, originalImp, hookTypes);
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
