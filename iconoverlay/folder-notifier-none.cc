// Systems without a folder notifier: the change monitor polls.
#include "iconoverlay/change-monitor.h"

namespace kelo {

std::unique_ptr<FolderNotifier> NewPlatformFolderNotifier() { return nullptr; }

}  // namespace kelo
