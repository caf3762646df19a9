// simvss-reboot [--machine DESCRIPTION]
// Carries out the pending reboot-time file operations of the registry, as at a Windows start.
#include <windows.h>
#include <shellapi.h>

#include <cstdio>
#include <iostream>
#include <string>

#include "machine.h"
#include "reboot.h"

int main() {
  int argc = 0;
  wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  Machine machine;
  bool with_machine = false;
  if (argv && argc == 3 && std::wstring(argv[1]) == L"--machine") {
    std::wstring error;
    if (FAILED(LoadMachine(argv[2], &machine, &error))) {
      fwprintf(stderr, L"simvss-reboot: %ls\n", error.c_str());
      return 1;
    }
    with_machine = true;
  } else if (!argv || argc != 1) {
    fwprintf(stderr, L"usage: simvss-reboot [--machine DESCRIPTION]\n");
    return 2;
  }
  LocalFree(argv);
  return RunReboot(with_machine ? &machine : nullptr, std::wcout);
}
