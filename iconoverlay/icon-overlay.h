// The Objective-C face of the Finder bundle KeloMacIconOverlay.bundle.
//
// Loading the bundle runs +[KeloMacIconOverlay load] once: it registers the three badge
// images under the names "KeloSynced", "KeloSyncing" and "KeloUnsupp" and exchanges two of
// the host's drawing methods with the hooks below:
//
//   host class                 host selector         hook
//   TListViewIconAndTextCell   drawIconWithFrame:    KeloDrawIconWithFrame:
//   IKImageBrowserCell         drawImage:            KeloDrawImage:
//
// After the exchange the host selector runs the hook, and the hook's selector sent to a
// cell runs the host's own drawing. Nothing is ever undone.
//
// The category methods are on NSObject, so every object in the process answers them; the
// hooks send GetOverlayIcon: to the cell being drawn. Memory is managed by hand (no ARC):
// GetOverlayIcon: returns an image the caller does not own.
//
// Threads: everything runs synchronously on the thread that draws the cell; the badge
// lookup serialises its use of the process-wide file status database itself.
#ifndef KELO_ICONOVERLAY_ICON_OVERLAY_H_
#define KELO_ICONOVERLAY_ICON_OVERLAY_H_

#import <AppKit/AppKit.h>

// Every retain and release of the bundle is written out; under ARC they would not compile,
// or worse, be balanced twice.
#if defined(__has_feature)
#if __has_feature(objc_arc)
#error "The bundle manages memory by hand: compile it with -fno-objc-arc"
#endif
#endif

// The principal class of the bundle. No instances; +load does all the work.
@interface KeloMacIconOverlay : NSObject
@end

@interface NSObject (IconOverlay)

// Replacement of -[IKImageBrowserCell drawImage:]. Draws the badge of the represented
// item into the wrapper's image, then has the host draw a new wrapper around that image
// (or the wrapper it was given when there is no badge).
- (void)KeloDrawImage:(id)imageWrapper;

// Replacement of -[TListViewIconAndTextCell drawIconWithFrame:]. Has the host draw the
// icon, then draws the badge of the cell's node over it.
- (void)KeloDrawIconWithFrame:(NSRect)frame;

// True exactly when a file exists at `path`.
- (bool)IsFStateDBEsixt:(NSString*)path;

// Sync state code recorded for `path`: 0 none, 1 synced, 2 syncing, 3 not supported.
- (int)GetSyncStatus:(NSString*)path;

// The registered badge image for the item at `path`, or nil for none (nil path, no
// session, inactive session, no entry, missing databases or badge resource).
- (NSImage*)GetOverlayIcon:(NSString*)path;

@end

#endif  // KELO_ICONOVERLAY_ICON_OVERLAY_H_
