// Keeps the README true to the built tool: its option table against what --help lists and
// what the argument table accepts, its exit-status table against a command for each status,
// and every example command run on a copy of the bundled examples.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "e2e/logmendrun.h"

namespace {

using namespace e2e;  // NOLINT(google-build-using-namespace): the kit is this file's vocabulary

std::string ReadmeText() { return test::ReadWholeFile(std::string(LOGMEND_SOURCE_DIR) + "/README.md"); }

std::vector<std::string> LinesOf(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::string Trimmed(const std::string& text) {
  const size_t first = text.find_first_not_of(' ');
  if (first == std::string::npos) return "";
  return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

/// The first cell of every table row of the text, trimmed.
std::vector<std::string> FirstCells(const std::string& text) {
  std::vector<std::string> cells;
  for (const std::string& line : LinesOf(text)) {
    if (line.size() < 2 || line[0] != '|') continue;
    const size_t end = line.find('|', 1);
    if (end != std::string::npos) cells.push_back(Trimmed(line.substr(1, end - 1)));
  }
  return cells;
}

/// The option table: each first cell that is an option in backquotes, without them.
std::vector<std::string> ReadmeOptions(const std::string& readme) {
  std::vector<std::string> options;
  for (const std::string& cell : FirstCells(readme)) {
    if (cell.size() > 3 && cell.compare(0, 2, "`-") == 0 && cell.back() == '`') {
      options.push_back(cell.substr(1, cell.size() - 2));
    }
  }
  return options;
}

/// The exit-status table: the numbers of each first cell that starts with a digit, and
/// whether a row says its numbers are ORed.
std::set<int> ReadmeStatuses(const std::string& readme, bool* ored) {
  std::set<int> statuses;
  for (const std::string& cell : FirstCells(readme)) {
    if (cell.empty() || std::isdigit(static_cast<unsigned char>(cell[0])) == 0) continue;
    if (cell.find("OR") != std::string::npos) *ored = true;
    for (size_t at = 0; at < cell.size();) {
      if (std::isdigit(static_cast<unsigned char>(cell[at])) == 0) {
        ++at;
        continue;
      }
      size_t end = at;
      while (end < cell.size() && std::isdigit(static_cast<unsigned char>(cell[end])) != 0) ++end;
      statuses.insert(std::stoi(cell.substr(at, end - at)));
      at = end;
    }
  }
  return statuses;
}

/// The lines of the README's fenced code blocks that run logmend.
std::vector<std::string> ReadmeExamples(const std::string& readme) {
  std::vector<std::string> examples;
  bool fenced = false;
  for (const std::string& line : LinesOf(readme)) {
    if (line.compare(0, 3, "```") == 0) {
      fenced = !fenced;
    } else if (fenced && (line.compare(0, 8, "logmend ") == 0 || line.find(" logmend ") != std::string::npos)) {
      examples.push_back(line);
    }
  }
  return examples;
}

/// The option column of the glossary that `--help` prints ("  %-40s %s").
std::vector<std::string> HelpOptions(const std::string& help) {
  std::vector<std::string> options;
  for (const std::string& line : LinesOf(help)) {
    if (line.compare(0, 3, "  -") == 0) options.push_back(Trimmed(line.substr(2, 40)));
  }
  return options;
}

/// How each option the README may list is run: its value ("" for a flag) and what it gives.
struct OptionUse {
  std::string value;
  int status;
  std::string out;  // what standard output starts with ("" for nothing)
};

class Readme : public LogmendRun {
 protected:
  void SetUp() override {
    const RecordingInfo info;
    recording_ = RecordingOf(info, SomeTraffic(1));
    passwords_ = Write("keys.json", test::ReadWholeFile(std::string(LOGMEND_EXAMPLES) + "/../passwords.json"));
    fs::create_directories(dir_.Path("out"));
  }
  /// A fresh copy of a good recording, as the one input of a run.
  std::string Input(const std::string& name) { return Write("in/" + name + ".mf4", recording_); }
  static std::string Example(const std::string& name) { return std::string(LOGMEND_EXAMPLES) + "/0000ABCD/" + name; }

  std::string recording_;
  std::string passwords_;
};

// The table lists what --help lists, in its order and spelling, and the README quotes it right.
TEST_F(Readme, OptionTableIsWhatHelpLists) {
  const test::ProgramResult help = Run({"--help"});
  ASSERT_EQ(help.status, 129);
  const std::vector<std::string> listed = HelpOptions(help.out);
  ASSERT_FALSE(listed.empty()) << help.out;
  const std::string readme = ReadmeText();
  EXPECT_EQ(ReadmeOptions(readme), listed);
  // Where the README quotes it ("`--help` says "..."), the quote is the help's own text.
  const std::string says = "`--help` says \"";
  size_t quotes = 0;
  for (size_t at = readme.find(says); at != std::string::npos; at = readme.find(says, at + 1)) {
    const size_t start = at + says.size();
    const std::string quote = readme.substr(start, readme.find('"', start) - start);
    EXPECT_NE(help.out.find(quote), std::string::npos) << "--help does not say \"" << quote << "\"";
    ++quotes;
  }
  EXPECT_GT(quotes, 0u);
}

// Each option of the table is accepted by its short and its long name.
TEST_F(Readme, EveryOptionOfTheTableIsAcceptedInBothSpellings) {
  const std::map<std::string, OptionUse> uses = {
      {"help", {"", 129, "Usage: logmend"}},
      {"version", {"", 0, "Version: "}},
      {"verbosity", {"4", 0, ""}},
      {"non-interactive", {"", 0, ""}},
      {"delete-converted", {"", 0, ""}},
      {"no-append-root", {"", 0, ""}},
      {"buffer", {"0", 0, ""}},
      {"password-file", {passwords_, 0, ""}},
      {"muxtp-can*", {"010#3:4:5:6", 0, ""}},
      {"output-directory", {dir_.Path("out"), 0, ""}},
      {"input-files", {"", 0, ""}},  // its label is part of its name: a flag
  };
  const std::vector<std::string> options = ReadmeOptions(ReadmeText());
  ASSERT_FALSE(options.empty());
  int run = 0;
  for (const std::string& option : options) {
    // "-b, --buffer=<n>", "--help", "--muxtp-can*=<demux mapping>"
    std::string short_name;
    std::string long_name = option;
    if (option.compare(0, 2, "--") != 0) {
      short_name = option.substr(1, option.find(',') - 1);
      long_name = Trimmed(option.substr(option.find(',') + 1));
    }
    long_name = long_name.substr(2, long_name.find('=') - 2);
    const auto use = uses.find(long_name);
    if (use == uses.end()) {
      ADD_FAILURE() << "the README lists " << option << ", which this test does not know how to run";
      continue;
    }
    const OptionUse& u = use->second;
    std::vector<std::vector<std::string>> spellings;
    const std::string long_spelling = "--" + (long_name == "muxtp-can*" ? std::string("muxtp-can1") : long_name);
    spellings.push_back({u.value.empty() ? long_spelling : long_spelling + "=" + u.value});
    if (!short_name.empty()) {
      spellings.push_back({"-" + short_name});
      if (!u.value.empty()) spellings.back().push_back(u.value);
    }
    for (std::vector<std::string> args : spellings) {
      args.push_back(Input("option" + std::to_string(run++)));
      const test::ProgramResult result = Run(args);
      EXPECT_EQ(result.status, u.status) << args[0] << "\n" << result.out << result.err;
      EXPECT_EQ(result.out.compare(0, u.out.size(), u.out), 0) << args[0] << "\n" << result.out;
    }
  }
}

// Each status of the table comes from the command it stands for; each quoted line is the
// tool's own.
TEST_F(Readme, EveryExitStatusOfTheTableComesFromItsCommand) {
  const std::string readme = ReadmeText();
  std::string foreign = recording_;
  foreign.replace(16, 2, "ZZ");  // the identification's program id: not the logger's "QX"
  RecordingInfo no_serial;
  no_serial.serial = "";
  const std::string compressed = test::ReadWholeFile(Example("00000002/00000001.MFC"));
  Write("in/foreign.mf4", foreign);
  Write("in/serial.mf4", RecordingOf(no_serial, SomeTraffic(1)));
  Write("in/text.mf4", "no MDF at all");
  Write("in/locked.mfe", test::ReadWholeFile(Example("00000002/00000002.MFE")));
  Write("in/torn.mfc", compressed.substr(0, compressed.size() / 2));
  Write("mixed/locked.mfe", test::ReadWholeFile(Example("00000002/00000002.MFE")));
  Write("mixed/text.mf4", "no MDF at all");
  Write("elsewhere/deeper/b.mf4", recording_);
  fs::create_symlink("loop-b", dir_.Path("loop-a"));
  fs::create_symlink("loop-a", dir_.Path("loop-b"));
  const std::string below_missing = dir_.Path("no-such-folder/a.mf4");
  const std::string below_loop = dir_.Path("loop-a/a.mf4");
  const std::string no_password = "No password found for device 0000ABCD";

  struct Case {
    int status;
    std::vector<std::string> args;
    std::string line;     // what standard error or output must hold ("" for nothing)
    std::string quote{};  // the README's quote of the line, its path as X ("" for none)
    bool ored = false;    // stands for the row of ORed bits, not for one number
  };
  const std::vector<Case> cases = {
      {0, {Input("good")}, ""},
      {1, {dir_.Path("in/missing.mf4")}, ""},
      // A folder that does not exist: the input is missing, named as typed.
      {1, {below_missing}, "E Could not find input file/folder " + below_missing, "Could not find input file/folder X"},
      {2, {dir_.Path("in/locked.mfe")}, no_password, no_password},
      {4, {dir_.Path("in/torn.mfc")}, "Could not decompress file", "Could not decompress file"},
      {8, {dir_.Path("in/text.mf4")}, "Could not open MDF", "Could not open MDF"},
      {8, {dir_.Path("in/foreign.mf4")}, "Could not open MDF", "Could not open MDF"},
      {8, {dir_.Path("in/serial.mf4")}, "Could not parse file header", "Could not parse file header"},
      {2 | 8, {dir_.Path("mixed")}, "", "", true},
      {129, {"--help"}, "Usage: logmend"},
      {129, {}, "Usage: logmend"},
      {129, {"-O", dir_.Path("no-such-folder"), Input("setup")}, "Invalid output path", "Invalid output path"},
      {129, {below_loop}, "F Could not query " + below_loop + " for information", "Could not query X for information"},
      {130, {Input("last"), "-b"}, ""},
      {130, {"--buffer=", Input("empty")}, ""},
      {131, {"-b", "abc", Input("number")}, ""},
      {131, {"--verbosity=6", Input("verbosity")}, ""},
      {132, {Input("root"), dir_.Path("elsewhere/deeper/b.mf4")}, "No common root detected for all inputs"},
      {134, {"--no-such-option", Input("unknown")}, "invalid option"},
  };
  bool ored = false;
  const std::set<int> documented = ReadmeStatuses(readme, &ored);
  std::set<int> covered;
  for (const Case& c : cases) {
    if (c.ored && !ored) continue;
    if (!c.ored) covered.insert(c.status);
    const test::ProgramResult result = Run(c.args);
    const std::string shown = c.args.empty() ? "(no arguments)" : c.args[0];
    EXPECT_EQ(result.status, c.status) << shown << "\n" << result.out << result.err;
    if (c.line.empty()) continue;
    EXPECT_NE((result.out + result.err).find(c.line), std::string::npos) << shown << "\n" << result.out << result.err;
    if (!c.quote.empty()) {
      EXPECT_NE(readme.find(c.quote), std::string::npos) << "the README does not quote \"" << c.quote << "\"";
    }
  }
  EXPECT_EQ(documented, covered);
  EXPECT_TRUE(ored) << "the README no longer says that the per-file bits are ORed";
}

/// The regular files below `root` that a run takes for inputs, and its outputs.
struct TreeCount {
  size_t recordings = 0;
  size_t outputs = 0;
};

TreeCount CountTree(const fs::path& root) {
  TreeCount count;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    if (!entry.is_regular_file()) continue;
    const std::string name = entry.path().filename().string();
    std::string extension = entry.path().extension().string();
    std::transform(extension.begin(), extension.end(), extension.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    const bool output = name.size() > 8 && name.compare(name.size() - 8, 8, "_out.MF4") == 0;
    if (output) {
      ++count.outputs;
    } else if (extension == ".mf4" || extension == ".mfc" || extension == ".mfe" || extension == ".mfm") {
      ++count.recordings;
    }
  }
  return count;
}

/// `text` with every absolute path (a blank, then '/') moved below `root`.
std::string BelowRoot(const std::string& text, const std::string& root) {
  std::string moved;
  for (size_t i = 0; i < text.size(); ++i) {
    moved.push_back(text[i]);
    if (text[i] == ' ' && i + 1 < text.size() && text[i + 1] == '/') moved += root;
  }
  return moved;
}

// Each example runs where the README says: a card's folder /media/card/LOG and a tree of
// device folders /data/logs (both copies of the bundled examples), an existing /data/converted,
// the passwords in /data/passwords.json, and passwords.json in the current folder unless the
// command names a password file. Each ends with 0, converts what it names and, with -d, removes
// exactly the inputs it converted.
TEST_F(Readme, EveryExampleCommandRunsAsDescribed) {
  const std::vector<std::string> examples = ReadmeExamples(ReadmeText());
  ASSERT_GE(examples.size(), 4u);
  const fs::path tool_dir = fs::path(LOGMEND_BINARY).parent_path();
  for (const std::string& example : examples) {
    test::TempDir stage;
    const fs::path root = stage.Dir();
    fs::create_directories(root / "media/card");
    fs::create_directories(root / "data/converted");
    fs::create_directories(root / "work");
    fs::create_directories(root / "scratch");
    fs::copy(LOGMEND_EXAMPLES, root / "media/card/LOG", fs::copy_options::recursive);
    fs::copy(LOGMEND_EXAMPLES, root / "data/logs", fs::copy_options::recursive);
    fs::copy_file(passwords_, root / "data/passwords.json");
    const size_t comment = example.find(" # ");
    const std::string command = BelowRoot(example.substr(0, comment), root.string());
    const std::string note = comment == std::string::npos ? "" : BelowRoot(example.substr(comment), root.string());
    const bool deleting =
        command.find(" -d ") != std::string::npos || command.find(" --delete-converted") != std::string::npos;
    if (command.find(" -p ") == std::string::npos && command.find(" --password-file") == std::string::npos) {
      fs::copy_file(passwords_, root / "work/passwords.json");
    }

    const TreeCount before = CountTree(root);
    const test::ProgramResult result =
        test::RunProgram("/bin/sh", {"-c", "PATH=\"" + tool_dir.string() + ":$PATH\"; export PATH; " + command},
                         (root / "work").string(), (root / "scratch").string());
    EXPECT_EQ(result.status, 0) << example << "\n" << result.out << result.err;
    const TreeCount after = CountTree(root);
    const size_t written = after.outputs - before.outputs;
    const size_t removed = before.recordings - after.recordings;
    EXPECT_GT(written, 0u) << example;
    EXPECT_EQ(removed, deleting ? written : 0u) << example;

    // "# writes <path>": that output is there.
    const size_t writes = note.find("writes ");
    if (writes != std::string::npos) {
      const std::string path = Trimmed(note.substr(writes + 7));
      ASSERT_TRUE(fs::exists(path)) << example << "\n" << path;
      EXPECT_GT(fs::file_size(path), 0u) << example;
    }
  }
}

// Each document the README names is in the tree.
TEST_F(Readme, EveryDocumentItNamesExists) {
  const std::string readme = ReadmeText();
  size_t named = 0;
  for (size_t at = readme.find("](docs/"); at != std::string::npos; at = readme.find("](docs/", at + 1)) {
    const size_t end = readme.find(')', at);
    ASSERT_NE(end, std::string::npos);
    const std::string path = readme.substr(at + 2, end - at - 2);
    EXPECT_TRUE(fs::exists(std::string(LOGMEND_SOURCE_DIR) + "/" + path)) << path;
    ++named;
  }
  EXPECT_GE(named, 3u);
}

}  // namespace
