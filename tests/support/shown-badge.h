// What an icon shows, for tests of the badge resolution: the sync state code read and a name of
// the badge drawn ("" for none), compared and printed field by field.
#ifndef KELO_TESTS_SUPPORT_SHOWN_BADGE_H_
#define KELO_TESTS_SUPPORT_SHOWN_BADGE_H_

#include <ostream>
#include <string>

namespace kelo_test {

struct ShownBadge {
  int code;
  std::string name;
};

inline bool operator==(const ShownBadge& a, const ShownBadge& b) {
  return a.code == b.code && a.name == b.name;
}
inline void PrintTo(const ShownBadge& shown, std::ostream* out) {
  *out << "{code " << shown.code << ", name '" << shown.name << "'}";
}

}  // namespace kelo_test

#endif  // KELO_TESTS_SUPPORT_SHOWN_BADGE_H_
