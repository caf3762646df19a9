// simvss-layout DESCRIPTION [ROOT] [--generation N]
// simvss-layout DESCRIPTION --verify DIR [--generation N]
// simvss-layout DESCRIPTION --remove-hivelist
// Lays out generation N (default 0) of the files a machine description lists, checks a folder
// against it, or removes the hive list values a layout wrote. ROOT (or DIR) becomes SIMVSS_ROOT
// for the expansion of the paths; without it SIMVSS_ROOT must already be set.
#include <windows.h>
#include <shellapi.h>

#include <cstdio>
#include <cwchar>
#include <string>

#include "layout_generation.h"
#include "machine.h"

namespace {

int Fail(const std::wstring& text) {
  fwprintf(stderr, L"simvss-layout: %ls\n", text.c_str());
  return 1;
}

int Usage() {
  fwprintf(stderr,
           L"usage: simvss-layout DESCRIPTION [ROOT] [--generation N]\n"
           L"       simvss-layout DESCRIPTION --verify DIR [--generation N]\n"
           L"       simvss-layout DESCRIPTION --remove-hivelist\n");
  return 2;
}

bool SetRoot(const wchar_t* folder) {
  wchar_t root[MAX_PATH];
  DWORD n = GetFullPathNameW(folder, MAX_PATH, root, nullptr);
  if (n == 0 || n >= MAX_PATH) return false;
  // Trailing backslashes would double up with the descriptors' own.
  while (n > 3 && root[n - 1] == L'\\') root[--n] = 0;
  return SetEnvironmentVariableW(L"SIMVSS_ROOT", root) != FALSE;
}

}  // namespace

int main() {
  int argc = 0;
  wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  if (!argv) return Usage();
  const wchar_t* description = nullptr;
  const wchar_t* root = nullptr;
  bool verify = false, remove_hivelist = false;
  unsigned generation = 0;
  for (int i = 1; i < argc; ++i) {
    std::wstring arg = argv[i];
    if (arg == L"--generation" && i + 1 < argc) {
      wchar_t* end = nullptr;
      unsigned long n = wcstoul(argv[++i], &end, 10);
      if (*end || !iswdigit(argv[i][0]) || n > 100000) return Usage();
      generation = static_cast<unsigned>(n);
    } else if (arg == L"--verify" && i + 1 < argc && !root) {
      verify = true;
      root = argv[++i];
    } else if (arg == L"--remove-hivelist") {
      remove_hivelist = true;
    } else if (arg.compare(0, 2, L"--") == 0) {
      return Usage();
    } else if (!description) {
      description = argv[i];
    } else if (!root) {
      root = argv[i];
    } else {
      return Usage();
    }
  }
  if (!description) return Usage();
  Machine machine;
  std::wstring error;
  HRESULT hr = LoadMachine(description, &machine, &error);
  if (FAILED(hr)) return Fail(error.empty() ? std::wstring(L"cannot read ") + description : error);
  if (remove_hivelist) {
    hr = RemoveMachineHiveList(machine, &error);
    if (FAILED(hr)) return Fail(error);
    wprintf(L"simvss-layout: hive list values of %ls removed\n", machine.name.c_str());
    return 0;
  }

  if (root && !SetRoot(root)) return Fail(std::wstring(L"bad root folder ") + root);
  wchar_t root_now[MAX_PATH] = L"";
  if (!GetEnvironmentVariableW(L"SIMVSS_ROOT", root_now, MAX_PATH))
    return Fail(L"name the root folder, or set SIMVSS_ROOT");
  if (verify) {
    VerifyReport report;
    VerifyGeneration(machine, generation, root_now, &report);
    for (const std::wstring& line : report.differences) wprintf(L"%ls\n", line.c_str());
    wprintf(L"simvss-layout: %u files identical to generation %u of %ls, %u differences\n",
            static_cast<unsigned>(report.identical), generation, machine.name.c_str(),
            static_cast<unsigned>(report.differences.size()));
    return report.differences.empty() ? 0 : 1;
  }
  LayoutCounts counts;
  hr = LayOutGeneration(machine, generation, &counts, &error);
  if (FAILED(hr)) return Fail(error);
  wprintf(L"simvss-layout: generation %u of %ls laid out under %ls: %u files written, %u already "
          L"in place, %u removed\n",
          generation, machine.name.c_str(), root_now, static_cast<unsigned>(counts.written),
          static_cast<unsigned>(counts.unchanged), static_cast<unsigned>(counts.removed));
  LocalFree(argv);
  return 0;
}
