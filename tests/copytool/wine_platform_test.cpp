// The object namespace, the device list and name resolution over what Wine really presents.
#include <windows.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Native.h"
#include "volume.h"

namespace {

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::StartsWith;

TEST(WineNamespace, DirectoriesAndLinksAreRead) {
  std::vector<std::string> Names = {"kept"};
  ListObjectDirectory("\\NoSuchDirectory", Names);
  EXPECT_THAT(Names, ElementsAre("kept"));
  ListObjectDirectory("\\Device", Names);
  EXPECT_THAT(Names, Contains("HarddiskVolume1"));
  EXPECT_THAT(QuerySymbolicLink("\\??\\C:"), StartsWith("\\Device\\"));
  EXPECT_EQ(QuerySymbolicLink("\\??\\NoSuchLink"), "");
}

class WineMachine : public ::testing::Test {
 protected:
  void SetUp() override {
    SetLogHook([this](const std::string& Text) { Lines.push_back(Text); });
  }
  void TearDown() override { SetLogHook(TLogHook()); }
  std::vector<std::string> Lines;
};

TEST_F(WineMachine, ListsVolumesAndDevicesWithoutErrors) {
  ListDevices("", false);
  EXPECT_EQ(Lines.front(), "Win32 Available Volume Information");
  EXPECT_THAT(Lines, Contains("  Mounted on \\\\.\\c:"));
  EXPECT_THAT(Lines, Contains("NT Block Device Objects"));
  EXPECT_EQ(Lines.back(), " /dev/null   (discard the data)");
  for (const std::string& Line : Lines) EXPECT_THAT(Line, Not(StartsWith("Error "))) << Line;

  Lines.clear();
  ListDevices("fixed", false);
  ASSERT_GE(Lines.size(), 2u);
  EXPECT_THAT(std::vector<std::string>(Lines.begin(), Lines.begin() + 2),
              ElementsAre("", "NT Block Device Objects"));
  for (const std::string& Line : Lines) EXPECT_THAT(Line, Not(HasSubstr("/dev/")));
}

TEST_F(WineMachine, DriveCIsNoPartitionOfAListedDisk) {
  // Wine's C: volume links to a HarddiskVolume device that no Harddisk directory holds.
  EXPECT_EQ(ResolveDeviceName("C:"), "");
  ASSERT_FALSE(Lines.empty());
  EXPECT_THAT(Lines[0], StartsWith("Device C: is a link to \\\\?\\Device\\"));
  EXPECT_THAT(Lines, Contains("No match could be found for C:"));
}

}  // namespace
