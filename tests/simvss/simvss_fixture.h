// A small machine on the Wine C: drive for driving the simulated service as a requester would:
// a folder with live files, a machine description naming them, a journal, and a check that no
// COM object of the service outlives a test.
#pragma once

#include <windows.h>
#include <vsbackup.h>
#include <vsserror.h>

#include <gtest/gtest.h>

#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "backup_components.h"
#include "component_views.h"
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

  // The test machine: a file writer with backup results, and a database writer with the
  // attributes `sql_writer` (by default it fails at freeze). `more` goes into the machine element.
  static std::string MachineXml(int pending_polls, const std::string& sql_writer = "failAt=\"FREEZE\"",
                                const std::string& more = "") {
    std::ostringstream xml;
    xml << "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
        << "<machine name=\"TEST\" pendingPolls=\"" << pending_polls << "\">\n"
        << " <writer name=\"Files Writer\" classId=\"{11111111-0000-0000-0000-000000000001}\"\n"
        << "   instanceId=\"{22222222-0000-0000-0000-000000000001}\" usage=\"USERDATA\"\n"
        << "   backupSchema=\"DIFFERENTIAL|INCREMENTAL\">\n"
        << "  <component name=\"Data\" backupStamp=\"stamp\">\n"
        << "   <file path=\"%SIMVSS_TEST_ROOT%\\data\" filespec=\"*.txt\" recursive=\"true\"/>\n"
        << "   <differencedFile path=\"%SIMVSS_TEST_ROOT%\\data\" filespec=\"*.txt\" recursive=\"true\"\n"
        << "     lsn=\"\"/>\n"
        << "   <partialFile path=\"%SIMVSS_TEST_ROOT%\\data\" filename=\"a.txt\" ranges=\"0:2\" metadata=\"m\"/>\n"
        << "  </component>\n"
        << " </writer>\n"
        << " <writer name=\"Sql Writer\" classId=\"{11111111-0000-0000-0000-000000000002}\"\n"
        << "   instanceId=\"{22222222-0000-0000-0000-000000000002}\" usage=\"USERDATA\" source=\"TRANSACTEDDB\"\n"
        << "   " << sql_writer << ">\n"
        << "  <component type=\"DATABASE\" logicalPath=\"SRV\" name=\"sales\">\n"
        << "   <database path=\"%SIMVSS_TEST_ROOT%\\db\" filespec=\"sales.mdf\"/>\n"
        << "   <log path=\"%SIMVSS_TEST_ROOT%\\db\" filespec=\"sales.ldf\"/>\n"
        << "  </component>\n"
        << " </writer>\n"
        << more << "</machine>\n";
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

  // A backup of both test components (Data with a previous stamp) up to the snapshot; the
  // snapshot set id comes back.
  void BackupUpToSnapshot(IVssBackupComponents* backup, VSS_ID* set_id, VSS_BACKUP_TYPE type = VSS_BT_FULL,
                          const wchar_t* previous_stamp = L"old", bool partial_files = false,
                          std::optional<LONG> context = std::nullopt) {
    ASSERT_EQ(S_OK, backup->InitializeForBackup(nullptr));
    if (context) {
      ASSERT_EQ(S_OK, backup->SetContext(*context));
    }
    ASSERT_EQ(S_OK, backup->SetBackupState(true, true, type, partial_files));
    IVssAsync* async = nullptr;
    ASSERT_EQ(S_OK, backup->GatherWriterMetadata(&async));
    ASSERT_EQ(VSS_S_ASYNC_FINISHED, Wait(async));
    ASSERT_EQ(S_OK, backup->AddComponent(kFilesWriterInstance, kFilesWriterClass, VSS_CT_FILEGROUP, nullptr,
                                         L"Data"));
    ASSERT_EQ(S_OK, backup->AddComponent(kSqlWriterInstance, kSqlWriterClass, VSS_CT_DATABASE, L"SRV",
                                         L"sales"));
    if (previous_stamp) {
      ASSERT_EQ(S_OK, backup->SetPreviousBackupStamp(kFilesWriterClass, VSS_CT_FILEGROUP, L"", L"Data",
                                                     previous_stamp));
    }
    ASSERT_EQ(S_OK, backup->StartSnapshotSet(set_id));
    VSS_ID snapshot_id;
    ASSERT_EQ(S_OK, backup->AddToSnapshotSet(const_cast<wchar_t*>(L"C:\\"), GUID_NULL, &snapshot_id));
    ASSERT_EQ(S_OK, backup->PrepareForBackup(&async));
    ASSERT_EQ(VSS_S_ASYNC_FINISHED, Wait(async));
    ASSERT_EQ(S_OK, backup->DoSnapshotSet(&async));
    ASSERT_EQ(VSS_S_ASYNC_FINISHED, Wait(async));
  }

  // Component `index` of writer `writer` in the object's document.
  static IVssComponent* DocumentComponent(IVssBackupComponents* backup, UINT writer, UINT index) {
    IVssWriterComponentsExt* ext = nullptr;
    if (FAILED(backup->GetWriterComponents(writer, &ext))) return nullptr;
    IVssComponent* component = nullptr;
    ext->GetComponent(index, &component);
    WriterComponentsUnknown(ext)->Release();
    return component;
  }

  // A text getter's answer: the text, "<null>" for none, "<failed>" for an error.
  static std::wstring Text(HRESULT (STDMETHODCALLTYPE IVssComponent::*get)(BSTR*), IVssComponent* component) {
    BSTR text = nullptr;
    if (!component || FAILED((component->*get)(&text))) return L"<failed>";
    std::wstring out = text ? text : L"<null>";
    SysFreeString(text);
    return out;
  }

  // A backup of both components run to its end; Data's stamp comes back, and when asked for the
  // saved document and Data's component (for the caller to release).
  std::wstring CompletedBackup(VSS_BACKUP_TYPE type = VSS_BT_FULL, const wchar_t* previous_stamp = nullptr,
                               bool partial_files = false, std::wstring* document = nullptr,
                               IVssComponent** data_out = nullptr) {
    BackupComponents backup;
    EXPECT_EQ(S_OK, CreateSimBackupComponents(CurrentMachine(), backup.put()));
    VSS_ID set_id;
    BackupUpToSnapshot(backup.get(), &set_id, type, previous_stamp, partial_files);
    IVssComponent* data = DocumentComponent(backup.get(), 0, 0);
    std::wstring stamp = Text(&IVssComponent::GetBackupStamp, data);
    if (data_out) {
      *data_out = data;
    } else if (data) {
      data->Release();
    }
    EXPECT_EQ(S_OK, backup->SetBackupSucceeded(kFilesWriterInstance, kFilesWriterClass, VSS_CT_FILEGROUP, nullptr,
                                               L"Data", true));
    IVssAsync* async = nullptr;
    EXPECT_EQ(S_OK, backup->BackupComplete(&async));
    EXPECT_EQ(VSS_S_ASYNC_FINISHED, Wait(async));
    BSTR xml = nullptr;
    EXPECT_EQ(S_OK, backup->SaveAsXML(&xml));
    if (document && xml) {
      // A NUL-terminated text whose length is the BSTR's.
      EXPECT_EQ(SysStringLen(xml), wcslen(xml));
      *document = xml;
    }
    SysFreeString(xml);
    return stamp;
  }

  // A new object initialised for restore with `document`, its writers' metadata gathered when
  // asked for.
  static void OpenRestore(const std::wstring& document, BackupComponents* restore, bool gather = true) {
    ASSERT_EQ(S_OK, CreateSimBackupComponents(CurrentMachine(), restore->put()));
    BSTR xml = SysAllocString(document.c_str());
    HRESULT hr = (*restore)->InitializeForRestore(xml);
    SysFreeString(xml);
    ASSERT_EQ(S_OK, hr);
    if (!gather) return;
    IVssAsync* async = nullptr;
    ASSERT_EQ(S_OK, (*restore)->GatherWriterMetadata(&async));
    ASSERT_EQ(VSS_S_ASYNC_FINISHED, Wait(async));
  }

  std::wstring root_;
  std::string journal_;
};
