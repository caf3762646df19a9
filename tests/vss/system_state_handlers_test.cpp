// The System, Registry and COM+ writer handlers on a plug-in instance in this program: device
// paths, which loaded hive a restored file is, the checks before any hive is swapped, and the
// COM+ database copies.
#include "plugin_fixture.h"

#include "../../plugin/tree/vssfs_component.h"
#include "../../plugin/vss/vssapi_writer_comregdb.h"
#include "../../plugin/vss/vssapi_writer_registry.h"
#include "../../plugin/vss/vssapi_writer_system.h"
#include "../../sim/comcatalog/com_catalog_control.h"
#include "../../sim/host/registry_recorder/registry_replace_recorder.h"
#include "../support/test_folders.h"
#include "../tree/tree_test_support.h"

#include <gmock/gmock.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

using ::testing::Contains;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

namespace {

const wchar_t kHiveList[] = L"SYSTEM\\CurrentControlSet\\Control\\hivelist";
const wchar_t kSessionManager[] = L"SYSTEM\\CurrentControlSet\\Control\\Session Manager";

std::string DeviceOfC() {
  char answer[1024] = "";
  return QueryDosDeviceA("C:", answer, sizeof answer) ? answer : "";
}

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  return text;
}

class SystemStateHandlers : public PluginInstance {
 protected:
  void SetUp() override {
    PluginInstance::SetUp();
    ctx = vssfs->hpContext;
    RemoveTree(Widen(dir));
    std::filesystem::create_directories(dir);
  }
  void TearDown() override {
    delete node;
    delete root;
    for (vssapi_writer_t* writer : writers) delete writer;
    RemoveTree(Widen(dir));
    PluginInstance::TearDown();
  }
  template <typename Component>
  Component* Make(vssapi_writer_t* writer, const wchar_t* name, VSS_RESTOREMETHOD_ENUM method) {
    if (std::find(writers.begin(), writers.end(), writer) == writers.end()) writers.push_back(writer);
    writer->restore_method = method;
    vssapi_component_t* component = writer->newComponent(ctx, const_cast<WCHAR*>(name));
    if (component) {
      component->vssapi_writer = writer;
      component->next = writer->component_head;
      writer->component_head = component;
    }
    return static_cast<Component*>(component);
  }
  // The component node as it stands before preFileRestore of one file.
  vssfs_component_t* Node(const std::string& filename) {
    if (!root) root = HNEW probe_node_t(vssfs, "@SYSTEMSTATE", VSSFS_NODE_ELEMENT);
    if (!node) node = HNEW vssfs_component_t(vssfs, const_cast<char*>("component"), root);
    HFREE(node->filename);
    node->filename = HSTRDUP(filename.c_str());
    return node;
  }

  ::hpContext* ctx = nullptr;
  std::vector<vssapi_writer_t*> writers;
  probe_node_t* root = nullptr;
  vssfs_component_t* node = nullptr;
  const std::string dir = "C:\\i15a-handlers-" + std::to_string(GetCurrentProcessId());
};

TEST_F(SystemStateHandlers, DevicePathsBecomeDriveLetterPathsWithinTheirBounds) {
  std::string device = DeviceOfC();
  ASSERT_FALSE(device.empty());
  auto convert = [this](const std::string& path) {
    char* result = convertDevicePathToDriveLetterPath(ctx, path.c_str());
    std::string text = result ? result : "<null>";
    HFREE(result);
    return text;
  };
  EXPECT_EQ(convert(device + "\\x\\SYSTEM"), "C:\\x\\SYSTEM");
  // A device whose name only begins like the drive's, the bare device, short texts and a path
  // no drive holds: no drive letter (the list's closing empty string matches nothing).
  EXPECT_EQ(convert(device + "0\\x\\SYSTEM"), "<null>");
  EXPECT_EQ(convert(device), "<null>");
  EXPECT_EQ(convert("\\D"), "<null>");
  EXPECT_EQ(convert(""), "<null>");
  EXPECT_EQ(convert("\\Device\\Nowhere\\x"), "<null>");
  // A volume without a drive letter is found through the system directory.
  char sysdir[MAX_PATH];
  ASSERT_GT(GetSystemDirectoryA(sysdir, MAX_PATH), 2u);
  EXPECT_EQ(Lower(convert("\\Device\\Unlettered" + std::string(sysdir + 2) + "\\config\\SYSTEM")),
            Lower(std::string(sysdir) + "\\config\\SYSTEM"));
}

TEST_F(SystemStateHandlers, SystemWriterTakesSystemFilesAndWritesTheKernelInPlace) {
  auto* writer = vssapi_writer_system_factory(ctx, nullptr, nullptr);
  writers.push_back(writer);
  // Besides "System Files" only the mandatory components: not selectable, at the top of the
  // tree, and not flagged as outside the system state.
  auto take = [&](const wchar_t* name, bool selectable, const wchar_t* path, DWORD flags) -> std::string {
    VSS_COMPONENTINFO info = {};
    info.bstrComponentName = const_cast<BSTR>(name);
    info.bstrLogicalPath = const_cast<BSTR>(path);
    info.bSelectable = selectable;
    info.dwComponentFlags = flags;
    std::unique_ptr<vssapi_component_t> taken(writer->newComponent(ctx, &info));
    return taken ? typeid(*taken).name() : "left out";
  };
  const std::string plain = typeid(vssapi_component_t).name();
  EXPECT_EQ(take(L"Win32 Services Files", false, nullptr, 0), plain);
  EXPECT_EQ(take(L"Win32 Services Files", false, L"", VSS_CF_BACKUP_RECOVERY), plain);
  EXPECT_EQ(take(L"Win32 Services Files", false, nullptr, VSS_CF_NOT_SYSTEM_STATE), "left out");
  EXPECT_EQ(take(L"Win32 Services Files", true, nullptr, 0), "left out");
  EXPECT_EQ(take(L"Drivers", false, L"System Files", 0), "left out");
  EXPECT_EQ(take(L"System Files", true, nullptr, VSS_CF_NOT_SYSTEM_STATE), typeid(vssapi_component_system_t).name());
  auto* component = Make<vssapi_component_t>(writer, L"System Files", VSS_RME_RESTORE_AT_REBOOT);
  ASSERT_NE(component, nullptr);
  EXPECT_FALSE(component->alwaysFull());
  for (const char* name : {"c:\\windows\\system32\\NTOSKRNL.EXE", "hal.dll", "c:\\x\\ntkrnlpa.exe"}) {
    component->file_restore_method = VSS_RME_UNDEFINED;
    EXPECT_EQ(component->preFileRestore(Node(name)), hRC_OK);
    EXPECT_EQ(component->file_restore_method, VSS_RME_CUSTOM) << name;
  }
  EXPECT_EQ(component->preFileRestore(Node("c:\\windows\\system32\\ntoskrnl.exe.old")), hRC_OK);
  EXPECT_EQ(component->file_restore_method, VSS_RME_RESTORE_AT_REBOOT);
}

// Two users' NTUSER.DAT, a SYSTEM and a SOFTWARE hive, and a hive on a device without a drive.
TEST_F(SystemStateHandlers, LoadedHivesAreMatchedByFullPathAndSwappedOnlyWhenAllChecksPass) {
  ASSERT_TRUE(SetHivePrivileges(true));
  std::string device = DeviceOfC() + dir.substr(2);
  struct Listed {
    const wchar_t* name;
    std::string data;
  };
  const Listed listed[] = {{L"\\REGISTRY\\USER\\S-1-5-19", device + "\\LocalService\\NTUSER.DAT"},
                           {L"\\REGISTRY\\USER\\S-1-5-20", device + "\\NetworkService\\NTUSER.DAT"},
                           {L"\\REGISTRY\\MACHINE\\SYSTEM", device + "\\SYSTEM"},
                           {L"\\REGISTRY\\MACHINE\\SOFTWARE", device + "\\SOFTWARE"},
                           {L"\\REGISTRY\\MACHINE\\I15A", "\\Device\\Nowhere\\LostHive"}};
  std::vector<std::unique_ptr<SavedRegistryValue>> saved;
  for (const Listed& l : listed) {
    saved.emplace_back(new SavedRegistryValue(HKEY_LOCAL_MACHINE, kHiveList, l.name));
    std::wstring data = Widen(l.data);
    WriteRegistryValue(HKEY_LOCAL_MACHINE, kHiveList, l.name, REG_SZ, data.c_str(),
                       static_cast<DWORD>((data.size() + 1) * 2));
  }
  SavedRegistryValue pending(HKEY_LOCAL_MACHINE, kSessionManager, L"PendingFileRenameOperations");
  SavedRegistryValue allow(HKEY_LOCAL_MACHINE, kSessionManager, L"AllowProtectedRenames");
  InstallRegistryReplaceRecorder(GetModuleHandle(nullptr), nullptr);
  ClearRecordedHiveReplacements();

  auto* writer = static_cast<vssapi_writer_registry_t*>(vssapi_writer_registry_factory(ctx, nullptr, nullptr));
  EXPECT_EQ(Make<vssapi_component_t>(writer, L"Other", VSS_RME_RESTORE_AT_REBOOT), nullptr);
  auto* component = Make<vssapi_component_registry_t>(writer, L"Registry", VSS_RME_RESTORE_AT_REBOOT);
  ASSERT_NE(component, nullptr);
  component->preComponentRestore(Node(dir));
  EXPECT_EQ(component->file_restore_method, VSS_RME_CUSTOM);

  // The second user's hive, named in lower case as the backup tree has it.
  EXPECT_EQ(component->preFileRestore(Node(Lower(dir + "\\NetworkService\\NTUSER.DAT"))), hRC_OK);
  EXPECT_EQ(component->file_restore_method, VSS_RME_CUSTOM);
  EXPECT_EQ(std::string(node->filename), dir + "\\NetworkService\\NTUSER.DAT.restore");
  hive_info_t* hive = writer->persist->hive_info_head;
  ASSERT_NE(hive, nullptr);
  EXPECT_EQ(hive->key, HKEY_USERS);
  EXPECT_STREQ(hive->dest_name, "S-1-5-20");
  EXPECT_THAT(std::string(hive->backup_filename), HasSubstr("NTUSER.DAT.backup"));
  // An NTUSER.DAT no hive list value names: restored at reboot, no hive entry.
  EXPECT_EQ(component->preFileRestore(Node(dir + "\\Other\\NTUSER.DAT")), hRC_OK);
  EXPECT_EQ(component->file_restore_method, VSS_RME_RESTORE_AT_REBOOT);
  EXPECT_EQ(std::string(node->filename), dir + "\\Other\\NTUSER.DAT");
  // Possibly a loaded hive, but its device has no drive: refused, and never written in place.
  EXPECT_EQ(component->preFileRestore(Node("c:\\LostHive")), hRC_Error);
  EXPECT_EQ(component->file_restore_method, VSS_RME_RESTORE_AT_REBOOT);
  EXPECT_THAT(job.JobMessages(JMSG_ERROR), Contains(HasSubstr("failed to find drive letter for \\Device\\Nowhere")));

  // The restored SYSTEM hive starts with control set 2; SOFTWARE's file never arrives.
  HKEY scratch;
  ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\i15a restored system", 0, nullptr, 0, KEY_ALL_ACCESS,
                            nullptr, &scratch, nullptr),
            ERROR_SUCCESS);
  DWORD two = 2;
  RegSetKeyValueW(scratch, L"Select", L"Current", REG_DWORD, &two, sizeof two);
  RegSetKeyValueW(scratch, L"ControlSet002\\Control\\Session Manager", L"Old", REG_SZ, L"x", 4);
  std::string system_restore = dir + "\\SYSTEM.restore";
  LONG saved_rc = RegSaveKeyA(scratch, system_restore.c_str(), nullptr);
  RegCloseKey(scratch);
  RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\i15a restored system");
  ASSERT_EQ(saved_rc, ERROR_SUCCESS);
  std::ofstream(system_restore + ".LOG") << "log";
  const wchar_t operations[] = L"\\??\\C:\\a.restore\0\\??\\C:\\a\0";
  WriteRegistryValue(HKEY_LOCAL_MACHINE, kSessionManager, L"PendingFileRenameOperations", REG_MULTI_SZ, operations,
                     sizeof operations);
  DWORD one = 1;
  WriteRegistryValue(HKEY_LOCAL_MACHINE, kSessionManager, L"AllowProtectedRenames", REG_DWORD, &one, sizeof one);

  auto restore_hives = [&] {
    ASSERT_EQ(component->preFileRestore(Node(dir + "\\SYSTEM")), hRC_OK);
    ASSERT_EQ(component->preFileRestore(Node(dir + "\\SOFTWARE")), hRC_OK);
    // The same hive again (a later segment): still one replacement.
    ASSERT_EQ(component->preFileRestore(Node(dir + "\\SOFTWARE")), hRC_OK);
  };
  restore_hives();
  job.ClearMessages();
  EXPECT_EQ(writer->postJobRestore(vssfs), hRC_OK);
  EXPECT_THAT(RecordedHiveReplacements(), IsEmpty());
  auto errors = job.JobMessages(JMSG_ERROR);
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_THAT(errors[0], HasSubstr("No registry hive replaced"));
  EXPECT_THAT(errors[0], HasSubstr("SOFTWARE (" + dir + "\\SOFTWARE.restore): the restored file is missing"));
  EXPECT_EQ(writer->persist->hive_info_head, nullptr);

  restore_hives();
  std::filesystem::copy_file(system_restore, dir + "\\SOFTWARE.restore");
  job.ClearMessages();
  EXPECT_EQ(writer->postJobRestore(vssfs), hRC_OK);
  EXPECT_THAT(job.JobMessages(JMSG_ERROR), IsEmpty());
  auto calls = RecordedHiveReplacements();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].subkey, "SOFTWARE");
  EXPECT_EQ(calls[1].subkey, "SYSTEM");
  EXPECT_EQ(calls[1].key, "HKEY_LOCAL_MACHINE");
  EXPECT_EQ(calls[1].new_file, system_restore);
  for (const auto& call : calls) EXPECT_EQ(call.result, ERROR_SUCCESS) << call.subkey;
  // The restored hive carries this restore's operations into the set it starts with.
  ASSERT_EQ(RegLoadKeyW(HKEY_LOCAL_MACHINE, L"i15a check", Widen(system_restore).c_str()), ERROR_SUCCESS);
  std::wstring restored_sm = L"i15a check\\ControlSet002\\Control\\Session Manager";
  DWORD type = 0;
  auto carried = ReadRegistryValue(HKEY_LOCAL_MACHINE, restored_sm.c_str(), L"PendingFileRenameOperations", &type);
  EXPECT_EQ(type, static_cast<DWORD>(REG_MULTI_SZ));
  EXPECT_EQ(carried, std::vector<BYTE>(reinterpret_cast<const BYTE*>(operations),
                                       reinterpret_cast<const BYTE*>(operations) + sizeof operations));
  EXPECT_EQ(ReadRegistryValue(HKEY_LOCAL_MACHINE, restored_sm.c_str(), L"AllowProtectedRenames").size(), 4u);
  RegUnLoadKeyW(HKEY_LOCAL_MACHINE, L"i15a check");
  EXPECT_TRUE(std::filesystem::exists(system_restore));
  EXPECT_FALSE(std::filesystem::exists(system_restore + ".LOG"));
  ClearRecordedHiveReplacements();
  SetHivePrivileges(false);
}

// comregdb.bak first, then the numbered files out of order; the catalog gets the backup file.
TEST_F(SystemStateHandlers, ComPlusDatabaseCopiesKeepTheirOwnSlotsAndTheBackupFileWins) {
  std::string working = dir + "\\working";
  std::filesystem::create_directories(working);
  job.SetString(hVarWorkingDir, working.c_str());
  std::wstring record = Widen(dir + "\\catalog.txt");
  ASSERT_EQ(RegisterComCatalogStandIn(ComCatalogStandInPath(), record), ERROR_SUCCESS);
  auto* writer = static_cast<vssapi_writer_complusregdb_t*>(vssapi_writer_complusregdb_factory(ctx, nullptr, nullptr));
  auto* component = Make<vssapi_component_complusregdb_t>(writer, L"COM+ REGDB", VSS_RME_RESTORE_IF_CAN_REPLACE);
  ASSERT_NE(component, nullptr);
  auto restore = [&](const char* name) {
    EXPECT_EQ(component->preFileRestore(Node(std::string("c:\\windows\\registration\\") + name)), hRC_OK);
    std::ofstream(node->filename) << name;  // what the file node writes
    return std::string(node->filename);
  };
  EXPECT_EQ(restore("comregdb.bak"), working + "\\comregdb.bak.restore");
  EXPECT_EQ(restore("r000000000001.clb"), working + "\\r000000000001.clb.restore");
  EXPECT_EQ(restore("r000000000003.clb"), working + "\\r000000000003.clb.restore");
  EXPECT_FALSE(std::filesystem::exists(working + "\\r000000000001.clb.restore"));
  EXPECT_EQ(restore("r000000000002.clb"), "c:\\windows\\registration\\r000000000002.clb");
  EXPECT_EQ(restore("R000000000004.CLB"), "c:\\windows\\registration\\R000000000004.CLB");
  std::filesystem::remove("c:\\windows\\registration\\r000000000002.clb");
  std::filesystem::remove("c:\\windows\\registration\\R000000000004.CLB");

  EXPECT_EQ(writer->postJobRestore(vssfs), hRC_OK);
  auto calls = ReadComCatalogRecord(record);
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(Narrow(calls[0].file), working + "\\comregdb.bak.restore");
  EXPECT_EQ(calls[0].size, 12);
  EXPECT_FALSE(std::filesystem::exists(working + "\\comregdb.bak.restore"));
  EXPECT_FALSE(std::filesystem::exists(working + "\\r000000000003.clb.restore"));
  EXPECT_EQ(writer->postJobRestore(vssfs), hRC_OK);  // nothing taken: nothing handed over
  EXPECT_EQ(ReadComCatalogRecord(record).size(), 1u);

  // No catalog: an error naming the copy, which stays for the operator.
  EXPECT_EQ(UnregisterComCatalogStandIn(), ERROR_SUCCESS);
  restore("r000000000005.clb");
  EXPECT_EQ(writer->postJobRestore(vssfs), hRC_OK);
  EXPECT_THAT(job.JobMessages(JMSG_ERROR),
              Contains(HasSubstr("its copy is kept as " + working + "\\r000000000005.clb.restore")));
  EXPECT_TRUE(std::filesystem::exists(working + "\\r000000000005.clb.restore"));
  std::filesystem::remove(working + "\\r000000000005.clb.restore");
}

}  // namespace
