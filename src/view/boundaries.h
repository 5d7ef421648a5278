// Where each song of a recording begins and ends, decided one boundary at a
// time from its level in the band where music lies, so that every track
// keeps all of its music and none of its neighbour's.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// The level of a recording per 10 ms in the band where music lies, made
// during the one pass over the data from its frames. Each part of 49 frames
// (1.1 ms) is averaged, which takes out most of the hiss above the music's
// band; the change of that mean from part to part takes out the rumble
// below it; and the level of a stretch is the third quietest of its nine
// parts, so that a click (1 to 4 samples, in at most two parts) is not heard.
class envelope {
 public:
  static constexpr int64_t stretch = 441;  // frames: 10 ms
  static constexpr int64_t part = 49;      // frames: a ninth of a stretch
  // Takes the next `n` frames of the data (16-bit stereo, as in the file).
  void add(const unsigned char* frames, size_t n);
  int64_t frames() const { return frames_; }
  // Whole stretches taken.
  size_t size() const { return levels_.size(); }
  float level(size_t k) const { return levels_[k]; }
  // The level of the quietest part of stretch k, and the frame where it begins.
  float least(size_t k) const { return least_[k]; }
  int64_t quietest(size_t k) const { return static_cast<int64_t>(k) * stretch + at_[k] * part; }

 private:
  void end_part(int32_t l, int32_t r);  // the sums of a part's samples
  int64_t frames_ = 0;
  int32_t sum_l_ = 0, sum_r_ = 0, last_l_ = 0, last_r_ = 0;
  int64_t filled_ = 0;  // frames in the current part
  uint32_t parts_[9] = {};
  int done_ = 0;  // parts of the current stretch
  std::vector<float> levels_, least_;
  std::vector<uint8_t> at_;
};

// The noise of a recording, measured once on its quietest stretches: the
// gaps, the grooves, or digital silence.
struct noise {
  double level = 0;                // typical level of a silent stretch, in the envelope's units
  double spread = 0;               // how much it varies from stretch to stretch
  double power = 0;                // the mean square of its level
  size_t from = 0, stretches = 0;  // where it was measured: stretches [from, from + stretches)
  double db() const;               // dBFS, -100 for digital silence
};
noise noise_floor(const envelope& e);

// One boundary between two songs. Frames count from the first of the data.
struct boundary {
  int64_t heard_to = 0;         // the song before sinks into the noise here: the silence begins
  int64_t heard_from = 0;       // the song after rises out of it here: the silence ends
  int64_t last_sound = 0;       // where the song before has really ended, its decay heard out
  int64_t first_sound = 0;      // where the song after really begins, its fade-in drawn back
  int64_t cut = 0;              // where the one track ends and the next begins
  bool silent = true;           // false: the songs run into each other, cut at the quietest place
  double gap = 0;               // seconds of silence heard between them
  double depth_db = 0;          // how far the gap lies under the music around it
  int64_t expected = -1;        // --lengths: where the sleeve puts the song's end
  bool ambiguous = false;       // --tracks: a place left out looks as much like a gap
  std::vector<int64_t> rivals;  // --tracks: those places (their middles)
};

struct side_track {
  int64_t start = 0, end = 0;  // frames [start, end) of its file
  int64_t first_sound = 0, last_sound = 0;
  int64_t sleeve = -1;  // --lengths: its length on the sleeve, frames
};

// What a plan found that a person should hear about.
struct finding {
  enum kind_t {
    digital_silence,  // the gaps hold nothing at all
    noise_level,      // the gaps hold hiss or rumble at `db`
    no_silence,       // boundary `index` has no silence: cut at the quietest place `at`
    ambiguous,        // boundary `index` (cut at `at`) looks no more like a gap than `other`
    too_few_gaps,     // only `count` silences for `index` tracks
    length_differs,   // track `index` is `at` frames long, the sleeve says `other`
    lead_in,          // `seconds` before the first song are left out
    run_out,          // `seconds` from `at`, after the last song, are left out
  } kind;
  int index = 0;  // 1-based boundary (between tracks index and index + 1) or track
  int64_t at = 0, other = 0;
  double seconds = 0, db = 0;
  int count = 0;
};
// The finding as a sentence: where, what it is, what it means for the split.
std::string describe(const finding& f);

struct side_plan {
  noise floor;
  int64_t first_sound = 0, last_sound = 0;  // of the first and the last song
  std::vector<side_track> tracks;           // they abut: no frame between them is lost
  std::vector<boundary> boundaries;         // between track i and i + 1
  std::vector<finding> findings;
  bool complete = true;  // false: fewer tracks than asked
};

// The n tracks whose boundaries look most like the gaps between songs; `floor`
// is the recording's noise_floor, measured once.
side_plan plan_for_count(const envelope& e, const noise& floor, int n);
// The tracks of the lengths on the sleeve (frames), each boundary near
// where its running sum puts it.
side_plan plan_for_lengths(const envelope& e, const noise& floor,
                           const std::vector<int64_t>& lengths);
