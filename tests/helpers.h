// Test helpers: synthesised recordings, the reference model of a split,
// temporary directories, and runs of the built programs.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "core.h"

namespace th {

// A test run on each vector path: SSE2, then AVX2 (skipped where the
// processor has none).
struct VectorPath : testing::TestWithParam<bool> {
  void SetUp() override;
  void TearDown() override;
};
std::string path_name(const testing::TestParamInfo<bool>& path);

std::string u32(uint32_t v);
std::string u16(uint16_t v);
// A chunk: id, size field (`size` if given, else the payload's length), the
// payload and, for an odd size, a pad byte.
std::string chunk(const std::string& id, const std::string& payload, int64_t size = -1);
// The 16 bytes of a format chunk's data.
std::string fmt_payload(uint16_t tag = 1, uint16_t channels = 2, uint32_t rate = 44100,
                        uint16_t bits = 16, uint32_t bytes_per_sec = 176400);
std::string canonical_header(uint32_t data_bytes);

// The frames of a recipe of space-separated words: sN (N silent frames),
// tN (N frames of a tone at levels 9100 to 9999, every frame different, so
// that a frame out of place shows; two of them in the default window are
// sound, one is not), nN (N frames of seeded noise at 6000 to 26000),
// lV:N (N frames at level V), fL:R (one frame); "( words )N" repeats the
// words N times.
std::string frames(const std::string& recipe);
// A canonical WAVE file of `data`; `declared` overrides the data size field.
std::string wave(const std::string& data, int64_t declared = -1);

// The level of each of the first `frames` frames: its louder sample's
// magnitude; bytes past the end read as 0xFF.
std::vector<int> levels(const std::string& data, int64_t frames);

// The settings that keldrun's switches /T /G /C /F among `args` make.
settings settings_of(const std::vector<std::string>& args);

struct Track {
  int number;
  int64_t start, end;  // frames; empty when end <= start
  int peak;
};
// The tracks a scan of `data` finds, worked out frame by frame with the
// window re-added at every step; `declared` frames are declared (-1: those
// present). Sets `too_many` when sound follows a 99th track.
std::vector<Track> model(const std::string& data, int64_t declared, settings s,
                         bool* too_many = nullptr);
// A listing in frames, where its rows' milliseconds would hide a frame's
// difference: the tracks scanned, how the scan ended, and each row's number,
// start, end and peak; of a listing, or of the model's tracks.
std::string exactly(const listing& l);
std::string exactly(const std::vector<Track>& tracks, bool too_many);
// The track files of a split: name -> bytes, normalized or not.
std::map<std::string, std::string> track_files(const std::string& data,
                                               const std::vector<Track>& tracks, bool normalized,
                                               const std::string& base = "TRACK");
std::string track_name(int number, const std::string& base = "TRACK");
// Audacity's region labels for tracks of [start, end) frames, exact to the
// frame, each named "A b".
std::string labels(const std::vector<std::pair<int64_t, int64_t>>& tracks);

// A temporary file holding `bytes`, at its start.
FILE* memfile(const std::string& bytes);
std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& bytes);
// Every file under `dir` by relative name: its bytes, or "-> target" for a link.
std::map<std::string, std::string> files_in(const std::string& dir);
// "" when `dir` holds exactly `want`, else what differs (names, then sizes).
std::string differences(const std::string& dir, const std::map<std::string, std::string>& want);

// A directory that lives as long as the object.
struct TempDir {
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }
  std::string path_;
};

struct RunOptions {
  // Fed on standard input; then each answer waits until stderr holds its
  // first string and writes its second; then standard input is closed.
  std::string input{};
  std::vector<std::pair<std::string, std::string>> answers{};
  // Called with the stderr so far until it returns true: to act on the
  // files at a given point of a run.
  std::function<bool(const std::string& err)> watch{};
};

struct RunResult {
  int status = -1;  // exit code, or 128 + signal
  int signal = 0;
  bool hung = false;  // killed at the time limit
  std::string out, err;
  bool exited(int code) const { return !hung && signal == 0 && status == code; }
  std::string describe() const;
};

// Runs argv in `cwd`, capturing stdout and stderr. A first word naming one
// of the built programs ("keldrun", "keldrun-gen", "keldrun-view") runs that
// program, through the emulator when the programs under test are Windows
// executables.
RunResult run(std::vector<std::string> argv, const std::string& cwd, const RunOptions& o = {});
// Path of a built program.
std::string program(const std::string& name);
// True when the programs under test run under an emulator (Windows builds).
bool emulated();
// `text` as the programs under test write it: "\n" becomes "\r\n" where
// console streams are text streams.
std::string native(const std::string& text);
// stderr as a person sees it: text that a carriage return lets the next
// text overwrite (progress) is dropped.
std::string visible(const std::string& text);
// The last words of a run that ended with error `code` (-1: success).
std::string ending(int code);

}  // namespace th
