#include "WinIOCTL.h"

static_assert(MOBRI_IOCTL_DISK_GET_DRIVE_GEOMETRY == 0x70000, "geometry code");
static_assert(MOBRI_IOCTL_DISK_GET_DRIVE_GEOMETRY_EX == 0x700A0, "geometry-ex code");
static_assert(MOBRI_IOCTL_DISK_GET_PARTITION_INFO == 0x74004, "partition info code");
static_assert(MOBRI_IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS == 0x560000, "volume extents code");
static_assert(sizeof(DISK_GEOMETRY) == 24, "geometry record");

TDeviceIoControl DeviceIoControlCall = ::DeviceIoControl;

std::string MediaTypeName(DWORD MediaType) {
  static const char* const Names[] = {
      "Unknown",
      "5.25, 1.2MB,  512 bytes/sector",
      "3.5,  1.44MB, 512 bytes/sector",
      "3.5,  2.88MB, 512 bytes/sector",
      "3.5,  20.8MB, 512 bytes/sector",
      "3.5,  720KB,  512 bytes/sector",
      "5.25, 360KB,  512 bytes/sector",
      "5.25, 320KB,  512 bytes/sector",
      "5.25, 320KB,  1024 bytes/sector",
      "5.25, 180KB,  512 bytes/sector",
      "5.25, 160KB,  512 bytes/sector",
      "Removable media other than floppy",
      "Fixed hard disk media",
  };
  if (MediaType >= sizeof(Names) / sizeof(Names[0])) return "Unknown";
  return Names[MediaType];
}

BOOL DiskIoControl(HANDLE Device, DWORD Code, void* Out, DWORD OutSize, DWORD* Returned) {
  DWORD Ignored = 0;
  return DeviceIoControlCall(Device, Code, nullptr, 0, Out, OutSize,
                             Returned ? Returned : &Ignored, nullptr);
}

bool GetDriveGeometry(HANDLE Device, DISK_GEOMETRY* Geometry) {
  return DiskIoControl(Device, MOBRI_IOCTL_DISK_GET_DRIVE_GEOMETRY, Geometry,
                       sizeof(DISK_GEOMETRY), nullptr) != FALSE;
}
