// A backup through the simulated shadow copy service, driven as a requester drives the real one.
#include "../../plugin/frame/host_interface.h"

#include "archive.h"
#include "test_support.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

using ::testing::AllOf;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::StartsWith;

namespace {

class HostsimWithShadowCopies : public ::testing::Test {
 protected:
  void SetUp() override {
    if (GetFileAttributesA("simvss.dll") == INVALID_FILE_ATTRIBUTES)
      GTEST_SKIP() << "simvss.dll is not built";
    SetEnvironmentVariableA("SIMVSS_ROOT", "C:\\hostsim-test\\machine-root");
  }
  void TearDown() override { SetEnvironmentVariableA("SIMVSS_ROOT", nullptr); }

  HostsimRun Run(const std::string& action, const std::string& plugin = "testplugin.dll",
                 std::vector<std::string> extra = {}) {
    std::vector<std::string> args = {action, "--machine", HOSTSIM_DEMO_MACHINE, "--archive",
                                     scratch.path(), "--plugin", plugin};
    if (action == "backup") args.insert(args.end(), {"--command", "test:/tree/"});
    args.insert(args.end(), extra.begin(), extra.end());
    return RunHostsimCaptured(args);
  }
  std::string ServiceJournal() { return ScratchArchive::ReadFile(scratch.path() + "\\vss-journal.txt"); }
  // The service's journal: the call names in order, without the job numbers and arguments.
  std::vector<std::string> ServiceCalls() {
    std::vector<std::string> calls;
    for (const auto& line : JournalLines(ServiceJournal())) {
      size_t start = line.find(' ') + 1, end = line.find('(');
      calls.push_back(line.substr(start, end - start));
    }
    return calls;
  }

  ScratchArchive scratch{::testing::UnitTest::GetInstance()->current_test_info()->name()};
};

TEST_F(HostsimWithShadowCopies, BackupTakesASnapshotKeepsTheDocumentAndDeletesTheSnapshot) {
  HostsimRun backup = Run("backup");
  ASSERT_EQ(backup.status, 0) << backup.out << backup.err;
  EXPECT_THAT(ServiceCalls(),
              ElementsAre("CreateVssBackupComponents", "InitializeForBackup", "SetContext", "SetBackupState",
                          "GatherWriterMetadata", "AddComponent", "StartSnapshotSet",
                          "AddToSnapshotSet", "PrepareForBackup", "DoSnapshotSet", "ComponentBackedUp",
                          "GatherWriterStatus", "SetBackupSucceeded", "BackupComplete",
                          "DeleteSnapshots"));
  EXPECT_THAT(ServiceJournal(), HasSubstr("SetBackupState(true, false, 1, false)"));

  Archive archive(scratch.path());
  std::string error;
  ASSERT_TRUE(archive.Open(&error)) << error;
  const ArchiveJob& job = archive.jobs()[0];
  ASSERT_EQ(job.objects.size(), 2u);
  EXPECT_EQ(job.objects[1].name, "job_metadata.xml");
  std::string document;
  ASSERT_TRUE(archive.ReadData(job, job.objects[1].data_file, job.objects[1].data_len, &document));
  // UTF-16 text with its terminating NUL.
  ASSERT_GE(document.size(), 4u);
  EXPECT_EQ(document.size() % 2, 0u);
  EXPECT_EQ(document.substr(document.size() - 2), std::string(2, '\0'));

  scratch.ClearJournal();
  HostsimRun restore = Run("restore");
  ASSERT_EQ(restore.status, 0) << restore.out;
  auto journal = JournalLines(scratch.Journal());
  ASSERT_GE(journal.size(), 5u);
  EXPECT_THAT(journal[2], StartsWith("object job_metadata.xml len=" + std::to_string(document.size())));
  EXPECT_EQ(journal[3], "object vss_test_tree.xml len=19 job=1");
}

// The plug-in used the host's object and held a reference of its own; a cancel aborts the backup
// and still every object of the service is released.
TEST_F(HostsimWithShadowCopies, ACancelledBackupIsAbortedWithPartialFileSupport) {
  HostsimRun run = Run("backup", "testplugin.dll", {"--cancel-after", "2", "--partial-files"});
  EXPECT_EQ(run.status, 0) << run.out;
  auto calls = ServiceCalls();
  ASSERT_GE(calls.size(), 2u);
  EXPECT_EQ(calls.back(), "AbortBackup");
  EXPECT_EQ(calls[calls.size() - 2], "GatherWriterStatus");
  EXPECT_THAT(ServiceJournal(), HasSubstr("SetBackupState(true, false, 1, true)"));
}

struct Misuse {
  const char* plugin;
  const char* violation;
};
class HostObjectMisuse : public HostsimWithShadowCopies,
                         public ::testing::WithParamInterface<Misuse> {};

TEST_P(HostObjectMisuse, IsCaught) {
  HostsimRun run = Run("backup", std::string("testplugin_") + GetParam().plugin + ".dll");
  EXPECT_EQ(run.status, 1);
  EXPECT_THAT(run.Lines(), Contains(AllOf(StartsWith("ERROR: contract violation: "),
                                          HasSubstr(GetParam().violation))))
      << run.out;
}

INSTANTIATE_TEST_SUITE_P(
    Guard, HostObjectMisuse,
    ::testing::Values(
        Misuse{"vss_prepare", "called PrepareForBackup on the host's backup components object"},
        Misuse{"vss_release", "released the host's backup components object beyond its own AddRef"},
        Misuse{"vss_leak", "1 objects of the shadow copy service live after the job, 0 before"},
        Misuse{"vss_no_success", "component \"\\System Files\" of writer {E8132975-6F93-4464-A53E-"
                                 "1050253AE220} (instance {"},
        Misuse{"misuse", "the shadow copy service reports misuse: AddComponent after PrepareForBackup"}),
    [](const ::testing::TestParamInfo<Misuse>& info) { return std::string(info.param.plugin); });

}  // namespace
