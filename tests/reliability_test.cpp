// Whatever befalls a split (a failing system call, SIGKILL before any change,
// a full disk, a source that changes), every frame is either still in the
// source or complete in its track file, the run ends with one of the
// program's own messages, and the same command run again finishes the job.
// The failure and kill points are generated from one traced clean run. Each
// sweep runs for keldrun and for keldrun-cut, given a plan that names the
// tracks keldrun finds.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include "helpers.h"
#include "keldrun.h"

namespace {

namespace fs = std::filesystem;
constexpr int kOk = -1;

// A few seconds of seeded noise, four tracks, gaps of 0.1 s (4410 frames).
const std::string kData = th::frames("s5000 n70000 s9000 n40000 s9000 n90000 s9000 n50000 s9000");
const std::string kWave = th::wave(kData);
const std::vector<std::string> kSettings = {"/G", "0.1"};
const std::vector<th::Track> kTracks = th::model(kData, -1, th::settings_of(kSettings));
const auto kFiles = th::track_files(kData, kTracks, false);

// The plan of keldrun's tracks, outside the directories that are checked.
const std::string& plan() {
  static const th::TempDir dir;
  static const std::string path = dir / "plan.txt";
  std::vector<std::pair<int64_t, int64_t>> tracks;
  for (const th::Track& t : kTracks) tracks.push_back({t.start, t.end});
  static const bool written = (th::write_file(path, th::labels(tracks)), true);
  return written ? path : path;
}

// The command of `program`, in place or (rec.wav being a FIFO) on the fly,
// after `prefix` (strace); the FIFO is filled from ../in.wav by a shell
// outside it.
std::vector<std::string> command(const std::string& program, bool piped,
                                 std::vector<std::string> prefix = {}) {
  if (piped)
    prefix.insert(prefix.begin(),
                  {"/bin/sh", "-c", "(cat ../in.wav > rec.wav 2>/dev/null &); exec \"$@\"", "sh"});
  prefix.insert(prefix.end(), {th::program(program), "/I"});
  if (program == "keldrun-cut") prefix.push_back(plan());
  prefix.insert(prefix.end(), {"rec.wav", "TRACK"});
  if (program == "keldrun") prefix.insert(prefix.end(), kSettings.begin(), kSettings.end());
  return prefix;
}

// A sweep's program: keldrun, or keldrun-cut.
struct Reliability : testing::TestWithParam<std::string> {};

// Sets up `dir` for a run: the source, or a FIFO fed from ../in.wav.
void prepare(const std::string& dir, bool piped) {
  fs::create_directory(dir);
  if (!piped) return th::write_file(dir + "/rec.wav", kWave);
  th::write_file(dir + "/../in.wav", kWave);
  mkfifo((dir + "/rec.wav").c_str(), 0600);
}

// "" when nothing is lost: in place, the source is a prefix of the recording
// and every track is complete in its file or wholly below the source's end;
// piped, tracks 1 to k are complete and at most the file of k + 1 is there.
std::string lost(const std::string& dir, bool piped) {
  auto files = th::files_in(dir);
  std::string problems;
  int64_t kept = -1;
  if (!piped && files.count("rec.wav")) {
    const std::string& s = files["rec.wav"];
    if (s.size() >= 44 && kWave.compare(0, s.size(), s) == 0)
      kept = static_cast<int64_t>(s.size());
    else
      problems += "the source is damaged; ";
  }
  files.erase("rec.wav");
  bool complete = true;
  for (const auto& t : kTracks) {
    const std::string name = th::track_name(t.number);
    const bool whole = files.count(name) && files[name] == kFiles.at(name);
    if (piped && !complete && files.count(name)) problems += name + " after an incomplete track; ";
    if (!whole && !piped && kept < 44 + 4 * t.end) problems += name + " is lost; ";
    complete = complete && whole;
    files.erase(name);
  }
  for (const auto& f : files) problems += f.first + " should not be there; ";
  return problems;
}

// "strace", or "" when it is missing or may not trace here.
const std::string& strace() {
  static const std::string path =
      th::run({"strace", "-f", "-o", "/dev/null", "/bin/true"}, "/").exited(0) ? "strace" : "";
  return path;
}

struct Call {
  std::string name, path, args, error;
  bool nothing = false;  // returned 0
  bool injected = false;
};

// The calls of an `strace -f -y` log on files; relative names resolved in `cwd`.
std::vector<Call> parse(const std::string& log, const std::string& cwd) {
  std::vector<Call> calls;
  std::istringstream in(log);
  for (std::string line; std::getline(in, line);) {
    const size_t open = line.find('('), eq = line.rfind(" = "), close = line.rfind(')', eq);
    if (open == std::string::npos || eq == std::string::npos || close < open) continue;
    Call c;
    c.name = line.substr(line.rfind(' ', open) + 1, open - line.rfind(' ', open) - 1);
    c.args = line.substr(open + 1, close - open - 1);
    if (line.compare(eq + 3, 3, "-1 ") == 0)
      c.error = line.substr(eq + 6, line.find(' ', eq + 6) - eq - 6);
    c.injected = line.ends_with("(INJECTED)");
    c.nothing = line.compare(eq + 3, 2, "0") == 0 && line.size() == eq + 4;
    const size_t q = c.args.find('"'), fd = c.args.find('<');
    if (c.name.starts_with("unlink") || c.name == "openat") {
      const std::string name = c.args.substr(q + 1, c.args.find('"', q + 1) - q - 1);
      c.path = name[0] == '/' ? name : name == "." ? cwd : cwd + "/" + name;
    } else if (fd != std::string::npos) {
      c.path = c.args.substr(fd + 1, c.args.find('>', fd) - fd - 1);
    }
    calls.push_back(c);
  }
  return calls;
}

// The traced run in `dir`, on its files only, with an injection (or none).
std::vector<Call> traced(const std::string& program, const std::string& dir, bool piped,
                         const std::string& inject, th::RunResult* r = nullptr) {
  const std::string real = fs::canonical(dir).string(), log = dir + "/../log";
  const std::string traced_calls =
      "trace=openat,read,write,lseek,fdatasync,fsync,close,ftruncate,unlink,unlinkat";
  std::vector<std::string> argv = {strace(), "-f", "-y", "-o", log, "-e", traced_calls};
  std::vector<std::string> names = {"rec.wav", "."};
  for (const auto& file : kFiles) names.push_back(file.first);
  for (const std::string& name : names)
    argv.insert(argv.end(), {"-P", name, "-P", name == "." ? real : real + "/" + name});
  if (!inject.empty()) argv.insert(argv.end(), {"-e", "inject=" + inject});
  const th::RunResult run = th::run(command(program, piped, argv), dir);
  if (r) *r = run;
  auto calls = parse(th::read_file(log), real);
  fs::remove(log);
  return calls;
}

// What a call is, for choosing its failure's outcome: "write:track",
// "read:source:copy", "openat:source:O_WRONLY", "close:source:after-cut" ...
std::string kind(const std::vector<Call>& calls, size_t i, const std::string& dir) {
  const Call& c = calls[i];
  const std::string target = c.path == dir ? "dir" : c.path.ends_with(".WAV") ? "track" : "source";
  std::string k = c.name + ":" + target;
  if (target != "source") return k;
  bool seeked = false, cut = false, first_read = true;
  for (size_t j = 0; j < i; j++) {
    const bool same = calls[j].path == c.path;
    seeked = seeked || (same && calls[j].args.find("SEEK_SET") != std::string::npos);
    first_read = first_read && !(same && calls[j].name == "read");
    cut = calls[j].name == "ftruncate" || (cut && calls[j].name != "openat");
  }
  if (c.name == "read")
    return k + (c.nothing ? ":end" : seeked ? ":copy" : first_read ? ":header" : ":scan");
  if (c.name == "lseek")
    return k + (c.args.find("SEEK_SET") != std::string::npos ? ":set" : ":cur");
  if (c.name == "openat")
    return k + (c.args.find("O_WRONLY") != std::string::npos ? ":cut" : seeked ? ":again" : "");
  if (c.name == "close") return k + (cut ? ":after-cut" : "");
  return k;
}

// The ending each kind of failure must bring.
int outcome(const std::string& k) {
  // clang-format off
  static const std::map<std::string, int> rules = {
      {"read:source:scan", read_failed}, {"read:source:header", invalid_format},
      {"read:source:copy", rewind_failed}, {"lseek:source:set", rewind_failed}, {"lseek:source:cur", rewind_failed},
      {"openat:source", not_found}, {"openat:source:cut", truncate_failed}, {"openat:source:again", truncate_failed},
      {"ftruncate:source", truncate_failed}, {"close:source:after-cut", truncate_failed}, {"ftruncate:track", truncate_failed},
      // The source was only read, or everything is out: nothing is lost.
      {"close:source", kOk}, {"read:source:end", kOk}, {"unlink:source", kOk}};
  // clang-format on
  const auto it = rules.find(k);
  return it != rules.end() ? it->second : write_failed;  // all on a track file or the directory
}

// A track file's life as a clean run's log shows it.
struct Life {
  bool synced = false, closed = false, dir_synced = false;
  int64_t length = -1;  // as its last cut left it
  bool durable() const { return synced && closed && dir_synced; }
};

// The order of a clean run's calls: no source is cut or deleted, and no
// piped track file is left for the next, before its track file is synced,
// closed and its directory synced; the cuts come from the last track down.
void check_order(const std::vector<Call>& calls, const std::string& dir, bool piped) {
  const std::string src = dir + "/rec.wav";
  std::map<std::string, Life> lives;
  std::string last, order;
  const auto final_check = [&](const std::string& before) {
    if (!piped || last.empty()) return;
    EXPECT_TRUE(lives[last].durable()) << last << " before " << before;
    EXPECT_EQ(lives[last].length,
              static_cast<int64_t>(kFiles.at(last.substr(last.rfind('/') + 1)).size()));
  };
  for (const Call& c : calls) {
    if (c.name == "openat" && c.path.ends_with(".WAV")) final_check(c.path);
    Life& f = lives[c.path];
    if (c.name == "openat" && c.path.ends_with(".WAV")) f = {}, last = c.path;
    if (c.name == "fdatasync") f.synced = c.error.empty();
    if (c.name == "write" || c.name == "ftruncate") f.synced = false;
    if (c.name == "ftruncate") f.length = std::stoll(c.args.substr(c.args.find(">, ") + 3));
    if (c.name == "close") f.closed = f.synced;
    if (c.name == "fsync" && c.path == dir) lives[last].dir_synced = lives[last].closed;
    if (c.path != src || c.name == "read" || c.name == "lseek" || c.name == "close" ||
        c.name == "openat")
      continue;
    EXPECT_TRUE(lives[last].durable())
        << c.name << " of the source before " << last << " is durable";
    order += c.name + " after " + last.substr(last.rfind('/') + 1) + "; ";
  }
  final_check("the end");
  EXPECT_EQ(order, piped ? ""
                         : "ftruncate after TRACK04.WAV; ftruncate after TRACK03.WAV; ftruncate "
                           "after TRACK02.WAV; unlink after TRACK01.WAV; ");
}

// The calls of a clean run come in a durable order; then every kind of call
// fails, first, in the middle, last, and from the first on; each run ends
// with its message, loses nothing, and cuts, deletes or creates nothing
// after the failure.
void fault_sweep(const std::string& program, bool piped) {
  th::TempDir top;
  prepare(top / "clean", piped);
  const auto clean = traced(program, top / "clean", piped, "");
  const std::string dir = fs::canonical(top / "clean").string();
  check_order(clean, dir, piped);
  std::map<std::string, std::vector<int>> whens;  // "call kind" -> numbers among that call's
  std::map<std::string, int> count;
  for (size_t i = 0; i < clean.size(); i++)
    if (clean[i].name != "write" || clean[i].path != dir)
      whens[kind(clean, i, dir)].push_back(++count[clean[i].name]);
  int runs = 0;
  for (const auto& [k, n] : whens) {
    const std::string call = k.substr(0, k.find(':'));
    const std::string error = call == "openat" ? "EACCES" : "EIO";
    const int want = outcome(k);
    std::set<std::string> at = {std::to_string(n.front()), std::to_string(n[n.size() / 2]),
                                std::to_string(n.back())};
    if (want != kOk) at.insert(std::to_string(n.front()) + "+");  // and every one after it
    for (const std::string& when : at) {
      const std::string name = top / ("run" + std::to_string(runs++));
      prepare(name, piped);
      th::RunResult r;
      const auto log = traced(program, name, piped, call + ":error=" + error + ":when=" + when, &r);
      SCOPED_TRACE(k + " fails at " + call + " number " + when);
      const auto failed =
          std::find_if(log.begin(), log.end(), [](const Call& c) { return c.injected; });
      // A pipe's reads come in the sizes that the writer's pace gives them,
      // so a run may need fewer than the clean one did: then none failed.
      const bool reached = failed != log.end() || !piped || call != "read";
      EXPECT_TRUE(r.exited(want == kOk || !reached ? 0 : 1) &&
                  r.err.ends_with(th::ending(reached ? want : kOk)))
          << r.describe();
      EXPECT_EQ(lost(name, piped), "");
      if (!reached) continue;
      ASSERT_NE(failed, log.end());
      // Not known to have failed until the position is used.
      const bool noticed_later = k == "lseek:source:cur";
      for (auto c = failed + 1; want != kOk && !noticed_later && c != log.end(); ++c)
        // The track file being written is still finished; nothing else changes.
        EXPECT_FALSE(((c->name == "ftruncate" || c->name.starts_with("unlink")) &&
                      !c->path.ends_with(".WAV")) ||
                     c->args.find("O_CREAT") != std::string::npos)
            << c->name << "(" << c->args << ") after the failure";
      if (want == kOk && !piped) {
        auto files = th::files_in(name);
        EXPECT_EQ(files.erase("rec.wav"), call == "unlink" ? 1u : 0u);
        EXPECT_TRUE(files == kFiles);
      }
      fs::remove_all(name);
    }
  }
  EXPECT_GE(runs, piped ? 30 : 60);
}

TEST_P(Reliability, EveryFailingCallOfAnInPlaceSplitLosesNothing) {
  if (strace().empty()) GTEST_SKIP() << "strace is missing or may not trace here";
  fault_sweep(GetParam(), false);
}

TEST_P(Reliability, EveryFailingCallOfAPipedSplitKeepsTheEarlierTracks) {
  if (strace().empty()) GTEST_SKIP() << "strace is missing or may not trace here";
  fault_sweep(GetParam(), true);
}

// SIGKILL before every call that changes a file and before every 25th
// write; then the same command again gives the same files.
TEST_P(Reliability, KilledAnywhereAndRunAgainGivesTheSameTracks) {
  if (strace().empty()) GTEST_SKIP() << "strace is missing or may not trace here";
  th::TempDir top;
  prepare(top / "clean", false);
  std::map<std::string, int> count;
  for (const Call& c : traced(GetParam(), top / "clean", false, ""))
    if (c.name != "read" && c.name != "lseek") count[c.name]++;
  std::vector<std::string> points;
  for (const auto& [call, n] : count)
    for (int k = 1; k <= n; k++)
      if (call != "write" || k % 25 == 0 || k == n)
        points.push_back(call + ":signal=KILL:when=" + std::to_string(k));
#ifdef __SANITIZE_ADDRESS__
  const size_t every = 6;  // slow there
#else
  const size_t every = 1;
#endif
  for (size_t i = 0; i < points.size(); i += every) {
    SCOPED_TRACE(points[i]);
    const std::string name = top / ("run" + std::to_string(i));
    prepare(name, false);
    th::RunResult r;
    traced(GetParam(), name, false, points[i], &r);
    EXPECT_EQ(r.signal, SIGKILL) << r.describe();
    EXPECT_EQ(lost(name, false), "");
    if (fs::exists(name + "/rec.wav")) {
      const auto again = th::run(command(GetParam(), false), name);
      EXPECT_TRUE(again.exited(0)) << "run again: " << again.describe();
    }
    EXPECT_EQ(th::differences(name, kFiles), "");
    fs::remove_all(name);
  }
  EXPECT_GE(points.size(), 30u);
}

// A source that changes while the run waits before creating a track file
// (it grows) or before reopening it after a cut (another file takes its
// name): what follows would drop what was added or copy from the other
// file, so it is refused, and no track file is written after it.
TEST_P(Reliability, SourceThatChangesDuringTheRunIsNotCut) {
  if (strace().empty()) GTEST_SKIP() << "strace is missing or may not trace here";
  const struct {
    int track;
    const char* waits_for;  // the file whose `when`-th opening is delayed
    int when;
  } cases[] = {
      {4, "TRACK04.WAV", 1}, {3, "TRACK03.WAV", 1}, {1, "TRACK01.WAV", 1}, {4, "rec.wav", 3}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string("changed while ") + c.waits_for + " waits");
    th::TempDir top;
    const std::string dir = top / "run", file = c.waits_for;
    prepare(dir, false);
    const auto argv = command(GetParam(), false,
                              {strace(), "-f", "-o", "/dev/null", "-P", file, "-P",
                               fs::canonical(dir).string() + "/" + file, "-e", "trace=openat", "-e",
                               "inject=openat:delay_enter=1000000:when=" + std::to_string(c.when)});
    bool changed = false;
    const auto r = th::run(
        argv, dir, {.watch = [&](const std::string& err) {
          if (err.find(c.when == 1 ? "Writing new WAVE file of track " + std::to_string(c.track)
                                   : "Deleting the track") == std::string::npos)
            return false;
          if (c.when == 1) std::ofstream(dir + "/rec.wav", std::ios::app) << "grown";
          if (c.when == 3) {  // once cut, while the reopening waits
            usleep(200000);
            th::write_file(dir + "/other", kWave.substr(0, kWave.size() / 2));
            fs::rename(dir + "/other", dir + "/rec.wav");
          }
          return changed = true;
        }});
    ASSERT_TRUE(changed);
    EXPECT_TRUE(r.exited(1) && r.err.ends_with(th::ending(truncate_failed))) << r.describe();
    const std::string source = th::read_file(dir + "/rec.wav");
    if (c.when == 3) {
      EXPECT_EQ(
          th::differences(dir, {{"rec.wav", source}, {"TRACK04.WAV", kFiles.at("TRACK04.WAV")}}),
          "");
      continue;
    }
    ASSERT_TRUE(source.ends_with("grown"));
    th::write_file(dir + "/rec.wav", source.substr(0, source.size() - 5));
    EXPECT_EQ(lost(dir, false), "");
  }
}

// A split on a tmpfs of `size` bytes, its files copied into `result`
// afterwards. False when no tmpfs can be mounted here (neither root nor a
// user namespace).
bool on_tmpfs(const std::string& program, int64_t size, const std::string& result,
              th::RunResult* r) {
  th::TempDir mnt;
  prepare(result, false);
  const std::string m = "'" + mnt.path() + "'", res = "'" + result + "'";
  const std::string script = "mount -t tmpfs -o size=" + std::to_string(size) + " tmpfs " + m +
                             " || exit 125\ncd " + m + " && mv " + res +
                             "/rec.wav . && \"$@\"; rc=$?; cp * " + res + "; cd / && umount " + m +
                             "; exit $rc";
  for (std::vector<std::string> prefix : {std::vector<std::string>{}, {"unshare", "-rm"}}) {
    if (!prefix.empty() && geteuid() == 0) break;
    prefix.insert(prefix.end(), {"/bin/sh", "-c", script, "sh"});
    *r = th::run(command(program, false, prefix), "/");
    if (r->status != 125) return true;
  }
  return false;
}

// Room for the source and its largest track is enough; with one page less
// than the first track file needs, the run fails before anything is cut.
TEST_P(Reliability, DiskFullAtThePromisedFreeSpace) {
  const int64_t page = sysconf(_SC_PAGESIZE);
  const auto pages = [&](size_t bytes) {
    return (static_cast<int64_t>(bytes) + page - 1) / page * page;
  };
  int64_t largest = 0;
  for (const auto& f : kFiles) largest = std::max(largest, pages(f.second.size()));
  const int64_t enough = pages(kWave.size()) + largest;
  const int64_t too_little = pages(kWave.size()) + pages(kFiles.at("TRACK04.WAV").size()) - page;
  th::TempDir top;
  for (const int64_t size : {enough, too_little}) {
    SCOPED_TRACE("a tmpfs of " + std::to_string(size) + " bytes");
    th::RunResult r;
    if (!on_tmpfs(GetParam(), size, top / std::to_string(size), &r))
      GTEST_SKIP() << "no tmpfs can be mounted here";
    if (size == enough) {
      EXPECT_TRUE(r.exited(0)) << r.describe();
      EXPECT_EQ(th::differences(top / std::to_string(size), kFiles), "");
    } else {
      EXPECT_TRUE(r.exited(1) && r.err.ends_with(th::ending(write_failed))) << r.describe();
      EXPECT_TRUE(th::read_file(top / std::to_string(size) + "/rec.wav") == kWave);
      EXPECT_EQ(lost(top / std::to_string(size), false), "");
    }
  }
}

// keldrun-view's page and labels appear only whole and durable: each is
// written to a temporary file made exclusively (never through a link planted
// under its name), synced, renamed into place, and its directory synced.
TEST(CompanionFiles, AppearOnlyWholeAndDurable) {
  if (strace().empty()) GTEST_SKIP() << "strace is missing or may not trace here";
  th::TempDir dir;
  th::write_file(dir / "side.wav", kWave);
  const std::string real = fs::canonical(dir.path()).string(), log = dir / "../view.log";
  const th::RunResult r =
      th::run({strace(), "-f", "-y", "-o", log, "-e",
               "trace=openat,write,fsync,fdatasync,close,rename,renameat,renameat2",
               th::program("keldrun-view"), "--tracks", "4", "side.wav"},
              dir.path());
  ASSERT_TRUE(r.exited(0)) << r.describe();
  std::string story, last;
  for (const Call& c : parse(th::read_file(log), real)) {
    const bool part = c.path.starts_with(real + "/.keldrun-") && c.path.ends_with(".part");
    std::string step = c.name + (part ? " part" : c.path == real ? " dir" : "");
    if (c.name.starts_with("rename"))
      step = "rename to " + c.args.substr(c.args.rfind(", ") + 2);
    else if (!part && c.path != real)
      continue;
    if (c.name == "openat" && part)
      step += c.args.find("O_EXCL") != std::string::npos &&
                      c.args.find("O_NOFOLLOW") != std::string::npos
                  ? " exclusively"
                  : " as it is";
    if (step != last) story += step + "; ";
    last = step;
  }
  fs::remove(log);
  const std::string durably =
      "openat part exclusively; write part; fsync part; close part; rename to \"side.";
  EXPECT_EQ(story, durably + "html\"; openat dir; fsync dir; close dir; " + durably +
                       "txt\"; openat dir; fsync dir; close dir; ");
}

INSTANTIATE_TEST_SUITE_P(Programs, Reliability, testing::Values("keldrun", "keldrun-cut"),
                         [](const auto& info) {
                           return info.param == "keldrun" ? "Keldrun" : "KeldrunCut";
                         });

}  // namespace
