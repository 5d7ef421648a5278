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
// Whether the scan uses AVX2 (set where the processor has it; tests clear it
// to check the SSE2 path).
extern bool wide_steps;
// Empties the filter's window, as at program start.
void reset_detector();
