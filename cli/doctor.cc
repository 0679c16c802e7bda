#include "cli/doctor.h"

#include <dirent.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "cli/tool-common.h"
#include "db/reader-mode/reader-mode.h"
#include "db/sqlite-owners.h"
#include "db/store/store.h"
#include "db/system-db/system-db.h"
#include "iconoverlay/badge-resolver.h"
#include "iconoverlay/linux-platform.h"

namespace kelo {

const char kDoctorUsage[] =
    "usage: kelo-overlay doctor [--home DIR] [--json]\n"
    "\n"
    "Checks everything that decides which badges the Finder plug-in draws: the system\n"
    "database, every session and its folder on disk, and the file status database of\n"
    "every session that shows badges. Prints each finding with its severity (error:\n"
    "badges cannot appear; warning: some badges wrong, missing or slow; note), the\n"
    "session and file, a count, examples and what would fix it. Only reads: every file\n"
    "is left as it was.\n"
    "\n"
    "  --home DIR   check the client databases under DIR/.Tarnvale (default: your home)\n"
    "  --json       print the findings as one JSON object\n"
    "\n"
    "Exit status: 0 when there is no error or warning, 1 when there is, 2 for usage.\n";

namespace {

const char kCommand[] = "doctor";
constexpr size_t kMaxExamples = 3;
// A check waits this long for a lock the client holds before it reports the file unreadable.
constexpr int kBusyTimeoutMs = 5000;

const char* const kSeverityNames[] = {"error", "warning", "note"};

// The kinds of finding, each with its stable code (what `--json` users match on; the list is
// docs/doctor.md), its severity, its message, in which each "{}" is filled in order when a
// finding is reported, and its fix. Kinds that share a code differ only in the cause they
// name; a code has one severity.
constexpr DoctorFindingKind kRegistryMissing{
    "registry-missing", kDoctorError,
    "there is no system database: the plug-in draws no badge at all",
    "start the sync client and set up a synchronised folder"};
constexpr DoctorFindingKind kRegistryNotRegular{
    "registry-unreadable", kDoctorError, "the system database {}: no badge can be read from it",
    "move it away; the client creates it again and adds its sessions"};
constexpr DoctorFindingKind kRegistryNoAccess{
    "registry-unreadable", kDoctorError,
    "the system database cannot be read ({}): no badge can be read from it",
    "let the user read it (chmod u+r)"};
constexpr DoctorFindingKind kRegistryCannotOpen{"registry-unreadable", kDoctorError,
                                                "the system database cannot be opened ({})",
                                                "check its permissions and those of its folder"};
constexpr DoctorFindingKind kRegistryReadFailed{
    "registry-unreadable", kDoctorError, "the system database cannot be read ({})",
    "try again when the client is idle; if it persists, move it away; the client creates it "
    "again and adds its sessions"};
constexpr DoctorFindingKind kRegistrySessionsUnreadable{"registry-unreadable", kDoctorError,
                                                        "the sessions cannot be read ({})",
                                                        "try again when the client is idle"};
constexpr DoctorFindingKind kRegistryHotJournal{
    "registry-hot-journal", kDoctorError,
    "the system database holds a write the client did not finish (a hot journal): no badge "
    "can be read from it until the client opens it again, which rolls the write back",
    "start the sync client; keep the -journal file beside it, which the rollback needs"};
constexpr DoctorFindingKind kRegistryNotDatabase{
    "registry-not-database", kDoctorError, "the system database is not an SQLite database",
    "move it away; the client creates it again and adds its sessions"};
constexpr DoctorFindingKind kRegistryDamaged{
    "registry-damaged", kDoctorError, "the system database is damaged (SQLite's quick check fails)",
    "restore it from a backup, or move it away; the client creates it again and adds its "
    "sessions"};
constexpr DoctorFindingKind kRegistryNoSessionTable{
    "registry-no-session-table", kDoctorError,
    "the system database has no session_table: no folder shows badges",
    "start the sync client; it creates its tables"};
constexpr DoctorFindingKind kRegistryNineColumns{
    "registry-nine-columns", kDoctorWarning,
    "session_table has the nine-column layout (no error and computer_name columns): badges "
    "appear, but the client cannot add a session to it (no column named error)",
    "move the file away and let the client create it again with its sessions"};
constexpr DoctorFindingKind kRegistryColumns{
    "registry-columns", kDoctorError,
    "{} columns of session_table are not where the lookup by path reads them: sessions are "
    "not found, or found wrong",
    "move the file away and let the client create it again with its sessions"};
constexpr DoctorFindingKind kRegistryColumnsListed{
    "registry-columns-listed", kDoctorWarning,
    "{} columns of session_table are not where the lookup by path reads them: sessions are "
    "listed with wrong values",
    "move the file away and let the client create it again with its sessions"};
constexpr DoctorFindingKind kSessionInactive{
    "session-inactive", kDoctorNote,
    "status {}: this session shows no badges (only status 10 and 11 do)",
    "nothing, if it is paused on purpose; the client sets 10 or 11 when it syncs"};
constexpr DoctorFindingKind kSessionNoFolder{"session-no-folder", kDoctorWarning,
                                             "no folder is recorded: the session holds no path",
                                             "set the session up again in the client"};
constexpr DoctorFindingKind kSessionFolderEmpty{
    "session-folder-not-absolute", kDoctorWarning,
    "the folder is recorded empty: the session holds every path no other session holds",
    "set the session up again in the client"};
constexpr DoctorFindingKind kSessionFolderRelative{
    "session-folder-not-absolute", kDoctorWarning,
    "the folder is not an absolute path: it holds none of the Finder's paths",
    "set the session up again in the client"};
constexpr DoctorFindingKind kSessionTrailingSlash{
    "session-trailing-slash", kDoctorNote,
    "the folder is recorded with a trailing slash: it holds the same paths as without one "
    "here, but earlier versions of the plug-in gave the folder's own icon no badge",
    "record the folder without the trailing slash"};
constexpr DoctorFindingKind kSessionFolderMissing{
    "session-folder-missing", kDoctorWarning,
    "the folder does not exist on disk: nothing in it can be drawn",
    "if it was moved or renamed, point the session at its new place"};
constexpr DoctorFindingKind kSessionFolderForm{
    "session-folder-form", kDoctorNote,
    "the folder is recorded in Unicode form C but named in another form on disk: the "
    "Finder's paths are found through their form C",
    "nothing needed"};
constexpr DoctorFindingKind kSessionFolderNotFormC{
    "session-folder-not-form-c", kDoctorWarning,
    "the folder is recorded in another Unicode form than on disk, and not in form C: no path "
    "the Finder gives matches it",
    "record the folder in Unicode form C"};
constexpr DoctorFindingKind kSessionNested{
    "session-nested", kDoctorNote,
    "{} inside this one: the paths below an inner folder belong to its session (the deepest "
    "folder wins){}",
    "nothing, if this is meant; otherwise remove the inner session in the client"};
constexpr DoctorFindingKind kSessionDuplicate{
    "session-duplicate", kDoctorWarning,
    "{} the same folder (ASCII letters compared without case): only one of them is used{}",
    "remove the sessions that should not be there in the client"};
constexpr DoctorFindingKind kFstatMissing{
    "fstat-missing", kDoctorWarning,
    "the session has no file status database yet: nothing in its folder gets a badge until "
    "the client creates it",
    "let the client sync the session once; `kelo-overlay set-state` creates one by hand"};
constexpr DoctorFindingKind kFstatNotRegular{
    "fstat-unreadable", kDoctorError, "the file status database {}: no badge can be read from it",
    "move it away; the client creates it again at its next sync of the session"};
constexpr DoctorFindingKind kFstatNoAccess{
    "fstat-unreadable", kDoctorError,
    "the file status database cannot be read ({}): no badge can be read from it",
    "let the user read it (chmod u+r)"};
constexpr DoctorFindingKind kFstatCannotOpen{"fstat-unreadable", kDoctorError,
                                             "the file status database cannot be opened ({})",
                                             "check its permissions and those of its folder"};
constexpr DoctorFindingKind kFstatReadFailed{
    "fstat-unreadable", kDoctorError, "the file status database cannot be read ({})",
    "try again when the client is idle; if it persists, move it away; the client creates it "
    "again at its next sync of the session"};
constexpr DoctorFindingKind kFstatEntriesUnreadable{
    "fstat-unreadable", kDoctorError, "the entries cannot be read ({})",
    "try again when the client is idle; if it persists, move it away; the client creates it "
    "again at its next sync of the session"};
constexpr DoctorFindingKind kFstatHotJournal{
    "fstat-hot-journal", kDoctorError,
    "the file status database holds a write the client did not finish (a hot journal): no "
    "badge can be read from it until the client opens it again, which rolls the write back",
    "start the sync client; keep the -journal file beside it, which the rollback needs"};
constexpr DoctorFindingKind kFstatNotDatabase{
    "fstat-not-database", kDoctorError, "the file status database is not an SQLite database",
    "move it away; the client creates it again at its next sync of the session"};
constexpr DoctorFindingKind kFstatDamaged{
    "fstat-damaged", kDoctorError,
    "the file status database is damaged (SQLite's quick check fails)",
    "restore it from a backup, or move it away; the client creates it again at its next sync "
    "of the session"};
constexpr DoctorFindingKind kFstatNoTable{
    "fstat-no-table", kDoctorError,
    "the file status database has no fstatinfo table: nothing in the session's folder gets a "
    "badge",
    "move it away; the client creates it again at its next sync of the session"};
constexpr DoctorFindingKind kFstatColumns{
    "fstat-columns", kDoctorError,
    "fstatinfo does not start with the columns id, path, fileType and syncStatus that the "
    "lookup reads by position: states are read wrong",
    "move it away; the client creates it again at its next sync of the session"};
constexpr DoctorFindingKind kFstatJournal{
    "fstat-journal", kDoctorNote,
    "journal mode {}: a write transaction of the client blocks the Finder's reads of this "
    "database (they wait up to {} ms, then its icons get no badge for a second)",
    "the client may switch the file to WAL (PRAGMA journal_mode=WAL), in which reads do not "
    "wait for a writer"};
constexpr DoctorFindingKind kFstatNoIndex{
    "fstat-no-index", kDoctorWarning,
    "the lookup indexes are missing ({}): every {} reads all {} entries; one took {} here",
    "the client builds them when it next opens the database; until then icons are slow"};
constexpr DoctorFindingKind kEntriesOutside{
    "entries-outside", kDoctorWarning, "{} outside the session's folder: never drawn",
    "the client should remove them (or record them in the right session)"};
constexpr DoctorFindingKind kEntriesOtherSession{
    "entries-other-session", kDoctorWarning,
    "{} inside the folder of a session nested in this one: that session's database gives "
    "their badges",
    "the client should record them in the inner session's database"};
constexpr DoctorFindingKind kEntriesNotFormC{
    "entries-not-form-c", kDoctorWarning,
    "{} not in Unicode form C: never found, since lookups use form C",
    "the client should record paths in form C"};
constexpr DoctorFindingKind kEntriesCaseVariants{
    "entries-case-variants", kDoctorWarning,
    "{} from another only in the case of ASCII letters: a lookup finds all of them and only "
    "the last one counts",
    "the client should keep one entry per item"};
constexpr DoctorFindingKind kEntriesNotUtf8{
    "entries-not-utf8", kDoctorWarning,
    "{} not UTF-8: never found, since the Finder's paths are UTF-8",
    "the client should record paths in UTF-8"};
constexpr DoctorFindingKind kEntriesGone{
    "entries-gone", kDoctorNote, "{} a file or folder no longer on disk: never drawn",
    "nothing for the badges; the client removes them when it next syncs"};
constexpr DoctorFindingKind kEntriesSyncing{
    "entries-syncing", kDoctorNote, "{} recorded syncing",
    "nothing while the client syncs; if it no longer does, `kelo-overlay reset-syncing PATH` "
    "records them synced"};
constexpr DoctorFindingKind kFoldersShownSyncing{
    "folders-shown-syncing", kDoctorNote, "{} syncing, because an entry below is syncing",
    "nothing while the client syncs; if it no longer does, `kelo-overlay reset-syncing PATH` "
    "records them synced"};

constexpr const DoctorFindingKind* kKinds[] = {
    &kRegistryMissing,        &kRegistryNotRegular,     &kRegistryNoAccess,
    &kRegistryCannotOpen,     &kRegistryReadFailed,     &kRegistrySessionsUnreadable,
    &kRegistryHotJournal,     &kRegistryNotDatabase,    &kRegistryDamaged,
    &kRegistryNoSessionTable, &kRegistryNineColumns,    &kRegistryColumns,
    &kRegistryColumnsListed,  &kSessionInactive,        &kSessionNoFolder,
    &kSessionFolderEmpty,     &kSessionFolderRelative,  &kSessionTrailingSlash,
    &kSessionFolderMissing,   &kSessionFolderForm,      &kSessionFolderNotFormC,
    &kSessionNested,          &kSessionDuplicate,       &kFstatMissing,
    &kFstatNotRegular,        &kFstatNoAccess,          &kFstatCannotOpen,
    &kFstatReadFailed,        &kFstatEntriesUnreadable, &kFstatHotJournal,
    &kFstatNotDatabase,       &kFstatDamaged,           &kFstatNoTable,
    &kFstatColumns,           &kFstatJournal,           &kFstatNoIndex,
    &kEntriesOutside,         &kEntriesOtherSession,    &kEntriesNotFormC,
    &kEntriesCaseVariants,    &kEntriesNotUtf8,         &kEntriesGone,
    &kEntriesSyncing,         &kFoldersShownSyncing};

// The kinds with which a database check fails, one set per database.
struct DatabaseKinds {
  const DoctorFindingKind& not_regular;  // {}: why it cannot be read as it is
  const DoctorFindingKind& no_access;    // {}: the system's reason
  const DoctorFindingKind& cannot_open;  // {}: SQLite's reason
  const DoctorFindingKind& read_failed;  // {}: SQLite's reason
  const DoctorFindingKind& hot_journal;
  const DoctorFindingKind& not_database;
  const DoctorFindingKind& damaged;
};
const DatabaseKinds kRegistryKinds{kRegistryNotRegular, kRegistryNoAccess,   kRegistryCannotOpen,
                                   kRegistryReadFailed, kRegistryHotJournal, kRegistryNotDatabase,
                                   kRegistryDamaged};
const DatabaseKinds kFstatKinds{kFstatNotRegular, kFstatNoAccess,   kFstatCannotOpen,
                                kFstatReadFailed, kFstatHotJournal, kFstatNotDatabase,
                                kFstatDamaged};

struct Finding {
  const DoctorFindingKind* kind;
  std::string message;  // the kind's, filled in
  std::string file;     // the file it concerns, or ""
  uint64_t count = 1;
  std::vector<std::string> examples;
  DoctorSeverity severity() const { return kind->severity; }
};

// The one way to report: a finding of `kind` about `file`, the "{}" of its message filled
// with `args` in order.
void Report(std::vector<Finding>* findings, const DoctorFindingKind& kind, const std::string& file,
            const std::vector<std::string>& args = {}, uint64_t count = 1,
            std::vector<std::string> examples = {}) {
  std::string message;
  size_t next = 0;
  for (const char* at = kind.message; *at != '\0'; ++at) {
    if (at[0] == '{' && at[1] == '}') {
      message += next < args.size() ? args[next++] : std::string();
      ++at;
    } else {
      message += *at;
    }
  }
  findings->push_back({&kind, std::move(message), file, count, std::move(examples)});
}

// A count of things of one kind and the first few of them.
struct Tally {
  uint64_t count = 0;
  std::vector<std::string> examples;
  void Add(std::string_view example) {
    ++count;
    if (examples.size() < kMaxExamples) examples.push_back(Printable(example));
  }
};

struct Session {
  int64_t id = 0;
  std::string share;
  bool has_status = false;
  int64_t status = 0;
  bool has_folder = false;
  std::string folder;  // as recorded
  std::string key;     // the folder without trailing slashes, ASCII letters in lower case
  // Recorded, and absolute: the only folders that hold any path the Finder gives.
  bool HasUsableFolder() const { return has_folder && !folder.empty() && folder[0] == '/'; }
  bool ShowsBadges() const { return has_status && store::StatusShowsBadges(status); }
  std::string Name() const {
    return "session " + std::to_string(id) + " (" + Printable(share) + ", status " +
           (has_status ? std::to_string(status) : std::string("none")) + ")";
  }
};

struct Block {
  const Session* session = nullptr;  // nullptr: the system database
  std::vector<Finding> findings;
};

std::string AsciiLower(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

std::string WithoutTrailingSlashes(std::string_view folder) {
  while (!folder.empty() && folder.back() == '/') folder.remove_suffix(1);
  return std::string(folder);
}

// True when `path` (ASCII letters in lower case) is `key` or lies below it.
bool Holds(std::string_view key, std::string_view path) {
  return store::FolderHoldsPath(key, path);
}

bool HasNonAscii(std::string_view text) {
  return std::any_of(text.begin(), text.end(), [](char c) { return (c & 0x80) != 0; });
}

// The form C of well-formed UTF-8 `text`, or `text` itself when it has none (not UTF-8, or
// longer than any path the Finder gives).
std::string FormC(std::string_view text) {
  std::string out;
  if (!HasNonAscii(text) || !NormalizeToFormC(std::string(text), &out)) return std::string(text);
  return out;
}

// "1 entry is" or "3 entries are": `count` with the phrase that agrees with it.
std::string Counted(uint64_t count, const char* one, const char* many) {
  return std::to_string(count) + " " + (count == 1 ? one : many);
}

std::string Milliseconds(double ms) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f ms", ms);
  return text;
}

// Where a recorded path is on disk: under its own bytes, under a name that differs only
// in Unicode form (as a file system that keeps names as given shows it), or nowhere.
// Folder listings and the folders already found are kept, so the entries of one folder
// cost one listing between them.
class DiskNames {
 public:
  enum Presence { kExact, kOtherForm, kMissing };

  // `exact_spelling`: compare the names with those the folders list even when the file
  // system finds the path as given (one that ignores the Unicode form does).
  Presence Find(const std::string& path, bool exact_spelling, std::string* on_disk) {
    struct stat st;
    const bool non_ascii = HasNonAscii(path);
    if ((!exact_spelling || !non_ascii) && lstat(path.c_str(), &st) == 0) {
      *on_disk = path;
      return kExact;
    }
    if (!non_ascii || !Resolve(path, /*remember=*/false, on_disk)) return kMissing;
    return *on_disk == path ? kExact : kOtherForm;
  }

 private:
  struct Listing {
    std::unordered_set<std::string> names;
    std::unordered_map<std::string, std::string> by_form_c;  // form C -> name on disk
  };

  // The spelling on disk of `path` (absolute, no trailing slash), component by component.
  // Folders are remembered (`remember`), the last component of an entry is not.
  bool Resolve(const std::string& path, bool remember, std::string* on_disk) {
    const auto known = resolved_.find(path);
    if (known != resolved_.end()) {
      *on_disk = known->second;
      return !on_disk->empty();
    }
    const size_t slash = path.rfind('/');
    std::string parent;
    bool found = slash != std::string::npos &&
                 (slash == 0 || Resolve(path.substr(0, slash), /*remember=*/true, &parent));
    if (found) {
      const Listing& listing = List(parent.empty() ? "/" : parent);
      const std::string name = path.substr(slash + 1);
      if (listing.names.count(name) != 0) {
        *on_disk = parent + "/" + name;
      } else {
        const auto same = listing.by_form_c.find(FormC(name));
        found = same != listing.by_form_c.end();
        if (found) *on_disk = parent + "/" + same->second;
      }
    }
    if (!found) on_disk->clear();
    if (remember) resolved_.emplace(path, *on_disk);
    return found;
  }

  const Listing& List(const std::string& folder) {
    auto [it, inserted] = listings_.try_emplace(folder);
    if (inserted) {
      if (DIR* dir = opendir(folder.c_str())) {
        while (const dirent* entry = readdir(dir)) {
          it->second.names.insert(entry->d_name);
          it->second.by_form_c.emplace(FormC(entry->d_name), entry->d_name);
        }
        closedir(dir);
      }
    }
    return it->second;
  }

  std::unordered_map<std::string, Listing> listings_;
  std::unordered_map<std::string, std::string> resolved_;  // "" for nowhere
};

// A progress line on standard error for checks that run longer than a second, when
// standard error is a terminal.
class Progress {
 public:
  Progress() : terminal_(isatty(STDERR_FILENO) == 1) {}
  void Begin(std::string label) {
    label_ = std::move(label);
    start_ = std::chrono::steady_clock::now();
  }
  void Tick(uint64_t done, uint64_t total) {
    if (!terminal_ || (done & 0x3FFF) != 0) return;
    if (std::chrono::steady_clock::now() - start_ < std::chrono::seconds(1)) return;
    std::fprintf(stderr, "\r%s: %" PRIu64 " of %" PRIu64 " entries\033[K", label_.c_str(), done,
                 total);
    shown_ = true;
  }
  void End() {
    if (shown_) std::fprintf(stderr, "\r\033[K");
    shown_ = false;
  }

 private:
  bool terminal_;
  bool shown_ = false;
  std::string label_;
  std::chrono::steady_clock::time_point start_;
};

// A read-only connection to an existing file. Opening read-only never creates a file and
// never writes one.
class ReadOnlyDb {
 public:
  int Open(const std::string& path) { return store::OpenForReading(path, kBusyTimeoutMs, &db_); }
  // Runs `sql`, binding `text` to its first parameter when it has one, and calls `row` for
  // every row until it returns false. Returns the SQLite code: SQLITE_OK when it ran.
  int Query(const std::string& sql, const std::function<bool(sqlite3_stmt*)>& row,
            const std::string* text = nullptr) {
    sqlite3_stmt* raw = nullptr;
    int rc = sqlite3_prepare_v2(db_.get(), sql.c_str(), -1, &raw, nullptr);
    sqlite::Statement statement(raw);
    if (rc != SQLITE_OK) return rc;
    if (text != nullptr) {
      sqlite3_bind_text(raw, 1, text->data(), static_cast<int>(text->size()), SQLITE_TRANSIENT);
    }
    while ((rc = sqlite3_step(raw)) == SQLITE_ROW) {
      if (!row(raw)) return SQLITE_OK;
    }
    return rc == SQLITE_DONE ? SQLITE_OK : rc;
  }
  std::string Error() const { return sqlite3_errmsg(db_.get()); }
  int ExtendedError() const { return sqlite3_extended_errcode(db_.get()); }

 private:
  sqlite::Connection db_;
};

std::string ColumnText(sqlite3_stmt* statement, int column) {
  const unsigned char* text = sqlite3_column_text(statement, column);
  return text != nullptr ? std::string(reinterpret_cast<const char*>(text),
                                       static_cast<size_t>(sqlite3_column_bytes(statement, column)))
                         : std::string();
}

// The columns of `table` in order; empty when there is no such table.
std::vector<std::string> TableColumns(ReadOnlyDb& db, const std::string& table) {
  std::vector<std::string> columns;
  db.Query("PRAGMA table_info(" + table + ")", [&](sqlite3_stmt* row) {
    columns.push_back(ColumnText(row, 1));
    return true;
  });
  return columns;
}

// Opens `path` read-only and checks that it is an undamaged database. Reports a finding of
// `kinds` and returns false when the file cannot be used.
bool OpenChecked(const std::string& path, const DatabaseKinds& kinds, ReadOnlyDb* db,
                 std::vector<Finding>* findings) {
  std::string why;
  if (!store::IsReadableDatabase(path, &why) && why != "does not exist") {
    Report(findings, kinds.not_regular, path, {why});
    return false;
  }
  if (access(path.c_str(), R_OK) != 0) {
    Report(findings, kinds.no_access, path, {std::strerror(errno)});
    return false;
  }
  if (db->Open(path) != SQLITE_OK) {
    Report(findings, kinds.cannot_open, path, {db->Error()});
    return false;
  }
  std::vector<std::string> problems;
  const int rc = db->Query("PRAGMA quick_check", [&](sqlite3_stmt* row) {
    std::istringstream lines(ColumnText(row, 0));
    for (std::string line; problems.size() < kMaxExamples && std::getline(lines, line);) {
      problems.push_back(Printable(line));
    }
    return problems.size() < kMaxExamples;
  });
  if (db->ExtendedError() == SQLITE_READONLY_ROLLBACK) {
    Report(findings, kinds.hot_journal, path);
    return false;
  }
  if (rc == SQLITE_NOTADB) {
    Report(findings, kinds.not_database, path);
    return false;
  }
  if (rc == SQLITE_CORRUPT || (rc == SQLITE_OK && (problems.size() != 1 || problems[0] != "ok"))) {
    if (problems.empty()) problems.push_back(db->Error());
    Report(findings, kinds.damaged, path, {}, 1, problems);
    return false;
  }
  if (rc != SQLITE_OK) {
    Report(findings, kinds.read_failed, path, {db->Error()});
    return false;
  }
  return true;
}

// --- The system database ------------------------------------------------------------

// Checks the layout of session_table against what the lookup by path reads.
void CheckSessionTableLayout(const std::vector<std::string>& columns, const std::string& path,
                             std::vector<Finding>* findings) {
  static const std::vector<std::string> kNineColumns = {"id",      "conn_id",   "share_name",
                                                        "session", "attribute", "ctime",
                                                        "view_id", "status",    "sync_folder"};
  if (columns == kNineColumns) {
    Report(findings, kRegistryNineColumns, path);
    return;
  }
  // The lookup reads these columns of the row by position, and matches sync_folder by name.
  static const std::pair<const char*, int> kReadAt[] = {{"id", store::kSessionId},
                                                        {"share_name", store::kSessionShareName},
                                                        {"session", store::kSessionSession},
                                                        {"attribute", store::kSessionAttribute},
                                                        {"view_id", store::kSessionViewId},
                                                        {"status", store::kSessionStatus},
                                                        {"sync_folder", -1}};
  std::vector<std::string> problems;
  bool finds_wrong = false;  // a column that finds the session is out of place
  for (const auto& [name, position] : kReadAt) {
    const auto it = std::find(columns.begin(), columns.end(), name);
    std::string problem;
    if (it == columns.end()) {
      problem = std::string("column ") + name + " is missing";
    } else if (position >= 0 && it - columns.begin() != position) {
      problem = std::string("column ") + name + " is at position " +
                std::to_string(it - columns.begin()) + "; the lookup reads position " +
                std::to_string(position);
    }
    if (problem.empty()) continue;
    const std::string column = name;
    finds_wrong = finds_wrong || column == "id" || column == "status" || column == "sync_folder";
    problems.push_back(problem);
  }
  if (problems.empty()) return;
  Report(findings, finds_wrong ? kRegistryColumns : kRegistryColumnsListed, path,
         {std::to_string(problems.size())}, problems.size(), problems);
}

// Checks the system database and reads its sessions. False when there are none to check.
bool CheckRegistry(const std::string& path, std::vector<Finding>* findings,
                   std::vector<Session>* sessions) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) {
    Report(findings, kRegistryMissing, path);
    return false;
  }
  ReadOnlyDb db;
  if (!OpenChecked(path, kRegistryKinds, &db, findings)) return false;
  const std::vector<std::string> columns = TableColumns(db, "session_table");
  if (columns.empty()) {
    Report(findings, kRegistryNoSessionTable, path);
    return false;
  }
  CheckSessionTableLayout(columns, path, findings);
  const auto has = [&](const char* name) {
    return std::find(columns.begin(), columns.end(), name) != columns.end();
  };
  const std::string sql =
      std::string("SELECT ") + (has("id") ? "id" : "rowid") + ", " +
      (has("share_name") ? "share_name" : "NULL") + ", " + (has("status") ? "status" : "NULL") +
      ", " + (has("sync_folder") ? "sync_folder" : "NULL") + " FROM session_table ORDER BY 1";
  const int rc = db.Query(sql, [&](sqlite3_stmt* row) {
    Session session;
    session.id = sqlite3_column_int64(row, 0);
    session.share = ColumnText(row, 1);
    session.has_status = sqlite3_column_type(row, 2) != SQLITE_NULL;
    session.status = sqlite3_column_int64(row, 2);
    session.has_folder = sqlite3_column_type(row, 3) != SQLITE_NULL;
    session.folder = ColumnText(row, 3);
    session.key = AsciiLower(WithoutTrailingSlashes(session.folder));
    sessions->push_back(std::move(session));
    return true;
  });
  if (rc != SQLITE_OK) {
    Report(findings, kRegistrySessionsUnreadable, path, {db.Error()});
    return false;
  }
  return has("sync_folder");
}

// --- Sessions ------------------------------------------------------------------------

// The session the lookup by path gives for `path`, asked the way the Finder asks.
std::string LookupWinner(const std::string& registry, const std::string& path) {
  ScopedDbRole reading(DbRole::kReader);
  KELOSessionInfo found;
  if (SystemDB::getSessionInfoByFilePath(registry, path, &found) != 0 || found.id == 0) return "";
  return "session " + std::to_string(found.id);
}

// A note when the session's status keeps its badges off.
void CheckSessionStatus(const std::string& registry, const Session& session,
                        std::vector<Finding>* findings) {
  if (session.ShowsBadges()) return;
  Report(findings, kSessionInactive, registry,
         {session.has_status ? std::to_string(session.status) : std::string("none")});
}

// Checks how the folder is spelled in the record. False when the session holds no path the
// Finder gives, so there is nothing more to check.
bool CheckRecordedFolder(const std::string& registry, const Session& session,
                         std::vector<Finding>* findings) {
  if (!session.has_folder) {
    Report(findings, kSessionNoFolder, registry);
    return false;
  }
  if (!session.HasUsableFolder()) {
    Report(findings, session.folder.empty() ? kSessionFolderEmpty : kSessionFolderRelative,
           registry, {}, 1, {Printable(session.folder)});
    return false;
  }
  if (session.folder.size() > 1 && session.folder.back() == '/') {
    Report(findings, kSessionTrailingSlash, registry, {}, 1, {Printable(session.folder)});
  }
  return true;
}

// Checks that `folder` exists on disk, named in the Unicode form it is recorded in.
void CheckFolderOnDisk(const std::string& registry, const std::string& folder, DiskNames* disk,
                       std::vector<Finding>* findings) {
  std::string on_disk;
  switch (disk->Find(folder, /*exact_spelling=*/true, &on_disk)) {
    case DiskNames::kExact:
      break;
    case DiskNames::kMissing:
      Report(findings, kSessionFolderMissing, registry, {}, 1, {Printable(folder)});
      break;
    case DiskNames::kOtherForm:
      Report(findings, FormC(folder) == folder ? kSessionFolderForm : kSessionFolderNotFormC,
             registry, {}, 1, {"recorded " + Printable(folder), "on disk  " + Printable(on_disk)});
      break;
  }
}

// The other sessions whose folders lie inside this session's folder, and those that record
// the very same folder.
struct Overlaps {
  Tally nested;
  Tally same;
  bool nested_inactive = false;  // some nested session shows no badges
};

Overlaps FindOverlaps(const Session& session, const std::vector<Session>& all) {
  Overlaps found;
  for (const Session& other : all) {
    if (&other == &session || !other.HasUsableFolder()) continue;
    const std::string example = other.Name() + ": " + Printable(other.folder);
    if (other.key == session.key) {
      found.same.Add(example);
    } else if (Holds(session.key, other.key)) {
      found.nested.Add(example);
      found.nested_inactive = found.nested_inactive || !other.ShowsBadges();
    }
  }
  return found;
}

// Reports the overlaps found; `folder` is the session's folder as the lookup sees it.
void ReportOverlaps(const std::string& registry, const std::string& folder,
                    const Overlaps& overlaps, std::vector<Finding>* findings) {
  if (overlaps.nested.count > 0) {
    Report(findings, kSessionNested, registry,
           {Counted(overlaps.nested.count, "other session's folder lies",
                    "other sessions' folders lie"),
            overlaps.nested_inactive ? ", and an inner session shows no badges" : ""},
           overlaps.nested.count, overlaps.nested.examples);
  }
  if (overlaps.same.count > 0) {
    const std::string winner = LookupWinner(registry, folder);
    Report(findings, kSessionDuplicate, registry,
           {Counted(overlaps.same.count, "other session records", "other sessions record"),
            winner.empty() ? std::string() : ", " + winner + " for every path in it"},
           overlaps.same.count, overlaps.same.examples);
  }
}

void CheckSessionRecord(const std::string& registry, const Session& session,
                        const std::vector<Session>& all, DiskNames* disk,
                        std::vector<Finding>* findings) {
  CheckSessionStatus(registry, session, findings);
  if (!CheckRecordedFolder(registry, session, findings)) return;
  const std::string folder = session.key.empty() ? "/" : WithoutTrailingSlashes(session.folder);
  CheckFolderOnDisk(registry, folder, disk, findings);
  ReportOverlaps(registry, folder, FindOverlaps(session, all), findings);
}

// --- File status databases -----------------------------------------------------------

// True when some index of fstatinfo starts with `first` (and then `second`, when given),
// the path column in the NOCASE collation, as the lookups need.
bool HasLookupIndex(ReadOnlyDb& db, const std::vector<std::string>& indexes, const char* first,
                    const char* second) {
  for (const std::string& index : indexes) {
    std::vector<std::pair<std::string, std::string>> keys;  // column, collation
    db.Query("PRAGMA index_xinfo(" + index + ")", [&](sqlite3_stmt* row) {
      if (sqlite3_column_int(row, 5) == 1)
        keys.emplace_back(ColumnText(row, 2), ColumnText(row, 4));
      return true;
    });
    const auto is = [&](size_t i, const char* name) {
      if (i >= keys.size() || keys[i].first != name) return false;
      return std::string(name) != "path" || AsciiLower(keys[i].second) == "nocase";
    };
    if (is(0, first) && (second == nullptr || is(1, second))) return true;
  }
  return false;
}

// Milliseconds one query of `sql` (bound to `folder`) takes.
double TimeQuery(ReadOnlyDb& db, const std::string& sql, const std::string& folder) {
  const auto start = std::chrono::steady_clock::now();
  db.Query(
      sql, [](sqlite3_stmt*) { return true; }, &folder);
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
      .count();
}

struct EntryTallies {
  Tally outside, other_session, not_nfc, not_utf8, gone, syncing, shown_syncing;
};

// One scan of fstatinfo in row order: every per-entry finding but the case variants.
int ScanEntries(ReadOnlyDb& db, const Session& session, const std::vector<const Session*>& inner,
                uint64_t total, DiskNames* disk, Progress* progress, EntryTallies* t) {
  std::unordered_map<std::string, std::string> synced_folders;  // lower-case key -> path
  std::unordered_set<std::string> syncing_parents;              // lower-case keys
  uint64_t done = 0;
  const int rc =
      db.Query("SELECT path, fileType, syncStatus FROM fstatinfo", [&](sqlite3_stmt* row) {
        progress->Tick(++done, total);
        const std::string path = ColumnText(row, 0);
        const int64_t type = sqlite3_column_int64(row, 1);
        const int64_t state = sqlite3_column_int64(row, 2);
        if (!IsValidUtf8(path)) {
          t->not_utf8.Add(path);
          return true;
        }
        if (HasNonAscii(path) && FormC(path) != path) t->not_nfc.Add(path);
        const std::string key = AsciiLower(path);
        if (!Holds(session.key, key)) {
          t->outside.Add(path);
          return true;
        }
        for (const Session* other : inner) {
          if (Holds(other->key, key)) {
            t->other_session.Add(path);
            return true;
          }
        }
        std::string on_disk;
        if (disk->Find(path, /*exact_spelling=*/false, &on_disk) == DiskNames::kMissing) {
          t->gone.Add(path);
        }
        if (state == kStateSyncing) {
          t->syncing.Add(path);
          syncing_parents.insert(key.substr(0, key.rfind('/')));
        } else if (state == kStateSynced && type == kFileTypeFolder) {
          synced_folders.emplace(key, path);
        }
        return true;
      });
  // A folder recorded as synced shows syncing when an entry below it is syncing.
  std::unordered_set<std::string> visited;
  std::vector<std::string> shown_syncing;
  for (std::string folder : syncing_parents) {
    while (Holds(session.key, folder) && visited.insert(folder).second) {
      const auto found = synced_folders.find(folder);
      if (found != synced_folders.end()) shown_syncing.push_back(found->second);
      if (folder.size() <= session.key.size()) break;
      folder.resize(folder.rfind('/'));
    }
  }
  std::sort(shown_syncing.begin(), shown_syncing.end());
  for (const std::string& folder : shown_syncing) t->shown_syncing.Add(folder);
  return rc;
}

// One walk of the paths in NOCASE order, where case variants are neighbours.
int ScanCaseVariants(ReadOnlyDb& db, uint64_t total, Progress* progress, Tally* variants) {
  uint64_t done = 0;
  std::string previous;
  bool previous_counted = false;
  return db.Query(
      "SELECT path FROM fstatinfo ORDER BY path COLLATE NOCASE", [&](sqlite3_stmt* row) {
        progress->Tick(++done, total);
        std::string path = ColumnText(row, 0);
        const bool variant =
            path != previous && path.size() == previous.size() &&
            sqlite3_strnicmp(path.data(), previous.data(), static_cast<int>(path.size())) == 0;
        if (variant) {
          if (!previous_counted) variants->Add(previous);
          variants->Add(path);
        }
        previous_counted = variant;
        previous = std::move(path);
        return true;
      });
}

// Opens the file status database at `path` and checks that fstatinfo has the columns the
// lookup reads. False, with the finding, when there is nothing more to check.
bool OpenFileStatusDb(const std::string& path, ReadOnlyDb* db, std::vector<Finding>* findings) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) {
    Report(findings, kFstatMissing, path);
    return false;
  }
  if (!OpenChecked(path, kFstatKinds, db, findings)) return false;
  const std::vector<std::string> columns = TableColumns(*db, "fstatinfo");
  if (columns.empty()) {
    Report(findings, kFstatNoTable, path);
    return false;
  }
  const std::vector<std::string> kColumns = {"id", "path", "fileType", "syncStatus"};
  if (columns.size() < kColumns.size() ||
      !std::equal(kColumns.begin(), kColumns.end(), columns.begin())) {
    Report(findings, kFstatColumns, path);
    return false;
  }
  return true;
}

uint64_t CountEntries(ReadOnlyDb& db) {
  uint64_t total = 0;
  db.Query("SELECT count(*) FROM fstatinfo", [&](sqlite3_stmt* row) {
    total = static_cast<uint64_t>(sqlite3_column_int64(row, 0));
    return false;
  });
  return total;
}

// A note when the journal mode lets a writer block the Finder's reads.
void CheckJournalMode(ReadOnlyDb& db, const std::string& path, std::vector<Finding>* findings) {
  std::string mode;
  db.Query("PRAGMA journal_mode", [&](sqlite3_stmt* row) {
    mode = AsciiLower(ColumnText(row, 0));
    return false;
  });
  if (mode == "wal") return;
  Report(findings, kFstatJournal, path, {mode, std::to_string(kReaderBusyBudgetMs)});
}

// A warning, with the time one lookup takes here, when the lookups' indexes are missing.
void CheckLookupIndexes(ReadOnlyDb& db, const std::string& path, const Session& session,
                        uint64_t total, std::vector<Finding>* findings) {
  std::vector<std::string> indexes;
  db.Query("PRAGMA index_list(fstatinfo)", [&](sqlite3_stmt* row) {
    indexes.push_back(ColumnText(row, 1));
    return true;
  });
  const bool entry_index = HasLookupIndex(db, indexes, "path", nullptr);
  const bool subtree_index = HasLookupIndex(db, indexes, "syncStatus", "path");
  if (entry_index && subtree_index) return;
  const std::string folder = WithoutTrailingSlashes(session.folder);
  const double ms =
      !entry_index
          ? TimeQuery(db, "SELECT * FROM fstatinfo WHERE path = ?1 COLLATE NOCASE", folder)
          : TimeQuery(db,
                      "SELECT * FROM fstatinfo WHERE path LIKE ?1 || '/%' AND syncStatus = 2 "
                      "LIMIT 2",
                      folder);
  Report(findings, kFstatNoIndex, path,
         {std::string(entry_index ? "" : "fstatinfo_path_nocase_idx") +
              (entry_index || subtree_index ? "" : ", ") +
              (subtree_index ? "" : "fstatinfo_status_path_idx"),
          entry_index ? "folder's subtree query" : "icon's lookup", std::to_string(total),
          Milliseconds(ms)},
         total);
}

// The other sessions whose folders lie strictly inside this session's folder.
std::vector<const Session*> InnerSessions(const Session& session, const std::vector<Session>& all) {
  std::vector<const Session*> inner;
  for (const Session& other : all) {
    if (&other != &session && other.HasUsableFolder() && other.key != session.key &&
        Holds(session.key, other.key)) {
      inner.push_back(&other);
    }
  }
  return inner;
}

struct EntryScan {
  EntryTallies tallies;
  Tally case_variants;
};

// Reads every entry (two passes, each with its progress line). False, with the finding, when
// the entries cannot be read.
bool ScanFileStatusDb(ReadOnlyDb& db, const std::string& path, const Session& session,
                      const std::vector<Session>& all, uint64_t total, DiskNames* disk,
                      Progress* progress, EntryScan* scan, std::vector<Finding>* findings) {
  const std::string label = "checking session " + std::to_string(session.id);
  progress->Begin(label + ", entries");
  int rc =
      ScanEntries(db, session, InnerSessions(session, all), total, disk, progress, &scan->tallies);
  progress->Begin(label + ", case variants");
  if (rc == SQLITE_OK) rc = ScanCaseVariants(db, total, progress, &scan->case_variants);
  progress->End();
  if (rc == SQLITE_OK) return true;
  Report(findings, kFstatEntriesUnreadable, path, {db.Error()});
  return false;
}

// One finding per kind of entry the scan counted.
void ReportEntries(const std::string& path, const EntryScan& scan, std::vector<Finding>* findings) {
  const auto add = [&](const DoctorFindingKind& kind, const Tally& tally, const char* one,
                       const char* many) {
    if (tally.count == 0) return;
    Report(findings, kind, path, {Counted(tally.count, one, many)}, tally.count, tally.examples);
  };
  const EntryTallies& t = scan.tallies;
  add(kEntriesOutside, t.outside, "entry lies", "entries lie");
  add(kEntriesOtherSession, t.other_session, "entry lies", "entries lie");
  add(kEntriesNotFormC, t.not_nfc, "entry is", "entries are");
  add(kEntriesCaseVariants, scan.case_variants, "entry differs", "entries differ");
  add(kEntriesNotUtf8, t.not_utf8, "entry is", "entries are");
  add(kEntriesGone, t.gone, "entry names", "entries name");
  add(kEntriesSyncing, t.syncing, "entry is", "entries are");
  add(kFoldersShownSyncing, t.shown_syncing, "folder recorded synced shows",
      "folders recorded synced show");
}

void CheckFileStatusDb(const std::string& home, const Session& session,
                       const std::vector<Session>& all, DiskNames* disk, Progress* progress,
                       std::vector<Finding>* findings) {
  const std::string path = FileStatusDbPath(home, static_cast<uint64_t>(session.id));
  ReadOnlyDb db;
  if (!OpenFileStatusDb(path, &db, findings)) return;
  const uint64_t total = CountEntries(db);
  CheckJournalMode(db, path, findings);
  CheckLookupIndexes(db, path, session, total, findings);
  EntryScan scan;
  if (!ScanFileStatusDb(db, path, session, all, total, disk, progress, &scan, findings)) return;
  ReportEntries(path, scan, findings);
}

// --- Output --------------------------------------------------------------------------

void PrintHuman(const std::string& registry, const std::vector<Block>& blocks, size_t sessions,
                const int counts[3]) {
  for (const Block& block : blocks) {
    if (block.session == nullptr) {
      std::cout << "System database " << Printable(registry) << ": " << sessions
                << (sessions == 1 ? " session\n" : " sessions\n");
    } else {
      std::cout << "\nSession " << block.session->id << " " << Printable(block.session->share)
                << ", status "
                << (block.session->has_status ? std::to_string(block.session->status) : "none")
                << ": " << Printable(block.session->folder) << "\n";
    }
    if (block.findings.empty()) std::cout << "  ok\n";
    for (const Finding& finding : block.findings) {
      std::string label = kSeverityNames[finding.severity()];
      label.resize(9, ' ');
      std::cout << "  " << label << finding.message << "\n";
      for (const std::string& example : finding.examples) {
        std::cout << "           e.g. " << example << "\n";
      }
      if (!finding.file.empty() && finding.file != registry) {
        std::cout << "           in " << Printable(finding.file) << "\n";
      }
      std::cout << "           fix: " << finding.kind->fix << "\n";
    }
  }
  const auto plural = [](int n, const char* word) {
    return std::to_string(n) + " " + word + (n == 1 ? "" : "s");
  };
  std::cout << "\nSummary: " << plural(counts[kDoctorError], "error") << ", "
            << plural(counts[kDoctorWarning], "warning") << ", "
            << plural(counts[kDoctorNote], "note") << " ("
            << plural(static_cast<int>(sessions), "session") << " checked)\n";
}

void PrintJson(const std::string& home, const std::string& registry,
               const std::vector<Block>& blocks, size_t sessions, const int counts[3]) {
  std::cout << "{\"home\": " << JsonString(home) << ", \"system_db\": " << JsonString(registry)
            << ",\n \"findings\": [";
  bool first = true;
  for (const Block& block : blocks) {
    for (const Finding& f : block.findings) {
      std::cout << (first ? "\n" : ",\n") << "  {\"severity\": \"" << kSeverityNames[f.severity()]
                << "\", \"code\": \"" << f.kind->code << "\", \"session\": ";
      if (block.session != nullptr) {
        std::cout << block.session->id << ", \"share\": " << JsonString(block.session->share)
                  << ", \"folder\": " << JsonString(block.session->folder);
      } else {
        std::cout << "null, \"share\": null, \"folder\": null";
      }
      std::cout << ",\n   \"file\": " << (f.file.empty() ? "null" : JsonString(f.file))
                << ", \"count\": " << f.count << ", \"examples\": [";
      for (size_t i = 0; i < f.examples.size(); ++i) {
        std::cout << (i ? ", " : "") << JsonString(f.examples[i]);
      }
      std::cout << "],\n   \"message\": " << JsonString(f.message)
                << ",\n   \"fix\": " << JsonString(f.kind->fix) << "}";
      first = false;
    }
  }
  std::cout << "\n ],\n \"summary\": {\"sessions\": " << sessions
            << ", \"errors\": " << counts[kDoctorError]
            << ", \"warnings\": " << counts[kDoctorWarning]
            << ", \"notes\": " << counts[kDoctorNote] << "}}\n";
}

}  // namespace

std::vector<const DoctorFindingKind*> DoctorFindingKinds() {
  return std::vector<const DoctorFindingKind*>(std::begin(kKinds), std::end(kKinds));
}

int RunDoctor(const std::vector<std::string>& argv) {
  ToolOptions options;
  if (int rc = ParseToolOptions(kCommand, argv, kToolOptHome | kToolOptJson, &options)) return rc;
  if (options.help) {
    std::cout << kDoctorUsage;
    return kToolExitOk;
  }
  if (!options.args.empty()) {
    return ToolUsageError(kCommand, "unexpected argument '" + options.args[0] + "'");
  }
  std::string home;
  if (int rc = ChooseToolHome(kCommand, options.home, &home)) return rc;

  const std::string registry = SystemDbPath(home);
  std::vector<Session> sessions;
  std::vector<Block> blocks(1);
  DiskNames disk;
  Progress progress;
  if (CheckRegistry(registry, &blocks[0].findings, &sessions)) {
    for (const Session& session : sessions) {
      Block block;
      block.session = &session;
      CheckSessionRecord(registry, session, sessions, &disk, &block.findings);
      if (session.ShowsBadges() && session.HasUsableFolder()) {
        CheckFileStatusDb(home, session, sessions, &disk, &progress, &block.findings);
      }
      blocks.push_back(std::move(block));
    }
  }
  int counts[3] = {0, 0, 0};
  for (Block& block : blocks) {
    std::stable_sort(
        block.findings.begin(), block.findings.end(),
        [](const Finding& a, const Finding& b) { return a.severity() < b.severity(); });
    for (const Finding& finding : block.findings) ++counts[finding.severity()];
  }
  if (options.json) {
    PrintJson(home, registry, blocks, sessions.size(), counts);
  } else {
    PrintHuman(registry, blocks, sessions.size(), counts);
  }
  return counts[kDoctorError] + counts[kDoctorWarning] > 0 ? kToolExitFailure : kToolExitOk;
}

}  // namespace kelo
