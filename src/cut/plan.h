// The plan keldrun-cut splits by: an Audacity label track or a CUE sheet,
// read into tracks of frames, or the first thing wrong with it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

struct planned_track {
  int64_t start, end;  // frames of the data, end exclusive; start < end
  std::string name;    // the label's text or the CUE TITLE, may be empty
  int line;            // the plan's line (1-based) of the label, TRACK or point that starts it
};

struct plan {
  enum class kind { labels, points, cue } format;
  std::vector<planned_track> tracks;  // in order, not overlapping, at most 99
};

struct plan_error {
  int line;  // 0: about the plan as a whole
  std::string what;
};

// The tracks of a plan for a recording of `frames` frames (the data length
// its header declares), or why the plan can't be cut by.
std::variant<plan, plan_error> read_plan(std::string_view text, int64_t frames);
// "side.txt, line 3: <what>", or "side.txt: <what>" for line 0.
std::string describe(const plan_error& e, const std::string& plan_name);
