// The FinderSync extension's principal class: the Finder's questions in, badges out, over the
// portable FinderSyncFace (finder-sync-face.h), which holds every decision, and the change
// monitor behind it.
//
//   directoryURLs                  the folders of the sessions that show badges, set again
//                                  whenever the registry changes
//   requestBadgeIdentifierForURL:  answered from the core in the reader role; the item is
//                                  registered with the change monitor
//   endObservingDirectoryAtURL:    the folder's items are let go
//   a badge changed                setBadgeIdentifier:forURL: (also once a database that was
//                                  locked when the item was asked about can be read)
//
// Threads: the system's calls return at once; requests run on one serial operation queue, the
// monitor's work on a thread of the extension's own that waits on the monitor's descriptor and
// timeout, and every FIFinderSyncController call is made on the main thread. On a Mac the
// monitor hears of changes from FSEvents (folder-notifier-fsevents.cc).
//
// Memory is managed by hand, as in the injected bundle.
#ifndef KELO_FACES_FINDERSYNC_KELO_FINDER_SYNC_H_
#define KELO_FACES_FINDERSYNC_KELO_FINDER_SYNC_H_

#import "faces/findersync/finder-sync-host.h"

#if defined(__has_feature)
#if __has_feature(objc_arc)
#error "The extension manages memory by hand: compile it with -fno-objc-arc"
#endif
#endif

namespace kelo {
class FinderSyncFace;
}

@class KeloChangeLoop;

@interface KeloFinderSync : FIFinderSync {
 @private
  kelo::FinderSyncFace* face_;
  NSOperationQueue* queue_;  // serial: the requests in the order the system made them
  KeloChangeLoop* loop_;
}

// The extension as the system makes it: badge images from its own resources, the user's
// databases (home from the password database).
- (id)init;

// Badge images from `badgeFolder` (synced.png, syncing.png, unsupp.png); the client's
// databases under `home`, or under the user's home from the password database when nil.
- (id)initWithBadgeFolder:(NSString*)badgeFolder home:(NSString*)home;

@end

#endif  // KELO_FACES_FINDERSYNC_KELO_FINDER_SYNC_H_
