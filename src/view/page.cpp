#include "page.h"

#include <algorithm>
#include <cstdio>
#include <map>

#include "platform.h"

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
    (i > first ? s += ',' : s) += num(to_db(static_cast<double>(a.env[i]) / (a.filter + 1)));
  return s + "]";
}

}  // namespace

std::string page_data(const std::string& input, const analysis& a, const advice& v) {
  const double per = a.filter + 1;
  std::string j = "{\"program\":\"keldrun-view " KELDRUN_VERSION "\",\"input\":" + quoted(input) +
                  ",\"frames\":" + std::to_string(a.steps - (a.early_end ? 1 : 0)) +
                  ",\"rate\":44100,\"overview\":{\"step\":" + std::to_string(a.column) +
                  ",\"db\":[";
  for (size_t i = 0; i < a.overview.size(); i++)
    (i ? j += ',' : j) += num(to_db(a.overview[i] / per));
  std::vector<int> counts(101, 0);
  for (size_t i = 0; i < a.env.size(); i += 5) {
    const uint32_t m = *std::max_element(a.env.begin() + long(i),
                                         a.env.begin() + long(std::min(i + 5, a.env.size())));
    counts[static_cast<size_t>(std::clamp(to_db(m / per) + 100, 0.0, 100.0))]++;
  }
  j += "]},\"histogram\":{\"db_min\":-100,\"db_step\":1,\"counts\":[";
  for (size_t i = 0; i < counts.size(); i++) (i ? j += ',' : j) += std::to_string(counts[i]);
  j += "]},\"noise_floor_db\":" + num(v.noise_db) + ",\"quietest_music_db\":" + num(v.music_db) +
       ",\"selected\":" + std::to_string(v.recommended >= 0 ? v.recommended : 0) +
       ",\"candidates\":[";
  // Zoomed panels, shared by the candidates: one per distinct stretch.
  std::map<std::pair<int64_t, int64_t>, size_t> panel_of;
  std::string panels;
  auto panel = [&](const stretch& s) -> long {
    const auto key = std::make_pair(s.start, s.stop);
    if (auto it = panel_of.find(key); it != panel_of.end()) return long(it->second);
    if (panel_of.size() >= 300) return -1;
    const size_t first = size_t(std::max<int64_t>(0, s.start - 3 * 44100) / 441);
    const size_t last = size_t((s.stop + 3 * 44100) / 441);
    std::string clicks;
    for (int64_t c : s.clicks) (clicks.empty() ? clicks : clicks += ',') += std::to_string(c);
    (panels.empty() ? panels : panels += ',') += "{\"start\":" + std::to_string(first * 441) +
                                                 ",\"step\":441,\"db\":" + dbs(a, first, last) +
                                                 ",\"clicks\":[" + clicks + "]}";
    panel_of[key] = panel_of.size();
    return long(panel_of.size() - 1);
  };
  for (size_t ci = 0; ci < v.candidates.size(); ci++) {
    const candidate& c = v.candidates[ci];
    (ci ? j += ',' : j) +=
        "{\"label\":" + quoted(c.label) + ",\"switches\":" + quoted(switches(c)) +
        ",\"command\":" + quoted(command(c, input)) + ",\"threshold_db\":" + num(to_db(c.level)) +
        ",\"gap_s\":" + num(c.gap / 44100.0, "%.3f") +
        ",\"cut_s\":" + num(c.cut / 44100.0, "%.3f") + ",\"filter\":" + std::to_string(c.filter) +
        ",\"rows\":" + quoted(c.table.rows()) + ",\"verified\":" + (c.verified ? "true" : "false") +
        ",\"tracks\":[";
    for (size_t i = 0; i < c.table.tracks.size(); i++) {
      const track& t = c.table.tracks[i];
      (i ? j += ',' : j) +=
          "{\"n\":" + std::to_string(t.number) + ",\"start\":" + std::to_string(t.start) +
          ",\"end\":" + std::to_string(t.end) + ",\"peak\":" + num(t.peak / 32767.0, "%.3f") + "}";
    }
    for (const char* kind : {"gaps", "near"}) {
      const auto& list = kind[0] == 'g' ? c.gaps : c.near;
      j += std::string("],\"") + kind + "\":[";
      for (size_t i = 0; i < list.size(); i++) {
        const stretch& s = list[i];
        (i ? j += ',' : j) += "{\"start\":" + std::to_string(s.start) +
                              ",\"stop\":" + std::to_string(s.stop) + ",\"why\":" + quoted(s.why) +
                              ",\"panel\":" + std::to_string(panel(s)) + "}";
      }
    }
    j += "],\"note\":" + quoted(c.note) + "}";
  }
  return j + "],\"panels\":[" + panels + "]}";
}

std::string write_page(const std::string& path, const std::string& data, const file_id* input) {
  std::string page = page_template;
  const std::string mark = "/*KELDRUN_DATA*/null";
  const size_t at = page.find(mark);
  if (at == std::string::npos) return "the page template has no place for the data";
  page.replace(at, mark.size(), data);
  return write_whole_file(path.c_str(), page, input);
}
