#include "log/log.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/log-capture.h"
#include "support/temp-dir.h"

namespace {

namespace fs = std::filesystem;
using kelo_test::LogCapture;
using kelo_test::ReadFile;
using kelo_test::TempDir;
using Strings = std::vector<std::string>;

// Puts the logger back into its state at process start around every test.
class LoggerTest : public testing::Test {
 protected:
  void SetUp() override { Reset(); }
  void TearDown() override {
    if (Logger::log_type == Logger::kFile) Logger::Destroy();
    Reset();
  }
  static void Reset() {
    kelo_test::LoggerSettings() = std::make_tuple(std::map<std::string, int>(), Logger::kStdout,
                                                  stderr, std::string(), -1, 20);
  }
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

TEST_F(LoggerTest, InitialStateWritesStampedErrorLinesToStderr) {
  testing::internal::CaptureStderr();
  const int line = __LINE__ + 1;
  KELO_LOG_ERROR("any", "open db failed. db-path:[%s]\n", "/x");
  KELO_LOG_INFO("any", "dropped\n");
  KELO_LOG_DEBUG("any", "dropped\n");
  EXPECT_EQ(testing::internal::GetCapturedStderr().substr(LogCapture::kStampLength),
            "[ERROR] log_test.cc(" + std::to_string(line) + "): open db failed. db-path:[/x]\n");
}

// Thresholds per component (4 for one not named), the va_list entry point, the system log and
// an unknown destination (standard error, no stamp).
TEST_F(LoggerTest, ThresholdPerComponentAndDestinations) {
  const struct {
    const char* component;
    int level;
    const char* written;  // the line's tag, or nullptr: not written
  } cases[] = {{"seven", 3, "[ERROR]"}, {"seven", 7, "[DEBUG]"}, {"seven", 6, "[INFO]"},
               {"two", 3, nullptr},     {"absent", 4, "[WARN]"}, {"absent", 5, nullptr},
               {"Seven", 7, nullptr},   {"", 3, "[ERROR]"}};
  Logger::log_level = {{"seven", 7}, {"two", 2}, {"default_component", 9}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.component << " level " << c.level);
    LogCapture capture;
    if (c.level == 3) KELO_LOG_ERROR(c.component, "x\n");
    if (c.level == 6) KELO_LOG_INFO(c.component, "x\n");
    if (c.level == 7) KELO_LOG_DEBUG(c.component, "x\n");
    if (c.level == 4 || c.level == 5) Logger::LogMsg(c.level, c.component, "[WARN] x\n");
    const Strings lines = capture.Messages();
    ASSERT_EQ(lines.size(), c.written != nullptr ? 1u : 0u);
    if (c.written != nullptr) {
      EXPECT_EQ(lines[0].substr(0, lines[0].find(' ')), c.written);
    }
  }
  LogCapture capture;
  LogWithList(3, "system_db_debug", "value %d [%s]\n", 42, "s");
  testing::internal::CaptureStderr();
  Logger::log_type = Logger::kSyslog;  // every passing message goes to the system log only
  KELO_LOG_ERROR("c", "to the system log\n");
  Logger::log_type = 9;
  Logger::LogMsg(3, "c", "plain\n");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "plain\n");
  EXPECT_EQ(capture.Messages(), Strings{"value 42 [s]\n"});
}

// Bytes already in the file are not counted; the message that passes 1 MiB rotates.
TEST_F(LoggerTest, RotationPastOneMebibyteKeepsCountMinusOneOldFiles) {
  const std::string log = dir_ / "log";
  kelo_test::WriteFile(log, "bytes already there are not counted\n");
  OpenLogFile(log, 3);
  const std::string chunk(64 * 1024, 'x');
  const int message_bytes = static_cast<int>(LogCapture::kStampLength + 8 + chunk.size() + 1);
  for (int round = 0; round < 3; ++round) {
    int messages = 0;
    do {
      Logger::LogMsg(3, "c", "round %d %s\n", round, chunk.c_str());
      ++messages;
      ASSERT_TRUE(Logger::log_size == 0 || Logger::log_size == messages * message_bytes);
    } while (Logger::log_size != 0 && messages < 100);
    EXPECT_EQ(messages, Logger::kRotateBytes / message_bytes + 1);
    EXPECT_EQ(fs::file_size(log), 0u);
  }
  EXPECT_FALSE(fs::exists(log + "_2"));
  EXPECT_NE(ReadFile(log + "_0").find("round 2 "), std::string::npos);
  EXPECT_EQ(ReadFile(log + "_0").find("round 1 "), std::string::npos);
  EXPECT_NE(ReadFile(log + "_1").find("round 1 "), std::string::npos);
}

TEST_F(LoggerTest, RotationCountsNeverTouchFilesOutsideTheNumberedSet) {
  const struct {
    int count;
    Strings kept;             // must still hold "sentinel"
    Strings present, absent;  // numbered files after two rotations
  } cases[] = {
      {1, {"log_1", "log_-1", "other"}, {"log_0"}, {}},
      {-3, {"log_1", "log_-1", "log_-4"}, {"log_0"}, {}},
      {4, {"log_4", "log_-1"}, {"log_0", "log_1"}, {"log_2", "log_3"}},
      {1000000, {"log_1000", "log_-1"}, {"log_0", "log_1"}, {"log_2"}},  // capped
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "count " << c.count);
    TempDir dir;
    for (const std::string& name : c.kept) kelo_test::WriteFile(dir / name, "sentinel");
    ASSERT_EQ(Logger::Initialize(Logger::kFile, dir / "log", dir / "none", c.count), 0);
    EXPECT_EQ(Logger::rotate_cnt, std::min(c.count, Logger::kMaxRotateCount));
    for (const char* text : {"first\n", "second\n"}) {
      Logger::LogMsg(3, "c", "%s", text);
      ASSERT_EQ(Logger::Rotate(), 0);
    }
    for (const std::string& name : c.kept) EXPECT_EQ(ReadFile(dir / name), "sentinel") << name;
    for (const std::string& name : c.present) EXPECT_TRUE(fs::exists(dir / name)) << name;
    for (const std::string& name : c.absent) EXPECT_FALSE(fs::exists(dir / name)) << name;
    EXPECT_NE(ReadFile(dir / "log_0").find("second"), std::string::npos);
    Logger::Destroy();
  }
  EXPECT_EQ(Logger::Rotate(), -1) << "no log file: nothing to rotate";
}

// A rename that fails stops file logging until the next Initialize. Rotated names are built in
// 1024-byte buffers: when the kept names don't fit, the log file is not touched, logging goes
// on in it, and it says so once.
TEST_F(LoggerTest, FailedRotation) {
  const std::string log = dir_ / "log";
  fs::create_directories(log + "_0/blocker");  // the rename to "_0" must fail
  OpenLogFile(log, 1);
  Logger::log_size = Logger::kRotateBytes;
  Logger::LogMsg(3, "c", "triggers the rotation\n");
  EXPECT_EQ(Logger::log_fp, nullptr);
  EXPECT_EQ(Logger::log_size, 0);
  Logger::LogMsg(3, "c", "lost\n");
  OpenLogFile(log, 1);
  Logger::LogMsg(3, "c", "restored\n");
  EXPECT_EQ(ReadFile(log).find("lost"), std::string::npos);
  EXPECT_NE(ReadFile(log).find("restored"), std::string::npos);

  const struct {
    size_t length;
    int count;
    bool rotates;
  } cases[] = {{1022, 1, false}, {1021, 2, true}, {1021, 20, false}, {1020, 20, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.length << " bytes, count " << c.count);
    TempDir dir;
    std::string path = dir.path();  // of exactly c.length bytes, its folders created
    while (c.length - path.size() > 201) path += "/" + std::string(200, 'd');
    fs::create_directories(path);
    path += "/" + std::string(c.length - path.size() - 1, 'f');
    OpenLogFile(path, c.count);
    for (const char* text : {"first", "second"}) {
      Logger::log_size = Logger::kRotateBytes;
      Logger::LogMsg(3, "c", "%s\n", text);
      Logger::LogMsg(3, "c", "after %s\n", text);
    }
    ASSERT_NE(Logger::log_fp, nullptr);
    const std::string text = ReadFile(path);
    // Rotated: only the last line. Kept: all four, and the refusal once.
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), c.rotates ? 1 : 5);
    int refusals = 0;
    for (size_t at = 0; (at = text.find("log.cc(", at)) != std::string::npos; ++at) ++refusals;
    EXPECT_EQ(refusals, c.rotates ? 0 : 1) << text;
    EXPECT_NE(text.find("after second"), std::string::npos);
    EXPECT_EQ(fs::exists(path + "_0"), c.rotates);
    Logger::Destroy();
  }
}

// An unknown destination changes nothing and opens nothing; a log file that cannot be opened
// keeps the previous one; another destination leaves the previous file open. Thresholds come
// from the configuration file on top of those set before, unless it is refused; only a log
// file sets the rotation count; Destroy closes only a log file.
TEST_F(LoggerTest, InitializeAndDestroy) {
  const struct {
    const char* config;
    std::map<std::string, int> expected;
  } configs[] = {
      {"system_db_debug = 7\nquiet=2\n",
       {{"default_component", 4}, {"earlier", 6}, {"quiet", 2}, {"system_db_debug", 7}}},
      {"system_db_debug = 7\n[main]\n", {{"default_component", 4}, {"earlier", 6}}},
      {"default_component=1\nearlier=x\n", {{"default_component", 1}, {"earlier", 0}}},
  };
  for (const auto& c : configs) {
    SCOPED_TRACE(c.config);
    Logger::log_level = {{"earlier", 6}};
    kelo_test::WriteFile(dir_ / "debug", c.config);
    ASSERT_EQ(Logger::Initialize(Logger::kStdout, "", dir_ / "debug", 5), 0);
    EXPECT_EQ(Logger::log_level, c.expected);
    EXPECT_EQ(Logger::rotate_cnt, 20);
  }
  Logger::Destroy();  // no log file: nothing to do
  EXPECT_EQ(std::tie(Logger::log_type, Logger::log_fp), std::make_tuple(Logger::kStdout, stdout));
  // After a failed Initialize the destination is a file, the stream still standard error.
  EXPECT_EQ(Logger::Initialize(Logger::kFile, dir_ / "missing/dir/log", "", 7), -1);
  EXPECT_EQ(Logger::log_type, Logger::kFile);
  Logger::Destroy();
  EXPECT_NE(fcntl(STDERR_FILENO, F_GETFD), -1);

  OpenLogFile(dir_ / "log", 5);
  FILE* file = Logger::log_fp;
  kelo_test::WriteFile(dir_ / "debug", "system_db_debug=7\n");
  for (Logger::Type type : {-1, 4, 9, Logger::kFile}) {
    SCOPED_TRACE(type);
    const std::string path = dir_ / (type == Logger::kFile ? "missing/dir/log" : "other");
    Logger::log_level.clear();
    EXPECT_EQ(Logger::Initialize(type, path, dir_ / "debug", 3), -1);
    EXPECT_EQ(std::tie(Logger::log_type, Logger::log_fp, Logger::log_path, Logger::rotate_cnt),
              std::make_tuple(Logger::kFile, file, dir_ / "log", 5));
    EXPECT_TRUE(type == Logger::kFile || Logger::log_level.empty());
    EXPECT_FALSE(fs::exists(path));
  }
  ASSERT_EQ(Logger::Initialize(Logger::kStdout, "", dir_ / "none", 9), 0);
  EXPECT_EQ(Logger::log_fp, stdout);
  EXPECT_EQ(Logger::log_size, -1);
  EXPECT_NE(fcntl(fileno(file), F_GETFD), -1) << "switching destination closed the file";
  std::fclose(file);

  OpenLogFile(dir_ / "log", 5);
  Logger::Destroy();
  EXPECT_EQ(kelo_test::LoggerSettings(),
            std::make_tuple(Logger::log_level, Logger::kStderr, stdout, std::string(), -1, 32));
  testing::internal::CaptureStdout();
  Logger::LogMsg(3, "c", "on stdout\n");
  EXPECT_EQ(testing::internal::GetCapturedStdout().substr(LogCapture::kStampLength), "on stdout\n");
}

TEST_F(LoggerTest, ConcurrentWritersDuringRotationLoseAndMixNothing) {
  const std::string log = dir_ / "log";
  OpenLogFile(log, 50);
  constexpr int kThreads = 4, kMessages = 1500;
  const std::string pad(1000, 'p');
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &pad] {
      for (int i = 0; i < kMessages; ++i) Logger::LogMsg(3, "c", "T%d M%d %s\n", t, i, pad.c_str());
    });
  }
  for (std::thread& thread : threads) thread.join();
  std::vector<std::vector<int>> seen(kThreads, std::vector<int>(kMessages, 0));
  const std::regex line_re(R"([A-Z][a-z]{2} \d{2} \d{2}:\d{2}:\d{2} T(\d) M(\d+) p{1000})");
  int files = 0;
  for (int n = -1; n < 50; ++n) {
    const std::string name = n < 0 ? log : log + "_" + std::to_string(n);
    if (!fs::exists(name)) continue;
    ++files;
    std::istringstream in(ReadFile(name));
    for (std::string line; std::getline(in, line);) {
      std::smatch m;
      ASSERT_TRUE(std::regex_match(line, m, line_re)) << "mixed line in " << name;
      ++seen[std::stoi(m[1])][std::stoi(m[2])];
    }
  }
  EXPECT_GE(files, 6);
  EXPECT_EQ(seen, std::vector<std::vector<int>>(kThreads, std::vector<int>(kMessages, 1)));
}

}  // namespace
