// Plans: Audacity label tracks (region labels or point labels) and CUE
// sheets, told apart by their first line. Every rule is checked before any
// track is returned, so that nothing is cut by half a plan.
#include "plan.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <optional>

#include "detect.h"

namespace {

using result = std::variant<plan, plan_error>;
constexpr int64_t rate = 44100;    // frames a second
constexpr int64_t cd_frame = 588;  // frames in a CUE frame: 44100 / 75
constexpr size_t max_tracks = 99;  // two digits in the track file names
constexpr auto npos = std::string_view::npos;

struct line_text {
  int number;
  std::string_view text;
};

// The lines of the plan, numbered from 1, without a BOM or line ends.
std::vector<line_text> lines_of(std::string_view text) {
  if (text.starts_with("\xEF\xBB\xBF")) text.remove_prefix(3);
  std::vector<line_text> lines;
  for (int n = 1; !text.empty(); n++) {
    const size_t eol = std::min(text.find('\n'), text.size());
    std::string_view line = text.substr(0, eol);
    if (line.ends_with('\r')) line.remove_suffix(1);
    lines.push_back({n, line});
    text.remove_prefix(std::min(eol + 1, text.size()));
  }
  return lines;
}

std::string_view trimmed(std::string_view s) {
  const size_t first = s.find_first_not_of(" \t");
  if (first == npos) return {};
  return s.substr(first, s.find_last_not_of(" \t") - first + 1);
}

// The first word of `rest`, which keeps what follows it, trimmed.
std::string_view next_word(std::string_view& rest) {
  rest = trimmed(rest);
  const size_t end = std::min(rest.find_first_of(" \t"), rest.size());
  const std::string_view word = rest.substr(0, end);
  rest = trimmed(rest.substr(end));
  return word;
}

std::string upper(std::string_view s) {
  std::string u(s);
  for (char& c : u)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return u;
}

bool cue_keyword(const std::string& word) {
  static constexpr std::array<std::string_view, 13> keywords = {
      "FILE",       "TRACK", "REM",  "TITLE", "PERFORMER", "SONGWRITER", "CATALOG",
      "CDTEXTFILE", "FLAGS", "ISRC", "INDEX", "PREGAP",    "POSTGAP"};
  return std::find(keywords.begin(), keywords.end(), word) != keywords.end();
}

// The value of a run of decimal digits, held at 10^12 so that no product
// below overflows (any such value lies far beyond a recording's end).
std::optional<int64_t> number(std::string_view s) {
  if (s.empty()) return std::nullopt;
  int64_t v = 0;
  for (const char c : s) {
    if (c < '0' || c > '9') return std::nullopt;
    v = std::min<int64_t>(v * 10 + (c - '0'), 1'000'000'000'000);
  }
  return v;
}

// The frame nearest to `s` seconds ("12", "12.5", ".5"), a half rounded up.
// Worked out on the decimal digits, never in binary floating point, so that
// a tie such as 0.005 s (220.5 frames) always goes the same way.
std::optional<int64_t> seconds_frames(std::string_view s) {
  const size_t point = std::min(s.find('.'), s.size());
  const std::string_view whole = s.substr(0, point);
  const std::string_view fraction = s.substr(std::min(point + 1, s.size()));
  const auto seconds = whole.empty() ? std::optional<int64_t>(0) : number(whole);
  if (!seconds || (whole.empty() && fraction.empty()) || (!fraction.empty() && !number(fraction)))
    return std::nullopt;
  // fraction × 44100 by long multiplication from its last digit: the carry
  // ends as the whole frames, the last digit written is the first decimal.
  int64_t carry = 0, first_decimal = 0;
  for (auto d = fraction.rbegin(); d != fraction.rend(); ++d) {
    const int64_t v = (*d - '0') * rate + carry;
    first_decimal = v % 10;
    carry = v / 10;
  }
  return *seconds * rate + carry + (first_decimal >= 5 ? 1 : 0);
}

std::string beyond_end(int64_t frames) {
  return std::string(" is beyond the end of the recording (") +
         timef(static_cast<uint32_t>(frames)) + ")";
}

std::string str(std::string_view s) {
  return std::string(s);
}

struct label {
  int line;
  int64_t start, end;
  std::string_view start_text, end_text, name;
  bool point() const { return start == end; }
};

// One line of a label track: start<TAB>end, and the name after a second tab.
std::variant<label, plan_error> label_of(const line_text& l, int64_t frames) {
  std::string_view rest = l.text;
  const auto field = [&rest] {
    const size_t tab = std::min(rest.find('\t'), rest.size());
    const std::string_view f = rest.substr(0, tab);
    rest.remove_prefix(std::min(tab + 1, rest.size()));
    return f;
  };
  const std::string_view start_text = field(), end_text = field();
  for (const std::string_view t : {start_text, end_text})
    if (t.find(',') != npos)
      return plan_error{l.number, "the time " + str(t) +
                                      " has a decimal comma; plan times take a point, like 12.5"};
  const auto start = seconds_frames(start_text), end = seconds_frames(end_text);
  if (!start || !end)
    return plan_error{l.number,
                      "expected start<TAB>end<TAB>name in seconds, like 12.5<TAB>200.25<TAB>Title"};
  if (*start > *end)
    return plan_error{l.number,
                      "the end " + str(end_text) + " comes before the start " + str(start_text)};
  if (*end > frames)
    return plan_error{
        l.number, (*start > frames ? "the start " + str(start_text) : "the end " + str(end_text)) +
                      beyond_end(frames)};
  return label{l.number, *start, *end, start_text, end_text, rest};
}

// Region labels: a track each, in the order of the file.
result regions(const std::vector<label>& labels) {
  plan p{plan::kind::labels, {}};
  for (size_t i = 0; i < labels.size(); i++) {
    const label& l = labels[i];
    if (i > 0) {
      const label& prev = labels[i - 1];
      const std::string other = "the one on line " + std::to_string(prev.line);
      if (l.start < prev.start)
        return plan_error{l.line, "the labels are unordered: this one starts at " +
                                      str(l.start_text) + ", before " + other + " (at " +
                                      str(prev.start_text) + "); labels go in order of time"};
      if (l.start < prev.end)
        return plan_error{l.line, "this label overlaps " + other + ": it starts at " +
                                      str(l.start_text) + ", before that one ends at " +
                                      str(prev.end_text) + "; labels may touch but not overlap"};
    }
    p.tracks.push_back({l.start, l.end, str(l.name), l.line});
  }
  return p;
}

// Point labels: the tracks run from one point to the next, the first from
// the start of the data and the last to its end; empty ones are left out.
result points(const std::vector<label>& labels, int64_t frames) {
  plan p{plan::kind::points, {}};
  const auto add = [&p](int64_t start, int64_t end, std::string_view name, int line) {
    if (start < end) p.tracks.push_back({start, end, str(name), line});
  };
  int64_t from = 0;
  std::string_view name;
  int line = labels.front().line;
  for (size_t i = 0; i < labels.size(); i++) {
    const label& l = labels[i];
    if (i > 0 && l.start <= labels[i - 1].start)
      return plan_error{l.line, "the point " + str(l.start_text) +
                                    " does not come after the point " +
                                    str(labels[i - 1].start_text) + " on line " +
                                    std::to_string(labels[i - 1].line) +
                                    "; points go in increasing order of time"};
    add(from, l.start, name, line);
    from = l.start, name = l.name, line = l.line;
  }
  add(from, frames, name, line);
  return p;
}

result read_labels(const std::vector<line_text>& lines, int64_t frames) {
  std::vector<label> labels;
  for (const line_text& l : lines) {
    // Audacity follows the label of a spectral selection with a line of
    // its frequencies, starting with a backslash.
    if (trimmed(l.text).empty() || l.text.starts_with('\\')) continue;
    auto one = label_of(l, frames);
    if (const auto* e = std::get_if<plan_error>(&one)) return *e;
    labels.push_back(std::get<label>(one));
    const label& first = labels.front();
    if (labels.back().point() != first.point())
      return plan_error{
          l.number, std::string("the plan mixes region and point labels: this one is a ") +
                        (first.point() ? "region" : "point") + ", the one on line " +
                        std::to_string(first.line) + " a " + (first.point() ? "point" : "region") +
                        "; a plan takes either regions (a track each) or points (split points)"};
  }
  if (labels.empty()) return plan{plan::kind::labels, {}};
  return labels.front().point() ? points(labels, frames) : regions(labels);
}

// mm:ss:ff in frames: minutes of any length, ss below 60, ff below 75.
std::optional<int64_t> cue_time(std::string_view s) {
  const size_t a = s.find(':'), b = a == npos ? npos : s.find(':', a + 1);
  if (b == npos) return std::nullopt;
  const std::string_view ss = s.substr(a + 1, b - a - 1), ff = s.substr(b + 1);
  const auto mm = number(s.substr(0, a)), sec = number(ss), fr = number(ff);
  if (!mm || !sec || !fr || ss.size() > 2 || ff.size() > 2 || *sec >= 60 || *fr >= 75)
    return std::nullopt;
  return (*mm * 60 + *sec) * rate + *fr * cd_frame;
}

std::string two_digits(int n) {
  char s[16];
  snprintf(s, sizeof s, "%02d", n);
  return s;
}

struct cue_track {
  int line, number;
  int64_t start = -1;  // INDEX 01, -1 until read
  std::string_view start_text = {};
  int start_line = 0;
  std::string name = {};
};

plan_error no_index(const cue_track& t) {
  return {t.line, "track " + two_digits(t.number) + " has no INDEX 01; expected INDEX 01 mm:ss:ff"};
}

// One line of a CUE sheet, into `tracks`; an error if the line is refused.
std::optional<plan_error> read_cue_line(const line_text& l, std::vector<cue_track>& tracks,
                                        int& files, int64_t frames) {
  std::string_view rest = l.text;
  const std::string_view keyword = next_word(rest);
  const std::string word = upper(keyword);
  const auto error = [&l](const std::string& what) { return plan_error{l.number, what}; };
  if (word == "FILE" && ++files > 1)
    return error("the plan names more than one file; it may name only the recording it cuts");
  if (word == "TRACK") {
    if (!tracks.empty() && tracks.back().start < 0) return no_index(tracks.back());
    const std::string_view nn = next_word(rest);
    const std::string type = upper(next_word(rest));
    const auto n = number(nn);
    if (!n || nn.size() > 2 || *n < 1 || type.empty() || !rest.empty())
      return error("expected TRACK nn AUDIO, with nn from 01 to 99");
    if (type != "AUDIO")
      return error("track " + two_digits(static_cast<int>(*n)) + " is of type " + type +
                   "; only AUDIO tracks can be cut");
    if (!tracks.empty() && *n != tracks.back().number + 1)
      return error("expected TRACK " + two_digits(tracks.back().number + 1) + " after TRACK " +
                   two_digits(tracks.back().number));
    tracks.push_back({l.number, static_cast<int>(*n)});
  } else if (word == "INDEX") {
    const std::string_view nn = next_word(rest), time = next_word(rest);
    const auto n = number(nn), at = cue_time(time);
    if (!n || nn.size() > 2 || !at || !rest.empty())
      return error("expected INDEX nn mm:ss:ff, with ss below 60 and ff below 75");
    if (tracks.empty()) return error("an INDEX before any TRACK; expected TRACK nn AUDIO first");
    if (*n != 1) return std::nullopt;  // pregaps and subindexes cut nothing
    cue_track& t = tracks.back();
    const cue_track* prev = tracks.size() > 1 ? &tracks[tracks.size() - 2] : nullptr;
    if (t.start >= 0)
      return error("track " + two_digits(t.number) + " has a second INDEX 01, the first on line " +
                   std::to_string(t.start_line));
    if (*at > frames) return error("INDEX 01 " + str(time) + beyond_end(frames));
    if (*at == frames)
      return error("INDEX 01 " + str(time) + " is the end of the recording; track " +
                   two_digits(t.number) + " would be empty");
    if (prev && *at <= prev->start)
      return error("INDEX 01 " + str(time) + " does not come after INDEX 01 " +
                   str(prev->start_text) + " of the track before, on line " +
                   std::to_string(prev->start_line));
    t.start = *at, t.start_text = time, t.start_line = l.number;
  } else if (word == "TITLE") {
    if (rest.starts_with('"')) {
      if (rest.size() < 2 || !rest.ends_with('"')) return error("expected TITLE \"name\"");
      rest = rest.substr(1, rest.size() - 2);
    }
    if (!tracks.empty()) tracks.back().name = rest;  // before any TRACK: the album's
  } else if (!word.empty() && !cue_keyword(word)) {
    return error("unknown CUE keyword " + str(keyword) +
                 "; expected FILE, TRACK, INDEX, TITLE, REM or another CUE keyword");
  }
  return std::nullopt;
}

// A CUE sheet: each track runs from its INDEX 01 to the next one's, the
// last to the end of the data.
result read_cue(const std::vector<line_text>& lines, int64_t frames) {
  std::vector<cue_track> tracks;
  int files = 0;
  for (const line_text& l : lines)
    if (auto e = read_cue_line(l, tracks, files, frames)) return *e;
  if (!tracks.empty() && tracks.back().start < 0) return no_index(tracks.back());
  plan p{plan::kind::cue, {}};
  for (size_t i = 0; i < tracks.size(); i++)
    p.tracks.push_back({tracks[i].start, i + 1 < tracks.size() ? tracks[i + 1].start : frames,
                        tracks[i].name, tracks[i].line});
  return p;
}

result checked(result r) {
  if (const plan* p = std::get_if<plan>(&r)) {
    if (p->tracks.empty())
      return plan_error{0,
                        "the plan lists no track; expected label lines start<TAB>end<TAB>name "
                        "or a CUE sheet with TRACK lines"};
    if (p->tracks.size() > max_tracks)
      return plan_error{p->tracks[max_tracks].line,
                        "the 100th track starts here; a plan may list at most 99 tracks"};
  }
  return r;
}

}  // namespace

std::variant<plan, plan_error> read_plan(std::string_view text, int64_t frames) {
  const std::vector<line_text> lines = lines_of(text);
  for (const line_text& l : lines)
    if (l.text.find('\0') != npos)
      return plan_error{l.number,
                        "the line holds a NUL byte; expected plain text such as UTF-8, not UTF-16"};
  const auto first = std::find_if(lines.begin(), lines.end(),
                                  [](const line_text& l) { return !trimmed(l.text).empty(); });
  std::string_view head = first == lines.end() ? std::string_view() : first->text;
  return checked(cue_keyword(upper(next_word(head))) ? read_cue(lines, frames)
                                                     : read_labels(lines, frames));
}

std::string describe(const plan_error& e, const std::string& plan_name) {
  return plan_name + (e.line ? ", line " + std::to_string(e.line) : "") + ": " + e.what;
}
