#import "iconoverlay/linux-host/host-support.h"

#include <mutex>

#import "iconoverlay/linux-host/ico-image-rep.h"

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

NSImage* Render(int width, int height, const std::function<void()>& draw, bool flipped) {
  const NSRect bounds = NSMakeRect(0, 0, width, height);
  NSImage* image = [[[NSImage alloc] initWithSize:bounds.size] autorelease];
  if (!flipped) {
    [image lockFocus];
    [[NSColor whiteColor] set];
    NSRectFill(bounds);
    draw();
    [image unlockFocus];
    return image;
  }
  // Only a view makes the drawing context flipped; an image's focus never is.
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
  [image addRepresentation:shot];
  return image;
}

bool WritePng(NSImage* image, const std::string& path) {
  NSBitmapImageRep* rep = [NSBitmapImageRep imageRepWithData:[image TIFFRepresentation]];
  NSData* png = [rep representationUsingType:NSPNGFileType properties:[NSDictionary dictionary]];
  return png != nil && [png writeToFile:[NSString stringWithUTF8String:path.c_str()]
                             atomically:YES];
}

}  // namespace kelo_host
