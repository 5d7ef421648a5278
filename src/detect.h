// Track gap detection: the glitch filter, the level meter, the track finder.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

// Reads one frame through the filter's delay line; true when the window
// that ends with it holds sound. Raises `*peak` with the frame leaving it.
bool update_filter(uint16_t* peak);
// Scans one track (or, for track 0, the leading silence): sets its bounds,
// prints its table line, returns its peak; the probe returns -1 on sound.
long find_track(int track, int64_t* start, int64_t* end);
// Where find_track lists its rows: standard output, or nowhere when null.
extern FILE* table_out;
// A track's line of the table, without the carriage return that leads it.
std::string table_row(int track, int64_t start, int64_t end, long peak);
// Fills dst[0..n-1] with the levels (louder magnitude) of the n frames at p.
void frame_levels(const unsigned char* p, uint32_t n, uint16_t* dst);
// Where show_progress writes: standard error, or nowhere when null.
extern FILE* progress_out;
// Shows the time of frame `u` on stderr when `u` is a multiple of 32768.
void show_progress(uint32_t u);
// The time text "mm:ss.mmm" of `u` frames, in a buffer reused by each call.
const char* timef(uint32_t u);
// Sets p[k + 1] = p[k] + x[k] for k < n, from the p[0] given, wrapping at
// 2^32: the sum of levels a..b - 1 is then p[b] - p[a], for any window.
void prefix_sums(const uint16_t* x, uint32_t n, uint32_t* p);
// Of the window sums e[j] - e[j - w] of such sums `e` (never above 2^31):
// for each of the `count` window lengths w[i], the least and the greatest
// for j < n, in lo[i] and hi[i];
void window_ranges(const uint32_t* e, const uint32_t* w, size_t count, uint32_t n, uint32_t* lo,
                   uint32_t* hi);
// the first j above `t`, which must come (sums up to 8 past it are read);
uint32_t first_window_above(const uint32_t* e, uint32_t w, uint32_t t);
// the last j below `to` above `t`, which must come.
uint32_t last_window_above(const uint32_t* e, uint32_t w, uint32_t to, uint32_t t);
// Makes the vector loops use AVX2 (when `wide` and the processor has it) or
// SSE2; returns whether they use AVX2. They use it from the start where
// the processor has it.
bool use_wide_steps(bool wide);
// Empties the filter's window, as at program start.
void reset_detector();
