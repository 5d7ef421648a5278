// End-to-end runs of the in-place splitter: the bytes of every track file,
// the messages, the questions, the fate of the source, and what survives an
// interrupted run.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "helpers.h"
#include "reliability.h"

namespace {

namespace fs = std::filesystem;
using th::join;

constexpr int64_t kFilter = 10;
// Short gaps keep the recordings tiny: /G 0.01 is 441 frames, /C 0.005 is 220.
const std::vector<std::string> kSmall = {"/G", "0.01", "/C", "0.005"};
constexpr int64_t kGap = 441, kCut = 220;

struct Span {
  int64_t start, end;
};

// Blocks of loud material in digital silence.
struct Recording {
  th::Rec rec;
  std::vector<Span> blocks;

  Recording& quiet(uint32_t n) {
    rec.silence(n);
    return *this;
  }
  Recording& sound(uint32_t n) {
    if (blocks.empty() || blocks.back().end != rec.frames()) blocks.push_back({rec.frames(), 0});
    rec.tone(n);
    blocks.back().end = rec.frames();
    return *this;
  }
  // One more frame of the current block.
  Recording& frame(int16_t l, int16_t r) {
    rec.frame(l, r);
    blocks.back().end++;
    return *this;
  }
  // The tracks the detector must find (default threshold and filter). A
  // block [a, b) keeps the window sound from the step that reads a + 1 to the
  // one that reads b - 2 + filter, so b - a' + 2 - filter silent steps lie
  // between it and the next block a'; if that is `gap` or more, the scan
  // stops after the step that reads a' + 1. `frames` are those present.
  std::vector<Span> tracks(int64_t gap, int64_t cut, int64_t frames = -1) const {
    const int64_t n = frames < 0 ? rec.frames() : frames;
    std::vector<Span> t;
    int64_t s = blocks[0].start + 2;  // where the probe stops
    for (size_t i = 1; i < blocks.size() && blocks[i].start + 1 < n; i++) {
      if (blocks[i].start - blocks[i - 1].end + 2 - kFilter < gap) continue;
      const int64_t c = blocks[i].start + 2;
      t.push_back({std::max<int64_t>(0, s - kFilter), c - cut - kFilter});
      s = c;
    }
    t.push_back({std::max<int64_t>(0, s - kFilter), n - cut - kFilter});
    return t;
  }
};

int16_t sample_at(const std::string& d, size_t i) {
  return static_cast<int16_t>(static_cast<unsigned char>(d[i]) |
                              static_cast<unsigned char>(d[i + 1]) << 8);
}

// A track file: the header, then the frames of `t`, each sample scaled to
// full scale by the track's own peak when normalizing (a peak of 0 scales
// nothing).
std::string track_file(const std::string& data, Span t, bool normalized = false) {
  std::string d = data.substr(4 * t.start, 4 * (t.end - t.start));
  int peak = 0;
  for (size_t i = 0; i < d.size(); i += 2) peak = std::max(peak, std::abs(sample_at(d, i)));
  for (size_t i = 0; normalized && peak > 0 && i < d.size(); i += 2) {
    const auto y = static_cast<uint16_t>(std::trunc(sample_at(d, i) * 32767.0 / peak));
    d[i] = static_cast<char>(y);
    d[i + 1] = static_cast<char>(y >> 8);
  }
  return th::canonical_header(static_cast<uint32_t>(d.size())) + d;
}

// The files that splitting `data` into `tracks` leaves: none for an empty one.
std::map<std::string, std::string> split_files(const std::string& data,
                                               const std::vector<Span>& tracks,
                                               bool normalized = false) {
  std::map<std::string, std::string> files;
  for (size_t i = 0; i < tracks.size(); i++)
    if (tracks[i].end > tracks[i].start)
      files[th::track_name(i + 1)] = track_file(data, tracks[i], normalized);
  return files;
}

// Three tracks, 2000 frames of sound each.
Recording three_tracks() {
  Recording r;
  r.quiet(1000).sound(2000).quiet(1000).sound(2000).quiet(1000).sound(2000).quiet(1000);
  return r;
}

TEST(SplitInPlace, ThreeTracksBackToFront) {
  const Recording r = three_tracks();
  Recording hole;  // the middle block so short that the cut (2205 frames) swallows its track
  hole.quiet(1000).sound(5000).quiet(1000).sound(50).quiet(1000).sound(5000).quiet(3000);
  const std::string w3 = "Writing new WAVE file of track 3...\n",
                    w2 = "Writing new WAVE file of track 2...\n",
                    w1 = "Writing new WAVE file of track 1...\n",
                    del = "Deleting the track from the WAVE file...\n";
  struct Case {
    std::string name;
    const Recording& rec;
    std::string wave;
    std::vector<std::string> args;
    int64_t cut;
    std::string messages;
  } cases[] = {
      {"no /P", r, r.rec.wave(), kSmall, kCut, w3 + del + w2 + del + w1},
      {"/P", r, r.rec.wave(), join({"/P"}, kSmall), kCut, w3 + w2 + w1},
      // A header that declares more: the data ends where the tracks did.
      {"early end", r, r.rec.wave(8 * r.rec.frames()), kSmall, kCut, w3 + del + w2 + del + w1},
      // Track 2 is empty: a hole in the numbering.
      {"empty track", hole, hole.rec.wave(), {"/G", "0.01", "/C", "0.05"}, 2205, w3 + del + w1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto tracks = c.rec.tracks(kGap, c.cut);
    ASSERT_EQ(tracks.size(), 3u);
    th::TempDir dir;
    th::write_file(dir / "rec.wav", c.wave);
    const auto run = th::run_keldrun(join({"/I", "rec.wav"}, c.args), dir.path());
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(th::visible(run.err).ends_with(c.messages + th::kSuccess)) << run.err;
    EXPECT_EQ(run.err.find("(Y/N)"), std::string::npos);
    EXPECT_EQ(run.err.find("\nUnexpected end of WAVE data.\n") != std::string::npos,
              c.name == "early end");
    auto files = split_files(c.rec.rec.data(), tracks);
    if (c.args[0] == "/P") files["rec.wav"] = c.wave;
    th::expect_files(dir.path(), files);
  }
}

// Reads sample `k` (0 = left of frame 0) of a track file's data.
int16_t track_sample(const std::string& file, size_t k) {
  return sample_at(file, 44 + 2 * k);
}

TEST(SplitInPlace, NormalizesEachTrackByItsOwnPeak) {
  // Track 1 peaks at 16384, track 2 at 32768 (a sample of -32768).
  Recording r;
  r.quiet(1000).sound(500).frame(-8192, 8192).frame(16384, 16384).sound(500).quiet(1000);
  r.sound(500).frame(-32768, 32767).sound(500).quiet(1000);
  const auto tracks = r.tracks(kGap, kCut);
  ASSERT_EQ(tracks.size(), 2u);
  ASSERT_EQ(r.blocks.size(), 2u);
  th::TempDir dir;
  th::write_file(dir / "rec.wav", r.rec.wave());
  const auto run = th::run_keldrun(join({"/I", "/N", "rec.wav"}, kSmall), dir.path());
  EXPECT_EQ(run.status, 0) << run.err;
  th::expect_files(dir.path(), split_files(r.rec.data(), tracks, true));

  // The same values worked out by hand: x * 32767 / peak, toward zero.
  const std::string t1 = th::read_file(dir / "TRACK01.WAV"),
                    t2 = th::read_file(dir / "TRACK02.WAV");
  const size_t k1 = 2 * static_cast<size_t>(r.blocks[0].start + 500 - tracks[0].start);
  const size_t k2 = 2 * static_cast<size_t>(r.blocks[1].start + 500 - tracks[1].start);
  ASSERT_GT(t1.size(), 44 + 2 * k1 + 8);
  ASSERT_GT(t2.size(), 44 + 2 * k2 + 4);
  EXPECT_EQ(track_sample(t1, k1), -16383);
  EXPECT_EQ(track_sample(t1, k1 + 1), 16383);
  EXPECT_EQ(track_sample(t1, k1 + 2), 32767);
  EXPECT_EQ(track_sample(t2, k2), -32767);
  EXPECT_EQ(track_sample(t2, k2 + 1), 32766);
}

TEST(SplitInPlace, TrackWithPeakZeroIsWrittenUnchanged) {
  // Filter 0, gap and cut 44 frames: sound at frames 0-99 and at frame 200
  // alone. Track 1 is frames 1-156; track 2 starts after the single loud
  // frame, so its scan passes on only silence: frames 201-255, peak 0.
  th::Rec rec;
  rec.level(10000, 100).silence(100).level(10000, 1).silence(99);
  th::TempDir dir;
  th::write_file(dir / "rec.wav", rec.wave());
  const auto run =
      th::run_keldrun({"/I", "/N", "rec.wav", "/F", "0", "/G", "0.001", "/C", "0.001"}, dir.path());
  EXPECT_EQ(run.status, 0) << run.err;
  th::expect_files(dir.path(), {{"TRACK01.WAV", track_file(rec.data(), {1, 157}, true)},
                                {"TRACK02.WAV", track_file(rec.data(), {201, 256})}});
}

TEST(SplitInPlace, AnswersOnStandardInput) {
  Recording r;
  r.quiet(1000).sound(500).frame(16384, -8192).sound(500).quiet(1000).sound(800).quiet(1000);
  const auto tracks = r.tracks(kGap, kCut);
  const auto plain = split_files(r.rec.data(), tracks);
  const auto scaled = split_files(r.rec.data(), tracks, true);
  ASSERT_NE(plain, scaled);
  const std::string split_q = "\n\aSplit the file as shown above? (Y/N) ";
  const std::string norm_q = "Normalize the track volume? (Y/N) ";
  const std::string cancelled = "\nCancelled by user.\n\a";
  struct Case {
    std::string name, input;
    std::vector<std::pair<std::string, std::string>> answers;
    std::vector<std::string> extra;
    const std::map<std::string, std::string>* files;  // null: cancelled
  } cases[] = {
      {"y", "y", {}, {}, &plain},
      {"Y", "Y\n", {}, {}, &plain},
      {"others skipped", "x\n\ny", {}, {}, &plain},
      // Typed ahead, the Y was read with the y and is dropped at the second question.
      {"type-ahead dropped", "yY\n", {}, {}, &plain},
      {"n", "n\n", {}, {}, nullptr},
      {"N after others", " \nN", {}, {}, nullptr},
      {"end of input", "", {}, {}, nullptr},
      {"second answer Y", "", {{"(Y/N) ", "y\n"}, {norm_q, "Y\n"}}, {}, &scaled},
      {"second answer n beats /N", "", {{"(Y/N) ", "Y\n"}, {norm_q, "n\n"}}, {"/N"}, &plain},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    th::TempDir dir;
    th::write_file(dir / "rec.wav", r.rec.wave());
    const auto run =
        th::run_keldrun(join(join({"rec.wav"}, kSmall), c.extra), dir.path(), c.input, c.answers);
    EXPECT_NE(run.err.find(split_q), std::string::npos);
    if (c.files) {
      EXPECT_EQ(run.status, 0) << run.err;
      EXPECT_NE(run.err.find(split_q + norm_q), std::string::npos);
      th::expect_files(dir.path(), *c.files);
    } else {
      EXPECT_EQ(run.status, 1);
      EXPECT_TRUE(run.err.ends_with(split_q + cancelled)) << run.err;
      th::expect_files(dir.path(), {{"rec.wav", r.rec.wave()}});
    }
  }
  // Standard input that is /dev/null, or closed, gives no answer: a no,
  // never a wait.
  for (const std::string redirect : {"</dev/null", "<&-"}) {
    SCOPED_TRACE(redirect);
    th::TempDir dir;
    th::write_file(dir / "rec.wav", r.rec.wave());
    const auto run = th::run_program(
        {"/bin/sh", "-c", "exec \"$0\" rec.wav /G 0.01 /C 0.005 " + redirect, th::keldrun_path()},
        dir.path());
    EXPECT_EQ(run.status, 1);
    EXPECT_TRUE(run.err.ends_with(cancelled)) << run.err;
    th::expect_files(dir.path(), {{"rec.wav", r.rec.wave()}});
  }
}

// `n` tracks of 20 loud frames, 60 silent frames apart: 52 silent steps.
Recording many_tracks(int n) {
  Recording r;
  r.quiet(20);
  for (int i = 0; i < n; i++) r.sound(20).quiet(60);
  return r;
}

TEST(SplitInPlace, NinetyNineTracksButNotAHundred) {
  const std::vector<std::string> tiny = {"/G", "0.001", "/C", "0"};  // gap 44, cut 0
  const Recording r99 = many_tracks(99), r100 = many_tracks(100);
  const auto t99 = r99.tracks(44, 0), t100 = r100.tracks(44, 0);
  ASSERT_EQ(t99.size(), 99u);
  ASSERT_EQ(t100.size(), 100u);
  const struct {
    const Recording& r;
    bool piped;
    std::map<std::string, std::string> files;
  } cases[] = {
      {r99, false, split_files(r99.rec.data(), t99)},
      // In place, the descent finds the 100th track before anything is written.
      {r100, false, {{"rec.wav", r100.rec.wave()}}},
      // Piped, tracks 1 to 99 are complete by then.
      {r100, true, split_files(r100.rec.data(), {t100.begin(), t100.end() - 1})},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.piped ? "piped" : "in place");
    th::TempDir dir;
    if (!c.piped) th::write_file(dir / "rec.wav", c.r.rec.wave());
    const auto run = th::run_keldrun(
        join(c.piped ? std::vector<std::string>{"-"} : std::vector<std::string>{"/I", "rec.wav"},
             tiny),
        dir.path(), c.piped ? c.r.rec.wave() : "");
    EXPECT_EQ(run.status, &c.r == &r99 ? 0 : 1) << run.err;
    EXPECT_EQ(run.err.ends_with("\nToo many tracks.\n\a"), &c.r == &r100) << run.err;
    th::expect_files(dir.path(), c.files);
  }
}

TEST(SplitInPlace, NoTrackFileMeansTheSourceIsKept) {
  // The only sound lies within the last 441 frames: the one track is empty.
  Recording r;
  r.quiet(5000).sound(100).quiet(300);
  const auto tracks = r.tracks(kGap, 441);
  ASSERT_EQ(tracks.size(), 1u);
  ASSERT_LE(tracks[0].end, tracks[0].start);
  for (const auto& mode : std::vector<std::vector<std::string>>{
           {"/I", "rec.wav"}, {"/I", "/P", "rec.wav"}, {"rec.wav"}, {"-"}}) {
    SCOPED_TRACE(testing::PrintToString(mode));
    th::TempDir dir;
    th::write_file(dir / "rec.wav", r.rec.wave());
    // Interactive: the questions come after an empty table, and "y" says split.
    const auto run = th::run_keldrun(join(mode, {"/G", "0.01", "/C", "0.01"}), dir.path(),
                                     mode.back() == "-" ? r.rec.wave()
                                     : mode.size() == 1 ? "y\n"
                                                        : "");
    EXPECT_EQ(run.status, 1);
    EXPECT_TRUE(run.err.ends_with("\nNo tracks detected in the WAVE file.\n\a")) << run.err;
    th::expect_files(dir.path(), {{"rec.wav", r.rec.wave()}});
  }
}

TEST(SplitInPlace, RefusesAnInputThatATrackFileWouldOverwrite) {
  const Recording r = three_tracks();
  struct Case {
    std::string name;
    void (*setup)(const th::TempDir&);
    std::vector<std::string> args;
  } cases[] = {
      {"named like a track", [](const th::TempDir&) {}, {"TRACK02.WAV"}},
      {"other spelling", [](const th::TempDir&) {}, {"./TRACK02.WAV"}},
      {"base spelled otherwise", [](const th::TempDir&) {}, {"TRACK02.WAV", "./sub/../TRACK"}},
      {"hard link",
       [](const th::TempDir& d) {
         ASSERT_EQ(link((d / "TRACK02.WAV").c_str(), (d / "a.wav").c_str()), 0);
       },
       {"a.wav"}},
      {"symbolic link to the input",
       [](const th::TempDir& d) { ASSERT_EQ(symlink("TRACK02.WAV", (d / "a.wav").c_str()), 0); },
       {"a.wav"}},
      {"track name is a link to the input",
       [](const th::TempDir& d) {
         ASSERT_EQ(rename((d / "TRACK02.WAV").c_str(), (d / "rec.wav").c_str()), 0);
         ASSERT_EQ(symlink("rec.wav", (d / "TRACK77.WAV").c_str()), 0);
       },
       {"rec.wav"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    th::TempDir dir;
    fs::create_directory(dir / "sub");
    th::write_file(dir / "TRACK02.WAV", r.rec.wave());
    c.setup(dir);
    const auto before = th::files_in(dir.path());
    const auto run = th::run_keldrun(join(join({"/I"}, c.args), kSmall), dir.path());
    EXPECT_EQ(run.status, 1);
    EXPECT_TRUE(run.err.ends_with("\nThe input file would be overwritten by a track file.\n\a"))
        << run.err;
    th::expect_files(dir.path(), before);
    // Listing writes nothing, so it has nothing to refuse.
    const auto list = th::run_keldrun(join({c.args[0], "-"}, kSmall), dir.path());
    EXPECT_EQ(list.status, 0) << list.err;
    th::expect_files(dir.path(), before);
  }
}

TEST(SplitInPlace, InterruptedSplitFinishesWhenRunAgain) {
  if (rel::strace().empty()) GTEST_SKIP() << "strace is missing or may not trace here";
  Recording r;
  r.quiet(1000);
  for (uint32_t n : {2000, 1500, 3000, 1000}) r.sound(n).quiet(1000);
  const auto a = join({"/I", "rec.wav"}, kSmall);
  th::TempDir ref;
  th::write_file(ref / "rec.wav", r.rec.wave());
  ASSERT_EQ(th::run_keldrun(a, ref.path()).status, 0);
  const auto want = th::files_in(ref.path());
  ASSERT_EQ(want, split_files(r.rec.data(), r.tracks(kGap, kCut)));
  // Killed as it is about to make its second, then its third cut.
  for (const char* when : {"2", "3"}) {
    SCOPED_TRACE(std::string("killed at cut ") + when);
    th::TempDir dir;
    th::write_file(dir / "rec.wav", r.rec.wave());
    const auto killed = th::run_program(
        join({rel::strace(), "-o", "/dev/null", "-e", "trace=ftruncate", "-e",
              std::string("inject=ftruncate:signal=KILL:when=") + when, th::keldrun_path()},
             a),
        dir.path());
    EXPECT_NE(killed.status, 0);
    ASSERT_TRUE(th::file_exists(dir / "rec.wav"));
    EXPECT_LT(th::read_file(dir / "rec.wav").size(), r.rec.wave().size());
    const auto again = th::run_keldrun(a, dir.path());
    EXPECT_EQ(again.status, 0) << again.err;
    th::expect_files(dir.path(), want);
  }
}

// The slow one: a sparse recording of more than 2 GiB whose two tracks both
// lie beyond 2 GiB, so every seek and cut needs 64-bit positions. (A track
// near the start would own all the silence up to the next one: 2 GB to copy.)
TEST(SplitInPlace, SlowSparseInputBeyondTwoGiB) {
  const int64_t a1 = 536900000, a2 = a1 + 4 * 44100, frames = a2 + 4 * 44100;
  ASSERT_GT(44 + 4 * a1, int64_t{1} << 31);
  th::Rec block;
  block.tone(44100);
  th::TempDir dir;
  const std::string path = dir / "rec.wav";
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  ASSERT_GE(fd, 0);
  const std::string header = th::canonical_header(static_cast<uint32_t>(4 * frames));
  bool ok = pwrite(fd, header.data(), 44, 0) == 44 && ftruncate(fd, 44 + 4 * frames) == 0;
  for (int64_t at : {a1, a2})
    ok = ok && pwrite(fd, block.data().data(), block.data().size(), 44 + 4 * at) ==
                   static_cast<ssize_t>(block.data().size());
  ASSERT_EQ(close(fd), 0);
  ASSERT_TRUE(ok);

  const auto run = th::run_keldrun({"/I", "rec.wav"}, dir.path());
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_FALSE(th::file_exists(path));
  // Default gap and cut of 88200 frames: each track starts 8 frames before
  // its second of sound; track 1 ends 88200 + 10 frames before the step that
  // found track 2, track 2 as far before the end of the data.
  for (const auto& [track, length] : {std::pair{1, 88200}, {2, 88198}}) {
    SCOPED_TRACE(track);
    const std::string want = th::canonical_header(static_cast<uint32_t>(4 * length)) +
                             std::string(32, '\0') + block.data() +
                             std::string(4 * static_cast<size_t>(length - 44100 - 8), '\0');
    const std::string got = th::read_file(dir / th::track_name(track));
    EXPECT_EQ(got.size(), want.size());
    EXPECT_TRUE(got == want);
  }
}

}  // namespace
