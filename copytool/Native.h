// The NT native interface of ntdll.dll, bound at run time: opening NT object paths such
// as \Device\Harddisk0\Partition0, reading object directories and symbolic links, and
// measuring an opened device.
#pragma once

#include <windows.h>
#include <winternl.h>

#include <cstdint>
#include <string>
#include <vector>

// ntdll's entry points in binding order. Tests may fill the table with fakes and set Bound.
struct TNtFunctions {
  bool Bound;
  NTSTATUS(NTAPI* NtOpenFile)(PHANDLE Handle, ACCESS_MASK Access, POBJECT_ATTRIBUTES Attributes,
                              PIO_STATUS_BLOCK Status, ULONG ShareAccess, ULONG OpenOptions);
  NTSTATUS(NTAPI* NtReadFile)(HANDLE Handle, HANDLE Event, PIO_APC_ROUTINE Apc, PVOID ApcContext,
                              PIO_STATUS_BLOCK Status, PVOID Buffer, ULONG Length,
                              PLARGE_INTEGER Offset, PULONG Key);
  ULONG(NTAPI* RtlNtStatusToDosError)(NTSTATUS Status);
  VOID(NTAPI* RtlInitUnicodeString)(PUNICODE_STRING Target, PCWSTR Source);
  NTSTATUS(NTAPI* NtOpenDirectoryObject)(PHANDLE Handle, ACCESS_MASK Access,
                                         POBJECT_ATTRIBUTES Attributes);
  NTSTATUS(NTAPI* NtQueryDirectoryObject)(HANDLE Handle, PVOID Buffer, ULONG Length,
                                          BOOLEAN ReturnSingleEntry, BOOLEAN RestartScan,
                                          PULONG Context, PULONG ReturnLength);
  NTSTATUS(NTAPI* NtOpenSymbolicLinkObject)(PHANDLE Handle, ACCESS_MASK Access,
                                            POBJECT_ATTRIBUTES Attributes);
  NTSTATUS(NTAPI* NtQuerySymbolicLinkObject)(HANDLE Handle, PUNICODE_STRING Target,
                                             PULONG ReturnLength);
  NTSTATUS(NTAPI* NtCreateSymbolicLinkObject)(PHANDLE Handle, ACCESS_MASK Access,
                                              POBJECT_ATTRIBUTES Attributes,
                                              PUNICODE_STRING Target);
};
extern TNtFunctions NtFunctions;

// One entry of an object directory query.
struct TObjectDirectoryInformation {
  UNICODE_STRING Name;
  UNICODE_STRING TypeName;
};

// Binds the table from the loaded ntdll.dll; a missing entry point is shown as an error
// dialog. True when bound.
bool LoadNtFunctions();

// Opens an NT object path with the shape of CreateFileA; only Path and Access are used,
// and the open is exclusive. INVALID_HANDLE_VALUE on failure; the Win32 error code is left
// as the thread's last error and in NativeLastError.
HANDLE NativeOpen(LPCSTR Path, DWORD Access, DWORD Sharing, LPSECURITY_ATTRIBUTES Security,
                  DWORD Disposition, DWORD Flags, HANDLE Template);

// The Win32 error code of this thread's last NativeOpen (0 after success).
DWORD NativeLastError();

// Appends the names of all objects in an NT object directory; unchanged on failure.
void ListObjectDirectory(const std::string& Path, std::vector<std::string>& List);

// Target of an NT symbolic link, or empty text.
std::string QuerySymbolicLink(const std::string& Path);

struct TVolumeExtent {
  bool Found;
  std::string DiskName;  // "\Device\Harddisk<N>\Partition0"
  int64_t Start;
  int64_t Length;
};

// The volume's disk extent (the last one when there are several).
TVolumeExtent VolumeExtent(HANDLE Handle);
// Partition length, 0 when the device does not answer.
int64_t PartitionLength(HANDLE Handle);
// Disk length from the extended geometry, else from the geometry probed past its end.
int64_t DiskLength(HANDLE Handle);
// Byte length of an opened device, 0 when it cannot be found. Leaves the position as it was.
int64_t DeviceSize(HANDLE Handle);
