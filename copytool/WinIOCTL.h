// Disk and volume control codes, the media type texts, and the one door through which
// the program sends device I/O control requests.
#pragma once

#include <windows.h>
#include <winioctl.h>

#include <string>

constexpr DWORD MobriControlCode(DWORD DeviceType, DWORD Function, DWORD Method, DWORD Access) {
  return (DeviceType << 16) | (Access << 14) | (Function << 2) | Method;
}

constexpr DWORD MOBRI_IOCTL_DISK_GET_DRIVE_GEOMETRY = MobriControlCode(7, 0, 0, 0);
constexpr DWORD MOBRI_IOCTL_DISK_GET_DRIVE_GEOMETRY_EX = MobriControlCode(7, 40, 0, 0);
constexpr DWORD MOBRI_IOCTL_DISK_GET_PARTITION_INFO = MobriControlCode(7, 1, 0, 1);
constexpr DWORD MOBRI_IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS = MobriControlCode(86, 0, 0, 0);

// Media type of fixed hard disks (FixedMedia).
constexpr DWORD MOBRI_FIXED_MEDIA = 12;

// Answer buffer of the size queries.
constexpr DWORD MOBRI_IOCTL_BUFFER_SIZE = 1024;

// The text for a MEDIA_TYPE value; "Unknown" for 0 and any value without a text.
std::string MediaTypeName(DWORD MediaType);

// Signature of kernel32's DeviceIoControl.
using TDeviceIoControl = BOOL(WINAPI*)(HANDLE Device, DWORD Code, LPVOID In, DWORD InSize,
                                       LPVOID Out, DWORD OutSize, LPDWORD Returned,
                                       LPOVERLAPPED Overlapped);

// Every control request of the program goes through this pointer (kernel32's
// DeviceIoControl); tests put a fake device here, since raw disks do not exist under Wine.
extern TDeviceIoControl DeviceIoControlCall;

// A request without input; Out receives at most OutSize bytes.
BOOL DiskIoControl(HANDLE Device, DWORD Code, void* Out, DWORD OutSize, DWORD* Returned);

// IOCTL_DISK_GET_DRIVE_GEOMETRY into a 24-byte record.
bool GetDriveGeometry(HANDLE Device, DISK_GEOMETRY* Geometry);
