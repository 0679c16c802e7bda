#import "tests/host/host-support.h"

#ifdef __APPLE__
#include <crt_externs.h>
#include <limits.h>
#include <mach-o/dyld.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>
#else
#include <mutex>

#import "tests/host/ico-image-rep.h"
#endif

#ifdef __APPLE__
namespace {

// Apple's NSHomeDirectory() cannot be replaced from the executable (the bundle binds to
// Foundation's own), and Core Foundation reads CFFIXED_USER_HOME, which overrides the home,
// once when the process starts. So the host starts itself again with that variable naming a
// symbolic link in a folder of its own, and SetHome points the link at the test's home. The
// link always names a folder: an empty one of its own until a test's home, and again after.
constexpr char kFixedHome[] = "CFFIXED_USER_HOME";
constexpr char kHomeLink[] = "KELO_HOST_HOME_LINK";  // set: the link is this process's

const std::string* home_link = nullptr;  // never destroyed: removed at exit

std::string Beside(const std::string& link, const char* name) {
  return link.substr(0, link.rfind('/') + 1) + name;
}

void RemoveHomeLink() {
  unlink(home_link->c_str());
  rmdir(Beside(*home_link, "empty").c_str());
  rmdir(home_link->substr(0, home_link->rfind('/')).c_str());
}

__attribute__((constructor)) void StartWithLinkedHome() {
  if (const char* link = getenv(kHomeLink)) {
    home_link = new std::string(link);
    // A program this one starts keeps the home, but neither owns nor removes the link.
    unsetenv(kHomeLink);
    atexit(RemoveHomeLink);
    return;
  }
  const char* tmp = getenv("TMPDIR");
  std::string folder =
      std::string(tmp != nullptr && tmp[0] != '\0' ? tmp : "/tmp") + "/kelo-host-XXXXXX";
  char executable[PATH_MAX];
  uint32_t size = sizeof executable;
  if (mkdtemp(&folder[0]) == nullptr || _NSGetExecutablePath(executable, &size) != 0) {
    perror("test host: no home of its own");
    return;
  }
  const std::string link = folder + "/home", empty = folder + "/empty";
  if (mkdir(empty.c_str(), 0700) != 0 || symlink(empty.c_str(), link.c_str()) != 0) {
    perror("test host: no home of its own");
    return;
  }
  setenv(kFixedHome, link.c_str(), 1);
  setenv(kHomeLink, link.c_str(), 1);
  execv(executable, *_NSGetArgv());
  perror("test host: cannot start again with a home of its own");
  unlink(link.c_str());
  rmdir(empty.c_str());
  rmdir(folder.c_str());
  unsetenv(kFixedHome);
  unsetenv(kHomeLink);
}

}  // namespace
#else
namespace {

std::mutex home_mutex;
std::string* host_home = new std::string;  // never destroyed: GNUstep may ask at exit

}  // namespace

#ifdef KELO_SANITIZED
// GNUstep, its runtime and the font libraries keep memory until exit by design (and the
// bundle's badge images are never released); leaks of the project's own C++ still count.
extern "C" const char* __lsan_default_suppressions() {
  return "leak:libobjc.so\n"
         "leak:libgnustep-base.so\n"
         "leak:libgnustep-gui.so\n"
         "leak:libgnustep-back\n"
         "leak:libfontconfig.so\n"
         "leak:libcairo.so\n"
         "leak:libX11.so\n";
}
#endif

// The Finder's process reports its user's home; this host reports the test's. The bundle
// calls this function, and the executable's definition wins over GNUstep's.
NSString* NSHomeDirectory(void) {
  std::lock_guard<std::mutex> lock(home_mutex);
  if (host_home->empty()) return NSHomeDirectoryForUser(NSUserName());
  return [NSString stringWithUTF8String:host_home->c_str()];
}

@interface KeloFlippedView : NSView
@end

@implementation KeloFlippedView
- (BOOL)isFlipped {
  return YES;
}
@end

namespace {

// Under GNUstep only a view makes the drawing context flipped; an image's focus never is. The
// picture is taken from a flipped view in a window of its own.
NSImage* RenderInFlippedView(NSRect bounds, const std::function<void()>& draw) {
  NSWindow* window = [[NSWindow alloc] initWithContentRect:bounds
                                                 styleMask:NSBorderlessWindowMask
                                                   backing:NSBackingStoreBuffered
                                                     defer:NO];
  KeloFlippedView* view = [[[KeloFlippedView alloc] initWithFrame:bounds] autorelease];
  [window setContentView:view];
  [view lockFocus];
  [[NSColor whiteColor] set];
  NSRectFill(bounds);
  draw();
  NSBitmapImageRep* shot = [[[NSBitmapImageRep alloc] initWithFocusedViewRect:bounds] autorelease];
  [view unlockFocus];
  [window close];
  NSImage* image = [[[NSImage alloc] initWithSize:bounds.size] autorelease];
  [image addRepresentation:shot];
  return image;
}

}  // namespace
#endif

namespace kelo_host {

#ifdef __APPLE__
void SetHome(const std::string& home) {
  if (home_link == nullptr) return;
  const std::string target = home.empty() ? Beside(*home_link, "empty") : home;
  unlink(home_link->c_str());
  if (symlink(target.c_str(), home_link->c_str()) != 0) {
    perror("test host: cannot point the home link");
  }
}
#else
void SetHome(const std::string& home) {
  std::lock_guard<std::mutex> lock(home_mutex);
  *host_home = home;
}
#endif

bool StartHost(const std::string& bundle_dir, std::string* error) {
  [NSApplication sharedApplication];
#ifndef __APPLE__
  // GNUstep's ImageMagick representation claims "ico" but cannot read the files; the ICO
  // representation goes ahead of it in the list that is searched in order. AppKit reads ICO
  // files itself.
  Class magick = [NSImageRep imageRepClassForFileType:@"ico"];
  if (magick != Nil) [NSImageRep unregisterImageRepClass:magick];
  [NSImageRep registerImageRepClass:[KeloIcoImageRep class]];
  if (magick != Nil) [NSImageRep registerImageRepClass:magick];
#endif
  NSBundle* bundle = [NSBundle bundleWithPath:[NSString stringWithUTF8String:bundle_dir.c_str()]];
  if (bundle == nil || ![bundle load]) {
    *error = "cannot load the bundle " + bundle_dir;
    return false;
  }
  return true;
}

Pixels ReadPixels(NSImage* image) {
  Pixels pixels;
  NSSize size = [image size];
#ifdef __APPLE__
  // Drawn into a bitmap of one pixel per point in a known layout, whatever the scale of the
  // screen that the image's own representations were made for.
  NSBitmapImageRep* rep =
      [[[NSBitmapImageRep alloc] initWithBitmapDataPlanes:nullptr
                                               pixelsWide:static_cast<NSInteger>(size.width)
                                               pixelsHigh:static_cast<NSInteger>(size.height)
                                            bitsPerSample:8
                                          samplesPerPixel:4
                                                 hasAlpha:YES
                                                 isPlanar:NO
                                           colorSpaceName:NSDeviceRGBColorSpace
                                              bytesPerRow:0
                                             bitsPerPixel:0] autorelease];
  [NSGraphicsContext saveGraphicsState];
  [NSGraphicsContext setCurrentContext:[NSGraphicsContext graphicsContextWithBitmapImageRep:rep]];
  [image drawInRect:NSMakeRect(0, 0, size.width, size.height)
           fromRect:NSZeroRect
          operation:NSCompositeCopy
           fraction:1.0];
  [NSGraphicsContext restoreGraphicsState];
#else
  // GNUstep keeps the bitmap that TIFFRepresentation makes with the image and returns it
  // again after later drawing; a fresh copy always shows what the image shows now.
  NSImage* copy = [[[NSImage alloc] initWithSize:size] autorelease];
  [copy lockFocus];
  [image drawInRect:NSMakeRect(0, 0, size.width, size.height)
           fromRect:NSZeroRect
          operation:NSCompositeCopy
           fraction:1.0];
  [copy unlockFocus];
  NSBitmapImageRep* rep = [NSBitmapImageRep imageRepWithData:[copy TIFFRepresentation]];
#endif
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

NSImage* Render(int width, int height, const std::function<void()>& draw, bool flipped) {
  const NSRect bounds = NSMakeRect(0, 0, width, height);
#ifndef __APPLE__
  if (flipped) return RenderInFlippedView(bounds, draw);
#endif
  NSImage* image = [[[NSImage alloc] initWithSize:bounds.size] autorelease];
#ifdef __APPLE__
  [image lockFocusFlipped:flipped ? YES : NO];  // AppKit flips an image's focus on request
#else
  [image lockFocus];
#endif
  [[NSColor whiteColor] set];
  NSRectFill(bounds);
  draw();
  [image unlockFocus];
  return image;
}

bool WritePng(NSImage* image, const std::string& path) {
  NSBitmapImageRep* rep = [NSBitmapImageRep imageRepWithData:[image TIFFRepresentation]];
  NSData* png = [rep representationUsingType:NSPNGFileType properties:[NSDictionary dictionary]];
  return png != nil && [png writeToFile:[NSString stringWithUTF8String:path.c_str()]
                             atomically:YES];
}

}  // namespace kelo_host
