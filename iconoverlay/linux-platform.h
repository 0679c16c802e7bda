// The Linux host of the badge resolution core, used by the command-line tool and the
// tests.
//
//   home directory   the one given to the constructor; else $HOME; else the password
//                    database entry of the real user id
//   file existence   stat(2), following symbolic links
//   form C           utf8proc (Core Foundation on a Mac, as in the bundle)
//   badge images     a process-wide registry keyed by image name, filled from a resource
//                    folder that stands in for the bundle: the image of resource "synced"
//                    of type "ico" is the file <resource dir>/synced.ico
//
//   kelo::LinuxOverlayPlatform platform(/*home=*/"/tmp/sample-home");
//   kelo::OverlayBadge badge = kelo::ResolveOverlayBadge(platform, path.c_str());
//
// Thread safety: a platform object may be used by one thread at a time; the registry may
// be used from any thread.
#ifndef KELO_ICONOVERLAY_LINUX_PLATFORM_H_
#define KELO_ICONOVERLAY_LINUX_PLATFORM_H_

#include <string>

#include "iconoverlay/overlay-platform.h"

namespace kelo {

// A badge image as the Linux registry holds it: the bytes of the resource file.
struct LinuxBadgeImage {
  std::string image_name;
  std::string file_path;
  std::string bytes;
};

// The process-wide registry of named badge images. An image stays in memory for the life
// of the process, even after Unregister, so handles returned by Fetch never dangle.
class LinuxImageRegistry {
 public:
  LinuxImageRegistry() = delete;

  // The image registered under `name`, or nullptr.
  static const LinuxBadgeImage* Fetch(const std::string& name);
  // Registers `image` under its image_name, replacing an earlier one.
  static const LinuxBadgeImage* Register(LinuxBadgeImage image);
  // Removes the name from the registry; true when it was registered.
  static bool Unregister(const std::string& name);
};

// Unicode normalisation form C of the UTF-8 text `utf8` into *out: Core Foundation on a Mac,
// utf8proc elsewhere; the one conversion of every platform object, the bundle's included.
// False, with *out unspecified, when `utf8` is not well-formed UTF-8 or the result needs
// more than kMaxFormCBytes bytes.
bool NormalizeToFormC(const std::string& utf8, std::string* out);

// Folder of the badge resources that the build knows (the source tree's resources).
std::string DefaultBadgeResourceDir();

class LinuxOverlayPlatform : public OverlayPlatform {
 public:
  // `home`: the home directory to resolve against; empty for the user's own.
  // `resource_dir`: where the badge resources are; empty for DefaultBadgeResourceDir().
  explicit LinuxOverlayPlatform(std::string home = "", std::string resource_dir = "");

  std::string HomeDirectory() override;
  bool FileExists(const std::string& path) override;
  bool NormalizeFormC(const std::string& utf8, std::string* out) override;
  const void* FetchImage(const std::string& image_name) override;
  // Reads <resource dir>/<resource_name>.<resource_type>; registers it when the file can
  // be read and starts like an ICO file (reserved 0, type 1).
  void LoadImage(const BadgeSpec& badge) override;

  // The home directory of the user: $HOME when set and not empty, else the password
  // database entry of the real user id, else "".
  static std::string UserHomeDirectory();
  // The password database entry of the real user id, whatever HOME says; "" without one. A
  // sandboxed process's HOME names its container, not the user's home.
  static std::string PasswordDatabaseHome();

 private:
  std::string home_;
  std::string resource_dir_;
};

}  // namespace kelo

#endif  // KELO_ICONOVERLAY_LINUX_PLATFORM_H_
