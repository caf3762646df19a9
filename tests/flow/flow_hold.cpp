// Makes a file of a snapshot copy unreadable while a backup reads it: "flow-hold EVENT FILE"
// starts a holder that opens FILE without sharing and keeps it until EVENT is set (or a minute
// passes), and returns once the file is held so the job goes on.
#include <windows.h>

#include <cstdio>
#include <cwchar>

int wmain(int argc, wchar_t** argv) {
  if (argc == 4 && wcscmp(argv[1], L"--hold") == 0) {
    HANDLE locked = CreateFileW(argv[3], GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (locked == INVALID_HANDLE_VALUE) return 1;
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, argv[2]);
    fclose(stdout);  // tells the starter the files are held
    WaitForSingleObject(event, 60000);
    return 0;
  }
  if (argc != 3) {
    fprintf(stderr, "usage: flow-hold EVENT FILE\n");
    return 2;
  }
  wchar_t command[2048];
  swprintf(command, 2048, L"\"%ls\" --hold %ls \"%ls\"", argv[0], argv[1], argv[2]);
  SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
  HANDLE read_end = nullptr, write_end = nullptr;
  CreatePipe(&read_end, &write_end, &inherit, 0);
  SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdOutput = write_end;
  PROCESS_INFORMATION process = {};
  // Only the pipe is inherited: the holder must not keep the job's own output open.
  SetHandleInformation(GetStdHandle(STD_OUTPUT_HANDLE), HANDLE_FLAG_INHERIT, 0);
  SetHandleInformation(GetStdHandle(STD_ERROR_HANDLE), HANDLE_FLAG_INHERIT, 0);
  SetHandleInformation(GetStdHandle(STD_INPUT_HANDLE), HANDLE_FLAG_INHERIT, 0);
  if (!CreateProcessW(nullptr, command, nullptr, nullptr, TRUE, DETACHED_PROCESS, nullptr, nullptr, &startup,
                      &process)) {
    fprintf(stderr, "flow-hold: cannot start the holder (%lu)\n", GetLastError());
    return 1;
  }
  CloseHandle(write_end);
  char byte;
  DWORD done = 0;
  ReadFile(read_end, &byte, 1, &done, nullptr);  // ends when the holder closed its output
  DWORD code = STILL_ACTIVE;
  GetExitCodeProcess(process.hProcess, &code);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return code == STILL_ACTIVE ? 0 : 1;
}
