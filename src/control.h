// Run control: the command line.
#pragma once

#include <cstdio>

// Parses the whole command line into the settings; returns only when it is
// well formed, else ends the run with `usage`.
void read_parameter(int argc, char** argv);

// Writes the usage text (without a final new line) to `f`.
void print_usage(FILE* f);

// Writes the banner (program line, credits, empty line) to `f`.
void print_banner(FILE* f);
