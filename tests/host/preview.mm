// kelo_overlay_preview OUT.png: builds the demo home in a temporary folder, loads the real
// bundle into the test host and draws a list view and an image browser grid of the demo's
// items through the hooked drawing methods, badges and all, into one PNG picture.

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "cli/demo-home.h"
#import "tests/host/host-classes.h"
#import "tests/host/host-support.h"

namespace {

constexpr int kWidth = 920;
constexpr int kMargin = 20;
constexpr int kRowHeight = 24;
constexpr int kIconSide = 20;
constexpr int kTileSide = 96;
constexpr int kTileWidth = 110;
constexpr int kTileHeight = kTileSide + 34;
constexpr int kColumns = 8;
constexpr int kHeadingHeight = 34;

NSString* Str(const std::string& s) { return [NSString stringWithUTF8String:s.c_str()]; }

// Draws `text` at `at` (or only measures it when `draw` is false) and returns its width.
// GNUstep draws a run in one font, so characters the system font lacks (the CJK sample
// name) go in runs of their own, in a fallback font when one is installed.
CGFloat Text(NSString* text, NSPoint at, CGFloat size, NSColor* color, bool bold = false,
             bool draw = true) {
  NSFont* main_font = bold ? [NSFont boldSystemFontOfSize:size] : [NSFont systemFontOfSize:size];
  NSFont* fallback = [NSFont fontWithName:@"DroidSansFallback" size:size];
  NSCharacterSet* covered = [main_font coveredCharacterSet];
  CGFloat x = at.x;
  NSUInteger start = 0;
  while (start < [text length]) {
    const bool in_main =
        fallback == nil || [covered characterIsMember:[text characterAtIndex:start]];
    NSUInteger end = start + 1;
    while (end < [text length] &&
           (fallback == nil || [covered characterIsMember:[text characterAtIndex:end]]) ==
               in_main) {
      ++end;
    }
    NSString* run = [text substringWithRange:NSMakeRange(start, end - start)];
    NSDictionary* style = [NSDictionary
        dictionaryWithObjectsAndKeys:in_main ? main_font : fallback, NSFontAttributeName, color,
                                     NSForegroundColorAttributeName, nil];
    if (draw) [run drawAtPoint:NSMakePoint(x, at.y) withAttributes:style];
    x += [run sizeWithAttributes:style].width;
    start = end;
  }
  return x - at.x;
}

// A document page with a folded corner, or a folder, filling a square of side `side`.
NSImage* ItemIcon(bool folder, int side) {
  NSImage* icon = [[[NSImage alloc] initWithSize:NSMakeSize(side, side)] autorelease];
  const CGFloat u = side / 16.0;
  [icon lockFocus];
  NSBezierPath* shape = [NSBezierPath bezierPath];
  if (folder) {
    [shape moveToPoint:NSMakePoint(1 * u, 2 * u)];
    [shape lineToPoint:NSMakePoint(15 * u, 2 * u)];
    [shape lineToPoint:NSMakePoint(15 * u, 12 * u)];
    [shape lineToPoint:NSMakePoint(7 * u, 12 * u)];
    [shape lineToPoint:NSMakePoint(6 * u, 13.5 * u)];
    [shape lineToPoint:NSMakePoint(1 * u, 13.5 * u)];
    [shape closePath];
    [[NSColor colorWithCalibratedRed:0.45 green:0.68 blue:0.92 alpha:1] set];
    [shape fill];
    [[NSColor colorWithCalibratedRed:0.62 green:0.8 blue:0.97 alpha:1] set];
    NSRectFill(NSMakeRect(1 * u, 2 * u, 14 * u, 8.5 * u));
  } else {
    [shape moveToPoint:NSMakePoint(3 * u, 1 * u)];
    [shape lineToPoint:NSMakePoint(13 * u, 1 * u)];
    [shape lineToPoint:NSMakePoint(13 * u, 11 * u)];
    [shape lineToPoint:NSMakePoint(9 * u, 15 * u)];
    [shape lineToPoint:NSMakePoint(3 * u, 15 * u)];
    [shape closePath];
    [[NSColor colorWithCalibratedWhite:0.99 alpha:1] set];
    [shape fill];
    [[NSColor colorWithCalibratedWhite:0.55 alpha:1] set];
    [shape setLineWidth:std::max<CGFloat>(1, u / 2)];
    [shape stroke];
    [[NSColor colorWithCalibratedWhite:0.8 alpha:1] set];
    for (int line = 0; line < 4; ++line) {
      NSRectFill(NSMakeRect(5 * u, (3 + 2 * line) * u, 6 * u, std::max<CGFloat>(1, u / 2)));
    }
  }
  [icon unlockFocus];
  return icon;
}

bool IsFolder(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string Shorten(const std::string& text, size_t limit) {
  NSString* s = Str(text);
  if ([s length] <= limit) return text;
  return std::string([[s substringToIndex:limit - 1] UTF8String]) + "\xE2\x80\xA6";
}

void DrawHeading(const char* text, int top) {
  Text(Str(text), NSMakePoint(kMargin, top - 24), 15, [NSColor blackColor], true);
}

// One list-view row per sample: the cell's icon (through the hooked drawIconWithFrame:),
// the path below the home folder and what the sample shows. Returns the next top.
int DrawListView(const std::vector<kelo::DemoSample>& samples, const std::string& home, int top) {
  DrawHeading("List view", top);
  top -= kHeadingHeight;
  for (size_t i = 0; i < samples.size(); ++i) {
    const int y = top - static_cast<int>(i + 1) * kRowHeight;
    if (i % 2 == 1) {
      [[NSColor colorWithCalibratedRed:0.94 green:0.96 blue:1 alpha:1] set];
      NSRectFill(NSMakeRect(kMargin, y, kWidth - 2 * kMargin, kRowHeight));
    }
    TListViewIconAndTextCell* cell =
        [[[TListViewIconAndTextCell alloc] initWithPath:Str(samples[i].path)] autorelease];
    [cell setIcon:ItemIcon(IsFolder(samples[i].path), kIconSide)];
    [cell drawIconWithFrame:NSMakeRect(kMargin + 6, y + 2, kIconSide, kIconSide)];
    const std::string relative = samples[i].path.substr(home.size() + 1);
    Text(Str(Shorten(relative, 52)), NSMakePoint(kMargin + 40, y + 5), 12, [NSColor blackColor]);
    Text(Str(Shorten(samples[i].what, 62)), NSMakePoint(kMargin + 470, y + 5), 11,
         [NSColor darkGrayColor]);
  }
  return top - static_cast<int>(samples.size()) * kRowHeight - kMargin;
}

// The image browser: each item's image drawn by its cell (through the hooked drawImage:)
// into a tile, with the item's name below.
void DrawImageBrowser(const std::vector<kelo::DemoSample>& samples, int top) {
  DrawHeading("Image browser", top);
  top -= kHeadingHeight;
  for (size_t i = 0; i < samples.size(); ++i) {
    const int x = kMargin + static_cast<int>(i % kColumns) * kTileWidth;
    const int y = top - static_cast<int>(i / kColumns + 1) * kTileHeight;
    IKImageBrowserCell* cell = [[[IKImageBrowserCell alloc]
        initWithItem:[HostItem itemWithPath:Str(samples[i].path)]] autorelease];
    NSImage* image = ItemIcon(IsFolder(samples[i].path), kTileSide);
    IKImageWrapper* wrapper = [[[IKImageWrapper alloc] initWithNSImage:image] autorelease];
    NSImage* tile = kelo_host::Render(kTileSide, kTileSide, [&] { [cell drawImage:wrapper]; });
    [tile drawInRect:NSMakeRect(x + (kTileWidth - kTileSide) / 2, y + 30, kTileSide, kTileSide)
            fromRect:NSZeroRect
           operation:NSCompositeSourceOver
            fraction:1.0];
    NSString* name = Str(Shorten([[Str(samples[i].path) lastPathComponent] UTF8String], 17));
    const CGFloat width = Text(name, NSZeroPoint, 10, [NSColor blackColor], false, false);
    Text(name, NSMakePoint(x + (kTileWidth - width) / 2, y + 12), 10, [NSColor blackColor]);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s OUT.png\n", argv[0]);
    return 2;
  }
  std::string home = (std::filesystem::temp_directory_path() / "kelo-preview-XXXXXX").string();
  if (mkdtemp(home.data()) == nullptr) {
    std::perror("mkdtemp");
    return 1;
  }
  NSAutoreleasePool* pool = [NSAutoreleasePool new];
  kelo_host::SetHome(home);
  std::string error;
  std::vector<kelo::DemoSample> samples;
  bool written = false;
  if (kelo_host::StartHost(KELO_PREVIEW_BUNDLE_DIR, &error) &&
      kelo::BuildDemoHome(home, &samples, &error) == 0) {
    const int rows = static_cast<int>(samples.size());
    const int grid_rows = (rows + kColumns - 1) / kColumns;
    const int height = kMargin + kHeadingHeight + rows * kRowHeight + kMargin + kHeadingHeight +
                       grid_rows * kTileHeight + kMargin;
    NSImage* picture = kelo_host::Render(kWidth, height, [&] {
      const int next = DrawListView(samples, home, height - kMargin);
      DrawImageBrowser(samples, next);
    });
    written = kelo_host::WritePng(picture, argv[1]);
    if (!written) error = std::string("cannot write ") + argv[1];
  }
  if (!written) std::fprintf(stderr, "%s\n", error.c_str());
  [pool drain];
  std::error_code ignored;
  std::filesystem::remove_all(home, ignored);
  return written ? 0 : 1;
}
