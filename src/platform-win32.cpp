// The Windows half of platform.h, on the Win32 calls themselves.
//
// Names stay UTF-8 here too. The application manifest (keldrun.manifest)
// makes UTF-8 the process code page, so the command line arrives in UTF-8 and
// fopen, remove and the ...A calls below take UTF-8 names as they are. This
// was chosen over UTF-16 calls behind wmain because it leaves the common code
// on the standard library alone, and wine 8.0 honours the manifest as Windows
// 10 (1903 on) does; an older Windows falls back to its ANSI code page for
// every name alike.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <algorithm>
#include <cstdlib>
#include <string>

#include "keldrun.h"
#include "platform.h"

static HANDLE handle_of(FILE* f) {
  return reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(f)));
}

static UINT console_output_cp = 0;

static void restore_console_output_cp() {
  SetConsoleOutputCP(console_output_cp);
}

void open_standard_streams() {
  // A stream without a handle (descriptor -2) is pointed at NUL. Where that
  // fails (wine), it stays unconnected: writes to it vanish and reads end at
  // once, as with NUL; no track file can take its place, since the stream
  // does not use descriptor 0, 1 or 2 then.
  FILE* const streams[] = {stdin, stdout, stderr};
  for (int fd = 0; fd <= 2; fd++)
    if (_get_osfhandle(fd) < 0) freopen("NUL", fd == 0 ? "r" : "w", streams[fd]);
  // The names in the texts are UTF-8; so is the console while we run.
  console_output_cp = GetConsoleOutputCP();
  if (console_output_cp != 0 && console_output_cp != CP_UTF8 && SetConsoleOutputCP(CP_UTF8))
    atexit(restore_console_output_cp);
}

void set_binary_stdin() {
  _setmode(_fileno(stdin), _O_BINARY);
}

// Only files on a disk have an identity; pipes and devices do not.
static bool fill(HANDLE h, file_id* id) {
  BY_HANDLE_FILE_INFORMATION info;
  if (GetFileType(h) != FILE_TYPE_DISK || !GetFileInformationByHandle(h, &info)) return false;
  id->dev = info.dwVolumeSerialNumber;
  id->ino = uint64_t{info.nFileIndexHigh} << 32 | info.nFileIndexLow;
  id->size = static_cast<int64_t>(uint64_t{info.nFileSizeHigh} << 32 | info.nFileSizeLow);
  id->regular = !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
  return true;
}

bool identify(FILE* f, file_id* id) {
  return fill(handle_of(f), id);
}

// Opened for no access at all, a file shows its identity even while another
// program holds it open without sharing. (Directories too, with the flag.)
static HANDLE open_to_look(const char* name) {
  return CreateFileA(name, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                     OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

bool identify(const char* name, file_id* id) {
  const HANDLE h = open_to_look(name);
  if (h == INVALID_HANDLE_VALUE) return false;
  const bool ok = fill(h, id);
  CloseHandle(h);
  return ok;
}

bool file_exists(const char* name) {
  return GetFileAttributesA(name) != INVALID_FILE_ATTRIBUTES;
}

bool seek_file(FILE* f, int64_t pos) {
  return _fseeki64(f, pos, SEEK_SET) == 0;
}

int64_t tell_file(FILE* f) {
  return _ftelli64(f);
}

// Also writes the file's metadata (its length, its directory entry) out.
bool sync_file(FILE* f) {
  return FlushFileBuffers(handle_of(f)) != 0;
}

// The system's lazy writer already starts on written data by itself.
void start_writeback(FILE*, int64_t, int64_t) {}

// Nothing to do: NTFS journals the new directory entry, and FlushFileBuffers
// on the track file (sync_file) has already forced out its metadata.
bool sync_dir_of(const char*) {
  return true;
}

bool truncate_open(FILE* f, int64_t len) {
  return _chsize_s(_fileno(f), len) == 0;
}

void truncate_file(const char* name, int64_t pos, const file_id* expect) {
  // No sharing: the cut fails while any stream, ours included, holds the
  // file open. OPEN_EXISTING never creates it.
  const HANDLE h = CreateFileA(name, GENERIC_WRITE | FILE_READ_ATTRIBUTES, 0, nullptr,
                               OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) error(truncate_failed);
  file_id now;
  bool ok = pos >= 0 && (!expect || (fill(h, &now) && same_file(now, *expect) &&
                                     now.size == expect->size && pos <= now.size));
  LARGE_INTEGER to;
  to.QuadPart = pos;
  ok = ok && SetFilePointerEx(h, to, nullptr, FILE_BEGIN) && SetEndOfFile(h);
  // The handle is released before any failure is reported.
  if (!CloseHandle(h) || !ok) error(truncate_failed);
}

// A console, not just any character device: _isatty says yes to NUL too.
bool is_terminal(FILE* f) {
  DWORD mode;
  return GetConsoleMode(handle_of(f), &mode) != 0;
}

// fflush drops an input stream's buffer in the Windows C library; a console
// also drops what was typed ahead of the question.
void discard_buffered_input(FILE* f) {
  fflush(f);
  DWORD mode;
  if (GetConsoleMode(handle_of(f), &mode)) FlushConsoleInputBuffer(handle_of(f));
}

// The system's text for an error code, without its final period and line end.
static std::string reason(DWORD code) {
  char* text = nullptr;
  FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<char*>(&text), 0, nullptr);
  std::string s = text ? text : "error " + std::to_string(code);
  LocalFree(text);
  while (!s.empty() && std::string(" .\r\n").find(s.back()) != std::string::npos) s.pop_back();
  return s;
}

std::string unfit_target(const char* name, const file_id* keep) {
  const HANDLE h = open_to_look(name);
  if (h == INVALID_HANDLE_VALUE)
    return GetLastError() == ERROR_FILE_NOT_FOUND ? "" : reason(GetLastError());
  file_id id;
  const bool on_disk = fill(h, &id);  // not NUL, CON or a pipe
  CloseHandle(h);
  return on_disk ? unfit(id, keep) : "not a regular file";
}

std::string write_whole_file(const char* name, const std::string& bytes, const file_id* keep) {
  if (std::string why = unfit_target(name, keep); !why.empty()) return why;
  const std::string path = name;
  const std::string dir = path.substr(0, path.find_last_of("/\\:") + 1);  // "" when none
  static unsigned serial = 0;
  std::string part;
  HANDLE h = INVALID_HANDLE_VALUE;
  for (int tries = 1; h == INVALID_HANDLE_VALUE; tries++) {
    part = dir + ".keldrun-" + std::to_string(GetCurrentProcessId()) + "-" +
           std::to_string(serial++) + ".part";
    h = CreateFileA(part.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                    nullptr);
    if (h == INVALID_HANDLE_VALUE && (GetLastError() != ERROR_FILE_EXISTS || tries == 100))
      return reason(GetLastError());
  }
  DWORD e = 0;
  for (size_t at = 0; e == 0 && at < bytes.size();) {
    DWORD n = 0;
    const DWORD chunk = static_cast<DWORD>(std::min<size_t>(bytes.size() - at, 1 << 30));
    if (WriteFile(h, bytes.data() + at, chunk, &n, nullptr) && n > 0)
      at += n;
    else
      e = n == 0 ? ERROR_WRITE_FAULT : GetLastError();
  }
  if (e == 0 && !FlushFileBuffers(h)) e = GetLastError();
  if (!CloseHandle(h) && e == 0) e = GetLastError();
  std::string why = e ? reason(e) : unfit_target(name, keep);
  // rename fails on Windows when the target exists.
  if (why.empty() &&
      !MoveFileExA(part.c_str(), name, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
    why = reason(GetLastError());
  if (!why.empty()) DeleteFileA(part.c_str());
  return why;
}
