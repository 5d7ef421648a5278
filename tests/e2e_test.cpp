// End-to-end runs of the built keldrun: one table of cases, each one line.
// Every run is checked whole: exit code and last message, stdout (banner,
// then the table rows that the reference model gives, or the usage text),
// the messages a split must show, and the bytes of every file left.
// The same table runs against keldrun.exe under an emulator, where the cases
// that need POSIX files (FIFOs, /dev/stdin) or a shell, or that answer each
// question as it shows, are left out.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <iomanip>
#include <optional>
#include <sstream>

#include "detect.h"
#include "helpers.h"
#include "keldrun.h"

namespace {

// A recording: its frames and declared size in bytes (-1: as present), or a
// whole file where it is no canonical one.
struct Recording {
  std::string data;
  int64_t declared = -1;
  std::string file = "";
};
using th::frames;
const Recording three{frames("s1000 ( t2000 s1000 )3")};  // 40000 bytes
const Recording three_early{three.data, 2 * 40000};
const Recording three_early_frame{three.data + "\x01\x02", 2 * 40000};
const Recording three_4g{three.data, 0xFFFFFFFF};
const Recording three_odd{three.data + "\x01\x02", 40002};  // ends in half a frame
// Another chunk before the data: the data starts at byte 56.
const Recording three_listed{three.data, -1,
                             "RIFF" + th::u32(48 + 40000) + "WAVE" +
                                 th::chunk("fmt ", th::fmt_payload()) + th::chunk("LIST", "INFO") +
                                 th::chunk("data", three.data)};
const Recording loud_end{frames("s1000 t2000 s1000 t2000"), 4 * 7000};
// The cut of 2205 frames swallows the middle track.
const Recording hole{frames("s1000 t5000 s1000 t50 s1000 t5000 s3000")};
const Recording sound_at_0{frames("t3000 s1000 t2000 s1000")};
// Peaks of 16384 and 32768 (a sample of -32768).
const Recording peaks{
    frames("s1000 t500 f-8192:8192 f16384:16384 t500 s1000 t500 f-32768:32767 t500 s1000")};
// With /F 0 and gaps of 44 frames, track 2's scan passes on only silence.
const Recording zero_peak{frames("l10000:100 s100 l10000:1 s99")};
const Recording tracks_99{frames("s20 ( t20 s60 )99")};
const Recording tracks_100{frames("s20 ( t20 s60 )100")};
const Recording sound_in_last_cut{frames("s5000 t100 s300")};
const Recording silent{frames("s20000")};
const Recording size_3{frames("s1"), 3};
const Recording size_14{frames("s3") + "xy", 14};
// Progress shows every 32768 frames, while scanning and copying.
const Recording long_side{frames("s1000 t40000 s5000 t30000 s5000 t40000 s3000")};
const Recording mono{"", -1,
                     "RIFF" + th::u32(44) + "WAVE" + th::chunk("fmt ", th::fmt_payload(1, 1)) +
                         th::chunk("data", std::string(8, '\0'))};

// A plan for keldrun-cut: its text, and the tracks it names in frames.
struct Plan {
  std::string text;
  std::vector<std::pair<int64_t, int64_t>> tracks;
};
// Audacity's region labels; `points`: point labels, the tracks running from
// each to the next; or a CUE sheet of INDEX 01 times in CD frames of 588.
Plan regions(const std::vector<std::pair<int64_t, int64_t>>& tracks) {
  return {th::labels(tracks), tracks};
}
Plan points(const std::vector<int64_t>& at, int64_t frames) {
  Plan p;
  std::vector<std::pair<int64_t, int64_t>> marks;
  for (size_t i = 0; i < at.size(); i++) {
    marks.push_back({at[i], at[i]});
    p.tracks.push_back({i ? at[i - 1] : 0, at[i]});
  }
  p.text = th::labels(marks);
  p.tracks.push_back({at.back(), frames});
  return p;
}
Plan cue(const std::vector<int>& at, int64_t frames) {
  Plan p{"REM x\r\nFILE \"rec.wav\" WAVE\r\n", {}};
  for (size_t i = 0; i < at.size(); i++) {
    char line[80];
    std::snprintf(line, sizeof line, "  TRACK %02zu AUDIO\r\n    INDEX 01 %02d:%02d:%02d\r\n",
                  i + 1, at[i] / 4500, at[i] / 75 % 60, at[i] % 75);
    p.text += line;
    p.tracks.push_back({588 * at[i], i + 1 < at.size() ? 588 * at[i + 1] : frames});
  }
  return p;
}
const Plan three_regions = regions({{1000, 3000}, {4000, 6000}, {7000, 9000}});
const Plan three_points = points({3500, 6500}, 10000);
const Plan three_cue = cue({0, 5, 10}, 10000);
// Of three_early: the third track ends beyond the data, the fourth starts there.
const Plan beyond_data = regions({{1000, 3000}, {4000, 6000}, {7000, 12000}, {13000, 15000}});
// Of peaks: each track's loudest frame is its first or its last.
const Plan peak_regions = regions({{1501, 2002}, {3002, 3503}});
const Plan long_regions = regions({{1000, 41000}, {46000, 76000}, {81000, 121000}});
// Of three_early: every track beyond the data present.
const Plan late_region = regions({{12000, 13000}});
const Plan overlapping{"0.1\t0.2\n0.15\t0.22\n", {}};
const Plan too_far{"0.1\t0.3\n", {}};

// How the recording reaches the program: as the file rec.wav, on standard input, through a FIFO
// named rec.wav, through rec.wav linked to /dev/stdin, or as rec.wav held open by another program.
enum Via { file, piped, fifo, dev_stdin_link, held_open_windows_only };
// The files a run leaves in its directory: the track files as the model splits the recording (or
// each scaled by its peak), rec.wav as the case made it, the last track file, every file as before.
enum Leaves { track_files, normalized_track_files, source_as_made, last_track_file, unchanged };
constexpr int success = -1;

template <int>
struct Text : std::string {};
using Typed = Text<0>;   // on standard input, after any recording
using Shell = Text<1>;   // a redirection that the program runs with, through /bin/sh
using Setup = Text<2>;   // shell commands run in the directory first
using Shows = Text<3>;   // stderr, as seen, holds it
using Golden = Text<4>;  // tests/golden/NAME: the whole stdout and stderr
using Says = Text<5>;    // the end of stderr, where it is no error code's
using Answers = std::pair<std::string, std::string>;  // to the split question, then to normalize

// A case: its name, how the recording reaches the program, the recording, the command line, then
// in any order the error code it ends with (none: success), the files it leaves, options above,
// and a plan as plan.txt, which makes the program keldrun-cut.
struct Case {
  template <class... Options>  // a case without a recording: no input at all
  Case(const char* name, std::string args, const Options&... options)
      : name(name), args(std::move(args)) {
    (set(options), ...);
  }
  template <class... Options>
  Case(const char* name, Via via, const Recording& recording, std::string args,
       const Options&... options)
      : Case(name, std::move(args), options...) {
    this->via = via;
    this->recording = &recording;
  }
  void set(err code) { ending = code; }
  void set(Leaves l) { leaves |= 1 << l; }
  bool left(Leaves l) const { return leaves >> l & 1; }
  void set(Typed t) { typed = t; }
  void set(Answers a) { answers = a; }
  void set(Shell s) { shell = s; }
  void set(Setup s) { setup = s; }
  void set(Shows s) { shows = s; }
  void set(Golden g) { golden = g; }
  void set(Says s) { says = s; }
  void set(const Plan& p) { plan = &p; }
  const char* program() const { return plan ? "keldrun-cut" : "keldrun"; }
  const char* name;
  std::string args;
  Via via = file;
  const Recording* recording = nullptr;
  int ending = success, leaves = 0;
  std::string typed, shell, setup, golden, says;
  const Plan* plan = nullptr;
  std::optional<Answers> answers;
  std::optional<std::string> shows;  // not checked when absent
};

#define SHORT_GAPS "/G 0.01 /C 0.005"  // gaps of 441 frames, cut 220
#define TINY_GAPS "/G 0.001 /C 0"      // 44 and 0
const Shows split_question{"\n\aSplit the file as shown above? (Y/N) "};

// clang-format off
const Case kCases[] = {
    // In place, back to front.
    {"three tracks", file, three, "/I rec.wav " SHORT_GAPS, track_files},
    {"/P keeps the source", file, three, "/I /P rec.wav " SHORT_GAPS, track_files, source_as_made},
    {"switches in lower case", file, peaks, "/i /n /p rec.wav /t 0.1 /g 0.01 /c 0.005 /f 5", normalized_track_files, source_as_made},
    {"early end", file, three_early, "/I rec.wav " SHORT_GAPS, track_files, Shows{"\nUnexpected end of WAVE data.\n"}},
    {"sound from frame 0", file, sound_at_0, "/I rec.wav " SHORT_GAPS, track_files},
    {"an empty track leaves a hole", file, hole, "/I rec.wav /G 0.01 /C 0.05", track_files},
    {"normalized by each track's peak", file, peaks, "/I /N rec.wav " SHORT_GAPS, normalized_track_files},
    {"a peak of 0 is written unchanged", file, zero_peak, "/I /N rec.wav /F 0 " TINY_GAPS, normalized_track_files},
    {"99 tracks", file, tracks_99, "/I rec.wav " TINY_GAPS, track_files},
    {"100 tracks: nothing written", file, tracks_100, "/I rec.wav " TINY_GAPS, too_many_tracks, source_as_made},
    {"interactive session", file, long_side, "rec.wav SIDE_A /G 0.1 /C 0.05", Typed{"y\n"}, track_files, Golden{"split"}},
    // The questions.
    {"y", file, peaks, "rec.wav " SHORT_GAPS, Typed{"y"}, track_files, split_question},
    {"Y and a new line", file, peaks, "rec.wav " SHORT_GAPS, Typed{"Y\n"}, track_files},
    {"others are skipped", file, peaks, "rec.wav " SHORT_GAPS, Typed{"x\n\ny"}, track_files},
    {"typed ahead: dropped at the second", file, peaks, "rec.wav " SHORT_GAPS, Typed{"yY\n"}, track_files},
    {"n cancels", file, peaks, "rec.wav " SHORT_GAPS, Typed{"n\n"}, interrupted, source_as_made, split_question},
    {"N after others", file, peaks, "rec.wav " SHORT_GAPS, Typed{" \nN"}, interrupted, source_as_made},
    {"end of input is a no", file, peaks, "rec.wav " SHORT_GAPS, interrupted, source_as_made},
    {"/dev/null is a no", file, peaks, "rec.wav " SHORT_GAPS, Shell{"</dev/null"}, interrupted, source_as_made},
    {"closed stdin is a no", file, peaks, "rec.wav " SHORT_GAPS, Shell{"<&-"}, interrupted, source_as_made},
    {"second answer normalizes", file, peaks, "rec.wav " SHORT_GAPS, Answers{"y", "Y"}, normalized_track_files, Shows{"Normalize the track volume? (Y/N) "}},
    {"second answer beats /N", file, peaks, "/N rec.wav " SHORT_GAPS, Answers{"Y", "n"}, track_files},
    // No track file: the source stays.
    {"all tracks empty", file, sound_in_last_cut, "/I rec.wav /G 0.01 /C 0.01", no_tracks, source_as_made},
    {"all tracks empty, /P", file, sound_in_last_cut, "/I /P rec.wav /G 0.01 /C 0.01", no_tracks, source_as_made},
    {"all tracks empty, asked", file, sound_in_last_cut, "rec.wav /G 0.01 /C 0.01", Typed{"y\n"}, no_tracks, source_as_made, split_question},
    {"all tracks empty, piped", piped, sound_in_last_cut, "- /G 0.01 /C 0.01", no_tracks},
    {"all silent", file, silent, "rec.wav", no_tracks, source_as_made},
    // An input that a track file would overwrite.
    {"named like a track", file, three, "/I TRACK02.WAV " SHORT_GAPS, Setup{"mv rec.wav TRACK02.WAV"}, input_overwritten, unchanged},
    {"another spelling", file, three, "/I ./TRACK02.WAV " SHORT_GAPS, Setup{"mv rec.wav TRACK02.WAV"}, input_overwritten, unchanged},
    {"the base spelled otherwise", file, three, "/I TRACK02.WAV ./sub/../TRACK " SHORT_GAPS, Setup{"mkdir sub && mv rec.wav TRACK02.WAV"}, input_overwritten, unchanged},
    {"hard link", file, three, "/I a.wav " SHORT_GAPS, Setup{"mv rec.wav TRACK02.WAV && ln TRACK02.WAV a.wav"}, input_overwritten, unchanged},
    {"symbolic link", file, three, "/I a.wav " SHORT_GAPS, Setup{"mv rec.wav TRACK02.WAV && ln -s TRACK02.WAV a.wav"}, input_overwritten, unchanged},
    {"a track name links to it", file, three, "/I rec.wav " SHORT_GAPS, Setup{"ln -s rec.wav TRACK77.WAV"}, input_overwritten, unchanged},
    {"listing writes nothing to refuse", file, three, "TRACK02.WAV - " SHORT_GAPS, Setup{"mv rec.wav TRACK02.WAV"}, unchanged},
    // On the fly: the same track files.
    {"piped", piped, three, "- OUT " SHORT_GAPS, track_files, Shows{"Input:\t<stdin>\t(Splitting piped data \"on-the-fly\")\nOutput:\tOUTxx.WAV\n"}},
    {"piped, an empty track", piped, hole, "- OUT /G 0.01 /C 0.05", track_files},
    {"piped, sound at frame 0", piped, sound_at_0, "- OUT " SHORT_GAPS, track_files},
    {"piped, early end in silence", piped, three_early, "- OUT " SHORT_GAPS, track_files, Shows{"\nUnexpected end of WAVE data.\n"}},
    {"piped, early end in a frame", piped, three_early_frame, "- OUT " SHORT_GAPS, track_files},
    {"piped, early end in sound", piped, loud_end, "- OUT " SHORT_GAPS, track_files},
    {"piped, 4 GiB declared", piped, three_4g, "- - " SHORT_GAPS, Golden{"piped-listing"}},
    {"piped, /I /N /P change nothing", piped, peaks, "/I /N /P - OUT " SHORT_GAPS, track_files},
    {"piped, 100 tracks: 99 written", piped, tracks_100, "- " TINY_GAPS, too_many_tracks, track_files},
    {"FIFO", fifo, three, "rec.wav OUT " SHORT_GAPS, track_files},
    {"/dev/stdin by a name", dev_stdin_link, three, "rec.wav OUT " SHORT_GAPS, track_files},
    {"closed stderr, piped", piped, long_side, "- /G 0.1 /C 0.05", Shell{"2>&-"}, track_files},
    {"closed stderr, in place", file, long_side, "/I rec.wav /G 0.1 /C 0.05", Shell{"2>&-"}, track_files},
    // Listing.
    {"listing", file, three, "rec.wav - " SHORT_GAPS, source_as_made, Shows{"Output file generation disabled (listing tracks only).\n"}},
    {"listing a FIFO", fifo, three, "rec.wav - " SHORT_GAPS},
    {"a partial frame is no frame", file, size_3, "rec.wav -", invalid_format, source_as_made},
    {"the bytes after whole frames are not read", file, size_14, "rec.wav -", no_tracks, source_as_made, Shows{"data length 3 samples, 00:00.000\n"}},
    {"another chunk before the data", file, three_listed, "/I rec.wav " SHORT_GAPS, track_files},
    {"mono", file, mono, "rec.wav -", invalid_format, source_as_made},
    // The command line.
    {"no arguments", "", usage, Golden{"usage"}},
    {"--help", "--help", Golden{"help"}},
    {"--version", "--version", Golden{"version"}},
    {"--version among others is a name", "--version -", not_found, Shows{"Input:\t--version\n"}},
    {"/TT", "in.wav /TT 1", usage},
    {"/X", "in.wav /X 1", usage},
    {"/", "in.wav /", usage},
    {"/T0.1", "in.wav /T0.1", usage},
    {"/G last", "in.wav /G", usage},
    {"third positional", "in.wav out third", usage},
    {"/T takes /I as its value", "in.wav /T /I", usage},
    {"/T 2.0", "in.wav /T 2.0", usage},
    {"/T truncated to 0", "in.wav /T 0.00001", usage},
    {"/T -0.5", "in.wav /T -0.5", usage},
    {"/F 1001", "in.wav /F 1001", usage},
    {"/F -1", "in.wav /F -1", usage},
    {"/G truncated to 0", "in.wav /G 0.00001", usage},
    {"/G -1: the cut takes it, negative", "in.wav /G -1", usage},
    {"/G -1 /C 0 echoed", "in.wav SIDE_A /G -1 /C 0", not_found, Shows{"gap duration: 97390.547 seconds\nDiscarding track end: 0.000 seconds\n"}},
    {"no input", "/I /N /P /F 0", usage},
    {"highest values", "in.wav /T 1.99998 /F 1000", not_found, Shows{"threshold: 2.000 (normalized)\n"}},
    {"longest filter", "in.wav /F 1000", not_found, Shows{"Discarding track end: 2.000 seconds\nGlitch removal filter: 1000 samples\n"}},
    {"conversions", "/t 0.1 /F -0.5 /C -3 /G 3s in.wav -", not_found,
     Shows{"threshold: 0.100 (normalized)\nUsing minimum gap duration: 3.000 seconds\nDiscarding track end: 3.000 seconds\nGlitch removal filter: 0 samples\n"}},
    {"the last switch counts", "in.wav /F 5 /f 10.9", not_found, Shows{"filter: 10 samples\n"}},
    {"a name too long: refused, not cut to rec.wav", file, three, "/I ." + std::string(251, '/') + "rec.wav.bak " SHORT_GAPS, name_too_long, source_as_made},
    {"a base too long: refused", file, three, "/I rec.wav " + std::string(254, 'o') + " " SHORT_GAPS, name_too_long, source_as_made},
    {"the longest names are used", std::string(259, 'i') + " " + std::string(253, 'o'), not_found,
     Shows{"Input:\t" + std::string(259, 'i') + "\nOutput:\t" + std::string(253, 'o') + "xx.WAV\n"}},
    {"names beyond ASCII", file, three, "/I \"Côté A.wav\" \"Øst/Sida 1\" " SHORT_GAPS, Setup{"mkdir Øst && mv rec.wav 'Côté A.wav'"},
     track_files, Shows{"Input:\tCôté A.wav\nOutput:\tØst/Sida 1xx.WAV\n"}},
    {"listing 日本.wav", file, three, "日本.wav - " SHORT_GAPS, Setup{"mv rec.wav 日本.wav"}, unchanged, Shows{"Input:\t日本.wav\n"}},
    {"held open elsewhere: not cut", held_open_windows_only, three, "/I rec.wav " SHORT_GAPS, truncate_failed, source_as_made, last_track_file},
    {"absolute paths are names", "/no/such/dir/side.wav /tmp /I", not_found, Shows{"Input:\t/no/such/dir/side.wav\nOutput:\t/tmpxx.WAV\n"}},
    // keldrun-cut: the tracks of a plan, with keldrun's guarantees and texts.
    {"cut: region labels", file, three, "/I plan.txt rec.wav", three_regions, track_files,
     Shows{"Plan:\tplan.txt\nInput:\trec.wav\nOutput:\tTRACKxx.WAV\n\nEstimated WAVE data length 10000 samples, 00:00.226\nReading the tracks of the plan...\n"}},
    {"cut: point labels", file, three, "/i plan.txt rec.wav SIDE", three_points, track_files},
    {"cut: a CUE sheet", file, three, "plan.txt /I rec.wav", three_cue, track_files},
    {"cut: /P keeps the source", file, three, "/p /I plan.txt rec.wav", three_regions, track_files, source_as_made},
    {"cut: normalized by each track's peak", file, peaks, "/I /N plan.txt rec.wav", peak_regions, normalized_track_files},
    {"cut: listing", file, three, "plan.txt rec.wav - /N", three_regions, source_as_made, Shows{"Output file generation disabled (listing tracks only).\n"}},
    {"cut: early end: a track cut short, the next not there", file, three_early, "/I plan.txt rec.wav", beyond_data, track_files,
     Shows{"\nUnexpected end of WAVE data.\nTrack 4 lies beyond the end of the data, and TRACK04.WAV is not there.\n"}},
    {"cut: piped", piped, three, "/N /P plan.txt - OUT", three_points, track_files, Shows{"Input:\t<stdin>\t(Splitting piped data \"on-the-fly\")\n"}},
    {"cut: piped, early end", piped, three_early, "plan.txt - OUT", beyond_data, track_files},
    {"cut: early end before the first track", file, three_early, "/I plan.txt rec.wav", late_region, no_tracks, source_as_made},
    {"cut: piped, early end before the first track", piped, three_early, "plan.txt - OUT", late_region, no_tracks},
    {"cut: the bytes after whole frames are not read", file, three_odd, "/I plan.txt rec.wav", three_points, track_files,
     Shows{"data length 10000 samples, 00:00.226\nReading"}},
    {"cut: another chunk before the data", file, three_listed, "/I plan.txt rec.wav", three_cue, track_files},
    {"cut: FIFO", fifo, three, "plan.txt rec.wav OUT", three_cue, track_files},
    {"cut: interactive session", file, long_side, "plan.txt rec.wav SIDE_A", long_regions, Typed{"y\n"}, track_files, Golden{"cut-split"}},
    {"cut: n cancels", file, peaks, "plan.txt rec.wav", peak_regions, Typed{"n\n"}, interrupted, source_as_made, split_question},
    {"cut: second answer normalizes", file, peaks, "plan.txt rec.wav", peak_regions, Answers{"y", "Y"}, normalized_track_files},
    {"cut: a bad plan names its line", file, three, "/I plan.txt rec.wav", overlapping, source_as_made,
     Says{"\nplan.txt, line 2: this label overlaps the one on line 1: it starts at 0.15, before that one ends at 0.2; labels may touch but not overlap\n\a"}},
    {"cut: a plan beyond the data", piped, three, "plan.txt - OUT", too_far, Says{"\nplan.txt, line 1: the end 0.3 is beyond the end of the recording (00:00.226)\n\a"}},
    {"cut: no plan", file, three, "/I none.txt rec.wav", three_regions, source_as_made, Says{"\nnone.txt: the plan cannot be read: No such file or directory\n\a"}},
    {"cut: a plan over 1 MiB", file, three, "/I big.txt rec.wav", three_regions, Setup{"head -c 1048577 /dev/zero > big.txt"}, unchanged,
     Says{"\nbig.txt: the plan is over 1 MiB; a plan is a few lines of text\n\a"}},
    {"cut: named like a track", file, three, "/I plan.txt TRACK02.WAV", three_regions, Setup{"mv rec.wav TRACK02.WAV"}, input_overwritten, unchanged},
    {"cut: no arguments", "", three_regions, usage, Golden{"cut-usage"}},
    {"cut: /T", "/T 0.1 plan.txt rec.wav", three_regions, usage},
    {"cut: no input", "/I plan.txt", three_regions, usage},
    {"cut: a fourth name", "plan.txt rec.wav OUT more", three_regions, usage},
    {"cut: a plan name too long", file, three, "/I " + std::string(260, 'p') + " rec.wav", three_regions, name_too_long, source_as_made},
    {"cut: a base too long", file, three, "/I plan.txt rec.wav " + std::string(254, 'o'), three_regions, name_too_long, source_as_made},
};
// clang-format on

// A golden session: stdout, "--- stderr", then stderr; "\r" and "\a" written out.
std::string golden(const std::string& name) {
  std::string text = th::read_file(std::string(KELDRUN_SOURCE_DIR) + "/tests/golden/" + name);
  for (const auto& [from, to] : {std::pair{"\\r", "\r"}, {"\\a", "\a"}})
    for (size_t at; (at = text.find(from)) != std::string::npos;) text.replace(at, 2, to);
  return text;
}

// The tracks keldrun-cut takes from plan `p` over `data` (or a header that
// declares more): each as far as the data reaches, none after the first
// that the data does not reach whole; the peak of each is of its own frames.
std::vector<th::Track> cut_model(const Plan& p, const std::string& data) {
  const int64_t present = static_cast<int64_t>(data.size() / 4);
  const std::vector<int> level = th::levels(data, present);
  std::vector<th::Track> tracks;
  for (const auto& [start, end] : p.tracks) {
    if (start >= present) break;
    th::Track t{static_cast<int>(tracks.size()) + 1, start, std::min(end, present), 0};
    for (int64_t k = start; k < t.end; k++)
      t.peak = std::max(t.peak, level[static_cast<size_t>(k)]);
    tracks.push_back(t);
    if (end > present) break;
  }
  return tracks;
}

void PrintTo(const Case& c, std::ostream* os) {
  *os << c.name;
}

class Keldrun : public testing::TestWithParam<Case> {};

TEST_P(Keldrun, Run) {
  const Case& c = GetParam();
  std::vector<std::string> args;  // split at blanks, but not within double quotes
  std::istringstream words(c.args);
  for (std::string w; words >> std::quoted(w);) args.push_back(w);
  // Where stderr reaches a pipe only as the run ends, no answer can wait for its question.
  if (th::emulated() && (c.via == fifo || c.via == dev_stdin_link || !c.shell.empty() || c.answers))
    GTEST_SKIP() << "POSIX only";
  if (!th::emulated() && c.via == held_open_windows_only) GTEST_SKIP() << "Windows only";
  const Recording rec = c.recording ? *c.recording : Recording{};
  const std::string made = rec.file.empty() ? th::wave(rec.data, rec.declared) : rec.file;
  const bool in_place = c.recording && (c.via == file || c.via == held_open_windows_only);

  th::TempDir dir, elsewhere;
  th::RunOptions o;
  std::vector<std::string> argv = {c.program()};
  if (in_place) th::write_file(dir / "rec.wav", made);
  if (c.plan) th::write_file(dir / "plan.txt", c.plan->text);
  if (c.via == piped || c.via == dev_stdin_link) o.input = made;
  o.input += c.typed;
  ASSERT_TRUE(c.via != dev_stdin_link || symlink("/dev/stdin", (dir / "rec.wav").c_str()) == 0);
  if (c.via == fifo) {  // filled as a shell's process substitution would fill it
    th::write_file(elsewhere / "in.wav", made);
    ASSERT_EQ(mkfifo((dir / "rec.wav").c_str(), 0600), 0);
    argv = {"/bin/sh", "-c", "cat \"$0\" > rec.wav & exec \"$@\"", elsewhere / "in.wav",
            th::program(c.program())};
  }
  if (!c.shell.empty())
    argv = {"/bin/sh", "-c", "exec \"$0\" \"$@\" " + c.shell, th::program(c.program())};
  if (c.answers)
    o.answers = {{"(Y/N) ", c.answers->first + "\n"}, {"Normalize", c.answers->second + "\n"}};
  std::string setup = c.setup;
  if (c.via == held_open_windows_only) {  // the holder keeps rec.wav open while "hold" is
    ASSERT_EQ(mkfifo((elsewhere / "hold").c_str(), 0600), 0);
    setup = "(" + std::string(std::getenv("KELDRUN_EMULATOR")) + " '" + th::program("hold-open") +
            "' rec.wav <'" + elsewhere / "hold" + "' >'" + elsewhere / "held" + "' &)";
  }
  ASSERT_TRUE(setup.empty() || std::system(("cd '" + dir.path() + "' && " + setup).c_str()) == 0);
  const auto before = th::files_in(dir.path());
  argv.insert(argv.end(), args.begin(), args.end());
  const int hold =
      c.via == held_open_windows_only ? open((elsewhere / "hold").c_str(), O_WRONLY) : -1;
  for (int i = 0; hold >= 0 && i < 3000 && th::read_file(elsewhere / "held").empty(); i++)
    usleep(10000);
  const th::RunResult r = th::run(argv, dir.path(), o);
  if (hold >= 0) close(hold);

  // What the model says the run finds and writes.
  bool too_many = false;
  const auto tracks = c.plan ? cut_model(*c.plan, rec.data)
                             : th::model(rec.data, rec.declared < 0 ? -1 : rec.declared / 4,
                                         th::settings_of(args), &too_many);
  std::vector<std::string> positional;  // neither a switch nor the value of /T /G /C /F
  for (size_t i = 0; i < args.size(); i++)
    if (args[i][0] != '/')
      positional.push_back(args[i]);
    else if (args[i].size() == 2 && !std::strchr("IiNnPp", args[i][1]))
      i++;
  const size_t base_at = c.plan ? 2 : 1;  // keldrun-cut's plan comes first
  const std::string base = positional.size() > base_at ? positional[base_at] : "TRACK";
  std::map<std::string, std::string> want;
  if (c.left(unchanged)) want = before;
  if (c.left(track_files) || c.left(normalized_track_files))
    want = th::track_files(rec.data, tracks, c.left(normalized_track_files), base);
  if (c.left(last_track_file))
    want.insert(*th::track_files(rec.data, tracks, false, base).rbegin());
  if (c.left(source_as_made)) want["rec.wav"] = made;
  if (c.via == dev_stdin_link) want["rec.wav"] = "-> /dev/stdin";
  if (c.plan && !c.left(unchanged)) want["plan.txt"] = c.plan->text;
  EXPECT_EQ(th::differences(dir.path(), want), "");
  EXPECT_EQ(too_many, c.ending == too_many_tracks);

  SCOPED_TRACE(r.describe());
  EXPECT_TRUE(r.exited(c.ending == success && c.says.empty() ? 0 : 1));
  if (c.shell == "2>&-") return;  // nothing more to see
  if (!c.golden.empty()) {
    EXPECT_EQ(r.out + th::native("--- stderr\n") + r.err, th::native(golden(c.golden)));
    return;
  }
  EXPECT_TRUE(r.err.ends_with(c.says.empty() ? th::ending(c.ending) : th::native(c.says)));
  if (c.shows) {  // never empty, which any stderr would show
    ASSERT_NE(*c.shows, "");
    EXPECT_NE(th::visible(r.err).find(th::native(*c.shows)), std::string::npos) << *c.shows;
  }
  // The banner and its empty line, then the usage text or the table's rows.
  const std::string session = golden(c.plan ? "cut-usage" : "usage");
  const std::string usage_out = session.substr(0, session.find("---"));
  std::string out = session.substr(0, session.find("\n\n") + 2);
  // None where the recording or the plan is refused before the scan.
  const bool scanned = c.plan ? (c.ending == success || c.ending == interrupted) && c.says.empty()
                              : c.ending != input_overwritten && c.ending != name_too_long;
  for (const auto& t : tracks)
    if (scanned && t.end > t.start) out += "\r" + table_row(t.number, t.start, t.end, t.peak);
  EXPECT_EQ(r.out, th::native(c.ending == usage ? usage_out : out));
  // In place, the files are written from the last track to the first, each
  // cut from the source but track 1, unless the source stays as it was.
  if (c.ending != success || !c.says.empty() || !in_place || base == "-") return;
  std::string messages;
  for (auto t = tracks.rbegin(); t != tracks.rend(); ++t) {
    if (t->end <= t->start) continue;
    messages += "Writing new WAVE file of track " + std::to_string(t->number) + "...\n";
    if (t->number != 1 && !c.left(source_as_made))
      messages += "Deleting the track from the WAVE file...\n";
  }
  EXPECT_TRUE(th::visible(r.err).ends_with(th::native(messages) + th::ending(success)));
}

INSTANTIATE_TEST_SUITE_P(Table, Keldrun, testing::ValuesIn(kCases), [](const auto& info) {
  std::string name;
  for (const char ch : std::string(info.param.name))
    name += std::isalnum(static_cast<unsigned char>(ch)) ? ch : '_';
  return name;
});

// A sparse recording of more than 2 GiB whose two tracks both lie beyond
// 2 GiB, so that every seek and cut needs 64-bit positions: keldrun finds
// them, keldrun-cut takes them from a plan that names the same frames.
TEST(Keldrun, SparseInputBeyondTwoGiB) {
  const int64_t a1 = 536900000, a2 = a1 + 4 * 44100, frames = a2 + 4 * 44100;
  const std::string block = th::frames("t44100");
  // Each track starts 8 frames before its second of sound; track 1 ends the
  // gap and filter before the step that found track 2, track 2 as far
  // before the end of the data.
  const auto lengths = {std::pair{1, 88200}, {2, 88198}};
  const Plan plan = regions({{a1 - 8, a1 - 8 + 88200}, {a2 - 8, a2 - 8 + 88198}});
  for (const std::string program : {"keldrun", "keldrun-cut"}) {
    SCOPED_TRACE(program);
    th::TempDir dir;
    const int fd = open((dir / "rec.wav").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const std::string header = th::canonical_header(static_cast<uint32_t>(4 * frames));
    bool ok = pwrite(fd, header.data(), 44, 0) == 44 && ftruncate(fd, 44 + 4 * frames) == 0;
    for (int64_t at : {a1, a2})
      ok = ok && pwrite(fd, block.data(), block.size(), 44 + 4 * at) ==
                     static_cast<ssize_t>(block.size());
    ASSERT_TRUE(close(fd) == 0 && ok);
    std::vector<std::string> argv = {program, "/I", "rec.wav"};
    std::map<std::string, std::string> want;
    if (program == "keldrun-cut") {
      th::write_file(dir / "plan.txt", plan.text);
      argv.insert(argv.begin() + 2, "plan.txt");
      want["plan.txt"] = plan.text;
    }
    const auto r = th::run(argv, dir.path());
    EXPECT_TRUE(r.exited(0)) << r.describe();
    for (const auto& [track, length] : lengths)
      want[th::track_name(track)] = th::canonical_header(static_cast<uint32_t>(4 * length)) +
                                    std::string(32, '\0') + block +
                                    std::string(4 * static_cast<size_t>(length - 44100 - 8), '\0');
    EXPECT_EQ(th::differences(dir.path(), want), "");
  }
}

}  // namespace
