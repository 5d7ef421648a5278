// keldrun-cut's plans: label tracks and CUE sheets, each rule by one row;
// and the rows they list.
#include "plan.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "helpers.h"
#include "list.h"

using namespace std::literals;

namespace {

// "points 0-44100 A 1; …" (kind, then start-end name line of each track),
// or the message as keldrun-cut prints it for the plan "p".
std::string shown(const std::variant<plan, plan_error>& r) {
  if (const auto* e = std::get_if<plan_error>(&r)) return describe(*e, "p");
  const plan& p = std::get<plan>(r);
  std::string s = std::vector<std::string>{"labels", "points", "cue"}[static_cast<int>(p.format)];
  for (const planned_track& t : p.tracks)
    s += (&t == &p.tracks[0] ? " " : "; ") + std::to_string(t.start) + "-" + std::to_string(t.end) +
         " " + t.name + " " + std::to_string(t.line);
  return s;
}

// n points at 1, 2, … n seconds, in a recording a second longer: n + 1
// tracks, the first without a name.
std::string points(int n) {
  std::string s;
  for (int i = 1; i <= n; i++) s += std::to_string(i) + "\t" + std::to_string(i) + "\n";
  return s;
}
std::string point_tracks(int n) {
  std::string s = "points 0-44100  1";
  for (int i = 1; i <= n; i++)
    s += "; " + std::to_string(i * 44100) + "-" + std::to_string((i + 1) * 44100) + "  " +
         std::to_string(i);
  return s;
}

TEST(ReadPlan, TracksOrTheLineAtFault) {
  struct row {
    std::string text;
    int64_t frames;
    std::string want;  // the tracks, or "line N: " and a piece of the message
  };
  const std::vector<row> rows = {
      // Region labels; CRLF, a spectral line, a blank line, names with a tab
      // or none; touching labels; the last ending at the end of the data.
      {"1.5\t3\tA\tB\r\n\\\t100.0\t2000.0\r\n\r\n3\t4\r\n4\t5\t\r\n", 220500,
       "labels 66150-132300 A\tB 1; 132300-176400  4; 176400-220500  5"},
      // Halves round up, decided on the digits: 0.005 s is 220.5 frames.
      {"0.0000113379\t0.005\tx\n", 1000, "labels 1-221 x 1"},
      // Point labels: one at 0 (0.49999 frames) starts no empty track.
      {"0.0000113378\t0.0000113378\tA\n0.005\t0.005\tB\n", 300, "points 0-221 A 1; 221-300 B 2"},
      // The first track from the start of the data; a point at the end.
      {"1\t1\tA\n2\t2\tB\n", 88200, "points 0-44100  1; 44100-88200 A 1"},
      {points(98), 99 * 44100, point_tracks(98)},
      {points(99), 100 * 44100, "line 99: 100th track"},
      {"1\t1\n1.00001\t1.00001\n", 88200, "line 2: does not come after the point 1 on line 1"},
      {"1\t2\n\n3\t3\n", 441000, "line 3: mixes region and point labels"},
      {"1\t3\n2\t4\n", 441000, "line 2: overlaps the one on line 1"},
      {"2\t3\n3\t4\n1\t1.5\n", 441000, "line 3: unordered"},
      {"3\t2.5\n", 441000, "line 1: the end 2.5 comes before the start 3"},
      {"1,5\t2\n", 441000, "line 1: the time 1,5 has a decimal comma"},
      {"1\t2\n1e3\t2000\n", 441000, "line 2: expected start<TAB>end<TAB>name"},
      {"1\t10.0000114\n", 441000,
       "line 1: the end 10.0000114 is beyond the end of the recording "
       "(00:10.000)"},
      {"1\t2\tA\0B\n"s, 441000, "line 1: NUL byte"},
      {"", 441000, "line 0: the plan lists no track"},
      {"\xEF\xBB\xBF\r\n \t\n\\\t1\t2\n", 441000, "line 0: the plan lists no track"},
      // CUE sheets: BOM, CRLF, any case, INDEX 00 ignored, 588 frames a CD frame.
      {"\xEF\xBB\xBFREM x\r\nFILE \"side.wav\" WAVE\r\n  TRACK 01 AUDIO\r\n    TITLE \"One\"\r\n"
       "    INDEX 01 00:00:00\r\n  track 2 audio\r\n    title Two\r\n    INDEX 00 00:01:00\r\n"
       "    INDEX 01 00:02:01\r\n",
       200000, "cue 0-88788 One 3; 88788-200000 Two 6"},
      {"TRACK 01 AUDIO\nINDEX 01 00:00:00\nTRACK 02 AUDIO\nINDEX 00 00:05:00\n", 441000,
       "line 3: track 02 has no INDEX 01"},
      {"TRACK 01 AUDIO\nINDEX 01 00:05:00\nTRACK 02 AUDIO\nINDEX 01 00:05:00\n", 441000,
       "line 4: INDEX 01 00:05:00 does not come after"},
      {"TRACK 01 AUDIO\nINDEX 01 0:0:0\nINDEX 01 0:1:0\n", 441000, "line 3: a second INDEX 01"},
      {"TRACK 01 AUDIO\nINDEX 01 00:10:01\n", 441000,
       "line 2: INDEX 01 00:10:01 is beyond the end of the recording (00:10.000)"},
      {"TRACK 01 AUDIO\nINDEX 01 00:10:00\n", 441000, "line 2: track 01 would be empty"},
      {"TRACK 01 AUDIO\nINDEX 01 00:00:75\n", 441000, "line 2: expected INDEX nn mm:ss:ff"},
      {"TRACK 01 AUDIO\nINDEX 01 0:0:0\nTRACK 03 AUDIO\n", 441000, "line 3: expected TRACK 02"},
      {"TRACK 01 MODE1/2352\n", 441000, "line 1: only AUDIO tracks"},
      {"FILE a.wav WAVE\nFILE b.wav WAVE\n", 441000, "line 2: more than one file"},
      {"TITLE x\nComposer y\n", 441000, "line 2: unknown CUE keyword Composer"},
  };
  for (const row& r : rows) {
    const std::string got = shown(read_plan(r.text, r.frames));
    if (!r.want.starts_with("line ")) {
      EXPECT_EQ(got, r.want) << r.text;
      continue;
    }
    const size_t colon = r.want.find(':');
    const std::string line = r.want.substr(5, colon - 5);
    const std::string prefix = line == "0" ? "p: " : "p, line " + line + ": ";
    EXPECT_TRUE(got.starts_with(prefix) && got.find(r.want.substr(colon + 2)) != got.npos)
        << r.text << "\n  gives " << got << "\n  wants " << r.want;
  }
}

}  // namespace

// keldrun-cut's rows over an open recording, as keldrun-view will show
// them: each track's peak of its own frames, a track the data ends within
// cut there, and none after it.
TEST(ListPlan, RowsOfTheFramesThatArePresent) {
  // Track 1 starts with its loudest frame, and the next frame, louder, is
  // track 2; the header declares 600 frames, of which 400 are there.
  const std::string data = th::frames("l1:100 l300:1 l2:198 l500:1 l7:100");
  ASSERT_EQ(data.size(), 4u * 400);
  ASSERT_EQ(open_recording(th::memfile(th::wave(data, 4 * 600))).frames, 600u);
  const auto p =
      std::get<plan>(read_plan(th::labels({{100, 299}, {299, 300}, {350, 500}, {550, 600}}), 600));
  const listing l = list_plan(p);
  close_recording();
  EXPECT_EQ(th::exactly(l), "3\n1 100 299 300\n2 299 300 500\n3 350 400 7\n");
}
