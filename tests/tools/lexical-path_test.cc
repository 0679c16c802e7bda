#include "tools/lexical-path.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(LexicalPath, NormalSpelling) {
  const struct {
    std::string in, out;
  } cases[] = {
      {"/", "/"},
      {"", "/"},
      {"//", "/"},
      {"/u/Sync", "/u/Sync"},
      {"/u/Sync/", "/u/Sync"},
      {"/u/Sync///", "/u/Sync"},
      {"//u///Sync//a", "/u/Sync/a"},
      {"/u/./Sync/.", "/u/Sync"},
      {"/./././", "/"},
      {"/u/Sync/../Docs", "/u/Docs"},
      {"/u/Sync/a/b/../../c", "/u/Sync/c"},
      {"/..", "/"},
      {"/../../u", "/u"},
      {"/u/..", "/"},
      {"/u/../..", "/"},
      {"/u/.../..a/.b/a.", "/u/.../..a/.b/a."},
      {"u/v", "/u/v"},  // read as if it began with '/'
      {"./u/../v/", "/v"},
      {"/R\xC3\xA9sum\xC3\xA9s/../E\xCC\x81quipe/", "/E\xCC\x81quipe"},  // bytes kept as they are
      {"/bad/\xFF\xFE/./x", "/bad/\xFF\xFE/x"},
      {std::string("/a\0b/./c", 8), std::string("/a\0b/c", 6)},
      {"/a/b\\/c", "/a/b\\/c"},  // a backslash is an ordinary byte
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.in);
    const std::string once = kelo::LexicalNormalPath(c.in);
    EXPECT_EQ(c.out, once);
    EXPECT_EQ(once, kelo::LexicalNormalPath(once));
  }
}

TEST(LexicalPath, RelativePathsAreTakenFromTheBase) {
  const struct {
    const char *path, *base, *out;
  } cases[] = {
      {"", "/u", ""},
      {"Docs/", "/u/Sync", "/u/Sync/Docs"},
      {"./Docs/../Photos", "/u/Sync/", "/u/Sync/Photos"},
      {"../../..", "/u/Sync", "/"},
      {"x", "/", "/x"},
      {"x", "", "/x"},
      {"/abs/./p/", "/ignored", "/abs/p"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.path) + " from " + c.base);
    EXPECT_EQ(c.out, kelo::AbsoluteLexicalPath(c.path, c.base));
  }
}

}  // namespace
