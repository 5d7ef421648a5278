#include "wave.h"

#include <cstring>

#include "platform.h"

FILE* wave = nullptr;
FILE* out = nullptr;
unsigned char in[4];
char* outtrack = nullptr;  // where the track number goes in `outfile`

namespace io {
unsigned char in_buf[block];
size_t in_pos = 0, in_len = 0;
unsigned char out_buf[block];
size_t out_len = 0;
}  // namespace io

using namespace io;

// Set once the input has reported its end (or a read failure): from then on
// every byte reads as missing, even if a terminal would deliver more.
static bool in_eof = false;
// Set when that end was a read failure rather than the end of the data.
static bool in_failed = false;

void set_input(FILE* f) {
  wave = f;
  in_pos = in_len = 0;
  in_eof = in_failed = false;
}

void open_input(const char* name) {
  FILE* f = stdin;
  if (name) {
    f = fopen(name, "rb");
    if (!f) error(not_found);
  } else {
    set_binary_stdin();
  }
  set_input(f);
  setvbuf(wave, nullptr, _IONBF, 0);  // the readers buffer in blocks
}

bool input_failed() {
  return in_failed;
}

// Notes that the input has ended, and whether it failed.
static void input_ended() {
  in_eof = true;
  in_failed = in_failed || ferror(wave);
}

// Refills the read buffer; false at the end of input.
static bool refill() {
  if (in_eof) return false;
  in_pos = 0;
  in_len = fread(in_buf, 1, block, wave);
  if (in_len == 0) input_ended();
  return in_len != 0;
}

int64_t input_position() {
  const int64_t pos = tell_file(wave);
  return pos < 0 ? -1 : pos - static_cast<int64_t>(in_len - in_pos);
}

bool seek_input(int64_t pos) {
  in_pos = in_len = 0;
  in_eof = in_failed = false;
  clearerr(wave);  // and so does the stream: a failure before is no failure of what follows
  return seek_file(wave, pos);
}

size_t read_block(void* dst, size_t n) {
  unsigned char* d = static_cast<unsigned char*>(dst);
  size_t got = in_len - in_pos < n ? in_len - in_pos : n;
  std::memcpy(d, in_buf + in_pos, got);
  in_pos += got;
  while (got < n && !in_eof) {
    const size_t r = fread(d + got, 1, n - got, wave);
    // A read that fails after a part (of a pipe's) has come ends the input
    // too: what a retry would bring need not follow what came.
    if (r == 0 || ferror(wave)) input_ended();
    got += r;
  }
  return got;
}

void read_bytes(int32_t n) {
  for (int32_t i = 0; i < n; i++) {
    if (in_pos == in_len && !refill()) {
      if (samples != 0) {
        fputs("\nUnexpected end of WAVE data.\n", stderr);
        samples = 0;
      }
      in[i] = 0xFF;
    } else {
      in[i] = in_buf[in_pos++];
    }
  }
}

void skip_bytes(uint32_t n) {
  while (n != 0) {
    if (in_pos == in_len && !refill()) error(invalid_format);
    const size_t step = in_len - in_pos < n ? in_len - in_pos : n;
    in_pos += step;
    n -= static_cast<uint32_t>(step);
  }
}

uint32_t read_dword() {
  read_bytes(4);
  return in[0] | in[1] << 8 | in[2] << 16 | static_cast<uint32_t>(in[3]) << 24;
}

int16_t read_word() {
  read_bytes(2);
  return static_cast<int16_t>(read_u16_le(in));
}

static bool read_id(const char* id) {
  read_bytes(4);
  return std::memcmp(in, id, 4) == 0;
}

// Skips chunks until one named `id`; its size field is next.
static void walk_to_chunk(const char* id) {
  while (!read_id(id)) {
    const uint32_t size = read_dword();
    skip_bytes(size);
    // The pad byte is skipped on its own: size + 1 would wrap to 0 for a
    // size of 0xFFFFFFFF, which is also what an exhausted input reads as.
    if (size & 1) skip_bytes(1);
  }
}

uint32_t read_wave_header() {
  if (!read_id("RIFF")) return 0;
  skip_bytes(4);  // RIFF size: the data chunk's own size is what counts
  if (!read_id("WAVE")) return 0;
  walk_to_chunk("fmt ");
  if (read_dword() != 16) return 0;
  if (read_dword() != 0x00020001) return 0;  // PCM, 2 channels
  if (read_dword() != 44100) return 0;
  skip_bytes(6);  // bytes per second and per frame are implied
  if (read_word() != 16) return 0;
  walk_to_chunk("data");
  return read_dword();
}

// Bytes handed to the system since the disk was last asked to start on them.
static size_t unsent = 0;

// Writes straight to the (unbuffered) track file stream. Every few MiB the
// disk is set to work in the background, so that the sync before the source
// is cut finds little left to do.
static void hand_over(const void* p, size_t n) {
  if (fwrite(p, 1, n, out) != n) {
    out_len = 0;
    error(write_failed);
  }
  unsent += n;
  if (unsent >= (8 << 20)) {
    start_writeback(out, tell_file(out) - static_cast<int64_t>(unsent),
                    static_cast<int64_t>(unsent));
    unsent = 0;
  }
}

void flush_out() {
  if (out_len != 0) hand_over(out_buf, out_len);
  out_len = 0;
}

void write_bytes(const void* p, int64_t count) {
  if (count <= 0) return;
  const size_t n = static_cast<size_t>(count);
  if (n > block - out_len) {
    flush_out();
    if (n >= block) {
      hand_over(p, n);
      return;
    }
  }
  std::memcpy(out_buf + out_len, p, n);
  out_len += n;
}

void write_dword(uint32_t u) {
  unsigned char b[4];
  write_u32_le(b, u);
  write_bytes(b, 4);
}

void write_word(int16_t s) {
  unsigned char b[2];
  write_u16_le(b, static_cast<uint16_t>(s));
  write_bytes(b, 2);
}

void name_track(char* at, size_t room, int32_t track) {
  snprintf(at, room, "%2.2d.WAV", track);
}

void write_wave_header(int32_t track, uint32_t frames) {
  name_track(outtrack, static_cast<size_t>(outfile + sizeof outfile - outtrack), track);
  out_len = unsent = 0;
  out = fopen(outfile, "wb");
  if (!out) error(write_failed);
  // Our own buffer does the buffering; the stream passes blocks straight on.
  setvbuf(out, nullptr, _IONBF, 0);
  const auto header = wave_header(frames);
  write_bytes(header.data(), header.size());
}

// Writes `u` at byte `pos` of `out`, straight through.
static void put_u32_at(int64_t pos, uint32_t u) {
  if (!seek_file(out, pos)) error(write_failed);
  write_dword(u);
  flush_out();
}

void patch_wave_sizes(uint32_t frames) {
  flush_out();
  put_u32_at(4, riff_size(frames));
  put_u32_at(40, data_size(frames));
}

void close_out_durably() {
  flush_out();
  if (fflush(out) != 0 || !sync_file(out)) error(write_failed);
  FILE* f = out;
  out = nullptr;
  if (fclose(f) != 0) error(write_failed);
  if (!sync_dir_of(outfile)) error(write_failed);
}
