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
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.printable);
    EXPECT_EQ(c.printable, kelo::Printable(c.in));
    EXPECT_EQ(c.json, kelo::JsonString(c.in));
  }
}

TEST(ToolCommon, OptionsOfTheCommandsInTheirOwnUnits) {
  using Args = std::vector<std::string>;
  const struct {
    Args argv;
    bool allow_interval;
    int rc;
    std::string home, interval;
    Args args;
  } cases[] = {
      {{"--home", "/h", "--json", "p"}, false, 0, "/h", "", {"p"}},
      {{"--home=/h", "--interval=50", "p", "q"}, true, 0, "/h", "50", {"p", "q"}},
      {{"--", "--json", "-"}, true, 0, "", "", {"--json", "-"}},
      {{"--home"}, false, 2, "", "", {}},
      {{"--home="}, false, 2, "", "", {}},
      {{"--interval"}, true, 2, "", "", {}},
      {{"--frob"}, true, 2, "", "", {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.argv.empty() ? "" : c.argv[0]);
    kelo::ToolOptions options;
    EXPECT_EQ(c.rc, kelo::ParseToolOptions("test", c.argv, c.allow_interval, &options));
    if (c.rc != 0) continue;
    EXPECT_EQ(c.home, options.home);
    EXPECT_EQ(c.interval, options.interval);
    EXPECT_EQ(c.args, options.args);
  }
}

}  // namespace
