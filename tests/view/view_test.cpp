// keldrun-view: its model of the track finder against the track finder, and
// the program end to end.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <random>

#include "analysis.h"
#include "boundaries.h"
#include "core.h"
#include "helpers.h"
#include "labels.h"
#include "plan.h"
#include "quote.h"
#include "sides.h"
#include "verify.h"

namespace {

// A side of steady stretches at levels around the thresholds tried, with
// clicks; sometimes starting with sound, sometimes ending early, sometimes
// with more than 99 tracks.
std::string random_side(std::mt19937& rng, int round, int lead) {
  static const int amps[] = {0, 15, 16, 17, 154, 155, 300, 1638, 1639, 9000, 32767};
  std::string r;
  const auto frame = [&](int16_t l, int16_t rt) {
    r += th::u16(static_cast<uint16_t>(l)) + th::u16(static_cast<uint16_t>(rt));
  };
  // Sound about as far in as the filter is long, where the first start is
  // clamped at frame 0.
  if (round % 2 == 0) r = th::frames("s" + std::to_string(std::max(lead, 0)).append(" l9000:3"));
  const int segments = round % 4 == 1 ? 230 : 3 + static_cast<int>(rng() % 40);
  for (int i = 0; i < segments; i++) {
    const int amp = amps[i % 2 ? rng() % 11 : rng() % 4];
    for (uint32_t k = 0, n = 1 + rng() % (i % 2 ? 1500 : 3000); k < n; k++) {
      auto one = [&] {
        const int v = amp - static_cast<int>(rng() % (amp / 8 + 1));
        return static_cast<int16_t>(rng() % 2 ? v : -v);
      };
      if (rng() % 2000 == 0)
        frame(-32768, 0);  // a click
      else
        frame(one(), one());
    }
  }
  if (round % 3 != 2) return th::wave(r);
  // Declared longer than it is, with part of a frame at the end.
  return th::wave(r, static_cast<int64_t>(r.size()) + 4000) + std::string(round % 4, '\x7f');
}

using ViewModel = th::VectorPath;
INSTANTIATE_TEST_SUITE_P(Paths, ViewModel, testing::Bool(), th::path_name);

TEST_P(ViewModel, ListsExactlyWhatTheDetectorLists) {
  std::mt19937 rng(7);
  const std::vector<std::string> grid = threshold_grid();
  size_t given_up = 0;
  for (int round = 0; round < 48; round++) {
    const int user_filter = std::vector<int>{0, 1, 10, 37, 1000}[round % 5];
    const std::string wav = random_side(rng, round, user_filter - 1 + round % 3);
    const uint32_t frames = open_recording(th::memfile(wav)).frames;
    // Short gaps make the blocks shorter: down to 128 frames (for 10 ms).
    // Sometimes room for a few runs only: the settings with the most give
    // theirs up.
    const uint32_t shortest = std::vector<uint32_t>{511, 511, 60, 3}[round % 4];
    const size_t budget = round % 4 == 3 ? 60 : run_budget;
    const analysis a = analyse(frames, {user_filter, 50, 200}, grid, shortest, nullptr, budget);
    close_recording();
    size_t kept = 0;
    for (const detection& d : a.found) kept += d.runs.size(), given_up += !d.complete;
    EXPECT_LE(kept, budget);
    for (int k = 0; k < 8; k++) {
      const detection& d =
          a.found[k == 0 ? 0 : rng() % a.found.size()];  // first: the user's filter
      // Half the time a gap just as long as a silence, or one step longer.
      uint32_t g = static_cast<uint32_t>(a.min_gap()) + rng() % 4000;
      for (const quiet_run& r : d.runs)
        if (r.length() >= a.min_gap() && rng() % 3 == 0)
          g = static_cast<uint32_t>(r.length() + k % 2);
      const int32_t c = static_cast<int32_t>(rng() % 5000);
      if (!a.models(d, g)) continue;
      const listing model = model_listing(a, d, g, c);
      open_recording(th::memfile(wav));
      const listing real = list_tracks({d.filter, d.level, g, c});
      close_recording();
      EXPECT_EQ(th::exactly(model), th::exactly(real))
          << "round " << round << " /F " << d.filter << " level " << d.level << " /G " << g
          << " /C " << c;
    }
  }
  EXPECT_GT(given_up, 0u);
}

// The words of a shell command, as the shell splits them.
std::vector<std::string> shell_words(const std::string& command) {
  const th::RunResult r =
      th::run({"/bin/sh", "-c", "for w in " + command + "; do printf '%s\\0' \"$w\"; done"}, ".");
  std::vector<std::string> words;
  for (size_t at = 0, end; (end = r.out.find('\0', at)) != std::string::npos; at = end + 1)
    words.push_back(r.out.substr(at, end - at));
  return words;
}

// The tracks of a plan, as keldrun-cut reads them, in frames.
std::vector<std::pair<int64_t, int64_t>> plan_tracks(const std::string& labels, int64_t frames) {
  std::vector<std::pair<int64_t, int64_t>> tracks;
  const auto read = read_plan(labels, frames);
  if (const plan* p = std::get_if<plan>(&read))
    for (const planned_track& t : p->tracks) tracks.emplace_back(t.start, t.end);
  return tracks;
}

// On keldrun-gen's sides, with the sleeve's lengths (and its count where
// every boundary has a gap), keldrun-view's recommended command, run by the
// shell as printed but listing, lists the rows printed under it; and its
// tracks, to the frame, keep all of their music and none of their
// neighbours'. The labels written hold those tracks, read back to the frame
// (keldrun's, where it is recommended, as with the current settings alone,
// tried once). One side is then split as printed: each track file is the
// frames of its label. The noise floor printed is the page's.
TEST(ViewAdvice, RecommendsACommandThatKeepsAllOfEachSongsMusic) {
  bool split = false;
  for (const std::string& side : sides::all) {
    th::TempDir dir;
    // A name that the shell changes unless the command quotes it.
    const std::string name = "side [1] $x'", wav = name + ".wav";
    const std::vector<sides::song> songs = sides::generate(dir, side, wav);
    const bool joined =
        std::any_of(songs.begin(), songs.end(), [](const sides::song& s) { return s.joined; });
    const recording rec = open_recording((dir / wav).c_str());
    close_recording();
    std::vector<std::vector<std::string>> requests = {{"--lengths", sides::sleeve_text(songs)}};
    if (!joined) requests.push_back({"--tracks", std::to_string(songs.size())});
    if (side == sides::all.front()) requests.push_back({"/T", "0.02", "/G", "0.3"});
    for (std::vector<std::string> args : requests) {
      const bool sleeve = args[0] != "/T";
      SCOPED_TRACE(args[0] + " " + side);
      args.insert(args.begin(), "keldrun-view");
      args.push_back(wav);
      const th::RunResult view = th::run(args, dir.path());
      ASSERT_TRUE(view.exited(0)) << view.describe();
      // The command, then its rows.
      const size_t at = view.out.find("\n\n") + 2, eol = view.out.find('\n', at);
      std::vector<std::string> words = shell_words(view.out.substr(at, eol - at));
      ASSERT_EQ(words.back(), "TRACK") << view.out;
      words.back() = "-";
      const std::string program = words.front();
      words.front() = th::program(program);
      const th::RunResult listed = th::run(words, dir.path());
      std::string rows;
      for (size_t p = 0; (p = listed.out.find('\r', p)) != std::string::npos; p++)
        if (std::isdigit(static_cast<unsigned char>(listed.out[p + 1])))  // not the banner
          rows += listed.out.substr(p + 1, listed.out.find('\n', p) - p);
      EXPECT_EQ(view.out.substr(eol + 1, rows.size()), rows);
      // The exact frames: the plan's, or the detector's with the settings.
      const std::string labels = th::read_file(dir / (name + ".txt"));
      std::vector<std::pair<int64_t, int64_t>> tracks = plan_tracks(labels, rec.frames);
      if (program == "keldrun") {
        settings s;
        for (size_t i = 1; i + 1 < words.size() && is_switch(words[i].c_str()); i += 2)
          set_switch(s, words[i][1], words[i + 1].c_str());
        settle(s);
        open_recording((dir / wav).c_str());
        const listing l = list_tracks(s);
        close_recording();
        EXPECT_EQ(tracks.size(), l.tracks.size());
        for (size_t i = 0; i < l.tracks.size() && i < tracks.size(); i++)
          EXPECT_EQ(tracks[i], std::make_pair(l.tracks[i].start, l.tracks[i].end));
        EXPECT_FALSE(l.tracks.empty());
      } else {
        EXPECT_EQ(program, "keldrun-cut");
      }
      if (sleeve) {
        EXPECT_EQ(sides::wrong_tracks(tracks, songs), "") << view.out;
      }
      const std::string page = th::read_file(dir / (name + ".html"));
      const size_t floor = view.out.find("Noise floor "), json = page.find("\"noise_floor_db\":");
      EXPECT_EQ(view.out.substr(floor + 12, view.out.find(" dB", floor) - floor - 12),
                page.substr(json + 17, page.find(',', json) - json - 17));
      if (split || program != "keldrun-cut" || !joined) continue;
      // The split itself: the side's frames, from each label's start to its end.
      split = true;
      const std::string data = th::read_file(dir / wav).substr(44);
      std::map<std::string, std::string> want = {{name + ".txt", labels}, {name + ".html", page}};
      std::vector<th::Track> files;
      for (const auto& [start, end] : tracks)
        files.push_back({static_cast<int>(files.size()) + 1, start, end, 0});
      want.merge(th::track_files(data, files, false));
      words.back() = "TRACK";
      const th::RunResult cut =
          th::run(words, dir.path(), {"", {{"(Y/N) ", "y\n"}, {"Normalize", "n\n"}}});
      EXPECT_TRUE(cut.exited(0)) << cut.describe();
      EXPECT_EQ(th::differences(dir.path(), want), "");
    }
  }
  EXPECT_TRUE(split);
}

// The labels keldrun-view writes read back as keldrun-cut reads them, to the
// frame, up to the last frame a header can declare.
TEST(ViewLabels, ReadBackToTheFrame) {
  std::mt19937 rng(3);
  std::vector<track> tracks;
  std::vector<std::pair<int64_t, int64_t>> want;
  for (int64_t n = 1, at = 0; n <= 99; n++, at = want.back().second) {
    const int64_t start = at + (n < 40 ? n % 3 : rng() % 2000000),
                  end = start + 1 + rng() % 40000000;
    tracks.push_back({static_cast<int>(n), start, end, 0});
    want.emplace_back(start, end);
  }
  tracks.back().end = want.back().second = UINT32_MAX;
  EXPECT_EQ(plan_tracks(label_text(tracks), UINT32_MAX), want);
}

// Each run ends with exit code 1 and changes nothing in its directory; or,
// where a page is `written`, exit code 0 and only that page and its labels
// (.txt) change, into regular files (never a link's target). Its message comes once, and the
// report `prints` what it should.
TEST(ViewAdvice, RefusesBadRequestsAndWritesNoPage) {
  // A run in 64 MiB of address space; but for AddressSanitizer's shadow,
  // which takes terabytes of it.
  std::string in_64_mib = "ulimit -v 65536 && exec \"$0\" \"$@\"";
#ifdef __SANITIZE_ADDRESS__
  in_64_mib = "exec \"$0\" \"$@\"";
#endif
  const std::map<std::string, std::string> recordings = {
      {"side.wav", th::wave(th::frames("t44100"))},
      {"mono.wav", th::wave(th::frames("t44100")).replace(22, 1, 1, '\1')},  // one channel
      {"many.wav", th::wave(th::frames("( t4410 s13230 )120"))},
      // Silences of 3 frames, countless for the shortest gaps.
      {"clicks.wav", th::wave(th::frames("( s3 l30000:1 )220500"))},
  };
  const struct {
    std::vector<std::string> args;
    std::string says;
    std::string setup = ":";                 // shell commands run in the directory first
    std::string run = "exec \"$0\" \"$@\"";  // the shell line that runs the program
    std::string written = "";
    std::string prints = "";
  } cases[] = {
      // clang-format off
      {{"--tracks", "0", "side.wav"}, "--tracks \"0\""},
      {{"--tracks", "100", "side.wav"}, "--tracks \"100\""},
      {{"--tracks", "6x", "side.wav"}, "--tracks \"6x\""},
      {{"--tracks", "2", "--lengths", "1:00,2:00", "side.wav"}, "not both"},
      {{"--lengths", "3:05,4:7", "side.wav"}, "--lengths entry \"4:7\""},
      {{"--lengths", "3:05,,4:10", "side.wav"}, "--lengths entry \"\""},
      {{"--lengths", "0:30,0:30", "side.wav"}, "Page: side.html", ":", "exec \"$0\" \"$@\"", "side.html",
       "\nkeldrun-cut side.txt side.wav TRACK\n1\t00:00.000\t"},
      {{"--tracks", "2", "side.wav", "--tracks", "2"}, "--tracks is given twice"},
      {{"--lengths", "1:00", "--lengths", "1:00", "side.wav"}, "--lengths is given twice"},
      {{"-o", "a.html", "-o", "b.html", "side.wav"}, "-o is given twice"},
      {{"-o", "", "side.wav"}, "-o \"\": the page needs a name"},
      {{"--labels", "a.txt", "--labels", "b.txt", "side.wav"}, "--labels is given twice"},
      {{"--labels", "", "side.wav"}, "--labels \"\": the label file needs a name"},
      {{"mono.wav"}, "\nInvalid WAVE format. Must be 16-bit stereo 44100 Hz PCM.\n"},
      {{"none.wav"}, "\nFile not found.\n"},
      {{"/T", "0", "side.wav"}, "\nInvalid arguments.\n"},
      // Cut to 259 bytes, the name would be side.wav's.
      {{"./" + std::string(249, '/') + "side.wav.bak"}, "\nFile name too long.\n"},
      // The page is never put in the place of the input, by any name.
      {{"-o", "side.wav", "side.wav"}, "cannot write the page side.wav: it is the input"},
      {{"-o", "./side.wav", "side.wav"}, "page ./side.wav: it is the input"},
      {{"x.html"}, "page x.html: it is the input", "cp side.wav x.html"},
      // Nor are the labels, nor in the place of the page.
      {{"x.txt"}, "cannot write the labels x.txt: it is the input", "cp side.wav x.txt"},
      {{"--labels", "./side.wav", "side.wav"}, "labels ./side.wav: it is the input"},
      {{"-o", "x.html", "--labels", "./x.html", "side.wav"}, "cannot write the labels ./x.html: it is the page"},
      {{"-o", "x.html", "side.wav"}, "page x.html: it is the input", "ln side.wav x.html"},
      {{"-o", "x.html", "side.wav"}, "page x.html: it is the input", "ln -s side.wav x.html"},
      {{"-o", "x.html", "-"}, "page x.html: it is the input", "ln side.wav x.html", "exec \"$0\" \"$@\" <side.wav"},
      // Nor of a device, nor through a link; the system says why not.
      {{"-o", "null", "side.wav"}, "page null: not a regular file", "mknod null c 1 3 || mkfifo null"},
      {{"side.wav"}, "Page: side.html", "echo kept >a.txt && ln -s a.txt side.html", "exec \"$0\" \"$@\"", "side.html"},
      {{"-o", "side.wav/x.html", "side.wav"}, "page side.wav/x.html: Not a directory"},
      {{"side.wav"}, "page side.html: File too large", ":", "ulimit -f 8; trap '' XFSZ; exec \"$0\" \"$@\""},
      {{"side.wav"}, "the report: No space left on device", ":", "exec \"$0\" \"$@\" >/dev/full"},
      {{"--version"}, "the report: No space left on device", ":", "exec \"$0\" \"$@\" >/dev/full"},
      // Settings as keldrun settles them, printed as settled.
      {{"/C", "-1", "/T", "0.06;touch${IFS}PWNED;#", "side.wav"}, "Page: side.html", ":", "exec \"$0\" \"$@\"", "side.html",
       "\nkeldrun /T 0.06 side.wav TRACK\n(no rows: every track is shorter than the cut)\n"},
      // Piped: keldrun-cut lists the table of the labels beside the page.
      {{"--tracks", "1", "-o", "x.html", "-"}, "Labels: x.txt", ":", "exec \"$0\" \"$@\" <side.wav", "x.html",
       "\nkeldrun-cut x.txt - TRACK\nThe input was piped, so its table is left to keldrun-cut: check it with\nkeldrun-cut x.txt - -\n"},
      // An early end, told as keldrun tells it; no audio at all.
      {{"-o", "x.html", "-"}, "\nUnexpected end of WAVE data.\n", ":", "head -c 90000 side.wav | exec \"$0\" \"$@\"", "x.html"},
      {{"x.wav"}, "\nUnexpected end of WAVE data.\n", "head -c 90000 side.wav >x.wav", "exec \"$0\" \"$@\"", "x.html"},
      {{"x.wav"}, "Page: x.html", "head -c 46 side.wav >x.wav", "exec \"$0\" \"$@\"", "x.html", "No audio: the header declares 00:01.000 of it"},
      {{"/G", "0.25", "many.wav"}, "Page: many.html", ":", "exec \"$0\" \"$@\"", "many.html", "more than 99 tracks (the current settings)\n"},
      {{"/F", "0", "/G", "0.00005", "clicks.wav"}, "Page: clicks.html", ":", in_64_mib, "clicks.html", "/G 0.00006 /F 0: not known"},
      {{"/F", "0", "/G", "0.00005", "clicks.wav"}, "Page: clicks.html", ":", in_64_mib, "clicks.html", "\n99\t00:00.008\t00:00.009\t00:00.000\t0.916\n(and then"},
      // clang-format on
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.says);
    th::TempDir dir;
    for (const auto& [name, bytes] : recordings)
      if (name == "side.wav" || std::count(c.args.begin(), c.args.end(), name))
        th::write_file(dir / name, bytes);
    ASSERT_EQ(std::system(("cd '" + dir.path() + "' && " + c.setup).c_str()), 0);
    std::vector<std::string> argv = {"/bin/sh", "-c", c.run, th::program("keldrun-view")};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    auto before = th::files_in(dir.path());
    const th::RunResult r = th::run(argv, dir.path());
    EXPECT_TRUE(r.exited(c.written.empty() ? 1 : 0)) << r.describe();
    EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find(c.says), r.err.rfind(c.says)) << r.err;
    EXPECT_NE(r.out.find(c.prints), std::string::npos) << r.out;
    auto after = th::files_in(dir.path());
    if (!c.written.empty()) {
      const std::string labels = c.written.substr(0, c.written.size() - 5) + ".txt";
      EXPECT_NE(after[c.written].find("<html"), std::string::npos);
      EXPECT_EQ(after.count(labels), 1u);
      after[c.written] = before[c.written];
      after.erase(labels);
    }
    EXPECT_EQ(after, before);
  }
}

// The detector has the last word: it lists the recording again, unless it
// is no longer the one read: between the passes, bytes added after its data,
// or another file with the same bytes put in its place.
TEST(ViewAdvice, VerifiesWithTheDetectorUnlessTheRecordingChanged) {
  th::TempDir dir;
  const std::string name = dir / "side.wav",
                    wav = th::wave(th::frames("s44100 t44100 s132300 t44100"));
  for (const std::string change : {":", "echo >>side.wav", "cp side.wav x && mv x side.wav"}) {
    th::write_file(name, wav);
    const recording first = open_recording(name.c_str());
    request r;
    settle(r.s);
    envelope e;
    advice v = advise(analyse(first.frames, {10}, {"0.05"}, 13230, &e), e, r);
    close_recording();
    ASSERT_EQ(std::system(("cd '" + dir.path() + "' && " + change).c_str()), 0);
    const bool same = change == ":";
    EXPECT_EQ(verify(name, first, v.shown()), same ? verdict::agrees : verdict::changed) << change;
    EXPECT_EQ(v.shown().verified, same);
  }
}

// Each word as the POSIX shell and cmd.exe must be given it; the POSIX form
// also as sh reads it back.
TEST(ViewCommand, QuotesEveryWordForItsShell) {
  const char* const cases[][3] = {
      {"side.wav", "side.wav", "side.wav"},
      {"-", "-", "-"},
      {"", "''", "\"\""},
      {"side[1].wav", "'side[1].wav'", "side[1].wav"},
      {"a\nb", "'a\nb'", nullptr},  // no Windows name holds a line feed
      {"it's $x", "'it'\\''s $x'", "\"it's $x\""},
      {"0.06;touch${IFS}PWNED;#", "'0.06;touch${IFS}PWNED;#'", "\"0.06;touch${IFS}PWNED;#\""},
      {"Seite B – Größe.wav", "'Seite B – Größe.wav'", "\"Seite B – Größe.wav\""},
      {"%PATH%", "%PATH%", "\"\"^%\"PATH\"^%\"\""},
      {"a\\%b c\\", "'a\\%b c\\'", "\"a\\\\\"^%\"b c\\\\\""},
      {"say \"x\\\"", "'say \"x\\\"'", "\"say \\\"x\\\\\\\"\""},
      {"a&b|c>d", "'a&b|c>d'", "\"a&b|c>d\""},
      {"=ls", "'=ls'", "\"=ls\""},
      {"~/x", "'~/x'", "~/x"},
  };
  for (const auto& [word, posix, cmd] : cases) {
    EXPECT_EQ(posix_word(word), posix);
    if (cmd) {
      EXPECT_EQ(cmd_word(word), cmd);
    }
    EXPECT_EQ(th::run({"/bin/sh", "-c", "printf %s " + posix_word(word)}, ".").out, word);
  }
}

}  // namespace
