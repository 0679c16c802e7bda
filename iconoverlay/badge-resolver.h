// Badge resolution: from the path of an item the Finder draws to the badge drawn over
// its icon, through the client's system database and the session's file status database.
//
// This is the one implementation of the logic behind the bundle's GetOverlayIcon: and
// GetSyncStatus: methods; the command-line tool and the tests run the same code on Linux.
// It keeps no state between calls and caches nothing.
//
// Usage (any host; the bundle passes a platform that wraps the receiver):
//
//   kelo::LinuxOverlayPlatform platform;
//   kelo::OverlayBadge result = kelo::ResolveOverlayBadge(platform, "/home/u/Sync/a.txt");
//   if (result.badge != nullptr) {
//     // result.image is the registered image result.badge->image_name; draw it into
//     // kelo::ListViewBadgeRect(frame) or kelo::ImageBrowserBadgeRect(w, h).
//   }
//
//   int code = kelo::ResolveSyncStatus(platform, "/home/u/Sync/a.txt");  // 0..3, 0: none
//
// Steps recorded in an Explanation, in this order, each only when reached, with the number
// each carries as its result:
//   "path"           the item's UTF-8 path, or that it has none          1 has one, 0 none
//   "home"           the home directory                                  0
//   "system_db"      the system database path and whether it exists      1 exists, 0 not
//   "session"        the session lookup: the session found, or none      the lookup's result
//   "session_form_c" the second lookup in form C, when the path is not   the lookup's result
//                    in form C
//   "session_status" the session's status and whether it shows badges    the status
//   "file_status_db" the session's file status database and whether it  1 exists, 0 not
//                    exists
//   "initialize"     making it the current file status database          initialize()'s result
//   "lookup_path"    the form C path the entry is looked up by           1 usable, 0 empty
//   "entry"          the entry found (path, type, state) or none         getFileSyncStat's result
//   "folder_rule"    the subtree query and its answer, or why it was     1 syncing below, else 0
//                    not asked
//   "code"           the sync state code                                 the code
//   "badge"          the badge and image chosen, or none and why         its code, 0 for none
// A step that gave up on a database locked by another connection says so in its detail.
//
// Thread safety: both resolutions may be called from any thread. The file status
// database is a process-wide setting of FileStatusDB, so the steps from its
// initialisation to the end of the state read run under FileStatusDbMutex().
#ifndef KELO_ICONOVERLAY_BADGE_RESOLVER_H_
#define KELO_ICONOVERLAY_BADGE_RESOLVER_H_

#include <array>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "db/file-status-db/file-status-db.h"
#include "db/store/store.h"
#include "db/system-db/system-db.h"
#include "iconoverlay/overlay-platform.h"

namespace kelo {

// Sync state codes and the folder's file type, as the file status database stores them.
inline constexpr int kStateNone = FileStatusDB::kNoState;
inline constexpr int kStateSynced = FileStatusDB::kSynced;
inline constexpr int kStateSyncing = FileStatusDB::kSyncing;
inline constexpr int kStateUnsupported = FileStatusDB::kUnsupported;
inline constexpr int kFileTypeFolder = FileStatusDB::kFolder;
// Session statuses that show badges.
inline constexpr int kSessionStatusFirstActive = store::kFirstActiveStatus;
inline constexpr int kSessionStatusLastActive = store::kLastActiveStatus;

// True for the session statuses whose items get badges (10 and 11).
bool StatusShowsBadges(int status);

// Replaces *folders with the synchronised folders of the sessions whose status shows
// badges, as the system database under the platform's home lists them: trailing slashes
// removed ("/" for a folder of slashes only), sorted, each once; a session without a folder
// is left out. For hosts that are told which folders to watch. Returns 0, also when there
// is no system database (no folders); -1 when it cannot be read.
int BadgedSessionFolders(OverlayPlatform& platform, std::vector<std::string>* folders);

// The badge table, in the order synced, syncing, not supported.
extern const std::array<BadgeSpec, 3> kBadgeTable;

// The row for `code`, or nullptr for any code without a badge (0, negatives, 4 and up).
const BadgeSpec* BadgeForCode(int code);

// "<home>/.Tarnvale/db/sys.sqlite", with exactly one separator after `home`.
std::string SystemDbPath(const std::string& home);

// "<home>/.Tarnvale/session/<id>/db/file-status.sqlite", `home` taken as it is; <id> is
// the low 32 bits of `session_id` as a signed decimal.
std::string FileStatusDbPath(const std::string& home, std::uint64_t session_id);

// The length (1 to 4) of the well-formed UTF-8 character that starts `bytes`, its code point
// in *code_point; 0 when none starts there (a stray or missing continuation byte, an overlong
// form, a surrogate or a code point above U+10FFFF). The one UTF-8 decoder of the core and
// the tool.
size_t DecodeUtf8(std::string_view bytes, char32_t* code_point);

// True when `bytes` is well-formed UTF-8, as DecodeUtf8 reads it. A host whose paths are raw
// bytes passes nullptr for a path that fails.
bool IsValidUtf8(std::string_view bytes);

struct OverlayBadge {
  // The sync state code read for the item; 0 when the resolution ended before reading.
  int code = kStateNone;
  // The badge to draw, or nullptr for none (also when its image could not be loaded).
  const BadgeSpec* badge = nullptr;
  // The registered image of `badge` (platform.FetchImage), non-null exactly when `badge` is.
  const void* image = nullptr;
  // True when a database was locked by another connection past the reader's budget, is being
  // left alone after such a wait, or holds a client's interrupted write: the answer (no
  // badge) is unknown rather than "none". Ask again after kReaderBackOffMs; a host that keeps
  // what it was told must not take it for a change.
  bool gave_up = false;
};

// The session whose synchronised folder holds `path` (UTF-8, as the host gives it), from the
// system database `system_db`: looked up as given and, when the path is not in form C, in
// form C as well; of the two answers the deeper folder (the longer form C, trailing
// slashes aside) wins, and at equal depth the answer for the path as given. Returns the lookup's
// result: negative when either lookup failed (*session is then unspecified), otherwise 0 or
// the positive code of SystemDB::getSessionInfoByFilePath with *session filled, or left at
// its defaults when no session holds the path. Steps "session" and "session_form_c" go to
// `explain`. The resolver and the tool both find sessions through this one function.
int FindSessionForPath(OverlayPlatform& platform, const std::string& system_db,
                       const std::string& path, KELOSessionInfo* session,
                       Explanation* explain = nullptr);

// The logic of GetOverlayIcon:. `utf8_path` is the item's path in UTF-8 as the host gives
// it, or nullptr when the host has no path or the path has no UTF-8 form; either, and a
// path that is not well-formed UTF-8, gives no badge without touching any file. Every
// failure gives no badge, a failed subtree query included (never the folder's own badge).
// In the reader role the wait for locks is budgeted for the whole icon. Creates no database file:
// the system database and the session's file status database must already exist. When `explain` is
// not null, the steps taken are appended to it.
OverlayBadge ResolveOverlayBadge(OverlayPlatform& platform, const char* utf8_path,
                                 Explanation* explain = nullptr);

// The logic of GetSyncStatus:: the sync state code recorded for `utf8_path` in the
// current file status database, with the folder rule applied (a folder recorded as synced
// with a syncing entry below it is syncing). 0 when there is no entry, on any failure, and
// for nullptr. The entry and the subtree are looked up by the path in form C.
int ResolveSyncStatus(OverlayPlatform& platform, const char* utf8_path,
                      Explanation* explain = nullptr);

// The lock that makes "initialise the file status database, then read from it" atomic
// within the process, in the writer role. Recursive, because ResolveOverlayBadge holds it
// while the platform runs ResolveSyncStatus. Take it through CurrentFileStatusDb. In the
// reader role each thread has its own current file status database, and no lock is taken,
// so that no icon waits for another thread that waits for a locked file.
std::recursive_mutex& FileStatusDbMutex();

// Makes `db_path` FileStatusDB's current database for the lifetime of the object, holding
// FileStatusDbMutex() (writer role) from before the initialisation to the end, so that no
// other thread of the process switches the database in between. Every caller that initialises and
// then reads or writes goes through it.
//
//   CurrentFileStatusDb current(db_path);
//   if (current.result() == 0) FileStatusDB::setFileSyncStat(info);
class CurrentFileStatusDb {
 public:
  explicit CurrentFileStatusDb(const std::string& db_path);
  CurrentFileStatusDb(const CurrentFileStatusDb&) = delete;
  CurrentFileStatusDb& operator=(const CurrentFileStatusDb&) = delete;

  // What FileStatusDB::initialize returned.
  int result() const { return result_; }

 private:
  std::unique_lock<std::recursive_mutex> lock_;
  int result_;
};

// Badge geometry, in the host's coordinates.
struct BadgeRect {
  double x;
  double y;
  double width;
  double height;
};

// List view: a square as tall as the icon frame, 5 points right of the frame's origin.
BadgeRect ListViewBadgeRect(const BadgeRect& icon_frame);

// Image browser: the whole item image of the given size.
BadgeRect ImageBrowserBadgeRect(double image_width, double image_height);

}  // namespace kelo

#endif  // KELO_ICONOVERLAY_BADGE_RESOLVER_H_
