// The settings advisor: which settings give the tracks on the sleeve. What
// it finds is data: report.h makes the text of it, page.h the page's data.
#pragma once

#include <cstdint>
#include <optional>
#include <variant>
#include <vector>

#include "analysis.h"
#include "boundaries.h"

// What the user asked: keldrun's settings as keldrun settles them (the
// defaults where none are given), and the sleeve.
struct request {
  settings s;
  int tracks = 0;                // --tracks, 0 when not given
  std::vector<int64_t> lengths;  // --lengths, in frames
};

// What a listing gives, as one number: its rows, or one of these.
constexpr int no_sound = -1;    // "No tracks detected"
constexpr int over_99 = 100;    // "Too many tracks"
constexpr int unmodelled = -2;  // the model does not hold these settings

// A quiet stretch that ended a track or almost did.
struct stretch {
  enum kind_t { gap, short_silence, broken } kind;  // broken: by short bursts, at `clicks`
  int64_t start, stop;
  std::vector<int64_t> clicks = {};
};

// The thresholds a.levels[lo..hi], at one filter and gap, and the count of
// tracks each of them gives.
struct threshold_range {
  size_t lo = 0, hi = 0;
  int count = 0;
};

// One set of settings and the listing keldrun makes with it.
struct candidate {
  enum role_t { current, recommended, other } role = current;
  int count = 0;            // the tracks it was chosen for
  bool by_lengths = false;  // chosen for the sleeve's lengths
  settings s;               // settled: the cut never negative
  listing table;
  bool modelled = true;                   // the table is known: the model holds these settings
  bool verified = false;                  // the table came from the detector itself
  std::optional<threshold_range> margin;  // the thresholds that give the same count
  std::vector<stretch> gaps, near;
};

// Without --tracks or --lengths: the counts of tracks that stable ranges of
// thresholds give with the user's gap and filter.
struct survey {
  bool modelled = true;  // the user's gap is one the model holds
  size_t user = 0;       // the user's threshold, in a.levels
  std::vector<threshold_range> ranges;
  std::vector<threshold_range> edges;  // thresholds next to the user's, giving another count
};

// --tracks N, when no setting gives N tracks: the nearest counts that some
// do, and the places that decide them.
struct count_search {
  struct nearest_count {
    int candidate;
    // Fewer tracks: the quietest places inside its tracks (frame, level).
    std::vector<std::pair<int64_t, uint32_t>> quiet = {};
    // More tracks: the shortest silences it splits at.
    std::vector<stretch> shortest = {};
  };
  int n = 0;
  std::vector<nearest_count> nearest;
};

// A track end on the sleeve with no silence near it.
struct sleeve_end {
  int track;                         // the track it ends
  int64_t at;                        // where the sleeve's lengths put it
  std::optional<uint32_t> quietest;  // the loudest level of the quietest 0.5 s within 5 s
};

// --lengths: tracks of the recommendation far off the sleeve's lengths; or,
// when no setting gives the sleeve's tracks, why, at threshold `level`.
struct length_search {
  struct mismatch {
    int track;
    int64_t frames, sleeve;
  };
  std::vector<mismatch> mismatched;
  std::optional<size_t> level;  // in a.levels
  std::vector<sleeve_end> missing;
  std::vector<quiet_run> inside;  // passages inside songs as long as the shortest gap
  int64_t shortest_gap = 0;
};

struct no_audio {};

// The noise of a recording, measured once, where it is quietest: in the band
// the plans look at, and the detector's level there in dB (none in a
// recording shorter than half a second).
struct floor_level {
  noise band;
  std::optional<double> db;
};
floor_level measure_floor(const analysis& a, const envelope& e);

// How the tracks of keldrun's best settings fail to keep the music as a plan
// sees it: another count of tracks, or a track that starts after its song's
// first sound, ends before its last, or reaches into the next song.
struct music_lost {
  enum kind_t { no_setting, count, starts_late, ends_early, reaches_next } kind;
  int track = 0;       // 1-based; for `count`, keldrun's number of tracks
  int64_t frames = 0;  // by how much
  int64_t at = 0;      // where the music is lost: the song's first or last sound
};
// What the tracks of `keldrun` lose of the songs of plan `p`; none when they
// keep all of their music and none of their neighbours'.
std::optional<music_lost> loses_music(const listing& keldrun, const side_plan& p);

// --tracks or --lengths: the plan decided one boundary at a time, which
// keldrun-cut splits by when keldrun's settings would lose music.
struct cut_plan {
  side_plan sides;
  std::optional<music_lost>
      lost;               // what keldrun's best settings lose; none: keldrun is recommended
  listing table;          // keldrun-cut's rows for its labels
  bool verified = false;  // listed by keldrun-cut's own code over the recording
};

struct advice {
  std::vector<candidate> candidates;  // the current settings first
  int recommended = -1;               // the candidate to print, if any
  std::variant<no_audio, survey, count_search, length_search> found;
  floor_level floor;
  std::optional<cut_plan> plan;
  // Whether the recommendation is keldrun-cut with the plan's labels.
  bool cut() const { return plan && plan->lost; }
  candidate& shown() { return candidates[recommended >= 0 ? size_t(recommended) : 0]; }
  const candidate& shown() const { return candidates[recommended >= 0 ? size_t(recommended) : 0]; }
};

// The settings for the request, and with --tracks or --lengths the plan from
// the envelope `e` collected in the same pass.
advice advise(const analysis& a, const envelope& e, const request& r);

// The levels that matter, from the loudest window sums of the user's filter
// per 10 ms (a.env).
// The quietest stretch of music as long as the gap inside the tracks of `c`,
// away from their ends: its level, start and length in frames.
struct quiet_music {
  uint32_t level;
  int64_t at, frames;
};
std::optional<quiet_music> quietest_music(const analysis& a, const candidate& c);
// The loudest level of the 10-ms stretches wholly inside frames lo..hi.
uint32_t loudest(const analysis& a, int64_t lo, int64_t hi);
// dBFS of a per-frame level, floored at -100; of a level of a.env.
double to_db(double level);
double env_db(const analysis& a, uint32_t level);

// Where threshold `level` lies against the levels that matter: the noise
// floor `noise_db` (the floor_level's) and the quietest music of candidate `c`.
struct threshold_place {
  std::optional<double> noise_db;
  double threshold_db;
  std::optional<quiet_music> music;
  double music_db = -100;  // of `music`, when known
  bool below_floor = false, above_music = false;
};
threshold_place place_threshold(const analysis& a, std::optional<double> noise_db,
                                const candidate& c, uint32_t level);
