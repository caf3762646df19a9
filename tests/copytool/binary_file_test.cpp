// TBinaryFile and native opening against real files under Wine.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "Native.h"
#include "WinBinFile.h"

namespace {

class BinaryFile : public ::testing::Test {
 protected:
  void SetUp() override {
    char Temp[MAX_PATH];
    GetTempPathA(MAX_PATH, Temp);
    Path = std::string(Temp) + "binary_file_" + std::to_string(GetCurrentProcessId()) + ".bin";
    HANDLE File = CreateFileA(Path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    DWORD Written = 0;
    WriteFile(File, "0123456789", 10, &Written, nullptr);
    CloseHandle(File);
    File_.SetFileName(Path);
  }
  void TearDown() override {
    File_.Close();
    DeleteFileA(Path.c_str());
  }

  std::string Content() {
    char Data[64];
    DWORD Got = 0;
    HANDLE File = CreateFileA(Path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
    ReadFile(File, Data, sizeof(Data), &Got, nullptr);
    CloseHandle(File);
    return std::string(Data, Got);
  }
  bool OthersCanRead() {
    HANDLE Other = CreateFileA(Path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                               nullptr, OPEN_EXISTING, 0, nullptr);
    CloseHandle(Other);
    return Other != INVALID_HANDLE_VALUE;
  }

  HANDLE OpenNative(const std::string& File) {
    return NativeOpen(("\\??\\" + File).c_str(), GENERIC_READ | GENERIC_WRITE,
                      FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
  }

  std::string Path;
  TBinaryFile File_;
};

TEST_F(BinaryFile, ReadOpensTheNamedFileOnFirstUseAndEndsWithZero) {
  char Buffer[6];
  EXPECT_EQ(File_.Read(Buffer, 6), 6u);
  EXPECT_EQ(std::string(Buffer, 6), "012345");
  EXPECT_TRUE(File_.IsOpen);
  EXPECT_TRUE(OthersCanRead());
  EXPECT_EQ(File_.Read(Buffer, 6), 4u);
  EXPECT_EQ(File_.Read(Buffer, 6), 0u);
}

TEST_F(BinaryFile, WriteOpensExclusivelyAndOverwritesInPlaceWithoutTruncating) {
  EXPECT_EQ(File_.Write("ab", 2), 2u);
  EXPECT_FALSE(OthersCanRead());
  EXPECT_TRUE(File_.Seek(6));
  EXPECT_EQ(File_.Position(), 6);
  EXPECT_EQ(File_.Write("X", 1), 1u);
  File_.Close();
  EXPECT_EQ(Content(), "ab2345X789");
}

TEST_F(BinaryFile, CreateNewRefusesAnExistingFileSoTheCallerCanOpenItForWriting) {
  EXPECT_FALSE(File_.CreateNew());
  EXPECT_FALSE(File_.IsOpen);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_EXISTS));
  ASSERT_TRUE(File_.Open(2));
  char Buffer[4];
  EXPECT_EQ(File_.Read(Buffer, 4), 0u);  // write-only
  EXPECT_EQ(File_.Write("K", 1), 1u);
  File_.Close();
  EXPECT_EQ(Content(), "K123456789");
  EXPECT_TRUE(File_.Delete());
  EXPECT_TRUE(File_.CreateNew());
}

TEST_F(BinaryFile, ReleasingClosesAnAttachedHandle) {
  HANDLE Raw = CreateFileA(Path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  {
    TBinaryFile Attached;
    Attached.AttachHandle(Raw);
    EXPECT_FALSE(OthersCanRead());
  }
  EXPECT_TRUE(OthersCanRead());
}

TEST_F(BinaryFile, NativeOpenGivesAnExclusiveSynchronousHandle) {
  HANDLE Handle = OpenNative(Path);
  ASSERT_NE(Handle, INVALID_HANDLE_VALUE);
  EXPECT_EQ(NativeLastError(), 0u);
  char Buffer[16];
  DWORD Got = 0;
  ASSERT_TRUE(ReadFile(Handle, Buffer, 6, &Got, nullptr));
  EXPECT_EQ(std::string(Buffer, Got), "012345");
  // The sharing the caller passed is not granted.
  EXPECT_FALSE(OthersCanRead());
  EXPECT_EQ(OpenNative(Path), INVALID_HANDLE_VALUE);
  EXPECT_EQ(NativeLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  // A file is no disk: it has no size for the device queries.
  EXPECT_EQ(DeviceSize(Handle), 0);
  CloseHandle(Handle);
}

TEST_F(BinaryFile, NativeOpenFailuresLeaveTheWin32Code) {
  EXPECT_EQ(OpenNative(Path + ".missing"), INVALID_HANDLE_VALUE);
  EXPECT_EQ(NativeLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(OpenNative(Path + ".missing\\inner"), INVALID_HANDLE_VALUE);
  EXPECT_EQ(NativeLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
}

}  // namespace
