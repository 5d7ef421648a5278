#include "advise.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <string>
#include <tuple>

#include "core.h"

double to_db(double level) {
  return level <= 0 ? -100 : std::max(-100.0, 20 * std::log10(level / 32767));
}

double env_db(const analysis& a, uint32_t level) {
  return to_db(static_cast<double>(level) / (a.filter + 1));
}

uint32_t loudest(const analysis& a, int64_t lo, int64_t hi) {
  uint32_t m = 0;
  for (int64_t i = (std::max<int64_t>(lo, 0) + 440) / 441;
       i < (hi + 1) / 441 && i < int64_t(a.env.size()); i++)
    m = std::max(m, a.env[static_cast<size_t>(i)]);
  return m;
}

// The noise where the music's band is quietest (the gaps, most likely), and
// the detector's level over the same stretches: the median, so that a click
// there does not count.
floor_level measure_floor(const analysis& a, const envelope& e) {
  floor_level f{noise_floor(e), std::nullopt};
  const size_t from = std::min(f.band.from, a.env.size()),
               to = std::min(f.band.from + f.band.stretches, a.env.size());
  if (e.size() < 50 || from == to) return f;
  std::vector<uint32_t> levels(a.env.begin() + long(from), a.env.begin() + long(to));
  std::nth_element(levels.begin(), levels.begin() + long(levels.size() / 2), levels.end());
  f.db = env_db(a, levels[levels.size() / 2]);
  return f;
}

std::optional<music_lost> loses_music(const listing& keldrun, const side_plan& p) {
  const std::vector<track>& t = keldrun.tracks;
  const std::vector<side_track>& song = p.tracks;
  if (t.size() != song.size() || keldrun.too_many || keldrun.no_sound)
    return music_lost{music_lost::count, int(t.size())};
  for (size_t k = 0; k < t.size(); k++) {
    const int n = int(k) + 1;
    if (t[k].start > song[k].first_sound)
      return music_lost{music_lost::starts_late, n, t[k].start - song[k].first_sound,
                        song[k].first_sound};
    if (t[k].end < song[k].last_sound)
      return music_lost{music_lost::ends_early, n, song[k].last_sound - t[k].end,
                        song[k].last_sound};
    if (k + 1 < t.size() && t[k].end > song[k + 1].first_sound)
      return music_lost{music_lost::reaches_next, n, t[k].end - song[k + 1].first_sound,
                        song[k + 1].first_sound};
  }
  return std::nullopt;
}

// The lowest of the loudest levels over every window as long as the gap
// inside the tracks, away from their ends, where a quiet stretch only
// lengthens a gap.
std::optional<quiet_music> quietest_music(const analysis& a, const candidate& c) {
  const size_t win = std::max<size_t>(1, c.s.gap / 441);
  std::optional<quiet_music> q;
  for (const track& t : c.table.tracks) {
    std::deque<size_t> max;  // indices of falling maxima: a sliding window maximum
    const size_t first = size_t(t.start / 441) + 300,
                 last = size_t(std::max<int64_t>(t.end / 441 - 300, 0));
    for (size_t i = first; i < last && i < a.env.size(); i++) {
      while (!max.empty() && a.env[max.back()] <= a.env[i]) max.pop_back();
      max.push_back(i);
      if (max.front() + win <= i) max.pop_front();
      if (i + 1 >= first + win && (!q || a.env[max.front()] < q->level))
        q = quiet_music{a.env[max.front()], int64_t(i + 1 - win) * 441, int64_t(win) * 441};
    }
  }
  return q;
}

threshold_place place_threshold(const analysis& a, std::optional<double> noise_db,
                                const candidate& c, uint32_t level) {
  threshold_place p{noise_db, to_db(level), quietest_music(a, c)};
  if (p.music) p.music_db = env_db(a, p.music->level);
  p.below_floor = p.noise_db && p.threshold_db <= *p.noise_db;
  p.above_music = p.music && p.threshold_db >= p.music_db;
  return p;
}

namespace {

// A short text for the gap switch near `want` frames that converts to a
// value in lo..hi.
std::string nice(double want, int64_t lo, int64_t hi) {
  char t[64];
  for (int digits = 1; digits <= 6; digits++) {
    snprintf(t, sizeof t, "%.*g", digits, want / 44100);
    const int64_t v = *switch_value('G', t);
    if (v >= lo && v <= hi) return t;
  }
  snprintf(t, sizeof t, "%.6f", static_cast<double>(hi) / 44100);
  return t;
}

// The runs that end a scan, for this gap: those that keldrun's listing acts on.
std::vector<quiet_run> boundaries(const analysis& a, const detection& d, uint32_t gap) {
  std::vector<quiet_run> out;
  for (const quiet_run& r : d.runs)
    if (r.length() >= gap && out.size() < 98) {
      out.push_back(r);
      if (r.stop + 1 >= a.steps) break;
    }
  return out;
}

// The rows of the listing of `d`, or what keldrun says instead of a table.
int count(const analysis& a, const detection& d, uint32_t gap, int32_t cut) {
  if (!a.models(d, gap)) return unmodelled;
  const listing l = model_listing(a, d, gap, cut, false);
  return l.no_sound ? no_sound : l.too_many ? over_99 : static_cast<int>(l.tracks.size());
}

// Near misses: silences a little short, and silences broken only by a burst
// shorter than 50 ms; the closest first.
std::vector<stretch> near_misses(const detection& d, uint32_t gap) {
  std::vector<std::pair<int64_t, stretch>> near;
  for (size_t i = 0; i < d.runs.size(); i++) {
    const quiet_run& r = d.runs[i];
    if (r.length() < gap && 2 * r.length() >= gap)
      near.push_back({gap - r.length(), {stretch::short_silence, r.start, r.stop}});
    if (i + 1 < d.runs.size()) {
      const quiet_run& s = d.runs[i + 1];
      if (s.start - r.stop < 2205 && s.stop - r.start >= gap && r.length() < gap &&
          s.length() < gap)
        near.push_back({0, {stretch::broken, r.start, s.stop, {r.stop}}});
    }
  }
  std::stable_sort(near.begin(), near.end(),
                   [](const auto& x, const auto& y) { return x.first < y.first; });
  std::vector<stretch> out;
  for (size_t i = 0; i < near.size() && i < 6; i++) out.push_back(near[i].second);
  return out;
}

// The candidate of detection `d` with this gap and cut: its table, when the
// model holds it, its gaps and near misses.
candidate candidate_for(const analysis& a, const detection& d, uint32_t gap, int32_t cut) {
  candidate k;
  k.s = {d.filter, d.level, gap, cut};
  k.modelled = a.models(d, gap);
  if (!k.modelled) return k;
  k.table = model_listing(a, d, gap, cut);
  for (const quiet_run& r : boundaries(a, d, gap))
    k.gaps.push_back({stretch::gap, r.start, r.stop});
  k.near = near_misses(d, gap);
  return k;
}

// The thresholds around `mid` (an index into a.levels) that give `n`: the
// widest unbroken range.
threshold_range range_around(const analysis& a, size_t fi, size_t mid, uint32_t gap, int n) {
  const size_t nt = a.levels.size();
  auto ok = [&](size_t ti) { return count(a, a.found[fi * nt + ti], gap, 0) == n; };
  size_t lo = mid, hi = mid;
  while (lo > 0 && ok(lo - 1)) lo--;
  while (hi + 1 < nt && ok(hi + 1)) hi++;
  return {lo, hi, n};
}

double width_db(const analysis& a, size_t lo, size_t hi) {
  return 20 * std::log10(static_cast<double>(a.levels[hi]) / a.levels[lo]);
}

size_t middle(const analysis& a, size_t lo, size_t hi) {
  const double want = std::sqrt(static_cast<double>(a.levels[lo]) * a.levels[hi]);
  size_t best = lo;
  for (size_t i = lo; i <= hi; i++)
    if (std::fabs(std::log(a.levels[i] / want)) < std::fabs(std::log(a.levels[best] / want)))
      best = i;
  return best;
}

const std::vector<std::string> gap_grid = {"0.3", "0.4", "0.5", "0.6", "0.8", "1", "1.2", "1.5",
                                           "2",   "2.5", "3",   "4",   "5",   "6", "8"};

// A range of gaps, in frames.
struct gap_range {
  int64_t lo = 0, hi = -1;
  bool empty() const { return hi < lo; }
};

// The gaps that give exactly `n` scans: longer than every other run, no
// longer than the shortest of the n - 1 longest.
gap_range gaps_for_count(const analysis& a, const detection& d, int n) {
  std::vector<int64_t> len;
  for (const quiet_run& r : d.runs)
    if (r.stop + 1 < a.steps) len.push_back(r.length());
  std::sort(len.rbegin(), len.rend());
  gap_range g;
  if (static_cast<int>(len.size()) < n - 1) return g;
  g.lo = std::max<int64_t>(a.min_gap(), n - 1 < int(len.size()) ? len[size_t(n - 1)] + 1 : 1);
  g.hi = n >= 2 ? len[size_t(n - 2)] : std::max<int64_t>(g.lo, 8 * 44100);
  return g;
}

// The sleeve's tracks in detection `d`: from the first sound on, each
// track's end is sought within 5 s of where its length puts it, and the
// longest silence there taken as its gap. `keep` gets those silences,
// `missing` the ends where none was found; the gaps that split at exactly
// those silences are returned.
gap_range fit_lengths(const analysis& a, const detection& d, const std::vector<int64_t>& lengths,
                      std::vector<quiet_run>& keep, std::vector<sleeve_end>& missing) {
  keep.clear(), missing.clear();
  gap_range g;
  if (d.probe < 0) return g;
  int64_t from = d.probe;
  for (size_t i = 0; i + 1 < lengths.size(); i++) {
    const int64_t want = from + lengths[i];
    const quiet_run* best = nullptr;
    for (const quiet_run& r : d.runs)
      if (r.stop > from && std::llabs(r.start - want) <= 5 * 44100 && r.stop + 1 < a.steps &&
          (!best || r.length() > best->length()))
        best = &r;
    if (best) {
      keep.push_back(*best);
      from = best->stop;
    } else {
      missing.push_back({static_cast<int>(i + 1), want, std::nullopt});
      from = want;
    }
  }
  if (!missing.empty()) return g;
  int64_t longest_other = 0;
  for (const quiet_run& r : d.runs) {
    bool kept = false;
    for (const quiet_run& k : keep) kept = kept || k.start == r.start;
    if (!kept && r.stop + 1 < a.steps) longest_other = std::max(longest_other, r.length());
  }
  g.lo = std::max<int64_t>(a.min_gap(), longest_other + 1);
  g.hi = INT64_MAX;
  for (const quiet_run& k : keep) g.hi = std::min(g.hi, k.length());
  if (keep.empty()) g.hi = std::max<int64_t>(g.lo, 8 * 44100);
  return g;
}

// The gaps that split detection `d` into the sleeve's tracks: by their
// lengths when given, else by their count.
gap_range wanted_gaps(const analysis& a, const detection& d, int n,
                      const std::vector<int64_t>& lengths) {
  if (lengths.empty()) return gaps_for_count(a, d, n);
  std::vector<quiet_run> keep;
  std::vector<sleeve_end> missing;
  return fit_lengths(a, d, lengths, keep, missing);
}

// A range of thresholds (at one filter and one gap) that splits at the same
// silences, cut short where the tracks start later than near its lowest
// threshold: a quiet intro or fade-in is lost above it.
struct pick {
  size_t fi = 0, lo = 0, hi = 0;
  double width = -1;
  std::vector<quiet_run> gaps = {};  // the silences split at
  std::vector<int64_t> first = {};   // the tracks' starts near the lowest threshold
  int64_t silence = 0;               // and the length of the silences split at
  double whole = -1;                 // the width of the range before it was cut short
};

constexpr int64_t drift = 8820;  // 0.2 s

std::vector<int64_t> starts(const analysis& a, const detection& d, uint32_t gap) {
  std::vector<int64_t> s{d.probe};
  for (const quiet_run& r : boundaries(a, d, gap)) s.push_back(r.stop);
  return s;
}

// How much later than `y` the latest-starting track of `x` starts.
int64_t latest_delay(const std::vector<int64_t>& x, const std::vector<int64_t>& y) {
  int64_t m = INT64_MIN;
  for (size_t i = 0; i < x.size(); i++) m = std::max(m, x[i] - y[i]);
  return m;
}

// How much later than `y` the tracks of `x` start, in all.
int64_t total_delay(const std::vector<int64_t>& x, const std::vector<int64_t>& y) {
  int64_t sum = 0;
  for (size_t i = 0; i < x.size(); i++) sum += x[i] - y[i];
  return sum;
}

// Whether two splits cut at the same silences, however long each is heard.
bool same_gaps(const std::vector<quiet_run>& x, const std::vector<quiet_run>& y) {
  if (x.size() != y.size()) return false;
  for (size_t i = 0; i < x.size(); i++)
    if (x[i].start >= y[i].stop || y[i].start >= x[i].stop) return false;
  return true;
}

// Whether `p` keeps music that `q` leaves in its gaps, and is wide enough to
// trust. Splitting at the same gaps, by the tracks' starts: noise moves a
// start a little either way, an intro lost moves it a lot. At other gaps
// (`q` takes a soft passage or an intro for a gap), by the silence cut out.
bool keeps_more(const pick& p, const pick& q) {
  const int64_t clear = drift + 2205 * static_cast<int64_t>(p.first.size());
  if (p.width < 1.5) return false;
  if (same_gaps(p.gaps, q.gaps)) return total_delay(q.first, p.first) > clear;
  return q.silence - p.silence > clear;
}

// Whether detection `d` splits into `n` tracks at gap `g`, none of them
// shorter than 3 s: a shorter one lies between the pieces of a broken gap.
bool gives(const analysis& a, const detection& d, uint32_t g, int n) {
  if (count(a, d, g, 0) != n) return false;
  int64_t from = d.probe;
  for (const quiet_run& r : boundaries(a, d, g)) {
    if (r.start - from < 3 * 44100) return false;
    from = r.stop;
  }
  return (d.tail >= 0 ? d.tail : a.steps) - from >= 3 * 44100;
}

// The ranges of thresholds at filter `fi` and gap `g` that give `n` tracks
// (split at the sleeve's lengths when given), each cut short where the
// tracks start late; those too narrow to trust left out.
std::vector<pick> picks_at(const analysis& a, size_t fi, uint32_t g, int n,
                           const std::vector<int64_t>& lengths) {
  const size_t nt = a.levels.size();
  const auto found_at = [&](size_t ti) -> const detection& { return a.found[fi * nt + ti]; };
  const auto ok = [&](size_t ti) {
    if (!gives(a, found_at(ti), g, n)) return false;
    const gap_range gr =
        lengths.empty() ? gap_range{0, g} : wanted_gaps(a, found_at(ti), n, lengths);
    return gr.lo <= g && g <= gr.hi;
  };
  std::vector<pick> found;
  for (size_t lo = 0, hi; lo < nt; lo = hi + 1) {
    hi = lo;
    if (!ok(lo)) continue;
    pick p{fi, lo, lo, -1, boundaries(a, found_at(lo), g)};
    while (hi + 1 < nt && ok(hi + 1) && same_gaps(p.gaps, boundaries(a, found_at(hi + 1), g))) hi++;
    // Measured a step above the lowest threshold, where noise may still
    // break a gap and start a track early.
    const detection& above = found_at(std::min(lo + 1, hi));
    p.first = starts(a, above, g);
    for (const quiet_run& r : boundaries(a, above, g)) p.silence += r.length();
    p.whole = width_db(a, lo, hi) + 0.8;
    while (p.hi < hi && latest_delay(starts(a, found_at(p.hi + 1), g), p.first) <= drift) p.hi++;
    p.width = width_db(a, lo, p.hi) + 0.8;
    // A setting that works across less than 2.4 dB or so (three steps
    // of the grid) splits at whatever happens to be quietest there.
    if (p.whole >= 2.4) found.push_back(p);
  }
  return found;
}

// The best settings for `n` tracks: of the ranges that keep the most music
// (a person wants quiet intros and fade-ins kept), the one with the widest
// margins of threshold and gap together, the user's filter counting 2 dB more.
pick best_for(const analysis& a, int n, const std::vector<int64_t>& lengths = {}) {
  std::vector<pick> found;
  for (size_t fi = 0; fi < a.filters.size(); fi++) {
    for (const std::string& gt : gap_grid) {
      const int64_t g = *switch_value('G', gt.c_str());
      if (g < a.min_gap()) continue;
      const std::vector<pick> p = picks_at(a, fi, static_cast<uint32_t>(g), n, lengths);
      found.insert(found.end(), p.begin(), p.end());
    }
  }
  pick top;
  double top_score = -1;
  for (const pick& p : found) {
    if (std::any_of(found.begin(), found.end(), [&](const pick& q) { return keeps_more(q, p); }))
      continue;
    // The margins of both settings: the thresholds, and the gaps at the
    // threshold chosen.
    const size_t nt = a.levels.size();
    const gap_range gr = wanted_gaps(a, a.found[p.fi * nt + middle(a, p.lo, p.hi)], n, lengths);
    const double score = p.width + (p.fi == 0 ? 2 : 0) +
                         (gr.empty() ? 0 : 20 * std::log10(static_cast<double>(gr.hi) / gr.lo));
    if (score > top_score) top = p, top_score = score;
  }
  return top;
}

// The settings of detection `d` for `n` tracks with a gap from `gr`: the gap
// in the middle of its range on a log scale, the cut as long as the shortest
// gap and the final silence allow, so that tracks end where their music does.
std::optional<candidate> settled(const analysis& a, const detection& d, gap_range gr, int n) {
  if (gr.empty()) return std::nullopt;
  const std::string g = nice(std::sqrt(static_cast<double>(gr.lo) * gr.hi), gr.lo, gr.hi);
  const uint32_t gap = static_cast<uint32_t>(*switch_value('G', g.c_str()));
  int64_t room = d.tail >= 0 ? a.steps - d.tail : 0;
  for (const quiet_run& r : boundaries(a, d, gap)) room = std::min(room, r.length());
  char c[32];  // tenths of a second, rounded down
  snprintf(c, sizeof c, "%.1f", std::floor(static_cast<double>(room) / 4410) / 10);
  candidate k = candidate_for(a, d, gap, static_cast<int32_t>(*switch_value('C', c)));
  if (static_cast<int>(k.table.tracks.size()) != n) k = candidate_for(a, d, gap, 0);
  if (static_cast<int>(k.table.tracks.size()) != n) return std::nullopt;
  return k;
}

// The candidate of pick `p` for `n` tracks, with its margin of thresholds.
std::optional<candidate> recommendation(const analysis& a, const pick& p, int n,
                                        const std::vector<int64_t>& lengths = {}) {
  if (p.width <= 0) return std::nullopt;
  const size_t mid = middle(a, p.lo, p.hi);
  const detection& d = a.found[p.fi * a.levels.size() + mid];
  std::optional<candidate> k = settled(a, d, wanted_gaps(a, d, n, lengths), n);
  if (!k) return k;
  k->role = candidate::other;
  k->count = n;
  k->margin = range_around(a, p.fi, mid, k->s.gap, n);
  return k;
}

// The quietest places inside the tracks of `k`: where two songs may run
// into each other. Each is the quietest half second within 20 s.
std::vector<std::pair<int64_t, uint32_t>> quiet_places(const analysis& a, const candidate& k,
                                                       size_t count) {
  std::vector<std::pair<uint32_t, size_t>> spots;
  for (const track& t : k.table.tracks) {
    // 3 s in from either end, clear of the silences around the track.
    const size_t first = static_cast<size_t>(t.start / 441) + 300,
                 last = static_cast<size_t>(std::max<int64_t>(t.end / 441 - 300, 0));
    for (size_t i = first; i + 50 < last && i + 50 < a.env.size(); i += 25) {
      const uint32_t m = *std::max_element(a.env.begin() + long(i), a.env.begin() + long(i + 50));
      spots.push_back({m, i});
    }
  }
  std::sort(spots.begin(), spots.end());
  std::vector<std::pair<int64_t, uint32_t>> out;
  std::vector<size_t> taken;
  for (const auto& [m, i] : spots) {
    if (out.size() == count) break;
    bool close = false;
    for (size_t j : taken) close = close || (i > j ? i - j : j - i) < 2000;
    if (close) continue;
    taken.push_back(i);
    out.push_back({int64_t(i) * 441, m});
  }
  return out;
}

// Adds `k` to the candidates as the recommendation.
void add_recommended(advice& v, candidate k) {
  k.role = candidate::recommended;
  v.recommended = static_cast<int>(v.candidates.size());
  v.candidates.push_back(std::move(k));
}

// --tracks n: the best settings for n tracks; and for one track less and
// one more, which, when none gives n, tell where and why.
count_search search_count(const analysis& a, int n, advice& v) {
  count_search f;
  f.n = n;
  if (std::optional<candidate> k = recommendation(a, best_for(a, n), n)) add_recommended(v, *k);
  for (int m : {n - 1, n + 1}) {
    if (m < 1 || m > 99) continue;
    const std::optional<candidate> k = recommendation(a, best_for(a, m), m);
    if (!k) continue;
    if (v.recommended < 0) {
      count_search::nearest_count near{static_cast<int>(v.candidates.size())};
      if (m < n) near.quiet = quiet_places(a, *k, static_cast<size_t>(n - m));
      if (m > n) {
        near.shortest = k->gaps;
        std::sort(
            near.shortest.begin(), near.shortest.end(),
            [](const stretch& x, const stretch& y) { return x.stop - x.start < y.stop - y.start; });
        near.shortest.resize(std::min(near.shortest.size(), static_cast<size_t>(m - n + 1)));
      }
      f.nearest.push_back(near);
    }
    v.candidates.push_back(*k);
  }
  return f;
}

// The runs of `d` inside songs as long as `shortest` or longer: not among
// `keep`, the sleeve's gaps.
std::vector<quiet_run> inside_songs(const analysis& a, const detection& d, int64_t shortest,
                                    const std::vector<quiet_run>& keep) {
  std::vector<quiet_run> o;
  for (const quiet_run& q : d.runs)
    if (q.length() >= shortest && q.stop + 1 < a.steps &&
        std::none_of(keep.begin(), keep.end(),
                     [&](const quiet_run& g) { return g.start == q.start; }))
      o.push_back(q);
  return o;
}

int64_t shortest_of(const std::vector<quiet_run>& runs) {
  int64_t s = INT64_MAX;
  for (const quiet_run& q : runs) s = std::min(s, q.length());
  return s;
}

// Why no setting gives the sleeve's tracks: at the user's filter and the
// threshold that finds the most of their ends, then the fewest passages
// inside songs as long as a gap found, then the longest gaps.
void explain_lengths(const analysis& a, const std::vector<int64_t>& lengths, length_search& f) {
  std::vector<quiet_run> keep;
  std::tuple<size_t, size_t, int64_t> best_key{SIZE_MAX, SIZE_MAX, INT64_MAX};
  for (size_t ti = 0; ti < a.levels.size(); ti++) {
    const detection& d = a.found[ti];
    if (d.probe < 0 || !d.complete) continue;
    fit_lengths(a, d, lengths, keep, f.missing);
    const int64_t shortest = shortest_of(keep);
    const std::tuple<size_t, size_t, int64_t> key{
        f.missing.size(), inside_songs(a, d, shortest, keep).size(), -shortest};
    if (key < best_key) f.level = ti, best_key = key;
  }
  if (!f.level) {
    f.missing.clear();
    return;
  }
  const detection& d = a.found[*f.level];
  fit_lengths(a, d, lengths, keep, f.missing);
  for (sleeve_end& m : f.missing)
    for (int64_t i = std::max<int64_t>(0, m.at - 5 * 44100) / 441;
         i + 50 < (m.at + 5 * 44100) / 441 && i + 50 < int64_t(a.env.size()); i += 10)
      m.quietest = std::min(m.quietest.value_or(UINT32_MAX),
                            *std::max_element(a.env.begin() + i, a.env.begin() + i + 50));
  if (!f.missing.empty() || keep.empty()) return;
  f.shortest_gap = shortest_of(keep);
  // The longest few: past them the list tells nothing more.
  f.inside = inside_songs(a, d, f.shortest_gap, keep);
  std::stable_sort(f.inside.begin(), f.inside.end(),
                   [](const quiet_run& x, const quiet_run& y) { return x.length() > y.length(); });
  f.inside.resize(std::min<size_t>(f.inside.size(), 5));
}

// --lengths: the best settings for the sleeve's tracks, and the tracks that
// still differ from it by more than 5 s; or why none give them.
length_search search_lengths(const analysis& a, const std::vector<int64_t>& lengths, advice& v) {
  length_search f;
  const int n = static_cast<int>(lengths.size());
  std::optional<candidate> k = recommendation(a, best_for(a, n, lengths), n, lengths);
  if (!k) {
    explain_lengths(a, lengths, f);
    return f;
  }
  k->by_lengths = true;
  for (size_t i = 0; i < k->table.tracks.size(); i++) {
    const track& t = k->table.tracks[i];
    if (std::llabs(t.end - t.start - lengths[i]) > 5 * 44100)
      f.mismatched.push_back({t.number, t.end - t.start, lengths[i]});
  }
  add_recommended(v, *k);
  return f;
}

// No sleeve: the track counts that stable ranges of thresholds give with the
// user's gap and filter (at least 2.5 dB wide, or holding the user's
// threshold), and the thresholds less than 2.5 dB from the user's that give
// another.
survey survey_counts(const analysis& a, const settings& s, advice& v) {
  survey f;
  const size_t nt = a.levels.size();
  while (a.levels[f.user] != s.level) f.user++;
  f.modelled = s.gap >= a.min_gap();
  if (!f.modelled) return f;
  for (size_t ti = 0; ti < nt;) {
    const int n = count(a, a.found[ti], s.gap, 0);
    const bool counted = n > 0 || n == no_sound;
    const threshold_range r = counted ? range_around(a, 0, ti, s.gap, n) : threshold_range{ti, ti};
    const bool user = r.lo <= f.user && f.user <= r.hi;
    if (counted && (user || (n > 0 && width_db(a, r.lo, r.hi) >= 2.5))) f.ranges.push_back(r);
    if (counted && n > 0 && (user || width_db(a, r.lo, r.hi) >= 2.5)) {
      candidate k = candidate_for(a, a.found[middle(a, r.lo, r.hi)], s.gap, s.cut);
      k.role = candidate::other;
      k.count = n;
      k.margin = r;
      v.candidates.push_back(k);
    }
    ti = r.hi + 1;
  }
  const int n = count(a, a.found[f.user], s.gap, 0);
  if (n == unmodelled) return f;
  const threshold_range r = range_around(a, 0, f.user, s.gap, n);
  for (size_t j : {r.lo - 1, r.hi + 1})
    if (j < nt && std::fabs(20 * std::log10(double(a.levels[j]) / s.level)) < 2.5)
      f.edges.push_back({j, j, count(a, a.found[j], s.gap, s.cut)});
  return f;
}

}  // namespace

advice advise(const analysis& a, const envelope& e, const request& r) {
  advice v;
  v.floor = measure_floor(a, e);
  v.candidates.push_back(candidate_for(a, a.at(r.s.filter, r.s.level), r.s.gap, r.s.cut));
  if (a.frames() == 0)
    v.found = no_audio{};
  else if (!r.lengths.empty())
    v.found = search_lengths(a, r.lengths, v);
  else if (r.tracks > 0)
    v.found = search_count(a, r.tracks, v);
  else
    v.found = survey_counts(a, r.s, v);
  // The plan, where a recording holds songs (without a noise floor, it is
  // too short), and whether keldrun's best settings keep its music: their
  // table is the model's, which is the detector's, exactly.
  if (!v.floor.db || (r.tracks == 0 && r.lengths.empty())) return v;
  cut_plan p;
  p.sides = r.lengths.empty() ? plan_for_count(e, v.floor.band, r.tracks)
                              : plan_for_lengths(e, v.floor.band, r.lengths);
  // Lengths that run past the end leave tracks without a frame: the
  // advisor's findings tell where.
  int64_t from = 0;
  for (const side_track& t : p.sides.tracks) {
    if (t.start < from || t.end <= t.start || t.end > e.frames()) return v;
    from = t.end;
  }
  if (v.recommended < 0)
    p.lost = music_lost{music_lost::no_setting};
  else
    p.lost = loses_music(v.shown().table, p.sides);
  v.plan = std::move(p);
  return v;
}
