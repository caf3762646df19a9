// Device naming, the device list of --list, output filters and the Win32 volume functions.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "debug.h"

// kernel32's volume and mount point functions in binding order, bound at run time because
// older systems lack them. Tests may fill the table with fakes and set Bound.
struct TVolumeFunctions {
  bool Bound;
  HANDLE(WINAPI* FindFirstVolumeA)(LPSTR VolumeName, DWORD Length);
  BOOL(WINAPI* FindNextVolumeA)(HANDLE Find, LPSTR VolumeName, DWORD Length);
  BOOL(WINAPI* FindVolumeClose)(HANDLE Find);
  HANDLE(WINAPI* FindFirstVolumeMountPointA)(LPCSTR RootPath, LPSTR MountPoint, DWORD Length);
  BOOL(WINAPI* FindNextVolumeMountPointA)(HANDLE Find, LPSTR MountPoint, DWORD Length);
  BOOL(WINAPI* FindVolumeMountPointClose)(HANDLE Find);
  BOOL(WINAPI* GetVolumeNameForVolumeMountPointA)(LPCSTR MountPoint, LPSTR VolumeName,
                                                  DWORD Length);
  BOOL(WINAPI* DeleteVolumeMountPointA)(LPCSTR MountPoint);
  BOOL(WINAPI* SetVolumeMountPointA)(LPCSTR MountPoint, LPCSTR VolumeName);
};
extern TVolumeFunctions VolumeFunctions;

// Raised by LoadVolumeFunctions.
class EVolumeError : public EMobriError {
 public:
  explicit EVolumeError(const std::string& Message) : EMobriError(Message) {}
  const char* Kind() const override { return "EVolumeError"; }
};

// Size of the text buffers for volume names and mount points.
constexpr DWORD MOBRI_VOLUME_NAME_SIZE = 1024;

// Binds VolumeFunctions once; raises EVolumeError when kernel32 or an entry point is missing.
void LoadVolumeFunctions();

// A list of names kept in case-insensitive order (Harddisk10 before Harddisk2).
using TNameList = std::vector<std::string>;
void SortNames(TNameList& List);

// N when Name is Prefix followed by a decimal number N >= 0, else -1.
int NumberAfterPrefix(const std::string& Name, const std::string& Prefix);
// The sorted object names of "\Device".
TNameList DeviceObjectNames();
// "\Device\Harddisk<N>" for every "Harddisk<N>" among the names, sorted.
TNameList HardDisks(const TNameList& DeviceNames);
// "\??\Volume{...}": the link of a volume name "\\?\Volume{...}\".
std::string VolumeLinkName(const std::string& Volume);

// The "--list" action. IsWin95 is the main flow's platform test.
void ListDevices(const std::string& Filter, bool IsWin95);
// The NT block device part of the list.
void ListNtDevices(const std::string& Filter);

struct TDeviceDescription {
  bool Listed;
  std::string Description;  // media type text and block size, empty when unknown
  DWORD MediaType;
  int64_t Size;
};
TDeviceDescription DescribeDevice(const std::string& Path, const std::string& Filter);

// Filters: "disk", "fixed", "removable", "partition" and "file" (which matches no device).
bool MatchesFilter(const std::string& Name, DWORD MediaType, const std::string& Filter);
bool OutputMatchesFilter(const std::string& Name, const std::string& Filter);

// Maps a drive or mount point (E:, C:\mnt\stick) to an NT device name ("\\?\Device\...");
// empty text when it cannot. On success also sets the two results below.
std::string ResolveDeviceName(const std::string& Name);
extern std::string ResolvedBlockSizeText;  // "18k", "2k" or "1M"
extern bool ResolvedWholeDisk;

// Text for a GetDriveTypeA code.
std::string DriveTypeName(UINT Code);
