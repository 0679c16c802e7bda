#import "host-test-support.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <mutex>

#include "db/file-status-db/file-status-db.h"
#include "db/system-db/system-db.h"
#include "iconoverlay/badge-resolver.h"

namespace kelo_host {

NSRect DiffBounds(const Pixels& a, const Pixels& b) {
  int x0 = a.width, y0 = a.height, x1 = -1, y1 = -1;
  for (int y = 0; y < a.height && y < b.height; ++y) {
    for (int x = 0; x < a.width && x < b.width; ++x) {
      if (a.At(x, y) == b.At(x, y)) continue;
      x0 = std::min(x0, x);
      y0 = std::min(y0, y);
      x1 = std::max(x1, x);
      y1 = std::max(y1, y);
    }
  }
  if (x1 < 0) return NSZeroRect;
  return NSMakeRect(x0, y0, x1 - x0 + 1, y1 - y0 + 1);
}

std::string DescribeDifference(const Pixels& actual, const Pixels& expected) {
  char text[200];
  if (actual.width != expected.width || actual.height != expected.height) {
    snprintf(text, sizeof text, "size %dx%d, expected %dx%d", actual.width, actual.height,
             expected.width, expected.height);
    return text;
  }
  NSRect box = DiffBounds(actual, expected);
  if (box.size.width == 0) return "";
  int count = 0;
  for (size_t i = 0; i < actual.rgba.size(); ++i) count += actual.rgba[i] != expected.rgba[i];
  const int x = static_cast<int>(box.origin.x);
  int y = static_cast<int>(box.origin.y);
  while (actual.At(x, y) == expected.At(x, y)) ++y;
  snprintf(text, sizeof text,
           "%d pixels differ within (%g, %g, %g, %g); at (%d, %d) 0x%08x, expected 0x%08x", count,
           box.origin.x, box.origin.y, box.size.width, box.size.height, x, y, actual.At(x, y),
           expected.At(x, y));
  return text;
}

std::string SampleHome::SystemDbPath() const { return kelo::SystemDbPath(home_); }

std::string SampleHome::FileStatusDbPath(uint64_t session_id) const {
  return kelo::FileStatusDbPath(home_, session_id);
}

uint64_t SampleHome::AddSession(const std::string& folder, int status) {
  std::error_code ignored;
  std::filesystem::create_directories(std::filesystem::path(SystemDbPath()).parent_path(), ignored);
  if (SystemDB::initialize(SystemDbPath()) != 0) return 0;
  KELOSessionInfo info;
  info.share_name = std::filesystem::path(folder).filename().string();
  info.attribute = SystemDB::kEnabledBit;
  info.status = status;
  info.sync_folder = folder;
  const int result = SystemDB::addNewSessionInfo(info, /*conn_id=*/1);
  SystemDB::destroy();
  return result == 0 ? info.id : 0;
}

bool SampleHome::AddEntry(uint64_t session_id, const std::string& path, int file_type,
                          int sync_status) {
  const std::string db = FileStatusDbPath(session_id);
  std::error_code ignored;
  std::filesystem::create_directories(std::filesystem::path(db).parent_path(), ignored);
  std::lock_guard<std::recursive_mutex> lock(kelo::FileStatusDbMutex());
  if (FileStatusDB::initialize(db) != 0) return false;
  FileStatusInfo info;
  info.fileType = file_type;
  info.syncStatus = sync_status;
  info.path = path;
  return FileStatusDB::setFileSyncStat(info) == 0;
}

}  // namespace kelo_host
