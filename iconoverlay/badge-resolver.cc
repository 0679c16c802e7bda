#include "iconoverlay/badge-resolver.h"

#include <algorithm>
#include <list>
#include <sstream>
#include <utility>

#include "db/file-status-db/file-status-db.h"
#include "db/reader-mode/reader-mode.h"
#include "db/system-db/system-db.h"

namespace kelo {

const std::array<BadgeSpec, 3> kBadgeTable = {{
    {kStateSynced, "synced", "synced", "ico", "KeloSynced"},
    {kStateSyncing, "syncing", "syncing", "ico", "KeloSyncing"},
    {kStateUnsupported, "unsupported", "unsupp", "ico", "KeloUnsupp"},
}};

bool StatusShowsBadges(int status) { return store::StatusShowsBadges(status); }

int BadgedSessionFolders(OverlayPlatform& platform, std::vector<std::string>* folders) {
  folders->clear();
  const std::string system_db = SystemDbPath(platform.HomeDirectory());
  if (!platform.FileExists(system_db)) return 0;
  std::list<KELOSessionInfo> sessions;
  int rc = SystemDB::initialize(system_db);
  if (rc == 0) rc = SystemDB::getSessionList(sessions);
  SystemDB::destroy();
  if (rc != 0) return -1;
  for (const KELOSessionInfo& session : sessions) {
    if (!StatusShowsBadges(session.status) || session.sync_folder.empty()) continue;
    const std::size_t end = session.sync_folder.find_last_not_of('/');
    folders->push_back(end == std::string::npos ? "/" : session.sync_folder.substr(0, end + 1));
  }
  std::sort(folders->begin(), folders->end());
  folders->erase(std::unique(folders->begin(), folders->end()), folders->end());
  return 0;
}

namespace {

// Appends one step with its result to `explain`; builds no text at all when nobody asked for
// it, so the drawing path pays nothing for explanations.
template <typename... Parts>
void Note(Explanation* explain, const char* step, int result, const Parts&... parts) {
  if (explain == nullptr) return;
  std::ostringstream text;
  (text << ... << parts);
  explain->push_back({step, result, text.str()});
}

// Ends a resolution without a badge, saying why.
OverlayBadge NoBadge(Explanation* explain, const std::string& why) {
  Note(explain, "badge", 0, "none: ", why);
  return OverlayBadge();
}

std::string SessionText(const KELOSessionInfo& info) {
  std::ostringstream text;
  text << "id " << info.id << ", status " << info.status << ", share '" << info.share_name
       << "', folder '" << info.sync_folder << "'";
  return text.str();
}

// The lookup leaves the record at its defaults exactly when no session holds the path.
bool SessionFound(const KELOSessionInfo& info) { return info.id != 0 || info.status != 0; }

// What a lookup that did not fail found: the session, none, or (a positive result) that its
// query failed, so no session could be read.
std::string SessionFoundText(const KELOSessionInfo& info, int rc) {
  if (rc > 0) return "none: the lookup's query failed";
  return SessionFound(info) ? SessionText(info) : "none: no synchronised folder holds the path";
}

// How deep a recorded folder is: the length of its form C without trailing slashes (other
// than a root folder's). Form C, because the two lookups may find folders recorded in different
// forms: a decomposed outer folder is longer in bytes than it is deep.
size_t FolderDepth(OverlayPlatform& platform, const std::string& folder) {
  const size_t end = folder.find_last_not_of('/');
  if (end == std::string::npos) return 0;
  std::string form_c;
  return platform.NormalizeFormC(folder.substr(0, end + 1), &form_c) ? form_c.size() : end + 1;
}

// Why the last database operation of this thread gave up on a lock, for explanations; empty
// when it did not.
std::string WaitText() {
  const ReaderWaitNote wait = LastReaderWait();
  std::ostringstream text;
  if (wait.kind == ReaderWaitNote::kGaveUp) {
    text << "; gave up: '" << wait.db_path << "' stayed locked by another connection for "
         << kReaderBusyBudgetMs << " ms, so it is left alone for " << wait.remaining_ms << " ms";
  } else if (wait.kind == ReaderWaitNote::kHotJournal) {
    text << "; gave up: '" << wait.db_path
         << "' holds a client's interrupted write, which the client's next open rolls back";
  } else if (wait.kind == ReaderWaitNote::kBackingOff) {
    text << "; not asked: '" << wait.db_path
         << "' was locked by another connection a moment ago and is left alone for another "
         << wait.remaining_ms << " ms";
  }
  return text.str();
}

}  // namespace

const BadgeSpec* BadgeForCode(int code) {
  for (const BadgeSpec& row : kBadgeTable) {
    if (row.code == code) return &row;
  }
  return nullptr;
}

std::string SystemDbPath(const std::string& home) {
  static const char kComponent[] = ".Tarnvale/db/sys.sqlite";
  std::string::size_type end = home.find_last_not_of('/');
  if (end == std::string::npos) return home.empty() ? kComponent : std::string("/") + kComponent;
  return home.substr(0, end + 1) + "/" + kComponent;
}

std::string FileStatusDbPath(const std::string& home, std::uint64_t session_id) {
  // The id is printed as a signed 32-bit number, as the client names the folders.
  int32_t folder = static_cast<int32_t>(static_cast<uint32_t>(session_id & 0xffffffffu));
  return home + "/.Tarnvale/session/" + std::to_string(folder) + "/db/file-status.sqlite";
}

size_t DecodeUtf8(std::string_view bytes, char32_t* code_point) {
  if (bytes.empty()) return 0;
  const unsigned char lead = static_cast<unsigned char>(bytes[0]);
  if (lead < 0x80) {
    *code_point = lead;
    return 1;
  }
  size_t extra;
  char32_t cp;
  if (lead >= 0xc2 && lead <= 0xdf) {
    extra = 1;
    cp = lead & 0x1f;
  } else if (lead >= 0xe0 && lead <= 0xef) {
    extra = 2;
    cp = lead & 0x0f;
  } else if (lead >= 0xf0 && lead <= 0xf4) {
    extra = 3;
    cp = lead & 0x07;
  } else {
    return 0;  // continuation byte, overlong lead 0xc0/0xc1, or beyond U+10FFFF
  }
  if (bytes.size() <= extra) return 0;
  for (size_t k = 1; k <= extra; ++k) {
    const unsigned char next = static_cast<unsigned char>(bytes[k]);
    if ((next & 0xc0) != 0x80) return 0;
    cp = (cp << 6) | (next & 0x3f);
  }
  if ((extra == 2 && cp < 0x800) || (extra == 3 && cp < 0x10000) || cp > 0x10ffff ||
      (cp >= 0xd800 && cp <= 0xdfff)) {
    return 0;
  }
  *code_point = cp;
  return extra + 1;
}

bool IsValidUtf8(std::string_view bytes) {
  char32_t cp;
  for (size_t i = 0, n; i < bytes.size(); i += n) {
    n = DecodeUtf8(bytes.substr(i), &cp);
    if (n == 0) return false;
  }
  return true;
}

std::recursive_mutex& FileStatusDbMutex() {
  static std::recursive_mutex* mutex = new std::recursive_mutex;  // outlives static teardown
  return *mutex;
}

namespace {
// FileStatusDbMutex() held in the writer role; nothing in the reader role.
std::unique_lock<std::recursive_mutex> LockFileStatusDb() {
  if (InReaderMode()) return std::unique_lock<std::recursive_mutex>();
  return std::unique_lock<std::recursive_mutex>(FileStatusDbMutex());
}
}  // namespace

int OverlayPlatform::SyncStatus(const char* utf8_path, Explanation* explain) {
  return ResolveSyncStatus(*this, utf8_path, explain);
}

int ResolveSyncStatus(OverlayPlatform& platform, const char* utf8_path, Explanation* explain) {
  if (utf8_path == nullptr || !IsValidUtf8(utf8_path)) {
    Note(explain, "code", kStateNone, "0: the path has no UTF-8 form");
    return kStateNone;
  }
  const auto lock = LockFileStatusDb();
  FileStatusInfo info;
  info.clear();
  const std::string raw(utf8_path);
  // The client records paths precomposed; an empty or unconvertible path stays empty and
  // the read below rejects it.
  std::string lookup;
  if (!raw.empty()) {
    std::string form_c;
    if (platform.NormalizeFormC(raw, &form_c)) lookup = std::move(form_c);
  }
  if (lookup.empty()) {
    Note(explain, "lookup_path", 0, "empty: ",
         raw.empty()
             ? std::string("the path is empty")
             : "the path has no form C within " + std::to_string(kMaxFormCBytes) + " bytes");
  } else {
    Note(explain, "lookup_path", 1, "'", lookup, "'", lookup == raw ? "" : " (form C of the path)");
  }
  const int found = FileStatusDB::getFileSyncStat(lookup, &info);
  if (found != 0) {
    Note(explain, "entry", found, "none recorded for the path (or the read failed)", WaitText());
    Note(explain, "code", kStateNone, kStateNone);
    return kStateNone;
  }
  Note(explain, "entry", found, "path '", info.path, "', type ", info.fileType, ", state ",
       info.syncStatus);
  int code = info.syncStatus;
  if (info.fileType == kFileTypeFolder && info.syncStatus == kStateSynced) {
    // The subtree is asked by the same precomposed path as the entry: the database holds
    // form C, so a decomposed folder name would never match its children.
    const unsigned long long failed = ThreadReadFailures().failed;
    const bool syncing_below = FileStatusDB::isAnySubFileDirSyncing(lookup);
    if (ThreadReadFailures().failed != failed) {
      // Without the answer the folder's own state could be wrong; no badge is never wrong.
      Note(explain, "folder_rule", 0, "asked for a syncing entry below '", lookup,
           "/': the query failed, so no state", WaitText());
      Note(explain, "code", kStateNone, kStateNone);
      return kStateNone;
    }
    Note(explain, "folder_rule", syncing_below ? 1 : 0, "asked for a syncing entry below '", lookup,
         "/': ", syncing_below ? "found one, so the folder shows syncing" : "none");
    if (syncing_below) code = kStateSyncing;
  } else {
    Note(explain, "folder_rule", 0,
         "not asked: only a folder (type 1) recorded as synced (state 1) looks below itself");
  }
  Note(explain, "code", code, code);
  return code;
}

int FindSessionForPath(OverlayPlatform& platform, const std::string& system_db,
                       const std::string& path, KELOSessionInfo* session, Explanation* explain) {
  KELOSessionInfo as_given;
  int rc = SystemDB::getSessionInfoByFilePath(system_db, path, &as_given);
  if (rc < 0) {
    Note(explain, "session", rc, "lookup failed (result ", rc, ")", WaitText());
    return rc;
  }
  Note(explain, "session", rc, SessionFoundText(as_given, rc), " (result ", rc, ")",
       rc > 0 ? WaitText() : std::string());
  *session = as_given;
  // A client that stores its folders precomposed must still be found for a path that
  // arrives decomposed, and a nested folder recorded precomposed must win over the folder
  // around it that the path as given already matches.
  std::string form_c;
  if (!platform.NormalizeFormC(path, &form_c) || form_c == path) return rc;
  KELOSessionInfo precomposed;
  const int rc_c = SystemDB::getSessionInfoByFilePath(system_db, form_c, &precomposed);
  if (rc_c < 0) {
    Note(explain, "session_form_c", rc_c, "lookup of '", form_c, "' failed (result ", rc_c, ")",
         WaitText());
    return rc_c;
  }
  const bool deeper = SessionFound(precomposed) &&
                      (!SessionFound(as_given) || FolderDepth(platform, precomposed.sync_folder) >
                                                      FolderDepth(platform, as_given.sync_folder));
  Note(explain, "session_form_c", rc_c, "'", form_c, "': ", SessionFoundText(precomposed, rc_c),
       " (result ", rc_c, ")", rc_c > 0 ? WaitText() : std::string(),
       deeper ? "; its folder is deeper, so it holds the path" : "");
  if (!deeper) return rc;
  *session = precomposed;
  return rc_c;
}

CurrentFileStatusDb::CurrentFileStatusDb(const std::string& db_path)
    : lock_(LockFileStatusDb()), result_(FileStatusDB::initialize(db_path)) {}

namespace {

// The steps of ResolveOverlayBadge, each noting what it found.

bool FileStep(OverlayPlatform& platform, const char* step, const std::string& path,
              Explanation* explain) {
  const bool exists = platform.FileExists(path);
  Note(explain, step, exists ? 1 : 0, "'", path, "' ", exists ? "exists" : "does not exist");
  return exists;
}

bool SessionShowsBadges(const KELOSessionInfo& session, Explanation* explain) {
  const bool active = StatusShowsBadges(session.status);
  Note(explain, "session_status", session.status, session.status,
       active ? ": shows badges" : ": shows no badges (only 10 and 11 do)");
  return active;
}

// Makes the session's database current and reads the item's state through the platform,
// under the file status lock.
int ReadState(OverlayPlatform& platform, const std::string& file_status_db, const char* utf8_path,
              Explanation* explain) {
  CurrentFileStatusDb current(file_status_db);
  Note(explain, "initialize", current.result(),
       current.result() == 0 ? "made it the current file status database"
                             : "failed; the read goes ahead on the database path it set",
       current.result() == 0 ? std::string() : WaitText());
  return platform.SyncStatus(utf8_path, explain);
}

// The registered image of the state's badge, loaded from the bundle when it is missing.
void ChooseBadge(OverlayPlatform& platform, OverlayBadge* result, Explanation* explain) {
  const BadgeSpec* badge = BadgeForCode(result->code);
  if (badge == nullptr) {
    NoBadge(explain, "state " + std::to_string(result->code) + " has no badge");
    return;
  }
  const void* image = platform.FetchImage(badge->image_name);
  const bool loaded = image == nullptr;
  if (loaded) {
    platform.LoadImage(*badge);
    image = platform.FetchImage(badge->image_name);
  }
  if (image == nullptr) {
    NoBadge(explain, std::string("image ") + badge->image_name +
                         " could not be loaded from resource '" + badge->resource_name + "." +
                         badge->resource_type + "'");
    return;
  }
  result->badge = badge;
  result->image = image;
  Note(explain, "badge", badge->code, badge->badge, " (image ", badge->image_name,
       loaded ? ", just loaded from its resource)" : ")");
}

}  // namespace

namespace {

OverlayBadge ResolveWithinBudget(OverlayPlatform& platform, const char* utf8_path,
                                 Explanation* explain) {
  if (utf8_path == nullptr || !IsValidUtf8(utf8_path)) {
    Note(explain, "path", 0, "none: the host gave no path, or the path has no UTF-8 form");
    return NoBadge(explain, "a path without a UTF-8 form gets no badge");
  }
  const std::string path(utf8_path);
  if (explain != nullptr) {
    std::string form_c;
    const bool precomposed = platform.NormalizeFormC(path, &form_c) && form_c == path;
    Note(explain, "path", 1, "'", path, "'", precomposed ? "" : " (not in form C)");
  }
  const std::string home = platform.HomeDirectory();
  Note(explain, "home", 0, "'", home, "'");

  const std::string system_db = SystemDbPath(home);
  if (!FileStep(platform, "system_db", system_db, explain)) {
    return NoBadge(explain, "no system database, so no folder is synchronised");
  }
  KELOSessionInfo session;
  if (FindSessionForPath(platform, system_db, path, &session, explain) < 0) {
    return NoBadge(explain, "the session lookup failed");
  }
  if (!SessionShowsBadges(session, explain)) {
    return NoBadge(explain, "no active session holds the path");
  }
  const std::string file_status_db = FileStatusDbPath(home, session.id);
  if (!FileStep(platform, "file_status_db", file_status_db, explain)) {
    return NoBadge(explain, "the session has no file status database yet");
  }
  OverlayBadge result;
  result.code = ReadState(platform, file_status_db, utf8_path, explain);
  ChooseBadge(platform, &result, explain);
  return result;
}

}  // namespace

OverlayBadge ResolveOverlayBadge(OverlayPlatform& platform, const char* utf8_path,
                                 Explanation* explain) {
  ReaderIconScope icon;
  const unsigned long long gave_up = ThreadReadFailures().gave_up;
  OverlayBadge result = ResolveWithinBudget(platform, utf8_path, explain);
  if (ThreadReadFailures().gave_up != gave_up) {
    if (result.badge != nullptr) Note(explain, "badge", 0, "none: a step gave up on a lock");
    result = OverlayBadge();
    result.gave_up = true;
  }
  return result;
}

BadgeRect ListViewBadgeRect(const BadgeRect& icon_frame) {
  return {icon_frame.x + 5.0, icon_frame.y, icon_frame.height, icon_frame.height};
}

BadgeRect ImageBrowserBadgeRect(double image_width, double image_height) {
  return {0.0, 0.0, image_width, image_height};
}

}  // namespace kelo
