#include "helpers.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace th {

std::string u32(uint32_t v) {
  std::string s(4, '\0');
  for (int i = 0; i < 4; i++) s[i] = static_cast<char>(v >> 8 * i);
  return s;
}

std::string u16(uint16_t v) {
  return u32(v).substr(0, 2);
}

std::string chunk(const std::string& id, const std::string& payload, int64_t size) {
  const uint32_t declared =
      size < 0 ? static_cast<uint32_t>(payload.size()) : static_cast<uint32_t>(size);
  std::string c = id + u32(declared) + payload;
  if (size < 0 && (payload.size() & 1)) c += '\0';
  return c;
}

std::string fmt_payload(uint16_t tag, uint16_t channels, uint32_t rate, uint16_t bits,
                        uint32_t bytes_per_sec, uint16_t block_align) {
  return u16(tag) + u16(channels) + u32(rate) + u32(bytes_per_sec) + u16(block_align) + u16(bits);
}

std::string canonical_header(uint32_t data_bytes) {
  return "RIFF" + u32(data_bytes + 36) + "WAVE" + chunk("fmt ", fmt_payload()) + "data" +
         u32(data_bytes);
}

Rec& Rec::frame(int16_t left, int16_t right) {
  data_ += u16(static_cast<uint16_t>(left));
  data_ += u16(static_cast<uint16_t>(right));
  return *this;
}

Rec& Rec::level(int16_t value, uint32_t n) {
  const std::string f = u16(static_cast<uint16_t>(value)) + u16(static_cast<uint16_t>(value));
  data_.reserve(data_.size() + 4 * static_cast<size_t>(n));
  for (uint32_t i = 0; i < n; i++) data_ += f;
  return *this;
}

Rec& Rec::tone(uint32_t n) {
  for (uint32_t k = 0; k < n; k++)
    frame(static_cast<int16_t>(9100 + k * 37 % 900), static_cast<int16_t>(-(9100 + k * 53 % 900)));
  return *this;
}

std::string Rec::wave(int64_t declared) const {
  std::string h = canonical_header(static_cast<uint32_t>(data_.size()));
  if (declared >= 0) h.replace(40, 4, u32(static_cast<uint32_t>(declared)));
  return h + data_;
}

FILE* memfile(const std::string& bytes) {
  FILE* f = std::tmpfile();
  if (!f) throw std::runtime_error("tmpfile");
  if (!bytes.empty()) fwrite(bytes.data(), 1, bytes.size(), f);
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
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

bool file_exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

std::map<std::string, std::string> files_in(const std::string& dir) {
  namespace fs = std::filesystem;
  std::map<std::string, std::string> files;
  for (const auto& e : fs::recursive_directory_iterator(dir)) {
    // Lexically: fs::relative would follow a link to its target.
    const std::string name = e.path().lexically_relative(dir).string();
    if (e.is_symlink())
      files[name] = "-> " + fs::read_symlink(e.path()).string();
    else if (e.is_regular_file())
      files[name] = read_file(e.path().string());
  }
  return files;
}

void expect_files(const std::string& dir, const std::map<std::string, std::string>& want) {
  const auto got = files_in(dir);
  std::vector<std::string> got_names, want_names;
  for (const auto& f : got) got_names.push_back(f.first);
  for (const auto& f : want) want_names.push_back(f.first);
  EXPECT_EQ(got_names, want_names);
  for (const auto& [name, bytes] : want) {
    const auto it = got.find(name);
    if (it == got.end()) continue;
    EXPECT_TRUE(it->second == bytes)
        << name << ": " << it->second.size() << " bytes, expected " << bytes.size();
  }
}

std::string track_name(size_t number, const std::string& base) {
  return base + static_cast<char>('0' + number / 10) + static_cast<char>('0' + number % 10) +
         ".WAV";
}

std::vector<std::string> join(std::vector<std::string> a, const std::vector<std::string>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

TempDir::TempDir() {
  std::string tmpl = (std::filesystem::temp_directory_path() / "keldrun-test-XXXXXX").string();
  if (!mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp");
  path_ = tmpl;
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

std::string keldrun_path() {
  if (const char* p = std::getenv("KELDRUN_BIN")) return p;
#ifdef KELDRUN_BIN
  return KELDRUN_BIN;
#else
  return "keldrun";
#endif
}

RunResult run_keldrun(const std::vector<std::string>& args, const std::string& cwd,
                      const std::string& input,
                      const std::vector<std::pair<std::string, std::string>>& answers) {
  std::vector<std::string> argv{keldrun_path()};
  argv.insert(argv.end(), args.begin(), args.end());
  return run_program(argv, cwd, {.input = input, .answers = answers});
}

std::string RunResult::describe() const {
  const std::string how = hung     ? "hung (killed at the time limit)"
                          : signal ? "ended by signal " + std::to_string(signal)
                                   : "exit code " + std::to_string(status);
  return how + "; stderr: " + visible(err);
}

namespace {

[[noreturn]] void exec_child(const std::vector<std::string>& args, const std::string& cwd,
                             const RunOptions& o) {
  setpgid(0, 0);  // a group of its own, so that a hang takes strace and all
  if (o.no_stdin) close(0);
  if (o.file_size_limit >= 0) {
    // A write past the limit then comes back short, or fails with EFBIG.
    signal(SIGXFSZ, SIG_IGN);
    const rlimit lim{static_cast<rlim_t>(o.file_size_limit),
                     static_cast<rlim_t>(o.file_size_limit)};
    setrlimit(RLIMIT_FSIZE, &lim);
  }
  if (args[0].ends_with("strace")) {
    const char* old = std::getenv("ASAN_OPTIONS");
    const std::string opts =
        std::string(old ? old : "") + (old && *old ? ":" : "") + "detect_leaks=0";
    setenv("ASAN_OPTIONS", opts.c_str(), 1);
  }
  if (chdir(cwd.c_str()) != 0) _exit(126);
  std::vector<char*> argv;
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  execv(argv[0], argv.data());
  _exit(127);
}

}  // namespace

RunResult run_program(const std::vector<std::string>& args, const std::string& cwd,
                      const RunOptions& o) {
  int in[2], outp[2], errp[2];
  if (pipe(in) || pipe(outp) || pipe(errp)) throw std::runtime_error("pipe");
  signal(SIGPIPE, SIG_IGN);
  const auto t0 = std::chrono::steady_clock::now();
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(in[0], 0);
    dup2(outp[1], 1);
    dup2(errp[1], 2);
    for (int fd : {in[0], in[1], outp[0], outp[1], errp[0], errp[1]}) close(fd);
    exec_child(args, cwd, o);
  }
  close(in[0]);
  close(outp[1]);
  close(errp[1]);
  RunResult r;
  int to_child = in[1], fds[2] = {outp[0], errp[0]};
  std::string* dst[2] = {&r.out, &r.err};
  for (int fd : {to_child, outp[0], errp[0]}) fcntl(fd, F_SETFL, O_NONBLOCK);
  size_t fed = 0, answered = 0;
  bool watched = !o.watch;
  const auto close_input = [&] {
    if (to_child >= 0) close(to_child);
    to_child = -1;
  };
  // Moves what the pipes hold into out and err, and feeds the input; false
  // once all are shut.
  const auto pump = [&](int wait_ms) {
    if (to_child >= 0 && fed == o.input.size()) {
      if (answered < o.answers.size() &&
          r.err.find(o.answers[answered].first) != std::string::npos) {
        const std::string& a = o.answers[answered++].second;
        if (write(to_child, a.data(), a.size()) < 0) close_input();
      }
      if (answered == o.answers.size()) close_input();
    }
    pollfd p[3];
    int n = 0;
    for (int fd : fds)
      if (fd >= 0) p[n++] = {fd, POLLIN, 0};
    if (to_child >= 0 && fed < o.input.size()) p[n++] = {to_child, POLLOUT, 0};
    if (n == 0) return poll(nullptr, 0, wait_ms) < 0;
    if (poll(p, static_cast<nfds_t>(n), wait_ms) <= 0) return true;
    for (int k = 0; k < n; k++) {
      if (!p[k].revents) continue;
      if (p[k].fd == to_child) {
        const ssize_t w =
            write(to_child, o.input.data() + fed, std::min<size_t>(o.input.size() - fed, 65536));
        if (w >= 0) fed += static_cast<size_t>(w);
        if (w < 0 && errno != EAGAIN) close_input();  // the reader went away
        continue;
      }
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
  };
  int status = 0;
  for (;;) {
    pump(1);
    if (!watched) watched = o.watch(r.err);
    if (waitpid(pid, &status, WNOHANG) == pid) break;
    const double t = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    if (o.kill_after >= 0 && t >= o.kill_after && !r.killed) {
      kill(pid, SIGKILL);
      r.killed = true;
    }
    if (t >= o.timeout && !r.hung) {
      kill(-pid, SIGKILL);
      kill(pid, SIGKILL);
      r.hung = true;
    }
  }
  r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  // What is left in the pipes; a straggler that holds them open is not
  // waited for long.
  kill(-pid, SIGKILL);
  close_input();
  for (int i = 0; i < 1000 && pump(10);) i++;
  for (int fd : fds)
    if (fd >= 0) close(fd);
  if (WIFSIGNALED(status)) r.signal = WTERMSIG(status);
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + r.signal;
  // A SIGKILL that came after the program had finished killed nothing.
  r.killed = r.killed && r.signal == SIGKILL;
  return r;
}

std::string visible(const std::string& text) {
  std::string result, line;
  for (char c : text) {
    if (c == '\r') {
      line.clear();
    } else {
      line += c;
      if (c == '\n') {
        result += line;
        line.clear();
      }
    }
  }
  return result + line;
}

}  // namespace th
