#include "Native.h"

#include <cstddef>
#include <cstring>

#include "WinIOCTL.h"
#include "debug.h"

TNtFunctions NtFunctions = {};

namespace {

constexpr ULONG ObjCaseInsensitive = 0x40;
constexpr ACCESS_MASK DirectoryQueryAccess = 0x20001;  // READ_CONTROL | DIRECTORY_QUERY
constexpr ACCESS_MASK SymbolicLinkQuery = 1;
constexpr ULONG SynchronousIoNonAlert = 0x20;
constexpr ULONG DirectoryEntrySize = 1024;
constexpr USHORT LinkTargetSize = 1024;
constexpr DWORD SectorSize = 512;

thread_local DWORD LastNativeError = 0;

// A record copied out of an answer buffer, so no buffer is read through another type.
template <typename TRecord>
TRecord RecordAt(const unsigned char* Buffer, size_t Offset = 0) {
  TRecord Record;
  std::memcpy(&Record, Buffer + Offset, sizeof(Record));
  return Record;
}

template <typename TEntry>
bool BindNtEntry(HMODULE Ntdll, const char* Name, TEntry& Slot) {
  FARPROC Entry = GetProcAddress(Ntdll, Name);
  if (!Entry) {
    ErrorDialog(std::string("Could not find ") + Name + " entry point in NTDLL.DLL");
    return false;
  }
  Slot = reinterpret_cast<TEntry>(reinterpret_cast<void*>(Entry));
  return true;
}

std::wstring Widen(const std::string& Text) {
  if (Text.empty()) return std::wstring();
  int Length = MultiByteToWideChar(CP_ACP, 0, Text.data(), static_cast<int>(Text.size()), nullptr, 0);
  std::wstring Wide(static_cast<size_t>(Length), L'\0');
  MultiByteToWideChar(CP_ACP, 0, Text.data(), static_cast<int>(Text.size()), &Wide[0], Length);
  return Wide;
}

std::string Narrow(const UNICODE_STRING& Text) {
  int Chars = Text.Length / sizeof(WCHAR);
  if (Chars <= 0 || !Text.Buffer) return std::string();
  int Length = WideCharToMultiByte(CP_ACP, 0, Text.Buffer, Chars, nullptr, 0, nullptr, nullptr);
  std::string Result(static_cast<size_t>(Length), '\0');
  WideCharToMultiByte(CP_ACP, 0, Text.Buffer, Chars, &Result[0], Length, nullptr, nullptr);
  return Result;
}

// A counted name with the attributes every query here uses. The wide text must outlive it.
struct TObjectName {
  explicit TObjectName(const std::string& Path) : Wide(Widen(Path)) {
    NtFunctions.RtlInitUnicodeString(&Name, Wide.c_str());
    InitializeObjectAttributes(&Attributes, &Name, ObjCaseInsensitive, nullptr, nullptr);
  }
  std::wstring Wide;
  UNICODE_STRING Name;
  OBJECT_ATTRIBUTES Attributes;
};

int64_t CurrentPosition(HANDLE Handle) {
  LARGE_INTEGER Zero, Current;
  Zero.QuadPart = 0;
  Current.QuadPart = 0;
  SetFilePointerEx(Handle, Zero, &Current, FILE_CURRENT);
  return Current.QuadPart;
}

bool SetPosition(HANDLE Handle, int64_t Position) {
  LARGE_INTEGER At;
  At.QuadPart = Position;
  return SetFilePointerEx(Handle, At, nullptr, FILE_BEGIN) != FALSE;
}

// Geometries may round a disk down to whole cylinders: read on, one sector at a time,
// until the device refuses. Only whole sectors count, so a device that answers past its
// end with empty reads cannot keep the probe going.
int64_t ProbePastEnd(HANDLE Handle, int64_t Size) {
  int64_t Start = CurrentPosition(Handle);
  unsigned char Sector[SectorSize];
  for (;;) {
    DWORD Got = 0;
    if (!SetPosition(Handle, Size)) break;
    if (!ReadFile(Handle, Sector, SectorSize, &Got, nullptr) || Got != SectorSize) break;
    Size += SectorSize;
  }
  // The caller goes on reading this handle from where it stood.
  SetPosition(Handle, Start);
  return Size;
}

}  // namespace

bool LoadNtFunctions() {
  if (NtFunctions.Bound) return true;
  HMODULE Ntdll = GetModuleHandleA("ntdll.dll");
  if (!Ntdll) return false;
  TNtFunctions& F = NtFunctions;
  bool Bound = BindNtEntry(Ntdll, "NtOpenFile", F.NtOpenFile) &&
               BindNtEntry(Ntdll, "NtReadFile", F.NtReadFile) &&
               BindNtEntry(Ntdll, "RtlNtStatusToDosError", F.RtlNtStatusToDosError) &&
               BindNtEntry(Ntdll, "RtlInitUnicodeString", F.RtlInitUnicodeString) &&
               BindNtEntry(Ntdll, "NtOpenDirectoryObject", F.NtOpenDirectoryObject) &&
               BindNtEntry(Ntdll, "NtQueryDirectoryObject", F.NtQueryDirectoryObject) &&
               BindNtEntry(Ntdll, "NtOpenSymbolicLinkObject", F.NtOpenSymbolicLinkObject) &&
               BindNtEntry(Ntdll, "NtQuerySymbolicLinkObject", F.NtQuerySymbolicLinkObject) &&
               BindNtEntry(Ntdll, "NtCreateSymbolicLinkObject", F.NtCreateSymbolicLinkObject);
  F.Bound = Bound;
  return Bound;
}

HANDLE NativeOpen(LPCSTR Path, DWORD Access, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE) {
  if (!LoadNtFunctions()) {
    LastNativeError = ERROR_PROC_NOT_FOUND;
    SetLastError(LastNativeError);
    return INVALID_HANDLE_VALUE;
  }
  TObjectName Object(Path ? Path : "");
  IO_STATUS_BLOCK Io = {};
  HANDLE Handle = nullptr;
  NTSTATUS Status = NtFunctions.NtOpenFile(&Handle, Access | SYNCHRONIZE, &Object.Attributes, &Io,
                                           0, SynchronousIoNonAlert);
  LastNativeError = NtFunctions.RtlNtStatusToDosError(Status);
  SetLastError(LastNativeError);
  return Status < 0 ? INVALID_HANDLE_VALUE : Handle;
}

DWORD NativeLastError() { return LastNativeError; }

void ListObjectDirectory(const std::string& Path, std::vector<std::string>& List) {
  if (!LoadNtFunctions()) return;
  TObjectName Object(Path);
  HANDLE Directory = nullptr;
  if (NtFunctions.NtOpenDirectoryObject(&Directory, DirectoryQueryAccess, &Object.Attributes) < 0)
    return;
  alignas(8) unsigned char Buffer[DirectoryEntrySize];
  ULONG Context = 0;
  for (;;) {
    ULONG Returned = 0;
    if (NtFunctions.NtQueryDirectoryObject(Directory, Buffer, DirectoryEntrySize, TRUE, FALSE,
                                           &Context, &Returned) < 0)
      break;
    List.push_back(Narrow(RecordAt<TObjectDirectoryInformation>(Buffer).Name));
  }
  CloseHandle(Directory);
}

std::string QuerySymbolicLink(const std::string& Path) {
  std::string Result;
  if (!LoadNtFunctions()) return Result;
  TObjectName Object(Path);
  HANDLE Link = nullptr;
  if (NtFunctions.NtOpenSymbolicLinkObject(&Link, SymbolicLinkQuery, &Object.Attributes) < 0)
    return Result;
  WCHAR Buffer[LinkTargetSize / sizeof(WCHAR)];
  UNICODE_STRING Target;
  Target.Buffer = Buffer;
  Target.Length = 0;
  Target.MaximumLength = LinkTargetSize;
  ULONG Returned = 0;
  if (NtFunctions.NtQuerySymbolicLinkObject(Link, &Target, &Returned) >= 0) {
    // Length counts bytes; never trust it beyond the buffer.
    if (Target.Length > LinkTargetSize) Target.Length = LinkTargetSize;
    Result = Narrow(Target);
  }
  CloseHandle(Link);
  return Result;
}

TVolumeExtent VolumeExtent(HANDLE Handle) {
  TVolumeExtent Extent = {false, std::string(), 0, 0};
  alignas(8) unsigned char Buffer[MOBRI_IOCTL_BUFFER_SIZE] = {};
  DWORD Returned = 0;
  if (!DiskIoControl(Handle, MOBRI_IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS, Buffer,
                     MOBRI_IOCTL_BUFFER_SIZE, &Returned))
    return Extent;
  // A count larger than the answer buffer holds is cut to what is really there.
  const size_t First = offsetof(VOLUME_DISK_EXTENTS, Extents);
  const DWORD Fits = static_cast<DWORD>((MOBRI_IOCTL_BUFFER_SIZE - First) / sizeof(DISK_EXTENT));
  DWORD Count = RecordAt<VOLUME_DISK_EXTENTS>(Buffer).NumberOfDiskExtents;
  if (Count > Fits) Count = Fits;
  for (DWORD i = 0; i < Count; ++i) {
    const DISK_EXTENT One = RecordAt<DISK_EXTENT>(Buffer, First + i * sizeof(DISK_EXTENT));
    Extent.DiskName = "\\Device\\Harddisk" + std::to_string(One.DiskNumber) + "\\Partition0";
    Extent.Start = One.StartingOffset.QuadPart;
    Extent.Length = One.ExtentLength.QuadPart;
    Extent.Found = true;
  }
  return Extent;
}

int64_t PartitionLength(HANDLE Handle) {
  alignas(8) unsigned char Buffer[MOBRI_IOCTL_BUFFER_SIZE] = {};
  DWORD Returned = 0;
  if (!DiskIoControl(Handle, MOBRI_IOCTL_DISK_GET_PARTITION_INFO, Buffer, MOBRI_IOCTL_BUFFER_SIZE,
                     &Returned))
    return 0;
  return RecordAt<PARTITION_INFORMATION>(Buffer).PartitionLength.QuadPart;
}

int64_t DiskLength(HANDLE Handle) {
  alignas(8) unsigned char Buffer[MOBRI_IOCTL_BUFFER_SIZE] = {};
  DWORD Returned = 0;
  if (DiskIoControl(Handle, MOBRI_IOCTL_DISK_GET_DRIVE_GEOMETRY_EX, Buffer,
                    MOBRI_IOCTL_BUFFER_SIZE, &Returned))
    return RecordAt<DISK_GEOMETRY_EX>(Buffer).DiskSize.QuadPart;
  if (!DiskIoControl(Handle, MOBRI_IOCTL_DISK_GET_DRIVE_GEOMETRY, Buffer, MOBRI_IOCTL_BUFFER_SIZE,
                     &Returned))
    return 0;
  const DISK_GEOMETRY Geometry = RecordAt<DISK_GEOMETRY>(Buffer);
  int64_t Size = Geometry.Cylinders.QuadPart * static_cast<int64_t>(Geometry.TracksPerCylinder) *
                 static_cast<int64_t>(Geometry.SectorsPerTrack) *
                 static_cast<int64_t>(Geometry.BytesPerSector);
  return ProbePastEnd(Handle, Size);
}

int64_t DeviceSize(HANDLE Handle) {
  TVolumeExtent Extent = VolumeExtent(Handle);
  int64_t Size = Extent.Found ? Extent.Length : PartitionLength(Handle);
  if (Size == 0) Size = DiskLength(Handle);
  return Size;
}
