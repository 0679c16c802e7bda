// The test host's side of the Finder, shared by the test programs and the preview:
// process set-up, the home directory it reports, and offscreen drawing with the pixels
// read back. The same code runs against AppKit on a Mac and against GNUstep elsewhere.
#ifndef KELO_ICONOVERLAY_TEST_HOST_HOST_SUPPORT_H_
#define KELO_ICONOVERLAY_TEST_HOST_HOST_SUPPORT_H_

#import <AppKit/AppKit.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace kelo_host {

// Starts AppKit, registers the ICO image representation where the platform lacks one
// (GNUstep) and loads the bundle at `bundle_dir` (an absolute path; on a Mac the
// .bundle folder with its Contents/), in that order, before any stand-in class is messaged.
// Returns false with a message in *error when the bundle cannot be loaded.
bool StartHost(const std::string& bundle_dir, std::string* error);

// Makes NSHomeDirectory() name `home` from now on. GNUstep takes the home from the password
// database, so the host answers NSHomeDirectory() itself, and empty `home` gives the user's
// real home. On a Mac the host's home is a symbolic link that is pointed at `home` (at an
// empty folder of its own when empty); the process starts itself again to set that up.
void SetHome(const std::string& home);

// RGBA pixels of an image, 8 bits each, rows counted from the bottom as AppKit counts.
struct Pixels {
  int width = 0;
  int height = 0;
  std::vector<uint32_t> rgba;  // 0xRRGGBBAA

  uint32_t At(int x, int y) const { return rgba[static_cast<size_t>(y) * width + x]; }
  bool operator==(const Pixels& other) const {
    return width == other.width && height == other.height && rgba == other.rgba;
  }
};

Pixels ReadPixels(NSImage* image);

// A new opaque white image of the given size with `draw` run while it has the focus.
// `flipped` draws in a flipped context instead (origin at the top left, as in the Finder's
// list view) and returns a picture of it.
NSImage* Render(int width, int height, const std::function<void()>& draw, bool flipped = false);

// Writes `image` as a PNG file. Returns false on failure.
bool WritePng(NSImage* image, const std::string& path);

}  // namespace kelo_host

#endif  // KELO_ICONOVERLAY_TEST_HOST_HOST_SUPPORT_H_
