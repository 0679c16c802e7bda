#include "tools/lexical-path.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(LexicalPath, NormalSpelling) {
  const struct {
    std::string in;
    const char* base;  // nullptr: LexicalNormalPath(in), else AbsoluteLexicalPath(in, base)
    std::string out;
  } cases[] = {
      {"/", nullptr, "/"},
      {"", nullptr, "/"},
      {"//", nullptr, "/"},
      {"/u/Sync", nullptr, "/u/Sync"},
      {"/u/Sync/", nullptr, "/u/Sync"},
      {"/u/Sync///", nullptr, "/u/Sync"},
      {"//u///Sync//a", nullptr, "/u/Sync/a"},
      {"/u/./Sync/.", nullptr, "/u/Sync"},
      {"/./././", nullptr, "/"},
      {"/u/Sync/../Docs", nullptr, "/u/Docs"},
      {"/u/Sync/a/b/../../c", nullptr, "/u/Sync/c"},
      {"/..", nullptr, "/"},
      {"/../../u", nullptr, "/u"},
      {"/u/..", nullptr, "/"},
      {"/u/../..", nullptr, "/"},
      {"/u/.../..a/.b/a.", nullptr, "/u/.../..a/.b/a."},
      {"u/v", nullptr, "/u/v"},  // read as if it began with '/'
      {"./u/../v/", nullptr, "/v"},
      // Bytes are kept as they are, a backslash and a NUL byte are ordinary ones.
      {"/R\xC3\xA9sum\xC3\xA9s/../E\xCC\x81quipe/", nullptr, "/E\xCC\x81quipe"},
      {"/bad/\xFF\xFE/./x", nullptr, "/bad/\xFF\xFE/x"},
      {std::string("/a\0b/./c", 8), nullptr, std::string("/a\0b/c", 6)},
      {"/a/b\\/c", nullptr, "/a/b\\/c"},
      // A relative path is taken from the base; an empty one is no path.
      {"", "/u", ""},
      {"Docs/", "/u/Sync", "/u/Sync/Docs"},
      {"./Docs/../Photos", "/u/Sync/", "/u/Sync/Photos"},
      {"../../..", "/u/Sync", "/"},
      {"x", "/", "/x"},
      {"x", "", "/x"},
      {"/abs/./p/", "/ignored", "/abs/p"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.in + (c.base != nullptr ? std::string(" from ") + c.base : ""));
    EXPECT_EQ(c.out, c.base == nullptr ? kelo::LexicalNormalPath(c.in)
                                       : kelo::AbsoluteLexicalPath(c.in, c.base));
  }
}

}  // namespace
