#include "reliability.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "helpers.h"

namespace rel {

namespace fs = std::filesystem;

std::string noise_recording(const std::vector<uint32_t>& tracks, uint32_t lead, uint32_t gap,
                            uint32_t seed) {
  uint64_t frames = lead;
  for (const uint32_t n : tracks) frames += n + gap;
  // Filled in place: megabytes of frames one append at a time are slow in
  // the sanitized build.
  std::string data(4 * frames, '\0');
  uint32_t x = seed * 2654435761u + 1;
  size_t at = 4 * static_cast<size_t>(lead);
  for (const uint32_t n : tracks) {
    for (uint32_t i = 0; i < 2 * n; i++, at += 2) {
      x = x * 1103515245u + 12345u;
      const int magnitude = 6000 + static_cast<int>(x >> 8) % 20000;
      const auto v = static_cast<uint16_t>(x & 0x80 ? -magnitude : magnitude);
      data[at] = static_cast<char>(v & 0xFF);
      data[at + 1] = static_cast<char>(v >> 8);
    }
    at += 4 * static_cast<size_t>(gap);
  }
  return th::canonical_header(static_cast<uint32_t>(data.size())) + data;
}

std::map<std::string, std::string> Reference::files() const {
  std::map<std::string, std::string> f;
  for (const auto& t : tracks) f[t.name] = t.bytes;
  return f;
}

Reference make_reference(const std::string& original,
                         const std::map<std::string, std::string>& track_files,
                         std::string* problem) {
  Reference ref;
  ref.original = original;
  for (const auto& [name, bytes] : track_files) {
    RefTrack t{name, bytes, 0, 0};
    const std::string data = bytes.size() > 44 ? bytes.substr(44) : "";
    // Found by a stretch of its sound, then compared whole: searching for
    // the whole of it crawls through long silences.
    const size_t loud = data.find_first_not_of('\0');
    const size_t k = loud == std::string::npos ? 0 : loud - loud % 4;
    const std::string anchor = data.substr(k, 64);
    const size_t hit = loud == std::string::npos ? std::string::npos : original.find(anchor, 44);
    const size_t at = hit == std::string::npos || hit < 44 + k ? std::string::npos : hit - k;
    if (at == std::string::npos || (at - 44) % 4 != 0 ||
        original.compare(at, data.size(), data) != 0 ||
        original.find(anchor, hit + 1) != std::string::npos) {
      *problem += name + ": its frames are not found exactly once in the recording\n";
      continue;
    }
    t.begin = static_cast<int64_t>(at);
    t.end = static_cast<int64_t>(at + data.size());
    ref.tracks.push_back(t);
  }
  return ref;
}

std::map<std::string, std::string> files_in(const std::string& dir) {
  std::map<std::string, std::string> files;
  for (const auto& e : fs::directory_iterator(dir))
    if (e.is_regular_file()) files[e.path().filename().string()] = th::read_file(e.path());
  return files;
}

namespace {

int64_t frame_of(int64_t byte) {
  return (byte - 44) / 4;
}

std::string state_of(const std::map<std::string, std::string>& files, const RefTrack& t) {
  const auto it = files.find(t.name);
  if (it == files.end()) return "the file is missing";
  return "the file holds " + std::to_string(it->second.size()) + " of its " +
         std::to_string(t.bytes.size()) + " bytes" +
         (it->second.size() == t.bytes.size() ? ", not the right ones" : "");
}

}  // namespace

std::string check_conservation(const Reference& ref, const std::string& dir,
                               const std::string& source) {
  const auto files = files_in(dir);
  std::string problems;
  const auto src = files.find(source);
  int64_t kept = -1;  // bytes of the recording that the source still holds
  if (src != files.end()) {
    const std::string& s = src->second;
    if (s.size() < 44) problems += "the source is shorter than its header\n";
    if (s.size() > ref.original.size() || ref.original.compare(0, s.size(), s) != 0) {
      size_t i = 0;
      while (i < s.size() && i < ref.original.size() && s[i] == ref.original[i]) i++;
      problems += "the source is not a prefix of the recording: it differs from byte " +
                  std::to_string(i) + " on (" + std::to_string(s.size()) + " bytes)\n";
    } else {
      kept = static_cast<int64_t>(s.size());
    }
  }
  for (const auto& t : ref.tracks) {
    const auto f = files.find(t.name);
    const bool complete = f != files.end() && f->second == t.bytes;
    const bool in_source = kept >= t.end;
    if (complete || in_source) continue;
    problems +=
        t.name + ": frames " + std::to_string(frame_of(t.begin)) + " to " +
        std::to_string(frame_of(t.end) - 1) + " are lost: " + state_of(files, t) + ", and " +
        (kept < 0 ? std::string(src == files.end() ? "the source is gone" : "the source is damaged")
                  : "the source ends at byte " + std::to_string(kept)) +
        "\n";
  }
  return problems;
}

std::string check_piped(const Reference& ref, const std::string& dir) {
  const auto files = files_in(dir);
  size_t complete = 0;
  while (complete < ref.tracks.size()) {
    const auto f = files.find(ref.tracks[complete].name);
    if (f == files.end() || f->second != ref.tracks[complete].bytes) break;
    complete++;
  }
  // Only the track being written may be there besides (or the file of an
  // empty track before it, not yet deleted).
  const std::string limit =
      complete < ref.tracks.size() ? ref.tracks[complete].name : std::string("~");
  std::string problems;
  for (const auto& [name, bytes] : files) {
    bool known = false;
    for (size_t i = 0; i < complete; i++) known = known || ref.tracks[i].name == name;
    if (!known && name > limit) problems += name + " is there after an incomplete track\n";
  }
  for (size_t i = complete + 1; i < ref.tracks.size(); i++)
    if (files.count(ref.tracks[i].name) && files.at(ref.tracks[i].name) == ref.tracks[i].bytes)
      problems +=
          ref.tracks[i].name + " is complete although " + ref.tracks[complete].name + " is not\n";
  return problems;
}

std::string Run::describe() const {
  std::string s = hung     ? "hung (killed at the time limit)"
                  : signal ? "ended by signal " + std::to_string(signal)
                           : "exit code " + std::to_string(code);
  return s + "; stderr: " + th::visible(err);
}

namespace {

// Copies the file `path` into descriptor `fd` (a pipe); gives up quietly
// when the reader goes away.
[[noreturn]] void feed(const std::string& path, int fd) {
  signal(SIGPIPE, SIG_IGN);
  const int in = open(path.c_str(), O_RDONLY);
  char buf[65536];
  for (ssize_t n; in >= 0 && (n = read(in, buf, sizeof buf)) > 0;) {
    for (ssize_t done = 0; done < n;) {
      const ssize_t w = write(fd, buf + done, static_cast<size_t>(n - done));
      if (w <= 0) _exit(0);
      done += w;
    }
  }
  _exit(0);
}

// Moves what the pipes hold into `out` and `err`; false once both are shut.
bool drain(int fds[2], std::string* dst[2], int wait_ms) {
  pollfd p[2];
  int n = 0;
  for (int i = 0; i < 2; i++)
    if (fds[i] >= 0) p[n++] = {fds[i], POLLIN, 0};
  if (n == 0) return false;
  if (poll(p, static_cast<nfds_t>(n), wait_ms) <= 0) return true;
  for (int k = 0; k < n; k++) {
    if (!p[k].revents) continue;
    const int i = p[k].fd == fds[0] ? 0 : 1;
    char buf[65536];
    const ssize_t got = read(fds[i], buf, sizeof buf);
    if (got > 0) {
      dst[i]->append(buf, static_cast<size_t>(got));
    } else if (got == 0 || errno != EAGAIN) {
      close(fds[i]);
      fds[i] = -1;
    }
  }
  return true;
}

}  // namespace

Run run(const Spawn& s) {
  // Output goes through pipes: a limit on file sizes must not cut it short.
  int outp[2], errp[2];
  if (pipe(outp) != 0 || pipe(errp) != 0) throw std::runtime_error("pipe");
  int pipefd[2] = {-1, -1};
  pid_t feeder = -1;
  if (s.in == Spawn::In::pipe) {
    if (pipe(pipefd) != 0) throw std::runtime_error("pipe");
    feeder = fork();
    if (feeder == 0) {
      close(pipefd[0]);
      feed(s.in_path, pipefd[1]);
    }
  }
  const auto t0 = std::chrono::steady_clock::now();
  const pid_t pid = fork();
  if (pid == 0) {
    setpgid(0, 0);  // a group of its own, so a hang takes strace and all
    int in = -1;
    switch (s.in) {
      case Spawn::In::null:
        in = open("/dev/null", O_RDONLY);
        break;
      case Spawn::In::file:
        in = open(s.in_path.c_str(), O_RDONLY);
        break;
      case Spawn::In::pipe:
        in = pipefd[0];
        break;
      case Spawn::In::closed:
        break;
    }
    if (in >= 0) {
      dup2(in, 0);
      if (in != 0) close(in);
    } else {
      close(0);
    }
    if (pipefd[1] >= 0) close(pipefd[1]);
    dup2(outp[1], 1);
    dup2(errp[1], 2);
    for (int fd : {outp[0], outp[1], errp[0], errp[1]}) close(fd);
    if (s.file_size_limit >= 0) {
      // A write past the limit then comes back short, or fails with EFBIG.
      signal(SIGXFSZ, SIG_IGN);
      const rlimit lim{static_cast<rlim_t>(s.file_size_limit),
                       static_cast<rlim_t>(s.file_size_limit)};
      setrlimit(RLIMIT_FSIZE, &lim);
    }
    if (s.argv[0].size() >= 6 && s.argv[0].compare(s.argv[0].size() - 6, 6, "strace") == 0) {
      // LeakSanitizer cannot work under ptrace: a sanitized program would
      // end with its complaint instead of its own exit.
      const char* old = std::getenv("ASAN_OPTIONS");
      const std::string opts =
          std::string(old ? old : "") + (old && *old ? ":" : "") + "detect_leaks=0";
      setenv("ASAN_OPTIONS", opts.c_str(), 1);
    }
    if (chdir(s.cwd.c_str()) != 0) _exit(126);
    std::vector<char*> argv;
    for (const auto& a : s.argv) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  if (pipefd[0] >= 0) close(pipefd[0]);
  if (pipefd[1] >= 0) close(pipefd[1]);
  close(outp[1]);
  close(errp[1]);
  int fds[2] = {outp[0], errp[0]};
  for (int fd : fds) fcntl(fd, F_SETFL, O_NONBLOCK);
  Run r;
  std::string* dst[2] = {&r.out, &r.err};
  int status = 0;
  bool watched = false;
  for (;;) {
    drain(fds, dst, 1);
    if (s.watch && !watched) watched = s.watch(r.err);
    if (waitpid(pid, &status, WNOHANG) == pid) break;
    const double t = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    if (s.kill_after >= 0 && t >= s.kill_after && !r.killed) {
      kill(pid, SIGKILL);
      r.killed = true;
    }
    if (t >= s.timeout && !r.hung) {
      kill(-pid, SIGKILL);
      kill(pid, SIGKILL);
      r.hung = true;
    }
  }
  r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  // What is left in the pipes; a straggler that holds them open is not
  // waited for long.
  kill(-pid, SIGKILL);
  for (int i = 0; i < 1000 && drain(fds, dst, 10);) i++;
  for (int fd : fds)
    if (fd >= 0) close(fd);
  if (feeder > 0) {
    kill(feeder, SIGKILL);
    waitpid(feeder, nullptr, 0);
  }
  if (WIFEXITED(status)) r.code = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) r.signal = WTERMSIG(status);
  // A SIGKILL that came after the program had finished killed nothing.
  r.killed = r.killed && r.signal == SIGKILL;
  return r;
}

std::string keldrun() {
  return th::keldrun_path();
}

const std::string& strace() {
  static const std::string path = [] {
    for (const char* p : {"/usr/bin/strace", "/bin/strace", "/usr/local/bin/strace"}) {
      if (access(p, X_OK) != 0) continue;
      // Tracing may be forbidden (no ptrace in the container).
      const Run probe = run(Spawn({p, "-f", "-o", "/dev/null", "/bin/true"}));
      return probe.exited(0) ? std::string(p) : std::string();
    }
    return std::string();
  }();
  return path;
}

const char* const file_calls =
    "trace=openat,read,write,lseek,fdatasync,fsync,close,ftruncate,unlink,unlinkat";

namespace {

// The end of the argument list that opens at line[open]: strings and
// nested brackets are skipped.
size_t args_end(const std::string& line, size_t open) {
  int depth = 0;
  bool quoted = false;
  for (size_t i = open; i < line.size(); i++) {
    const char c = line[i];
    if (quoted) {
      if (c == '\\') i++;
      if (c == '"') quoted = false;
    } else if (c == '"') {
      quoted = true;
    } else if (c == '(' || c == '[' || c == '{') {
      depth++;
    } else if (c == ')' || c == ']' || c == '}') {
      if (--depth == 0) return i;
    }
  }
  return std::string::npos;
}

std::string first_string(const std::string& args) {
  const size_t q = args.find('"');
  if (q == std::string::npos) return "";
  const size_t e = args.find('"', q + 1);
  return args.substr(q + 1, e - q - 1);
}

std::string first_fd_path(const std::string& args) {
  const size_t a = args.find('<');
  if (a == std::string::npos) return "";
  return args.substr(a + 1, args.find('>', a) - a - 1);
}

}  // namespace

std::vector<Call> parse_strace(const std::string& log, const std::string& cwd) {
  std::vector<Call> calls;
  std::istringstream in(log);
  for (std::string line; std::getline(in, line);) {
    size_t p = 0;
    while (p < line.size() && std::isdigit(static_cast<unsigned char>(line[p]))) p++;
    while (p < line.size() && line[p] == ' ') p++;
    const size_t open = line.find('(', p);
    if (open == std::string::npos) continue;
    Call c;
    c.name = line.substr(p, open - p);
    if (c.name.empty() || c.name.find_first_of(" +-") != std::string::npos) continue;
    const size_t close = args_end(line, open);
    if (close == std::string::npos) continue;
    c.args = line.substr(open + 1, close - open - 1);
    const std::string rest = line.substr(close + 1);
    const size_t eq = rest.find(" = ");
    if (eq == std::string::npos) continue;
    c.result = std::strtoll(rest.c_str() + eq + 3, nullptr, 10);
    if (c.result == -1) {
      const size_t e = eq + 6;
      c.error = rest.substr(e, rest.find(' ', e) - e);
    }
    c.injected = rest.find("(INJECTED)") != std::string::npos;
    if (c.name == "openat" || c.name == "unlink" || c.name == "unlinkat") {
      const std::string name = first_string(c.args);
      std::string dir = c.name == "unlink" ? cwd : first_fd_path(c.args);
      if (dir.empty()) dir = cwd;
      c.path = name.empty() || name[0] == '/' ? name : name == "." ? dir : dir + "/" + name;
    } else {
      c.path = first_fd_path(c.args);
    }
    calls.push_back(c);
  }
  return calls;
}

std::string real_path(const std::string& path) {
  return fs::canonical(path).string();
}

bool sanitized() {
  if (const char* full = std::getenv("KELDRUN_FULL_SWEEPS"); full && *full == '1') return false;
#if defined(__SANITIZE_ADDRESS__)
  return true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
  return true;
#endif
#endif
  return false;
}

}  // namespace rel
