// keldrun-view's plans on keldrun-gen's sides: every track keeps all of its
// music and none of its neighbour's, to the frame.
#include "boundaries.h"

#include <gtest/gtest.h>

#include "analysis.h"
#include "core.h"
#include "helpers.h"
#include "sides.h"

namespace {

std::vector<std::pair<int64_t, int64_t>> tracks_of(const side_plan& p) {
  std::vector<std::pair<int64_t, int64_t>> tracks;
  for (const side_track& t : p.tracks) tracks.emplace_back(t.start, t.end);
  return tracks;
}

TEST(Boundaries, EveryTrackKeepsAllOfItsMusicAndNoneOfItsNeighbours) {
  for (const std::string& side : sides::all) {
    SCOPED_TRACE(side);
    th::TempDir dir;
    const std::vector<sides::song> songs = sides::generate(dir, side);
    // The one pass keldrun-view makes, with the envelope collected on the way.
    const recording rec = open_recording((dir / "side.wav").c_str());
    envelope e;
    analyse(rec.frames, {10, 200, 1000}, threshold_grid(), 13230, &e);
    close_recording();
    ASSERT_EQ(e.frames(), static_cast<int64_t>(rec.frames));

    // After a long gap a track begins a short lead before its music.
    constexpr int64_t lead = 44100;
    const noise floor = noise_floor(e);
    const side_plan sleeve = plan_for_lengths(e, floor, sides::sleeve(songs));
    EXPECT_EQ(sides::wrong_tracks(tracks_of(sleeve), songs, lead), "") << "--lengths";
    int joins = 0, said = 0;
    for (const sides::song& s : songs) joins += s.joined;
    for (const finding& f : sleeve.findings) said += f.kind == finding::no_silence;
    EXPECT_EQ(said, joins) << "--lengths: the joins named";
    const side_plan count = plan_for_count(e, floor, static_cast<int>(songs.size()));
    if (joins == 0) {
      EXPECT_EQ(sides::wrong_tracks(tracks_of(count), songs, lead), "") << "--tracks";
    } else {
      // No silence to find them by: it must say so, not split inside a song.
      bool unsure = !count.complete;
      for (const boundary& b : count.boundaries) unsure |= b.ambiguous;
      EXPECT_TRUE(unsure) << "--tracks on a side with joined songs";
    }
  }
}

}  // namespace
