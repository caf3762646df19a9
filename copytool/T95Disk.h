// Raw drive writes on Windows 95 through the 16-bit disk library zorlat.dll, and the copy
// engine's output for drive names such as "a:".
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

#include "Win95Entries.h"

constexpr DWORD SECTOR_SIZE_95 = 512;

class T95Disk {
 public:
  // Loads the library from the program's folder, first writing it there from the
  // program's resource when it is missing. Raises when it does not load (after a dialog).
  T95Disk();
  ~T95Disk();
  T95Disk(const T95Disk&) = delete;
  T95Disk& operator=(const T95Disk&) = delete;

  // "a:" is drive 0, "b:" 1, "c:" to "z:" 0x80 onwards; then reads that drive's geometry.
  bool OpenDrive(const std::string& Name);
  bool ReadGeometry(BYTE Drive);
  // Count sectors of one track from Sector (counted from 1).
  bool WritePhysical(BYTE Sector, BYTE Head, WORD Cylinder, void* Buffer, BYTE Count);
  // Count sectors from linear sector First, in calls of at most one track. On failure the
  // thread's last error tells why.
  bool WriteSectors(uint64_t First, void* Buffer, uint32_t Count);

  bool GeometryValid;
  WORD Module16;
  // Drive number; two bytes of the library's; highest head; sectors per track; unused.
  BYTE DiskRecord[6];
};

// True for a name of two characters whose second is ":".
bool Is95DriveName(const std::string& Name);

// The output of a copy to a drive name on Windows 95, from Seek bytes on.
class T95DriveOutput {
 public:
  // Raises E95DiskError, before anything is written, off Windows 95 and when Seek or
  // BlockSize is not a whole number of sectors; a drive that does not open fails at its
  // first write.
  T95DriveOutput(const std::string& Name, int64_t Seek, int64_t BlockSize);
  // Writes Got bytes at the next sector; a short block is padded with zeros to whole
  // sectors (Buffer holds a whole block). Answers Got, or 0 with the last error set.
  DWORD Write(unsigned char* Buffer, DWORD Got);

 private:
  // The refusals above, then the sector Seek points at.
  static uint64_t FirstSector(const std::string& Name, int64_t Seek, int64_t BlockSize);
  uint64_t NextSector;
  T95Disk Disk;
};
