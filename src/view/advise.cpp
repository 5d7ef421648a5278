#include "advise.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <tuple>

#include "core.h"
#include "detect.h"
#include "quote.h"

double to_db(double level) {
  return level <= 0 ? -100 : std::max(-100.0, 20 * std::log10(level / 32767));
}

namespace {

std::string format(const char* f, double v) {
  char buf[64];
  snprintf(buf, sizeof buf, f, v);
  return buf;
}

std::string at(int64_t frame) {
  return timef(static_cast<uint32_t>(frame < 0 ? 0 : frame));
}

std::string secs(int64_t frames) {
  return format("%.2f s", static_cast<double>(frames) / 44100);
}

// A short text for the gap or cut switch near `want` frames that converts
// to a value in lo..hi.
std::string nice(int letter, double want, int64_t lo, int64_t hi) {
  for (int digits = 1; digits <= 6; digits++) {
    char f[8];
    snprintf(f, sizeof f, "%%.%dg", digits);
    const std::string t = format(f, want / 44100);
    const int64_t v = *switch_value(letter, t.c_str());
    if (v >= lo && v <= hi) return t;
  }
  return format("%.6f", static_cast<double>(hi) / 44100);
}

// The loudest filtered level (the user's filter) of frames lo..hi, in dB.
// Only the 10-ms stretches wholly inside count: the ends touch sound.
double loudest_db(const analysis& a, int64_t lo, int64_t hi) {
  uint32_t m = 0;
  for (int64_t i = (std::max<int64_t>(lo, 0) + 440) / 441;
       i < (hi + 1) / 441 && i < int64_t(a.env.size()); i++)
    m = std::max(m, a.env[static_cast<size_t>(i)]);
  return to_db(static_cast<double>(m) / (a.filter + 1));
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

// "6 tracks", or what keldrun says instead of a table.
std::string count_text(int n) {
  return n < 0 ? std::string("no table") : std::to_string(n) + (n == 1 ? " track" : " tracks");
}

int rows(const analysis& a, const detection& d, uint32_t gap, int32_t cut) {
  const listing l = model_listing(a, d, gap, cut, false);
  return l.no_sound || l.too_many ? -1 : static_cast<int>(l.tracks.size());
}

candidate make(const analysis& a, const detection& d, const std::string& t, const std::string& g,
               const std::string& c, const std::string& label) {
  candidate k;
  k.label = label;
  k.filter = d.filter;
  k.level = d.level;
  k.t = t, k.g = g, k.c = c;
  k.gap = static_cast<uint32_t>(*switch_value('G', g.c_str()));
  k.cut =
      c.empty() ? static_cast<int32_t>(k.gap) : static_cast<int32_t>(*switch_value('C', c.c_str()));
  k.table = model_listing(a, d, k.gap, k.cut);
  for (const quiet_run& r : boundaries(a, d, k.gap))
    k.gaps.push_back({r.start, r.stop, secs(r.length()) + " of silence", {}});
  // Near misses: silences a little short, and silences broken only by a
  // burst shorter than 50 ms; the closest first.
  std::vector<std::pair<int64_t, stretch>> near;
  for (size_t i = 0; i < d.runs.size(); i++) {
    const quiet_run& r = d.runs[i];
    if (r.length() < k.gap && 2 * r.length() >= k.gap)
      near.push_back(
          {k.gap - r.length(),
           {r.start, r.stop, secs(r.length()) + " of silence, " + secs(k.gap) + " needed", {}}});
    if (i + 1 < d.runs.size()) {
      const quiet_run& s = d.runs[i + 1];
      if (s.start - r.stop < 2205 && s.stop - r.start >= k.gap && r.length() < k.gap &&
          s.length() < k.gap)
        near.push_back(
            {0, {r.start, s.stop, "silence broken by a click at " + at(r.stop), {r.stop}}});
    }
  }
  std::stable_sort(near.begin(), near.end(),
                   [](const auto& x, const auto& y) { return x.first < y.first; });
  for (size_t i = 0; i < near.size() && i < 6; i++) k.near.push_back(near[i].second);
  return k;
}

// The thresholds around `mid` (an index into a.levels) that give `n` rows:
// the widest unbroken range.
std::pair<size_t, size_t> range_around(const analysis& a, size_t fi, size_t mid, uint32_t gap,
                                       int n) {
  const size_t nt = a.levels.size();
  auto ok = [&](size_t ti) { return rows(a, a.found[fi * nt + ti], gap, 0) == n; };
  size_t lo = mid, hi = mid;
  while (lo > 0 && ok(lo - 1)) lo--;
  while (hi + 1 < nt && ok(hi + 1)) hi++;
  return {lo, hi};
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

// The gaps (frames) that give exactly `want` scans ending at the runs
// `keep`: longer than every other run, no longer than the shortest kept.
struct gap_range {
  int64_t lo = 0, hi = -1;
  bool empty() const { return hi < lo; }
};

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
// `missing` the frames where none was found; the gaps that split at exactly
// those silences are returned.
gap_range fit_lengths(const analysis& a, const detection& d, const std::vector<int64_t>& lengths,
                      std::vector<quiet_run>& keep, std::vector<int64_t>& missing) {
  keep.clear(), missing.clear();
  gap_range g;
  if (d.probe < 0) return g;
  int64_t at = d.probe;
  for (size_t i = 0; i + 1 < lengths.size(); i++) {
    const int64_t want = at + lengths[i];
    const quiet_run* best = nullptr;
    for (const quiet_run& r : d.runs)
      if (r.stop > at && std::llabs(r.start - want) <= 5 * 44100 && r.stop + 1 < a.steps &&
          (!best || r.length() > best->length()))
        best = &r;
    if (best) {
      keep.push_back(*best);
      at = best->stop;
    } else {
      missing.push_back(want);
      at = want;
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
gap_range wanted(const analysis& a, const detection& d, int n,
                 const std::vector<int64_t>& lengths) {
  if (lengths.empty()) return gaps_for_count(a, d, n);
  std::vector<quiet_run> keep;
  std::vector<int64_t> missing;
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

// How much later than `y` the latest track of `x` starts.
int64_t late(const std::vector<int64_t>& x, const std::vector<int64_t>& y) {
  int64_t m = INT64_MIN;
  for (size_t i = 0; i < x.size(); i++) m = std::max(m, x[i] - y[i]);
  return m;
}

// Whether two splits cut at the same silences, however long each is heard.
bool same_gaps(const std::vector<quiet_run>& x, const std::vector<quiet_run>& y) {
  if (x.size() != y.size()) return false;
  for (size_t i = 0; i < x.size(); i++)
    if (x[i].start >= y[i].stop || y[i].start >= x[i].stop) return false;
  return true;
}

// How much later than `y` the tracks of `x` start, in all.
int64_t later(const std::vector<int64_t>& x, const std::vector<int64_t>& y) {
  int64_t sum = 0;
  for (size_t i = 0; i < x.size(); i++) sum += x[i] - y[i];
  return sum;
}

// Whether `p` keeps music that `q` leaves in its gaps, and is wide enough to
// trust. Splitting at the same gaps, by the tracks' starts: noise moves a
// start a little either way, an intro lost moves it a lot. At other gaps
// (`q` takes a soft passage or an intro for a gap), by the silence cut out.
bool earlier(const pick& p, const pick& q) {
  const int64_t clear = drift + 2205 * static_cast<int64_t>(p.first.size());
  if (p.width < 1.5) return false;
  if (same_gaps(p.gaps, q.gaps)) return later(q.first, p.first) > clear;
  return q.silence - p.silence > clear;
}

// Whether detection `d` splits into `n` tracks at gap `g`, none of them
// shorter than 3 s: a shorter one lies between the pieces of a broken gap.
bool gives(const analysis& a, const detection& d, uint32_t g, int n) {
  if (rows(a, d, g, 0) != n) return false;
  int64_t from = d.probe;
  for (const quiet_run& r : boundaries(a, d, g)) {
    if (r.start - from < 3 * 44100) return false;
    from = r.stop;
  }
  return (d.tail >= 0 ? d.tail : a.steps) - from >= 3 * 44100;
}

// The best settings for `n` tracks: of the ranges that keep the most music
// (a person wants quiet intros and fade-ins kept), the one with the widest
// margins of threshold and gap together, the user's filter counting 2 dB more.
pick best_for(const analysis& a, int n, const std::vector<int64_t>& lengths = {}) {
  const size_t nt = a.levels.size();
  std::vector<pick> found;
  for (size_t fi = 0; fi < a.filters.size(); fi++) {
    for (const std::string& gt : gap_grid) {
      const int64_t g64 = *switch_value('G', gt.c_str());
      if (g64 < a.min_gap()) continue;
      const uint32_t g = static_cast<uint32_t>(g64);
      const auto at = [&](size_t ti) -> const detection& { return a.found[fi * nt + ti]; };
      const auto ok = [&](size_t ti) {
        if (!gives(a, at(ti), g, n)) return false;
        const gap_range gr = lengths.empty() ? gap_range{0, g} : wanted(a, at(ti), n, lengths);
        return gr.lo <= g && g <= gr.hi;
      };
      for (size_t lo = 0, hi; lo < nt; lo = hi + 1) {
        hi = lo;
        if (!ok(lo)) continue;
        pick p{fi, lo, lo, -1, boundaries(a, at(lo), g)};
        while (hi + 1 < nt && ok(hi + 1) && same_gaps(p.gaps, boundaries(a, at(hi + 1), g))) hi++;
        // Measured a step above the lowest threshold, where noise may still
        // break a gap and start a track early.
        p.first = starts(a, at(std::min(lo + 1, hi)), g);
        for (const quiet_run& r : boundaries(a, at(std::min(lo + 1, hi)), g))
          p.silence += r.length();
        p.whole = width_db(a, lo, hi) + 0.8;
        while (p.hi < hi && late(starts(a, at(p.hi + 1), g), p.first) <= drift) p.hi++;
        p.width = width_db(a, lo, p.hi) + 0.8;
        // A setting that works across less than 2.4 dB or so (three steps
        // of the grid) splits at whatever happens to be quietest there.
        if (p.whole >= 2.4) found.push_back(p);
      }
    }
  }
  pick top;
  double top_score = -1;
  for (const pick& p : found) {
    if (std::any_of(found.begin(), found.end(), [&](const pick& q) { return earlier(q, p); }))
      continue;
    // The margins of both settings: the thresholds, and the gaps at the
    // threshold chosen.
    const gap_range gr = wanted(a, a.found[p.fi * nt + middle(a, p.lo, p.hi)], n, lengths);
    const double score = p.width + (p.fi == 0 ? 2 : 0) +
                         (gr.empty() ? 0 : 20 * std::log10(static_cast<double>(gr.hi) / gr.lo));
    if (score > top_score) top = p, top_score = score;
  }
  return top;
}

// Settings of detection `d` for `n` tracks with a gap from `gr`: the gap in
// the middle of its range on a log scale, the cut as long as the shortest
// gap and the final silence allow, so that tracks end where their music does.
bool settle(const analysis& a, const detection& d, const std::string& t, gap_range gr, int n,
            const std::string& label, candidate& out) {
  if (gr.empty()) return false;
  const std::string g = nice('G', std::sqrt(static_cast<double>(gr.lo) * gr.hi), gr.lo, gr.hi);
  const uint32_t gap = static_cast<uint32_t>(*switch_value('G', g.c_str()));
  int64_t room = d.tail >= 0 ? a.steps - d.tail : 0;
  for (const quiet_run& r : boundaries(a, d, gap)) room = std::min(room, r.length());
  std::string c = format("%.1f", std::floor(static_cast<double>(room) / 4410) / 10);
  if (c == "0.0") c = "0";
  if (*switch_value('C', c.c_str()) == gap) c.clear();
  out = make(a, d, t, g, c, label);
  if (static_cast<int>(out.table.tracks.size()) != n) out = make(a, d, t, g, "0", label);
  return static_cast<int>(out.table.tracks.size()) == n;
}

std::string margins(const analysis& a, size_t lo, size_t hi, int n, const candidate& k) {
  return "any /T from " + a.texts[lo] + " to " + a.texts[hi] + " gives " + count_text(n) +
         " with /G " + k.g + (k.filter != 10 ? " /F " + std::to_string(k.filter) : "");
}

bool recommend(const analysis& a, const pick& p, int n, const std::vector<int64_t>& lengths,
               const std::string& label, candidate& out) {
  const size_t mid = middle(a, p.lo, p.hi);
  const detection& d = a.found[p.fi * a.levels.size() + mid];
  if (!settle(a, d, a.texts[mid], wanted(a, d, n, lengths), n, label, out)) return false;
  const auto [lo, hi] = range_around(a, p.fi, mid, out.gap, n);
  out.note = margins(a, lo, hi, n, out);
  return true;
}

// The quietest places inside the tracks of `k`: where two songs may run
// into each other. Each is the quietest half second within 20 s.
std::vector<std::string> quiet_places(const analysis& a, const candidate& k, size_t count) {
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
  std::vector<std::string> out;
  std::vector<size_t> taken;
  for (const auto& [m, i] : spots) {
    if (out.size() == count) break;
    bool close = false;
    for (size_t j : taken) close = close || (i > j ? i - j : j - i) < 2000;
    if (close) continue;
    taken.push_back(i);
    out.push_back("  at " + at(int64_t(i) * 441) + ": the quietest 0.5 s nearby is at " +
                  format("%.1f dB", to_db(double(m) / (a.filter + 1))));
  }
  return out;
}

std::string describe(const analysis& a, const stretch& s) {
  return "  at " + at(s.start) + ": " + secs(s.stop - s.start) + " at " +
         format("%.1f dB", loudest_db(a, s.start, s.stop));
}

}  // namespace

std::string switches(const candidate& c) {
  return "/T " + c.t + " /G " + c.g + " /C " + (c.c.empty() ? c.g : c.c) + " /F " +
         std::to_string(c.filter);
}

std::string command(const candidate& c, const std::string& infile) {
  std::string s = "keldrun";
  if (*switch_value('T', c.t.c_str()) != 1638) s += " /T " + shell_word(c.t);
  if (c.gap != 88200) s += " /G " + shell_word(c.g);
  if (static_cast<uint32_t>(c.cut) != c.gap) s += " /C " + shell_word(c.c);
  if (c.filter != 10) s += " /F " + std::to_string(c.filter);
  return s + " " + shell_word(infile) + " TRACK";
}

advice advise(const analysis& a, const request& r) {
  advice v;
  const size_t nt = a.levels.size();
  const uint32_t user_level = static_cast<uint32_t>(*switch_value('T', r.threshold.c_str()));
  const detection& cur = a.at(r.filter, user_level);
  v.candidates.push_back(make(a, cur, r.threshold, r.gap, r.cut, "current settings"));
  std::string& out = v.report;

  if (!r.lengths.empty()) {
    const int n = static_cast<int>(r.lengths.size());
    std::vector<quiet_run> keep;
    std::vector<int64_t> missing;
    const pick p = best_for(a, n, r.lengths);
    candidate k;
    if (p.width > 0) {
      if (recommend(a, p, n, r.lengths,
                    "recommended: the sleeve's " + std::to_string(n) + " tracks", k)) {
        v.recommended = static_cast<int>(v.candidates.size());
        v.candidates.push_back(k);
        for (size_t i = 0; i < k.table.tracks.size(); i++) {
          const track& t = k.table.tracks[i];
          if (std::llabs(t.end - t.start - r.lengths[i]) > 5 * 44100)
            out += "Track " + std::to_string(t.number) + " is " + secs(t.end - t.start) +
                   " long; the sleeve says " + secs(r.lengths[i]) + ".\n";
        }
      }
    }
    if (v.recommended < 0) {
      out += "No setting gives the tracks on the sleeve.\n";
      // Why, at the user's filter and the threshold that finds the most ends,
      // then the fewest passages inside songs as long as a gap found, then
      // the longest gaps, clear of the noise.
      const auto offending = [&](const detection& d, int64_t shortest) {
        std::vector<quiet_run> o;
        for (const quiet_run& q : d.runs)
          if (q.length() >= shortest && q.stop + 1 < a.steps &&
              std::none_of(keep.begin(), keep.end(),
                           [&](const quiet_run& g) { return g.start == q.start; }))
            o.push_back(q);
        return o;
      };
      size_t best = 0;
      std::tuple<size_t, size_t, int64_t> best_key{SIZE_MAX, SIZE_MAX, INT64_MAX};
      for (size_t ti = 0; ti < nt; ti++) {
        if (a.found[ti].probe < 0) continue;
        fit_lengths(a, a.found[ti], r.lengths, keep, missing);
        int64_t shortest = INT64_MAX;
        for (const quiet_run& q : keep) shortest = std::min(shortest, q.length());
        const std::tuple<size_t, size_t, int64_t> key{
            missing.size(), offending(a.found[ti], shortest).size(), -shortest};
        if (key < best_key) best = ti, best_key = key;
      }
      const detection& d = a.found[best];
      fit_lengths(a, d, r.lengths, keep, missing);
      for (int64_t m : missing) {
        uint32_t quietest = UINT32_MAX;
        for (int64_t i = std::max<int64_t>(0, m - 5 * 44100) / 441;
             i + 50 < (m + 5 * 44100) / 441 && i + 50 < int64_t(a.env.size()); i += 10)
          quietest =
              std::min(quietest, *std::max_element(a.env.begin() + i, a.env.begin() + i + 50));
        out += "  about " + at(m) +
               ": no silence between two songs; the quietest 0.5 s there is at " +
               format("%.1f dB", to_db(double(quietest) / (a.filter + 1))) + "\n";
      }
      if (missing.empty() && !keep.empty()) {
        int64_t shortest = INT64_MAX;
        for (const quiet_run& q : keep) shortest = std::min(shortest, q.length());
        // The longest few: past them the list tells nothing more.
        std::vector<quiet_run> o = offending(d, shortest);
        std::stable_sort(o.begin(), o.end(), [](const quiet_run& x, const quiet_run& y) {
          return x.length() > y.length();
        });
        for (size_t i = 0; i < o.size() && i < 5; i++)
          out += describe(a, {o[i].start, o[i].stop, "", {}}) +
                 " inside a song, as long as the shortest gap (" + secs(shortest) + ")\n";
      }
    }
  } else if (r.tracks > 0) {
    const int n = r.tracks;
    const pick p = best_for(a, n);
    candidate k;
    if (p.width > 0 && recommend(a, p, n, {}, "recommended: " + std::to_string(n) + " tracks", k)) {
      v.recommended = static_cast<int>(v.candidates.size());
      v.candidates.push_back(k);
    } else {
      out += "No setting of /T, /G and /F gives exactly " + std::to_string(n) + " tracks.\n";
    }
    for (int m : {n - 1, n + 1}) {
      if (m < 1 || m > 99) continue;
      const pick q = best_for(a, m);
      if (q.width > 0 && recommend(a, q, m, {}, count_text(m), k)) {
        if (v.recommended < 0) {
          out += "Nearest: " + command(k, r.input) + " gives " + count_text(m) + " (" + k.note +
                 ").\n";
          const std::vector<std::string> places = quiet_places(a, k, static_cast<size_t>(n - m));
          if (m < n && !places.empty()) {
            out +=
                "Songs that run into each other, with no silence between them; the quietest places "
                "inside its tracks:\n";
            for (const std::string& s : places) out += s + "\n";
          } else if (m > n) {
            out +=
                "Quiet passages inside songs as long as real gaps; the shortest silences it splits "
                "at:\n";
            std::vector<stretch> g = k.gaps;
            std::sort(g.begin(), g.end(), [](const stretch& x, const stretch& y) {
              return x.stop - x.start < y.stop - y.start;
            });
            for (size_t i = 0; i < g.size() && i < static_cast<size_t>(m - n + 1); i++)
              out += describe(a, g[i]) + "\n";
          }
        }
        v.candidates.push_back(k);
      }
    }
  } else {
    // The track counts that stable ranges of thresholds give with the
    // user's gap and filter.
    const size_t fi = 0;
    const uint32_t gap = v.candidates[0].gap;
    const int32_t cut = v.candidates[0].cut;
    size_t ui = 0;
    while (a.levels[ui] != user_level) ui++;
    out += "Track counts with /G " + r.gap + " /F " + std::to_string(r.filter) + ":\n";
    for (size_t ti = 0; ti < nt;) {
      const int n = rows(a, a.found[fi * nt + ti], gap, 0);
      const auto [lo, hi] =
          n > 0 ? range_around(a, fi, ti, gap, n) : std::pair<size_t, size_t>{ti, ti};
      // The ranges of at least 2.5 dB, and the one the user's threshold is in.
      if (n > 0 && (width_db(a, lo, hi) >= 2.5 || (lo <= ui && ui <= hi))) {
        const std::string count = count_text(n);
        out += "  /T " + a.texts[lo] + " to " + a.texts[hi] + ": " + count +
               (lo <= ui && ui <= hi ? " (the current settings)\n" : "\n");
        const size_t mid = middle(a, lo, hi);
        candidate k = make(a, a.found[fi * nt + mid], a.texts[mid], r.gap, r.cut, count);
        k.note = "any /T from " + a.texts[lo] + " to " + a.texts[hi] + " gives " + count +
                 " with /G " + r.gap;
        v.candidates.push_back(k);
      }
      ti = hi + 1;
    }
    // Near an edge: a threshold less than 2.5 dB away gives another count.
    const int n = rows(a, cur, gap, 0);
    const auto [lo, hi] = range_around(a, fi, ui, gap, n);
    for (size_t j : {lo - 1, hi + 1})
      if (j < nt && std::fabs(20 * std::log10(double(a.levels[j]) / user_level)) < 2.5)
        out += "Warning: /T " + r.threshold + " is near the edge of its range: /T " + a.texts[j] +
               " gives " + count_text(rows(a, a.found[fi * nt + j], gap, cut)) + ".\n";
  }

  // The levels that matter, for the candidate shown.
  const candidate& k = v.candidates[v.recommended >= 0 ? size_t(v.recommended) : 0];
  std::vector<uint32_t> in_gaps;
  for (const stretch& s : k.gaps)
    for (int64_t i = s.start / 441 + 1; i < s.stop / 441 && i < int64_t(a.env.size()); i++)
      in_gaps.push_back(a.env[size_t(i)]);
  const bool in_gaps_found = !in_gaps.empty();
  if (!in_gaps_found) {
    // No gap found: the quietest few per cent of 50-ms stretches.
    for (size_t i = 0; i + 5 <= a.env.size(); i += 5)
      in_gaps.push_back(*std::max_element(a.env.begin() + long(i), a.env.begin() + long(i + 5)));
    std::sort(in_gaps.begin(), in_gaps.end());
    in_gaps.resize(std::min(in_gaps.size(), in_gaps.size() / 33 + 1));
  } else {
    std::sort(in_gaps.begin(), in_gaps.end());
  }
  if (!in_gaps.empty())
    v.noise_db = to_db(static_cast<double>(in_gaps[in_gaps.size() / 2]) / (a.filter + 1));
  // The quietest stretch of music as long as the gap: the lowest of the
  // loudest levels over every such window inside the tracks, away from
  // their ends, where a quiet stretch only lengthens a gap.
  const size_t win = std::max<size_t>(1, k.gap / 441);
  uint32_t quietest = UINT32_MAX;
  int64_t quietest_at = -1;
  for (const track& t : k.table.tracks) {
    std::deque<size_t> q;  // indices of falling maxima: a sliding window maximum
    const size_t first = size_t(t.start / 441) + 300,
                 last = size_t(std::max<int64_t>(t.end / 441 - 300, 0));
    for (size_t i = first; i < last && i < a.env.size(); i++) {
      while (!q.empty() && a.env[q.back()] <= a.env[i]) q.pop_back();
      q.push_back(i);
      if (q.front() + win <= i) q.pop_front();
      if (i + 1 >= first + win && a.env[q.front()] < quietest) {
        quietest = a.env[q.front()];
        quietest_at = int64_t(i + 1 - win) * 441;
      }
    }
  }
  if (quietest_at >= 0) v.music_db = to_db(static_cast<double>(quietest) / (a.filter + 1));
  const double t_db = to_db(user_level);
  std::string levels =
      "Noise floor " + format("%.1f dB", v.noise_db) +
      (in_gaps_found ? "" : " (the quietest 3 % of 50-ms stretches)") + ", quietest music " +
      (quietest_at >= 0
           ? format("%.1f dB", v.music_db) + " (" + secs(win * 441) + " at " + at(quietest_at) + ")"
           : std::string("unknown")) +
      "; /T " + r.threshold + " is " + format("%.1f dB", t_db) + ".\n";
  if (t_db <= v.noise_db)
    levels += "Warning: /T " + r.threshold + " is below the noise floor: no gap can be found.\n";
  else if (quietest_at >= 0 && t_db >= v.music_db && v.recommended < 0)
    levels += "Warning: /T " + r.threshold +
              " is above the quietest music: quiet passages split tracks.\n";
  out = levels + out;
  return v;
}
