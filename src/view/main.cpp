// keldrun-view: shows a recording's levels and finds the settings that
// split it into the tracks on the sleeve.
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "advise.h"
#include "analysis.h"
#include "control.h"
#include "detect.h"
#include "keldrun.h"
#include "page.h"
#include "platform.h"
#include "wave.h"

static const char view_usage[] =
    "keldrun-view [/T thr][/G gap][/C cut][/F filt] [--tracks N | --lengths m:ss,...]\n"
    "             [-o page.html] infile\n"
    "\n"
    "/T, /G, /C, /F\tThe settings of KELDRUN to show, with the same meaning and\n"
    "\tdefaults (0.05, 2.0, as /G, 10)\n"
    "--tracks N\tThe number of tracks on the sleeve: finds settings that give them\n"
    "--lengths m:ss,...\tThe track lengths on the sleeve: finds settings that\n"
    "\tgive those tracks\n"
    "-o page.html\tThe page to write, default the input's name with .html\n"
    "\t(stdin.html for piped input)\n"
    "infile\tThe original WAVE file (16-bit stereo 44100 Hz PCM),\n"
    "\tuse \"-\" for piped <stdin> input.";

[[noreturn]] static void refuse(const std::string& message) {
  fprintf(stderr, "keldrun-view: %s\n", message.c_str());
  std::exit(1);
}

// "m:ss" or "m:ss.s" in frames; -1 when malformed.
static int64_t length_of(const std::string& t) {
  const size_t colon = t.find(':');
  if (colon == 0 || colon == std::string::npos || colon > 3 || t.size() < colon + 3) return -1;
  for (size_t i = 0; i < t.size(); i++)
    if (i != colon && !std::isdigit(static_cast<unsigned char>(t[i])) &&
        !(t[i] == '.' && i > colon + 2))
      return -1;
  const double s = std::strtod(t.c_str() + colon + 1, nullptr);
  if (s >= 60 || std::strchr(t.c_str() + colon + 1, '.') != std::strrchr(t.c_str(), '.')) return -1;
  return static_cast<int64_t>((std::atoi(t.c_str()) * 60 + s) * 44100);
}

static std::string page_name(const std::string& input) {
  if (input == "-") return "stdin.html";
  std::string name = input;
  const size_t dot = name.rfind('.'), slash = name.rfind('/');
  if (dot != std::string::npos && (slash == std::string::npos || dot > slash)) name.resize(dot);
  return name + ".html";
}

int main(int argc, char** argv) {
  open_standard_streams();
  usage_text = view_usage;
  if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
    fputs("keldrun-view " KELDRUN_VERSION "\n", stdout);
    return 0;
  }
  if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
    fputs("Veldmoor KELDRUN-VIEW - finds the settings that split a recording right\n\n", stdout);
    print_usage(stdout);
    fputc('\n', stdout);
    return 0;
  }
  request r;
  std::string page;
  for (int i = 1; i < argc; i++) {
    const std::string a = argv[i];
    if (is_switch(argv[i])) {
      if (a.size() != 2 || ++i >= argc) error(usage);
      apply_switch(a[1], argv[i]);
      const char letter = static_cast<char>(std::toupper(static_cast<unsigned char>(a[1])));
      if (letter == 'T') r.threshold = argv[i];
      if (letter == 'G') r.gap = argv[i];
      if (letter == 'C') r.cut = argv[i];
    } else if (a == "--tracks" || a == "--lengths" || a == "-o") {
      if (++i >= argc) error(usage);
      const std::string v = argv[i];
      if (a == "-o") {
        page = v;
      } else if (a == "--tracks") {
        char* end;
        const long n = std::strtol(v.c_str(), &end, 10);
        if (v.empty() || *end || n < 1 || n > 99)
          refuse("--tracks \"" + v + "\": the number of tracks must be 1 to 99");
        r.tracks = static_cast<int>(n);
      } else {
        for (size_t at = 0; at <= v.size();) {
          const size_t comma = std::min(v.find(',', at), v.size());
          const std::string entry = v.substr(at, comma - at);
          const int64_t frames = length_of(entry);
          if (frames <= 0) refuse("--lengths entry \"" + entry + "\" is not a length like 3:45");
          r.lengths.push_back(frames);
          at = comma + 1;
        }
        if (r.lengths.size() > 99) refuse("--lengths: more than 99 tracks");
      }
    } else if (!infile[0]) {
      std::strncpy(infile, argv[i], 259);
    } else {
      error(usage);
    }
  }
  if (r.tracks > 0 && !r.lengths.empty()) refuse("give --tracks or --lengths, not both");
  settle_settings();
  r.filter = filter;
  const std::string input = infile;
  r.input = input;
  if (page.empty()) page = page_name(input);

  const bool piped = input == "-";
  open_input(piped ? nullptr : infile);
  file_id id;
  const bool again = !piped && identify(wave, &id) && id.regular;
  samples = read_wave_header() / 4;
  if (samples == 0) error(invalid_format);
  const uint32_t declared = samples;

  std::vector<std::string> texts = threshold_grid();
  texts.push_back(r.threshold);
  // Gaps from 0.3 s are tried, and the user's own.
  const analysis a =
      analyse(declared, {r.filter, 200, 1000}, texts, std::min<uint32_t>(gap, 13230));
  advice v = advise(a, r);
  fclose(wave);
  wave = nullptr;

  fputs(v.report.c_str(), stdout);
  candidate& shown = v.candidates[v.recommended >= 0 ? size_t(v.recommended) : 0];
  fputs(("\n" + command(shown, input) + "\n").c_str(), stdout);
  if (again) {
    // The model is exact by design; the detector itself has the last word.
    open_input(infile);
    samples = read_wave_header() / 4;
    if (samples != declared) error(invalid_format);
    filter = shown.filter;
    threshold = shown.level * static_cast<uint32_t>(shown.filter + 1);
    gap = shown.gap;
    cut = shown.cut;
    const listing real = detector_listing();
    fclose(wave);
    wave = nullptr;
    if (real.rows() != shown.table.rows() || real.too_many != shown.table.too_many ||
        real.no_sound != shown.table.no_sound) {
      fprintf(stderr, "keldrun-view: its model and the detector disagree for %s (a bug)\n",
              switches(shown).c_str());
      return 1;
    }
    shown.verified = true;
    fputs(real.rows().c_str(), stdout);
    if (real.no_sound) fputs("(no tracks: keldrun says \"No tracks detected\")\n", stdout);
    if (real.too_many) fputs("(and then keldrun stops: more than 99 tracks)\n", stdout);
    if (real.tracks.empty() && !real.no_sound && !real.too_many)
      fputs("(no rows: every track is shorter than the cut)\n", stdout);
  } else {
    // Never a table the detector did not make: keldrun can list it.
    const std::string listing = command(shown, "-");
    fputs(("The input was piped, so its table is left to keldrun: check it with\n" +
           listing.substr(0, listing.size() - 5) + "-\n")
              .c_str(),
          stdout);
  }
  if (!shown.note.empty()) fputs(("\n" + shown.note + "\n").c_str(), stdout);
  if (!write_page(page, page_data(input, a, v))) refuse("cannot write the page " + page);
  fprintf(stderr, "Page: %s\n", page.c_str());
  return 0;
}
