// Runs the built kelo-overlay binary as a user would and checks what it prints.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "iconoverlay/badge-resolver.h"
#include "support/sql.h"
#include "support/temp-dir.h"

namespace {

namespace fs = std::filesystem;
using Strings = std::vector<std::string>;
using ToolRun = std::tuple<int, std::string, std::string>;  // Exit code, output, errors.
constexpr size_t npos = std::string::npos;
constexpr int kRegistry = 0;  // For Exec: the system database rather than a session's.

std::string Quote(const std::string& word) {  // One shell word.
  std::string out = "'";
  for (char c : word) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

// Runs `sql` on the registry or the file status database of `session` in the home `h`; each
// "$H" in it stands for `h`.
void Exec(const std::string& h, int session, std::string sql) {
  for (size_t at; (at = sql.find("$H")) != npos;) sql.replace(at, 2, h);
  kelo_test::ExecSql(
      session == kRegistry ? kelo::SystemDbPath(h) : kelo::FileStatusDbPath(h, session), sql);
}

class ToolTest : public ::testing::Test {
 protected:
  ToolRun Shell(const std::string& command) {
    const std::string out = scratch_ / "out", err = scratch_ / "err";
    const int status = std::system((command + " >" + Quote(out) + " 2>" + Quote(err)).c_str());
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, kelo_test::ReadFile(out),
            kelo_test::ReadFile(err)};
  }
  // Runs the tool with `args` and no HOME, so that nothing falls back to the real one. The time
  // limit only keeps a tool that hangs from hanging the test.
  ToolRun Tool(const Strings& args) {
    std::string command = "HOME= timeout 120 " + Quote(KELO_OVERLAY_BIN);
    for (const std::string& arg : args) command += " " + Quote(arg);
    return Shell(command);
  }
  // Builds the sample home in home_ and returns what the demo printed.
  std::string Demo() {
    const auto [code, out, err] = Tool({"demo", home_.path()});
    EXPECT_EQ(0, code) << err;
    return out;
  }
  // Starts `watch` on the plan file of the sample home, with `option` ("--json" or "--"), its
  // output going to watch_; returns the process.
  pid_t Watch(const char* option) {
    const pid_t pid = fork();
    if (pid == 0) {
      if (freopen(watch_.c_str(), "w", stdout) == nullptr) _exit(126);
      execl(KELO_OVERLAY_BIN, "kelo-overlay", "watch", "--home", home_.path().c_str(), "--interval",
            "20", option, plan_.c_str(), nullptr);
      _exit(127);
    }
    return pid;
  }
  // Whether watch_ shows `text` within 30 s (a deadline that only guards against hangs).
  bool Watched(const std::string& text) {
    for (int i = 0; i < 3000 && kelo_test::ReadFile(watch_).find(text) == npos; ++i) usleep(10000);
    return kelo_test::ReadFile(watch_).find(text) != npos;
  }

  kelo_test::TempDir scratch_, home_;
  const std::string watch_ = scratch_ / "watch";
  const std::string plan_ = home_ / "Sync/Documents/Projects/2024/plan.key";
};

// The demo's table, and the status and doctor commands it suggests: the doctor prints a block
// per session and a summary.
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
    EXPECT_TRUE(fs::exists(home_ / path)) << path;
  }
  EXPECT_EQ(expected, rows) << out;
  const auto suggested = [&](const std::string& command) {  // Runs it up to its comment.
    const size_t at = out.find(KELO_OVERLAY_BIN " " + command + " --home ");
    EXPECT_NE(npos, at) << out;
    return Shell(at == npos ? "false" : out.substr(at, out.find_first_of("#\n", at) - at));
  };
  EXPECT_EQ(0, std::get<0>(suggested("status")));
  const auto [code, doctor, err] = suggested("doctor");
  EXPECT_EQ(1, code) << err;  // Its one warning.
  const size_t music =
      doctor.find("\nSession 5 Music, status 10: " + home_ / "Sync/Music\n  warning");
  EXPECT_NE(npos, music) << doctor;
  EXPECT_LT(doctor.find("\nSession 4 "), music);
  EXPECT_NE(npos, doctor.find("\nSummary: 0 errors, 1 warning, 7 notes (5 sessions checked)\n"))
      << doctor;
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
  for (const char* step : {"{\"step\": \"file_status_db\", \"result\": 0, \"detail\": \"'",
                           "{\"step\": \"badge\", \"result\": 0, \"detail\": \"none: the session "
                           "has no file status database yet\"}"}) {
    EXPECT_NE(npos, explained.find(step)) << explained;
  }
}

TEST_F(ToolTest, StatesCanBeChangedByHandAndEveryCommandHasHelp) {
  Demo();
  const std::string draft = home_ / "Sync/Documents/draft notes.txt";
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
  EXPECT_EQ("synced 1", badge(home_ / "Sync/Documents/Projects/2024/plan.key"));
  const std::string sessions = std::get<1>(Tool({"sessions", "--home", home_.path()}));
  EXPECT_NE(npos, sessions.find("sess-archive    12")) << sessions;
  for (const char* command :
       {"status", "demo", "sessions", "set-state", "reset-syncing", "doctor", "watch"}) {
    const auto [code, out, err] = Tool({command, "--help"});
    EXPECT_EQ(0, code) << command;
    EXPECT_EQ(0u, out.find(std::string("usage: kelo-overlay ") + command)) << out;
  }
  const std::string help = std::get<1>(Tool({"--help"}));  // Readers listed apart.
  for (const char* reader : {"\n  status ", "\n  sessions ", "\n  doctor ", "\n  watch "}) {
    EXPECT_LT(help.find(reader), help.find("commands that write")) << reader;
  }
}

// The JSON object of the finding `code` of `session` ("null": the system database).
std::string Finding(const std::string& json, const std::string& session, const std::string& code) {
  const size_t at = json.find("\"code\": \"" + code + "\", \"session\": " + session + ",");
  return at == npos ? ""
                    : json.substr(json.rfind('{', at), json.find('}', at) - json.rfind('{', at));
}

TEST_F(ToolTest, DoctorReportsEachFindingAndChangesNoFile) {
  using Home = const std::string&;
  const auto damage = [](const std::string& file) {  // Its third page, past the header.
    std::string bytes = kelo_test::ReadFile(file);
    bytes.replace(2 * 4096, 64, std::string(64, '\xFF'));
    kelo_test::WriteFile(file, bytes);
  };
  const struct {
    const char* name;
    std::function<void(Home)> setup;  // Changes the demo home.
    int exit_code;
    // Findings, each as: session ("null": the system database), severity, code, count (0: any).
    const char* expected;
  } cases[] = {
      {"demo", [](Home) {}, 1,
       "5 warning fstat-missing 1  3 note session-inactive 1  4 note session-folder-form 1  "
       "1 note fstat-journal 1  1 note entries-syncing 2  1 note folders-shown-syncing 4"},
      {"clean", [](Home h) { Exec(h, kRegistry, "DELETE FROM session_table WHERE id = 5"); }, 0,
       "1 note entries-syncing 2"},
      {"sessions and entries",
       [](Home h) {
         Exec(h, kRegistry,
              "INSERT INTO session_table (id, share_name, status, sync_folder) VALUES "
              "(6, 'Projects', 12, '$H/Sync/Documents/Projects'), (7, 'Photos 2', 10, "
              "'$H/Sync/Photos'), (8, 'Gone', 11, '/nowhere-kelo/g'), (9, 'Relative', 10, "
              "'Sync/x'), (10, 'None', 10, NULL), (11, 'Decomposed', 10, '$H/Sync/Cafe\xCC\x81');"
              "UPDATE session_table SET sync_folder = sync_folder || '/' WHERE id = 3");
         fs::create_directory(h + "/Sync/Caf\xC3\xA9");
         Exec(h, 1,
              "INSERT INTO fstatinfo (path, fileType, syncStatus) VALUES ('/elsewhere/x', 0, 1), "
              "('$H/Sync/Documents2/x', 0, 1), "
              "('$H/Sync/Documents/Cafe\xCC\x81', 0, 1), ('$H/Sync/Documents/INVOICES', 1, 1), "
              "(CAST(X'2FFF2F78' AS TEXT), 0, 1)");
         Exec(h, 2, "DROP INDEX fstatinfo_path_nocase_idx");
       },
       1,
       // Outside: one beside the folder, not below it. Shown syncing: the session folder and
       // Résumés.
       "1 warning entries-outside 2  1 warning entries-other-session 3  "
       "1 warning entries-not-form-c 1  1 warning entries-case-variants 2  "
       "1 warning entries-not-utf8 1  1 note entries-gone 2  1 note session-nested 1  "
       "1 note entries-syncing 1  1 note folders-shown-syncing 2  2 warning session-duplicate 1  "
       "7 warning session-duplicate 1  2 warning fstat-no-index 4  "
       "3 note session-trailing-slash 1  8 warning session-folder-missing 1  "
       "9 warning session-folder-not-absolute 1  10 warning session-no-folder 1  "
       "11 warning session-folder-not-form-c 1"},
      {"file status databases that cannot be read",
       [&](Home h) {
         damage(kelo::FileStatusDbPath(h, 1));
         kelo_test::WriteFile(kelo::FileStatusDbPath(h, 2), std::string(4096, 'x'));
         fs::remove(kelo::FileStatusDbPath(h, 4));
         Exec(h, 4, "CREATE TABLE other (x)");
         fs::create_directories(fs::path(kelo::FileStatusDbPath(h, 5)).parent_path());
         Exec(h, 5, "CREATE TABLE fstatinfo (path, id, fileType, syncStatus)");
       },
       1,
       "1 error fstat-damaged 0  2 error fstat-not-database 1  4 error fstat-no-table 1  "
       "5 error fstat-columns 1"},
      {"a FIFO beside one, a client's interrupted write in another",
       [](Home h) {
         ASSERT_EQ(0, mkfifo((kelo::FileStatusDbPath(h, 1) + "-journal").c_str(), 0600));
         if (fork() == 0) {  // killed in the middle of a write, its journal written at once
           kelo::sqlite::Connection db = kelo_test::OpenSql(kelo::FileStatusDbPath(h, 2));
           kelo_test::ExecSql(db.get(), "PRAGMA synchronous=OFF; BEGIN; DELETE FROM fstatinfo");
           kill(getpid(), SIGKILL);
         }
         wait(nullptr);
       },
       1, "1 error fstat-unreadable 1  2 error fstat-hot-journal 1"},
      {"no system database", [](Home h) { fs::remove(kelo::SystemDbPath(h)); }, 1,
       "null error registry-missing 1"},
      {"not a database",
       [](Home h) { kelo_test::WriteFile(kelo::SystemDbPath(h), std::string(8192, '\1')); }, 1,
       "null error registry-not-database 1"},
      {"damaged", [&](Home h) { damage(kelo::SystemDbPath(h)); }, 1,
       "null error registry-damaged 0"},
      {"a folder in its place",
       [](Home h) {
         fs::remove(kelo::SystemDbPath(h));
         fs::create_directory(kelo::SystemDbPath(h));
       },
       1, "null error registry-unreadable 1"},
      {"nine-column layout",
       [](Home h) {
         Exec(h, kRegistry,
              "DROP TABLE session_table; CREATE TABLE session_table (id INTEGER primary key, "
              "conn_id INTEGER, share_name TEXT, session TEXT, attribute INTEGER, ctime DATATIME, "
              "view_id INTEGER, status INTEGER, sync_folder TEXT); INSERT INTO session_table "
              "(id, share_name, status, sync_folder) VALUES (2, 'Photos', 11, '$H/Sync/Photos')");
       },
       1, "null warning registry-nine-columns 1"},
      {"a column the lookup reads is missing",
       [](Home h) { Exec(h, kRegistry, "ALTER TABLE session_table DROP COLUMN status"); }, 1,
       "null error registry-columns 1"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    kelo_test::TempDir home;
    ASSERT_EQ(0, std::get<0>(Tool({"demo", home.path()})));
    c.setup(home.path());
    const auto before = kelo_test::Snapshot(home.path());
    const auto [code, json, err] = Tool({"doctor", "--home", home.path(), "--json"});
    EXPECT_EQ(c.exit_code, code) << err;
    EXPECT_EQ(before, kelo_test::Snapshot(home.path()));
    std::istringstream expected(c.expected);
    std::string session, severity, name;
    for (int count; expected >> session >> severity >> name >> count;) {
      const std::string finding = Finding(json, session, name);
      EXPECT_EQ(0u, finding.find("{\"severity\": \"" + severity + "\"")) << name << "\n" << json;
      if (count > 0) {
        EXPECT_NE(npos, finding.find("\"count\": " + std::to_string(count) + ",")) << finding;
      }
    }
    EXPECT_TRUE(expected.eof()) << "a malformed expectation";
  }
}

// `watch` on the plan file, in text and in JSON, reports a change another process makes and
// ends on SIGINT. Deadlines only guard against hangs.
TEST_F(ToolTest, WatchReportsAChangeByAnotherProcessAndEndsOnSigint) {
  Demo();
  const struct {
    bool json;
    const char *first, *state, *change;
  } cases[] = {
      {false, "  syncing ", "synced", "  syncing -> synced "},
      {true, "\"badge\": \"syncing\", \"state\": 2, \"previous\": null, \"previous_state\": null}",
       "unsupported",
       "\"badge\": \"unsupported\", \"state\": 3, \"previous\": \"syncing\", "
       "\"previous_state\": 2}"},
  };
  const auto set_state = [&](const char* state) {
    return std::get<0>(Tool({"set-state", "--home", home_.path(), plan_, state}));
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.json ? "json" : "text");
    if (c.json) {
      ASSERT_EQ(0, set_state("2"));
    }
    const pid_t pid = Watch(c.json ? "--json" : "--");
    ASSERT_NE(-1, pid);
    EXPECT_TRUE(Watched(c.first)) << kelo_test::ReadFile(watch_);
    ASSERT_EQ(0, set_state(c.state));
    EXPECT_TRUE(Watched(c.change)) << kelo_test::ReadFile(watch_);
    kill(pid, SIGINT);
    int status = -1;
    for (int i = 0; i < 3000 && waitpid(pid, &status, WNOHANG) == 0; ++i) usleep(10000);
    if (status == -1) {  // Hung: end it, and fail below.
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
    }
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  }
}

// While the client holds its file locked, `watch` shows no answer it gave up on ("none"):
// it asks again when the back-off ends, although no file changed, and shows the badge.
TEST_F(ToolTest, WatchAsksAgainAfterGivingUpOnALock) {
  Demo();
  std::vector<kelo::sqlite::Connection> holders;
  for (const auto& file : std::filesystem::recursive_directory_iterator(home_ / ".Tarnvale")) {
    if (file.path().filename() != "file-status.sqlite") continue;
    holders.push_back(kelo_test::OpenSql(file.path()));
    kelo_test::ExecSql(holders.back().get(), "BEGIN EXCLUSIVE");
  }
  const pid_t pid = Watch("--");
  ASSERT_NE(-1, pid);
  usleep(500000);
  EXPECT_EQ(npos, kelo_test::ReadFile(watch_).find("none")) << kelo_test::ReadFile(watch_);
  for (auto& holder : holders) kelo_test::ExecSql(holder.get(), "COMMIT");
  EXPECT_TRUE(Watched("  syncing ")) << kelo_test::ReadFile(watch_);
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
}

TEST_F(ToolTest, BadArgumentsAndMissingFoldersFailClearly) {
  kelo_test::TempDir empty;
  const std::string missing = empty / "nowhere";
  const std::string fifo = scratch_ / "fifo";  // nobody writes to it
  ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
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
      {{"--log-config", empty.path(), "status", "/x"}, 1, "not a readable regular file"},
      {{"--log-config=" + fifo, "status", "/x"}, 1, "not a readable regular file"},
      {{"doctor", "--interval", "5"}, 2, "unknown option '--interval'"},
      {{"doctor", "--home", missing}, 1, "home folder '" + missing + "' does not exist"},
      {{"watch", "--home", empty.path()}, 2, "no PATH given"},
      {{"watch", "--interval", "5", "/x"}, 2, "bad --interval '5'"},
  };
  for (const auto& [args, exit_code, message] : cases) {
    const auto [code, out, err] = Tool(args);
    EXPECT_EQ(exit_code, code) << message;
    EXPECT_NE(npos, err.find(message)) << err;
    EXPECT_EQ("", out) << message;
  }
}

// status and sessions read as the Finder reads: a file status database without the lookup
// indexes stays without them, a registry in the older nine-column layout gets no table, and no
// byte of any file changes.
TEST_F(ToolTest, ReadingCommandsChangeNoFile) {
  Demo();
  Exec(home_.path(), 1,
       "DROP INDEX fstatinfo_path_nocase_idx; DROP INDEX fstatinfo_status_path_idx;");
  const std::string documents = home_ / "Sync/Documents";
  for (bool nine_columns : {false, true}) {
    SCOPED_TRACE(nine_columns ? "nine columns" : "demo");
    if (nine_columns) {
      fs::remove(kelo::SystemDbPath(home_.path()));
      Exec(home_.path(), kRegistry,
           "CREATE TABLE session_table (id INTEGER primary key, conn_id INTEGER, share_name TEXT, "
           "session TEXT, attribute INTEGER, ctime DATATIME, view_id INTEGER, status INTEGER, "
           "sync_folder TEXT); INSERT INTO session_table VALUES (3, 1, 'nine', 's-9', 4, 0, 0, "
           "10, '/nine');");
    }
    const auto before = kelo_test::Snapshot(home_.path());
    for (const Strings& args : {Strings{"status", "--home", home_.path(), documents + "/Invoices"},
                                Strings{"status", "--home", home_.path(), "--explain", documents},
                                Strings{"sessions", "--home", home_.path()}}) {
      const auto [code, out, err] = Tool(args);
      EXPECT_EQ(0, code) << args[0] << ": " << err;
      EXPECT_EQ("", err) << args[0];
      if (args[0] == "sessions") {
        EXPECT_NE(npos, out.find(nine_columns ? "s-9" : "sess-documents")) << out;
      }
    }
    EXPECT_TRUE(kelo_test::Snapshot(home_.path()) == before) << "a reading command changed a file";
  }
}

// A decomposed path inside a nested folder registered precomposed belongs to the nested
// session: set-state records it in that session's database, not in the outer one's.
TEST_F(ToolTest, SetStateFindsTheDeepestSessionInEitherForm) {
  Demo();
  Exec(home_.path(), kRegistry,
       "INSERT INTO session_table (id, share_name, session, attribute, status, sync_folder) "
       "VALUES (6, 'team', 's-team', 4, 10, '$H/Sync/Documents/\xC3\x89quipe')");
  const auto [code, out, err] = Tool({"set-state", "--home", home_.path(),
                                      home_ / "Sync/Documents/E\xCC\x81quipe/plan.txt", "synced"});
  ASSERT_EQ(0, code) << err;
  EXPECT_EQ(kelo_test::QuerySql(kelo::FileStatusDbPath(home_.path(), 6),
                                "SELECT path, syncStatus FROM fstatinfo"),
            (kelo_test::SqlRows{{home_ / "Sync/Documents/\xC3\x89quipe/plan.txt", "1"}}));
}

}  // namespace
