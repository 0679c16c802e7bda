// The lookup indexes that initialize() adds: SQLite must answer the unchanged queries from
// them, failing to build them must not fail initialize(), and every lookup must answer
// exactly as it does on a file without them.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "bench/fstat-data.h"
#include "db/file-status-db/file-status-db-internal.h"
#include "db/file-status-db/file-status-db.h"
#include "fstat_test_util.h"

namespace {

using fstat_test::Exec;
using fstat_test::FileStatusDBTest;
using fstat_test::Messages;
using kelo_bench::Entry;
using kelo_test::LogCapture;
using Strings = std::vector<std::string>;

// Column `column` of every row of `sql` on `db_path`.
Strings Column(const std::string& db_path, const std::string& sql, int column) {
  Strings cells;
  sqlite3* db = nullptr;
  sqlite3_stmt* stmt = nullptr;
  if (sqlite3_open(db_path.c_str(), &db) == SQLITE_OK &&
      sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr) == SQLITE_OK) {
    while (sqlite3_step(stmt) == SQLITE_ROW) {
      cells.push_back(reinterpret_cast<const char*>(sqlite3_column_text(stmt, column)));
    }
  }
  sqlite3_finalize(stmt);
  sqlite3_close(db);
  return cells;
}

std::string Plan(const std::string& db_path, const std::string& sql) {
  const Strings rows = Column(db_path, "EXPLAIN QUERY PLAN " + sql, 3);
  return rows.size() == 1 ? rows[0] : "rows: " + std::to_string(rows.size());
}

// The statements exactly as the lookups build them.
std::string EntryQuery(const std::string& path) {
  char* sql =
      KELODBEscapeStringEX3("select * from fstatinfo where path like '@KELO:LVAR'", path.c_str());
  std::string text = sql != nullptr ? sql : "";
  free(sql);
  return text;
}

std::string SubtreeQuery(const std::string& folder) {
  char* sql = KELODBEscapeStringEX3(
      "select * from fstatinfo where path like '@KELO:LVAR%' and syncStatus=@KELO:INT limit 2",
      (folder + "/").c_str(), 2);
  std::string text = sql != nullptr ? sql : "";
  free(sql);
  return text;
}

TEST_F(FileStatusDBTest, TheLookupsSearchTheirIndexes) {
  const char* const paths[] = {
      "/d/File.txt", "/d/50%_a", "/d/it's", "/d/back\\slash", "/d/\xc3\x89t\xc3\xa9/\xe6\x97\xa5",
      "/@"};
  for (const char* path : paths) {
    SCOPED_TRACE(path);
    EXPECT_EQ(Plan(db_, EntryQuery(path)),
              "SEARCH fstatinfo USING INDEX fstatinfo_path_nocase_idx (path>? AND path<?)");
    EXPECT_EQ(Plan(db_, SubtreeQuery(path)),
              "SEARCH fstatinfo USING INDEX fstatinfo_status_path_idx (syncStatus=? AND path>? AND "
              "path<?)");
  }
  EXPECT_EQ(Plan(db_, "select * from fstatinfo where syncStatus=2 limit 2"),
            "SEARCH fstatinfo USING INDEX fstatinfo_status_path_idx (syncStatus=?)");
}

TEST_F(FileStatusDBTest, AnIndexThatCannotBeBuiltIsLoggedOnceAndInitializeSucceeds) {
  Put("/d/a", 0, 2);
  Exec(db_, kelo_bench::kDropLookupIndexes);
  // A table in the way of the first index: its statement fails, the second is not tried.
  Exec(db_, "create table fstatinfo_path_nocase_idx (x)");
  {
    LogCapture capture;
    EXPECT_EQ(FileStatusDB::initialize(db_), 0);
    EXPECT_EQ(
        Messages(capture),
        Strings{"sqlite3_exec error. cmd:(CREATE INDEX IF NOT EXISTS fstatinfo_path_nocase_idx "
                "on fstatinfo(path COLLATE NOCASE);)  error:(there is already a table named "
                "fstatinfo_path_nocase_idx)"});
  }
  EXPECT_TRUE(Column(db_,
                     "select name from sqlite_master where type = 'index' and name = "
                     "'fstatinfo_status_path_idx'",
                     0)
                  .empty());
  FileStatusInfo info;
  EXPECT_EQ(FileStatusDB::getFileSyncStat("/D/A", &info), 0);
  EXPECT_TRUE(FileStatusDB::isAnySubFileDirSyncing("/d"));

  // A read-only file lacking the indexes: found by name, built never, lookups still served.
  Exec(db_, "drop table fstatinfo_path_nocase_idx");
  const std::string read_only = "file:" + db_ + "?mode=ro";
  sqlite3* probe = nullptr;
  sqlite3_open(read_only.c_str(), &probe);
  const bool uri_opens_read_only = sqlite3_db_readonly(probe, "main") == 1;
  sqlite3_close(probe);
  if (!uri_opens_read_only) GTEST_SKIP() << "this SQLite takes no URI file names";
  LogCapture capture;
  EXPECT_EQ(FileStatusDB::initialize(read_only), 0);
  EXPECT_EQ(Messages(capture),
            Strings{"sqlite3_exec error. cmd:(CREATE INDEX IF NOT EXISTS fstatinfo_path_nocase_idx "
                    "on fstatinfo(path COLLATE NOCASE);)  error:(attempt to write a readonly "
                    "database)"});
  EXPECT_EQ(FileStatusDB::getFileSyncStat("/d/a", &info), 0);
  EXPECT_EQ(info.syncStatus, 2);
}

// What a lookup returns, for comparing two files' answers.
struct Answer {
  int result;
  std::string path;
  int fileType;
  int syncStatus;
  bool operator==(const Answer& o) const {
    return result == o.result && path == o.path && fileType == o.fileType &&
           syncStatus == o.syncStatus;
  }
};

std::ostream& operator<<(std::ostream& out, const Answer& a) {
  return out << a.result << " '" << a.path << "' " << a.fileType << " " << a.syncStatus;
}

Answer Lookup(const std::string& path) {
  FileStatusInfo info;
  const int result = FileStatusDB::getFileSyncStat(path, &info);
  return {result, info.path, info.fileType, info.syncStatus};
}

bool FoldEqual(const std::string& a, const std::string& b, size_t length) {
  for (size_t i = 0; i < length; ++i) {
    const auto fold = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
    if (fold(a[i]) != fold(b[i])) return false;
  }
  return true;
}

// What the rows mean, independently of SQLite: rows in id order (a replaced path moves to
// the end), ASCII case ignored, the last match winning.
struct Model {
  std::vector<Entry> rows;

  void Put(const Entry& entry) {
    for (auto it = rows.begin(); it != rows.end(); ++it) {
      if (it->path == entry.path) {
        rows.erase(it);
        break;
      }
    }
    rows.push_back(entry);
  }
  Answer Lookup(const std::string& path) const {
    Answer answer{-1, "", 0, 0};
    for (const Entry& row : rows) {
      if (row.path.size() == path.size() && FoldEqual(row.path, path, path.size())) {
        answer = {0, row.path, row.fileType, row.syncStatus};
      }
    }
    return answer;
  }
  bool SyncingBelow(const std::string& folder) const {
    const std::string prefix = folder + "/";
    for (const Entry& row : rows) {
      if (row.syncStatus == 2 && row.path.size() >= prefix.size() &&
          FoldEqual(row.path, prefix, prefix.size())) {
        return true;
      }
    }
    return false;
  }
  bool AnySyncing() const {
    for (const Entry& row : rows) {
      if (row.syncStatus == 2) return true;
    }
    return false;
  }
};

// Pieces of names: letters in both cases and the characters next to them in ASCII (which
// bound the index ranges), LIKE's wildcards and escape, quotes, and non-ASCII letters up to
// the last code point.
const char* const kPieces[] = {"a",
                               "A",
                               "b",
                               "B",
                               "z",
                               "Z",
                               "@",
                               "[",
                               "`",
                               "{",
                               "%",
                               "_",
                               "\\",
                               "'",
                               "''",
                               " ",
                               ".",
                               "\x7f",
                               "\xc3\xa9",
                               "\xc3\x89",
                               "\xc3\x9f",
                               "\xc3\xbf",
                               "\xe6\x97\xa5",
                               "\xf4\x8f\xbf\xbf"};

std::string RandomName(std::mt19937& rng) {
  std::uniform_int_distribution<size_t> piece(0, std::size(kPieces) - 1), length(1, 4);
  std::string name;
  for (size_t n = length(rng); n > 0; --n) name += kPieces[piece(rng)];
  return name;
}

// `path` with some ASCII letters in the other case.
std::string FlipCase(const std::string& path, std::mt19937& rng) {
  std::string flipped = path;
  for (char& c : flipped) {
    if (std::isalpha(static_cast<unsigned char>(c)) && rng() % 2 == 0) c ^= 0x20;
  }
  return flipped;
}

// `path` with one character turned into a LIKE wildcard, which must match only itself.
std::string Wildcarded(const std::string& path, std::mt19937& rng) {
  std::string changed = path;
  changed[1 + rng() % (changed.size() - 1)] = rng() % 2 == 0 ? '_' : '%';
  return changed;
}

TEST(FileStatusDBIndexes, LookupsAnswerAlikeWithAndWithoutThem) {
  kelo_test::TempDir dir;
  const std::string with = dir / "with.sqlite", without = dir / "without.sqlite";
  for (unsigned seed = 1; seed <= 20; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 rng(seed);
    // A few folders two or three levels deep, files in them, then later writes: the same
    // paths in other ASCII case, and state changes of paths already there.
    Strings folders;
    for (int i = 0; i < 5; ++i) {
      std::string folder = i > 0 && rng() % 2 == 0 ? folders[rng() % folders.size()] : "/r";
      folders.push_back(folder + "/" + RandomName(rng));
    }
    Model model;
    std::vector<Entry> writes;
    for (const std::string& folder : folders) writes.push_back({folder, 1, int(rng() % 2)});
    for (int i = 0; i < 15; ++i) {
      writes.push_back(
          {folders[rng() % folders.size()] + "/" + RandomName(rng), 0, int(rng() % 4)});
    }
    for (int i = 0; i < 6; ++i) {
      const Entry& earlier = writes[rng() % writes.size()];
      writes.push_back({rng() % 3 == 0 ? earlier.path : FlipCase(earlier.path, rng),
                        earlier.fileType, int(rng() % 4)});
    }
    for (const Entry& entry : writes) model.Put(entry);

    std::remove(with.c_str());
    ASSERT_EQ(FileStatusDB::initialize(with), 0);
    ASSERT_EQ(kelo_bench::WriteEntries(with, writes), 0);
    ASSERT_EQ(kelo_bench::CopyFile(with, without), 0);
    ASSERT_EQ(kelo_bench::ExecSql(without, kelo_bench::kDropLookupIndexes), 0);
    ASSERT_EQ(Plan(without, EntryQuery("/r")), "SCAN fstatinfo");

    Strings asked;
    for (const Entry& entry : writes) {
      asked.push_back(entry.path);
      asked.push_back(FlipCase(entry.path, rng));
      asked.push_back(Wildcarded(entry.path, rng));
      asked.push_back(entry.path + "/");
      asked.push_back(entry.path.substr(0, entry.path.rfind('/')));
    }
    for (const std::string& path : asked) {
      SCOPED_TRACE(path);
      FileStatusDB::m_fstatDBPath = with;
      const Answer indexed = Lookup(path);
      const bool indexed_below = FileStatusDB::isAnySubFileDirSyncing(path);
      // Made current directly: initialize() would build the indexes.
      FileStatusDB::m_fstatDBPath = without;
      EXPECT_EQ(indexed, Lookup(path));
      EXPECT_EQ(indexed_below, FileStatusDB::isAnySubFileDirSyncing(path));
      EXPECT_EQ(indexed, model.Lookup(path));
      EXPECT_EQ(indexed_below, model.SyncingBelow(path));
    }
    FileStatusDB::m_fstatDBPath = with;
    const bool indexed_any = FileStatusDB::isAnyFileSyncing();
    FileStatusDB::m_fstatDBPath = without;
    EXPECT_EQ(indexed_any, FileStatusDB::isAnyFileSyncing());
    EXPECT_EQ(indexed_any, model.AnySyncing());
  }
  FileStatusDB::m_fstatDBPath.clear();
}

// The tree the benchmarks draw from: its landmarks answer as the benchmarks expect, with
// the indexes and without.
TEST(FileStatusDBIndexes, GeneratedTreeLandmarks) {
  kelo_test::TempDir dir;
  const std::string with = dir / "with.sqlite", without = dir / "without.sqlite";
  kelo_bench::TreeLandmarks marks;
  const std::vector<Entry> tree = kelo_bench::GenerateTree("/Users/u/Sync", 2000, &marks);
  ASSERT_EQ(tree.size(), 2000u);
  ASSERT_EQ(FileStatusDB::initialize(with), 0);
  ASSERT_EQ(kelo_bench::WriteEntries(with, tree), 0);
  ASSERT_EQ(kelo_bench::CopyFile(with, without), 0);
  ASSERT_EQ(kelo_bench::ExecSql(without, kelo_bench::kDropLookupIndexes), 0);
  ASSERT_EQ(Column(with, "select count(*) from fstatinfo", 0), Strings{"2000"});
  ASSERT_FALSE(marks.case_variant.empty());
  for (const std::string& db : {with, without}) {
    SCOPED_TRACE(db);
    FileStatusDB::m_fstatDBPath = db;
    EXPECT_EQ(Lookup(marks.file), (Answer{0, marks.file, 0, 1}));
    EXPECT_EQ(Lookup(marks.folder), (Answer{0, marks.folder, 1, 1}));
    EXPECT_EQ(Lookup(marks.big_folder), (Answer{0, marks.big_folder, 1, 1}));
    EXPECT_EQ(Lookup(marks.root), (Answer{0, marks.root, 1, 1}));
    EXPECT_FALSE(FileStatusDB::isAnySubFileDirSyncing(marks.folder));
    EXPECT_FALSE(FileStatusDB::isAnySubFileDirSyncing(marks.big_folder));
    EXPECT_TRUE(FileStatusDB::isAnySubFileDirSyncing(marks.root));
    // The name recorded again in other case later: that row wins for either spelling.
    const Answer variant = Lookup(marks.case_variant);
    EXPECT_EQ(variant.result, 0);
    EXPECT_NE(variant.path, marks.case_variant);
    EXPECT_TRUE(variant.path.size() == marks.case_variant.size() &&
                FoldEqual(variant.path, marks.case_variant, variant.path.size()));
    EXPECT_EQ(Lookup(variant.path), variant);
  }
  FileStatusDB::m_fstatDBPath.clear();
}

}  // namespace
