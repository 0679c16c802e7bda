// Process-wide logger shared by the database classes and the tools.
//
// Logger is a class of static members only. Each message names a component and a
// level; it is written when the level is at most the component's threshold (4 for a
// component that has none, so error lines pass and info/debug lines do not). Messages
// go to one destination: the system log, standard output, standard error, or a log
// file rotated by size into numbered files "<path>_0" (newest) .. "<path>_<n-2>".
//
// Callers write messages through the KELO_LOG_ERROR / KELO_LOG_INFO / KELO_LOG_DEBUG
// macros, which put the level tag and the source location in front of the text at
// compile time:
//
//   KELO_LOG_ERROR("fstat_db_debug", "open db failed. db-path:[%s] errmsg:[%s]\n", p, e);
//   // -> "Dec 04 03:17:04 [ERROR] file-status-db.cc(42): open db failed. ..."
//
// Thread safety: LogMsg, LogMsg2 and LogMSG_c may be called from any thread; filtering,
// writing, flushing and rotation happen under log_lock. Initialize, Destroy and a direct
// call of Rotate take no lock and must run while no other thread writes.
#ifndef KELO_LOG_LOG_H_
#define KELO_LOG_LOG_H_

#include <pthread.h>

#include <cstdarg>
#include <cstdio>
#include <map>
#include <string>

class Logger {
 public:
  // Destinations: 0 system log, 1 standard output, 2 standard error, 3 log file.
  typedef int Type;
  static constexpr Type kSyslog = 0;
  static constexpr Type kStdout = 1;
  static constexpr Type kStderr = 2;
  static constexpr Type kFile = 3;

  // Levels, numbered as syslog priorities; smaller is more severe.
  typedef int Level;
  static constexpr Level kError = 3;
  static constexpr Level kInfo = 6;
  static constexpr Level kDebug = 7;

  // Threshold of a component that log_level does not name.
  static constexpr int kDefaultThreshold = 4;
  // The log file is rotated once more than this many bytes were written to it.
  static constexpr int kRotateBytes = 0x100000;
  // Largest rotation count: a rotation renames up to this many files while every logging
  // thread waits, and a thousand mebibyte files is more history than any set-up keeps.
  // A larger count given to Initialize (or set directly) acts as this one.
  static constexpr int kMaxRotateCount = 1000;

  Logger() = delete;

  // Sets destination, log file, rotation count (at most kMaxRotateCount) and thresholds
  // from the key=value configuration file conf_path (empty: the default debug file).
  // Returns 0, or -1 when the log file cannot be opened (the previous stream is then
  // kept) or when `type` is none of the four destinations (then nothing changes and no
  // file is opened).
  [[nodiscard]] static int Initialize(Type type, std::string log_path, std::string conf_path,
                                      int rotate_cnt);

  // Filters and writes one message; `format` is a printf format.
  static void LogMsg(Level level, const std::string& component, const char* format, ...)
      __attribute__((format(printf, 3, 4)));
  static void LogMsg2(Level level, const std::string& component, const char* format, va_list args)
      __attribute__((format(printf, 3, 0)));

  // Shifts the numbered files up by one, renames the log file to "<path>_0" and reopens
  // it. Returns 0, or -1 when the rename or the reopening fails (logging to the file then
  // stops until the next Initialize). When a numbered name would not fit its 1024-byte
  // buffer, nothing moves: the log file stays open and keeps growing, the first such
  // refusal for a log file writes one line into it, and the result is -1.
  [[nodiscard]] static int Rotate();

  // With a log file: closes it and falls back to standard output. Otherwise no-op.
  static void Destroy();

  static std::map<std::string, int> log_level;
  static Type log_type;
  static FILE* log_fp;
  static std::string log_path;
  static int log_size;
  static int rotate_cnt;
  static pthread_mutex_t log_lock;
};

// C-callable form of Logger::LogMsg2.
void LogMSG_c(int level, const char* component, const char* format, va_list args)
    __attribute__((format(printf, 3, 0)));

#define KELO_LOG_STRINGIFY2_(x) #x
#define KELO_LOG_STRINGIFY_(x) KELO_LOG_STRINGIFY2_(x)
#ifdef __FILE_NAME__
#define KELO_LOG_FILE_ __FILE_NAME__
#else
#define KELO_LOG_FILE_ __FILE__
#endif
// "[TAG] file.cc(123): " as one string literal.
#define KELO_LOG_PREFIX_(tag) tag " " KELO_LOG_FILE_ "(" KELO_LOG_STRINGIFY_(__LINE__) "): "

#define KELO_LOG_ERROR(component, format, ...) \
  Logger::LogMsg(Logger::kError, component, KELO_LOG_PREFIX_("[ERROR]") format, ##__VA_ARGS__)
#define KELO_LOG_INFO(component, format, ...) \
  Logger::LogMsg(Logger::kInfo, component, KELO_LOG_PREFIX_("[INFO]") format, ##__VA_ARGS__)
#define KELO_LOG_DEBUG(component, format, ...) \
  Logger::LogMsg(Logger::kDebug, component, KELO_LOG_PREFIX_("[DEBUG]") format, ##__VA_ARGS__)

#endif  // KELO_LOG_LOG_H_
