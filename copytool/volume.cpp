#include "volume.h"

#include <algorithm>
#include <cctype>

#include "Native.h"
#include "WinIOCTL.h"

TVolumeFunctions VolumeFunctions = {};
std::string ResolvedBlockSizeText;
bool ResolvedWholeDisk = false;

namespace {

template <typename TEntry>
void BindVolumeEntry(HMODULE Kernel, const char* Name, TEntry& Slot) {
  FARPROC Entry = GetProcAddress(Kernel, Name);
  if (!Entry) throw EVolumeError(std::string("Could not find procedure ") + Name);
  Slot = reinterpret_cast<TEntry>(reinterpret_cast<void*>(Entry));
}

char LowerAscii(char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); }

bool StartsWith(const std::string& Text, const std::string& Head) {
  return Text.compare(0, Head.size(), Head) == 0;
}

bool EndsWithPartition0(const std::string& Name) {
  // Letter case is ignored as the object namespace ignores it, so "partition0" cannot
  // slip a whole disk past the "partition" filter.
  static const std::string Tail = "partition0";
  if (Name.size() < Tail.size()) return false;
  std::string End = Name.substr(Name.size() - Tail.size());
  std::transform(End.begin(), End.end(), End.begin(), LowerAscii);
  return End == Tail;
}

std::string DirectoryOf(const std::string& Name) {
  char Full[MAX_PATH * 4] = {0};
  LPSTR FilePart = nullptr;
  DWORD Length = GetFullPathNameA(Name.c_str(), sizeof(Full), Full, &FilePart);
  if (Length == 0 || Length >= sizeof(Full)) return std::string();
  if (!FilePart) return std::string(Full);
  return std::string(Full, static_cast<size_t>(FilePart - Full));
}

bool DirectoryExists(const std::string& Path) {
  DWORD Attributes = GetFileAttributesA(Path.c_str());
  return Attributes != INVALID_FILE_ATTRIBUTES && (Attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

struct TResolvedDisk {
  std::string Name;
  int Partitions;
};

// The hard disk one of whose partitions links to Device ("\\?\Device\..."), with the
// number of partition entries (the whole-disk entry included) that disk has.
TResolvedDisk FindDiskHolding(const std::string& Device) {
  TResolvedDisk Found = {std::string(), 0};
  for (const std::string& Disk : HardDisks(DeviceObjectNames())) {
    TNameList Entries;
    ListObjectDirectory(Disk, Entries);
    SortNames(Entries);
    int Partitions = 0;
    bool Holds = false;
    for (const std::string& Entry : Entries) {
      int Number = NumberAfterPrefix(Entry, "Partition");
      if (Number < 0) continue;
      ++Partitions;
      if ("\\\\?" + QuerySymbolicLink(Disk + "\\Partition" + std::to_string(Number)) == Device) {
        Log(Device + " is a partition on " + Disk);
        Holds = true;
      }
    }
    // A later disk that holds it replaces an earlier one.
    if (Holds) Found = {Disk, Partitions};
  }
  return Found;
}

}  // namespace

void LoadVolumeFunctions() {
  if (VolumeFunctions.Bound) return;
  HMODULE Kernel = GetModuleHandleA("kernel32.dll");
  if (!Kernel) Kernel = LoadLibraryA("kernel32.dll");
  if (!Kernel)
    throw EVolumeError("Error loading kernel32 Library.  " + SystemErrorText(GetLastError()));
  TVolumeFunctions F = {};
  BindVolumeEntry(Kernel, "FindFirstVolumeA", F.FindFirstVolumeA);
  BindVolumeEntry(Kernel, "FindNextVolumeA", F.FindNextVolumeA);
  BindVolumeEntry(Kernel, "FindVolumeClose", F.FindVolumeClose);
  BindVolumeEntry(Kernel, "FindFirstVolumeMountPointA", F.FindFirstVolumeMountPointA);
  BindVolumeEntry(Kernel, "FindNextVolumeMountPointA", F.FindNextVolumeMountPointA);
  BindVolumeEntry(Kernel, "FindVolumeMountPointClose", F.FindVolumeMountPointClose);
  BindVolumeEntry(Kernel, "GetVolumeNameForVolumeMountPointA", F.GetVolumeNameForVolumeMountPointA);
  BindVolumeEntry(Kernel, "DeleteVolumeMountPointA", F.DeleteVolumeMountPointA);
  BindVolumeEntry(Kernel, "SetVolumeMountPointA", F.SetVolumeMountPointA);
  F.Bound = true;
  VolumeFunctions = F;
}

void SortNames(TNameList& List) {
  std::stable_sort(List.begin(), List.end(), [](const std::string& A, const std::string& B) {
    return std::lexicographical_compare(
        A.begin(), A.end(), B.begin(), B.end(),
        [](char X, char Y) { return LowerAscii(X) < LowerAscii(Y); });
  });
}

int NumberAfterPrefix(const std::string& Name, const std::string& Prefix) {
  if (!StartsWith(Name, Prefix)) return -1;
  std::string Rest = Name.substr(Prefix.size());
  // Digits only, and few enough to fit: "Volume1", "+1" or "0x1" are no numbers here.
  if (Rest.empty() || Rest.size() > 9) return -1;
  for (char c : Rest)
    if (c < '0' || c > '9') return -1;
  return std::stoi(Rest);
}

TNameList DeviceObjectNames() {
  TNameList Names;
  ListObjectDirectory("\\Device", Names);
  SortNames(Names);
  return Names;
}

TNameList HardDisks(const TNameList& DeviceNames) {
  TNameList Disks;
  for (const std::string& Name : DeviceNames) {
    int Number = NumberAfterPrefix(Name, "Harddisk");
    if (Number >= 0) Disks.push_back("\\Device\\Harddisk" + std::to_string(Number));
  }
  SortNames(Disks);
  return Disks;
}

std::string VolumeLinkName(const std::string& Volume) {
  if (Volume.size() < 5) return std::string();
  return "\\??\\" + Volume.substr(4, Volume.size() - 5);
}

TDeviceDescription DescribeDevice(const std::string& Path, const std::string& Filter) {
  TDeviceDescription Result = {false, std::string(), 0, 0};
  HANDLE Device =
      NativeOpen(Path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (Device == INVALID_HANDLE_VALUE) {
    switch (NativeLastError()) {
      case ERROR_FILE_NOT_FOUND:
      case ERROR_PATH_NOT_FOUND:
      case ERROR_ACCESS_DENIED:
        break;
      case ERROR_SHARING_VIOLATION:
        // A device in use is still worth naming, but a filter cannot judge it.
        Result.Listed = Filter.empty();
        break;
      default:
        ReportError("opening device");
        break;
    }
    return Result;
  }
  Result.Listed = true;
  DISK_GEOMETRY Geometry;
  if (GetDriveGeometry(Device, &Geometry)) {
    Result.MediaType = static_cast<DWORD>(Geometry.MediaType);
    Result.Description = MediaTypeName(Result.MediaType) +
                         ". Block size = " + std::to_string(Geometry.BytesPerSector);
  }
  if (!Filter.empty()) Result.Listed = MatchesFilter(Path, Result.MediaType, Filter);
  Result.Size = DeviceSize(Device);
  CloseHandle(Device);
  return Result;
}

bool MatchesFilter(const std::string& Name, DWORD MediaType, const std::string& Filter) {
  bool WholeDisk = EndsWithPartition0(Name);
  if (Filter == "disk") return WholeDisk;
  if (Filter == "fixed") return WholeDisk && MediaType == MOBRI_FIXED_MEDIA;
  if (Filter == "removable") return WholeDisk && MediaType != MOBRI_FIXED_MEDIA;
  if (Filter == "partition") return !WholeDisk;
  return false;
}

bool OutputMatchesFilter(const std::string& Name, const std::string& Filter) {
  if (Filter == "file") {
    std::string Directory = DirectoryOf(Name);
    if (!Directory.empty() && DirectoryExists(Directory)) return true;
    Log("Output path " + Directory + " does not exist");
    return false;
  }
  HANDLE Output;
  if (StartsWith(Name, "\\\\?\\"))
    Output = NativeOpen(Name.c_str() + 3, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                        nullptr);
  else
    Output = CreateFileA(Name.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                         FILE_FLAG_RANDOM_ACCESS, nullptr);
  if (Output == INVALID_HANDLE_VALUE) return false;
  DISK_GEOMETRY Geometry;
  bool Matches = GetDriveGeometry(Output, &Geometry) &&
                 MatchesFilter(Name, static_cast<DWORD>(Geometry.MediaType), Filter);
  CloseHandle(Output);
  return Matches;
}

std::string ResolveDeviceName(const std::string& Name) {
  LoadVolumeFunctions();
  std::string Target;
  char Volume[MOBRI_VOLUME_NAME_SIZE] = {0};
  if (VolumeFunctions.GetVolumeNameForVolumeMountPointA((Name + "\\").c_str(), Volume,
                                                        MOBRI_VOLUME_NAME_SIZE))
    Target = QuerySymbolicLink(VolumeLinkName(Volume));
  if (Target.empty()) {
    Log("Device " + Name + " could not be found");
    return std::string();
  }
  std::string Device = "\\\\?" + Target;
  Log("Device " + Name + " is a link to " + Device);
  if (StartsWith(Device, "\\\\?\\Device\\Floppy")) {
    ResolvedBlockSizeText = "18k";
    ResolvedWholeDisk = false;
    return Device;
  }
  if (StartsWith(Device, "\\\\?\\Device\\CdRom")) {
    ResolvedBlockSizeText = "2k";
    ResolvedWholeDisk = false;
    return Device;
  }
  TResolvedDisk Disk = FindDiskHolding(Device);
  if (Disk.Name.empty()) {
    Log("No match could be found for " + Name);
    Log("");
    return std::string();
  }
  if (Disk.Partitions == 2) {
    ResolvedBlockSizeText = "1M";
    ResolvedWholeDisk = true;
    return "\\\\?" + Disk.Name + "\\Partition0";
  }
  Log("Multiple partitions were found on " + Disk.Name + ".");
  Log("Use 'if=\\\\?" + Disk.Name + "\\Partition0' instead");
  Log("");
  return std::string();
}

std::string DriveTypeName(UINT Code) {
  static const char* const Names[] = {
      "drive type cannot be determined", "no volume mounted", "removeable media", "fixed media",
      "network drive", "CD-ROM", "RAM disk",
  };
  if (Code >= sizeof(Names) / sizeof(Names[0])) return "Unknown";
  return Names[Code];
}
