#include <cstdio>
#include <cstdlib>

#include "control.h"
#include "core.h"
#include "keldrun.h"

const char* const err_text[err_count] = {
    "\nInvalid WAVE format. Must be 16-bit stereo 44100 Hz PCM.",
    "\nFile not found.",
    "\nToo long WAVE file.",
    "\nNo tracks detected in the WAVE file.",
    "\nCannot write new WAVE file.",
    "\nFailed to rewind back to the track start.",
    "\nFailed to remove the track from WAVE file.",
    "\nInvalid arguments.",
    "\nCancelled by user.",
    "\nToo many tracks.",
    "\nThe input file would be overwritten by a track file.",
    "\nCannot read the WAVE file.",
    "\nFile name too long.",
};

void error(err code) {
  error(code, keldrun_usage);
}

void error(err code, const char* usage_text) {
  if (code == usage) {
    fputs(usage_text, stdout);
    fputc('\n', stdout);
  }
  fputs(err_text[code], stderr);
  fputs("\n\a", stderr);
  end_run();
}

void end_run() {
  // Whatever was written stays on disk as far as it got; nothing is deleted.
  if (out) fclose(out);
  if (wave) fclose(wave);
  out = wave = nullptr;
  std::exit(1);
}
