// Backup jobs of snaptree-fd from end to end: the bench host drives the plug-in against the
// simulated shadow copy service, and the archive, the service's journal, the job messages and the
// working folder show what the plug-in did.
#include "archive.h"
#include "../../sim/host/harbek/harbek_accounting.h"
#include "machine.h"
#include "layout_generation.h"
#include "machine_layout.h"
#include "test_support.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>

using ::testing::AllOf;
using ::testing::AnyOf;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::EndsWith;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;
using ::testing::StartsWith;

namespace {

// Writers: one with a child component (an id outside the handler table: its handler takes only
// its own component), one that fails at freeze, the
// recovery writer system state leaves out, one with a volume without snapshot and a file whose
// name the code page cannot carry, one whose name
// holds characters no file name may hold (with stamps and dependencies), and a user data writer.
const char kFlowMachine[] = R"(<machine name="FLOW01" pendingPolls="1">
  <writer name="Registry Writer" classId="{f0000000-0000-4000-8000-0000000000af}"
          instanceId="{f1000000-0000-4000-8000-000000000001}" usage="BOOTABLESYSTEMSTATE">
    <component logicalPath="Registry" name="Registry">
      <file path="%SIMVSS_ROOT%\Config" filespec="SYSTEM"/>
      <file path="%SIMVSS_ROOT%\Config" filespec="Software"/>
    </component>
    <component logicalPath="Registry\Registry" name="Keys" caption="K" selectable="false">
      <file path="%SIMVSS_ROOT%\Tree" filespec="*" recursive="true"/>
      <file path="%SIMVSS_ROOT%\Config" filespec="full.only" typeMask="FULL_BACKUP_REQUIRED"/>
    </component>
  </writer>
  <writer name="Event Writer" classId="{f2000000-0000-4000-8000-000000000002}"
          instanceId="{f2000000-0000-4000-8000-000000000002}" usage="SYSTEMSERVICE"
          stateAfterSnapshot="FAILED_AT_FREEZE" failureAfterSnapshot="0x800423f2">
    <component name="Logs" backupStamp="STAMP-L"><file path="%SIMVSS_ROOT%\Logs" filespec="app.evt"/></component>
  </writer>
  <writer name="ASR Writer" classId="{be000cbe-11fe-4426-9c58-531aa6355fc4}"
          instanceId="{f3000000-0000-4000-8000-000000000003}" usage="BOOTABLESYSTEMSTATE">
    <component name="BCD"><file path="%SIMVSS_ROOT%\Boot" filespec="BCD"/></component>
  </writer>
  <writer name="Outside Writer" classId="{f4000000-0000-4000-8000-000000000004}"
          instanceId="{f4000000-0000-4000-8000-000000000004}" usage="SYSTEMSERVICE">
    <component name="Outside" backupStamp="STAMP-O">
      <file path="R:\Nowhere" filespec="*.dat"/>
      <file path="%SIMVSS_ROOT%\Outside" filespec="*.dat"/>
    </component>
  </writer>
  <writer name="..\Stamp:Writer*" classId="{f5000000-0000-4000-8000-000000000005}"
          instanceId="{f5000000-0000-4000-8000-000000000005}" usage="SYSTEMSERVICE"
          backupSchema="DIFFERENTIAL|INCREMENTAL">
    <component name="A" backupStamp="STAMP-A">
      <dependency writerId="{f5000000-0000-4000-8000-000000000005}" name="B"/>
    </component>
    <component name="B" backupStamp="STAMP-B">
      <dependency writerId="{f5000000-0000-4000-8000-000000000005}" name="A"/>
      <dependency writerId="{f9000000-0000-4000-8000-000000000009}" name="Nowhere"/>
    </component>
  </writer>
  <writer name="User Writer" classId="{f6000000-0000-4000-8000-000000000006}"
          instanceId="{f6000000-0000-4000-8000-000000000006}" usage="USERDATA">
    <component name="Home"><file path="%SIMVSS_ROOT%\Home" filespec="*"/></component>
  </writer>
  <layout>
    <file path="%SIMVSS_ROOT%\Config\SYSTEM" size="5000"/>
    <file path="%SIMVSS_ROOT%\Config\Software" size="300"/>
    <file path="%SIMVSS_ROOT%\Config\full.only" size="10"/>
    <file path="%SIMVSS_ROOT%\Tree\Sub\leaf.txt" size="20"/>
    <file path="%SIMVSS_ROOT%\Logs\app.evt" size="64"/>
    <file path="%SIMVSS_ROOT%\Boot\BCD" size="64"/>
    <file path="%SIMVSS_ROOT%\Home\doc.txt" size="64"/>
    <file path="%SIMVSS_ROOT%\Outside\free.dat" size="32"/>
    <file path="%SIMVSS_ROOT%\Outside\漢.dat" size="32"/>
  </layout>
</machine>
)";


std::string Utf16(const std::wstring& text) {
  return std::string(reinterpret_cast<const char*>(text.data()), text.size() * sizeof(wchar_t));
}

// A live path as the plug-in names it in the tree: lower case, "/" for "\\".
std::string TreeName(std::string path) {
  for (char& c : path) c = c == '\\' ? '/' : static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return path;
}

class BackupFlow : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* dll : {"snaptree-fd.dll", "simvss.dll"}) {
      if (GetFileAttributesA(dll) == INVALID_FILE_ATTRIBUTES) GTEST_SKIP() << dll << " is not built";
    }
    root_ = scratch_.path() + "\\root";
    SetEnvironmentVariableA("SIMVSS_ROOT", root_.c_str());
  }
  void TearDown() override {
    std::wstring ignored;
    RemoveMachineHiveList(machine_description_, &ignored);
    SetEnvironmentVariableA("SIMVSS_ROOT", nullptr);
  }

  // Writes the description and lays its files out; the demo machine is used as it is.
  void UseMachine(const std::string& xml) {
    machine_ = scratch_.path() + "\\machine.xml";
    std::ofstream(machine_, std::ios::binary) << xml;
    LayOut();
  }
  void UseDemoMachine() { UseMachineFile("demo.xml"); }
  void UseMachineFile(const std::string& name) {
    machine_ = std::string(FLOW_MACHINES) + name;
    LayOut();
  }
  void LayOut() {
    std::wstring error;
    ASSERT_EQ(LoadMachine(Wide(machine_).c_str(), &machine_description_, &error), S_OK)
        << std::string(error.begin(), error.end());
    LayoutCounts counts;
    ASSERT_EQ(LayOutGeneration(machine_description_, 0, &counts, &error), S_OK)
        << std::string(error.begin(), error.end());
  }

  HostsimRun Backup(const std::vector<std::string>& commands, const std::string& level = "F",
                    const std::vector<std::string>& options = {}) {
    std::vector<std::string> args = {"backup", "--machine", machine_, "--archive", scratch_.path(), "--level", level,
                                     "--accurate"};
    args.insert(args.end(), options.begin(), options.end());
    for (const auto& command : commands) args.insert(args.end(), {"--command", command});
    scratch_.ClearJournal();
    DeleteFileA(JournalPath().c_str());
    return RunHostsimCaptured(args);
  }

  ArchiveJob Job(int id) {
    Archive archive(scratch_.path());
    std::string error;
    EXPECT_TRUE(archive.Open(&error)) << error;
    const ArchiveJob* job = archive.Job(id);
    return job ? *job : ArchiveJob();
  }
  std::string Data(const ArchiveJob& job, const std::string& file, uint64_t len) {
    std::string data;
    EXPECT_TRUE(Archive(scratch_.path()).ReadData(job, file, len, &data));
    return data;
  }
  static std::vector<std::string> Names(const ArchiveJob& job) {
    std::vector<std::string> names;
    for (const auto& entry : job.entries) names.push_back(entry.name);
    return names;
  }
  static const ArchiveEntry* Entry(const ArchiveJob& job, const std::string& suffix) {
    for (const auto& entry : job.entries) {
      if (entry.name.size() >= suffix.size() && entry.name.compare(entry.name.size() - suffix.size(), suffix.size(), suffix) == 0)
        return &entry;
    }
    return nullptr;
  }

  std::string JournalPath() const { return scratch_.path() + "\\vss-journal.txt"; }
  std::vector<std::string> Journal(const std::string& call) const {
    std::vector<std::string> lines;
    for (const auto& line : JournalLines(ScratchArchive::ReadFile(JournalPath()))) {
      if (line.find(" " + call + "(") != std::string::npos) lines.push_back(line.substr(line.find(' ') + 1));
    }
    return lines;
  }
  // The stamps handed to the service: "name=stamp".
  std::vector<std::string> PreviousStamps() const {
    std::vector<std::string> stamps;
    for (const auto& line : Journal("SetPreviousBackupStamp")) {
      size_t end = line.rfind('"');
      size_t start = line.rfind('"', end - 1);
      size_t name_end = line.rfind('"', start - 1);
      size_t name_start = line.rfind('"', name_end - 1);
      stamps.push_back(line.substr(name_start + 1, name_end - name_start - 1) + "=" +
                       line.substr(start + 1, end - start - 1));
    }
    return stamps;
  }
  std::vector<std::string> StampFiles() const {
    std::vector<std::string> names;
    for (const auto& item : std::filesystem::directory_iterator(scratch_.Working())) {
      std::string name = item.path().filename().string();
      if (name.find(".vss_stamp") != std::string::npos) names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    return names;
  }
  void WriteStamps(const std::string& prefix, const std::wstring& last, const std::wstring& full) {
    for (const auto& name : StampFiles()) {
      if (name.rfind(prefix, 0) != 0) continue;
      bool is_full = name.size() > 5 && name.substr(name.size() - 5) == ".full";
      std::ofstream(scratch_.Working(name), std::ios::binary) << Utf16(is_full ? full : last);
    }
  }

  ScratchArchive scratch_{"flow"};
  std::string root_, machine_;
  Machine machine_description_;
};

TEST_F(BackupFlow, SystemStateSendsEveryOwnedComponentInOrderAndReportsEachFailure) {
  UseMachine(kFlowMachine);
  HostsimRun run = Backup({"vss:/@SYSTEMSTATE/"});
  EXPECT_EQ(run.status, 1) << run.out << run.err;
  EXPECT_THAT(run.out, Not(HasSubstr("contract violation")));
  ASSERT_THAT(run.LastLine(), EndsWith("objects=5 live_blocks=0")) << run.out << run.err;

  ArchiveJob job = Job(1);
  std::string info_suffix = job.entries.empty() ? "" : job.entries[0].name.substr(job.entries[0].name.rfind('_') + 1);
  ASSERT_EQ(info_suffix.size(), 8u);
  const std::string info = ":component_info_" + info_suffix;
  const std::string config = TreeName(root_) + "/config/";
  const std::string tree = TreeName(root_) + "/tree/";
  const std::string outside = TreeName(root_) + "/outside";
  const std::string reg = "/@SYSTEMSTATE/Registry Writer/Registry/Registry/";
  const std::string keys = reg + "K/";
  const std::string stamp = "/@SYSTEMSTATE/..\\Stamp:Writer*/";
  EXPECT_THAT(Names(job),
              ElementsAre(reg + info, reg + config + "software", reg + config + "system",  //
                          keys + info, keys + config + "full.only", keys + tree + "sub/leaf.txt", keys + tree + "sub/",
                          keys, reg, "/@SYSTEMSTATE/Registry Writer/",  // the parent's directory after its child
                          "/@SYSTEMSTATE/Event Writer/Logs/" + info,
                          "/@SYSTEMSTATE/Event Writer/Logs/" + TreeName(root_) + "/logs/app.evt",
                          "/@SYSTEMSTATE/Event Writer/Logs/", "/@SYSTEMSTATE/Event Writer/",  //
                          "/@SYSTEMSTATE/Outside Writer/Outside/" + info,
                          "/@SYSTEMSTATE/Outside Writer/Outside/" + outside + "/free.dat",
                          "/@SYSTEMSTATE/Outside Writer/Outside/", "/@SYSTEMSTATE/Outside Writer/",  //
                          stamp + "A/" + info, stamp + "A/", stamp + "B/" + info, stamp + "B/", stamp,
                          "/@SYSTEMSTATE/"));

  // The information file: logical path and name, each ended by a line feed, then a null character.
  const ArchiveEntry* registry_info = Entry(job, "Registry/Registry/" + info);
  ASSERT_NE(registry_info, nullptr);
  EXPECT_EQ(Data(job, registry_info->data_file, registry_info->data_len), Utf16(std::wstring(L"Registry\nRegistry\n", 19)));
  EXPECT_EQ(registry_info->st.st_size, 38);
  EXPECT_EQ(registry_info->st.st_mode, 0100700);
  EXPECT_EQ(registry_info->type, FILE_TYPE_REGULAR);
  const ArchiveEntry* logs_info = Entry(job, "Logs/" + info);
  ASSERT_NE(logs_info, nullptr);
  EXPECT_EQ(Data(job, logs_info->data_file, logs_info->data_len), Utf16(std::wstring(L"\nLogs\n", 7)));
  EXPECT_EQ(Entry(job, "Registry Writer/")->type, FILE_TYPE_DIRECTORY);
  EXPECT_EQ(Entry(job, "Registry Writer/")->st.st_mode, 040700);

  // File data comes from the snapshot: the backup stream holds the laid out bytes.
  const ArchiveEntry* system = Entry(job, "/config/system");
  ASSERT_NE(system, nullptr);
  std::string expected;
  for (int i = 0; i < 5000; ++i) expected += static_cast<char>(LayoutByte(L"%SIMVSS_ROOT%\\Config\\SYSTEM", i));
  EXPECT_THAT(Data(job, system->data_file, system->data_len), HasSubstr(expected));

  // The first writer's document, then those of the writers that took part.
  std::vector<std::string> objects;
  for (const auto& object : job.objects) objects.push_back(object.name.substr(0, object.name.find('{')));
  EXPECT_THAT(objects, ElementsAre("vss_Registry Writer_", "vss_Event Writer_", "vss_Outside Writer_",
                                   "vss_..\\Stamp:Writer*_", "job_metadata.xml"));

  std::vector<std::string> exclusions;
  for (const auto& exclusion : job.exclusions) {
    if (exclusion.kind == "regex") exclusions.push_back(std::to_string(exclusion.type) + " " + exclusion.text);
  }
  EXPECT_THAT(exclusions, Contains(AllOf(HasSubstr("70 C:/"), EndsWith("/Config/SYSTEM"))));
  EXPECT_THAT(exclusions, Contains(AllOf(HasSubstr("32 C:/"), EndsWith("/Tree(/|/.*/).*"))));
  EXPECT_THAT(exclusions, Not(Contains(HasSubstr("Home"))));

  std::vector<std::string> lines = run.Lines();
  EXPECT_THAT(lines, Contains("WARNING: Writer \"Event Writer\" has invalid state. ERR=The writer vetoed the shadow "
                              "copy creation process during the freeze state."));
  EXPECT_THAT(lines, Contains("ERROR: Writer \"Event Writer\" component \"Logs\": the writer failed during the "
                              "snapshot, the data backed up may be inconsistent."));
  EXPECT_THAT(lines, Contains("WARNING: Component \"Outside\" of writer \"Outside Writer\": no snapshot of volume "
                              "R:\\Nowhere, its files there are read from the live volume."));
  EXPECT_THAT(lines, Contains(AllOf(HasSubstr("ERROR: Cannot back up \""),
                                    EndsWith("\\Outside\\?.dat\": its name cannot be written in this system's code page."))));
  EXPECT_THAT(lines, Contains("ERROR: Writer \"Outside Writer\" component \"Outside\": 1 file(s) could not be backed up."));
  EXPECT_THAT(lines, Contains(HasSubstr("WARNING: Component \"B\" depends on \"\\Nowhere\", which no writer has.")));

  // Success only where every file was sent from consistent data; the child component was never added.
  std::vector<std::string> succeeded;
  for (const auto& line : Journal("SetBackupSucceeded")) {
    size_t end = line.rfind('"');
    size_t name = line.rfind('"', end - 1) + 1;
    succeeded.push_back(line.substr(name, end - name) + line.substr(end + 1));
  }
  EXPECT_THAT(succeeded, ElementsAre("Registry, true) = 0x00000000", "Keys, true) = 0x80042308",
                                     "Logs, false) = 0x00000000", "Outside, false) = 0x00000000",
                                     "A, true) = 0x00000000", "B, true) = 0x00000000"));
  EXPECT_THAT(Journal("SetPreviousBackupStamp"), IsEmpty());

  // Stamp files stay in the working folder whatever the writer's name, one for the last backup and
  // one for the last full backup; the component without logical path leaves an empty line. The
  // components that did not succeed leave none: the next backup of them must be a full one.
  std::vector<std::string> stamps = StampFiles();
  ASSERT_EQ(stamps.size(), 4u);
  for (const auto& name : stamps) EXPECT_EQ(name.rfind(".._Stamp_Writer__", 0), 0u) << name;
  std::vector<std::string> contents;
  for (const auto& name : stamps) contents.push_back(ScratchArchive::ReadFile(scratch_.Working(name)));
  EXPECT_THAT(contents, Contains(AllOf(StartsWith(Utf16(L"STAMP-A")), EndsWith(Utf16(L"\n\nA\n")))));
  EXPECT_THAT(contents, Contains(AllOf(StartsWith(Utf16(L"STAMP-B")), EndsWith(Utf16(L"\n\nB\n")))));
}

// After the snapshot another program holds a file of a component open without sharing: it fails at
// its open, the component is reported as failed, the rest goes on.
TEST_F(BackupFlow, AFileHeldOpenAfterTheSnapshotFailsItsComponentOnly) {
  UseMachine(R"(<machine name="HELD"><writer name="Data Writer" classId="{f8000000-0000-4000-8000-000000000008}"
      instanceId="{f8000000-0000-4000-8000-000000000008}" usage="SYSTEMSERVICE">
      <component name="Data"><file path="%SIMVSS_ROOT%\Data" filespec="*.dat"/></component></writer>
    <writer name="Other Writer" classId="{f9000000-0000-4000-8000-000000000009}"
      instanceId="{f9000000-0000-4000-8000-000000000009}" usage="SYSTEMSERVICE">
      <component name="Other"><file path="%SIMVSS_ROOT%\Other" filespec="*"/></component></writer><layout>
    <file path="%SIMVSS_ROOT%\Data\kept.dat" size="10"/>
    <file path="%SIMVSS_ROOT%\Data\locked.dat" size="10"/><file path="%SIMVSS_ROOT%\Other\o.txt" size="10"/>
    </layout></machine>)");
  std::string snapshots = scratch_.path() + "\\snapshots";
  SetEnvironmentVariableA("SIMVSS_SNAPSHOT_ROOT", snapshots.c_str());
  std::string event = "flow-hold-" + std::to_string(GetCurrentProcessId());
  HANDLE release = CreateEventA(nullptr, TRUE, FALSE, event.c_str());
  std::string data = root_.substr(2) + "\\Data\\";  // below the snapshot folder, as on the volume
  HostsimRun run = Backup({"vss:/@SYSTEMSTATE/"}, "F",
                          {"--after-snapshot", "for /d %d in (" + snapshots + "\\snapshot-*) do flow-hold.exe " + event +
                                                   " %d" + data + "locked.dat"});
  SetEvent(release);
  CloseHandle(release);
  SetEnvironmentVariableA("SIMVSS_SNAPSHOT_ROOT", nullptr);
  EXPECT_THAT(run.out, Not(HasSubstr("contract violation")));
  EXPECT_THAT(run.LastLine(), EndsWith("live_blocks=0")) << run.out << run.err;
  std::vector<std::string> lines = run.Lines();
  EXPECT_THAT(lines, Contains(AllOf(StartsWith("WARNING: Open failed on file=\""), HasSubstr("\\Data\\locked.dat\" full_path="),
                                    HasSubstr("/root/data/locked.dat\"        ERR="))));
  EXPECT_THAT(lines, Contains(EndsWith("/root/data/locked.dat could not be opened for reading: not saved")));
  EXPECT_THAT(lines, Contains("ERROR: Writer \"Data Writer\" component \"Data\": 1 file(s) could not be backed up."));
  EXPECT_THAT(Journal("SetBackupSucceeded"), ElementsAre(HasSubstr("\"Data\", false) = 0x00000000"),
                                                         HasSubstr("\"Other\", true) = 0x00000000")));
  EXPECT_THAT(Names(Job(1)), AllOf(Contains(EndsWith("/data/kept.dat")), Contains(EndsWith("/other/o.txt")),
                                   Contains("/@SYSTEMSTATE/Other Writer/Other/")));
}

// The full backup reads the snapshot while the live files move on to the next generation; the
// incremental after it sends the changes with the full's stamp, the differential after that
// takes the full's stamp again.
TEST_F(BackupFlow, ChainOnAChangingServerReadsTheSnapshotAndPassesTheRightStamps) {
  UseMachineFile("server2008r2.xml");
  std::string before = scratch_.path() + "\\generation0";
  std::filesystem::copy(root_, before, std::filesystem::copy_options::recursive);
  std::string layout = "simvss-layout.exe " + machine_ + " " + root_ + " --generation 1";
  HostsimRun full = Backup({"vss:/@SYSTEMSTATE/"}, "F", {"--after-snapshot", layout});
  ASSERT_EQ(full.status, 0) << full.out;
  EXPECT_THAT(full.LastLine(), EndsWith("live_blocks=0"));

  ArchiveJob job = Job(1);
  const std::string live_prefix = TreeName(root_) + "/";
  int compared = 0, changed_since = 0;
  for (const auto& entry : job.entries) {
    size_t at = entry.name.find(live_prefix);
    if (entry.type != FILE_TYPE_REGULAR || at == std::string::npos) continue;
    std::string relative = entry.name.substr(at + live_prefix.size());
    std::replace(relative.begin(), relative.end(), '/', '\\');
    std::string old_bytes = ScratchArchive::ReadFile(before + "\\" + relative);
    EXPECT_THAT(Data(job, entry.data_file, entry.data_len), HasSubstr(old_bytes)) << entry.name;
    ++compared;
    if (ScratchArchive::ReadFile(root_ + "\\" + relative) != old_bytes) ++changed_since;
  }
  EXPECT_GT(compared, 20);
  EXPECT_GT(changed_since, 0);
  // The System Writer's mandatory "Win32 Services Files" goes with "System Files".
  EXPECT_THAT(Names(job), Contains(EndsWith("/windows/system32/svchost.exe")));
  std::string full_stamp = ScratchArchive::ReadFile(scratch_.Working(StampFiles().at(1)));
  std::string full_stamp_text(full_stamp.size() / 2, ' ');
  for (size_t i = 0; i < full_stamp_text.size(); ++i) full_stamp_text[i] = full_stamp[2 * i];
  full_stamp_text = full_stamp_text.substr(0, full_stamp_text.find('\n'));

  HostsimRun incremental = Backup({"vss:/@SYSTEMSTATE/"}, "I");
  ASSERT_EQ(incremental.status, 0) << incremental.out;
  EXPECT_THAT(PreviousStamps(), ElementsAre("Site Licenses=" + full_stamp_text));
  int sent = 0;
  for (const auto& entry : Job(2).entries) sent += entry.type == FILE_TYPE_REGULAR && entry.name.find(live_prefix) != std::string::npos;
  EXPECT_GT(sent, 0);
  EXPECT_LT(sent, compared);
  // The files generation 1 removed are gone; every other entry the incremental did not send stays.
  int gone = 0;
  for (const auto& check : Job(2).checks) {
    size_t at = check.name.find(live_prefix);
    bool removed = at != std::string::npos && !std::filesystem::exists(root_ + "\\" + check.name.substr(at + live_prefix.size()));
    EXPECT_EQ(check.seen, !removed) << check.name;
    gone += removed;
  }
  EXPECT_EQ(gone, 3);

  HostsimRun differential = Backup({"vss:/@SYSTEMSTATE/"}, "D");
  ASSERT_EQ(differential.status, 0) << differential.out;
  EXPECT_THAT(PreviousStamps(), ElementsAre("Site Licenses=" + full_stamp_text));
  EXPECT_NE(ScratchArchive::ReadFile(scratch_.Working(StampFiles().at(0))), full_stamp);
}

TEST_F(BackupFlow, ACancelledBackupEndsCleanly) {
  UseDemoMachine();
  HostsimRun run = Backup({"vss:/@SYSTEMSTATE/"}, "F", {"--cancel-after", "5"});
  EXPECT_EQ(run.status, 0) << run.out;
  EXPECT_THAT(run.Lines(), Contains("INFO: the job is cancelled after 5 entries"));
  EXPECT_THAT(run.LastLine(), EndsWith("live_blocks=0"));
}

TEST_F(BackupFlow, IncrementalTakesTheLastStampAndDifferentialTheLastFullOne) {
  UseDemoMachine();
  HostsimRun full = Backup({"vss:/@MSSQL/:+msdb"});
  ASSERT_EQ(full.status, 0) << full.out;
  EXPECT_THAT(Journal("SetPreviousBackupStamp"), IsEmpty());
  ASSERT_EQ(StampFiles().size(), 2u);

  WriteStamps("SqlServerWriter_", L"LAST-STAMP\nSERVER01\nmsdb\n", L"FULL-STAMP\nSERVER01\nmsdb\n");
  HostsimRun incremental = Backup({"vss:/@MSSQL/:+msdb"}, "I");
  ASSERT_EQ(incremental.status, 0) << incremental.out;
  EXPECT_THAT(Journal("SetPreviousBackupStamp"), ElementsAre(HasSubstr("\"SERVER01\", \"msdb\", \"LAST-STAMP\")")));
  // Every entry of the base job that this one did not send is still present.
  ArchiveJob job = Job(2);
  ASSERT_FALSE(job.checks.empty());
  for (const auto& check : job.checks) EXPECT_TRUE(check.seen) << check.name;

  WriteStamps("SqlServerWriter_", L"LAST-STAMP\n", L"FULL-STAMP\n");
  HostsimRun differential = Backup({"vss:/@MSSQL/:+msdb"}, "D");
  ASSERT_EQ(differential.status, 0) << differential.out;
  EXPECT_THAT(Journal("SetPreviousBackupStamp"), ElementsAre(HasSubstr("\"msdb\", \"FULL-STAMP\")")));

  // A stamp file without a line feed holds no stamp.
  WriteStamps("SqlServerWriter_", L"ABC", L"ABC");
  HostsimRun unstamped = Backup({"vss:/@MSSQL/:+msdb"}, "I");
  ASSERT_EQ(unstamped.status, 0) << unstamped.out;
  EXPECT_THAT(Journal("SetPreviousBackupStamp"), IsEmpty());
}

// "command component" for every component information file of job 1.
std::vector<std::string> ComponentsByCommand(const ArchiveJob& job) {
  std::vector<std::string> components;
  for (const auto& entry : job.entries) {
    size_t at = entry.name.find("/:component_info_");
    if (at != std::string::npos) components.push_back(std::to_string(entry.command) + " " + entry.name.substr(0, at));
  }
  return components;
}

TEST_F(BackupFlow, EachCommandSendsTheComponentsItsSelectionAndDependenciesGiveIt) {
  UseDemoMachine();
  HostsimRun run = Backup({"vss:/@MSSQL/:+master", "::vss::/@EXCHANGE/", "vss:/@SHAREPOINT/"});
  ASSERT_EQ(run.status, 0) << run.out;
  EXPECT_THAT(run.LastLine(), EndsWith("live_blocks=0"));
  const std::string exchange = "2 /@EXCHANGE/Microsoft Exchange Writer/Microsoft Information Store/SERVER01/First Storage Group";
  EXPECT_THAT(ComponentsByCommand(Job(1)),
              ElementsAre("1 /@MSSQL/SqlServerWriter/SERVER01/master", exchange, exchange + "/Mailbox Database",
                          exchange + "/Public Folder Database",
                          // The content database comes with the SharePoint writer that depends on it.
                          "3 /@SHAREPOINT/SqlServerWriter/SERVER01/WSS_Content",
                          "3 /@SHAREPOINT/SharePoint Services Writer/SERVER01/Team Sites"));
}

TEST_F(BackupFlow, TwoCommandsForOneElementEachSendTheirOwnSelection) {
  UseDemoMachine();
  HostsimRun run = Backup({"vss:/@MSSQL/:+master", "vss:/@MSSQL/:-Sales"});
  EXPECT_THAT(run.LastLine(), EndsWith("live_blocks=0"));
  EXPECT_THAT(ComponentsByCommand(Job(1)),
              ElementsAre("1 /@MSSQL/SqlServerWriter/SERVER01/master", "2 /@MSSQL/SqlServerWriter/SERVER01/model",
                          "2 /@MSSQL/SqlServerWriter/SERVER01/msdb", "2 /@MSSQL/SqlServerWriter/SERVER01/WSS_Content",
                          "2 /@MSSQL/MSDEWriter/SERVER01/MONITORING/Monitor"));
  // Both commands end with the directories of the element and of the writer they share.
  for (const auto& line : run.Lines()) {
    if (line.find("contract violation") == std::string::npos) continue;
    EXPECT_THAT(line, AnyOf(HasSubstr("after its directory entry /@MSSQL/"), HasSubstr("/@MSSQL/ sent twice"),
                            HasSubstr("/@MSSQL/SqlServerWriter/ sent twice")));
  }
}

TEST_F(BackupFlow, NoWritersGiveOnlyTheElementDirectoryAndNoDocuments) {
  UseMachine("<machine name=\"EMPTY\"></machine>");
  HostsimRun run = Backup({"vss:/@SYSTEMSTATE/"});
  ASSERT_EQ(run.status, 0) << run.out;
  EXPECT_THAT(Names(Job(1)), ElementsAre("/@SYSTEMSTATE/"));
  EXPECT_EQ(Job(1).entries[0].type, FILE_TYPE_DIRECTORY);
  EXPECT_THAT(run.LastLine(), EndsWith("objects=1 live_blocks=0"));
}

TEST_F(BackupFlow, CommandsNamingNoElementFailWithoutCrashing) {
  UseDemoMachine();
  HostsimRun run = Backup({"vss:/"});
  EXPECT_EQ(run.status, 1);
  EXPECT_THAT(run.Lines(), Contains("FATAL: Unknown VSS element \"/\"."));
  EXPECT_THAT(run.LastLine(), EndsWith("live_blocks=0"));
  run = Backup({"vss:/@SYSTEMSTATE"});
  EXPECT_THAT(run.Lines(), Contains("FATAL: Unknown VSS element \"@SYSTEMSTAT\"."));
  EXPECT_THAT(run.LastLine(), EndsWith("live_blocks=0"));
}

// One file node lives at a time: ten times the files must not need more blocks at once.
TEST_F(BackupFlow, LiveBlocksDoNotGrowWithTheNumberOfFiles) {
  auto peak_for = [&](int files) {
    std::string xml = R"(<machine name="MANY"><writer name="Many Writer" classId="{f7000000-0000-4000-8000-000000000007}"
      instanceId="{f7000000-0000-4000-8000-000000000007}" usage="SYSTEMSERVICE"><component name="Many">
      <file path="%SIMVSS_ROOT%\Many" filespec="*" recursive="true"/></component></writer><layout>)";
    for (int i = 0; i < files; ++i)
      xml += "<file path=\"%SIMVSS_ROOT%\\Many\\d" + std::to_string(i / 500) + "\\f" + std::to_string(i) + "\" size=\"1\"/>";
    xml += "</layout></machine>";
    std::filesystem::remove_all(root_);
    UseMachine(xml);
    harbek_peak_live_blocks(true);
    HostsimRun run = Backup({"vss:/@SYSTEMSTATE/"});
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_THAT(run.LastLine(), HasSubstr("entries=" + std::to_string(files + (files + 499) / 500 + 4) + " "));
    return harbek_peak_live_blocks(true);
  };
  // Each file costs Wine some milliseconds; FLOW_MANY_FILES=1000 gives the full-size comparison.
  char count_text[16] = "";
  GetEnvironmentVariableA("FLOW_MANY_FILES", count_text, sizeof(count_text));
  int count = atoi(count_text) > 0 ? atoi(count_text) : 200;
  size_t small = peak_for(count);
  size_t large = peak_for(10 * count);
  EXPECT_LE(large, small + 5) << count << " files: " << small << " blocks, " << 10 * count << " files: " << large;
  std::cout << "peak live blocks: " << small << " for " << count << " files, " << large << " for " << 10 * count << "\n";
}

}  // namespace
