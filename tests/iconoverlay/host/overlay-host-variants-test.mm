// The bundle in hosts and bundles that lack something, one program per variant:
//   KELO_HOST_WITHOUT_IMAGE_BROWSER   the host has no IKImageBrowserCell
//   KELO_HOST_WITHOUT_FINODE          the host has no FINode
//   KELO_BUNDLE_WITHOUT_SYNCING       the bundle has no resource "syncing"
// In each the load must end normally and whatever can still work must.

#import "host-test-fixture.h"

namespace kelo_host {
namespace {

testing::Environment* const environment = testing::AddGlobalTestEnvironment(new HostEnvironment);

using VariantTest = HostTest;

// Draws a list-view cell for `path` in (2, 2, 16, 16) and tells whether a badge was drawn
// over the host's icon (and nowhere else).
bool ListViewShowsBadge(const std::string& path) {
  const NSRect frame = NSMakeRect(2, 2, 16, 16);
  TListViewIconAndTextCell* cell =
      [[[TListViewIconAndTextCell alloc] initWithPath:Str(path)] autorelease];
  Pixels drawn = ReadPixels(Render(32, 24, [&] { [cell drawIconWithFrame:frame]; }));
  EXPECT_EQ([cell drawCount], 1) << "the host's own drawing did not run once";
  NSRect changed = DiffBounds(ReadPixels(Render(32, 24, [&] { HostDrawIcon(frame); })), drawn);
  const bool badged = changed.size.width > 0;
  EXPECT_TRUE(!badged || NSContainsRect(NSMakeRect(7, 2, 16, 16), changed))
      << "drawing outside the badge rectangle";
  return badged;
}

#if defined(KELO_HOST_WITHOUT_IMAGE_BROWSER)

TEST_F(VariantTest, WithoutImageBrowserTheListViewIsStillHooked) {
  ASSERT_EQ(NSClassFromString(@"IKImageBrowserCell"), Nil);
  NSString* const names[] = {@"KeloSynced", @"KeloSyncing", @"KeloUnsupp"};
  for (NSString* name : names) {
    EXPECT_NE([NSImage imageNamed:name], nil) << [name UTF8String];
  }
  EXPECT_TRUE(ListViewShowsBadge(Item("a.txt", 1)));
  EXPECT_FALSE(ListViewShowsBadge(Item("b.txt", 0)));
}

#elif defined(KELO_HOST_WITHOUT_FINODE)

TEST_F(VariantTest, WithoutFINodeTheListViewDrawsNoBadge) {
  ASSERT_EQ(NSClassFromString(@"FINode"), Nil);
  const std::string path = Item("a.txt", 1);
  ASSERT_NE([[[[NSObject alloc] init] autorelease] GetOverlayIcon:Str(path)], nil);
  EXPECT_FALSE(ListViewShowsBadge(path));
}

#elif defined(KELO_BUNDLE_WITHOUT_SYNCING)

TEST_F(VariantTest, WithoutSyncingResourceTheRestWorks) {
  EXPECT_NE([NSImage imageNamed:@"KeloSynced"], nil);
  EXPECT_NE([NSImage imageNamed:@"KeloUnsupp"], nil);
  EXPECT_EQ([NSImage imageNamed:@"KeloSyncing"], nil);

  // Both exchanges are in force.
  const std::string synced = Item("synced.txt", 1);
  EXPECT_TRUE(ListViewShowsBadge(synced));
  IKImageBrowserCell* cell =
      [[[IKImageBrowserCell alloc] initWithItem:[HostItem itemWithPath:Str(synced)]] autorelease];
  NSImage* image = Render(32, 32, [] { HostDrawIcon(NSMakeRect(0, 0, 32, 32)); });
  IKImageWrapper* wrapper = [[[IKImageWrapper alloc] initWithNSImage:image] autorelease];
  Render(32, 32, [&] { [cell drawImage:wrapper]; });
  EXPECT_EQ([cell drawCount], 1);
  EXPECT_NE([cell lastWrapper], wrapper);

  // A syncing item has no badge to show, and asking again finds no image either.
  const std::string syncing = Item("syncing.txt", 2);
  EXPECT_FALSE(ListViewShowsBadge(syncing));
  EXPECT_EQ([[[[NSObject alloc] init] autorelease] GetOverlayIcon:Str(syncing)], nil);
  EXPECT_EQ([NSImage imageNamed:@"KeloSyncing"], nil);
}

#else
#error "build this file for one host variant"
#endif

}  // namespace
}  // namespace kelo_host
