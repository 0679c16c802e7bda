// Runs the built kelo-overlay binary as a user would and checks what it prints.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "support/temp_dir.h"

#ifndef KELO_OVERLAY_BIN
#error "KELO_OVERLAY_BIN must name the kelo-overlay binary"
#endif

namespace {

struct ToolRun {
  int exit_code;
  std::string out;
  std::string err;
};

std::string Quote(const std::string& word) {
  std::string out = "'";
  for (char c : word) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

class ToolTest : public ::testing::Test {
 protected:
  // Runs the tool with `args`; `env` is put in front of the command (e.g. "TMPDIR=/x").
  ToolRun Tool(const std::vector<std::string>& args, const std::string& env = "") {
    std::string command = env + " " + Quote(KELO_OVERLAY_BIN);
    for (const std::string& arg : args) command += " " + Quote(arg);
    return Shell(command);
  }
  ToolRun Shell(const std::string& command) {
    const std::string out = scratch_ / "out";
    const std::string err = scratch_ / "err";
    int status = std::system((command + " >" + Quote(out) + " 2>" + Quote(err)).c_str());
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, kelo_test::ReadFile(out),
            kelo_test::ReadFile(err)};
  }
  // Builds the sample home in home_ and returns the demo's output.
  ToolRun Demo() {
    ToolRun run = Tool({"demo", home_.path()});
    EXPECT_EQ(0, run.exit_code) << run.err;
    return run;
  }
  std::string Path(const std::string& relative) const { return home_ / relative; }

  kelo_test::TempDir scratch_;
  kelo_test::TempDir home_;
};

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

#define DECOMPOSED_E "e\xCC\x81"
#define DECOMPOSED_CAPITAL_E "E\xCC\x81"

TEST_F(ToolTest, DemoShowsEverySampleWithItsBadge) {
  const struct {
    const char* path;
    const char* badge;
    const char* state;
  } kExpected[] = {
      {"Sync/Documents", "syncing", "2"},
      {"Sync/Documents/Invoices", "synced", "1"},
      {"Sync/Documents/Invoices/2024-03 Rechnung M\xC3\xBCller.pdf", "synced", "1"},
      {"Sync/Documents/Invoices/2024-04 Rechnung Dupont.pdf", "synced", "1"},
      {"Sync/Documents/Projects", "syncing", "2"},
      {"Sync/Documents/Projects/2024", "syncing", "2"},
      {"Sync/Documents/Projects/2024/plan.key", "syncing", "2"},
      {"Sync/Documents/R" DECOMPOSED_E "sum" DECOMPOSED_E "s", "syncing", "2"},
      {"Sync/Documents/R" DECOMPOSED_E "sum" DECOMPOSED_E "s/cv-2024.pdf", "syncing", "2"},
      {"Sync/Documents/Shortcut.alias", "unsupported", "3"},
      {"Sync/Documents/draft notes.txt", "none", "0"},
      {"Sync/Photos", "synced", "1"},
      {"Sync/Photos/\xE6\xB5\xB7\xE8\xBE\xBA\xE3\x81\xAE\xE5\xA4\x95\xE6\x97\xA5.jpg", "synced",
       "1"},
      {"Sync/Photos/Vacation", "synced", "1"},
      {"Sync/Photos/Vacation/beach.jpg", "synced", "1"},
      {"Sync/Archive/old-report.txt", "none", "0"},
      {"Sync/" DECOMPOSED_CAPITAL_E "quipe/budget.xlsx", "synced", "1"},
      {"Sync/Music/song.mp3", "none", "0"},
      {"Desktop/todo.txt", "none", "0"},
  };
  ToolRun run = Demo();
  // Rows: badge, state, path, note; the path ends where two blanks begin.
  std::vector<std::vector<std::string>> rows;
  for (const std::string& line : Lines(run.out)) {
    std::istringstream in(line);
    std::string badge, state;
    if (!(in >> badge >> state) || line.size() < 20 || badge == "BADGE") continue;
    if (state.find_first_not_of("-0123456789") != std::string::npos) continue;
    rows.push_back({badge, state, line.substr(20, line.find("  ", 20) - 20)});
  }
  ASSERT_EQ(std::size(kExpected), rows.size()) << run.out;
  for (size_t i = 0; i < rows.size(); ++i) {
    SCOPED_TRACE(kExpected[i].path);
    EXPECT_EQ(kExpected[i].path, rows[i][2]);
    EXPECT_EQ(kExpected[i].badge, rows[i][0]);
    EXPECT_EQ(kExpected[i].state, rows[i][1]);
    EXPECT_TRUE(std::filesystem::exists(Path(kExpected[i].path)));
  }
  // The suggested command runs as printed.
  const std::string::size_type at = run.out.find(KELO_OVERLAY_BIN " status --home ");
  ASSERT_NE(std::string::npos, at) << run.out;
  ToolRun next = Shell(run.out.substr(at, run.out.find('\n', at) - at));
  EXPECT_EQ(0, next.exit_code) << next.err;
  EXPECT_NE(std::string::npos, next.out.find("folder_rule:")) << next.out;
}

TEST_F(ToolTest, DemoRefusesAnUsedHomeAndDefaultsToATemporaryFolder) {
  Demo();
  ToolRun again = Tool({"demo", home_.path()});
  EXPECT_EQ(1, again.exit_code);
  EXPECT_NE(std::string::npos, again.err.find("already holds a .Tarnvale folder")) << again.err;

  kelo_test::TempDir tmp;
  ToolRun fresh = Tool({"demo"}, "TMPDIR=" + Quote(tmp.path()));
  EXPECT_EQ(0, fresh.exit_code) << fresh.err;
  EXPECT_EQ(0u, fresh.out.find("Sample home: " + tmp.path() + "/kelo-demo-")) << fresh.out;
}

TEST_F(ToolTest, StatusExplainsEveryStep) {
  Demo();
  ToolRun run = Tool({"status", "--home", home_.path(), "--explain",
                      Path("Sync/" DECOMPOSED_CAPITAL_E "quipe/budget.xlsx")});
  ASSERT_EQ(0, run.exit_code) << run.err;
  const char* kSteps[] = {
      "path:",           "home:",           "system_db:",  "session:",     "session_form_c:",
      "session_status:", "file_status_db:", "initialize:", "lookup_path:", "entry:",
      "folder_rule:",    "code:",           "badge:"};
  std::string::size_type at = run.out.find("synced       1      ");
  ASSERT_NE(std::string::npos, at) << run.out;
  for (const char* step : kSteps) {
    SCOPED_TRACE(step);
    at = run.out.find(std::string("    ") + step, at);
    ASSERT_NE(std::string::npos, at) << run.out;
  }
  EXPECT_NE(std::string::npos, run.out.find("(not in form C)"));
  EXPECT_NE(std::string::npos, run.out.find("id 4, status 10, share '\xC3\x89quipe'"));
  EXPECT_NE(std::string::npos, run.out.find("session/4/db/file-status.sqlite' exists"));
}

TEST_F(ToolTest, StatusJson) {
  Demo();
  ToolRun run = Tool({"status", "--home", home_.path(), "--json", Path("Sync/Documents/Projects"),
                      Path("Sync/Archive/old-report.txt"), "/bad/\xFF\"name"});
  ASSERT_EQ(0, run.exit_code) << run.err;
  const std::string expected[] = {
      "{\"path\": \"" + Path("Sync/Documents/Projects") +
          "\", \"badge\": \"syncing\", \"state\": 2, \"image\": \"KeloSyncing\"}",
      "{\"path\": \"" + Path("Sync/Archive/old-report.txt") +
          "\", \"badge\": \"none\", \"state\": 0, \"image\": null}",
      "{\"path\": \"/bad/\xEF\xBF\xBD\\\"name\", \"badge\": \"none\", \"state\": 0, \"image\": "
      "null}",
  };
  for (const std::string& object : expected) {
    EXPECT_NE(std::string::npos, run.out.find(object)) << object << "\n" << run.out;
  }
  EXPECT_EQ('[', run.out.front());
  EXPECT_EQ("]\n", run.out.substr(run.out.size() - 2));

  ToolRun explained =
      Tool({"status", "--home", home_.path(), "--json", "--explain", Path("Sync/Music/song.mp3")});
  EXPECT_NE(std::string::npos,
            explained.out.find("{\"step\": \"badge\", \"detail\": \"none: the session has no file "
                               "status database yet\"}"))
      << explained.out;
}

TEST_F(ToolTest, StateCanBeSetAndResetByHand) {
  Demo();
  const std::string photos = Path("Sync/Photos");
  const std::string beach = Path("Sync/Photos/Vacation/beach.jpg");
  auto badge_of = [&](const std::string& path) {
    ToolRun run = Tool({"status", "--home", home_.path(), "--json", path});
    std::string::size_type at = run.out.find("\"badge\": \"");
    return at == std::string::npos ? run.out
                                   : run.out.substr(at + 10, run.out.find('"', at + 10) - at - 10);
  };
  EXPECT_EQ(0, Tool({"set-state", "--home", home_.path(), beach, "syncing"}).exit_code);
  EXPECT_EQ("syncing", badge_of(photos));
  ToolRun reset = Tool({"reset-syncing", "--home", home_.path(), photos});
  EXPECT_EQ(0, reset.exit_code) << reset.err;
  EXPECT_EQ("synced", badge_of(photos));
  EXPECT_EQ("synced", badge_of(beach));
  // A decomposed new folder is recorded precomposed and found again by its disk name.
  const std::string folder = Path("Sync/Photos/Caf" DECOMPOSED_E);
  EXPECT_EQ(0, Tool({"set-state", "--home", home_.path(), "--folder", folder, "3"}).exit_code);
  EXPECT_EQ("unsupported", badge_of(folder));
}

TEST_F(ToolTest, SessionsAndLogConfiguration) {
  Demo();
  ToolRun plain = Tool({"sessions", "--home", home_.path()});
  ASSERT_EQ(0, plain.exit_code) << plain.err;
  EXPECT_NE(std::string::npos, plain.out.find("3    Archive     sess-archive    12      yes"))
      << plain.out;
  EXPECT_EQ(std::string::npos, plain.err.find("[DEBUG]"));

  kelo_test::WriteFile(scratch_ / "debug.conf", "system_db_debug=7\n");
  ToolRun debug =
      Tool({"--log-config", scratch_ / "debug.conf", "sessions", "--home", home_.path()});
  ASSERT_EQ(0, debug.exit_code) << debug.err;
  EXPECT_NE(std::string::npos, debug.err.find("[DEBUG] system-db.cc(")) << debug.err;
  EXPECT_EQ(plain.out, debug.out);
}

TEST_F(ToolTest, BadArgumentsFailClearly) {
  kelo_test::TempDir empty;
  const std::string missing = empty / "nowhere";
  const struct {
    std::vector<std::string> args;
    int exit_code;
    std::string message;
  } kCases[] = {
      {{}, 2, "usage: kelo-overlay"},
      {{"frobnicate"}, 2, "unknown command 'frobnicate'"},
      {{"status"}, 2, "no PATH given"},
      {{"status", "--home"}, 2, "--home needs a folder"},
      {{"status", "--frob", "x"}, 2, "unknown option '--frob'"},
      {{"status", "--folder", "x"}, 2, "unknown option '--folder'"},
      {{"status", "--home", missing, "/x"}, 1, "home folder '" + missing + "' does not exist"},
      {{"demo", "a", "b"}, 2, "at most one folder"},
      {{"sessions", "--home", empty.path()}, 1, "no system database at"},
      {{"sessions", "extra"}, 2, "unexpected argument 'extra'"},
      {{"set-state", "/x"}, 2, "expected PATH and STATE"},
      {{"set-state", "/x", "sort-of"}, 2, "bad STATE 'sort-of'"},
      {{"set-state", "--home", empty.path(), "/x", "1"}, 1, "no system database at"},
      {{"reset-syncing"}, 2, "expected one PATH"},
      {{"--log-config", missing, "status", "/x"}, 1, "cannot read the log configuration"},
  };
  for (const auto& c : kCases) {
    std::string joined;
    for (const auto& a : c.args) joined += a + " ";
    SCOPED_TRACE(joined);
    ToolRun run = Tool(c.args, "HOME=");
    EXPECT_EQ(c.exit_code, run.exit_code);
    EXPECT_NE(std::string::npos, run.err.find(c.message)) << run.err;
    EXPECT_EQ("", run.out);
  }
}

TEST_F(ToolTest, EveryCommandHasHelp) {
  for (const char* command : {"status", "demo", "sessions", "set-state", "reset-syncing"}) {
    SCOPED_TRACE(command);
    ToolRun run = Tool({command, "--help"});
    EXPECT_EQ(0, run.exit_code);
    EXPECT_EQ(0u, run.out.find(std::string("usage: kelo-overlay ") + command)) << run.out;
  }
  ToolRun main_help = Tool({"--help"});
  EXPECT_EQ(0, main_help.exit_code);
  EXPECT_NE(std::string::npos, main_help.out.find("reset-syncing PATH"));
}

}  // namespace
