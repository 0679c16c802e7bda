// The lookup indexes that initialize() adds: the queries must search them, failing to build
// them must not fail initialize(), and every lookup must answer as on a file without them.
#include <cctype>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "db/file-status-db/file-status-db-internal.h"
#include "file-status-db-fixture.h"
#include "support/fstat-data.h"

namespace fstat_test {
namespace {

using kelo_test::QuerySql;

// The statement the expander makes of `tmpl` and `path`, exactly as the lookups build theirs.
std::string Expand(const char* tmpl, const std::string& path) {
  const kelo::sqlite::MallocText sql(KELODBEscapeStringEX3(tmpl, path.c_str(), 2));
  return sql ? sql.get() : "";
}

// The detail column of EXPLAIN QUERY PLAN, one line per step, for that statement.
std::string Plan(const std::string& db_path, const char* tmpl, const std::string& path = "") {
  std::string plan;
  for (const auto& step : QuerySql(db_path, "EXPLAIN QUERY PLAN " + Expand(tmpl, path))) {
    plan += step.at(3) + "\n";
  }
  return plan;
}
const char* const kEntryQuery = kSelectByPath;
const char* const kSubtreeQuery = kSelectSyncingBelow;
// The entry lookup as it was written before: a LIKE pattern with the path's wildcards escaped.
constexpr char kLikeEntryQuery[] = "select * from fstatinfo where path like '@KELO:LVAR'";

TEST_F(FileStatusDBTest, TheLookupsSearchTheirIndexes) {
  for (const char* path : {"/d/File.txt", "/d/50%_a", "/d/it's", "/d/back\\slash",
                           "/d/\xc3\x89t\xc3\xa9/\xe6\x97\xa5", "/@"}) {
    SCOPED_TRACE(path);
    EXPECT_EQ(Plan(db_, kEntryQuery, path),
              "SEARCH fstatinfo USING INDEX fstatinfo_path_nocase_idx (path=?)\n");
    EXPECT_EQ(Plan(db_, kSubtreeQuery, std::string(path) + "/"),
              "SEARCH fstatinfo USING INDEX fstatinfo_status_path_idx (syncStatus=? AND path>? AND "
              "path<?)\n");
  }
  EXPECT_EQ(Plan(db_, "select * from fstatinfo where syncStatus=2 limit 2"),
            "SEARCH fstatinfo USING INDEX fstatinfo_status_path_idx (syncStatus=?)\n");
}

// A table in the way of the first index, or a read-only file lacking the indexes: one line,
// the second index not tried, initialize() succeeds and the lookups are still served.
TEST_F(FileStatusDBTest, AnIndexThatCannotBeBuiltIsLoggedOnceAndInitializeSucceeds) {
  Put("/d/a", 0, 2);
  const struct {
    std::string setup, db_path, error;
  } cases[] = {{"create table fstatinfo_path_nocase_idx (x);", db_,
                "there is already a table named fstatinfo_path_nocase_idx"},
               {"drop table fstatinfo_path_nocase_idx;", "file:" + db_ + "?mode=ro",
                "attempt to write a readonly database"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.db_path);
    ExecSql(db_, kelo_bench::kDropLookupIndexes + (" " + c.setup));
    if (c.db_path != db_ && !sqlite3_compileoption_used("USE_URI"))
      GTEST_SKIP() << "this SQLite takes no URI file names";
    kelo_test::LogCapture capture;
    EXPECT_EQ(FileStatusDB::initialize(c.db_path), 0);
    EXPECT_EQ(Messages(capture),
              Strings{"sqlite3_exec error. cmd:(CREATE INDEX IF NOT EXISTS "
                      "fstatinfo_path_nocase_idx on fstatinfo(path COLLATE NOCASE);)  error:(" +
                      c.error + ")"});
    FileStatusInfo info;
    EXPECT_EQ(FileStatusDB::getFileSyncStat("/D/A", &info), 0);
    EXPECT_EQ(info.syncStatus, 2);
  }
}

// Pieces of names: ASCII letters in both cases and their neighbours (which bound the index
// ranges), LIKE's wildcards and escape, a quote, non-ASCII letters up to the last code point,
// and, when asked for, byte sequences that are not UTF-8 (a lone lead or continuation byte,
// a cut sequence, bytes that never occur).
const std::string kAscii = "aAbBzZ@[`{%_\\' .\x7f";
const Strings kWide = {"\xc3\xa9", "\xc3\x89",     "\xc3\x9f",
                       "\xc3\xbf", "\xe6\x97\xa5", "\xf4\x8f\xbf\xbf"};
const Strings kNotUtf8 = {"\xc3", "\x80", "\xe6\x97", "\xff", "\xc0\xaf"};

std::string RandomName(std::mt19937& rng, bool not_utf8) {
  const size_t pieces = kAscii.size() + kWide.size() + (not_utf8 ? kNotUtf8.size() : 0);
  std::string name;
  for (size_t n = 1 + rng() % 4; n > 0; --n) {
    size_t k = rng() % pieces;
    if (k < kAscii.size()) {
      name += kAscii[k];
    } else if ((k -= kAscii.size()) < kWide.size()) {
      name += kWide[k];
    } else {
      name += kNotUtf8[k - kWide.size()];
    }
  }
  return name;
}

// The rows that `select` (a query of fstatinfo) returns, in its order, each as
// "0 'path' type state", the way EntryAnswer prints a found entry.
Strings Rows(const std::string& db_path, const std::string& select) {
  Strings rows;
  for (const auto& row :
       QuerySql(db_path, "select path, fileType, syncStatus from (" + select + ")")) {
    rows.push_back("0 '" + row.at(0) + "' " + row.at(1) + " " + row.at(2));
  }
  return rows;
}

// What the entry lookup must answer, from the rows themselves in id order (as Rows prints
// them): the last row whose
// path equals `asked` with ASCII letters compared without case and every other byte exactly.
std::string ModelAnswer(const Strings& rows_by_id, const std::string& asked) {
  const auto fold = [](std::string text) {
    for (char& c : text) {
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return text;
  };
  std::string answer = "-1 '' 0 0";
  for (const std::string& row : rows_by_id) {
    const std::string path = row.substr(3, row.rfind('\'') - 3);
    if (fold(path) == fold(asked)) answer = row;
  }
  return answer;
}

// `path` with some ASCII letters in the other case.
std::string FlipCase(std::string path, std::mt19937& rng) {
  for (char& c : path) {
    if (std::isalpha(static_cast<unsigned char>(c)) && rng() % 2 == 0) c ^= 0x20;
  }
  return path;
}

// The entry lookup's answer for `path` on the current file: "rc 'path' type state".
std::string EntryAnswer(const std::string& path) {
  FileStatusInfo info;
  const int rc = FileStatusDB::getFileSyncStat(path, &info);
  return std::to_string(rc) + " '" + info.path + "' " + std::to_string(info.fileType) + " " +
         std::to_string(info.syncStatus);
}

// The same question asked with the former LIKE query: the last row it returns.
std::string LikeAnswer(const std::string& db_path, const std::string& path) {
  const Strings rows = Rows(db_path, Expand(kLikeEntryQuery, path));
  return rows.empty() ? "-1 '' 0 0" : rows.back();
}

// Every lookup's answer on the file `db_path`, one line per asked path. The file is made
// current directly: initialize() would build the indexes.
std::string Answers(const std::string& db_path, const Strings& asked) {
  FileStatusDB::m_fstatDBPath = db_path;
  std::string out = FileStatusDB::isAnyFileSyncing() ? "some syncing\n" : "none syncing\n";
  for (const std::string& path : asked) {
    out += path + ": " + EntryAnswer(path) +
           (FileStatusDB::isAnySubFileDirSyncing(path) ? " syncing below\n" : "\n");
  }
  return out;
}

// The entry lookup answers alike with and without the indexes, as the model of its rows says,
// and as the former LIKE query did wherever the paths are UTF-8 (seeds 1 to 20); seeds 21 to
// 30 add bytes that are not UTF-8, where only the model counts.
TEST(FileStatusDBIndexes, LookupsAnswerAlikeWithAndWithoutThem) {
  kelo_test::TempDir dir;
  const std::string with = dir / "with.sqlite", without = dir / "without.sqlite";
  for (unsigned seed = 1; seed <= 30; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    const bool not_utf8 = seed > 20;
    std::mt19937 rng(seed);
    // Folders two or three levels deep, files in them, then later writes: the same paths in
    // other ASCII case, and state changes of paths already there.
    std::vector<kelo_bench::Entry> writes;
    for (int i = 0; i < 20; ++i) {
      const bool folder = i < 5;
      const std::string parent = !folder              ? writes[rng() % 5].path
                                 : i > 0 && rng() % 2 ? writes[rng() % i].path
                                                      : "/r";
      writes.push_back({parent + "/" + RandomName(rng, not_utf8), folder, int(rng() % 4)});
    }
    for (int i = 0; i < 6; ++i) {
      const kelo_bench::Entry earlier = writes[rng() % writes.size()];
      writes.push_back({rng() % 3 == 0 ? earlier.path : FlipCase(earlier.path, rng),
                        earlier.fileType, int(rng() % 4)});
    }
    std::filesystem::remove(with);
    ASSERT_EQ(FileStatusDB::initialize(with), 0);
    ASSERT_EQ(kelo_bench::WriteEntries(with, writes), 0);
    std::filesystem::copy_file(with, without, std::filesystem::copy_options::overwrite_existing);
    ExecSql(without, kelo_bench::kDropLookupIndexes);
    ASSERT_EQ(Plan(without, kEntryQuery, "/r"), "SCAN fstatinfo\n");
    // Each path in other case, with a character turned into a LIKE wildcard (which must
    // match only itself), with a trailing slash, and its parent.
    Strings asked;
    for (const auto& entry : writes) {
      std::string wildcarded = entry.path;
      wildcarded[1 + rng() % (wildcarded.size() - 1)] = rng() % 2 == 0 ? '_' : '%';
      asked.insert(asked.end(), {entry.path, FlipCase(entry.path, rng), wildcarded,
                                 entry.path + "/", entry.path.substr(0, entry.path.rfind('/'))});
    }
    EXPECT_EQ(Answers(with, asked), Answers(without, asked));
    FileStatusDB::m_fstatDBPath = with;
    const Strings rows_by_id = Rows(with, "select * from fstatinfo order by id");
    for (const std::string& path : asked) {
      SCOPED_TRACE(path);
      const std::string model = ModelAnswer(rows_by_id, path);
      EXPECT_EQ(EntryAnswer(path), model);
      if (!not_utf8) {
        EXPECT_EQ(LikeAnswer(with, path), model);
      }
    }
    FileStatusInfo last;  // The last write wins over earlier rows of its path in any case.
    FileStatusDB::m_fstatDBPath = with;
    EXPECT_EQ(FileStatusDB::getFileSyncStat(FlipCase(writes.back().path, rng), &last), 0);
    EXPECT_EQ(last.path, writes.back().path);
    EXPECT_EQ(last.syncStatus, writes.back().syncStatus);
  }
  FileStatusDB::m_fstatDBPath.clear();
}

}  // namespace
}  // namespace fstat_test
