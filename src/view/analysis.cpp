#include "analysis.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <stdexcept>

#include "boundaries.h"
#include "control.h"
#include "detect.h"
#include "keldrun.h"
#include "wave.h"

#ifdef __SSE2__
#include <emmintrin.h>
#endif
#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#endif

std::string listing::rows() const {
  std::string text;
  for (const track& t : tracks) text += table_row(t.number, t.start, t.end, t.peak);
  return text;
}

const detection& analysis::at(int f, uint32_t level) const {
  for (const detection& d : found)
    if (d.filter == f && d.level == level) return d;
  throw std::logic_error("settings not analysed");
}

std::vector<std::string> threshold_grid() {
  // The E24 series: even steps on a dB scale, short to type. From 0.0001
  // (3 steps of 16 bits): a quiet preamp puts hiss and quiet intros down there.
  static const int e24[] = {10, 11, 12, 13, 15, 16, 18, 20, 22, 24, 27, 30,
                            33, 36, 39, 43, 47, 51, 56, 62, 68, 75, 82, 91};
  std::vector<std::string> grid;
  for (const char* decade : {"0.000", "0.00", "0.0", "0."}) {
    for (int m : e24) {
      std::string t = decade + std::to_string(m);
      if (t.back() == '0') t.pop_back();
      grid.push_back(t);
    }
  }
  return grid;
}

namespace {

constexpr int64_t ring = 1 << 16;  // frames of levels kept: the window, a block, and more
constexpr int64_t chunk = 1 << 14;
enum kind : char { silent, sound, mixed };

// Where one (filter, threshold) scan stands between blocks.
struct scan_state {
  bool in_run = false;  // in a silence that holds a whole silent block
  int64_t run_start = 0;
  kind before = sound;  // the previous block, as if sound came before frame 0
};

struct pass {
  analysis& a;
  uint16_t lev[ring] = {};
  int64_t read = 0;  // frames whose levels are in `lev`

  uint16_t level(int64_t k) const { return k < 0 ? 0 : lev[k & (ring - 1)]; }
  uint16_t loudest(int64_t lo, int64_t hi) const {
    uint16_t m = 0;
    for (int64_t k = lo < 0 ? 0 : lo; k <= hi; k++) m = std::max(m, level(k));
    return m;
  }
  // The run ending where sound resumes at `stop`, with the partial block
  // maxima around frame stop - filter.
  quiet_run run(int64_t start, int64_t stop, int f) const {
    const int64_t e = stop - f, b = a.block;
    if (e < 0) return {start, stop, 0, 0};
    const int64_t first = e / b * b, last = std::min(first + b, read) - 1;
    return {start, stop, loudest(first, e), loudest(e + 1, last)};
  }
};

// The window sums of frames j.. on, one at a time.
uint32_t sums_from(int64_t j, const uint16_t* in, const uint16_t* out, int64_t m, uint32_t s,
                   uint32_t* w, uint32_t& lo, uint32_t& hi) {
  for (; j < m; j++) {
    w[j] = s += in[j] - out[j];
    lo = std::min(lo, s);
    hi = std::max(hi, s);
  }
  return s;
}

// Window sums w[j] = s + the sum of in[i] - out[i] for i up to j, with
// their least and greatest; returns the last. Sums never exceed 2^31, so
// they compare as signed.
uint32_t window_sums_sse2(const uint16_t* in, const uint16_t* out, int64_t m, uint32_t s,
                          uint32_t* w, uint32_t& lo, uint32_t& hi) {
  int64_t j = 0;
  lo = UINT32_MAX, hi = 0;
#ifdef __SSE2__
  const __m128i zero = _mm_setzero_si128();
  __m128i carry = _mm_set1_epi32(static_cast<int>(s)), least = _mm_set1_epi32(INT32_MAX),
          most = zero;
  for (; j + 4 <= m; j += 4) {
    const __m128i x = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(in + j));
    const __m128i y = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(out + j));
    __m128i d = _mm_sub_epi32(_mm_unpacklo_epi16(x, zero), _mm_unpacklo_epi16(y, zero));
    d = _mm_add_epi32(d, _mm_slli_si128(d, 4));
    d = _mm_add_epi32(_mm_add_epi32(d, _mm_slli_si128(d, 8)), carry);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(w + j), d);
    carry = _mm_shuffle_epi32(d, 0xFF);
    const __m128i below = _mm_cmplt_epi32(d, least), above = _mm_cmpgt_epi32(d, most);
    least = _mm_or_si128(_mm_and_si128(below, d), _mm_andnot_si128(below, least));
    most = _mm_or_si128(_mm_and_si128(above, d), _mm_andnot_si128(above, most));
  }
  uint32_t l[4], h[4];
  _mm_storeu_si128(reinterpret_cast<__m128i*>(l), least);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(h), most);
  for (int i = 0; i < 4; i++) lo = std::min(lo, l[i]), hi = std::max(hi, h[i]);
  s = static_cast<uint32_t>(_mm_cvtsi128_si32(carry));
#endif
  return sums_from(j, in, out, m, s, w, lo, hi);
}

#if defined(__x86_64__) && defined(__GNUC__)
// The same, eight at a time, for processors with AVX2.
__attribute__((target("avx2"))) uint32_t window_sums_avx2(const uint16_t* in, const uint16_t* out,
                                                          int64_t m, uint32_t s, uint32_t* w,
                                                          uint32_t& lo, uint32_t& hi) {
  int64_t j = 0;
  __m256i carry = _mm256_set1_epi32(static_cast<int>(s)), least = _mm256_set1_epi32(INT32_MAX),
          most = _mm256_setzero_si256();
  const __m256i last = _mm256_set1_epi32(7);
  for (; j + 8 <= m; j += 8) {
    __m256i d = _mm256_sub_epi32(
        _mm256_cvtepu16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(in + j))),
        _mm256_cvtepu16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(out + j))));
    d = _mm256_add_epi32(d, _mm256_slli_si256(d, 4));
    d = _mm256_add_epi32(d, _mm256_slli_si256(d, 8));
    // Carry the lower half's total into the upper half, then the sum so far.
    const __m256i half = _mm256_shuffle_epi32(d, 0xFF);
    d = _mm256_add_epi32(_mm256_add_epi32(d, _mm256_permute2x128_si256(half, half, 0x08)), carry);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(w + j), d);
    carry = _mm256_permutevar8x32_epi32(d, last);
    least = _mm256_min_epi32(least, d);
    most = _mm256_max_epi32(most, d);
  }
  uint32_t l[8], h[8];
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(l), least);
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(h), most);
  lo = UINT32_MAX, hi = 0;
  for (int i = 0; i < 8; i++) lo = std::min(lo, l[i]), hi = std::max(hi, h[i]);
  s = static_cast<uint32_t>(_mm256_cvtsi256_si32(carry));
  return sums_from(j, in, out, m, s, w, lo, hi);
}
#endif

uint32_t window_sums(const uint16_t* in, const uint16_t* out, int64_t m, uint32_t s, uint32_t* w,
                     uint32_t& lo, uint32_t& hi) {
#if defined(__x86_64__) && defined(__GNUC__)
  if (wide_steps) return window_sums_avx2(in, out, m, s, w, lo, hi);
#endif
  return window_sums_sse2(in, out, m, s, w, lo, hi);
}

// The first j from `from` on with w[j] > t (w holds such a j), four at a time.
int64_t first_above(const uint32_t* w, int64_t from, uint32_t t) {
  int64_t j = from;
#ifdef __SSE2__
  const __m128i limit = _mm_set1_epi32(static_cast<int>(t));
  for (;; j += 4) {
    const int above = _mm_movemask_ps(_mm_castsi128_ps(
        _mm_cmpgt_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(w + j)), limit)));
    if (above) return j + __builtin_ctz(static_cast<unsigned>(above));
  }
#endif
  while (w[j] <= t) j++;
  return j;
}

// The last j below `to` with w[j] > t (w holds such a j), four at a time.
int64_t last_above(const uint32_t* w, int64_t to, uint32_t t) {
  int64_t j = to;
#ifdef __SSE2__
  const __m128i limit = _mm_set1_epi32(static_cast<int>(t));
  for (; j >= 4; j -= 4) {
    const int above = _mm_movemask_ps(_mm_castsi128_ps(
        _mm_cmpgt_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(w + j - 4)), limit)));
    if (above) return j - 4 + 31 - __builtin_clz(static_cast<unsigned>(above));
  }
#endif
  do j--;
  while (w[j] <= t);
  return j;
}

}  // namespace

analysis analyse(const std::vector<int>& filters, const std::vector<std::string>& texts,
                 uint32_t shortest, envelope* env) {
  analysis a;
  a.filter = filters.front();
  for (int f : filters)
    if (std::find(a.filters.begin(), a.filters.end(), f) == a.filters.end()) a.filters.push_back(f);
  std::vector<std::pair<uint32_t, std::string>> by_level;
  for (const std::string& t : texts) by_level.emplace_back(switch_value('T', t.c_str()), t);
  std::stable_sort(by_level.begin(), by_level.end(),
                   [](const auto& x, const auto& y) { return x.first < y.first; });
  for (const auto& [level, text] : by_level) {
    if (!a.levels.empty() && a.levels.back() == level) continue;
    a.levels.push_back(level);
    a.texts.push_back(text);
  }
  // Every silence of at least 2 blocks - 1 steps holds a whole silent block.
  while (a.block > 1 && 2 * static_cast<int64_t>(a.block) - 1 > shortest) a.block /= 2;
  a.shortest = shortest;
  const uint32_t b = a.block;
  const size_t nt = a.levels.size();
  for (int f : a.filters)
    for (uint32_t level : a.levels) a.found.push_back({f, level, -1, 0, {}, -1});
  std::vector<scan_state> state(a.found.size());
  a.column =
      b * static_cast<uint32_t>((static_cast<int64_t>(samples) + 4000LL * b - 1) / (4000LL * b));
  if (a.column == 0) a.column = b;

  auto p = std::unique_ptr<pass>(new pass{a});
  // Window sums of the current and the previous block, per filter.
  // (Room for four more, read by searches that stop within the block.)
  std::vector<std::vector<uint32_t>> cur(a.filters.size(), std::vector<uint32_t>(b + 4)),
      prev = cur;
  std::vector<uint32_t> sum(a.filters.size(), 0);
  // Window thresholds per filter, rising; and per filter, how many of them
  // the previous block's least and greatest window sums exceeded.
  std::vector<std::vector<uint32_t>> thr(a.filters.size());
  std::vector<size_t> was_lo(a.filters.size(), nt), was_hi(a.filters.size(), nt);
  for (size_t fi = 0; fi < a.filters.size(); fi++)
    for (uint32_t level : a.levels)
      thr[fi].push_back(level * static_cast<uint32_t>(a.filters[fi] + 1));
  uint32_t env_max = 0, env_count = 0;
  static unsigned char buf[4 * chunk];
  // The chunk's levels, after those of the frames before it (0 before the
  // first): the window sums reach back filter + 1 frames.
  constexpr int64_t back = 2048;
  std::vector<uint16_t> lin(back + chunk, 0);

  // One block for one threshold, whose kind has changed since the last.
  auto step = [&](size_t fi, size_t ti, int64_t k0, const uint32_t* w, uint32_t lo, uint32_t hi) {
    detection& d = a.found[fi * nt + ti];
    scan_state& st = state[fi * nt + ti];
    const uint32_t t = thr[fi][ti];
    if (hi <= t) {
      if (!st.in_run) {
        int64_t start = k0;
        if (st.before == mixed) {
          start = k0 - b + last_above(prev[fi].data(), b, t) + 1;
        }
        st.in_run = true;
        st.run_start = start;
      }
      st.before = silent;
      return;
    }
    if (st.in_run || d.probe < 0) {
      const int64_t j = lo > t ? 0 : first_above(w, 0, t);
      if (d.probe < 0) {
        d.probe = k0 + j;
        d.probe_post = p->run(0, d.probe, d.filter).post;
      } else if (k0 + j - st.run_start >= shortest) {
        d.runs.push_back(p->run(st.run_start, k0 + j, d.filter));
      }
      st.in_run = false;
    }
    st.before = lo > t ? sound : mixed;
  };

  int64_t left = samples;
  while (left > 0 && !a.early_end) {
    const int64_t want = std::min(left, chunk);
    const size_t got = read_block(buf, 4 * static_cast<size_t>(want));
    if (input_failed()) error(read_failed);
    int64_t n = static_cast<int64_t>(got / 4);
    if (got < 4 * static_cast<size_t>(want)) {
      // The detector's last step reads what is left, and 0xFF for the rest.
      std::memset(buf + got, 0xFF, 4 - got % 4);
      n++;
      a.early_end = true;
    }
    left -= want;
    if (env) env->add(buf, static_cast<size_t>(n));
    uint16_t* const levels = lin.data() + back;
    frame_levels(buf, static_cast<uint32_t>(n), levels);
    std::memcpy(p->lev + (p->read & (ring - 1)), levels, 2 * static_cast<size_t>(n));
    const int64_t chunk_first = p->read;
    p->read += n;
    for (int64_t j0 = 0; j0 < n; j0 += b) {
      const int64_t k0 = chunk_first + j0, m = std::min<int64_t>(b, n - j0);
      const uint16_t* in = levels + j0;
      uint16_t top = 0;
      for (int64_t j = 0; j < m; j++) top = std::max(top, in[j]);
      a.block_max.push_back(top);
      for (size_t fi = 0; fi < a.filters.size(); fi++) {
        const uint16_t* out = in - a.filters[fi] - 1;
        uint32_t* w = cur[fi].data();
        uint32_t lo, hi;
        sum[fi] = window_sums(in, out, m, sum[fi], w, lo, hi);
        if (fi == 0) {
          const size_t col = static_cast<size_t>(k0 / a.column);
          if (a.overview.size() <= col) a.overview.resize(col + 1, 0);
          a.overview[col] = std::max(a.overview[col], hi);
          // A block within one 10-ms stretch adds its greatest sum; one that
          // reaches the stretch's end goes frame by frame.
          const bool within = env_count + m < 441;
          if (within) env_max = std::max(env_max, hi), env_count += static_cast<uint32_t>(m);
          for (int64_t j = within ? m : 0; j < m;) {
            const int64_t take = std::min<int64_t>(m - j, 441 - env_count);
            for (int64_t i = j; i < j + take; i++) env_max = std::max(env_max, w[i]);
            env_count += static_cast<uint32_t>(take);
            j += take;
            if (env_count == 441) {
              a.env.push_back(env_max);
              env_max = env_count = 0;
            }
          }
        }
        // Thresholds below both sums hear sound, those at or above both
        // silence: only those whose kind changed need a look.
        // (Counted from where they were: they seldom move far.)
        const auto below = [&t = thr[fi]](size_t i, uint32_t v) {
          while (i > 0 && t[i - 1] >= v) i--;
          while (i < t.size() && t[i] < v) i++;
          return i;
        };
        const size_t now_lo = below(was_lo[fi], lo), now_hi = below(was_hi[fi], hi);
        // (All of them at the first block, where each looks for its probe.)
        const size_t a1 = k0 == 0 ? 0 : std::min(now_lo, was_lo[fi]);
        const size_t b1 = k0 == 0 ? nt : std::max(now_lo, was_lo[fi]);
        const size_t a2 = std::min(now_hi, was_hi[fi]), b2 = std::max(now_hi, was_hi[fi]);
        for (size_t ti = a1; ti < b1; ti++) step(fi, ti, k0, w, lo, hi);
        for (size_t ti = a2; ti < b2; ti++)
          if (ti < a1 || ti >= b1) step(fi, ti, k0, w, lo, hi);
        was_lo[fi] = now_lo;
        was_hi[fi] = now_hi;
        std::swap(cur[fi], prev[fi]);
      }
    }
    std::memmove(lin.data(), lin.data() + n, 2 * back);
  }
  if (env_count != 0) a.env.push_back(env_max);
  a.steps = p->read;
  for (size_t i = 0; i < a.found.size(); i++)
    if (state[i].in_run) a.found[i].tail = state[i].run_start;
  const int64_t kept = std::min<int64_t>(a.steps, 8192);
  for (int64_t k = a.steps - kept; k < a.steps; k++) a.last.push_back(p->level(k));
  return a;
}

namespace {

// The loudest level of frames lo..hi, from the block maxima, the partial
// blocks the pass kept at run ends (`lo_post` when frame lo - 1 is a run's
// end, `hi_pre` when hi is, else -1: hi is then among the last frames).
long loudest(const analysis& a, int64_t lo, int64_t hi, long lo_post, long hi_pre) {
  if (lo < 0) lo = 0;
  if (hi < lo) return 0;
  const int64_t b = a.block, kept = a.steps - static_cast<int64_t>(a.last.size());
  auto last = [&](int64_t x, int64_t y) {
    long m = 0;
    for (int64_t k = x; k <= y; k++) m = std::max<long>(m, a.last[k - kept]);
    return m;
  };
  if (lo >= kept) return last(lo, hi);
  const int64_t bl = lo / b, bh = hi / b;
  const bool lo_whole = lo % b == 0, hi_whole = hi % b == b - 1 || hi == a.steps - 1;
  auto upto = [&] { return hi_whole ? a.block_max[bh] : hi_pre >= 0 ? hi_pre : last(bh * b, hi); };
  if (bl == bh) {
    if (lo_whole) return upto();
    if (hi_whole) return lo_post;
    throw std::logic_error("peak range inside one block");
  }
  long m = std::max(lo_whole ? a.block_max[bl] : lo_post, upto());
  for (int64_t i = bl + 1; i < bh; i++) m = std::max<long>(m, a.block_max[i]);
  return m;
}

}  // namespace

listing model_listing(const analysis& a, const detection& d, uint32_t gap, int32_t cut,
                      bool peaks) {
  listing l;
  if (d.probe < 0) {
    l.no_sound = true;
    return l;
  }
  const int f = d.filter;
  int64_t c_prev = d.probe + 1;  // where the scan of the track began
  long lo_post = d.probe_post;
  auto scan = [&](int64_t c, long hi_pre) {
    const int64_t start = c_prev < f ? 0 : c_prev - f;
    const int64_t end = c - cut - f - (a.early_end && c == a.steps ? 1 : 0);
    const long peak = peaks ? loudest(a, c_prev - f, c - 1 - f, lo_post, hi_pre) : 0;
    if (end > start)
      l.tracks.push_back({++l.scans, start, end, peak});
    else
      ++l.scans;
  };
  for (const quiet_run& r : d.runs) {
    if (r.length() < gap) continue;
    scan(r.stop + 1, r.pre);
    if (r.stop + 1 >= a.steps) return l;
    if (l.scans == 99) {
      l.too_many = true;
      return l;
    }
    c_prev = r.stop + 1;
    lo_post = r.post;
  }
  scan(a.steps, -1);
  return l;
}

listing detector_listing() {
  // The rows are returned, not listed, and the scan takes a moment only.
  FILE* const table = table_out;
  FILE* const progress = progress_out;
  table_out = progress_out = nullptr;
  reset_detector();
  sample = 0;
  listing l;
  int64_t start, end;
  if (find_track(0, &start, &start) >= 0) {
    l.no_sound = true;
  } else {
    for (int t = 1;; t++) {
      if (t == 100) {
        l.too_many = true;
        break;
      }
      const long peak = find_track(t, &start, &end);
      l.scans++;
      if (end > start) l.tracks.push_back({t, start, end, peak});
      if (sample >= samples) break;
    }
  }
  table_out = table;
  progress_out = progress;
  return l;
}
