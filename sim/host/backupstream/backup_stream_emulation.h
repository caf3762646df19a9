#pragma once
// Backup stream calls for hosts whose system answers BackupRead/BackupWrite with
// ERROR_NOT_SUPPORTED. They produce and consume the backup stream layout (stream headers
// followed by their name and data) with the same calling convention as the system calls.
#include <windows.h>

#include <cstddef>

// Streams produced: BACKUP_DATA (whole content; files only), BACKUP_SECURITY_DATA (when
// bProcessSecurity and the handle may read its descriptor), BACKUP_REPARSE_DATA (reparse
// points). Each call returns bytes of at most one stream; TRUE with 0 bytes means the end.
// *context starts null; a call with bAbort TRUE releases it and sets it back to null.
BOOL WINAPI EmulatedBackupRead(HANDLE file, LPBYTE buffer, DWORD to_read, LPDWORD read,
                               BOOL abort, BOOL process_security, LPVOID* context);

// Consumes a stream cut into pieces of any size. BACKUP_DATA and BACKUP_SPARSE_BLOCK go to the
// file at their offsets; BACKUP_SECURITY_DATA (when bProcessSecurity) and BACKUP_REPARSE_DATA
// are applied once complete; other streams are skipped.
BOOL WINAPI EmulatedBackupWrite(HANDLE file, LPBYTE buffer, DWORD to_write, LPDWORD written,
                                BOOL abort, BOOL process_security, LPVOID* context);

// True when ntdll exports wine_get_version.
bool RunningUnderWine();

// Under Wine, points `module`'s imports of BackupRead/BackupWrite at the emulation. Answers
// true when it replaced at least one; on Windows it patches nothing and answers false.
bool InstallBackupStreamEmulation(HMODULE module);

// Contexts handed out and not yet released, to prove that callers abort what they start.
std::size_t EmulatedBackupLiveContexts();
