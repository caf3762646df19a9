// simvss-reboot [--machine DESCRIPTION]
// Carries out the pending reboot-time file operations of the registry, as at a Windows start.
#include <windows.h>
#include <shellapi.h>

#include <cstdio>
#include <sstream>
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
  // Paths may hold any character: convert the report in one piece to the console's code page.
  std::wostringstream report;
  int status = RunReboot(with_machine ? &machine : nullptr, report);
  std::wstring text = report.str();
  UINT page = GetConsoleOutputCP();
  int size = WideCharToMultiByte(page, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
  std::string bytes(size > 0 ? size : 0, '\0');
  WideCharToMultiByte(page, 0, text.data(), static_cast<int>(text.size()), &bytes[0], size, nullptr, nullptr);
  fwrite(bytes.data(), 1, bytes.size(), stdout);
  return status;
}
