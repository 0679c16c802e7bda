// The session registry: the system database "sys.sqlite" that lists the server connection
// (connection_table), the synchronised folders or "sessions" (session_table) and a few key/value
// settings (system_table). SystemDB is the only code that touches the file.
//
// Two ways in:
//  - getSessionInfoByFilePath() uses a connection of its own for one lookup. It needs no
//    initialize(), takes no lock, and may run on any thread at any time. In the writer role
//    (db/reader-mode/reader-mode.h) it opens and closes the file and creates a missing
//    session_table; in the reader role it uses a kept read-only connection, creates nothing,
//    waits only briefly for a lock held elsewhere, and answers from the rows of session_table
//    it read when the registry last changed (PRAGMA data_version or the file's identity). It logs
//    nothing, except the one line with which a reader starts leaving a locked registry alone for a
//    moment. This is the only call the Finder plug-in makes.
//  - Every other query and update runs on one process-wide connection, m_db, that initialize()
//    opens and destroy() closes. Called while the registry is closed they fail with -1.
//
// Thread safety: every operation on m_db holds m_dbMutex (plain, non-recursive) from its first
// call on the connection to its last, and none calls another SystemDB operation while holding
// it. Messages logged under it take the logger's lock second, so the order is always m_dbMutex
// first, then Logger::log_lock, never the reverse. initialize() and destroy() take no lock: call
// them while no other SystemDB operation runs. Other processes share the file; SQLite's file locks
// order them and every connection waits up to 300 seconds for a lock held elsewhere.
//
// Results: 0 for success, -1 for failure (the lookup by path may also return a positive SQLite
// code). Strings are UTF-8 bytes. A value longer than its limit (511 bytes for a database path,
// 1023 bytes for other values unless an operation says 255) is refused with -1, never shortened;
// so is a text argument that holds a NUL byte (logged, except by the silent lookup by path).
// Messages go to the logger under the component "system_db_debug".
//
// Usage:
//   if (SystemDB::initialize(home + "/.Tarnvale/db/sys.sqlite") != 0) return;
//   KELOSessionInfo info;
//   info.share_name = "home";
//   info.sync_folder = "/Users/me/Tarnvale";
//   SystemDB::addNewSessionInfo(info, conn_id);  // info.id now names the new row
//   std::list<KELOSessionInfo> sessions;
//   SystemDB::getSessionList(sessions);
//   SystemDB::destroy();
//
//   KELOSessionInfo found;  // the lookup, no initialize() needed
//   if (SystemDB::getSessionInfoByFilePath(db_path, "/Users/me/Tarnvale/a.txt", &found) >= 0 &&
//       found.id != 0) { ... }
#ifndef KELO_DB_SYSTEM_DB_SYSTEM_DB_H_
#define KELO_DB_SYSTEM_DB_SYSTEM_DB_H_

#include <pthread.h>

#include <cstddef>
#include <cstdint>
#include <list>
#include <string>

struct sqlite3;

// One row of session_table. Members mirror the columns of the same name.
struct KELOSessionInfo {
  KELOSessionInfo() = default;
  KELOSessionInfo(const KELOSessionInfo&) = default;
  KELOSessionInfo& operator=(const KELOSessionInfo&) = default;
  ~KELOSessionInfo() = default;

  uint64_t id = 0;         // row id; names the session's own folder on disk
  std::string share_name;  // compared without ASCII case in the full schema
  std::string session;     // NULL (empty here) until updateSessionInfo sets it
  int32_t attribute = 0;   // bit set; kEnabledBit marks an enabled session
  uint64_t view_id = 0;
  int32_t status = 0;  // badges are drawn for status 10 and 11 only
  int32_t error = 0;
  std::string sync_folder;    // absolute path of the synchronised folder
  std::string computer_name;  // written by the add and setComputername; read by no query
};

// One row of connection_table. id is never written to SQL; the writers set it on success.
struct KELOConnectionInfo {
  int32_t conn_mode = 0;
  std::string server_name;
  std::string server_ip;
  int32_t server_port = 0;
  std::string waypoint_mode;
  std::string username;
  std::string vault_id;  // the key updateConnectionInfo finds rows by
  std::string session;
  int32_t protocol_version = 0;
  uint64_t id = 0;
};

// Tunnel settings written together with a connection row; never read back.
struct TunnelInfo {
  bool use_tunnel = false;  // written as 0 or 1
  std::string tunnel_ip;
  uint16_t tunnel_port = 0;
};

class SystemDB {
 public:
  // The bit of session_table.attribute that marks an enabled session.
  static constexpr int kEnabledBit = 4;
  // Buffer sizes (limit + 1 for the terminator) that values are copied through.
  static constexpr size_t kPathBufferSize = 512;
  static constexpr size_t kValueBufferSize = 1024;
  static constexpr size_t kShortValueBufferSize = 256;

  // Construction and destruction only log; they neither open nor close the database.
  SystemDB();
  ~SystemDB();

  // --- Lifecycle ---------------------------------------------------------------------------

  // Opens (creating file and schema where missing) the system database at `path` and keeps it
  // as m_db. Returns 0, also when already open (no-op); -1 on failure, leaving the registry closed.
  // In the reader role it opens an existing file read-only and runs no schema script, so the
  // queries work and nothing is created or written (the updates then fail).
  [[nodiscard]] static int initialize(const std::string& path);
  // Closes m_db if open; otherwise logs the no-op.
  static void destroy();

  // Clear `size` bytes of `dst`, then copy `src` (up to its first NUL; null copies nothing) into
  // it, cut to size - 1 bytes. Return dst.
  static char* mbstowcsIfNeed(char* dst, const char* src, size_t size);
  static char* wcstombsIfNeed(char* dst, const std::string& src, size_t size);

  // --- Lookup by path (own connection, no lock, silent) ------------------------------------

  // Fills *info from the session whose sync_folder holds `filePath`. The matching rule:
  //  - A row's folder F is its sync_folder with every trailing "/" removed; a folder of only
  //    "/" becomes "", the root. F holds the path P when P + "/" begins with F + "/": P is F
  //    itself (with or without trailing "/") or lies below it; /u/ab is not in /u/a.
  //  - The comparison is of bytes, the 26 ASCII letters matching either case; no other case
  //    folding or Unicode normalisation. "%", "_" and "\" are ordinary bytes.
  //  - A NULL sync_folder holds nothing; "", "/", "//" hold every path that begins with "/".
  //  - A row whose sync_folder is longer than 1023 bytes (trailing slashes included) holds
  //    nothing: it could not be read back whole, and it does not keep the other rows from
  //    matching. No path longer than 1023 bytes is accepted either.
  //  - Of the rows that hold P, the one with the longest F in bytes wins; between equally long
  //    ones (the same folder up to ASCII case and trailing slashes) the lowest rowid wins.
  // Row values are read by the positions of the full layout: id and view_id as 64-bit numbers,
  // attribute and status as 32-bit numbers (0 when out of range), texts of up to 1023 bytes.
  // Returns 0 (info untouched when none holds it), -1 for an empty argument, an argument that is
  // too long or holds a NUL byte, a null info, a failed open/table check or a row value too long
  // for its buffer, or the positive SQLite code of a failed query; info is untouched on every
  // failure.
  [[nodiscard]] static int getSessionInfoByFilePath(const std::string& dbPath,
                                                    const std::string& filePath,
                                                    KELOSessionInfo* info);

  // --- Session queries (m_db, under m_dbMutex) -----------------------------------------------

  // Replaces `list` with every session row. -1 on failure (list holds the rows read so far).
  [[nodiscard]] static int getSessionList(std::list<KELOSessionInfo>& list);
  // Replaces `list` with the rows that have a session and the enabled bit.
  [[nodiscard]] static int getEnabledSession(std::list<KELOSessionInfo>& list);
  // Replaces `list` with the rows that have a session, enabled or not.
  [[nodiscard]] static int getSessionListWithConf(std::list<KELOSessionInfo>& list);
  // Replaces `ids` with the id of each row that has a session.
  [[nodiscard]] static int getRowIDList(std::list<uint64_t>& ids);
  // Replaces `sessions` with each session value (at most 255 bytes each).
  [[nodiscard]] static int getSession(std::list<std::string>& sessions);
  // Fills `info` from the first row whose share is "home" (any case); 0 and untouched if none.
  [[nodiscard]] static int getHomeSession(KELOSessionInfo& info);
  // Sets `folder` to sync_folder of the first row with that share name (any case); -1 if none.
  [[nodiscard]] static int getSyncFolder(const std::string& shareName, std::string& folder);
  // Sets `folder` to sync_folder of the first row with that session; -1 if none.
  [[nodiscard]] static int getSyncFolderBySession(const std::string& session, std::string& folder);
  // Sets the outputs from every row with that session, the last non-NULL value winning; 0 and
  // untouched outputs when there is none. Values are limited to 255 bytes.
  [[nodiscard]] static int getFolderInfoBySession(const std::string& session,
                                                  std::string& shareName, std::string& folder);
  // Sets `status` and `error` from the first row with that session; -1 if none.
  [[nodiscard]] static int getSessionStatusAndErr(const std::string& session, int& status,
                                                  int& error);

  // --- Session updates (m_db, under m_dbMutex) -----------------------------------------------

  // Sets status of the rows of `session`, or of every enabled row that has a session when
  // `session` is exactly "all". 0 also when no row matches.
  [[nodiscard]] static int setSessionStatus(const std::string& session, int status);
  // The same for the error column.
  [[nodiscard]] static int setSessionErr(const std::string& session, int error);
  // Deletes the rows with info.view_id and `conn_id`. 0 also when none matches.
  [[nodiscard]] static int rmSessionInfo(const KELOSessionInfo& info, uint64_t conn_id);
  // Clears the enabled bit and zeroes status and error on every row.
  [[nodiscard]] static int disableAllSession();
  // Sets view_id of every row whose share is "home" (any case). 0 also when there is none.
  [[nodiscard]] static int updateHomeViewID(uint64_t view_id);
  // Adds a row (session left NULL); on success sets info.id to the new row's id.
  [[nodiscard]] static int addNewSessionInfo(KELOSessionInfo& info, uint64_t conn_id);
  // Empties connection_table and session_table and every system_table key but "release_version".
  [[nodiscard]] static int clearSystemDB();
  // Stores `name` under "computer_name" and in computer_name of every session row.
  [[nodiscard]] static int setComputername(const std::string& name);
  // Rewrites session, attribute, status, error and sync_folder of the rows with info.share_name
  // and info.view_id; on success sets info.id to the first such row's id. -1 when there is none.
  [[nodiscard]] static int updateSessionInfo(KELOSessionInfo& info);

  // --- Connection record and link state (m_db, under m_dbMutex) ------------------------------

  // Adds a connection row; on success sets info.id to its id.
  [[nodiscard]] static int setConnectionInfo(KELOConnectionInfo& info, const TunnelInfo& tunnel);
  // Rewrites the rows whose vault_id is info.vault_id (username and vault_id kept); on success
  // sets info.id to the first such row's id. -1 when there is none.
  [[nodiscard]] static int updateConnectionInfo(KELOConnectionInfo& info, const TunnelInfo& tunnel);
  // Fills `info` from the first connection row; 0 and untouched when the table is empty.
  [[nodiscard]] static int getConnectionInfo(KELOConnectionInfo& info);
  // Does nothing and returns 0.
  [[nodiscard]] static int getConnectionInfoByVaultID(const KELOConnectionInfo& info,
                                                      std::string vaultId);
  // Stores the linked flag under "linked" and in column linked of every connection row.
  [[nodiscard]] static int setLink(int linked);
  // Sets `linked` to the stored flag, 0 when none is stored.
  [[nodiscard]] static int checkLinked(int& linked);

  // Process-wide state. Public so that diagnostics and tests can observe it; only SystemDB
  // changes it. m_db is null while the registry is closed; m_systemDBPath names the open file.
  static sqlite3* m_db;
  static pthread_mutex_t m_dbMutex;
  static std::string m_systemDBPath;
};

#endif  // KELO_DB_SYSTEM_DB_SYSTEM_DB_H_
