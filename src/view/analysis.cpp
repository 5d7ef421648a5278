#include "analysis.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <stdexcept>

#include "boundaries.h"
#include "detect.h"
#include "wave.h"

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

constexpr int64_t ring = 1 << 16;   // frames of levels kept: the window, a block, and more
constexpr int64_t chunk = 1 << 14;  // frames read at a time
// Frames kept before each chunk: the window sums of a block and of the one
// before it reach back a block and a window.
constexpr int64_t back = 2048;

// Where one (filter, threshold) scan stands between blocks.
struct scan_state {
  bool in_run = false;  // in a silence that holds a whole silent block
  int64_t run_start = 0;
};

// The settings to analyse: the filters once each, the thresholds by rising
// level once each, blocks short enough for the shortest gap.
analysis planned(uint32_t frames, const std::vector<int>& filters,
                 const std::vector<std::string>& texts, uint32_t shortest) {
  analysis a;
  a.declared = frames;
  a.filter = filters.front();
  for (int f : filters)
    if (std::find(a.filters.begin(), a.filters.end(), f) == a.filters.end()) a.filters.push_back(f);
  std::vector<std::pair<uint32_t, std::string>> by_level;
  for (const std::string& t : texts) by_level.emplace_back(*switch_value('T', t.c_str()), t);
  std::stable_sort(by_level.begin(), by_level.end(),
                   [](const auto& x, const auto& y) { return x.first < y.first; });
  for (const auto& [level, text] : by_level) {
    if (!a.levels.empty() && a.levels.back() == level) continue;
    a.levels.push_back(level);
    a.texts.push_back(text);
  }
  shortest = std::max(shortest, shortest_modelled);
  // Every silence of at least 2 blocks - 1 steps holds a whole silent block.
  while (a.block > 1 && 2 * static_cast<int64_t>(a.block) - 1 > shortest) a.block /= 2;
  a.shortest = shortest;
  for (int f : a.filters)
    for (uint32_t level : a.levels) a.found.push_back({f, level, -1, 0, {}, -1});
  const int64_t b = a.block;
  a.column = static_cast<uint32_t>(b * ((frames + 4000 * b - 1) / (4000 * b)));
  if (a.column == 0) a.column = a.block;
  return a;
}

// The one pass: the levels of the frames read and their running sums, and
// where the scan of each setting stands.
struct pass {
  analysis& a;
  envelope* env;  // given each chunk's frames, when there is one
  std::vector<scan_state> state;
  size_t budget, kept = 0;       // runs, at most and so far
  std::vector<uint32_t> widths;  // of the windows, per filter
  // Window thresholds per filter, rising; and per filter, how many of them
  // the previous block's greatest window sum exceeded.
  std::vector<std::vector<uint32_t>> thr;
  std::vector<size_t> was_hi;
  // The block's least and greatest window sums, per filter, and the least
  // of the block before (as if sound came before frame 0).
  std::vector<uint32_t> lo, hi, was_lo;
  // How many threshold levels lie below each level up to full scale + 1.
  std::vector<uint16_t> under;
  uint32_t env_max = 0, env_count = 0;  // of the 10-ms stretch going on
  uint16_t lev[ring] = {};
  int64_t read = 0;   // frames whose levels are in `lev`
  int64_t first = 0;  // the first frame of the chunk
  // The chunk's levels after those of the frames before it (0 before the
  // first), and their running sums: sums[back + j] is the sum of the levels
  // before the chunk's frame j. (Room for more, read by the searches.)
  uint16_t levels[back + chunk] = {};
  uint32_t sums[back + chunk + 8] = {};

  pass(analysis& an, envelope* e, size_t most);
  int64_t read_chunk(int64_t left);
  void take_block(int64_t j0, int64_t m);
  void add_envelope(const uint32_t* e, int64_t m);
  void look(size_t fi, size_t ti, int64_t k0, const uint32_t* e);
  void keep(detection& d, const quiet_run& r);
  void finish();

  // How many thresholds of filter fi lie below the window sum v: those
  // whose level times w is at most v - 1.
  size_t below(size_t fi, uint32_t v) const {
    return v == 0 ? 0 : under[std::min<uint32_t>((v - 1) / widths[fi] + 1, 32769)];
  }
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

pass::pass(analysis& an, envelope* e, size_t most)
    : a(an),
      env(e),
      state(an.found.size()),
      budget(most),
      thr(an.filters.size()),
      was_hi(an.filters.size(), an.levels.size()),
      lo(an.filters.size()),
      hi(lo),
      was_lo(an.filters.size(), UINT32_MAX) {
  for (size_t fi = 0; fi < a.filters.size(); fi++) {
    widths.push_back(static_cast<uint32_t>(a.filters[fi]) + 1);
    for (uint32_t level : a.levels) thr[fi].push_back(level * widths[fi]);
  }
  for (uint32_t x = 0, n = 0; x <= 32769; x++) {
    while (n < a.levels.size() && a.levels[n] < x) n++;
    under.push_back(static_cast<uint16_t>(n));
  }
}

// Reads up to a chunk of the `left` frames still declared: their levels,
// their running sums; returns the steps they make.
int64_t pass::read_chunk(int64_t left) {
  static unsigned char buf[4 * chunk];
  const int64_t want = std::min(left, chunk);
  const size_t got = read_block(buf, 4 * static_cast<size_t>(want));
  if (input_failed()) error(read_failed);
  int64_t n = static_cast<int64_t>(got / 4);
  // The envelope takes the whole frames only.
  if (env) env->add(buf, static_cast<size_t>(n));
  if (got < 4 * static_cast<size_t>(want)) {
    // The detector's last step reads what is left, and 0xFF for the rest.
    std::memset(buf + got, 0xFF, 4 - got % 4);
    n++;
    a.early_end = true;
  }
  std::memmove(levels, levels + chunk, 2 * back);
  std::memmove(sums, sums + chunk, 4 * (back + 1));
  frame_levels(buf, static_cast<uint32_t>(n), levels + back);
  prefix_sums(levels + back, static_cast<uint32_t>(n), sums + back);
  std::memcpy(lev + (read & (ring - 1)), levels + back, 2 * static_cast<size_t>(n));
  first = read;
  read += n;
  return n;
}

// Takes the block of frames j0..j0 + m - 1 of the chunk: its loudest level,
// and for each filter its window sums against the thresholds.
void pass::take_block(int64_t j0, int64_t m) {
  const int64_t k0 = first + j0;
  uint16_t top = 0;
  for (int64_t j = back + j0; j < back + j0 + m; j++) top = std::max(top, levels[j]);
  a.block_max.push_back(top);
  // The window sum of length w at frame j0 + j is e[j] - e[j - w].
  const uint32_t* e = sums + back + j0 + 1;
  window_ranges(e, widths.data(), widths.size(), static_cast<uint32_t>(m), lo.data(), hi.data());
  const size_t col = static_cast<size_t>(k0 / a.column);
  if (a.overview.size() <= col) a.overview.resize(col + 1, 0);
  a.overview[col] = std::max(a.overview[col], hi[0]);
  add_envelope(e, m);
  for (size_t fi = 0; fi < a.filters.size(); fi++) {
    // Thresholds at or above the greatest sum hear a silent block: only
    // those that heard a silent one before and not now, or the other way
    // round, need a look. (All of them at the first, for their probes.)
    const size_t now_hi = below(fi, hi[fi]);
    const size_t from = k0 == 0 ? 0 : std::min(now_hi, was_hi[fi]);
    const size_t to = k0 == 0 ? a.levels.size() : std::max(now_hi, was_hi[fi]);
    for (size_t ti = from; ti < to; ti++) look(fi, ti, k0, e);
    was_hi[fi] = now_hi;
    was_lo[fi] = lo[fi];
  }
}

// The loudest window sum per 10 ms (441 frames) of the user's filter: a
// block within one stretch adds its greatest sum, one that reaches the
// stretch's end adds each part's.
void pass::add_envelope(const uint32_t* e, int64_t m) {
  if (env_count + m < 441) {
    env_max = std::max(env_max, hi[0]);
    env_count += static_cast<uint32_t>(m);
    return;
  }
  for (int64_t j = 0; j < m;) {
    const int64_t take = std::min<int64_t>(m - j, 441 - env_count);
    uint32_t least, most;
    window_ranges(e + j, widths.data(), 1, static_cast<uint32_t>(take), &least, &most);
    env_max = std::max(env_max, most);
    env_count += static_cast<uint32_t>(take);
    j += take;
    if (env_count == 441) {
      a.env.push_back(env_max);
      env_max = env_count = 0;
    }
  }
}

// The block from frame k0 for one threshold, silent where the last was not
// or the other way round: a silence begins, or sound ends one.
void pass::look(size_t fi, size_t ti, int64_t k0, const uint32_t* e) {
  const size_t i = fi * a.levels.size() + ti;
  detection& d = a.found[i];
  scan_state& st = state[i];
  const uint32_t t = thr[fi][ti], w = widths[fi];
  const int64_t b = a.block;
  if (hi[fi] <= t) {
    // From the last sound of the block before, if it was not all sound.
    st.run_start = was_lo[fi] <= t
                       ? k0 - b + last_window_above(e - b, w, static_cast<uint32_t>(b), t) + 1
                       : k0;
    st.in_run = true;
    return;
  }
  // Where sound begins in this block: wanted for the probe, and for a run
  // that may be long enough to keep.
  const auto resumes = [&] { return k0 + (lo[fi] > t ? 0 : first_window_above(e, w, t)); };
  if (d.probe < 0) {
    d.probe = resumes();
    d.probe_post = run(0, d.probe, d.filter).post;
  } else if (st.in_run && k0 + b - 1 - st.run_start >= a.shortest) {
    const int64_t stop = resumes();
    if (stop - st.run_start >= a.shortest) keep(d, run(st.run_start, stop, d.filter));
  }
  st.in_run = false;
}

// Keeps run `r` of `d`; when the budget is spent, the setting with the most
// runs (perhaps `d`) gives them up first.
void pass::keep(detection& d, const quiet_run& r) {
  if (kept == budget) {
    detection& most = *std::max_element(a.found.begin(), a.found.end(), [](auto& x, auto& y) {
      return x.runs.size() < y.runs.size();
    });
    kept -= most.runs.size();
    std::vector<quiet_run>().swap(most.runs);
    most.complete = false;
  }
  if (!d.complete) return;
  d.runs.push_back(r);
  kept++;
}

void pass::finish() {
  if (env_count != 0) a.env.push_back(env_max);
  a.steps = read;
  for (size_t i = 0; i < a.found.size(); i++)
    if (state[i].in_run) a.found[i].tail = state[i].run_start;
  const int64_t kept = std::min<int64_t>(a.steps, 8192);
  for (int64_t k = a.steps - kept; k < a.steps; k++) a.last.push_back(level(k));
}

}  // namespace

analysis analyse(uint32_t frames, const std::vector<int>& filters,
                 const std::vector<std::string>& texts, uint32_t shortest, envelope* env,
                 size_t budget) {
  analysis a = planned(frames, filters, texts, shortest);
  const auto p = std::make_unique<pass>(a, env, budget);
  for (int64_t left = frames; left > 0 && !a.early_end;) {
    const int64_t n = p->read_chunk(left);
    left -= chunk;
    for (int64_t j0 = 0; j0 < n; j0 += a.block)
      p->take_block(j0, std::min<int64_t>(a.block, n - j0));
  }
  p->finish();
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
