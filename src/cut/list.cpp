#include "list.h"

#include <cstdio>
#include <string>

#include "detect.h"
#include "platform.h"

// Prints the row of track `t` as keldrun prints its rows: over the progress.
static void print_row(const track& t) {
  // On a terminal, tabs would leave digits of the progress text showing
  // between the columns of the row that is written over it.
  static const bool erase = is_terminal(stderr) && is_terminal(stdout);
  if (erase) fputs("           \r", stderr);
  fputc('\r', stdout);
  fputs(table_row(t.number, t.start, t.end, t.peak).c_str(), stdout);
}

// Said once, as keldrun says it: a source that an interrupted split has
// cut ends early, and so does a recording stopped short.
static void ends_early(bool shown) {
  if (shown) fputs("\nUnexpected end of WAVE data.\n", stderr);
}

listing pass_plan(const plan& p, bool shown, const take_track& take) {
  listing l;
  int64_t at = 0;  // the frame the input delivers next
  for (size_t i = 0; i < p.tracks.size(); i++) {
    const planned_track& planned = p.tracks[i];
    const int64_t before = planned.start - at, frames = planned.end - planned.start;
    if (read_frames(at, before, shown).frames < before) {
      ends_early(shown);
      break;
    }
    const int number = static_cast<int>(i) + 1;
    const frames_read r = take(number, planned.start, frames);
    l.scans++;
    at = planned.start + r.frames;
    if (r.frames < frames) ends_early(shown);
    if (r.frames > 0) {
      l.tracks.push_back({number, planned.start, at, r.peak});
      if (shown) print_row(l.tracks.back());
    }
    if (r.frames < frames) break;
  }
  return l;
}

listing list_plan(const plan& p) {
  return pass_plan(p, false, [](int, int64_t first, int64_t frames) {
    return read_frames(first, frames, false);
  });
}
