// The bundle loaded into a host that plays the Finder: cells drawn offscreen through the
// hooks, pixels read back, category methods answered from real databases in a temporary
// home. Which state gets which badge is the core's business (badge-resolver_test.cc); here
// a few rows show that the bundle asks the core and draws what it answers.
//
// The same tests run in the full host and in variants that lack something, where the load
// must end normally and whatever can still work must:
//   KELO_HOST_WITHOUT_IMAGE_BROWSER   the host has no IKImageBrowserCell
//   KELO_HOST_WITHOUT_FINODE          the host has no FINode: no list-view badges
//   KELO_BUNDLE_WITHOUT_SYNCING       the bundle has no resource "syncing": no syncing badge

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "db/file-status-db/file-status-db.h"
#include "db/system-db/system-db.h"
#include "iconoverlay/badge-resolver.h"
#import "iconoverlay/icon-overlay.h"
#include "support/records.h"
#include "support/temp-dir.h"
#import "tests/host/host-classes.h"
#import "tests/host/host-support.h"

// Answers file existence and the state its own way: GetOverlayIcon: must ask it for both.
@interface KeloProbeReceiver : NSObject {
 @public
  bool files_exist;
  int state;  // -1: the real state
}
@end

@implementation KeloProbeReceiver
- (bool)IsFStateDBEsixt:(NSString*)path {
  return files_exist && [super IsFStateDBEsixt:path];
}
- (int)GetSyncStatus:(NSString*)path {
  return state >= 0 ? state : [super GetSyncStatus:path];
}
@end

namespace kelo_host {
namespace {

#ifdef KELO_HOST_WITHOUT_FINODE
constexpr bool kHasFINode = false;
#else
constexpr bool kHasFINode = true;
#endif
#ifdef KELO_BUNDLE_WITHOUT_SYNCING
constexpr bool kHasSyncing = false;
#else
constexpr bool kHasSyncing = true;
#endif

// Loads the bundle before any test, so before any stand-in class receives a message.
class HostEnvironment : public testing::Environment {
  void SetUp() override {
    pool_ = [NSAutoreleasePool new];
    std::string error;
    ASSERT_TRUE(StartHost(KELO_TEST_BUNDLE_DIR, &error)) << error;
  }
  void TearDown() override { [pool_ drain]; }
  NSAutoreleasePool* pool_ = nil;
};
testing::Environment* const environment = testing::AddGlobalTestEnvironment(new HostEnvironment);

NSString* Str(const std::string& s) { return [NSString stringWithUTF8String:s.c_str()]; }

// What `draw` draws over a white canvas, in a flipped view if `flipped`.
Pixels Picture(int width, int height, bool flipped, const std::function<void()>& draw) {
  return ReadPixels(Render(width, height, draw, flipped));
}

testing::AssertionResult SamePixels(const Pixels& actual, const Pixels& expected) {
  if (actual.rgba.empty() || expected.rgba.empty()) {
    return testing::AssertionFailure() << "no pixels read back";
  }
  if (actual == expected) return testing::AssertionSuccess();
  const auto diff = std::mismatch(actual.rgba.begin(), actual.rgba.end(), expected.rgba.begin(),
                                  expected.rgba.end());
  const long i = diff.first - actual.rgba.begin(), w = std::max(actual.width, 1);
  return testing::AssertionFailure() << "first difference at (" << i % w << ", " << i / w << ")";
}

// The bundle's drawing call, for building expected pictures.
void DrawBadgeAt(NSImage* badge, NSRect rect) {
  [badge drawInRect:rect
            fromRect:NSZeroRect
           operation:NSCompositeSourceOver
            fraction:1.0
      respectFlipped:YES
               hints:nil];
}

// A home with one active session for the folder "Sync".
class HostTest : public testing::Test {
 protected:
  void SetUp() override {
    pool_ = [NSAutoreleasePool new];
    SetHome(home_.path());
    const std::string system_db = kelo::SystemDbPath(home_.path());
    std::filesystem::create_directories(std::filesystem::path(system_db).parent_path());
    ASSERT_EQ(SystemDB::initialize(system_db), 0);
    KELOSessionInfo info;
    info.share_name = "Sync";
    info.attribute = SystemDB::kEnabledBit;
    info.status = kelo::kSessionStatusFirstActive;
    info.sync_folder = sync_folder_;
    const int added = SystemDB::addNewSessionInfo(info, /*conn_id=*/1);
    SystemDB::destroy();
    ASSERT_EQ(added, 0);
    status_db_ = kelo::FileStatusDbPath(home_.path(), info.id);
    std::filesystem::create_directories(std::filesystem::path(status_db_).parent_path());
  }
  void TearDown() override {
    [pool_ drain];
    SetHome("");
  }

  // The path of `name` in the synchronised folder, recorded with `state` unless negative.
  std::string Item(const std::string& name, int state) {
    const std::string path = sync_folder_ + "/" + name;
    if (state < 0) return path;
    const kelo::CurrentFileStatusDb current(status_db_);
    EXPECT_EQ(current.result(), 0);
    EXPECT_EQ(FileStatusDB::setFileSyncStat(kelo_test::Entry(path, 0, state)), 0);
    return path;
  }

  kelo_test::TempDir home_;
  std::string sync_folder_ = home_ / "Sync";
  std::string status_db_;
  NSAutoreleasePool* pool_ = nil;
};

// What `image` looks like drawn over a blank 32 x 32 square.
Pixels Look(NSImage* image) {
  return Picture(32, 32, false, [&] { DrawBadgeAt(image, NSMakeRect(0, 0, 32, 32)); });
}

// Each registered badge is the image of its resource; taken out of the registry, it is
// loaded again on the next request for it. A missing resource registers nothing.
TEST_F(HostTest, BadgesComeFromTheResourcesAndAreRegisteredAgain) {
#ifdef KELO_HOST_WITHOUT_IMAGE_BROWSER
  ASSERT_EQ(NSClassFromString(@"IKImageBrowserCell"), Nil);
#endif
  ASSERT_EQ(NSClassFromString(@"FINode") != Nil, kHasFINode);
  NSBundle* bundle = [NSBundle bundleWithIdentifier:@"tessal.KeloMacIconOverlay"];
  ASSERT_NE(bundle, nil);
  const struct {
    NSString* image_name;
    NSString* resource;
    int state;
  } rows[] = {{@"KeloSynced", @"synced", 1},
              {@"KeloSyncing", @"syncing", 2},
              {@"KeloUnsupp", @"unsupp", 3}};
  NSObject* receiver = [[[NSObject alloc] init] autorelease];
  for (const auto& row : rows) {
    SCOPED_TRACE([row.image_name UTF8String]);
    const bool present = kHasSyncing || row.state != 2;
    NSString* file = [bundle pathForResource:row.resource ofType:@"ico"];
    const Pixels resource =
        Look(file ? [[[NSImage alloc] initWithContentsOfFile:file] autorelease] : nil);
    EXPECT_EQ(resource == Look(nil), !present)
        << "a resource draws nothing, or is there though left out";
    NSImage* registered = [NSImage imageNamed:row.image_name];
    EXPECT_TRUE(SamePixels(Look(registered), resource));

    [registered setName:nil];
    ASSERT_EQ([NSImage imageNamed:row.image_name], nil);
    NSImage* badge = [receiver GetOverlayIcon:Str(Item([row.resource UTF8String], row.state))];
    EXPECT_EQ(badge != nil, present);
    EXPECT_EQ(badge, [NSImage imageNamed:row.image_name]);
    EXPECT_TRUE(SamePixels(Look(badge), resource));
  }
}

// The list view: the host draws its icon in the frame, then the badge goes into a square as
// tall as the frame, 5 points to the right, upright also in a flipped view. Without a badge
// the picture is the host's own.
TEST_F(HostTest, ListViewDrawsTheHostsIconThenTheBadge) {
  const struct {
    const char* name;  // nullptr: the cell's node gives no record
    int state;         // -1: no entry
    NSRect frame;
    bool flipped;
    NSRect badge;  // empty: none
  } rows[] = {
      {"a.txt", 1, NSMakeRect(10, 20, 16, 16), false, NSMakeRect(15, 20, 16, 16)},
      {"b.txt", 1, NSMakeRect(0, 0, 64, 32), false, NSMakeRect(5, 0, 32, 32)},
      {"c.txt", 1, NSMakeRect(10, 20, 16, 16), true, NSMakeRect(15, 20, 16, 16)},
      {"no-entry.txt", -1, NSMakeRect(10, 20, 16, 16), false, NSZeroRect},
      {nullptr, -1, NSMakeRect(0, 0, 64, 32), false, NSZeroRect},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name ? row.name : "no record");
    NSString* path = row.name != nullptr ? Str(Item(row.name, row.state)) : nil;
    TListViewIconAndTextCell* cell =
        [[[TListViewIconAndTextCell alloc] initWithPath:path] autorelease];
    const Pixels drawn = Picture(80, 48, row.flipped, [&] { [cell drawIconWithFrame:row.frame]; });
    EXPECT_EQ([cell drawCount], 1) << "the host's own drawing ran otherwise than once";
    NSImage* badge = kHasFINode ? [NSImage imageNamed:@"KeloSynced"] : nil;
    EXPECT_TRUE(SamePixels(drawn, Picture(80, 48, row.flipped, [&] {
                             HostDrawIcon(row.frame);
                             if (!NSIsEmptyRect(row.badge)) DrawBadgeAt(badge, row.badge);
                           })));
  }
}

// The hook goes onto the list-view cell's class alone, which inherits its drawing method: a
// sibling class that inherits the same method draws as before and is never asked for a node.
TEST_F(HostTest, ListViewHookLeavesSiblingClassesAlone) {
  HostSiblingIconCell* sibling = [[[HostSiblingIconCell alloc] init] autorelease];
  const NSRect frame = NSMakeRect(10, 20, 16, 16);
  const Pixels drawn = Picture(80, 48, false, [&] { [sibling drawIconWithFrame:frame]; });
  EXPECT_EQ([sibling drawCount], 1);
  EXPECT_TRUE(SamePixels(drawn, Picture(80, 48, false, [&] { HostDrawIcon(frame); })));
}

#ifndef KELO_HOST_WITHOUT_IMAGE_BROWSER
// The image browser: the badge is stretched over a copy of the item's image and the host
// draws a new wrapper around the copy; its own image never changes, so drawing again, or
// after the state changed, shows just the badge of the moment. Without a badge, or
// without an image to draw it into, the host gets the very wrapper it passed.
TEST_F(HostTest, ImageBrowserDrawsTheBadgeIntoACopyOfTheItemsImage) {
  struct Pass {
    int state;        // -1: no entry
    NSString* badge;  // nil: none
  };
  const Pass first = kHasSyncing ? Pass{2, @"KeloSyncing"} : Pass{1, @"KeloSynced"};
  const Pass later = kHasSyncing ? Pass{1, @"KeloSynced"} : Pass{3, @"KeloUnsupp"};
  const struct {
    const char* name;
    bool has_image;
    std::vector<Pass> passes;  // drawn one after the other with the same wrapper
  } rows[] = {{"movie.mov", true, {first, first, later}},
              {"no-entry.mov", true, {{-1, nil}}},
              {"no-image.mov", false, {{1, nil}}}};
  const NSRect whole = NSMakeRect(0, 0, 128, 96);
  const Pixels host_image = Picture(128, 96, false, [&] { HostDrawIcon(whole); });
  for (const auto& row : rows) {
    IKImageBrowserCell* cell = [[[IKImageBrowserCell alloc]
        initWithItem:[HostItem itemWithPath:Str(Item(row.name, -1))]] autorelease];
    NSImage* image = row.has_image ? Render(128, 96, [&] { HostDrawIcon(whole); }) : nil;
    IKImageWrapper* wrapper = [[[IKImageWrapper alloc] initWithNSImage:image] autorelease];
    for (size_t i = 0; i < row.passes.size(); ++i) {
      const Pass& pass = row.passes[i];
      SCOPED_TRACE(testing::Message() << row.name << " pass " << i);
      Item(row.name, pass.state);
      const Pixels on_screen = Picture(128, 96, false, [&] {
        NSAutoreleasePool* pool = [NSAutoreleasePool new];
        [cell drawImage:wrapper];
        [pool drain];
      });
      EXPECT_EQ([cell drawCount], static_cast<int>(i + 1));
      id given = [cell lastWrapper];
      EXPECT_EQ(given != wrapper, pass.badge != nil);
      if (given != wrapper) {  // the hook's autoreleased objects are gone with their pool
        EXPECT_EQ([given retainCount], 1u) << "only the cell holds the new wrapper";
        EXPECT_EQ([[given _nsImage] retainCount], 1u) << "only the wrapper holds the copy";
      }
      EXPECT_TRUE([given isKindOfClass:[IKImageWrapper class]]);
      EXPECT_TRUE(SamePixels(on_screen, Picture(128, 96, false, [&] {
                               if (row.has_image) HostDrawIcon(whole);
                               if (pass.badge != nil)
                                 DrawBadgeAt([NSImage imageNamed:pass.badge], whole);
                             })));
      if (row.has_image) {
        EXPECT_TRUE(SamePixels(ReadPixels(image), host_image)) << "the host's image changed";
      }
    }
  }
}
#endif

TEST_F(HostTest, GetOverlayIconAsksTheCoreThroughItsReceiver) {
  NSString* synced = Str(Item("synced.txt", 1));
  auto badge_for = [](NSString* path, bool files_exist, int state) {
    KeloProbeReceiver* probe = [[[KeloProbeReceiver alloc] init] autorelease];
    probe->files_exist = files_exist;
    probe->state = state;
    return [probe GetOverlayIcon:path];
  };
  NSImage* unsupp = [NSImage imageNamed:@"KeloUnsupp"];
  ASSERT_NE(unsupp, nil);
  EXPECT_EQ(badge_for(synced, false, -1), nil) << "the receiver sees no files";
  EXPECT_EQ(badge_for(synced, true, 3), unsupp) << "the receiver's state wins";
  EXPECT_EQ(badge_for(nil, true, -1), nil);
  NSObject* receiver = [[[NSObject alloc] init] autorelease];
  EXPECT_FALSE([receiver IsFStateDBEsixt:nil]);
}

}  // namespace
}  // namespace kelo_host
