// The IconOverlay category: the two drawing hooks and the badge lookup they share. The
// decisions (paths, session test, folder rule, badge table, badge rectangles) are the
// core's (badge-resolver.h); this file only gathers what the host gives and draws.

#import "iconoverlay/icon-overlay.h"

#include <cmath>

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

// A new image of the size of `image` holding `image` with `badge` drawn over it, or nil.
// `wrapper_size` is the size the host draws the item at.
NSImage* BadgedCopy(NSImage* image, NSImage* badge, NSSize wrapper_size) {
  const NSSize size = [image size];
#ifdef __APPLE__
  // Drawn into a bitmap of its own rather than through -lockFocus (deprecated: it draws into
  // whatever representation the image caches for the screen), at the pixel density of the
  // densest representation of `image`.
  CGFloat scale = 1.0;
  NSArray* reps = [image representations];
  for (NSUInteger i = 0; i < [reps count] && size.width > 0; ++i) {
    scale = MAX(scale, [[reps objectAtIndex:i] pixelsWide] / size.width);
  }
  const NSInteger wide = static_cast<NSInteger>(ceil(size.width * scale));
  const NSInteger high = static_cast<NSInteger>(ceil(size.height * scale));
  if (wide <= 0 || high <= 0) return nil;
  NSBitmapImageRep* bitmap =
      [[[NSBitmapImageRep alloc] initWithBitmapDataPlanes:nullptr
                                               pixelsWide:wide
                                               pixelsHigh:high
                                            bitsPerSample:8
                                          samplesPerPixel:4
                                                 hasAlpha:YES
                                                 isPlanar:NO
                                           colorSpaceName:NSDeviceRGBColorSpace
                                              bytesPerRow:0
                                             bitsPerPixel:0] autorelease];
  NSGraphicsContext* context = [NSGraphicsContext graphicsContextWithBitmapImageRep:bitmap];
  if (context == nil) return nil;
  [bitmap setSize:size];  // points, so that drawing below is in the image's coordinates
  [NSGraphicsContext saveGraphicsState];
  [NSGraphicsContext setCurrentContext:context];
#else
  // GNUstep cannot composite the window-backed images it caches into a bitmap context; its
  // -lockFocus draws into a cache of the new image, and is not deprecated there.
  NSImage* copy = [[[NSImage alloc] initWithSize:size] autorelease];
  [copy lockFocus];
#endif
  [image drawInRect:NSMakeRect(0, 0, size.width, size.height)
           fromRect:NSZeroRect
          operation:kCopy
           fraction:1.0];
  DrawBadge(badge, kelo::ImageBrowserBadgeRect(wrapper_size.width, wrapper_size.height));
#ifdef __APPLE__
  [NSGraphicsContext restoreGraphicsState];
  NSImage* copy = [[[NSImage alloc] initWithSize:size] autorelease];
  [copy addRepresentation:bitmap];
#else
  [copy unlockFocus];
#endif
  return copy;
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
    NSImage* copy = BadgedCopy(image, badge, [wrapper size]);
    id fresh = copy != nil ? [[wrapperClass alloc] initWithNSImage:copy] : nil;
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
