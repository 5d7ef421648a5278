// End-to-end runs of the on-the-fly splitter: input that can't be
// repositioned (a pipe, a FIFO, /dev/stdin) must give the same track files
// as an in-place split of the same recording.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <string>
#include <thread>
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

// Writes `bytes` into a new FIFO once a reader opens it.
class FifoWriter {
 public:
  FifoWriter(const std::string& path, const std::string& bytes) : path_(path) {
    signal(SIGPIPE, SIG_IGN);  // a reader that stops early must not kill the tests
    if (mkfifo(path.c_str(), 0600) != 0) throw std::runtime_error("mkfifo");
    thread_ = std::thread([this, bytes] {
      const int fd = open(path_.c_str(), O_WRONLY);
      for (size_t at = 0; fd >= 0 && at < bytes.size();) {
        const ssize_t w = write(fd, bytes.data() + at, bytes.size() - at);
        if (w <= 0) break;
        at += static_cast<size_t>(w);
      }
      if (fd >= 0) close(fd);
    });
  }
  ~FifoWriter() {
    // Should the program never have opened the FIFO, open it here to let the writer go.
    const int fd = open(path_.c_str(), O_RDONLY | O_NONBLOCK);
    if (fd >= 0) close(fd);
    thread_.join();
  }

 private:
  std::string path_;
  std::thread thread_;
};

TEST(SplitOnTheFly, PipedGivesTheFilesOfAnInPlaceSplit) {
  const th::Rec three = three_tracks();
  th::Rec hole;  // the cut of 2205 frames swallows the middle track
  hole.silence(1000).tone(5000).silence(1000).tone(50).silence(1000).tone(5000).silence(3000);
  th::Rec at_once;  // sound from the first frame: track 1 starts at 0
  at_once.tone(3000).silence(1000).tone(2000).silence(1000);
  th::Rec loud_end;  // the data runs out in the middle of a track
  loud_end.silence(1000).tone(2000).silence(1000).tone(2000);
  const uint32_t size = static_cast<uint32_t>(three.data().size());
  struct Case {
    std::string name, wave;
    std::vector<std::string> settings;
    bool early_end;
  } cases[] = {
      {"three tracks", three.wave(), kSmall, false},
      {"empty middle track", hole.wave(), {"/G", "0.01", "/C", "0.05"}, false},
      {"sound from the first frame", at_once.wave(), kSmall, false},
      {"early end in silence", three.wave(2 * size), kSmall, true},
      {"early end in a frame", three.wave(2 * size) + "\x01\x02", kSmall, true},
      {"early end in sound", loud_end.wave(loud_end.data().size() + 4000), kSmall, true},
      {"declaring 4 GiB", three.wave(0xFFFFFFFF), kSmall, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto want = split_in_place(c.wave, c.settings);
    EXPECT_GE(want.size(), 2u);
    th::TempDir dir;
    const auto run = th::run_keldrun(th::join({"-", "OUT"}, c.settings), dir.path(), c.wave);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(count(run.err, kEarlyEnd), c.early_end ? 1u : 0u);
    EXPECT_TRUE(th::visible(run.err).ends_with(th::kSuccess)) << run.err;
    th::expect_files(dir.path(), want);
  }
}

TEST(SplitOnTheFly, SwitchesChangeNothingForPipedInput) {
  th::Rec r;  // a peak of 16384 that normalization would scale
  r.silence(1000).tone(500).frame(16384, -8192);
  r.tone(500).silence(1000);
  r.tone(800).silence(1000);
  const auto want = split_in_place(r.wave(), kSmall);
  for (const auto& switches : std::vector<std::vector<std::string>>{{"/N"}, {"/I", "/N", "/P"}}) {
    SCOPED_TRACE(testing::PrintToString(switches));
    th::TempDir dir;
    const auto run =
        th::run_keldrun(th::join(th::join(switches, {"-", "OUT"}), kSmall), dir.path(), r.wave());
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.err.find("(Y/N)"), std::string::npos);
    th::expect_files(dir.path(), want);
  }
}

TEST(SplitOnTheFly, NamedInputThatCannotSeekIsSplitAsItIsRead) {
  const std::string wave = three_tracks().wave();
  const auto want = split_in_place(wave, kSmall);
  // A FIFO, and /dev/stdin under a name without the leading "/" of a switch.
  for (const bool fifo : {true, false}) {
    SCOPED_TRACE(fifo ? "FIFO" : "/dev/stdin");
    th::TempDir dir;
    th::RunResult run;
    if (fifo) {
      FifoWriter writer(dir / "side.wav", wave);
      // Interactive: an in-place split would ask, and could not rewind.
      run = th::run_keldrun(th::join({"side.wav", "OUT"}, kSmall), dir.path());
    } else {
      ASSERT_EQ(symlink("/dev/stdin", (dir / "side.wav").c_str()), 0);
      run = th::run_keldrun(th::join({"side.wav", "OUT"}, kSmall), dir.path(), wave);
    }
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.err.find("(Y/N)"), std::string::npos);
    auto files = want;  // the link stays; a FIFO is no regular file
    if (!fifo) files["side.wav"] = "-> /dev/stdin";
    th::expect_files(dir.path(), files);
    EXPECT_TRUE(th::file_exists(dir / "side.wav"));
  }
}

TEST(SplitOnTheFly, ListingIsTheSameFromAFileAPipeAndAFifo) {
  const std::string wave = three_tracks().wave();
  th::TempDir dir;
  th::write_file(dir / "rec.wav", wave);
  const auto from_file = th::run_keldrun(th::join({"rec.wav", "-"}, kSmall), dir.path());
  ASSERT_EQ(from_file.status, 0) << from_file.err;
  EXPECT_EQ(count(from_file.out, "\n\r"), 3u);  // three rows after the banner
  const auto piped = th::run_keldrun(th::join({"-", "-"}, kSmall), dir.path(), wave);
  EXPECT_EQ(piped.status, 0) << piped.err;
  EXPECT_EQ(piped.out, from_file.out);
  th::RunResult fifo;
  {
    FifoWriter writer(dir / "side.wav", wave);
    fifo = th::run_keldrun(th::join({"side.wav", "-"}, kSmall), dir.path());
  }
  EXPECT_EQ(fifo.status, 0) << fifo.err;
  EXPECT_EQ(fifo.out, from_file.out);
  th::expect_files(dir.path(), {{"rec.wav", wave}});
  EXPECT_TRUE(th::file_exists(dir / "side.wav"));
}

}  // namespace
