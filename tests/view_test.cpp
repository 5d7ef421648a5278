// keldrun-view: its model of the track finder against the track finder, and
// the program end to end.
#include <gtest/gtest.h>

#include <random>

#include "analysis.h"
#include "helpers.h"
#include "keldrun.h"
#include "wave.h"

namespace {

// A side of steady stretches at levels around the thresholds tried, with
// clicks; sometimes starting with sound, sometimes ending early, sometimes
// with more than 99 tracks.
std::string random_side(std::mt19937& rng, int round) {
  static const int amps[] = {0, 15, 16, 17, 154, 155, 300, 1638, 1639, 9000, 32767};
  th::Rec r;
  const int segments = round % 4 == 1 ? 230 : 3 + static_cast<int>(rng() % 40);
  for (int i = 0; i < segments; i++) {
    const int amp = amps[i % 2 ? rng() % 11 : rng() % 4];
    for (uint32_t k = 0, n = 1 + rng() % (i % 2 ? 1500 : 3000); k < n; k++) {
      auto one = [&] {
        const int v = amp - static_cast<int>(rng() % (amp / 8 + 1));
        return static_cast<int16_t>(rng() % 2 ? v : -v);
      };
      if (rng() % 2000 == 0)
        r.frame(-32768, 0);  // a click
      else
        r.frame(one(), one());
    }
  }
  if (round % 3 != 2) return r.wave();
  // Declared longer than it is, with part of a frame at the end.
  return r.wave(4LL * r.frames() + 4000) + std::string(round % 4, '\x7f');
}

TEST(ViewModel, ListsExactlyWhatTheDetectorLists) {
  std::mt19937 rng(7);
  const std::vector<std::string> grid = threshold_grid();
  for (int round = 0; round < 48; round++) {
    const std::string wav = random_side(rng, round);
    const int user_filter = std::vector<int>{0, 1, 10, 37, 1000}[round % 5];
    set_input(th::memfile(wav));
    samples = read_wave_header() / 4;
    const analysis a = analyse({user_filter, 50, 200}, grid, 511);
    fclose(wave);
    for (int k = 0; k < 8; k++) {
      const detection& d = a.found[rng() % a.found.size()];
      // Half the time a gap just as long as a silence, or one step longer.
      uint32_t g = 511 + rng() % 4000;
      for (const quiet_run& r : d.runs)
        if (r.length() >= 511 && rng() % 3 == 0) g = static_cast<uint32_t>(r.length() + k % 2);
      const int32_t c = static_cast<int32_t>(rng() % 5000);
      const listing model = model_listing(a, d, g, c);
      set_input(th::memfile(wav));
      samples = read_wave_header() / 4;
      filter = d.filter, threshold = d.level * (d.filter + 1), gap = g, cut = c;
      const listing real = detector_listing();
      fclose(wave);
      const std::string settings = "round " + std::to_string(round) + " /F " +
                                   std::to_string(d.filter) + " level " + std::to_string(d.level) +
                                   " /G " + std::to_string(g) + " /C " + std::to_string(c);
      EXPECT_EQ(model.rows(), real.rows()) << settings;
      EXPECT_EQ(model.scans, real.scans) << settings;
      EXPECT_EQ(model.too_many, real.too_many) << settings;
      EXPECT_EQ(model.no_sound, real.no_sound) << settings;
    }
  }
}

}  // namespace
