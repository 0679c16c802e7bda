// The log texts of the database classes that look like mistakes and stay as they are: the
// sync client's log readers search for them byte for byte, typos, doubled blanks and the
// names of other operations included. Write a new message correctly; never "fix" one here.
// The message formats are macros, since the logging macros join them to the line's prefix.
#ifndef KELO_DB_LOG_MESSAGES_H_
#define KELO_DB_LOG_MESSAGES_H_

namespace kelo {
namespace logtext {

// --- FileStatusDB ----------------------------------------------------------------------
// initialize's schema statement failed: two blanks before "error".
#define KELO_LOGTEXT_SCHEMA_EXEC_FAILED "sqlite3_exec error. cmd:(%s)  error:(%s)\n"
// getFileSyncStat without a record: two blanks before "is".
#define KELO_LOGTEXT_INFO_IS_NULL "FileStatusInfo  is NULL.\n"
// updateAllSyncingEntry's statement failed: two blanks before the code.
#define KELO_LOGTEXT_UPDATE_ALL_EXEC_FAILED "FileStatusDB: sqlite3_exec: %s  (%d)\n"

// --- SystemDB --------------------------------------------------------------------------
#define KELO_LOGTEXT_DESTRUCTED "SystemDB deconstructed\n"
// getSyncFolder and getSyncFolderBySession: the folder found, and none found (this one
// without a final newline).
#define KELO_LOGTEXT_SYNC_FOLDER_FOUND "ggetSyncFolder %s\n"
#define KELO_LOGTEXT_NO_SYNC_FOLDER "cannnot get home share sync folder QQ"
// getSessionStatusAndErr found no row (at DEBUG level).
#define KELO_LOGTEXT_NO_STATUS_AND_ERR "cannnot get getSessionStatusAndErr %s\n"
// updateSessionInfo and updateConnectionInfo found no row to take the id of.
inline constexpr char kNoIdForUpdatedSession[] = "cannnot get id for last update session\n";
inline constexpr char kNoIdForUpdatedConnection[] = "cannnot get id for last update connection\n";
// getHomeSession's failed step carries getConnectionInfo's name.
#define KELO_LOGTEXT_HOME_SESSION_STEP_FAILED "getConnectionInfo: sqlite3_step: %s (%d)\n"

// Operation names that lead the messages of other operations ("<name>: sqlite3_prepare_v2:
// ...", "<name> fail ret = ...", the entry message).
// The prepare failures of getSyncFolder, getSyncFolderBySession and getFolderInfoBySession.
inline constexpr char kFolderReadsName[] = "checkLinked";
// Entry and prepare failure of getSessionListWithConf.
inline constexpr char kSessionListWithConfName[] = "getEnabledSession";
// Entry message of getFolderInfoBySession.
#define KELO_LOGTEXT_FOLDER_INFO_ENTRY "getSystemInfo\n"
// The failures of rmSessionInfo and addNewSessionInfo.
inline constexpr char kSessionRowWriteName[] = "setSessionInfo";
// Formatting failures: each writer logs one of these three, whatever its statement.
inline constexpr char kFormatFailedInsertReplace[] = "insert/replace sqlite3_mprintf failed.";
inline constexpr char kFormatFailedInsert[] = "insert sqlite3_mprintf failed.";
inline constexpr char kFormatFailed[] = " sqlite3_mprintf failed.";

}  // namespace logtext
}  // namespace kelo

#endif  // KELO_DB_LOG_MESSAGES_H_
