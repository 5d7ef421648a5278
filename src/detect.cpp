#include "detect.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "keldrun.h"
#include "platform.h"
#include "wave.h"

#ifdef __SSE2__
#include <emmintrin.h>
#endif
#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#endif

uint32_t sample = 0;   // frames consumed; only find_track advances it
uint32_t samples = 0;  // frames in the data; 0 once the input ran out

static int16_t filt_left[1001], filt_right[1001];
static uint16_t levels[1001];  // level of each slot, so a frame leaving costs nothing
static uint16_t index = 0;     // the slot that receives the next frame
// Sum of the levels of all filter + 1 slots, kept as frames enter and leave
// so that a step costs the same whatever the filter length.
static uint32_t window_sum = 0;

void reset_detector() {
  for (int i = 0; i < 1001; i++) filt_left[i] = filt_right[i] = levels[i] = 0;
  index = 0;
  window_sum = 0;
}

// One filter step on the frame (l, r): the only place the window changes.
// `idx` and `sum` are the caller's copies of `index` and `window_sum`.
template <bool writing>
static inline bool step(int16_t l, int16_t r, uint16_t& peak, uint32_t& idx, uint32_t& sum) {
  const int al = l < 0 ? -l : l, ar = r < 0 ? -r : r;
  const uint16_t level = static_cast<uint16_t>(al > ar ? al : ar);
  sum += level - levels[idx];
  levels[idx] = level;
  filt_left[idx] = l;
  filt_right[idx] = r;
  if (++idx > static_cast<uint32_t>(filter)) idx = 0;
  // The oldest frame of the window leaves the delay line.
  if (writing) write_frame(filt_left[idx], filt_right[idx]);
  if (levels[idx] > peak) peak = levels[idx];
  // threshold is the per-frame level times (filter + 1): comparing sums is
  // comparing the window's mean level without a division.
  return sum > threshold;
}

bool update_filter(uint16_t* peak) {
  int16_t l, r;
  read_frame(l, r);
  uint32_t idx = index, sum = window_sum;
  // Until the window holds only frames of the data, nothing leaves it.
  const bool sound = out && sample > static_cast<uint32_t>(filter)
                         ? step<true>(l, r, *peak, idx, sum)
                         : step<false>(l, r, *peak, idx, sum);
  index = static_cast<uint16_t>(idx);
  window_sum = sum;
  return sound;
}

// Levels of the window before a block of frames (oldest first), followed by
// the levels of the block: the level leaving at step k is hist[k], the one
// entering hist[w + k], so the fast loop needs no ring arithmetic.
static uint16_t hist[1001 + io::block / 4];

static inline uint16_t frame_level(const unsigned char* f) {
  const int l = static_cast<int16_t>(read_u16_le(f)), r = static_cast<int16_t>(read_u16_le(f + 2));
  const int al = l < 0 ? -l : l, ar = r < 0 ? -r : r;
  return static_cast<uint16_t>(al > ar ? al : ar);
}

// Window sums all come from running sums, computed by running_sums8: the
// detector's block path runs them over the levels entering less those
// leaving, which gives its window sums step by step; keldrun-view's
// analysis keeps them over the levels themselves (prefix_sums), so that any
// window length's sum is the difference of two. The vector loops come in
// three kinds: one step at a time (the ends of their ranges, and processors
// without SSE2), SSE2 and AVX2. Window sums never exceed 2^31, so they
// compare as signed.

// The running sums one at a time, from level k on.
static void prefix_sums_from(uint32_t k, const uint16_t* x, uint32_t n, uint32_t* p) {
  for (; k < n; k++) p[k + 1] = p[k] + x[k];
}

// The window sum of length w of frame j: its running sum less the one w
// frames before.
static inline uint32_t sum_at(const uint32_t* e, uint32_t w, uint32_t j) {
  return e[j] - e[static_cast<int64_t>(j) - w];
}

// The least and greatest window sums of length w from frame j on.
static void window_range_from(uint32_t j, const uint32_t* e, uint32_t w, uint32_t n, uint32_t& lo,
                              uint32_t& hi) {
  for (; j < n; j++) lo = std::min(lo, sum_at(e, w, j)), hi = std::max(hi, sum_at(e, w, j));
}

// Whether 8 steps with these sound decisions (a bit each, the first
// lowest) leave the scan going, counting the silence at their end. Sound
// after `gap` silent steps ends the scan, and in a probe any sound does:
// such chunks go step by step. Within a chunk no later run of silence can
// reach a gap of 8 or more, so only the first sound step can end it.
static inline bool chunk_goes_on(int sound, bool tracking, uint32_t g, uint32_t& quiet) {
  if (sound == 0) {
    quiet += 8;
    return true;
  }
  if (!tracking || quiet + static_cast<uint32_t>(__builtin_ctz(sound)) >= g || g < 8) return false;
  quiet = static_cast<uint32_t>(__builtin_clz(static_cast<unsigned>(sound))) - 24;
  return true;
}

#ifdef __SSE2__
// The running sums of eight 32-bit values, four in `lo` and four in `hi`,
// from `sum` (the sum before them, in every lane); returns the sum after
// them. Within the eight first, so that one step waits for the last only
// for an addition.
static inline __m128i running_sums8(__m128i& lo, __m128i& hi, __m128i sum) {
  lo = _mm_add_epi32(lo, _mm_slli_si128(lo, 4));
  hi = _mm_add_epi32(hi, _mm_slli_si128(hi, 4));
  lo = _mm_add_epi32(lo, _mm_slli_si128(lo, 8));
  hi = _mm_add_epi32(_mm_add_epi32(hi, _mm_slli_si128(hi, 8)), _mm_shuffle_epi32(lo, 0xFF));
  const __m128i total = _mm_shuffle_epi32(hi, 0xFF);
  lo = _mm_add_epi32(lo, sum), hi = _mm_add_epi32(hi, sum);
  return _mm_add_epi32(sum, total);
}

static inline __m128i window_sums4(const uint32_t* e, uint32_t w, uint32_t j) {
  return _mm_sub_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(e + j)),
                       _mm_loadu_si128(reinterpret_cast<const __m128i*>(e + j - w)));
}

static inline int above4(const uint32_t* e, uint32_t w, uint32_t j, __m128i limit) {
  return _mm_movemask_ps(_mm_castsi128_ps(_mm_cmpgt_epi32(window_sums4(e, w, j), limit)));
}
#endif

static void frame_levels_sse2(const unsigned char* p, uint32_t n, uint16_t* dst) {
  uint32_t k = 0;
#ifdef __SSE2__
  // Eight frames at a time: |sample| as unsigned 16 bits (|-32768| is 32768),
  // the louder of each pair, compared as signed after flipping the top bit.
  const __m128i flip = _mm_set1_epi16(-0x8000);
  for (; k + 8 <= n; k += 8) {
    __m128i half[2];
    for (int h = 0; h < 2; h++) {
      const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 4 * k + 16 * h));
      const __m128i sign = _mm_srai_epi16(x, 15);
      const __m128i mag = _mm_xor_si128(_mm_sub_epi16(_mm_xor_si128(x, sign), sign), flip);
      const __m128i other = _mm_shufflehi_epi16(_mm_shufflelo_epi16(mag, 0xB1), 0xB1);
      const __m128i louder = _mm_max_epi16(mag, other);  // in both halves of each frame
      half[h] = _mm_srai_epi32(_mm_slli_epi32(louder, 16), 16);
    }
    const __m128i level = _mm_xor_si128(_mm_packs_epi32(half[0], half[1]), flip);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + k), level);
  }
#endif
  for (; k < n; k++) dst[k] = frame_level(p + 4 * k);
}

static void prefix_sums_sse2(const uint16_t* x, uint32_t n, uint32_t* p) {
  uint32_t k = 0;
#ifdef __SSE2__
  const __m128i zero = _mm_setzero_si128();
  __m128i sum = _mm_set1_epi32(static_cast<int>(p[0]));
  for (; k + 8 <= n; k += 8) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(x + k));
    __m128i lo = _mm_unpacklo_epi16(v, zero), hi = _mm_unpackhi_epi16(v, zero);
    sum = running_sums8(lo, hi, sum);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(p + k + 1), lo);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(p + k + 5), hi);
  }
#endif
  prefix_sums_from(k, x, n, p);
}

static void window_range_sse2(const uint32_t* e, uint32_t w, uint32_t n, uint32_t& lo,
                              uint32_t& hi) {
  uint32_t j = 0;
  lo = UINT32_MAX, hi = 0;
#ifdef __SSE2__
  __m128i least = _mm_set1_epi32(INT32_MAX), most = _mm_setzero_si128();
  for (; j + 4 <= n; j += 4) {
    const __m128i d = window_sums4(e, w, j);
    const __m128i below = _mm_cmplt_epi32(d, least), above = _mm_cmpgt_epi32(d, most);
    least = _mm_or_si128(_mm_and_si128(below, d), _mm_andnot_si128(below, least));
    most = _mm_or_si128(_mm_and_si128(above, d), _mm_andnot_si128(above, most));
  }
  uint32_t l[4], h[4];
  _mm_storeu_si128(reinterpret_cast<__m128i*>(l), least);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(h), most);
  for (int i = 0; i < 4; i++) lo = std::min(lo, l[i]), hi = std::max(hi, h[i]);
#endif
  window_range_from(j, e, w, n, lo, hi);
}

static uint32_t first_window_above_sse2(const uint32_t* e, uint32_t w, uint32_t t) {
  uint32_t j = 0;
#ifdef __SSE2__
  const __m128i limit = _mm_set1_epi32(static_cast<int>(t));
  for (;; j += 4)
    if (const int m = above4(e, w, j, limit)) return j + __builtin_ctz(m);
#endif
  while (sum_at(e, w, j) <= t) j++;
  return j;
}

static uint32_t last_window_above_sse2(const uint32_t* e, uint32_t w, uint32_t to, uint32_t t) {
  uint32_t j = to;
#ifdef __SSE2__
  const __m128i limit = _mm_set1_epi32(static_cast<int>(t));
  for (; j >= 4; j -= 4)
    if (const int m = above4(e, w, j - 4, limit)) return j - 4 + 31 - __builtin_clz(m);
#endif
  do j--;
  while (sum_at(e, w, j) <= t);
  return j;
}

// Takes whole chunks of 8 steps that do not end the scan, eight decisions at
// a time, from step `i` on; returns the steps taken, stopping before a chunk
// that may end the scan. The window sums after each step are the running
// sums of the levels entering less those leaving.
static uint32_t whole_chunks_sse2(uint32_t i, uint32_t n, uint32_t w, bool tracking,
                                  uint32_t& window, uint32_t& silence, uint16_t& peak) {
  uint32_t done = 0;
#ifdef __SSE2__
  const uint16_t* enter = hist + w + i;
  const uint16_t* leave = hist + i;
  const __m128i zero = _mm_setzero_si128(), flip = _mm_set1_epi16(-0x8000);
  const __m128i thr = _mm_set1_epi32(static_cast<int>(threshold));
  // Levels go up to 32768: compared as signed after flipping the top bit.
  __m128i top = _mm_set1_epi16(static_cast<int16_t>(peak ^ 0x8000));
  __m128i sum = _mm_set1_epi32(static_cast<int>(window));
  uint32_t quiet = silence;
  for (; n - done >= 8; done += 8) {
    const __m128i in = _mm_loadu_si128(reinterpret_cast<const __m128i*>(enter + done));
    const __m128i out = _mm_loadu_si128(reinterpret_cast<const __m128i*>(leave + done));
    __m128i lo = _mm_sub_epi32(_mm_unpacklo_epi16(in, zero), _mm_unpacklo_epi16(out, zero));
    __m128i hi = _mm_sub_epi32(_mm_unpackhi_epi16(in, zero), _mm_unpackhi_epi16(out, zero));
    const __m128i after = running_sums8(lo, hi, sum);
    const int sound = _mm_movemask_ps(_mm_castsi128_ps(_mm_cmpgt_epi32(lo, thr))) |
                      _mm_movemask_ps(_mm_castsi128_ps(_mm_cmpgt_epi32(hi, thr))) << 4;
    if (!chunk_goes_on(sound, tracking, gap, quiet)) break;
    sum = after;
    const __m128i passed = _mm_loadu_si128(reinterpret_cast<const __m128i*>(leave + done + 1));
    top = _mm_max_epi16(top, _mm_xor_si128(passed, flip));
  }
  top = _mm_max_epi16(top, _mm_srli_si128(top, 8));
  top = _mm_max_epi16(top, _mm_srli_si128(top, 4));
  top = _mm_max_epi16(top, _mm_srli_si128(top, 2));
  peak = static_cast<uint16_t>(_mm_cvtsi128_si32(top) ^ 0x8000);
  window = static_cast<uint32_t>(_mm_cvtsi128_si32(sum));
  silence = quiet;
#else
  (void)i, (void)n, (void)w, (void)tracking, (void)window, (void)silence, (void)peak;
#endif
  return done;
}

#if defined(__x86_64__) && defined(__GNUC__)
#define AVX2 __attribute__((target("avx2")))

// The running sums of eight 32-bit values in `d`, from `sum` (in every
// lane); returns the sum after them. As running_sums8, within the eight
// first: within each half, then across.
AVX2 static inline __m256i running_sums8(__m256i& d, __m256i sum) {
  d = _mm256_add_epi32(d, _mm256_slli_si256(d, 4));
  d = _mm256_add_epi32(d, _mm256_slli_si256(d, 8));
  const __m256i half = _mm256_shuffle_epi32(d, 0xFF);
  d = _mm256_add_epi32(d, _mm256_permute2x128_si256(half, half, 0x08));
  const __m256i total = _mm256_permutevar8x32_epi32(d, _mm256_set1_epi32(7));
  d = _mm256_add_epi32(d, sum);
  return _mm256_add_epi32(sum, total);
}

AVX2 static inline __m256i window_sums8(const uint32_t* e, uint32_t w, uint32_t j) {
  return _mm256_sub_epi32(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(e + j)),
                          _mm256_loadu_si256(reinterpret_cast<const __m256i*>(e + j - w)));
}

AVX2 static inline int above8(const uint32_t* e, uint32_t w, uint32_t j, __m256i limit) {
  return _mm256_movemask_ps(_mm256_castsi256_ps(_mm256_cmpgt_epi32(window_sums8(e, w, j), limit)));
}

AVX2 static void frame_levels_avx2(const unsigned char* p, uint32_t n, uint16_t* dst) {
  uint32_t k = 0;
  const __m256i low = _mm256_set1_epi32(0xFFFF);
  for (; k + 16 <= n; k += 16) {
    __m256i half[2];
    for (int h = 0; h < 2; h++) {
      const __m256i x = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 4 * k + 32 * h));
      const __m256i sign = _mm256_srai_epi16(x, 15);
      const __m256i mag = _mm256_sub_epi16(_mm256_xor_si256(x, sign), sign);
      const __m256i other = _mm256_shufflehi_epi16(_mm256_shufflelo_epi16(mag, 0xB1), 0xB1);
      half[h] = _mm256_and_si256(_mm256_max_epu16(mag, other), low);
    }
    // The pack works within each 128-bit half: put the four quarters in order.
    const __m256i level = _mm256_permute4x64_epi64(_mm256_packus_epi32(half[0], half[1]), 0xD8);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + k), level);
  }
  for (; k < n; k++) dst[k] = frame_level(p + 4 * k);
}

// Eight levels at x, widened to 32 bits.
AVX2 static inline __m256i levels8(const uint16_t* x) {
  return _mm256_cvtepu16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(x)));
}

AVX2 static void prefix_sums_avx2(const uint16_t* x, uint32_t n, uint32_t* p) {
  uint32_t k = 0;
  __m256i sum = _mm256_set1_epi32(static_cast<int>(p[0]));
  for (; k + 8 <= n; k += 8) {
    __m256i d = levels8(x + k);
    sum = running_sums8(d, sum);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(p + k + 1), d);
  }
  prefix_sums_from(k, x, n, p);
}

// The least and the greatest of the eight lanes: halves, quarters, eighths.
AVX2 static inline uint32_t lane_min(__m256i v) {
  __m128i x = _mm_min_epi32(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1));
  x = _mm_min_epi32(x, _mm_shuffle_epi32(x, 0x4E));
  return static_cast<uint32_t>(_mm_cvtsi128_si32(_mm_min_epi32(x, _mm_shuffle_epi32(x, 0xB1))));
}
AVX2 static inline uint32_t lane_max(__m256i v) {
  __m128i x = _mm_max_epi32(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1));
  x = _mm_max_epi32(x, _mm_shuffle_epi32(x, 0x4E));
  return static_cast<uint32_t>(_mm_cvtsi128_si32(_mm_max_epi32(x, _mm_shuffle_epi32(x, 0xB1))));
}

// Up to three window lengths at once: the running sums of a frame are read
// once for all of them.
template <int count>
AVX2 static void window_ranges_avx2(const uint32_t* e, const uint32_t* w, uint32_t n, uint32_t* lo,
                                    uint32_t* hi) {
  __m256i least[count], most[count];
  for (int i = 0; i < count; i++)
    least[i] = _mm256_set1_epi32(INT32_MAX), most[i] = _mm256_setzero_si256();
  uint32_t j = 0;
  for (; j + 8 <= n; j += 8) {
    const __m256i enter = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(e + j));
    for (int i = 0; i < count; i++) {
      const __m256i d = _mm256_sub_epi32(
          enter, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(e + j - w[i])));
      least[i] = _mm256_min_epi32(least[i], d);
      most[i] = _mm256_max_epi32(most[i], d);
    }
  }
  for (int i = 0; i < count; i++) {
    lo[i] = lane_min(least[i]), hi[i] = lane_max(most[i]);
    window_range_from(j, e, w[i], n, lo[i], hi[i]);
  }
}

AVX2 static uint32_t first_window_above_avx2(const uint32_t* e, uint32_t w, uint32_t t) {
  const __m256i limit = _mm256_set1_epi32(static_cast<int>(t));
  for (uint32_t j = 0;; j += 8)
    if (const int m = above8(e, w, j, limit)) return j + __builtin_ctz(m);
}

AVX2 static uint32_t last_window_above_avx2(const uint32_t* e, uint32_t w, uint32_t to,
                                            uint32_t t) {
  const __m256i limit = _mm256_set1_epi32(static_cast<int>(t));
  uint32_t j = to;
  for (; j >= 8; j -= 8)
    if (const int m = above8(e, w, j - 8, limit)) return j - 8 + 31 - __builtin_clz(m);
  return last_window_above_sse2(e, w, j, t);
}

AVX2 static uint32_t whole_chunks_avx2(uint32_t i, uint32_t n, uint32_t w, bool tracking,
                                       uint32_t& window, uint32_t& silence, uint16_t& peak) {
  const uint16_t* enter = hist + w + i;
  const uint16_t* leave = hist + i;
  const __m256i thr = _mm256_set1_epi32(static_cast<int>(threshold));
  __m256i sum = _mm256_set1_epi32(static_cast<int>(window));
  __m128i top = _mm_set1_epi16(static_cast<int16_t>(peak));
  uint32_t done = 0, quiet = silence;
  for (; n - done >= 8; done += 8) {
    __m256i d = _mm256_sub_epi32(levels8(enter + done), levels8(leave + done));
    const __m256i after = running_sums8(d, sum);
    if (!chunk_goes_on(_mm256_movemask_ps(_mm256_castsi256_ps(_mm256_cmpgt_epi32(d, thr))),
                       tracking, gap, quiet))
      break;
    sum = after;
    top = _mm_max_epu16(top, _mm_loadu_si128(reinterpret_cast<const __m128i*>(leave + done + 1)));
  }
  top = _mm_max_epu16(top, _mm_srli_si128(top, 8));
  top = _mm_max_epu16(top, _mm_srli_si128(top, 4));
  top = _mm_max_epu16(top, _mm_srli_si128(top, 2));
  peak = static_cast<uint16_t>(_mm_cvtsi128_si32(top));
  window = static_cast<uint32_t>(_mm256_cvtsi256_si32(sum));
  silence = quiet;
  return done;
}

// Static initialisers may run before the one that reads the processor.
static const bool has_avx2 = (__builtin_cpu_init(), __builtin_cpu_supports("avx2"));
// Calls the AVX2 kind of a loop where the processor has it and the tests
// have not asked for SSE2, else the SSE2 kind.
#define VECTOR_LOOP(name, ...) \
  return wide_steps ? name##_avx2(__VA_ARGS__) : name##_sse2(__VA_ARGS__)
#else
static const bool has_avx2 = false;
#define VECTOR_LOOP(name, ...) return name##_sse2(__VA_ARGS__)
#endif
static bool wide_steps = has_avx2;

bool use_wide_steps(bool wide) {
  wide_steps = wide && has_avx2;
  return wide_steps;
}

void frame_levels(const unsigned char* p, uint32_t n, uint16_t* dst) {
  VECTOR_LOOP(frame_levels, p, n, dst);
}

void prefix_sums(const uint16_t* x, uint32_t n, uint32_t* p) {
  VECTOR_LOOP(prefix_sums, x, n, p);
}

void window_ranges(const uint32_t* e, const uint32_t* w, size_t count, uint32_t n, uint32_t* lo,
                   uint32_t* hi) {
#if defined(__x86_64__) && defined(__GNUC__)
  for (; wide_steps && count >= 3; count -= 3, w += 3, lo += 3, hi += 3)
    window_ranges_avx2<3>(e, w, n, lo, hi);
  for (; wide_steps && count > 0; count--, w++, lo++, hi++) window_ranges_avx2<1>(e, w, n, lo, hi);
#endif
  for (size_t i = 0; i < count; i++) window_range_sse2(e, w[i], n, lo[i], hi[i]);
}

uint32_t first_window_above(const uint32_t* e, uint32_t w, uint32_t t) {
  VECTOR_LOOP(first_window_above, e, w, t);
}

uint32_t last_window_above(const uint32_t* e, uint32_t w, uint32_t to, uint32_t t) {
  VECTOR_LOOP(last_window_above, e, w, to, t);
}

static uint32_t whole_chunks(uint32_t i, uint32_t n, uint32_t w, bool tracking, uint32_t& window,
                             uint32_t& silence, uint16_t& peak) {
  VECTOR_LOOP(whole_chunks, i, n, w, tracking, window, silence, peak);
}

// Steps through `n` frames already in the read buffer, with the same effect
// as n calls of update_filter; stops after the step that ends the scan (sound
// in the probe, or sound after a gap) and says so in `stop`. Returns the
// steps taken. Requires sample >= filter, so that every step passes a frame
// of the data on.
template <bool writing>
static uint32_t scan_buffered(uint32_t n, int track, uint16_t& peak, uint32_t& silence,
                              bool& stop) {
  const unsigned char* p = io::in_buf + io::in_pos;
  const uint32_t w = static_cast<uint32_t>(filter) + 1;
  for (uint32_t j = 0, slot = index; j < w; j++) {
    hist[j] = levels[slot];
    if (++slot == w) slot = 0;
  }
  frame_levels(p, n, hist + w);

  uint32_t sum = window_sum, quiet = silence, i = 0;
  const uint32_t thr = threshold, g = gap;
  uint16_t pk = peak;
  while (i < n) {
    i += whole_chunks(i, n - i, w, track != 0, sum, quiet, pk);
    // The steps where the decision changes (and the last few) one by one.
    for (const uint32_t upto = n - i < 8 ? n : i + 8; i < upto;) {
      sum += hist[w + i] - hist[i];
      if (hist[i + 1] > pk) pk = hist[i + 1];
      i++;
      if (sum <= thr) {
        quiet++;
      } else {
        if (track == 0 || quiet >= g) {
          stop = true;
          goto done;
        }
        quiet = 0;
      }
    }
  }
done:
  if (writing) {
    // The frames that left: the rest of the old window, then the block's own.
    for (uint32_t k = 0, slot = index; k + 1 < w && k < i; k++) {
      if (++slot == w) slot = 0;
      write_frame(filt_left[slot], filt_right[slot]);
    }
    if (i >= w) write_bytes(p, 4 * static_cast<int64_t>(i - w + 1));
  }
  // The ring takes the last w frames of the block.
  const uint32_t first = i > w ? i - w : 0;
  uint32_t slot = (index + first) % w;
  for (uint32_t k = first; k < i; k++) {
    const unsigned char* f = p + 4 * k;
    filt_left[slot] = static_cast<int16_t>(read_u16_le(f));
    filt_right[slot] = static_cast<int16_t>(read_u16_le(f + 2));
    levels[slot] = hist[w + k];
    if (++slot == w) slot = 0;
  }
  index = static_cast<uint16_t>(slot);
  io::in_pos += 4 * static_cast<size_t>(i);
  window_sum = sum;
  peak = pk;
  silence = quiet;
  return i;
}

FILE* table_out = stdout;

std::string table_row(int track, int64_t start, int64_t end, long peak) {
  char line[64];
  std::string row;
  snprintf(line, sizeof line, "%d\t%s\t", track, timef(static_cast<uint32_t>(start)));
  row += line;
  snprintf(line, sizeof line, "%s\t", timef(static_cast<uint32_t>(end)));
  row += line;
  snprintf(line, sizeof line, "%s\t%.3f\n", timef(static_cast<uint32_t>(end - start)),
           static_cast<double>(peak) / 32767.0);
  return row + line;
}

const char* timef(uint32_t u) {
  static char buf[12];
  snprintf(buf, sizeof buf, "%2.2u:%2.2u.%3.3u", u / 2646000, u / 44100 % 60,
           u % 44100 * 1000 / 44100);
  return buf;
}

FILE* progress_out = stderr;

void show_progress(uint32_t u) {
  if ((u & 0x7FFF) == 0 && progress_out) {
    // One write: standard error is unbuffered, and an hour holds 9,700 of these.
    char text[16];
    snprintf(text, sizeof text, "%s\r", timef(u));
    fputs(text, progress_out);
  }
}

long find_track(int track, int64_t* start, int64_t* end) {
  uint32_t silence = 0;
  uint16_t peak = 0;
  *start = sample < static_cast<uint32_t>(filter) ? 0 : static_cast<int64_t>(sample) - filter;
  const bool writing = out != nullptr;
  while (sample < samples) {
    // Whole frames in the read buffer, up to the next progress mark and the
    // end of the data, go through the fast loop; the rest one step at a time.
    uint32_t n = static_cast<uint32_t>((io::in_len - io::in_pos) / 4);
    if (n > samples - sample) n = samples - sample;
    if (n > 0x8000 - (sample & 0x7FFF)) n = 0x8000 - (sample & 0x7FFF);
    show_progress(sample);
    if (n == 0 || sample < static_cast<uint32_t>(filter)) {
      sample++;
      if (!update_filter(&peak)) {
        silence++;
        continue;
      }
      if (track == 0) return -1;
      // A gap counts only once sound resumes after it.
      if (silence >= gap) break;
      silence = 0;
      continue;
    }
    bool stop = false;
    sample += writing ? scan_buffered<true>(n, track, peak, silence, stop)
                      : scan_buffered<false>(n, track, peak, silence, stop);
    if (stop) {
      if (track == 0) return -1;
      break;
    }
  }
  // When the input ran out, the last step read no whole frame.
  *end = static_cast<int64_t>(sample) - cut - filter - (samples == 0 ? 1 : 0);
  const int64_t s = *start, e = *end;
  if (e > s && table_out) {
    // On a terminal, tabs would leave digits of the progress text showing
    // between the columns of the row that is written over it.
    static const bool erase = is_terminal(stderr) && is_terminal(stdout);
    if (erase) fputs("           \r", stderr);
    fputc('\r', table_out);
    fputs(table_row(track, s, e, peak).c_str(), table_out);
  }
  return peak;
}
