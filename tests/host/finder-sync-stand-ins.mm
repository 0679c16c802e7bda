#import "tests/host/finder-sync-stand-ins.h"

#include <algorithm>
#include <mutex>

namespace {

// What the controller recorded. Guarded, so that a call off the main thread is recorded as
// such rather than racing the test's reads.
struct Recorded {
  std::mutex mutex;
  NSSet* folders = nil;
  int folder_sets = 0;
  std::vector<kelo_host::BadgeCall> calls;
  std::map<std::string, kelo_host::BadgeImage> images;
};

Recorded& TheRecord() {
  static Recorded* recorded = new Recorded;  // never destroyed: the controller outlives main
  return *recorded;
}

std::string Utf8(NSString* s) { return s != nil ? [s UTF8String] : ""; }

}  // namespace

@implementation FIFinderSyncController

+ (FIFinderSyncController*)defaultController {
  static FIFinderSyncController* controller = [[FIFinderSyncController alloc] init];
  return controller;
}

- (NSSet*)directoryURLs {
  std::lock_guard<std::mutex> lock(TheRecord().mutex);
  return [[TheRecord().folders retain] autorelease];
}

- (void)setDirectoryURLs:(NSSet*)urls {
  Recorded& r = TheRecord();
  std::lock_guard<std::mutex> lock(r.mutex);
  NSSet* copy = [urls copy];
  [r.folders release];
  r.folders = copy;
  ++r.folder_sets;
}

- (void)setBadgeImage:(NSImage*)image label:(NSString*)label forBadgeIdentifier:(NSString*)badgeID {
  Recorded& r = TheRecord();
  std::lock_guard<std::mutex> lock(r.mutex);
  kelo_host::BadgeImage& entry = r.images[Utf8(badgeID)];
  [image retain];
  [entry.image release];
  entry.image = image;
  entry.label = Utf8(label);
  ++entry.times_set;
}

- (void)setBadgeIdentifier:(NSString*)badgeID forURL:(NSURL*)url {
  Recorded& r = TheRecord();
  std::lock_guard<std::mutex> lock(r.mutex);
  r.calls.push_back({Utf8(badgeID), Utf8([url path]), [NSThread isMainThread] != NO});
}

@end

@implementation FIFinderSyncController (KeloStandIn)

- (void)keloReset {
  Recorded& r = TheRecord();
  std::lock_guard<std::mutex> lock(r.mutex);
  [r.folders release];
  r.folders = nil;
  r.folder_sets = 0;
  r.calls.clear();
  for (auto& entry : r.images) [entry.second.image release];
  r.images.clear();
}

- (std::vector<std::string>)keloFolders {
  Recorded& r = TheRecord();
  std::lock_guard<std::mutex> lock(r.mutex);
  std::vector<std::string> paths;
  NSArray* urls = [r.folders allObjects];
  for (NSUInteger i = 0; i < [urls count]; ++i)
    paths.push_back(Utf8([[urls objectAtIndex:i] path]));
  std::sort(paths.begin(), paths.end());
  return paths;
}

- (int)keloFolderSets {
  std::lock_guard<std::mutex> lock(TheRecord().mutex);
  return TheRecord().folder_sets;
}

- (std::vector<kelo_host::BadgeCall>)keloBadgeCalls {
  std::lock_guard<std::mutex> lock(TheRecord().mutex);
  return TheRecord().calls;
}

- (std::map<std::string, kelo_host::BadgeImage>)keloBadgeImages {
  std::lock_guard<std::mutex> lock(TheRecord().mutex);
  return TheRecord().images;
}

@end

@implementation FIFinderSync

- (void)beginObservingDirectoryAtURL:(NSURL*)url {
  (void)url;  // the base class answers nothing
}

- (void)endObservingDirectoryAtURL:(NSURL*)url {
  (void)url;  // the base class answers nothing
}

- (void)requestBadgeIdentifierForURL:(NSURL*)url {
  (void)url;  // the base class answers nothing
}

@end
