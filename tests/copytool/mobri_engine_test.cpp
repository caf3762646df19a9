// mobri's modules in this process: size numbers, the progress line, the copy engine over
// devices that cannot exist under Wine, and the main flow's error and unmount paths.
#include <windows.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "WinIOCTL.h"
#include "debug.h"
#include "mobri.h"
#include "mobri_cmdline.h"
#include "mobri_copy.h"
#include "mobri_test_files.h"
#include "volume.h"

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;
using ::testing::MatchesRegex;
using ::testing::StartsWith;

// Import slots of this program; the modules under test call through them.
extern "C" void* __imp_WriteFile;
extern "C" void* __imp_GetProcAddress;
extern "C" void* __imp_VirtualAlloc;

namespace {

// Points an import slot at a replacement for the lifetime of the object.
class TImportSlot {
 public:
  TImportSlot(void** Slot, void* Replacement) : Slot(Slot), Saved(*Slot) { Put(Replacement); }
  ~TImportSlot() { Put(Saved); }
  TImportSlot(const TImportSlot&) = delete;
  TImportSlot& operator=(const TImportSlot&) = delete;

 private:
  void Put(void* Value) {
    DWORD Old = 0;
    VirtualProtect(Slot, sizeof(void*), PAGE_READWRITE, &Old);
    *Slot = Value;
    VirtualProtect(Slot, sizeof(void*), Old, &Old);
  }
  void** Slot;
  void* Saved;
};

using TWriteFile = BOOL(WINAPI*)(HANDLE, LPCVOID, DWORD, LPDWORD, LPOVERLAPPED);
TWriteFile RealWriteFile;

// A device that takes whole 512-byte sectors only.
BOOL WINAPI SectorDeviceWriteFile(HANDLE File, LPCVOID Data, DWORD Size, LPDWORD Written,
                                  LPOVERLAPPED Overlapped) {
  if (Size % 512 != 0) {
    *Written = 0;
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  return RealWriteFile(File, Data, Size, Written, Overlapped);
}

// A device that stores at most 100 bytes per request.
BOOL WINAPI SmallStepsWriteFile(HANDLE File, LPCVOID Data, DWORD Size, LPDWORD Written,
                                LPOVERLAPPED Overlapped) {
  return RealWriteFile(File, Data, Size < 100 ? Size : 100, Written, Overlapped);
}

// A device with room for 300 more bytes.
DWORD RoomLeft;
BOOL WINAPI FillingWriteFile(HANDLE File, LPCVOID Data, DWORD Size, LPDWORD Written,
                             LPOVERLAPPED Overlapped) {
  if (RoomLeft == 0) {
    *Written = 0;
    SetLastError(ERROR_DISK_FULL);
    return FALSE;
  }
  DWORD Part = Size < RoomLeft ? Size : RoomLeft;
  RoomLeft -= Part;
  return RealWriteFile(File, Data, Part, Written, Overlapped);
}

BOOL WINAPI FullDiskWriteFile(HANDLE, LPCVOID, DWORD, LPDWORD Written, LPOVERLAPPED) {
  *Written = 0;
  SetLastError(ERROR_DISK_FULL);
  return FALSE;
}

using TGetProcAddress = FARPROC(WINAPI*)(HMODULE, LPCSTR);
TGetProcAddress RealGetProcAddress;

// A kernel32 without the mount point removal.
FARPROC WINAPI OldKernelGetProcAddress(HMODULE Module, LPCSTR Name) {
  if (reinterpret_cast<ULONG_PTR>(Name) > 0xFFFF && strcmp(Name, "DeleteVolumeMountPointA") == 0) {
    SetLastError(ERROR_PROC_NOT_FOUND);
    return nullptr;
  }
  return RealGetProcAddress(Module, Name);
}

LPVOID WINAPI NoMemoryVirtualAlloc(LPVOID, SIZE_T, DWORD, DWORD) {
  SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  return nullptr;
}

BOOL WINAPI DebuggerPresent() { return TRUE; }

// A kernel32 that reports a debugger.
FARPROC WINAPI DebuggingGetProcAddress(HMODULE Module, LPCSTR Name) {
  if (reinterpret_cast<ULONG_PTR>(Name) > 0xFFFF && strcmp(Name, "IsDebuggerPresent") == 0)
    return reinterpret_cast<FARPROC>(reinterpret_cast<void*>(DebuggerPresent));
  return RealGetProcAddress(Module, Name);
}

int64_t FakeDeviceLength;

// A partition of FakeDeviceLength bytes that answers only the partition query.
BOOL WINAPI PartitionDeviceIoControl(HANDLE, DWORD Code, LPVOID, DWORD, LPVOID Out,
                                     DWORD OutSize, LPDWORD Returned, LPOVERLAPPED) {
  if (Code != MOBRI_IOCTL_DISK_GET_PARTITION_INFO || OutSize < sizeof(PARTITION_INFORMATION)) {
    SetLastError(ERROR_INVALID_FUNCTION);
    return FALSE;
  }
  PARTITION_INFORMATION* Info = static_cast<PARTITION_INFORMATION*>(Out);
  memset(Info, 0, sizeof(*Info));
  Info->PartitionLength.QuadPart = FakeDeviceLength;
  *Returned = sizeof(*Info);
  return TRUE;
}

std::vector<std::string> RemovedMountPoints;

BOOL WINAPI RecordingDeleteVolumeMountPointA(LPCSTR MountPoint) {
  RemovedMountPoints.push_back(MountPoint);
  return TRUE;
}

BOOL WINAPI NotMountedDeleteVolumeMountPointA(LPCSTR) {
  SetLastError(ERROR_NOT_A_REPARSE_POINT);
  return FALSE;
}

BOOL WINAPI NoVolumeForMountPoint(LPCSTR, LPSTR, DWORD) {
  SetLastError(ERROR_FILE_NOT_FOUND);
  return FALSE;
}

// Collects messages and standard output; restores every seam the test touched.
class MobriEngine : public ::testing::Test {
 protected:
  void SetUp() override {
    SetLogHook([this](const std::string& Text) { Messages.push_back(Text); });
    SavedVolumeFunctions = VolumeFunctions;
    SavedDeviceIoControl = DeviceIoControlCall;
    SavedStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    StdOutput = CreateFileA(Scratch.File("stdout").c_str(), GENERIC_READ | GENERIC_WRITE,
                            FILE_SHARE_READ, nullptr, CREATE_ALWAYS, 0, nullptr);
    SetStdHandle(STD_OUTPUT_HANDLE, StdOutput);
    RealWriteFile = reinterpret_cast<TWriteFile>(__imp_WriteFile);
    RealGetProcAddress = reinterpret_cast<TGetProcAddress>(__imp_GetProcAddress);
    RemovedMountPoints.clear();
  }
  void TearDown() override {
    SetStdHandle(STD_OUTPUT_HANDLE, SavedStdOutput);
    CloseHandle(StdOutput);
    DeviceIoControlCall = SavedDeviceIoControl;
    VolumeFunctions = SavedVolumeFunctions;
    SetLogHook(nullptr);
  }

  std::string StandardOutput() { return ReadWholeFile(Scratch.File("stdout")); }
  std::string Given(const std::string& Name, const std::string& Data) {
    WriteWholeFile(Scratch.File(Name), Data);
    return Scratch.File(Name);
  }
  // Banner lines, then the given ones.
  std::vector<std::string> AfterBanner(std::vector<std::string> Rest) {
    Rest.insert(Rest.begin(), {MobriBanner[0], MobriBanner[1]});
    return Rest;
  }

  TScratchFolder Scratch;
  std::vector<std::string> Messages;
  TVolumeFunctions SavedVolumeFunctions;
  TDeviceIoControl SavedDeviceIoControl;
  HANDLE SavedStdOutput;
  HANDLE StdOutput;
};

// --- Size numbers ------------------------------------------------------------------------

TEST_F(MobriEngine, SizeNumbersTakeTheirSuffixMultiplier) {
  const std::pair<const char*, int64_t> Cases[] = {
      {"12", 12},           {"3c", 3},
      {"3w", 6},            {"3d", 12},
      {"3q", 24},           {"2k", 2048},
      {"2M", 2097152},      {"2G", 2147483648LL},
      {"-5", -5},           {"+7", 7},
      {"-3k", -3072},       {"8589934591G", 9223372035781033984LL},
      {"-8589934592G", INT64_MIN}, {"9223372036854775807", INT64_MAX}};
  for (const auto& Case : Cases) EXPECT_EQ(GetNumber(Case.first), Case.second) << Case.first;
  EXPECT_THAT(Messages, IsEmpty());
}

TEST_F(MobriEngine, InvalidSizeNumbersAndUnknownSuffixesReadAsZero) {
  for (const char* Text : {"", "k", "-", "1.5", "12x3", " 1", "0x10", "9223372036854775808",
                           "8589934592G", "-9223372036854775809", "99999999999999999999c"})
    EXPECT_EQ(GetNumber(Text), 0) << Text;
  EXPECT_THAT(Messages, IsEmpty());
  EXPECT_EQ(GetNumber("1K"), 0);
  EXPECT_EQ(GetNumber("4kb"), 0);
  EXPECT_THAT(Messages, ElementsAre("Unknown suffix K", "Unknown suffix kb"));
}

// --- Progress line -----------------------------------------------------------------------

TEST_F(MobriEngine, ProgressPercentOfAHugeCountNeitherOverflowsNorDividesByZero) {
  TMobriProgress Progress;
  Progress.BlockSize = 4;
  Progress.Count = int64_t(1) << 62;  // 2^64 bytes in all
  Progress.SetUnit("d");
  EXPECT_EQ(Progress.ProgressText(int64_t(1) << 40), "\r274,877,906,944d 0% ");
  Progress.Count = 3;
  EXPECT_EQ(Progress.ProgressText(8), "\r2d 66% ");
}

// --- Copy engine over devices ------------------------------------------------------------

class MobriDeviceCopy : public MobriEngine {
 protected:
  void SetUp() override {
    MobriEngine::SetUp();
    Data = BinaryPattern(2000000);
    Device = "\\\\?\\??\\" + Given("device", Data);
    Out = Scratch.File("out");
    FakeDeviceLength = 1000000;
    DeviceIoControlCall = PartitionDeviceIoControl;
  }
  std::string Data, Device, Out;
};

TEST_F(MobriDeviceCopy, CheckSizeStopsReadingAtTheEndOfTheDevice) {
  CopyData(Device, Out, true, nullptr, 0, 0, -1, 65536);
  EXPECT_THAT(Messages, ElementsAre("15+1 records in", "15+1 records out"));
  EXPECT_EQ(ReadWholeFile(Out), Data.substr(0, 1000000));
}

TEST_F(MobriDeviceCopy, WithoutCheckSizeReadingGoesOnUntilTheInputEnds) {
  CopyData(Device, Out, false, nullptr, 0, 0, -1, 65536);
  EXPECT_THAT(Messages, ElementsAre("30+1 records in", "30+1 records out"));
  EXPECT_EQ(ReadWholeFile(Out), Data);
}

TEST_F(MobriDeviceCopy, CheckSizeWithASkipPastTheDeviceEndReadsNothing) {
  CopyData(Device, Out, true, nullptr, 0, 20 * 65536, -1, 65536);
  EXPECT_THAT(Messages, ElementsAre("skip to 1310720", "0+0 records in", "0+0 records out"));
  EXPECT_EQ(ReadWholeFile(Out), "");
}

class MobriWriteFailures : public MobriEngine {
 protected:
  void SetUp() override {
    MobriEngine::SetUp();
    Out = Scratch.File("out");
  }
  std::string Out;
};

TEST_F(MobriWriteFailures, ShortBlockToASectorDeviceIsPaddedWithZeros) {
  std::string Data = BinaryPattern(1000);
  std::string In = Given("in", Data);
  {
    TImportSlot Device(&__imp_WriteFile, reinterpret_cast<void*>(SectorDeviceWriteFile));
    CopyData(In, Out, false, nullptr, 0, 0, -1, 512);
  }
  EXPECT_THAT(Messages, ElementsAre("1+1 records in", "1+1 records out"));
  EXPECT_EQ(ReadWholeFile(Out), Data + std::string(24, '\0'));
}

TEST_F(MobriWriteFailures, ShortWritesAreRetriedAndABlockNotStoredWholeEndsTheCopy) {
  std::string Data = BinaryPattern(1024);
  std::string In = Given("in", Data);
  {
    TImportSlot Device(&__imp_WriteFile, reinterpret_cast<void*>(SmallStepsWriteFile));
    EXPECT_TRUE(CopyData(In, Out, false, nullptr, 0, 0, -1, 512));
  }
  EXPECT_THAT(Messages, ElementsAre("2+0 records in", "2+0 records out"));
  EXPECT_EQ(ReadWholeFile(Out), Data);

  Messages.clear();
  RoomLeft = 300;
  {
    TImportSlot Device(&__imp_WriteFile, reinterpret_cast<void*>(FillingWriteFile));
    EXPECT_FALSE(CopyData(In, Out, false, nullptr, 0, 0, -1, 512));
  }
  ASSERT_EQ(Messages.size(), 3u);
  EXPECT_THAT(Messages[0], StartsWith("Error writing file: 112 "));
  EXPECT_EQ(Messages[1], "1+0 records in");
  EXPECT_EQ(Messages[2], "0+1 records out");
}

TEST_F(MobriWriteFailures, FailedWriteIsReportedAndTheReportStillFollows) {
  std::vector<std::pair<DWORD, int64_t>> Calls;
  {
    TImportSlot Device(&__imp_WriteFile, reinterpret_cast<void*>(FullDiskWriteFile));
    CopyData("/dev/zero", Out, false,
             [&Calls](DWORD Error, int64_t Total, bool) {
               Calls.emplace_back(Error, Total);
               return false;
             },
             0, 0, 5, 512);
  }
  ASSERT_EQ(Messages.size(), 4u);
  EXPECT_THAT(Messages[0], StartsWith("Error writing file: 112 "));
  EXPECT_EQ(Messages[1], "");
  EXPECT_EQ(Messages[2], "1+0 records in");
  EXPECT_EQ(Messages[3], "0+0 records out");
  ASSERT_EQ(Calls.size(), 3u);
  EXPECT_EQ(Calls[1], std::make_pair(DWORD(ERROR_DISK_FULL), int64_t(0)));
}

TEST_F(MobriWriteFailures, BlockThatCannotBeAllocatedIsReportedBeforeAnythingIsOpened) {
  {
    TImportSlot NoMemory(&__imp_VirtualAlloc, reinterpret_cast<void*>(NoMemoryVirtualAlloc));
    CopyData("/dev/zero", Out, false, nullptr, 0, 0, 1, 1048576);
  }
  EXPECT_THAT(Messages, ElementsAre("Not enough memory for a block of 1048576 bytes"));
  EXPECT_FALSE(FileExists(Out));
}

TEST_F(MobriEngine, ProgressCallbackAskingToStopEndsAfterTheCurrentBlock) {
  std::vector<std::pair<int64_t, bool>> Calls;
  CopyData("/dev/zero", "/dev/null", false,
           [&Calls](DWORD, int64_t Total, bool Final) {
             Calls.emplace_back(Total, Final);
             return Total >= 1024;
           },
           0, 0, -1, 512);
  EXPECT_THAT(Calls, ElementsAre(std::make_pair(0, false), std::make_pair(512, false),
                                 std::make_pair(1024, false), std::make_pair(1024, true)));
  EXPECT_THAT(Messages, ElementsAre("", "2+0 records in", "2+0 records out"));
}

// --- Main flow ---------------------------------------------------------------------------

TEST_F(MobriEngine, UnhandledErrorIsReportedOnStandardOutputWithStatusOne) {
  const std::vector<std::vector<std::string>> Runs = {{"--unmount=C:\\mnt\\stick", "if="},
                                                      {"od=E:"}};
  for (const auto& Arguments : Runs) {
    VolumeFunctions = {};
    Messages.clear();
    SetFilePointer(StdOutput, 0, nullptr, FILE_BEGIN);
    SetEndOfFile(StdOutput);
    int Status;
    {
      TImportSlot OldKernel(&__imp_GetProcAddress,
                            reinterpret_cast<void*>(OldKernelGetProcAddress));
      Status = RunMobri("C:\\tools\\mobri.exe", Arguments);
    }
    EXPECT_EQ(Status, 1) << Arguments[0];
    EXPECT_THAT(StandardOutput(),
                MatchesRegex("Exception EVolumeError in module mobri\\.exe at \\w+\\.\r\n"
                             "Could not find procedure DeleteVolumeMountPointA\r\n"));
    EXPECT_THAT(Messages, ElementsAreArray(AfterBanner({})));
  }
}

TEST_F(MobriEngine, UnmountRemovesEachMountPointInOrderAndNeedsNoInput) {
  VolumeFunctions = {};
  VolumeFunctions.Bound = true;
  VolumeFunctions.DeleteVolumeMountPointA = RecordingDeleteVolumeMountPointA;
  EXPECT_EQ(RunMobri("C:\\tools\\mobri.exe", {"--unmount=C:\\mnt\\a\\", "--unmount=D:\\", "if="}),
            0);
  EXPECT_THAT(RemovedMountPoints, ElementsAre("C:\\mnt\\a\\", "D:\\"));
  EXPECT_THAT(Messages, ElementsAreArray(AfterBanner({})));

  // A removal that fails is a failed run only when removing is all the run does.
  VolumeFunctions.DeleteVolumeMountPointA = NotMountedDeleteVolumeMountPointA;
  Messages.clear();
  EXPECT_EQ(RunMobri("C:\\tools\\mobri.exe", {"--unmount=D:\\", "if="}), 1);
  ASSERT_EQ(Messages.size(), 3u);
  EXPECT_THAT(Messages[2], StartsWith("Error removing mount point D:\\: 4390 "));
  Messages.clear();
  EXPECT_EQ(RunMobri("C:\\tools\\mobri.exe", {"--unmount=D:\\", "count=0", "if=/dev/zero",
                                               "of=/dev/null"}),
            0);
  EXPECT_THAT(Messages, ElementsAreArray(AfterBanner({"0+0 records in", "0+0 records out"})));

  // Listing or printing the usage removes nothing.
  RemovedMountPoints.clear();
  RunMobri("C:\\tools\\mobri.exe", {"--unmount=D:\\", "--help"});
  EXPECT_THAT(RemovedMountPoints, IsEmpty());
}

TEST_F(MobriEngine, UnresolvedDeviceNamesGiveUsageForInputAndInvalidBlockSizeForOutput) {
  VolumeFunctions = {};
  VolumeFunctions.Bound = true;
  VolumeFunctions.GetVolumeNameForVolumeMountPointA = NoVolumeForMountPoint;
  EXPECT_EQ(RunMobri("C:\\tools\\mobri.exe", {"id=E:"}), 1);
  ASSERT_GE(Messages.size(), 4u);
  EXPECT_EQ(Messages[2], "Device E: could not be found");
  EXPECT_EQ(Messages[3], "mobri [bs=SIZE] [count=BLOCKS] [if=FILE] [of=FILE] [seek=BLOCKS] "
                         "[skip=BLOCKS] [--size] [--list] [--progress]");

  Messages.clear();
  EXPECT_EQ(RunMobri("C:\\tools\\mobri.exe", {"od=E:"}), 1);
  EXPECT_THAT(Messages, ElementsAreArray(AfterBanner(
                            {"Device E: could not be found", "Invalid block size"})));
  EXPECT_EQ(StandardOutput(), "");
}

TEST_F(MobriEngine, OffsetsBeyondSixtyFourBitsAreRefused) {
  std::string Out = Scratch.File("out");
  RunMobri("C:\\tools\\mobri.exe", {"bs=1G", "skip=9000000000", "if=/dev/zero", "of=" + Out});
  RunMobri("C:\\tools\\mobri.exe", {"bs=1G", "seek=9000000000", "if=/dev/zero", "of=" + Out});
  EXPECT_THAT(Messages,
              ElementsAreArray(AfterBanner(
                  {"Invalid skip: the input offset does not fit in 64 bits", MobriBanner[0],
                   MobriBanner[1], "Invalid seek: the output offset does not fit in 64 bits"})));
  EXPECT_FALSE(FileExists(Out));
}

TEST_F(MobriEngine, WithADebuggerTheRunEndsByWaitingForOneLine) {
  HANDLE Read, Write;
  ASSERT_TRUE(CreatePipe(&Read, &Write, nullptr, 0));
  DWORD Put = 0;
  WriteFile(Write, "line\nrest", 9, &Put, nullptr);
  HANDLE SavedInput = GetStdHandle(STD_INPUT_HANDLE);
  SetStdHandle(STD_INPUT_HANDLE, Read);
  {
    TImportSlot Debugger(&__imp_GetProcAddress, reinterpret_cast<void*>(DebuggingGetProcAddress));
    RunMobri("C:\\tools\\mobri.exe", {"--help"});
  }
  SetStdHandle(STD_INPUT_HANDLE, SavedInput);
  DWORD Left = 0;
  PeekNamedPipe(Read, nullptr, 0, nullptr, &Left, nullptr);
  CloseHandle(Read);
  CloseHandle(Write);
  EXPECT_EQ(Left, 4u);  // "rest" stays unread
  ASSERT_EQ(Messages.size(), 2u + 8u + 1u);
  EXPECT_EQ(Messages.back(), "Press enter to close");
}

}  // namespace
