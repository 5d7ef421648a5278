// keldrun-gen: writes a synthetic record side as a 16-bit stereo 44100 Hz
// WAVE file, for the demo, the tests and the benchmarks.
//
// The side is: optional lead-in groove, then N tracks of music-like sound
// separated by gaps of hiss, then optional run-out groove. Music is made of
// notes with several harmonic partials under slow amplitude envelopes, in
// three voices; hiss runs under everything; single-sample clicks fall
// anywhere outside the grooves, and the grooves tick once per revolution.
// Options add what real sides have besides: gaps of their own lengths or
// none, quiet intros, pauses and soft passages, long decays, a preamp's
// gain, crackle and rumble.
// Everything after the layout is integer arithmetic driven by seeded
// generators, so the same options give the same bytes on any machine.
#include <unistd.h>
#ifdef _WIN32
#include <fcntl.h>  // _setmode: the side goes out as bytes, not as text
#include <io.h>
#endif

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "wave.h"

namespace {

constexpr int64_t rate = 44100;

const char help_text[] =
    "Usage: keldrun-gen [OPTION]...\n"
    "Writes a synthetic record side: a 16-bit stereo 44100 Hz WAVE file of\n"
    "music-like tracks separated by quiet gaps with hiss and clicks.\n"
    "The same options always give the same bytes.\n"
    "\n"
    "  --minutes M     length of the side in minutes (decimals allowed), default 3\n"
    "  --tracks N      number of tracks, default 4; 0 gives a side without music\n"
    "  --seed S        seed of every random choice, default 1\n"
    "  --gap SECONDS   length of each gap between tracks, default 3.0\n"
    "  --lead-in SECONDS   groove noise before the first track, default 0\n"
    "  --run-out SECONDS   groove noise after the last track, default 0\n"
    "  --level L       loudness of the music, 0.1 to 0.9 of full scale, default 0.6\n"
    "  --hiss L        peak of the hiss, 0 to 0.02 of full scale, default 0.01\n"
    "  --clicks N      clicks per minute outside the grooves, default 20\n"
    "  --gaps LIST     lengths of the first gaps in seconds, comma-separated\n"
    "                  (e.g. 1,3,2.5); the gaps after them are --gap long\n"
    "  --join LIST     boundaries without a gap: --join 3 runs track 3 straight\n"
    "                  into track 4, with no fade, decay or intro between\n"
    "  --gain DB       preamp gain on everything, -60 to 24 dB, clipped at full\n"
    "                  scale\n"
    "  --pauses N      quiet passages in each track, 0 to 20: 0.6 to 2.5 s at 1/30\n"
    "                  of the music\n"
    "  --soft N        soft passages in each track, 0 to 10: 3 to 8 s at 1/10 of\n"
    "                  the music, each in a slot of its own like the pauses\n"
    "  --decay SECONDS each track ends in its last notes ringing on for SECONDS,\n"
    "                  0 to 60, falling exponentially to about -72 dBFS, then\n"
    "                  silence; the decay replaces the fade-out, belongs to the\n"
    "                  track and comes before its gap; no decay where tracks join\n"
    "  --fade SECONDS  fade-in and fade-out of each track (at most half of it);\n"
    "                  by default each track gets its own, of 0.5 to 3 s\n"
    "  --intro SECONDS quiet intro at 1/20 of the music at each track's start\n"
    "  --crackle N     crackle everywhere: N clicks a second, 1 to 4 samples long,\n"
    "                  peaks 0.05 to 0.5 of full scale\n"
    "  --rumble L      rumble of 3 to 30 Hz under everything, peak L, 0 to 0.5\n"
    "  --layout        once the side is written, print on standard error, in frames\n"
    "                  and seconds, where each track's music lies (\"track N: frames\n"
    "                  A to B\": A is the first frame and B one past the last where\n"
    "                  the music, before the preamp's gain and all noise, is not\n"
    "                  zero; \", joined to the next\" where no gap follows), where\n"
    "                  each decay begins (it ends at B), and the held part of each\n"
    "                  pause and soft passage\n"
    "  --out FILE      write to FILE; \"-\" or none writes to standard output\n"
    "  --help          show this text and exit\n"
    "\n"
    "Gaps of 2.5 s or more are found as gaps by keldrun's default settings, so\n"
    "  keldrun-gen --minutes 3 --tracks 4 --out side.wav && keldrun side.wav -\n"
    "lists 4 tracks. Tracks get lengths between 0.7 and 1.3 times the average\n"
    "and need at least 4 s of music each. Clicks peak at 0.35 of full scale and\n"
    "are a single sample long.\n";

[[noreturn]] void fail(const std::string& what) {
  std::fprintf(stderr, "keldrun-gen: %s\n", what.c_str());
  std::exit(1);
}

[[noreturn]] void bad_usage(const std::string& what) {
  std::fprintf(stderr, "keldrun-gen: %s\nTry 'keldrun-gen --help'.\n", what.c_str());
  std::exit(2);
}

// Small, fast and fully specified, so that a seed means the same everywhere.
struct SplitMix {
  uint64_t s;
  uint64_t next() {
    uint64_t z = (s += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  // Uniform in [0, n).
  int64_t below(int64_t n) { return static_cast<int64_t>(next() % static_cast<uint64_t>(n)); }
  // Uniform in [lo, hi], in frames or any other integer unit.
  int64_t between(int64_t lo, int64_t hi) { return lo + below(hi - lo + 1); }
};

struct Options {
  double minutes = 3;
  long tracks = 4;
  uint64_t seed = 1;
  double gap = 3.0;
  double lead_in = 0;
  double run_out = 0;
  double level = 0.6;
  double hiss = 0.01;
  double clicks = 20;
  std::vector<double> gaps;  // lengths of the first gaps, seconds
  std::vector<long> join;    // boundaries without a gap, 1-based
  double gain_db = 0;
  long pauses = 0;
  long soft = 0;
  double decay = 0;
  double fade = -1;  // seconds; below 0, each track gets its own
  double intro = 0;
  double crackle = 0;
  double rumble = 0;
  bool layout = false;
  std::string out = "-";
};

double number(const std::string& opt, const char* text, double lo, double hi) {
  char* end = nullptr;
  errno = 0;
  const double v = std::strtod(text, &end);
  if (end == text || *end != 0 || errno != 0 || !(v >= lo && v <= hi)) {
    char range[64];
    std::snprintf(range, sizeof range, "from %g to %g", lo, hi);
    bad_usage(opt + " wants a number " + range + ", not '" + text + "'");
  }
  return v;
}

// A comma-separated list of numbers, each checked as by number().
std::vector<double> numbers(const std::string& opt, const std::string& text, double lo, double hi) {
  std::vector<double> list;
  for (size_t at = 0;;) {
    const size_t comma = std::min(text.find(',', at), text.size());
    list.push_back(number(opt, text.substr(at, comma - at).c_str(), lo, hi));
    if (comma == text.size()) return list;
    at = comma + 1;
  }
}

bool whole(double v) {
  return v == std::floor(v);
}

Options parse(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; i++) {
    std::string opt = argv[i];
    std::string value;
    bool inline_value = false;
    if (const size_t eq = opt.find('='); opt.rfind("--", 0) == 0 && eq != std::string::npos) {
      value = opt.substr(eq + 1);
      opt = opt.substr(0, eq);
      inline_value = true;
    }
    if (opt == "--help" || opt == "-h") {
      std::fputs(help_text, stdout);
      std::exit(0);
    }
    if (opt == "--layout") {
      o.layout = true;
      continue;
    }
    static const char* const valued[] = {
        "--minutes", "--tracks",  "--seed",   "--gap",  "--lead-in", "--run-out", "--level",
        "--hiss",    "--clicks",  "--gaps",   "--join", "--gain",    "--pauses",  "--fade",
        "--intro",   "--crackle", "--rumble", "--out",  "--soft",    "--decay"};
    if (std::find_if(std::begin(valued), std::end(valued),
                     [&](const char* v) { return opt == v; }) == std::end(valued))
      bad_usage("unknown option '" + opt + "'");
    if (!inline_value) {
      if (i + 1 >= argc) bad_usage(opt + " needs a value");
      value = argv[++i];
    }
    const char* v = value.c_str();
    if (opt == "--minutes") o.minutes = number(opt, v, 0, 400);
    if (opt == "--tracks") o.tracks = static_cast<long>(number(opt, v, 0, 10000));
    if (opt == "--seed") o.seed = static_cast<uint64_t>(number(opt, v, 0, 9007199254740992.0));
    if (opt == "--gap") o.gap = number(opt, v, 0, 3600);
    if (opt == "--lead-in") o.lead_in = number(opt, v, 0, 3600);
    if (opt == "--run-out") o.run_out = number(opt, v, 0, 3600);
    if (opt == "--level") o.level = number(opt, v, 0.1, 0.9);
    if (opt == "--hiss") o.hiss = number(opt, v, 0, 0.02);
    if (opt == "--clicks") o.clicks = number(opt, v, 0, 600);
    if (opt == "--gaps") o.gaps = numbers(opt, value, 0, 3600);
    if (opt == "--join") {
      o.join.clear();
      for (const double j : numbers(opt, value, 1, 9999)) {
        if (!whole(j)) bad_usage("--join wants whole numbers, not '" + value + "'");
        o.join.push_back(static_cast<long>(j));
      }
    }
    if (opt == "--gain") o.gain_db = number(opt, v, -60, 24);
    if (opt == "--pauses") o.pauses = static_cast<long>(number(opt, v, 0, 20));
    if (opt == "--soft") o.soft = static_cast<long>(number(opt, v, 0, 10));
    if (opt == "--decay") o.decay = number(opt, v, 0, 60);
    if (opt == "--fade") o.fade = number(opt, v, 0, 60);
    if (opt == "--intro") o.intro = number(opt, v, 0, 60);
    if (opt == "--crackle") o.crackle = number(opt, v, 0, 2000);
    if (opt == "--rumble") o.rumble = number(opt, v, 0, 0.5);
    if (opt == "--out") o.out = value;
    if ((opt == "--tracks" || opt == "--pauses" || opt == "--soft") &&
        !whole(std::strtod(v, nullptr)))
      bad_usage(opt + " wants a whole number, not '" + value + "'");
  }
  // A boundary is joined once; the gaps listed are the ones left between tracks.
  std::sort(o.join.begin(), o.join.end());
  o.join.erase(std::unique(o.join.begin(), o.join.end()), o.join.end());
  if (!o.join.empty() && o.join.back() >= o.tracks)
    bad_usage("--join " + std::to_string(o.join.back()) + " needs a track after track " +
              std::to_string(o.join.back()));
  const long gaps = std::max(0L, o.tracks - 1) - static_cast<long>(o.join.size());
  if (static_cast<long>(o.gaps.size()) > gaps)
    bad_usage("--gaps lists more than the side's " + std::to_string(gaps) + " gaps");
  return o;
}

int64_t frames_of(double seconds) {
  return std::llround(seconds * rate);
}

// One period of a sine, in Q15.
struct SineTable {
  static constexpr int bits = 11;
  static constexpr int size = 1 << bits;
  int32_t v[size];
  SineTable() {
    for (int i = 0; i < size; i++)
      v[i] = static_cast<int32_t>(std::lround(32767.0 * std::sin(6.283185307179586 * i / size)));
  }
};
const SineTable sine;

// 2^(-i/256), Q30: a decay's gain, in 256 steps a halving.
struct HalvingTable {
  int32_t v[256];
  HalvingTable() {
    for (int i = 0; i < 256; i++)
      v[i] = static_cast<int32_t>(std::lround(1073741824.0 * std::exp2(-i / 256.0)));
  }
};
const HalvingTable halving;

// Equal-tempered semitone ratios, written out so that no library function
// can shift a note's pitch by one step of the phase accumulator.
constexpr double semitone[12] = {1.0,
                                 1.0594630943592953,
                                 1.122462048309373,
                                 1.189207115002721,
                                 1.2599210498948732,
                                 1.3348398541700344,
                                 1.4142135623730951,
                                 1.4983070768766815,
                                 1.5874010519681994,
                                 1.6817928305074290,
                                 1.7817974362806785,
                                 1.8877486253633868};

// A note: a harmonic tone with an attack, a slow decay and a release.
struct Note {
  int64_t start, attack_end, decay_end, end;  // frames
  int32_t peak, sustain;                      // envelope, Q15
  int32_t pan_left, pan_right;                // Q15
  uint32_t step;                              // phase increment per frame
  int32_t partial[5];                         // amplitude of harmonic k + 1, Q15
  int partials;
  bool ring;  // holds its sustain to the end, where its track decays
};

struct Track {
  int64_t start, end;  // frames of its music, fades, intro and decay included
  int64_t fade_in, fade_out;
  int64_t decay = 0;  // frames at its end where its last notes ring on
  int64_t fall = 0;   // halvings of their gain over the decay, Q24
};

// A stretch where a track's music is turned down to `level` (Q15): it
// ramps down over the ramp_in frames before `from`, holds until `to`, and
// ramps back up over the ramp_out frames after.
struct Dip {
  int64_t from, to;
  int64_t ramp_in, ramp_out;
  int32_t level;
  size_t track;
  enum { intro, pause, soft } kind;
};

// A note being played, with its waveform built once.
struct Voice {
  const Note* note;
  uint32_t phase;
  std::vector<int16_t> wave;
};

void build_wave(Voice& v) {
  const Note& n = *v.note;
  v.wave.assign(SineTable::size, 0);
  for (int i = 0; i < SineTable::size; i++) {
    int64_t s = 0;
    for (int k = 0; k < n.partials; k++)
      s += static_cast<int64_t>(n.partial[k]) * sine.v[(i * (k + 1)) & (SineTable::size - 1)];
    v.wave[static_cast<size_t>(i)] = static_cast<int16_t>(s >> 15);
  }
}

// Envelope of a note at frame t, Q15.
int32_t envelope(const Note& n, int64_t t) {
  if (t < n.attack_end)
    return static_cast<int32_t>(n.peak * (t - n.start) / (n.attack_end - n.start));
  if (t < n.decay_end)
    return static_cast<int32_t>(n.peak - (n.peak - n.sustain) * (t - n.attack_end) /
                                             (n.decay_end - n.attack_end));
  if (n.ring) return n.sustain;
  return static_cast<int32_t>(n.sustain * (n.end - t) / (n.end - n.decay_end));
}

// Adds the note's frames [from, to) into the mix, whose frame 0 is `base`.
// The envelope is exact at every 64th frame and linear in between, which
// keeps the per-frame work to a few integer operations.
void render(Voice& v, int64_t from, int64_t to, int64_t base, int32_t* left, int32_t* right) {
  const Note& n = *v.note;
  constexpr uint32_t shift = 32 - SineTable::bits;
  for (int64_t t = from; t < to;) {
    const int64_t stop = std::min(to, t + 64);
    const int32_t e0 = envelope(n, t), e1 = envelope(n, stop);
    const int32_t len = static_cast<int32_t>(stop - t);
    // The envelope in Q16 steps, so that no frame needs a division.
    const int32_t de = ((e1 - e0) * 65536) / len;
    int32_t e = e0 * 65536;
    const int16_t* wave = v.wave.data();
    int32_t* l = left + (t - base);
    int32_t* r = right + (t - base);
    // Locals, since the mix could alias the note as far as the compiler knows.
    const int32_t pan_left = n.pan_left, pan_right = n.pan_right;
    const uint32_t step = n.step;
    uint32_t phase = v.phase;
    for (int32_t j = 0; j < len; j++, e += de) {
      const int32_t s = (wave[phase >> shift] * (e >> 16)) >> 15;
      phase += step;
      l[j] += (s * pan_left) >> 15;
      r[j] += (s * pan_right) >> 15;
    }
    v.phase = phase;
    t = stop;
  }
}

struct Side {
  int64_t frames = 0;
  int64_t lead_in = 0, run_out_start = 0;
  std::vector<Track> tracks;
  std::vector<Dip> dips;    // sorted by from
  std::vector<Note> notes;  // sorted by start
};

// A decay ends where the ringing notes could sum to this much at most: 8 of
// full scale's 32768 (-72 dBFS), little enough to sound like the end of
// a natural decay, and enough that the music stays above zero (both
// channels rarely cross zero together) until its last frame.
constexpr int64_t decay_tail = 8;

// Whether track `boundary` runs straight into the next one (1-based).
bool joined(const Options& o, long boundary) {
  return std::binary_search(o.join.begin(), o.join.end(), boundary);
}

// Gaps between tracks, frames: as listed, then the uniform default, and
// none where two tracks are joined.
std::vector<int64_t> plan_gaps(const Options& o) {
  std::vector<int64_t> gaps;
  size_t listed = 0;
  for (long b = 1; b < o.tracks; b++)
    if (joined(o, b))
      gaps.push_back(0);
    else
      gaps.push_back(frames_of(listed < o.gaps.size() ? o.gaps[listed++] : o.gap));
  return gaps;
}

// Quiet intros, pauses and soft passages, from their own generator so that
// the music stays the same with or without them.
void plan_dips(const Options& o, Side& side) {
  const int64_t ramp = rate / 20;
  SplitMix rng{o.seed ^ 0xD1BBull};
  const long passages = o.pauses + o.soft;
  for (size_t i = 0; i < side.tracks.size(); i++) {
    const Track& tr = side.tracks[i];
    const int64_t body_end = tr.end - tr.decay;
    const int64_t intro = joined(o, static_cast<long>(i))
                              ? 0
                              : std::min(frames_of(o.intro), (body_end - tr.start) / 2);
    if (intro > 0)
      side.dips.push_back({tr.start, tr.start + intro, 0, ramp, 32768 / 20, i, Dip::intro});
    if (passages == 0) continue;
    // Each passage gets a slot of its own, clear of the intro, the fades and
    // the decay, each slot long enough for the longest kind's shortest.
    const int64_t lo = tr.start + std::max(tr.fade_in, intro + ramp) + rate / 2;
    const int64_t hi = body_end - tr.fade_out - rate / 2;
    const int64_t slot = (hi - lo) / passages;
    if (slot - 2 * ramp < (o.soft > 0 ? rate * 3 : rate * 3 / 5)) {
      std::string what = std::to_string(o.pauses) + " pauses";
      if (o.soft > 0)
        what = std::to_string(o.soft) + " soft passages" + (o.pauses > 0 ? " and " + what : "");
      fail("too short for " + what + " in track " + std::to_string(i + 1));
    }
    for (long k = 0; k < passages; k++) {
      // The soft passages spread evenly among the pauses.
      const bool soft = (k + 1) * o.soft / passages != k * o.soft / passages;
      const int64_t room = slot - 2 * ramp;
      const int64_t dur = soft ? rng.between(rate * 3, std::min(rate * 8, room))
                               : rng.between(rate * 3 / 5, std::min(rate * 5 / 2, room));
      const int64_t at = lo + k * slot + ramp + rng.below(room - dur + 1);
      side.dips.push_back({at, at + dur, ramp, ramp, soft ? 32768 / 10 : 32768 / 30, i,
                           soft ? Dip::soft : Dip::pause});
    }
  }
}

Side plan(const Options& o) {
  Side side;
  side.frames = frames_of(o.minutes * 60);
  if (side.frames * 4 > 0xFFFFFFFFll - 36) fail("a side that long does not fit a WAVE file");
  side.lead_in = frames_of(o.lead_in);
  side.run_out_start = side.frames - frames_of(o.run_out);
  const std::vector<int64_t> gap = plan_gaps(o);
  int64_t gaps = 0;
  for (const int64_t g : gap) gaps += g;
  const int64_t music = side.run_out_start - side.lead_in - gaps;
  if (o.tracks > 0 && music <= 0) fail("the gaps and grooves leave no room for music");
  if (o.tracks == 0 && side.run_out_start < side.lead_in)
    fail("the lead-in and run-out are longer than the side");

  SplitMix rng{o.seed};
  // Track lengths vary between 0.7 and 1.3 times the average.
  std::vector<int64_t> weight(static_cast<size_t>(o.tracks));
  int64_t total = 0;
  for (auto& w : weight) total += w = rng.between(700, 1300);
  int64_t t = side.lead_in, used = 0, acc = 0;
  for (long i = 0; i < o.tracks; i++) {
    acc += weight[static_cast<size_t>(i)];
    const int64_t len = music * acc / total - used;  // the lengths add up exactly
    used += len;
    // Joined tracks run into each other without a fade (or an intro, or a
    // decay); a decay replaces the fade-out.
    const int64_t decay = joined(o, i + 1) ? 0 : frames_of(o.decay), body = len - decay;
    Track tr{t, t + len, std::min(body / 4, rng.between(rate / 2, rate * 3 / 2)),
             std::min(body / 4, rng.between(rate, rate * 3)), decay};
    if (o.fade >= 0) tr.fade_in = tr.fade_out = std::min(body / 2, frames_of(o.fade));
    if (joined(o, i)) tr.fade_in = 0;
    if (joined(o, i + 1) || decay > 0) tr.fade_out = 0;
    side.tracks.push_back(tr);
    if (i + 1 < o.tracks) t += len + gap[static_cast<size_t>(i)];
  }
  for (const Track& tr : side.tracks)
    if (tr.end - tr.decay - tr.start < 4 * rate)
      fail("too short for " + std::to_string(o.tracks) +
           " tracks: each needs at least 4 s of music besides the gaps" +
           (o.decay > 0 ? ", grooves and decays" : " and grooves"));

  const int32_t level = static_cast<int32_t>(std::lround(o.level * 32767));
  for (Track& tr : side.tracks) {
    const int32_t gain = static_cast<int32_t>(level * rng.between(70, 100) / 100);
    const int key = static_cast<int>(rng.below(12));
    static const int scale[5] = {0, 2, 4, 7, 9};  // pentatonic
    // Bass, middle and lead voices: lower voices play longer, louder notes.
    static const struct {
      int octave;
      int64_t shortest, longest;  // ms
      int32_t weight;             // share of the track's gain, percent
      int32_t pan;                // percent to the left
    } voices[3] = {{0, 900, 2600, 45, 50}, {1, 450, 1600, 33, 35}, {2, 220, 1000, 22, 68}};
    const int64_t body_end = tr.end - tr.decay;
    const size_t first_note = side.notes.size();
    for (const auto& vc : voices) {
      for (int64_t at = tr.start; at < body_end;) {
        const int64_t dur = rng.between(vc.shortest, vc.longest) * rate / 1000;
        Note n{};
        n.start = at;
        // Each note rings on into the next one, so the voice never falls
        // silent; those still sounding where the decay begins ring to its end.
        n.ring = tr.decay > 0 && at + dur + dur * 3 / 10 > body_end;
        n.end = n.ring ? tr.end : std::min(tr.end, at + dur + dur * 3 / 10);
        n.attack_end =
            std::min(n.end - 2, at + std::min(dur / 3, rng.between(rate / 50, rate / 4)));
        n.decay_end = std::min(n.end - 1, at + dur);
        n.attack_end = std::max(n.attack_end, n.start + 1);
        n.decay_end = std::max(n.decay_end, n.attack_end + 1);
        if (n.end <= n.decay_end) n.end = n.decay_end + 1;
        n.peak = gain * vc.weight / 100;
        n.sustain = static_cast<int32_t>(n.peak * rng.between(50, 85) / 100);
        const int32_t pan = vc.pan + static_cast<int32_t>(rng.between(-15, 15));
        n.pan_left = 32767 * pan / 100 * 2 > 32767 ? 32767 : 32767 * pan / 100 * 2;
        n.pan_right = 32767 * (100 - pan) / 100 * 2 > 32767 ? 32767 : 32767 * (100 - pan) / 100 * 2;
        const int pitch = key + scale[rng.below(5)] + 12 * vc.octave;
        const double hz = 55.0 * (1 << (pitch / 12)) * semitone[pitch % 12];
        n.step = static_cast<uint32_t>(std::llround(hz / rate * 4294967296.0));
        n.partials = static_cast<int>(rng.between(3, 5));
        // Partials fall off about as 1/k, each varied, then scaled to sum to 1.
        int32_t raw[5], sum = 0;
        for (int k = 0; k < n.partials; k++)
          sum += raw[k] = static_cast<int32_t>(rng.between(600, 1000) / (k + 1));
        for (int k = 0; k < n.partials; k++) n.partial[k] = 32767 * raw[k] / sum;
        side.notes.push_back(n);
        at += dur;
      }
    }
    // The decay brings the sum of the ringing notes, a bound of the music,
    // down to decay_tail at the decay's last frame.
    int64_t ringing = 0;
    for (size_t k = first_note; k < side.notes.size(); k++)
      if (side.notes[k].ring) ringing += envelope(side.notes[k], tr.end - 1);
    if (ringing > decay_tail)
      tr.fall = std::llround(std::log2(static_cast<double>(ringing) / decay_tail) * (1 << 24));
  }
  std::stable_sort(side.notes.begin(), side.notes.end(),
                   [](const Note& a, const Note& b) { return a.start < b.start; });
  plan_dips(o, side);
  return side;
}

// Track fades, applied to the music only: hiss and clicks stay as they are.
void fade(const Side& side, int64_t base, int64_t count, int32_t* left, int32_t* right) {
  for (const Track& tr : side.tracks) {
    if (tr.end <= base || tr.start >= base + count) continue;
    for (int64_t t = std::max(base, tr.start); t < std::min(base + count, tr.start + tr.fade_in);
         t++) {
      const int64_t g = (t - tr.start) * 32768 / tr.fade_in;
      left[t - base] = static_cast<int32_t>(left[t - base] * g >> 15);
      right[t - base] = static_cast<int32_t>(right[t - base] * g >> 15);
    }
    for (int64_t t = std::max(base, tr.end - tr.fade_out); t < std::min(base + count, tr.end);
         t++) {
      const int64_t g = (tr.end - t) * 32768 / tr.fade_out;
      left[t - base] = static_cast<int32_t>(left[t - base] * g >> 15);
      right[t - base] = static_cast<int32_t>(right[t - base] * g >> 15);
    }
  }
}

// Decays, applied to the music only like the fades: the gain falls by the
// track's `fall` halvings over the decay, evenly in decibels. It rounds
// half away from zero, as a plain shift would leave a tail of -1s.
void decay(const Side& side, int64_t base, int64_t count, int32_t* left, int32_t* right) {
  const auto scaled = [](int32_t v, int64_t g) {
    const int64_t p = v * g, half = int64_t{1} << 29;
    return static_cast<int32_t>(p >= 0 ? (p + half) >> 30 : -((half - p) >> 30));
  };
  for (const Track& tr : side.tracks) {
    const int64_t from = tr.end - tr.decay;
    if (tr.decay == 0 || tr.end <= base || from >= base + count) continue;
    for (int64_t t = std::max(base, from); t < std::min(base + count, tr.end); t++) {
      const int64_t u = tr.fall * (t - from) / tr.decay;  // halvings so far, Q24
      const int64_t g = halving.v[(u >> 16) & 255] >> (u >> 24);
      left[t - base] = scaled(left[t - base], g);
      right[t - base] = scaled(right[t - base], g);
    }
  }
}

// Where each track's music is first and last not zero, as [first, last).
struct Sound {
  int64_t first = -1, last = -1;
};

void listen(const Side& side, int64_t base, int64_t count, const int32_t* left,
            const int32_t* right, std::vector<Sound>& sound) {
  const auto heard = [&](int64_t t) { return left[t - base] != 0 || right[t - base] != 0; };
  for (size_t i = 0; i < side.tracks.size(); i++) {
    const Track& tr = side.tracks[i];
    const int64_t from = std::max(base, tr.start), to = std::min(base + count, tr.end);
    if (from >= to) continue;
    Sound& s = sound[i];
    for (int64_t t = from; s.first < 0 && t < to; t++)
      if (heard(t)) s.first = t;
    for (int64_t t = to; t-- > from;)
      if (heard(t)) {
        s.last = t + 1;
        break;
      }
  }
}

// Intros, pauses and soft passages, applied to the music only like the fades.
void dip(const Side& side, size_t& first, int64_t base, int64_t count, int32_t* left,
         int32_t* right) {
  while (first < side.dips.size() && side.dips[first].to + side.dips[first].ramp_out <= base)
    first++;
  for (size_t i = first; i < side.dips.size(); i++) {
    const Dip& d = side.dips[i];
    if (d.from - d.ramp_in >= base + count) break;
    const int64_t from = std::max(base, d.from - d.ramp_in);
    const int64_t to = std::min(base + count, d.to + d.ramp_out);
    for (int64_t t = from; t < to; t++) {
      int64_t g = d.level;
      if (t < d.from) g = 32768 - (32768 - d.level) * (t - d.from + d.ramp_in) / d.ramp_in;
      if (t >= d.to) g = d.level + (32768 - d.level) * (t - d.to) / d.ramp_out;
      left[t - base] = static_cast<int32_t>(left[t - base] * g >> 15);
      right[t - base] = static_cast<int32_t>(right[t - base] * g >> 15);
    }
  }
}

// Surface crackle: dense short clicks anywhere on the side.
struct Crackle {
  SplitMix rng;
  int64_t mean;  // spacing, frames
  int64_t at = 0, len = 0;
  int32_t left = 0, right = 0;  // first sample's value

  // No closer than 4 frames, the longest crack, so that one is over before
  // the next begins.
  void next() {
    at += 4 + rng.below(std::max<int64_t>(1, 2 * mean - 4));
    len = rng.between(1, 4);
    const int32_t amp = static_cast<int32_t>(rng.between(1638, 16384)) * (rng.below(2) ? 1 : -1);
    const int64_t which = rng.below(3);  // left, right or both
    left = which != 1 ? amp : 0;
    right = which != 0 ? amp * 9 / 10 : 0;
  }
  void add(int64_t base, int64_t count, int32_t* l, int32_t* r) {
    for (; at < base + count; next()) {
      for (int64_t k = std::max<int64_t>(0, base - at); k < len && at + k < base + count; k++) {
        l[at + k - base] += static_cast<int32_t>(left * (len - k) / len);
        r[at + k - base] += static_cast<int32_t>(right * (len - k) / len);
      }
      if (at + len > base + count) return;
    }
  }
};

// Rumble: three slow sines between 3 and 30 Hz, the fastest one in
// opposite phase on the two channels, as the stylus moves up and down.
struct Rumble {
  uint32_t phase[3], step[3];
  int32_t amp[3];
  Rumble(uint64_t seed, double peak) {
    SplitMix rng{seed ^ 0x2B3B1Eull};
    static const int lo[3] = {3, 8, 16}, hi[3] = {8, 16, 30}, share[3] = {50, 30, 20};
    const int64_t top = std::llround(peak * 32767);
    for (int k = 0; k < 3; k++) {
      step[k] =
          static_cast<uint32_t>(rng.between(lo[k] * 100, hi[k] * 100) * 4294967296 / (100 * rate));
      phase[k] = static_cast<uint32_t>(rng.next());
      amp[k] = static_cast<int32_t>(top * share[k] / 100);
    }
  }
  void add(int64_t count, int32_t* left, int32_t* right) {
    constexpr uint32_t shift = 32 - SineTable::bits;
    for (int64_t j = 0; j < count; j++) {
      int32_t s[3];
      for (int k = 0; k < 3; k++) {
        s[k] = (sine.v[phase[k] >> shift] * amp[k]) >> 15;
        phase[k] += step[k];
      }
      left[j] += s[0] + s[1] + s[2];
      right[j] += s[0] + s[1] - s[2];
    }
  }
};

// What --layout prints, once the music has been heard.
void print_layout(const Options& o, const Side& side, const std::vector<Sound>& sound) {
  const auto line = [](const char* what, size_t track, int64_t from, int64_t to, const char* end) {
    std::fprintf(stderr, "%s%zu: frames %lld to %lld (%.3f s to %.3f s)%s\n", what, track + 1,
                 static_cast<long long>(from), static_cast<long long>(to),
                 static_cast<double>(from) / rate, static_cast<double>(to) / rate, end);
  };
  for (size_t i = 0; i < side.tracks.size(); i++)
    line("track ", i, sound[i].first, sound[i].last,
         joined(o, static_cast<long>(i + 1)) ? ", joined to the next" : "");
  for (size_t i = 0; i < side.tracks.size(); i++)
    if (side.tracks[i].decay > 0)
      line("decay in track ", i, side.tracks[i].end - side.tracks[i].decay, sound[i].last, "");
  for (const Dip& d : side.dips)
    if (d.kind != Dip::intro)
      line(d.kind == Dip::pause ? "pause in track " : "soft in track ", d.track, d.from, d.to, "");
}

int16_t clamp16(int32_t v) {
  return static_cast<int16_t>(std::clamp(v, -32768, 32767));
}

}  // namespace

int main(int argc, char** argv) {
  const Options o = parse(argc, argv);
  const Side side = plan(o);
  FILE* f = stdout;
  if (o.out != "-") {
    f = std::fopen(o.out.c_str(), "wb");
    if (!f) fail("cannot create " + o.out + ": " + std::strerror(errno));
  } else if (isatty(STDOUT_FILENO)) {
    bad_usage("refusing to write a WAVE file to a terminal; use --out FILE or a pipe");
  } else {
#ifdef _WIN32
    _setmode(_fileno(stdout), _O_BINARY);
#endif
  }

  const auto header = wave_header(static_cast<uint32_t>(side.frames));
  if (std::fwrite(header.data(), 1, header.size(), f) != header.size()) fail("write failed");

  constexpr int64_t block = 1 << 14;
  static int32_t left[block], right[block];
  static unsigned char bytes[block * 4];
  SplitMix hiss_rng{o.seed ^ 0x5A17C0FFEEull}, click_rng{o.seed ^ 0xC11C4ull};
  // The hiss peaks at hiss_peak: 510 is the largest sum below, Q16.
  const int64_t hiss_peak = std::llround(o.hiss * 32767), hiss_scale = hiss_peak * 65536 / 510;
  // Mean spacing of clicks; none closer than 0.1 s, so that no two of them
  // ever share the detector's window.
  const int64_t click_mean = o.clicks > 0 ? std::llround(60.0 * rate / o.clicks) : 0;
  const int64_t min_sep = rate / 10;
  auto next_click = [&](int64_t after) {
    return after + min_sep + click_rng.below(std::max<int64_t>(1, 2 * click_mean - min_sep));
  };
  int64_t click = click_mean ? next_click(side.lead_in) : INT64_MAX;
  const int64_t revolution = rate * 9 / 5;  // 1.8 s: 33 1/3 turns a minute
  std::vector<Voice> playing;
  size_t next_note = 0, next_dip = 0;
  std::vector<Sound> sound(side.tracks.size());
  Crackle crackle{{o.seed ^ 0xC7AC1Eull}, o.crackle > 0 ? std::llround(rate / o.crackle) : 0};
  if (crackle.mean > 0)
    crackle.next();
  else
    crackle.at = INT64_MAX;
  Rumble rumble(o.seed, o.rumble);
  // The preamp's gain, Q16.
  const int64_t gain = std::llround(std::pow(10.0, o.gain_db / 20) * 65536);

  for (int64_t base = 0; base < side.frames; base += block) {
    const int64_t count = std::min(block, side.frames - base);
    std::fill(left, left + count, 0);
    std::fill(right, right + count, 0);
    while (next_note < side.notes.size() && side.notes[next_note].start < base + count) {
      playing.push_back(Voice{&side.notes[next_note++], 0, {}});
      build_wave(playing.back());
    }
    for (Voice& v : playing)
      render(v, std::max(base, v.note->start), std::min(base + count, v.note->end), base, left,
             right);
    playing.erase(std::remove_if(playing.begin(), playing.end(),
                                 [&](const Voice& v) { return v.note->end <= base + count; }),
                  playing.end());
    fade(side, base, count, left, right);
    dip(side, next_dip, base, count, left, right);
    decay(side, base, count, left, right);
    listen(side, base, count, left, right, sound);

    for (int64_t j = 0; j < count; j++) {
      const uint64_t r = hiss_rng.next();
      // Sum of two minus two uniform bytes: a bell-shaped, bounded hiss.
      auto tri = [&](int sh) {
        const int64_t b = static_cast<int64_t>((r >> sh) & 255) + ((r >> (sh + 8)) & 255) -
                          ((r >> (sh + 16)) & 255) - ((r >> (sh + 24)) & 255);
        return static_cast<int32_t>((b * hiss_scale) >> 16);
      };
      left[j] += tri(0);
      right[j] += tri(32);
    }
    // Grooves tick once per revolution, on both channels.
    for (const auto& [from, to] :
         {std::pair{int64_t{0}, side.lead_in}, std::pair{side.run_out_start, side.frames}}) {
      const int64_t first = from + revolution / 2;
      int64_t t = first;
      if (base > first) t = first + (base - first + revolution - 1) / revolution * revolution;
      for (; t < to && t < base + count; t += revolution) {
        left[t - base] += 6000;
        right[t - base] += 5400;
      }
    }
    for (; click < base + count && click < side.run_out_start; click = next_click(click)) {
      if (click < base) continue;
      const int32_t amp = static_cast<int32_t>(click_rng.between(1600, 11468));
      const int32_t sign = click_rng.below(2) ? 1 : -1;
      const int64_t which = click_rng.below(3);  // left, right or both
      if (which != 1) left[click - base] += sign * amp;
      if (which != 0) right[click - base] += sign * amp * 9 / 10;
    }
    crackle.add(base, count, left, right);
    if (o.rumble > 0) rumble.add(count, left, right);
    // The sum stays far below 2^31 / 16, so even 24 dB cannot overflow it;
    // clamp16 then clips at full scale.
    if (gain != 65536)
      for (int64_t j = 0; j < count; j++) {
        left[j] = static_cast<int32_t>(left[j] * gain >> 16);
        right[j] = static_cast<int32_t>(right[j] * gain >> 16);
      }

    for (int64_t j = 0; j < count; j++) {
      write_u16_le(bytes + 4 * j, static_cast<uint16_t>(clamp16(left[j])));
      write_u16_le(bytes + 4 * j + 2, static_cast<uint16_t>(clamp16(right[j])));
    }
    const size_t n = static_cast<size_t>(count) * 4;
    if (std::fwrite(bytes, 1, n, f) != n)
      fail(std::string("write failed: ") + std::strerror(errno));
  }
  if (std::fflush(f) != 0 || (f != stdout && std::fclose(f) != 0))
    fail(std::string("write failed: ") + std::strerror(errno));
  if (o.layout) print_layout(o, side, sound);
  return 0;
}
