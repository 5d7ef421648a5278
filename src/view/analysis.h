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
  // sound ends (and some shorter ones).
  std::vector<quiet_run> runs;
  int64_t tail = -1;  // first step of a long silence that lasts to the end
};

struct analysis {
  int64_t steps = 0;  // detector steps: the frames, plus one if the input ended early
  bool early_end = false;
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
  const detection& at(int filter, uint32_t level) const;
};

// The grid of thresholds the advisor tries, as switch texts.
std::vector<std::string> threshold_grid();
// Reads the data (the header read, `frames` declared) front to back once,
// for the filter lengths `filters` (the first is the user's), the thresholds
// `texts` and gaps of at least `shortest` frames; gives `env` each chunk's
// frames.
analysis analyse(uint32_t frames, const std::vector<int>& filters,
                 const std::vector<std::string>& texts, uint32_t shortest, envelope* env = nullptr);
// The listing keldrun makes with these settings (gap >= min_gap()); the
// peaks are left at 0 unless asked for.
listing model_listing(const analysis& a, const detection& d, uint32_t gap, int32_t cut,
                      bool peaks = true);
