// keldrun-view: shows a recording's levels and finds the settings that
// split it into the tracks on the sleeve.
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>
#include <utility>

#include "advise.h"
#include "analysis.h"
#include "boundaries.h"
#include "core.h"
#include "labels.h"
#include "page.h"
#include "platform.h"
#include "report.h"
#include "verify.h"

static const char view_usage[] =
    "keldrun-view [/T thr][/G gap][/C cut][/F filt] [--tracks N | --lengths m:ss,...]\n"
    "             [-o page.html] [--labels labels.txt] infile\n"
    "\n"
    "/T, /G, /C, /F\tThe settings of KELDRUN to show, with the same meaning and\n"
    "\tdefaults (0.05, 2.0, as /G, 10)\n"
    "--tracks N\tThe number of tracks on the sleeve: finds where they begin and\n"
    "\tend, and the command that splits them there\n"
    "--lengths m:ss,...\tThe track lengths on the sleeve: the same, each track\n"
    "\tnear where its length puts it\n"
    "-o page.html\tThe page to write, default the input's name with .html\n"
    "\t(stdin.html for piped input)\n"
    "--labels labels.txt\tThe tracks recommended, as Audacity labels for\n"
    "\tkeldrun-cut; default the page's name with .txt\n"
    "infile\tThe original WAVE file (16-bit stereo 44100 Hz PCM),\n"
    "\tuse \"-\" for piped <stdin> input.";

// keldrun-view's own refusals, each the index of its message.
enum refusal {
  bad_count,
  bad_length,
  too_many_lengths,
  count_and_lengths,
  given_twice,
  no_page_name,
  no_labels_name,
  page_failed,
  labels_failed,
  changed,
  disagreement,
  labels_disagree
};

static const char* const refusal_text[] = {
    "--tracks \"%s\": the number of tracks must be 1 to 99",
    "--lengths entry \"%s\" is not a length like 3:45",
    "--lengths: more than 99 tracks",
    "give --tracks or --lengths, not both",
    "%s is given twice",
    "-o \"\": the page needs a name",
    "--labels \"\": the label file needs a name",
    "cannot write the page %s",
    "cannot write the labels %s",
    "the recording %s changed during the run",
    "its model and the detector disagree for %s (a bug)",
    "the labels %s read back as other tracks than the plan's (a bug)",
};

// Prints the refusal's message about `what` and ends the run as the core's
// errors end it.
[[noreturn]] static void error(refusal code, const std::string& what = "") {
  fputs("keldrun-view: ", stderr);
  fprintf(stderr, refusal_text[code], what.c_str());
  fputc('\n', stderr);
  end_run();
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

// The sleeve's track count, from its switch's value.
static int count_of(const std::string& v) {
  char* end;
  const long n = std::strtol(v.c_str(), &end, 10);
  if (v.empty() || *end || n < 1 || n > 99) error(bad_count, v);
  return static_cast<int>(n);
}

// The sleeve's track lengths in frames, from "m:ss,m:ss,...".
static std::vector<int64_t> lengths_of(const std::string& v) {
  std::vector<int64_t> lengths;
  for (size_t at = 0; at <= v.size();) {
    const size_t comma = std::min(v.find(',', at), v.size());
    const std::string entry = v.substr(at, comma - at);
    const int64_t frames = length_of(entry);
    if (frames <= 0) error(bad_length, entry);
    lengths.push_back(frames);
    at = comma + 1;
  }
  if (lengths.size() > 99) error(too_many_lengths);
  return lengths;
}

// What the command line asks for: the request, with keldrun's settings
// settled as keldrun settles them, the input and the page to write.
struct order {
  request r;
  std::string input, page, labels;
};

static order read_command_line(int argc, char** argv) {
  order o;
  std::set<std::string> given;
  for (int i = 1; i < argc; i++) {
    const std::string a = argv[i];
    if (is_switch(argv[i])) {
      if (a.size() != 2 || ++i >= argc || !set_switch(o.r.s, a[1], argv[i]))
        error(usage, view_usage);
    } else if (a == "--tracks" || a == "--lengths" || a == "-o" || a == "--labels") {
      if (++i >= argc) error(usage, view_usage);
      if (!given.insert(a).second) error(given_twice, a);
      if (a == "-o" && !*argv[i]) error(no_page_name);
      if (a == "--labels" && !*argv[i]) error(no_labels_name);
      if (a == "-o") o.page = argv[i];
      if (a == "--labels") o.labels = argv[i];
      if (a == "--tracks") o.r.tracks = count_of(argv[i]);
      if (a == "--lengths") o.r.lengths = lengths_of(argv[i]);
    } else if (o.input.empty()) {
      if (a.size() > 259) error(name_too_long, view_usage);
      o.input = a;
    } else {
      error(usage, view_usage);
    }
  }
  if (o.r.tracks > 0 && !o.r.lengths.empty()) error(count_and_lengths);
  if (!settle(o.r.s) || o.input.empty()) error(usage, view_usage);
  if (o.page.empty()) o.page = page_name(o.input);
  if (o.labels.empty()) o.labels = labels_name(o.page);
  return o;
}

// Whether the names lead to one file: the same file now, or the same name.
static bool same_target(const std::string& x, const std::string& y) {
  file_id a, b;
  if (identify(x.c_str(), &a) && identify(y.c_str(), &b)) return same_file(a, b);
  return std::filesystem::path(x).lexically_normal() == std::filesystem::path(y).lexically_normal();
}

// The tracks of the recommendation, as the label file holds them.
static std::vector<track> recommended_tracks(const advice& v) {
  if (!v.cut()) return v.shown().table.tracks;
  std::vector<track> tracks;
  for (const side_track& t : v.plan->sides.tracks)
    tracks.push_back({static_cast<int>(tracks.size()) + 1, t.start, t.end, 0});
  return tracks;
}

// A report that never reached its reader is a failure, however the run ends.
static void close_stdout() {
  static bool closed = false;
  if (std::exchange(closed, true)) return;
  errno = 0;
  const bool failed = std::fflush(stdout) != 0 || std::ferror(stdout);
  const int flushing = errno;
  if (std::fclose(stdout) == 0 && !failed) return;
  const int why = flushing ? flushing : errno ? errno : EIO;
  fprintf(stderr, "keldrun-view: cannot write the report: %s\n", std::strerror(why));
  std::_Exit(1);
}

int main(int argc, char** argv) {
  open_standard_streams();
  std::atexit(close_stdout);
  if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
    fputs("keldrun-view " KELDRUN_VERSION "\n", stdout);
    return 0;
  }
  if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
    fputs("Veldmoor KELDRUN-VIEW - finds the settings that split a recording right\n\n", stdout);
    fputs(view_usage, stdout);
    fputc('\n', stdout);
    return 0;
  }
  const order o = read_command_line(argc, argv);
  const std::string& input = o.input;
  const recording rec = open_recording(input.c_str());
  const bool again = input != "-" && rec.known && rec.id.regular;
  const file_id* input_id = rec.known ? &rec.id : nullptr;
  // Refused before the work, and again when written.
  const auto check_page = [&](const std::string& why) {
    if (!why.empty()) error(page_failed, o.page + ": " + why);
  };
  const auto check_labels = [&](const std::string& why) {
    if (!why.empty()) error(labels_failed, o.labels + ": " + why);
  };
  check_page(unfit_target(o.page.c_str(), input_id));
  check_labels(unfit_target(o.labels.c_str(), input_id));
  if (same_target(o.page, o.labels)) check_labels("it is the page");
  std::vector<std::string> texts = threshold_grid();
  texts.push_back(switch_text('T', o.r.s.level));
  // Gaps from 0.3 s are tried, and the user's own; the plans' envelope is
  // collected on the way.
  envelope env;
  const analysis a = analyse(rec.frames, {o.r.s.filter, 200, 1000}, texts,
                             std::min<uint32_t>(o.r.s.gap, 13230), &env);
  close_recording();
  advice v = advise(a, env, o.r);
  // The model is exact by design; the program of the command printed has
  // the last word, listing the recording again (keldrun-cut reading back
  // the labels written), and keldrun's detector tells of an early end as
  // keldrun does. The labels hold the tracks of the command, as listed.
  std::string labels;
  bool told = false;
  if (v.cut()) {
    labels = label_text(recommended_tracks(v));
    const verdict said = again ? verify(input, rec, labels, *v.plan) : verdict::agrees;
    if (said == verdict::changed) error(changed, input);
    if (said == verdict::disagrees) error(labels_disagree, o.labels);
  } else {
    candidate& shown = v.shown();
    const verdict said = again ? verify(input, rec, shown) : verdict::agrees;
    if (said == verdict::changed) error(changed, input);
    if (said == verdict::disagrees) error(disagreement, switches(shown));
    told = again && !shown.table.too_many;
    labels = label_text(recommended_tracks(v));
  }
  if (a.early_end && !told) fputs("\nUnexpected end of WAVE data.\n", stderr);

  const std::string margin = v.cut() ? "" : margin_text(a, v.shown());
  fputs((report(a, o.r, v, input) + "\n" + recommended_command(v, input, o.labels) + "\n" +
         table_text(v, o.labels) + (margin.empty() ? "" : "\n" + margin + "\n"))
            .c_str(),
        stdout);
  close_stdout();  // the report is complete: not a page without it
  check_page(write_page(o.page, page_data(input, o.labels, a, o.r, v), input_id));
  check_labels(write_whole_file(o.labels.c_str(), labels, input_id));
  fprintf(stderr, "Page: %s\nLabels: %s\n", o.page.c_str(), o.labels.c_str());
  return 0;
}
