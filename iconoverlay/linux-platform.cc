#include "iconoverlay/linux-platform.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#ifdef __APPLE__
#include <CoreFoundation/CoreFoundation.h>
#else
#include <utf8proc.h>
#endif

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#ifndef KELO_BADGE_RESOURCE_DIR
#define KELO_BADGE_RESOURCE_DIR "iconoverlay/resources"
#endif

namespace kelo {
namespace {

struct Registry {
  std::mutex mutex;
  std::map<std::string, const LinuxBadgeImage*> by_name;
  // Owns every image ever registered; nothing is freed before the process ends.
  std::vector<std::unique_ptr<LinuxBadgeImage>> images;
};

Registry& TheRegistry() {
  static Registry* registry = new Registry;  // never destroyed: handles outlive main()
  return *registry;
}

struct FreeDeleter {
  void operator()(void* p) const { std::free(p); }
};

}  // namespace

const LinuxBadgeImage* LinuxImageRegistry::Fetch(const std::string& name) {
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> lock(r.mutex);
  auto it = r.by_name.find(name);
  return it == r.by_name.end() ? nullptr : it->second;
}

const LinuxBadgeImage* LinuxImageRegistry::Register(LinuxBadgeImage image) {
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> lock(r.mutex);
  r.images.push_back(std::make_unique<LinuxBadgeImage>(std::move(image)));
  const LinuxBadgeImage* added = r.images.back().get();
  r.by_name[added->image_name] = added;
  return added;
}

bool LinuxImageRegistry::Unregister(const std::string& name) {
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> lock(r.mutex);
  return r.by_name.erase(name) > 0;
}

std::string DefaultBadgeResourceDir() { return KELO_BADGE_RESOURCE_DIR; }

LinuxOverlayPlatform::LinuxOverlayPlatform(std::string home, std::string resource_dir)
    : home_(std::move(home)),
      resource_dir_(resource_dir.empty() ? DefaultBadgeResourceDir() : std::move(resource_dir)) {}

std::string LinuxOverlayPlatform::UserHomeDirectory() {
  const char* env = std::getenv("HOME");
  if (env != nullptr && env[0] != '\0') return env;
  return PasswordDatabaseHome();
}

std::string LinuxOverlayPlatform::PasswordDatabaseHome() {
  long size = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(size > 0 ? static_cast<size_t>(size) : 16384);
  struct passwd entry;
  struct passwd* found = nullptr;
  if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr ||
      found->pw_dir == nullptr) {
    return "";
  }
  return found->pw_dir;
}

std::string LinuxOverlayPlatform::HomeDirectory() {
  return home_.empty() ? UserHomeDirectory() : home_;
}

bool LinuxOverlayPlatform::FileExists(const std::string& path) {
  struct stat st;
  return !path.empty() && stat(path.c_str(), &st) == 0;
}

#ifdef __APPLE__
// On a Mac the form C is Core Foundation's, so that the tests of the core compare against
// what the Finder gets.
bool NormalizeToFormC(const std::string& utf8, std::string* out) {
  CFStringRef text =
      CFStringCreateWithBytes(kCFAllocatorDefault, reinterpret_cast<const UInt8*>(utf8.data()),
                              static_cast<CFIndex>(utf8.size()), kCFStringEncodingUTF8, false);
  if (text == nullptr) return false;  // not UTF-8
  CFMutableStringRef mutable_text = CFStringCreateMutableCopy(kCFAllocatorDefault, 0, text);
  CFRelease(text);
  if (mutable_text == nullptr) return false;
  CFStringNormalize(mutable_text, kCFStringNormalizationFormC);
  char buffer[kMaxFormCBytes + 1];
  const bool copied =
      CFStringGetCString(mutable_text, buffer, sizeof buffer, kCFStringEncodingUTF8);
  CFRelease(mutable_text);
  if (!copied) return false;
  out->assign(buffer);
  return true;
}
#else
bool NormalizeToFormC(const std::string& utf8, std::string* out) {
  utf8proc_uint8_t* mapped = nullptr;
  utf8proc_ssize_t length =
      utf8proc_map(reinterpret_cast<const utf8proc_uint8_t*>(utf8.data()),
                   static_cast<utf8proc_ssize_t>(utf8.size()), &mapped,
                   static_cast<utf8proc_option_t>(UTF8PROC_STABLE | UTF8PROC_COMPOSE));
  std::unique_ptr<utf8proc_uint8_t, FreeDeleter> holder(mapped);
  if (length < 0 || mapped == nullptr || static_cast<size_t>(length) > kMaxFormCBytes) {
    return false;
  }
  out->assign(reinterpret_cast<const char*>(mapped), static_cast<size_t>(length));
  return true;
}
#endif

bool LinuxOverlayPlatform::NormalizeFormC(const std::string& utf8, std::string* out) {
  return NormalizeToFormC(utf8, out);
}

const void* LinuxOverlayPlatform::FetchImage(const std::string& image_name) {
  return LinuxImageRegistry::Fetch(image_name);
}

void LinuxOverlayPlatform::LoadImage(const BadgeSpec& badge) {
  std::string path = resource_dir_ + "/" + badge.resource_name + "." + badge.resource_type;
  std::ifstream in(path, std::ios::binary);
  if (!in) return;
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  // ICONDIR header: reserved word 0, type word 1 (icon), little-endian.
  static const char kIcoMagic[4] = {0, 0, 1, 0};
  if (in.bad() || bytes.size() < 6 || bytes.compare(0, 4, kIcoMagic, 4) != 0) return;
  LinuxImageRegistry::Register({badge.image_name, path, std::move(bytes)});
}

}  // namespace kelo
