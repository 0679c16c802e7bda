// The records of both databases for tests: built in one call, compared field by field and
// printed as the tuple of their fields.
//
//   EXPECT_EQ(info, kelo_test::Entry("/a", 0, FileStatusDB::kSynced));
//   EXPECT_EQ(found, (KELOSessionInfo{1, "home", "", 4, 0, 10, 0, "/h", ""}));
#ifndef KELO_TESTS_SUPPORT_RECORDS_H_
#define KELO_TESTS_SUPPORT_RECORDS_H_

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <tuple>
#include <utility>

#include "db/file-status-db/file-status-db.h"
#include "db/system-db/system-db.h"

// In the records' own (global) namespace, where the test macros look for them.
inline auto Fields(const FileStatusInfo& e) { return std::tie(e.path, e.fileType, e.syncStatus); }
inline auto Fields(const KELOSessionInfo& i) {
  return std::tie(i.id, i.share_name, i.session, i.attribute, i.view_id, i.status, i.error,
                  i.sync_folder, i.computer_name);
}
inline auto Fields(const KELOConnectionInfo& c) {
  return std::tie(c.conn_mode, c.server_name, c.server_ip, c.server_port, c.waypoint_mode,
                  c.username, c.vault_id, c.session, c.protocol_version, c.id);
}
// Equal when every field is; defined for the records above only.
template <typename Record, typename = decltype(Fields(std::declval<const Record&>()))>
bool operator==(const Record& a, const Record& b) {
  return Fields(a) == Fields(b);
}

// Printed as the tuple of their fields, in the order of Fields().
template <typename Record>
void PrintFields(const Record& record, std::ostream* out) {
  *out << ::testing::PrintToString(Fields(record));
}
inline void PrintTo(const FileStatusInfo& e, std::ostream* out) { PrintFields(e, out); }
inline void PrintTo(const KELOSessionInfo& i, std::ostream* out) { PrintFields(i, out); }
inline void PrintTo(const KELOConnectionInfo& c, std::ostream* out) { PrintFields(c, out); }

namespace kelo_test {

// A file status entry.
inline FileStatusInfo Entry(const std::string& path, int type, int status) {
  FileStatusInfo entry;
  entry.path = path;
  entry.fileType = type;
  entry.syncStatus = status;
  return entry;
}

}  // namespace kelo_test

#endif  // KELO_TESTS_SUPPORT_RECORDS_H_
