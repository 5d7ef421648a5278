// The settings advisor: which settings give the tracks on the sleeve.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "analysis.h"

// What the user asked: the settings given (or the defaults) and the sleeve.
struct request {
  int filter = 10;
  std::string threshold = "0.05", gap = "2", cut;  // as typed; no cut: as long as the gap
  int tracks = 0;                                  // --tracks, 0 when not given
  std::vector<int64_t> lengths;                    // --lengths, in frames
  std::string input;                               // the input as named, for commands
};

// A quiet stretch that ended a track or almost did; `clicks` are the frames
// of the short bursts that broke it.
struct stretch {
  int64_t start, stop;
  std::string why;
  std::vector<int64_t> clicks;
};

// One set of settings and the listing keldrun makes with it.
struct candidate {
  std::string label;
  int filter = 10;
  uint32_t level = 0, gap = 0;
  int32_t cut = 0;
  std::string t, g, c;  // the switches; no c: as long as the gap
  listing table;
  bool verified = false;  // the table came from the detector itself
  std::string note;       // the margins of these settings
  std::vector<stretch> gaps, near;
};

struct advice {
  double noise_db = -100, music_db = -100;
  std::vector<candidate> candidates;
  int recommended = -1;  // the candidate to print, if any
  std::string report;    // levels and findings, printed first
};

advice advise(const analysis& a, const request& r);
// "keldrun /T x /G y /C z /F f infile TRACK", leaving out default switches.
std::string command(const candidate& c, const std::string& infile);
// The candidate's switches, all four.
std::string switches(const candidate& c);
// dBFS of a per-frame level, floored at -100.
double to_db(double level);
