#import "tests/host/host-classes.h"

void HostDrawIcon(NSRect frame) {
  // A light body with a dark left half and a red top-right corner, so that any shift,
  // stretch or flip of the picture changes pixels.
  [[NSColor colorWithCalibratedRed:0.95 green:0.85 blue:0.55 alpha:1.0] set];
  NSRectFill(frame);
  [[NSColor colorWithCalibratedRed:0.25 green:0.2 blue:0.15 alpha:1.0] set];
  NSRectFill(NSMakeRect(frame.origin.x, frame.origin.y, frame.size.width / 2, frame.size.height));
  [[NSColor colorWithCalibratedRed:0.8 green:0.1 blue:0.1 alpha:1.0] set];
  NSRectFill(NSMakeRect(frame.origin.x + frame.size.width * 3 / 4,
                        frame.origin.y + frame.size.height * 3 / 4, frame.size.width / 4,
                        frame.size.height / 4));
}

@implementation HostItem

+ (HostItem*)itemWithPath:(NSString*)path {
  HostItem* item = [[[HostItem alloc] init] autorelease];
  item->url_ = [[NSURL fileURLWithPath:path] retain];
  return item;
}

- (void)dealloc {
  [url_ release];
  [super dealloc];
}

- (NSURL*)previewItemURL {
  return url_;
}

@end

@implementation HostIconCell

- (void)dealloc {
  [icon_ release];
  [super dealloc];
}

- (void)setIcon:(NSImage*)icon {
  [icon retain];
  [icon_ release];
  icon_ = icon;
}

- (void)drawIconWithFrame:(NSRect)frame {
  ++draw_count_;
  if (icon_ == nil) {
    HostDrawIcon(frame);
  } else {
    [icon_ drawInRect:frame fromRect:NSZeroRect operation:NSCompositeSourceOver fraction:1.0];
  }
}

- (int)drawCount {
  return draw_count_;
}

@end

@implementation TListViewIconAndTextCell

- (id)initWithPath:(NSString*)path {
  if ((self = [super init]) != nil && path != nil) {
    url_ = [[NSURL fileURLWithPath:path] retain];
    record_.node_ref = url_;
    has_record_ = YES;
  }
  return self;
}

- (void)dealloc {
  [url_ release];
  [super dealloc];
}

- (const void*)node {
  return has_record_ ? &record_ : nullptr;
}

@end

@implementation HostSiblingIconCell
@end

#ifndef KELO_HOST_WITHOUT_FINODE
@implementation FINode

+ (id)nodeFromNodeRef:(const void*)nodeRef {
  FINode* node = [[[FINode alloc] init] autorelease];
  node->url_ = [static_cast<NSURL*>(const_cast<void*>(nodeRef)) retain];
  return node;
}

@end
#endif

#ifndef KELO_HOST_WITHOUT_IMAGE_BROWSER
@implementation IKImageWrapper

- (id)initWithNSImage:(NSImage*)image {
  if ((self = [super init]) != nil) image_ = [image retain];
  return self;
}

- (void)dealloc {
  [image_ release];
  [super dealloc];
}

- (NSImage*)_nsImage {
  return image_;
}

- (NSSize)size {
  return [image_ size];
}

@end

@implementation IKImageBrowserCell

- (id)initWithItem:(id)item {
  if ((self = [super init]) != nil) item_ = [item retain];
  return self;
}

- (void)dealloc {
  [item_ release];
  [last_wrapper_ release];
  [super dealloc];
}

- (id)representedItem {
  return item_;
}

- (void)drawImage:(id)imageWrapper {
  ++draw_count_;
  [imageWrapper retain];
  [last_wrapper_ release];
  last_wrapper_ = imageWrapper;
  id<KeloImageWrapper> wrapper = imageWrapper;  // AppKit declares other -size methods
  NSSize size = [wrapper size];
  [[wrapper _nsImage] drawInRect:NSMakeRect(0, 0, size.width, size.height)
                        fromRect:NSZeroRect
                       operation:NSCompositeSourceOver
                        fraction:1.0];
}

- (int)drawCount {
  return draw_count_;
}

- (id)lastWrapper {
  return last_wrapper_;
}

@end
#endif
