// keldrun-gen's sides as a person meets them, with the layout of their
// music, and the judge of a split of them.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "helpers.h"

namespace sides {

struct song {
  int64_t from, to;  // its music, as keldrun-gen lays it out
  bool joined;       // runs straight into the next
};

// Quiet fade-ins and intros, long decays, short gaps, joined songs, pauses
// and soft passages, quiet preamps, crackle, rumble, digital silence and
// heavy hiss, lead-in and run-out grooves: keldrun-gen's options.
extern const std::vector<std::string> all;

// Makes the side of keldrun-gen `options` as `name` in `dir`; its songs.
std::vector<song> generate(const th::TempDir& dir, const std::string& options,
                           const std::string& name = "side.wav");
// The lengths a sleeve prints, in whole seconds (as frames).
std::vector<int64_t> sleeve(const std::vector<song>& songs);
// "m:ss,m:ss,..." of those lengths, for --lengths.
std::string sleeve_text(const std::vector<song>& songs);
// The tracks [start, end) that do not hold all of their song's music, or
// reach into a neighbour's, or begin after a gap more than `lead` frames
// before their music: "" when every track is right. Where two songs join,
// the cut lies within 15 ms of the join: the music is nothing at the join
// only, and rises on both sides over the notes' attack and release.
std::string wrong_tracks(const std::vector<std::pair<int64_t, int64_t>>& tracks,
                         const std::vector<song>& songs, int64_t lead = INT64_MAX);

}  // namespace sides
