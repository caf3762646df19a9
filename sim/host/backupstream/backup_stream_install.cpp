#include "backup_stream_emulation.h"

#include "import_patch.h"

bool RunningUnderWine() {
  HMODULE ntdll = GetModuleHandleA("ntdll.dll");
  return ntdll && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

bool InstallBackupStreamEmulation(HMODULE module) {
  if (!RunningUnderWine()) return false;
  // mingw binaries import from kernel32; the API set name covers binaries built otherwise.
  static const char* const kDlls[] = {"kernel32.dll", "api-ms-win-core-backup-l1-1-0.dll"};
  bool patched = false;
  for (const char* dll : kDlls) {
    if (ReplaceImport(module, dll, "BackupRead", reinterpret_cast<void*>(&EmulatedBackupRead)))
      patched = true;
    if (ReplaceImport(module, dll, "BackupWrite", reinterpret_cast<void*>(&EmulatedBackupWrite)))
      patched = true;
  }
  return patched;
}
