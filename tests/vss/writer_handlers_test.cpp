// The replication and application writer handlers on their writer records, against the test
// services in Wine's service control manager.
#include "plugin_fixture.h"

#include "../../plugin/vss/vss_utility.h"
#include "../../plugin/vss/vssapi_service_writer.h"
#include "../../plugin/vss/vssapi_writer_registry.h"
#include "test_services.h"

#include <gmock/gmock.h>

using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

const char kFrsKey[] = "SYSTEM\\CurrentControlSet\\Services\\NtFrs\\Parameters\\Backup/Restore\\Process at Startup";
const wchar_t kFrsKeyW[] = L"SYSTEM\\CurrentControlSet\\Services\\NtFrs\\Parameters\\Backup/Restore\\Process at Startup";
const wchar_t kDfsrKeyW[] = L"SYSTEM\\CurrentControlSet\\Services\\DFSR\\Restore";

class WriterHandlers : public PluginInstance {
 protected:
  void SetUp() override {
    PluginInstance::SetUp();
    service_poll_interval_ms = 20;
    ASSERT_TRUE(OneServiceManager()) << "this Wine prefix runs two service control managers";
    RemoveHandlerServices();
    ASSERT_EQ(InstallHandlerServices(), static_cast<DWORD>(ERROR_SUCCESS));
    dependent_ = "snaptree_test_" + std::to_string(GetCurrentProcessId()) + "_dependent";
    ASSERT_EQ(InstallTestService(dependent_), static_cast<DWORD>(ERROR_SUCCESS));
    ClearServiceDependents();
    real_enum_ = InstallDependentsReporter(GetModuleHandle(nullptr));
  }
  void TearDown() override {
    RemoveDependentsReporter(GetModuleHandle(nullptr), real_enum_);
    ClearServiceDependents();
    RemoveTestService(dependent_);
    // The services' keys go with them, and the values the handlers wrote below them.
    RemoveHandlerServices();
    service_poll_interval_ms = 1000;
    PluginInstance::TearDown();
  }
  static void Run(const std::string& name) { ASSERT_EQ(StartTestService(name), static_cast<DWORD>(ERROR_SUCCESS)); }
  static DWORD State(const std::string& name) { return TestServiceState(name); }
  std::vector<std::string> Lines(const std::string& prefix) const {
    std::vector<std::string> out;
    for (const std::string& line : job.DebugMessages(50))
      if (line.compare(0, prefix.size(), prefix) == 0) out.push_back(line);
    return out;
  }
  static DWORD BurFlags() {
    DWORD type = 0;
    bool exists = false;
    auto data = ReadRegistryValue(HKEY_LOCAL_MACHINE, kFrsKeyW, L"BurFlags", &type, &exists);
    return exists && type == REG_DWORD && data.size() == 4 ? *reinterpret_cast<DWORD*>(data.data()) : 0;
  }
  static std::string Sysvol(DWORD* size = nullptr) {
    char data[64] = {};
    DWORD bytes = sizeof(data), type = 0;
    LONG rc = RegGetValueA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Services\\DFSR\\Restore", "SYSVOL",
                           RRF_RT_ANY, &type, data, &bytes);
    if (size) *size = bytes;
    return rc == ERROR_SUCCESS && type == REG_SZ ? data : "";
  }

  std::string dependent_;
  void* real_enum_ = nullptr;
};

TEST_F(WriterHandlers, ReplicationServicesStopWithTheirDependentsAndRunAgainWithTheFlagOnEveryPath) {
  HKEY key;
  ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, kFrsKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
            ERROR_SUCCESS);
  RegCloseKey(key);
  for (const std::string& name : {std::string("NtFrs"), std::string("DFSR"), dependent_}) Run(name);
  DeclareServiceDependents("NtFrs", {dependent_});

  // The restore's end: the dependent stops first and starts last but one, then the service.
  vssapi_writer_t* frs = vssapi_writer_frs_factory(&job.ctx, nullptr, nullptr);
  EXPECT_EQ(frs->preWriterRestore(nullptr), hRC_OK);
  EXPECT_EQ(State("NtFrs"), static_cast<DWORD>(SERVICE_STOPPED));
  EXPECT_EQ(State(dependent_), static_cast<DWORD>(SERVICE_STOPPED));
  EXPECT_EQ(BurFlags(), 0u);
  EXPECT_EQ(frs->postWriterRestore(nullptr), hRC_OK);
  EXPECT_EQ(BurFlags(), 212u);
  EXPECT_THAT(Lines("starting"), ElementsAre("starting " + dependent_ + "\n", "starting NtFrs\n"));
  EXPECT_EQ(State("NtFrs"), static_cast<DWORD>(SERVICE_RUNNING));
  EXPECT_EQ(State(dependent_), static_cast<DWORD>(SERVICE_RUNNING));
  delete frs;
  EXPECT_THAT(Lines("starting"), ElementsAre("starting " + dependent_ + "\n", "starting NtFrs\n"));  // nothing twice

  // A restore that fails or is cancelled after the stop: the record's end still writes the flag
  // and starts what it stopped.
  RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, kFrsKeyW, L"BurFlags");
  frs = vssapi_writer_frs_factory(&job.ctx, nullptr, nullptr);
  frs->preWriterRestore(nullptr);
  delete frs;
  EXPECT_EQ(BurFlags(), 212u);
  EXPECT_EQ(State("NtFrs"), static_cast<DWORD>(SERVICE_RUNNING));
  EXPECT_EQ(State(dependent_), static_cast<DWORD>(SERVICE_RUNNING));

  // DFSR: the restore key is made where it is missing; a stopped service runs afterwards.
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, kDfsrKeyW);
  ASSERT_EQ(StopTestService("DFSR"), static_cast<DWORD>(ERROR_SUCCESS));
  vssapi_writer_t* dfsr = vssapi_writer_dfsr_factory(&job.ctx, nullptr, nullptr);
  EXPECT_EQ(dfsr->preWriterRestore(nullptr), hRC_OK);
  EXPECT_EQ(Sysvol(), "");
  delete dfsr;  // cancelled before its end
  DWORD size = 0;
  EXPECT_EQ(Sysvol(&size), "non-authoritative");
  EXPECT_EQ(size, 18u);
  EXPECT_EQ(State("DFSR"), static_cast<DWORD>(SERVICE_RUNNING));
  EXPECT_THAT(job.JobMessages(), IsEmpty());

  // The flags follow into the control set of a SYSTEM hive that is to replace the live one at the
  // next reboot.
  HKEY restored;
  ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\snaptree_test_restored_system", 0, nullptr,
                            0, KEY_ALL_ACCESS, nullptr, &restored, nullptr),
            ERROR_SUCCESS);
  std::string why;
  EXPECT_TRUE(carryLiveValues(&job.ctx, restored, &why)) << why;
  DWORD type = 0;
  auto copied = ReadRegistryValue(restored,
                                  L"Services\\NtFrs\\Parameters\\Backup/Restore\\Process at Startup",
                                  L"BurFlags", &type);
  EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
  EXPECT_EQ(copied.size() == 4 ? *reinterpret_cast<DWORD*>(copied.data()) : 0, 212u);
  copied = ReadRegistryValue(restored, L"Services\\DFSR\\Restore", L"SYSVOL", &type);
  EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
  EXPECT_EQ(std::wstring(reinterpret_cast<wchar_t*>(copied.data()), copied.size() / 2), std::wstring(L"non-authoritative", 18));
  RegCloseKey(restored);
  RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\snaptree_test_restored_system");
  RegDeleteKeyW(HKEY_CURRENT_USER, L"Software\\snaptree_test_restored_system");
}

// The order of stops and starts is followed in the whole job through the bench host.
TEST_F(WriterHandlers, SharePointServicesStoppedForAnElementThatNeverEndsRunWhenTheRecordGoes) {
  for (const char* name : {"SPAdmin", "SPTimerV3", "IISADMIN"}) Run(name);
  ASSERT_EQ(RemoveTestService("SPSearch"), static_cast<DWORD>(ERROR_SUCCESS));
  vssapi_writer_t* sharepoint = vssapi_writer_sharepoint_factory(&job.ctx, nullptr, nullptr);
  EXPECT_EQ(sharepoint->preElementRestore(nullptr), hRC_OK);
  EXPECT_EQ(sharepoint->preWriterRestore(nullptr), hRC_OK);
  EXPECT_EQ(sharepoint->postWriterRestore(nullptr), hRC_OK);
  for (const char* name : {"SPAdmin", "SPTimerV3", "IISADMIN"}) EXPECT_EQ(State(name), static_cast<DWORD>(SERVICE_STOPPED));
  delete sharepoint;
  for (const char* name : {"SPAdmin", "SPTimerV3", "IISADMIN"}) EXPECT_EQ(State(name), static_cast<DWORD>(SERVICE_RUNNING));
  EXPECT_THAT(Lines("starting"), ElementsAre("starting IISADMIN\n", "starting SPTimerV3\n", "starting SPAdmin\n"));
  EXPECT_THAT(job.JobMessages(), IsEmpty());
}

TEST_F(WriterHandlers, SqlServerLeavesMasterOutOfDifferentialBackupsAndRestoresOnly) {
  vssapi_writer_t* sql = vssapi_writer_mssql_factory(&job.ctx, nullptr, nullptr);
  vssapi_writer_t* exchange = vssapi_writer_exchange_factory(&job.ctx, nullptr, nullptr);
  WCHAR master[] = L"master", upper[] = L"Master", sales[] = L"Sales";
  struct Case {
    int type;
    int level;
    bool master_made;
  } cases[] = {{1, 'F', true}, {1, 'I', true}, {1, 'D', false}, {2, 0, false}};
  for (const Case& c : cases) {
    vssfs->job_type = c.type;
    vssfs->job_level = c.level;
    for (WCHAR* name : {master, upper, sales}) {
      bool left_out = name == master && !c.master_made;
      vssapi_component_t* component = sql->newComponent(&job.ctx, name);
      EXPECT_EQ(component == nullptr, left_out) << c.type << static_cast<char>(c.level);
      EXPECT_EQ(sql->componentLeftOut(name), left_out);
      delete component;
      component = exchange->newComponent(&job.ctx, name);
      EXPECT_NE(component, nullptr);
      EXPECT_FALSE(exchange->componentLeftOut(name));
      delete component;
    }
  }
  delete sql;
  delete exchange;
}

}  // namespace
