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
  const std::wstring root = L"C:\\bench-file-node-" + std::to_wstring(GetCurrentProcessId());
  RemoveTree(root);
  const std::wstring inside = Widen("caf\xc3\xa9\\\xc3\xa9t\xc3\xa9 \xe2\x82\xac\xc3\x9f.txt");
  const std::wstring cjk = Widen("\xe6\x95\xb0\xe6\x8d\xae"), greek = Widen("\xce\xb1\xce\xb2.txt");
  std::string big(100000, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 131 >> 3);
  const std::vector<std::pair<std::wstring, std::string>> files = {
      {inside, "inside the code page"}, {L"sub\\plain.bin", big}, {cjk + L"\\x.txt", "cjk"}, {greek, "greek"}};
  for (const auto& [name, content] : files) {
    std::wstring path = root + L"\\" + name;
    for (size_t at = path.find(L'\\', root.size()); at != std::wstring::npos; at = path.find(L'\\', at + 1))
      CreateDirectoryW(path.substr(0, at).c_str(), nullptr);
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    DWORD written = 0;
    WriteFile(file, content.data(), static_cast<DWORD>(content.size()), &written, nullptr);
    CloseHandle(file);
  }

  ScratchArchive scratch("file-node");
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
  const std::wstring restored = Widen(scratch.Working("restored\\tree")) + L"\\";
  for (const std::wstring& name : {inside, std::wstring(L"sub\\plain.bin")}) {
    HANDLE file = CreateFileW((restored + name).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    std::string back(200000, '\0');
    DWORD read = 0;
    ReadFile(file, &back[0], static_cast<DWORD>(back.size()), &read, nullptr);
    CloseHandle(file);
    back.resize(read);
    EXPECT_EQ(back, name == inside ? files[0].second : big) << Narrow(name);
  }
  EXPECT_EQ(GetFileAttributesW((restored + greek).c_str()), INVALID_FILE_ATTRIBUTES);
  RemoveTree(root);
}

}  // namespace
