#include "control.h"

#include <cctype>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "core.h"
#include "keldrun.h"
#include "platform.h"

bool interactive = true;    // questions are asked; /I clears it
bool normalize = false;     // /N
bool preserve = false;      // /P: the source is never cut nor deleted
int32_t filter = 10;        // frames: the window holds filter + 1 frames
uint32_t threshold = 1638;  // level: 0.05 of 32767; later times (filter + 1)
uint32_t gap = 88200;       // frames: 2.0 s at 44100 Hz
int32_t cut = -1;           // frames; negative means "as long as the gap"
char infile[260];           // "-" for standard input
char outfile[260];          // base name, then the whole track file name

const char keldrun_usage[] =
    "KELDRUN [/I][/N][/P][/T thr][/G gap][/C cut][/F filt] infile [outbase]\n"
    "\n"
    "/I\tRuns without questions (non-interactive)\n"
    "/N\tNormalizes the volume of the tracks when used with /I\n"
    "/P\tPreserves original WAVE file (requires more disk space)\n"
    "/T thr\tSets the threshold of the track gap detection (normalized, 0...1),\n"
    "\tdefault 0.05\n"
    "/G gap\tSets the minimum length of the track gap (seconds), default 2.0\n"
    "/C cut\tDetermines the amount of the track end to discard (seconds),\n"
    "\tsame as /G by default\n"
    "/F filt\tSets the length of the filter for crack removal (samples, 0...1000),\n"
    "\tdefault 10\n" KELDRUN_USAGE_FILES;

void print_usage(FILE* f) {
  fputs(keldrun_usage, f);
}

void print_banner(FILE* f) {
  fputs("\rVeldmoor KELDRUN - Disk space saving WAVE file splitter\n", f);
  fputs("Version " KELDRUN_VERSION ", splits record sides and tapes in place, back to front\n", f);
}

// Truncates v toward zero into [lo, hi]; a value outside it (or not finite)
// cannot mean anything sensible, so there is none.
static std::optional<int64_t> checked_trunc(double v, double lo, double hi) {
  if (!std::isfinite(v) || v <= lo - 1 || v >= hi + 1) return std::nullopt;
  return static_cast<int64_t>(v);
}

// Switches begin with a slash, and so do absolute paths: a longer argument
// that goes on into a directory, or names an existing file, is a path
// (/home/me/side.wav, /dev/fd/63 from a shell's process substitution).
static bool is_path(const char* a) {
  return std::strlen(a) > 2 && (std::strchr(a + 1, '/') || file_exists(a));
}

bool is_switch(const char* a) {
  return a[0] == '/' && !is_path(a);
}

// /T and /G wrap negative values modulo 2^32; the range checks decide.
static std::optional<int64_t> wrapped(std::optional<int64_t> v) {
  return v ? std::optional<int64_t>(static_cast<uint32_t>(*v)) : v;
}

std::optional<int64_t> switch_value(int letter, const char* text) {
  const double v = std::strtod(text, nullptr);
  constexpr double i64 = 9223372036854775807.0;
  switch (std::toupper(letter)) {
    case 'T':
      return wrapped(checked_trunc(v * 32767, -i64, i64));
    case 'G':
      return wrapped(checked_trunc(v * 44100, -i64, i64));
    case 'F':
      return checked_trunc(v, INT32_MIN, INT32_MAX);
    case 'C':
      return checked_trunc(v * 44100, INT32_MIN, INT32_MAX);
  }
  return std::nullopt;
}

bool set_switch(settings& s, int letter, const char* text) {
  const std::optional<int64_t> v = switch_value(letter, text);
  if (!v) return false;
  switch (std::toupper(letter)) {
    case 'T':
      s.level = static_cast<uint32_t>(*v);
      break;
    case 'G':
      s.gap = static_cast<uint32_t>(*v);
      break;
    case 'F':
      s.filter = static_cast<int32_t>(*v);
      break;
    default:
      s.cut = static_cast<int32_t>(*v);
  }
  return true;
}

bool settle(settings& s) {
  if (s.cut < 0) s.cut = static_cast<int32_t>(s.gap);
  return s.filter >= 0 && s.filter <= 1000 && s.level != 0 && s.level < 0xFFFE && s.gap != 0 &&
         s.cut >= 0;
}

// keldrun's settings as the command line has given them so far.
static settings given() {
  return {filter, threshold, gap, cut};
}

void apply_switch(int letter, const char* text) {
  settings s = given();
  if (!set_switch(s, letter, text)) error(usage);
  filter = s.filter, threshold = s.level, gap = s.gap, cut = s.cut;
}

void settle_settings() {
  settings s = given();
  const bool in_range = settle(s);
  cut = s.cut;
  if (!infile[0] || !in_range) error(usage);
}

void read_parameter(int argc, char** argv) {
  for (int i = 1; i < argc; i++) {
    const char* a = argv[i];
    if (is_switch(a)) {
      if (std::strlen(a) != 2) error(usage);
      const int letter = std::toupper(static_cast<unsigned char>(a[1]));
      if (letter == 'I') {
        interactive = false;
      } else if (letter == 'N') {
        normalize = true;
      } else if (letter == 'P') {
        preserve = true;
      } else {
        // The next argument is the value, whatever it looks like.
        if (++i >= argc) error(usage);
        apply_switch(letter, argv[i]);
      }
    } else if (!infile[0]) {
      // A name cut to fit would name another file: the one to split or cut.
      if (std::strlen(a) > 259) error(name_too_long);
      std::strncpy(infile, a, 259);
    } else if (!outfile[0]) {
      if (std::strlen(a) > 253) error(name_too_long);
      std::strncpy(outfile, a, 253);
    } else {
      error(usage);
    }
  }
}
