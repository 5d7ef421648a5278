// The track table of a plan over a recording: each track's frames read
// front to back for their peak, the table keldrun-cut prints.
#pragma once

#include <cstdint>
#include <functional>

#include "core.h"
#include "plan.h"

// How a track's frames are taken: `frames` frames of the input, frame
// `first` on, for track `number`; returns how many came, and their peak.
using take_track = std::function<frames_read(int number, int64_t first, int64_t frames)>;

// Goes through the tracks of `p` over the open input from frame 0 of its
// data on: the frames before each track are read and dropped, its own are
// handed to `take`. A track the data does not reach is left out, one it
// ends within is cut there, and the tracks after it are left out. The rows
// are the tracks taken. `shown`: each row printed on standard output as its
// track is done, and progress and an early end of the data on standard error,
// as keldrun shows them.
listing pass_plan(const plan& p, bool shown, const take_track& take);
// The rows keldrun-cut lists for `p` over the open input; nothing is printed.
listing list_plan(const plan& p);
