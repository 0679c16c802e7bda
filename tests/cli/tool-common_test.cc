#include "cli/tool-common.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

TEST(ToolCommon, TextForPeopleAndForJson) {
  const struct {
    std::string in, printable, json;
  } cases[] = {
      {"/u/Sync/a.txt", "/u/Sync/a.txt", "\"/u/Sync/a.txt\""},
      {"/u/R\xC3\xA9sum\xC3\xA9", "/u/R\xC3\xA9sum\xC3\xA9", "\"/u/R\xC3\xA9sum\xC3\xA9\""},
      {"/bad/\xFF\xC3", "/bad/\\xFF\\xC3", "\"/bad/\xEF\xBF\xBD\xEF\xBF\xBD\""},
      {"/a\xED\xA0\x80", "/a\\xED\\xA0\\x80",
       "\"/a\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\""},  // surrogate
      {"q\"b\\s", "q\"b\\s", "\"q\\\"b\\\\s\""},
      {std::string("n\nt\t\0", 5), "n\\x0At\\x09\\x00", "\"n\\u000at\\u0009\\u0000\""},
      {"\x1F \x7F", "\\x1F \x7F", "\"\\u001f \x7F\""},  // the last control byte, then none
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.printable);
    EXPECT_EQ(c.printable, kelo::Printable(c.in));
    EXPECT_EQ(c.json, kelo::JsonString(c.in));
  }
}

// Each command accepts its own options only; values come as the next word or after '='.
TEST(ToolCommon, OptionsOfEachCommand) {
  using Args = std::vector<std::string>;
  constexpr unsigned kAll = kelo::kToolOptHome | kelo::kToolOptJson | kelo::kToolOptExplain |
                            kelo::kToolOptFolder | kelo::kToolOptInterval;
  const struct {
    Args argv;
    unsigned allowed;
    int rc;
    std::string home, interval;
    bool json, explain, folder;
    Args args;
  } cases[] = {
      {{"--home", "/h", "--json", "p"}, kAll, 0, "/h", "", true, false, false, {"p"}},
      {{"--home=/h", "--interval=50", "p", "q"},
       kAll,
       0,
       "/h",
       "50",
       false,
       false,
       false,
       {"p", "q"}},
      {{"--explain", "--folder", "-"}, kAll, 0, "", "", false, true, true, {"-"}},
      {{"--", "--json", "-x"}, 0, 0, "", "", false, false, false, {"--json", "-x"}},
      {{"--home"}, kAll, 2, "", "", false, false, false, {}},
      {{"--home="}, kAll, 2, "", "", false, false, false, {}},
      {{"--interval"}, kAll, 2, "", "", false, false, false, {}},
      {{"--frob"}, kAll, 2, "", "", false, false, false, {}},
      {{"--json"}, kAll & ~kelo::kToolOptJson, 2, "", "", false, false, false, {}},
      {{"--home", "/h"}, kelo::kToolOptJson, 2, "", "", false, false, false, {}},
      {{"--interval=5"}, kelo::kToolOptHome, 2, "", "", false, false, false, {}},
      {{"--explain"}, kelo::kToolOptFolder, 2, "", "", false, false, false, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.argv[0] + " " + std::to_string(c.allowed));
    kelo::ToolOptions options;
    EXPECT_EQ(c.rc, kelo::ParseToolOptions("test", c.argv, c.allowed, &options));
    if (c.rc != 0) continue;
    EXPECT_EQ(c.home, options.home);
    EXPECT_EQ(c.interval, options.interval);
    EXPECT_EQ(c.json, options.json);
    EXPECT_EQ(c.explain, options.explain);
    EXPECT_EQ(c.folder, options.folder);
    EXPECT_EQ(c.args, options.args);
  }
}

}  // namespace
