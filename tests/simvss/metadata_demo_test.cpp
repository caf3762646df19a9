// The demo machine: the writers a small Windows server has, with files that really exist once
// the layout command has run, and that layout's content fixed by the paths alone.
#include <gtest/gtest.h>
#include <shlwapi.h>

#include <set>
#include <string>
#include <vector>

#include "machine_layout.h"
#include "metadata_support.h"

using namespace metadata_support;

namespace {

// The description in the source tree, reached through the drive that maps the Unix root.
std::wstring DemoPath() {
  std::string source = __FILE__;
  std::string folder = source.substr(0, source.rfind("tests/simvss/"));
  std::wstring path = L"Z:" + std::wstring(folder.begin(), folder.end()) + L"sim/vss/machines/demo.xml";
  for (wchar_t& c : path)
    if (c == L'/') c = L'\\';
  return path;
}

class DemoMachineTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    std::wstring error;
    HRESULT hr = LoadMachine(DemoPath().c_str(), &demo_, &error);
    ASSERT_EQ(S_OK, hr) << std::string(error.begin(), error.end());
  }
  const MachineWriter* Writer(const wchar_t* class_id) { return FindWriterByClass(demo_, Id(class_id)); }

  static Machine demo_;
};
Machine DemoMachineTest::demo_;

TEST_F(DemoMachineTest, HasTheWritersOfASmallServerUnderTheirRealIds) {
  struct Expected {
    const wchar_t* class_id;
    const wchar_t* name;
  };
  const Expected writers[] = {
      {L"{e8132975-6f93-4464-a53e-1050253ae220}", L"System Writer"},
      {L"{afbab4a2-367d-4d15-a586-71dbb18f8485}", L"Registry Writer"},
      {L"{542da469-d3e1-473c-9f4f-7847f01fc64f}", L"COM+ REGDB Writer"},
      {L"{d76f5a28-3092-4589-ba48-2958fb88ce29}", L"FRS Writer"},
      {L"{2707761b-2324-473d-88eb-eb007a359533}", L"DFS Replication service writer"},
      {L"{c2f52614-5e53-4858-a589-38eeb25c6184}", L"SharePoint Services Writer"},
      {L"{76fe1ac4-15f7-4bcd-987e-8e1acb462fb7}", L"Microsoft Exchange Writer"},
      {L"{a65faa63-5ea8-4ebc-9dbd-a0c4db26912a}", L"SqlServerWriter"},
      {L"{be000cbe-11fe-4426-9c58-531aa6355fc4}", L"ASR Writer"},
      {L"{f8544ac1-0611-4fa5-b04b-f7ee00b03277}", L"MSDEWriter"},
  };
  for (const Expected& e : writers) {
    const MachineWriter* w = Writer(e.class_id);
    ASSERT_NE(nullptr, w) << std::string(e.name, e.name + wcslen(e.name));
    EXPECT_EQ(e.name, w->name);
    // A restored writer's document is found by a name that must not contain "_".
    EXPECT_EQ(std::wstring::npos, w->name.find(L'_'));
  }
  bool user_data = false;
  for (const MachineWriter& w : demo_.writers) user_data = user_data || (w.usage == VSS_UT_USERDATA && w.name == L"Shared Folders Writer");
  EXPECT_TRUE(user_data);
  EXPECT_GE(demo_.pending_polls, 1u);
}

TEST_F(DemoMachineTest, SystemStateComponentsCarryTheFilesTheirHandlersLookFor) {
  const MachineWriter* system = Writer(L"{e8132975-6f93-4464-a53e-1050253ae220}");
  ASSERT_NE(nullptr, FindComponent(*system, nullptr, L"System Files"));
  EXPECT_GE(system->components.size(), 2u);

  const MachineComponent* registry =
      FindComponent(*Writer(L"{afbab4a2-367d-4d15-a586-71dbb18f8485}"), nullptr, L"Registry");
  ASSERT_NE(nullptr, registry);
  std::set<std::wstring> hives;
  for (const MachineFile& f : registry->files) hives.insert(f.filespec);
  EXPECT_EQ((std::set<std::wstring>{L"SYSTEM", L"SOFTWARE", L"SAM", L"SECURITY", L"DEFAULT"}), hives);

  const MachineComponent* regdb =
      FindComponent(*Writer(L"{542da469-d3e1-473c-9f4f-7847f01fc64f}"), nullptr, L"COM+ REGDB");
  ASSERT_NE(nullptr, regdb);
  int numbered = 0;
  for (const MachineLayoutFile& f : demo_.layout) {
    std::wstring name = f.path.substr(f.path.rfind(L'\\') + 1);
    if (name.size() == 17 && name[0] == L'r' && name.compare(13, 4, L".clb") == 0) ++numbered;
  }
  EXPECT_GE(numbered, 2);

  const MachineWriter* sql = Writer(L"{a65faa63-5ea8-4ebc-9dbd-a0c4db26912a}");
  for (const wchar_t* db : {L"master", L"model", L"msdb", L"Sales"}) {
    const MachineComponent* c = FindComponent(*sql, L"SERVER01", db);
    ASSERT_NE(nullptr, c);
    EXPECT_EQ(VSS_CT_DATABASE, c->type);
    EXPECT_FALSE(c->databases.empty());
    EXPECT_FALSE(c->logs.empty());
  }
}

TEST_F(DemoMachineTest, EveryDescriptorNamesFilesTheLayoutCreates) {
  // Also the dependencies: each names a component that exists.
  for (const MachineWriter& w : demo_.writers) {
    std::vector<MachineFile> descriptors = w.excluded_files;
    for (const MachineComponent& c : w.components) {
      descriptors.insert(descriptors.end(), c.files.begin(), c.files.end());
      descriptors.insert(descriptors.end(), c.databases.begin(), c.databases.end());
      descriptors.insert(descriptors.end(), c.logs.begin(), c.logs.end());
      for (const MachineDependency& d : c.dependencies) {
        const MachineWriter* target = FindWriterByClass(demo_, d.writer_class_id);
        ASSERT_NE(nullptr, target);
        EXPECT_NE(nullptr, FindComponent(*target, d.logical_path ? d.logical_path->c_str() : nullptr,
                                         d.component_name.c_str()));
      }
    }
    for (const MachineFile& d : descriptors) {
      EXPECT_EQ(0u, d.path.find(L"%SIMVSS_ROOT%")) << "a demo file outside the demo folder";
      bool found = false;
      for (const MachineLayoutFile& f : demo_.layout) {
        size_t slash = f.path.rfind(L'\\');
        std::wstring folder = f.path.substr(0, slash), name = f.path.substr(slash + 1);
        bool inside = d.recursive ? f.path.compare(0, d.path.size() + 1, d.path + L"\\") == 0
                                  : folder == d.path;
        found = found || (inside && PathMatchSpecW(name.c_str(), d.filespec.c_str()));
      }
      EXPECT_TRUE(found) << std::string(d.path.begin(), d.path.end()) << " "
                         << std::string(d.filespec.begin(), d.filespec.end());
    }
  }
}

TEST_F(DemoMachineTest, EveryWriterRoundTripsThroughItsDocument) {
  for (const MachineWriter& w : demo_.writers) {
    IVssExamineWriterMetadata* original = nullptr;
    ASSERT_EQ(S_OK, CreateWriterMetadata(w, &original));
    BSTR xml = nullptr;
    ASSERT_EQ(S_OK, original->SaveAsXML(&xml));
    original->Release();
    IVssExamineWriterMetadata* loaded = nullptr;
    ASSERT_EQ(S_OK, SimCreateExamineWriterMetadata(xml, &loaded));
    SysFreeString(xml);
    EXPECT_TRUE(ReadThroughInterfaces(loaded) == MetadataOnly(w))
        << std::string(w.name.begin(), w.name.end());
    loaded->Release();
  }
}

// The layout into a folder of its own, with SIMVSS_ROOT pointing there for the test.
class LayoutTest : public ::testing::Test {
 protected:
  void SetUp() override {
    wchar_t folder[MAX_PATH];
    GetFullPathNameW(L"metadata_layout_test", MAX_PATH, folder, nullptr);
    root_ = folder;
    SetEnvironmentVariableW(L"SIMVSS_ROOT", root_.c_str());
  }
  void TearDown() override {
    for (auto it = created_.rbegin(); it != created_.rend(); ++it) {
      DeleteFileW(it->c_str());
      RemoveDirectoryW(it->c_str());
    }
    RemoveDirectoryW(root_.c_str());
    SetEnvironmentVariableW(L"SIMVSS_ROOT", nullptr);
  }

  Machine Sample() {
    Machine m;
    m.layout.push_back({L"%SIMVSS_ROOT%\\a\\b\\one.dat", 70000});
    m.layout.push_back({L"%SIMVSS_ROOT%\\two.dat", 100});
    m.layout.push_back({L"%SIMVSS_ROOT%\\empty.dat", 0});
    created_ = {root_ + L"\\a", root_ + L"\\a\\b", root_ + L"\\a\\b\\one.dat", root_ + L"\\two.dat",
                root_ + L"\\empty.dat"};
    return m;
  }

  std::string Content(const std::wstring& path) {
    std::string bytes;
    HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return "<missing>";
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(h, buffer, sizeof buffer, &got, nullptr) && got) bytes.append(buffer, got);
    CloseHandle(h);
    return bytes;
  }

  std::wstring root_;
  std::vector<std::wstring> created_;
};

TEST_F(LayoutTest, FilesGetTheirSizeAndContentFixedByTheDescribedPath) {
  Machine m = Sample();
  size_t created = 0;
  std::wstring error;
  ASSERT_EQ(S_OK, LayOutMachine(m, &created, &error)) << std::string(error.begin(), error.end());
  EXPECT_EQ(3u, created);
  std::string one = Content(root_ + L"\\a\\b\\one.dat");
  ASSERT_EQ(70000u, one.size());
  for (size_t i : {size_t(0), size_t(7), size_t(8), size_t(65535), size_t(65536), size_t(69999)})
    EXPECT_EQ(static_cast<char>(LayoutByte(L"%SIMVSS_ROOT%\\a\\b\\one.dat", i)), one[i]) << i;
  std::string two = Content(root_ + L"\\two.dat");
  EXPECT_EQ(100u, two.size());
  EXPECT_NE(one.substr(0, 100), two);
  EXPECT_EQ("", Content(root_ + L"\\empty.dat"));

  // A second run replaces a changed file with the same bytes as before.
  HANDLE h = CreateFileW((root_ + L"\\two.dat").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  CloseHandle(h);
  ASSERT_EQ(S_OK, LayOutMachine(m, &created, &error));
  EXPECT_EQ(two, Content(root_ + L"\\two.dat"));
}

TEST_F(LayoutTest, AnUnsetVariableStopsTheLayoutBeforeAnyFileIsWrittenElsewhere) {
  Machine m;
  m.layout.push_back({L"%SIMVSS_NOT_SET%\\x.dat", 10});
  size_t created = 5;
  std::wstring error;
  EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_ENVVAR_NOT_FOUND), LayOutMachine(m, &created, &error));
  EXPECT_EQ(0u, created);
  EXPECT_NE(std::wstring::npos, error.find(L"%SIMVSS_NOT_SET%"));
}

}  // namespace
