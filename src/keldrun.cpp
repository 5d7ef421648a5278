// KELDRUN: splits a long WAVE recording into one file per track.
#include "keldrun.h"

#include <cstdio>
#include <cstring>

#include "control.h"
#include "core.h"
#include "detect.h"
#include "extract.h"
#include "platform.h"
#include "wave.h"

int main(int argc, char** argv) {
  // A closed descriptor 0, 1 or 2 would be handed to a track file, and the
  // console texts written into it.
  open_standard_streams();
  // Alone on the command line, these two ask about the program itself;
  // anywhere else they are file names like any other argument.
  const bool alone = argc == 2;
  if (alone && std::strcmp(argv[1], "--version") == 0) {
    fputs("keldrun " KELDRUN_VERSION "\n", stdout);
    return 0;
  }
  print_banner(stdout);
  fputc('\n', stdout);
  if (alone && std::strcmp(argv[1], "--help") == 0) {
    print_usage(stdout);
    fputc('\n', stdout);
    return 0;
  }
  read_parameter(argc, argv);
  if (!outfile[0]) std::strcpy(outfile, "TRACK");
  settle_settings();

  if (std::strcmp(infile, "-") == 0) {
    fputs("Input:\t<stdin>\t(Splitting piped data \"on-the-fly\")\n", stderr);
    infile[0] = 0;
  } else {
    fprintf(stderr, "Input:\t%s\n", infile);
  }
  if (std::strcmp(outfile, "-") == 0) {
    fputs("Output file generation disabled (listing tracks only).\n", stderr);
    outfile[0] = 0;
    interactive = false;
  } else {
    fprintf(stderr, "Output:\t%sxx.WAV\n", outfile);
  }
  fprintf(stderr,
          "Using detection threshold: %.3f (normalized)\nUsing minimum gap duration: %.3f "
          "seconds\nDiscarding track end: %.3f seconds\nGlitch removal filter: %d samples\n",
          static_cast<double>(static_cast<float>(threshold) * 3.0518509e-05f),
          static_cast<double>(static_cast<float>(gap) * 2.2675737e-05f),
          static_cast<double>(static_cast<float>(cut) * 2.2675737e-05f), filter);
  threshold *= static_cast<uint32_t>(filter + 1);
  outtrack = outfile + std::strlen(outfile);
  const bool writing = outfile[0] != 0;

  open_input(infile[0] ? infile : nullptr);
  const bool known = identify(wave, &source_id);
  // A named input that can't be repositioned (a FIFO, /dev/stdin) is split
  // as it is read, like a pipe: the in-place splitter would read it to its
  // end and then be unable to go back for the tracks.
  const bool on_the_fly = writing && (!infile[0] || !known || !source_id.regular);
  // Under any of the names (./TRACK02.WAV, a link) that lead to it.
  if (writing && known) check_not_overwritten(outfile, source_id);

  samples = read_wave_header() / 4;
  if (samples == 0) error(invalid_format);
  fprintf(stderr,
          "\nEstimated WAVE data length %u samples, %s\nDetecting track gaps...\n"
          "Track\tStart\t\tEnd\t\tLength\t\tPeak level\n",
          samples, timef(samples));

  int64_t dummy;
  if (find_track(0, &dummy, &dummy) >= 0) error(no_tracks);

  if (on_the_fly) {
    split_track_on_the_fly(1);
    if (input_failed()) error(read_failed);
    if (tracks_written == 0) error(no_tracks);
  } else {
    split_track(1);
    // Every track came out empty: the source is all there is, so keep it.
    if (writing && tracks_written == 0) error(no_tracks);
    close_recording();
    // Only the file this run cut, at the length it left it: anything added
    // to it meanwhile is not ours to delete.
    if (writing && !preserve) delete_source();
  }
  fputs("WAVE data successfully splitted. \n\a", stderr);
  return 0;
}
