// End-to-end runs of the built keldrun: one table of cases, each one line.
// Every run is checked whole: exit code and last message, stdout (banner,
// then the table rows that the reference model gives, or the usage text),
// the messages a split must show, and the bytes of every file left.
// The same table runs against keldrun.exe under an emulator, where the
// cases that need POSIX files (links, FIFOs, shell redirections) are left out.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <sstream>

#include "detect.h"
#include "helpers.h"
#include "keldrun.h"

namespace {

constexpr int kOk = -1;

// Recordings by name: frames, declared size in bytes (-1: as present).
struct Recording {
  std::string data;
  int64_t declared = -1;
  std::string file = "";  // the whole file, when not canonical
};
const std::map<std::string, Recording>& recordings() {
  static const std::map<std::string, Recording> r = [] {
    using th::frames;
    std::map<std::string, Recording> m;
    const std::string three = frames("s1000 ( t2000 s1000 )3");
    const auto size = static_cast<int64_t>(three.size());
    m["three"] = {three};
    m["three-early"] = {three, 2 * size};
    m["three-early-frame"] = {three + "\x01\x02", 2 * size};
    m["three-4g"] = {three, 0xFFFFFFFF};
    m["loudend"] = {frames("s1000 t2000 s1000 t2000"), 4 * 7000};
    // The cut of 2205 frames swallows the middle track.
    m["hole"] = {frames("s1000 t5000 s1000 t50 s1000 t5000 s3000")};
    m["at0"] = {frames("t3000 s1000 t2000 s1000")};
    // Peaks of 16384 and 32768 (a sample of -32768).
    m["peak"] = {
        frames("s1000 t500 f-8192:8192 f16384:16384 t500 s1000 t500 f-32768:32767 t500 s1000")};
    // With /F 0 and gaps of 44 frames, track 2's scan passes on only silence.
    m["zero-peak"] = {frames("l10000:100 s100 l10000:1 s99")};
    m["r99"] = {frames("s20 ( t20 s60 )99")};
    m["r100"] = {frames("s20 ( t20 s60 )100")};
    m["lastcut"] = {frames("s5000 t100 s300")};  // the only sound lies in the last cut
    m["silent"] = {frames("s20000")};
    m["size3"] = {frames("s1"), 3};
    m["size14"] = {frames("s3") + "xy", 14};
    // Progress shows every 32768 frames, while scanning and copying.
    m["long"] = {frames("s1000 t40000 s5000 t30000 s5000 t40000 s3000")};
    m["mono"] = {"", -1,
                 "RIFF" + th::u32(44) + "WAVE" + th::chunk("fmt ", th::fmt_payload(1, 1)) +
                     th::chunk("data", std::string(8, '\0'))};
    return m;
  }();
  return r;
}

// How the recording reaches the program: f as the file rec.wav, F the same
// where only POSIX will do (links), p piped, q through a FIFO named rec.wav,
// d through rec.wav linked to /dev/stdin, n not at all (N: POSIX only), W
// as rec.wav that another program holds open (Windows only). In the
// arguments, x{N} is N times x and ~ a space.
struct Case {
  const char* name;
  char via;
  const char* args;
  const char* rec;
  const char* input;        // on stdin; "a:X|Y" answers X, then Y, after each
                            // question; "sh:R" runs the program with redirection R
  int ending;               // kOk, or the error code
  const char* files;        // T the track files, N normalized, R rec.wav as made,
                            // = the files as they were before the run
  const char* shows = "";   // in stderr, as seen
  const char* setup = "";   // shell commands run in the directory first
  const char* golden = "";  // tests/golden/NAME: the whole stdout and stderr
};

#define S "/G 0.01 /C 0.005"  // gaps of 441 frames, cut 220
#define TINY "/G 0.001 /C 0"  // 44 and 0
const char* const kSplitQ = "\n\aSplit the file as shown above? (Y/N) ";
const int u = usage, nf = not_found, nt = no_tracks, in = interrupted, ow = input_overwritten;

// clang-format off
const Case kCases[] = {
    // In place, back to front.
    {"three tracks", 'f', "/I rec.wav " S, "three", "", kOk, "T"},
    {"/P keeps the source", 'f', "/I /P rec.wav " S, "three", "", kOk, "TR"},
    {"early end", 'f', "/I rec.wav " S, "three-early", "", kOk, "T", "\nUnexpected end of WAVE data.\n"},
    {"sound from frame 0", 'f', "/I rec.wav " S, "at0", "", kOk, "T"},
    {"an empty track leaves a hole", 'f', "/I rec.wav /G 0.01 /C 0.05", "hole", "", kOk, "T"},
    {"normalized by each track's peak", 'f', "/I /N rec.wav " S, "peak", "", kOk, "N"},
    {"a peak of 0 is written unchanged", 'f', "/I /N rec.wav /F 0 " TINY, "zero-peak", "", kOk, "N"},
    {"99 tracks", 'f', "/I rec.wav " TINY, "r99", "", kOk, "T"},
    {"100 tracks: nothing written", 'f', "/I rec.wav " TINY, "r100", "", too_many_tracks, "R"},
    {"interactive session", 'f', "rec.wav SIDE_A /G 0.1 /C 0.05", "long", "y\n", kOk, "T", "", "", "split"},
    // The questions.
    {"y", 'f', "rec.wav " S, "peak", "y", kOk, "T", kSplitQ},
    {"Y and a new line", 'f', "rec.wav " S, "peak", "Y\n", kOk, "T"},
    {"others are skipped", 'f', "rec.wav " S, "peak", "x\n\ny", kOk, "T"},
    {"typed ahead: dropped at the second", 'f', "rec.wav " S, "peak", "yY\n", kOk, "T"},
    {"n cancels", 'f', "rec.wav " S, "peak", "n\n", in, "R", kSplitQ},
    {"N after others", 'f', "rec.wav " S, "peak", " \nN", in, "R"},
    {"end of input is a no", 'f', "rec.wav " S, "peak", "", in, "R"},
    {"/dev/null is a no", 'F', "rec.wav " S, "peak", "sh:</dev/null", in, "R"},
    {"closed stdin is a no", 'F', "rec.wav " S, "peak", "sh:<&-", in, "R"},
    {"second answer normalizes", 'f', "rec.wav " S, "peak", "a:y|Y", kOk, "N"},
    {"second answer beats /N", 'f', "/N rec.wav " S, "peak", "a:Y|n", kOk, "T"},
    // No track file: the source stays.
    {"all tracks empty", 'f', "/I rec.wav /G 0.01 /C 0.01", "lastcut", "", nt, "R"},
    {"all tracks empty, /P", 'f', "/I /P rec.wav /G 0.01 /C 0.01", "lastcut", "", nt, "R"},
    {"all tracks empty, asked", 'f', "rec.wav /G 0.01 /C 0.01", "lastcut", "y\n", nt, "R", kSplitQ},
    {"all tracks empty, piped", 'p', "- /G 0.01 /C 0.01", "lastcut", "", nt, ""},
    {"all silent", 'f', "rec.wav", "silent", "", nt, "R"},
    // An input that a track file would overwrite.
    {"named like a track", 'f', "/I TRACK02.WAV " S, "three", "", ow, "=", "", "mv rec.wav TRACK02.WAV"},
    {"another spelling", 'f', "/I ./TRACK02.WAV " S, "three", "", ow, "=", "", "mv rec.wav TRACK02.WAV"},
    {"the base spelled otherwise", 'F', "/I TRACK02.WAV ./sub/../TRACK " S, "three", "", ow, "=", "", "mkdir sub && mv rec.wav TRACK02.WAV"},
    {"hard link", 'F', "/I a.wav " S, "three", "", ow, "=", "", "mv rec.wav TRACK02.WAV && ln TRACK02.WAV a.wav"},
    {"symbolic link", 'F', "/I a.wav " S, "three", "", ow, "=", "", "mv rec.wav TRACK02.WAV && ln -s TRACK02.WAV a.wav"},
    {"a track name links to it", 'F', "/I rec.wav " S, "three", "", ow, "=", "", "ln -s rec.wav TRACK77.WAV"},
    {"listing writes nothing to refuse", 'f', "TRACK02.WAV - " S, "three", "", kOk, "=", "", "mv rec.wav TRACK02.WAV"},
    // On the fly: the same track files.
    {"piped", 'p', "- OUT " S, "three", "", kOk, "T"},
    {"piped, an empty track", 'p', "- OUT /G 0.01 /C 0.05", "hole", "", kOk, "T"},
    {"piped, sound at frame 0", 'p', "- OUT " S, "at0", "", kOk, "T"},
    {"piped, early end in silence", 'p', "- OUT " S, "three-early", "", kOk, "T"},
    {"piped, early end in a frame", 'p', "- OUT " S, "three-early-frame", "", kOk, "T"},
    {"piped, early end in sound", 'p', "- OUT " S, "loudend", "", kOk, "T"},
    {"piped, 4 GiB declared", 'p', "- - " S, "three-4g", "", kOk, "", "", "", "piped-listing"},
    {"piped, /N changes nothing", 'p', "/N - OUT " S, "peak", "", kOk, "T"},
    {"piped, /I /N /P change nothing", 'p', "/I /N /P - OUT " S, "peak", "", kOk, "T"},
    {"piped, 100 tracks: 99 written", 'p', "- " TINY, "r100", "", too_many_tracks, "T"},
    {"FIFO", 'q', "rec.wav OUT " S, "three", "", kOk, "T"},
    {"/dev/stdin by a name", 'd', "rec.wav OUT " S, "three", "", kOk, "T"},
    {"closed stderr, piped", 'p', "- /G 0.1 /C 0.05", "long", "sh:2>&-", kOk, "T"},
    {"closed stderr, in place", 'F', "/I rec.wav /G 0.1 /C 0.05", "long", "sh:2>&-", kOk, "T"},
    // Listing.
    {"listing", 'f', "rec.wav - " S, "three", "", kOk, "R"},
    {"listing a FIFO", 'q', "rec.wav - " S, "three", "", kOk, ""},
    {"a partial frame is no frame", 'f', "rec.wav -", "size3", "", invalid_format, "R"},
    {"the bytes after whole frames are not read", 'f', "rec.wav -", "size14", "", nt, "R", "\nEstimated WAVE data length 3 samples, 00:00.000\n"},
    {"mono", 'f', "rec.wav -", "mono", "", invalid_format, "R"},
    // The command line.
    {"no arguments", 'n', "", "", "", u, "", "", "", "usage"},
    {"--help", 'n', "--help", "", "", kOk, "", "", "", "help"},
    {"--version", 'n', "--version", "", "", kOk, "", "", "", "version"},
    {"--version among others is a name", 'n', "--version -", "", "", nf, "", "Input:\t--version\n"},
    {"/TT", 'n', "in.wav /TT 1", "", "", u, ""},
    {"/X", 'n', "in.wav /X 1", "", "", u, ""},
    {"/", 'n', "in.wav /", "", "", u, ""},
    {"/T0.1", 'n', "in.wav /T0.1", "", "", u, ""},
    {"/G last", 'n', "in.wav /G", "", "", u, ""},
    {"third positional", 'n', "in.wav out third", "", "", u, ""},
    {"/T takes /I as its value", 'n', "in.wav /T /I", "", "", u, ""},
    {"/T 2.0", 'n', "in.wav /T 2.0", "", "", u, ""},
    {"/T truncated to 0", 'n', "in.wav /T 0.00001", "", "", u, ""},
    {"/T -0.5", 'n', "in.wav /T -0.5", "", "", u, ""},
    {"/F 1001", 'n', "in.wav /F 1001", "", "", u, ""},
    {"/F -1", 'n', "in.wav /F -1", "", "", u, ""},
    {"/G truncated to 0", 'n', "in.wav /G 0.00001", "", "", u, ""},
    {"/G -1: the cut takes it, negative", 'n', "in.wav /G -1", "", "", u, ""},
    {"/G -1 /C 0 echoed", 'n', "in.wav SIDE_A /G -1 /C 0", "", "", nf, "", "gap duration: 97390.547 seconds\nDiscarding track end: 0.000 seconds\n"},
    {"no input", 'n', "/I /N /P /F 0", "", "", u, ""},
    {"highest values", 'n', "in.wav /T 1.99998 /F 1000", "", "", nf, "", "threshold: 2.000 (normalized)\n"},
    {"longest filter", 'n', "in.wav /F 1000", "", "", nf, "", "Discarding track end: 2.000 seconds\nGlitch removal filter: 1000 samples\n"},
    {"conversions", 'n', "/t 0.1 /F -0.5 /C -3 /G 3s in.wav -", "", "", nf, "", "threshold: 0.100 (normalized)\nUsing minimum gap duration: 3.000 seconds\nDiscarding track end: 3.000 seconds\nGlitch removal filter: 0 samples\n"},
    {"the last switch counts", 'n', "in.wav /F 5 /f 10.9", "", "", nf, "", "filter: 10 samples\n"},
    {"long names are cut", 'n', "i{300} o{300}", "", "", nf, "", "Input:\ti{259}\nOutput:\to{253}xx.WAV\n"},
    {"names beyond ASCII", 'f', "/I Côté~A.wav Øst/Sida~1 " S, "three", "", kOk, "T", "", "mkdir Øst && mv rec.wav 'Côté A.wav'"},
    {"listing 日本.wav", 'f', "日本.wav - " S, "three", "", kOk, "=", "", "mv rec.wav 日本.wav"},
    {"held open elsewhere: not cut", 'W', "/I rec.wav " S, "three", "", truncate_failed, "RL"},
    {"absolute paths are names", 'N', "/no/such/dir/side.wav /tmp /I", "", "", nf, "", "Input:\t/no/such/dir/side.wav\nOutput:\t/tmpxx.WAV\n"},
};
// clang-format on

// "x{3}" -> "xxx".
std::string expand(std::string s) {
  for (size_t at; (at = s.find('{')) != std::string::npos;) {
    const size_t end = s.find('}', at);
    s.replace(at - 1, end - at + 2, std::string(std::stoul(s.substr(at + 1)), s[at - 1]));
  }
  return s;
}

// stdout and stderr of a golden session: "\r" and "\a" written out.
std::pair<std::string, std::string> golden(const std::string& name) {
  std::string text = th::read_file(std::string(KELDRUN_SOURCE_DIR) + "/tests/golden/" + name);
  for (const auto& [from, to] : {std::pair{"\\r", "\r"}, {"\\a", "\a"}})
    for (size_t at; (at = text.find(from)) != std::string::npos;) text.replace(at, 2, to);
  const size_t split = text.find("--- stderr\n");
  return {text.substr(0, split), text.substr(split + 11)};
}

void PrintTo(const Case& c, std::ostream* os) {
  *os << c.name;
}

class Keldrun : public testing::TestWithParam<Case> {};

TEST_P(Keldrun, Run) {
  const Case& c = GetParam();
  // Where stderr reaches a pipe only as the run ends, no answer can wait for its question.
  if (th::emulated() &&
      (std::string("FqdN").find(c.via) != std::string::npos ||
       std::string(c.input).starts_with("sh:") || std::string(c.input).starts_with("a:")))
    GTEST_SKIP() << "POSIX only";
  if (!th::emulated() && c.via == 'W') GTEST_SKIP() << "Windows only";
  std::vector<std::string> args;
  std::istringstream words(expand(c.args));
  for (std::string w; words >> w; args.push_back(w)) std::replace(w.begin(), w.end(), '~', ' ');
  const Recording rec = *c.rec ? recordings().at(c.rec) : Recording{};
  const std::string file = rec.file.empty() ? th::wave(rec.data, rec.declared) : rec.file;

  th::TempDir dir, elsewhere;
  th::RunOptions o;
  std::vector<std::string> argv = {"keldrun"};
  if (c.via == 'f' || c.via == 'F' || c.via == 'W') th::write_file(dir / "rec.wav", file);
  if (c.via == 'p' || c.via == 'd') o.input = file;
  ASSERT_TRUE(c.via != 'd' || symlink("/dev/stdin", (dir / "rec.wav").c_str()) == 0);
  if (c.via == 'q') {  // filled as a shell's process substitution would fill it
    th::write_file(elsewhere / "in.wav", file);
    ASSERT_EQ(mkfifo((dir / "rec.wav").c_str(), 0600), 0);
    argv = {"/bin/sh", "-c", "cat \"$0\" > rec.wav & exec \"$@\"", elsewhere / "in.wav",
            th::program("keldrun")};
  }
  std::string input = c.input;
  if (input.starts_with("sh:")) {
    argv = {"/bin/sh", "-c", "exec \"$0\" \"$@\" " + input.substr(3), th::program("keldrun")};
  } else if (input.starts_with("a:")) {
    o.answers = {{"(Y/N) ", input.substr(2, 1) + "\n"}, {"Normalize", input.substr(4, 1) + "\n"}};
  } else {
    o.input += input;
  }
  if (*c.setup) {
    ASSERT_EQ(std::system(("cd '" + dir.path() + "' && " + c.setup).c_str()), 0);
  }
  const auto before = th::files_in(dir.path());
  argv.insert(argv.end(), args.begin(), args.end());
  int hold = -1;  // keeps the holder of rec.wav waiting while open
  if (c.via == 'W') {
    ASSERT_EQ(mkfifo((elsewhere / "hold").c_str(), 0600), 0);
    ASSERT_EQ(std::system(("cd '" + dir.path() + "' && (" + std::getenv("KELDRUN_EMULATOR") + " '" +
                           th::program("hold-open") + "' rec.wav <'" + elsewhere / "hold" + "' >'" +
                           elsewhere / "held" + "' &)")
                              .c_str()),
              0);
    hold = open((elsewhere / "hold").c_str(), O_WRONLY);
    for (int i = 0; i < 3000 && th::read_file(elsewhere / "held").empty(); i++) usleep(10000);
  }
  const th::RunResult r = th::run(argv, dir.path(), o);
  if (hold >= 0) close(hold);

  // What the model says the run finds and writes.
  bool too_many = false;
  const auto settings = th::settings_of(args);
  const auto tracks =
      th::model(rec.data, rec.declared < 0 ? -1 : rec.declared / 4, settings, &too_many);
  std::vector<std::string> positional;
  for (size_t i = 0; i < args.size(); i++) {
    if (args[i].size() == 2 && args[i][0] == '/' &&
        std::string("IiNnPp").find(args[i][1]) == std::string::npos)
      i++;
    else if (args[i][0] != '/')
      positional.push_back(args[i]);
  }
  const std::string base = positional.size() > 1 ? positional[1] : "TRACK";
  std::map<std::string, std::string> want;
  for (const char f : std::string(c.files)) {
    if (f == 'T' || f == 'N') want.merge(th::track_files(rec.data, tracks, f == 'N', base));
    if (f == 'R') want["rec.wav"] = file;
    if (f == 'L') want.insert(*th::track_files(rec.data, tracks, false, base).rbegin());
    if (f == '=') want = before;
  }
  if (c.via == 'd') want["rec.wav"] = "-> /dev/stdin";
  EXPECT_EQ(th::differences(dir.path(), want), "");
  EXPECT_EQ(too_many, c.ending == too_many_tracks);

  SCOPED_TRACE(r.describe());
  EXPECT_TRUE(r.exited(c.ending == kOk ? 0 : 1));
  if (input.starts_with("sh:2>&-")) return;  // nothing more to see
  if (*c.golden) {
    const auto [out, err] = golden(c.golden);
    EXPECT_EQ(r.out, th::native(out));
    EXPECT_EQ(r.err, th::native(err));
    return;
  }
  EXPECT_TRUE(r.err.ends_with(th::ending(c.ending)));
  EXPECT_NE(th::visible(r.err).find(th::native(expand(c.shows))), std::string::npos);
  // The banner and its empty line, then the usage text or the table's rows.
  const std::string usage_out = golden("usage").first;
  std::string out = usage_out.substr(0, usage_out.find("\n\n") + 2);
  const bool scanned =
      c.ending != usage && c.ending != nf && c.ending != invalid_format && c.ending != ow;
  for (const auto& t : tracks)
    if (scanned && t.end > t.start) out += "\r" + table_row(t.number, t.start, t.end, t.peak);
  EXPECT_EQ(r.out, th::native(c.ending == usage ? usage_out : out));
  // In place, the files are written from the last track to the first, each
  // cut from the source but track 1.
  if (c.ending != kOk || std::string("fFW").find(c.via) == std::string::npos || base == "-") return;
  std::string messages;
  for (auto t = tracks.rbegin(); t != tracks.rend(); ++t) {
    if (t->end <= t->start) continue;
    messages += "Writing new WAVE file of track " + std::to_string(t->number) + "...\n";
    if (t->number != 1 && std::string(c.args).find("/P") == std::string::npos)
      messages += "Deleting the track from the WAVE file...\n";
  }
  EXPECT_TRUE(th::visible(r.err).ends_with(th::native(messages) + th::ending(kOk)));
}

INSTANTIATE_TEST_SUITE_P(Table, Keldrun, testing::ValuesIn(kCases), [](const auto& info) {
  std::string name;
  for (const char ch : std::string(info.param.name))
    name += std::isalnum(static_cast<unsigned char>(ch)) ? ch : '_';
  return name;
});

// A sparse recording of more than 2 GiB whose two tracks both lie beyond
// 2 GiB, so that every seek and cut needs 64-bit positions.
TEST(Keldrun, SparseInputBeyondTwoGiB) {
  const int64_t a1 = 536900000, a2 = a1 + 4 * 44100, frames = a2 + 4 * 44100;
  const std::string block = th::frames("t44100");
  th::TempDir dir;
  const int fd = open((dir / "rec.wav").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  const std::string header = th::canonical_header(static_cast<uint32_t>(4 * frames));
  bool ok = pwrite(fd, header.data(), 44, 0) == 44 && ftruncate(fd, 44 + 4 * frames) == 0;
  for (int64_t at : {a1, a2})
    ok = ok &&
         pwrite(fd, block.data(), block.size(), 44 + 4 * at) == static_cast<ssize_t>(block.size());
  ASSERT_TRUE(close(fd) == 0 && ok);
  const auto r = th::run({"keldrun", "/I", "rec.wav"}, dir.path());
  EXPECT_TRUE(r.exited(0)) << r.describe();
  // Each track starts 8 frames before its second of sound; track 1 ends the
  // gap and filter before the step that found track 2, track 2 as far
  // before the end of the data.
  std::map<std::string, std::string> want;
  for (const auto& [track, length] : {std::pair{1, 88200}, {2, 88198}})
    want[th::track_name(track)] = th::canonical_header(static_cast<uint32_t>(4 * length)) +
                                  std::string(32, '\0') + block +
                                  std::string(4 * static_cast<size_t>(length - 44100 - 8), '\0');
  EXPECT_EQ(th::differences(dir.path(), want), "");
}

}  // namespace
