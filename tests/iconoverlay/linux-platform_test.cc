#include "iconoverlay/linux-platform.h"

#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <optional>
#include <string>

#include "iconoverlay/badge-resolver.h"
#include "support/temp_dir.h"

namespace {

// Sets or removes HOME for the life of the object.
class ScopedHome {
 public:
  explicit ScopedHome(const char* value) {
    if (const char* old = std::getenv("HOME")) saved_ = old;
    if (value) {
      setenv("HOME", value, 1);
    } else {
      unsetenv("HOME");
    }
  }
  ~ScopedHome() {
    if (saved_) {
      setenv("HOME", saved_->c_str(), 1);
    } else {
      unsetenv("HOME");
    }
  }

 private:
  std::optional<std::string> saved_;
};

TEST(LinuxPlatform, HomeDirectory) {
  struct passwd* entry = getpwuid(getuid());
  ASSERT_NE(nullptr, entry);
  const std::string account_home = entry->pw_dir;
  const struct {
    const char* env;
    const char* given;
    std::string expected;
  } kCases[] = {{"/from/env", "", "/from/env"},
                {"", "", account_home},
                {nullptr, "", account_home},
                {"/from/env", "/given", "/given"}};
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.env ? c.env : "(unset)");
    ScopedHome home(c.env);
    EXPECT_EQ(c.expected, kelo::LinuxOverlayPlatform(c.given).HomeDirectory());
  }
}

TEST(LinuxPlatform, FileExists) {
  kelo_test::TempDir dir;
  kelo_test::WriteFile(dir / "file", "x");
  ASSERT_EQ(0, symlink((dir / "missing").c_str(), (dir / "dangling").c_str()));
  kelo::LinuxOverlayPlatform platform;
  EXPECT_TRUE(platform.FileExists(dir / "file"));
  EXPECT_TRUE(platform.FileExists(dir.path()));
  EXPECT_FALSE(platform.FileExists(dir / "missing"));
  EXPECT_FALSE(platform.FileExists(dir / "dangling"));
  EXPECT_FALSE(platform.FileExists(""));
}

TEST(LinuxPlatform, NormalizeFormC) {
  const struct {
    std::string in;
    bool ok;
    std::string out;
  } kCases[] = {
      {"", true, ""},
      {"/plain/ascii", true, "/plain/ascii"},
      {"/cafe\xCC\x81", true, "/caf\xC3\xA9"},
      {"/caf\xC3\xA9", true, "/caf\xC3\xA9"},
      {"A\xCC\x8A"
       "ngstr\xC3\xB6m",
       true, "\xC3\x85ngstr\xC3\xB6m"},
      {"\xE1\x84\x92\xE1\x85\xA1\xE1\x86\xAB", true, "\xED\x95\x9C"},  // Hangul jamo
      {"/bad\xFF", false, ""},
      {std::string(4095, 'a'), true, std::string(4095, 'a')},
      {std::string(4096, 'a'), false, ""},
      // 4094 bytes + "e" + U+0301 is 4097 bytes, and 4096 once composed: still too long.
      {std::string(4094, 'a') + "e\xCC\x81", false, ""},
      {std::string(4093, 'a') + "e\xCC\x81", true, std::string(4093, 'a') + "\xC3\xA9"},
  };
  kelo::LinuxOverlayPlatform platform;
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.in.substr(0, 40));
    std::string out;
    ASSERT_EQ(c.ok, platform.NormalizeFormC(c.in, &out));
    if (c.ok) {
      EXPECT_EQ(c.out, out);
    }
  }
}

TEST(LinuxPlatform, ShippedBadgeResourcesLoad) {
  kelo::LinuxOverlayPlatform platform;
  for (const kelo::BadgeSpec& badge : kelo::kBadgeTable) {
    SCOPED_TRACE(badge.image_name);
    kelo::LinuxImageRegistry::Unregister(badge.image_name);
    platform.LoadImage(badge);
    EXPECT_NE(nullptr, platform.FetchImage(badge.image_name));
  }
}

}  // namespace
