// keldrun-cut: splits a recording into the tracks that a plan file lists
// (Audacity labels or a CUE sheet), with keldrun's guarantees and texts: a
// file in place, back to front; piped input front to back, as it arrives.
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <variant>
#include <vector>

#include "core.h"
#include "detect.h"
#include "list.h"
#include "plan.h"
#include "platform.h"

static const char cut_usage[] =
    "KELDRUN-CUT [/I][/N][/P] plan infile [outbase]\n"
    "\n"
    "/I\tRuns without questions (non-interactive)\n"
    "/N\tNormalizes the volume of the tracks when used with /I\n"
    "/P\tPreserves original WAVE file (requires more disk space)\n"
    "plan\tThe tracks to cut: Audacity labels (regions or points) or a CUE "
    "sheet\n" KELDRUN_USAGE_FILES;

// What the command line asks for.
struct order {
  bool interactive = true, normalize = false, preserve = false;
  std::string plan, input, base = "TRACK";  // base "-": list only
};

static order read_command_line(int argc, char** argv) {
  order o;
  std::vector<std::string> names;  // the plan, the input, the base
  for (int i = 1; i < argc; i++) {
    const char* a = argv[i];
    if (is_switch(a)) {
      const int letter = std::strlen(a) == 2 ? std::toupper(static_cast<unsigned char>(a[1])) : 0;
      if (letter == 'I') {
        o.interactive = false;
      } else if (letter == 'N') {
        o.normalize = true;
      } else if (letter == 'P') {
        o.preserve = true;
      } else {
        error(usage, cut_usage);
      }
    } else if (names.size() == 3) {
      error(usage, cut_usage);
    } else {
      // A name cut to fit would name another file: the one to split or cut.
      if (std::strlen(a) > (names.size() == 2 ? 253u : 259u)) error(name_too_long, cut_usage);
      names.push_back(a);
    }
  }
  if (names.size() < 2) error(usage, cut_usage);
  o.plan = names[0], o.input = names[1];
  if (names.size() == 3) o.base = names[2];
  return o;
}

// Ends the run on what is wrong with the plan `name`.
[[noreturn]] static void refuse(const plan_error& e, const std::string& name) {
  fprintf(stderr, "\n%s\n\a", describe(e, name).c_str());
  end_run();
}

// The text of the plan `name`. A plan is a few KB: one over 1 MiB is some
// other file.
static std::string plan_text(const std::string& name) {
  constexpr size_t most = 1 << 20;
  FILE* f = std::fopen(name.c_str(), "rb");
  if (!f) refuse({0, std::string("the plan cannot be read: ") + std::strerror(errno)}, name);
  std::string text(most + 1, '\0');
  text.resize(std::fread(text.data(), 1, text.size(), f));
  const bool failed = std::ferror(f);
  std::fclose(f);
  if (failed) refuse({0, "the plan cannot be read"}, name);
  if (text.size() > most)
    refuse({0, "the plan is over 1 MiB; a plan is a few lines of text"}, name);
  return text;
}

// The tracks after the last that the data reaches were split by an earlier
// run, which a re-run after an interruption finds done: a file of theirs
// that is not there is said, since nothing can bring it back.
static void warn_missing(const plan& p, const listing& l, const std::string& base) {
  for (int n = l.tracks.back().number + 1; n <= static_cast<int>(p.tracks.size()); n++) {
    const std::string name = track_file_name(base.c_str(), n);
    if (!file_exists(name.c_str()))
      fprintf(stderr, "Track %d lies beyond the end of the data, and %s is not there.\n", n,
              name.c_str());
  }
}

// Lists the tracks, then, unless listing only and once confirmed, writes
// them from the last to the first, cutting each from the end of the source
// once its file is durable; the source goes at the end unless preserved.
static void split_in_place(const plan& p, const order& o, const recording& rec) {
  const bool writing = o.base != "-";
  // Every cut is at a byte position worked out from the data's own.
  if (writing && rec.data_offset < 0) error(rewind_failed);
  const listing l = pass_plan(
      p, true, [](int, int64_t first, int64_t frames) { return read_frames(first, frames, true); });
  // Nothing to write: the source is all there is, so it stays.
  if (l.tracks.empty()) error(no_tracks);
  if (!writing) return close_recording();
  warn_missing(p, l, o.base);
  const bool normalizing = confirm_split(o.interactive, o.normalize);
  for (auto t = l.tracks.rbegin(); t != l.tracks.rend(); ++t) {
    const int64_t first_byte = rec.data_offset + 4 * t->start;
    // Track 1 stays in the source, which goes as a whole at the end.
    write_track(o.base.c_str(),
                {t->number, first_byte, t->start, t->end - t->start, static_cast<uint16_t>(t->peak),
                 normalizing, o.preserve || t->number == 1 ? -1 : first_byte});
  }
  close_recording();
  if (!o.preserve) delete_source();
}

// Writes each track as it arrives; the frames between them are dropped.
static void split_piped(const plan& p, const std::string& base) {
  const listing l = pass_plan(p, true, [&base](int number, int64_t first, int64_t frames) {
    return pipe_track(base.c_str(), number, first, frames);
  });
  if (l.tracks.empty()) error(no_tracks);
  warn_missing(p, l, base);
}

int main(int argc, char** argv) {
  // A closed descriptor 0, 1 or 2 would be handed to a track file, and the
  // console texts written into it.
  open_standard_streams();
  const bool alone = argc == 2;
  if (alone && std::strcmp(argv[1], "--version") == 0) {
    fputs("keldrun-cut " KELDRUN_VERSION "\n", stdout);
    return 0;
  }
  fputs("\rVeldmoor KELDRUN-CUT - Disk space saving WAVE file splitter\n", stdout);
  fputs("Version " KELDRUN_VERSION ", splits at the tracks of a plan, in place, back to front\n\n",
        stdout);
  if (alone && std::strcmp(argv[1], "--help") == 0) {
    fputs(cut_usage, stdout);
    fputc('\n', stdout);
    return 0;
  }
  const order o = read_command_line(argc, argv);
  const bool piped = o.input == "-", writing = o.base != "-";
  fprintf(stderr, "Plan:\t%s\n", o.plan.c_str());
  if (piped)
    fputs("Input:\t<stdin>\t(Splitting piped data \"on-the-fly\")\n", stderr);
  else
    fprintf(stderr, "Input:\t%s\n", o.input.c_str());
  if (writing)
    fprintf(stderr, "Output:\t%sxx.WAV\n", o.base.c_str());
  else
    fputs("Output file generation disabled (listing tracks only).\n", stderr);

  const std::string text = plan_text(o.plan);
  const recording rec = open_recording(o.input.c_str());
  // Under any of the names (./TRACK02.WAV, a link) that lead to it.
  if (writing && rec.known) check_not_overwritten(o.base.c_str(), rec.id);
  fprintf(stderr, "\nEstimated WAVE data length %u samples, %s\n", rec.frames, timef(rec.frames));
  // Checked against the length the header declares, so that the same plan
  // holds for a source that an interrupted run has cut.
  const auto read = read_plan(text, rec.frames);
  if (const auto* e = std::get_if<plan_error>(&read)) refuse(*e, o.plan);
  fputs("Reading the tracks of the plan...\nTrack\tStart\t\tEnd\t\tLength\t\tPeak level\n", stderr);
  // A named input that can't be repositioned (a FIFO, /dev/stdin) is split
  // as it is read, like a pipe.
  if (writing && (piped || !rec.known || !rec.id.regular))
    split_piped(std::get<plan>(read), o.base);
  else
    split_in_place(std::get<plan>(read), o, rec);
  fputs("WAVE data successfully splitted. \n\a", stderr);
  return 0;
}
