#pragma once
// RegReplaceKeyA for hosts whose system accepts the call and does nothing (Wine). The replacement
// checks what Windows checks, records every call and leaves the hives alone; the recorded
// replacements are carried out later by CarryOutHiveReplacements, which stands in for the
// restart at which Windows swaps the files.
//
// The hives it knows are those of HKLM\SYSTEM\CurrentControlSet\Control\hivelist: a value name
// such as \REGISTRY\MACHINE\SOFTWARE names a hive root, its data the hive file (a device path
// such as \Device\HarddiskVolume1\...\SOFTWARE, or a drive-letter path).
#include <windows.h>

#include <string>
#include <vector>

struct RecordedHiveReplacement {
  LONG result = 0;        // what the call answered
  std::string key;        // the caller's key: HKEY_LOCAL_MACHINE, HKEY_USERS\..., and so on
  std::string subkey;     // as passed; empty for a null subkey
  std::string new_file;   // as passed
  std::string old_file;   // as passed
  std::string hive_file;  // drive-letter path of the hive the key belongs to; empty on failure
};

// Same contract as RegReplaceKeyA. ERROR_SUCCESS needs: SeBackupPrivilege and SeRestorePrivilege
// enabled (else ERROR_PRIVILEGE_NOT_HELD), both file names given (else ERROR_INVALID_PARAMETER),
// a hive in the hive list at or above the key (else the key's open error, or
// ERROR_INVALID_PARAMETER for a key that opens) and the new file to exist (else its
// GetFileAttributes error). A listed hive counts as loaded even where Wine has no key for it.
LONG WINAPI RecordingRegReplaceKeyA(HKEY key, LPCSTR subkey, LPCSTR new_file, LPCSTR old_file);

// Points `module`'s advapi32 import of RegReplaceKeyA at the recorder and appends every later
// call to `record_file` as well when it is not null (one line per call, see
// ReadHiveReplacementRecord). Answers false when the module does not import the function.
bool InstallRegistryReplaceRecorder(HMODULE module, const char* record_file);

// The calls recorded in this process, oldest first, and their removal.
std::vector<RecordedHiveReplacement> RecordedHiveReplacements();
void ClearRecordedHiveReplacements();

// Reads a record file: one line per call, the fields of RecordedHiveReplacement in their order,
// separated by tabs (paths cannot hold one), the result in decimal.
std::vector<RecordedHiveReplacement> ReadHiveReplacementRecord(const char* record_file);

// Enables or disables SeBackupPrivilege and SeRestorePrivilege in the process token, which the
// hive calls need (RegSaveKeyA, RegLoadKeyA, RegReplaceKeyA). Answers false when one fails.
bool SetHivePrivileges(bool enable);

// Does what the next start does with the successful calls, in call order: the hive file is kept
// under the old file's name and the new file's content becomes the hive file (the new file
// stays). Stops at the first failure and names it in `error`.
bool CarryOutHiveReplacements(const std::vector<RecordedHiveReplacement>& calls, std::string* error);
