// End-to-end runs of the on-the-fly splitter: input that can't be
// repositioned (a pipe, a FIFO, /dev/stdin) must give the same track files
// as an in-place split of the same recording.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <string>
#include <vector>

#include "helpers.h"

namespace {

const std::vector<std::string> kSmall = {"/G", "0.01", "/C", "0.005"};  // 441 and 220 frames
const std::string kEarlyEnd = "\nUnexpected end of WAVE data.\n";

th::Rec three_tracks() {
  th::Rec r;
  r.silence(1000).tone(2000).silence(1000);
  r.tone(2000).silence(1000);
  r.tone(2000).silence(1000);
  return r;
}

size_t count(const std::string& s, const std::string& part) {
  size_t n = 0;
  for (size_t at = s.find(part); at != std::string::npos; at = s.find(part, at + 1)) n++;
  return n;
}

// The track files of an in-place split of `wave`, without normalization.
std::map<std::string, std::string> split_in_place(const std::string& wave,
                                                  const std::vector<std::string>& settings) {
  th::TempDir dir;
  th::write_file(dir / "rec.wav", wave);
  const auto run = th::run_keldrun(th::join({"/I", "rec.wav", "OUT"}, settings), dir.path());
  EXPECT_EQ(run.status, 0) << run.err;
  return th::files_in(dir.path());
}

// Runs keldrun in `dir` with `args` after the name of its input, which
// delivers `wave` through `via`: a "pipe" ("-"), or a "FIFO" or "/dev/stdin"
// named side.wav.
th::RunResult run_via(const std::string& via, const std::string& wave,
                      const std::vector<std::string>& args, const th::TempDir& dir) {
  const auto argv = th::join({th::keldrun_path(), via == "pipe" ? "-" : "side.wav"}, args);
  if (via == "/dev/stdin") {
    EXPECT_EQ(symlink("/dev/stdin", (dir / "side.wav").c_str()), 0);
  }
  if (via != "FIFO") return th::run_program(argv, dir.path(), {.input = wave});
  // Filled as a shell's process substitution would fill it.
  th::TempDir source;
  th::write_file(source / "in.wav", wave);
  EXPECT_EQ(mkfifo((dir / "side.wav").c_str(), 0600), 0);
  return th::run_program(
      th::join({"/bin/sh", "-c", "cat \"$0\" > side.wav & exec \"$@\"", source / "in.wav"}, argv),
      dir.path());
}

// Also for a named input that cannot seek: it is split as it is read, and
// never asked about (an in-place split would ask, and could not rewind).
TEST(SplitOnTheFly, PipedGivesTheFilesOfAnInPlaceSplit) {
  const th::Rec three = three_tracks();
  th::Rec hole;  // the cut of 2205 frames swallows the middle track
  hole.silence(1000).tone(5000).silence(1000).tone(50).silence(1000).tone(5000).silence(3000);
  th::Rec at_once;  // sound from the first frame: track 1 starts at 0
  at_once.tone(3000).silence(1000).tone(2000).silence(1000);
  th::Rec loud_end;  // the data runs out in the middle of a track
  loud_end.silence(1000).tone(2000).silence(1000).tone(2000);
  th::Rec peak;  // a peak of 16384 that normalization would scale
  peak.silence(1000).tone(500).frame(16384, -8192).tone(500).silence(1000).tone(800).silence(1000);
  const uint32_t size = static_cast<uint32_t>(three.data().size());
  struct Case {
    std::string name, wave;
    std::vector<std::string> settings;
    bool early_end;
    std::string via = "pipe";
    std::vector<std::string> switches = {};  // which change nothing here
  } cases[] = {
      {"three tracks", three.wave(), kSmall, false},
      {"empty middle track", hole.wave(), {"/G", "0.01", "/C", "0.05"}, false},
      {"sound from the first frame", at_once.wave(), kSmall, false},
      {"early end in silence", three.wave(2 * size), kSmall, true},
      {"early end in a frame", three.wave(2 * size) + "\x01\x02", kSmall, true},
      {"early end in sound", loud_end.wave(loud_end.data().size() + 4000), kSmall, true},
      {"declaring 4 GiB", three.wave(0xFFFFFFFF), kSmall, true},
      {"/N", peak.wave(), kSmall, false, "pipe", {"/N"}},
      {"/I /N /P", peak.wave(), kSmall, false, "pipe", {"/I", "/N", "/P"}},
      {"FIFO", three.wave(), kSmall, false, "FIFO"},
      {"/dev/stdin, named without the leading / of a switch", three.wave(), kSmall, false,
       "/dev/stdin"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto want = split_in_place(c.wave, c.settings);
    EXPECT_GE(want.size(), 2u);
    th::TempDir dir;
    const auto run =
        run_via(c.via, c.wave, th::join(th::join(c.switches, {"OUT"}), c.settings), dir);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(count(run.err, kEarlyEnd), c.early_end ? 1u : 0u);
    EXPECT_TRUE(th::visible(run.err).ends_with(th::kSuccess)) << run.err;
    EXPECT_EQ(run.err.find("(Y/N)"), std::string::npos);
    if (c.via == "/dev/stdin") want["side.wav"] = "-> /dev/stdin";  // a FIFO is no regular file
    th::expect_files(dir.path(), want);
    EXPECT_TRUE(c.via == "pipe" || th::file_exists(dir / "side.wav"));
  }
}

TEST(SplitOnTheFly, ListingIsTheSameFromAFileAPipeAndAFifo) {
  const std::string wave = three_tracks().wave();
  th::TempDir dir;
  th::write_file(dir / "rec.wav", wave);
  const auto from_file = th::run_keldrun(th::join({"rec.wav", "-"}, kSmall), dir.path());
  ASSERT_EQ(from_file.status, 0) << from_file.err;
  EXPECT_EQ(count(from_file.out, "\n\r"), 3u);  // three rows after the banner
  for (const std::string via : {"pipe", "FIFO"}) {
    const auto run = run_via(via, wave, th::join({"-"}, kSmall), dir);
    EXPECT_EQ(run.status, 0) << via << run.err;
    EXPECT_EQ(run.out, from_file.out) << via;
  }
  th::expect_files(dir.path(), {{"rec.wav", wave}});
  EXPECT_TRUE(th::file_exists(dir / "side.wav"));
}

}  // namespace
