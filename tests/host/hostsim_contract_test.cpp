// Each promise of the plug-in contract, broken on purpose by one faulty test plug-in, is
// reported as a contract violation and fails the job.
#include "../../plugin/frame/host_interface.h"

#include "test_support.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

using ::testing::Contains;
using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::StartsWith;

namespace {

struct Fault {
  const char* plugin;
  int commands;
  const char* violation;
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
  EXPECT_THAT(run.Lines(), Contains(AllOf(StartsWith("ERROR: contract violation: "),
                                          HasSubstr(GetParam().violation))))
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
        Fault{"leak", 1, "1 blocks of the host allocator (sm_malloc) still live after freePlugin"}),
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

}  // namespace
