#include "report.h"

#include <cstdio>
#include <cstring>
#include <type_traits>

#include "core.h"
#include "detect.h"
#include "quote.h"

namespace {

std::string format(const char* f, double v) {
  char buf[64];
  snprintf(buf, sizeof buf, f, v);
  return buf;
}

std::string db(double v) {
  return format("%.1f dB", v);
}

std::string when(int64_t frame) {
  return timef(static_cast<uint32_t>(frame < 0 ? 0 : frame));
}

std::string secs(int64_t frames) {
  return format("%.2f s", static_cast<double>(frames) / 44100);
}

std::string threshold(uint32_t level) {
  return "/T " + switch_text('T', level);
}

// The number of the track of `c` that holds frame `f`; 0 when none does.
int track_at(const candidate& c, int64_t f) {
  for (const track& t : c.table.tracks)
    if (t.start <= f && f < t.end) return t.number;
  return 0;
}

// The noise floor and the quietest music, and where the user's threshold
// lies against them.
std::string levels_text(const analysis& a, const request& r, const advice& v) {
  const threshold_place p = place_threshold(a, v.floor.db, v.shown(), r.s.level);
  std::string music = "unknown";
  if (p.music)
    music = db(p.music_db) + " (" + secs(p.music->frames) + " at " + when(p.music->at) + ")";
  const std::string t = threshold(r.s.level);
  const std::string floor = p.noise_db ? db(*p.noise_db) : "unknown";
  std::string out = "Noise floor " + floor + ", quietest music " + music + "; " + t + " is " +
                    db(p.threshold_db) + ".\n";
  // (Nothing to warn of when keldrun-cut is recommended: it needs no threshold.)
  if (v.cut()) return out;
  if (p.below_floor)
    out += "Warning: " + t + " is below the noise floor: no gap can be found.\n";
  else if (p.above_music && v.recommended < 0)
    out += "Warning: " + t + " is above the quietest music: quiet passages split tracks.\n";
  return out;
}

std::string survey_text(const analysis& a, const request& r, const survey& f) {
  std::string out = "Track counts with /G " + switch_text('G', r.s.gap) + " /F " +
                    std::to_string(r.s.filter) + ":";
  if (!f.modelled)
    return out + " not known: keldrun-view models gaps of " + secs(shortest_modelled) +
           " and more.\n";
  out += "\n";
  for (const threshold_range& g : f.ranges)
    out += "  " + threshold(a.levels[g.lo]) + " to " + switch_text('T', a.levels[g.hi]) + ": " +
           count_text(g.count) +
           (g.lo <= f.user && f.user <= g.hi ? " (the current settings)\n" : "\n");
  for (const threshold_range& e : f.edges)
    out += "Warning: " + threshold(r.s.level) +
           " is near the edge of its range: " + threshold(a.levels[e.lo]) + " gives " +
           count_text(e.count) + ".\n";
  return out;
}

std::string count_search_text(const analysis& a, const advice& v, const count_search& f,
                              const std::string& input) {
  if (v.recommended >= 0) return "";
  std::string out =
      "No setting of /T, /G and /F gives exactly " + std::to_string(f.n) + " tracks.\n";
  for (const count_search::nearest_count& near : f.nearest) {
    const candidate& k = v.candidates[size_t(near.candidate)];
    out += "Nearest: " + command(k, input) + " gives " + count_text(k.count) + " (" +
           margin_text(a, k) + ").\n";
    if (!near.quiet.empty())
      out +=
          "Songs that run into each other with no silence between them: no setting splits them. "
          "The quietest places inside its tracks, where they may meet:\n";
    for (const auto& [frame, level] : near.quiet)
      out += "  at " + when(frame) + ", in track " + std::to_string(track_at(k, frame)) +
             ": the quietest 0.5 s nearby peaks at " + db(env_db(a, level)) + "\n";
    if (!near.shortest.empty())
      out +=
          "Quiet passages inside songs as long as real gaps: a gap setting that splits at the "
          "gaps splits there too. The shortest silences it splits at:\n";
    for (const stretch& s : near.shortest)
      out += "  at " + when(s.start) + ": " + secs(s.stop - s.start) + " under the threshold, " +
             "peaking at " + db(env_db(a, loudest(a, s.start, s.stop))) + "\n";
  }
  return out;
}

std::string length_search_text(const analysis& a, const advice& v, const length_search& f) {
  std::string out;
  for (const length_search::mismatch& m : f.mismatched)
    out += "Track " + std::to_string(m.track) + " is " + secs(m.frames) +
           " long; the sleeve says " + secs(m.sleeve) + ".\n";
  if (v.recommended >= 0) return out;
  out += "No setting gives the tracks on the sleeve";
  if (f.level)
    out += "; with " + threshold(a.levels[*f.level]) + " /F " + std::to_string(a.filter) +
           ", which finds the most of their ends:";
  out += f.level ? "\n" : ".\n";
  for (const sleeve_end& m : f.missing) {
    out +=
        "  about " + when(m.at) + ", where the sleeve ends track " + std::to_string(m.track) + ": ";
    if (m.at >= a.frames())
      out += "past the end of the recording (" + when(a.frames()) + ")\n";
    else if (m.quietest)
      out +=
          "no silence; the quietest 0.5 s within 5 s peaks at " + db(env_db(a, *m.quietest)) + "\n";
    else
      out += "no silence\n";
  }
  for (const quiet_run& q : f.inside)
    out += "  at " + when(q.start) + ": a quiet passage of " + secs(q.length()) +
           " inside a song, peaking at " + db(env_db(a, loudest(a, q.start, q.stop))) +
           ": as long as the shortest gap between the sleeve's tracks (" + secs(f.shortest_gap) +
           "), so a /G that splits at that gap splits this song too\n";
  return out;
}

// Why keldrun's settings are not the recommendation: what they would lose.
std::string lost_text(const advice& v, const music_lost& m, int asked) {
  const std::string then = ": keldrun-cut splits where the plan cuts.\n";
  const int tracks = static_cast<int>(v.plan->sides.tracks.size());
  if (m.kind == music_lost::no_setting)
    return "No setting of /T, /G and /F gives exactly " + count_text(asked) + then;
  const std::string best = "keldrun's best settings (" + switches(v.shown()) + ")";
  const std::string n = std::to_string(m.track);
  switch (m.kind) {
    case music_lost::count:
      return "The plan finds " + count_text(tracks) + ", " + best + " give " + count_text(m.track) +
             then;
    case music_lost::starts_late:
      return best + " would start track " + n + " " + secs(m.frames) + " after its music, at " +
             when(m.at) + then;
    case music_lost::ends_early:
      return best + " would end track " + n + " " + secs(m.frames) +
             " before its music has died away, at " + when(m.at) + then;
    default:
      return best + " would run track " + n + " " + secs(m.frames) +
             " into the next song, which begins at " + when(m.at) + then;
  }
}

// The plan's findings, but for the noise, which the levels line tells.
std::string plan_text(const request& r, const advice& v) {
  std::string out;
  for (const finding& f : v.plan->sides.findings)
    if (f.kind != finding::digital_silence && f.kind != finding::noise_level)
      out += describe(f) + "\n";
  const int asked = r.lengths.empty() ? r.tracks : static_cast<int>(r.lengths.size());
  if (v.plan->lost) out += lost_text(v, *v.plan->lost, asked);
  return out;
}

}  // namespace

std::string cut_command(const std::string& labels, const std::string& infile) {
  return "keldrun-cut " + shell_word(labels) + " " + shell_word(infile) + " TRACK";
}

std::string recommended_command(const advice& v, const std::string& infile,
                                const std::string& labels) {
  return v.cut() ? cut_command(labels, infile) : command(v.shown(), infile);
}

std::string table_text(const advice& v, const std::string& labels) {
  // Never a table that the program of the command did not make.
  if (v.cut()) {
    const std::string check = "keldrun-cut " + shell_word(labels) + " - -\n";
    if (!v.plan->verified)
      return "The input was piped, so its table is left to keldrun-cut: check it with\n" + check;
    return v.plan->table.rows();
  }
  const candidate& shown = v.shown();
  if (!shown.verified) {
    const std::string listing = command(shown, "-");
    return "The input was piped, so its table is left to keldrun: check it with\n" +
           listing.substr(0, listing.size() - 5) + "-\n";
  }
  const std::string note = table_note(shown);
  return shown.table.rows() + (note.empty() ? "" : "(" + note + ")\n");
}

std::string plan_label(const advice& v) {
  const std::string n = count_text(static_cast<int>(v.plan->sides.tracks.size()));
  return v.cut() ? "recommended: keldrun-cut, " + n : "keldrun-cut: " + n;
}

std::string boundary_text(const boundary& b) {
  std::string out = b.silent
                        ? secs(b.heard_from - b.heard_to) + " of silence, cut at " + when(b.cut)
                        : "no silence: cut at the quietest place, " + when(b.cut);
  if (b.expected >= 0) out += "; the sleeve puts it at " + when(b.expected);
  return out;
}

std::string plan_about() {
  return "Each boundary on its own: after the song before has died away, before the next one "
         "rises; no threshold.";
}

std::string plan_table_note(const cut_plan& p) {
  return p.verified ? "" : "not listed: the input was piped; keldrun-cut lists it";
}

std::string switch_text(int letter, int64_t value) {
  if (letter == 'F') return std::to_string(value);
  // The text with the fewest decimals that lies nearest the middle of the
  // values that truncate to `value`; or the advisor's own threshold of the
  // grid, where it is as short.
  const double mid = (static_cast<double>(value) + 0.5) / (letter == 'T' ? 32767 : 44100);
  char t[64];
  for (int decimals = 0; decimals < 20; decimals++) {
    snprintf(t, sizeof t, "%.*f", decimals, mid);
    if (switch_value(letter, t) == value) break;
  }
  static const std::vector<std::string> grid = threshold_grid();
  if (letter == 'T')
    for (const std::string& g : grid)
      if (g.size() <= std::strlen(t) && switch_value('T', g.c_str()) == value) return g;
  return t;
}

std::string switches(const candidate& c) {
  return "/T " + switch_text('T', c.s.level) + " /G " + switch_text('G', c.s.gap) + " /C " +
         switch_text('C', c.s.cut) + " /F " + std::to_string(c.s.filter);
}

std::string command(const candidate& c, const std::string& infile) {
  std::string s = "keldrun";
  if (c.s.level != 1638) s += " /T " + shell_word(switch_text('T', c.s.level));
  if (c.s.gap != 88200) s += " /G " + shell_word(switch_text('G', c.s.gap));
  if (static_cast<uint32_t>(c.s.cut) != c.s.gap)
    s += " /C " + shell_word(switch_text('C', c.s.cut));
  if (c.s.filter != 10) s += " /F " + std::to_string(c.s.filter);
  return s + " " + shell_word(infile) + " TRACK";
}

std::string count_text(int n) {
  if (n == no_sound) return "no tracks";
  if (n == over_99) return "more than 99 tracks";
  if (n == unmodelled) return "a count not modelled";
  return std::to_string(n) + (n == 1 ? " track" : " tracks");
}

std::string label(const candidate& c, bool cut) {
  if (c.role == candidate::current) return "current settings";
  if (c.role == candidate::other) return count_text(c.count);
  return (cut ? "keldrun's best: " : "recommended: ") +
         std::string(c.by_lengths ? "the sleeve's " : "") + count_text(c.count);
}

std::string margin_text(const analysis& a, const candidate& c) {
  if (!c.margin) return "";
  return "any /T from " + switch_text('T', a.levels[c.margin->lo]) + " to " +
         switch_text('T', a.levels[c.margin->hi]) + " gives " + count_text(c.margin->count) +
         " with /G " + switch_text('G', c.s.gap) +
         (c.s.filter != 10 ? " /F " + std::to_string(c.s.filter) : "");
}

std::string why(const stretch& s, uint32_t gap) {
  if (s.kind == stretch::broken) return "silence broken by a click at " + when(s.clicks.at(0));
  const std::string silence = secs(s.stop - s.start) + " of silence";
  return s.kind == stretch::gap ? silence : silence + ", " + secs(gap) + " needed";
}

std::string table_note(const candidate& c) {
  if (!c.modelled && !c.verified)
    return "not modelled (a gap this short, or too many silences to keep): keldrun lists it";
  if (c.table.no_sound) return "no tracks: keldrun says \"No tracks detected\"";
  if (c.table.too_many) return "and then keldrun stops: more than 99 tracks";
  if (c.table.tracks.empty()) return "no rows: every track is shorter than the cut";
  return "";
}

std::string notice(const analysis& a, const advice& v) {
  if (!std::holds_alternative<no_audio>(v.found)) return "";
  return "No audio: the header declares " + when(a.declared) +
         " of it, and the data ends before its first frame.";
}

std::string report(const analysis& a, const request& r, const advice& v, const std::string& input) {
  return std::visit(
      [&](const auto& f) -> std::string {
        using found = std::decay_t<decltype(f)>;
        if constexpr (std::is_same_v<found, no_audio>)
          return notice(a, v) + "\n";
        else if constexpr (std::is_same_v<found, survey>)
          return levels_text(a, r, v) + survey_text(a, r, f);
        else if (v.plan)
          return levels_text(a, r, v) + plan_text(r, v);
        else if constexpr (std::is_same_v<found, count_search>)
          return levels_text(a, r, v) + count_search_text(a, v, f, input);
        else
          return levels_text(a, r, v) + length_search_text(a, v, f);
      },
      v.found);
}

std::string settings_text(const candidate& c) {
  return "Threshold " + db(to_db(c.s.level)) + ", gap " + secs(c.s.gap) + ", cut " + secs(c.s.cut) +
         ", filter " + std::to_string(c.s.filter) + " frames.";
}
