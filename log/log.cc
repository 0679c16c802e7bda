#include "log/log.h"

#include <syslog.h>

#include <algorithm>
#include <cstdint>
#include <ctime>
#include <vector>

#include "log/config.h"

namespace {

constexpr char kDefaultConfigPath[] = "/var/packages/Tarnvale/target/etc/syncfolder.debug";
constexpr char kDefaultLogPath[] = "/var/log/tnvl/syncfolder.log";
constexpr char kDefaultComponent[] = "default_component";

// The stream and the destination are read without the lock by the early test of
// every message, while a rotation under the lock may replace the stream. Plain
// relaxed atomic accesses keep that read well defined without changing the members'
// types.
FILE* LoadStream() { return __atomic_load_n(&Logger::log_fp, __ATOMIC_RELAXED); }
void StoreStream(FILE* fp) { __atomic_store_n(&Logger::log_fp, fp, __ATOMIC_RELAXED); }
Logger::Type LoadType() { return __atomic_load_n(&Logger::log_type, __ATOMIC_RELAXED); }

// Name of rotated file number i: "<log_path>_<i>" in a 1024-byte buffer. Returns false
// when the name does not fit; a cut name could denote an unrelated file, so callers
// never act on one.
bool RotatedName(char (&buffer)[1024], int i) {
  const int n = std::snprintf(buffer, sizeof(buffer), "%s_%d", Logger::log_path.c_str(), i);
  return n >= 0 && static_cast<size_t>(n) < sizeof(buffer);
}

// Whether the log file now open was found unable to rotate and said so. It says so once:
// after that it simply keeps growing, and a line at every mebibyte would add nothing.
bool rotation_refusal_written = false;

// Writes the time stamp, then the formatted message, and flushes. Returns the bytes
// written, negative when a write failed.
int64_t WriteStamped(FILE* fp, const char* format, va_list args) {
  char stamp[512];
  const time_t now = std::time(nullptr);
  struct tm local;
  localtime_r(&now, &local);
  std::strftime(stamp, sizeof(stamp), "%b %d %H:%M:%S ", &local);
  const int stamp_bytes = std::fprintf(fp, "%s", stamp);
  const int text_bytes = std::vfprintf(fp, format, args);
  std::fflush(fp);
  return static_cast<int64_t>(stamp_bytes) + text_bytes;
}

void WriteStamped(FILE* fp, const char* format, ...) __attribute__((format(printf, 2, 3)));
void WriteStamped(FILE* fp, const char* format, ...) {
  va_list args;
  va_start(args, format);
  WriteStamped(fp, format, args);
  va_end(args);
}

void CloseUnlessStandard(FILE* fp) {
  if (fp != nullptr && fp != stdout && fp != stderr) std::fclose(fp);
}

class LockGuard {
 public:
  explicit LockGuard(pthread_mutex_t* mutex) : mutex_(mutex) { pthread_mutex_lock(mutex_); }
  ~LockGuard() { pthread_mutex_unlock(mutex_); }
  LockGuard(const LockGuard&) = delete;
  LockGuard& operator=(const LockGuard&) = delete;

 private:
  pthread_mutex_t* mutex_;
};

}  // namespace

std::map<std::string, int> Logger::log_level;
Logger::Type Logger::log_type = Logger::kStdout;
FILE* Logger::log_fp = stderr;
std::string Logger::log_path;
int Logger::log_size = -1;
int Logger::rotate_cnt = 20;
pthread_mutex_t Logger::log_lock = PTHREAD_MUTEX_INITIALIZER;

int Logger::Initialize(Type type, std::string path, std::string conf_path, int count) {
  // An unknown destination is a bad set-up, refused before anything changes: the
  // destination, the stream and the thresholds stay as they were.
  if (type < kSyslog || type > kFile) return -1;

  Config config;
  // An unreadable or refused file leaves the configuration empty: only the default applies.
  static_cast<void>(config.read(conf_path.empty() ? kDefaultConfigPath : conf_path.c_str()));

  Logger::log_level[kDefaultComponent] = kDefaultThreshold;
  std::vector<std::string> keys;
  for (const auto& entry : config.entries()) keys.push_back(entry.first);
  for (const std::string& key : keys) Logger::log_level[key] = config.get_int(key);

  Logger::log_type = type;
  if (type == kSyslog || type == kStdout || type == kStderr) {
    StoreStream(type == kSyslog ? nullptr : type == kStdout ? stdout : stderr);
    Logger::log_path.clear();
    Logger::log_size = -1;
    return 0;
  }

  if (path.empty()) path = kDefaultLogPath;
  FILE* fp = std::fopen(path.c_str(), "a");
  if (fp == nullptr) return -1;
  StoreStream(fp);
  Logger::log_size = 0;
  Logger::log_path = path;
  // Capped: every rotation renames up to this many files under the log lock.
  Logger::rotate_cnt = std::min(count, kMaxRotateCount);
  rotation_refusal_written = false;
  return 0;
}

void Logger::LogMsg(Level level, const std::string& component, const char* format, ...) {
  va_list args;
  va_start(args, format);
  LogMsg2(level, component, format, args);
  va_end(args);
}

void Logger::LogMsg2(Level level, const std::string& component, const char* format, va_list args) {
  if (LoadType() != kSyslog && LoadStream() == nullptr) return;

  LockGuard lock(&log_lock);
  const auto found = log_level.find(component);
  const int threshold = found == log_level.end() ? kDefaultThreshold : found->second;
  if (level > threshold) return;

  int64_t written = 0;
  const Type type = log_type;
  if (type == kSyslog) {
    vsyslog(LOG_ERR, format, args);
  } else if (type == kStdout || type == kStderr || type == kFile) {
    if (log_fp == nullptr) return;
    written = WriteStamped(log_fp, format, args);
  } else {
    std::vfprintf(stderr, format, args);
  }

  if (type == kFile && log_size >= 0 && written >= 0) {
    if (log_size + written > kRotateBytes) {
      // The count restarts whatever happened: a failed rotation has already stopped the file.
      static_cast<void>(Rotate());
      log_size = 0;
    } else {
      log_size += static_cast<int>(written);
    }
  }
}

int Logger::Rotate() {
  // A rotation needs a log file: without a path every name below would denote a file
  // that is none of ours.
  if (log_path.empty()) return -1;
  // Fewer than one kept file would make the numbered set empty; the log file still
  // has to move aside, so a count below 1 rotates like a count of 1. A count above the
  // cap (set directly, bypassing Initialize) rotates like the cap.
  const int count = std::clamp(rotate_cnt, 1, kMaxRotateCount);
  char from[1024];
  char to[1024];
  // Every name of the kept set must fit before anything moves or closes; otherwise the
  // log file stays open and goes on growing, which loses nothing.
  if (!RotatedName(to, std::max(count - 2, 0))) {
    FILE* fp = LoadStream();
    if (!rotation_refusal_written && fp != nullptr) {
      WriteStamped(fp,
                   KELO_LOG_PREFIX_("[ERROR]") "log file not rotated: the names of its "
                                               "numbered files would pass %zu bytes; it goes "
                                               "on growing. log-path:[%s]\n",
                   sizeof(to) - 1, log_path.c_str());
      rotation_refusal_written = true;
    }
    return -1;
  }
  for (int i = count - 2; i >= 0; --i) {
    if (RotatedName(from, i) && RotatedName(to, i + 1)) std::rename(from, to);
  }
  if (RotatedName(to, count - 1)) std::remove(to);

  // The old stream stays in place until the new file is open. A writer on another thread
  // tests for a stream before it takes the lock and drops its message when there is none, so
  // a stream that vanished for the moment of a successful rotation would lose messages. Only a
  // rotation that fails leaves no stream.
  FILE* old_fp = LoadStream();
  FILE* fp = nullptr;
  if (RotatedName(to, 0) && std::rename(log_path.c_str(), to) == 0) {
    fp = std::fopen(log_path.c_str(), "a");
  }
  StoreStream(fp);
  CloseUnlessStandard(old_fp);
  return fp != nullptr ? 0 : -1;
}

void Logger::Destroy() {
  if (log_type != kFile) return;
  // After a failed Initialize the destination may be 3 while the stream is still a
  // standard one; that stream is not ours to close.
  CloseUnlessStandard(log_fp);
  StoreStream(stdout);
  log_size = -1;
  log_type = kStderr;
  log_path.clear();
  rotate_cnt = 32;
}

void LogMSG_c(int level, const char* component, const char* format, va_list args) {
  const std::string name(component != nullptr ? component : "");
  Logger::LogMsg2(level, name, format, args);
}
