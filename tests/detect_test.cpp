#include "detect.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "helpers.h"
#include "keldrun.h"
#include "wave.h"

namespace {

// Decisions and peak meter after each filter step.
struct Trace {
  std::vector<bool> sound;
  std::vector<uint16_t> peak;
};

class Detector : public testing::Test {
 protected:
  void SetUp() override {
    configure(10, 1638);
    gap = cut = 88200;
    samples = 0;
  }
  void TearDown() override {
    if (wave) fclose(wave);
    wave = nullptr;
    if (out) fclose(out);
    out = nullptr;
  }
  // As main leaves the detector: threshold scaled to a window sum.
  static void configure(int32_t filt, uint32_t per_frame) {
    filter = filt;
    threshold = per_frame * static_cast<uint32_t>(filt + 1);
    sample = 0;
    reset_detector();
  }
  static void feed(const std::string& bytes) {
    if (wave) fclose(wave);
    set_input(th::memfile(bytes));
  }
  static Trace steps(const std::string& data) {
    feed(data);
    Trace t;
    uint16_t peak = 0;
    for (size_t i = 0; i < data.size() / 4; i++) {
      sample++;  // the caller counts the frame before the step
      t.sound.push_back(update_filter(&peak));
      t.peak.push_back(peak);
    }
    return t;
  }
};

TEST_F(Detector, FilterWorkedConsequences) {
  struct Case {
    const char* name;
    int32_t filter;
    uint32_t per_frame;
    th::Rec rec;
    size_t first, count;  // the one run of sound steps
    uint16_t peak;
  };
  const Case cases[] = {
      {"Click18018", 10, 1638, th::Rec().frame(18018, 0).silence(30), 0, 0, 18018},
      {"Click18019First", 10, 1638, th::Rec().frame(18019, 0).silence(30), 0, 11, 18019},
      {"Click18019Right", 10, 1638, th::Rec().silence(20).frame(0, -18019).silence(20), 20, 11,
       18019},
      {"TwoFrames10000", 10, 1638, th::Rec().silence(20).level(10000, 2).silence(20), 21, 10,
       10000},
      {"Filter0", 0, 1638, th::Rec().silence(3).frame(1638, -1638).frame(0, 1639).silence(3), 4, 1,
       1639},
      {"Filter1000", 1000, 1, th::Rec().silence(50).frame(1002, 0).silence(1100), 50, 1001, 1002},
      {"Filter1000Quiet", 1000, 1, th::Rec().silence(50).frame(-1001, 0).silence(1100), 0, 0, 1001},
      {"Minus32768", 0, 32767, th::Rec().frame(32767, 32767).frame(-32768, 0).silence(1), 1, 1,
       32768},
      {"SumEqualToThreshold", 1, 100,
       th::Rec().silence(2).level(100, 2).silence(2).frame(100, 0).frame(101, 0).silence(2), 7, 1,
       101},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    configure(c.filter, c.per_frame);
    const Trace t = steps(c.rec.data());
    std::vector<bool> expected(t.sound.size(), false);
    for (size_t i = c.first; i < c.first + c.count; i++) expected[i] = true;
    EXPECT_EQ(t.sound, expected);
    EXPECT_EQ(t.peak.back(), c.peak);
  }
}

// Random material: runs of silence, of loud sound, of levels around the
// per-frame threshold, with rare full-scale samples.
th::Rec random_material(std::mt19937& rng, uint32_t frames, uint32_t per_frame, uint32_t run) {
  th::Rec rec;
  while (rec.frames() < frames) {
    const uint32_t kind = rng() % 4, len = 1 + rng() % run;
    for (uint32_t i = 0; i < len; i++) {
      int l = static_cast<int>(rng() % (4 * per_frame + 1)) - 2 * static_cast<int>(per_frame);
      int r = static_cast<int>(rng() % (2 * per_frame));
      if (kind == 0) l = r = 0;
      if (kind == 1) l = 20000 - static_cast<int>(rng() % 40000);
      if (kind == 2 && rng() % 64 == 0) l = rng() % 2 ? -32768 : 32767;
      rec.frame(static_cast<int16_t>(l), static_cast<int16_t>(r));
    }
  }
  return rec;
}

// Level of each frame: the larger magnitude of its two samples.
std::vector<uint32_t> levels_of(const std::string& data) {
  std::vector<uint32_t> levels;
  const auto magnitude = [&](size_t at) {
    const auto lo = static_cast<unsigned char>(data[at]),
               hi = static_cast<unsigned char>(data[at + 1]);
    return static_cast<uint32_t>(std::abs(static_cast<int16_t>(lo | hi << 8)));
  };
  for (size_t at = 0; at + 4 <= data.size(); at += 4)
    levels.push_back(std::max(magnitude(at), magnitude(at + 2)));
  return levels;
}

// The window sum is kept running, and find_track decides whole blocks at
// once; both must agree with re-adding every slot at every step, and the
// peak must cover exactly the frames passed on.
TEST_F(Detector, RunningSumEqualsFullResum) {
  std::mt19937 rng(2024);
  for (int32_t filt : {0, 1, 10, 1000}) {
    SCOPED_TRACE(filt);
    const uint32_t per_frame = 1638, f = static_cast<uint32_t>(filt);
    const th::Rec rec = random_material(rng, 40000, per_frame, 3 * f + 40);
    const uint32_t n = rec.frames();
    const std::vector<uint32_t> level = levels_of(rec.data());
    std::vector<bool> sound(n);
    std::vector<uint16_t> leaving(n, 0);  // magnitude of the frame passed on
    for (uint32_t k = 0; k < n; k++) {
      uint32_t sum = 0;
      for (uint32_t j = k >= f ? k - f : 0; j <= k; j++) sum += level[j];
      sound[k] = sum > per_frame * (f + 1);
      if (k >= f) leaving[k] = static_cast<uint16_t>(level[k - f]);
    }

    configure(filt, per_frame);
    const Trace t = steps(rec.data());
    uint16_t peak = 0;
    size_t wrong_steps = 0;
    for (uint32_t k = 0; k < n; k++) {
      peak = std::max(peak, leaving[k]);
      if (t.sound[k] != sound[k] || t.peak[k] != peak) wrong_steps++;
    }
    EXPECT_EQ(wrong_steps, 0u);

    // The scans, for gaps short enough that most decisions move a boundary;
    // those with a track file open must pass every frame on once, in order.
    // Both vector paths: SSE2, and AVX2 where the processor has it.
    const bool avx2 = wide_steps;
    for (const auto& [wide, g] : std::vector<std::pair<bool, uint32_t>>{{false, 1},
                                                                        {false, 2},
                                                                        {false, 9},
                                                                        {false, 300},
                                                                        {avx2, 1},
                                                                        {avx2, 2},
                                                                        {avx2, 9},
                                                                        {avx2, 300}}) {
      SCOPED_TRACE(testing::Message() << "gap " << g << (wide ? " AVX2" : " SSE2"));
      wide_steps = wide;
      configure(filt, per_frame);
      gap = g;
      cut = 2;
      feed("abc" + rec.data());  // frames straddle the reader's blocks
      read_bytes(3);
      samples = n;
      io::out_len = 0;
      out = g >= 9 ? std::tmpfile() : nullptr;
      uint32_t m = 0;  // the model's sample
      auto model = [&](int track, int64_t* start, int64_t* end) -> long {
        uint32_t silence = 0;
        uint16_t pk = 0;
        *start = m < f ? 0 : m - f;
        while (m < n) {
          const uint32_t k = m++;
          pk = std::max(pk, leaving[k]);
          if (!sound[k]) {
            silence++;
          } else if (track == 0) {
            return -1;
          } else if (silence >= g) {
            break;
          } else {
            silence = 0;
          }
        }
        *end = int64_t{m} - 2 - f;
        return pk;
      };
      std::vector<std::array<int64_t, 4>> got, want;  // start, end, peak, sample
      testing::internal::CaptureStdout();
      testing::internal::CaptureStderr();
      for (int track = 0; sample < samples && (track == 0 || got[0][2] < 0); track++) {
        int64_t s1 = 0, e1 = 0, s2 = 0, e2 = 0;
        const long p1 = find_track(track, &s1, &e1), p2 = model(track, &s2, &e2);
        got.push_back({s1, e1, p1, sample});
        want.push_back({s2, e2, p2, m});
      }
      testing::internal::GetCapturedStdout();
      testing::internal::GetCapturedStderr();
      const auto diff = std::mismatch(got.begin(), got.end(), want.begin(), want.end());
      EXPECT_TRUE(diff.first == got.end())
          << "track " << diff.first - got.begin() << " of " << got.size();
      if (!out) continue;
      flush_out();
      std::string written(4 * n, '\0');
      rewind(out);
      written.resize(fread(written.data(), 1, written.size(), out));
      EXPECT_TRUE(written == rec.data().substr(0, 4 * (n - f)));
      fclose(out);
      out = nullptr;
    }
    wide_steps = avx2;
  }
}

// Small settings (filter 2, gap 5, cut 3): a loud run of level 1000 lifts any
// window holding one of its frames. Short tracks' times all show 00:00.000.
TEST_F(Detector, FindTrackBoundaries) {
  using R = th::Rec;
  struct Case {
    const char* name;
    th::Rec rec;
    std::vector<std::pair<int64_t, int64_t>> tracks;
    std::string lines;
    uint32_t declared = 0;  // 0: the frames present
  };
  const std::string t1 = "\r1\t00:00.000\t00:00.000\t00:00.000\t0.031\n",
                    t2 = "\r2\t00:00.000\t00:00.000\t00:00.000\t0.031\n";
  const Case cases[] = {
      {"GapEnds",
       R().silence(4).level(1000, 10).silence(7).level(1000, 10),
       {{3, 17}, {20, 26}},
       t1 + t2},
      {"GapMinusOne", R().silence(4).level(1000, 10).silence(6).level(1000, 10), {{3, 25}}, t1},
      // The step after the reader's first block is taken on its own.
      {"GapEndsAtBlockEdge",
       R().silence(4).level(1000, 16373).silence(7).level(1000, 10),
       {{3, 16380}, {16383, 16389}},
       "\r1\t00:00.000\t00:00.371\t00:00.371\t0.031\n"
       "\r2\t00:00.371\t00:00.371\t00:00.000\t0.031\n"},
      {"SoundAtFrameZero", R().level(1000, 10), {{0, 5}}, t1},
      {"EndsLoud", R().silence(4).level(1000, 20), {{3, 19}}, t1},
      {"EndsEarly", R().silence(4).level(1000, 20), {{3, 19}}, t1, 100},
      {"ShortLastTrack",
       R().silence(4).level(1000, 10).silence(7).level(1000, 2),
       {{3, 17}, {20, 18}},
       t1},
      {"FullScaleNegative",
       R().silence(4).level(-32768, 10),
       {{3, 9}},
       "\r1\t00:00.000\t00:00.000\t00:00.000\t1.000\n"},
      {"AllSilent", R().silence(20), {}, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    configure(2, 100);
    gap = 5;
    cut = 3;
    feed(c.rec.data());
    samples = c.declared ? c.declared : c.rec.frames();
    testing::internal::CaptureStderr();
    testing::internal::CaptureStdout();
    int64_t dummy;
    const long probe = find_track(0, &dummy, &dummy);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(probe < 0, !c.tracks.empty());
    std::vector<std::pair<int64_t, int64_t>> tracks;
    testing::internal::CaptureStdout();
    for (int track = 1; probe < 0 && sample < samples; track++) {
      int64_t start, end;
      find_track(track, &start, &end);
      tracks.emplace_back(start, end);
    }
    EXPECT_EQ(testing::internal::GetCapturedStdout(), c.lines);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(tracks, c.tracks);
    EXPECT_EQ(err.find("\nUnexpected end of WAVE data.\n") != std::string::npos, c.declared != 0);
  }
}

TEST(Timef, EdgeValues) {
  const std::pair<uint32_t, const char*> cases[] = {
      {0, "00:00.000"},     {44, "00:00.000"},      {45, "00:00.001"},
      {44100, "00:01.000"}, {2646000, "01:00.000"}, {4294967295u, "1623:11.548"},
  };
  for (const auto& [frames, text] : cases) EXPECT_STREQ(timef(frames), text) << frames;
}

// Progress shows frames 0, 32768, 65536 and nothing else.
TEST_F(Detector, ProgressOnlyEvery32768thFrame) {
  feed(th::Rec().silence(70000).data());
  samples = 70000;
  testing::internal::CaptureStderr();
  testing::internal::CaptureStdout();
  int64_t dummy;
  EXPECT_EQ(find_track(0, &dummy, &dummy), 0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "00:00.000\r00:00.743\r00:01.486\r");
}

}  // namespace
