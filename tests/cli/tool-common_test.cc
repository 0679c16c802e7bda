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
  constexpr unsigned kAll = kelo::kToolOptHome | kelo::kToolOptJson | kelo::kToolOptExplain |
                            kelo::kToolOptFolder | kelo::kToolOptInterval;
  const struct {
    std::vector<std::string> argv;
    unsigned allowed;
    std::string parsed;  // "home,interval,flags set|arguments"; empty: refused with 2
  } cases[] = {
      {{"--home", "/h", "--json", "p"}, kAll, "/h,, json|p"},
      {{"--home=/h", "--interval=50", "p", "q"}, kAll, "/h,50,|p q"},
      {{"--explain", "--folder", "-"}, kAll, ",, explain folder|-"},
      {{"--", "--json", "-x"}, 0, ",,|--json -x"},
      {{"--home"}, kAll, ""},
      {{"--home="}, kAll, ""},
      {{"--interval"}, kAll, ""},
      {{"--frob"}, kAll, ""},
      {{"--json"}, kAll & ~kelo::kToolOptJson, ""},
      {{"--home", "/h"}, kelo::kToolOptJson, ""},
      {{"--interval=5"}, kelo::kToolOptHome, ""},
      {{"--explain"}, kelo::kToolOptFolder, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.argv[0] + " " + std::to_string(c.allowed));
    kelo::ToolOptions o;
    const int rc = kelo::ParseToolOptions("test", c.argv, c.allowed, &o);
    EXPECT_EQ(c.parsed.empty() ? 2 : 0, rc);
    if (rc != 0) continue;
    std::string parsed = o.home + "," + o.interval + "," + (o.json ? " json" : "") +
                         (o.explain ? " explain" : "") + (o.folder ? " folder" : "") + "|";
    for (size_t i = 0; i < o.args.size(); ++i) parsed += (i > 0 ? " " : "") + o.args[i];
    EXPECT_EQ(c.parsed, parsed);
  }
}

}  // namespace
