// The one pass over a recording, and an exact model of the track finder for
// many settings at once.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "core.h"

class envelope;

// Steps `start` to `stop` - 1 silent, step `stop` sound again. `pre` and
// `post` are the loudest levels in the block of frame stop - filter up to
// that frame and after it: the partial blocks at the ends of a peak range.
struct quiet_run {
  int64_t start, stop;
  uint16_t pre, post;
  int64_t length() const { return stop - start; }
};

// What the pass found for one filter length and one threshold.
struct detection {
  int filter = 0;
  uint32_t level = 0;       // per-frame threshold, as /T gives it
  int64_t probe = -1;       // first sound step; -1 when there is none
  uint16_t probe_post = 0;  // as quiet_run::post, for frame probe - filter
  // After the probe, in order: every run of at least min_gap() steps that
  // sound ends (and some shorter ones); unless the analysis ran out of room
  // for them and let this setting's go (`complete` false).
  std::vector<quiet_run> runs;
  int64_t tail = -1;  // first step of a long silence that lasts to the end
  bool complete = true;
};

struct analysis {
  uint32_t declared = 0;  // frames, as the header declares them
  int64_t steps = 0;      // detector steps: the frames, plus one if the input ended early
  bool early_end = false;
  int64_t frames() const { return steps - (early_end ? 1 : 0); }  // whole frames read
  uint32_t block = 256;
  std::vector<int> filters;
  std::vector<std::string> texts;  // threshold switches, by rising level
  std::vector<uint32_t> levels;    // their per-frame levels
  std::vector<detection> found;    // per filter, then per threshold
  std::vector<uint16_t> block_max;
  std::vector<uint16_t> last;  // levels of the last frames
  // The user's filter: the loudest window sum per `column` frames, and per
  // 10 ms (441 frames).
  int filter = 0;
  uint32_t column = 0;
  std::vector<uint32_t> overview, env;
  uint32_t shortest = 0;  // the shortest silence kept
  int64_t min_gap() const {
    return std::max<int64_t>(2 * static_cast<int64_t>(block) - 1, shortest);
  }
  // Whether model_listing gives the listing of `d` with gap `gap`.
  bool models(const detection& d, uint32_t gap) const { return d.complete && gap >= min_gap(); }
  const detection& at(int filter, uint32_t level) const;
};

// Silences shorter than this are never kept: shorter ones would take blocks
// of a few frames (two bytes of block maxima per block) and could be
// countless. Settings with a shorter gap are not modelled.
constexpr uint32_t shortest_modelled = 441;  // 10 ms
// The runs kept for all settings together, at most: past it the setting
// with the most gives its runs up, again and again, so that memory stays
// bounded whatever the recording (a run takes 24 bytes).
constexpr size_t run_budget = size_t(1) << 19;

// The grid of thresholds the advisor tries, as switch texts.
std::vector<std::string> threshold_grid();
// Reads the data (the header read, `frames` declared) front to back once,
// for the filter lengths `filters` (the first is the user's), the thresholds
// `texts` and gaps of at least `shortest` frames (shortest_modelled at the
// least), keeping at most `budget` runs; gives `env` each chunk's frames.
analysis analyse(uint32_t frames, const std::vector<int>& filters,
                 const std::vector<std::string>& texts, uint32_t shortest, envelope* env = nullptr,
                 size_t budget = run_budget);
// The listing keldrun makes with these settings (gap >= min_gap()); the
// peaks are left at 0 unless asked for.
listing model_listing(const analysis& a, const detection& d, uint32_t gap, int32_t cut,
                      bool peaks = true);
