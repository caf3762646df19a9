// A system state restore of the 2008 R2 machine through the bench host: registry hives swapped
// at the simulated start, the COM+ database handed to the catalog, the kernel written in place,
// and a hive check that fails leaving every hive alone.
#include "com_catalog_control.h"
#include "layout_generation.h"
#include "machine.h"
#include "reboot.h"
#include "registry_replace_recorder.h"
#include "test_services.h"
#include "test_support.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

namespace {

const wchar_t kSessionManager[] = L"SYSTEM\\CurrentControlSet\\Control\\Session Manager";
const wchar_t kRestoreIdKey[] = L"SYSTEM\\CurrentControlSet\\Control\\BackupRestore\\SystemStateRestore";


std::vector<BYTE> Value(HKEY root, const std::wstring& key, const wchar_t* name) {
  DWORD size = 0;
  if (RegGetValueW(root, key.c_str(), name, RRF_RT_ANY, nullptr, nullptr, &size) != ERROR_SUCCESS) return {};
  std::vector<BYTE> data(size);
  RegGetValueW(root, key.c_str(), name, RRF_RT_ANY, nullptr, data.data(), &size);
  data.resize(size);
  return data;
}

// One machine of each generation: 2003 also restores the service accounts' user hives.
struct Generation {
  const char* machine;
  std::vector<std::string> hives;  // what RegReplaceKeyA is asked to replace
  const char* newest_database;     // the COM+ file handed to the catalog
};

const Generation kGenerations[] = {
    {"server2003.xml",
     {"HKEY_LOCAL_MACHINE\\SAM", "HKEY_LOCAL_MACHINE\\SECURITY", "HKEY_LOCAL_MACHINE\\SOFTWARE",
      "HKEY_LOCAL_MACHINE\\SYSTEM", "HKEY_USERS\\.DEFAULT", "HKEY_USERS\\S-1-5-19", "HKEY_USERS\\S-1-5-20"},
     "r000000000007.clb"},
    {"server2008r2.xml",
     {"HKEY_LOCAL_MACHINE\\SAM", "HKEY_LOCAL_MACHINE\\SECURITY", "HKEY_LOCAL_MACHINE\\SOFTWARE",
      "HKEY_LOCAL_MACHINE\\SYSTEM", "HKEY_USERS\\.DEFAULT"},
     "r000000000012.clb"},
};

class SystemStateRestore : public ::testing::TestWithParam<Generation> {
 protected:
  void SetUp() override {
    for (const char* dll : {"snaptree-fd.dll", "simvss.dll", "simcomcatalog.dll"}) {
      if (GetFileAttributesA(dll) == INVALID_FILE_ATTRIBUTES) GTEST_SKIP() << dll << " is not built";
    }
    ASSERT_TRUE(SetHivePrivileges(true));
    ClearRebootValues();
    root_ = scratch_.path() + "\\root";
    SetEnvironmentVariableA("SIMVSS_ROOT", root_.c_str());
    machine_file_ = std::string(MACHINES_FOLDER) + "\\" + GetParam().machine;
    std::wstring error;
    ASSERT_EQ(LoadMachine(Wide(machine_file_).c_str(), &machine_, &error), S_OK);
    LayoutCounts counts;
    ASSERT_EQ(LayOutGeneration(machine_, 0, &counts, &error), S_OK);
    ASSERT_EQ(RegisterComCatalogStandIn(ComCatalogStandInPath(), Wide(catalog_record_)), ERROR_SUCCESS);
  }
  void TearDown() override {
    RemoveMachineHiveList(machine_, nullptr);
    UnregisterComCatalogStandIn();
    ClearRebootValues();
    RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, kRestoreIdKey, L"LastRestoreID");
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, kRestoreIdKey);
    SetEnvironmentVariableA("SIMVSS_ROOT", nullptr);
    SetHivePrivileges(false);
  }
  static void ClearRebootValues() {
    RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, kSessionManager, L"PendingFileRenameOperations");
    RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, kSessionManager, L"AllowProtectedRenames");
  }
  HostsimRun Hostsim(const char* action, std::vector<std::string> extra) {
    std::vector<std::string> args = {action, "--machine", machine_file_, "--archive", scratch_.path()};
    args.insert(args.end(), extra.begin(), extra.end());
    return RunHostsimCaptured(args);
  }
  std::string Live(const std::string& rel) const { return root_ + "\\" + rel; }

  ScratchArchive scratch_{std::string("system-state-") + GetParam().machine};
  std::string root_;
  std::string catalog_record_ = scratch_.path() + "\\catalog.txt";
  std::string machine_file_;
  Machine machine_;
};

TEST_P(SystemStateRestore, HivesCatalogAndKernelComeBackAndAFailedHiveCheckReplacesNothing) {
  HostsimRun run = Hostsim("backup", {"--level", "F", "--command", "vss:/@SYSTEMSTATE/"});
  ASSERT_EQ(run.status, 0) << run.out;
  const std::string config = Live("Windows\\System32\\config\\");
  const auto kernel_size = std::filesystem::file_size(Live("Windows\\System32\\ntoskrnl.exe"));
  // svchost.exe: 2008 R2's mandatory "Win32 Services Files", restored by the writer's method.
  for (const char* changed : {"Windows\\System32\\ntoskrnl.exe", "Windows\\System32\\config\\SYSTEM",
                              "Windows\\System32\\config\\SOFTWARE", "Windows\\System32\\svchost.exe"})
    if (std::filesystem::exists(Live(changed))) std::ofstream(Live(changed), std::ios::binary) << "changed";

  std::string record = scratch_.path() + "\\hives.txt";
  run = Hostsim("restore", {"--hive-record", record});
  EXPECT_EQ(run.status, 0) << run.out;
  EXPECT_THAT(run.LastLine(), HasSubstr("live_blocks=0"));

  // Each loaded hive of the Registry Writer once, from its file beside the live one.
  auto calls = ReadHiveReplacementRecord(record.c_str());
  std::set<std::string> replaced;
  for (const auto& call : calls) {
    EXPECT_EQ(call.result, ERROR_SUCCESS) << call.subkey;
    EXPECT_EQ(Lower(call.new_file), Lower(call.hive_file + ".restore"));
    EXPECT_TRUE(replaced.insert(call.key + "\\" + call.subkey).second) << call.subkey;
  }
  EXPECT_EQ(std::vector<std::string>(replaced.begin(), replaced.end()), GetParam().hives);

  // The restored SYSTEM hive holds this restore's reboot-time operations and restore id.
  auto pending = Value(HKEY_LOCAL_MACHINE, kSessionManager, L"PendingFileRenameOperations");
  auto restore_id = Value(HKEY_LOCAL_MACHINE, kRestoreIdKey, L"LastRestoreID");
  EXPECT_FALSE(pending.empty());
  EXPECT_FALSE(restore_id.empty());
  ASSERT_EQ(RegLoadKeyW(HKEY_LOCAL_MACHINE, L"i15a restored", Wide(config + "SYSTEM.restore").c_str()),
            ERROR_SUCCESS);
  EXPECT_EQ(Value(HKEY_LOCAL_MACHINE, L"i15a restored\\ControlSet001\\Control\\Session Manager",
                  L"PendingFileRenameOperations"),
            pending);
  EXPECT_EQ(Value(HKEY_LOCAL_MACHINE, L"i15a restored\\ControlSet001\\Control\\BackupRestore\\SystemStateRestore",
                  L"LastRestoreID"),
            restore_id);
  RegUnLoadKeyW(HKEY_LOCAL_MACHINE, L"i15a restored");

  // COM+: the newest database file, copied aside, handed over once and removed.
  auto catalog = ReadComCatalogRecord(Wide(catalog_record_));
  ASSERT_EQ(catalog.size(), 1u);
  EXPECT_EQ(Lower(std::string(catalog[0].file.begin(), catalog[0].file.end())),
            Lower(scratch_.Working(std::string(GetParam().newest_database) + ".restore")));
  EXPECT_EQ(catalog[0].size, 3100);
  EXPECT_FALSE(std::filesystem::exists(scratch_.Working(std::string(GetParam().newest_database) + ".restore")));
  // The kernel in place, no reboot copy.
  EXPECT_EQ(std::filesystem::file_size(Live("Windows\\System32\\ntoskrnl.exe")), kernel_size);
  EXPECT_FALSE(std::filesystem::exists(Live("Windows\\System32\\ntoskrnl.exe.restore")));

  // The start: file operations, then the hive swaps; everything is the backup's again.
  std::wostringstream out;
  EXPECT_EQ(RunReboot(&machine_, out), 0);
  EXPECT_EQ(RunHiveReplacements(Wide(record), out), 0) << std::string(out.str().begin(), out.str().end());
  VerifyReport report;
  EXPECT_EQ(VerifyGeneration(machine_, 0, Wide(root_), &report), S_OK);
  std::vector<std::string> differences;
  for (const auto& line : report.differences) {
    std::string text(line.begin(), line.end());
    bool leftover = text.compare(0, 7, "extra: ") == 0 &&
                    (text.find(".restore") != std::string::npos || text.find(".backup") != std::string::npos);
    if (!leftover) differences.push_back(Lower(text));
  }
  // SYSTEM is the backup's plus the values carried in for the start after the restore.
  EXPECT_THAT(differences, ElementsAre(Lower("different: " + config + "SYSTEM (other registry content)")));

  // A restored hive that cannot be written: no hive is swapped, and the error names it.
  ClearRebootValues();
  std::filesystem::remove(config + "SOFTWARE.restore");
  std::filesystem::create_directories(config + "SOFTWARE.restore\\in the way");
  std::string second = scratch_.path() + "\\hives-2.txt";
  run = Hostsim("restore", {"--hive-record", second});
  EXPECT_EQ(run.status, 1);
  EXPECT_THAT(run.out, HasSubstr("ERROR: No registry hive replaced, the restored files stay beside the live ones: "
                                 "SOFTWARE ("));
  EXPECT_THAT(ReadHiveReplacementRecord(second.c_str()), IsEmpty());
}

INSTANTIATE_TEST_SUITE_P(Machines, SystemStateRestore, ::testing::ValuesIn(kGenerations),
                         [](const ::testing::TestParamInfo<Generation>& info) {
                           return std::string(info.param.machine).substr(0, 10);
                         });

}  // namespace


namespace {

// The handlers' services running (NtFrs as a dependent of DFSR) for one test, and gone after it;
// the plug-in loaded first, so the bench host's module has the dependents reporter in place.
struct RunningHandlerServices {
  RunningHandlerServices() {
    RemoveHandlerServices();
    ok = InstallHandlerServices() == ERROR_SUCCESS && StartTestService("DFSR") == ERROR_SUCCESS &&
         StartTestService("NtFrs") == ERROR_SUCCESS;
    DeclareServiceDependents("DFSR", {"NtFrs"});
    real_enum = InstallDependentsReporter(plugin);
  }
  ~RunningHandlerServices() {
    RemoveDependentsReporter(plugin, real_enum);
    FreeLibrary(plugin);
    ClearServiceDependents();
    RemoveHandlerServices();  // with the values the handlers wrote below the services' keys
  }
  bool ok = false;
  HMODULE plugin = LoadLibraryA("snaptree-fd.dll");
  void* real_enum = nullptr;
};

// A restore that fails before its end and one cancelled inside the DFSR writer's data: the
// instance frees all the handlers kept, no hive is swapped, the COM+ copy is gone and the
// replication services run again with their flag written.
TEST_P(SystemStateRestore, AFailedAndACancelledRestoreLeaveNothingStoppedLiveOrSwapped) {
  ASSERT_TRUE(OneServiceManager());
  RunningHandlerServices services;
  ASSERT_TRUE(services.ok);
  ASSERT_EQ(Hostsim("backup", {"--level", "F", "--command", "vss:/@SYSTEMSTATE/"}).status, 0);
  // The cancel comes after the first file of the DFSR writer (of the last writer on 2003, which has
  // none): past the registry and COM+.
  int entries = 0, cancel_after = 0;
  for (const auto& line : RunHostsimCaptured({"list", "--archive", scratch_.path()}).Lines()) {
    if (line.compare(0, 8, "  entry ") == 0 && ++entries && !cancel_after &&
        (line.find("SYSVOL_DFSR") != std::string::npos || line.find("/Licensing") != std::string::npos))
      cancel_after = entries;
  }
  ASSERT_GT(cancel_after, 0);
  std::ifstream in(machine_file_);
  const std::string xml((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  in.close();
  const bool dfsr = xml.find("service=\"DFSR\"") != std::string::npos;
  const char kSysvolKey[] = "SYSTEM\\CurrentControlSet\\Services\\DFSR\\Restore";

  for (bool cancel : {false, true}) {
    SCOPED_TRACE(cancel ? "cancelled" : "failed");
    // A PreRestore that never ends makes the service refuse PostRestore: the job never reaches its
    // end actions (the virtual clock takes the plug-in's wait for it).
    std::ofstream(machine_file_, std::ios::binary)
        << (cancel ? xml : std::regex_replace(xml, std::regex("</machine>"),
                                              "<operation name=\"PreRestore\" result=\"never\"/></machine>"));
    ClearRebootValues();
    RegDeleteKeyValueA(HKEY_LOCAL_MACHINE, kSysvolKey, "SYSVOL");
    std::string record = scratch_.path() + (cancel ? "\\hives-cancel.txt" : "\\hives-fail.txt");
    std::vector<std::string> args = {"--debug", "50", "--hive-record", record, "--virtual-time"};
    if (cancel) {
      args.back() = "--cancel-after";
      args.push_back(std::to_string(cancel_after));
    }
    HostsimRun run = Hostsim("restore", args);
    EXPECT_EQ(run.status, 1) << run.out;  // the hives' error
    EXPECT_THAT(run.out, ::testing::Not(HasSubstr("contract violation")));
    EXPECT_THAT(run.LastLine(), HasSubstr("live_blocks=0"));
    EXPECT_THAT(run.out, HasSubstr("ERROR: No registry hive replaced, the restored files stay beside the live ones: "));
    EXPECT_THAT(Lower(run.out), HasSubstr(Lower("SYSTEM (" + Live("Windows\\System32\\config\\SYSTEM.restore): ")) +
                                          (cancel ? "the restore was cancelled" : "the restore did not reach its end")));
    if (!cancel) {
      EXPECT_THAT(run.out, HasSubstr("WARNING: The COM+ registration database was not restored"));
      EXPECT_THAT(run.out, HasSubstr("ERROR: PreRestore did not complete (status 0x00042309)"));
    }
    EXPECT_THAT(ReadHiveReplacementRecord(record.c_str()), IsEmpty());
    for (const auto& file : std::filesystem::directory_iterator(scratch_.Working()))
      EXPECT_NE(file.path().extension(), ".restore") << file.path();  // no COM+ copy left
    HKEY mounted = nullptr;
    EXPECT_NE(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"harbek_SYSTEM", 0, KEY_READ, &mounted), ERROR_SUCCESS);
    for (const char* name : {"DFSR", "NtFrs"}) EXPECT_EQ(TestServiceState(name), DWORD{SERVICE_RUNNING}) << name;
    if (!dfsr) continue;
    EXPECT_THAT(run.err, HasSubstr("dependant service NtFrs"));
    char flag[32] = {};
    DWORD size = sizeof(flag);
    RegGetValueA(HKEY_LOCAL_MACHINE, kSysvolKey, "SYSVOL", RRF_RT_REG_SZ, nullptr, flag, &size);
    EXPECT_STREQ(flag, "non-authoritative");
  }
}

}  // namespace
