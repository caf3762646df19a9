// Whole backup and restore jobs through the test plug-in, without shadow copies.
#include "../../plugin/frame/host_interface.h"

#include "archive.h"
#include "test_support.h"
#include "../../sim/host/testplugin/test_tree.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <thread>

using ::testing::AllOf;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::MatchesRegex;
using ::testing::Not;
using ::testing::StartsWith;

namespace {

class HostsimJobs : public ::testing::Test {
 protected:
  ScratchArchive scratch{::testing::UnitTest::GetInstance()->current_test_info()->name()};

  HostsimRun Backup(std::vector<std::string> extra, const std::string& plugin = "testplugin.dll") {
    std::vector<std::string> args = {"backup", "--machine", "none.xml", "--archive", scratch.path(),
                                     "--plugin", plugin, "--vss", "none"};
    args.insert(args.end(), extra.begin(), extra.end());
    return RunHostsimCaptured(args);
  }
  HostsimRun Restore(std::vector<std::string> extra = {}) {
    std::vector<std::string> args = {"restore", "--machine", "none.xml", "--archive", scratch.path(),
                                     "--plugin", "testplugin.dll", "--vss", "none"};
    args.insert(args.end(), extra.begin(), extra.end());
    return RunHostsimCaptured(args);
  }
  Archive Opened() {
    Archive archive(scratch.path());
    std::string error;
    EXPECT_TRUE(archive.Open(&error)) << error;
    return archive;
  }
  std::string Restored(const std::string& name) { return ScratchArchive::ReadFile(scratch.Restored(name)); }
};

TEST_F(HostsimJobs, BackupAndRestoreRoundTripEveryByte) {
  HostsimRun backup = Backup({"--command", "test:/tree/"});
  ASSERT_EQ(backup.status, 0) << backup.out;
  EXPECT_EQ(backup.LastLine(), "summary: jobid=1 entries=8 bytes=156115 objects=1 live_blocks=0");
  // The test plug-in's instance is its one block.
  EXPECT_THAT(backup.Lines(), Contains(MatchesRegex("plugin: calls=\\d+ seconds=\\d+\\.\\d+ peak_live_blocks=1")));

  HostsimRun restore = Restore();
  ASSERT_EQ(restore.status, 0) << restore.out;
  EXPECT_EQ(restore.LastLine(), "summary: jobid=2 entries=8 bytes=156115 objects=1 live_blocks=0");
  EXPECT_EQ(Restored("/tree/comp/a.txt"), test_tree::Content("/tree/comp/a.txt", 0, 0, 1000));
  EXPECT_EQ(Restored("/tree/comp/sub/b.bin"),
            test_tree::Content("/tree/comp/sub/b.bin", 0, 0, test_tree::kBigSize));
  EXPECT_EQ(Restored("/tree/comp/sub/empty.dat"), "");
  EXPECT_TRUE(std::filesystem::is_directory(scratch.Restored("/tree/comp/sub/")));

  std::string ranges = Restored("/tree/comp/ranges.db");
  ASSERT_EQ(ranges.size(), static_cast<size_t>(test_tree::kRangesFileSize));
  const std::string name = "/tree/comp/ranges.db";
  EXPECT_EQ(ranges.substr(0, 100), test_tree::Content(name, 0, 0, 100));
  EXPECT_EQ(ranges.substr(4096, 5000), test_tree::Content(name, 0, 4096, 5000));
  EXPECT_EQ(ranges.substr(200000, 10), test_tree::Content(name, 0, 200000, 10));
  EXPECT_EQ(ranges.substr(100, 3996), std::string(3996, '\0'));
}

TEST_F(HostsimJobs, BackupSendsEventsInTheOrderThePluginReliesOn) {
  ASSERT_EQ(Backup({"--command", "test:/one/", "--command", "test:/two/"}).status, 0);
  auto journal = JournalLines(scratch.Journal());
  ASSERT_GE(journal.size(), 9u);
  EXPECT_THAT(std::vector<std::string>(journal.begin(), journal.begin() + 8),
              ElementsAre("event JobStart", "event PluginCommand test:/one/",
                          "event PluginCommand test:/two/", "event Level F",
                          "event StartBackupJob", "event Since 0", "event EndFileSet",
                          "event BackupCommand test:/one/"));
  EXPECT_THAT(journal, Contains("event BackupCommand test:/two/"));
  EXPECT_EQ(journal[journal.size() - 2], "event 4");  // end of the backup job, then job end
  EXPECT_EQ(journal.back(), "event 2");
}

TEST_F(HostsimJobs, RestoreSendsObjectsThenCommandsThenEachEntryInItsOrder) {
  ASSERT_EQ(Backup({"--command", "test:/tree/"}).status, 0);
  scratch.ClearJournal();
  ASSERT_EQ(Restore().status, 0);
  auto journal = JournalLines(scratch.Journal());
  ASSERT_GE(journal.size(), 7u);
  EXPECT_THAT(std::vector<std::string>(journal.begin(), journal.begin() + 7),
              ElementsAre("event JobStart", "event 5", "object vss_test_tree.xml len=19 job=1",
                          "object other_job_metadata.xml len=23 job=1", "object null", "event 21",
                          "event RestoreCommand test:/tree/"));
  std::string text = scratch.Journal();
  // A byte-range file: a seek to each range before its data.
  EXPECT_THAT(text, HasSubstr("createFile type=3 stream=6 /tree/comp/ranges.db\nIO_OPEN "
                              "/tree/comp/ranges.db\nIO_SEEK 0\nIO_WRITE 100\nIO_SEEK 4096\n"
                              "IO_WRITE 5000\nIO_SEEK 200000\nIO_WRITE 10\nIO_CLOSE\n"));
  // A directory whose create status asks for no data gets no I/O.
  EXPECT_THAT(text, HasSubstr("createFile type=5 stream=1 /tree/comp/\nsetFileAttributes "
                              "/tree/comp/\nendRestoreFile\n"));
  EXPECT_THAT(journal[journal.size() - 2], "event 6");
  EXPECT_EQ(journal.back(), "event 2");
}

TEST_F(HostsimJobs, ListShowsCommandsExclusionsEntriesAndObjects) {
  ASSERT_EQ(Backup({"--command", "test:/tree/"}).status, 0);
  HostsimRun list = RunHostsimCaptured({"list", "--archive", scratch.path()});
  EXPECT_EQ(list.status, 0);
  auto lines = list.Lines();
  EXPECT_THAT(lines, Contains(StartsWith("job 1 level=F ")));
  for (const char* line : {"  command 1: test:/tree/", "  exclusion block 1 options ei",
                           "  exclusion block 1 regex type 'F' [A-Z]:/pagefile\\.sys",
                           "  exclusion block 1 wild type ' ' *.tmp",
                           "    range offset=4096 length=5000", "  object vss_test_tree.xml 19 bytes"})
    EXPECT_THAT(lines, Contains(std::string(line)));
  EXPECT_EQ(list.LastLine(), "summary: jobid=1 entries=8 bytes=156115 objects=1 live_blocks=0");
}

TEST_F(HostsimJobs, AccurateIncrementalSendsOnlyChangesAndAsksAboutWhatIsGone) {
  ASSERT_EQ(Backup({"--command", "test:/tree/", "--command", "test:/gone/"}).status, 0);
  HostsimRun incremental = Backup({"--command", "test:/tree/:gen=1", "--level", "I", "--accurate"});
  ASSERT_EQ(incremental.status, 0) << incremental.out;

  Archive archive = Opened();
  const ArchiveJob& job = archive.jobs().back();
  EXPECT_EQ(job.level, 'I');
  EXPECT_EQ(job.since, archive.jobs().front().time);
  std::map<std::string, int> types;
  for (const auto& e : job.entries) types[e.name] = e.type;
  EXPECT_EQ(types["/tree/comp/a.txt"], FILE_TYPE_REGULAR);
  EXPECT_EQ(types["/tree/comp/sub/b.bin"], FILE_TYPE_UNCHANGED);
  // Every entry of the command left out is asked about; the plug-in answers them gone.
  int gone = 0;
  for (const auto& c : job.checks) {
    EXPECT_EQ(c.seen, c.name.compare(0, 6, "/gone/") != 0) << c.name;
    gone += !c.seen;
  }
  EXPECT_EQ(gone, 8);

  // The chain restores the newest a.txt; unchanged entries come from the full backup only.
  scratch.ClearJournal();
  ASSERT_EQ(Restore().status, 0);
  EXPECT_EQ(Restored("/tree/comp/a.txt"), test_tree::Content("/tree/comp/a.txt", 1, 0, 1001));
  std::string journal = scratch.Journal();
  EXPECT_THAT(journal, Not(HasSubstr("createFile type=10")));
  EXPECT_THAT(journal, Not(HasSubstr("/gone/")));  // answered gone by the newest job
  size_t first = journal.find("event RestoreCommand test:/tree/\n");
  EXPECT_NE(journal.find("event RestoreCommand test:/tree/:gen=1\n", first), std::string::npos);
}

TEST_F(HostsimJobs, AnIncrementalWithoutAFullBackupRunsAsFull) {
  HostsimRun run = Backup({"--command", "test:/tree/", "--level", "I"});
  EXPECT_EQ(run.status, 0);
  EXPECT_THAT(run.Lines(), Contains(HasSubstr("INFO: No prior full backup")));
  EXPECT_EQ(Opened().jobs()[0].level, 'F');
}

TEST_F(HostsimJobs, ADamagedArchiveRestoresNothing) {
  ASSERT_EQ(Backup({"--command", "test:/tree/"}).status, 0);
  std::string data = scratch.path() + "\\job-000001\\data\\000003.bin";
  std::string bytes = ScratchArchive::ReadFile(data);
  bytes[70000] ^= 1;
  std::ofstream(data, std::ios::binary) << bytes;
  scratch.ClearJournal();

  HostsimRun restore = Restore();
  EXPECT_EQ(restore.status, 1);
  EXPECT_THAT(restore.Lines(), Contains(AllOf(StartsWith("FATAL: the archive is damaged, nothing is "
                                                         "restored"),
                                              HasSubstr("000003.bin"))));
  EXPECT_EQ(scratch.Journal(), "");
  EXPECT_FALSE(std::filesystem::exists(scratch.Working("restored")));
}

TEST_F(HostsimJobs, WhereMovesTheRestoredNames) {
  ASSERT_EQ(Backup({"--command", "test:/tree/"}).status, 0);
  ASSERT_EQ(Restore({"--where", "/elsewhere/"}).status, 0);
  EXPECT_EQ(Restored("/elsewhere/tree/comp/a.txt"), test_tree::Content("/tree/comp/a.txt", 0, 0, 1000));
}

TEST_F(HostsimJobs, RestoreOfAJobThatIsNotThereIsFatal) {
  ASSERT_EQ(Backup({"--command", "test:/tree/"}).status, 0);
  HostsimRun restore = Restore({"--jobs", "1,4"});
  EXPECT_EQ(restore.status, 1);
  EXPECT_THAT(restore.Lines(), Contains(StartsWith("FATAL: job 4 is not in the archive")));
}

TEST_F(HostsimJobs, AShadowCopyServiceThatCannotCreateItsObjectFailsTheJobAndFreesThePlugin) {
  std::vector<std::string> args = {"backup", "--machine", "none.xml", "--archive", scratch.path(),
                                   "--plugin", "testplugin.dll", "--vss", "stubvss.dll",
                                   "--command", "test:/tree/"};
  HostsimRun run = RunHostsimCaptured(args);
  EXPECT_EQ(run.status, 1);
  EXPECT_THAT(run.Lines(), Contains(StartsWith("ERROR: cannot create the shadow copy backup components")));
  auto journal = JournalLines(scratch.Journal());
  EXPECT_THAT(journal, Not(Contains(StartsWith("event BackupCommand"))));
  EXPECT_EQ(journal.back(), "event 2");
  EXPECT_EQ(Opened().jobs()[0].ok, false);
}

TEST_F(HostsimJobs, TwoJobsWithTwoInstancesRunInOneProcess) {
  ScratchArchive second("second");
  HostsimRun runs[2];
  auto job = [&](int i, const std::string& archive) {
    runs[i] = RunHostsimCaptured({"backup", "--machine", "none.xml", "--archive", archive,
                                  "--plugin", "testplugin.dll", "--vss", "none", "--command",
                                  "test:/job" + std::to_string(i) + "/"});
  };
  std::thread a(job, 0, scratch.path()), b(job, 1, second.path());
  a.join();
  b.join();
  for (const auto& run : runs) {
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_THAT(run.LastLine(), StartsWith("summary: jobid=1 entries=8 bytes=156115 objects=1"));
  }
  EXPECT_THAT(scratch.Journal(), HasSubstr("send 3 /job0/comp/a.txt"));
  EXPECT_THAT(second.Journal(), HasSubstr("send 3 /job1/comp/a.txt"));
  EXPECT_THAT(scratch.Journal(), Not(HasSubstr("/job1/")));
}

}  // namespace
