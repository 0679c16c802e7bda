// Test helpers over the Linux host: comparing pictures, and a home directory with the sync
// client's databases written through the database library's own writers.
#ifndef KELO_TESTS_ICONOVERLAY_HOST_HOST_TEST_SUPPORT_H_
#define KELO_TESTS_ICONOVERLAY_HOST_HOST_TEST_SUPPORT_H_

#import <AppKit/AppKit.h>

#include <cstdint>
#include <string>

#import "iconoverlay/linux-host/host-support.h"

namespace kelo_host {

// The smallest rectangle holding every pixel that differs between `a` and `b` (same size),
// in the images' coordinates; width 0 when none does.
NSRect DiffBounds(const Pixels& a, const Pixels& b);

// Empty when `actual` equals `expected`, otherwise the sizes, or the number, extent and
// first of the differing pixels.
std::string DescribeDifference(const Pixels& actual, const Pixels& expected);

class SampleHome {
 public:
  explicit SampleHome(std::string home) : home_(std::move(home)) {}

  // Adds an enabled session for the synchronised folder `folder` in state `status`
  // (creating the system database on first use). Returns the session id, 0 on failure.
  uint64_t AddSession(const std::string& folder, int status);

  // Records an entry in the session's file status database (created on first use).
  bool AddEntry(uint64_t session_id, const std::string& path, int file_type, int sync_status);

  std::string SystemDbPath() const;
  std::string FileStatusDbPath(uint64_t session_id) const;

 private:
  std::string home_;
};

}  // namespace kelo_host

#endif  // KELO_TESTS_ICONOVERLAY_HOST_HOST_TEST_SUPPORT_H_
