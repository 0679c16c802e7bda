#include "cli/demo-home.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <fstream>

#include "db/file-status-db/file-status-db.h"
#include "db/system-db/system-db.h"
#include "iconoverlay/badge-resolver.h"
#include "iconoverlay/linux-platform.h"

namespace kelo {
namespace {

// Decomposed (letter + combining acute accent) and precomposed spellings used below.
#define E_ACUTE_DECOMPOSED "e\xCC\x81"
#define CAPITAL_E_ACUTE_DECOMPOSED "E\xCC\x81"

constexpr int kNoEntry = -1;

struct EntryPlan {
  const char* path;  // relative to the session folder, as named on disk; "" is the folder
  bool folder;
  int state;  // recorded sync state, or kNoEntry: on disk but not recorded
  const char* what;
};

struct SessionPlan {
  const char* share_name;
  const char* session;
  const char* folder;  // relative to the home, as named on disk
  int status;
  uint64_t view_id;
  bool has_file_status_db;
  std::vector<EntryPlan> entries;
};

const std::vector<SessionPlan>& Plans() {
  static const std::vector<SessionPlan> plans = {
      {"Documents",
       "sess-documents",
       "Sync/Documents",
       10,
       101,
       true,
       {
           {"", true, 1, "session folder: synced, with a syncing item deep below"},
           {"Invoices", true, 1, "folder whose items are all synced"},
           {"Invoices/2024-03 Rechnung M\xC3\xBCller.pdf", false, 1, "non-ASCII name"},
           {"Invoices/2024-04 Rechnung Dupont.pdf", false, 1, "synced file"},
           {"Projects", true, 1, "synced folder with a syncing item two levels down"},
           {"Projects/2024", true, 1, "synced folder with a syncing child"},
           {"Projects/2024/plan.key", false, 2, "file being uploaded"},
           {"R" E_ACUTE_DECOMPOSED "sum" E_ACUTE_DECOMPOSED "s", true, 1,
            "decomposed folder name, recorded precomposed, with a syncing child"},
           {"R" E_ACUTE_DECOMPOSED "sum" E_ACUTE_DECOMPOSED "s/cv-2024.pdf", false, 2,
            "file in the decomposed folder"},
           {"Shortcut.alias", false, 3, "item the server cannot store"},
           {"draft notes.txt", false, kNoEntry, "file the client has not handled yet"},
       }},
      {"Photos",
       "sess-photos",
       "Sync/Photos",
       11,
       102,
       true,
       {
           {"", true, 1, "session in status 11, everything synced"},
           {"\xE6\xB5\xB7\xE8\xBE\xBA\xE3\x81\xAE\xE5\xA4\x95\xE6\x97\xA5.jpg", false, 1,
            "CJK name"},
           {"Vacation", true, 1, "synced folder"},
           {"Vacation/beach.jpg", false, 1, "synced file"},
       }},
      {"Archive",
       "sess-archive",
       "Sync/Archive",
       12,
       103,
       true,
       {
           {"old-report.txt", false, 1, "recorded synced, but the session is paused (12)"},
       }},
      {CAPITAL_E_ACUTE_DECOMPOSED "quipe",
       "sess-equipe",
       "Sync/" CAPITAL_E_ACUTE_DECOMPOSED "quipe",
       10,
       104,
       true,
       {
           {"budget.xlsx", false, 1,
            "decomposed folder on disk, registered precomposed by the client"},
       }},
      {"Music",
       "sess-music",
       "Sync/Music",
       10,
       105,
       false,
       {
           {"song.mp3", false, kNoEntry, "active session whose status database is not made yet"},
       }},
  };
  return plans;
}

std::string ErrnoText(const std::string& what, const std::string& path) {
  return what + " '" + path + "': " + std::strerror(errno);
}

int WriteFile(const std::string& path, const std::string& text, std::string* error) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  out.close();
  if (!out) {
    *error = ErrnoText("cannot write", path);
    return -1;
  }
  return 0;
}

// The client records paths precomposed.
std::string Recorded(LinuxOverlayPlatform& platform, const std::string& path) {
  std::string form_c;
  return platform.NormalizeFormC(path, &form_c) ? form_c : path;
}

int AddConnection(uint64_t* conn_id, std::string* error) {
  KELOConnectionInfo connection;
  connection.conn_mode = 1;
  connection.server_name = "nas.example.net";
  connection.server_ip = "192.0.2.10";
  connection.server_port = 6690;
  connection.waypoint_mode = "direct";
  connection.username = "demo";
  connection.vault_id = "vault-0001";
  connection.session = "conn-demo";
  connection.protocol_version = 70;
  TunnelInfo tunnel;
  if (SystemDB::setConnectionInfo(connection, tunnel) != 0 || SystemDB::setLink(1) != 0) {
    *error = "cannot record the server connection";
    return -1;
  }
  *conn_id = connection.id;
  return 0;
}

int AddSession(const std::string& home, const SessionPlan& plan, uint64_t conn_id,
               LinuxOverlayPlatform& platform, KELOSessionInfo* info, std::string* error) {
  info->share_name = Recorded(platform, plan.share_name);
  info->attribute = SystemDB::kEnabledBit;
  info->view_id = plan.view_id;
  info->computer_name = "demo-mac";
  info->sync_folder = Recorded(platform, home + "/" + plan.folder);
  if (SystemDB::addNewSessionInfo(*info, conn_id) != 0) {
    *error = std::string("cannot add the session ") + plan.share_name;
    return -1;
  }
  // The client learns the session's identifier from the server afterwards.
  info->session = plan.session;
  if (SystemDB::updateSessionInfo(*info) != 0 ||
      SystemDB::setSessionStatus(plan.session, plan.status) != 0) {
    *error = std::string("cannot update the session ") + plan.share_name;
    return -1;
  }
  return 0;
}

int AddFiles(const std::string& home, const SessionPlan& plan, const KELOSessionInfo& info,
             LinuxOverlayPlatform& platform, std::vector<DemoSample>* samples, std::string* error) {
  const std::string folder = home + "/" + plan.folder;
  if (MakeDirectories(folder, error) != 0) return -1;
  for (const EntryPlan& entry : plan.entries) {
    std::string path = *entry.path ? folder + "/" + entry.path : folder;
    if (entry.folder) {
      if (MakeDirectories(path, error) != 0) return -1;
    } else if (WriteFile(path, std::string("sample file ") + entry.path + "\n", error) != 0) {
      return -1;
    }
    samples->push_back({path, entry.what});
  }
  if (!plan.has_file_status_db) return 0;

  const std::string db_path = FileStatusDbPath(home, info.id);
  if (MakeDirectories(db_path.substr(0, db_path.rfind('/')), error) != 0) return -1;
  CurrentFileStatusDb current(db_path);
  if (current.result() != 0) {
    *error = "cannot create the file status database '" + db_path + "'";
    return -1;
  }
  for (const EntryPlan& entry : plan.entries) {
    if (entry.state == kNoEntry) continue;
    FileStatusInfo record;
    record.path = Recorded(platform, *entry.path ? folder + "/" + entry.path : folder);
    record.fileType = entry.folder ? kFileTypeFolder : 0;
    record.syncStatus = entry.state;
    if (FileStatusDB::setFileSyncStat(record) != 0) {
      *error = "cannot record '" + record.path + "'";
      return -1;
    }
  }
  return 0;
}

int BuildWithOpenSystemDb(const std::string& home, std::vector<DemoSample>* samples,
                          std::string* error) {
  uint64_t conn_id = 0;
  if (AddConnection(&conn_id, error) != 0) return -1;
  LinuxOverlayPlatform platform(home);
  std::vector<KELOSessionInfo> sessions(Plans().size());
  for (size_t i = 0; i < Plans().size(); ++i) {
    if (AddSession(home, Plans()[i], conn_id, platform, &sessions[i], error) != 0) {
      return -1;
    }
  }
  if (SystemDB::setComputername("demo-mac") != 0) {
    *error = "cannot record the computer name";
    return -1;
  }
  for (size_t i = 0; i < Plans().size(); ++i) {
    if (AddFiles(home, Plans()[i], sessions[i], platform, samples, error) != 0) return -1;
  }
  // A file outside every synchronised folder.
  const std::string desktop = home + "/Desktop";
  if (MakeDirectories(desktop, error) != 0 ||
      WriteFile(desktop + "/todo.txt", "outside every synchronised folder\n", error) != 0) {
    return -1;
  }
  samples->push_back({desktop + "/todo.txt", "outside every synchronised folder"});
  return 0;
}

}  // namespace

int MakeDirectories(const std::string& path, std::string* error) {
  for (size_t pos = 1; pos <= path.size(); ++pos) {
    if (pos != path.size() && path[pos] != '/') continue;
    const std::string prefix = path.substr(0, pos);
    if (mkdir(prefix.c_str(), 0755) != 0 && errno != EEXIST) {
      *error = ErrnoText("cannot create the folder", prefix);
      return -1;
    }
  }
  struct stat st;
  if (stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    *error = "'" + path + "' is not a folder";
    return -1;
  }
  return 0;
}

int BuildDemoHome(const std::string& home, std::vector<DemoSample>* samples, std::string* error) {
  struct stat st;
  if (stat((home + "/.Tarnvale").c_str(), &st) == 0) {
    *error = "'" + home + "' already holds a .Tarnvale folder; choose a new or empty folder";
    return -1;
  }
  const std::string system_db = SystemDbPath(home);
  if (MakeDirectories(system_db.substr(0, system_db.rfind('/')), error) != 0) return -1;
  if (SystemDB::initialize(system_db) != 0) {
    *error = "cannot create the system database '" + system_db + "'";
    return -1;
  }
  int rc = BuildWithOpenSystemDb(home, samples, error);
  SystemDB::destroy();
  return rc;
}

}  // namespace kelo
