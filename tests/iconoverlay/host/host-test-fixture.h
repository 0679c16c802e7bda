// Shared by the host's test programs: the process set-up that loads the bundle before any
// test runs, and a fixture with its own home directory and one active session.
#ifndef KELO_TESTS_ICONOVERLAY_HOST_HOST_TEST_FIXTURE_H_
#define KELO_TESTS_ICONOVERLAY_HOST_HOST_TEST_FIXTURE_H_

#include <gtest/gtest.h>

#include <string>

#include "db/file-status-db/file-status-db.h"
#import "host-test-support.h"
#import "iconoverlay/icon-overlay.h"
#import "iconoverlay/linux-host/host-classes.h"
#include "support/temp_dir.h"

namespace kelo_host {

class HostEnvironment : public testing::Environment {
 public:
  void SetUp() override {
    pool_ = [NSAutoreleasePool new];
    std::string error;
    ASSERT_TRUE(StartHost(KELO_TEST_BUNDLE_DIR, &error)) << error;
  }
  void TearDown() override { [pool_ drain]; }

 private:
  NSAutoreleasePool* pool_ = nil;
};

inline testing::AssertionResult SamePixels(const Pixels& actual, const Pixels& expected) {
  std::string difference = DescribeDifference(actual, expected);
  if (difference.empty()) return testing::AssertionSuccess();
  return testing::AssertionFailure() << difference;
}

inline NSString* Str(const std::string& s) { return [NSString stringWithUTF8String:s.c_str()]; }

// The bundle's drawing call, for building expected pictures.
inline void DrawBadgeAt(NSString* image_name, NSRect rect) {
  NSImage* badge = [NSImage imageNamed:image_name];
  [badge drawInRect:rect
            fromRect:NSZeroRect
           operation:NSCompositeSourceOver
            fraction:1.0
      respectFlipped:YES
               hints:nil];
}

class HostTest : public testing::Test {
 protected:
  static constexpr int kActive = 10;

  void SetUp() override {
    pool_ = [NSAutoreleasePool new];
    SetHome(home_.path());
    session_ = sample_.AddSession(sync_folder_, kActive);
    ASSERT_NE(session_, 0u);
  }
  void TearDown() override {
    [pool_ drain];
    SetHome("");
  }

  // The path of `name` in the synchronised folder, recorded with `state` unless negative.
  std::string Item(const std::string& name, int state, int file_type = 0) {
    std::string path = sync_folder_ + "/" + name;
    if (state >= 0) {
      EXPECT_TRUE(sample_.AddEntry(session_, path, file_type, state)) << path;
    }
    return path;
  }

  kelo_test::TempDir home_;
  SampleHome sample_{home_.path()};
  std::string sync_folder_ = home_ / "Sync";
  uint64_t session_ = 0;

 private:
  NSAutoreleasePool* pool_ = nil;
};

}  // namespace kelo_host

#endif  // KELO_TESTS_ICONOVERLAY_HOST_HOST_TEST_FIXTURE_H_
