#include "sides.h"

#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <sstream>

namespace sides {

const std::vector<std::string> all = {
    "--minutes 3 --tracks 4 --seed 1 --gaps 0.3,0.5,1 --fade 3 --decay 5 --hiss 0.02",
    "--minutes 3 --tracks 5 --seed 4 --gaps 0.3,0.4,0.6,1 --fade 2 --intro 1",
    "--minutes 4 --tracks 5 --seed 5 --gaps 0.5,0.5,0.5,0.5 --decay 6 --hiss 0",
    "--minutes 4 --tracks 5 --seed 6 --gaps 0.3,1,0.7,0.3 --pauses 3 --hiss 0.02",
    "--minutes 4 --tracks 5 --seed 7 --gaps 0.3,1,0.7,0.3 --soft 2 --hiss 0.02",
    "--minutes 4 --tracks 5 --seed 8 --gaps 0.3,1,0.7 --join 2 --pauses 2 --gain -30 --hiss 0",
    "--minutes 3 --tracks 4 --seed 9 --gaps 0.4,0.8,0.3 --gain -24 --crackle 50 --lead-in 5 "
    "--run-out 8",
    "--minutes 3 --tracks 4 --seed 14 --gaps 0.4,0.8,0.3 --rumble 0.02 --decay 3 --lead-in 3 "
    "--run-out 4",
    "--minutes 3 --tracks 4 --seed 3 --join 1,2,3 --hiss 0.02 --crackle 30",
    "--minutes 4 --tracks 5 --seed 11 --gaps 0.3,0.6,0.9 --join 3 --fade 3 --intro 2 --hiss 0.01 "
    "--gain -18 --rumble 0.005",
    "--minutes 3 --tracks 4 --seed 12 --gaps 1,1,1 --hiss 0 --crackle 20 --decay 4 --fade 2",
    "--minutes 5 --tracks 5 --seed 18 --gaps 0.35,0.45,0.55,0.65 --intro 2 --fade 2 --crackle 20 "
    "--rumble 0.01 --hiss 0.005",
    // An intro that jumps to the music's level after it is heard; a join
    // that only the silences on both sides place; a click in the run-out.
    "--minutes 3.12 --tracks 6 --seed 1003 --gaps 0.34,0.46,0.69,0.3,0.57 --intro 0.93 --pauses 2 "
    "--soft 2 --gain -27.4 --hiss 0.0068 --run-out 1.83",
    "--minutes 4.21 --tracks 5 --seed 1123 --gaps 0.48,0.77 --join 2,4 --fade 1.78 --intro 1.01 "
    "--decay 1.75 --pauses 1 --gain -20.3 --crackle 41.5 --lead-in 3.44 --run-out 3.2",
    "--minutes 3.18 --tracks 5 --seed 5143 --gaps 0.91,0.95,0.75,0.55 --hiss 0.0103 --lead-in 2.61 "
    "--run-out 3.83",
    // A quiet intro fading in under heavy hiss after a fade-out; rumble
    // swelling in the gap after a long decay; a join placed to the
    // millisecond; a decay at a quiet preamp broken by a flicker, where only
    // the song after it tells which silence is the gap.
    "--minutes 3.17 --tracks 4 --seed 1203 --gaps 0.79,0.47,0.32 --fade 2.23 --intro 1.95 "
    "--pauses 2 --soft 2 --gain -13.4 --hiss 0.0185 --crackle 25.5",
    "--minutes 2.32 --tracks 3 --seed 5115 --gaps 0.37,0.75 --decay 5.37 --pauses 3 --soft 2 "
    "--rumble 0.0185 --run-out 3.09",
    "--minutes 3.76 --tracks 5 --seed 1186 --gaps 0.32,0.84 --join 2,3 --fade 0.66 --pauses 1 "
    "--rumble 0.004 --run-out 3.17",
    "--minutes 3.26 --tracks 5 --seed 5030 --gaps 0.46,0.89,0.51,0.7 --decay 5.56 --pauses 0 "
    "--gain -25.5 --rumble 0.0108 --lead-in 1.12 --run-out 0.47",
    // Gaps of 3 and 2 seconds before quiet intros fading in under heavy
    // hiss, one of them unheard for almost a second.
    "--minutes 2.5 --tracks 4 --seed 51 --gaps 3,0.5,2 --fade 2.5 --intro 1 --hiss 0.02",
};

std::vector<song> generate(const th::TempDir& dir, const std::string& options,
                           const std::string& name) {
  std::istringstream words(options + " --layout --out");
  std::vector<std::string> argv(std::istream_iterator<std::string>(words), {});
  argv.insert(argv.begin(), "keldrun-gen");
  argv.push_back(name);
  const th::RunResult gen = th::run(argv, dir.path());
  EXPECT_TRUE(gen.exited(0)) << gen.describe();
  std::vector<song> songs;
  std::istringstream layout(gen.err);
  long long from, to;
  for (std::string line; std::getline(layout, line);)
    if (std::sscanf(line.c_str(), "track %*d: frames %lld to %lld", &from, &to) == 2)
      songs.push_back({from, to, line.find("joined") != std::string::npos});
  return songs;
}

std::vector<int64_t> sleeve(const std::vector<song>& songs) {
  std::vector<int64_t> lengths;
  for (const song& s : songs) lengths.push_back((s.to - s.from + 22050) / 44100 * 44100);
  return lengths;
}

std::string sleeve_text(const std::vector<song>& songs) {
  std::string text;
  char entry[48];
  for (const int64_t frames : sleeve(songs)) {
    const long long s = frames / 44100;
    std::snprintf(entry, sizeof entry, "%s%lld:%02lld", text.empty() ? "" : ",", s / 60, s % 60);
    text += entry;
  }
  return text;
}

std::string wrong_tracks(const std::vector<std::pair<int64_t, int64_t>>& tracks,
                         const std::vector<song>& songs, int64_t lead) {
  if (tracks.size() != songs.size()) return std::to_string(tracks.size()) + " tracks";
  constexpr int64_t join_tolerance = 662;
  std::string wrong;
  const auto near = [](int64_t x, int64_t y) { return std::llabs(x - y) <= join_tolerance; };
  for (size_t i = 0; i < songs.size(); i++) {
    const auto [start, end] = tracks[i];
    const song& s = songs[i];
    const bool starts =
        i > 0 && songs[i - 1].joined
            ? near(start, s.from)
            : start <= s.from && (i == 0 || (start >= songs[i - 1].to && s.from - start <= lead));
    const bool ends = s.joined ? near(end, s.to)
                               : end >= s.to && (i + 1 == songs.size() || end <= songs[i + 1].from);
    if (!starts || !ends)
      wrong += " track " + std::to_string(i + 1) + " [" + std::to_string(start) + ", " +
               std::to_string(end) + ") for music [" + std::to_string(s.from) + ", " +
               std::to_string(s.to) + ")";
  }
  return wrong;
}

}  // namespace sides
