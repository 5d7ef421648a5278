// The label file keldrun-view writes beside its page: the tracks it
// recommends as Audacity's region labels, which keldrun-cut splits by.
#pragma once

#include <string>
#include <vector>

#include "core.h"

// "start<TAB>end<TAB>Track 01\n" per track, in seconds with six decimals:
// a frame is 22.7 microseconds, so that the times read back to the very
// frames.
std::string label_text(const std::vector<track>& tracks);
// The page's name with .txt in place of .html (or added).
std::string labels_name(const std::string& page);
