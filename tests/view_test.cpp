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

// A side made of stretches: music at `amp` (a new track after each pause),
// or hiss between tracks; `tracks` gets each track's first and end frame.
struct piece {
  double seconds;
  int amp;
  bool music;
};
std::string make_side(const std::vector<piece>& pieces,
                      std::vector<std::pair<int64_t, int64_t>>& tracks) {
  std::mt19937 rng(3);
  std::string r;
  bool in_track = false;
  for (const piece& p : pieces) {
    if (p.music && !in_track) tracks.push_back({static_cast<int64_t>(r.size() / 4), 0});
    in_track = p.music;
    const int lo = p.music ? p.amp / 2 : -p.amp;
    for (int k = 0; k < static_cast<int>(p.seconds * 44100); k++) {
      auto one = [&] {
        return static_cast<int16_t>((lo + static_cast<int>(rng() % (p.amp - lo + 1))) *
                                    (rng() % 2 ? 1 : -1));
      };
      r += th::u16(static_cast<uint16_t>(one())) + th::u16(static_cast<uint16_t>(one()));
    }
    if (p.music) tracks.back().second = static_cast<int64_t>(r.size() / 4);
  }
  return th::wave(r);
}

TEST(ViewAdvice, RecommendsACommandThatListsTheTracksOfTheSide) {
  const piece hiss{1, 40, false}, pause{2, 40, false}, blip{0.6, 40, false}, song{8, 1000, true},
      loud{6, 8000, true}, long_loud{10, 8000, true}, soft{3, 300, true}, murmur{4, 44, true};
  // clang-format off
  const struct {
    const char* what;
    std::vector<piece> side;
    std::vector<std::string> ask;
    const char* says;  // null: the command must list the side's own tracks
  } cases[] = {
    {"quiet preamp, 1-s gaps", {hiss, song, hiss, song, hiss, song, hiss, song, hiss},
     {"--tracks", "4"}, nullptr},
    {"a quiet passage and a quiet intro",
     {hiss, loud, soft, loud, {1.5, 40, false}, soft, loud, hiss, loud, hiss}, {"--tracks", "3"}, nullptr},
    {"two songs without a gap", {hiss, song, song, pause, song, hiss}, {"--tracks", "3"},
     "No setting of /T, /G and /F gives exactly 3 tracks."},
    // A passage barely above the hiss, longer than a gap: only the sleeve's
    // lengths (2 s off, as sleeves are) tell which silences are gaps.
    {"a long passage near the hiss", {hiss, long_loud, murmur, long_loud, hiss, long_loud, blip, long_loud, hiss},
     {"--lengths", "0:26,0:08,0:10"}, nullptr},
    {"a silence inside a song, longer than a gap", {hiss, song, {2.5, 40, false}, song, pause, song, hiss},
     {"--lengths", "0:18,0:08"}, "inside a song, as long as the shortest gap"},
  };
  // clang-format on
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    th::TempDir dir;
    std::vector<std::pair<int64_t, int64_t>> known;
    th::write_file(dir / "side.wav", make_side(c.side, known));
    std::vector<std::string> argv = {"keldrun-view"};
    argv.insert(argv.end(), c.ask.begin(), c.ask.end());
    argv.push_back("side.wav");
    const th::RunResult view = th::run(argv, dir.path());
    ASSERT_TRUE(view.exited(0)) << view.describe();
    EXPECT_TRUE(std::filesystem::exists(dir / "side.html"));
    if (c.says) {
      EXPECT_NE(view.out.find(c.says), std::string::npos) << view.out;
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
    std::istringstream table(rows);
    size_t i = 0;
    for (std::string line; std::getline(table, line); i++) {
      ASSERT_LT(i, known.size()) << rows;
      int number, m1, s1, ms1, m2, s2, ms2;
      std::sscanf(line.c_str(), "%d\t%d:%d.%d\t%d:%d.%d", &number, &m1, &s1, &ms1, &m2, &s2, &ms2);
      const double start = m1 * 60 + s1 + ms1 / 1000.0, end = m2 * 60 + s2 + ms2 / 1000.0;
      EXPECT_NEAR(start, known[i].first / 44100.0 - 0.1, 0.11) << line;
      EXPECT_NEAR(end, known[i].second / 44100.0 + 0.5, 0.6) << line;
    }
    EXPECT_EQ(i, known.size()) << rows;
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
