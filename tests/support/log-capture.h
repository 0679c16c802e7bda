// Captures what the process-wide Logger writes, for tests that check exact log lines. The
// logger writes to a memory stream, thresholds kept, and gets its settings back on destruction.
//
//   LogCapture capture;
//   ... code that logs ...
//   EXPECT_EQ(capture.Lines(), ...);  // messages without their time stamps
#ifndef KELO_TESTS_SUPPORT_LOG_CAPTURE_H_
#define KELO_TESTS_SUPPORT_LOG_CAPTURE_H_

#include <cstdio>
#include <cstdlib>
#include <map>
#include <sstream>
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

  LogCapture() : stream_(open_memstream(&buffer_, &size_)) {
    Logger::log_type = Logger::kStderr;
    Logger::log_fp = stream_;
    Logger::log_path.clear();
    Logger::log_size = -1;
  }
  ~LogCapture() {
    LoggerSettings() = saved_;
    if (stream_ != nullptr) std::fclose(stream_);
    std::free(buffer_);
  }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  // Everything written so far, time stamps included.
  std::string Text() const {
    if (stream_ == nullptr || std::fflush(stream_) != 0) return std::string();
    return std::string(buffer_, size_);
  }

  // The messages written so far, one per line, each without its time stamp.
  std::vector<std::string> Lines() const {
    std::vector<std::string> lines;
    std::istringstream in(Text());
    for (std::string line; std::getline(in, line);) {
      lines.push_back(line.size() >= kStampLength ? line.substr(kStampLength) : line);
    }
    return lines;
  }

 private:
  const std::tuple<std::map<std::string, int>, Logger::Type, FILE*, std::string, int, int> saved_ =
      LoggerSettings();
  char* buffer_ = nullptr;
  size_t size_ = 0;
  FILE* stream_;
};

}  // namespace kelo_test

#endif  // KELO_TESTS_SUPPORT_LOG_CAPTURE_H_
