// libFuzzer target: the header reader and whole listing runs over arbitrary
// bytes held in memory. Each execution starts from the state the program
// has at its start; a rejected input ends in the throwing `error`.
#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "core.h"
#include "detect.h"
#include "error_throw.h"
#include "extract.h"

namespace {

// Short gaps so that inputs of a few kilobytes hold several tracks; then the
// extremes: no filter and a one-frame gap (a track at every change of level,
// up to "too many"), and the longest filter with the highest threshold.
const settings setups[] = {{10, 1638, 100, 50}, {0, 1, 1, 0}, {1000, 65533, 2000, 0}};

void listing_run(FILE* f, const settings& s) {
  reset_state(s);
  try {
    open_recording(f);
    int64_t dummy;
    if (find_track(0, &dummy, &dummy) < 0) split_track(1);
  } catch (const fuzz_error&) {
    // The program's own refusal: the run would end here with exit code 1.
  }
  close_recording();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // fmemopen refuses a buffer of 0 bytes: an empty input reads as a 1-byte
  // buffer whose byte has been taken.
  static char none;
  FILE* f = size ? fmemopen(const_cast<uint8_t*>(data), size, "rb") : fmemopen(&none, 1, "rb");
  if (!f) return 0;
  // Unlike main's input, buffered: an unbuffered memory stream delivers one
  // byte per call, and the readers' own blocks don't care.
  static char buffer[1 << 16];
  setvbuf(f, buffer, _IOFBF, sizeof buffer);
  // One setup per execution, chosen by the length, so that a mutation that
  // adds or drops a byte also tries the input under another setup.
  if (!size) fgetc(f);
  listing_run(f, setups[size % (sizeof setups / sizeof setups[0])]);
  return 0;
}
