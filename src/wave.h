// WAVE file I/O: the input readers, the track file writers, the header.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "keldrun.h"

// The fixed bytes of the canonical header: offset 0, and offsets 8 to 39.
extern const unsigned char riff[4];
extern const unsigned char wavefmt[32];

// Makes `f` the input stream `wave`, with an empty read buffer.
void set_input(FILE* f);
// Opens the file `name` (standard input when null) as the input, unbuffered;
// `not_found` when it can't.
void open_input(const char* name);
// True when the input ended in a read failure, not at the end of the data.
bool input_failed();
// Byte position of the next byte the readers deliver (-1 if unknown).
int64_t input_position();
// Repositions the input; false when the stream refuses.
bool seek_input(int64_t pos);
// Copies up to `n` input bytes into `dst`; returns how many were there.
// Unlike the readers it neither pads nor reports an early end.
size_t read_block(void* dst, size_t n);

// Checks the header; returns the data chunk's size in bytes, or 0 when the
// format is not 16-bit stereo 44100 Hz PCM. Leaves the input at frame 0.
uint32_t read_wave_header();
// Fills in[0..n-1]; bytes past the end of input read as 0xFF.
void read_bytes(int32_t n);
// Reads and discards n bytes; running out of input is `invalid_format`.
void skip_bytes(uint32_t n);
uint32_t read_dword();
int16_t read_word();

// Names track `track` in `outfile`, creates it as `out` and writes the
// header for `frames` frames.
void write_wave_header(int32_t track, uint32_t frames);
void write_bytes(const void* p, int64_t count);
void write_dword(uint32_t u);
void write_word(int16_t s);
// Hands everything buffered for `out` to the system; `write_failed` if it can't.
void flush_out();
// Flushes, syncs and closes `out`, then syncs its directory: once this
// returns, the track file survives a power failure.
void close_out_durably();

// The read and write buffers, exposed for the per-frame fast paths below.
namespace io {
constexpr size_t block = 1 << 16;
extern unsigned char in_buf[block];
extern size_t in_pos, in_len;
extern unsigned char out_buf[block];
extern size_t out_len;
}  // namespace io

// Reads one frame; the fast path of two read_word calls.
inline void read_frame(int16_t& left, int16_t& right) {
  if (io::in_len - io::in_pos >= 4) {
    const unsigned char* b = io::in_buf + io::in_pos;
    left = static_cast<int16_t>(b[0] | b[1] << 8);
    right = static_cast<int16_t>(b[2] | b[3] << 8);
    io::in_pos += 4;
  } else {
    left = read_word();
    right = read_word();
  }
}

// Writes one frame; the fast path of two write_word calls.
inline void write_frame(int16_t left, int16_t right) {
  if (io::block - io::out_len >= 4) {
    unsigned char* b = io::out_buf + io::out_len;
    b[0] = static_cast<unsigned char>(left);
    b[1] = static_cast<unsigned char>(static_cast<uint16_t>(left) >> 8);
    b[2] = static_cast<unsigned char>(right);
    b[3] = static_cast<unsigned char>(static_cast<uint16_t>(right) >> 8);
    io::out_len += 4;
  } else {
    write_word(left);
    write_word(right);
  }
}
