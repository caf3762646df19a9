// The plug-in as the daemon sees it: loaded from its DLL, one instance per job.
#include "../../sim/host/testhost/test_host.h"
#include "../../plugin/frame/vssfs.h"
#include "../../sim/host/harbek/harbek_accounting.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

class PluginEntry : public ::testing::Test {
 protected:
  TestHost host;
  std::unique_ptr<TestJob> job = host.NewJob();
  size_t live_before = HostLiveBlocks();

  vssfs_t* instance() { return static_cast<vssfs_t*>(job->ctx.pContext); }
};

TEST_F(PluginEntry, LoadPluginHandsOutBothRecords) {
  ASSERT_TRUE(host.loaded());
  EXPECT_EQ(host.load_result(), hRC_OK);
  EXPECT_EQ(host.info()->size, 56u);
  EXPECT_EQ(host.info()->version, 2017u);
  EXPECT_STREQ(host.info()->plugin_magic, "*FDPluginData*");
  EXPECT_STREQ(host.info()->plugin_date, "July 2010");
  EXPECT_STREQ(host.info()->plugin_version, "1");
  EXPECT_STREQ(host.info()->plugin_description, "Windows VSS Plugin");
  EXPECT_EQ(host.funcs()->size, 112u);
  EXPECT_EQ(host.funcs()->version, 2017u);
}

TEST_F(PluginEntry, ExportsOnlyTheTwoEntryPoints) {
  auto* base = reinterpret_cast<BYTE*>(host.module());
  auto* dos = reinterpret_cast<IMAGE_DOS_HEADER*>(base);
  auto* nt = reinterpret_cast<IMAGE_NT_HEADERS64*>(base + dos->e_lfanew);
  const auto& dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
  auto* exports = reinterpret_cast<IMAGE_EXPORT_DIRECTORY*>(base + dir.VirtualAddress);
  auto* names = reinterpret_cast<DWORD*>(base + exports->AddressOfNames);
  std::vector<std::string> exported;
  for (DWORD i = 0; i < exports->NumberOfNames; ++i)
    exported.push_back(reinterpret_cast<char*>(base + names[i]));
  EXPECT_THAT(exported, ElementsAre("loadPlugin", "unloadPlugin"));
}

TEST_F(PluginEntry, AcceptsHostVersionsFourAndSix) {
  for (const char* version : {"4.0.2", "6.2.0 (17Nov26)"}) {
    job = host.NewJob();
    job->SetString(hVarVersion, version);
    EXPECT_EQ(host.NewPlugin(*job), hRC_OK) << version;
    EXPECT_THAT(job->registered_events, ElementsAre(hEventJobStart, hEventJobEnd));
    EXPECT_THAT(job->JobMessages(), IsEmpty());
    EXPECT_EQ(host.FreePlugin(*job), hRC_OK);
  }
  EXPECT_EQ(HostLiveBlocks(), live_before);
}

TEST_F(PluginEntry, RefusesOtherHostVersionsSilentlyAndStillFreesCleanly) {
  job->SetString(hVarVersion, "5.2.13");
  EXPECT_EQ(host.NewPlugin(*job), hRC_Error);
  EXPECT_THAT(job->JobMessages(), IsEmpty());
  EXPECT_THAT(job->registered_events, IsEmpty());
  // The refusal leaves without the exit trace.
  EXPECT_THAT(job->DebugMessages(10),
              ElementsAre("Enter function hRC vssfs_t::newPlugin(hpContext*)\n"));
  EXPECT_EQ(job->ctx.pContext, instance());
  ASSERT_NE(instance(), nullptr);
  EXPECT_EQ(host.FreePlugin(*job), hRC_OK);
  EXPECT_EQ(HostLiveBlocks(), live_before);
}

TEST_F(PluginEntry, ReportsEachMissingFactoryAndLooksUpBoth) {
  job->SetPointer(hVarVssDllHandle, GetModuleHandleA("kernel32.dll"));
  EXPECT_EQ(host.NewPlugin(*job), hRC_Error);
  EXPECT_THAT(job->JobMessages(JMSG_FATAL),
              ElementsAre("Cannot get proc address of: p_CreateVssExamineWriterMetadata\n",
                          "Cannot get proc address of: p_CreateVssBackupComponents\n"));
  EXPECT_EQ(host.FreePlugin(*job), hRC_OK);

  HMODULE partial = LoadLibraryA("stubvss_metadata_only.dll");
  ASSERT_NE(partial, nullptr);
  job = host.NewJob();
  job->SetPointer(hVarVssDllHandle, partial);
  EXPECT_EQ(host.NewPlugin(*job), hRC_Error);
  EXPECT_THAT(job->JobMessages(JMSG_FATAL),
              ElementsAre("Cannot get proc address of: p_CreateVssBackupComponents\n"));
  EXPECT_EQ(host.FreePlugin(*job), hRC_OK);
  FreeLibrary(partial);
  EXPECT_EQ(HostLiveBlocks(), live_before);
}

TEST_F(PluginEntry, KeepsTheJobIdAsText) {
  job->SetInt(hVarJobId, 1234);
  ASSERT_EQ(host.NewPlugin(*job), hRC_OK);
  EXPECT_STREQ(instance()->job_id_str, "1234");
  EXPECT_STREQ(instance()->unique_id_str, "XXXXXXXX");
  EXPECT_EQ(instance()->has_pending_files, -1);
  EXPECT_THAT(job->DebugMessages(50), Contains(" JobId=1234\n"));
  EXPECT_EQ(host.FreePlugin(*job), hRC_OK);
  EXPECT_EQ(job->ctx.pContext, nullptr);
  EXPECT_EQ(HostLiveBlocks(), live_before);
}

TEST_F(PluginEntry, TracesEntryAndExitWithTheFullSignature) {
  OrphanMessages().clear();
  ASSERT_EQ(host.NewPlugin(*job), hRC_OK);
  std::vector<std::string> ctor;
  for (const auto& m : OrphanMessages()) ctor.push_back(m.text);
  EXPECT_THAT(ctor, ElementsAre("Enter function vssfs_t::vssfs_t()\n",
                                "Leave function vssfs_t::vssfs_t()\n"));

  job->ClearMessages();
  int value = 0;
  EXPECT_EQ(host.funcs()->getPluginValue(&job->ctx, pVarName, &value), hRC_OK);
  EXPECT_EQ(host.funcs()->setPluginValue(&job->ctx, pVarDescription, &value), hRC_OK);
  char name[] = "/@SYSTEMSTATE/x";
  host.funcs()->checkFile(&job->ctx, name);
  EXPECT_THAT(job->DebugMessages(),
              ElementsAre("Enter function hRC vssfs_t::getPluginValue(pVariable, void*)\n",
                          "getPluginValue var=1\n",
                          "Leave function hRC vssfs_t::getPluginValue(pVariable, void*)\n",
                          "Enter function hRC vssfs_t::setPluginValue(pVariable, void*)\n",
                          "setPluginValue var=2\n",
                          "Leave function hRC vssfs_t::setPluginValue(pVariable, void*)\n",
                          "Enter function hRC vssfs_t::checkFile(char*)\n",
                          "marked as seen /@SYSTEMSTATE/x\n",
                          "Leave function hRC vssfs_t::checkFile(char*)\n"));
  EXPECT_EQ(value, 0);

  job->ClearMessages();
  EXPECT_EQ(host.FreePlugin(*job), hRC_OK);
  EXPECT_THAT(job->DebugMessages(),
              ElementsAre("Enter function hRC vssfs_t::freePlugin()\n", "freePlugin\n",
                          "Leave function hRC vssfs_t::freePlugin()\n",
                          "Enter function vssfs_t::~vssfs_t()\n",
                          "Enter function void vssfs_t::freePersistent()\n",
                          "Leave function void vssfs_t::freePersistent()\n",
                          "Leave function vssfs_t::~vssfs_t()\n"));
}

// Wherever a host allocation fails, the entry fails with a message, and the instance, however
// far it was made, is released by freePlugin.
TEST_F(PluginEntry, AFailedHostAllocationFailsTheEntryWithAMessageAndNothingLeaks) {
  for (size_t nth : {1, 2, 3}) {
    job = host.NewJob();
    harbek_fail_allocation(nth);
    EXPECT_EQ(host.NewPlugin(*job), hRC_Error) << nth;
    EXPECT_THAT(job->JobMessages(JMSG_FATAL), ElementsAre("Out of memory in newPlugin\n")) << nth;
    EXPECT_EQ(host.FreePlugin(*job), hRC_OK) << nth;
    EXPECT_EQ(HostLiveBlocks(), live_before) << nth;
  }
  // The host goes on: the next job runs as usual.
  job = host.NewJob();
  EXPECT_EQ(host.NewPlugin(*job), hRC_OK);
  EXPECT_EQ(host.FreePlugin(*job), hRC_OK);
  EXPECT_EQ(HostLiveBlocks(), live_before);
}

TEST_F(PluginEntry, WarnsOfEventsItDoesNotHandle) {
  ASSERT_EQ(host.NewPlugin(*job), hRC_OK);
  for (int type : {0, 7, 8, 15, 16, 21}) EXPECT_EQ(host.Event(*job, type), hRC_OK);
  EXPECT_THAT(job->JobMessages(JMSG_WARNING),
              ElementsAre("unknown event=0\n", "unknown event=7\n", "unknown event=8\n",
                          "unknown event=15\n", "unknown event=16\n", "unknown event=21\n"));
  EXPECT_EQ(host.FreePlugin(*job), hRC_OK);
}

TEST_F(PluginEntry, TwoJobsKeepSeparateInstances) {
  auto second = host.NewJob();
  second->SetInt(hVarJobId, 2);
  ASSERT_EQ(host.NewPlugin(*job), hRC_OK);
  ASSERT_EQ(host.NewPlugin(*second), hRC_OK);
  EXPECT_NE(job->ctx.pContext, second->ctx.pContext);
  EXPECT_STREQ(static_cast<vssfs_t*>(second->ctx.pContext)->job_id_str, "2");
  EXPECT_EQ(host.FreePlugin(*job), hRC_OK);
  EXPECT_EQ(host.FreePlugin(*second), hRC_OK);
  EXPECT_EQ(HostLiveBlocks(), live_before);
}

}  // namespace
