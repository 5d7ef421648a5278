// What the companion programs call: keldrun's reader, detector and track
// writer, with their settings as arguments. keldrun runs on the same
// functions, so that each step has one implementation; where keldrun's
// process-wide state has to be set for them, they set it themselves.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "keldrun.h"
#include "platform.h"

// The detector's settings, as keldrun's switches give them.
struct settings {
  int32_t filter = 10;    // /F, frames: the window holds filter + 1 frames
  uint32_t level = 1638;  // /T: the threshold per frame, a level
  uint32_t gap = 88200;   // /G, frames
  int32_t cut = -1;       // /C, frames; negative: as long as the gap
};

// True when `a` is a switch (a slash and a letter) rather than a path.
bool is_switch(const char* a);
// The value of switch `letter` (T, G, F or C, either case) given as `text`,
// converted as keldrun converts it (a level, or frames); none when the text
// is nonsense or the letter another.
std::optional<int64_t> switch_value(int letter, const char* text);
// Sets the setting of switch `letter` from `text`; false when it has no value.
bool set_switch(settings& s, int letter, const char* text);
// Gives the cut its default, the gap; false when a setting is out of the
// ranges keldrun accepts.
bool settle(settings& s);

// The end of keldrun's usage text, from its input on, which the companions
// that split share.
#define KELDRUN_USAGE_FILES                                                           \
  "infile\tThe original WAVE file (16-bit stereo 44100 Hz PCM),\n"                    \
  "\tuse \"-\" for piped <stdin> input.\n"                                            \
  "outbase\tThe base name of the track file to generate, default \"TRACK\",\n"        \
  "\tuse \"-\" to disable output file generation (list tracks only)\n"                \
  "\n"                                                                                \
  "You need free disk space only for the largest individual track contained in the\n" \
  "original WAVE file if the track files are generated on the same disk as the\n"     \
  "original and the /P switch is not specified.\n"                                    \
  "\n"                                                                                \
  "When using piped input, the file is split \"on-the-fly\" and normalization\n"      \
  "is not possible.\n"                                                                \
  "\n"                                                                                \
  "Switches /I, /N, and /P have no effect with piped input or when output file\n"     \
  "generation is disabled."

// Ends the run like `error`, with `usage_text` (a companion's own) shown
// for `usage`.
[[noreturn]] void error(err code, const char* usage_text);
// Closes the streams and ends the process with exit code 1: the end of
// every fatal exit, once its message is out.
[[noreturn]] void end_run();

// A recording made the input, its header read.
struct recording {
  uint32_t frames = 0;  // as its header declares
  bool known = false;   // whether its identity `id` could be read
  file_id id;
  int64_t data_offset = -1;  // the byte of frame 0 in the file; -1: unknown (a pipe)
};
// Opens the recording `name` ("-": standard input) as the input and reads
// its header; ends with `not_found` or `invalid_format`. The file named is
// the source that write_track cuts and delete_source deletes.
recording open_recording(const char* name);
// The same for a stream already open (a test's bytes in memory).
recording open_recording(FILE* f);
void close_recording();

// Puts keldrun's process-wide state as its main leaves it for a listing
// with settings `s`, before the first scan: no questions, no track file,
// frame 0 of no data yet, an empty filter window, no track written, the
// table on standard output and the progress on standard error.
void reset_state(const settings& s);

struct track {
  int number;
  int64_t start, end;
  long peak;
};

// The track table keldrun lists, and how its listing ends.
struct listing {
  std::vector<track> tracks;  // the rows (end > start)
  int scans = 0;              // tracks scanned, empty ones included
  bool no_sound = false;      // ends with "No tracks detected"
  bool too_many = false;      // ends with "Too many tracks" after the rows
  std::string rows() const;   // the rows as printed, without carriage returns
};
// The listing keldrun makes with settings `s` over the open input, from
// frame 0 of its data on; nothing is printed, and keldrun's state is put
// back as it was (but for the input, which the scan has read).
listing list_tracks(const settings& s);

// One track of the open source, to be written into a file of its own.
struct track_part {
  int number;          // 1 to 99: its file's two digits
  int64_t first_byte;  // of its first frame, in the source
  int64_t start;       // the index of that frame, as the progress shows it
  int64_t frames;
  uint16_t peak;  // what becomes full scale when normalizing
  bool normalize;
  int64_t cut_at;  // where the source is cut once the track is safe; negative: it is not
};
// The in-place step: writes track `t` into its file (`base`, two digits,
// ".WAV"), makes the file durable and counts it in tracks_written; then,
// unless told not to, checks that the source is still the file at the
// length this run left it, cuts it at `cut_at` and opens it again as the
// input. Every failure ends the run with keldrun's own message.
void write_track(const char* base, const track_part& t);
// What a pass over frames of the input found: how many it had, and their
// peak (the louder channel's magnitude, at most 32768).
struct frames_read {
  int64_t frames = 0;
  uint16_t peak = 0;
};
// Reads the next `frames` frames of the input, frame `first` of its data
// on; fewer at the end of the input, and a failing read ends the run with
// `read_failed`. `shown`: with keldrun's progress on standard error.
frames_read read_frames(int64_t first, int64_t frames, bool shown);
// The piped step: writes the next `frames` frames of the input, frame
// `first` on, into the file of track `number` (`base`, two digits, ".WAV")
// as they arrive, with progress; where the input ends early the header is
// patched for the frames that came, and a file of none is removed. The
// file is durable when this returns.
frames_read pipe_track(const char* base, int number, int64_t first, int64_t frames);
// When `asking`, asks whether to split (a no ends the run with
// `interrupted`) and whether to normalize; returns whether to normalize
// (`normalizing` when nothing is asked).
bool confirm_split(bool asking, bool normalizing);
// The file name of track `number` for the output base `base`: the base (at
// most the 253 characters the command line takes), two digits, ".WAV".
std::string track_file_name(const char* base, int number);
// Ends with `input_overwritten` when a track file of `base` would be the
// file `source`, under any name that leads to it.
void check_not_overwritten(const char* base, const file_id& source);
// Deletes the source, closed by then: only the file the in-place steps cut,
// at the length they left it, else ends with `truncate_failed`.
void delete_source();
