// A backup through the simulated shadow copy service, driven as a requester drives the real one.
#include "../../plugin/frame/host_interface.h"

#include "archive.h"
#include "test_support.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

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

  HostsimRun Run(const std::string& action) {
    std::vector<std::string> args = {action, "--machine", HOSTSIM_DEMO_MACHINE, "--archive",
                                     scratch.path(), "--plugin", "testplugin.dll"};
    if (action == "backup") args.insert(args.end(), {"--command", "test:/tree/"});
    return RunHostsimCaptured(args);
  }
  // The service's journal: the call names in order, without the job numbers and arguments.
  std::vector<std::string> ServiceCalls() {
    std::vector<std::string> calls;
    for (const auto& line : JournalLines(ScratchArchive::ReadFile(scratch.path() + "\\vss-journal.txt"))) {
      size_t start = line.find(' ') + 1, end = line.find('(');
      calls.push_back(line.substr(start, end - start));
    }
    return calls;
  }

  ScratchArchive scratch{"vss"};
};

TEST_F(HostsimWithShadowCopies, BackupTakesASnapshotKeepsTheDocumentAndDeletesTheSnapshot) {
  HostsimRun backup = Run("backup");
  ASSERT_EQ(backup.status, 0) << backup.out << backup.err;
  EXPECT_THAT(ServiceCalls(),
              ElementsAre("CreateVssBackupComponents", "InitializeForBackup", "SetContext", "SetBackupState",
                          "GatherWriterMetadata", "StartSnapshotSet", "AddToSnapshotSet",
                          "PrepareForBackup", "DoSnapshotSet", "GatherWriterStatus", "BackupComplete",
                          "DeleteSnapshots"));

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

}  // namespace
