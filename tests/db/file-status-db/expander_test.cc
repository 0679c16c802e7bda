#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "db/file-status-db/file-status-db-internal.h"

namespace {

constexpr char kLike[] = "select * from fstatinfo where path like '@KELO:LVAR'";
constexpr char kBelow[] =
    "select * from fstatinfo where path like '@KELO:LVAR%' and syncStatus=@KELO:INT limit 2";

struct ExpandCase {
  std::string name;
  std::function<char*()> expand;
  std::string expected;
};

std::string Repeat(char c, size_t n) { return std::string(n, c); }

// Every row is checked byte for byte; ASan reports any write past a working buffer.
std::vector<ExpandCase> Cases() {
  const std::string k5000 = Repeat('x', 5000);
  const std::string k4095 = Repeat('n', 4095);
  const std::string k4096 = Repeat('n', 4096);
  const std::string kQuotes100 = Repeat('\'', 100);
  const std::string kQuotes40 = Repeat('\'', 40);
  const std::string kLongSecond = "y'" + Repeat('_', 300) + "\\%";
  std::string longSecondLiked = "y''";
  for (int i = 0; i < 300; ++i) longSecondLiked += "\\_";
  longSecondLiked += "\\\\\\%";

  std::vector<ExpandCase> cases = {
      {"lvar escapes quote, wildcards and backslash",
       [] { return KELODBEscapeStringEX3(kLike, "a_b%c'd\\e"); },
       "select * from fstatinfo where path like 'a\\_b\\%c''d\\\\e' escape '\\'"},
      {"lvar prefix and int", [] { return KELODBEscapeStringEX3(kBelow, "/x/y/", 2); },
       "select * from fstatinfo where path like '/x/y/%' escape '\\' and syncStatus=2 limit 2"},
      {"empty lvar still escapes", [] { return KELODBEscapeStringEX3(kBelow, "", 2); },
       "select * from fstatinfo where path like '%' escape '\\' and syncStatus=2 limit 2"},
      {"null lvar counts as empty",
       [] { return KELODBEscapeStringEX3(kBelow, static_cast<const char*>(nullptr), 2); },
       "select * from fstatinfo where path like '%' escape '\\' and syncStatus=2 limit 2"},
      {"var doubles quotes only, no escape clause",
       [] { return KELODBEscapeStringEX3("x='@KELO:VAR' and y='z'", "it's 50%"); },
       "x='it''s 50%' and y='z'"},
      {"nevar is written unchanged", [] { return KELODBEscapeStringEX3("@KELO:NEVAR", "a'b_%\\"); },
       "a'b_%\\"},
      {"int and long long",
       [] { return KELODBEscapeStringEX3("@KELO:INT,@KELO:LLINT", -5, 4294967296LL); },
       "-5,4294967296"},
      {"extreme integers",
       [] { return KELODBEscapeStringEX3("@KELO:INT @KELO:LLINT", INT_MIN, LLONG_MIN); },
       "-2147483648 -9223372036854775808"},
      {"no placeholders", [] { return KELODBEscapeStringEX3("select 1"); }, "select 1"},
      {"empty template", [] { return KELODBEscapeStringEX3(""); }, ""},
      {"unknown names are text and consume nothing",
       [] { return KELODBEscapeStringEX3("@KELO:FOO @ @KELO a@b=@KELO:INT", 7); },
       "@KELO:FOO @ @KELO a@b=7"},
      {"VARX expands VAR and keeps X", [] { return KELODBEscapeStringEX3("@KELO:VARX", "v"); },
       "vX"},
      {"values are never rescanned",
       [] { return KELODBEscapeStringEX3("'@KELO:VAR' @KELO:INT", "@KELO:INT'", 3); },
       "'@KELO:INT''' 3"},
      {"lvar before the first quote: clause after the second",
       [] { return KELODBEscapeStringEX3("@KELO:LVAR='1' and '2'", "v_"); },
       "v\\_='1' escape '\\' and '2'"},
      {"each lvar gets its own clause",
       [] { return KELODBEscapeStringEX3("a like '@KELO:LVAR' or b like '@KELO:LVAR'", "p", "q"); },
       "a like 'p' escape '\\' or b like 'q' escape '\\'"},
      {"second longer var value",
       [] { return KELODBEscapeStringEX3("'@KELO:VAR' '@KELO:VAR'", "'", "a''b'''c'"); },
       "'''' 'a''''b''''''c'''"},
      {"second longer lvar value",
       [kLongSecond] {
         return KELODBEscapeStringEX3("'@KELO:LVAR' '@KELO:LVAR'", "a", kLongSecond.c_str());
       },
       "'a' escape '\\' '" + longSecondLiked + "' escape '\\'"},
      {"growth past 4096", [k5000] { return KELODBEscapeStringEX3("'@KELO:LVAR'", k5000.c_str()); },
       "'" + k5000 + "' escape '\\'"},
      {"value of 100 quotes stays whole",
       [kQuotes100] { return KELODBEscapeStringEX3("'@KELO:VAR'", kQuotes100.c_str()); },
       "'" + Repeat('\'', 200) + "'"},
      {"quote-only folder prefix keeps the pattern",
       [kQuotes40] { return KELODBEscapeStringEX3(kBelow, kQuotes40.c_str(), 2); },
       "select * from fstatinfo where path like '" + Repeat('\'', 80) +
           "%' escape '\\' and syncStatus=2 limit 2"},
      {"template of 4095", [k4095] { return KELODBEscapeStringEX3(k4095.c_str()); }, k4095},
      {"template ending at the boundary", [k4096] { return KELODBEscapeStringEX3(k4096.c_str()); },
       k4096},
      {"value ending at the boundary",
       [k4096] { return KELODBEscapeStringEX3("@KELO:NEVAR", k4096.c_str()); }, k4096},
  };
  // The escape clause ending just below, at and just past the first boundary.
  for (size_t n : {4082u, 4083u, 4084u}) {
    cases.push_back(
        {"escape clause near the boundary, value " + std::to_string(n),
         [value = Repeat('x', n)] { return KELODBEscapeStringEX3("'@KELO:LVAR'", value.c_str()); },
         "'" + Repeat('x', n) + "' escape '\\'"});
  }
  return cases;
}

TEST(Expander, ExpandsEveryCaseByteForByte) {
  for (const ExpandCase& c : Cases()) {
    SCOPED_TRACE(c.name);
    std::unique_ptr<char, decltype(&free)> sql(c.expand(), &free);
    ASSERT_NE(sql, nullptr);
    EXPECT_EQ(std::string(sql.get()), c.expected);
  }
}

TEST(Expander, NullTemplateGivesNull) { EXPECT_EQ(KELODBEscapeStringEX3(nullptr), nullptr); }

TEST(ExpendBufSize, RefusesBadArgumentsAndLeavesBufferAlone) {
  char* block = static_cast<char*>(malloc(8));
  char* none = nullptr;
  struct Case {
    const char* name;
    char** buffer;
    int current, required;
  } cases[] = {
      {"null buffer", nullptr, 8, 16},
      {"null block", &none, 8, 16},
      {"zero current", &block, 0, 16},
      {"negative current", &block, -1, 16},
      {"zero required", &block, 8, 0},
      {"negative required", &block, 8, -3},
      {"doubled size past INT_MAX", &block, 8, INT_MAX / 2 + 1},
  };
  char* const before = block;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(ExpendBufSize(c.buffer, c.current, c.required, 1), -1);
    EXPECT_EQ(block, before);
  }
  free(block);
}

TEST(ExpendBufSize, GrowsToTwiceTheRequiredSizeKeepingContent) {
  char* block = static_cast<char*>(malloc(4));
  memcpy(block, "abcd", 4);
  ASSERT_EQ(ExpendBufSize(&block, 4, 10, 1), 20);
  EXPECT_EQ(std::string(block, 4), "abcd");
  block[19] = 'z';  // The whole new size is usable (ASan checks).
  free(block);
}

}  // namespace
