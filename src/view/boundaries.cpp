#include "boundaries.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <numeric>
#include <tuple>
#include <utility>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace {

// The sums of the left and of the right samples of the n frames at p.
inline std::pair<int32_t, int32_t> frame_sums(const unsigned char* p, size_t n) {
  int32_t l = 0, r = 0;
  size_t j = 0;
#ifdef __SSE2__
  // Four frames at a time: each 32-bit lane holds a frame, left in its low
  // half; multiplying by 1 and 0 and adding pairs takes out either side.
  const __m128i left = _mm_set1_epi32(1), right = _mm_set1_epi32(1 << 16);
  __m128i sum_l = _mm_setzero_si128(), sum_r = _mm_setzero_si128();
  for (; j + 4 <= n; j += 4) {
    const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 4 * j));
    sum_l = _mm_add_epi32(sum_l, _mm_madd_epi16(x, left));
    sum_r = _mm_add_epi32(sum_r, _mm_madd_epi16(x, right));
  }
  // Left and right side by side, then the lanes added up.
  __m128i both = _mm_add_epi32(_mm_unpacklo_epi64(sum_l, sum_r), _mm_unpackhi_epi64(sum_l, sum_r));
  both = _mm_add_epi32(both, _mm_shuffle_epi32(both, 0xB1));
  l = _mm_cvtsi128_si32(both), r = _mm_cvtsi128_si32(_mm_shuffle_epi32(both, 0x02));
#endif
  for (; j < n; j++) {
    l += static_cast<int16_t>(p[4 * j] | p[4 * j + 1] << 8);
    r += static_cast<int16_t>(p[4 * j + 2] | p[4 * j + 3] << 8);
  }
  return {l, r};
}

}  // namespace

void envelope::add(const unsigned char* p, size_t n) {
  frames_ += static_cast<int64_t>(n);
  // The part begun by the frames before, the whole parts, and the start of
  // the next.
  if (filled_ > 0) {
    const size_t take = std::min(n, static_cast<size_t>(part - filled_));
    const auto [l, r] = frame_sums(p, take);
    sum_l_ += l, sum_r_ += r;
    filled_ += static_cast<int64_t>(take);
    p += 4 * take, n -= take;
    if (filled_ < part) return;
    end_part(sum_l_, sum_r_);
  }
  for (; n >= part; p += 4 * part, n -= part) {
    const auto [l, r] = frame_sums(p, part);
    end_part(l, r);
  }
  std::tie(sum_l_, sum_r_) = frame_sums(p, n);
  filled_ = static_cast<int64_t>(n);
}

void envelope::end_part(int32_t l, int32_t r) {
  parts_[done_++] = static_cast<uint32_t>(std::max(std::abs(l - last_l_), std::abs(r - last_r_)));
  last_l_ = l, last_r_ = r;
  if (done_ < 9) return;
  done_ = 0;
  // The three quietest parts, in order, in one pass (the first quietest
  // part is the one kept).
  uint32_t q[3] = {parts_[0], UINT32_MAX, UINT32_MAX};
  uint8_t at = 0;
  for (uint8_t i = 1; i < 9; i++) {
    const uint32_t x = parts_[i];
    if (x >= q[2]) continue;
    if (x >= q[1]) {
      q[2] = x;
    } else if (x >= q[0]) {
      q[2] = q[1], q[1] = x;
    } else {
      q[2] = q[1], q[1] = q[0], q[0] = x, at = i;
    }
  }
  levels_.push_back(static_cast<float>(q[2]) / part);
  least_.push_back(static_cast<float>(q[0]) / part);
  at_.push_back(at);
}

double noise::db() const {
  return level < 0.5 ? -100 : 20 * std::log10(level / 32767);
}

namespace {

constexpr double rate = 44100;
constexpr int64_t stretch = envelope::stretch;
constexpr size_t second = 100;  // stretches

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

double db(double ratio) {
  return ratio <= 0 ? -100 : 20 * std::log10(ratio);
}

}  // namespace

noise noise_floor(const envelope& e) {
  const size_t n = e.size(), w = std::min<size_t>(n, 30);
  if (n == 0) return {};
  // The quietest 0.3 s: a gap, a groove, or digital silence. (Gaps may be
  // fewer than one stretch in a hundred; the decays and fade-ins around them
  // lie above.)
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
  return {level, spread, power, at, w};
}

namespace {

// Stretches [from, to) that are silent.
struct run {
  size_t from, to;
  size_t length() const { return to - from; }
};

// A recording as the plans see it: its silences, and measures of its level.
struct side {
  const envelope& e;
  noise floor;
  std::vector<run> runs;           // the silences, in order
  bool lead = false, out = false;  // the first is a lead-in, the last a run-out

  side(const envelope& env, const noise& measured) : e(env), floor(measured) {
    runs = silences(quiet(floor.level, floor.spread));
    join_swells();
    find_grooves();
  }
  // The loudest a silent stretch may be in noise of this level and spread.
  // In digital silence anything at all is sound: the last of a decay.
  static double quiet(double level, double spread) { return level + 1.5 * spread + 0.05; }
  // The quietest 0.3 s may miss how much the noise swells (rumble): it is
  // measured again over the silences found (less their edges, where a decay
  // may linger). A moment of sound between two silences that is no louder
  // than that is the noise swelling: they are one silence.
  void join_swells() {
    size_t all = 0;
    for (const run& r : runs) all += r.length();
    std::vector<double> v;
    const size_t every = all / 4096 + 1;
    for (const run& r : runs)
      for (size_t k = r.from + 10; k + 10 < r.to; k += every) v.push_back(e.level(k));
    const auto [level, spread] = median_and_spread(v);
    const double swells = quiet(level, spread);
    if (v.size() < 30 || swells <= quiet(floor.level, floor.spread)) return;
    // (Each stretch silent by the 11 around it, and a moment of sound
    // allowed, as in `silences`.)
    const auto swelling = [&](size_t from, size_t to) {
      size_t sound = 0;
      for (size_t k = from; k < to && sound < second / 4; k++) {
        int count = 0, seen = 0;
        for (size_t j = k < 5 ? 0 : k - 5; j <= k + 5 && j < size(); j++, seen++)
          count += e.level(j) <= swells;
        sound = 2 * count > seen ? 0 : sound + 1;
      }
      return sound < second / 4;
    };
    std::vector<run> merged;
    for (const run& r : runs)
      if (!merged.empty() && r.from - merged.back().to < second &&
          swelling(merged.back().to, r.from))
        merged.back().to = r.to;
      else
        merged.push_back(r);
    runs = merged;
  }
  // Nor is a moment of sound in the grooves before the first song or after
  // the last (a click that rings, a crack): no song is that short.
  void find_grooves() {
    const size_t n = e.size();
    const auto short_sound = [&](size_t i) { return runs[i + 1].from - runs[i].to < second; };
    if (runs.size() > 2 && runs.front().from < second / 4 && short_sound(0))
      runs[1].from = 0, runs.erase(runs.begin());
    if (runs.size() > 2 && runs.back().to + second / 4 > n && short_sound(runs.size() - 2))
      runs[runs.size() - 2].to = n, runs.pop_back();
    // (Nor at the very start or end.)
    lead = !runs.empty() && runs.front().from < second / 4;
    out = !runs.empty() && runs.back().to + second / 4 > n && (runs.size() > 1 || !lead);
    if (lead) runs.front().from = 0;
    if (out) runs.back().to = n;
  }
  // The silences: where the level is no more than `most`.
  std::vector<run> silences(double most) const {
    std::vector<run> runs;
    // A stretch is silent when most of the 11 around it are no louder than
    // the noise (their median is: a click or two do not break a silence).
    const size_t n = e.size();
    std::vector<bool> silent(n);
    int count = 0;  // of quiet stretches among k - 5 .. k + 5
    for (size_t k = 0; k < n + 5; k++) {
      if (k < n && e.level(k) <= most) count++;
      if (k >= 11 && e.level(k - 11) <= most) count--;
      if (k >= 5) {
        const size_t c = k - 5, seen = std::min(k, n - 1) - (c < 5 ? 0 : c - 5) + 1;
        silent[c] = 2 * static_cast<size_t>(count) > seen;
      }
    }
    for (size_t k = 0; k < n;) {
      if (!silent[k]) {
        k++;
        continue;
      }
      size_t j = k;
      while (j < n && silent[j]) j++;
      // A moment of sound between two silences is no song: a decay's last
      // flicker above the noise, or a crack.
      if (!runs.empty() && k - runs.back().to < second / 4)
        runs.back().to = j;
      else
        runs.push_back({k, j});
      k = j;
    }
    return runs;
  }
  size_t size() const { return e.size(); }
  // The silences between songs.
  std::vector<run> gaps() const {
    return {runs.begin() + (lead ? 1 : 0), runs.end() - (out ? 1 : 0)};
  }
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
  // A loud level of the music over stretches [k, k + w): a fifth are louder
  // (of every `every`th).
  double loud(size_t k, size_t w, size_t every = 1) const {
    const size_t to = std::min(size(), k + w);
    if (k >= to) return 0;
    std::vector<float> v;
    for (size_t j = k; j < to; j += every) v.push_back(e.level(j));
    std::nth_element(v.begin(), v.begin() + static_cast<long>(v.size() * 4 / 5), v.end());
    return v[v.size() * 4 / 5];
  }
};

// Where a song first heard at stretch b, after a silence from stretch a,
// began (in stretches). A fade-in rises evenly from nothing, so its power
// above the noise grows as the square of the time since it began: the start
// is the one that fits that best to the level from the quietest place of the
// silence to where the song is four times as loud as the noise or stops
// growing (a fade-in under a quiet intro). Where no rise stands out from the
// noise, the song starts at once.
double rise_start(const side& s, size_t a, size_t b) {
  const double noise = std::sqrt(s.floor.power), cap = std::max(4 * noise, 8.0);
  size_t lo = b > a + 4 * second ? b - 4 * second : a;
  double quietest = s.mean(lo < 5 ? 0 : lo - 5, 11);
  for (size_t k = lo; k < b; k++)
    if (const double m = s.mean(k < 5 ? 0 : k - 5, 11); m <= quietest) quietest = m, lo = k;
  size_t hi = lo;
  while (hi < std::min(s.size(), b + 4 * second) && s.mean(hi, 3) < cap) hi++;
  double top = 0;
  for (size_t k = b; k + 20 <= hi; k++) top = std::max(top, s.mean(k, 20));
  for (size_t k = b; k + 20 <= hi; k++)
    if (s.mean(k, 20) >= 0.8 * top) {
      hi = k + 20;
      break;
    }
  const double at_once = static_cast<double>(std::max(lo, std::max(hi, b) - 1));
  if (hi < lo + 10) return at_once;
  // Sums over k >= j of y, y t, y t^2 and of t^0..t^4 (t = k - lo + 0.5), for
  // a least-squares fit of y = floor + c (t - start)^2 per start in O(1). The
  // floor is fitted too: the noise here may differ from its typical level.
  const size_t m = hi - lo;
  std::vector<std::array<double, 8>> sums(m + 1, std::array<double, 8>{});
  double yy = 0;
  for (size_t i = m; i-- > 0;) {
    const double t = static_cast<double>(i) + 0.5;
    const double y = std::pow(std::min<double>(s.e.level(lo + i), cap), 2);
    const double row[8] = {y, y * t, y * t * t, 1, t, t * t, t * t * t, t * t * t * t};
    for (int j = 0; j < 8; j++) sums[i][j] = sums[i + 1][j] + row[j];
    yy += y * y;
  }
  const double n = static_cast<double>(m), sy = sums[0][0], flat = sy * sy / n;
  double best = flat, start = at_once;  // the sum of y^2 less the residual
  for (size_t i = 0; i < m; i++) {
    const auto& u = sums[i];
    const double x = static_cast<double>(i);
    const double yq = u[2] - 2 * x * u[1] + x * x * u[0];
    const double q = u[5] - 2 * x * u[4] + x * x * u[3];
    const double qq =
        u[7] - 4 * x * u[6] + 6 * x * x * u[5] - 4 * x * x * x * u[4] + x * x * x * x * u[3];
    const double det = n * qq - q * q;
    if (det <= 0) continue;
    const double c = (n * yq - q * sy) / det, floor = (sy - c * q) / n;
    if (c <= 0 || floor < 0) continue;
    if (const double explained = floor * sy + c * yq; explained > best)
      best = explained, start = static_cast<double>(lo + i);
  }
  // The rise must explain far more than the noise would by chance (an F test
  // of its two numbers).
  if ((best - flat) / 2 < 10 * (yy - best) / (n - 3)) return at_once;
  return start;
}

// Where a song's boundary is expected: `at`, give or take `within`
// (stretches).
struct estimate {
  double at, within;
  // Seconds beyond that of stretch k.
  double beyond(double k) const { return std::max(0.0, std::abs(k - at) - within) / second; }
};

// A straight line through points (t, y), each weighted, by least squares.
struct line_fit {
  double w = 0, t = 0, y = 0, tt = 0, ty = 0, yy = 0;
  int points = 0;
  void add(double t_, double y_, double w_) {
    w += w_, t += w_ * t_, y += w_ * y_, tt += w_ * t_ * t_, ty += w_ * t_ * y_, yy += w_ * y_ * y_;
    points++;
  }
  double slope() const { return (w * ty - t * y) / (w * tt - t * t); }
  double value(double at) const { return (y + slope() * (at * w - t)) / w; }
  // Where the line reaches y0, and how far that may be off: the scatter of
  // the points about the line, carried out to there.
  std::pair<double, double> reaches(double y0) const {
    const double b = slope(), a = (y - b * t) / w, x = (y0 - a) / b;
    const double residual = yy - a * y - b * ty, spread_t = tt - t * t / w;
    const double scatter = std::max(0.0, residual) / std::max(1, points - 2);
    return {x, std::sqrt(scatter / (b * b) * (1 / w + std::pow(x - t / w, 2) / spread_t))};
  }
};

// The probability that a normal variable lies below x standard deviations,
// as a logarithm (which stays finite far out in the tail).
double log_below(double x) {
  if (x > -30) return std::log(0.5 * std::erfc(-x / std::sqrt(2.0)));
  return -x * x / 2 - std::log(-x) - 0.9189385;
}

// log(e^x + e^y)
double log_sum(double x, double y) {
  return std::max(x, y) + std::log1p(std::exp(-std::abs(x - y)));
}

// Where a song may have ended, from the way it falls into the noise: a
// fade-out falls evenly in level and ends where it reaches nothing; a decay
// falls evenly in decibels and goes on under the noise, taken to end 24 dB
// under it (give or take 8: where it no longer matters). Both are fitted to
// the fall, and the better fit is the likelier one.
struct fall {
  double fade_end = 0, fade_sd = 3;    // stretches
  double decay_end = 0, decay_sd = 3;  // stretches
  double fade = 1;                     // the chance that it is a fade-out
  // The logarithm of the chance that the song has ended by stretch k.
  double ended_by(double k) const {
    if (fade > 0.999) return log_below((k - fade_end) / fade_sd);
    if (fade < 0.001) return log_below((k - decay_end) / decay_sd);
    return log_sum(std::log(fade) + log_below((k - fade_end) / fade_sd),
                   std::log1p(-fade) + log_below((k - decay_end) / decay_sd));
  }
  double end() const { return fade >= 0.5 ? fade_end : decay_end; }
  // Where it has ended on the whole, give or take (the two kinds as one).
  estimate overall() const {
    const double at = fade * fade_end + (1 - fade) * decay_end;
    const double square = fade * (fade_sd * fade_sd + fade_end * fade_end) +
                          (1 - fade) * (decay_sd * decay_sd + decay_end * decay_end);
    return {at, std::sqrt(std::max(0.0, square - at * at))};
  }
};

// The fall of the song last heard at stretch a (its silence begins there),
// fitted from where it is half as loud as the music before, or a hundred
// times the noise, to where it is twice the noise.
fall fall_at(const side& s, size_t a) {
  const double n = std::max(1.0, std::sqrt(s.floor.power));
  const size_t limit = a > 10 * second ? a - 10 * second : 0, block = 5;
  const double jitter = std::max(0.3, s.floor.spread) / std::sqrt(static_cast<double>(block));
  const auto amp = [&](size_t k) { return s.above(s.mean(k - 20, 20)); };  // before k
  fall f;
  f.fade_end = f.decay_end = static_cast<double>(a);
  size_t low = a;
  while (low > limit + 20 && amp(low) < 2 * n) low--;
  if (amp(low) < 2 * n) return f;  // no fall heard: it stopped at once
  const double top = std::min(0.5 * s.above(s.loud(low > 300 ? low - 300 : 0, 300, 3)), 100 * n);
  size_t high = low;
  while (high > limit + 20 && amp(high) < top) high--;
  const size_t from = std::min(high > 10 ? high - 10 : 0, low > 15 ? low - 15 : 0);
  line_fit level, decibels;
  std::vector<std::pair<double, double>> points;
  for (size_t k = from; k + block <= low; k += block) {
    const double m = s.above(s.mean(k, block)), t = static_cast<double>(k) + block / 2.0;
    const double heard = std::max(m, 0.5 * n), db_jitter = 8.69 * jitter / heard;
    level.add(t, m, 1 / (jitter * jitter + 0.09 * m * m));
    decibels.add(t, 20 * std::log10(heard), 1 / (9 + db_jitter * db_jitter));
    points.emplace_back(t, m);
  }
  if (level.points < 3) return f;
  // Each fit's scatter in decibels: the fade-out's falls short of its end.
  double fade_scatter = 0, decay_scatter = 0;
  for (const auto& [t, m] : points) {
    const double y = 20 * std::log10(std::max(m, 0.5 * n));
    fade_scatter += std::pow(y - 20 * std::log10(std::max(level.value(t), 0.5 * n)), 2);
    decay_scatter += std::pow(y - decibels.value(t), 2);
  }
  // (How much likelier a decay is, as a logarithm.)
  const double likelier = static_cast<double>(points.size()) / 2 *
                          std::log(std::max(fade_scatter, 1e-6) / std::max(decay_scatter, 1e-6));
  const double lo = static_cast<double>(low), hi = static_cast<double>(a + 10 * second);
  if (level.slope() < 0) {
    const auto [end, sd] = level.reaches(0);
    f.fade_end = std::clamp(end, lo - 20, hi), f.fade_sd = std::hypot(3.0, sd);
  }
  const double fall_db = -decibels.slope();  // per stretch
  if (fall_db > 1e-3) {
    const auto [end, sd] = decibels.reaches(20 * std::log10(n) - 24);
    f.decay_end = std::clamp(end, lo, hi);
    f.decay_sd = std::sqrt(sd * sd + std::pow(8 / fall_db, 2) + 25);
  } else {
    f.decay_end = hi, f.decay_sd = 3 * second;
  }
  // A decay taken for a fade-out loses its tail: only a clearly better fit
  // is taken for one.
  f.fade = 1 / (1 + std::exp(std::min(50.0, (likelier - 3) / 2)));
  return f;
}

int64_t frame(double stretches) {
  return std::llround(stretches * stretch);
}

// How far before stretch b, where it is heard, the song rising there may
// have begun unheard: the slower it rises out of the noise (from once to
// twice the noise's level), the more may lie under it; and a quiet intro
// may lie under the noise unseen before any rise.
double rise_doubt(const side& s, size_t a, size_t b) {
  const double n = std::sqrt(s.floor.power);
  const auto amp = [&](size_t k) { return s.above(s.mean(k, 10)); };  // from k
  const size_t end = std::min(s.size(), b + 4 * second);
  size_t once = std::max(a, b > 30 ? b - 30 : 0);
  while (once < end && amp(once) < n) once++;
  size_t twice = once;
  while (twice < end && amp(twice) < 2 * n) twice++;
  return 10 + 0.4 * static_cast<double>(twice - once);
}

// How long a song heard from stretch b may have played unheard under the
// noise: a quiet intro fading in stays under it for a time in proportion
// to the noise over the music (some 80 s times that for a 3-second fade
// under an intro at a twentieth of the music).
double unheard_intro(const side& s, size_t b) {
  const double music = s.loud(b, 3 * second);
  return 80 * second * std::max(1.0, s.floor.level) / std::max(1.0, music);
}

// A silence seen as the boundary between two songs: where the one has ended
// and the next begun (stretches, give or take).
struct parting {
  boundary b;
  estimate ended, began;
  run silence;
};

// The boundary at the silence r. The song before has ended somewhere after
// r.from and the next begins somewhere before r.to; the cut goes where both
// are likeliest to be true, each estimate trusted as far as it deserves; or,
// in a long silence, later: the next track begins a short lead before the
// earliest its song may have begun, and the rest of the silence stays with
// the song before, which is then all the surer to have ended.
parting at_silence(const side& s, const run& r) {
  parting at;
  boundary& b = at.b;
  b.heard_to = frame(static_cast<double>(r.from));
  b.heard_from = frame(static_cast<double>(r.to));
  // (The song is heard from r.to on: a fit that puts its start later has
  // followed a quiet intro's jump to the music's full level.)
  const double start = std::clamp(rise_start(s, r.from, r.to), static_cast<double>(r.from),
                                  static_cast<double>(r.to));
  const double doubt = rise_doubt(s, r.from, r.to);
  const fall f = fall_at(s, r.from);
  // (Both chances change smoothly: a coarse look, then a fine one.)
  const auto likely = [&](size_t k) {
    return f.ended_by(static_cast<double>(k)) + log_below((start - static_cast<double>(k)) / doubt);
  };
  size_t cut = r.from;
  double best = likely(cut);
  for (size_t k = r.from + 5; k <= r.to; k += 5)
    if (const double p = likely(k); p > best) best = p, cut = k;
  for (size_t k = cut > r.from + 4 ? cut - 4 : r.from, end = std::min(r.to, cut + 4); k <= end; k++)
    if (const double p = likely(k); p > best) best = p, cut = k;
  at.ended = f.overall();
  at.began = {start, doubt};
  b.first_sound = frame(start);
  b.last_sound = frame(std::min(f.end(), start));
  // (The slower the rise, or the louder the noise, the longer the lead.
  // Where it would reach before the likeliest cut, that cut stands.)
  const double lead = 0.3 * second + std::max(2 * doubt, unheard_intro(s, r.to));
  b.cut = frame(std::max(static_cast<double>(cut), start - lead));
  b.gap = static_cast<double>(r.length()) / second;
  at.silence = r;
  return at;
}

// How far the silence r lies under the music around it.
double depth(const side& s, const run& r) {
  const size_t before = std::min<size_t>(r.from, 3 * second);
  const double around = std::min(s.loud(r.from - before, before), s.loud(r.to, 3 * second));
  return db(around / std::max(1.0, s.floor.level));
}

// The quietest short dip of stretches [lo, hi), where the estimates put it:
// where two songs run into each other, the last notes of the one have ended
// and the first of the other are still rising.
size_t joining_point(const side& s, size_t lo, size_t hi, estimate x, estimate y) {
  double best = -1e9;
  size_t at = static_cast<size_t>(x.at);
  for (size_t k = std::max<size_t>(lo, 8); k < hi && k + 9 < s.size(); k++) {
    float left[6], right[6];
    for (size_t j = 0; j < 6; j++) left[j] = s.e.level(k - 8 + j), right[j] = s.e.level(k + 3 + j);
    std::nth_element(left, left + 3, left + 6);
    std::nth_element(right, right + 3, right + 6);
    const double x_k = static_cast<double>(k);
    const double around = std::min(left[3], right[3]);
    const double score =
        db(around / (s.e.level(k) + s.floor.level + 1)) - 20 * (x.beyond(x_k) + y.beyond(x_k));
    if (score > best) best = score, at = k;
  }
  return at;
}

boundary at_join(const side& s, size_t k) {
  k = std::min(k, s.size() - 1);  // a sleeve's lengths may run past the end
  boundary b;
  b.silent = false;
  // The songs join in the dip (which may begin a little before its lowest
  // stretch: the next song's first notes may rise slowly), at its quietest
  // 1.1 ms, less a part: that part lies where those notes are still
  // rising, mostly a part after the join.
  size_t first = k;
  while (first + 3 > k && first > 0 && s.e.level(first - 1) <= 2 * s.e.level(k)) first--;
  size_t least = first;
  for (size_t j = first; j <= k; j++)
    if (s.e.least(j) < s.e.least(least)) least = j;
  b.cut = std::max<int64_t>(0, s.e.quietest(least) - envelope::part);
  b.last_sound = b.first_sound = b.heard_to = b.heard_from = b.cut;
  const size_t before = std::min<size_t>(k, second);
  const double around = std::min(s.loud(k - before, before), s.loud(k + 1, second));
  b.depth_db = db(around / (s.e.level(k) + s.floor.level + 1));
  return b;
}

// The tracks between the boundaries, from a little before the first song to
// past the last one's end, and the findings every plan has.
void finish(const side& s, side_plan& p) {
  p.floor = s.floor;
  size_t first = s.lead ? s.runs.front().to : 0, last = s.out ? s.runs.back().from : s.size();
  if (first > last) first = last = 0;
  p.first_sound = frame(s.lead ? std::min(rise_start(s, 0, first), static_cast<double>(first)) : 0);
  // The lead-in and the run-out are left out with two seconds to spare:
  // their groove noise costs nothing, a lost fade-in or decay costs music,
  // and neither borders on another song. (A few seconds of them are not
  // worth leaving out.)
  const int64_t one = frame(second), frames = s.e.frames();
  int64_t begin = std::max<int64_t>(0, p.first_sound - 2 * one);
  if (begin < 3 * one) begin = 0;
  p.last_sound = s.out ? std::min(frames, frame(fall_at(s, last).end())) : frames;
  int64_t end = s.out ? p.last_sound + 2 * one : frames;
  if (end > frames - 3 * one) end = frames;
  const size_t n = p.boundaries.size() + 1;
  p.tracks.resize(n);
  for (size_t i = 0; i < n; i++) {
    side_track& t = p.tracks[i];
    t.start = i == 0 ? begin : p.boundaries[i - 1].cut;
    t.end = i + 1 == n ? end : p.boundaries[i].cut;
    t.first_sound = i == 0 ? p.first_sound : p.boundaries[i - 1].first_sound;
    t.last_sound = i + 1 == n ? p.last_sound : p.boundaries[i].last_sound;
  }
  finding floor{s.floor.level < 0.5 ? finding::digital_silence : finding::noise_level};
  floor.db = s.floor.db();
  p.findings.insert(p.findings.begin(), floor);
  if (begin > 0)
    p.findings.push_back({finding::lead_in, 0, 0, 0, static_cast<double>(begin) / rate});
  if (end < frames)
    p.findings.push_back({finding::run_out, 0, end, 0, static_cast<double>(frames - end) / rate});
}

}  // namespace

side_plan plan_for_count(const envelope& e, const noise& floor, int n) {
  const side s(e, floor);
  side_plan p;
  const std::vector<run> gaps = s.gaps();
  // The longest silences are taken for the gaps between songs.
  std::vector<size_t> order(gaps.size());
  std::iota(order.begin(), order.end(), 0);
  std::stable_sort(order.begin(), order.end(),
                   [&](size_t x, size_t y) { return gaps[x].length() > gaps[y].length(); });
  const size_t want = static_cast<size_t>(std::max(1, n)) - 1;
  const size_t got = std::min(want, order.size());
  std::vector<size_t> chosen(order.begin(), order.begin() + static_cast<long>(got));
  std::sort(chosen.begin(), chosen.end());
  // Those left out that are nearly as long as the shortest taken could be
  // gaps as well.
  const size_t weakest = got > 0 ? gaps[order[got - 1]].length() : 0;
  for (size_t i : chosen) {
    boundary b = at_silence(s, gaps[i]).b;
    b.depth_db = depth(s, gaps[i]);
    if (gaps[i].length() == weakest)
      for (size_t j = got; j < order.size() && 3 * gaps[order[j]].length() >= 2 * weakest; j++) {
        const run& r = gaps[order[j]];
        b.rivals.push_back(frame(static_cast<double>(r.from + r.to) / 2));
      }
    b.ambiguous = !b.rivals.empty();
    p.boundaries.push_back(b);
  }
  for (size_t i = 0; i < p.boundaries.size(); i++)
    for (int64_t r : p.boundaries[i].rivals)
      p.findings.push_back({finding::ambiguous, static_cast<int>(i + 1), p.boundaries[i].cut, r});
  if (got < want) {
    p.complete = false;
    finding f{finding::too_few_gaps, n};
    f.count = static_cast<int>(got);
    p.findings.push_back(f);
  }
  finish(s, p);
  return p;
}

// Where the songs of a side run into each other at boundary i: from the
// silences found on either side of it (`at`, none for a join; or the side's
// ends), each song as long as the sleeve says. The lengths are rounded to
// the second: each adds half a second to the doubt.
size_t join_at(const side& s, const std::vector<const parting*>& at,
               const std::vector<double>& lengths, size_t i, estimate first, estimate last) {
  estimate left = first, right = last;
  size_t j = i;
  while (j > 0 && !at[j - 1]) j--;
  if (j > 0) left = at[j - 1]->began;
  const double lo = j > 0 ? left.at : 0;
  for (size_t k = j; k <= i; k++) left.at += lengths[k], left.within += second / 2.0;
  j = i + 1;
  while (j < at.size() && !at[j]) j++;
  if (j < at.size()) right = at[j]->ended;
  const double hi = j < at.size() ? right.at : static_cast<double>(s.size());
  for (size_t k = i + 1; k <= j && k < lengths.size(); k++)
    right.at -= lengths[k], right.within += second / 2.0;
  // (Wider: a song's start may hide under the noise in a quiet intro.)
  const double from = std::max(lo + second, std::min(left.at, right.at) - 3 * second);
  const double to = std::min(hi - second, std::max(left.at, right.at) + 3 * second);
  return joining_point(s, static_cast<size_t>(std::max(0.0, from)),
                       static_cast<size_t>(std::max(0.0, to)), left, right);
}

// Which silence each boundary of the sleeve's songs lies at (nullptr: the
// songs run into each other there), all chosen together so that one song
// found wrong does not shift the rest. The songs between two silences cost
// by how far their music's length differs from the sleeve's (each length
// rounded to the second, each end found give or take), each join by the
// music it cuts into.
std::vector<const parting*> choose(const std::vector<parting>& at,
                                   const std::vector<double>& length, estimate first,
                                   estimate last) {
  constexpr double join_cost = 10, rounding = second * second / 12.0;
  const size_t n = length.size(), m = at.size();
  if (n < 2) return {};
  std::vector<double> sum(n + 1, 0), began(m);
  for (size_t k = 0; k < n; k++) sum[k + 1] = sum[k] + length[k];
  for (size_t r = 0; r < m; r++) began[r] = at[r].began.at;
  // Songs [i0, i1) between where the first began and the last ended.
  const auto songs = [&](size_t i0, size_t i1, const estimate& from, const estimate& to) {
    const double d = to.at - from.at - (sum[i1] - sum[i0]);
    const double spread = static_cast<double>(i1 - i0) * rounding + from.within * from.within +
                          to.within * to.within + 100;
    return 2 * std::log1p(d * d / (3 * spread)) + join_cost * static_cast<double>(i1 - i0 - 1);
  };
  // The likeliest choices of boundaries 0..i, boundary i at silence r, each
  // with the choice before it: live[i0][k] (i0 == n: none, all songs before
  // run into each other from the start). The unlikely ones are let go.
  struct choice {
    size_t r = 0;
    double cost = 0;
    size_t i0 = 0, k = 0;
  };
  std::vector<std::vector<choice>> live(n - 1);
  const auto best_before = [&](size_t i1, const estimate& to) {
    choice c{0, songs(0, i1, first, to), n, 0};
    for (size_t i0 = i1 - 1; i0-- > 0;)
      for (size_t k = 0; k < live[i0].size() &&
                         live[i0][k].cost + join_cost * static_cast<double>(i1 - i0 - 2) < c.cost;
           k++) {
        const choice& b = live[i0][k];
        if (began[b.r] >= to.at) continue;
        const double x = b.cost + songs(i0 + 1, i1, at[b.r].began, to);
        if (x < c.cost) c = {0, x, i0, k};
      }
    return c;
  };
  // Boundary i lies its songs' lengths after the first began, and no more
  // of the gaps between all songs after that, give or take.
  const double gaps = std::max(0.0, last.at - first.at - sum[n]);
  for (size_t i = 0; i + 1 < n; i++) {
    const double from = first.at + sum[i + 1] - 10 * second - sum[i + 1] / 20;
    const double to = from + gaps + 30 * second + sum[i + 1] / 7;
    auto r =
        static_cast<size_t>(std::lower_bound(began.begin(), began.end(), from) - began.begin());
    for (; r < m && began[r] <= to; r++) {
      choice c = best_before(i + 1, at[r].ended);
      c.r = r;
      live[i].push_back(c);
    }
    std::sort(live[i].begin(), live[i].end(),
              [](const choice& x, const choice& y) { return x.cost < y.cost; });
    size_t keep = std::min<size_t>(live[i].size(), 8);
    while (keep > 0 && live[i][keep - 1].cost > live[i][0].cost + 12) keep--;
    live[i].resize(keep);
  }
  std::vector<const parting*> chosen(n - 1, nullptr);
  for (choice c = best_before(n, last); c.i0 < n; c = live[c.i0][c.k])
    chosen[c.i0] = &at[live[c.i0][c.k].r];
  return chosen;
}

side_plan plan_for_lengths(const envelope& e, const noise& floor,
                           const std::vector<int64_t>& lengths) {
  const side s(e, floor);
  side_plan p;
  std::vector<double> length(lengths.size());  // stretches
  for (size_t i = 0; i < lengths.size(); i++) length[i] = static_cast<double>(lengths[i]) / stretch;
  std::vector<parting> silences;
  for (const run& r : s.gaps()) silences.push_back(at_silence(s, r));
  const double start = s.lead ? rise_start(s, 0, s.runs.front().to) : 0;
  const estimate first{start, s.lead ? rise_doubt(s, 0, s.runs.front().to) : 0};
  const estimate last =
      s.out ? fall_at(s, s.runs.back().from).overall() : estimate{static_cast<double>(s.size()), 0};
  const std::vector<const parting*> at = choose(silences, length, first, last);
  for (size_t i = 0; i < at.size(); i++) {
    if (at[i]) {
      p.boundaries.push_back(at[i]->b);
      p.boundaries.back().depth_db = depth(s, at[i]->silence);
      continue;
    }
    p.boundaries.push_back(at_join(s, join_at(s, at, length, i, first, last)));
    p.findings.push_back({finding::no_silence, static_cast<int>(i + 1), p.boundaries.back().cut});
  }
  // Where the sleeve puts each song's end: its length after the start of
  // the song as found.
  for (size_t i = 0; i < p.boundaries.size(); i++) {
    const double began =
        i > 0 ? static_cast<double>(p.boundaries[i - 1].first_sound) / stretch : start;
    p.boundaries[i].expected = frame(began + length[i]);
  }
  finish(s, p);
  for (size_t i = 0; i < p.tracks.size() && i < lengths.size(); i++) {
    side_track& t = p.tracks[i];
    t.sleeve = lengths[i];
    const int64_t found = t.last_sound - t.first_sound;
    if (std::llabs(found - t.sleeve) > std::max<int64_t>(frame(3 * second), t.sleeve / 50))
      p.findings.push_back({finding::length_differs, static_cast<int>(i + 1), found, t.sleeve});
  }
  return p;
}

namespace {

std::string clock(int64_t frames) {
  char text[32];
  const double t = static_cast<double>(frames) / rate;
  const int minutes = static_cast<int>(t / 60);
  std::snprintf(text, sizeof text, "%d:%05.2f", minutes, t - 60 * minutes);
  return text;
}

}  // namespace

std::string describe(const finding& f) {
  char text[320];
  switch (f.kind) {
    case finding::digital_silence:
      return "The gaps are digital silence: every sound counts as music.";
    case finding::noise_level:
      std::snprintf(text, sizeof text,
                    "The gaps hold noise at %.0f dB (hiss or rumble): music that fades in or dies "
                    "away under it is kept with its song.",
                    f.db);
      return text;
    case finding::no_silence:
      std::snprintf(text, sizeof text,
                    "Songs %d and %d run into each other with no silence between them: the cut "
                    "goes to the quietest place near where the sleeve puts it, at %s.",
                    f.index, f.index + 1, clock(f.at).c_str());
      return text;
    case finding::ambiguous:
      std::snprintf(text, sizeof text,
                    "The gap at %s, taken to part tracks %d and %d, looks no more like a gap "
                    "between songs than the quiet place at %s: give the track lengths "
                    "(--lengths) to be sure.",
                    clock(f.at).c_str(), f.index, f.index + 1, clock(f.other).c_str());
      return text;
    case finding::too_few_gaps:
      std::snprintf(text, sizeof text,
                    "Only %d silences for the %d tracks asked: some songs run into each other. "
                    "Give the track lengths (--lengths) to find where.",
                    f.count, f.index);
      return text;
    case finding::length_differs:
      std::snprintf(text, sizeof text,
                    "Track %d is %s long here but %s on the sleeve: check the lengths given.",
                    f.index, clock(f.at).c_str(), clock(f.other).c_str());
      return text;
    case finding::lead_in:
      std::snprintf(text, sizeof text,
                    "The first %.1f s, before the music, are left out (the lead-in groove).",
                    f.seconds);
      return text;
    case finding::run_out:
      std::snprintf(text, sizeof text,
                    "The last %.1f s, from %s, after the music has died away, are left out (the "
                    "run-out groove).",
                    f.seconds, clock(f.at).c_str());
      return text;
  }
  return "";
}
