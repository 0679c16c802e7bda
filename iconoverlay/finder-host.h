// What the bundle's drawing hooks rely on of the host's own classes. The host (the Finder,
// or the test host on Linux) defines these; the bundle only sends the messages, so the
// classes are looked up by name at run time and never linked against.
#ifndef KELO_ICONOVERLAY_FINDER_HOST_H_
#define KELO_ICONOVERLAY_FINDER_HOST_H_

#import <AppKit/AppKit.h>

// The list-view cell (TListViewIconAndTextCell).
@protocol KeloListViewCell
- (void)drawIconWithFrame:(NSRect)frame;
// Address of a record whose first pointer-sized word is the host's node reference; may
// be NULL.
- (const void*)node;
@end

// The node class (FINode).
@protocol KeloNodeClass
+ (id)nodeFromNodeRef:(const void*)nodeRef;
@end

// A node or an image browser item: anything previewable.
@protocol KeloPreviewItem
- (NSURL*)previewItemURL;
@end

// The image browser cell (IKImageBrowserCell).
@protocol KeloImageBrowserCell
- (void)drawImage:(id)imageWrapper;
- (id)representedItem;
@end

// The image wrapper the image browser draws (IKImageWrapper).
@protocol KeloImageWrapper
- (id)initWithNSImage:(NSImage*)image;
- (NSImage*)_nsImage;
- (NSSize)size;
@end

#endif  // KELO_ICONOVERLAY_FINDER_HOST_H_
