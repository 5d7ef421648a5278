#include "detect.h"

#include <cstdio>
#include <cstdlib>

#include "keldrun.h"
#include "wave.h"

uint32_t sample = 0;   // frames consumed; only find_track advances it
uint32_t samples = 0;  // frames in the data; 0 once the input ran out

static int16_t filt_left[1001], filt_right[1001];
static uint16_t index = 0;  // the slot that receives the next frame
// Sum of the levels of all filter + 1 slots, kept as frames enter and leave
// so that a step costs the same whatever the filter length.
static uint32_t window_sum = 0;

void reset_detector() {
  for (int i = 0; i < 1001; i++) filt_left[i] = filt_right[i] = 0;
  index = 0;
  window_sum = 0;
}

static inline uint32_t level(int16_t l, int16_t r) {
  const uint32_t a = static_cast<uint32_t>(std::abs(l)), b = static_cast<uint32_t>(std::abs(r));
  return a > b ? a : b;
}

bool update_filter(uint16_t* peak) {
  int16_t l, r;
  read_frame(l, r);
  window_sum += level(l, r) - level(filt_left[index], filt_right[index]);
  filt_left[index] = l;
  filt_right[index] = r;
  if (++index > filter) index = 0;
  // The oldest frame of the window leaves the delay line.
  const int16_t ol = filt_left[index], orr = filt_right[index];
  if (out && sample > static_cast<uint32_t>(filter)) write_frame(ol, orr);
  const uint16_t ml = static_cast<uint16_t>(std::abs(ol)),
                 mr = static_cast<uint16_t>(std::abs(orr));
  if (ml > *peak) *peak = ml;
  if (mr > *peak) *peak = mr;
  // threshold is the per-frame level times (filter + 1): comparing sums is
  // comparing the window's mean level without a division.
  return window_sum > threshold;
}

const char* timef(uint32_t u) {
  static char buf[12];
  snprintf(buf, sizeof buf, "%2.2u:%2.2u.%3.3u", u / 2646000, u / 44100 % 60,
           u % 44100 * 1000 / 44100);
  return buf;
}

void show_progress(uint32_t u) {
  if ((u & 0x7FFF) == 0) {
    fputs(timef(u), stderr);
    fputc('\r', stderr);
  }
}

long find_track(int track, int64_t* start, int64_t* end) {
  uint32_t silence = 0;
  uint16_t peak = 0;
  *start = sample < static_cast<uint32_t>(filter) ? 0 : static_cast<int64_t>(sample) - filter;
  while (sample < samples) {
    show_progress(sample);
    sample++;
    if (!update_filter(&peak)) {
      silence++;
    } else {
      if (track == 0) return -1;
      // A gap counts only once sound resumes after it.
      if (silence >= gap) break;
      silence = 0;
    }
  }
  // When the input ran out, the last step read no whole frame.
  *end = static_cast<int64_t>(sample) - cut - filter - (samples == 0 ? 1 : 0);
  const int64_t s = *start, e = *end;
  if (e > s) {
    printf("\r%d\t%s\t", track, timef(static_cast<uint32_t>(s)));
    printf("%s\t", timef(static_cast<uint32_t>(e)));
    printf("%s\t%.3f\n", timef(static_cast<uint32_t>(e - s)), peak / 32767.0);
  }
  return peak;
}
