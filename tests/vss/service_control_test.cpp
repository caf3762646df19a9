// Stopping and starting real services of Wine's service control manager, with dependents
// reported by a replacement of the one call Wine leaves empty.
#include "plugin_fixture.h"

#include "../../plugin/vss/vss_utility.h"
#include "test_services.h"

#include <gmock/gmock.h>

using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

class ServiceControl : public ::testing::Test {
 protected:
  void SetUp() override {
    hfuncs = TestHost::HostFuncs();
    job.ctx.hContext = &job;
    blocks_before_ = harbek_live_blocks_matching("/plugin/");
    service_poll_interval_ms = 20;
    manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    ASSERT_NE(manager, nullptr);
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
    for (const std::string& name : created_) EXPECT_EQ(RemoveTestService(name), static_cast<DWORD>(ERROR_SUCCESS));
    if (manager) CloseServiceHandle(manager);
    service_poll_interval_ms = 1000;
    service_poll_limit = 300;
    EXPECT_EQ(harbek_live_blocks_matching("/plugin/"), blocks_before_);
  }

  std::string Create(const std::string& options = "") {
    static int serial;
    std::string name =
        "snaptree_test_" + std::to_string(GetCurrentProcessId()) + "_" + std::to_string(++serial);
    EXPECT_EQ(InstallTestService(name, options), static_cast<DWORD>(ERROR_SUCCESS));
    created_.push_back(name);
    return name;
  }

  DWORD State(const std::string& name) { return TestServiceState(name); }
  bool WaitFor(const std::string& name, DWORD state) { return WaitForTestServiceState(name, state); }
  void Run(const std::string& name) { ASSERT_EQ(StartTestService(name), static_cast<DWORD>(ERROR_SUCCESS)) << name; }

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
  // The broken one's program does not exist (its name stays the test program's, so it is removed).
  SC_HANDLE service = OpenServiceA(manager, broken.c_str(), SERVICE_ALL_ACCESS);
  ASSERT_TRUE(ChangeServiceConfigA(service, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE,
                                   "C:\\snaptree_missing\\snaptree_test_service.exe", nullptr, nullptr, nullptr, nullptr,
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
    ClearServiceDependents();
    real_enum_ = InstallDependentsReporter(GetModuleHandle(nullptr));
    ASSERT_NE(real_enum_, nullptr);
  }
  void TearDown() override {
    RemoveDependentsReporter(GetModuleHandle(nullptr), real_enum_);
    ClearServiceDependents();
    ServiceControl::TearDown();
  }

 private:
  void* real_enum_ = nullptr;
};

TEST_F(ServiceDependents, RunningDependentsStopFirstAndStartBeforeTheService) {
  std::string service = Create(), d1 = Create(), d2 = Create();
  for (const std::string& name : {service, d1, d2}) Run(name);
  DeclareServiceDependents(service, {d1, d2});
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
  DeclareServiceDependents(service, {"snaptree_no_such_dependent", stopped});
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
  FailDependentEnumeration(ERROR_ACCESS_DENIED, 0);
  EXPECT_EQ(Stop(service), hRC_Error);
  EXPECT_THAT(job.JobMessages(JMSG_FATAL), ElementsAre("Failed to enumerate dependancies (1)\n"));
  EXPECT_EQ(State(service), static_cast<DWORD>(SERVICE_RUNNING));
  EXPECT_THAT(Listed(), ElementsAre(service));

  job.ClearMessages();
  DeclareServiceDependents(service, {service});
  FailDependentEnumeration(0, ERROR_ACCESS_DENIED);
  EXPECT_EQ(Stop(service), hRC_Error);
  EXPECT_THAT(job.JobMessages(JMSG_FATAL), ElementsAre("Failed to enumerate dependancies (2)\n"));
  EXPECT_THAT(Listed(), ElementsAre(service, service));
}

}  // namespace
