// WAVE file I/O: the input readers, the track file writers, the header.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "keldrun.h"

// Little-endian fields, least significant byte first.
inline void write_u16_le(unsigned char* b, uint16_t u) {
  b[0] = static_cast<unsigned char>(u);
  b[1] = static_cast<unsigned char>(u >> 8);
}
inline void write_u32_le(unsigned char* b, uint32_t u) {
  for (int i = 0; i < 4; i++) b[i] = static_cast<unsigned char>(u >> 8 * i);
}
inline uint16_t read_u16_le(const unsigned char* b) {
  return static_cast<uint16_t>(b[0] | b[1] << 8);
}

// The fixed bytes of the canonical header: offset 0, and offsets 8 to 39.
inline constexpr unsigned char riff[4] = {'R', 'I', 'F', 'F'};
inline constexpr unsigned char wavefmt[32] = {'W',  'A',  'V', 'E', 'f', 'm', 't', ' ',  //
                                              16,   0,    0,   0,  // format chunk size
                                              1,    0,    2,   0,  // PCM, 2 channels
                                              0x44, 0xAC, 0,   0,  // 44100 frames per second
                                              0x10, 0xB1, 2,   0,  // 176400 bytes per second
                                              4,    0,    16,  0,  // 4 bytes per frame, 16 bits
                                              'd',  'a',  't', 'a'};
// The two size fields of the canonical header of `frames` frames, at
// offsets 4 and 40 (unsigned 32-bit arithmetic, as the fields hold them).
constexpr uint32_t riff_size(uint32_t frames) {
  return 4 * frames + 36;  // "WAVE" 4 + fmt chunk 24 + data header 8
}
constexpr uint32_t data_size(uint32_t frames) {
  return 4 * frames;
}
// The canonical 44-byte header of a file of `frames` frames.
inline std::array<unsigned char, 44> wave_header(uint32_t frames) {
  std::array<unsigned char, 44> h;
  for (int i = 0; i < 4; i++) h[i] = riff[i];
  write_u32_le(&h[4], riff_size(frames));
  for (int i = 0; i < 32; i++) h[8 + i] = wavefmt[i];
  write_u32_le(&h[40], data_size(frames));
  return h;
}

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

// Writes the name of track `track`'s file at `at` (where its base ends, with
// `room` bytes left): two digits and ".WAV".
void name_track(char* at, size_t room, int32_t track);
// Names track `track` in `outfile`, creates it as `out` and writes the
// header for `frames` frames.
void write_wave_header(int32_t track, uint32_t frames);
// Sets the two size fields of the header of `out` for `frames` frames, in
// place, once what is buffered has gone out.
void patch_wave_sizes(uint32_t frames);
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
    left = static_cast<int16_t>(read_u16_le(b));
    right = static_cast<int16_t>(read_u16_le(b + 2));
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
    write_u16_le(b, static_cast<uint16_t>(left));
    write_u16_le(b + 2, static_cast<uint16_t>(right));
    io::out_len += 4;
  } else {
    write_word(left);
    write_word(right);
  }
}
