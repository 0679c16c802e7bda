// The codes of doctor's findings are what `--json` users match on: docs/doctor.md lists each
// one with its severity, and a code keeps one severity whatever cause it names.
#include "cli/doctor.h"

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <string>

namespace {

TEST(Doctor, EveryCodeIsDocumentedWithItsOneSeverity) {
  const char* const kSeverities[] = {"error", "warning", "note"};
  std::map<std::string, std::string> codes;  // code -> severity
  for (const kelo::DoctorFindingKind* kind : kelo::DoctorFindingKinds()) {
    const auto [it, added] = codes.emplace(kind->code, kSeverities[kind->severity]);
    EXPECT_EQ(it->second, kSeverities[kind->severity]) << kind->code;
  }
  std::ifstream file(KELO_SOURCE_DIR "/docs/doctor.md");
  ASSERT_TRUE(file) << "docs/doctor.md";
  std::stringstream text;
  text << file.rdbuf();
  const std::string doc = text.str();
  std::map<std::string, std::string> documented;
  const std::regex row(R"(\n\| `([a-z0-9-]+)` \| (\w+) \|)");
  for (auto it = std::sregex_iterator(doc.begin(), doc.end(), row); it != std::sregex_iterator();
       ++it) {
    documented[(*it)[1]] = (*it)[2];
  }
  EXPECT_EQ(codes, documented);
}

}  // namespace
