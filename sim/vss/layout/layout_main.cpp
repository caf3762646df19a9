// simvss-layout DESCRIPTION [ROOT]
// Creates the files that a machine description lists, with content that depends only on each
// file's described path. ROOT, when given, becomes SIMVSS_ROOT for the expansion of the paths;
// otherwise SIMVSS_ROOT must already be set.
#include <windows.h>
#include <shellapi.h>
#include <cstdio>
#include <string>

#include "machine.h"
#include "machine_layout.h"

namespace {

int Fail(const std::wstring& text) {
  fwprintf(stderr, L"simvss-layout: %ls\n", text.c_str());
  return 1;
}

}  // namespace

int main() {
  int argc = 0;
  wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  if (!argv || argc < 2 || argc > 3) {
    fwprintf(stderr, L"usage: simvss-layout DESCRIPTION [ROOT]\n");
    return 2;
  }
  if (argc == 3) {
    wchar_t root[MAX_PATH];
    DWORD n = GetFullPathNameW(argv[2], MAX_PATH, root, nullptr);
    if (n == 0 || n >= MAX_PATH) return Fail(std::wstring(L"bad root folder ") + argv[2]);
    // Trailing backslashes would double up with the descriptors' own.
    while (n > 3 && root[n - 1] == L'\\') root[--n] = 0;
    SetEnvironmentVariableW(L"SIMVSS_ROOT", root);
  }
  wchar_t root[MAX_PATH] = L"";
  if (!GetEnvironmentVariableW(L"SIMVSS_ROOT", root, MAX_PATH))
    return Fail(L"name the root folder, or set SIMVSS_ROOT");

  Machine machine;
  std::wstring error;
  HRESULT hr = LoadMachine(argv[1], &machine, &error);
  if (FAILED(hr)) return Fail(error.empty() ? std::wstring(L"cannot read ") + argv[1] : error);
  size_t created = 0;
  hr = LayOutMachine(machine, &created, &error);
  if (FAILED(hr)) return Fail(error);
  wprintf(L"simvss-layout: %u files of %ls laid out under %ls\n", static_cast<unsigned>(created),
          machine.name.c_str(), root);
  LocalFree(argv);
  return 0;
}
