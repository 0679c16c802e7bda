#include "log/config.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "support/temp-dir.h"

namespace {

// A line's result, and the key and value it gives (nullptr: left untouched).
TEST(ConfigParse, LineSyntax) {
  constexpr int kEntry = Config::kParsedEntry;
  constexpr int kNothing = Config::kNothing;
  constexpr int kError = Config::kSyntaxError;
  const std::string fits(1023, 'k'), too_long(1024, 'k');
  // clang-format off
  const struct {
    std::string line;
    int result;
    const char* key = nullptr;
    const char* value = nullptr;
  } cases[] = {
      {"fstat_db_debug=7\n", kEntry, "fstat_db_debug", "7"},
      {"fstat_db_debug = 7   # more\n", kEntry, "fstat_db_debug", "7"},
      {"  \tkey-1\t=\tv\n", kEntry, "key-1", "v"},
      {"a = 'b c'\n", kEntry, "a", "b c"},
      {"a = \"b c\" # note\n", kEntry, "a", "b c"},
      {"a = ''\n", kEntry, "a", ""},
      {"a = x#y\n", kEntry, "a", "x#y"},
      {"a = x #y\n", kEntry, "a", "x"},
      {"a = x=y\n", kEntry, "a", "x=y"},
      {"=5\n", kEntry, "", "5"},
      {"a = v", kEntry, "a", "v"},
      {"a = \xc3\xa9t\xc3\xa9\n", kEntry, "a", "\xc3\xa9t\xc3\xa9"},
      {"", kNothing}, {"\n", kNothing}, {" \t \r\n", kNothing}, {"# comment = 1\n", kNothing},
      {"   #\n", kNothing}, {"abc", kNothing}, {"abc#x\n", kNothing},
      {"abc\n", kError}, {"a = b c\n", kError}, {"a = 'b\n", kError}, {"a = 'b\tc'\n", kError},
      {"a = \"b'\n", kError}, {"a = 'b' c\n", kError}, {"a =\n", kError}, {"a = \t \n", kError},
      {"[main]\n", kError}, {"a.b = 1\n", kError}, {"a b = 1\n", kError},
      // Keys and values of up to 1023 bytes.
      {fits + "=1\n", kEntry, fits.c_str(), "1"},
      {too_long + "=1\n", kError},
      {"k=" + fits + "\n", kEntry, "k", fits.c_str()},
      {"k=" + too_long + "\n", kError},
      {"k='" + too_long + "'\n", kError}};
  // clang-format on
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "line: \"" << c.line.substr(0, 40) << "\"");
    std::string line = c.line, key = "untouched", value = "untouched";
    EXPECT_EQ(Config::parse(line.data(), static_cast<int>(line.size()), key, value), c.result);
    EXPECT_EQ(key, c.key != nullptr ? c.key : "untouched");
    EXPECT_EQ(value, c.value != nullptr ? c.value : "untouched");
  }
}

TEST(ConfigRead, Files) {
  using Map = std::map<std::string, std::string>;
  const struct {
    std::string content;
    int result;
    Map entries;  // on top of the earlier entry {"z", "9"}
  } cases[] = {
      {"# thresholds\na = 1\n\nb='two words'\na = 3\nlast",
       0,
       {{"a", "3"}, {"b", "two words"}, {"z", "9"}}},
      {"a = 1\nb = 2\n[main]\nc = 3\n", -1, {}},
      // A line longer than 8191 bytes (newline included) is one line: ignored when it
      // holds only white space or a comment, refused otherwise.
      {"#" + std::string(8190, 'x') + "system_db_debug=7\n", 0, {{"z", "9"}}},
      {std::string(9000, ' ') + "\n" + std::string(8191, ' ') + "# k=2\nk=1\n",
       0,
       {{"k", "1"}, {"z", "9"}}},
      {"k=1" + std::string(8187, ' ') + "\n", 0, {{"k", "1"}, {"z", "9"}}},
      {"k=1" + std::string(8188, ' '), 0, {{"k", "1"}, {"z", "9"}}},
      {"k=1" + std::string(8188, ' ') + "\n", -1, {}},
      {"k=1 #" + std::string(9000, 'x') + "\n", -1, {}},
      {"k = " + std::string(2000, 'v') + "\n", -1, {}},
  };
  kelo_test::TempDir dir;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.content.substr(0, 40));
    kelo_test::WriteFile(dir / "earlier", "z = 9\n");
    kelo_test::WriteFile(dir / "c", c.content);
    Config config;
    ASSERT_EQ(config.read((dir / "earlier").c_str()), 0);
    EXPECT_EQ(config.read((dir / "c").c_str()), c.result);
    EXPECT_EQ(config.entries(), c.entries);
  }
  // Only a regular file is read; anything else leaves the map as it was.
  Config config;
  ASSERT_EQ(config.read((dir / "earlier").c_str()), 0);
  EXPECT_EQ(config.read(nullptr), -1);
  EXPECT_EQ(config.read((dir / "missing").c_str()), -1);
  EXPECT_EQ(config.read(dir.path().c_str()), -1);
  EXPECT_EQ(config.read("/dev/null"), -1);
  // A FIFO without a writer: refused at once. Should the read wait for a writer instead,
  // the guard below plays one, so that the test fails rather than hangs.
  const std::string fifo = dir / "fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  std::atomic<int> result{1};
  std::thread reader([&] { result = config.read(fifo.c_str()); });
  for (int i = 0; i < 3000 && result == 1; ++i) usleep(10000);
  if (result == 1) close(open(fifo.c_str(), O_WRONLY | O_NONBLOCK));
  reader.join();
  EXPECT_EQ(result, -1);
  EXPECT_EQ(config.entries(), (Map{{"z", "9"}}));
}

// As a stream reads an int: a leading number, 0 for none, the largest int past it; an absent key
// reads 0 and is entered.
TEST(ConfigGetInt, StreamConversion) {
  kelo_test::TempDir dir;
  kelo_test::WriteFile(dir / "c",
                       "a=7\nb=-3\nc=12abc\nd=abc\ne=''\nf=' 42'\ng=+5\nh=99999999999\n");
  Config config;
  ASSERT_EQ(config.read((dir / "c").c_str()), 0);
  std::vector<int> read;
  for (const char* key : {"a", "b", "c", "d", "e", "f", "g", "h", "absent"}) {
    read.push_back(config.get_int(key));
  }
  EXPECT_EQ(read, (std::vector<int>{7, -3, 12, 0, 0, 42, 5, 2147483647, 0}));
  EXPECT_EQ(config.entries().at("absent"), "");
}

TEST(ConfigCopy, ClearsWholeBufferAndTerminates) {
  char buffer[8];
  std::memset(buffer, 'x', sizeof(buffer));
  EXPECT_STREQ(Config::mbstowcsIfNeed(buffer, "ab", sizeof(buffer)), "ab");
  for (size_t i = 2; i < sizeof(buffer); ++i) EXPECT_EQ(buffer[i], '\0') << i;
  EXPECT_STREQ(Config::mbstowcsIfNeed(buffer, "0123456789", sizeof(buffer)), "0123456");
}

}  // namespace
