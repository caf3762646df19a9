// Each promise of the plug-in contract, broken on purpose by one faulty test plug-in, is
// reported as a contract violation and fails the job.
#include "../../plugin/frame/host_interface.h"

#include "test_support.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <thread>

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::StartsWith;

namespace {

struct Fault {
  const char* plugin;
  int commands;
  const char* violation;
  const char* also = "";
};

class BrokenPromise : public ::testing::TestWithParam<Fault> {
 protected:
  ScratchArchive scratch{std::string("contract-") + GetParam().plugin};
};

TEST_P(BrokenPromise, IsReportedAndFailsTheJob) {
  std::vector<std::string> args = {"backup", "--machine", "none.xml", "--archive", scratch.path(),
                                   "--plugin", std::string("testplugin_") + GetParam().plugin + ".dll",
                                   "--vss", "none"};
  for (int i = 0; i < GetParam().commands; ++i) {
    args.push_back("--command");
    args.push_back("test:/c" + std::to_string(i) + "/");
  }
  HostsimRun run = RunHostsimCaptured(args);
  EXPECT_EQ(run.status, 1) << run.out;
  for (const char* violation : {GetParam().violation, GetParam().also})
    EXPECT_THAT(run.Lines(), Contains(AllOf(StartsWith("ERROR: contract violation: "),
                                            HasSubstr(violation))))
        << run.out;
  EXPECT_THAT(run.LastLine(), StartsWith("summary: jobid=1 "));
}

INSTANTIATE_TEST_SUITE_P(
    Contract, BrokenPromise,
    ::testing::Values(
        Fault{"bad_size", 1, "startBackupFile changed the size fields of its save_pkt: pkt_size=160 pkt_end=0"},
        Fault{"no_link", 1, "startBackupFile left link unset for /c0/comp/"},
        Fault{"bad_type", 1, "/c0/comp/a.txt with file type 42"},
        Fault{"late_info", 1, "arrives after /c0/comp/a.txt, an entry of its component"},
        Fault{"early_object", 2, "restore object vss_test_c0.xml sent during command 1 of 2"},
        Fault{"open_error", 1, "IO_OPEN of /c0/comp/sub/b.bin answered 2 with io_errno 0"},
        Fault{"late_call", 1, "DebugMessage called with the job's context after freePlugin"},
        Fault{"leak", 1, "1 blocks of the host allocator (sm_malloc) still live after freePlugin"},
        Fault{"bad_dir", 1, "/c0/comp/sub/b.bin sent after its directory entry /c0/comp/sub/",
              "directory entry /c0 does not end in \"/\""},
        Fault{"twice", 2, "/c0/comp/a.txt sent twice in the job"},
        Fault{"bad_suffix", 1, "/c0/comp/:component_info_0badc0de: the suffix is no time within"},
        Fault{"read_error", 1, "IO_READ of /c0/comp/sub/b.bin answered 2 with io_errno 0"},
        Fault{"seen", 1, "endBackupFile answered hRC_Seen to the host"},
        Fault{"null_context", 1, "JobMessage with a null context"},
        Fault{"no_errno", 1, "IO_OPEN of /c0/comp/:component_info_", "left io_errno unset"}),
    [](const ::testing::TestParamInfo<Fault>& info) { return std::string(info.param.plugin); });

TEST(Contract, TheWellBehavedPluginBreaksNoPromiseEvenOverTwoCommands) {
  ScratchArchive scratch("contract-clean");
  HostsimRun run = RunHostsimCaptured({"backup", "--machine", "none.xml", "--archive",
                                       scratch.path(), "--plugin", "testplugin.dll", "--vss",
                                       "none", "--command", "test:/a/", "--command", "test:/b/"});
  EXPECT_EQ(run.status, 0);
  EXPECT_THAT(run.Lines(), Not(Contains(HasSubstr("contract violation"))));
  EXPECT_EQ(run.LastLine(), "summary: jobid=1 entries=16 bytes=312230 objects=2 live_blocks=0");
}

TEST(Contract, APluginThatCannotBeLoadedIsFatal) {
  ScratchArchive scratch("contract-missing");
  HostsimRun run = RunHostsimCaptured({"backup", "--machine", "none.xml", "--archive",
                                       scratch.path(), "--plugin", "no-such-plugin.dll", "--vss",
                                       "none", "--command", "test:/a/"});
  EXPECT_EQ(run.status, 1);
  EXPECT_THAT(run.Lines(), Contains(StartsWith("FATAL: cannot load the plug-in no-such-plugin.dll")));
}

// Two jobs at once, each plug-in instance writing a message through the other's context.
TEST(Contract, AMessageThroughAnotherJobsContextIsCaughtInBoth) {
  ScratchArchive first("contract-other-1"), second("contract-other-2");
  HostsimRun runs[2];
  auto job = [&](int i, std::string archive) {
    runs[i] = RunHostsimCaptured({"backup", "--machine", "none.xml", "--archive", archive, "--plugin",
                                  "testplugin_other_context.dll", "--vss", "none", "--command",
                                  "test:/o" + std::to_string(i) + "/"});
  };
  std::thread a(job, 0, first.path()), b(job, 1, second.path());
  a.join();
  b.join();
  for (const auto& run : runs)
    EXPECT_THAT(run.Lines(), Contains(AllOf(StartsWith("ERROR: contract violation: JobMessage with "
                                                       "the context of job 1 during a call of job 1"))))
        << run.out;
}

class Jobs : public ::testing::Test {
 protected:
  ScratchArchive scratch{::testing::UnitTest::GetInstance()->current_test_info()->name()};
  HostsimRun Run(const std::string& action, std::vector<std::string> extra) {
    std::vector<std::string> args = {action, "--machine", "none.xml", "--archive", scratch.path(),
                                     "--plugin", "testplugin.dll", "--vss", "none"};
    args.insert(args.end(), extra.begin(), extra.end());
    return RunHostsimCaptured(args);
  }
  // The test plug-in's journal from the first line that begins with `from`.
  std::vector<std::string> JournalFrom(const std::string& from) {
    auto lines = JournalLines(scratch.Journal());
    auto at = std::find_if(lines.begin(), lines.end(), [&](const std::string& l) { return l.rfind(from, 0) == 0; });
    return std::vector<std::string>(at, lines.end());
  }
};

TEST_F(Jobs, ACancelledBackupEndsAsADaemonEndsIt) {
  HostsimRun run = Run("backup", {"--command", "test:/a/", "--command", "test:/b/", "--cancel-after", "3"});
  EXPECT_EQ(run.status, 0) << run.out;
  EXPECT_THAT(run.Lines(), Contains("INFO: the job is cancelled after 3 entries"));
  EXPECT_EQ(run.LastLine(), "summary: jobid=1 entries=3 bytes=151005 objects=0 live_blocks=0");
  EXPECT_THAT(JournalFrom("send 3 /a/comp/sub/b.bin"),
              ElementsAre("send 3 /a/comp/sub/b.bin", "event 13", "event 4", "event 2"));
  // Nothing of a cancelled job is restored.
  EXPECT_EQ(Run("restore", {}).status, 1);
}

TEST_F(Jobs, ACancelledRestoreMakesNoFurtherFileCall) {
  ASSERT_EQ(Run("backup", {"--command", "test:/a/"}).status, 0);
  scratch.ClearJournal();
  HostsimRun run = Run("restore", {"--cancel-after", "2"});
  EXPECT_EQ(run.status, 0) << run.out;
  EXPECT_THAT(run.LastLine(), StartsWith("summary: jobid=2 entries=2 "));
  EXPECT_THAT(JournalFrom("event 13"), ElementsAre("event 13", "event 6", "event 2"));
}

TEST_F(Jobs, VirtualTimeRunsSixHundredPollsAtOnce) {
  auto start = std::chrono::steady_clock::now();
  HostsimRun run = Run("backup", {"--command", "test:/w/:gen=0:wait=600", "--virtual-time"});
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  EXPECT_EQ(run.status, 0) << run.out;
  EXPECT_THAT(run.Lines(), Contains("INFO: virtual clock: 600 Sleep calls, 600000 ms"));
}

TEST_F(Jobs, TheAfterSnapshotCommandRunsBeforeTheFirstBackupCommand) {
  HostsimRun run = Run("backup", {"--command", "test:/s/", "--after-snapshot",
                                  "echo after-snapshot>>" + scratch.Working("testplugin-journal.txt")});
  EXPECT_EQ(run.status, 0) << run.out;
  auto tail = JournalFrom("event EndFileSet");
  ASSERT_GE(tail.size(), 3u);
  EXPECT_THAT(tail[1], StartsWith("after-snapshot"));
  EXPECT_EQ(tail[2], "event BackupCommand test:/s/");
  EXPECT_EQ(Run("backup", {"--command", "test:/s/", "--after-snapshot", "exit 3"}).status, 1);
}

}  // namespace
