#import "faces/findersync/kelo-finder-sync.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <vector>

#include "db/reader-mode/reader-mode.h"
#include "faces/findersync/finder-sync-face.h"
#include "iconoverlay/badge-resolver.h"

namespace {

NSString* Str(const std::string& s) { return [NSString stringWithUTF8String:s.c_str()]; }

FIFinderSyncController* Controller() { return [FIFinderSyncController defaultController]; }

// Has the controller run `selector` with the arguments on the main thread. The controller
// lives as long as the process, so nothing here keeps the extension alive or outlives it.
void OnMainThread(SEL selector, id first, id second) {
  NSMethodSignature* signature = [Controller() methodSignatureForSelector:selector];
  NSInvocation* call = [NSInvocation invocationWithMethodSignature:signature];
  [call setTarget:Controller()];
  [call setSelector:selector];
  [call setArgument:&first atIndex:2];
  if (second != nil) [call setArgument:&second atIndex:3];
  [call retainArguments];
  [call performSelectorOnMainThread:@selector(invoke) withObject:nil waitUntilDone:NO];
}

void ShowFolders(const std::vector<std::string>& folders) {
  NSMutableSet* urls = [NSMutableSet setWithCapacity:folders.size()];
  for (const std::string& folder : folders) {
    NSString* path = Str(folder);
    if (path != nil) [urls addObject:[NSURL fileURLWithPath:path isDirectory:YES]];
  }
  OnMainThread(@selector(setDirectoryURLs:), urls, nil);
}

void ShowBadge(const std::string& identifier, NSURL* url) {
  OnMainThread(@selector(setBadgeIdentifier:forURL:), Str(identifier), url);
}

// The path of a file URL in UTF-8, as the core takes it; empty when there is none.
std::string PathOf(NSURL* url) {
  const char* path = [url isFileURL] ? [[url path] UTF8String] : nullptr;
  return path != nullptr ? path : "";
}

}  // namespace

// The extension's thread for the change monitor: waits for its descriptor or its next due
// work, has the face do it, and sends what changed to the Finder. Stopped through a pipe.
@interface KeloChangeLoop : NSObject {
 @public
  kelo::FinderSyncFace* face_;  // the extension's, which outlives the loop
  int wake_[2];
  std::atomic<bool>* stop_;
  NSConditionLock* done_;  // condition 1 once the thread has left the loop
}
- (void)run:(id)unused;
- (void)wake;
- (void)stop;
@end

@implementation KeloChangeLoop

- (void)run:(id)unused {
  (void)unused;  // NSThread passes one object; the loop needs none
  NSAutoreleasePool* pool = [NSAutoreleasePool new];
  [done_ lock];
  while (!stop_->load()) {
    pollfd waits[2] = {{wake_[0], POLLIN, 0}, {face_->fd(), POLLIN, 0}};
    const bool polling = waits[1].fd < 0;
    poll(waits, polling ? 1 : 2, face_->NextTimeoutMs());
    if (stop_->load()) break;
    char drained[64];
    while (read(wake_[0], drained, sizeof drained) > 0) {
    }
    // The registry may have changed after a notification, or at any due time of a monitor
    // that polls for want of one.
    const bool registry_may_have_changed = polling || (waits[1].revents & POLLIN) != 0;
    NSAutoreleasePool* inner = [NSAutoreleasePool new];
    const kelo::FaceChanges changes = face_->Process(registry_may_have_changed);
    if (changes.folders_changed) ShowFolders(changes.folders);
    for (const kelo::BadgeUpdate& update : changes.badges) {
      NSString* path = Str(update.path);
      if (path != nil) ShowBadge(update.identifier, [NSURL fileURLWithPath:path]);
    }
    [inner drain];
  }
  [done_ unlockWithCondition:1];
  [pool drain];
}

// Has the loop look at the monitor's next due work again (an item may be due for a retry).
- (void)wake {
  const char byte = 0;
  const ssize_t written = write(wake_[1], &byte, 1);  // a full pipe wakes the loop already
  (void)written;
}

- (void)stop {
  stop_->store(true);
  [self wake];
  [done_ lockWhenCondition:1];
  [done_ unlock];
}

- (void)dealloc {
  close(wake_[0]);
  close(wake_[1]);
  delete stop_;
  [done_ release];
  [super dealloc];
}

@end

@interface KeloFinderSync ()
- (void)keloEnqueue:(SEL)selector with:(id)argument;
- (void)keloShowFolders;
- (void)keloAnswer:(NSURL*)url;
- (void)keloForget:(NSURL*)url;
- (void)keloSetBadgeImagesFrom:(NSString*)folder;
@end

@implementation KeloFinderSync

- (id)init {
  return [self initWithBadgeFolder:[[NSBundle bundleForClass:[self class]] resourcePath] home:nil];
}

- (id)initWithBadgeFolder:(NSString*)badgeFolder home:(NSString*)home {
  if ((self = [super init]) == nil) return nil;
  kelo::SetDbRole(kelo::DbRole::kReader);  // before the monitor reads anything
  face_ = new kelo::FinderSyncFace(home != nil ? [home UTF8String] : "");
  queue_ = [[NSOperationQueue alloc] init];
  [queue_ setMaxConcurrentOperationCount:1];
  [self keloSetBadgeImagesFrom:badgeFolder];
  [self keloEnqueue:@selector(keloShowFolders) with:nil];
  loop_ = [[KeloChangeLoop alloc] init];
  loop_->face_ = face_;
  loop_->done_ = [[NSConditionLock alloc] initWithCondition:0];
  loop_->stop_ = new std::atomic<bool>(false);
  if (pipe(loop_->wake_) == 0) {
    for (int end : loop_->wake_) fcntl(end, F_SETFL, fcntl(end, F_GETFL) | O_NONBLOCK);
    [NSThread detachNewThreadSelector:@selector(run:) toTarget:loop_ withObject:nil];
  } else {
    loop_->wake_[0] = loop_->wake_[1] = -1;
    [loop_ release];  // no change notices; answers still work
    loop_ = nil;
  }
  return self;
}

- (void)dealloc {
  [loop_ stop];
  [loop_ release];
  [queue_ release];
  delete face_;
  [super dealloc];
}

// --- The system's calls: each hands its work to the queue and returns.

- (void)requestBadgeIdentifierForURL:(NSURL*)url {
  [self keloEnqueue:@selector(keloAnswer:) with:url];
}

- (void)endObservingDirectoryAtURL:(NSURL*)url {
  [self keloEnqueue:@selector(keloForget:) with:url];
}

// --- On the queue.

- (void)keloEnqueue:(SEL)selector with:(id)argument {
  NSInvocationOperation* operation = [[NSInvocationOperation alloc] initWithTarget:self
                                                                          selector:selector
                                                                            object:argument];
  [queue_ addOperation:operation];
  [operation release];
}

- (void)keloShowFolders {
  ShowFolders(face_->ObservedFolders());
}

- (void)keloAnswer:(NSURL*)url {
  const std::string path = PathOf(url);
  if (path.empty()) return;
  const std::string identifier = face_->RequestBadge(path);
  ShowBadge(identifier, url);
  // An answer that gave up on a locked database has no badge, and a retry is due.
  if (identifier.empty()) [loop_ wake];
}

- (void)keloForget:(NSURL*)url {
  const std::string path = PathOf(url);
  if (!path.empty()) face_->EndObserving(path);
}

// The badge images, set once for the life of the extension: full-frame pictures of the
// emblem, which the Finder scales into the corner of each icon it badges.
- (void)keloSetBadgeImagesFrom:(NSString*)folder {
  for (const kelo::BadgeSpec& badge : kelo::kBadgeTable) {
    NSString* name = [Str(badge.resource_name) stringByAppendingPathExtension:@"png"];
    NSImage* image =
        [[NSImage alloc] initWithContentsOfFile:[folder stringByAppendingPathComponent:name]];
    if (image == nil) continue;
    [Controller() setBadgeImage:image
                          label:[Str(badge.badge) capitalizedString]
             forBadgeIdentifier:Str(kelo::BadgeIdentifier(&badge))];
    [image release];
  }
}

@end
