// Restore jobs of snaptree-fd from end to end: backups through the bench host against the
// simulated shadow copy service, files damaged on the live machine, a restore, a simulated
// reboot, and the files compared with what the backup saw.
#include "archive.h"
#include "layout_generation.h"
#include "machine.h"
#include "reboot.h"
#include "test_support.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;

namespace {

const wchar_t kSessionManager[] = L"SYSTEM\\CurrentControlSet\\Control\\Session Manager";


class RestoreFlow : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* dll : {"snaptree-fd.dll", "simvss.dll"}) {
      if (GetFileAttributesA(dll) == INVALID_FILE_ATTRIBUTES) GTEST_SKIP() << dll << " is not built";
    }
    RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, kSessionManager, L"PendingFileRenameOperations");
    root_ = scratch_.path() + "\\root";
    SetEnvironmentVariableA("SIMVSS_ROOT", root_.c_str());
    std::wstring error;
    ASSERT_EQ(LoadMachine(Wide(RESTORE_MACHINE).c_str(), &machine_, &error), S_OK) << std::string(error.begin(), error.end());
    LayOut(0);
  }
  void TearDown() override {
    RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, kSessionManager, L"PendingFileRenameOperations");
    RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, kSessionManager, L"AllowProtectedRenames");
    SetEnvironmentVariableA("SIMVSS_ROOT", nullptr);
  }

  void LayOut(unsigned generation) {
    LayoutCounts counts;
    std::wstring error;
    ASSERT_EQ(LayOutGeneration(machine_, generation, &counts, &error), S_OK);
  }
  // A file a later generation removed stays away: the backup answers checkFile "gone" for it.
  std::vector<std::string> Differences(unsigned generation) {
    VerifyReport report;
    EXPECT_EQ(VerifyGeneration(machine_, generation, Wide(root_), &report), S_OK);
    std::vector<std::string> lines;
    for (const auto& line : report.differences) lines.emplace_back(line.begin(), line.end());
    return lines;
  }
  HostsimRun Hostsim(const char* action, std::vector<std::string> extra, const std::string& machine = RESTORE_MACHINE) {
    std::vector<std::string> args = {action, "--machine", machine, "--archive", scratch_.path()};
    args.insert(args.end(), extra.begin(), extra.end());
    return RunHostsimCaptured(args);
  }
  void Backup(const char* level) {
    HostsimRun run = Hostsim("backup", {"--level", level, "--accurate", "--command", "vss:/@SYSTEMSTATE/", "--command",
                                        "vss:/@MSSQL/", "--command", "vss:/@EXCHANGE/", "--command", "vss:/@SHAREPOINT/"});
    ASSERT_EQ(run.status, 0) << run.out;
  }
  // The service's journal lines of the last restore (after its CreateVssBackupComponents).
  std::vector<std::string> RestoreJournal() {
    std::ifstream in(scratch_.path() + "\\vss-journal.txt");
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) {
      line = line.substr(line.find(' ') + 1);
      if (line.compare(0, 19, "InitializeForBackup") == 0) lines.clear();
      if (line.compare(0, 25, "CreateVssBackupComponents") == 0 || !lines.empty()) lines.push_back(line);
    }
    return lines;
  }
  static std::vector<std::string> Calls(const std::vector<std::string>& journal, const std::string& name) {
    std::vector<std::string> found;
    for (const auto& line : journal)
      if (line.compare(0, name.size() + 1, name + "(") == 0) found.push_back(line);
    return found;
  }
  // The pending operations now in the registry, as "source > target" texts.
  static std::vector<std::string> Pending() {
    DWORD type = 0, size = 0;
    std::vector<std::string> pairs;
    if (RegGetValueW(HKEY_LOCAL_MACHINE, kSessionManager, L"PendingFileRenameOperations", RRF_RT_ANY, &type, nullptr,
                     &size) != ERROR_SUCCESS)
      return pairs;
    std::vector<wchar_t> value(size / 2 + 1);
    RegGetValueW(HKEY_LOCAL_MACHINE, kSessionManager, L"PendingFileRenameOperations", RRF_RT_ANY, &type, value.data(),
                 &size);
    for (const auto& op : ParsePendingOperations(value.data(), size / 2, nullptr))
      pairs.push_back(std::string(op.source.begin(), op.source.end()) + " > " +
                      std::string(op.target.begin(), op.target.end()));
    return pairs;
  }
  std::string Live(const std::string& rel) const { return root_ + "\\" + rel; }
  void Damage() {
    // Damage changes files; a file a generation removed is not brought back by it.
    if (std::filesystem::exists(Live("Config\\SYSTEM"))) std::ofstream(Live("Config\\SYSTEM"), std::ios::binary) << "changed";
    std::filesystem::remove(Live("System\\hal.dll"));
    std::filesystem::remove(Live("Exchange\\Mailbox.edb"));
    std::filesystem::remove(Live("Exchange\\Logs\\E00.log"));
    std::fstream(Live("SQL\\Data\\Sales.mdf"), std::ios::in | std::ios::out | std::ios::binary) << "corrupt";
    std::ofstream(Live("SharePoint\\content.dat"), std::ios::binary | std::ios::app) << "more";
  }
  std::vector<std::string> Reboot() {
    std::wostringstream out;
    EXPECT_EQ(RunReboot(&machine_, out), 0);
    std::vector<std::string> lines;
    std::wistringstream in(out.str());
    for (std::wstring line; std::getline(in, line);) lines.push_back(std::string(line.begin(), line.end()));
    return lines;
  }

  // Each component and element that began its restore was ended once.
  static void ExpectHooksPaired(const std::string& debug) {
    auto count = [&](const std::string& text) {
      size_t n = 0;
      for (size_t at = debug.find(text); at != std::string::npos; at = debug.find(text, at + 1)) ++n;
      return n;
    };
    EXPECT_GT(count("preComponentRestore "), 0u);
    EXPECT_EQ(count("preComponentRestore "), count("postComponentRestore "));
    EXPECT_EQ(count("preFileRestore "), count("postFileRestore "));
    EXPECT_GT(count("postElementRestore @"), 0u);
  }

  ScratchArchive scratch_{::testing::UnitTest::GetInstance()->current_test_info()->name()};
  std::string root_;
  Machine machine_;
};

TEST_F(RestoreFlow, AFullBackupComesBackByteExactInPlaceAndAtReboot) {
  Backup("F");
  Damage();
  HostsimRun run = Hostsim("restore", {"--debug", "50"});
  EXPECT_EQ(run.status, 0) << run.out;
  EXPECT_THAT(run.LastLine(), HasSubstr("live_blocks=0"));
  auto lines = run.Lines();
  EXPECT_THAT(lines, Contains("INFO: Restored component System Writer\\System Files: 0 written in place, "
                              "2 for replacement at reboot, 0 skipped, 0 failed."));
  EXPECT_THAT(lines, Contains("INFO: Restored component Licensing_Service Writer\\Licenses: 1 written in place, "
                              "0 for replacement at reboot, 0 skipped, 0 failed."));
  for (const char* writer : {"Registry Writer\\Registry\\Registry", "SqlServerWriter\\RESTORE01\\Sales",
                             "Microsoft Exchange Writer\\Microsoft Information Store\\First Storage Group\\Mailbox "
                             "Database",
                             "SharePoint Services Writer\\Content", "COM+ REGDB Writer\\COM+ REGDB"})
    EXPECT_THAT(run.out, HasSubstr(std::string("INFO: Restored component ") + writer + ":")) << writer;
  EXPECT_THAT(run.out, Not(HasSubstr("WARNING: Component")));
  EXPECT_THAT(run.err, HasSubstr("setLastRestoreId"));

  // One segment: the service sees the restore sequence in order, every component ALL.
  auto journal = RestoreJournal();
  std::vector<std::string> order;
  for (const auto& line : journal) {
    std::string call = line.substr(0, line.find('('));
    if (order.empty() || order.back() != call) order.push_back(call);
  }
  EXPECT_THAT(order, ElementsAre("CreateVssBackupComponents", "InitializeForRestore", "GatherWriterMetadata",
                                 "SetSelectedForRestore", "SetAdditionalRestores", "SetSelectedForRestore",
                                 "SetAdditionalRestores", "SetSelectedForRestore", "SetAdditionalRestores",
                                 "SetSelectedForRestore", "SetAdditionalRestores", "SetSelectedForRestore",
                                 "SetAdditionalRestores", "SetSelectedForRestore", "SetAdditionalRestores",
                                 "SetSelectedForRestore", "SetAdditionalRestores", "SetSelectedForRestore",
                                 "SetAdditionalRestores", "PreRestore", "SetFileRestoreStatus",
                                 "PostRestore"));
  auto statuses = Calls(journal, "SetFileRestoreStatus");
  EXPECT_EQ(statuses.size(), 8u);
  for (const auto& status : statuses) EXPECT_THAT(status, HasSubstr(", 2) = 0x00000000")) << status;
  for (const auto& additional : Calls(journal, "SetAdditionalRestores")) EXPECT_THAT(additional, HasSubstr(", false)"));

  // The System Writer restores at reboot: ".restore" copies and one replacement per file.
  EXPECT_TRUE(std::filesystem::exists(Live("System\\kernel.dll.restore")));
  std::string system = Lower("\\??\\" + Live("System\\"));
  EXPECT_THAT(Pending(), ElementsAre(system + "hal.dll > ", system + "hal.dll.restore > " + system + "hal.dll",
                                     system + "kernel.dll > ", system + "kernel.dll.restore > " + system + "kernel.dll"));
  EXPECT_THAT(Differences(0), Not(IsEmpty()));
  Reboot();
  EXPECT_THAT(Differences(0), IsEmpty());
  ExpectHooksPaired(run.err);

  // Cancelled inside a component: every hook that ran before still gets its end.
  run = Hostsim("restore", {"--debug", "50", "--cancel-after", "3"});
  EXPECT_THAT(run.out, HasSubstr("INFO: the job is cancelled after 3 entries"));
  EXPECT_THAT(run.LastLine(), HasSubstr("live_blocks=0"));
  ExpectHooksPaired(run.err);
}

TEST_F(RestoreFlow, AChainRestoresEachJobInItsOwnSegmentAndTheNewestFilesWin) {
  Backup("F");
  LayOut(1);
  Backup("D");
  LayOut(2);
  Backup("I");
  Damage();
  HostsimRun run = Hostsim("restore", {"--debug", "50"});
  EXPECT_EQ(run.status, 0) << run.out;
  EXPECT_THAT(run.LastLine(), HasSubstr("live_blocks=0"));
  auto journal = RestoreJournal();
  EXPECT_EQ(Calls(journal, "InitializeForRestore").size(), 3u);
  EXPECT_EQ(Calls(journal, "PostRestore").size(), 3u);
  // The System Writer takes incremental backups: selected in every segment, additional until the last.
  std::vector<std::string> system_additional;
  for (const auto& line : Calls(journal, "SetAdditionalRestores"))
    if (line.find("System Files") != std::string::npos) system_additional.push_back(line.substr(line.rfind(", ") + 2));
  EXPECT_THAT(system_additional, ElementsAre("true) = 0x00000000", "true) = 0x00000000", "false) = 0x00000000"));
  // A full-only writer is selected in the last segment alone.
  EXPECT_EQ(Calls(journal, "SetSelectedForRestore").size(), 2u + 8u);
  size_t restore_ids = 0;
  for (size_t at = run.err.find("setLastRestoreId\n"); at != std::string::npos; at = run.err.find("setLastRestoreId\n", at + 1))
    ++restore_ids;
  EXPECT_EQ(restore_ids, 1u);
  EXPECT_THAT(run.err, HasSubstr("last_job\n"));

  // Each target is queued once, however many segments wrote its ".restore" copy.
  auto pending = Pending();
  std::set<std::string> targets;
  for (const auto& pair : pending) {
    bool deletion = pair.size() > 3 && pair.compare(pair.size() - 3, 3, " > ") == 0;
    if (deletion) {
      EXPECT_TRUE(targets.insert(pair).second) << pair;
    }
  }
  EXPECT_FALSE(targets.empty());
  Reboot();
  EXPECT_THAT(Differences(2), IsEmpty());
}

TEST_F(RestoreFlow, LockedFilesAreSkippedOrReplacedAtRebootAndEveryFileIsAccountedFor) {
  Backup("F");
  Damage();
  // Registry (replace if it can): one file in use leaves the whole component alone.
  HANDLE registry = CreateFileA(Live("Config\\Sub\\SOFTWARE").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  // COM+ (at reboot if it cannot replace): the files go beside, for the next start.
  HANDLE complus = CreateFileA(Live("Registration\\R01.clb").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(registry, INVALID_HANDLE_VALUE);
  ASSERT_NE(complus, INVALID_HANDLE_VALUE);
  // SQL: a folder where the database file was cannot be written.
  std::filesystem::remove(Live("SQL\\Data\\Sales.mdf"));
  std::filesystem::create_directories(Live("SQL\\Data\\Sales.mdf\\in the way"));
  HostsimRun run = Hostsim("restore", {});
  CloseHandle(registry);
  CloseHandle(complus);
  auto lines = run.Lines();
  EXPECT_THAT(lines, Contains("WARNING: Component Registry Writer\\Registry\\Registry: 3 files skipped, 0 failed to restore."));
  EXPECT_THAT(lines, Contains("INFO: Restored component Registry Writer\\Registry\\Registry: 0 written in place, "
                              "0 for replacement at reboot, 3 skipped, 0 failed."));
  EXPECT_THAT(lines, Contains("INFO: Restored component COM+ REGDB Writer\\COM+ REGDB: 0 written in place, "
                              "2 for replacement at reboot, 0 skipped, 0 failed."));
  EXPECT_THAT(lines, Contains("INFO: Restored component SqlServerWriter\\RESTORE01\\Sales: 1 written in place, "
                              "0 for replacement at reboot, 0 skipped, 1 failed."));
  auto statuses = Calls(RestoreJournal(), "SetFileRestoreStatus");
  EXPECT_THAT(statuses, Contains(HasSubstr("\"Registry\", \"Registry\", 1)")));    // NONE
  EXPECT_THAT(statuses, Contains(HasSubstr("\"RESTORE01\", \"Sales\", 3)")));     // FAILED
  EXPECT_THAT(statuses, Contains(HasSubstr("null, \"COM+ REGDB\", 2)")));          // ALL
  EXPECT_THAT(Pending(), Contains(HasSubstr(Lower("registration\\r01.clb.restore > "))));

  std::filesystem::remove_all(Live("SQL\\Data\\Sales.mdf"));
  Reboot();
  auto differences = Differences(0);
  EXPECT_THAT(differences, Not(Contains(HasSubstr("Registration"))));
  EXPECT_THAT(differences, Contains(HasSubstr("SYSTEM")));  // skipped, so still damaged
}

TEST_F(RestoreFlow, RestoresThatCannotBeCarriedOutAreRefusedOrSkippedWithAClearMessage) {
  Backup("F");
  // Reboot-time operations already waiting: the system must start first.
  const wchar_t waiting[] = L"\\??\\C:\\x.tmp\0\0";
  RegSetKeyValueW(HKEY_LOCAL_MACHINE, kSessionManager, L"PendingFileRenameOperations", REG_MULTI_SZ, waiting,
                  sizeof(waiting));
  HostsimRun run = Hostsim("restore", {});
  EXPECT_EQ(run.status, 1);
  EXPECT_THAT(run.out, HasSubstr("FATAL: In order to do a System State Recovery, your system must be consistent."));
  EXPECT_THAT(run.out, HasSubstr("entries=0"));
  RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, kSessionManager, L"PendingFileRenameOperations");

  run = Hostsim("restore", {"--where", "/restored"});
  EXPECT_THAT(run.out, HasSubstr("FATAL: Can't use Where=/restored with this plugin, use Where=/ instead"));
  run = Hostsim("restore", {"--regexwhere", "/a/b/"});
  EXPECT_THAT(run.out, HasSubstr("FATAL: Can't use RegexWhere=/a/b/ with this plugin"));

  // A selection without the information files reaches no component.
  run = Hostsim("restore", {"--select", "*/site.lic"});
  EXPECT_THAT(run.out, HasSubstr("skipped: no component information file of its backup job precedes it"));
  EXPECT_THAT(run.LastLine(), HasSubstr("live_blocks=0"));

  // A writer that no longer runs on the machine: warned about, its entries skipped, the rest restored.
  std::ifstream in(RESTORE_MACHINE);
  std::string xml((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  xml = std::regex_replace(xml, std::regex("<writer name=\"Licensing_Service Writer\"[^]*?</writer>"), "");
  std::string reduced = scratch_.path() + "\\reduced.xml";
  std::ofstream(reduced, std::ios::binary) << xml;
  std::filesystem::remove(Live("Licenses\\site.lic"));
  std::filesystem::remove(Live("Config\\SYSTEM"));
  run = Hostsim("restore", {}, reduced);
  EXPECT_THAT(run.out, HasSubstr("WARNING: Writer \"Licensing_Service Writer\" does not run on this system"));
  EXPECT_THAT(run.out, HasSubstr("WARNING: Cannot find writer for \"Licensing_Service Writer\""));
  EXPECT_THAT(run.LastLine(), HasSubstr("live_blocks=0"));
  EXPECT_FALSE(std::filesystem::exists(Live("Licenses\\site.lic")));
  EXPECT_TRUE(std::filesystem::exists(Live("Config\\SYSTEM")));
}

}  // namespace
