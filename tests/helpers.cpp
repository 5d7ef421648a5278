#include "helpers.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <string_view>
#include <thread>

#include "detect.h"
#include "keldrun.h"

namespace th {

void VectorPath::SetUp() {
  if (use_wide_steps(GetParam()) != GetParam()) GTEST_SKIP() << "this processor has no AVX2";
}

void VectorPath::TearDown() {
  use_wide_steps(true);
}

std::string path_name(const testing::TestParamInfo<bool>& path) {
  return path.param ? "AVX2" : "SSE2";
}

namespace fs = std::filesystem;

std::string u32(uint32_t v) {
  std::string s(4, '\0');
  for (int i = 0; i < 4; i++) s[i] = static_cast<char>(v >> 8 * i);
  return s;
}

std::string u16(uint16_t v) {
  return u32(v).substr(0, 2);
}

std::string chunk(const std::string& id, const std::string& payload, int64_t size) {
  std::string c = id + u32(static_cast<uint32_t>(size < 0 ? payload.size() : size)) + payload;
  return size < 0 && payload.size() % 2 ? c + '\0' : c;
}

std::string fmt_payload(uint16_t tag, uint16_t channels, uint32_t rate, uint16_t bits,
                        uint32_t bytes_per_sec) {
  return u16(tag) + u16(channels) + u32(rate) + u32(bytes_per_sec) + u16(4) + u16(bits);
}

std::string canonical_header(uint32_t data_bytes) {
  return "RIFF" + u32(data_bytes + 36) + "WAVE" + chunk("fmt ", fmt_payload()) + "data" +
         u32(data_bytes);
}

namespace {

struct Recipe {
  std::istringstream words;
  uint32_t tone = 0, noise = 1;
  std::string out;

  void frame(int l, int r) { out += u16(static_cast<uint16_t>(l)) + u16(static_cast<uint16_t>(r)); }
  // Words up to the end or a closing parenthesis.
  void group() {
    for (std::string w; words >> w && w[0] != ')';) {
      if (w == "(") {
        const auto at = words.tellg();
        std::string end;
        int times = 1;
        for (int depth = 1; depth && words >> end;)
          depth += end == "(" ? 1 : end[0] == ')' ? -1 : 0;
        times = std::atoi(end.c_str() + 1);
        for (int i = 0; i < times; i++) {
          words.clear();
          words.seekg(at);
          group();
        }
        continue;
      }
      const long n = std::atol(w.c_str() + 1);
      const char* colon = std::strchr(w.c_str(), ':');
      if (w[0] == 'f') frame(std::atoi(w.c_str() + 1), std::atoi(colon + 1));
      for (long k = 0; w[0] == 'l' && k < std::atol(colon + 1); k++) frame(n, n);
      for (long k = 0; w[0] == 's' && k < n; k++) frame(0, 0);
      for (long k = 0; w[0] == 't' && k < n; k++, tone++)
        frame(9100 + tone * 37 % 900, -(9100 + static_cast<int>(tone * 53 % 900)));
      for (long k = 0; w[0] == 'n' && k < 2 * n; k++) {
        noise = noise * 1103515245u + 12345u;
        const int m = 6000 + static_cast<int>(noise >> 8) % 20000;
        out += u16(static_cast<uint16_t>(noise & 0x80 ? -m : m));
      }
    }
  }
};

}  // namespace

std::string frames(const std::string& recipe) {
  Recipe r{std::istringstream(recipe), 0, 1, {}};
  r.group();
  return r.out;
}

std::string wave(const std::string& data, int64_t declared) {
  return canonical_header(static_cast<uint32_t>(declared < 0 ? data.size() : declared)) + data;
}

settings settings_of(const std::vector<std::string>& args) {
  settings s;
  for (size_t i = 0; i + 1 < args.size(); i++) {
    const double v = std::strtod(args[i + 1].c_str(), nullptr);
    const char sw = args[i].size() == 2 && args[i][0] == '/' ? std::toupper(args[i][1]) : 0;
    if (sw == 'T') s.level = static_cast<uint32_t>(static_cast<int64_t>(v * 32767));
    if (sw == 'G') s.gap = static_cast<uint32_t>(static_cast<int64_t>(v * 44100));
    if (sw == 'F') s.filter = static_cast<int32_t>(v);
    if (sw == 'C') s.cut = static_cast<int32_t>(v * 44100);
  }
  return s;
}

std::vector<int> levels(const std::string& data, int64_t frames) {
  std::vector<int> level(static_cast<size_t>(frames));
  for (size_t k = 0; k < level.size(); k++) {
    for (size_t at = 4 * k; at < 4 * k + 4; at += 2) {
      const auto byte = [&](size_t i) { return i < data.size() ? data[i] & 0xFF : 0xFF; };
      level[k] = std::max(level[k], std::abs(static_cast<int16_t>(byte(at) | byte(at + 1) << 8)));
    }
  }
  return level;
}

std::vector<Track> model(const std::string& data, int64_t declared, settings s, bool* too_many) {
  const int64_t present = static_cast<int64_t>(data.size() / 4);
  if (declared < 0) declared = present;
  // The step that meets an early end reads what is left, 0xFF for the rest.
  const bool early = declared > present;
  const int64_t steps = std::min(declared, present) + early;
  const std::vector<int> level = levels(data, steps);
  const int64_t f = s.filter, cut = s.cut < 0 ? static_cast<int32_t>(s.gap) : s.cut;
  const auto sound = [&](int64_t k) {
    int64_t sum = 0;
    for (int64_t j = std::max<int64_t>(0, k - f); j <= k; j++) sum += level[static_cast<size_t>(j)];
    return sum > int64_t{s.level} * (f + 1);
  };
  std::vector<Track> tracks;
  int64_t pos = 0;
  while (pos < steps && !sound(pos)) pos++;
  if (pos++ == steps) return tracks;
  for (int n = 1; n < 100; n++) {
    Track t{n, std::max<int64_t>(0, pos - f), 0, 0};
    for (int64_t silence = 0; pos < steps;) {
      const int64_t k = pos++;
      if (k >= f) t.peak = std::max(t.peak, level[static_cast<size_t>(k - f)]);
      if (!sound(k)) {
        silence++;
      } else if (silence >= s.gap) {
        break;
      } else {
        silence = 0;
      }
    }
    t.end = pos - cut - f - (early && pos == steps);
    tracks.push_back(t);
    if (pos >= steps) return tracks;
  }
  if (too_many) *too_many = true;
  return tracks;
}

std::string exactly(const listing& l) {
  std::ostringstream text;
  text << l.scans << (l.too_many ? " too many" : "") << (l.no_sound ? " none" : "") << "\n";
  for (const track& t : l.tracks)
    text << t.number << " " << t.start << " " << t.end << " " << t.peak << "\n";
  return text.str();
}

std::string exactly(const std::vector<Track>& tracks, bool too_many) {
  listing l;
  l.scans = static_cast<int>(tracks.size()), l.no_sound = tracks.empty(), l.too_many = too_many;
  for (const Track& t : tracks)
    if (t.end > t.start) l.tracks.push_back({t.number, t.start, t.end, t.peak});
  return exactly(l);
}

std::string track_name(int number, const std::string& base) {
  char digits[4];
  std::snprintf(digits, sizeof digits, "%02d", number);
  return base + digits + ".WAV";
}

std::string labels(const std::vector<std::pair<int64_t, int64_t>>& tracks) {
  std::string text;
  for (const auto& [start, end] : tracks) {
    char line[80];  // six decimals of a second: exact to the frame
    std::snprintf(line, sizeof line, "%.6f\t%.6f\tA b\n", static_cast<double>(start) / 44100,
                  static_cast<double>(end) / 44100);
    text += line;
  }
  return text;
}

std::map<std::string, std::string> track_files(const std::string& data,
                                               const std::vector<Track>& tracks, bool normalized,
                                               const std::string& base) {
  std::map<std::string, std::string> files;
  for (const Track& t : tracks) {
    if (t.end <= t.start) continue;
    std::string d =
        data.substr(static_cast<size_t>(4 * t.start), static_cast<size_t>(4 * (t.end - t.start)));
    for (size_t i = 0; normalized && t.peak > 0 && i < d.size(); i += 2) {
      const int x = static_cast<int16_t>((d[i] & 0xFF) | (d[i + 1] & 0xFF) << 8);
      const auto y = static_cast<uint16_t>(std::trunc(x * 32767.0 / t.peak));
      d[i] = static_cast<char>(y);
      d[i + 1] = static_cast<char>(y >> 8);
    }
    files[track_name(t.number, base)] = canonical_header(static_cast<uint32_t>(d.size())) + d;
  }
  return files;
}

FILE* memfile(const std::string& bytes) {
  FILE* f = std::tmpfile();
  fwrite(bytes.data(), 1, bytes.size(), f);
  rewind(f);
  return f;
}

std::string read_file(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::ostringstream s;
  s << f.rdbuf();
  return s.str();
}

void write_file(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

std::map<std::string, std::string> files_in(const std::string& dir) {
  std::map<std::string, std::string> files;
  for (const auto& e : fs::recursive_directory_iterator(dir)) {
    const std::string name = e.path().lexically_relative(dir).string();
    if (e.is_symlink())
      files[name] = "-> " + fs::read_symlink(e.path()).string();
    else if (e.is_regular_file())
      files[name] = read_file(e.path().string());
  }
  return files;
}

std::string differences(const std::string& dir, const std::map<std::string, std::string>& want) {
  const auto got = files_in(dir);
  std::string d;
  for (const auto& [name, bytes] : want) {
    const auto it = got.find(name);
    if (it == got.end())
      d += name + " is missing; ";
    else if (it->second != bytes)
      d += name + " has " + std::to_string(it->second.size()) + " bytes, not the " +
           std::to_string(bytes.size()) + " expected; ";
  }
  for (const auto& [name, bytes] : got)
    if (!want.count(name)) d += name + " should not be there; ";
  return d;
}

TempDir::TempDir() : path_((fs::temp_directory_path() / "keldrun-test-XXXXXX").string()) {
  if (!mkdtemp(path_.data())) throw std::runtime_error("mkdtemp");
}

TempDir::~TempDir() {
  std::error_code ec;
  fs::remove_all(path_, ec);
}

bool emulated() {
  const char* e = std::getenv("KELDRUN_EMULATOR");
  return e && *e;
}

std::string program(const std::string& name) {
  const char* dir = std::getenv("KELDRUN_BIN_DIR");
  return std::string(dir && *dir ? dir : KELDRUN_BIN_DIR) + "/" + name + (emulated() ? ".exe" : "");
}

std::string native(const std::string& text) {
  if (!emulated()) return text;
  std::string t;
  for (char c : text) t += c == '\n' ? "\r\n" : std::string(1, c);
  return t;
}

std::string visible(const std::string& text) {
  std::string result, line;
  for (size_t i = 0; i < text.size(); i++) {
    if (text[i] == '\r' && text.compare(i, 2, "\r\n") != 0) {
      line.clear();  // overwritten by what follows
    } else {
      line += text[i];
      if (text[i] == '\n') result += line, line.clear();
    }
  }
  return result + line;
}

std::string ending(int code) {
  // The messages as the program must print them, by error code.
  static const char* const messages[] = {
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
      "\nFile name too long."};
  static_assert(std::size(messages) == err_count);
  return native(code < 0 ? "WAVE data successfully splitted. \n\a"
                         : messages[code] + std::string("\n\a"));
}

std::string RunResult::describe() const {
  return (hung     ? std::string("hung")
          : signal ? "signal " + std::to_string(signal)
                   : "exit code " + std::to_string(status)) +
         "; stderr: " + visible(err);
}

RunResult run(std::vector<std::string> argv, const std::string& cwd, const RunOptions& o) {
  if (argv[0].starts_with("keldrun")) {
    argv[0] = program(argv[0]);
    if (emulated()) argv.insert(argv.begin(), std::getenv("KELDRUN_EMULATOR"));
  }
  int in[2], outp[2], errp[2];
  if (pipe(in) || pipe(outp) || pipe(errp)) throw std::runtime_error("pipe");
  signal(SIGPIPE, SIG_IGN);
  const auto t0 = std::chrono::steady_clock::now();
  const pid_t pid = fork();
  if (pid == 0) {
    setpgid(0, 0);  // a group of its own, so that a hang takes strace and all
    dup2(in[0], 0);
    dup2(outp[1], 1);
    dup2(errp[1], 2);
    for (int fd : {in[0], in[1], outp[0], outp[1], errp[0], errp[1]}) close(fd);
    // LeakSanitizer cannot work under strace's ptrace.
    if (std::any_of(argv.begin(), argv.end(),
                    [](const std::string& a) { return a.ends_with("strace"); }))
      setenv("ASAN_OPTIONS", "detect_leaks=0", 1);
    std::vector<char*> args;
    for (auto& a : argv) args.push_back(a.data());
    args.push_back(nullptr);
    if (chdir(cwd.c_str()) == 0) execvp(args[0], args.data());
    _exit(127);
  }
  for (int fd : {in[0], outp[1], errp[1]}) close(fd);
  RunResult r;
  std::mutex m;
  const auto err = [&] {
    std::lock_guard<std::mutex> lock(m);
    return r.err;
  };
  // Once the run is over, what still holds a pipe open (a straggler of the
  // emulator's) is waited for half a second at most.
  std::atomic<bool> over = false;
  const auto ready = [&](int fd, short event) {
    for (int idle = 0; idle < 50; idle += over) {
      pollfd p{fd, event, 0};
      if (poll(&p, 1, 10) > 0) return true;
    }
    return false;
  };
  const auto drain = [&](int fd, std::string* to) {
    char buf[65536];
    for (ssize_t n; ready(fd, POLLIN) && (n = read(fd, buf, sizeof buf)) > 0;) {
      std::lock_guard<std::mutex> lock(m);
      to->append(buf, static_cast<size_t>(n));
    }
    close(fd);
  };
  std::thread out(drain, outp[0], &r.out), errors(drain, errp[0], &r.err);
  // The input, then each answer once its question has appeared.
  std::thread feeder([&, fd = in[1]] {
    fcntl(fd, F_SETFL, O_NONBLOCK);
    const auto send = [&](std::string_view s) {
      while (!s.empty() && ready(fd, POLLOUT)) {
        const ssize_t n = write(fd, s.data(), s.size());
        if (n > 0) s.remove_prefix(static_cast<size_t>(n));
        if (n < 0 && errno != EAGAIN) break;  // the reader went away
      }
      return s.empty();
    };
    bool ok = send(o.input);
    for (const auto& [question, answer] : o.answers) {
      while (ok && err().find(question) == std::string::npos && !over) usleep(1000);
      ok = ok && send(answer);
    }
    close(fd);
  });
  int status = 0;
  for (bool watched = !o.watch; waitpid(pid, &status, WNOHANG) != pid; usleep(1000)) {
    if (!watched) watched = o.watch(err());
    if (!r.hung && std::chrono::steady_clock::now() - t0 > std::chrono::minutes(2))
      r.hung = kill(-pid, SIGKILL) == 0;
  }
  over = true;
  kill(-pid, SIGKILL);
  for (std::thread* t : {&feeder, &out, &errors}) t->join();
  if (WIFSIGNALED(status)) r.signal = WTERMSIG(status);
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + r.signal;
  return r;
}

}  // namespace th
