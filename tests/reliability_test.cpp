// Reliability: whatever befalls a run (a failing system call, SIGKILL at any
// moment, a full disk, hostile input), every frame of every track is either
// still in the source or complete in its track file, the run ends with one
// of the program's own messages, and running the same command again
// finishes the job. Each suite is a table of cases driven by one loop.
#include "reliability.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "helpers.h"
#include "keldrun.h"

namespace {

using rel::Call;
using th::join;
using th::kSuccess;
using th::track_name;

// Gaps of 0.1 s (4410 frames) and, by default, as much cut from each
// track's end: recordings of a few seconds hold several tracks.
const std::vector<std::string> kGap = {"/G", "0.1"};

std::vector<std::string> in_place(const std::vector<std::string>& settings = kGap) {
  return join(join({th::keldrun_path(), "/I"}, settings), {"rec.wav", "TRACK"});
}

std::vector<std::string> piped(const std::vector<std::string>& settings = kGap) {
  return join(join({th::keldrun_path()}, settings), {"-", "TRACK"});
}

std::string printable(const std::string& s) {
  std::string p;
  for (char c : s) p += c == '\n' ? "\\n" : c == '\a' ? "\\a" : std::string(1, c);
  return p;
}

// The run ended with the message of error `code`, or in success (kOk).
constexpr int kOk = -1;
testing::AssertionResult ended_with(const th::RunResult& r, int code) {
  const std::string tail = code == kOk ? kSuccess : err_text[code] + std::string("\n\a");
  if (r.exited(code == kOk ? 0 : 1) && r.err.ends_with(tail)) return testing::AssertionSuccess();
  return testing::AssertionFailure() << "expected \"" << printable(tail) << "\" and exit code "
                                     << (code != kOk) << ", got " << r.describe();
}

// Anything but the program's own ending: a signal, a hang, another exit
// code, or exit code 1 without one of its messages (a sanitizer's report,
// say).
bool is_foreign(const th::RunResult& r) {
  if (r.exited(0)) return !r.err.ends_with(kSuccess);
  if (!r.exited(1)) return true;
  for (const char* m : err_text)
    if (r.err.ends_with(std::string(m) + "\n\a")) return false;
  return true;
}

// Runs `argv` in `dir` on `wave`: piped to it, or in place as rec.wav.
th::RunResult split(const std::string& dir, const std::string& wave,
                    const std::vector<std::string>& argv, bool pipe, th::RunOptions o = {}) {
  if (pipe)
    o.input = wave;
  else
    th::write_file(dir + "/rec.wav", wave);
  return th::run_program(argv, dir, o);
}

// What a run in `dir` lost of `ref`'s tracks: "" when nothing.
std::string lost(const rel::Reference& ref, const std::string& dir, bool pipe) {
  return pipe ? rel::check_piped(ref, dir) : rel::check_conservation(ref, dir, "rec.wav");
}

// What an uninterrupted run of `argv` makes of `wave`: the reference every
// faulted run is held against.
rel::Reference reference(const std::string& wave, const std::vector<std::string>& argv,
                         bool pipe = false) {
  th::TempDir dir;
  const th::RunResult r = split(dir.path(), wave, argv, pipe);
  EXPECT_TRUE(ended_with(r, kOk)) << "the reference run";
  auto files = th::files_in(dir.path());
  files.erase("rec.wav");
  std::string problem;
  rel::Reference ref = rel::make_reference(wave, files, &problem);
  EXPECT_EQ(problem, "");
  EXPECT_GE(ref.tracks.size(), 3u);
  return ref;
}

// strace's -P arguments for every file a run in `dir` touches: the source,
// the track files and the directory, each by the name the program uses and
// by the path that strace shows for its descriptors.
std::vector<std::string> watched(const std::string& dir, size_t tracks) {
  const std::string real = rel::real_path(dir);
  std::vector<std::string> p = {"-P", "rec.wav", "-P", real + "/rec.wav", "-P", ".", "-P", real};
  for (size_t i = 1; i <= tracks + 1; i++)
    p = join(p, {"-P", track_name(i), "-P", real + "/" + track_name(i)});
  return p;
}

// The command under strace, logging the calls on the watched files, with
// `inject` (if any) as its tampering.
std::vector<std::string> traced(const std::string& dir, size_t tracks, const std::string& log,
                                const std::string& inject,
                                const std::vector<std::string>& command) {
  std::vector<std::string> a = {rel::strace(), "-f", "-y", "-o", log, "-e", rel::file_calls};
  if (tracks) a = join(a, watched(dir, tracks));
  if (!inject.empty()) a = join(a, {"-e", "inject=" + inject});
  return join(a, command);
}

// The calls of one clean traced run of `command` (in place or piped), and
// the directory it ran in.
struct Trace {
  std::vector<Call> calls;
  std::string dir, src;
};

Trace clean_trace(const std::string& wave, size_t tracks, const std::vector<std::string>& command,
                  bool pipe) {
  th::TempDir dir, logs;
  const th::RunResult r =
      split(dir.path(), wave, traced(dir.path(), tracks, logs / "log", "", command), pipe);
  EXPECT_TRUE(ended_with(r, kOk)) << "the clean traced run";
  Trace t;
  t.dir = rel::real_path(dir.path());
  t.src = t.dir + "/rec.wav";
  t.calls = rel::parse_strace(th::read_file(logs / "log"), t.dir);
  return t;
}

// ---------------------------------------------------------------------------
// The checker itself: it must see a lost frame, or no suite can.

TEST(ConservationCheck, SeesEveryWayAFrameCanBeLost) {
  const std::string wave = rel::noise_recording({3000, 2000, 4000}, 1000, 5000);
  const rel::Reference ref = reference(wave, in_place());
  ASSERT_EQ(ref.tracks.size(), 3u);
  const rel::RefTrack &t1 = ref.tracks[0], &t2 = ref.tracks[1], &t3 = ref.tracks[2];
  struct Case {
    const char* what;
    std::string source;  // "-" for none
    std::vector<std::pair<std::string, std::string>> files;
    std::string lost;  // what the report must name, "" when nothing is lost
  };
  const std::string partial3 = t3.bytes.substr(0, t3.bytes.size() - 4);
  std::string flipped2 = t2.bytes;
  flipped2[100] ^= 1;
  std::string bad_source = wave;
  bad_source[60] ^= 1;
  const auto cut = [&](int64_t n) { return wave.substr(0, static_cast<size_t>(n)); };
  const Case cases[] = {
      {"untouched", wave, {}, ""},
      {"all out, source gone",
       "-",
       {{t1.name, t1.bytes}, {t2.name, t2.bytes}, {t3.name, t3.bytes}},
       ""},
      {"cut below track 3 after it was written", cut(t3.begin), {{t3.name, t3.bytes}}, ""},
      {"cut one frame into track 3, its file short by one frame",
       cut(t3.end - 4),
       {{t3.name, partial3}},
       "TRACK03.WAV: frames "},
      {"cut below track 3, no file", cut(t3.begin), {}, "TRACK03.WAV: frames "},
      {"track 2 written wrong, source cut below it",
       cut(t2.begin),
       {{t3.name, t3.bytes}, {t2.name, flipped2}},
       "not the right ones"},
      {"source gone, track 1 missing",
       "-",
       {{t2.name, t2.bytes}, {t3.name, t3.bytes}},
       "TRACK01.WAV: frames " + std::to_string((t1.begin - 44) / 4) + " to " +
           std::to_string((t1.end - 44) / 4 - 1) +
           " are lost: the file is missing, and the "
           "source is gone"},
      {"source changed", bad_source, {}, "not a prefix"},
      {"source shorter than its header",
       cut(20),
       {{t2.name, t2.bytes}, {t3.name, t3.bytes}},
       "shorter than its header"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    th::TempDir dir;
    if (c.source != "-") th::write_file(dir / "rec.wav", c.source);
    for (const auto& [name, bytes] : c.files) th::write_file(dir / name, bytes);
    const std::string report = rel::check_conservation(ref, dir.path(), "rec.wav");
    if (c.lost.empty()) {
      EXPECT_EQ(report, "");
    } else {
      EXPECT_NE(report.find(c.lost), std::string::npos) << report;
    }
  }
}

// ---------------------------------------------------------------------------
// Fault injection: every kind of call fails, once or from then on.

// Which calls of a clean run a case picks out.
enum class On {
  track,             // a track file
  dir,               // the directory that holds them
  source,            // the source
  copy_read,         // a read of the source while a track is copied
  scan_read,         // a read of the source while it is scanned
  seek_set,          // repositioning the source to a track
  seek_cur,          // asking the source's position (while scanning)
  cut_open,          // opening the source to cut it
  reopen,            // opening it again after a cut
  close_before_cut,  // closing the read stream before the cut
  close_after_cut,   // closing the descriptor that cut it
};
struct Fault {
  const char* call;
  const char* error;
  On on;
  // Which of the calls it picks fail: each word of "first second middle
  // last" makes a case; with "+", that call and every later one fail.
  const char* at;
  int message;  // the run's ending: an error code, or kOk
};

const char* on_name(On on) {
  static const char* const names[] = {"a track file",
                                      "the directory",
                                      "the source",
                                      "the source in a copy",
                                      "the source in the scan",
                                      "the source (SEEK_SET)",
                                      "the source (SEEK_CUR)",
                                      "the source to cut it",
                                      "the source again",
                                      "the source before a cut",
                                      "the source after a cut"};
  return names[static_cast<int>(on)];
}

bool picks(On on, const std::vector<Call>& calls, size_t i, const std::string& src,
           const std::string& dir) {
  const Call& c = calls[i];
  // The source's calls before and after this one.
  auto on_source = [&](size_t from, int step) -> const Call* {
    for (size_t k = from + step; k < calls.size(); k += step)
      if (calls[k].path == src) return &calls[k];
    return nullptr;
  };
  bool seeked = false;
  for (size_t k = 0; k < i; k++)
    seeked = seeked || (calls[k].name == "lseek" && calls[k].path == src &&
                        calls[k].args.find("SEEK_SET") != std::string::npos);
  switch (on) {
    case On::track:
      return c.path.ends_with(".WAV");
    case On::dir:
      return c.path == dir;
    case On::source:
      return c.path == src;
    case On::copy_read:
      return c.path == src && seeked;
    case On::scan_read:
      return c.path == src && !seeked;
    case On::seek_set:
      return c.path == src && c.args.find("SEEK_SET") != std::string::npos;
    case On::seek_cur:
      return c.path == src && c.args.find("SEEK_CUR") != std::string::npos;
    case On::cut_open:
      return c.path == src && c.args.find("O_WRONLY") != std::string::npos;
    case On::reopen:
      return c.path == src && c.args.find("O_RDONLY") != std::string::npos && seeked;
    case On::close_before_cut: {
      const Call* next = on_source(i, 1);
      return c.path == src && next && next->args.find("O_WRONLY") != std::string::npos;
    }
    case On::close_after_cut: {
      const Call* prev = i ? on_source(i, -1) : nullptr;
      return c.path == src && prev && prev->name == "ftruncate";
    }
  }
  return false;
}

// strace's `when` for a case: the number, among all calls of its kind on
// the watched files, of the one it picks; 0 when there is none.
int when_of(const Fault& f, const std::string& at, const std::vector<Call>& calls,
            const std::string& src, const std::string& dir) {
  std::vector<int> picked;
  int n = 0;
  for (size_t i = 0; i < calls.size(); i++) {
    if (calls[i].name != f.call) continue;
    n++;
    if (picks(f.on, calls, i, src, dir)) picked.push_back(n);
  }
  if (picked.empty()) return 0;
  if (at == "first") return picked.front();
  if (at == "second") return picked.size() > 1 ? picked[1] : 0;
  return at == "middle" ? picked[picked.size() / 2] : picked.back();
}

struct Figures {
  int cases = 0, lost = 0, hung = 0, foreign = 0;
  void count(const th::RunResult& r, const std::string& report) {
    cases++;
    lost += !report.empty();
    hung += r.hung;
    foreign += is_foreign(r);
  }
  void print(const char* what) const {
    std::printf("[ figures  ] %s: %d, with frames lost: %d, hung: %d, foreign exits: %d\n", what,
                cases, lost, hung, foreign);
  }
};

// After a call that ends the run has failed, nothing more is cut, deleted
// or created: returns the first such call, or "".
std::string after_failure(const std::vector<Call>& calls) {
  bool failed = false;
  for (const Call& c : calls) {
    if (failed && (c.name == "ftruncate" || c.name.rfind("unlink", 0) == 0 ||
                   (c.name == "openat" && c.args.find("O_CREAT") != std::string::npos)))
      return c.name + "(" + c.args + ")";
    failed = failed || c.injected;
  }
  return "";
}

void run_fault_table(const std::vector<Fault>& table, bool pipe, Figures& figures) {
  const std::string wave = rel::noise_recording({70000, 40000, 90000, 50000}, 5000, 9000);
  const auto command = pipe ? piped() : in_place();
  const rel::Reference ref = reference(wave, command, pipe);
  const size_t tracks = ref.tracks.size();
  const Trace clean = clean_trace(wave, tracks, command, pipe);
  for (const Fault& f : table) {
    std::istringstream words(f.at);
    for (std::string at; words >> at;) {
      th::TempDir dir, logs;
      const std::string real = rel::real_path(dir.path());
      const bool persistent = at.ends_with("+");
      if (persistent) at.pop_back();
      const int when = when_of(f, at, clean.calls, clean.src, clean.dir);
      const std::string inject = std::string(f.call) + ":error=" + f.error +
                                 ":when=" + std::to_string(when) + (persistent ? "+" : "");
      SCOPED_TRACE(std::string(pipe ? "piped: " : "in place: ") + f.call + " " + f.error + " on " +
                   on_name(f.on) + " (" + inject + ")");
      if (when == 0) {
        ADD_FAILURE() << "a clean run makes no such call";
        continue;
      }
      const th::RunResult r =
          split(dir.path(), wave, traced(dir.path(), tracks, logs / "log", inject, command), pipe);
      const std::vector<Call> log = rel::parse_strace(th::read_file(logs / "log"), real);
      const std::string report = lost(ref, dir.path(), pipe);
      figures.count(r, report);
      EXPECT_TRUE(ended_with(r, f.message));
      EXPECT_TRUE(std::any_of(log.begin(), log.end(), [](const Call& c) { return c.injected; }))
          << "the failure was never injected";
      EXPECT_EQ(report, "");
      if (f.message != kOk && f.on != On::seek_cur) {
        EXPECT_EQ(after_failure(log), "");
      }
      if (f.message == kOk && !pipe) {
        // The run went on: every track is out, and only a failed deletion
        // leaves the source behind.
        auto files = th::files_in(dir.path());
        EXPECT_EQ(files.count("rec.wav"), std::string(f.call) == "unlink" ? 1u : 0u);
        files.erase("rec.wav");
        EXPECT_TRUE(files == ref.files());
      }
    }
  }
}

TEST(FaultInjection, EveryFailingCallOfAnInPlaceSplitLosesNothing) {
  if (rel::strace().empty()) GTEST_SKIP() << "strace is missing or may not trace here";
  const int w = write_failed, rw = rewind_failed, tr = truncate_failed;
  using O = On;
  const std::vector<Fault> table = {
      {"openat", "EACCES", O::track, "first second first+", w},
      {"openat", "ENOSPC", O::track, "first last second+", w},
      {"write", "ENOSPC", O::track, "first middle last first+ middle+", w},
      {"write", "EIO", O::track, "first middle last first+", w},
      {"fdatasync", "EIO", O::track, "first second last first+", w},
      {"fsync", "EIO", O::dir, "first last first+", w},
      {"close", "EIO", O::track, "first last first+", w},
      {"close", "EIO", O::dir, "first last+", w},
      {"close", "EIO", O::close_after_cut, "first last+", tr},
      // The input was only read: a failure to close it loses nothing, and
      // the program goes on.
      {"close", "EIO", O::close_before_cut, "first", kOk},
      // A read that fails while the source is scanned is no end of data:
      // what comes after it was never looked at.
      {"read", "EIO", O::scan_read, "second middle second+", read_failed},
      {"read", "EIO", O::copy_read, "first middle last first+", rw},
      {"lseek", "EIO", O::seek_set, "first last first+", rw},
      {"lseek", "EIO", O::seek_cur, "first last+", rw},
      {"ftruncate", "EIO", O::source, "first last first+", tr},
      {"ftruncate", "EPERM", O::source, "second first+", tr},
      {"openat", "EACCES", O::source, "first", not_found},
      {"openat", "EACCES", O::cut_open, "first last+", tr},
      {"openat", "EACCES", O::reopen, "first", tr},
      {"openat", "EMFILE", O::reopen, "last+", tr},
      // Not reported: the tracks are all out, the source stays.
      {"unlink", "EIO", O::source, "first", kOk},
      {"unlink", "EACCES", O::source, "first+", kOk},
  };
  Figures figures;
  run_fault_table(table, false, figures);
  figures.print("in-place fault cases");
}

TEST(FaultInjection, EveryFailingCallOfAPipedSplitKeepsTheEarlierTracks) {
  if (rel::strace().empty()) GTEST_SKIP() << "strace is missing or may not trace here";
  const int w = write_failed, tr = truncate_failed;
  using O = On;
  const std::vector<Fault> table = {
      {"openat", "EACCES", O::track, "first second+", w},
      {"openat", "ENOSPC", O::track, "second", w},
      {"write", "ENOSPC", O::track, "first middle last middle+", w},
      {"write", "EIO", O::track, "first last+", w},
      {"lseek", "EIO", O::track, "first last second+", w},
      {"ftruncate", "EIO", O::track, "first second+", tr},
      {"ftruncate", "EPERM", O::track, "last", tr},
      {"fdatasync", "EIO", O::track, "first last second+", w},
      {"fsync", "EIO", O::dir, "first last+", w},
      {"close", "EIO", O::track, "first last", w},
      {"close", "EIO", O::dir, "second+", w},
  };
  Figures figures;
  run_fault_table(table, true, figures);
  figures.print("piped fault cases");
}

// Writes that come back short: the file size limit (ulimit -f) with SIGXFSZ
// ignored, so that the write past the limit is cut short and the next one
// fails with EFBIG.
TEST(FaultInjection, ShortWritesEndTheRunBeforeAnythingIsCut) {
  const std::string wave = rel::noise_recording({70000, 40000, 90000, 50000}, 5000, 9000);
  Figures figures;
  for (const bool pipe : {false, true}) {
    const rel::Reference ref = reference(wave, pipe ? piped() : in_place(), pipe);
    // The first track file written: the last track in place, the first piped.
    const int64_t first =
        static_cast<int64_t>((pipe ? ref.tracks.front() : ref.tracks.back()).bytes.size());
    int64_t other = 0;  // the largest of the others
    for (size_t i = 0; i < ref.tracks.size(); i++)
      if (i != (pipe ? 0 : ref.tracks.size() - 1))
        other = std::max<int64_t>(other, static_cast<int64_t>(ref.tracks[i].bytes.size()));
    std::vector<int64_t> limits = {20, first / 2, first - 1};
    if (other > first) limits.push_back((first + other) / 2);
    for (const int64_t limit : limits) {
      SCOPED_TRACE(std::string(pipe ? "piped" : "in place") + ", files limited to " +
                   std::to_string(limit) + " bytes");
      th::TempDir dir;
      const th::RunResult r =
          split(dir.path(), wave, pipe ? piped() : in_place(), pipe, {.file_size_limit = limit});
      const std::string report = lost(ref, dir.path(), pipe);
      figures.count(r, report);
      EXPECT_TRUE(ended_with(r, write_failed));
      EXPECT_EQ(report, "");
    }
  }
  figures.print("short-write cases");
}

// ---------------------------------------------------------------------------
// Kill sweep: SIGKILL at every point of an in-place run, then the same
// command again must finish the job.

TEST(KillSweep, KilledAnywhereAndRunAgainGivesTheSameTracks) {
  if (rel::strace().empty()) GTEST_SKIP() << "strace is missing or may not trace here";
  const std::string wave = rel::noise_recording(
      {60000, 110000, 45000, 130000, 70000, 95000, 50000, 80000, 40000, 60000, 100000}, 5000, 9000);
  const rel::Reference ref = reference(wave, in_place());
  const size_t tracks = ref.tracks.size();
  const Trace clean = clean_trace(wave, tracks, in_place(), false);

  struct Point {
    std::string call;  // killed before this call ...
    int when = 0;      // ... the when-th time; 0: after a random delay
    bool any_file;     // counting its calls on every file, console too
    double delay = 0;
  };
  std::vector<Point> points;
  for (const char* call :
       {"openat", "write", "fdatasync", "fsync", "close", "ftruncate", "unlink"}) {
    const int n = static_cast<int>(std::count_if(clean.calls.begin(), clean.calls.end(),
                                                 [&](const Call& c) { return c.name == call; }));
    for (int k = 1; k <= n; k++) points.push_back({call, k, false});
  }
  // Every 25th write of the whole run, the console's included.
  const auto all = clean_trace(wave, 0, in_place(), false).calls;
  const auto writes =
      std::count_if(all.begin(), all.end(), [](const Call& c) { return c.name == "write"; });
  for (long k = 25; k <= writes; k += 25) points.push_back({"write", static_cast<int>(k), true});
  // Randomly timed kills, within the time a whole run takes.
  unsigned seed =
      static_cast<unsigned>(std::chrono::system_clock::now().time_since_epoch().count());
  if (const char* s = std::getenv("KELDRUN_KILL_SEED")) seed = static_cast<unsigned>(std::atol(s));
  std::mt19937 rng(seed);
  double whole = 0;
  {
    th::TempDir dir;
    whole = split(dir.path(), wave, in_place(), false).seconds;
  }
  for (int i = 0; i < 20; i++)
    points.push_back({"", 0, false, std::uniform_real_distribution<double>(0, whole)(rng)});
  // The sanitized build takes a sample: every sixth point.
  const bool sample = rel::sanitized();

  Figures figures;
  int kills = 0;
  for (size_t i = 0; i < points.size(); i++) {
    const Point& p = points[i];
    if (sample && i % 6 != 0) continue;
    SCOPED_TRACE(p.when ? "killed before " + p.call + " number " + std::to_string(p.when) +
                              (p.any_file ? " of the run" : " on the run's files")
                        : "killed after " + std::to_string(p.delay) +
                              " s (random, KELDRUN_KILL_SEED=" + std::to_string(seed) + ")");
    th::TempDir dir;
    std::vector<std::string> argv = in_place();
    if (p.when) {
      std::vector<std::string> tracer = {rel::strace(), "-f", "-o",
                                         "/dev/null",   "-e", "trace=" + p.call};
      if (!p.any_file) tracer = join(tracer, watched(dir.path(), tracks));
      argv = join(
          join(tracer, {"-e", "inject=" + p.call + ":signal=KILL:when=" + std::to_string(p.when)}),
          argv);
    }
    const th::RunResult r =
        split(dir.path(), wave, argv, false, {.kill_after = p.when ? -1 : p.delay});
    const bool killed = r.signal == SIGKILL;
    kills += killed;
    if (p.when) {
      EXPECT_TRUE(killed) << "the run never reached that call: " << r.describe();
    } else if (!killed) {
      EXPECT_TRUE(ended_with(r, kOk));
    }
    const std::string report = rel::check_conservation(ref, dir.path(), "rec.wav");
    EXPECT_EQ(report, "");
    th::RunResult again;
    again.status = 0;
    again.err = kSuccess;
    if (th::file_exists(dir / "rec.wav")) {
      again = th::run_program(in_place(), dir.path());
      EXPECT_TRUE(ended_with(again, kOk)) << "the run again";
    }
    figures.count(again, report);
    figures.hung += r.hung;
    th::expect_files(dir.path(), ref.files());
  }
  if (!sample) {
    EXPECT_GE(kills, 150);
  }
  std::printf("[ figures  ] kill points: %d (%d tried, random seed %u)\n", kills, figures.cases,
              seed);
  figures.print("kill points run again");
}

// ---------------------------------------------------------------------------
// Disk full: a tmpfs of a given size holds the source and the track files.

// How to mount a tmpfs here: directly as root, else in a user namespace;
// `why_not` says why neither works.
struct TmpfsWay {
  std::vector<std::string> prefix;
  std::string why_not;
};

// Mounts a tmpfs of $1 bytes on $2, copies $3 (unless "-") into it as
// rec.wav, runs the rest of the arguments in it, copies what is left into
// $4 and unmounts.
const char* const kOnTmpfs = R"(size=$1 mnt=$2 input=$3 result=$4
shift 4
mount -t tmpfs -o "size=$size,mode=0755" tmpfs "$mnt" || exit 125
trap 'cd /; umount "$mnt"' EXIT
if [ "$input" != - ]; then cp "$input" "$mnt/rec.wav" || exit 124; fi
cd "$mnt" || exit 124
"$@"
rc=$?
for f in "$mnt"/*; do [ -f "$f" ] && cp "$f" "$result/"; done
exit $rc
)";

const TmpfsWay& tmpfs_way() {
  static const TmpfsWay way = [] {
    TmpfsWay w;
    th::TempDir mnt, result;
    std::vector<std::vector<std::string>> tries;
    if (geteuid() == 0) tries.push_back({});
    if (access("/usr/bin/unshare", X_OK) == 0) tries.push_back({"/usr/bin/unshare", "-rm"});
    for (const auto& prefix : tries) {
      const th::RunResult r =
          th::run_program(join(prefix, {"/bin/sh", "-c", kOnTmpfs, "sh", "4096", mnt.path(), "-",
                                        result.path(), "/bin/true"}),
                          "/");
      if (r.exited(0)) {
        w.prefix = prefix;
        return w;
      }
      w.why_not += (prefix.empty() ? "mount as root: " : "unshare -rm: ") + r.describe() + "; ";
    }
    if (tries.empty()) w.why_not = "not root and no unshare";
    return w;
  }();
  return way;
}

int64_t pages(int64_t bytes) {
  const int64_t page = sysconf(_SC_PAGESIZE);
  return (bytes + page - 1) / page * page;
}

TEST(DiskFull, InPlaceSplitNeedsRoomForTheLargestTrackOnly) {
  const TmpfsWay& way = tmpfs_way();
  if (!way.why_not.empty() && way.prefix.empty())
    GTEST_SKIP() << "no tmpfs can be mounted here: " << way.why_not;
  const int64_t page = sysconf(_SC_PAGESIZE);
  // The last track, written first while the source is whole, is not the
  // largest; the default cut (as long as the gap) is several pages.
  const std::string wave = rel::noise_recording({40000, 80000, 30000}, 5000, 9000);
  const rel::Reference ref = reference(wave, in_place());
  int64_t largest = 0;
  for (const auto& t : ref.tracks)
    largest = std::max<int64_t>(largest, static_cast<int64_t>(t.bytes.size()));
  const int64_t input = pages(static_cast<int64_t>(wave.size()));
  const int64_t enough = input + pages(largest);
  const int64_t too_little =
      input + pages(static_cast<int64_t>(ref.tracks.back().bytes.size())) - page;
  ASSERT_LT(too_little, enough);
  th::TempDir source;
  th::write_file(source / "rec.wav", wave);
  struct Case {
    int64_t size;
    int outcome;  // 0: succeeds, 1: fails with "Cannot write", -1: either
  };
  std::vector<Case> cases = {{enough, 0}, {too_little, 1}};
  for (int k = 1; k <= 4; k++) {
    const int64_t size = too_little + (enough - too_little) * k / 5 / page * page;
    if (size > too_little && size < enough) cases.push_back({size, -1});
  }
  Figures figures;
  for (const Case& c : cases) {
    SCOPED_TRACE("a tmpfs of " + std::to_string(c.size) + " bytes (input " + std::to_string(input) +
                 ", largest track " + std::to_string(largest) + ")");
    th::TempDir mnt, result;
    const th::RunResult r = th::run_program(
        join(join(way.prefix, {"/bin/sh", "-c", kOnTmpfs, "sh", std::to_string(c.size), mnt.path(),
                               source / "rec.wav", result.path()}),
             in_place()),
        "/");
    const std::string report = rel::check_conservation(ref, result.path(), "rec.wav");
    figures.count(r, report);
    EXPECT_EQ(report, "");
    if (c.outcome == 0) {
      EXPECT_TRUE(ended_with(r, kOk));
      th::expect_files(result.path(), ref.files());
    } else if (c.outcome == 1 || !r.exited(0)) {
      EXPECT_TRUE(ended_with(r, write_failed));
    }
    if (c.outcome == 1) {
      EXPECT_TRUE(th::read_file(result / "rec.wav") == wave) << "the source was changed";
    }
  }
  figures.print("disk-full cases in place");
}

TEST(DiskFull, PipedSplitKeepsTheTracksBeforeTheDiskFilledUp) {
  const TmpfsWay& way = tmpfs_way();
  if (!way.why_not.empty() && way.prefix.empty())
    GTEST_SKIP() << "no tmpfs can be mounted here: " << way.why_not;
  const std::string wave = rel::noise_recording({40000, 80000, 30000}, 5000, 9000);
  const rel::Reference ref = reference(wave, piped(), true);
  // Room for track 1 with its discarded end, and half of track 2.
  const int64_t size = pages(static_cast<int64_t>(ref.tracks[0].bytes.size()) + 4 * 4410) +
                       pages(static_cast<int64_t>(ref.tracks[1].bytes.size()) / 2);
  th::TempDir mnt, result;
  const th::RunResult r =
      split("/", wave,
            join(join(way.prefix, {"/bin/sh", "-c", kOnTmpfs, "sh", std::to_string(size),
                                   mnt.path(), "-", result.path()}),
                 piped()),
            true);
  EXPECT_TRUE(ended_with(r, write_failed));
  EXPECT_EQ(rel::check_piped(ref, result.path()), "");
  EXPECT_TRUE(th::read_file(result / ref.tracks[0].name) == ref.tracks[0].bytes);
}

// ---------------------------------------------------------------------------
// Syscall order of clean runs.

// A track file's life as the log of a clean run shows it.
struct FileState {
  bool created = false, synced = false, closed = false, dir_synced = false;
  int64_t cut_to = -1;  // the length its last ftruncate gave it
  bool durable() const { return synced && closed && dir_synced; }
};

int64_t cut_length(const Call& c) {
  return std::strtoll(c.args.c_str() + c.args.find(">, ") + 3, nullptr, 10);
}

struct Lives {
  std::map<std::string, FileState> files;
  std::string last;  // the track file created last
  // Takes in the next call; returns the track file it concerns, or "".
  std::string see(const Call& c, const std::string& dir) {
    if (c.name == "fsync" && c.path == dir) files[last].dir_synced = c.ok() && files[last].closed;
    if (!c.path.ends_with(".WAV")) return "";
    const std::string name = c.path.substr(c.path.rfind('/') + 1);
    FileState& f = files[name];
    if (c.name == "openat") {
      EXPECT_FALSE(f.created) << name << " is created twice";
      f = FileState{.created = c.ok()};
      last = name;
    } else if (c.name == "write" || c.name == "ftruncate") {
      EXPECT_FALSE(f.closed) << name << " is changed after its close";
      f.synced = false;
      if (c.name == "ftruncate") f.cut_to = cut_length(c);
    } else if (c.name == "fdatasync") {
      f.synced = c.ok();
    } else if (c.name == "close") {
      f.closed = c.ok() && f.synced;
    }
    return name;
  }
};

// Track 2 comes out empty (its sound and gap are shorter than the cut).
const std::vector<std::string> kOrderSettings = {"/G", "0.1", "/C", "0.2"};
std::string order_recording() {
  return rel::noise_recording({30000, 1000, 40000, 20000, 35000}, 2000, 5000);
}

TEST(SyscallOrder, EveryCutAndTheDeletionFollowADurableTrackFile) {
  if (rel::strace().empty()) GTEST_SKIP() << "strace is missing or may not trace here";
  const std::string wave = order_recording();
  const rel::Reference ref = reference(wave, in_place(kOrderSettings));
  ASSERT_EQ(ref.tracks.size(), 4u);
  EXPECT_EQ(ref.tracks[1].name, "TRACK03.WAV");
  const Trace t = clean_trace(wave, 0, in_place(kOrderSettings), false);
  Lives lives;
  std::vector<int64_t> cuts;
  std::vector<std::string> cut_after;
  bool deleted = false;
  for (const Call& c : t.calls) {
    lives.see(c, t.dir);
    if (c.name == "ftruncate") {
      EXPECT_EQ(c.path, t.src) << "an in-place run cuts nothing but the source";
    }
    if (c.path != t.src) continue;
    const FileState& f = lives.files[lives.last];
    if (c.name == "write") {
      ADD_FAILURE() << "the source is written to";
    } else if (c.name == "ftruncate") {
      EXPECT_TRUE(f.durable()) << "cut to " << c.args << " before " << lives.last
                               << " was synced, closed and its directory synced";
      const int64_t len = cut_length(c);
      EXPECT_GE(len, 44);
      if (!cuts.empty()) {
        EXPECT_LT(len, cuts.back());
      }
      // What no file holds yet stays below the cut.
      for (const auto& track : ref.tracks) {
        if (!lives.files[track.name].created) {
          EXPECT_LE(track.end, len) << track.name << " is cut into";
        }
      }
      cuts.push_back(len);
      cut_after.push_back(lives.last);
    } else if (c.name.starts_with("unlink")) {
      EXPECT_EQ(lives.last, "TRACK01.WAV");
      EXPECT_TRUE(f.durable()) << "deleted before TRACK01.WAV is durable";
      deleted = c.ok();
    }
  }
  EXPECT_TRUE(deleted);
  // One cut after each track file but the first, from the last track down.
  EXPECT_EQ(cut_after, (std::vector<std::string>{"TRACK05.WAV", "TRACK04.WAV", "TRACK03.WAV"}));
}

TEST(SyscallOrder, EachPipedTrackFileIsFinalBeforeTheNextBegins) {
  if (rel::strace().empty()) GTEST_SKIP() << "strace is missing or may not trace here";
  const std::string wave = order_recording();
  const auto want = reference(wave, piped(kOrderSettings), true).files();
  const Trace t = clean_trace(wave, 0, piped(kOrderSettings), true);
  Lives lives;
  std::vector<std::string> finished, deleted;
  // The file before `next` (a track file, or the success message) is final.
  auto finish = [&](const std::string& next) {
    const std::string& name = lives.last;
    if (name.empty() || std::count(deleted.begin(), deleted.end(), name)) return;
    EXPECT_TRUE(lives.files[name].durable()) << name << " is not durable before " << next;
    EXPECT_EQ(lives.files[name].cut_to, static_cast<int64_t>(want.at(name).size())) << name;
    finished.push_back(name);
  };
  for (const Call& c : t.calls) {
    if (c.name == "openat" && c.path.ends_with(".WAV")) finish(c.path);
    if (c.name == "write" && c.args.find("successfully splitted") != std::string::npos) {
      finish("the success message");
      lives.last.clear();
    }
    const std::string track = lives.see(c, t.dir);
    if (c.name.starts_with("unlink") && !track.empty()) deleted.push_back(track);
  }
  EXPECT_EQ(deleted, std::vector<std::string>{"TRACK02.WAV"});
  EXPECT_EQ(finished,
            (std::vector<std::string>{"TRACK01.WAV", "TRACK03.WAV", "TRACK04.WAV", "TRACK05.WAV"}));
}

// ---------------------------------------------------------------------------
// Mutants: damaged recordings through the real binary, listing only.

TEST(ListingMutants, DamagedRecordingsEndWithTheProgramsOwnMessage) {
  // One second: three tracks with gaps of 0.1 s.
  const std::string wave = rel::noise_recording({9000, 10000, 8000}, 2000, 4600);
  ASSERT_LT(wave.size(), 44 + 4 * 44100u);
  std::mt19937 rng(1);
  Figures figures;
  th::TempDir dir;
  for (int i = 0; i < 200; i++) {
    std::string m = wave;
    const int flips = 1 + static_cast<int>(rng() % 6);
    for (int k = 0; k < flips; k++) {
      // Half of the flips in the header and the first frames.
      const size_t at = rng() % 2 ? rng() % 64 : rng() % m.size();
      m[at] = static_cast<char>(m[at] ^ (1 + rng() % 255));
    }
    if (i % 10 == 9) m.resize(rng() % m.size());
    th::write_file(dir / "m.wav", m);
    const th::RunResult r = th::run_program(join(join({th::keldrun_path()}, kGap), {"m.wav", "-"}),
                                            dir.path(), {.timeout = 20});
    figures.count(r, "");
    SCOPED_TRACE("mutant " + std::to_string(i) + " of seed 1");
    EXPECT_FALSE(is_foreign(r)) << r.describe();
    EXPECT_EQ(r.err.find("Sanitizer"), std::string::npos);
    EXPECT_EQ(r.err.find("runtime error"), std::string::npos);
    EXPECT_TRUE(th::read_file(dir / "m.wav") == m) << "listing changed the input";
  }
  figures.print("listing mutants");
}

// ---------------------------------------------------------------------------
// Hostile inputs and surroundings.

// A run of an in-place split that pauses before it creates the file of
// track `track` while bytes are appended to the source; returns the run and
// leaves the source in `dir`.
th::RunResult grow_source(const std::string& wave, const std::string& added, int track,
                          const th::TempDir& dir, bool* appended) {
  const std::string file = track_name(static_cast<size_t>(track));
  const std::vector<std::string> argv(
      join({rel::strace(), "-f", "-o", "/dev/null", "-P", file, "-P",
            rel::real_path(dir.path()) + "/" + file, "-e", "trace=openat", "-e",
            "inject=openat:delay_enter=1000000:when=1"},
           in_place()));
  const std::string writing = "Writing new WAVE file of track " + std::to_string(track);
  *appended = false;
  const auto watch = [&](const std::string& err) {
    if (err.find(writing) == std::string::npos) return false;
    FILE* f = std::fopen((dir / "rec.wav").c_str(), "ab");
    *appended = f && std::fwrite(added.data(), 1, added.size(), f) == added.size();
    if (f) std::fclose(f);
    return true;
  };
  return split(dir.path(), wave, argv, false, {.watch = watch});
}

// A source that grows while the run waits before creating a track file:
// the cut or the deletion that follows would drop what was added, so it is
// refused.
TEST(HostileInput, SourceThatGrowsDuringTheRunIsNotCut) {
  if (rel::strace().empty()) GTEST_SKIP() << "strace is missing or may not trace here";
  const std::string wave = rel::noise_recording({30000, 40000, 20000}, 5000, 9000);
  const std::string added = "appended while the program ran";
  const rel::Reference ref = reference(wave, in_place());
  // Track 3 is the first file written, track 2 the first after a cut, and
  // after track 1 the source is deleted.
  for (const int track : {3, 2, 1}) {
    SCOPED_TRACE("added before track " + std::to_string(track) + " is created");
    th::TempDir dir;
    bool appended = false;
    const th::RunResult r = grow_source(wave, added, track, dir, &appended);
    ASSERT_TRUE(appended);
    EXPECT_TRUE(ended_with(r, truncate_failed));
    const std::string source = th::read_file(dir / "rec.wav");
    EXPECT_TRUE(source.ends_with(added)) << "the added bytes are gone";
    // What the run had cut before, it had the right to.
    th::write_file(dir / "rec.wav", source.substr(0, source.size() - added.size()));
    EXPECT_EQ(rel::check_conservation(ref, dir.path(), "rec.wav"), "");
  }
}

// With standard error closed, a track file must not become descriptor 2
// and collect the progress and the messages.
TEST(HostileInput, ClosedStandardErrorLeavesTheTracksIntact) {
  const std::string wave = rel::noise_recording({30000, 40000, 20000}, 5000, 9000);
  for (const bool pipe : {true, false}) {
    SCOPED_TRACE(pipe ? "piped" : "in place");
    const rel::Reference ref = reference(wave, pipe ? piped() : in_place(), pipe);
    th::TempDir dir;
    // The shell closes descriptor 2 and runs the program in its place.
    const th::RunResult r =
        split(dir.path(), wave,
              join({"/bin/sh", "-c", "exec \"$@\" 2>&-", "sh"}, pipe ? piped() : in_place()), pipe);
    EXPECT_TRUE(r.exited(0)) << r.describe();
    th::expect_files(dir.path(), ref.files());
  }
}

}  // namespace
