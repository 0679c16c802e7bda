// Runs the built kelo-overlay binary as a user would and checks what it prints.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/wait.h>

#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "db/file-status-db/file-status-db.h"
#include "db/system-db/system-db.h"
#include "iconoverlay/badge-resolver.h"
#include "support/temp_dir.h"

namespace {

using Strings = std::vector<std::string>;
using ToolRun = std::tuple<int, std::string, std::string>;  // Exit code, output, errors.
constexpr size_t npos = std::string::npos;

std::string Quote(const std::string& word) {  // One shell word.
  std::string out = "'";
  for (char c : word) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

class ToolTest : public ::testing::Test {
 protected:
  ToolRun Shell(const std::string& command) {
    const std::string out = scratch_ / "out", err = scratch_ / "err";
    const int status = std::system((command + " >" + Quote(out) + " 2>" + Quote(err)).c_str());
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, kelo_test::ReadFile(out),
            kelo_test::ReadFile(err)};
  }
  // Runs the tool with `args` and no HOME, so that nothing falls back to the real one.
  ToolRun Tool(const Strings& args) {
    std::string command = "HOME= " + Quote(KELO_OVERLAY_BIN);
    for (const std::string& arg : args) command += " " + Quote(arg);
    return Shell(command);
  }
  // Builds the sample home in home_ and returns what the demo printed.
  std::string Demo() {
    const auto [code, out, err] = Tool({"demo", home_.path()});
    EXPECT_EQ(0, code) << err;
    return out;
  }

  kelo_test::TempDir scratch_, home_;
};

TEST_F(ToolTest, DemoShowsEverySampleWithItsBadge) {
  const Strings expected = {
      "syncing 2 Sync/Documents",
      "synced 1 Sync/Documents/Invoices",
      "synced 1 Sync/Documents/Invoices/2024-03 Rechnung M\xC3\xBCller.pdf",
      "synced 1 Sync/Documents/Invoices/2024-04 Rechnung Dupont.pdf",
      "syncing 2 Sync/Documents/Projects",
      "syncing 2 Sync/Documents/Projects/2024",
      "syncing 2 Sync/Documents/Projects/2024/plan.key",
      "syncing 2 Sync/Documents/Re\xCC\x81sume\xCC\x81s",  // Decomposed, as on disk.
      "syncing 2 Sync/Documents/Re\xCC\x81sume\xCC\x81s/cv-2024.pdf",
      "unsupported 3 Sync/Documents/Shortcut.alias",
      "none 0 Sync/Documents/draft notes.txt",
      "synced 1 Sync/Photos",
      "synced 1 Sync/Photos/\xE6\xB5\xB7\xE8\xBE\xBA\xE3\x81\xAE\xE5\xA4\x95\xE6\x97\xA5.jpg",
      "synced 1 Sync/Photos/Vacation",
      "synced 1 Sync/Photos/Vacation/beach.jpg",
      "none 0 Sync/Archive/old-report.txt",
      "synced 1 Sync/E\xCC\x81quipe/budget.xlsx",
      "none 0 Sync/Music/song.mp3",
      "none 0 Desktop/todo.txt"};
  const std::string out = Demo();
  Strings rows;  // Badge, state, and the path from column 20 up to two blanks.
  std::istringstream lines(out);
  for (std::string line, badge, state; std::getline(lines, line);) {
    std::istringstream words(line);
    if (!(words >> badge >> state) || !std::isdigit(static_cast<unsigned char>(state[0]))) continue;
    const std::string path = line.substr(20, line.find("  ", 20) - 20);
    rows.push_back(badge + " " + state + " " + path);
    EXPECT_TRUE(std::filesystem::exists(home_ / path)) << path;
  }
  EXPECT_EQ(expected, rows) << out;
  const size_t next = out.find(KELO_OVERLAY_BIN " status --home ");  // Suggested; it runs.
  ASSERT_NE(npos, next) << out;
  EXPECT_EQ(0, std::get<0>(Shell(out.substr(next, out.find('\n', next) - next))));
}

TEST_F(ToolTest, StatusExplainsEveryStepAndWritesJson) {
  Demo();
  const auto [code, out, err] = Tool(
      {"status", "--home", home_.path(), "--explain", home_ / "Sync/E\xCC\x81quipe/budget.xlsx"});
  ASSERT_EQ(0, code) << err;
  Strings steps;  // The explanation's lines, indented by four blanks, up to their colon.
  for (size_t at = out.find("\n    "); at != npos; at = out.find("\n    ", at + 1)) {
    steps.push_back(out.substr(at + 5, out.find(':', at) - at - 5));
  }
  EXPECT_EQ((Strings{"path", "home", "system_db", "session", "session_form_c", "session_status",
                     "file_status_db", "initialize", "lookup_path", "entry", "folder_rule", "code",
                     "badge"}),
            steps);
  EXPECT_NE(npos, out.find("id 4, status 10, share '\xC3\x89quipe'")) << out;

  const std::string json = std::get<1>(Tool({"status", "--home", home_.path(), "--json",
                                             home_ / "Sync/Documents/Projects", "/bad/\xFF\"n"}));
  EXPECT_EQ("[\n  {\"path\": \"" + home_ / "Sync/Documents/Projects" +
                "\", \"badge\": \"syncing\", \"state\": 2, \"image\": \"KeloSyncing\"},\n  "
                "{\"path\": \"/bad/\xEF\xBF\xBD\\\"n\", \"badge\": \"none\", \"state\": 0, "
                "\"image\": null}\n]\n",
            json);
  const std::string explained = std::get<1>(Tool(
      {"status", "--home", home_.path(), "--json", "--explain", home_ / "Sync/Music/song.mp3"}));
  EXPECT_NE(npos, explained.find("{\"step\": \"badge\", \"detail\": \"none: the session has no "
                                 "file status database yet\"}"))
      << explained;
}

TEST_F(ToolTest, StatesCanBeChangedByHandAndEveryCommandHasHelp) {
  Demo();
  const std::string draft = home_ / "Sync/Documents/draft notes.txt";
  const std::string plan = home_ / "Sync/Documents/Projects/2024/plan.key";
  const auto badge = [&](const std::string& path) {  // "badge state" of the table's row.
    std::istringstream out(std::get<1>(Tool({"status", "--home", home_.path(), path})));
    std::string header, name, state;
    std::getline(out, header);
    out >> name >> state;
    return name + " " + state;
  };
  // Paths are spelt as the Finder spells them, so another spelling names the same entry.
  EXPECT_EQ(0, std::get<0>(Tool({"set-state", "--home", home_.path(),
                                 home_ / "Sync//Documents/Projects/.././/draft notes.txt", "2"})));
  EXPECT_EQ("syncing 2", badge(draft));
  EXPECT_EQ("synced 1", badge(home_ / "Sync/Photos/"));
  EXPECT_EQ(0, std::get<0>(Tool({"reset-syncing", "--home", home_.path(), draft})));
  EXPECT_EQ("synced 1", badge(draft));
  EXPECT_EQ("synced 1", badge(plan));
  const std::string sessions = std::get<1>(Tool({"sessions", "--home", home_.path()}));
  EXPECT_NE(npos, sessions.find("sess-archive    12")) << sessions;
  for (const char* command : {"status", "demo", "sessions", "set-state", "reset-syncing"}) {
    const auto [code, out, err] = Tool({command, "--help"});
    EXPECT_EQ(0, code) << command;
    EXPECT_EQ(0u, out.find(std::string("usage: kelo-overlay ") + command)) << out;
  }
}

TEST_F(ToolTest, BadArgumentsAndMissingFoldersFailClearly) {
  kelo_test::TempDir empty;
  const std::string missing = empty / "nowhere";
  const std::tuple<Strings, int, std::string> cases[] = {
      {{}, 2, "usage: kelo-overlay"},
      {{"frobnicate"}, 2, "unknown command 'frobnicate'"},
      {{"status"}, 2, "no PATH given"},
      {{"status", "--home"}, 2, "--home needs a folder"},
      {{"status", "--frob", "x"}, 2, "unknown option '--frob'"},
      {{"status", "--home", missing, "/x"}, 1, "home folder '" + missing + "' does not exist"},
      {{"demo", "a", "b"}, 2, "at most one folder"},
      {{"sessions", "--home", empty.path()}, 1, "no system database at"},
      {{"set-state", "/x", "sort-of"}, 2, "bad STATE 'sort-of'"},
      {{"--log-config", missing, "status", "/x"}, 1, "cannot read the log configuration"},
  };
  for (const auto& [args, exit_code, message] : cases) {
    const auto [code, out, err] = Tool(args);
    EXPECT_EQ(exit_code, code) << message;
    EXPECT_NE(npos, err.find(message)) << err;
    EXPECT_EQ("", out) << message;
  }
}

// Every file below `dir` with its bytes; SQLite's own -wal and -shm companions left out.
std::map<std::string, std::string> Snapshot(const std::string& dir) {
  std::map<std::string, std::string> files;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(dir)) {
    const std::string path = entry.path().string();
    const std::string tail = path.size() >= 4 ? path.substr(path.size() - 4) : "";
    if (entry.is_regular_file() && tail != "-wal" && tail != "-shm") {
      files[path] = kelo_test::ReadFile(path);
    }
  }
  return files;
}

void Sql(const std::string& db_path, const std::string& sql) {
  sqlite3* db = nullptr;
  ASSERT_EQ(SQLITE_OK, sqlite3_open(db_path.c_str(), &db));
  EXPECT_EQ(SQLITE_OK, sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr)) << sql;
  sqlite3_close(db);
}

// status, sessions and the demo's table read as the Finder reads: a file status database
// without the lookup indexes stays without them, the registry is listed without being
// initialised, and no byte of any file changes.
TEST_F(ToolTest, ReadingCommandsChangeNoFile) {
  Demo();
  const std::string registry = kelo::SystemDbPath(home_.path());
  Sql(kelo::FileStatusDbPath(home_.path(), 1),
      "DROP INDEX fstatinfo_path_nocase_idx; DROP INDEX fstatinfo_status_path_idx;");
  const auto before = Snapshot(home_.path());
  const std::string documents = home_ / "Sync/Documents";
  for (const Strings& args : {Strings{"status", "--home", home_.path(), documents + "/Invoices"},
                              Strings{"status", "--home", home_.path(), "--explain", documents},
                              Strings{"sessions", "--home", home_.path()}}) {
    const auto [code, out, err] = Tool(args);
    EXPECT_EQ(0, code) << args[0] << ": " << err;
    EXPECT_EQ("", err) << args[0];
  }
  EXPECT_TRUE(Snapshot(home_.path()) == before) << "a reading command changed a file";
  // A registry in the older nine-column layout, as the lookup once created it, is listed as
  // it is: no table is added.
  std::filesystem::remove(registry);
  Sql(registry,
      "CREATE TABLE session_table (id INTEGER primary key, conn_id INTEGER, share_name TEXT, "
      "session TEXT, attribute INTEGER, ctime DATATIME, view_id INTEGER, status INTEGER, "
      "sync_folder TEXT); INSERT INTO session_table VALUES (3, 1, 'nine', 's-9', 4, 0, 0, 10, "
      "'/nine');");
  const std::string nine = kelo_test::ReadFile(registry);
  const auto [code, out, err] = Tool({"sessions", "--home", home_.path()});
  EXPECT_EQ(0, code) << err;
  EXPECT_NE(npos, out.find("s-9")) << out;
  EXPECT_TRUE(nine == kelo_test::ReadFile(registry)) << "sessions changed the registry";
}

// A decomposed path inside a nested folder registered precomposed belongs to the nested
// session: set-state records it in that session's database, not in the outer one's.
TEST_F(ToolTest, SetStateFindsTheDeepestSessionInEitherForm) {
  Demo();
  const std::string registry = kelo::SystemDbPath(home_.path());
  ASSERT_EQ(0, SystemDB::initialize(registry));
  KELOSessionInfo inner{0, "team", "s-team", SystemDB::kEnabledBit,
                        0, 10,     0,        home_ / "Sync/Documents/\xC3\x89quipe",
                        ""};
  ASSERT_EQ(0, SystemDB::addNewSessionInfo(inner, 1));
  SystemDB::destroy();
  const std::string path = home_ / "Sync/Documents/E\xCC\x81quipe/plan.txt";
  const auto [code, out, err] = Tool({"set-state", "--home", home_.path(), path, "synced"});
  ASSERT_EQ(0, code) << err;
  const std::string inner_db = kelo::FileStatusDbPath(home_.path(), inner.id);
  ASSERT_TRUE(std::filesystem::exists(inner_db));
  FileStatusDB::m_fstatDBPath = inner_db;
  FileStatusInfo info;
  EXPECT_EQ(0,
            FileStatusDB::getFileSyncStat(home_ / "Sync/Documents/\xC3\x89quipe/plan.txt", &info));
  EXPECT_EQ(1, info.syncStatus);
  FileStatusDB::m_fstatDBPath.clear();
}

}  // namespace
