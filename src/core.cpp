#include "core.h"

#include <cstring>
#include <string>

#include "detect.h"
#include "extract.h"
#include "keldrun.h"
#include "wave.h"

// Reads the header of the input just opened.
static recording read_recording() {
  recording r;
  r.known = identify(wave, &r.id);
  source_id = r.id;
  samples = 0;  // no data yet: a short header is not an early end of it
  samples = read_wave_header() / 4;
  if (samples == 0) error(invalid_format);
  r.frames = samples;
  if (r.known && r.id.regular) r.data_offset = input_position();
  return r;
}

recording open_recording(const char* name) {
  const bool piped = std::strcmp(name, "-") == 0;
  open_input(piped ? nullptr : name);
  snprintf(infile, sizeof infile, "%s", piped ? "" : name);
  return read_recording();
}

recording open_recording(FILE* f) {
  set_input(f);
  return read_recording();
}

void close_recording() {
  if (wave) fclose(wave);
  wave = nullptr;
}

void reset_state(const settings& s) {
  interactive = false;
  normalize = preserve = false;
  filter = s.filter;
  // The window's threshold: the per-frame level for each of its frames.
  threshold = s.level * static_cast<uint32_t>(s.filter + 1);
  gap = s.gap;
  cut = s.cut < 0 ? static_cast<int32_t>(s.gap) : s.cut;
  outfile[0] = 0;  // listing only
  outtrack = outfile;
  out = nullptr;
  sample = samples = 0;
  tracks_written = 0;
  table_out = stdout;
  progress_out = stderr;
  reset_detector();
}

namespace {

// What reset_state changes, as it was when made; put back when it goes.
struct saved_state {
  bool interactive_ = interactive, normalize_ = normalize, preserve_ = preserve;
  int32_t filter_ = filter, cut_ = cut;
  uint32_t threshold_ = threshold, gap_ = gap, sample_ = sample, samples_ = samples;
  std::string outfile_ = outfile;
  char* outtrack_ = outtrack;
  FILE* out_ = out;
  int tracks_written_ = tracks_written;
  FILE *table_out_ = table_out, *progress_out_ = progress_out;

  ~saved_state() {
    interactive = interactive_, normalize = normalize_, preserve = preserve_;
    filter = filter_, cut = cut_;
    threshold = threshold_, gap = gap_, sample = sample_, samples = samples_;
    snprintf(outfile, sizeof outfile, "%s", outfile_.c_str());
    outtrack = outtrack_;
    out = out_;
    tracks_written = tracks_written_;
    table_out = table_out_, progress_out = progress_out_;
  }
};

}  // namespace

listing list_tracks(const settings& s) {
  const saved_state saved;
  reset_state(s);
  samples = saved.samples_;  // the open input's
  // The rows are returned, not listed, and the scan takes a moment only.
  table_out = progress_out = nullptr;
  listing l;
  int64_t start, end;
  if (find_track(0, &start, &start) >= 0) {
    l.no_sound = true;
    return l;
  }
  for (int t = 1; t < 100; t++) {
    const long peak = find_track(t, &start, &end);
    l.scans++;
    if (end > start) l.tracks.push_back({t, start, end, peak});
    if (sample >= samples) return l;
  }
  l.too_many = true;
  return l;
}

std::string listing::rows() const {
  std::string text;
  for (const track& t : tracks) text += table_row(t.number, t.start, t.end, t.peak);
  return text;
}
