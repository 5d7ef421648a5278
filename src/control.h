// Run control: the command line.
#pragma once

#include <cstdint>
#include <cstdio>

// Parses the whole command line into the settings; returns only when it is
// well formed, else ends the run with `usage`.
void read_parameter(int argc, char** argv);

// keldrun's usage text, without a final new line.
extern const char keldrun_usage[];
// Writes the usage text (without a final new line) to `f`.
void print_usage(FILE* f);

// Writes the banner (program line, credits, empty line) to `f`.
void print_banner(FILE* f);

// Sets the setting of switch `letter` from `text`; nonsense ends with `usage`.
void apply_switch(int letter, const char* text);
// Gives the cut its default (the gap) and ends with `usage` when a setting
// is out of range or no input is named.
void settle_settings();
