#include "log/log.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <ctime>
#include <filesystem>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/log_capture.h"
#include "support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using kelo_test::LogCapture;
using kelo_test::ReadFile;
using kelo_test::TempDir;

// Puts the logger back into its state at process start around every test.
class LoggerTest : public testing::Test {
 protected:
  void SetUp() override { Reset(); }
  void TearDown() override {
    if (Logger::log_type == Logger::kFile) Logger::Destroy();
    Reset();
  }
  static void Reset() {
    Logger::log_level.clear();
    Logger::log_type = Logger::kStdout;
    Logger::log_fp = stderr;
    Logger::log_path.clear();
    Logger::log_size = -1;
    Logger::rotate_cnt = 20;
  }
  // Opens a log file at path with the given rotation count; no configuration file.
  void OpenLogFile(const std::string& path, int count) {
    ASSERT_EQ(Logger::Initialize(Logger::kFile, path, dir_ / "no-config", count), 0);
  }
  TempDir dir_;
};

void LogWithList(int level, const char* component, const char* format, ...) {
  va_list args;
  va_start(args, format);
  LogMSG_c(level, component, format, args);
  va_end(args);
}

TEST_F(LoggerTest, InitialStateWritesErrorsToStderrWithTimeStamp) {
  testing::internal::CaptureStderr();
  KELO_LOG_ERROR("any_component", "hello %d\n", 5);
  KELO_LOG_INFO("any_component", "not written\n");
  KELO_LOG_DEBUG("any_component", "not written\n");
  const std::string text = testing::internal::GetCapturedStderr();

  const std::regex layout(
      R"(([A-Z][a-z]{2}) (\d{2}) \d{2}:\d{2}:\d{2} \[ERROR\] log_test\.cc\(\d+\): hello 5\n)");
  std::smatch match;
  ASSERT_TRUE(std::regex_match(text, match, layout)) << text;
  char month[8];
  const time_t now = std::time(nullptr);
  struct tm local;
  localtime_r(&now, &local);
  std::strftime(month, sizeof(month), "%b", &local);
  EXPECT_EQ(match[1].str(), month);
}

TEST_F(LoggerTest, MessageLayoutIsTagLocationColonText) {
  LogCapture capture;
  // clang-format off
  const int line = __LINE__; KELO_LOG_ERROR("c", "open db failed. db-path:[%s]\n", "/x");
  // clang-format on
  KELO_LOG_INFO("c", "not written at threshold 4\n");
  Logger::log_level["c"] = 7;
  KELO_LOG_INFO("c", "info %s\n", "text");
  KELO_LOG_DEBUG("c", "debug\n");
  const std::vector<std::string> lines = capture.Lines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0],
            "[ERROR] log_test.cc(" + std::to_string(line) + "): open db failed. db-path:[/x]");
  EXPECT_TRUE(std::regex_match(lines[1], std::regex(R"(\[INFO\] log_test\.cc\(\d+\): info text)")))
      << lines[1];
  EXPECT_TRUE(std::regex_match(lines[2], std::regex(R"(\[DEBUG\] log_test\.cc\(\d+\): debug)")))
      << lines[2];
}

TEST_F(LoggerTest, ThresholdPerComponent) {
  struct Case {
    const char* component;
    int level;
    bool written;
  };
  const Case cases[] = {
      {"seven", 3, true},   {"seven", 6, true},  {"seven", 7, true},  {"two", 3, false},
      {"two", 2, true},     {"absent", 3, true}, {"absent", 4, true}, {"absent", 5, false},
      {"absent", 6, false}, {"Seven", 7, false}, {"", 3, true},
  };
  Logger::log_level = {{"seven", 7}, {"two", 2}, {"default_component", 9}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.component << " level " << c.level);
    LogCapture capture;
    Logger::LogMsg(c.level, c.component, "x\n");
    EXPECT_EQ(capture.Lines().size(), c.written ? 1u : 0u);
  }
}

TEST_F(LoggerTest, CFunctionBehavesAsLogMsg) {
  LogCapture capture;
  LogWithList(3, "system_db_debug", "value %d [%s]\n", 42, "s");
  Logger::LogMsg(3, "system_db_debug", "value %d [%s]\n", 42, "s");
  LogWithList(7, "system_db_debug", "dropped\n");
  const std::vector<std::string> lines = capture.Lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], "value 42 [s]");
  EXPECT_EQ(lines[0], lines[1]);
}

TEST_F(LoggerTest, SystemLogDestinationWritesNoStream) {
  LogCapture capture;
  Logger::log_type = Logger::kSyslog;
  testing::internal::CaptureStderr();
  testing::internal::CaptureStdout();
  KELO_LOG_ERROR("c", "to the system log\n");
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(capture.Text(), "");
}

TEST_F(LoggerTest, UnknownDestinationWritesStderrWithoutStamp) {
  Logger::log_type = 9;
  testing::internal::CaptureStderr();
  Logger::LogMsg(3, "c", "plain\n");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "plain\n");
}

TEST_F(LoggerTest, FileCountsBytesSinceOpening) {
  kelo_test::WriteFile(dir_ / "log", "existing bytes are not counted\n");
  OpenLogFile(dir_ / "log", 5);
  EXPECT_EQ(Logger::log_size, 0);
  Logger::LogMsg(3, "c", "%s", "12345\n");
  EXPECT_EQ(Logger::log_size, static_cast<int>(LogCapture::kStampLength + 6));
}

TEST_F(LoggerTest, RotationPastOneMebibyteKeepsCountMinusOneOldFiles) {
  const std::string log = dir_ / "log";
  OpenLogFile(log, 3);
  const std::string chunk(64 * 1024, 'x');
  // Three rounds; the message that passes the threshold ends each round's file.
  for (int round = 0; round < 3; ++round) {
    int messages = 0;
    while (true) {
      Logger::LogMsg(3, "c", "round %d %s\n", round, chunk.c_str());
      ++messages;
      if (Logger::log_size == 0) break;
      ASSERT_LT(messages, 100);
    }
    const int message_bytes = static_cast<int>(LogCapture::kStampLength + 8 + chunk.size() + 1);
    EXPECT_EQ(messages, Logger::kRotateBytes / message_bytes + 1);
    EXPECT_EQ(fs::file_size(log), 0u);
  }
  EXPECT_FALSE(fs::exists(log + "_2"));
  ASSERT_TRUE(fs::exists(log + "_0"));
  ASSERT_TRUE(fs::exists(log + "_1"));
  EXPECT_NE(ReadFile(log + "_0").find("round 2 "), std::string::npos);
  EXPECT_EQ(ReadFile(log + "_0").find("round 1 "), std::string::npos);
  EXPECT_NE(ReadFile(log + "_1").find("round 1 "), std::string::npos);

  Logger::LogMsg(3, "c", "after\n");
  EXPECT_NE(ReadFile(log).find("after"), std::string::npos);
}

TEST_F(LoggerTest, RotationCountsNeverTouchFilesOutsideTheNumberedSet) {
  struct Case {
    int count;
    std::vector<std::string> kept;     // files that must still hold "sentinel"
    std::vector<std::string> present;  // numbered files after two rotations
    std::vector<std::string> absent;
  };
  const Case cases[] = {
      {1, {"log_1", "log_-1", "other"}, {"log_0"}, {}},
      {2, {"log_2", "log_-1", "other"}, {"log_0"}, {"log_1"}},
      {0, {"log_1", "log_-1", "other"}, {"log_0"}, {}},
      {-3, {"log_1", "log_-1", "log_-4", "other"}, {"log_0"}, {}},
      {4, {"log_4", "log_-1", "other"}, {"log_0", "log_1"}, {"log_2", "log_3"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "count " << c.count);
    TempDir dir;
    for (const std::string& name : c.kept) kelo_test::WriteFile(dir / name, "sentinel");
    ASSERT_EQ(Logger::Initialize(Logger::kFile, dir / "log", dir / "none", c.count), 0);
    Logger::LogMsg(3, "c", "first\n");
    ASSERT_EQ(Logger::Rotate(), 0);
    Logger::LogMsg(3, "c", "second\n");
    ASSERT_EQ(Logger::Rotate(), 0);
    for (const std::string& name : c.kept) EXPECT_EQ(ReadFile(dir / name), "sentinel") << name;
    for (const std::string& name : c.present) EXPECT_TRUE(fs::exists(dir / name)) << name;
    for (const std::string& name : c.absent) EXPECT_FALSE(fs::exists(dir / name)) << name;
    EXPECT_NE(ReadFile(dir / "log_0").find("second"), std::string::npos);
    Logger::Destroy();
  }
}

TEST_F(LoggerTest, FailedRotationStopsFileLoggingUntilNextInitialize) {
  const std::string log = dir_ / "log";
  // A non-empty directory where the newest old file belongs makes the rename fail.
  fs::create_directories(log + "_0/blocker");
  OpenLogFile(log, 1);
  Logger::log_size = Logger::kRotateBytes;
  Logger::LogMsg(3, "c", "triggers the rotation\n");
  EXPECT_EQ(Logger::log_fp, nullptr);
  EXPECT_EQ(Logger::log_size, 0);
  Logger::LogMsg(3, "c", "lost\n");
  EXPECT_EQ(ReadFile(log).find("lost"), std::string::npos);
  EXPECT_EQ(Logger::Rotate(), -1);

  OpenLogFile(log, 1);
  Logger::LogMsg(3, "c", "restored\n");
  EXPECT_NE(ReadFile(log).find("restored"), std::string::npos);
}

TEST_F(LoggerTest, RotateWithoutLogFileTouchesNothing) {
  EXPECT_EQ(Logger::Rotate(), -1);
  EXPECT_EQ(Logger::log_fp, stderr);
}

TEST_F(LoggerTest, DestroyAfterFileFallsBackToStdout) {
  OpenLogFile(dir_ / "log", 5);
  Logger::Destroy();
  EXPECT_EQ(Logger::log_fp, stdout);
  EXPECT_EQ(Logger::log_type, Logger::kStderr);
  EXPECT_EQ(Logger::log_size, -1);
  EXPECT_EQ(Logger::log_path, "");
  EXPECT_EQ(Logger::rotate_cnt, 32);
  testing::internal::CaptureStdout();
  Logger::LogMsg(3, "c", "on stdout\n");
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(out.substr(LogCapture::kStampLength), "on stdout\n");
}

TEST_F(LoggerTest, DestroyWithoutFileDoesNothing) {
  for (Logger::Type type : {Logger::kSyslog, Logger::kStdout, Logger::kStderr}) {
    Logger::log_type = type;
    Logger::Destroy();
    EXPECT_EQ(Logger::log_type, type);
    EXPECT_EQ(Logger::log_fp, stderr);
    EXPECT_EQ(Logger::rotate_cnt, 20);
  }
}

TEST_F(LoggerTest, InitializeSetsThresholdsFromConfiguration) {
  kelo_test::WriteFile(dir_ / "debug", "system_db_debug = 7\nquiet=2\n");
  ASSERT_EQ(Logger::Initialize(Logger::kStderr, "", dir_ / "debug", 5), 0);
  const std::map<std::string, int> expected = {
      {"default_component", 4}, {"quiet", 2}, {"system_db_debug", 7}};
  EXPECT_EQ(Logger::log_level, expected);
  EXPECT_EQ(Logger::log_fp, stderr);
  EXPECT_EQ(Logger::rotate_cnt, 20) << "only a log file sets the rotation count";

  LogCapture capture;
  KELO_LOG_DEBUG("system_db_debug", "shown\n");
  KELO_LOG_DEBUG("fstat_db_debug", "hidden\n");
  KELO_LOG_ERROR("quiet", "hidden\n");
  ASSERT_EQ(capture.Lines().size(), 1u);
  EXPECT_NE(capture.Lines()[0].find("shown"), std::string::npos);
}

TEST_F(LoggerTest, InitializeWithBadConfigurationSetsOnlyDefault) {
  kelo_test::WriteFile(dir_ / "debug", "system_db_debug = 7\n[main]\n");
  Logger::log_level["earlier"] = 6;
  ASSERT_EQ(Logger::Initialize(Logger::kStdout, "", dir_ / "debug", 5), 0);
  const std::map<std::string, int> expected = {{"default_component", 4}, {"earlier", 6}};
  EXPECT_EQ(Logger::log_level, expected);
  EXPECT_EQ(Logger::log_fp, stdout);

  kelo_test::WriteFile(dir_ / "override", "default_component=1\n");
  ASSERT_EQ(Logger::Initialize(Logger::kSyslog, "", dir_ / "override", 5), 0);
  EXPECT_EQ(Logger::log_level["default_component"], 1);
  EXPECT_EQ(Logger::log_fp, nullptr);
}

TEST_F(LoggerTest, UnopenableLogFileKeepsPreviousStream) {
  {
    LogCapture capture;
    EXPECT_EQ(Logger::Initialize(Logger::kFile, dir_ / "missing/dir/log", "", 7), -1);
    EXPECT_EQ(Logger::log_type, Logger::kFile);
    EXPECT_EQ(Logger::rotate_cnt, 20);
    EXPECT_EQ(Logger::log_size, -1);
    Logger::LogMsg(3, "c", "still captured\n");
    EXPECT_EQ(capture.Lines(), std::vector<std::string>{"still captured"});
  }
  // With standard error still the stream, closing the "log file" must leave it open.
  ASSERT_EQ(Logger::Initialize(Logger::kFile, dir_ / "missing/dir/log", "", 7), -1);
  Logger::Destroy();
  EXPECT_NE(fcntl(STDERR_FILENO, F_GETFD), -1);
}

TEST_F(LoggerTest, SwitchingToStdoutLeavesFileOpen) {
  OpenLogFile(dir_ / "log", 5);
  FILE* file = Logger::log_fp;
  const int fd = fileno(file);
  ASSERT_EQ(Logger::Initialize(Logger::kStdout, "", dir_ / "none", 5), 0);
  EXPECT_EQ(Logger::log_fp, stdout);
  EXPECT_EQ(Logger::log_size, -1);
  EXPECT_NE(fcntl(fd, F_GETFD), -1);
  std::fclose(file);
}

TEST_F(LoggerTest, ConcurrentWritersDuringRotationLoseAndMixNothing) {
  const std::string log = dir_ / "log";
  OpenLogFile(log, 50);
  constexpr int kThreads = 4;
  constexpr int kMessages = 1500;
  const std::string pad(1000, 'p');
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &pad] {
      for (int i = 0; i < kMessages; ++i) Logger::LogMsg(3, "c", "T%d M%d %s\n", t, i, pad.c_str());
    });
  }
  for (std::thread& thread : threads) thread.join();

  std::vector<std::vector<bool>> seen(kThreads, std::vector<bool>(kMessages, false));
  const std::regex line_re(R"([A-Z][a-z]{2} \d{2} \d{2}:\d{2}:\d{2} T(\d) M(\d+) p{1000})");
  int rotated_files = 0;
  for (int n = -1; n < 50; ++n) {
    const std::string name = n < 0 ? log : log + "_" + std::to_string(n);
    if (!fs::exists(name)) continue;
    if (n >= 0) ++rotated_files;
    std::istringstream in(ReadFile(name));
    for (std::string line; std::getline(in, line);) {
      std::smatch m;
      ASSERT_TRUE(std::regex_match(line, m, line_re)) << "mixed line in " << name;
      const int t = std::stoi(m[1]);
      const int i = std::stoi(m[2]);
      EXPECT_FALSE(seen[t][i]) << "duplicate T" << t << " M" << i;
      seen[t][i] = true;
    }
  }
  EXPECT_GE(rotated_files, 5);
  for (int t = 0; t < kThreads; ++t) {
    for (int i = 0; i < kMessages; ++i) EXPECT_TRUE(seen[t][i]) << "lost T" << t << " M" << i;
  }
}

}  // namespace
