// mobri's Windows 95 drive output over a fake 16-bit side: geometry, the per-track write
// requests, the marshalling of arguments and the refusals.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <windows.h>

#include <functional>
#include <string>
#include <vector>

#include "QTThunkU.h"
#include "T95Disk.h"
#include "debug.h"
#include "fake_16bit_side.h"
#include "mobri.h"
#include "mobri_copy.h"
#include "mobri_test_files.h"

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

namespace {

std::string ErrorOf(const std::function<void()>& Call) {
  try {
    Call();
  } catch (const EMobriError& Error) {
    return std::string(Error.Kind()) + ": " + Error.what();
  }
  return "";
}

class Win95Drive : public ::testing::Test {
 protected:
  // A hard disk of 16 heads and 63 sectors per track as drive c:.
  Win95Drive() : Fake(0x80, 16, 63, 4) {
    char Path[MAX_PATH];
    std::string Program(Path, GetModuleFileNameA(nullptr, Path, MAX_PATH));
    Library = Program.substr(0, Program.find_last_of('\\') + 1) + "Zorlat.DLL";
    DeleteFileA(Library.c_str());
    SetLogHook([this](const std::string& Text) { Logged.push_back(Text); });
    SetErrorDialogHook([this](const std::string& Text, UINT) { Dialog = Text; });
  }
  ~Win95Drive() override {
    SetLogHook(nullptr);
    SetErrorDialogHook(nullptr);
    DeleteFileA(Library.c_str());
  }
  int Run(std::vector<std::string> Arguments) {
    return RunMobri("C:\\tools\\mobri.exe", Arguments);
  }

  TFake16BitSide Fake;
  TScratchFolder Scratch;
  std::string Library, Dialog;
  std::vector<std::string> Logged;
};

TEST_F(Win95Drive, CopySplitsBlocksIntoTrackCallsAndPadsTheLastSector) {
  // Three tracks from head 15 of cylinder 0 on, then a 700-byte tail.
  std::string Data = BinaryPattern(189 * 512 + 700);
  WriteWholeFile(Scratch.File("in"), Data);
  EXPECT_EQ(Run({"if=" + Scratch.File("in"), "of=c:", "bs=96768", "seek=5"}), 0);

  EXPECT_THAT(Fake.Requests,
              ElementsAre(TFakeRequest{0x80, 0, 15, 1, 63}, TFakeRequest{0x80, 1, 0, 1, 63},
                          TFakeRequest{0x80, 1, 1, 1, 63}, TFakeRequest{0x80, 1, 2, 1, 2}));
  // Far pointers go selector first; the byte count high word first.
  ASSERT_EQ(Fake.Calls.size(), 5u);
  EXPECT_EQ(Fake.Calls[0].size(), 2u);
  EXPECT_EQ(Fake.Calls[1][1], 0);
  EXPECT_THAT(std::vector<WORD>(Fake.Calls[1].begin() + 4, Fake.Calls[1].end()),
              ElementsAre(0x0000, 0x7E00));
  EXPECT_THAT(std::vector<WORD>(Fake.Calls[4].begin() + 4, Fake.Calls[4].end()),
              ElementsAre(0x0000, 0x0400));
  std::string Written(Fake.Image.begin() + 945 * 512, Fake.Image.begin() + 945 * 512 + 191 * 512);
  EXPECT_EQ(Written, Data + std::string(324, '\0'));
  EXPECT_THAT(Logged, Contains("1+1 records out"));
  // The library came from the program's resource, was released, and no 16-bit memory is left.
  EXPECT_THAT(Fake.LoadedContent, HasSubstr("Stand-in for the 16-bit disk library"));
  EXPECT_EQ(Fake.LoadedPath, Library);
  EXPECT_EQ(Fake.LoadedModules, 0);
  EXPECT_THAT(Fake.Memory, IsEmpty());
}

TEST_F(Win95Drive, DiskReadsGeometryAndWritesAtMostOneTrackPerCall) {
  T95Disk Disk;
  EXPECT_FALSE(Disk.OpenDrive("1:"));
  std::vector<unsigned char> Buffer(70 * 512, 0x5A);
  EXPECT_FALSE(Disk.WriteSectors(0, Buffer.data(), 1));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_NOT_READY));

  ASSERT_TRUE(Disk.OpenDrive("C:"));
  EXPECT_THAT(std::vector<BYTE>(Disk.DiskRecord + 1, Disk.DiskRecord + 6),
              ElementsAre(4, 0, 15, 63, 0));
  EXPECT_TRUE(Disk.OpenDrive("c:"));
  EXPECT_EQ(Disk.DiskRecord[0], 0x80);

  Fake.Requests.clear();
  EXPECT_TRUE(Disk.WriteSectors(60, Buffer.data(), 70));
  EXPECT_THAT(Fake.Requests,
              ElementsAre(TFakeRequest{0x80, 0, 0, 61, 3}, TFakeRequest{0x80, 0, 1, 1, 63},
                          TFakeRequest{0x80, 0, 2, 1, 4}));
  EXPECT_TRUE(Disk.WriteSectors(60, Buffer.data(), 0));

  // Cylinder 65536 does not fit the request's 16 bits: refused, not wrapped to cylinder 0.
  Fake.Requests.clear();
  EXPECT_FALSE(Disk.WriteSectors(65536ull * 16 * 63, Buffer.data(), 1));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_SECTOR_NOT_FOUND));
  EXPECT_THAT(Fake.Requests, IsEmpty());
}

TEST_F(Win95Drive, ThunkMarshalsValuesAndCopiesPointedMemoryBack) {
  T95Disk Disk;
  // The routine sees a zero-filled 16-bit copy of the record and its changes come back.
  BYTE Record[6] = {0x80, 0, 0, 0, 0, 0x77};
  Call16BitRoutine("READDISKGEOMETRY", Disk.Module16, false, {TThunkValue::Ptr(Record)}, {6});
  EXPECT_THAT(Record, ElementsAre(0x80, 4, 0, 15, 63, 0x77));

  // Reverse order pushes the last value first; sizes 1, 2 and 4 give a low byte, a word, two words.
  Call16BitRoutine(
      "WRITEPHYSICALSECTOR", Disk.Module16, true,
      {TThunkValue::Int(0x12345678), TThunkValue::Int(0xABCDEF), TThunkValue::Int(0x1FF)},
      {4, 2, 1});
  EXPECT_THAT(Fake.Calls.back(), ElementsAre(0xFF, 0xCDEF, 0x1234, 0x5678));

  auto Call = [&](std::vector<TThunkValue> Values, std::vector<uint32_t> Sizes) {
    return ErrorOf(
        [&] { Call16BitRoutine("READDISKGEOMETRY", Disk.Module16, false, Values, Sizes); });
  };
  EXPECT_EQ(Call({TThunkValue::Ptr(Record)}, {6, 6}), "EInvalidArgument: Parameter mismatch");
  EXPECT_EQ(ErrorOf([&] { Call16BitRoutine("FORMAT", Disk.Module16, false, {}, {}); }),
            "EThunkError: 16-bit routine not found");
  size_t CallsBefore = Fake.Calls.size();
  EXPECT_EQ(
      Call(std::vector<TThunkValue>(11, TThunkValue::Ptr(Record)), std::vector<uint32_t>(11, 6)),
      "EThunkError: Too many pointer parameters");
  // 256 four-byte values fill the area exactly; one more must not be written past its end.
  EXPECT_EQ(Call(std::vector<TThunkValue>(256, TThunkValue::Int(1)), std::vector<uint32_t>(256, 4)),
            "");
  EXPECT_EQ(Call(std::vector<TThunkValue>(257, TThunkValue::Int(1)), std::vector<uint32_t>(257, 4)),
            "EThunkError: Too many parameters");
  Fake.AllocationsLeft = 1;
  EXPECT_EQ(Call({TThunkValue::Ptr(Record), TThunkValue::Ptr(Record)}, {6, 6}),
            "EThunkError: 16-bit memory of 6 bytes not available");
  EXPECT_EQ(Fake.Calls.size(), CallsBefore + 1);
  EXPECT_THAT(Fake.Memory, IsEmpty());
}

TEST_F(Win95Drive, LibraryThatDoesNotLoadShowsTheDialogAndEndsWithStatus1) {
  Fake.FailLoad = true;
  EXPECT_EQ(Run({"if=/dev/zero", "of=a:", "count=1"}), 1);
  EXPECT_EQ(Dialog.rfind("Failed to load zorlat.dll.  Please make sure that this file is available "
                         "(in the same directory as this application)\nIf you do not have a copy "
                         "you can download it from ",
                         0),
            0u);
  EXPECT_THAT(Fake.Calls, IsEmpty());
}

TEST_F(Win95Drive, PartialSectorsAndOtherSystemsAreRefusedBeforeAnythingIsWritten) {
  EXPECT_EQ(Run({"if=/dev/zero", "of=a:", "bs=1000", "count=1"}), 1);
  EXPECT_EQ(ErrorOf([] { CopyData("/dev/zero", "a:", false, nullptr, 100, 0, 1, 512); }),
            "E95DiskError: The seek offset on drive a: must be a whole number of 512-byte "
            "sectors, not 100 bytes");
  EXPECT_TRUE(Fake.LoadedPath.empty());

  Entries16.Bound = false;
  EXPECT_EQ(Run({"if=/dev/zero", "of=a:", "count=1"}), 1);
  EXPECT_THAT(ErrorOf([] { CopyData("/dev/zero", "a:", false, nullptr, 0, 0, 1, 512); }),
              HasSubstr("works on Windows 95 only"));
  EXPECT_THAT(Fake.Calls, IsEmpty());
}

}  // namespace
