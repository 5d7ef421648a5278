#include "boundaries.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <numeric>

void envelope::add(const unsigned char* p, size_t n) {
  frames_ += static_cast<int64_t>(n);
  while (n > 0) {
    const size_t take = std::min(n, static_cast<size_t>(part - filled_));
    int32_t l = 0, r = 0;
    for (size_t j = 0; j < take; j++) {
      l += static_cast<int16_t>(p[4 * j] | p[4 * j + 1] << 8);
      r += static_cast<int16_t>(p[4 * j + 2] | p[4 * j + 3] << 8);
    }
    sum_l_ += l, sum_r_ += r;
    filled_ += static_cast<int64_t>(take);
    p += 4 * take, n -= take;
    if (filled_ == part) end_part();
  }
}

void envelope::end_part() {
  parts_[done_++] = static_cast<uint32_t>(std::max(std::abs(sum_l_ - last_l_), std::abs(sum_r_ - last_r_)));
  last_l_ = sum_l_, last_r_ = sum_r_;
  sum_l_ = sum_r_ = 0, filled_ = 0;
  if (done_ < 9) return;
  done_ = 0;
  const auto scaled = [](uint32_t v) { return static_cast<float>(v) / part; };
  uint32_t sorted[9];
  std::copy(parts_, parts_ + 9, sorted);
  std::nth_element(sorted, sorted + 2, sorted + 9);
  const uint8_t at = static_cast<uint8_t>(std::min_element(parts_, parts_ + 9) - parts_);
  levels_.push_back(scaled(sorted[2]));
  least_.push_back(scaled(parts_[at]));
  at_.push_back(at);
}

double noise::db() const {
  return level < 1 ? -100 : 20 * std::log10(level / 32767);
}

namespace {

constexpr double rate = 44100;
constexpr int64_t stretch = envelope::stretch;

// The median of `v` and its spread (the median distance from it, scaled to
// a standard deviation).
std::pair<double, double> median_and_spread(std::vector<double> v) {
  if (v.empty()) return {0, 0};
  const auto middle = [](std::vector<double>& x) {
    std::nth_element(x.begin(), x.begin() + static_cast<long>(x.size() / 2), x.end());
    return x[x.size() / 2];
  };
  const double m = middle(v);
  for (double& x : v) x = std::abs(x - m);
  return {m, 1.4826 * middle(v)};
}

}  // namespace

noise noise_floor(const envelope& e) {
  const size_t n = e.size(), w = std::min<size_t>(n, 30);
  if (n == 0) return {};
  // The quietest 0.3 s: a gap, a groove, or the quietest music there is.
  double sum = 0;
  for (size_t k = 0; k < w; k++) sum += e.level(k);
  double best = sum;
  size_t at = 0;
  for (size_t k = w; k < n; k++) {
    sum += e.level(k) - e.level(k - w);
    if (sum < best) best = sum, at = k + 1 - w;
  }
  std::vector<double> v;
  for (size_t k = at; k < at + w; k++) v.push_back(e.level(k));
  const auto [level, spread] = median_and_spread(v);
  double power = 0;
  for (double x : v) power += std::pow(std::min(x, level + 4 * spread), 2) / static_cast<double>(w);
  return {level, spread, power};
}

namespace {

// Stretches [from, to) that are silent.
struct run {
  size_t from, to;
  size_t length() const { return to - from; }
};

// A recording as the plans see it.
struct side {
  const envelope& e;
  noise floor;
  std::vector<float> smooth;  // the median of 11 stretches around each
  double quiet = 0;              // a smoothed stretch at most this loud is silent
  std::vector<run> runs;         // the silences, in order
  bool lead = false, out = false;  // the first is a lead-in, the last a run-out

  explicit side(const envelope& env) : e(env), floor(noise_floor(env)) {
    const size_t n = e.size();
    smooth.resize(n);
    for (size_t k = 0; k < n; k++) {
      float v[11];
      size_t m = 0;
      for (size_t j = k < 5 ? 0 : k - 5; j <= k + 5 && j < n; j++) v[m++] = e.level(j);
      std::nth_element(v, v + m / 2, v + m);
      smooth[k] = v[m / 2];
    }
    // (In digital silence, anything at all is sound: the last of a decay.)
    quiet = floor.level + 1.5 * floor.spread + 0.05;
    for (size_t k = 0; k < n;) {
      if (smooth[k] > quiet) {
        k++;
        continue;
      }
      size_t j = k;
      while (j < n && smooth[j] <= quiet) j++;
      // A moment of sound between two silences is no song: a decay's
      // last flicker above the noise, or a crack.
      if (!runs.empty() && k - runs.back().to < 25)
        runs.back().to = j;
      else
        runs.push_back({k, j});
      k = j;
    }
    // (A moment of sound at the very start or end is no song either.)
    lead = !runs.empty() && runs.front().from < 25;
    out = !runs.empty() && runs.back().to + 25 > n && (runs.size() > 1 || !lead);
    if (lead) runs.front().from = 0;
    if (out) runs.back().to = n;
    if (getenv("BDEBUG"))
      for (const run& r : runs) fprintf(stderr, "run %.2f-%.2f\n", r.from / 100.0, r.to / 100.0);
  }
  size_t size() const { return e.size(); }
  // The mean level of stretches [k, k + w), clamped to the recording.
  double mean(size_t k, size_t w) const {
    const size_t to = std::min(size(), k + w);
    if (k >= to) return 0;
    double s = 0;
    for (size_t j = k; j < to; j++) s += e.level(j);
    return s / static_cast<double>(to - k);
  }
  // The level above the noise of such a mean.
  double above(double level) const {
    return std::sqrt(std::max(0.0, level * level - floor.level * floor.level));
  }
  // A loud level of the music over `w` stretches from k on (clamped).
  double music(size_t k, size_t w) const {
    const size_t to = std::min(size(), k + w);
    if (k >= to) return 0;
    std::vector<float> v(to - k);
    for (size_t j = k; j < to; j++) v[j - k] = e.level(j);
    std::nth_element(v.begin(), v.begin() + static_cast<long>(v.size() * 4 / 5), v.end());
    return v[v.size() * 4 / 5];
  }
};

// Where a song first heard at stretch b, after a silence from stretch a,
// began (in stretches): a fade-in rises evenly from nothing, so its power
// above the noise grows as the square of the time since it began. The start
// is the one that fits that best to the level from the quietest place of
// the silence to where the song is four times as loud as the noise, or
// stops growing; when no rise stands out from the noise there, the song
// starts at once.
struct rise {
  double start;
  size_t loud;  // where the rise fitted ends
};
rise rise_from(const side& s, size_t a, size_t b) {
  const double noise = std::sqrt(s.floor.power), cap = std::max(4 * noise, 8.0);
  size_t lo = b > 400 && b - 400 > a ? b - 400 : a;
  for (size_t k = lo; k < b; k++)
    if (s.smooth[k] <= s.smooth[lo]) lo = k;
  size_t hi = lo;
  while (hi < std::min(s.size(), b + 400) && s.mean(hi, 3) < cap) hi++;
  double top = 0;
  for (size_t k = b; k + 20 <= hi; k++) top = std::max(top, s.mean(k, 20));
  for (size_t k = b; k + 20 <= hi; k++)
    if (s.mean(k, 20) >= 0.8 * top) {
      hi = k + 20;
      break;
    }
  const rise at_once{static_cast<double>(std::max(lo, std::max(hi, b) - 1)), hi};
  if (hi < lo + 10) return at_once;
  // Sums over k >= j of y, y t, y t^2 and of t^0..t^4, t = k + 0.5, for an
  // O(1) least-squares fit of y = floor + c (t - start)^2 per start (the
  // floor fitted too: the noise may differ from its typical level here).
  const size_t m = hi - lo;
  std::vector<std::array<double, 8>> sums(m + 1, std::array<double, 8>{});
  double yy = 0;
  for (size_t i = m; i-- > 0;) {
    const double t = static_cast<double>(i) + 0.5;  // from lo, to keep the sums exact
    const double y = std::pow(std::min<double>(s.e.level(lo + i), cap), 2);
    const double row[8] = {y, y * t, y * t * t, 1, t, t * t, t * t * t, t * t * t * t};
    for (int j = 0; j < 8; j++) sums[i][j] = sums[i + 1][j] + row[j];
    yy += y * y;
  }
  const double n = static_cast<double>(m), sy = sums[0][0];
  double best = sy * sy / n, start = at_once.start;  // a floor alone
  for (size_t x0 = lo; x0 < hi; x0++) {
    const auto& u = sums[x0 - lo];
    const double x = static_cast<double>(x0 - lo);
    const double yq = u[2] - 2 * x * u[1] + x * x * u[0];
    const double q = u[5] - 2 * x * u[4] + x * x * u[3];
    const double qq = u[7] - 4 * x * u[6] + 6 * x * x * u[5] - 4 * x * x * x * u[4] +
                      x * x * x * x * u[3];
    const double det = n * qq - q * q;
    if (det <= 0) continue;
    const double c = (n * yq - q * sy) / det, floor = (sy - c * q) / n;
    if (c <= 0 || floor < 0) continue;
    const double explained = floor * sy + c * yq;  // the sum of y^2 less the residual
    if (explained > best) best = explained, start = static_cast<double>(x0);
  }
  // The rise must explain far more than the noise would by chance.
  const double gain = best - sy * sy / n, residual = yy - best;
  if (getenv("BDEBUG")) {
    fprintf(stderr, "rise a %.2f lo %.2f b %.2f hi %.2f -> %.2f  F %.1f floor %.1f noise %.1f\n", a / 100.0, lo / 100.0, b / 100.0, hi / 100.0, start / 100, gain / 2 / (residual / (n - 3)), s.floor.level, noise);
    for (size_t k = lo; k < hi; k += 5) fprintf(stderr, "  %.2f %.1f\n", k / 100.0, s.mean(k, 5));
  }
  if (gain / 2 < 10 * residual / (n - 3)) return at_once;
  return {start, hi};
}

// Where the song last heard at stretch a has really ended (in stretches).
// Its fall is timed through 25, 10 and 4 times the noise's level: a fade-out
// (falling evenly in level) ends soon after, a third of its last step later;
// a decay (falling evenly in decibels) goes on under the noise, taken to
// 30 dB under it.
double fall_end(const side& s, size_t a) {
  const double n = std::max(1.0, std::sqrt(s.floor.power));
  const size_t limit = a > 1000 ? a - 1000 : 0;
  const auto amp = [&](size_t k) { return s.above(s.mean(k - 5, 5)); };  // before k
  size_t k[3] = {a, a, a};
  const double marks[3] = {4, 10, 25};
  for (int i = 0; i < 3; i++) {
    if (i > 0) k[i] = k[i - 1];
    while (k[i] > limit + 5 && amp(k[i]) < marks[i] * n) k[i]--;
    if (amp(k[i]) < marks[i] * n) return static_cast<double>(a) + 100;
  }
  const double last = static_cast<double>(k[0] - k[1]), before = static_cast<double>(k[1] - k[2]);
  // A fall as a power of the time left: each step of 8 dB takes `ratio`
  // times as long as the next; evenly in decibels, as long.
  const double ratio = before / std::max(1.0, last);
  const double decay = last * 50 / 8;
  const double left = ratio > 1.5 ? std::min(decay, 2 * last / (ratio - 1) + 10) : decay;
  if (getenv("BDEBUG")) fprintf(stderr, "fall a %.2f k %.2f %.2f %.2f ratio %.2f left %.2f n %.1f\n", a/100.0, k[0]/100.0, k[1]/100.0, k[2]/100.0, ratio, left/100, n);
  return std::max(static_cast<double>(a) + 2, static_cast<double>(k[0]) + left);
}

double db(double ratio) {
  return ratio <= 0 ? -100 : 20 * std::log10(ratio);
}

// The boundary at the silence r: cut a little before the next song's rise
// began, as a decay sinks slowly under the noise and a fade-in rises fast
// out of it.
boundary at_silence(const side& s, const run& r) {
  boundary b;
  b.last_sound = static_cast<int64_t>(r.from) * stretch;
  const rise up = rise_from(s, r.from, r.to);
  const double start = std::max(static_cast<double>(r.from), up.start);
  b.rise = (static_cast<double>(up.loud) - start) / 100;
  b.first_sound = std::llround(start * stretch);
  // Where the song before has ended, unless that is too near this one's start.
  const double margin = 5;  // stretches
  const double end = fall_end(s, r.from);
  b.last_sound = std::llround(std::min(end, start) * stretch);
  const double cut = std::min(end, start - margin);
  b.cut = std::llround(std::max(static_cast<double>(r.from), cut) * stretch);
  b.gap = static_cast<double>(r.length()) / 100;
  const double around = std::min(s.music(r.from > 300 ? r.from - 300 : 0, std::min<size_t>(r.from, 300)),
                                 s.music(r.to, 300));
  b.depth_db = db(around / std::max(1.0, s.floor.level));
  return b;
}

// The quietest short dip of stretches [lo, hi), nearest to `expected`:
// where two songs run into each other.
size_t joining_point(const side& s, size_t lo, size_t hi, size_t expected) {
  double best = -1e9;
  size_t at = expected;
  for (size_t k = std::max<size_t>(lo, 8); k < hi && k + 9 < s.size(); k++) {
    float left[6], right[6];
    for (size_t j = 0; j < 6; j++) left[j] = s.e.level(k - 8 + j), right[j] = s.e.level(k + 3 + j);
    std::nth_element(left, left + 3, left + 6);
    std::nth_element(right, right + 3, right + 6);
    const double around = std::min(left[3], right[3]);
    const double far = std::abs(static_cast<double>(k) - static_cast<double>(expected)) /
                       static_cast<double>(hi - lo);
    const double score = db(around / (s.e.level(k) + s.floor.level + 1)) - 6 * far;
    if (score > best) best = score, at = k;
  }
  return at;
}

boundary at_join(const side& s, size_t k) {
  boundary b;
  b.silent = false;
  size_t q = k;
  for (size_t j = k > 0 ? k - 1 : 0; j <= k + 1 && j < s.size(); j++)
    if (s.e.least(j) < s.e.least(q)) q = j;
  b.cut = b.last_sound = b.first_sound = s.e.quietest(q);
  const double around = std::min(s.music(k > 100 ? k - 100 : 0, std::min<size_t>(k, 100)),
                                 s.music(k + 1, 100));
  b.depth_db = db(around / std::max(1.0, static_cast<double>(s.e.level(k))));
  return b;
}

std::string clock(int64_t frames) {
  char text[32];
  const double t = static_cast<double>(frames) / rate;
  std::snprintf(text, sizeof text, "%d:%05.2f", static_cast<int>(t / 60),
                t - 60 * static_cast<int>(t / 60));
  return text;
}

// The tracks between the boundaries, from a little before the first song's
// rise to past the last song's fall (or the end of the data), with the
// findings every plan has.
void finish(const side& s, plan& p) {
  p.floor = s.floor;
  const bool lead = s.lead, out = s.out;
  size_t first = lead ? s.runs.front().to : 0, last = out ? s.runs.back().from : s.size();
  if (first > last) first = last = 0;
  const double start = lead ? rise_from(s, 0, first).start : 0;
  p.first_sound = std::llround(start * stretch);
  p.last_sound = static_cast<int64_t>(last) * stretch;
  // The lead-in and the run-out are left out, with a second to spare: their
  // groove noise costs nothing, a lost fade-in or decay costs music. (Less
  // than a few seconds of them is not worth leaving out.)
  const int64_t second = 100 * stretch;
  int64_t begin = std::max<int64_t>(0, p.first_sound - second);
  if (begin < 2 * second) begin = 0;
  int64_t end = out ? std::llround(fall_end(s, last) * stretch) + second : s.e.frames();
  if (end > s.e.frames() - 2 * second) end = s.e.frames();
  const size_t n = p.boundaries.size() + 1;
  p.tracks.resize(n);
  for (size_t i = 0; i < n; i++) {
    planned_track& t = p.tracks[i];
    t.start = i == 0 ? begin : p.boundaries[i - 1].cut;
    t.end = i + 1 == n ? end : p.boundaries[i].cut;
    t.first_sound = i == 0 ? p.first_sound : p.boundaries[i - 1].first_sound;
    t.last_sound = i + 1 == n ? p.last_sound : p.boundaries[i].last_sound;
  }
  p.findings.insert(p.findings.begin(),
                    {s.floor.level < 1 ? finding::digital_silence : finding::noise_level, 0, 0, 0,
                     0, s.floor.db()});
  if (begin > 0) p.findings.push_back({finding::lead_in, 0, 0, 0, begin / rate});
  if (end < s.e.frames())
    p.findings.push_back({finding::run_out, 0, end, 0, (s.e.frames() - end) / rate});
}

}  // namespace

plan plan_for_count(const envelope& e, int n) {
  const side s(e);
  plan p;
  std::vector<run> inner(s.runs.begin() + (s.lead ? 1 : 0), s.runs.end() - (s.out ? 1 : 0));
  // The longest silences are the gaps.
  std::vector<size_t> order(inner.size());
  std::iota(order.begin(), order.end(), 0);
  std::stable_sort(order.begin(), order.end(),
                   [&](size_t x, size_t y) { return inner[x].length() > inner[y].length(); });
  const size_t want = static_cast<size_t>(std::max(1, n)) - 1;
  const size_t got = std::min(want, order.size());
  std::vector<size_t> chosen(order.begin(), order.begin() + static_cast<long>(got));
  std::sort(chosen.begin(), chosen.end());
  const size_t weakest = got > 0 ? inner[order[got - 1]].length() : 0;
  for (size_t i : chosen) {
    boundary b = at_silence(s, inner[i]);
    if (inner[i].length() == weakest)
      for (size_t j = got; j < order.size(); j++)
        if (2 * inner[order[j]].length() > 3 * weakest) continue;
        else if (3 * inner[order[j]].length() >= 2 * weakest) {
          b.ambiguous = true;
          b.rivals.push_back(static_cast<int64_t>(inner[order[j]].from + inner[order[j]].to) *
                             stretch / 2);
        }
    p.boundaries.push_back(b);
  }
  for (size_t i = 0; i < p.boundaries.size(); i++)
    for (int64_t r : p.boundaries[i].rivals)
      p.findings.push_back({finding::ambiguous, static_cast<int>(i + 1), p.boundaries[i].cut, r});
  if (got < want) {
    p.complete = false;
    p.findings.push_back({finding::too_few_gaps, n - 1, 0, 0, 0, 0, static_cast<int>(got)});
  }
  finish(s, p);
  return p;
}

plan plan_for_lengths(const envelope& e, const std::vector<int64_t>& lengths) {
  const side s(e);
  plan p;
  double from = s.lead ? rise_from(s, 0, s.runs.front().to).start : 0;  // the song's start, stretches
  for (size_t i = 0; i + 1 < lengths.size(); i++) {
    const double expected = from + static_cast<double>(lengths[i]) / stretch;
    const double reach = 200 + static_cast<double>(lengths[i]) / stretch / 50;
    // The silence nearest to where the song should end, else the quietest
    // short dip there.
    const run* best = nullptr;
    double nearest = reach;
    for (const run& r : s.runs) {
      if ((s.lead && &r == &s.runs.front()) || (s.out && &r == &s.runs.back()) ||
          static_cast<double>(r.to) <= from)
        continue;
      // (The song may end a little before the silence is heard: the
      // sleeve's length is rounded.)
      const double d = std::max({0.0, static_cast<double>(r.from) - 50 - expected,
                                 expected - static_cast<double>(r.to)});
      if (d < nearest || (best && d == nearest && r.length() > best->length()))
        nearest = d, best = &r;
    }
    boundary b;
    if (best) {
      b = at_silence(s, *best);
    } else {
      const double lo = std::max(from + 1, expected - 150), hi = expected + 150;
      b = at_join(s, joining_point(s, static_cast<size_t>(lo), static_cast<size_t>(hi),
                                   static_cast<size_t>(expected)));
      p.findings.push_back({finding::no_silence, static_cast<int>(i + 1), b.cut});
    }
    b.expected = std::llround(expected * stretch);
    from = static_cast<double>(b.first_sound) / stretch;
    p.boundaries.push_back(b);
  }
  finish(s, p);
  for (size_t i = 0; i < p.tracks.size() && i < lengths.size(); i++) {
    planned_track& t = p.tracks[i];
    t.sleeve = lengths[i];
    const int64_t found = t.last_sound - t.first_sound;
    if (std::llabs(found - t.sleeve) > std::max<int64_t>(3 * 44100, t.sleeve / 50))
      p.findings.push_back(
          {finding::length_differs, static_cast<int>(i + 1), 0, t.sleeve, found / rate});
  }
  return p;
}

std::string describe(const finding& f) {
  char text[256];
  switch (f.kind) {
    case finding::digital_silence:
      return "The gaps are digital silence: nothing at all is heard between the songs.";
    case finding::noise_level:
      std::snprintf(text, sizeof text,
                    "The gaps hold noise at %.0f dB (hiss or rumble); music under it counts as "
                    "music.",
                    f.db);
      break;
    case finding::no_silence:
      std::snprintf(text, sizeof text,
                    "Songs %d and %d run into each other with no silence: the cut goes to the "
                    "quietest place, at %s.",
                    f.index, f.index + 1, clock(f.at).c_str());
      break;
    case finding::ambiguous:
      std::snprintf(text, sizeof text,
                    "The gap at %s (between tracks %d and %d) looks no more like a gap between "
                    "songs than the quiet place at %s: give the lengths with --lengths to be "
                    "sure.",
                    clock(f.at).c_str(), f.index, f.index + 1, clock(f.other).c_str());
      break;
    case finding::too_few_gaps:
      std::snprintf(text, sizeof text,
                    "Only %d silences for the %d gaps between %d tracks: some songs run into "
                    "each other; give the lengths with --lengths to find where.",
                    f.count, f.index, f.index + 1);
      break;
    case finding::length_differs:
      std::snprintf(text, sizeof text, "Track %d is %s long here, %s on the sleeve.", f.index,
                    clock(std::llround(f.seconds * rate)).c_str(), clock(f.other).c_str());
      break;
    case finding::lead_in:
      std::snprintf(text, sizeof text, "The first %.1f s before the music are left out.",
                    f.seconds);
      break;
    case finding::run_out:
      std::snprintf(text, sizeof text,
                    "The last %.1f s, from %s, after the music has died away, are left out.",
                    f.seconds, clock(f.at).c_str());
      break;
  }
  return text;
}
