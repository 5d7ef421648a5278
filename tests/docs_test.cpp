// The documentation against the program: the examples and recipes of
// README.md are taken from it at run time and run here, so the two can't
// drift apart; the manual page must render cleanly and name every message.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "helpers.h"
#include "keldrun.h"

namespace {

namespace fs = std::filesystem;

const std::string kRoot = fs::path(__FILE__).parent_path().parent_path().string();
const std::string kBinDir = fs::path(th::keldrun_path()).parent_path().string();

bool have(const std::string& tool) {
  return std::system(("command -v " + tool + " >/dev/null 2>&1").c_str()) == 0;
}

bool have_generator() {
  return fs::exists(kBinDir + "/keldrun-gen");
}

// The fenced blocks that follow the lines "<!-- marker -->" in README.md.
std::vector<std::string> readme_blocks(const std::string& marker) {
  const std::string text = th::read_file(kRoot + "/README.md");
  const std::string tag = "<!-- " + marker + " -->\n";
  std::vector<std::string> blocks;
  for (size_t at = text.find(tag); at != std::string::npos; at = text.find(tag, at + 1)) {
    const size_t fence = at + tag.size();
    EXPECT_EQ(text.compare(fence, 3, "```"), 0) << "no code block right after " << tag;
    const size_t body = text.find('\n', fence) + 1;
    const size_t end = text.find("```", body);
    blocks.push_back(text.substr(body, end - body));
  }
  return blocks;
}

std::string readme_block(const std::string& marker) {
  const auto blocks = readme_blocks(marker);
  EXPECT_EQ(blocks.size(), 1u) << "README blocks marked " << marker;
  return blocks.empty() ? "" : blocks[0];
}

// Runs a shell command in `dir` with the freshly built programs first on PATH.
th::RunResult shell(const std::string& command, const std::string& dir) {
  return th::run_program({"/bin/sh", "-c", "PATH='" + kBinDir + "':\"$PATH\"\n" + command}, dir);
}

// Runs a README block that makes a recording with the generator.
void generate(const std::string& marker, const std::string& dir) {
  std::string command = readme_block(marker);
  const std::string gen = "build/keldrun-gen ";
  ASSERT_EQ(command.compare(0, gen.size(), gen), 0) << command;
  command.erase(0, 6);  // the generator is on PATH here
  const auto r = shell(command, dir);
  ASSERT_EQ(r.status, 0) << command << r.err;
}

// The rows of a track table: lines that start with a track number and a tab.
std::vector<std::string> rows(const std::string& text) {
  std::vector<std::string> result;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line[0] == '\r') line.erase(0, 1);
    const size_t tab = line.find('\t');
    if (tab != 0 && tab != std::string::npos && line.find_first_not_of("0123456789") == tab)
      result.push_back(line);
  }
  return result;
}

TEST(Readme, SessionShowsTheTableKeldrunPrints) {
  if (!have_generator()) GTEST_SKIP() << "keldrun-gen was not built";
  th::TempDir dir;
  generate("recipe: gen-session", dir.path());
  const std::string session = readme_block("session");
  ASSERT_EQ(session.rfind("$ keldrun side_a.wav SIDE_A\n", 0), 0u) << session;
  const auto r = th::run_keldrun({"side_a.wav", "-"}, dir.path());
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(rows(session), rows(r.out));
  EXPECT_EQ(rows(session).size(), 5u);
  const size_t at = session.find("Estimated WAVE data length");
  ASSERT_NE(at, std::string::npos);
  EXPECT_NE(r.err.find(session.substr(at, session.find('\n', at) - at)), std::string::npos);
}

TEST(Readme, SettingsTablesAreWhatKeldrunPrints) {
  if (!have_generator()) GTEST_SKIP() << "keldrun-gen was not built";
  th::TempDir dir;
  generate("recipe: gen-worn", dir.path());
  generate("recipe: gen-cd", dir.path());
  const auto tables = readme_blocks("table");
  EXPECT_GE(tables.size(), 6u);
  for (const auto& table : tables) {
    const std::string prompt = "$ keldrun ";
    ASSERT_EQ(table.rfind(prompt, 0), 0u) << table;
    std::istringstream words(table.substr(prompt.size(), table.find('\n') - prompt.size()));
    std::vector<std::string> args;
    for (std::string w; words >> w;) args.push_back(w);
    const auto r = th::run_keldrun(args, dir.path());
    ASSERT_EQ(r.status, 0) << table << r.err;
    EXPECT_EQ(rows(table), rows(r.out)) << table;
    EXPECT_FALSE(rows(table).empty()) << table;
  }
}

// A side of two tracks: 1 s of silence, 70 s of sound, 3 s of silence, 5 s
// of sound. With the defaults, track 1 holds frames 44092 to 3175192 and
// track 2 frames 3263392 to 3395690 (ends 2 s and 10 frames before the end).
class Recipes : public testing::Test {
 protected:
  void SetUp() override {
    for (uint32_t k = 0; k < 75 * 44100; k++) {
      // Every frame differs, and every sample is loud enough for two frames
      // to make the window sound, as a steady level of 10000 would.
      if (k == 0) rec_.silence(44100);
      if (k == 70 * 44100) rec_.silence(3 * 44100);
      rec_.frame(static_cast<int16_t>(10000 + k % 1000),
                 static_cast<int16_t>(-10000 - k * 7 % 1000));
    }
    th::write_file(dir_ / "side_a.wav", rec_.wave());
  }

  std::string track(int64_t start, int64_t end) const {
    const uint32_t bytes = static_cast<uint32_t>(4 * (end - start));
    return th::canonical_header(bytes) + rec_.data().substr(static_cast<size_t>(4 * start), bytes);
  }

  void expect_tracks_exact() const {
    EXPECT_EQ(th::read_file(dir_ / "SIDE_A01.WAV"), track(44092, 3175192));
    EXPECT_EQ(th::read_file(dir_ / "SIDE_A02.WAV"), track(3263392, 3395690));
    EXPECT_FALSE(th::file_exists(dir_ / "SIDE_A03.WAV"));
  }

  th::Rec rec_;
  th::TempDir dir_;
};

TEST_F(Recipes, AwkTurnsTheTableIntoLabelsAndCueSheet) {
  for (const char* marker : {"recipe: table", "recipe: labels", "recipe: cue"}) {
    const auto r = shell(readme_block(marker), dir_.path());
    ASSERT_EQ(r.status, 0) << marker << r.err;
  }
  EXPECT_EQ(th::read_file(dir_ / "side_a_labels.txt"),
            "0.999\t71.999\tTrack 01\n73.999\t76.999\tTrack 02\n");
  EXPECT_EQ(th::read_file(dir_ / "side_a.cue"),
            "FILE \"side_a.wav\" WAVE\n"
            "  TRACK 01 AUDIO\n    INDEX 01 00:00:74\n"
            "  TRACK 02 AUDIO\n    INDEX 01 01:13:74\n");
  EXPECT_TRUE(th::file_exists(dir_ / "side_a.wav"));  // listing leaves it alone
}

TEST_F(Recipes, ArecordPipeShapeSplitsOnTheFly) {
  // No sound card here: the recording comes from a file instead.
  std::string command = readme_block("recipe: arecord");
  const std::string source = "arecord -f cd -t wav ";
  ASSERT_EQ(command.rfind(source, 0), 0u) << command;
  ASSERT_NE(command.find(" | keldrun - SIDE_A\n"), std::string::npos) << command;
  command.replace(0, command.find(" | "), "cat side_a.wav");
  const auto r = shell(command, dir_.path());
  ASSERT_EQ(r.status, 0) << r.err;
  expect_tracks_exact();
}

TEST_F(Recipes, FlacPipeSplitsTheLosslessData) {
  if (!have("flac")) GTEST_SKIP() << "flac is not installed";
  ASSERT_EQ(shell("flac -s -o side_a.flac side_a.wav", dir_.path()).status, 0);
  const auto r = shell(readme_block("recipe: flac"), dir_.path());
  ASSERT_EQ(r.status, 0) << r.err;
  expect_tracks_exact();
}

TEST_F(Recipes, SoxPipeConvertsOtherFormats) {
  if (!have("sox")) GTEST_SKIP() << "sox is not installed";
  // Mono, 24-bit, 48 kHz: everything about it needs converting.
  ASSERT_EQ(shell("sox side_a.wav -b 24 -r 48000 other.wav remix 1", dir_.path()).status, 0);
  std::string command = readme_block("recipe: sox");
  const size_t name = command.find("side_a.mp3");
  ASSERT_NE(name, std::string::npos) << command;
  command.replace(name, 10, "other.wav");
  const auto r = shell(command, dir_.path());
  ASSERT_EQ(r.status, 0) << r.err;
  // Resampling blurs the edges by a few frames; the tracks stay where they were.
  const int64_t lengths[] = {3175192 - 44092, 3395690 - 3263392};
  for (int t = 0; t < 2; t++) {
    const std::string file = th::read_file(dir_ / ("SIDE_A0" + std::to_string(t + 1) + ".WAV"));
    ASSERT_GE(file.size(), 44u);
    EXPECT_EQ(file.substr(0, 44), th::canonical_header(static_cast<uint32_t>(file.size() - 44)));
    EXPECT_NEAR(static_cast<double>(file.size() - 44) / 4, static_cast<double>(lengths[t]), 100);
  }
  EXPECT_FALSE(th::file_exists(dir_ / "SIDE_A03.WAV"));
}

TEST(CommandLine, HelpAndVersionAnswerOnlyWhenAlone) {
  th::TempDir dir;
  const auto help = th::run_keldrun({"--help"}, dir.path());
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.err, "");
  EXPECT_EQ(help.out.rfind("\rVeldmoor KELDRUN - Disk space saving WAVE file splitter\n", 0), 0u);
  EXPECT_NE(help.out.find("\nKELDRUN [/I][/N][/P][/T thr][/G gap][/C cut][/F filt] infile "
                          "[outbase]\n"),
            std::string::npos);
  EXPECT_TRUE(
      help.out.ends_with("\nSwitches /I, /N, and /P have no effect with piped input or "
                         "when output file\ngeneration is disabled.\n"));

  const auto version = th::run_keldrun({"--version"}, dir.path());
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out, "keldrun 1.0.0\n");
  EXPECT_EQ(version.err, "");

  // Among other arguments it is an input file name like any other.
  const auto named = th::run_keldrun({"--version", "-"}, dir.path());
  EXPECT_EQ(named.status, 1);
  EXPECT_NE(named.err.find("Input:\t--version\n"), std::string::npos);
  EXPECT_TRUE(named.err.ends_with("\nFile not found.\n\a"));
}

TEST(ManPage, RendersWithoutWarningsAndNamesEveryMessage) {
  const std::string page = kRoot + "/doc/keldrun.1";
  std::string source = th::read_file(page);
  ASSERT_FALSE(source.empty());
  EXPECT_NE(source.find("\"keldrun " KELDRUN_VERSION "\""), std::string::npos);
  for (size_t at; (at = source.find("\\-")) != std::string::npos;) source.erase(at, 1);
  for (int code = 0; code < err_count; code++) {
    if (code == too_long) continue;  // no run can end with it
    EXPECT_NE(source.find(err_text[code] + 1), std::string::npos) << err_text[code] + 1;
  }
  for (const std::string option : {"/I", "/N", "/P", "--help", "--version"})
    EXPECT_NE(source.find("\n.B " + option + "\n"), std::string::npos) << option;
  for (const std::string option : {"/T", "/G", "/C", "/F"})
    EXPECT_NE(source.find("\n.BI " + option + " \""), std::string::npos) << option;

  if (!have("groff")) GTEST_SKIP() << "groff is not installed";
  const auto r = th::run_program({"/bin/sh", "-c", "groff -ww -man -Tutf8 '" + page + "'"}, kRoot);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_NE(r.out.find("KELDRUN(1)"), std::string::npos);
}

}  // namespace
