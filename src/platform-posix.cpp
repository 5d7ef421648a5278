#include <fcntl.h>
#include <stdio_ext.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "keldrun.h"
#include "platform.h"

void open_standard_streams() {
  // Taken in order, so that open() returns the lowest free descriptor: fd.
  for (int fd = 0; fd <= 2; fd++)
    if (fcntl(fd, F_GETFD) == -1) open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
}

void set_binary_stdin() {}

static void fill(const struct stat& st, file_id* id) {
  id->dev = st.st_dev;
  id->ino = st.st_ino;
  id->size = st.st_size;
  id->regular = S_ISREG(st.st_mode);
}

bool identify(FILE* f, file_id* id) {
  struct stat st;
  if (fstat(fileno(f), &st) != 0) return false;
  fill(st, id);
  return true;
}

bool identify(const char* name, file_id* id) {
  struct stat st;
  if (stat(name, &st) != 0) return false;
  fill(st, id);
  return true;
}

bool file_exists(const char* name) {
  return access(name, F_OK) == 0;
}

bool seek_file(FILE* f, int64_t pos) {
  return fseeko(f, pos, SEEK_SET) == 0;
}

int64_t tell_file(FILE* f) {
  return ftello(f);
}

bool sync_file(FILE* f) {
  return fdatasync(fileno(f)) == 0;
}

void start_writeback(FILE* f, int64_t offset, int64_t length) {
#ifdef SYNC_FILE_RANGE_WRITE
  sync_file_range(fileno(f), offset, length, SYNC_FILE_RANGE_WRITE);
#else
  (void)f, (void)offset, (void)length;
#endif
}

bool sync_dir_of(const char* path) {
  std::string dir(path);
  const size_t slash = dir.find_last_of('/');
  dir = slash == std::string::npos ? "." : slash == 0 ? "/" : dir.substr(0, slash);
  const int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool ok = fsync(fd) == 0;
  return close(fd) == 0 && ok;
}

bool truncate_open(FILE* f, int64_t len) {
  return ftruncate(fileno(f), len) == 0;
}

void truncate_file(const char* name, int64_t pos, const file_id* expect) {
  const int fd = open(name, O_WRONLY | O_CLOEXEC);  // no O_CREAT: never creates
  if (fd < 0) error(truncate_failed);
  bool ok = pos >= 0;
  if (ok && expect) {
    struct stat st;
    ok = fstat(fd, &st) == 0 && static_cast<uint64_t>(st.st_dev) == expect->dev &&
         static_cast<uint64_t>(st.st_ino) == expect->ino && st.st_size == expect->size &&
         pos <= st.st_size;
  }
  if (ok) ok = ftruncate(fd, pos) == 0;
  // The descriptor is released before any failure is reported.
  if (close(fd) != 0 || !ok) error(truncate_failed);
}

bool is_terminal(FILE* f) {
  return isatty(fileno(f)) != 0;
}

void discard_buffered_input(FILE* f) {
  __fpurge(f);
}

std::string unfit_target(const char* name, const file_id* keep) {
  file_id id;
  if (identify(name, &id)) return unfit(id, keep);
  return errno == ENOENT ? "" : std::strerror(errno);
}

std::string write_whole_file(const char* name, const std::string& bytes, const file_id* keep) {
  if (std::string why = unfit_target(name, keep); !why.empty()) return why;
  const std::string path = name;
  const std::string dir = path.substr(0, path.rfind('/') + 1);  // "" when none
  static unsigned serial = 0;
  std::string part;
  int fd = -1;
  for (int tries = 1; fd < 0; tries++) {
    part = dir + ".keldrun-" + std::to_string(getpid()) + "-" + std::to_string(serial++) + ".part";
    // Mode 0666 less the umask, as any new file of the user's.
    fd = open(part.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0 && (errno != EEXIST || tries == 100)) return std::strerror(errno);
  }
  int e = 0;
  for (size_t at = 0; e == 0 && at < bytes.size();) {
    const ssize_t n = write(fd, bytes.data() + at, bytes.size() - at);
    if (n > 0)
      at += static_cast<size_t>(n);
    else if (n == 0 || errno != EINTR)
      e = n == 0 ? EIO : errno;
  }
  if (e == 0 && fsync(fd) != 0) e = errno;
  if (close(fd) != 0 && e == 0) e = errno;
  std::string why = e ? std::strerror(e) : unfit_target(name, keep);
  if (why.empty() && std::rename(part.c_str(), name) != 0) why = std::strerror(errno);
  if (!why.empty()) {
    unlink(part.c_str());
    return why;
  }
  return sync_dir_of(name) ? "" : std::strerror(errno);
}
