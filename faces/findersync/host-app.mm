// KeloFinderBadges.app: carries the FinderSync extension in Contents/PlugIns and, each time
// it is opened, registers that copy with the system and chooses it ("pluginkit -e use"). If
// the Finder still does not use it, it opens the settings where the user turns it on. It
// shows no window and quits when done.
#import <AppKit/AppKit.h>
#import <FinderSync/FinderSync.h>

#if __has_feature(objc_arc)
#error "Memory is managed by hand: compile with -fno-objc-arc"
#endif

namespace {

constexpr char kExtensionIdentifier[] = "tessal.KeloFinderBadges.FinderSync";

// Runs /usr/bin/pluginkit with `arguments`; its exit status, or -1 when it could not run.
int RunPluginKit(NSArray* arguments) {
  NSTask* task = [[[NSTask alloc] init] autorelease];
  [task setExecutableURL:[NSURL fileURLWithPath:@"/usr/bin/pluginkit"]];
  [task setArguments:arguments];
  NSError* error = nil;
  if (![task launchAndReturnError:&error]) {
    NSLog(@"pluginkit did not start: %@", error);
    return -1;
  }
  [task waitUntilExit];
  return [task terminationStatus];
}

}  // namespace

int main() {
  NSAutoreleasePool* pool = [[NSAutoreleasePool alloc] init];
  NSString* extension = [[[NSBundle mainBundle] builtInPlugInsPath]
      stringByAppendingPathComponent:@"KeloFinderSync.appex"];
  RunPluginKit(@[ @"-a", extension ]);
  const int chosen =
      RunPluginKit(@[ @"-e", @"use", @"-i", [NSString stringWithUTF8String:kExtensionIdentifier] ]);
  if (chosen != 0 || ![FIFinderSyncController isExtensionEnabled]) {
    // Some systems leave the choice to the user: System Settings, Login Items & Extensions
    // (Extensions, Added Extensions, Finder on older ones).
    [FIFinderSyncController showExtensionManagementInterface];
  }
  [pool drain];
  return 0;
}
