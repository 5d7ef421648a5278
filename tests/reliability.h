// What the reliability suites share: recordings of noise bursts, the
// conservation checker, and strace.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace rel {

// A canonical WAVE recording: `lead` silent frames, then for each entry of
// `tracks` that many frames of seeded noise (loud enough for any default
// threshold, unique, so that every track's frames can be found again)
// followed by `gap` silent frames.
std::string noise_recording(const std::vector<uint32_t>& tracks, uint32_t lead, uint32_t gap,
                            uint32_t seed = 1);

// One track file of an uninterrupted run: its name, its bytes, and the byte
// range of its frames in the original recording.
struct RefTrack {
  std::string name, bytes;
  int64_t begin = 0, end = 0;
};

// What an uninterrupted run made of a recording.
struct Reference {
  std::string original;
  std::vector<RefTrack> tracks;  // by track number
  // Every file the run left, by name: the track files.
  std::map<std::string, std::string> files() const;
};

// Finds every track file's frames in `original`; a file whose frames are
// not there exactly once is a failure, reported in `problem`.
Reference make_reference(const std::string& original,
                         const std::map<std::string, std::string>& track_files,
                         std::string* problem);

// What a faulted or killed in-place run left in `dir`: the source `source`
// (if there) must be a byte-identical prefix of the original at least as
// long as its header, and every reference track must be complete and
// byte-identical in its file or wholly below the source's length. Returns
// "" when that holds, else one line per fault, naming the frames lost.
std::string check_conservation(const Reference& ref, const std::string& dir,
                               const std::string& source);

// What a faulted piped run left in `dir`: the complete track files are
// those of tracks 1 to k, byte-identical; at most the file of track k + 1
// is there besides, as far as it got. Returns "" or what is wrong.
std::string check_piped(const Reference& ref, const std::string& dir);

// strace, or "" when it is missing or may not trace here (no ptrace).
const std::string& strace();

// The system calls whose order matters: every one that opens, writes,
// syncs, closes, positions, cuts or deletes a file, and reads.
extern const char* const file_calls;

// One line of an `strace -f -y` log.
struct Call {
  std::string name;  // "openat", "write", ...
  std::string path;  // the file it concerns (absolute), "" if none
  std::string args;  // as printed
  int64_t result = 0;
  std::string error;  // "EIO" when it failed, else ""
  bool injected = false;
  bool ok() const { return error.empty(); }
};

// Parses a log; `cwd` resolves the relative names that openat and unlink
// were given.
std::vector<Call> parse_strace(const std::string& log, const std::string& cwd);

// The canonical path of a directory (what strace -y shows).
std::string real_path(const std::string& path);

// True when the build under test is the sanitized one: the heavy sweeps
// then take a sample of their points.
bool sanitized();

}  // namespace rel
