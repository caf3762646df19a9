// The server machines through the service, laid out with real hive files and hive list values,
// and generations of their files that a folder is checked against.
#include <gtest/gtest.h>
#include <vsbackup.h>

#include <set>
#include <string>

#include "../support/test_folders.h"
#include "backup_components.h"
#include "hive_file.h"
#include "layout_generation.h"
#include "machine_layout.h"
#include "metadata_support.h"
#include "service_config.h"

using namespace metadata_support;

namespace {

const wchar_t kHiveList[] = L"SYSTEM\\CurrentControlSet\\Control\\hivelist";

class ServerMachineTest : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    file_ = std::string("machines\\") + GetParam() + ".xml";  // beside the programs
    std::wstring error;
    ASSERT_EQ(S_OK, LoadMachine(Widen(file_).c_str(), &machine_, &error)) << Narrow(error);
    root_ = L"C:\\simvss-layout-" + std::to_wstring(GetCurrentProcessId());
    RemoveTree(root_);
    SetEnvironmentVariableW(L"SIMVSS_ROOT", root_.c_str());
  }
  void TearDown() override {
    EXPECT_EQ(S_OK, RemoveMachineHiveList(machine_, nullptr));
    RemoveTree(root_);
    SetEnvironmentVariableW(L"SIMVSS_ROOT", nullptr);
    ConfigureService(nullptr, nullptr);
    EXPECT_EQ(0, g_simvss_objects);
    CoUninitialize();
  }

  // Every writer as a requester reads it from the service after gathering metadata.
  std::vector<MachineWriter> WritersThroughTheService() {
    std::vector<MachineWriter> writers;
    EXPECT_EQ(S_OK, ConfigureService(file_.c_str(), nullptr));
    IVssBackupComponents* backup = nullptr;
    EXPECT_EQ(S_OK, CreateSimBackupComponents(CurrentMachine(), &backup));
    if (!backup) return writers;
    IVssAsync* async = nullptr;
    EXPECT_EQ(S_OK, backup->InitializeForBackup(nullptr));
    EXPECT_EQ(S_OK, backup->GatherWriterMetadata(&async));
    HRESULT status = VSS_S_ASYNC_PENDING;
    for (int i = 0; async && status == VSS_S_ASYNC_PENDING && i < 100; ++i)
      async->QueryStatus(&status, nullptr);
    if (async) async->Release();
    EXPECT_EQ(VSS_S_ASYNC_FINISHED, status);
    UINT count = 0;
    EXPECT_EQ(S_OK, backup->GetWriterMetadataCount(&count));
    for (UINT i = 0; i < count; ++i) {
      VSS_ID instance;
      IVssExamineWriterMetadata* metadata = nullptr;
      EXPECT_EQ(S_OK, backup->GetWriterMetadata(i, &instance, &metadata));
      if (!metadata) continue;
      writers.push_back(ReadThroughInterfaces(metadata));
      metadata->Release();
    }
    backup->Release();
    return writers;
  }

  std::wstring Expanded(const std::wstring& path) { return ExpandMachinePath(path); }

  std::string file_;
  Machine machine_;
  std::wstring root_;
};

TEST_P(ServerMachineTest, ShowsItsWritersAndTheEdgeCasesThroughTheService) {
  std::vector<MachineWriter> writers = WritersThroughTheService();
  ASSERT_EQ(machine_.writers.size(), writers.size());
  std::set<std::wstring> names;
  bool underscore = false, backslash_caption = false, empty_path = false, alternate = false,
       full_only = false;
  for (size_t i = 0; i < writers.size(); ++i) {
    const MachineWriter& w = writers[i];
    EXPECT_TRUE(w == MetadataOnly(machine_.writers[i])) << Narrow(w.name);
    names.insert(w.name);
    underscore = underscore || w.name.find(L'_') != std::wstring::npos;
    for (const MachineComponent& c : w.components) {
      backslash_caption = backslash_caption || (c.caption && c.caption->find(L'\\') != std::wstring::npos);
      empty_path = empty_path || (c.logical_path && c.logical_path->empty());
      std::vector<MachineFile> files = c.files;
      files.insert(files.end(), c.databases.begin(), c.databases.end());
      files.insert(files.end(), c.logs.begin(), c.logs.end());
      for (const MachineFile& f : files) {
        alternate = alternate || f.alternate_location.has_value();
        full_only = full_only || f.backup_type_mask == (VSS_FSBT_FULL_BACKUP_REQUIRED | VSS_FSBT_FULL_SNAPSHOT_REQUIRED);
      }
    }
  }
  EXPECT_TRUE(underscore && backslash_caption && empty_path && alternate && full_only);
  for (const wchar_t* name : {L"System Writer", L"Registry Writer", L"COM+ REGDB Writer"})
    EXPECT_EQ(1u, names.count(name)) << Narrow(name);
  if (std::string(GetParam()) == "server2003") {
    EXPECT_EQ(1u, names.count(L"FRS Writer"));
    EXPECT_EQ(1u, names.count(L"MSDEWriter"));
  } else {
    EXPECT_EQ(1u, names.count(L"DFS Replication service writer"));
    EXPECT_EQ(1u, names.count(L"ASR Writer"));
  }
}

TEST_P(ServerMachineTest, LaysOutItsFilesWithLoadableHivesThatTheHiveListNames) {
  LayoutCounts counts;
  std::wstring error;
  ASSERT_EQ(S_OK, LayOutGeneration(machine_, 0, &counts, &error)) << Narrow(error);
  EXPECT_EQ(machine_.layout.size(), counts.written);
  VerifyReport report;
  ASSERT_EQ(S_OK, VerifyGeneration(machine_, 0, root_, &report));
  EXPECT_EQ(machine_.layout.size(), report.identical);
  EXPECT_TRUE(report.differences.empty()) << Narrow(report.differences[0]);

  // Every component descriptor finds files; the kernel is 64-bit; the COM+ database is cased
  // as shipped.
  for (const MachineWriter& w : machine_.writers)
    for (const MachineComponent& c : w.components)
      for (const MachineFile& f : c.files) {
        WIN32_FIND_DATAW found;
        HANDLE find = FindFirstFileW((Expanded(f.path) + L"\\" + f.filespec).c_str(), &found);
        EXPECT_NE(INVALID_HANDLE_VALUE, find) << Narrow(f.path + L"\\" + f.filespec);
        if (find != INVALID_HANDLE_VALUE) FindClose(find);
      }
  std::set<std::wstring> names;
  for (const MachineLayoutFile& f : machine_.layout) names.insert(f.path.substr(f.path.rfind(L'\\') + 1));
  EXPECT_EQ(1u, names.count(L"ntoskrnl.exe"));
  EXPECT_EQ(0u, names.count(L"ntkrnlpa.exe"));
  bool shipped_case = false;
  for (const std::wstring& n : names) shipped_case = shipped_case || (n.compare(0, 2, L"R0") == 0 && n.find(L".CLB") == 13);
  EXPECT_TRUE(shipped_case);

  // The SYSTEM hive loads as a requester loads a restored one, and the hive list points at it
  // as an NT device path.
  HKEY key = nullptr;
  wchar_t data[MAX_PATH] = L"";
  DWORD size = sizeof data;
  ASSERT_EQ(ERROR_SUCCESS, RegGetValueW(HKEY_LOCAL_MACHINE, kHiveList, L"\\REGISTRY\\MACHINE\\SYSTEM",
                                        RRF_RT_REG_SZ, nullptr, data, &size));
  std::wstring device = data;
  EXPECT_EQ(0, _wcsnicmp(device.c_str(), L"\\Device\\", 8)) << Narrow(device);
  std::wstring system;
  for (const MachineLayoutFile& f : machine_.layout)
    if (f.loaded_as == std::wstring(L"\\REGISTRY\\MACHINE\\SYSTEM")) system = Expanded(f.path);
  EXPECT_EQ(system.substr(2), device.substr(device.size() - (system.size() - 2))) << Narrow(device);
  ASSERT_EQ(ERROR_SUCCESS, RegLoadKeyA(HKEY_LOCAL_MACHINE, "simvss_test_SYSTEM", Narrow(system).c_str()));
  EXPECT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE,
                                         "simvss_test_SYSTEM\\ControlSet001\\Control\\Session Manager",
                                         0, KEY_ALL_ACCESS, &key));
  if (key) RegCloseKey(key);
  EXPECT_EQ(ERROR_SUCCESS, RegUnLoadKeyA(HKEY_LOCAL_MACHINE, "simvss_test_SYSTEM"));

  ASSERT_EQ(S_OK, RemoveMachineHiveList(machine_, nullptr));
  for (const MachineLayoutFile& f : machine_.layout) {
    if (!f.loaded_as) continue;
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegGetValueW(HKEY_LOCAL_MACHINE, kHiveList, f.loaded_as->c_str(),
                                                 RRF_RT_ANY, nullptr, nullptr, nullptr));
  }
}

TEST_P(ServerMachineTest, AGenerationChangesAddsAndRemovesFilesThatTheCheckFinds) {
  std::wstring error;
  ASSERT_EQ(S_OK, LayOutGeneration(machine_, 0, nullptr, &error)) << Narrow(error);
  std::vector<std::wstring> removed;
  std::vector<GenerationFile> zero = GenerationFiles(machine_, 0), one = GenerationFiles(machine_, 1, &removed);
  ASSERT_EQ(machine_.layout.size(), zero.size());
  EXPECT_FALSE(removed.empty());

  // A file the generation leaves alone keeps its time; the disk then matches generation 1 only.
  std::wstring kept;
  for (const GenerationFile& f : one)
    if (f.version == 0 && !f.hive && f.path.find(L"-g1") == std::wstring::npos) kept = Expanded(f.path);
  WIN32_FILE_ATTRIBUTE_DATA before, after;
  ASSERT_TRUE(GetFileAttributesExW(kept.c_str(), GetFileExInfoStandard, &before));
  LayoutCounts counts;
  ASSERT_EQ(S_OK, LayOutGeneration(machine_, 1, &counts, &error)) << Narrow(error);
  EXPECT_EQ(removed.size(), counts.removed);
  ASSERT_TRUE(GetFileAttributesExW(kept.c_str(), GetFileExInfoStandard, &after));
  EXPECT_EQ(0, CompareFileTime(&before.ftLastWriteTime, &after.ftLastWriteTime));

  VerifyReport report;
  ASSERT_EQ(S_OK, VerifyGeneration(machine_, 1, root_, &report));
  EXPECT_EQ(one.size(), report.identical);
  EXPECT_TRUE(report.differences.empty());
  ASSERT_EQ(S_OK, VerifyGeneration(machine_, 0, root_, &report));
  std::set<std::wstring> kinds;
  for (const std::wstring& line : report.differences) kinds.insert(line.substr(0, line.find(L':')));
  EXPECT_EQ((std::set<std::wstring>{L"different", L"extra", L"missing"}), kinds);
  EXPECT_EQ(counts.written + removed.size(), report.differences.size());

  // Fixed by the description alone: the same files every time, and a later generation moves on.
  std::vector<GenerationFile> again = GenerationFiles(machine_, 1), two = GenerationFiles(machine_, 2);
  ASSERT_EQ(one.size(), again.size());
  for (size_t i = 0; i < one.size(); ++i)
    EXPECT_TRUE(one[i].path == again[i].path && one[i].size == again[i].size && one[i].version == again[i].version);
  size_t moved = 0;
  for (const GenerationFile& f : two) moved += f.version > 0 || f.path.find(L"-g2") != std::wstring::npos;
  EXPECT_GT(moved, 0u);
}

INSTANTIATE_TEST_SUITE_P(Machines, ServerMachineTest, ::testing::Values("server2003", "server2008r2"),
                         [](const ::testing::TestParamInfo<const char*>& info) { return std::string(info.param); });

}  // namespace
