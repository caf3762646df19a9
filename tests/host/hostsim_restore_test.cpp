// Restore as a file daemon does it: the chain of jobs, the newest version of each name, a
// selection, the events around the entries; and the backup promises such a restore relies on.
#include "../../plugin/frame/host_interface.h"

#include "archive.h"
#include "test_support.h"
#include "../../sim/host/testplugin/test_tree.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <map>

using ::testing::AllOf;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::StartsWith;

namespace {

class HostsimRestore : public ::testing::Test {
 protected:
  ScratchArchive scratch{::testing::UnitTest::GetInstance()->current_test_info()->name()};

  HostsimRun Run(const char* action, std::vector<std::string> extra,
                 const std::string& plugin = "testplugin.dll") {
    std::vector<std::string> args = {action, "--machine", "none.xml", "--archive", scratch.path(),
                                     "--plugin", plugin, "--vss", "none"};
    args.insert(args.end(), extra.begin(), extra.end());
    return RunHostsimCaptured(args);
  }
  // The journal of one restore: the commands, and how often each name was created.
  struct Seen {
    std::vector<std::string> lines, commands, created;
    std::map<std::string, int> count;
  };
  Seen Restore(std::vector<std::string> extra = {}) {
    scratch.ClearJournal();
    HostsimRun run = Run("restore", extra);
    EXPECT_EQ(run.status, 0) << run.out;
    Seen seen;
    seen.lines = JournalLines(scratch.Journal());
    for (const auto& line : seen.lines) {
      if (line.compare(0, 20, "event RestoreCommand") == 0) seen.commands.push_back(line.substr(21));
      if (line.compare(0, 11, "createFile ") != 0) continue;
      std::string name = line.substr(line.find(" /") + 1);
      seen.created.push_back(name);
      ++seen.count[name];
    }
    return seen;
  }
};

TEST_F(HostsimRestore, AChainOfFiveRestoresTheFullTheLastDifferentialAndItsIncrementalsOnce) {
  const char* const kJobs[][2] = {{"F", "test:/tree/"}, {"D", "test:/tree/:gen=1"},
                                  {"I", "test:/tree/:gen=2"}, {"D", "test:/tree/:gen=3"},
                                  {"I", "test:/tree/:gen=4"}};
  for (const auto& job : kJobs) {
    HostsimRun run = Run("backup", {"--level", job[0], "--command", job[1], "--accurate"});
    ASSERT_EQ(run.status, 0) << run.out;
    if (job[0][0] == 'F') {
      EXPECT_THAT(JournalLines(scratch.Journal()), Contains("event Since 0"));
    }
  }
  Archive archive(scratch.path());
  std::string error;
  ASSERT_TRUE(archive.Open(&error)) << error;
  std::vector<std::string> infos;
  for (int id : {1, 4, 5}) infos.push_back(archive.Job(id)->entries[0].name);

  Seen seen = Restore();
  EXPECT_THAT(seen.commands, ElementsAre("test:/tree/", "test:/tree/:gen=3", "test:/tree/:gen=4"));
  for (const auto& entry : seen.count) EXPECT_EQ(entry.second, 1) << entry.first;
  // The full job's segment keeps only what no later job of the chain saved again: no directory.
  EXPECT_THAT(std::vector<std::string>(seen.created.begin(), seen.created.begin() + 4),
              ElementsAre(infos[0], "/tree/comp/sub/b.bin", "/tree/comp/sub/empty.dat", infos[1]));
  EXPECT_EQ(seen.created[4], infos[2]);
  EXPECT_EQ(seen.created.size(), 10u);
  EXPECT_EQ(ScratchArchive::ReadFile(scratch.Restored("/tree/comp/a.txt")),
            test_tree::Content("/tree/comp/a.txt", 4, 0, 1004));
  // Events: another plug-in's object among each job's own, an unknown event, and the close of
  // the restore before its end.
  ASSERT_GE(seen.lines.size(), 11u);
  EXPECT_THAT(std::vector<std::string>(seen.lines.begin(), seen.lines.begin() + 11),
              ElementsAre("event JobStart", "event 5", "object vss_test_tree.xml len=19 job=1",
                          "object other_job_metadata.xml len=23 job=1",
                          "object vss_test_tree.xml len=19 job=4",
                          "object other_job_metadata.xml len=23 job=4",
                          "object vss_test_tree.xml len=19 job=5",
                          "object other_job_metadata.xml len=23 job=5", "object null", "event 21",
                          "event RestoreCommand test:/tree/"));
  EXPECT_THAT(std::vector<std::string>(seen.lines.end() - 3, seen.lines.end()),
              ElementsAre("event 20", "event 6", "event 2"));

  seen = Restore({"--all-versions"});
  EXPECT_THAT(seen.commands, ElementsAre("test:/tree/", "test:/tree/:gen=3", "test:/tree/:gen=4"));
  EXPECT_EQ(seen.count["/tree/comp/a.txt"], 3);
  EXPECT_EQ(seen.count["/tree/comp/"], 3);

  // A selection without the information files; the differential holds nothing selected.
  seen = Restore({"--select", "*/a.t?t", "--select", "/tree/comp/sub/*"});
  EXPECT_THAT(seen.commands, ElementsAre("test:/tree/", "test:/tree/:gen=4"));
  EXPECT_THAT(seen.created, ElementsAre("/tree/comp/sub/b.bin", "/tree/comp/sub/empty.dat",
                                        "/tree/comp/a.txt", "/tree/comp/sub/"));
}

TEST_F(HostsimRestore, RestoreObjectFieldsOtherThanTheContractAreViolations) {
  HostsimRun run = Run("backup", {"--command", "test:/c/"}, "testplugin_bad_object.dll");
  EXPECT_EQ(run.status, 1);
  for (const char* text : {"restore object named vss_test_c.xml by fname but job_metadata.xml by object_name",
                           "restore object vss_test_c.xml has index 1 (must be 0)",
                           "restore object named job_metadata.xml, the host's own document"})
    EXPECT_THAT(run.Lines(), Contains(AllOf(StartsWith("ERROR: contract violation: "), HasSubstr(text))))
        << run.out;
}

TEST_F(HostsimRestore, AnInformationFileAnsweredGoneWhileItsFilesStayIsAViolation) {
  ASSERT_EQ(Run("backup", {"--command", "test:/c/"}, "testplugin_gone_info.dll").status, 0);
  HostsimRun run = Run("backup", {"--command", "test:/c/:gen=1", "--level", "I", "--accurate"},
                       "testplugin_gone_info.dll");
  EXPECT_EQ(run.status, 1);
  EXPECT_THAT(run.Lines(), Contains(AllOf(StartsWith("ERROR: contract violation: checkFile answered "
                                                     "/c/comp/:component_info_"),
                                          HasSubstr("gone, but /c/comp/sub/b.bin of its component stays"))))
      << run.out;
}

}  // namespace
