// A small machine on the Wine C: drive for driving the simulated service as a requester would:
// a folder with live files, a machine description naming them, a journal, and a check that no
// COM object of the service outlives a test.
#pragma once

#include <windows.h>
#include <vsbackup.h>
#include <vsserror.h>

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "backup_components.h"
#include "enum_snapshots.h"
#include "object_count.h"
#include "service_config.h"
#include "snapshot.h"

// Writer and instance ids of the test machine.
const VSS_ID kFilesWriterClass = {0x11111111, 0x0000, 0x0000, {0, 0, 0, 0, 0, 0, 0, 1}};
const VSS_ID kFilesWriterInstance = {0x22222222, 0x0000, 0x0000, {0, 0, 0, 0, 0, 0, 0, 1}};
const VSS_ID kSqlWriterClass = {0x11111111, 0x0000, 0x0000, {0, 0, 0, 0, 0, 0, 0, 2}};
const VSS_ID kSqlWriterInstance = {0x22222222, 0x0000, 0x0000, {0, 0, 0, 0, 0, 0, 0, 2}};

inline std::string Narrow(const std::wstring& text) {
  std::string out;
  for (wchar_t c : text) out += static_cast<char>(c);
  return out;
}

class SimVssTest : public ::testing::Test {
 protected:
  void SetUp() override {
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    root_ = L"C:\\simvss-test-" + std::to_wstring(GetCurrentProcessId());
    RemoveSnapshotFolder(root_);
    ASSERT_TRUE(CreateDirectoryW(root_.c_str(), nullptr));
    CreateDirectoryW((root_ + L"\\data").c_str(), nullptr);
    CreateDirectoryW((root_ + L"\\data\\sub").c_str(), nullptr);
    CreateDirectoryW((root_ + L"\\db").c_str(), nullptr);
    WriteLive(L"data\\a.txt", "one");
    WriteLive(L"data\\sub\\b.txt", "two");
    WriteLive(L"data\\c.bin", "three");
    WriteLive(L"db\\sales.mdf", "rows");
    WriteLive(L"db\\sales.ldf", "log");
    WriteLive(L"db\\other.mdf", "not named");
    SetEnvironmentVariableW(L"SIMVSS_TEST_ROOT", root_.c_str());
    SetEnvironmentVariableW(L"SIMVSS_SNAPSHOT_ROOT", (root_ + L"\\snapshots").c_str());
    Configure(MachineXml(1));
  }

  void TearDown() override {
    ConfigureService(nullptr, nullptr);
    RemoveSnapshotFolder(root_);
    SetEnvironmentVariableW(L"SIMVSS_SNAPSHOT_ROOT", nullptr);
    SetEnvironmentVariableW(L"SIMVSS_TEST_ROOT", nullptr);
    EXPECT_EQ(0, g_simvss_objects) << "a COM object of the service was not released";
    CoUninitialize();
  }

  // The test machine: a file writer with backup results and a failure to report after the
  // snapshot, and a database writer.
  static std::string MachineXml(int pending_polls) {
    std::ostringstream xml;
    xml << "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
        << "<machine name=\"TEST\" pendingPolls=\"" << pending_polls << "\">\n"
        << " <writer name=\"Files Writer\" classId=\"{11111111-0000-0000-0000-000000000001}\"\n"
        << "   instanceId=\"{22222222-0000-0000-0000-000000000001}\" usage=\"USERDATA\"\n"
        << "   backupSchema=\"DIFFERENTIAL|INCREMENTAL\" stateAfterSnapshot=\"FAILED_AT_FREEZE\"\n"
        << "   failureAfterSnapshot=\"0x800423f4\">\n"
        << "  <component name=\"Data\" backupStamp=\"stamp-1\">\n"
        << "   <file path=\"%SIMVSS_TEST_ROOT%\\data\" filespec=\"*.txt\" recursive=\"true\"/>\n"
        << "   <differencedFile path=\"%SIMVSS_TEST_ROOT%\\data\" filespec=\"*.txt\" recursive=\"true\"\n"
        << "     lsn=\"\" lastModified=\"132000000000000000\"/>\n"
        << "   <partialFile path=\"%SIMVSS_TEST_ROOT%\\data\" filename=\"a.txt\" ranges=\"0:2\" metadata=\"m\"/>\n"
        << "  </component>\n"
        << " </writer>\n"
        << " <writer name=\"Sql Writer\" classId=\"{11111111-0000-0000-0000-000000000002}\"\n"
        << "   instanceId=\"{22222222-0000-0000-0000-000000000002}\" usage=\"USERDATA\" source=\"TRANSACTEDDB\">\n"
        << "  <component type=\"DATABASE\" logicalPath=\"SRV\" name=\"sales\">\n"
        << "   <database path=\"%SIMVSS_TEST_ROOT%\\db\" filespec=\"sales.mdf\"/>\n"
        << "   <log path=\"%SIMVSS_TEST_ROOT%\\db\" filespec=\"sales.ldf\"/>\n"
        << "  </component>\n"
        << " </writer>\n"
        << "</machine>\n";
    return xml.str();
  }

  void Configure(const std::string& machine_xml) {
    std::string machine = Narrow(root_) + "\\machine.xml";
    std::ofstream(machine, std::ios::binary) << machine_xml;
    journal_ = Narrow(root_) + "\\journal.txt";
    DeleteFileA(journal_.c_str());
    ASSERT_EQ(S_OK, ConfigureService(machine.c_str(), journal_.c_str()));
  }

  void WriteLive(const std::wstring& relative, const std::string& content) {
    std::ofstream(Narrow(root_ + L"\\" + relative), std::ios::binary | std::ios::trunc) << content;
  }

  static std::string ReadFile(const std::wstring& path) {
    std::ifstream in(Narrow(path), std::ios::binary);
    if (!in) return "<missing>";
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
  }

  std::vector<std::string> JournalLines() const {
    std::vector<std::string> lines;
    std::ifstream in(journal_);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }

  // The journal lines of one call, without the object number.
  std::vector<std::string> JournalCalls(const std::string& call) const {
    std::vector<std::string> found;
    for (const std::string& line : JournalLines()) {
      size_t space = line.find(' ');
      if (space != std::string::npos && line.compare(space + 1, call.size() + 1, call + "(") == 0)
        found.push_back(line.substr(space + 1));
    }
    return found;
  }

  // Waits as a requester does and hands back the operation's final status.
  static HRESULT Wait(IVssAsync* async, int* pending_answers = nullptr) {
    if (!async) return E_POINTER;
    HRESULT status = S_OK;
    int pending = 0;
    for (int i = 0; i < 100; ++i) {
      if (FAILED(async->QueryStatus(&status, nullptr))) break;
      if (status != VSS_S_ASYNC_PENDING) break;
      ++pending;
    }
    async->Release();
    if (pending_answers) *pending_answers = pending;
    return status;
  }

  // A full backup up to the writers' metadata.
  static void StartBackup(IVssBackupComponents* backup) {
    ASSERT_EQ(S_OK, backup->InitializeForBackup(nullptr));
    ASSERT_EQ(S_OK, backup->SetBackupState(true, true, VSS_BT_FULL, false));
    IVssAsync* async = nullptr;
    ASSERT_EQ(S_OK, backup->GatherWriterMetadata(&async));
    ASSERT_EQ(VSS_S_ASYNC_FINISHED, Wait(async));
  }

  // A full backup of both test components (Data with a previous stamp) up to the snapshot; the snapshot set id comes back.
  void BackupUpToSnapshot(IVssBackupComponents* backup, VSS_ID* set_id) {
    ASSERT_NO_FATAL_FAILURE(StartBackup(backup));
    IVssAsync* async = nullptr;
    ASSERT_EQ(S_OK, backup->AddComponent(kFilesWriterInstance, kFilesWriterClass, VSS_CT_FILEGROUP, nullptr,
                                         L"Data"));
    ASSERT_EQ(S_OK, backup->AddComponent(kSqlWriterInstance, kSqlWriterClass, VSS_CT_DATABASE, L"SRV",
                                         L"sales"));
    ASSERT_EQ(S_OK, backup->SetPreviousBackupStamp(kFilesWriterClass, VSS_CT_FILEGROUP, L"", L"Data", L"old"));
    ASSERT_EQ(S_OK, backup->StartSnapshotSet(set_id));
    VSS_ID snapshot_id;
    ASSERT_EQ(S_OK, backup->AddToSnapshotSet(const_cast<wchar_t*>(L"C:\\"), GUID_NULL, &snapshot_id));
    ASSERT_EQ(S_OK, backup->PrepareForBackup(&async));
    ASSERT_EQ(VSS_S_ASYNC_FINISHED, Wait(async));
    ASSERT_EQ(S_OK, backup->DoSnapshotSet(&async));
    ASSERT_EQ(VSS_S_ASYNC_FINISHED, Wait(async));
  }

  std::wstring root_;
  std::string journal_;
};

// A backup components object that releases itself.
class BackupComponents {
 public:
  BackupComponents() = default;
  ~BackupComponents() { Reset(); }
  BackupComponents(const BackupComponents&) = delete;
  BackupComponents& operator=(const BackupComponents&) = delete;
  IVssBackupComponents* operator->() const { return p_; }
  IVssBackupComponents* get() const { return p_; }
  IVssBackupComponents** put() { Reset(); return &p_; }
  void Reset() {
    if (p_) p_->Release();
    p_ = nullptr;
  }

 private:
  IVssBackupComponents* p_ = nullptr;
};
