// Captures what the process-wide Logger writes, for tests that check exact log lines.
//
//   LogCapture capture;                    // logger -> a memory stream, thresholds kept
//   ... code that logs ...
//   EXPECT_EQ(capture.Lines(), ...);       // messages without their time stamps
//
// The logger's previous state comes back on destruction.
#ifndef KELO_TESTS_SUPPORT_LOG_CAPTURE_H_
#define KELO_TESTS_SUPPORT_LOG_CAPTURE_H_

#include <cstdio>
#include <cstdlib>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "log/log.h"

namespace kelo_test {

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
    Logger::log_level = saved_.level;
    Logger::log_type = saved_.type;
    Logger::log_fp = saved_.fp;
    Logger::log_path = saved_.path;
    Logger::log_size = saved_.size;
    Logger::rotate_cnt = saved_.rotate;
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
  struct {
    std::map<std::string, int> level = Logger::log_level;
    Logger::Type type = Logger::log_type;
    FILE* fp = Logger::log_fp;
    std::string path = Logger::log_path;
    int size = Logger::log_size;
    int rotate = Logger::rotate_cnt;
  } saved_;
  char* buffer_ = nullptr;
  size_t size_ = 0;
  FILE* stream_;
};

}  // namespace kelo_test

#endif  // KELO_TESTS_SUPPORT_LOG_CAPTURE_H_
