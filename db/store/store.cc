#include "db/store/store.h"

#include <sqlite3.h>
#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cstdlib>

namespace kelo {
namespace store {

namespace {
char AsciiLower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }
}  // namespace

size_t FolderLength(std::string_view folder) {
  const size_t end = folder.find_last_not_of('/');
  return end == std::string_view::npos ? 0 : end + 1;
}

bool FolderHoldsPath(std::string_view folder, std::string_view path) {
  if (folder.size() > kMaxValueBytes) return false;
  const size_t length = FolderLength(folder);
  if (path.size() < length || (path.size() > length && path[length] != '/')) return false;
  for (size_t i = 0; i < length; ++i) {
    // A NUL byte in the folder matches no byte of a path.
    if (folder[i] == '\0' || AsciiLower(folder[i]) != AsciiLower(path[i])) return false;
  }
  return true;
}

int32_t CellToInt32(const char* cell) {
  if (cell == nullptr) return 0;
  const double magnitude = std::strtod(cell, nullptr);
  if (!(magnitude >= INT32_MIN && magnitude <= INT32_MAX)) return 0;
  const long long value = std::strtoll(cell, nullptr, 10);
  return value >= INT32_MIN && value <= INT32_MAX ? static_cast<int32_t>(value) : 0;
}

bool IsReadableDatabase(const std::string& path, std::string* why) {
  const auto refuse = [why](const std::string& text) {
    if (why != nullptr) *why = text;
    return false;
  };
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return refuse("does not exist");
  if (!S_ISREG(st.st_mode)) return refuse("is not a regular file");
  return CompanionsAreRegular(path, why);
}

bool CompanionsAreRegular(const std::string& path, std::string* why) {
  for (const char* companion : {"-journal", "-wal", "-shm"}) {
    const std::string name = path + companion;
    struct stat st;
    if (stat(name.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
      if (why != nullptr) *why = std::string("has a ") + companion + " that is not a regular file";
      return false;
    }
  }
  return true;
}

int OpenForReading(const std::string& path, int busy_timeout_ms, sqlite::Connection* db) {
  db->reset();
  if (!IsReadableDatabase(path)) return SQLITE_CANTOPEN;
  const int rc = sqlite::Open(path, sqlite::kReadOnly, db);
  if (rc == SQLITE_OK) sqlite3_busy_timeout(db->get(), busy_timeout_ms);
  return rc;
}

}  // namespace store
}  // namespace kelo
