// The floor of this platform: a bare ReadFile/WriteFile loop, nothing else. The output is
// opened as mobri opens it (a new file, or an existing one written in place, never
// truncated), so the two pay the same for their files.
// rawcopy <input> <output> <block size> [blocks]
#include <windows.h>

#include <cstdio>
#include <cstdlib>

int main(int argc, char* argv[]) {
  if (argc < 4) {
    fputs("rawcopy <input> <output> <block size> [blocks]\n", stderr);
    return 2;
  }
  DWORD BlockSize = static_cast<DWORD>(strtoul(argv[3], nullptr, 10));
  long long Blocks = argc > 4 ? atoll(argv[4]) : -1;
  HANDLE In = CreateFileA(argv[1], GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                          nullptr);
  HANDLE Out = CreateFileA(argv[2], GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0,
                           nullptr);
  if (Out == INVALID_HANDLE_VALUE)
    Out = CreateFileA(argv[2], GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  void* Buffer = VirtualAlloc(nullptr, BlockSize, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
  if (In == INVALID_HANDLE_VALUE || Out == INVALID_HANDLE_VALUE || !Buffer) {
    fprintf(stderr, "rawcopy: cannot start (%lu)\n", GetLastError());
    return 1;
  }
  DWORD Got = 0, Put = 0;
  for (long long Done = 0; Blocks < 0 || Done < Blocks; ++Done) {
    if (!ReadFile(In, Buffer, BlockSize, &Got, nullptr) || Got == 0) break;
    if (!WriteFile(Out, Buffer, Got, &Put, nullptr) || Put != Got) return 1;
  }
  CloseHandle(In);
  CloseHandle(Out);
  return 0;
}
