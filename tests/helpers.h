// Test helpers: synthesised WAVE data, temporary directories, and runs of the
// built keldrun binary with captured output.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace th {

// Bytes of a little-endian 32-bit and 16-bit value.
std::string u32(uint32_t v);
std::string u16(uint16_t v);
// A chunk: id, size field (`size` if given, else the payload's length), the
// payload and, for an odd size, a pad byte.
std::string chunk(const std::string& id, const std::string& payload, int64_t size = -1);
// The 16 bytes of a PCM format chunk's data.
std::string fmt_payload(uint16_t tag = 1, uint16_t channels = 2, uint32_t rate = 44100,
                        uint16_t bits = 16, uint32_t bytes_per_sec = 176400,
                        uint16_t block_align = 4);
// The canonical 44-byte header declaring `data_bytes`.
std::string canonical_header(uint32_t data_bytes);

// The program's last words on success.
inline const std::string kSuccess = "WAVE data successfully splitted. \n\a";

// Builds recordings frame by frame.
class Rec {
 public:
  Rec& frame(int16_t left, int16_t right);
  Rec& level(int16_t value, uint32_t n);  // n frames of (value, value)
  Rec& silence(uint32_t n) { return level(0, n); }
  // n frames of sound at levels 9100 to 9999, different in the two channels
  // and from frame to frame, so that a frame out of place shows. With the
  // default threshold and filter, two such frames in the window are sound,
  // one alone is not.
  Rec& tone(uint32_t n);
  uint32_t frames() const { return static_cast<uint32_t>(data_.size() / 4); }
  const std::string& data() const { return data_; }
  // Canonical header plus data; `declared` overrides the data size field.
  std::string wave(int64_t declared = -1) const;

 private:
  std::string data_;
};

// A temporary file holding `bytes`, positioned at its start.
FILE* memfile(const std::string& bytes);
std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& bytes);
bool file_exists(const std::string& path);
// Every file under `dir` by relative name: its bytes, or where a link points.
std::map<std::string, std::string> files_in(const std::string& dir);
// Expects `dir` to hold exactly `want`: names first, then bytes, without
// printing megabytes.
void expect_files(const std::string& dir, const std::map<std::string, std::string>& want);
// The name of a track file: "TRACK01.WAV" for track 1.
std::string track_name(size_t number, const std::string& base = "TRACK");
std::vector<std::string> join(std::vector<std::string> a, const std::vector<std::string>& b);

// A directory that lives as long as the object.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// How a program is run.
struct RunOptions {
  // Fed on standard input; then each answer waits until stderr contains its
  // first string and writes its second; then standard input is closed.
  std::string input{};
  std::vector<std::pair<std::string, std::string>> answers{};
  bool no_stdin = false;         // descriptor 0 closed from the start
  int64_t file_size_limit = -1;  // RLIMIT_FSIZE, with SIGXFSZ ignored
  double timeout = 120;          // seconds before a run counts as hung: killed
  double kill_after = -1;        // seconds before it is sent SIGKILL
  // Called with the stderr written so far while the program runs, until it
  // returns true: to act on the file system at a given point of a run.
  std::function<bool(const std::string& err)> watch{};
};

struct RunResult {
  int status = -1;      // exit code, or 128 + signal number
  int signal = 0;       // the signal that ended it, if one did
  bool hung = false;    // still running at the time limit: killed
  bool killed = false;  // ended by the SIGKILL that `kill_after` asked for
  double seconds = 0;
  std::string out, err;
  bool exited(int code) const { return !hung && signal == 0 && status == code; }
  std::string describe() const;  // exit, signal or hang, and stderr
};

// Runs argv (args[0] is a path) in directory `cwd` with its stdout and
// stderr captured. A program run under strace has LeakSanitizer turned off:
// it cannot work under ptrace.
RunResult run_program(const std::vector<std::string>& args, const std::string& cwd,
                      const RunOptions& options = {});
// Runs the built keldrun with `args` the same way.
RunResult run_keldrun(const std::vector<std::string>& args, const std::string& cwd,
                      const std::string& input = "",
                      const std::vector<std::pair<std::string, std::string>>& answers = {});

// stderr as a person sees it: the text that a carriage return lets the next
// text overwrite (progress) is dropped, line by line.
std::string visible(const std::string& text);

// Path of the built binary.
std::string keldrun_path();

}  // namespace th
