// The detector in the process, against the reference model: every track's
// bounds and peak, for crafted and random recordings, on both vector paths;
// the time text and the progress cadence.
#include "detect.h"

#include <gtest/gtest.h>

#include <random>

#include "core.h"
#include "helpers.h"
#include "wave.h"

namespace {

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

using Detector = th::VectorPath;
INSTANTIATE_TEST_SUITE_P(Paths, Detector, testing::Bool(), th::path_name);

TEST_P(Detector, FindsWhatTheModelFinds) {
  struct Case {
    std::string data;
    int64_t declared;
    settings s;
  };
  std::vector<Case> cases = {
      {th::frames("s4 l1000:10 s7 l1000:10"), -1, {2, 100, 5, 3}},  // exactly the gap
      {th::frames("s4 l1000:10 s6 l1000:10"), -1, {2, 100, 5, 3}},  // one step short
      {th::frames("l1000:10 s20 l1000:30"), -1, {2, 100, 5, 3}},    // sound from frame 0
      {th::frames("s4 l1000:20"), 100, {2, 100, 5, 3}},             // early end
      {th::frames("s4 l-32768:10 s9 l900:5"), -1, {2, 100, 5, 3}},
      {th::frames("s2 l100:2 s2 f100:0 f101:0 s2 l100:3"), -1, {1, 100, 1, 0}},  // sum = threshold
      {th::frames("s20 f18019:0 s20 f0:-18018 s30 l10000:2 s20"), -1, {10, 1638, 1, 0}},  // clicks
      {th::frames("s3 f1638:-1638 f0:1639 s3 f1639:0"), -1, {0, 1638, 1, 0}},
      {th::frames("( l1000:3 s8 )120"), -1, {0, 100, 5, 0}},  // too many tracks
      // While the window fills, step by step: a sum equal to the threshold,
      // and a peak of the frames that left it (none yet; the 1000 never
      // leaves track 1).
      {th::frames("s10 f1001:0 s1200 f1002:0 s1200"), -1, {1000, 1, 5, 0}},
      {th::frames("l5000:3 s10 l5000:3 s2000"), -1, {1000, 1, 5, 0}},
      {th::frames("l500:3 s2 f1000:0 s8 f2000:0 s30"), -1, {10, 100, 1, 0}},
  };
  // Sound resumes after exactly the gap with the first frame of the reader's
  // second block (the first holds the 44-byte header too): the step across
  // the edge decides alone.
  const std::string edge = std::to_string((io::block - 44) / 4 - 11);
  cases.push_back({th::frames("s4 l1000:" + edge + " s7 l1000:10"), -1, {2, 100, 5, 3}});
  std::mt19937 rng(2024);
  for (int32_t f : {0, 1, 10, 1000}) {
    const std::string data = random_material(rng, 40000, 1638, 3 * static_cast<uint32_t>(f) + 40);
    for (uint32_t g : {1, 2, 9, 300}) cases.push_back({data, -1, {f, 1638, g, 2}});
  }
  for (size_t i = 0; i < cases.size(); i++) {
    const Case& c = cases[i];
    SCOPED_TRACE(testing::Message() << "case " << i);
    bool too_many = false;
    const auto want = th::model(c.data, c.declared, c.s, &too_many);
    open_recording(th::memfile(th::wave(c.data, c.declared)));
    const listing got = list_tracks(c.s);
    close_recording();
    EXPECT_EQ(th::exactly(got), th::exactly(want, too_many));
  }
}

TEST(Progress, TimeTextAndCadence) {
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
