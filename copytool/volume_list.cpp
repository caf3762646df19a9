// The device list of --list: Win32 volumes with their mount points, then NT block devices.
#include <utility>

#include "Native.h"
#include "volume.h"

namespace {

// Closes a volume search however the section ends.
class TVolumeSearch {
 public:
  TVolumeSearch(HANDLE Find, BOOL(WINAPI* Closer)(HANDLE)) : Find(Find), Closer(Closer) {}
  ~TVolumeSearch() {
    if (Find != INVALID_HANDLE_VALUE) Closer(Find);
  }
  TVolumeSearch(const TVolumeSearch&) = delete;
  TVolumeSearch& operator=(const TVolumeSearch&) = delete;
  bool Valid() const { return Find != INVALID_HANDLE_VALUE; }
  HANDLE Find;

 private:
  BOOL(WINAPI* Closer)(HANDLE);
};

struct TMountPoint {
  std::string Path;            // volume name followed by the mount point's relative path
  std::string MountedVolume;   // the volume mounted there, empty when unknown
};

std::vector<std::string> AllVolumes() {
  std::vector<std::string> Volumes;
  char Volume[MOBRI_VOLUME_NAME_SIZE] = {0};
  TVolumeSearch Search(VolumeFunctions.FindFirstVolumeA(Volume, MOBRI_VOLUME_NAME_SIZE),
                       VolumeFunctions.FindVolumeClose);
  if (!Search.Valid()) return Volumes;
  do Volumes.push_back(Volume);
  while (VolumeFunctions.FindNextVolumeA(Search.Find, Volume, MOBRI_VOLUME_NAME_SIZE));
  return Volumes;
}

std::string MountedVolumeAt(const std::string& MountPoint) {
  char Volume[MOBRI_VOLUME_NAME_SIZE] = {0};
  if (!VolumeFunctions.GetVolumeNameForVolumeMountPointA(MountPoint.c_str(), Volume,
                                                         MOBRI_VOLUME_NAME_SIZE))
    return std::string();
  return Volume;
}

std::vector<TMountPoint> AllMountPoints(const std::vector<std::string>& Volumes) {
  std::vector<TMountPoint> MountPoints;
  for (const std::string& Volume : Volumes) {
    char Relative[MOBRI_VOLUME_NAME_SIZE] = {0};
    TVolumeSearch Search(
        VolumeFunctions.FindFirstVolumeMountPointA(Volume.c_str(), Relative, MOBRI_VOLUME_NAME_SIZE),
        VolumeFunctions.FindVolumeMountPointClose);
    if (!Search.Valid()) continue;
    do MountPoints.push_back({Volume + Relative, std::string()});
    while (VolumeFunctions.FindNextVolumeMountPointA(Search.Find, Relative, MOBRI_VOLUME_NAME_SIZE));
  }
  for (TMountPoint& MountPoint : MountPoints) MountPoint.MountedVolume = MountedVolumeAt(MountPoint.Path);
  return MountPoints;
}

std::vector<std::pair<char, std::string>> DriveLetterVolumes() {
  std::vector<std::pair<char, std::string>> Letters;
  for (char Letter = 'a'; Letter <= 'z'; ++Letter) {
    std::string Volume = MountedVolumeAt(std::string(1, Letter) + ":\\");
    if (!Volume.empty()) Letters.push_back({Letter, Volume});
  }
  return Letters;
}

void ListVolumes() {
  Log("Win32 Available Volume Information");
  LoadVolumeFunctions();
  std::vector<std::string> Volumes = AllVolumes();
  std::vector<TMountPoint> MountPoints = AllMountPoints(Volumes);
  std::vector<std::pair<char, std::string>> Letters = DriveLetterVolumes();
  for (const std::string& Volume : Volumes) {
    Log("\\\\.\\" + Volume.substr(Volume.size() < 4 ? Volume.size() : 4));
    std::string Target = QuerySymbolicLink(VolumeLinkName(Volume));
    if (!Target.empty()) Log("  link to \\\\?" + Target);
    Log("  " + DriveTypeName(GetDriveTypeA(Volume.c_str())));
    bool Mounted = false;
    for (const auto& Letter : Letters) {
      if (Letter.second != Volume) continue;
      Log(std::string("  Mounted on \\\\.\\") + Letter.first + ":");
      Mounted = true;
    }
    for (const TMountPoint& MountPoint : MountPoints) {
      if (MountPoint.MountedVolume != Volume) continue;
      Log("  Mounted on " + MountPoint.Path);
      Mounted = true;
    }
    if (!Mounted) Log("  Not mounted");
    Log("");
  }
}

void PrintIfListed(const std::string& Path, const std::string& Filter) {
  TDeviceDescription Device = DescribeDevice(Path, Filter);
  if (!Device.Listed) return;
  Log("\\\\?" + Path);
  std::string Target = QuerySymbolicLink(Path);
  if (!Target.empty()) Log("  link to \\\\?" + Target);
  if (!Device.Description.empty()) Log("  " + Device.Description);
  if (Device.Size > 0) Log("  size is " + std::to_string(Device.Size) + " bytes");
}

}  // namespace

void ListDevices(const std::string& Filter, bool IsWin95) {
  if (IsWin95) {
    Log("--list is not available for Win95");
    return;
  }
  if (Filter.empty()) {
    try {
      ListVolumes();
    } catch (const std::exception&) {
      // A system without the volume functions still gets its NT device list.
    }
  }
  Log("");
  Log("NT Block Device Objects");
  ListNtDevices(Filter);
}

void ListNtDevices(const std::string& Filter) {
  TNameList Names = DeviceObjectNames();
  for (const std::string& Name : Names) {
    int Number = NumberAfterPrefix(Name, "CdRom");
    if (Number >= 0) {
      PrintIfListed("\\Device\\CdRom" + std::to_string(Number), Filter);
      continue;
    }
    Number = NumberAfterPrefix(Name, "Floppy");
    if (Number >= 0) PrintIfListed("\\Device\\Floppy" + std::to_string(Number), Filter);
  }
  for (const std::string& Disk : HardDisks(Names)) {
    TNameList Entries;
    ListObjectDirectory(Disk, Entries);
    SortNames(Entries);
    for (const std::string& Entry : Entries) {
      int Number = NumberAfterPrefix(Entry, "Partition");
      if (Number >= 0) PrintIfListed(Disk + "\\Partition" + std::to_string(Number), Filter);
    }
  }
  if (!Filter.empty()) return;
  Log("");
  Log("Virtual input devices");
  Log(" /dev/zero   (null data)");
  Log(" /dev/random (pseudo-random data)");
  Log(" -           (standard input)");
  Log("");
  Log("Virtual output devices");
  Log(" -           (standard output)");
  Log(" /dev/null   (discard the data)");
}
