// Captures what the process-wide Logger writes, for tests that check exact log lines.
//
//   LogCapture capture;                        // logger -> temporary stream, thresholds kept
//   ... code that logs ...
//   EXPECT_THAT(capture.Lines(), ...);         // lines without their time stamps
//
// The logger's previous state is restored on destruction. Not for concurrent use with
// other tests that change the logger.
#ifndef KELO_TESTS_SUPPORT_LOG_CAPTURE_H_
#define KELO_TESTS_SUPPORT_LOG_CAPTURE_H_

#include <cstdio>
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

  LogCapture()
      : saved_level_(Logger::log_level),
        saved_type_(Logger::log_type),
        saved_fp_(Logger::log_fp),
        saved_path_(Logger::log_path),
        saved_size_(Logger::log_size),
        saved_rotate_(Logger::rotate_cnt),
        stream_(std::tmpfile()) {
    Logger::log_type = Logger::kStderr;
    Logger::log_fp = stream_;
    Logger::log_path.clear();
    Logger::log_size = -1;
  }
  ~LogCapture() {
    Logger::log_level = saved_level_;
    Logger::log_type = saved_type_;
    Logger::log_fp = saved_fp_;
    Logger::log_path = saved_path_;
    Logger::log_size = saved_size_;
    Logger::rotate_cnt = saved_rotate_;
    if (stream_ != nullptr) std::fclose(stream_);
  }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  // Everything written so far, time stamps included.
  std::string Text() const {
    std::string text;
    if (stream_ == nullptr) return text;
    std::fflush(stream_);
    const long end = std::ftell(stream_);
    std::rewind(stream_);
    text.resize(end > 0 ? static_cast<size_t>(end) : 0);
    if (!text.empty() && std::fread(text.data(), 1, text.size(), stream_) != text.size()) {
      text.clear();
    }
    std::fseek(stream_, 0, SEEK_END);
    return text;
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

  // Drops what was captured so far.
  void Clear() {
    if (stream_ == nullptr) return;
    std::fflush(stream_);
    std::fclose(stream_);
    stream_ = std::tmpfile();
    Logger::log_fp = stream_;
  }

 private:
  std::map<std::string, int> saved_level_;
  Logger::Type saved_type_;
  FILE* saved_fp_;
  std::string saved_path_;
  int saved_size_;
  int saved_rotate_;
  FILE* stream_;
};

}  // namespace kelo_test

#endif  // KELO_TESTS_SUPPORT_LOG_CAPTURE_H_
