// The writer handlers in whole jobs: a full and a differential backup through the bench host,
// then a restore of the chain with the services the handlers stop running in Wine's service
// control manager.
#include "layout_generation.h"
#include "machine.h"
#include "test_services.h"
#include "test_support.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

using ::testing::Contains;
using ::testing::HasSubstr;
using ::testing::Not;

namespace {

std::string Contents(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream data;
  data << in.rdbuf();
  return data.str();
}

class ApplicationHandlers : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* dll : {"snaptree-fd.dll", "simvss.dll"})
      if (GetFileAttributesA(dll) == INVALID_FILE_ATTRIBUTES) GTEST_SKIP() << dll << " is not built";
    ASSERT_TRUE(OneServiceManager()) << "this Wine prefix runs two service control managers";
    root_ = scratch_.path() + "\\root";
    SetEnvironmentVariableA("SIMVSS_ROOT", root_.c_str());
    std::wstring machine_file = std::filesystem::path(HANDLERS_MACHINE).wstring(), error;
    ASSERT_EQ(LoadMachine(machine_file.c_str(), &machine_, &error), S_OK);
    LayoutCounts counts;
    ASSERT_EQ(LayOutGeneration(machine_, 0, &counts, &error), S_OK);
    RemoveHandlerServices();
    ASSERT_EQ(InstallHandlerServices(), static_cast<DWORD>(ERROR_SUCCESS));
    RemoveTestService(kDhcp);
    ASSERT_EQ(InstallTestService(kDhcp), static_cast<DWORD>(ERROR_SUCCESS));
    // The plug-in stays loaded between the jobs so that its dependents reporter stays in place.
    plugin_ = LoadLibraryA("snaptree-fd.dll");
    ClearServiceDependents();
    real_enum_ = InstallDependentsReporter(plugin_);
  }
  void TearDown() override {
    if (plugin_) {
      RemoveDependentsReporter(plugin_, real_enum_);
      FreeLibrary(plugin_);
    }
    ClearServiceDependents();
    RemoveHandlerServices();
    RemoveTestService(kDhcp);
    // The restore's id goes to a key the prefix does not have otherwise.
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Control\\BackupRestore\\SystemStateRestore");
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Control\\BackupRestore");
    SetEnvironmentVariableA("SIMVSS_ROOT", nullptr);
  }
  HostsimRun Hostsim(const char* action, std::vector<std::string> extra) {
    std::vector<std::string> args = {action, "--machine", HANDLERS_MACHINE, "--archive", scratch_.path()};
    args.insert(args.end(), extra.begin(), extra.end());
    return RunHostsimCaptured(args);
  }
  HostsimRun Backup(const char* level) {
    return Hostsim("backup", {"--level", level, "--accurate", "--debug", "50", "--command", "vss:/@SYSTEMSTATE/", "--command",
                              "vss:/@MSSQL/", "--command", "vss:/@SHAREPOINT/"});
  }
  std::string Live(const std::string& rel) const { return root_ + "\\" + rel; }
  // The service of a writer without a handler whose restore method stops and starts it.
  static constexpr const char* kDhcp = "DHCPServer";
  // Where `text` first stands in the debug log after `from`; npos when it is not there.
  static size_t At(const HostsimRun& run, const std::string& text, size_t from = 0) { return run.err.find(text, from); }

  ScratchArchive scratch_{::testing::UnitTest::GetInstance()->current_test_info()->name()};
  std::string root_;
  Machine machine_;
  HMODULE plugin_ = nullptr;
  void* real_enum_ = nullptr;
};

TEST_F(ApplicationHandlers, ServicesStopAroundTheirDataAndTheSqlSystemDatabaseStaysOutOfDifferentialsAndRestores) {
  HostsimRun full = Backup("F");
  ASSERT_EQ(full.status, 0) << full.out;
  EXPECT_THAT(RunHostsimCaptured({"list", "--archive", scratch_.path(), "--jobs", "1"}).out, HasSubstr("master.mdf"));
  std::ofstream(Live("SQL\\Sales.mdf"), std::ios::binary | std::ios::app) << "changed";
  std::ofstream(Live("SQL\\master.mdf"), std::ios::binary | std::ios::app) << "changed";
  HostsimRun differential = Backup("D");
  ASSERT_EQ(differential.status, 0) << differential.out;
  HostsimRun listed = RunHostsimCaptured({"list", "--archive", scratch_.path(), "--jobs", "2"});
  EXPECT_THAT(listed.Lines(), Contains(HasSubstr("/HANDLERS01/Sales/")));
  for (const auto& line : listed.Lines()) {
    if (line.compare(0, 8, "  entry ") != 0) continue;
    EXPECT_THAT(line, Not(HasSubstr("/HANDLERS01/master/")));
  }

  // Damage, with the services running and one dependent of DFSR.
  std::string sales = Contents(Live("SQL\\Sales.mdf")), sysvol = Contents(Live("SYSVOL\\domain\\scripts\\logon.cmd"));
  std::string master = Contents(Live("SQL\\master.mdf"));
  std::ofstream(Live("SQL\\Sales.mdf"), std::ios::binary) << "lost";
  std::ofstream(Live("SQL\\master.mdf"), std::ios::binary) << "lost";
  std::ofstream(Live("SYSVOL\\domain\\scripts\\logon.cmd"), std::ios::binary) << "lost";
  std::string dhcp = Contents(Live("dhcp\\dhcp.mdb"));
  std::ofstream(Live("dhcp\\dhcp.mdb"), std::ios::binary) << "lost";
  for (const char* name : {"DFSR", "SPAdmin", "SPSearch", "SPTimerV3", "IISADMIN", "NtFrs", kDhcp})
    ASSERT_EQ(StartTestService(name), static_cast<DWORD>(ERROR_SUCCESS)) << name;
  DeclareServiceDependents("DFSR", {"NtFrs"});

  HostsimRun restore = Hostsim("restore", {"--debug", "90"});
  EXPECT_EQ(restore.status, 0) << restore.out;
  EXPECT_THAT(restore.out, Not(HasSubstr("FATAL")));
  EXPECT_THAT(restore.LastLine(), HasSubstr("live_blocks=0"));
  auto lines = restore.Lines();
  EXPECT_THAT(lines, Contains("INFO: Component master of writer \"SqlServerWriter\" is not restored: its entries are "
                              "skipped."));
  EXPECT_EQ(Contents(Live("SQL\\Sales.mdf")), sales);
  EXPECT_EQ(Contents(Live("SQL\\master.mdf")), "lost");
  EXPECT_EQ(Contents(Live("SYSVOL\\domain\\scripts\\logon.cmd")), sysvol);
  EXPECT_NE(master, "lost");
  EXPECT_EQ(Contents(Live("dhcp\\dhcp.mdb")), dhcp);
  // Both writers ask for their service to be stopped around the restore: DFSR's handler does it,
  // the plug-in does it for the writer without a handler.
  EXPECT_THAT(restore.out, Not(HasSubstr("Don't know how")));
  size_t dhcp_stop = At(restore, "stopService(DHCPServer)"), dhcp_file = At(restore, "dhcp.mdb", dhcp_stop);
  EXPECT_NE(dhcp_file, std::string::npos);
  EXPECT_NE(At(restore, "starting DHCPServer", dhcp_file), std::string::npos);

  // DFSR and its dependent stop before the writer's files and start after them.
  size_t stop = At(restore, "stopService(DFSR)"), file = At(restore, "logon.cmd", stop);
  size_t started = At(restore, "starting DFSR", file);
  EXPECT_LT(At(restore, "dependant service NtFrs"), file);
  EXPECT_NE(stop, std::string::npos);
  EXPECT_NE(file, std::string::npos);
  EXPECT_NE(started, std::string::npos);
  EXPECT_LT(At(restore, "starting NtFrs", file), started);
  EXPECT_LT(At(restore, "writer service DFSR not running", stop), started);
  // SharePoint's four in order before its element's data, started in reverse after it.
  size_t previous = 0;
  for (const char* name : {"SPAdmin", "SPSearch", "SPTimerV3", "IISADMIN"}) {
    size_t at = At(restore, std::string("stopService(") + name + ")", previous);
    EXPECT_NE(at, std::string::npos) << name;
    previous = at;
  }
  size_t content = At(restore, "content.dat", previous);
  EXPECT_NE(content, std::string::npos);
  previous = content;
  for (const char* name : {"IISADMIN", "SPTimerV3", "SPSearch", "SPAdmin"}) {
    size_t at = At(restore, std::string("starting ") + name, previous);
    EXPECT_NE(at, std::string::npos) << name;
    previous = at;
  }
  for (const char* name : {"DFSR", "NtFrs", "SPAdmin", "SPSearch", "SPTimerV3", "IISADMIN", kDhcp})
    EXPECT_EQ(TestServiceState(name), static_cast<DWORD>(SERVICE_RUNNING)) << name;
  char sysvol_flag[32] = {};
  DWORD size = sizeof(sysvol_flag);
  EXPECT_EQ(RegGetValueA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Services\\DFSR\\Restore", "SYSVOL",
                         RRF_RT_REG_SZ, nullptr, sysvol_flag, &size),
            ERROR_SUCCESS);
  EXPECT_STREQ(sysvol_flag, "non-authoritative");
}

}  // namespace
