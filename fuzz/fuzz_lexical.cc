// Fuzzes the tool's lexical path normalisation against a model written from its contract.
//
// Input: the path, then (after the first NUL byte, if any) the base folder that relative paths
// are taken from. A NUL byte after that one is an ordinary byte of the base.
//
// Checked: LexicalNormalPath and AbsoluteLexicalPath equal the model byte for byte; every
// result (but the empty one for an empty path) begins with '/', holds no empty, "." or ".."
// component and no trailing slash (the root aside), and normalising it again changes nothing.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "cli/lexical-path.h"
#include "fuzz/fuzz-support.h"

namespace {

using kelo_fuzz::Check;

// One pass over the bytes, a component at a time: the result so far is a stack of components
// kept in `out` itself ("/a/b"), so ".." cuts `out` back to its last slash.
std::string Model(std::string_view path) {
  std::string out;
  std::string component;
  for (size_t i = 0; i <= path.size(); ++i) {
    if (i < path.size() && path[i] != '/') {
      component += path[i];
      continue;
    }
    if (component == "..") {
      out.erase(out.empty() ? 0 : out.rfind('/'));
    } else if (!component.empty() && component != ".") {
      out += '/';
      out += component;
    }
    component.clear();
  }
  return out.empty() ? "/" : out;
}

std::string AbsoluteModel(std::string_view path, std::string_view base) {
  if (path.empty()) return "";
  if (path[0] == '/') return Model(path);
  return Model(std::string(base) + "/" + std::string(path));
}

// The shape every normal path has.
bool IsNormal(const std::string& path) {
  if (path == "/") return true;
  if (path.empty() || path[0] != '/' || path.back() == '/') return false;
  for (size_t start = 1; start <= path.size();) {
    size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    const std::string_view component(path.data() + start, end - start);
    if (component.empty() || component == "." || component == "..") return false;
    start = end + 1;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const size_t nul = input.find('\0');
  const std::string_view path = input.substr(0, nul);
  const std::string_view base = nul == std::string_view::npos ? "" : input.substr(nul + 1);

  const std::string normal = kelo::LexicalNormalPath(path);
  Check(normal == Model(path), "LexicalNormalPath differs from the model");
  Check(IsNormal(normal), "a normal path has an empty, '.' or '..' component or a final slash");
  Check(kelo::LexicalNormalPath(normal) == normal, "normalising twice changes the path");

  const std::string absolute = kelo::AbsoluteLexicalPath(path, base);
  Check(absolute == AbsoluteModel(path, base), "AbsoluteLexicalPath differs from the model");
  Check(path.empty() ? absolute.empty() : IsNormal(absolute), "an absolute path is not normal");
  return 0;
}
