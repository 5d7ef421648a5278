// Track extraction: in place back to front, or on the fly front to back.
#pragma once

#include <cstdint>

#include "platform.h"

// The source file as this run last left it: its identity and length.
extern file_id source_id;
// True when `now` is the source file at the length this run left it.
bool source_as_left(const file_id& now);
// Track files completed (synced and closed) by this run.
extern int tracks_written;

// Scans and lists tracks from `track` on; unless listing, then writes them
// from the last to the first, cutting each from the end of the source.
void split_track(int track);
// Splits piped input from `track` on, front to back, as it is read.
void split_track_on_the_fly(int track);
// Shows `question` and reads Y or N from stdin; `value` when not `asking`.
bool ask(const char* question, bool value, bool asking);
// Scales sample x so that `peak` becomes full scale (truncated toward zero).
int16_t normalized(int16_t x, uint16_t peak);
