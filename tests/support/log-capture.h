// Captures what the process-wide Logger writes, for tests that check exact log lines. The
// logger writes to a stream of the capture, thresholds kept, and gets its settings back on
// destruction. The logger flushes once per message, so each write of the stream is one message.
//
//   LogCapture capture;
//   ... code that logs ...
//   EXPECT_EQ(capture.Messages(), ...);  // "[ERROR] text\n": no time stamp, no source location
#ifndef KELO_TESTS_SUPPORT_LOG_CAPTURE_H_
#define KELO_TESTS_SUPPORT_LOG_CAPTURE_H_

#include <pthread.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "log/log.h"

namespace kelo_test {

// The logger's settings that a capture changes and restores, as references.
inline auto LoggerSettings() {
  return std::tie(Logger::log_level, Logger::log_type, Logger::log_fp, Logger::log_path,
                  Logger::log_size, Logger::rotate_cnt);
}

class LogCapture {
 public:
  // Length of the "%b %d %H:%M:%S " stamp in front of every message.
  static constexpr size_t kStampLength = 16;

  // With `watched`, records for each message whether that mutex was held while it was written.
  explicit LogCapture(pthread_mutex_t* watched = nullptr) : watched_(watched) {
    setvbuf(stream_, nullptr, _IOFBF, 1 << 16);
    Logger::log_type = Logger::kStderr;
    Logger::log_fp = stream_;
    Logger::log_path.clear();
    Logger::log_size = -1;
  }
  ~LogCapture() {
    LoggerSettings() = saved_;
    if (stream_ != nullptr) std::fclose(stream_);
  }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  // Everything written so far, time stamps included.
  std::string Text() const {
    std::string text;
    for (const std::string& message : Written()) text += message;
    return text;
  }

  // The messages written so far, each without its time stamp, and "[LEVEL] text" without the
  // source location where the message has both.
  std::vector<std::string> Messages() const {
    std::vector<std::string> messages;
    for (const std::string& written : Written()) {
      const std::string m = written.substr(std::min(kStampLength, written.size()));
      const size_t tag_end = m.find("] "), text = m.find("): ");
      const bool located = m.rfind('[', 0) == 0 && tag_end < text && text != std::string::npos;
      messages.push_back(located ? m.substr(0, tag_end + 2) + m.substr(text + 3) : m);
    }
    return messages;
  }

  // Per message: whether the mutex given at construction was held while it was written.
  std::vector<bool> watched_held;
  // Whether the logger's own lock was held at every write.
  bool log_lock_held = true;

 private:
  static bool Held(pthread_mutex_t* mutex) {
    return pthread_mutex_trylock(mutex) == EBUSY || pthread_mutex_unlock(mutex);
  }
  static ssize_t Write(void* cookie, const char* data, size_t size) {
    auto* capture = static_cast<LogCapture*>(cookie);
    capture->written_.emplace_back(data, size);
    if (capture->watched_ != nullptr) capture->watched_held.push_back(Held(capture->watched_));
    capture->log_lock_held &= Held(&Logger::log_lock);
    return static_cast<ssize_t>(size);
  }
  // A stream whose writes go to Write: glibc's fopencookie, the BSD funopen elsewhere.
  FILE* OpenStream() {
#ifdef __GLIBC__
    return fopencookie(this, "w", {nullptr, Write, nullptr, nullptr});
#else
    return funopen(
        this, nullptr,
        [](void* cookie, const char* data, int size) {
          return static_cast<int>(Write(cookie, data, static_cast<size_t>(size)));
        },
        nullptr, nullptr);
#endif
  }
  const std::vector<std::string>& Written() const {
    if (stream_ != nullptr) std::fflush(stream_);
    return written_;
  }

  const std::tuple<std::map<std::string, int>, Logger::Type, FILE*, std::string, int, int> saved_ =
      LoggerSettings();
  pthread_mutex_t* watched_;
  std::vector<std::string> written_;
  FILE* stream_ = OpenStream();
};

}  // namespace kelo_test

#endif  // KELO_TESTS_SUPPORT_LOG_CAPTURE_H_
