// The detector's word on the settings shown: its own listing, over the
// recording read again.
#pragma once

#include <string>

#include "advise.h"
#include "core.h"

enum class verdict { agrees, changed, disagrees };

// Lists recording `input` again with the settings of `shown`, unless it is
// no longer the recording `first` was (another file, another length); the
// table of `shown` becomes the detector's. Where the model made one, the two
// must agree: when they do not, the recording changed or the model is wrong.
verdict verify(const std::string& input, const recording& first, candidate& shown);
// The same for the plan: its label file's text `labels` read back as
// keldrun-cut reads it, and listed by keldrun-cut's own code; the rows must
// be the plan's tracks, to the frame, else the labels do not say what the
// plan does. The plan's table becomes keldrun-cut's.
verdict verify(const std::string& input, const recording& first, const std::string& labels,
               cut_plan& p);
