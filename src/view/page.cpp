#include "page.h"

#include <algorithm>
#include <cstdio>
#include <map>

#include "detect.h"
#include "platform.h"
#include "report.h"

namespace {

std::string quoted(const std::string& s) {
  std::string q = "\"";
  for (const char ch : s) {
    const unsigned char c = static_cast<unsigned char>(ch);
    if (c == '"' || c == '\\') {
      q += '\\';
      q += ch;
    } else if (c == '\n') {
      q += "\\n";
    } else if (c == '\t') {
      q += "\\t";
    } else if (c < 0x20 || c == '<') {
      // '<' too, so that no text can close the script it sits in.
      char u[8];
      snprintf(u, sizeof u, "\\u%04x", c);
      q += u;
    } else {
      q += ch;
    }
  }
  return q + "\"";
}

std::string num(double v, const char* f = "%.1f") {
  char buf[32];
  snprintf(buf, sizeof buf, f, v);
  return buf;
}

std::string dbs(const analysis& a, size_t first, size_t last) {
  std::string s = "[";
  for (size_t i = first; i < last && i < a.env.size(); i++)
    (i > first ? s += ',' : s) += num(env_db(a, a.env[i]));
  return s + "]";
}

std::string boolean(bool b) {
  return b ? "true" : "false";
}

// A sentence of the page in pieces, the warnings marked.
std::string pieces(const std::vector<std::pair<std::string, bool>>& p) {
  std::string s = "[";
  for (const auto& [text, warn] : p)
    (s.size() > 1 ? s += ',' : s) +=
        "{\"text\":" + quoted(text) + ",\"warn\":" + boolean(warn) + "}";
  return s + "]";
}

// Where the candidate's threshold lies against the noise floor and its
// quietest music.
std::string levels_sentence(const threshold_place& p) {
  if (!p.noise_db) return "[]";
  const std::string is = "The threshold is ";
  const double above = p.threshold_db - *p.noise_db, below = p.music_db - p.threshold_db;
  if (p.below_floor)
    return pieces({{is + num(-above) +
                        " dB below the noise floor: the hiss counts as sound and "
                        "gaps vanish.",
                    true}});
  const std::string floor = is + num(above) + " dB above the noise floor";
  if (!p.music) return pieces({{floor + "; the quietest music is not known.", false}});
  if (!p.above_music)
    return pieces({{floor + " and " + num(below) + " dB below the quietest music.", false}});
  return pieces(
      {{floor + " and ", false},
       {num(-below) + " dB above the quietest music: quiet passages may split tracks.", true}});
}

// The track of `c` numbered `n`, as {"n":..,"at":..} of its start or end.
std::string track_edge(const candidate& c, int n, bool end) {
  for (const track& t : c.table.tracks)
    if (t.number == n)
      return "{\"n\":" + std::to_string(n) + ",\"at\":" + std::to_string(end ? t.end : t.start) +
             "}";
  return "null";
}

// The page's panels: one per distinct stretch, shared by the candidates.
struct panels {
  const analysis& a;
  std::map<std::pair<int64_t, int64_t>, size_t> index = {};
  std::string json = "";

  long of(const stretch& s) {
    const auto key = std::make_pair(s.start, s.stop);
    if (auto it = index.find(key); it != index.end()) return long(it->second);
    if (index.size() >= 300) return -1;
    const size_t first = size_t(std::max<int64_t>(0, s.start - 3 * 44100) / 441);
    const size_t last = size_t((s.stop + 3 * 44100) / 441);
    std::string clicks;
    for (int64_t c : s.clicks) (clicks.empty() ? clicks : clicks += ',') += std::to_string(c);
    (json.empty() ? json : json += ',') += "{\"start\":" + std::to_string(first * 441) +
                                           ",\"step\":441,\"db\":" + dbs(a, first, last) +
                                           ",\"clicks\":[" + clicks + "]}";
    index[key] = index.size();
    return long(index.size() - 1);
  }
};

// The sleeve's lengths beside tracks of `count`: none when the sleeve has
// another number of them.
std::string sleeve(const request& r, size_t count) {
  std::string j;
  if (r.lengths.size() == count)
    for (size_t i = 0; i < count; i++)
      (i ? j += ',' : j) += quoted(timef(static_cast<uint32_t>(r.lengths[i])));
  return "[" + j + "]";
}

// The candidate's gaps or near misses: where, what they are, the panel that
// shows them; for a gap, the tracks it ends and starts.
std::string stretches(const candidate& c, bool gaps, panels& p) {
  const std::vector<stretch>& list = gaps ? c.gaps : c.near;
  std::string j;
  for (size_t i = 0; i < list.size(); i++) {
    const stretch& s = list[i];
    const bool long_enough = s.stop - s.start >= c.s.gap;
    (i ? j += ',' : j) +=
        "{\"start\":" + std::to_string(s.start) + ",\"stop\":" + std::to_string(s.stop) +
        ",\"mark\":" + std::to_string((s.start + s.stop) / 2) +
        ",\"why\":" + quoted(why(s, c.s.gap)) + ",\"panel\":" + std::to_string(p.of(s)) +
        ",\"bar\":\"" + (long_enough ? "gap" : "near") + "\"";
    // Gap i ends the scan of track i + 1 and starts that of i + 2.
    const int n = static_cast<int>(i) + 1;
    if (gaps)
      j += ",\"ends\":" + track_edge(c, n, true) + ",\"starts\":" + track_edge(c, n + 1, false);
    j += "}";
  }
  return "[" + j + "]";
}

std::string candidate_data(const analysis& a, const request& r, const advice& v, const candidate& c,
                           const std::string& input, panels& p) {
  const std::optional<double> floor = v.floor.db;
  const threshold_place place = place_threshold(a, floor, c, c.s.level);
  std::string j =
      "{\"label\":" + quoted(label(c, v.cut())) + ",\"switches\":" + quoted(switches(c)) +
      ",\"command\":" + quoted(command(c, input)) + ",\"threshold_db\":" + num(to_db(c.s.level)) +
      ",\"quietest_music_db\":" + (place.music ? num(place.music_db) : "null") +
      ",\"levels\":" + levels_sentence(place) + ",\"gap_s\":" + num(c.s.gap / 44100.0, "%.3f") +
      ",\"cut_s\":" + num(c.s.cut / 44100.0, "%.3f") + ",\"filter\":" + std::to_string(c.s.filter) +
      ",\"settings\":" + quoted(settings_text(c)) + ",\"rows\":" + quoted(c.table.rows()) +
      ",\"table_note\":" + quoted(table_note(c)) + ",\"about_table\":" +
      quoted(c.modelled && !c.verified ? "Table computed by the detector's model, not by a run."
                                       : "") +
      ",\"tracks\":[";
  for (size_t i = 0; i < c.table.tracks.size(); i++) {
    const track& t = c.table.tracks[i];
    (i ? j += ',' : j) +=
        "{\"n\":" + std::to_string(t.number) + ",\"start\":" + std::to_string(t.start) +
        ",\"end\":" + std::to_string(t.end) + ",\"peak\":" + num(t.peak / 32767.0, "%.3f") + "}";
  }
  return j + "],\"sleeve\":" + sleeve(r, c.table.tracks.size()) +
         ",\"gaps\":" + stretches(c, true, p) + ",\"near\":" + stretches(c, false, p) +
         ",\"note\":" + quoted(margin_text(a, c)) + "}";
}

// The plan as a candidate: keldrun-cut's command and rows, the plan's tracks,
// and each boundary with the silence heard there, where each song's sound
// ends and begins, and where the plan cuts.
std::string plan_data(const request& r, const advice& v, const std::string& input,
                      const std::string& labels, panels& p) {
  const cut_plan& plan = *v.plan;
  std::string j = "{\"label\":" + quoted(plan_label(v)) +
                  ",\"switches\":" + quoted("labels " + labels) +
                  ",\"command\":" + quoted(cut_command(labels, input)) +
                  ",\"threshold_db\":null,\"quietest_music_db\":null,\"levels\":[]" +
                  ",\"gap_s\":null,\"settings\":" + quoted(plan_about()) +
                  ",\"rows\":" + quoted(plan.table.rows()) +
                  ",\"table_note\":" + quoted(plan_table_note(plan)) + ",\"about_table\":\"\"" +
                  ",\"tracks\":[";
  const std::vector<side_track>& t = plan.sides.tracks;
  for (size_t i = 0; i < t.size(); i++)
    (i ? j += ',' : j) += "{\"n\":" + std::to_string(i + 1) +
                          ",\"start\":" + std::to_string(t[i].start) +
                          ",\"end\":" + std::to_string(t[i].end) + "}";
  j += "],\"sleeve\":" + sleeve(r, t.size()) + ",\"gaps\":[";
  const std::vector<boundary>& b = plan.sides.boundaries;
  for (size_t i = 0; i < b.size(); i++) {
    const stretch heard{stretch::gap, b[i].heard_to, b[i].heard_from};
    const std::string at = std::to_string(b[i].cut), n = std::to_string(i + 1);
    (i ? j += ',' : j) +=
        "{\"start\":" + std::to_string(b[i].heard_to) +
        ",\"stop\":" + std::to_string(b[i].heard_from) + ",\"mark\":" + at +
        ",\"why\":" + quoted(boundary_text(b[i])) + ",\"panel\":" + std::to_string(p.of(heard)) +
        ",\"bar\":\"" + (b[i].silent ? "gap" : "near") + "\",\"ends\":{\"n\":" + n +
        ",\"at\":" + at + "},\"starts\":{\"n\":" + std::to_string(i + 2) + ",\"at\":" + at +
        "},\"last_sound\":" + std::to_string(b[i].last_sound) +
        ",\"first_sound\":" + std::to_string(b[i].first_sound) +
        ",\"expected\":" + (b[i].expected >= 0 ? std::to_string(b[i].expected) : "null") + "}";
  }
  return j + "],\"near\":[],\"note\":\"\"}";
}

// The levels of the 50-ms stretches, counted per dB.
std::string histogram(const analysis& a) {
  std::vector<int> counts(101, 0);
  for (size_t i = 0; i < a.env.size() && a.frames() > 0; i += 5) {
    const uint32_t m = *std::max_element(a.env.begin() + long(i),
                                         a.env.begin() + long(std::min(i + 5, a.env.size())));
    counts[static_cast<size_t>(std::clamp(env_db(a, m) + 100, 0.0, 100.0))]++;
  }
  std::string j = "{\"db_min\":-100,\"db_step\":1,\"counts\":[";
  for (size_t i = 0; i < counts.size(); i++) (i ? j += ',' : j) += std::to_string(counts[i]);
  return j + "]}";
}

}  // namespace

std::string page_data(const std::string& input, const std::string& labels, const analysis& a,
                      const request& r, const advice& v) {
  std::string j =
      "{\"program\":\"keldrun-view " KELDRUN_VERSION "\",\"input\":" + quoted(input) +
      ",\"notice\":" + quoted(notice(a, v)) + ",\"frames\":" + std::to_string(a.frames()) +
      ",\"rate\":44100,\"overview\":{\"step\":" + std::to_string(a.column) + ",\"db\":[";
  // Without a frame, the step that met the end shows nothing.
  for (size_t i = 0; i < a.overview.size() && a.frames() > 0; i++)
    (i ? j += ',' : j) += num(env_db(a, a.overview[i]));
  const size_t selected = v.cut() ? v.candidates.size() : size_t(std::max(v.recommended, 0));
  j += "]},\"histogram\":" + histogram(a) +
       ",\"noise_floor_db\":" + (v.floor.db ? num(*v.floor.db) : "null") +
       ",\"selected\":" + std::to_string(selected) + ",\"candidates\":[";
  panels p{a};
  for (size_t ci = 0; ci < v.candidates.size(); ci++)
    (ci ? j += ',' : j) += candidate_data(a, r, v, v.candidates[ci], input, p);
  if (v.plan) j += "," + plan_data(r, v, input, labels, p);
  return j + "],\"panels\":[" + p.json + "]}";
}

std::string write_page(const std::string& path, const std::string& data, const file_id* input) {
  std::string page = page_template;
  const std::string mark = "/*KELDRUN_DATA*/null";
  const size_t at = page.find(mark);
  if (at == std::string::npos) return "the page template has no place for the data";
  page.replace(at, mark.size(), data);
  return write_whole_file(path.c_str(), page, input);
}
