// The few calls that differ between systems: binary stdin, syncing,
// truncation, file identity, 64-bit positions and writing a whole file.
// Implemented once for POSIX (platform-posix.cpp) and once for Windows
// (platform-win32.cpp); names are UTF-8 on both.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

// What makes two names the same file, and how long it is.
struct file_id {
  uint64_t dev = 0, ino = 0;
  int64_t size = 0;
  bool regular = false;
};

// Opens the null device (/dev/null, NUL) in place of any of the three
// standard streams that is closed.
void open_standard_streams();
// Switches standard input to binary mode (nothing to do on POSIX).
void set_binary_stdin();
// Fills `id` for an open stream or a name; false when that fails.
bool identify(FILE* f, file_id* id);
bool identify(const char* name, file_id* id);
inline bool same_file(const file_id& a, const file_id& b) {
  return a.dev == b.dev && a.ino == b.ino;
}
// True when something exists under `name`.
bool file_exists(const char* name);
// Repositions the stream to byte `pos`; false when it refuses.
bool seek_file(FILE* f, int64_t pos);
// The stream's byte position; negative when unknown.
int64_t tell_file(FILE* f);
// Forces the stream's data to disk; false on failure.
bool sync_file(FILE* f);
// Asks the system to start writing a range of the stream's file out,
// without waiting for it.
void start_writeback(FILE* f, int64_t offset, int64_t length);
// Forces the directory entry of `path` to disk; false on failure. (On
// Windows sync_file has done that already.)
bool sync_dir_of(const char* path);
// Cuts the open stream's file to `len` bytes; false on failure.
bool truncate_open(FILE* f, int64_t len);
// Cuts the existing file `name` to `pos` bytes, in place, never creating it.
// With `expect`, the file must still be that file at that length and `pos`
// must lie within it. Any failure is `truncate_failed`.
void truncate_file(const char* name, int64_t pos, const file_id* expect = nullptr);
// True when the stream is a terminal.
bool is_terminal(FILE* f);
// Drops what the stream has read ahead but not delivered.
void discard_buffered_input(FILE* f);

// Why no new file may take the place of what `id` names: not a regular file
// (a device, a directory, a pipe), or the file `keep` (the input) by another
// name or through a link; "" when it may.
inline std::string unfit(const file_id& id, const file_id* keep) {
  if (!id.regular) return "not a regular file";
  return keep && same_file(id, *keep) ? "it is the input" : "";
}
// The same for whatever lies at `name`: "" also when nothing does, the
// system's reason when it cannot be looked at.
std::string unfit_target(const char* name, const file_id* keep);
// Puts `bytes` in the place of `name` as a whole, or not at all: written to a
// new file under a name of this process's own beside it (created exclusively,
// never through a link), synced, then renamed over `name` when unfit_target
// still allows it. "" when done; else the reason, and nothing is left behind.
std::string write_whole_file(const char* name, const std::string& bytes, const file_id* keep);
