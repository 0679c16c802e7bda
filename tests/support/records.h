// The records of both databases for tests: built in one call, compared and printed field by
// field, so that an expectation names the field that differs.
//
//   EXPECT_EQ(info, kelo_test::Entry("/a", 0, FileStatusDB::kSynced));
//   EXPECT_EQ(found, (KELOSessionInfo{1, "home", "", 4, 0, 10, 0, "/h", ""}));
#ifndef KELO_TESTS_SUPPORT_RECORDS_H_
#define KELO_TESTS_SUPPORT_RECORDS_H_

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

inline void PrintTo(const FileStatusInfo& e, std::ostream* out) {
  *out << "{path '" << e.path << "', fileType " << e.fileType << ", syncStatus " << e.syncStatus
       << "}";
}
inline void PrintTo(const KELOSessionInfo& i, std::ostream* out) {
  *out << "{id " << i.id << ", share_name '" << i.share_name << "', session '" << i.session
       << "', attribute " << i.attribute << ", view_id " << i.view_id << ", status " << i.status
       << ", error " << i.error << ", sync_folder '" << i.sync_folder << "', computer_name '"
       << i.computer_name << "'}";
}
inline void PrintTo(const KELOConnectionInfo& c, std::ostream* out) {
  *out << "{conn_mode " << c.conn_mode << ", server_name '" << c.server_name << "', server_ip '"
       << c.server_ip << "', server_port " << c.server_port << ", waypoint_mode '"
       << c.waypoint_mode << "', username '" << c.username << "', vault_id '" << c.vault_id
       << "', session '" << c.session << "', protocol_version " << c.protocol_version << ", id "
       << c.id << "}";
}

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
