// The test host's side of the Finder: process set-up, the home directory it reports,
// offscreen drawing with pixels read back, and sample databases built through the
// database library's own writers.
#ifndef KELO_TESTS_ICONOVERLAY_HOST_HOST_SUPPORT_H_
#define KELO_TESTS_ICONOVERLAY_HOST_HOST_SUPPORT_H_

#import <AppKit/AppKit.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace kelo_host {

// Starts AppKit, registers the ICO image representation and loads the bundle at
// `bundle_dir` (an absolute path), in that order, before any stand-in class is messaged.
// Returns false with a message in *error when the bundle cannot be loaded.
bool StartHost(const std::string& bundle_dir, std::string* error);

// What NSHomeDirectory() answers from now on; empty for the user's real home. GNUstep
// takes the home from the password database, so the host answers it itself.
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

// For test assertions: success when `actual` equals `expected`, otherwise a message with
// the sizes or the number, extent and first of the differing pixels.
std::string DescribeDifference(const Pixels& actual, const Pixels& expected);

// A new opaque white image of the given size with `draw` run while it has the focus.
NSImage* Render(int width, int height, const std::function<void()>& draw);

// The smallest rectangle holding every pixel that differs between `a` and `b` (same size),
// in the images' coordinates; width 0 when none does.
NSRect DiffBounds(const Pixels& a, const Pixels& b);

// Writes `image` as a PNG file. Returns false on failure.
bool WritePng(NSImage* image, const std::string& path);

// A home directory with the sync client's databases, written as the client writes them.
class SampleHome {
 public:
  explicit SampleHome(std::string home) : home_(std::move(home)) {}

  // Adds a session for the synchronised folder `folder` in state `status` (creating the
  // system database on first use). Returns the session id, 0 on failure.
  uint64_t AddSession(const std::string& folder, int status);

  // Records an entry in the session's file status database (created on first use).
  bool AddEntry(uint64_t session_id, const std::string& path, int file_type, int sync_status);

  std::string SystemDbPath() const;
  std::string FileStatusDbPath(uint64_t session_id) const;

 private:
  std::string home_;
};

}  // namespace kelo_host

#endif  // KELO_TESTS_ICONOVERLAY_HOST_HOST_SUPPORT_H_
