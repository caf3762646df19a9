// The host services as the plug-in reaches them through the table, on one job's context.
#include "../../plugin/frame/host_interface.h"

#include "host_services.h"
#include "plugin_job.h"
#include "test_support.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

namespace {

class HostServices : public ::testing::Test {
 protected:
  std::ostringstream out, err;
  HostJob job{out, err, 100};
  hFuncs* host = HostServiceTable();

  save_pkt Packet(const char* name, uint64_t size, int64_t mtime) {
    save_pkt sp{};
    sp.pkt_size = sp.pkt_end = sizeof(save_pkt);
    sp.fname = const_cast<char*>(name);
    sp.statp.st_size = size;
    sp.statp.st_mtime = sp.statp.st_ctime = mtime;
    return sp;
  }
};

TEST_F(HostServices, AnswerEveryVariableThePluginReadsWithAUsableValue) {
  job.job_id = 42;
  job.working_dir = "C:\\w";
  for (hVariable var : {hVarWorkingDir, hVarVersion, hVarJobName, hVarExePath}) {
    char* text = nullptr;
    EXPECT_EQ(host->getHarbekValue(&job.ctx, var, &text), hRC_OK) << var;
    EXPECT_NE(text, nullptr) << var;
  }
  int id = 0;
  host->getHarbekValue(&job.ctx, hVarJobId, &id);
  EXPECT_EQ(id, 42);
  char* version = nullptr;
  host->getHarbekValue(&job.ctx, hVarVersion, &version);
  EXPECT_EQ(version[0], '6');
  // Where and RegexWhere may be null, and are until the options give them.
  char* where = reinterpret_cast<char*>(1);
  host->getHarbekValue(&job.ctx, hVarWhere, &where);
  EXPECT_EQ(where, nullptr);
  job.SetWhere(true, "/");
  host->getHarbekValue(&job.ctx, hVarWhere, &where);
  EXPECT_STREQ(where, "/");
}

TEST_F(HostServices, JobMessagesBecomeOneTypedLineAndDebugFollowsTheLevel) {
  host->JobMessage(&job.ctx, "f.cpp", 1, JMSG_WARNING, 0, "two\nlines %d\n", 2);
  host->JobMessage(&job.ctx, "f.cpp", 2, 9, 0, "odd type\n");
  host->DebugMessage(&job.ctx, "f.cpp", 3, 100, "shown\n");
  host->DebugMessage(&job.ctx, "f.cpp", 4, 101, "hidden\n");
  {
    CurrentJobScope current(&job);
    job.null_context_ok = true;  // as during newPlugin
    host->DebugMessage(nullptr, "f.cpp", 5, 10, "no context yet\n");
    job.null_context_ok = false;
  }
  EXPECT_EQ(out.str(), "WARNING: two lines 2\nTYPE9: odd type\n");
  EXPECT_EQ(err.str(), "f.cpp:3 [100] shown\nf.cpp:5 [10] no context yet\n");
  EXPECT_FALSE(job.log->failed());
  {
    CurrentJobScope current(&job);
    host->DebugMessage(nullptr, "f.cpp", 6, 10, "no context later\n");
  }
  EXPECT_THAT(out.str(), HasSubstr("contract violation: DebugMessage with a null context"));
  host->JobMessage(&job.ctx, "f.cpp", 6, JMSG_ERROR, 0, "bad\n");
  EXPECT_TRUE(job.log->failed());
}

TEST_F(HostServices, ACallThroughAFreedContextIsAViolation) {
  job.freed = true;
  host->DebugMessage(&job.ctx, "f.cpp", 1, 500, "late\n");
  EXPECT_EQ(job.contract.count(), 1);
  EXPECT_THAT(out.str(), HasSubstr("contract violation: DebugMessage called with the job's "
                                   "context after freePlugin"));
}

TEST_F(HostServices, HarbekBlocksAreCountedPerJobAndAForeignFreeIsRefused) {
  void* a = host->harbekMalloc(&job.ctx, "f.cpp", 1, 10);
  void* b = host->harbekMalloc(&job.ctx, "f.cpp", 2, 20);
  host->harbekFree(&job.ctx, "f.cpp", 3, a);
  int foreign;
  host->harbekFree(&job.ctx, "f.cpp", 4, &foreign);
  EXPECT_EQ(job.host_blocks.size(), 1u);
  EXPECT_EQ(job.contract.count(), 1);
  job.contract.CheckBlocksAtEnd(0, job.host_blocks.size());
  EXPECT_THAT(out.str(), HasSubstr("1 blocks from harbekMalloc not freed"));
  host->harbekFree(&job.ctx, "f.cpp", 5, b);
}

TEST_F(HostServices, ExclusionsAreKeptWithTheirOptionBlock) {
  host->AddOptions(&job.ctx, "before");
  host->NewOptions(&job.ctx);
  host->AddOptions(&job.ctx, "ei");
  host->AddRegex(&job.ctx, "C:/x(/|/.*/)", ' ');
  host->AddWild(&job.ctx, "*.tmp", 'F');
  ASSERT_EQ(job.exclusions.size(), 5u);
  EXPECT_EQ(job.exclusions[0].block, 0);
  EXPECT_EQ(job.exclusions[1].kind, "newoptions");
  EXPECT_EQ(job.exclusions[3].kind, "regex");
  EXPECT_EQ(job.exclusions[3].type, ' ');
  EXPECT_EQ(job.exclusions[4].block, 1);
}

TEST_F(HostServices, CheckChangesComparesWithTheBaseJobOrTheSinceTime) {
  job.level = 'F';
  save_pkt same = Packet("/a", 10, 500);
  EXPECT_EQ(host->checkChanges(&job.ctx, &same), hRC_OK);

  job.level = 'I';
  job.use_base = true;
  job.base["/a"] = BaseEntry{10, 500};
  save_pkt grown = Packet("/a", 11, 500), touched = Packet("/a", 10, 501), fresh = Packet("/b", 1, 1);
  EXPECT_EQ(host->checkChanges(&job.ctx, &same), hRC_Seen);
  EXPECT_EQ(host->checkChanges(&job.ctx, &grown), hRC_OK);
  EXPECT_EQ(host->checkChanges(&job.ctx, &touched), hRC_OK);
  EXPECT_EQ(host->checkChanges(&job.ctx, &fresh), hRC_OK);

  job.use_base = false;
  job.since = 600;
  save_pkt late = Packet("/c", 1, 600);
  EXPECT_EQ(host->checkChanges(&job.ctx, &same), hRC_Seen);
  EXPECT_EQ(host->checkChanges(&job.ctx, &late), hRC_OK);
  EXPECT_EQ(job.contract.count(), 0);
}

// Two instances live at once in one process, their calls interleaved; the shared module stays
// loaded until the second is freed.
TEST(PluginJobs, TwoInstancesOfOneModuleInterleave) {
  ScratchArchive scratch("interleave");
  Options options;
  options.archive = scratch.path();
  options.plugin = "testplugin.dll";
  options.vss = "none";
  std::ostringstream out_a, out_b, err;
  PluginJob a(options, out_a, err), b(options, out_b, err);
  ASSERT_TRUE(a.Start(1, 'B'));
  ASSERT_TRUE(b.Start(2, 'B'));
  EXPECT_NE(a.host().ctx.pContext, b.host().ctx.pContext);
  EXPECT_EQ(a.Event(hEventJobStart, "a"), hRC_OK);
  EXPECT_EQ(b.Event(hEventJobStart, "b"), hRC_OK);
  EXPECT_EQ(a.Event(hEventPluginCommand, "test:/a/"), hRC_OK);
  EXPECT_EQ(b.Event(hEventPluginCommand, "test:/b/"), hRC_OK);
  EXPECT_EQ(a.Event(hEventStartBackupJob, nullptr), hRC_OK);
  EXPECT_EQ(a.Event(hEventBackupCommand, "test:/a/"), hRC_OK);
  EXPECT_EQ(b.Event(hEventStartBackupJob, nullptr), hRC_OK);
  EXPECT_EQ(b.Event(hEventBackupCommand, "test:/b/"), hRC_OK);
  save_pkt pa{}, pb{};
  pa.pkt_size = pa.pkt_end = pb.pkt_size = pb.pkt_end = sizeof(save_pkt);
  EXPECT_EQ(a.StartBackupFile(&pa), hRC_OK);
  EXPECT_EQ(b.StartBackupFile(&pb), hRC_OK);
  EXPECT_THAT(pa.fname, testing::StartsWith("/a/comp/:component_info_"));
  EXPECT_THAT(pb.fname, testing::StartsWith("/b/comp/:component_info_"));
  a.Finish();
  EXPECT_EQ(b.EndBackupFile(), hRC_More);
  EXPECT_EQ(b.Event(hEventJobEnd, nullptr), hRC_OK);
  EXPECT_EQ(b.End(), 0);
  EXPECT_EQ(a.End(), 0);
  EXPECT_THAT(out_a.str() + out_b.str(), testing::Not(HasSubstr("contract violation")));
}

}  // namespace
