#import "host-support.h"

#include <filesystem>
#include <mutex>

#include "db/file-status-db/file-status-db.h"
#include "db/system-db/system-db.h"
#import "ico-image-rep.h"
#include "iconoverlay/badge-resolver.h"

namespace {

std::mutex home_mutex;
std::string* host_home = new std::string;  // never destroyed: GNUstep may ask at exit

}  // namespace

#ifdef KELO_SANITIZED
// GNUstep keeps objects alive until exit by design; leak reports would be its own.
extern "C" const char* __asan_default_options() { return "detect_leaks=0"; }
#endif

// The Finder's process reports its user's home; this host reports the test's. The bundle
// calls this function, and the executable's definition wins over GNUstep's.
NSString* NSHomeDirectory(void) {
  std::lock_guard<std::mutex> lock(home_mutex);
  if (host_home->empty()) return NSHomeDirectoryForUser(NSUserName());
  return [NSString stringWithUTF8String:host_home->c_str()];
}

namespace kelo_host {

void SetHome(const std::string& home) {
  std::lock_guard<std::mutex> lock(home_mutex);
  *host_home = home;
}

bool StartHost(const std::string& bundle_dir, std::string* error) {
  [NSApplication sharedApplication];
  // GNUstep's ImageMagick representation claims "ico" but cannot read the files; the ICO
  // representation goes ahead of it in the list that is searched in order.
  Class magick = [NSImageRep imageRepClassForFileType:@"ico"];
  if (magick != Nil) [NSImageRep unregisterImageRepClass:magick];
  [NSImageRep registerImageRepClass:[KeloIcoImageRep class]];
  if (magick != Nil) [NSImageRep registerImageRepClass:magick];
  NSBundle* bundle = [NSBundle bundleWithPath:[NSString stringWithUTF8String:bundle_dir.c_str()]];
  if (bundle == nil || ![bundle load]) {
    *error = "cannot load the bundle " + bundle_dir;
    return false;
  }
  return true;
}

Pixels ReadPixels(NSImage* image) {
  Pixels pixels;
  // GNUstep keeps the bitmap that TIFFRepresentation makes with the image and returns it
  // again after later drawing; a fresh copy always shows what the image shows now.
  NSSize size = [image size];
  NSImage* copy = [[[NSImage alloc] initWithSize:size] autorelease];
  [copy lockFocus];
  [image drawInRect:NSMakeRect(0, 0, size.width, size.height)
           fromRect:NSZeroRect
          operation:NSCompositeCopy
           fraction:1.0];
  [copy unlockFocus];
  NSBitmapImageRep* rep = [NSBitmapImageRep imageRepWithData:[copy TIFFRepresentation]];
  if (rep == nil || [rep bitsPerSample] != 8 || [rep isPlanar]) return pixels;
  pixels.width = static_cast<int>([rep pixelsWide]);
  pixels.height = static_cast<int>([rep pixelsHigh]);
  const int samples = static_cast<int>([rep samplesPerPixel]);
  const bool has_alpha = [rep hasAlpha];
  const int color_samples = has_alpha ? samples - 1 : samples;
  const unsigned char* data = [rep bitmapData];
  pixels.rgba.resize(static_cast<size_t>(pixels.width) * pixels.height);
  for (int row = 0; row < pixels.height; ++row) {
    const unsigned char* line = data + static_cast<size_t>(row) * [rep bytesPerRow];
    for (int x = 0; x < pixels.width; ++x) {
      const unsigned char* p = line + static_cast<size_t>(x) * samples;
      uint32_t r = p[0];
      uint32_t g = color_samples >= 3 ? p[1] : r;
      uint32_t b = color_samples >= 3 ? p[2] : r;
      uint32_t a = has_alpha ? p[samples - 1] : 255;
      // Bitmap rows run from the top; AppKit's y axis from the bottom.
      pixels.rgba[static_cast<size_t>(pixels.height - 1 - row) * pixels.width + x] =
          r << 24 | g << 16 | b << 8 | a;
    }
  }
  return pixels;
}

NSImage* Render(int width, int height, const std::function<void()>& draw) {
  NSImage* image = [[[NSImage alloc] initWithSize:NSMakeSize(width, height)] autorelease];
  [image lockFocus];
  [[NSColor whiteColor] set];
  NSRectFill(NSMakeRect(0, 0, width, height));
  draw();
  [image unlockFocus];
  return image;
}

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

bool WritePng(NSImage* image, const std::string& path) {
  NSBitmapImageRep* rep = [NSBitmapImageRep imageRepWithData:[image TIFFRepresentation]];
  NSData* png = [rep representationUsingType:NSPNGFileType properties:[NSDictionary dictionary]];
  return png != nil && [png writeToFile:[NSString stringWithUTF8String:path.c_str()]
                             atomically:YES];
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
