#include "control.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "helpers.h"
#include "keldrun.h"

namespace {

const char kBanner[] = "\rVeldmoor KELDRUN - Disk space saving WAVE file splitter\n";

const std::vector<std::string> kUsageLines = {
    "KELDRUN [/I][/N][/P][/T thr][/G gap][/C cut][/F filt] infile [outbase]",
    "",
    "/I\tRuns without questions (non-interactive)",
    "/N\tNormalizes the volume of the tracks when used with /I",
    "/P\tPreserves original WAVE file (requires more disk space)",
    "/T thr\tSets the threshold of the track gap detection (normalized, 0...1),",
    "\tdefault 0.05",
    "/G gap\tSets the minimum length of the track gap (seconds), default 2.0",
    "/C cut\tDetermines the amount of the track end to discard (seconds),",
    "\tsame as /G by default",
    "/F filt\tSets the length of the filter for crack removal (samples, 0...1000),",
    "\tdefault 10",
    "infile\tThe original WAVE file (16-bit stereo 44100 Hz PCM),",
    "\tuse \"-\" for piped <stdin> input.",
    "outbase\tThe base name of the track file to generate, default \"TRACK\",",
    "\tuse \"-\" to disable output file generation (list tracks only)",
    "",
    "You need free disk space only for the largest individual track contained in the",
    "original WAVE file if the track files are generated on the same disk as the",
    "original and the /P switch is not specified.",
    "",
    "When using piped input, the file is split \"on-the-fly\" and normalization",
    "is not possible.",
    "",
    "Switches /I, /N, and /P have no effect with piped input or when output file",
    "generation is disabled.",
};

// What stdout holds after the banner: the banner ends with an empty line.
std::string after_banner(const std::string& out) {
  const size_t end = out.find("\n\n");
  return end == std::string::npos ? out : out.substr(end + 2);
}

std::string settings_echo(const char* thr, const char* gap, const char* cut, const char* filt) {
  return std::string("Using detection threshold: ") + thr + " (normalized)\n" +
         "Using minimum gap duration: " + gap + " seconds\n" + "Discarding track end: " + cut +
         " seconds\n" + "Glitch removal filter: " + filt + " samples\n";
}

class ReadParameter : public testing::Test {
 protected:
  void SetUp() override {
    interactive = true;
    normalize = preserve = false;
    filter = 10;
    threshold = 1638;
    gap = 88200;
    cut = -1;
    std::memset(infile, 0, sizeof infile);
    std::memset(outfile, 0, sizeof outfile);
  }
  static void parse(std::vector<std::string> args) {
    args.insert(args.begin(), "keldrun");
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    read_parameter(static_cast<int>(args.size()), argv.data());
  }
};

TEST_F(ReadParameter, ValueConversions) {
  struct Case {
    std::vector<std::string> args;
    uint32_t threshold = 1638, gap = 88200;
    int32_t cut = -1, filter = 10;
  };
  const Case cases[] = {
      {.args = {"/t", "0.1"}, .threshold = 3276},
      {.args = {"/T", "2.0"}, .threshold = 65534},
      {.args = {"/T", "0.00001"}, .threshold = 0},
      {.args = {"/T", "-0.5"}, .threshold = 4294950913u},
      {.args = {"/T", "/I"}, .threshold = 0},  // the value, not a switch
      {.args = {"/G", "2.5"}, .gap = 110250},
      {.args = {"/g", "3s"}, .gap = 132300},
      {.args = {"/G", "-1"}, .gap = 4294923196u},
      {.args = {"/G", "0.00001"}, .gap = 0},
      {.args = {"/C", "-3"}, .cut = -132300},
      {.args = {"/F", "10.9"}, .filter = 10},
      {.args = {"/F", "-0.5"}, .filter = 0},
      {.args = {"/F", "x"}, .filter = 0},
      {.args = {"/F", "5", "/f", "7"}, .filter = 7},
  };
  for (const Case& c : cases) {
    SetUp();
    SCOPED_TRACE(c.args[0] + " " + c.args[1]);
    parse(c.args);
    EXPECT_EQ(threshold, c.threshold);
    EXPECT_EQ(gap, c.gap);
    EXPECT_EQ(cut, c.cut);
    EXPECT_EQ(filter, c.filter);
    EXPECT_TRUE(interactive);
  }
}

TEST_F(ReadParameter, FlagsAndPositionalsInAnyOrder) {
  parse({"in.wav", "/P", "out"});
  EXPECT_STREQ(infile, "in.wav");
  EXPECT_STREQ(outfile, "out");
  EXPECT_TRUE(preserve && interactive && !normalize);

  SetUp();
  parse({"", "a", "b", "/n", "/i"});  // an empty argument leaves its slot free
  EXPECT_STREQ(infile, "a");
  EXPECT_STREQ(outfile, "b");
  EXPECT_TRUE(normalize && !interactive && !preserve);

  SetUp();  // absolute paths are names, not switches
  parse({"/no/such/dir/side.wav", "/tmp", "/I"});
  EXPECT_STREQ(infile, "/no/such/dir/side.wav");
  EXPECT_STREQ(outfile, "/tmp");
  EXPECT_FALSE(interactive);
}

// Every refusal prints the banner and the usage text on stdout and only the
// message on stderr; an accepted command line gets as far as opening the
// (missing) input.
TEST(CommandLineDeathTest, EdgeValuesOfEverySetting) {
  struct Case {
    std::vector<std::string> args;
    bool accepted;
  };
  const Case cases[] = {
      {{}, false},
      {{"in.wav", "/TT", "1"}, false},
      {{"in.wav", "/X", "1"}, false},
      {{"in.wav", "/"}, false},
      {{"in.wav", "/T0.1"}, false},
      {{"in.wav", "/G"}, false},
      {{"in.wav", "out", "third"}, false},
      {{"in.wav", "/T", "/I"}, false},
      {{"in.wav", "/T", "2.0"}, false},
      {{"in.wav", "/T", "1.99998"}, true},  // 65533
      {{"in.wav", "/T", "0.00001"}, false},
      {{"in.wav", "/T", "-0.5"}, false},
      {{"in.wav", "/F", "1001"}, false},
      {{"in.wav", "/F", "-1"}, false},
      {{"in.wav", "/F", "1000"}, true},
      {{"in.wav", "/F", "10.9"}, true},
      {{"in.wav", "/F", "-0.5"}, true},
      {{"in.wav", "/G", "0.00001"}, false},
      {{"in.wav", "/G", "3s"}, true},
      {{"in.wav", "/G", "-1"}, false},  // cut takes the wrapped gap: negative
      {{"in.wav", "/G", "-1", "/C", "0"}, true},
      {{"in.wav", "/C", "-3"}, true},
      {{"/I", "/N", "/P", "/F", "0"}, false},  // no input named
  };
  th::TempDir dir;
  std::string usage_text;
  for (const auto& line : kUsageLines) usage_text += line + "\n";
  for (const Case& c : cases) {
    std::string shown;
    for (const auto& a : c.args) shown += a + " ";
    SCOPED_TRACE(shown);
    const auto r = th::run_keldrun(c.args, dir.path());
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out.rfind(kBanner, 0), 0u);
    if (c.accepted) {
      EXPECT_EQ(after_banner(r.out), "");
      EXPECT_TRUE(r.err.ends_with("\nFile not found.\n\a")) << r.err;
    } else {
      EXPECT_EQ(after_banner(r.out), usage_text);
      EXPECT_EQ(r.err, "\nInvalid arguments.\n\a");
    }
  }
  EXPECT_EQ(kUsageLines.size(), 26u);
}

TEST(CommandLine, EchoesSettingsWithSinglePrecisionFactors) {
  struct Case {
    std::vector<std::string> args;
    std::string err;
  };
  const std::string echo = settings_echo("0.050", "2.000", "2.000", "10");
  const std::string missing = "\nFile not found.\n\a";
  const Case cases[] = {
      {{"in.wav"}, "Input:\tin.wav\nOutput:\tTRACKxx.WAV\n" + echo + missing},
      {{"in.wav", "SIDE_A", "/G", "-1", "/C", "0"},
       "Input:\tin.wav\nOutput:\tSIDE_Axx.WAV\n" +
           settings_echo("0.050", "97390.547", "0.000", "10") + missing},
      {{"/t", "0.1", "/F", "-0.5", "/C", "-3", "/G", "3s", "in.wav", "-"},
       "Input:\tin.wav\nOutput file generation disabled (listing tracks only).\n" +
           settings_echo("0.100", "3.000", "3.000", "0") + missing},
      {{"/T", "1.99998", "/F", "1000", "in.wav"},
       "Input:\tin.wav\nOutput:\tTRACKxx.WAV\n" + settings_echo("2.000", "2.000", "2.000", "1000") +
           missing},
      {{std::string(300, 'i'), std::string(300, 'o')},
       "Input:\t" + std::string(259, 'i') + "\nOutput:\t" + std::string(253, 'o') + "xx.WAV\n" +
           echo + missing},
      {{"-", "-"},
       "Input:\t<stdin>\t(Splitting piped data \"on-the-fly\")\n"
       "Output file generation disabled (listing tracks only).\n" +
           echo + "\nInvalid WAVE format. Must be 16-bit stereo 44100 Hz PCM.\n\a"},
  };
  th::TempDir dir;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args[0]);
    const auto r = th::run_keldrun(c.args, dir.path());
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(after_banner(r.out), "");
  }
}

// A listing run: banner and table rows on stdout, everything else on stderr.
TEST(CommandLine, ListingRunTexts) {
  th::TempDir dir;
  th::Rec rec;
  rec.silence(1000).level(5000, 100000);
  th::write_file(dir / "x.wav", rec.wave());
  const auto r = th::run_keldrun({"x.wav", "-"}, dir.path());
  EXPECT_EQ(r.status, 0);
  const std::string banner_end = std::string("Version ") + KELDRUN_VERSION;
  EXPECT_EQ(r.out.rfind(kBanner, 0), 0u);
  EXPECT_NE(r.out.find(banner_end), std::string::npos);
  EXPECT_EQ(after_banner(r.out), "\r1\t00:00.022\t00:00.290\t00:00.267\t0.153\n");
  EXPECT_EQ(th::visible(r.err),
            "Input:\tx.wav\nOutput file generation disabled (listing tracks only).\n" +
                settings_echo("0.050", "2.000", "2.000", "10") +
                "\nEstimated WAVE data length 101000 samples, 00:02.290\n"
                "Detecting track gaps...\n"
                "Track\tStart\t\tEnd\t\tLength\t\tPeak level\n"
                "WAVE data successfully splitted. \n\a");
  EXPECT_EQ(th::read_file(dir / "x.wav"), rec.wave());
}

}  // namespace
