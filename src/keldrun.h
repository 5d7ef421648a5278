// What crosses modules: the settings, the stream state and the one fatal exit.
#pragma once

#include <cstdint>
#include <cstdio>

// Error codes, each the index of its message in the table `err_text`.
enum err {
  invalid_format,
  not_found,
  too_long,
  no_tracks,
  write_failed,
  rewind_failed,
  truncate_failed,
  usage,
  interrupted,
  too_many_tracks,
  input_overwritten,
  read_failed,
  name_too_long,
  err_count
};

// Message of each error code, indexed by the code.
extern const char* const err_text[err_count];

// Prints the code's message (and the usage text for `usage`), closes the
// streams and ends the process with exit code 1.
[[noreturn]] void error(err code);

// Settings, filled from the command line.
extern bool interactive;
extern bool normalize;
extern bool preserve;
extern int32_t filter;
extern uint32_t threshold;
extern uint32_t gap;
extern int32_t cut;
extern char infile[260];
extern char outfile[260];

// Stream state.
extern FILE* wave;
extern FILE* out;
extern unsigned char in[4];
extern char* outtrack;
extern uint32_t sample;
extern uint32_t samples;
