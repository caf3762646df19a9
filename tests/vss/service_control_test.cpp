// Stopping and starting real services of Wine's service control manager, with dependents
// reported by a replacement of the one call Wine leaves empty.
#include "plugin_fixture.h"

#include "../../plugin/vss/vss_utility.h"
#include "../../sim/host/patch/import_patch.h"

#include <gmock/gmock.h>

#include <tlhelp32.h>

using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

// Services named here are reported as the dependents of whatever service is asked about.
std::vector<std::string> g_dependents;
// The test's own manager connection: a prefix may run two service control managers, and only
// the one that created the test services knows them.
SC_HANDLE g_manager;
DWORD g_enum_error;         // fail the first call with this error
DWORD g_enum_second_error;  // fail the call that has the buffer with this error

BOOL WINAPI reported_dependents(SC_HANDLE, DWORD, ENUM_SERVICE_STATUSA* services, DWORD size, DWORD* needed,
                                DWORD* count) {
  *count = 0;
  if (g_enum_error) {
    SetLastError(g_enum_error);
    return FALSE;
  }
  DWORD bytes = static_cast<DWORD>(g_dependents.size() * sizeof(ENUM_SERVICE_STATUSA));
  for (const std::string& name : g_dependents) bytes += static_cast<DWORD>(name.size() + 1);
  *needed = g_dependents.empty() ? 0 : bytes;
  if (size < bytes) {
    SetLastError(ERROR_MORE_DATA);
    return FALSE;
  }
  if (g_enum_second_error) {
    SetLastError(g_enum_second_error);
    return FALSE;
  }
  char* strings = reinterpret_cast<char*>(services + g_dependents.size());
  for (const std::string& name : g_dependents) {
    ENUM_SERVICE_STATUSA& entry = services[(*count)++];
    strcpy(strings, name.c_str());
    entry.lpServiceName = entry.lpDisplayName = strings;
    strings += name.size() + 1;
    entry.ServiceStatus = SERVICE_STATUS{};
    entry.ServiceStatus.dwCurrentState = SERVICE_STOPPED;
    SC_HANDLE service = OpenServiceA(g_manager, name.c_str(), SERVICE_QUERY_STATUS);
    if (service) {
      QueryServiceStatus(service, &entry.ServiceStatus);
      CloseServiceHandle(service);
    }
  }
  return TRUE;
}

// A prefix started with "wineboot -i" under a persistent server runs two service control
// managers; a service created through one is unknown to the other, so the test services could
// not register themselves and every start would wait out its time-out.
bool OneServiceManager() {
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return true;
  int managers = 0;
  PROCESSENTRY32 entry;
  entry.dwSize = sizeof(entry);
  for (BOOL more = Process32First(snapshot, &entry); more; more = Process32Next(snapshot, &entry)) {
    if (lstrcmpiA(entry.szExeFile, "services.exe") == 0) ++managers;
  }
  CloseHandle(snapshot);
  return managers <= 1;
}

class ServiceControl : public ::testing::Test {
 protected:
  void SetUp() override {
    hfuncs = TestHost::HostFuncs();
    job.ctx.hContext = &job;
    blocks_before_ = harbek_live_blocks_matching("/plugin/");
    service_poll_interval_ms = 20;
    manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    ASSERT_NE(manager, nullptr);
    g_manager = manager;
    initServiceList(&list);
    ASSERT_TRUE(OneServiceManager())
        << "this Wine prefix runs two service control managers; start it with \"wine wineboot\"";
  }

  void TearDown() override {
    // Whatever a failed test left on the list is released the way startService would.
    for (auto* entry = static_cast<service_list_entry_t*>(list); entry;) {
      auto* next = entry->next;
      CloseServiceHandle(entry->service_handle);
      HFREE(entry->service_name);
      delete entry;
      entry = next;
    }
    for (const std::string& name : created_) Remove(name);
    if (manager) CloseServiceHandle(manager);
    service_poll_interval_ms = 1000;
    service_poll_limit = 300;
    EXPECT_EQ(harbek_live_blocks_matching("/plugin/"), blocks_before_);
  }

  std::string Create(const std::string& options = "") {
    static int serial;
    std::string name =
        "snaptree_test_" + std::to_string(GetCurrentProcessId()) + "_" + std::to_string(++serial);
    char exe[MAX_PATH];
    GetModuleFileNameA(nullptr, exe, sizeof(exe));
    std::string path(exe);
    path = "\"" + path.substr(0, path.find_last_of('\\') + 1) + "snaptree_test_service.exe\" name=" + name + " " + options;
    SC_HANDLE service = CreateServiceA(manager, name.c_str(), name.c_str(), SERVICE_ALL_ACCESS,
                                       SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_IGNORE,
                                       path.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr);
    EXPECT_NE(service, nullptr) << "CreateService " << GetLastError();
    if (service) {
      CloseServiceHandle(service);
      created_.push_back(name);
    }
    return name;
  }

  DWORD State(const std::string& name) {
    SC_HANDLE service = OpenServiceA(manager, name.c_str(), SERVICE_QUERY_STATUS);
    SERVICE_STATUS status{};
    if (!service || !QueryServiceStatus(service, &status)) status.dwCurrentState = 0;
    if (service) CloseServiceHandle(service);
    return status.dwCurrentState;
  }

  bool WaitFor(const std::string& name, DWORD state) {
    for (int i = 0; i < 500; ++i) {
      if (State(name) == state) return true;
      Sleep(20);
    }
    return false;
  }

  void Run(const std::string& name) {
    SC_HANDLE service = OpenServiceA(manager, name.c_str(), SERVICE_START);
    ASSERT_NE(service, nullptr);
    EXPECT_TRUE(StartServiceA(service, 0, nullptr)) << GetLastError();
    CloseServiceHandle(service);
    ASSERT_TRUE(WaitFor(name, SERVICE_RUNNING)) << name;
  }

  std::vector<std::string> Listed() const {
    std::vector<std::string> names;
    for (auto* entry = static_cast<service_list_entry_t*>(list); entry; entry = entry->next)
      names.push_back(entry->service_name);
    return names;
  }

  std::vector<std::string> Lines(const char* prefix) const {
    std::vector<std::string> out;
    for (const std::string& line : job.DebugMessages(50))
      if (line.compare(0, strlen(prefix), prefix) == 0) out.push_back(line);
    return out;
  }

  hRC Stop(const std::string& name) { return stopService(&job.ctx, manager, const_cast<char*>(name.c_str()), &list); }
  hRC StartAll() { return startService(&job.ctx, manager, &list); }

  TestJob job;
  SC_HANDLE manager = nullptr;
  void* list = nullptr;

 private:
  void Remove(const std::string& name) {
    SC_HANDLE service = OpenServiceA(manager, name.c_str(), SERVICE_ALL_ACCESS);
    if (!service) return;
    SERVICE_STATUS status;
    ControlService(service, SERVICE_CONTROL_STOP, &status);
    WaitFor(name, SERVICE_STOPPED);
    DeleteService(service);
    CloseServiceHandle(service);
  }

  size_t blocks_before_ = 0;
  std::vector<std::string> created_;
};

TEST_F(ServiceControl, ServiceThatIsNotInstalledIsNoError) {
  EXPECT_EQ(Stop("snaptree_no_such_service"), hRC_OK);
  EXPECT_EQ(list, nullptr);
  EXPECT_THAT(Lines("failed to open"), ElementsAre("failed to open snaptree_no_such_service service\n"));
  EXPECT_THAT(job.JobMessages(), IsEmpty());
}

TEST_F(ServiceControl, RunningServiceIsStoppedListedAndStartedAgain) {
  std::string name = Create();
  Run(name);
  EXPECT_EQ(Stop(name), hRC_OK);
  EXPECT_EQ(State(name), static_cast<DWORD>(SERVICE_STOPPED));
  EXPECT_THAT(Listed(), ElementsAre(name));
  EXPECT_THAT(Lines("No dependant"), ElementsAre("No dependant services\n"));
  EXPECT_THAT(Lines("service stopped"), ElementsAre("service stopped\n"));

  EXPECT_EQ(StartAll(), hRC_OK);
  EXPECT_EQ(list, nullptr);
  EXPECT_EQ(State(name), static_cast<DWORD>(SERVICE_RUNNING));
  EXPECT_THAT(Lines("starting"), ElementsAre("starting " + name + "\n"));
  EXPECT_THAT(job.JobMessages(), IsEmpty());
}

TEST_F(ServiceControl, StoppedServiceIsListedAndRunsAfterTheRestore) {
  std::string name = Create();
  EXPECT_EQ(Stop(name), hRC_OK);
  EXPECT_THAT(Listed(), ElementsAre(name));
  EXPECT_EQ(StartAll(), hRC_OK);
  EXPECT_EQ(State(name), static_cast<DWORD>(SERVICE_RUNNING));
  EXPECT_THAT(job.JobMessages(), IsEmpty());
}

TEST_F(ServiceControl, StartServiceOfAnEmptyListSendsNothing) {
  EXPECT_EQ(StartAll(), hRC_OK);
  EXPECT_THAT(job.JobMessages(), IsEmpty());
}

TEST_F(ServiceControl, SlowServicesAreWaitedFor) {
  std::string name = Create("start-delay=300 stop-delay=300");
  Run(name);
  EXPECT_EQ(Stop(name), hRC_OK);
  EXPECT_EQ(State(name), static_cast<DWORD>(SERVICE_STOPPED));
  EXPECT_THAT(Lines("waiting for 20 ms for service to stop\n"), testing::Not(IsEmpty()));
  EXPECT_EQ(StartAll(), hRC_OK);
  EXPECT_EQ(State(name), static_cast<DWORD>(SERVICE_RUNNING));
  EXPECT_THAT(job.JobMessages(), IsEmpty());
}

TEST_F(ServiceControl, ServiceThatDoesNotStopInTimeIsAFatalErrorAndStaysListed) {
  std::string name = Create("stop-delay=3000");
  Run(name);
  service_poll_limit = 5;
  EXPECT_EQ(stopSingleService(&job.ctx, manager, nullptr), hRC_Error);  // no handle: the stop call fails
  EXPECT_THAT(job.JobMessages(JMSG_FATAL), ElementsAre("failed to stop the service\n"));
  job.ClearMessages();
  EXPECT_EQ(Stop(name), hRC_OK);  // its own failure is not passed on
  EXPECT_THAT(job.JobMessages(JMSG_FATAL), ElementsAre("timeout waiting for service to stop\n"));
  EXPECT_THAT(Lines("waiting for 20 ms for service to stop\n"), testing::SizeIs(5));
  EXPECT_THAT(Listed(), ElementsAre(name));
  ASSERT_TRUE(WaitFor(name, SERVICE_STOPPED));
  job.ClearMessages();
  EXPECT_EQ(StartAll(), hRC_OK);
  EXPECT_EQ(State(name), static_cast<DWORD>(SERVICE_RUNNING));
}

TEST_F(ServiceControl, StartingARunningServiceIsNotAFailure) {
  std::string name = Create();
  Run(name);
  SC_HANDLE service = OpenServiceA(manager, name.c_str(), SERVICE_ALL_ACCESS);
  EXPECT_EQ(startSingleService(&job.ctx, manager, service), hRC_OK);
  CloseServiceHandle(service);
  EXPECT_THAT(job.JobMessages(), IsEmpty());
}

TEST_F(ServiceControl, ServiceThatCannotStartIsReportedAndTheOthersStillStart) {
  std::string good = Create();
  std::string broken = Create();
  // The broken one's program does not exist.
  SC_HANDLE service = OpenServiceA(manager, broken.c_str(), SERVICE_ALL_ACCESS);
  ASSERT_TRUE(ChangeServiceConfigA(service, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE,
                                   "C:\\snaptree_no_such_program.exe", nullptr, nullptr, nullptr, nullptr,
                                   nullptr, nullptr));
  CloseServiceHandle(service);
  EXPECT_EQ(Stop(good), hRC_OK);
  EXPECT_EQ(Stop(broken), hRC_OK);
  EXPECT_EQ(StartAll(), hRC_Error);
  EXPECT_EQ(list, nullptr);
  EXPECT_EQ(State(good), static_cast<DWORD>(SERVICE_RUNNING));
  EXPECT_THAT(job.JobMessages(JMSG_FATAL),
              ElementsAre("failed to start the service\n", "Failed to start service: \"" + broken + "\"\n"));
}

class ServiceDependents : public ServiceControl {
 protected:
  void SetUp() override {
    ServiceControl::SetUp();
    g_dependents.clear();
    g_enum_error = g_enum_second_error = 0;
    real_enum_ = ReplaceImport(GetModuleHandle(nullptr), "advapi32.dll", "EnumDependentServicesA",
                               reinterpret_cast<void*>(reported_dependents));
    ASSERT_NE(real_enum_, nullptr);
  }
  void TearDown() override {
    if (real_enum_) ReplaceImport(GetModuleHandle(nullptr), "advapi32.dll", "EnumDependentServicesA", real_enum_);
    ServiceControl::TearDown();
  }

 private:
  void* real_enum_ = nullptr;
};

TEST_F(ServiceDependents, RunningDependentsStopFirstAndStartBeforeTheService) {
  std::string service = Create(), d1 = Create(), d2 = Create();
  for (const std::string& name : {service, d1, d2}) Run(name);
  g_dependents = {d1, d2};
  EXPECT_EQ(Stop(service), hRC_OK);
  for (const std::string& name : {service, d1, d2}) EXPECT_EQ(State(name), static_cast<DWORD>(SERVICE_STOPPED)) << name;
  EXPECT_THAT(Listed(), ElementsAre(d2, d1, service));
  EXPECT_THAT(Lines("dependant service"), ElementsAre("dependant service " + d1 + "\n", "dependant service " + d2 + "\n"));

  EXPECT_EQ(StartAll(), hRC_OK);
  EXPECT_THAT(Lines("starting"), ElementsAre("starting " + d2 + "\n", "starting " + d1 + "\n", "starting " + service + "\n"));
  for (const std::string& name : {service, d1, d2}) EXPECT_EQ(State(name), static_cast<DWORD>(SERVICE_RUNNING)) << name;
  EXPECT_THAT(job.JobMessages(), IsEmpty());
}

TEST_F(ServiceDependents, StoppedDependentIsListedButNotStoppedAndMissingOneIsSkipped) {
  std::string service = Create(), stopped = Create();
  Run(service);
  g_dependents = {"snaptree_no_such_dependent", stopped};
  EXPECT_EQ(Stop(service), hRC_OK);
  EXPECT_THAT(Listed(), ElementsAre(stopped, service));
  EXPECT_THAT(Lines("failed to open"), ElementsAre("failed to open snaptree_no_such_dependent service\n"));
  EXPECT_THAT(Lines("service stopped"), ElementsAre("service stopped\n"));  // the named service only
  EXPECT_EQ(StartAll(), hRC_OK);
  EXPECT_EQ(State(stopped), static_cast<DWORD>(SERVICE_RUNNING));
  EXPECT_EQ(State(service), static_cast<DWORD>(SERVICE_RUNNING));
}

TEST_F(ServiceDependents, FailedEnumerationIsFatalAndLeavesTheServiceRunningButListed) {
  std::string service = Create();
  Run(service);
  g_enum_error = ERROR_ACCESS_DENIED;
  EXPECT_EQ(Stop(service), hRC_Error);
  EXPECT_THAT(job.JobMessages(JMSG_FATAL), ElementsAre("Failed to enumerate dependancies (1)\n"));
  EXPECT_EQ(State(service), static_cast<DWORD>(SERVICE_RUNNING));
  EXPECT_THAT(Listed(), ElementsAre(service));

  job.ClearMessages();
  g_enum_error = 0;
  g_dependents = {service};
  g_enum_second_error = ERROR_ACCESS_DENIED;
  EXPECT_EQ(Stop(service), hRC_Error);
  EXPECT_THAT(job.JobMessages(JMSG_FATAL), ElementsAre("Failed to enumerate dependancies (2)\n"));
  EXPECT_THAT(Listed(), ElementsAre(service, service));
}

}  // namespace
