#import "tests/host/ico-image-rep.h"

#include <cstdint>
#include <cstring>

namespace {

constexpr size_t kHeaderSize = 6;
constexpr size_t kEntrySize = 16;
constexpr unsigned char kPngSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};

uint32_t Little(const unsigned char* p, int bytes) {
  uint32_t value = 0;
  for (int i = bytes - 1; i >= 0; --i) value = (value << 8) | p[i];
  return value;
}

// ICONDIR: reserved 0, type 1 (icon), entry count; then the entries.
size_t EntryCount(NSData* data) {
  const unsigned char* bytes = static_cast<const unsigned char*>([data bytes]);
  size_t length = [data length];
  if (length < kHeaderSize || Little(bytes, 2) != 0 || Little(bytes + 2, 2) != 1) return 0;
  size_t count = Little(bytes + 4, 2);
  return length >= kHeaderSize + count * kEntrySize ? count : 0;
}

}  // namespace

@implementation KeloIcoImageRep

+ (NSArray*)imageUnfilteredFileTypes {
  return [NSArray arrayWithObject:@"ico"];
}

+ (NSArray*)imageUnfilteredTypes {
  return [NSArray arrayWithObject:@"com.microsoft.ico"];
}

+ (BOOL)canInitWithData:(NSData*)data {
  return EntryCount(data) > 0;
}

+ (NSArray*)imageRepsWithData:(NSData*)data {
  size_t count = EntryCount(data);
  const unsigned char* bytes = static_cast<const unsigned char*>([data bytes]);
  NSMutableArray* reps = [NSMutableArray array];
  for (size_t i = 0; i < count; ++i) {
    const unsigned char* entry = bytes + kHeaderSize + i * kEntrySize;
    size_t size = Little(entry + 8, 4);
    size_t offset = Little(entry + 12, 4);
    if (offset > [data length] || size > [data length] - offset || size < sizeof kPngSignature ||
        std::memcmp(bytes + offset, kPngSignature, sizeof kPngSignature) != 0) {
      continue;
    }
    NSData* png = [data subdataWithRange:NSMakeRange(offset, size)];
    NSBitmapImageRep* rep = [NSBitmapImageRep imageRepWithData:png];
    if (rep != nil) [reps addObject:rep];
  }
  return [reps count] > 0 ? reps : nil;
}

+ (id)imageRepWithData:(NSData*)data {
  return [[self imageRepsWithData:data] lastObject];
}

@end
