// Restore as a file daemon does it: the chain of jobs, the newest version of each name, a
// selection, the events around the entries; and the backup promises such a restore relies on.
#include "../../plugin/frame/host_interface.h"

#include "archive.h"
#include "test_support.h"
#include "../../sim/host/testplugin/test_tree.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <set>

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
  // The journal of one restore, and the names it created in order.
  std::vector<std::string> Restore(std::vector<std::string> extra,
                                   std::vector<std::string>* created) {
    scratch.ClearJournal();
    HostsimRun run = Run("restore", extra);
    EXPECT_EQ(run.status, 0) << run.out;
    auto lines = JournalLines(scratch.Journal());
    created->clear();
    for (const auto& line : lines)
      if (line.compare(0, 11, "createFile ") == 0)
        created->push_back(line.substr(line.find(" /") + 1));
    return lines;
  }
  static std::vector<std::string> Commands(const std::vector<std::string>& lines) {
    std::vector<std::string> commands;
    for (const auto& line : lines)
      if (line.compare(0, 21, "event RestoreCommand ") == 0) commands.push_back(line.substr(21));
    return commands;
  }
};

TEST_F(HostsimRestore, AChainOfFiveRestoresTheFullTheLastDifferentialAndItsIncrementalsOnce) {
  const char* const kJobs[][2] = {{"F", "test:/tree/"},
                                  {"D", "test:/tree/:gen=1"},
                                  {"I", "test:/tree/:gen=2"},
                                  {"D", "test:/tree/:gen=3"},
                                  {"I", "test:/tree/:gen=4"}};
  for (const auto& job : kJobs) {
    HostsimRun run = Run("backup", {"--level", job[0], "--command", job[1], "--accurate"});
    ASSERT_EQ(run.status, 0) << run.out;
  }
  EXPECT_THAT(JournalLines(scratch.Journal()), Contains("event Since 0"));  // the full job's
  EXPECT_THAT(RunHostsimCaptured({"list", "--archive", scratch.path()}).Lines(),
              Contains("restore chain: 1 4 5"));
  Archive archive(scratch.path());
  std::string error;
  ASSERT_TRUE(archive.Open(&error)) << error;
  std::vector<std::string> infos;
  for (int id : {1, 4, 5}) infos.push_back(archive.Job(id)->entries[0].name);

  std::vector<std::string> created;
  auto lines = Restore({}, &created);
  EXPECT_THAT(Commands(lines),
              ElementsAre("test:/tree/", "test:/tree/:gen=3", "test:/tree/:gen=4"));
  EXPECT_EQ(std::set<std::string>(created.begin(), created.end()).size(), created.size());
  // The full job's segment keeps only what no later job of the chain saved again: no directory.
  ASSERT_EQ(created.size(), 10u);
  EXPECT_THAT(std::vector<std::string>(created.begin(), created.begin() + 5),
              ElementsAre(infos[0], "/tree/comp/sub/b.bin", "/tree/comp/sub/empty.dat", infos[1],
                          infos[2]));
  EXPECT_EQ(ScratchArchive::ReadFile(scratch.Restored("/tree/comp/a.txt")),
            test_tree::Content("/tree/comp/a.txt", 4, 0, 1004));
  // Another plug-in's object among each job's own, an unknown event, the close before the end.
  std::vector<std::string> expected = {"event JobStart", "event 5"};
  for (int id : {1, 4, 5})
    for (const char* object : {"vss_test_tree.xml len=19", "other_job_metadata.xml len=23"})
      expected.push_back(std::string("object ") + object + " job=" + std::to_string(id));
  expected.insert(expected.end(), {"object null", "event 21", "event RestoreCommand test:/tree/"});
  ASSERT_GE(lines.size(), expected.size());
  EXPECT_EQ(std::vector<std::string>(lines.begin(), lines.begin() + expected.size()), expected);
  EXPECT_THAT(std::vector<std::string>(lines.end() - 3, lines.end()),
              ElementsAre("event 20", "event 6", "event 2"));

  lines = Restore({"--all-versions"}, &created);
  EXPECT_EQ(Commands(lines).size(), 3u);
  EXPECT_EQ(std::count(created.begin(), created.end(), "/tree/comp/a.txt"), 3);

  // A selection without the information files; the differential holds nothing selected.
  lines = Restore({"--select", "*/a.t?t", "--select", "/tree/comp/sub/*"}, &created);
  EXPECT_THAT(Commands(lines), ElementsAre("test:/tree/", "test:/tree/:gen=4"));
  EXPECT_THAT(created, ElementsAre("/tree/comp/sub/b.bin", "/tree/comp/sub/empty.dat",
                                   "/tree/comp/a.txt", "/tree/comp/sub/"));
}

TEST_F(HostsimRestore, BackupPromisesThatARestoreReliesOnAreChecked) {
  std::vector<std::string> out =
      Run("backup", {"--command", "test:/c/"}, "testplugin_bad_object.dll").Lines();
  ASSERT_EQ(Run("backup", {"--command", "test:/c/"}, "testplugin_gone_info.dll").status, 0);
  auto gone = Run("backup", {"--command", "test:/c/:gen=1", "--level", "I", "--accurate"},
                  "testplugin_gone_info.dll")
                  .Lines();
  out.insert(out.end(), gone.begin(), gone.end());
  for (const char* text :
       {"restore object named vss_test_c.xml by fname but job_metadata.xml by object_name",
        "restore object vss_test_c.xml has index 1 (must be 0)",
        "restore object named job_metadata.xml, the host's own document",
        "gone, but /c/comp/sub/b.bin of its component stays"})
    EXPECT_THAT(out, Contains(AllOf(StartsWith("ERROR: contract violation: "), HasSubstr(text))));
}

}  // namespace
