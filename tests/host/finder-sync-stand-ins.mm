#import "tests/host/finder-sync-stand-ins.h"

#include <algorithm>
#include <mutex>

namespace {

// What the controller recorded. Guarded, so that a call off the main thread is recorded as
// such rather than racing the test's reads.
struct Record {
  std::mutex mutex;
  NSSet* folders = nil;
  kelo_host::Recorded told;  // its folders filled in on reading
};

Record& TheRecord() {
  static Record* record = new Record;  // never destroyed: the controller outlives main
  return *record;
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
  Record& r = TheRecord();
  std::lock_guard<std::mutex> lock(r.mutex);
  NSSet* copy = [urls copy];
  [r.folders release];
  r.folders = copy;
}

- (void)setBadgeImage:(NSImage*)image label:(NSString*)label forBadgeIdentifier:(NSString*)badgeID {
  Record& r = TheRecord();
  std::lock_guard<std::mutex> lock(r.mutex);
  kelo_host::BadgeImage& entry = r.told.images[Utf8(badgeID)];
  [image retain];
  [entry.image release];
  entry.image = image;
  entry.label = Utf8(label);
  ++entry.times_set;
}

- (void)setBadgeIdentifier:(NSString*)badgeID forURL:(NSURL*)url {
  Record& r = TheRecord();
  std::lock_guard<std::mutex> lock(r.mutex);
  r.told.calls.push_back({Utf8(badgeID), Utf8([url path]), [NSThread isMainThread] != NO});
}

@end

@implementation FIFinderSyncController (KeloStandIn)

- (void)keloReset {
  Record& r = TheRecord();
  std::lock_guard<std::mutex> lock(r.mutex);
  [r.folders release];
  r.folders = nil;
  for (auto& entry : r.told.images) [entry.second.image release];
  r.told = kelo_host::Recorded();
}

- (kelo_host::Recorded)keloRecorded {
  Record& r = TheRecord();
  std::lock_guard<std::mutex> lock(r.mutex);
  kelo_host::Recorded told = r.told;
  NSArray* urls = [r.folders allObjects];
  for (NSUInteger i = 0; i < [urls count]; ++i)
    told.folders.push_back(Utf8([[urls objectAtIndex:i] path]));
  std::sort(told.folders.begin(), told.folders.end());
  return told;
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
