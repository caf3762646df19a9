// simvss-reboot [--machine DESCRIPTION] [--hive-record FILE]
// Carries out the pending reboot-time file operations of the registry, as at a Windows start, and
// then the hive replacements recorded in FILE (hostsim --hive-record).
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
  std::wstring hive_record;
  bool usage = !argv;
  for (int i = 1; !usage && i < argc; i += 2) {
    std::wstring name = argv[i];
    if (i + 1 >= argc || (name == L"--machine" && with_machine) || (name == L"--hive-record" && !hive_record.empty())) {
      usage = true;
    } else if (name == L"--machine") {
      std::wstring error;
      if (FAILED(LoadMachine(argv[i + 1], &machine, &error))) {
        fwprintf(stderr, L"simvss-reboot: %ls\n", error.c_str());
        return 1;
      }
      with_machine = true;
    } else if (name == L"--hive-record") {
      hive_record = argv[i + 1];
      usage = hive_record.empty();
    } else {
      usage = true;
    }
  }
  if (usage) {
    fwprintf(stderr, L"usage: simvss-reboot [--machine DESCRIPTION] [--hive-record FILE]\n");
    return 2;
  }
  LocalFree(argv);
  // Paths may hold any character: convert the report in one piece to the console's code page.
  std::wostringstream report;
  int status = RunReboot(with_machine ? &machine : nullptr, report);
  if (!hive_record.empty() && RunHiveReplacements(hive_record, report) != 0) status = 1;
  std::wstring text = report.str();
  UINT page = GetConsoleOutputCP();
  int size = WideCharToMultiByte(page, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
  std::string bytes(size > 0 ? size : 0, '\0');
  WideCharToMultiByte(page, 0, text.data(), static_cast<int>(text.size()), &bytes[0], size, nullptr, nullptr);
  fwrite(bytes.data(), 1, bytes.size(), stdout);
  return status;
}
