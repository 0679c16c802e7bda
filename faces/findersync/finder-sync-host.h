// What the extension uses of the FinderSync framework. On a Mac it is the framework itself;
// elsewhere, and in the stand-in tests on a Mac (KELO_FINDER_SYNC_STAND_IN), these
// declarations, whose implementations the test host provides (tests/host/finder-sync-stand-ins).
#ifndef KELO_FACES_FINDERSYNC_FINDER_SYNC_HOST_H_
#define KELO_FACES_FINDERSYNC_FINDER_SYNC_HOST_H_

#if defined(__APPLE__) && !defined(KELO_FINDER_SYNC_STAND_IN)
#import <FinderSync/FinderSync.h>
#else
#import <AppKit/AppKit.h>

@interface FIFinderSyncController : NSObject
+ (FIFinderSyncController*)defaultController;
- (NSSet*)directoryURLs;
- (void)setDirectoryURLs:(NSSet*)urls;
- (void)setBadgeImage:(NSImage*)image label:(NSString*)label forBadgeIdentifier:(NSString*)badgeID;
- (void)setBadgeIdentifier:(NSString*)badgeID forURL:(NSURL*)url;
@end

@interface FIFinderSync : NSObject
- (void)beginObservingDirectoryAtURL:(NSURL*)url;
- (void)endObservingDirectoryAtURL:(NSURL*)url;
- (void)requestBadgeIdentifierForURL:(NSURL*)url;
@end
#endif

#endif  // KELO_FACES_FINDERSYNC_FINDER_SYNC_HOST_H_
