// The IconOverlay category: the two drawing hooks and the badge lookup they share. The
// decisions (paths, session test, folder rule, badge table, badge rectangles) are the
// core's (badge-resolver.h); this file only gathers what the host gives and draws.

#import "iconoverlay/icon-overlay.h"

#include "iconoverlay/badge-resolver.h"
#include "iconoverlay/bundle-platform.h"
#import "iconoverlay/finder-host.h"

namespace {

#ifdef __APPLE__
constexpr NSCompositingOperation kSourceOver = NSCompositingOperationSourceOver;
constexpr NSCompositingOperation kCopy = NSCompositingOperationCopy;
#else
constexpr NSCompositingOperation kSourceOver = NSCompositeSourceOver;
constexpr NSCompositingOperation kCopy = NSCompositeCopy;
#endif

bool isFileExist(NSString* path) { return [[NSFileManager defaultManager] fileExistsAtPath:path]; }

// Draws the whole badge into `rect` of the current context, upright even in a flipped view.
void DrawBadge(NSImage* badge, const kelo::BadgeRect& rect) {
  [badge drawInRect:NSMakeRect(rect.x, rect.y, rect.width, rect.height)
            fromRect:NSZeroRect
           operation:kSourceOver
            fraction:1.0
      respectFlipped:YES
               hints:nil];
}

// The path of the item a list-view cell shows, or nil. The node reference is the first
// word of the record `node` returns; a cell without a record has no item, and without the
// class FINode there is no node.
NSString* ListViewItemPath(id<KeloListViewCell> cell) {
  Class nodeClass = NSClassFromString(@"FINode");
  const void* record = [cell node];
  if (record == nullptr) return nil;
  const void* nodeRef = *static_cast<const void* const*>(record);
  id<KeloPreviewItem> node = [(Class<KeloNodeClass>)nodeClass nodeFromNodeRef:nodeRef];
  return [[node previewItemURL] path];
}

}  // namespace

@implementation NSObject (IconOverlay)

- (void)KeloDrawImage:(id)imageWrapper {
  id<KeloPreviewItem> item = [(id<KeloImageBrowserCell>)self representedItem];
  NSImage* badge = [self GetOverlayIcon:[[item previewItemURL] path]];
  id<KeloImageWrapper> wrapper = imageWrapper;
  Class wrapperClass = NSClassFromString(@"IKImageWrapper");
  // The badge goes into a copy of the item's image, handed on in a wrapper of its own. The
  // host keeps its image from one pass to the next: painted into, it would gather the
  // badge's soft edges on every pass and keep an old badge under a new one. Without an
  // image to copy, or a wrapper class to hand the copy on in, the item gets no badge.
  NSImage* image = badge != nil && wrapperClass != Nil ? [wrapper _nsImage] : nil;
  if (image != nil) {
    // A new image with the item's image drawn into it, rather than -copy, whose result
    // may share the original's representations (or, for an offscreen cache, lose them).
    const NSSize imageSize = [image size];
    NSImage* copy = [[[NSImage alloc] initWithSize:imageSize] autorelease];
    [copy lockFocus];
    [image drawInRect:NSMakeRect(0, 0, imageSize.width, imageSize.height)
             fromRect:NSZeroRect
            operation:kCopy
             fraction:1.0];
    const NSSize size = [wrapper size];
    DrawBadge(badge, kelo::ImageBrowserBadgeRect(size.width, size.height));
    [copy unlockFocus];
    id fresh = [[wrapperClass alloc] initWithNSImage:copy];
    if (fresh != nil) imageWrapper = [fresh autorelease];
  }
  // After the exchange this runs the host's own drawImage:.
  [self KeloDrawImage:imageWrapper];
}

- (void)KeloDrawIconWithFrame:(NSRect)frame {
  // After the exchange this runs the host's own drawIconWithFrame:.
  [self KeloDrawIconWithFrame:frame];
  NSImage* badge = [self GetOverlayIcon:ListViewItemPath((id<KeloListViewCell>)self)];
  if (badge == nil) return;
  DrawBadge(badge, kelo::ListViewBadgeRect(
                       {frame.origin.x, frame.origin.y, frame.size.width, frame.size.height}));
}

- (bool)IsFStateDBEsixt:(NSString*)path {
  return isFileExist(path);
}

- (int)GetSyncStatus:(NSString*)path {
  kelo::BundlePlatform platform(self, path);
  return kelo::ResolveSyncStatus(platform, [path cStringUsingEncoding:NSUTF8StringEncoding]);
}

- (NSImage*)GetOverlayIcon:(NSString*)path {
  if (path == nil) return nil;
  kelo::BundlePlatform platform(self, path);
  kelo::OverlayBadge result =
      kelo::ResolveOverlayBadge(platform, [path cStringUsingEncoding:NSUTF8StringEncoding]);
  return static_cast<NSImage*>(const_cast<void*>(result.image));
}

@end
