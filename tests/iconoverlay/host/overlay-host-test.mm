// The bundle loaded into a host that plays the Finder: hooks, badges by pixels, the
// category methods through real databases in a temporary home.

#include <objc/runtime.h>
#include <sys/stat.h>

#import "host-test-fixture.h"

namespace kelo_host {
namespace {

testing::Environment* const environment = testing::AddGlobalTestEnvironment(new HostEnvironment);

using OverlayHostTest = HostTest;

NSImage* PlainIcon(NSRect frame, int width, int height) {
  return Render(width, height, [&] { HostDrawIcon(frame); });
}

bool Exists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

TEST(OverlayLoad, RegistersEachBadgeFromItsBundleResource) {
  NSBundle* bundle = [NSBundle bundleWithIdentifier:@"tessal.KeloMacIconOverlay"];
  ASSERT_NE(bundle, nil);
  struct Row {
    NSString* image_name;
    NSString* resource;
  };
  const Row rows[] = {
      {@"KeloSynced", @"synced"}, {@"KeloSyncing", @"syncing"}, {@"KeloUnsupp", @"unsupp"}};
  NSRect rect = NSMakeRect(0, 0, 32, 32);
  Pixels previous;
  for (const Row& row : rows) {
    SCOPED_TRACE([row.image_name UTF8String]);
    NSImage* registered = [NSImage imageNamed:row.image_name];
    ASSERT_NE(registered, nil);
    NSString* file = [bundle pathForResource:row.resource ofType:@"ico"];
    ASSERT_NE(file, nil);
    NSImage* from_file = [[[NSImage alloc] initWithContentsOfFile:file] autorelease];
    Pixels drawn = ReadPixels(Render(32, 32, [&] { DrawBadgeAt(row.image_name, rect); }));
    Pixels expected = ReadPixels(Render(32, 32, [&] {
      [from_file drawInRect:rect fromRect:NSZeroRect operation:NSCompositeSourceOver fraction:1];
    }));
    EXPECT_TRUE(SamePixels(drawn, expected));
    EXPECT_GT(DiffBounds(drawn, ReadPixels(Render(32, 32, [] {}))).size.width, 0)
        << "the badge draws nothing";
    EXPECT_FALSE(drawn == previous) << "two badges look the same";
    previous = drawn;
  }
}

TEST(OverlayLoad, MethodsCarryTheHostsTypeEncodings) {
  Class kelo = NSClassFromString(@"KeloMacIconOverlay");
  ASSERT_NE(kelo, Nil);
  EXPECT_STREQ(method_getTypeEncoding(class_getClassMethod(kelo, @selector(load))), "v16@0:8");
#ifdef __APPLE__
  const char* frame_encoding = "v48@0:8{CGRect={CGPoint=dd}{CGSize=dd}}16";
#else
  const char* frame_encoding = "v48@0:8{_NSRect={_NSPoint=dd}{_NSSize=dd}}16";
#endif
  struct Row {
    SEL selector;
    const char* encoding;
  };
  const Row rows[] = {{@selector(KeloDrawImage:), "v24@0:8@16"},
                      {@selector(KeloDrawIconWithFrame:), frame_encoding},
                      {@selector(IsFStateDBEsixt:), "B24@0:8@16"},
                      {@selector(GetSyncStatus:), "i24@0:8@16"},
                      {@selector(GetOverlayIcon:), "@24@0:8@16"}};
  for (const Row& row : rows) {
    SCOPED_TRACE(sel_getName(row.selector));
    Method method = class_getInstanceMethod([NSObject class], row.selector);
    ASSERT_NE(method, nullptr);
    EXPECT_STREQ(method_getTypeEncoding(method), row.encoding);
  }
}

// The list view: the host draws its icon in the frame, then the badge goes into a square
// as tall as the frame, 5 points to the right.
TEST_F(OverlayHostTest, ListViewBadgeGeometry) {
  struct Row {
    NSRect frame;
    int canvas_width, canvas_height;
    bool flipped;  // a flipped view, as the list view is: the badge must stay upright
    NSRect badge;
  };
  const Row rows[] = {
      {NSMakeRect(10, 20, 16, 16), 48, 48, false, NSMakeRect(15, 20, 16, 16)},
      {NSMakeRect(0, 0, 64, 32), 80, 40, false, NSMakeRect(5, 0, 32, 32)},
      {NSMakeRect(10, 20, 16, 16), 48, 48, true, NSMakeRect(15, 20, 16, 16)},
  };
  TListViewIconAndTextCell* cell =
      [[[TListViewIconAndTextCell alloc] initWithPath:Str(Item("a.txt", 1))] autorelease];
  int draws = 0;
  for (const Row& row : rows) {
    SCOPED_TRACE(testing::Message()
                 << "frame width " << row.frame.size.width << ", flipped " << row.flipped);
    auto picture = [&](const std::function<void()>& draw) {
      return ReadPixels(Render(row.canvas_width, row.canvas_height, draw, row.flipped));
    };
    Pixels drawn = picture([&] { [cell drawIconWithFrame:row.frame]; });
    EXPECT_EQ([cell drawCount], ++draws);
    EXPECT_TRUE(NSEqualRects([cell lastFrame], row.frame));
    Pixels expected = picture([&] {
      HostDrawIcon(row.frame);
      DrawBadgeAt(@"KeloSynced", row.badge);
    });
    EXPECT_TRUE(SamePixels(drawn, expected));
    NSRect changed = DiffBounds(picture([&] { HostDrawIcon(row.frame); }), drawn);
    EXPECT_GT(changed.size.width, 0) << "no badge drawn";
    if (!row.flipped) {
      EXPECT_TRUE(NSContainsRect(row.badge, changed)) << "drawing outside the badge rectangle";
    }
  }
}

// Cells with nothing to show: the host's drawing stays exactly as it is without the bundle.
TEST_F(OverlayHostTest, ListViewWithoutBadgeIsThePlainIcon) {
  const std::string outside = home_ / "Elsewhere/b.txt";
  struct Row {
    const char* what;
    NSString* path;  // nil: the cell's node gives no record
  };
  const Row rows[] = {{"no entry", Str(Item("unknown.txt", -1))},
                      {"state 0", Str(Item("none.txt", 0))},
                      {"outside every session", Str(outside)},
                      {"node without a record", nil}};
  const NSRect frame = NSMakeRect(4, 4, 24, 24);
  Pixels plain = ReadPixels(PlainIcon(frame, 40, 32));
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    TListViewIconAndTextCell* cell =
        [[[TListViewIconAndTextCell alloc] initWithPath:row.path] autorelease];
    EXPECT_TRUE(
        SamePixels(ReadPixels(Render(40, 32, [&] { [cell drawIconWithFrame:frame]; })), plain));
    EXPECT_EQ([cell drawCount], 1);
  }
}

// After the exchange the plug-in's selector, sent to a cell, is the host's own drawing.
TEST_F(OverlayHostTest, PluginSelectorsRunTheHostsDrawing) {
  const std::string path = Item("a.txt", 1);
  const NSRect frame = NSMakeRect(2, 2, 16, 16);
  TListViewIconAndTextCell* list =
      [[[TListViewIconAndTextCell alloc] initWithPath:Str(path)] autorelease];
  EXPECT_TRUE(SamePixels(ReadPixels(Render(32, 20, [&] { [list KeloDrawIconWithFrame:frame]; })),
                         ReadPixels(PlainIcon(frame, 32, 20))));
  EXPECT_EQ([list drawCount], 1);

  IKImageBrowserCell* browser =
      [[[IKImageBrowserCell alloc] initWithItem:[HostItem itemWithPath:Str(path)]] autorelease];
  NSImage* image = PlainIcon(NSMakeRect(0, 0, 32, 32), 32, 32);
  Pixels before = ReadPixels(image);
  IKImageWrapper* wrapper = [[[IKImageWrapper alloc] initWithNSImage:image] autorelease];
  Render(32, 32, [&] { [browser KeloDrawImage:wrapper]; });
  EXPECT_EQ([browser drawCount], 1);
  EXPECT_EQ([browser lastWrapper], wrapper);
  EXPECT_TRUE(SamePixels(ReadPixels(image), before));
}

// The image browser: the badge is stretched over the item's own image, and the host
// draws a new wrapper around that same image.
TEST_F(OverlayHostTest, ImageBrowserDrawsTheBadgeIntoTheItemImage) {
  IKImageBrowserCell* cell = [[[IKImageBrowserCell alloc]
      initWithItem:[HostItem itemWithPath:Str(Item("movie.mov", 2))]] autorelease];
  const NSRect whole = NSMakeRect(0, 0, 128, 96);
  NSImage* image = PlainIcon(whole, 128, 96);
  Pixels before = ReadPixels(image);
  IKImageWrapper* wrapper = [[[IKImageWrapper alloc] initWithNSImage:image] autorelease];
  Pixels on_screen = ReadPixels(Render(128, 96, [&] { [cell drawImage:wrapper]; }));

  EXPECT_EQ([cell drawCount], 1);
  id drawn = [cell lastWrapper];
  EXPECT_NE(drawn, wrapper);
  EXPECT_TRUE([drawn isKindOfClass:[IKImageWrapper class]]);
  EXPECT_EQ([drawn _nsImage], image);
  Pixels expected = ReadPixels(Render(128, 96, [&] {
    HostDrawIcon(whole);
    DrawBadgeAt(@"KeloSyncing", whole);
  }));
  EXPECT_TRUE(SamePixels(ReadPixels(image), expected));
  EXPECT_TRUE(SamePixels(on_screen, expected));
  EXPECT_GT(DiffBounds(before, expected).size.width, 0) << "no badge drawn";
}

// No badge, or nothing to draw it into: the host gets the very wrapper it passed, and the
// picture on screen is the item's own.
TEST_F(OverlayHostTest, ImageBrowserWithoutBadgeGetsTheSameWrapper) {
  struct Row {
    const char* what;
    int state;  // -1: no entry
    bool has_image;
  };
  const Row rows[] = {{"no entry", -1, true}, {"synced, wrapper without image", 1, false}};
  NSImage* image = PlainIcon(NSMakeRect(0, 0, 64, 48), 64, 48);
  Pixels before = ReadPixels(image);
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    IKImageBrowserCell* cell = [[[IKImageBrowserCell alloc]
        initWithItem:[HostItem itemWithPath:Str(Item(row.what, row.state))]] autorelease];
    IKImageWrapper* wrapper =
        [[[IKImageWrapper alloc] initWithNSImage:row.has_image ? image : nil] autorelease];
    Pixels on_screen = ReadPixels(Render(64, 48, [&] { [cell drawImage:wrapper]; }));
    EXPECT_EQ([cell drawCount], 1);
    EXPECT_EQ([cell lastWrapper], wrapper);
    EXPECT_TRUE(SamePixels(on_screen, row.has_image ? before : ReadPixels(Render(64, 48, [] {}))));
  }
  EXPECT_TRUE(SamePixels(ReadPixels(image), before));
}

// The category methods answer through the real databases of the home directory.
TEST_F(OverlayHostTest, BadgeAndStateOfEachItem) {
  const uint64_t paused = sample_.AddSession(home_ / "Paused", 9);
  ASSERT_NE(paused, 0u);
  ASSERT_TRUE(sample_.AddEntry(paused, home_ / "Paused/a.txt", 0, 1));
  Item("folder", 1, FileStatusDB::kFolder);
  Item("folder/inner.txt", 2);
  // "é" stored precomposed; the host gives the name decomposed (e + U+0301).
  Item("caf\xC3\xA9.txt", 3);
  struct Row {
    std::string path;
    int code;
    NSString* image_name;  // nil: no badge
  };
  const Row rows[] = {
      {Item("synced.txt", 1), 1, @"KeloSynced"},
      {Item("syncing.txt", 2), 2, @"KeloSyncing"},
      {Item("unsupp.txt", 3), 3, @"KeloUnsupp"},
      {Item("stateless.txt", 0), 0, nil},
      {Item("future.txt", 4), 4, nil},
      {sync_folder_ + "/folder", 2, @"KeloSyncing"},
      {sync_folder_ + "/cafe\xCC\x81.txt", 3, @"KeloUnsupp"},
      {home_ / "Paused/a.txt", 1, nil},
      {sync_folder_ + "/missing.txt", 0, nil},
  };
  NSObject* receiver = [[[NSObject alloc] init] autorelease];
  for (const Row& row : rows) {
    SCOPED_TRACE(row.path);
    // GetSyncStatus: reads the current file status database, which GetOverlayIcon: sets.
    NSImage* badge = [receiver GetOverlayIcon:Str(row.path)];
    if (row.image_name == nil) {
      EXPECT_EQ(badge, nil);
    } else {
      EXPECT_EQ(badge, [NSImage imageNamed:row.image_name]);
      EXPECT_EQ([receiver GetSyncStatus:Str(row.path)], row.code);
    }
  }
  EXPECT_EQ([receiver GetOverlayIcon:nil], nil);
}

TEST_F(OverlayHostTest, MissingDatabasesGiveNoBadgeAndAreNotCreated) {
  // A session without any entry has no file status database yet.
  const uint64_t empty = sample_.AddSession(home_ / "Empty", kActive);
  ASSERT_NE(empty, 0u);
  const std::string status_db = sample_.FileStatusDbPath(empty);
  NSObject* receiver = [[[NSObject alloc] init] autorelease];
  EXPECT_EQ([receiver GetOverlayIcon:Str(home_ / "Empty/a.txt")], nil);
  EXPECT_FALSE(Exists(status_db));

  kelo_test::TempDir bare;
  SetHome(bare.path());
  EXPECT_EQ([receiver GetOverlayIcon:Str(sync_folder_ + "/a.txt")], nil);
  EXPECT_FALSE(Exists(bare / ".Tarnvale"));
}

TEST_F(OverlayHostTest, IsFStateDBEsixtTellsWhetherAFileExists) {
  NSObject* receiver = [[[NSObject alloc] init] autorelease];
  EXPECT_TRUE([receiver IsFStateDBEsixt:Str(sample_.SystemDbPath())]);
  EXPECT_FALSE([receiver IsFStateDBEsixt:Str(home_ / "nothing-here")]);
  EXPECT_FALSE([receiver IsFStateDBEsixt:nil]);
}

}  // namespace
}  // namespace kelo_host

// A receiver whose answers differ from the file system's: GetOverlayIcon: must ask it,
// not the file system or its own code, for file existence and for the state.
@interface KeloProbeReceiver : NSObject {
 @public
  bool files_exist;
  int state;
  int existence_questions;
  int state_questions;
}
@end

@implementation KeloProbeReceiver
- (bool)IsFStateDBEsixt:(NSString*)path {
  ++existence_questions;
  return files_exist && [super IsFStateDBEsixt:path];
}
- (int)GetSyncStatus:(NSString*)path {
  ++state_questions;
  return state >= 0 ? state : [super GetSyncStatus:path];
}
@end

namespace kelo_host {
namespace {

TEST_F(OverlayHostTest, GetOverlayIconAsksItsReceiver) {
  NSString* path = Str(Item("a.txt", 1));
  struct Row {
    const char* what;
    bool files_exist;
    int state;  // -1: the real state
    NSString* image_name;
    int state_questions;
  };
  const Row rows[] = {{"real answers", true, -1, @"KeloSynced", 1},
                      {"receiver sees no files", false, -1, nil, 0},
                      {"receiver's state wins", true, 3, @"KeloUnsupp", 1}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    KeloProbeReceiver* probe = [[[KeloProbeReceiver alloc] init] autorelease];
    probe->files_exist = row.files_exist;
    probe->state = row.state;
    NSImage* badge = [probe GetOverlayIcon:path];
    EXPECT_EQ(badge, row.image_name == nil ? nil : [NSImage imageNamed:row.image_name]);
    EXPECT_GE(probe->existence_questions, 1);
    EXPECT_EQ(probe->state_questions, row.state_questions);
  }
}

// A badge image taken out of the registry is loaded again from the bundle on the next
// request, and looks as before.
TEST_F(OverlayHostTest, RemovedBadgeIsRegisteredAgain) {
  NSRect rect = NSMakeRect(0, 0, 32, 32);
  Pixels before = ReadPixels(Render(32, 32, [&] { DrawBadgeAt(@"KeloUnsupp", rect); }));
  NSImage* registered = [NSImage imageNamed:@"KeloUnsupp"];
  [registered setName:nil];
  ASSERT_EQ([NSImage imageNamed:@"KeloUnsupp"], nil);

  NSObject* receiver = [[[NSObject alloc] init] autorelease];
  NSImage* badge = [receiver GetOverlayIcon:Str(Item("a.txt", 3))];
  ASSERT_NE(badge, nil);
  EXPECT_EQ(badge, [NSImage imageNamed:@"KeloUnsupp"]);
  EXPECT_TRUE(
      SamePixels(ReadPixels(Render(32, 32, [&] { DrawBadgeAt(@"KeloUnsupp", rect); })), before));
}

}  // namespace
}  // namespace kelo_host
