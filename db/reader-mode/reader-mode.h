// The process-wide database role: the sync client writes, the Finder only reads.
//
// The same database classes run in two kinds of process. A writer (the sync client, the
// tool's writing commands) creates files and schema, builds indexes and waits up to five
// minutes for a lock held elsewhere. A reader (the Finder bundle, the tool's reading
// commands) opens read-only, creates nothing, changes no byte of any file and waits only
// briefly, because it waits on the Finder's drawing thread.
//
// The role is chosen in one place per process (the bundle when it loads, the tool per
// command) and the database classes consult it; nothing passes it down through calls.
//
// Usage:
//   kelo::SetDbRole(kelo::DbRole::kReader);            // for the life of the process
//   { kelo::ScopedDbRole reading(kelo::DbRole::kReader); ... }  // for one block
//
// Thread safety: the role may be read from any thread at any time. Change it only while
// no database operation runs on another thread.
#ifndef KELO_DB_READER_MODE_READER_MODE_H_
#define KELO_DB_READER_MODE_READER_MODE_H_

namespace kelo {

enum class DbRole {
  kWriter,  // the default: read-write connections, schema and index creation, long waits
  kReader,  // read-only connections, nothing created or written, short bounded waits
};

DbRole CurrentDbRole();
inline bool InReaderMode() { return CurrentDbRole() == DbRole::kReader; }

// Sets the process-wide role. Leaving the reader role closes every connection that the
// reader role keeps open between calls.
void SetDbRole(DbRole role);

// Sets a role for the lifetime of the object and restores the previous one afterwards.
class ScopedDbRole {
 public:
  explicit ScopedDbRole(DbRole role) : previous_(CurrentDbRole()) { SetDbRole(role); }
  ~ScopedDbRole() { SetDbRole(previous_); }
  ScopedDbRole(const ScopedDbRole&) = delete;
  ScopedDbRole& operator=(const ScopedDbRole&) = delete;

 private:
  DbRole previous_;
};

}  // namespace kelo

#endif  // KELO_DB_READER_MODE_READER_MODE_H_
