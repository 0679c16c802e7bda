// Stand-ins for the Finder's classes that the bundle hooks or messages, with just the
// behaviour the hooks rely on, plus counters the tests read. They are plain NSObject
// subclasses: under the GNU runtime a class whose dispatch table was built before the
// bundle's method exchange keeps stale entries, so none of them may receive a message
// before the bundle is loaded.
//
// Host variants leave classes out: KELO_HOST_WITHOUT_IMAGE_BROWSER (no IKImageBrowserCell
// and IKImageWrapper), KELO_HOST_WITHOUT_FINODE (no FINode).
#ifndef KELO_ICONOVERLAY_TEST_HOST_HOST_CLASSES_H_
#define KELO_ICONOVERLAY_TEST_HOST_HOST_CLASSES_H_

#import <AppKit/AppKit.h>

#import "iconoverlay/finder-host.h"

// The host's plain icon: a fixed, asymmetric picture filling `frame` of the current
// context. The list-view cell draws exactly this.
void HostDrawIcon(NSRect frame);

// An item the host shows: a file URL.
@interface HostItem : NSObject <KeloPreviewItem> {
  NSURL* url_;
}
+ (HostItem*)itemWithPath:(NSString*)path;
@end

// The node record a list-view cell hands out: its first word is the node reference, which
// FINode turns back into a node. Here the reference is the item's URL object.
struct HostNodeRecord {
  const void* node_ref;
  int flags;  // something after the reference, as in the host's own record
};

// A cell that draws an icon: the list-view cell inherits its drawing from here, as the
// Finder's own cell may, and so does a sibling class that the bundle must leave alone.
@interface HostIconCell : NSObject {
  int draw_count_;
  NSImage* icon_;
}
- (void)drawIconWithFrame:(NSRect)frame;
// Draw `icon` instead of HostDrawIcon's picture.
- (void)setIcon:(NSImage*)icon;
- (int)drawCount;
@end

@interface TListViewIconAndTextCell : HostIconCell {
  HostNodeRecord record_;
  BOOL has_record_;
  NSURL* url_;
}
// A cell showing the item at `path`; nil gives a cell whose `node` returns no record.
- (id)initWithPath:(NSString*)path;
// What the bundle asks of the cell (KeloListViewCell, whose drawing method the class
// inherits).
- (const void*)node;
@end

// Another cell of the host with the same drawing and no node.
@interface HostSiblingIconCell : HostIconCell
@end

#ifndef KELO_HOST_WITHOUT_FINODE
// A node: the item whose URL the node reference is.
@interface FINode : HostItem <KeloNodeClass>
@end
#endif

#ifndef KELO_HOST_WITHOUT_IMAGE_BROWSER
@interface IKImageWrapper : NSObject <KeloImageWrapper> {
  NSImage* image_;
}
@end

@interface IKImageBrowserCell : NSObject <KeloImageBrowserCell> {
  id item_;
  int draw_count_;
  id last_wrapper_;
}
- (id)initWithItem:(id)item;
- (int)drawCount;
// The wrapper the host was last asked to draw (retained by the cell).
- (id)lastWrapper;
@end
#endif

#endif  // KELO_ICONOVERLAY_TEST_HOST_HOST_CLASSES_H_
