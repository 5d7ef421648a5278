// The detector in the process, against the reference model: every track's
// bounds and peak, for crafted and random recordings, on both vector paths,
// with the frames it passes on; the time text and the progress cadence.
#include "detect.h"

#include <gtest/gtest.h>

#include <random>

#include "helpers.h"
#include "keldrun.h"
#include "wave.h"

namespace {

struct Listing {
  std::vector<th::Track> tracks;
  bool too_many = false;
  std::string passed_on;  // the frames that left the delay line
};

// What find_track finds, as the listing does it, with a file open so that
// the frames leaving the window are written.
Listing list(const std::string& data, int64_t declared, th::Settings s) {
  filter = s.filter;
  threshold = s.threshold * static_cast<uint32_t>(s.filter + 1);
  gap = s.gap;
  cut = s.cut;
  sample = 0;
  samples = static_cast<uint32_t>(declared < 0 ? data.size() / 4 : declared);
  reset_detector();
  FILE* in = th::memfile(data);
  set_input(in);
  out = std::tmpfile();
  io::out_len = 0;
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  Listing l;
  int64_t start, end;
  const bool sound = find_track(0, &start, &end) < 0;
  for (int track = 1; sound; track++) {
    if (track == 100) {
      l.too_many = true;
      break;
    }
    const long peak = find_track(track, &start, &end);
    l.tracks.push_back({track, start, end, static_cast<int>(peak)});
    if (sample >= samples) break;
  }
  testing::internal::GetCapturedStdout();
  testing::internal::GetCapturedStderr();
  flush_out();
  l.passed_on.resize(data.size());
  rewind(out);
  l.passed_on.resize(fread(l.passed_on.data(), 1, data.size(), out));
  fclose(out);
  fclose(in);
  out = wave = nullptr;
  return l;
}

// Runs of silence, loud sound, levels around and at the threshold, rare
// full-scale samples.
std::string random_material(std::mt19937& rng, uint32_t frames, int thr, uint32_t run) {
  std::string r;
  while (r.size() < 4 * frames) {
    const uint32_t kind = rng() % 5, len = 1 + rng() % run;
    for (uint32_t i = 0; i < len; i++) {
      int l = static_cast<int>(rng() % (4 * thr + 1)) - 2 * thr,
          rt = static_cast<int>(rng() % (2 * thr));
      if (kind == 0) l = rt = 0;
      if (kind == 1) l = 20000 - static_cast<int>(rng() % 40000);
      if (kind == 2 && rng() % 64 == 0) l = rng() % 2 ? -32768 : 32767;
      if (kind == 3) l = rt = thr;  // window sums equal to the threshold
      r += th::u16(static_cast<uint16_t>(l)) + th::u16(static_cast<uint16_t>(rt));
    }
  }
  return r;
}

TEST(Detector, FindsWhatTheModelFinds) {
  struct Case {
    std::string data;
    int64_t declared;
    th::Settings s;
  };
  std::vector<Case> cases = {
      {th::frames("s4 l1000:10 s7 l1000:10"), -1, {2, 100, 5, 3}},     // exactly the gap
      {th::frames("s4 l1000:10 s6 l1000:10"), -1, {2, 100, 5, 3}},     // one step short
      {th::frames("s4 l1000:16373 s7 l1000:10"), -1, {2, 100, 5, 3}},  // at the reader's block edge
      {th::frames("l1000:10 s20 l1000:30"), -1, {2, 100, 5, 3}},       // sound from frame 0
      {th::frames("s4 l1000:20"), 100, {2, 100, 5, 3}},                // early end
      {th::frames("s4 l-32768:10 s9 l900:5"), -1, {2, 100, 5, 3}},
      {th::frames("s2 l100:2 s2 f100:0 f101:0 s2 l100:3"), -1, {1, 100, 1, 0}},  // sum = threshold
      {th::frames("s20 f18019:0 s20 f0:-18018 s30 l10000:2 s20"), -1, {10, 1638, 1, 0}},  // clicks
      {th::frames("s3 f1638:-1638 f0:1639 s3 f1639:0"), -1, {0, 1638, 1, 0}},
      {th::frames("( l1000:3 s8 )120"), -1, {0, 100, 5, 0}},  // too many tracks
      // While the window fills, step by step: a sum equal to the threshold,
      // and a peak of the frames that left it (none yet).
      {th::frames("s10 f1001:0 s1200 f1002:0 s1200"), -1, {1000, 1, 5, 0}},
      {th::frames("l5000:3 s10 l5000:3 s2000"), -1, {1000, 1, 5, 0}},
  };
  std::mt19937 rng(2024);
  for (int32_t f : {0, 1, 10, 1000}) {
    const std::string data = random_material(rng, 40000, 1638, 3 * static_cast<uint32_t>(f) + 40);
    for (uint32_t g : {1, 2, 9, 300}) cases.push_back({data, -1, {f, 1638, g, 2}});
  }
  const bool avx2 = wide_steps;
  for (const bool wide : {false, avx2}) {
    wide_steps = wide;
    for (size_t i = 0; i < cases.size(); i++) {
      const Case& c = cases[i];
      SCOPED_TRACE(testing::Message() << "case " << i << (wide ? ", AVX2" : ", SSE2"));
      bool too_many = false;
      const auto want = th::model(c.data, c.declared, c.s, &too_many);
      const Listing got = list(c.data, c.declared, c.s);
      ASSERT_EQ(got.tracks.size(), want.size());
      for (size_t t = 0; t < want.size(); t++) {
        EXPECT_EQ(got.tracks[t].start, want[t].start) << "track " << t + 1;
        EXPECT_EQ(got.tracks[t].end, want[t].end) << "track " << t + 1;
        EXPECT_EQ(got.tracks[t].peak, want[t].peak) << "track " << t + 1;
      }
      EXPECT_EQ(got.too_many, too_many);
      // Step by step, as the first `filter` steps and frames across the
      // reader's blocks go: every decision, and the peak of the frames that left.
      const size_t n = static_cast<size_t>(c.declared < 0 ? c.data.size() / 4 : c.declared);
      const std::vector<int> level = th::levels(c.data, static_cast<int64_t>(n));
      list("", 0, c.s);
      set_input(th::memfile(c.data));
      uint16_t peak = 0;
      int want_peak = 0, sum = 0;
      size_t wrong = 0;
      for (size_t k = 0, f = static_cast<size_t>(c.s.filter); k < n && !wide; k++) {
        sample++;
        const bool sound = update_filter(&peak);
        sum += level[k] - (k > f ? level[k - f - 1] : 0);
        if (k >= f) want_peak = std::max(want_peak, level[k - f]);
        wrong += sound != (sum > static_cast<int>(threshold)) || peak != want_peak;
      }
      EXPECT_EQ(wrong, 0u);
      fclose(wave);
      wave = nullptr;
      // Every frame is passed on once, in order, but the last `filter`.
      if (!too_many && c.declared < 0) {
        EXPECT_TRUE(got.passed_on == c.data.substr(0, 4 * (n - static_cast<size_t>(c.s.filter))));
      }
    }
  }
  wide_steps = avx2;
}

TEST(Detector, TimeTextAndProgress) {
  const std::pair<uint32_t, const char*> times[] = {
      {0, "00:00.000"},
      {44, "00:00.000"},
      {45, "00:00.001"},
      {44056, "00:00.999"},
      {44100, "00:01.000"},
      {2646000, "01:00.000"},
      {4294967295u, "1623:11.548"},
  };
  for (const auto& [frames, text] : times) EXPECT_STREQ(timef(frames), text) << frames;
  testing::internal::CaptureStderr();
  for (uint32_t u : {0u, 1u, 32767u, 32768u, 49152u, 65536u}) show_progress(u);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "00:00.000\r00:00.743\r00:01.486\r");
}

}  // namespace
