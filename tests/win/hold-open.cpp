// hold-open FILE: opens FILE sharing it for reading only, says "held" on
// standard output, and keeps it open until its standard input ends. While it
// waits, no other program may write, cut or delete FILE.
#include <windows.h>

#include <cstdio>

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  const HANDLE h =
      CreateFileA(argv[1], GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return 1;
  std::puts("held");
  std::fflush(stdout);
  while (std::getchar() != EOF) {
  }
  CloseHandle(h);
  return 0;
}
