// The documentation against the programs: every example and recipe of
// README.md is taken from it at run time and run; the manual page renders
// cleanly and names every message and switch.
#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>
#include <tuple>

#include "helpers.h"
#include "keldrun.h"
#include "plan.h"

namespace {

const std::string kRoot = KELDRUN_SOURCE_DIR;

// The fenced blocks that follow the lines "<!-- marker -->" in README.md.
std::vector<std::string> blocks(const std::string& marker) {
  const std::string text = th::read_file(kRoot + "/README.md"),
                    tag = "<!-- " + marker + " -->\n```";
  std::vector<std::string> found;
  for (size_t at = text.find(tag); at != std::string::npos; at = text.find(tag, at + 1)) {
    const size_t body = text.find('\n', at + tag.size()) + 1;
    found.push_back(text.substr(body, text.find("```", body) - body));
  }
  return found;
}

// A shell command in `dir`, with the built programs first on PATH.
th::RunResult shell(const std::string& command, const std::string& dir) {
  const std::string bin = std::filesystem::path(th::program("keldrun")).parent_path();
  return th::run({"/bin/sh", "-c", "PATH='" + bin + "':\"$PATH\"\n" + command}, dir);
}

// The rows of a track table, without the carriage returns.
std::vector<std::string> rows(const std::string& text) {
  std::vector<std::string> r;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (line.starts_with("\r")) line.erase(0, 1);
    if (!line.empty() && line.find('\t') == line.find_first_not_of("0123456789")) r.push_back(line);
  }
  return r;
}

TEST(Readme, TablesAreWhatKeldrunPrints) {
  th::TempDir dir;
  for (const char* recipe : {"recipe: gen-session", "recipe: gen-worn", "recipe: gen-cd"}) {
    ASSERT_EQ(blocks(recipe).size(), 1u) << recipe;
    const auto r = shell(blocks(recipe)[0].substr(6), dir.path());  // without "build/"
    ASSERT_TRUE(r.exited(0)) << recipe << r.describe();
  }
  auto tables = blocks("table");
  EXPECT_GE(tables.size(), 6u);
  for (const std::string& session : blocks("session")) tables.push_back(session);
  for (const std::string& table : tables) {
    std::istringstream words(table.substr(2, table.find('\n') - 2));
    std::vector<std::string> args;
    for (std::string w; words >> w;) args.push_back(w);
    if (args.size() > 2 && args.back() == "SIDE_A") args.back() = "-";  // the session, listed
    const auto r = th::run(args, dir.path());
    ASSERT_TRUE(r.exited(0)) << table << r.describe();
    EXPECT_FALSE(rows(table).empty()) << table;
    EXPECT_EQ(rows(table), rows(r.out)) << table;
  }
}

// A side of two tracks: 1 s of silence, 70 s of tone, 3 s of silence, 5 s of
// tone; the table, turned into labels and a CUE sheet, and split from pipes.
TEST(Readme, RecipesWork) {
  th::TempDir dir;
  const std::string data = th::frames("s44100 t3087000 s132300 t220500");
  th::write_file(dir / "side_a.wav", th::wave(data));
  for (const char* recipe : {"recipe: table", "recipe: labels", "recipe: cue"})
    ASSERT_TRUE(shell(blocks(recipe).at(0), dir.path()).exited(0)) << recipe;
  EXPECT_EQ(th::read_file(dir / "side_a_labels.txt"),
            "0.999\t71.999\tTrack 01\n73.999\t76.999\tTrack 02\n");
  EXPECT_EQ(th::read_file(dir / "side_a.cue"),
            "FILE \"side_a.wav\" WAVE\n  TRACK 01 AUDIO\n    INDEX 01 00:00:74\n"
            "  TRACK 02 AUDIO\n    INDEX 01 01:13:74\n");
  const auto tracks = th::track_files(data, th::model(data, -1, {}), false, "SIDE_A");
  std::string arecord = blocks("recipe: arecord").at(0);  // no sound card here: the file instead
  arecord.replace(0, arecord.find(" | "), "cat side_a.wav");
  std::string sox = blocks("recipe: sox").at(0);
  sox.replace(sox.find("side_a.mp3"), 10, "side_a.wav");
  for (const std::string& command :
       {arecord, "flac -s -o side_a.flac side_a.wav && " + blocks("recipe: flac").at(0), sox}) {
    th::TempDir run;
    std::filesystem::copy(dir / "side_a.wav", run / "side_a.wav");
    ASSERT_TRUE(shell(command, run.path()).exited(0)) << command;
    auto want = tracks;
    want["side_a.wav"] = th::read_file(dir / "side_a.wav");
    if (command.find("flac -s") != std::string::npos)
      want["side_a.flac"] = th::read_file(run / "side_a.flac");
    EXPECT_EQ(th::differences(run.path(), want), "") << command;
  }
  // keldrun-cut at those labels and that CUE sheet, without its questions:
  // the times of the labels are to the millisecond, the CUE's to 588 frames.
  for (const auto& [recipe, plan, tracks] :
       {std::tuple{"recipe: cut-labels", "side_a_labels.txt",
                   std::vector<th::Track>{{1, 44056, 3175156, 0}, {2, 3263356, 3395656, 0}}},
        {"recipe: cut-cue", "side_a.cue",
         std::vector<th::Track>{{1, 43512, 3262812, 0}, {2, 3262812, 3483900, 0}}}}) {
    th::TempDir run;
    for (const std::string name : {"side_a.wav", plan})
      std::filesystem::copy(dir / name, run / name);
    std::string command = blocks(recipe).at(0);
    command.insert(command.find(' '), " /I");
    ASSERT_TRUE(shell(command, run.path()).exited(0)) << command;
    auto want = th::track_files(data, tracks, false, "SIDE_A");
    want[plan] = th::read_file(dir / plan);
    EXPECT_EQ(th::differences(run.path(), want), "") << command;
  }
  // keldrun-view's labels, with this side's lengths: each tone whole in the
  // track files, the labels' frames exactly.
  th::TempDir run;
  std::filesystem::copy(dir / "side_a.wav", run / "side_a.wav");
  std::string command = blocks("recipe: cut-view").at(0);
  command.replace(command.find("3:07"),
                  command.find(' ', command.find("3:07")) - command.find("3:07"), "1:10,0:05");
  command.insert(command.find("keldrun-cut") + 11, " /I");
  ASSERT_TRUE(shell(command, run.path()).exited(0)) << command;
  const std::string labels = th::read_file(run / "side_a.txt");
  const auto read = read_plan(labels, static_cast<int64_t>(data.size() / 4));
  ASSERT_TRUE(std::holds_alternative<plan>(read)) << labels;
  std::vector<th::Track> cut;
  for (const planned_track& t : std::get<plan>(read).tracks)
    cut.push_back({static_cast<int>(cut.size()) + 1, t.start, t.end, 0});
  ASSERT_EQ(cut.size(), 2u) << labels;
  EXPECT_TRUE(cut[0].start <= 44100 && cut[0].end >= 3131100 && cut[0].end <= cut[1].start &&
              cut[1].start <= 3263400 && cut[1].end >= 3483900)
      << labels;
  auto want = th::track_files(data, cut, false, "SIDE_A");
  want["side_a.txt"] = labels;
  want["side_a.html"] = th::read_file(run / "side_a.html");
  EXPECT_EQ(th::differences(run.path(), want), "") << command;
}

// keldrun's page and keldrun-cut's, which has no detector to set and never
// meets a 100th track (its plan is refused first).
TEST(ManPage, RendersWithoutWarningsAndNamesEveryMessage) {
  for (const std::string program : {"keldrun", "keldrun-cut"}) {
    SCOPED_TRACE(program);
    const bool cut = program == "keldrun-cut";
    std::string source = th::read_file(kRoot + "/doc/" + program + ".1");
    for (size_t at; (at = source.find("\\-")) != std::string::npos;) source.erase(at, 1);
    EXPECT_NE(source.find("\"keldrun " KELDRUN_VERSION "\""), std::string::npos);
    for (int code = 0; code < err_count; code++) {
      if (code == too_long || (cut && code == too_many_tracks)) continue;  // no run ends so
      EXPECT_NE(source.find(err_text[code] + 1), std::string::npos) << err_text[code] + 1;
    }
    for (const std::string option : {"/I", "/N", "/P", "--help", "--version"})
      EXPECT_NE(source.find("\n.B " + option + "\n"), std::string::npos) << option;
    for (const std::string option : {"/T", "/G", "/C", "/F"})
      EXPECT_EQ(source.find("\n.BI " + option + " \"") != std::string::npos, !cut) << option;
    const auto r = shell("groff -ww -man -Tutf8 '" + kRoot + "/doc/" + program + ".1'", kRoot);
    EXPECT_TRUE(r.exited(0) && r.err.empty()) << r.describe();
    EXPECT_NE(r.out.find(cut ? "KELDRUN-CUT(1)" : "KELDRUN(1)"), std::string::npos);
  }
}

}  // namespace
