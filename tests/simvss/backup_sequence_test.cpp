// A backup driven as a requester drives it: the snapshot, what the writers report afterwards,
// the waiting loops and the journal.
#include "simvss_fixture.h"

#include "component_views.h"

namespace {

class BackupSequenceTest : public SimVssTest {
 protected:
  // The one snapshot the service lists, with its properties released afterwards.
  void QuerySingleSnapshot(IVssBackupComponents* backup, std::wstring* device, std::wstring* volume) {
    IVssEnumObject* found = nullptr;
    ASSERT_EQ(S_OK, backup->Query(GUID_NULL, VSS_OBJECT_NONE, VSS_OBJECT_SNAPSHOT, &found));
    VSS_OBJECT_PROP prop;
    ULONG fetched = 0;
    ASSERT_EQ(S_OK, found->Next(1, &prop, &fetched));
    ASSERT_EQ(VSS_OBJECT_SNAPSHOT, prop.Type);
    *device = prop.Obj.Snap.m_pwszSnapshotDeviceObject;
    *volume = prop.Obj.Snap.m_pwszOriginalVolumeName;
    FreeSnapshotProp(&prop.Obj.Snap);
    EXPECT_EQ(S_FALSE, found->Next(1, &prop, &fetched));
    EXPECT_EQ(0u, fetched);
    found->Release();
  }

  // Live path C:\x\y as seen under a snapshot device.
  std::wstring InSnapshot(const std::wstring& device, const std::wstring& relative) const {
    return device + root_.substr(2) + L"\\" + relative;
  }

  std::wstring SnapshotFolderOf(const std::wstring& device) const { return device.substr(4); }
};

TEST_F(BackupSequenceTest, SnapshotKeepsFilesAsTheyWereWhenTaken) {
  BackupComponents backup;
  ASSERT_EQ(S_OK, CreateSimBackupComponents(CurrentMachine(), backup.put()));
  VSS_ID set_id;
  ASSERT_NO_FATAL_FAILURE(BackupUpToSnapshot(backup.get(), &set_id));
  WriteLive(L"data\\a.txt", "changed after the snapshot");
  DeleteFileW((root_ + L"\\data\\sub\\b.txt").c_str());

  std::wstring device, volume;
  ASSERT_NO_FATAL_FAILURE(QuerySingleSnapshot(backup.get(), &device, &volume));
  wchar_t live_volume[MAX_PATH];
  ASSERT_TRUE(GetVolumeNameForVolumeMountPointW(L"C:\\", live_volume, MAX_PATH));
  EXPECT_EQ(std::wstring(live_volume), volume);
  EXPECT_EQ(0u, device.rfind(L"\\\\?\\", 0));
  EXPECT_NE(L'\\', device.back());

  EXPECT_EQ("one", ReadFile(InSnapshot(device, L"data\\a.txt")));
  EXPECT_EQ("two", ReadFile(InSnapshot(device, L"data\\sub\\b.txt")));
  EXPECT_EQ("rows", ReadFile(InSnapshot(device, L"db\\sales.mdf")));
  EXPECT_EQ("log", ReadFile(InSnapshot(device, L"db\\sales.ldf")));
  // Only what the writers name is captured.
  EXPECT_EQ("<missing>", ReadFile(InSnapshot(device, L"data\\c.bin")));
  EXPECT_EQ("<missing>", ReadFile(InSnapshot(device, L"db\\other.mdf")));
}

TEST_F(BackupSequenceTest, SnapshotsGoAwayWhenDeletedOrWithTheirRequester) {
  BackupComponents backup;
  ASSERT_EQ(S_OK, CreateSimBackupComponents(CurrentMachine(), backup.put()));
  VSS_ID set_id;
  ASSERT_NO_FATAL_FAILURE(BackupUpToSnapshot(backup.get(), &set_id));
  std::wstring device, volume;
  ASSERT_NO_FATAL_FAILURE(QuerySingleSnapshot(backup.get(), &device, &volume));

  LONG deleted = 0;
  VSS_ID not_deleted;
  ASSERT_EQ(S_OK, backup->DeleteSnapshots(set_id, VSS_OBJECT_SNAPSHOT_SET, TRUE, &deleted, &not_deleted));
  EXPECT_EQ(1, deleted);
  EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(SnapshotFolderOf(device).c_str()));
  EXPECT_TRUE(ListSnapshots().empty());
  EXPECT_EQ(VSS_E_OBJECT_NOT_FOUND,
            backup->DeleteSnapshots(set_id, VSS_OBJECT_SNAPSHOT_SET, TRUE, &deleted, &not_deleted));

  // A second backup's snapshot is not kept once its requester lets go.
  BackupComponents second;
  ASSERT_EQ(S_OK, CreateSimBackupComponents(CurrentMachine(), second.put()));
  ASSERT_NO_FATAL_FAILURE(BackupUpToSnapshot(second.get(), &set_id));
  ASSERT_NO_FATAL_FAILURE(QuerySingleSnapshot(second.get(), &device, &volume));
  second.Reset();
  EXPECT_TRUE(ListSnapshots().empty());
  EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(SnapshotFolderOf(device).c_str()));
  EXPECT_EQ(1u, JournalCalls("ReleaseSnapshots").size());
}

TEST_F(BackupSequenceTest, SnapshotFailsWholeWhenAFileCannotBeRead) {
  HANDLE locked = CreateFileW((root_ + L"\\db\\sales.ldf").c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                              OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, locked);
  BackupComponents backup;
  ASSERT_EQ(S_OK, CreateSimBackupComponents(CurrentMachine(), backup.put()));
  ASSERT_NO_FATAL_FAILURE(StartBackup(backup.get()));
  IVssAsync* async = nullptr;
  VSS_ID set_id, snapshot_id;
  ASSERT_EQ(S_OK, backup->StartSnapshotSet(&set_id));
  ASSERT_EQ(S_OK, backup->AddToSnapshotSet(const_cast<wchar_t*>(L"C:\\"), GUID_NULL, &snapshot_id));
  ASSERT_EQ(S_OK, backup->PrepareForBackup(&async));
  Wait(async);
  ASSERT_EQ(S_OK, backup->DoSnapshotSet(&async));
  EXPECT_EQ(VSS_E_UNEXPECTED_PROVIDER_ERROR, Wait(async));
  CloseHandle(locked);
  EXPECT_TRUE(ListSnapshots().empty());
  ASSERT_EQ(1u, JournalCalls("SnapshotCopyFailed").size());
  EXPECT_NE(std::string::npos, JournalCalls("SnapshotCopyFailed")[0].find("sales.ldf"));
}

TEST_F(BackupSequenceTest, WriterComponentsCarryWhatTheWritersReported) {
  std::wstring full = CompletedBackup();
  BackupComponents backup;
  ASSERT_EQ(S_OK, CreateSimBackupComponents(CurrentMachine(), backup.put()));
  VSS_ID set_id;
  ASSERT_NO_FATAL_FAILURE(BackupUpToSnapshot(backup.get(), &set_id, VSS_BT_INCREMENTAL, full.c_str(), true));

  UINT writers = 0;
  ASSERT_EQ(S_OK, backup->GetWriterComponentsCount(&writers));
  ASSERT_EQ(2u, writers);
  IVssWriterComponentsExt* files = nullptr;
  ASSERT_EQ(S_OK, backup->GetWriterComponents(0, &files));
  // The SDK places the IUnknown part one pointer after the interface; callers release it there.
  IUnknown* files_unknown = reinterpret_cast<IUnknown*>(reinterpret_cast<void**>(files) + 1);
  ASSERT_EQ(WriterComponentsUnknown(files), files_unknown);
  VSS_ID instance, writer_class;
  ASSERT_EQ(S_OK, files->GetWriterInfo(&instance, &writer_class));
  EXPECT_TRUE(IsEqualGUID(kFilesWriterInstance, instance));
  EXPECT_TRUE(IsEqualGUID(kFilesWriterClass, writer_class));

  IVssComponent* data = nullptr;
  ASSERT_EQ(S_OK, files->GetComponent(0, &data));
  BSTR text = nullptr;
  ASSERT_EQ(S_OK, data->GetBackupStamp(&text));
  EXPECT_STREQ(L"stamp-2", text);
  SysFreeString(text);
  ASSERT_EQ(S_OK, data->GetLogicalPath(&text));
  EXPECT_EQ(nullptr, text);
  UINT count = 0;
  ASSERT_EQ(S_OK, data->GetDifferencedFilesCount(&count));
  ASSERT_EQ(1u, count);
  BSTR path = nullptr, spec = nullptr, lsn = nullptr;
  WINBOOL recursive = FALSE;
  FILETIME time;
  ASSERT_EQ(S_OK, data->GetDifferencedFile(0, &path, &spec, &recursive, &lsn, &time));
  EXPECT_STREQ(L"%SIMVSS_TEST_ROOT%\\data", path);  // unexpanded, as the writer declared it
  EXPECT_STREQ(L"*.txt", spec);
  EXPECT_TRUE(recursive);
  EXPECT_NE(0u, time.dwHighDateTime);  // since the full backup
  SysFreeString(path);
  SysFreeString(spec);
  SysFreeString(lsn);
  ASSERT_EQ(S_OK, data->GetPartialFileCount(&count));
  ASSERT_EQ(1u, count);
  BSTR name = nullptr, ranges = nullptr, metadata = nullptr;
  ASSERT_EQ(S_OK, data->GetPartialFile(0, &path, &name, &ranges, &metadata));
  EXPECT_STREQ(L"a.txt", name);
  EXPECT_STREQ(L"0:2", ranges);
  EXPECT_STREQ(L"m", metadata);
  for (BSTR s : {path, name, ranges, metadata}) SysFreeString(s);
  EXPECT_EQ(E_INVALIDARG, data->GetPartialFile(1, &path, &name, &ranges, &metadata));
  data->Release();
  EXPECT_EQ(E_INVALIDARG, files->GetComponent(1, &data));
  files_unknown->Release();

  IVssWriterComponentsExt* sql = nullptr;
  ASSERT_EQ(S_OK, backup->GetWriterComponents(1, &sql));
  IVssComponent* sales = nullptr;
  ASSERT_EQ(S_OK, sql->GetComponent(0, &sales));
  VSS_COMPONENT_TYPE type;
  ASSERT_EQ(S_OK, sales->GetComponentType(&type));
  EXPECT_EQ(VSS_CT_DATABASE, type);
  ASSERT_EQ(S_OK, sales->GetLogicalPath(&text));
  EXPECT_STREQ(L"SRV", text);
  SysFreeString(text);
  EXPECT_EQ(S_FALSE, sales->GetBackupStamp(&text));
  EXPECT_EQ(nullptr, text);
  sales->Release();
  WriterComponentsUnknown(sql)->Release();
}

TEST_F(BackupSequenceTest, WriterStatusShowsDescribedFailuresOnlyAfterTheSnapshot) {
  BackupComponents backup;
  ASSERT_EQ(S_OK, CreateSimBackupComponents(CurrentMachine(), backup.put()));
  ASSERT_NO_FATAL_FAILURE(StartBackup(backup.get()));
  IVssAsync* async = nullptr;
  ASSERT_EQ(S_OK, backup->GatherWriterStatus(&async));
  Wait(async);
  VSS_ID instance, writer_class;
  BSTR name = nullptr;
  VSS_WRITER_STATE state;
  HRESULT failure;
  ASSERT_EQ(S_OK, backup->GetWriterStatus(0, &instance, &writer_class, &name, &state, &failure));
  EXPECT_EQ(VSS_WS_STABLE, state);
  SysFreeString(name);
  backup.Reset();

  ASSERT_EQ(S_OK, CreateSimBackupComponents(CurrentMachine(), backup.put()));
  VSS_ID set_id;
  ASSERT_NO_FATAL_FAILURE(BackupUpToSnapshot(backup.get(), &set_id));
  ASSERT_EQ(S_OK, backup->GatherWriterStatus(&async));
  Wait(async);
  UINT count = 0;
  ASSERT_EQ(S_OK, backup->GetWriterStatusCount(&count));
  ASSERT_EQ(2u, count);
  ASSERT_EQ(S_OK, backup->GetWriterStatus(0, &instance, &writer_class, &name, &state, &failure));
  EXPECT_STREQ(L"Files Writer", name);
  EXPECT_TRUE(IsEqualGUID(kFilesWriterInstance, instance));
  EXPECT_EQ(VSS_WS_WAITING_FOR_BACKUP_COMPLETE, state);
  EXPECT_EQ(S_OK, failure);
  SysFreeString(name);
  ASSERT_EQ(S_OK, backup->GetWriterStatus(1, &instance, &writer_class, &name, &state, &failure));
  EXPECT_EQ(VSS_WS_FAILED_AT_FREEZE, state);
  EXPECT_EQ(VSS_E_WRITERERROR_NONRETRYABLE, failure);
  SysFreeString(name);
  EXPECT_EQ(VSS_E_OBJECT_NOT_FOUND, backup->GetWriterStatus(2, &instance, &writer_class, &name, &state, &failure));
}

TEST_F(BackupSequenceTest, AsyncOperationsAnswerPendingAsOftenAsTheMachineSays) {
  for (int polls : {0, 3}) {
    Configure(MachineXml(polls));
    BackupComponents backup;
    ASSERT_EQ(S_OK, CreateSimBackupComponents(CurrentMachine(), backup.put()));
    ASSERT_EQ(S_OK, backup->InitializeForBackup(nullptr));
    IVssAsync* async = nullptr;
    ASSERT_EQ(S_OK, backup->GatherWriterMetadata(&async));
    int pending = -1;
    EXPECT_EQ(VSS_S_ASYNC_FINISHED, Wait(async, &pending));
    EXPECT_EQ(polls, pending);
  }
}

TEST_F(BackupSequenceTest, JournalRecordsEachStateChangingCallWithItsArguments) {
  BackupComponents backup;
  ASSERT_EQ(S_OK, CreateSimBackupComponents(CurrentMachine(), backup.put()));
  VSS_ID set_id;
  ASSERT_NO_FATAL_FAILURE(BackupUpToSnapshot(backup.get(), &set_id));
  // Too late for a stamp once prepared; the refusal is journalled too.
  EXPECT_EQ(VSS_E_BAD_STATE, backup->SetPreviousBackupStamp(kSqlWriterClass, VSS_CT_DATABASE, L"SRV", L"sales",
                                                           L"s\"1"));

  std::vector<std::string> lines = JournalLines();
  std::vector<std::string> calls;
  for (const std::string& line : lines) calls.push_back(line.substr(line.find(' ') + 1, line.find('(') - line.find(' ') - 1));
  EXPECT_EQ((std::vector<std::string>{"CreateVssBackupComponents", "InitializeForBackup", "SetBackupState",
                                      "GatherWriterMetadata", "AddComponent", "AddComponent", "SetPreviousBackupStamp",
                                      "StartSnapshotSet",
                                      "AddToSnapshotSet", "PrepareForBackup", "DoSnapshotSet", "WriterFailed",
                                      "ComponentBackedUp", "SetPreviousBackupStamp"}),
            calls);
  ASSERT_EQ(2u, JournalCalls("AddComponent").size());
  EXPECT_EQ("AddComponent({22222222-0000-0000-0000-000000000001}, {11111111-0000-0000-0000-000000000001}, 2, "
            "null, \"Data\") = 0x00000000",
            JournalCalls("AddComponent")[0]);
  ASSERT_EQ(2u, JournalCalls("SetPreviousBackupStamp").size());
  EXPECT_EQ("SetPreviousBackupStamp({11111111-0000-0000-0000-000000000002}, 1, \"SRV\", \"sales\", \"s\\\"1\") "
            "= 0x80042301",
            JournalCalls("SetPreviousBackupStamp")[1]);
  EXPECT_EQ("AddToSnapshotSet(\"C:\\\\\", {00000000-0000-0000-0000-000000000000}) = 0x00000000",
            JournalCalls("AddToSnapshotSet")[0]);
}

}  // namespace

namespace {

TEST_F(BackupSequenceTest, NoJournalIsWrittenWhenNoneIsNamed) {
  std::string machine = Narrow(root_) + "\\machine.xml";
  ASSERT_EQ(S_OK, ConfigureService(machine.c_str(), nullptr));
  BackupComponents backup;
  ASSERT_EQ(S_OK, CreateSimBackupComponents(CurrentMachine(), backup.put()));
  ASSERT_NO_FATAL_FAILURE(StartBackup(backup.get()));
  EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesA(journal_.c_str()));
}

}  // namespace
