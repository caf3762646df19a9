// What Windows' Session Manager does with the reboot-time file operations while the system
// starts: HKLM\SYSTEM\CurrentControlSet\Control\Session Manager\PendingFileRenameOperations holds
// pairs of NT paths, source then target, carried out in order. An empty target deletes the
// source (a folder only when empty); a target with the prefix "!" may replace an existing file,
// any other move leaves an existing target alone. Failures are not reported at boot; this tool
// prints every operation with its outcome. The value and AllowProtectedRenames are cleared
// afterwards, as after a boot.
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "machine.h"

struct PendingOperation {
  std::wstring source;
  std::wstring target;  // empty: delete the source
};

// The pairs of a REG_MULTI_SZ value of `chars` UTF-16 units (the list's final NUL optional).
// A source left without its target is returned in `unpaired`.
std::vector<PendingOperation> ParsePendingOperations(const wchar_t* value, size_t chars,
                                                     std::wstring* unpaired);

// Carries out the live registry's pending operations, prints them to `out` and clears the
// values. With a machine, the files of its System Writer stand for the system's protected files:
// they are replaced or deleted only when AllowProtectedRenames is 1. Answers the exit status:
// 0 when the value could be read (or there was none) and cleared, 1 otherwise.
int RunReboot(const Machine* machine, std::wostream& out);

// Swaps in the registry hives whose replacement a record file holds (RegReplaceKeyA calls
// recorded by hostsim --hive-record), as the next start does, prints each and empties the file.
// Answers 0 when every recorded replacement was carried out.
int RunHiveReplacements(const std::wstring& record_file, std::wostream& out);
