// Run control: the command line.
#pragma once

#include <cstdint>
#include <cstdio>

// Parses the whole command line into the settings; returns only when it is
// well formed, else ends the run with `usage`.
void read_parameter(int argc, char** argv);

// Writes the usage text (without a final new line) to `f`.
void print_usage(FILE* f);

// Writes the banner (program line, credits, empty line) to `f`.
void print_banner(FILE* f);

// The usage text that `print_usage` writes: each program's own.
extern const char* usage_text;

// True when `a` is a switch (a slash and a letter) rather than a path.
bool is_switch(const char* a);
// The value of switch `letter` (T, G, F or C) given as `text`, converted as
// the setting holds it (level, frames, frames); nonsense ends with `usage`.
int64_t switch_value(int letter, const char* text);
// Sets the setting of switch `letter` from `text`.
void apply_switch(int letter, const char* text);
// Gives the cut its default (the gap) and ends with `usage` when a setting
// is out of range or no input is named.
void settle_settings();
