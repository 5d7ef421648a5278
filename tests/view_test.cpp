// keldrun-view: its model of the track finder against the track finder, and
// the program end to end.
#include <gtest/gtest.h>

#include <filesystem>
#include <random>
#include <sstream>

#include "analysis.h"
#include "detect.h"
#include "helpers.h"
#include "keldrun.h"
#include "wave.h"

namespace {

// A side of steady stretches at levels around the thresholds tried, with
// clicks; sometimes starting with sound, sometimes ending early, sometimes
// with more than 99 tracks.
std::string random_side(std::mt19937& rng, int round, int lead) {
  static const int amps[] = {0, 15, 16, 17, 154, 155, 300, 1638, 1639, 9000, 32767};
  std::string r;
  const auto frame = [&](int16_t l, int16_t rt) {
    r += th::u16(static_cast<uint16_t>(l)) + th::u16(static_cast<uint16_t>(rt));
  };
  // Sound about as far in as the filter is long, where the first start is
  // clamped at frame 0.
  if (round % 2 == 0) r = th::frames("s" + std::to_string(std::max(lead, 0)) + " l9000:3");
  const int segments = round % 4 == 1 ? 230 : 3 + static_cast<int>(rng() % 40);
  for (int i = 0; i < segments; i++) {
    const int amp = amps[i % 2 ? rng() % 11 : rng() % 4];
    for (uint32_t k = 0, n = 1 + rng() % (i % 2 ? 1500 : 3000); k < n; k++) {
      auto one = [&] {
        const int v = amp - static_cast<int>(rng() % (amp / 8 + 1));
        return static_cast<int16_t>(rng() % 2 ? v : -v);
      };
      if (rng() % 2000 == 0)
        frame(-32768, 0);  // a click
      else
        frame(one(), one());
    }
  }
  if (round % 3 != 2) return th::wave(r);
  // Declared longer than it is, with part of a frame at the end.
  return th::wave(r, static_cast<int64_t>(r.size()) + 4000) + std::string(round % 4, '\x7f');
}

TEST(ViewModel, ListsExactlyWhatTheDetectorLists) {
  std::mt19937 rng(7);
  const std::vector<std::string> grid = threshold_grid();
  const bool wide = wide_steps;
  for (int round = 0; round < 48; round++) {
    wide_steps = wide && round % 2 == 0;  // the AVX2 and the SSE2 paths
    const int user_filter = std::vector<int>{0, 1, 10, 37, 1000}[round % 5];
    const std::string wav = random_side(rng, round, user_filter - 1 + round % 3);
    set_input(th::memfile(wav));
    samples = read_wave_header() / 4;
    // Short gaps make the blocks shorter: down to 2 frames.
    const uint32_t shortest = std::vector<uint32_t>{511, 511, 60, 3}[round % 4];
    const analysis a = analyse({user_filter, 50, 200}, grid, shortest);
    fclose(wave);
    for (int k = 0; k < 8; k++) {
      const detection& d =
          a.found[k == 0 ? 0 : rng() % a.found.size()];  // first: the user's filter
      // Half the time a gap just as long as a silence, or one step longer.
      uint32_t g = static_cast<uint32_t>(a.min_gap()) + rng() % 4000;
      for (const quiet_run& r : d.runs)
        if (r.length() >= a.min_gap() && rng() % 3 == 0)
          g = static_cast<uint32_t>(r.length() + k % 2);
      const int32_t c = static_cast<int32_t>(rng() % 5000);
      const listing model = model_listing(a, d, g, c);
      set_input(th::memfile(wav));
      samples = read_wave_header() / 4;
      filter = d.filter, threshold = d.level * (d.filter + 1), gap = g, cut = c;
      const listing real = detector_listing();
      fclose(wave);
      // In frames: the rows' milliseconds would hide a frame's difference.
      auto exactly = [](const listing& l) {
        std::string text = std::to_string(l.scans) + (l.too_many ? " too many" : "") +
                           (l.no_sound ? " none" : "") + "\n";
        for (const track& t : l.tracks)
          for (int64_t v : {int64_t(t.number), t.start, t.end, int64_t(t.peak)})
            text += std::to_string(v) + " ";
        return text;
      };
      EXPECT_EQ(exactly(model), exactly(real))
          << "round " << round << " /F " << d.filter << " level " << d.level << " /G " << g
          << " /C " << c;
    }
  }
  wide_steps = wide;
}

// Seconds of "m:ss.mmm" at `at` in `text`.
double seconds_at(const std::string& text, size_t at) {
  int m = 0, s = 0, ms = 0;
  std::sscanf(text.c_str() + at, "%d:%d.%d", &m, &s, &ms);
  return m * 60 + s + ms / 1000.0;
}

// keldrun-gen's sides as a person meets them, with the sleeve's count or
// lengths (taken from the side's layout): the recommended command lists each
// generated track, intro and fade-in kept, or the advisor says why it can't.
TEST(ViewAdvice, RecommendsACommandThatListsTheTracksOfTheSide) {
  const struct {
    const char* side;  // keldrun-gen's options, after "--minutes 3 --tracks 5 --gain -24"
    const char* ask;
    const char* says;  // null: the command must list the side's own tracks
  } cases[] = {
      {"--seed 1 --gaps 1,1,2,1 --gain -30", "--tracks", nullptr},
      {"--minutes 4 --tracks 6 --seed 4 --gaps 1,3,1,2,1 --intro 2 --pauses 1 --fade 0.3",
       "--tracks", nullptr},
      {"--minutes 4 --seed 5 --gaps 1,1.5,1,2 --pauses 2", "--tracks", nullptr},
      {"--seed 6 --gaps 1,2,1,3 --crackle 20", "--tracks", nullptr},
      {"--tracks 4 --seed 7 --gaps 1,2,1.5 --rumble 0.002", "--tracks", nullptr},
      // Tracks 2 and 3 run into each other: the place named lies in them.
      {"--seed 2 --gaps 2,1.5,2 --join 2", "--tracks",
       "No setting of /T, /G and /F gives exactly 5 tracks."},
      // Soft passages as long as the 1-s gap: only the lengths tell them apart.
      {"--seed 1 --gaps 1,3,3,3 --pauses 1 --gain 0", "--lengths", nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.side);
    th::TempDir dir;
    std::vector<std::string> gen = {"keldrun-gen", "--minutes", "3",     "--tracks", "5",
                                    "--gain",      "-24",       "--out", "side.wav", "--layout"};
    std::istringstream words(c.side);
    for (std::string w; words >> w;) gen.push_back(w);
    const th::RunResult made = th::run(gen, dir.path());
    ASSERT_TRUE(made.exited(0)) << made.describe();
    std::vector<std::pair<double, double>> music;  // each track's, in seconds
    std::string lengths;
    std::istringstream layout(made.err);
    for (std::string line; std::getline(layout, line);) {
      long long from, to;
      if (std::sscanf(line.c_str(), "track %*d: frames %lld to %lld", &from, &to) != 2) continue;
      music.push_back({from / 44100.0, to / 44100.0});
      const int s = static_cast<int>((to - from) / 44100.0 + 0.5);
      lengths += (lengths.empty() ? "" : ",") + std::to_string(s / 60) + ":" +
                 std::to_string(s % 60 / 10) + std::to_string(s % 10);
    }
    const std::string ask =
        c.ask == std::string("--tracks") ? std::to_string(music.size()) : lengths;
    const th::RunResult view = th::run({"keldrun-view", c.ask, ask, "side.wav"}, dir.path());
    ASSERT_TRUE(view.exited(0)) << view.describe();
    EXPECT_TRUE(std::filesystem::exists(dir / "side.html"));
    if (c.says) {
      EXPECT_NE(view.out.find(c.says), std::string::npos) << view.out;
      const size_t at = view.out.find("\n  at ");
      ASSERT_NE(at, std::string::npos) << view.out;
      EXPECT_GT(seconds_at(view.out, at + 6), music[1].first) << view.out;
      EXPECT_LT(seconds_at(view.out, at + 6), music[2].second) << view.out;
      continue;
    }
    // The command, then its rows; keldrun lists the same rows, one per track.
    const size_t at = view.out.find("\nkeldrun ");
    ASSERT_NE(at, std::string::npos) << view.out;
    std::istringstream command(view.out.substr(at + 1, view.out.find('\n', at + 1) - at - 1));
    std::vector<std::string> args;
    for (std::string w; command >> w;) args.push_back(w);
    args.back() = "-";
    const th::RunResult listed = th::run(args, dir.path());
    ASSERT_TRUE(listed.exited(0)) << listed.describe();
    std::string rows;
    for (size_t p = 0; (p = listed.out.find("\r", p)) != std::string::npos; p++)
      if (std::isdigit(static_cast<unsigned char>(listed.out[p + 1])))
        rows += listed.out.substr(p + 1, listed.out.find('\n', p) - p);
    const size_t first = view.out.find('\n', at + 1) + 1;
    EXPECT_EQ(view.out.substr(first, rows.size()), rows);
    // Each track from its music's start (a little before is fine: a fade-in
    // rises out of the hiss) to past its music's end (the fade-out sinks
    // into it), and no further than the next track's start.
    std::vector<std::pair<double, double>> listed_tracks;
    std::istringstream table(rows);
    for (std::string line; std::getline(table, line);)
      listed_tracks.push_back({seconds_at(line, line.find('\t') + 1),
                               seconds_at(line, line.find('\t', line.find('\t') + 1) + 1)});
    ASSERT_EQ(listed_tracks.size(), music.size()) << view.out;
    for (size_t i = 0; i < music.size(); i++) {
      const auto [start, end] = listed_tracks[i];
      EXPECT_GE(start, music[i].first - 0.3) << "track " << i + 1 << "\n" << view.out;
      EXPECT_LE(start, music[i].first + 0.2) << "track " << i + 1 << "\n" << view.out;
      EXPECT_GE(end, music[i].second - 0.3) << "track " << i + 1 << "\n" << view.out;
      if (i + 1 < music.size()) {
        EXPECT_LE(end, listed_tracks[i + 1].first) << "track " << i + 1;
      }
    }
  }
}

TEST(ViewAdvice, RefusesBadRequestsAndWritesNoPage) {
  const std::string side = th::wave(th::frames("t44100"));
  std::string mono = side;
  mono[22] = 1;  // one channel
  const struct {
    std::vector<std::string> args;
    std::string says;
  } cases[] = {
      {{"--tracks", "0", "side.wav"}, "--tracks \"0\""},
      {{"--tracks", "100", "side.wav"}, "--tracks \"100\""},
      {{"--tracks", "6x", "side.wav"}, "--tracks \"6x\""},
      {{"--tracks", "2", "--lengths", "1:00,2:00", "side.wav"}, "not both"},
      {{"--lengths", "3:05,4:7", "side.wav"}, "--lengths entry \"4:7\""},
      {{"--lengths", "3:05,,4:10", "side.wav"}, "--lengths entry \"\""},
      {{"mono.wav"}, "\nInvalid WAVE format. Must be 16-bit stereo 44100 Hz PCM.\n"},
      {{"none.wav"}, "\nFile not found.\n"},
      {{"/T", "0", "side.wav"}, "\nInvalid arguments.\n"},
  };
  for (const auto& c : cases) {
    th::TempDir dir;
    th::write_file(dir / "side.wav", side);
    th::write_file(dir / "mono.wav", mono);
    std::vector<std::string> argv = {"keldrun-view"};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    const th::RunResult r = th::run(argv, dir.path());
    EXPECT_TRUE(r.exited(1)) << r.describe();
    EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
    EXPECT_EQ(th::files_in(dir.path()).size(), 2u) << c.says;
  }
}

}  // namespace
