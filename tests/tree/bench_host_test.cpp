// Whole jobs through the bench host, the product's file node serving a real folder: names in the
// system code page (1252 here) and names outside it.
#include "../../plugin/frame/host_interface.h"

#include "archive.h"
#include "test_support.h"
#include "../support/test_folders.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

using ::testing::Contains;
using ::testing::UnorderedElementsAre;

namespace {

int64_t UnixTime(const FILETIME& time) {
  return ((static_cast<int64_t>(time.dwHighDateTime) << 32 | time.dwLowDateTime) - 116444736000000000LL) / 10000000;
}

TEST(BenchHostFileNode, NamesInTheCodePageRoundTripWithTheirStatusOthersFailNamingTheFile) {
  ScratchArchive scratch("file-node");
  const std::wstring root = Widen(scratch.path() + "\\source");
  const std::wstring inside = Widen("caf\xc3\xa9\\\xc3\xa9t\xc3\xa9 \xe2\x82\xac\xc3\x9f.txt");
  const std::wstring cjk = Widen("\xe6\x95\xb0\xe6\x8d\xae"), greek = Widen("\xce\xb1\xce\xb2.txt");
  std::string big(100000, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 131 >> 3);
  for (const auto& [name, content] : {std::pair{inside, std::string("inside the code page")}, {L"sub\\plain.bin", big},
                                      {cjk + L"\\x.txt", "cjk"}, {greek, "greek"}}) {
    std::filesystem::path path = root + L"\\" + name;
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << content;
  }

  const std::string command = "files:/tree/|" + Narrow(root);
  const std::vector<std::string> common = {"--machine", "none.xml", "--archive", scratch.path(),
                                           "--plugin", "testplugin_files.dll", "--vss", "none"};
  std::vector<std::string> args = {"backup", "--command", command};
  args.insert(args.end(), common.begin(), common.end());
  HostsimRun backup = RunHostsimCaptured(args);
  EXPECT_EQ(backup.status, 1) << backup.out;  // the job knows it lost files
  const std::string shown = "ERROR: Cannot back up \"" + Narrow(root) + "\\";
  const std::string why = "\": its name has characters outside the system code page";
  for (const std::string& name : {std::string("??\\x.txt"), std::string("??\\"), std::string("??.txt")})
    EXPECT_THAT(backup.Lines(), Contains(shown + name + why)) << backup.out;
  EXPECT_THAT(backup.out, testing::Not(testing::HasSubstr("contract violation")));

  Archive archive(scratch.path());
  std::string error;
  ASSERT_TRUE(archive.Open(&error)) << error;
  std::vector<std::string> names;
  for (const ArchiveEntry& e : archive.jobs()[0].entries) {
    names.push_back(e.name);
    if (e.name == "/tree/") continue;
    std::wstring real = root + L"\\" + Widen(e.name.substr(6), CP_ACP);
    for (auto& c : real)
      if (c == L'/') c = L'\\';
    WIN32_FILE_ATTRIBUTE_DATA info;
    ASSERT_TRUE(GetFileAttributesExW(real.c_str(), GetFileExInfoStandard, &info)) << e.name;
    bool dir = info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY;
    EXPECT_EQ(e.st.st_mode & 0170000, dir ? 0040000 : 0100000) << e.name;
    EXPECT_EQ(e.st.st_size, dir ? 0u : info.nFileSizeLow) << e.name;
    EXPECT_EQ(e.st.st_mtime, UnixTime(info.ftLastWriteTime)) << e.name;
  }
  EXPECT_THAT(names, UnorderedElementsAre("/tree/caf\xe9/\xe9t\xe9 \x80\xdf.txt", "/tree/caf\xe9/", "/tree/sub/plain.bin",
                                          "/tree/sub/", "/tree/"));

  args = {"restore", "--jobs", "1"};
  args.insert(args.end(), common.begin(), common.end());
  HostsimRun restore = RunHostsimCaptured(args);
  EXPECT_EQ(restore.status, 0) << restore.out;
  EXPECT_EQ(ScratchArchive::ReadFile(scratch.Restored("/tree/caf\xe9/\xe9t\xe9 \x80\xdf.txt")), "inside the code page");
  EXPECT_EQ(ScratchArchive::ReadFile(scratch.Restored("/tree/sub/plain.bin")), big);
  EXPECT_EQ(GetFileAttributesW((Widen(scratch.Working("restored\\tree\\")) + greek).c_str()), INVALID_FILE_ATTRIBUTES);
}

}  // namespace
