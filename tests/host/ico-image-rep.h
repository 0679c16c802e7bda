// An image representation for ICO files, which GNUstep cannot read: each entry that holds
// a PNG image becomes an NSBitmapImageRep of its own size. Entries in the older BMP form
// are skipped (the bundle's badges hold PNG entries only). The GNUstep test host
// registers it before loading the bundle (AppKit reads ICO files itself); the bundle never
// relies on it.
#ifndef KELO_ICONOVERLAY_TEST_HOST_ICO_IMAGE_REP_H_
#define KELO_ICONOVERLAY_TEST_HOST_ICO_IMAGE_REP_H_

#import <AppKit/AppKit.h>

@interface KeloIcoImageRep : NSImageRep
// The PNG entries of `data` as bitmap reps; nil when `data` is not an ICO file with at
// least one readable PNG entry.
+ (NSArray*)imageRepsWithData:(NSData*)data;
@end

#endif  // KELO_ICONOVERLAY_TEST_HOST_ICO_IMAGE_REP_H_
