#include "helpers.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
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
  return run_program(argv, cwd, input, answers);
}

RunResult run_program(const std::vector<std::string>& args, const std::string& cwd,
                      const std::string& input,
                      const std::vector<std::pair<std::string, std::string>>& answers) {
  int in[2], outp[2], errp[2];
  if (pipe(in) || pipe(outp) || pipe(errp)) throw std::runtime_error("pipe");
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(in[0], 0);
    dup2(outp[1], 1);
    dup2(errp[1], 2);
    for (int fd : {in[0], in[1], outp[0], outp[1], errp[0], errp[1]}) close(fd);
    if (chdir(cwd.c_str()) != 0) _exit(126);
    std::vector<char*> argv;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(in[0]);
  close(outp[1]);
  close(errp[1]);
  signal(SIGPIPE, SIG_IGN);
  RunResult r;
  size_t fed = 0, next_answer = 0;
  int to_child = in[1];
  fcntl(to_child, F_SETFL, O_NONBLOCK);  // never block on a child busy writing
  bool out_open = true, err_open = true;
  // Feed the input first, then the answers as their prompts appear.
  auto pending = [&]() -> const std::string* {
    if (fed < input.size()) return &input;
    return nullptr;
  };
  while (out_open || err_open) {
    if (to_child >= 0 && !pending() && next_answer < answers.size() &&
        r.err.find(answers[next_answer].first) != std::string::npos) {
      const std::string& a = answers[next_answer++].second;
      if (write(to_child, a.data(), a.size()) < 0) {
      }
    }
    if (to_child >= 0 && !pending() && next_answer >= answers.size()) {
      close(to_child);
      to_child = -1;
    }
    pollfd fds[3];
    int n = 0;
    if (out_open) fds[n++] = {outp[0], POLLIN, 0};
    if (err_open) fds[n++] = {errp[0], POLLIN, 0};
    if (to_child >= 0 && pending()) fds[n++] = {to_child, POLLOUT, 0};
    if (poll(fds, static_cast<nfds_t>(n), 100) < 0 && errno != EINTR) break;
    for (int i = 0; i < n; i++) {
      if (!fds[i].revents) continue;
      if (fds[i].fd == to_child) {
        const ssize_t w =
            write(to_child, input.data() + fed, std::min<size_t>(input.size() - fed, 65536));
        if (w < 0 && errno == EAGAIN) continue;
        if (w < 0) {
          close(to_child);
          to_child = -1;
          fed = input.size();
        } else {
          fed += static_cast<size_t>(w);
        }
        continue;
      }
      char buf[65536];
      const ssize_t got = read(fds[i].fd, buf, sizeof buf);
      std::string& dst = fds[i].fd == outp[0] ? r.out : r.err;
      if (got > 0) {
        dst.append(buf, static_cast<size_t>(got));
      } else {
        (fds[i].fd == outp[0] ? out_open : err_open) = false;
      }
    }
  }
  if (to_child >= 0) close(to_child);
  close(outp[0]);
  close(errp[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
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
