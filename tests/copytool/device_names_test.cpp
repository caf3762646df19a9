// Device listing, name resolution and filters over a fake NT namespace and fake volumes,
// since raw disks and their volumes do not exist under Wine.
#include "volume.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "Native.h"
#include "WinIOCTL.h"

namespace {

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;

constexpr NTSTATUS StatusSuccess = 0;
constexpr NTSTATUS StatusNoMoreEntries = static_cast<NTSTATUS>(0x8000001A);
constexpr NTSTATUS StatusNameNotFound = static_cast<NTSTATUS>(0xC0000034);
constexpr NTSTATUS StatusPathNotFound = static_cast<NTSTATUS>(0xC000003A);
constexpr NTSTATUS StatusAccessDenied = static_cast<NTSTATUS>(0xC0000022);
constexpr NTSTATUS StatusSharingViolation = static_cast<NTSTATUS>(0xC0000043);
constexpr NTSTATUS StatusDeviceError = static_cast<NTSTATUS>(0xC0000185);

struct TFakeDisk {
  NTSTATUS OpenStatus = StatusSuccess;
  bool HasGeometry = true;
  DWORD MediaType = MOBRI_FIXED_MEDIA;
  DWORD BytesPerSector = 512;
  int64_t Cylinders = 1;             // one track of one sector unless a test says otherwise
  int64_t Length = 0;                // the partition length, 0 for no answer
  int64_t DiskSize = 0;              // the extended geometry's size, 0 for no answer
  std::vector<DISK_EXTENT> Extents;  // volume extents, none for no answer
  DWORD ExtentCount = 0;             // the count the answer claims
};

// The machine the fakes present: object directories, symbolic links and openable devices.
struct TFakeMachine {
  std::map<std::string, std::vector<std::string>> Directories;
  std::map<std::string, std::string> Links;
  std::map<std::string, TFakeDisk> Devices;
  std::map<HANDLE, std::string> Handles;
  std::vector<std::string> Opened;
  // Volumes: name, mount points (relative), and what each mount point path holds.
  std::vector<std::string> Volumes;
  std::map<std::string, std::vector<std::string>> MountPoints;
  std::map<std::string, std::string> VolumeAt;
  std::vector<std::string> VolumeQueries;
  std::vector<DWORD> Asked;
  int OpenSearches = 0;
  bool ThrowFromVolumeSearch = false;
};
TFakeMachine* Machine = nullptr;

std::string NameOf(POBJECT_ATTRIBUTES Attributes) {
  const UNICODE_STRING* Name = Attributes->ObjectName;
  std::string Text;
  for (USHORT i = 0; i < Name->Length / 2; ++i) Text += static_cast<char>(Name->Buffer[i]);
  return Text;
}

HANDLE NewHandle(const std::string& Name) {
  HANDLE Handle = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  Machine->Handles[Handle] = Name;
  return Handle;
}

NTSTATUS NTAPI FakeOpenFile(PHANDLE Handle, ACCESS_MASK Access, POBJECT_ATTRIBUTES Attributes,
                            PIO_STATUS_BLOCK, ULONG Share, ULONG Options) {
  std::string Name = NameOf(Attributes);
  Machine->Opened.push_back(Name);
  EXPECT_EQ(Access & SYNCHRONIZE, static_cast<ACCESS_MASK>(SYNCHRONIZE));
  EXPECT_EQ(Share, 0u);
  EXPECT_EQ(Options, 0x20u);
  auto Device = Machine->Devices.find(Name);
  if (Device == Machine->Devices.end()) return StatusNameNotFound;
  if (Device->second.OpenStatus < 0) return Device->second.OpenStatus;
  *Handle = NewHandle(Name);
  return StatusSuccess;
}

NTSTATUS NTAPI FakeOpenDirectory(PHANDLE Handle, ACCESS_MASK Access, POBJECT_ATTRIBUTES Attributes) {
  EXPECT_EQ(Access, 0x20001u);
  EXPECT_EQ(Attributes->Attributes, 0x40u);
  std::string Name = NameOf(Attributes);
  if (!Machine->Directories.count(Name)) return StatusNameNotFound;
  *Handle = NewHandle(Name);
  return StatusSuccess;
}

NTSTATUS NTAPI FakeQueryDirectory(HANDLE Handle, PVOID Buffer, ULONG Length, BOOLEAN Single,
                                  BOOLEAN Restart, PULONG Context, PULONG Returned) {
  EXPECT_TRUE(Single);
  EXPECT_FALSE(Restart);
  EXPECT_EQ(Length, 1024u);
  const std::vector<std::string>& Entries = Machine->Directories[Machine->Handles[Handle]];
  if (*Context >= Entries.size()) return StatusNoMoreEntries;
  const std::string& Entry = Entries[(*Context)++];
  // The record, then the name's characters right behind it.
  auto* Record = static_cast<TObjectDirectoryInformation*>(Buffer);
  WCHAR* Text = reinterpret_cast<WCHAR*>(Record + 1);
  for (size_t i = 0; i < Entry.size(); ++i) Text[i] = static_cast<WCHAR>(Entry[i]);
  Record->Name.Buffer = Text;
  Record->Name.Length = static_cast<USHORT>(Entry.size() * 2);
  Record->Name.MaximumLength = Record->Name.Length;
  Record->TypeName = Record->Name;
  *Returned = sizeof(*Record) + Record->Name.Length;
  return StatusSuccess;
}

NTSTATUS NTAPI FakeOpenLink(PHANDLE Handle, ACCESS_MASK Access, POBJECT_ATTRIBUTES Attributes) {
  EXPECT_EQ(Access, 1u);
  std::string Name = NameOf(Attributes);
  if (!Machine->Links.count(Name)) return StatusNameNotFound;
  *Handle = NewHandle(Name);
  return StatusSuccess;
}

NTSTATUS NTAPI FakeQueryLink(HANDLE Handle, PUNICODE_STRING Target, PULONG Returned) {
  const std::string& Text = Machine->Links[Machine->Handles[Handle]];
  EXPECT_EQ(Target->MaximumLength, 1024u);
  for (size_t i = 0; i < Text.size(); ++i) Target->Buffer[i] = static_cast<WCHAR>(Text[i]);
  // Past the counted length stands junk, which must not reach the result.
  Target->Buffer[Text.size()] = L'#';
  Target->Length = static_cast<USHORT>(Text.size() * 2);
  *Returned = Target->Length + 2;
  return StatusSuccess;
}

template <typename TRecord>
BOOL Answer(const TRecord& Record, LPVOID Out, DWORD OutSize, LPDWORD Returned) {
  EXPECT_GE(OutSize, sizeof(Record));
  std::memcpy(Out, &Record, sizeof(Record));
  *Returned = sizeof(Record);
  return TRUE;
}

BOOL WINAPI FakeDeviceIoControl(HANDLE Handle, DWORD Code, LPVOID, DWORD, LPVOID Out, DWORD OutSize,
                                LPDWORD Returned, LPOVERLAPPED) {
  Machine->Asked.push_back(Code);
  auto Open = Machine->Handles.find(Handle);
  SetLastError(ERROR_INVALID_FUNCTION);
  if (Open == Machine->Handles.end() || !Machine->Devices.count(Open->second)) return FALSE;
  const TFakeDisk& Disk = Machine->Devices[Open->second];
  if (Code == MOBRI_IOCTL_DISK_GET_DRIVE_GEOMETRY && Disk.HasGeometry) {
    DISK_GEOMETRY Geometry = {};
    Geometry.MediaType = static_cast<MEDIA_TYPE>(Disk.MediaType);
    Geometry.BytesPerSector = Disk.BytesPerSector;
    Geometry.Cylinders.QuadPart = Disk.Cylinders;
    Geometry.TracksPerCylinder = 1;
    Geometry.SectorsPerTrack = 1;
    return Answer(Geometry, Out, OutSize, Returned);
  }
  if (Code == MOBRI_IOCTL_DISK_GET_PARTITION_INFO && Disk.Length > 0) {
    PARTITION_INFORMATION Info = {};
    Info.PartitionLength.QuadPart = Disk.Length;
    return Answer(Info, Out, OutSize, Returned);
  }
  if (Code == MOBRI_IOCTL_DISK_GET_DRIVE_GEOMETRY_EX && Disk.DiskSize > 0) {
    DISK_GEOMETRY_EX Geometry = {};
    Geometry.DiskSize.QuadPart = Disk.DiskSize;
    return Answer(Geometry, Out, OutSize, Returned);
  }
  if (Code == MOBRI_IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS && !Disk.Extents.empty()) {
    EXPECT_EQ(OutSize, 1024u);
    const size_t First = offsetof(VOLUME_DISK_EXTENTS, Extents);
    const size_t Size = First + Disk.Extents.size() * sizeof(DISK_EXTENT);
    EXPECT_LE(Size, OutSize);
    std::memcpy(Out, &Disk.ExtentCount, sizeof(DWORD));
    std::memcpy(static_cast<char*>(Out) + First, Disk.Extents.data(), Size - First);
    *Returned = static_cast<DWORD>(Size);
    return TRUE;
  }
  return FALSE;
}

// A search hands out one list's texts in order; Machine->Handles keeps how far it got.
HANDLE StartSearch(const std::vector<std::string>& List, const std::string& Key, LPSTR Out) {
  if (List.empty()) return INVALID_HANDLE_VALUE;
  ++Machine->OpenSearches;
  strcpy(Out, List[0].c_str());
  return NewHandle(Key + "|1");
}

BOOL NextInSearch(const std::vector<std::string>& List, HANDLE Find, LPSTR Out) {
  std::string& State = Machine->Handles[Find];
  size_t Next = std::stoul(State.substr(State.rfind('|') + 1));
  if (Next >= List.size()) return FALSE;
  strcpy(Out, List[Next].c_str());
  State = State.substr(0, State.rfind('|') + 1) + std::to_string(Next + 1);
  return TRUE;
}

const std::vector<std::string>& SearchedList(HANDLE Find) {
  const std::string& State = Machine->Handles[Find];
  std::string Key = State.substr(0, State.rfind('|'));
  return Key.empty() ? Machine->Volumes : Machine->MountPoints[Key];
}

HANDLE WINAPI FakeFindFirstVolume(LPSTR Name, DWORD Length) {
  EXPECT_EQ(Length, 1024u);
  if (Machine->ThrowFromVolumeSearch) throw EVolumeError("Could not find procedure FindFirstVolumeA");
  return StartSearch(Machine->Volumes, "", Name);
}

HANDLE WINAPI FakeFindFirstMountPoint(LPCSTR Volume, LPSTR MountPoint, DWORD) {
  return StartSearch(Machine->MountPoints[Volume], Volume, MountPoint);
}

BOOL WINAPI FakeFindNext(HANDLE Find, LPSTR Out, DWORD) {
  return NextInSearch(SearchedList(Find), Find, Out);
}

BOOL WINAPI FakeCloseSearch(HANDLE) {
  --Machine->OpenSearches;
  return TRUE;
}

BOOL WINAPI FakeVolumeNameAt(LPCSTR MountPoint, LPSTR Volume, DWORD Length) {
  EXPECT_EQ(Length, 1024u);
  Machine->VolumeQueries.push_back(MountPoint);
  auto Found = Machine->VolumeAt.find(MountPoint);
  if (Found == Machine->VolumeAt.end()) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return FALSE;
  }
  strcpy(Volume, Found->second.c_str());
  return TRUE;
}

BOOL WINAPI FakeDeleteMountPoint(LPCSTR) { return FALSE; }
BOOL WINAPI FakeSetMountPoint(LPCSTR, LPCSTR) { return FALSE; }

// Installs the fakes in both tables and collects every message.
class FakeMachine : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(LoadNtFunctions());
    SavedNt = NtFunctions;
    SavedVolumes = VolumeFunctions;
    NtFunctions.NtOpenFile = FakeOpenFile;
    NtFunctions.NtOpenDirectoryObject = FakeOpenDirectory;
    NtFunctions.NtQueryDirectoryObject = FakeQueryDirectory;
    NtFunctions.NtOpenSymbolicLinkObject = FakeOpenLink;
    NtFunctions.NtQuerySymbolicLinkObject = FakeQueryLink;
    VolumeFunctions = {true,
                       FakeFindFirstVolume,
                       FakeFindNext,
                       FakeCloseSearch,
                       FakeFindFirstMountPoint,
                       FakeFindNext,
                       FakeCloseSearch,
                       FakeVolumeNameAt,
                       FakeDeleteMountPoint,
                       FakeSetMountPoint};
    DeviceIoControlCall = FakeDeviceIoControl;
    Machine = &Fake;
    SetLogHook([this](const std::string& Text) { Lines.push_back(Text); });
    ResolvedBlockSizeText = "";
    ResolvedWholeDisk = false;
    BuildMachine();
  }
  void TearDown() override {
    SetLogHook(TLogHook());
    DeviceIoControlCall = ::DeviceIoControl;
    NtFunctions = SavedNt;
    VolumeFunctions = SavedVolumes;
    for (auto& Open : Fake.Handles) CloseHandle(Open.first);
    Machine = nullptr;
  }

  // Two disks numbered so that a plain text sort would misorder them, a disk with one
  // partition behind E:, a CD-ROM, a floppy, and names that are no block devices.
  void BuildMachine() {
    Fake.Directories["\\Device"] = {"Harddisk2", "Null", "HarddiskVolume1", "Floppy0", "Harddisk10",
                                    "CdRom0", "Harddisk0", "HarddiskX", "CdRomA"};
    Fake.Directories["\\Device\\Harddisk0"] = {"Partition2", "DR0", "Partition10", "Partition0",
                                               "Partition1"};
    Fake.Directories["\\Device\\Harddisk10"] = {"Partition0"};
    Fake.Directories["\\Device\\Harddisk2"] = {"Partition0", "Partition1"};
    Fake.Links["\\Device\\Harddisk0\\Partition0"] = "\\Device\\Harddisk0\\DR0";
    Fake.Links["\\Device\\Harddisk0\\Partition1"] = "\\Device\\HarddiskVolume1";
    Fake.Links["\\Device\\Harddisk0\\Partition2"] = "\\Device\\HarddiskVolume2";
    Fake.Links["\\Device\\Harddisk0\\Partition10"] = "\\Device\\HarddiskVolume10";
    Fake.Links["\\Device\\Harddisk2\\Partition1"] = "\\Device\\HarddiskVolume5";
    Disk("\\Device\\Harddisk0\\Partition0", MOBRI_FIXED_MEDIA, 80000000000LL);
    Disk("\\Device\\Harddisk0\\Partition1", MOBRI_FIXED_MEDIA, 40000000000LL);
    Disk("\\Device\\Harddisk0\\Partition2", MOBRI_FIXED_MEDIA, 30000000000LL);
    Disk("\\Device\\Harddisk0\\Partition10", MOBRI_FIXED_MEDIA, 1000000LL);
    Disk("\\Device\\Harddisk10\\Partition0", 11, 4000000000LL);
    Disk("\\Device\\Harddisk2\\Partition0", 11, 1000000000LL);
    Disk("\\Device\\Harddisk2\\Partition1", 11, 999000000LL);
    Disk("\\Device\\CdRom0", 11, 0).BytesPerSector = 2048;
    Disk("\\Device\\Floppy0", 2, 1474560);
  }
  TFakeDisk& Disk(const std::string& Path, DWORD MediaType, int64_t Length) {
    TFakeDisk& One = Fake.Devices[Path];
    One.MediaType = MediaType;
    One.Length = Length;
    return One;
  }

  TFakeMachine Fake;
  std::vector<std::string> Lines;
  TNtFunctions SavedNt;
  TVolumeFunctions SavedVolumes;
};

// A device backed by a real file of Bytes bytes, so the geometry probe reads real sectors.
HANDLE BackedDevice(const std::string& Name, DWORD Bytes) {
  char Temp[MAX_PATH];
  GetTempPathA(MAX_PATH, Temp);
  std::string Path = std::string(Temp) + "device_" + std::to_string(GetCurrentProcessId());
  HANDLE File = CreateFileA(Path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_FLAG_DELETE_ON_CLOSE, nullptr);
  std::vector<char> Data(Bytes, 's');
  DWORD Written = 0;
  WriteFile(File, Data.data(), Bytes, &Written, nullptr);
  Machine->Handles[File] = Name;
  return File;
}

int64_t PositionOf(HANDLE Handle) {
  LARGE_INTEGER Zero, Now;
  Zero.QuadPart = 0;
  SetFilePointerEx(Handle, Zero, &Now, FILE_CURRENT);
  return Now.QuadPart;
}

DISK_EXTENT Extent(DWORD Disk, int64_t Start, int64_t Length) {
  DISK_EXTENT One = {};
  One.DiskNumber = Disk;
  One.StartingOffset.QuadPart = Start;
  One.ExtentLength.QuadPart = Length;
  return One;
}

using DeviceSizes = FakeMachine;

TEST_F(DeviceSizes, AVolumeIsMeasuredByItsLastExtent) {
  TFakeDisk& Volume = Disk("\\Device\\HarddiskVolume1", 0, 777);
  Volume.Extents = {Extent(1, 32256, 1000000), Extent(3, 1048576, 5000000)};
  Volume.ExtentCount = 2;
  HANDLE Handle = BackedDevice("\\Device\\HarddiskVolume1", 0);
  TVolumeExtent Found = VolumeExtent(Handle);
  EXPECT_TRUE(Found.Found);
  EXPECT_EQ(Found.DiskName, "\\Device\\Harddisk3\\Partition0");
  EXPECT_EQ(Found.Start, 1048576);
  EXPECT_EQ(DeviceSize(Handle), 5000000);
  EXPECT_THAT(Fake.Asked, Not(Contains(MOBRI_IOCTL_DISK_GET_PARTITION_INFO)));
}

TEST_F(DeviceSizes, AnExtentCountBeyondTheAnswerBufferIsCut) {
  TFakeDisk& Volume = Disk("\\Device\\HarddiskVolume1", 0, 0);
  const DWORD Fits = (1024 - offsetof(VOLUME_DISK_EXTENTS, Extents)) / sizeof(DISK_EXTENT);
  for (DWORD i = 0; i < Fits; ++i) Volume.Extents.push_back(Extent(i, i, 1000 + i));
  Volume.ExtentCount = 100000;
  EXPECT_EQ(DeviceSize(BackedDevice("\\Device\\HarddiskVolume1", 0)), 1000 + Fits - 1);
}

TEST_F(DeviceSizes, EmptyAnswersFallBackToTheNextQuery) {
  TFakeDisk& One = Disk("\\Device\\Harddisk5\\Partition0", 11, 0);
  One.DiskSize = 8000000;
  HANDLE Handle = BackedDevice("\\Device\\Harddisk5\\Partition0", 0);
  EXPECT_EQ(DeviceSize(Handle), 8000000);
  One.DiskSize = 0;
  One.HasGeometry = false;
  Fake.Asked.clear();
  EXPECT_EQ(DeviceSize(Handle), 0);
  EXPECT_THAT(Fake.Asked, ElementsAre(MOBRI_IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS,
                                      MOBRI_IOCTL_DISK_GET_PARTITION_INFO,
                                      MOBRI_IOCTL_DISK_GET_DRIVE_GEOMETRY_EX,
                                      MOBRI_IOCTL_DISK_GET_DRIVE_GEOMETRY));
}

TEST_F(DeviceSizes, TheGeometryIsProbedPastItsEndAndThePositionKept) {
  // The geometry covers 8 sectors; the device has 10 whole sectors and a tail.
  Disk("\\Device\\Floppy1", 2, 0).Cylinders = 8;
  HANDLE Handle = BackedDevice("\\Device\\Floppy1", 10 * 512 + 100);
  LARGE_INTEGER At;
  At.QuadPart = 1234;
  SetFilePointerEx(Handle, At, nullptr, FILE_BEGIN);
  EXPECT_EQ(DeviceSize(Handle), 10 * 512);
  EXPECT_EQ(PositionOf(Handle), 1234);  // the copy reads on from where it stood
  // A geometry larger than the device: the first probe read fails at once.
  Fake.Devices["\\Device\\Floppy1"].Cylinders = 1000;
  EXPECT_EQ(DeviceSize(Handle), 1000 * 512);
}

const char* const VirtualDeviceLines[] = {"",
                                          "Virtual input devices",
                                          " /dev/zero   (null data)",
                                          " /dev/random (pseudo-random data)",
                                          " -           (standard input)",
                                          "",
                                          "Virtual output devices",
                                          " -           (standard output)",
                                          " /dev/null   (discard the data)"};

std::vector<std::string> WithVirtualDevices(std::vector<std::string> Lines) {
  Lines.insert(Lines.end(), std::begin(VirtualDeviceLines), std::end(VirtualDeviceLines));
  return Lines;
}

using NtDeviceList = FakeMachine;

// The listed names, without the "\\?" in front, and no other lines.
std::vector<std::string> ListedNames(const std::vector<std::string>& Lines) {
  std::vector<std::string> Names;
  for (const std::string& Line : Lines)
    if (Line.compare(0, 11, "\\\\?\\Device\\") == 0) Names.push_back(Line.substr(11));
  return Names;
}

TEST_F(NtDeviceList, ListsDevicesInCaseInsensitiveOrderWithLinksDescriptionsAndSizes) {
  ListNtDevices("");
  EXPECT_THAT(ListedNames(Lines),
              ElementsAre("CdRom0", "Floppy0", "Harddisk0\\Partition0", "Harddisk0\\Partition1",
                          "Harddisk0\\Partition10", "Harddisk0\\Partition2",
                          "Harddisk10\\Partition0", "Harddisk2\\Partition0", "Harddisk2\\Partition1"));
  ASSERT_GE(Lines.size(), 14u);
  EXPECT_THAT(std::vector<std::string>(Lines.begin(), Lines.begin() + 10),
              ElementsAre("\\\\?\\Device\\CdRom0",
                          "  Removable media other than floppy. Block size = 2048",
                          "  size is 2048 bytes",  // one sector of geometry, nothing past it
                          "\\\\?\\Device\\Floppy0",
                          "  3.5,  1.44MB, 512 bytes/sector. Block size = 512",
                          "  size is 1474560 bytes", "\\\\?\\Device\\Harddisk0\\Partition0",
                          "  link to \\\\?\\Device\\Harddisk0\\DR0",
                          "  Fixed hard disk media. Block size = 512", "  size is 80000000000 bytes"));
  EXPECT_THAT(std::vector<std::string>(Lines.end() - 9, Lines.end()),
              ElementsAreArray(VirtualDeviceLines));
  // HarddiskVolume1, HarddiskX and CdRomA are no numbered devices: never opened.
  for (const std::string& Name : Fake.Opened) EXPECT_EQ(Name.find("Volume"), std::string::npos);
}

TEST_F(NtDeviceList, OpenFailuresDecideWhetherADeviceIsListed) {
  Fake.Devices["\\Device\\Harddisk0\\Partition1"].OpenStatus = StatusAccessDenied;
  Fake.Devices["\\Device\\Harddisk0\\Partition2"].OpenStatus = StatusPathNotFound;
  Fake.Devices.erase("\\Device\\Harddisk0\\Partition10");  // not found
  Fake.Devices["\\Device\\Harddisk2\\Partition0"].OpenStatus = StatusSharingViolation;
  Fake.Devices["\\Device\\Harddisk2\\Partition1"].OpenStatus = StatusDeviceError;
  Fake.Directories["\\Device"] = {"Harddisk0", "Harddisk2"};
  ListNtDevices("");
  ASSERT_GE(Lines.size(), 7u);
  EXPECT_THAT(std::vector<std::string>(Lines.begin(), Lines.begin() + 6),
              ElementsAre("\\\\?\\Device\\Harddisk0\\Partition0",
                          "  link to \\\\?\\Device\\Harddisk0\\DR0",
                          "  Fixed hard disk media. Block size = 512", "  size is 80000000000 bytes",
                          // In use by another program: the bare name only.
                          "\\\\?\\Device\\Harddisk2\\Partition0",
                          "Error opening device: 1117 " + SystemErrorText(1117)));
  EXPECT_EQ(Lines[6], "");  // the virtual devices follow

  Lines.clear();
  TDeviceDescription InUse = DescribeDevice("\\Device\\Harddisk2\\Partition0", "disk");
  EXPECT_FALSE(InUse.Listed);
  EXPECT_THAT(Lines, IsEmpty());
}

TEST_F(NtDeviceList, AFilterListsOnlyMatchingDevicesAndNoVirtualOnes) {
  auto Listed = [this](const std::string& Filter) {
    Lines.clear();
    ListNtDevices(Filter);
    for (const std::string& Line : Lines) EXPECT_THAT(Line, Not(HasSubstr("Virtual"))) << Filter;
    return ListedNames(Lines);
  };
  EXPECT_THAT(Listed("disk"),
              ElementsAre("Harddisk0\\Partition0", "Harddisk10\\Partition0", "Harddisk2\\Partition0"));
  EXPECT_THAT(Listed("fixed"), ElementsAre("Harddisk0\\Partition0"));
  EXPECT_THAT(Listed("removable"), ElementsAre("Harddisk10\\Partition0", "Harddisk2\\Partition0"));
  EXPECT_THAT(Listed("partition"),
              ElementsAre("CdRom0", "Floppy0", "Harddisk0\\Partition1", "Harddisk0\\Partition10",
                          "Harddisk0\\Partition2", "Harddisk2\\Partition1"));
  EXPECT_THAT(Listed("file"), IsEmpty());
}

TEST(DeviceFilters, WholeDisksAreTheNamesEndingInPartition0) {
  const std::string Disk = "\\\\?\\Device\\Harddisk1\\Partition0";
  const std::string Part = "\\\\?\\Device\\Harddisk1\\Partition10";
  EXPECT_TRUE(MatchesFilter(Disk, MOBRI_FIXED_MEDIA, "fixed"));
  EXPECT_FALSE(MatchesFilter(Part, MOBRI_FIXED_MEDIA, "fixed"));
  EXPECT_FALSE(MatchesFilter(Disk, MOBRI_FIXED_MEDIA, "removable"));
  EXPECT_TRUE(MatchesFilter(Disk, 0, "removable"));
  EXPECT_TRUE(MatchesFilter(Part, 11, "partition"));
  EXPECT_FALSE(MatchesFilter(Disk, 11, "partition"));
  EXPECT_FALSE(MatchesFilter(Disk, 11, "file"));
  EXPECT_FALSE(MatchesFilter(Disk, 11, "Disk"));
  // The object namespace ignores case, so the filters must too: a lower-case name still
  // means the whole disk and may not pass as a partition.
  EXPECT_FALSE(MatchesFilter("\\\\?\\Device\\Harddisk1\\partition0", 11, "partition"));
  EXPECT_TRUE(MatchesFilter("\\\\?\\Device\\Harddisk1\\PARTITION0", 11, "disk"));
}

using OutputFilter = FakeMachine;

TEST_F(OutputFilter, DevicesAreJudgedByTheirGeometry) {
  EXPECT_TRUE(OutputMatchesFilter("\\\\?\\Device\\Harddisk0\\Partition0", "fixed"));
  EXPECT_FALSE(OutputMatchesFilter("\\\\?\\Device\\Harddisk0\\Partition0", "removable"));
  EXPECT_TRUE(OutputMatchesFilter("\\\\?\\Device\\Harddisk2\\Partition0", "removable"));
  EXPECT_TRUE(OutputMatchesFilter("\\\\?\\Device\\Harddisk2\\Partition1", "partition"));
  EXPECT_EQ(Fake.Opened.back(), "\\Device\\Harddisk2\\Partition1");
  Fake.Devices["\\Device\\Harddisk2\\Partition0"].HasGeometry = false;
  EXPECT_FALSE(OutputMatchesFilter("\\\\?\\Device\\Harddisk2\\Partition0", "removable"));
  Fake.Devices["\\Device\\Harddisk2\\Partition0"].OpenStatus = StatusSharingViolation;
  EXPECT_FALSE(OutputMatchesFilter("\\\\?\\Device\\Harddisk2\\Partition0", "disk"));
  EXPECT_FALSE(OutputMatchesFilter("\\\\?\\Device\\Nothing", "partition"));
  EXPECT_THAT(Lines, IsEmpty());
}

TEST_F(OutputFilter, PlainFilesAreNoDevices) {
  char Temp[MAX_PATH];
  GetTempPathA(MAX_PATH, Temp);
  std::string Path = std::string(Temp) + "filter_" + std::to_string(GetCurrentProcessId());
  HANDLE File = CreateFileA(Path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  CloseHandle(File);
  EXPECT_FALSE(OutputMatchesFilter(Path, "partition"));
  EXPECT_FALSE(OutputMatchesFilter(Path + ".missing", "disk"));
  // The filter "file" asks only for an existing folder.
  EXPECT_TRUE(OutputMatchesFilter(Path, "file"));
  EXPECT_TRUE(OutputMatchesFilter(Path + ".new", "file"));
  EXPECT_THAT(Lines, IsEmpty());
  DeleteFileA(Path.c_str());
  EXPECT_FALSE(OutputMatchesFilter(Path + "\\sub\\image.bin", "file"));
  EXPECT_THAT(Lines, ElementsAre("Output path " + Path + "\\sub\\ does not exist"));
}

class Resolving : public FakeMachine {
 protected:
  void SetUp() override {
    FakeMachine::SetUp();
    // E: is the one partition of Harddisk2; C: one of several on Harddisk0.
    Fake.VolumeAt["E:\\"] = "\\\\?\\Volume{e}\\";
    Fake.Links["\\??\\Volume{e}"] = "\\Device\\HarddiskVolume5";
    Fake.VolumeAt["C:\\"] = "\\\\?\\Volume{c}\\";
    Fake.Links["\\??\\Volume{c}"] = "\\Device\\HarddiskVolume1";
    Fake.VolumeAt["A:\\"] = "\\\\?\\Volume{a}\\";
    Fake.Links["\\??\\Volume{a}"] = "\\Device\\Floppy0";
    Fake.VolumeAt["D:\\"] = "\\\\?\\Volume{d}\\";
    Fake.Links["\\??\\Volume{d}"] = "\\Device\\CdRom0";
    Fake.VolumeAt["F:\\"] = "\\\\?\\Volume{f}\\";
    Fake.Links["\\??\\Volume{f}"] = "\\Device\\HarddiskVolume9";
  }
};

TEST_F(Resolving, TheOnlyPartitionOfADiskResolvesToTheWholeDisk) {
  EXPECT_EQ(ResolveDeviceName("E:"), "\\\\?\\Device\\Harddisk2\\Partition0");
  EXPECT_EQ(ResolvedBlockSizeText, "1M");
  EXPECT_TRUE(ResolvedWholeDisk);
  EXPECT_THAT(Lines, ElementsAre("Device E: is a link to \\\\?\\Device\\HarddiskVolume5",
                                 "\\\\?\\Device\\HarddiskVolume5 is a partition on \\Device\\Harddisk2"));
  EXPECT_THAT(Fake.VolumeQueries, ElementsAre("E:\\"));
}

TEST_F(Resolving, ADiskWithSeveralPartitionsIsRefusedWithAHint) {
  ResolvedBlockSizeText = "kept";
  EXPECT_EQ(ResolveDeviceName("C:"), "");
  EXPECT_THAT(Lines, ElementsAre("Device C: is a link to \\\\?\\Device\\HarddiskVolume1",
                                 "\\\\?\\Device\\HarddiskVolume1 is a partition on \\Device\\Harddisk0",
                                 "Multiple partitions were found on \\Device\\Harddisk0.",
                                 "Use 'if=\\\\?\\Device\\Harddisk0\\Partition0' instead", ""));
  EXPECT_EQ(ResolvedBlockSizeText, "kept");
  EXPECT_FALSE(ResolvedWholeDisk);
}

TEST_F(Resolving, FloppiesAndCdRomsKeepTheirOwnDevice) {
  EXPECT_EQ(ResolveDeviceName("A:"), "\\\\?\\Device\\Floppy0");
  EXPECT_EQ(ResolvedBlockSizeText, "18k");
  EXPECT_FALSE(ResolvedWholeDisk);
  EXPECT_EQ(ResolveDeviceName("E:"), "\\\\?\\Device\\Harddisk2\\Partition0");
  EXPECT_EQ(ResolveDeviceName("D:"), "\\\\?\\Device\\CdRom0");
  EXPECT_EQ(ResolvedBlockSizeText, "2k");
  EXPECT_FALSE(ResolvedWholeDisk);
}

TEST_F(Resolving, UnknownNamesAndUnmatchedVolumesGiveNothing) {
  EXPECT_EQ(ResolveDeviceName("Q:"), "");
  EXPECT_EQ(ResolveDeviceName("F:"), "");
  EXPECT_THAT(Lines, ElementsAre("Device Q: could not be found",
                                 "Device F: is a link to \\\\?\\Device\\HarddiskVolume9",
                                 "No match could be found for F:", ""));
  EXPECT_EQ(ResolvedBlockSizeText, "");
}

class VolumeSection : public FakeMachine {
 protected:
  void SetUp() override {
    FakeMachine::SetUp();
    Fake.Directories["\\Device"] = {};
    Fake.Volumes = {"\\\\?\\Volume{a}\\", "\\\\?\\Volume{b}\\", "\\\\?\\Volume{c}\\"};
    Fake.Links["\\??\\Volume{a}"] = "\\Device\\HarddiskVolume1";
    // Volume a carries drive C: and a folder where volume b is mounted; b also has G:.
    Fake.MountPoints["\\\\?\\Volume{a}\\"] = {"mnt\\stick\\"};
    Fake.VolumeAt["\\\\?\\Volume{a}\\mnt\\stick\\"] = "\\\\?\\Volume{b}\\";
    Fake.VolumeAt["c:\\"] = "\\\\?\\Volume{a}\\";
    Fake.VolumeAt["g:\\"] = "\\\\?\\Volume{b}\\";
  }
  std::string TypeLine(const char* Volume) { return "  " + DriveTypeName(GetDriveTypeA(Volume)); }
};

TEST_F(VolumeSection, ShowsEveryVolumeWithItsLinkTypeAndMountPoints) {
  ListDevices("", false);
  std::vector<std::string> Expected = {"Win32 Available Volume Information",
                                       "\\\\.\\Volume{a}\\",
                                       "  link to \\\\?\\Device\\HarddiskVolume1",
                                       TypeLine("\\\\?\\Volume{a}\\"),
                                       "  Mounted on \\\\.\\c:",
                                       "",
                                       "\\\\.\\Volume{b}\\",
                                       TypeLine("\\\\?\\Volume{b}\\"),
                                       "  Mounted on \\\\.\\g:",
                                       "  Mounted on \\\\?\\Volume{a}\\mnt\\stick\\",
                                       "",
                                       "\\\\.\\Volume{c}\\",
                                       TypeLine("\\\\?\\Volume{c}\\"),
                                       "  Not mounted",
                                       "",
                                       "",
                                       "NT Block Device Objects"};
  EXPECT_THAT(Lines, ElementsAreArray(WithVirtualDevices(Expected)));
  EXPECT_EQ(Fake.OpenSearches, 0);  // every search closed
}

TEST_F(VolumeSection, AFilterOrWindows95LeavesItOut) {
  ListDevices("disk", false);
  EXPECT_THAT(Lines, ElementsAre("", "NT Block Device Objects"));
  Lines.clear();
  ListDevices("", true);
  EXPECT_THAT(Lines, ElementsAre("--list is not available for Win95"));
}

TEST_F(VolumeSection, AnErrorInsideEndsOnlyTheVolumeSection) {
  Fake.ThrowFromVolumeSearch = true;
  ListDevices("", false);
  EXPECT_THAT(Lines, ElementsAreArray(WithVirtualDevices(
                         {"Win32 Available Volume Information", "", "NT Block Device Objects"})));
}

}  // namespace
