// The platform stand-ins the writer handlers are tested against: the hive replacement recorder,
// the COM+ catalog server and the handlers' services.
#include <windows.h>

#include <comadmin.h>
#include <gmock/gmock.h>

#include <fstream>
#include <sstream>

#include "com_catalog_control.h"
#include "registry_replace_recorder.h"
#include "../support/test_folders.h"
#include "test_services.h"

using ::testing::ElementsAre;

namespace {

const char kHiveList[] = "SYSTEM\\CurrentControlSet\\Control\\hivelist";

// Calls through the import slot every time (see import_patch_test).
__attribute__((noipa)) LONG ReplaceKey(HKEY key, const char* sub, const char* new_file, const char* old_file) {
  return RegReplaceKeyA(key, sub, new_file, old_file);
}
__attribute__((noipa)) std::vector<std::string> Dependents(const char* service, DWORD states) {
  SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  SC_HANDLE handle = OpenServiceA(manager, service, SERVICE_ENUMERATE_DEPENDENTS);
  std::vector<BYTE> buffer(4096);
  DWORD needed = 0, count = 0;
  std::vector<std::string> names;
  if (EnumDependentServicesA(handle, states, reinterpret_cast<ENUM_SERVICE_STATUSA*>(buffer.data()),
                             static_cast<DWORD>(buffer.size()), &needed, &count))
    for (DWORD i = 0; i < count; ++i) names.push_back(reinterpret_cast<ENUM_SERVICE_STATUSA*>(buffer.data())[i].lpServiceName);
  CloseServiceHandle(handle);
  CloseServiceHandle(manager);
  return names;
}

std::string Content(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

bool KeyExists(HKEY root, const std::string& path) {
  HKEY key;
  if (RegOpenKeyExA(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
  RegCloseKey(key);
  return true;
}

class HiveReplacementRecorder : public ::testing::Test {
 protected:
  void SetUp() override {
    char temp[MAX_PATH];
    GetTempPathA(MAX_PATH, temp);
    dir_ = std::string(temp) + "snaptree_standins_" + std::to_string(GetCurrentProcessId());
    CreateDirectoryA(dir_.c_str(), nullptr);
    ASSERT_TRUE(SetHivePrivileges(true));
    ASSERT_TRUE(InstallRegistryReplaceRecorder(GetModuleHandleA(nullptr), (dir_ + "\\record").c_str()));
    ClearRecordedHiveReplacements();
  }
  void TearDown() override {
    SetHivePrivileges(true);
    for (const auto& hive : loaded_) RegUnLoadKeyA(hive.first, hive.second.c_str());
    HKEY list;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kHiveList, 0, KEY_SET_VALUE, &list) == ERROR_SUCCESS) {
      for (const std::string& name : listed_) RegDeleteValueA(list, name.c_str());
      RegCloseKey(list);
    }
    RegDeleteTreeA(HKEY_CURRENT_USER, "Software\\snaptree_standins");
    ClearRecordedHiveReplacements();
    SetHivePrivileges(false);
    RemoveTree(Widen(dir_));
  }

  // Saves a small key as hive file `name` (value "v" = `value`), and a later version of it.
  std::string MakeHive(const std::string& name, const std::string& value) {
    HKEY key;
    RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\snaptree_standins\\sub", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
    RegCloseKey(key);
    RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\snaptree_standins", 0, KEY_ALL_ACCESS, &key);
    RegSetValueExA(key, "v", 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()), static_cast<DWORD>(value.size() + 1));
    std::string file = dir_ + "\\" + name;
    EXPECT_EQ(RegSaveKeyA(key, file.c_str(), nullptr), ERROR_SUCCESS);
    RegCloseKey(key);
    return file;
  }

  // Loads the hive (unless Wine is to lack its key) and lists it the way Windows does, under its
  // device path.
  void Load(HKEY root, const std::string& name, const std::string& file, const char* nt_root, bool load = true) {
    if (load) {
      ASSERT_EQ(RegLoadKeyA(root, name.c_str(), file.c_str()), ERROR_SUCCESS);
      loaded_.emplace_back(root, name);
    }
    char device[MAX_PATH] = {};
    ASSERT_NE(QueryDosDeviceA(file.substr(0, 2).c_str(), device, MAX_PATH), 0u);
    std::string value = std::string(nt_root) + name, data = device + file.substr(2);
    listed_.push_back(value);
    ASSERT_EQ(RegSetKeyValueA(HKEY_LOCAL_MACHINE, kHiveList, value.c_str(), REG_SZ, data.c_str(),
                              static_cast<DWORD>(data.size() + 1)), ERROR_SUCCESS);
  }

  std::string dir_;
  std::vector<std::pair<HKEY, std::string>> loaded_;
  std::vector<std::string> listed_;
};

TEST_F(HiveReplacementRecorder, RecordsWhatWindowsAcceptsAndTheRebootSwapsTheFiles) {
  std::string a = MakeHive("A", "a1"), a_new = MakeHive("A.restore", "a2");
  std::string b = MakeHive("B", "b1"), b_new = MakeHive("B.restore", "b2");
  Load(HKEY_LOCAL_MACHINE, "snaptree_hive_a", a, "\\REGISTRY\\MACHINE\\");
  Load(HKEY_USERS, "snaptree_hive_b", b, "\\REGISTRY\\USER\\");
  std::string c = MakeHive("C", "c1"), c_new = MakeHive("C.restore", "c2");
  Load(HKEY_USERS, "snaptree_hive_c", c, "\\REGISTRY\\USER\\", false);
  std::string a_before = Content(a), b_before = Content(b);

  EXPECT_EQ(ReplaceKey(HKEY_LOCAL_MACHINE, "snaptree_hive_a", a_new.c_str(), (a + ".old").c_str()), ERROR_SUCCESS);
  HKEY opened;  // a key below the hive root names the hive it is in
  ASSERT_EQ(RegOpenKeyExA(HKEY_USERS, "snaptree_hive_b", 0, KEY_READ, &opened), ERROR_SUCCESS);
  EXPECT_EQ(ReplaceKey(opened, "sub", b_new.c_str(), (b + ".old").c_str()), ERROR_SUCCESS);
  RegCloseKey(opened);
  EXPECT_EQ(ReplaceKey(HKEY_USERS, "snaptree_hive_c", c_new.c_str(), (c + ".old").c_str()), ERROR_SUCCESS);
  EXPECT_EQ(ReplaceKey(HKEY_USERS, "snaptree_none", c_new.c_str(), "x"), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(ReplaceKey(HKEY_LOCAL_MACHINE, "snaptree_hive_a", (dir_ + "\\none").c_str(), "x"), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(ReplaceKey(HKEY_LOCAL_MACHINE, "SOFTWARE", a_new.c_str(), "x"), ERROR_INVALID_PARAMETER);  // no hive file
  SetHivePrivileges(false);
  EXPECT_EQ(ReplaceKey(HKEY_LOCAL_MACHINE, "snaptree_hive_a", a_new.c_str(), "x"), ERROR_PRIVILEGE_NOT_HELD);
  SetHivePrivileges(true);

  std::vector<RecordedHiveReplacement> calls = RecordedHiveReplacements();
  ASSERT_EQ(calls.size(), 7u);
  EXPECT_EQ(calls[0].key, "HKEY_LOCAL_MACHINE");
  EXPECT_EQ(calls[0].hive_file, a);
  EXPECT_EQ(calls[1].key, "HKEY_USERS\\snaptree_hive_b");
  EXPECT_EQ(calls[1].subkey, "sub");
  EXPECT_EQ(calls[1].new_file, b_new);
  EXPECT_EQ(calls[1].old_file, b + ".old");
  EXPECT_EQ(calls[1].hive_file, b);
  EXPECT_EQ(calls[2].hive_file, c);
  EXPECT_EQ(calls[6].result, ERROR_PRIVILEGE_NOT_HELD);
  std::vector<RecordedHiveReplacement> from_file = ReadHiveReplacementRecord((dir_ + "\\record").c_str());
  ASSERT_EQ(from_file.size(), calls.size());
  for (size_t i = 0; i < calls.size(); ++i) {
    EXPECT_EQ(from_file[i].result, calls[i].result);
    EXPECT_EQ(from_file[i].key + from_file[i].subkey + from_file[i].new_file + from_file[i].old_file + from_file[i].hive_file,
              calls[i].key + calls[i].subkey + calls[i].new_file + calls[i].old_file + calls[i].hive_file);
  }
  EXPECT_EQ(Content(a), a_before);  // nothing happens before the reboot

  for (const auto& hive : loaded_) RegUnLoadKeyA(hive.first, hive.second.c_str());
  loaded_.clear();
  std::string error;
  ASSERT_TRUE(CarryOutHiveReplacements(from_file, &error)) << error;
  EXPECT_EQ(Content(a), Content(a_new));
  EXPECT_EQ(Content(a + ".old"), a_before);
  EXPECT_EQ(Content(b), Content(b_new));
  EXPECT_EQ(Content(b + ".old"), b_before);
  EXPECT_EQ(Content(c), Content(c_new));
  EXPECT_NE(a_before, Content(a_new));
}

TEST(ComCatalogStandIn, RecordsRestoreAndUnregistersWithoutTrace) {
  ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
  wchar_t temp[MAX_PATH];
  GetTempPathW(MAX_PATH, temp);
  std::wstring record = std::wstring(temp) + L"snaptree_catalog_record", database = std::wstring(temp) + L"snaptree_R1.clb";
  DeleteFileW(record.c_str());
  { std::ofstream(database.c_str(), std::ios::binary) << "database"; }
  ASSERT_EQ(RegisterComCatalogStandIn(ComCatalogStandInPath(), record), ERROR_SUCCESS);

  ICOMAdminCatalog* catalog = nullptr;
  ASSERT_EQ(CoCreateInstance(__uuidof(COMAdminCatalog), nullptr, CLSCTX_INPROC_SERVER, __uuidof(ICOMAdminCatalog),
                             reinterpret_cast<void**>(&catalog)), S_OK);
  BSTR present = SysAllocString(database.c_str()), missing = SysAllocString(L"C:\\snaptree_no_such.clb");
  EXPECT_EQ(catalog->RestoreREGDB(present), S_OK);
  EXPECT_EQ(catalog->RestoreREGDB(missing), E_FAIL);
  EXPECT_EQ(catalog->BackupREGDB(present), E_NOTIMPL);
  SysFreeString(present);
  SysFreeString(missing);
  catalog->Release();

  std::vector<ComCatalogRestoreCall> calls = ReadComCatalogRecord(record);
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].file, database);
  EXPECT_EQ(calls[0].size, 8);
  EXPECT_EQ(calls[0].digest, DescribeComCatalogFile(database).digest);
  EXPECT_EQ(calls[1].size, -1);
  EXPECT_EQ(calls[1].answer, E_FAIL);

  EXPECT_EQ(UnregisterComCatalogStandIn(), ERROR_SUCCESS);
  EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, Narrow(kComCatalogClassKey)));
  EXPECT_EQ(CoCreateInstance(__uuidof(COMAdminCatalog), nullptr, CLSCTX_INPROC_SERVER, __uuidof(ICOMAdminCatalog),
                             reinterpret_cast<void**>(&catalog)), REGDB_E_CLASSNOTREG);
  CoUninitialize();
  DeleteFileW(record.c_str());
  DeleteFileW(database.c_str());
}

TEST(HandlerServices, InstallRunDeclareDependentsAndRemoveWithoutTrace) {
  ASSERT_TRUE(OneServiceManager()) << "this Wine prefix runs two service control managers";
  ASSERT_EQ(InstallHandlerServices(), static_cast<DWORD>(ERROR_SUCCESS));
  for (const char* name : kHandlerServiceNames) EXPECT_EQ(TestServiceState(name), static_cast<DWORD>(SERVICE_STOPPED)) << name;

  void* previous = InstallDependentsReporter(GetModuleHandleA(nullptr));
  ASSERT_NE(previous, nullptr);
  DeclareServiceDependents("DFSR", {"SPAdmin", "IISADMIN"});
  EXPECT_EQ(StartTestService("DFSR"), static_cast<DWORD>(ERROR_SUCCESS));
  EXPECT_EQ(StartTestService("SPAdmin"), static_cast<DWORD>(ERROR_SUCCESS));
  EXPECT_THAT(Dependents("DFSR", SERVICE_STATE_ALL), ElementsAre("SPAdmin", "IISADMIN"));
  EXPECT_THAT(Dependents("DFSR", SERVICE_ACTIVE), ElementsAre("SPAdmin"));
  EXPECT_THAT(Dependents("NtFrs", SERVICE_STATE_ALL), ElementsAre());
  RemoveDependentsReporter(GetModuleHandleA(nullptr), previous);
  ClearServiceDependents();
  EXPECT_EQ(StopTestService("DFSR"), static_cast<DWORD>(ERROR_SUCCESS));
  EXPECT_EQ(TestServiceState("DFSR"), static_cast<DWORD>(SERVICE_STOPPED));

  // What a handler writes below a service's key goes with the service.
  DWORD flags = 0xD2;
  ASSERT_EQ(RegSetKeyValueA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Services\\NtFrs\\Parameters", "BurFlags",
                            REG_DWORD, &flags, sizeof(flags)), ERROR_SUCCESS);
  RemoveHandlerServices();  // SPAdmin is still running
  for (const char* name : kHandlerServiceNames) {
    EXPECT_EQ(TestServiceState(name), 0u) << name;
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, std::string("SYSTEM\\CurrentControlSet\\Services\\") + name)) << name;
  }
}

}  // namespace
