#include "cli/lexical-path.h"

#include <algorithm>
#include <vector>

namespace kelo {

std::string LexicalNormalPath(std::string_view path) {
  std::vector<std::string_view> kept;
  size_t pos = 0;
  while (pos < path.size()) {
    const size_t end = std::min(path.find('/', pos), path.size());
    const std::string_view component = path.substr(pos, end - pos);
    pos = end + 1;
    if (component.empty() || component == ".") continue;
    if (component == "..") {
      if (!kept.empty()) kept.pop_back();
      continue;
    }
    kept.push_back(component);
  }
  if (kept.empty()) return "/";
  std::string out;
  out.reserve(path.size() + 1);
  for (std::string_view component : kept) {
    out += '/';
    out.append(component.data(), component.size());
  }
  return out;
}

std::string AbsoluteLexicalPath(std::string_view path, std::string_view base) {
  if (path.empty()) return "";
  if (path.front() == '/') return LexicalNormalPath(path);
  std::string joined(base);
  joined += '/';
  joined.append(path.data(), path.size());
  return LexicalNormalPath(joined);
}

}  // namespace kelo
