#include "reliability.h"

#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <sstream>

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
  const auto files = th::files_in(dir);
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
  const auto files = th::files_in(dir);
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

const std::string& strace() {
  static const std::string path = [] {
    for (const char* p : {"/usr/bin/strace", "/bin/strace", "/usr/local/bin/strace"}) {
      if (access(p, X_OK) != 0) continue;
      // Tracing may be forbidden (no ptrace in the container).
      const th::RunResult probe = th::run_program({p, "-f", "-o", "/dev/null", "/bin/true"}, "/");
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
