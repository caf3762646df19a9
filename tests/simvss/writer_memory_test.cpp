// Writers that remember what they handed out across backups and processes, and writers and
// operations that fail because the machine description says so.
#include "simvss_fixture.h"

#include "writer_memory.h"

namespace {

class WriterMemoryTest : public SimVssTest {
 protected:
  struct Backup {
    std::wstring stamp;
    UINT differenced = 0, partial = 0;
    ULONGLONG since = 0;  // the differenced files' modify time
  };

  Backup Take(VSS_BACKUP_TYPE type, const wchar_t* previous_stamp, bool partial_files = false) {
    Backup result;
    IVssComponent* data = nullptr;
    result.stamp = CompletedBackup(type, previous_stamp, partial_files, nullptr, &data);
    if (!data) return result;
    data->GetDifferencedFilesCount(&result.differenced);
    data->GetPartialFileCount(&result.partial);
    BSTR path = nullptr, spec = nullptr, lsn = nullptr;
    WINBOOL recursive;
    FILETIME time;
    if (result.differenced && SUCCEEDED(data->GetDifferencedFile(0, &path, &spec, &recursive, &lsn, &time)))
      result.since = (static_cast<ULONGLONG>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
    for (BSTR s : {path, spec, lsn}) SysFreeString(s);
    data->Release();
    return result;
  }

  // When the backup that handed out `stamp` took its snapshot.
  static ULONGLONG TakenAt(const std::wstring& stamp) {
    for (const StampRecord& record : ReadWriterMemory().stamps)
      if (record.stamp == stamp)
        return (static_cast<ULONGLONG>(record.time.dwHighDateTime) << 32) | record.time.dwLowDateTime;
    return 0;
  }

  // One restore segment of Data; the writer's state after PreRestore comes back.
  VSS_WRITER_STATE RestoreSegment(const std::wstring& document, bool additional_restores) {
    BackupComponents restore;
    OpenRestore(document, &restore);
    IVssAsync* async = nullptr;
    EXPECT_EQ(S_OK, restore->SetSelectedForRestore(kFilesWriterClass, VSS_CT_FILEGROUP, nullptr, L"Data", true));
    EXPECT_EQ(S_OK, restore->SetAdditionalRestores(kFilesWriterClass, VSS_CT_FILEGROUP, nullptr, L"Data",
                                                   additional_restores));
    EXPECT_EQ(S_OK, restore->PreRestore(&async));
    Wait(async);
    VSS_WRITER_STATE state = Status(restore.get(), 0).first;
    EXPECT_EQ(S_OK, restore->SetFileRestoreStatus(kFilesWriterClass, VSS_CT_FILEGROUP, nullptr, L"Data",
                                                  VSS_RS_ALL));
    EXPECT_EQ(S_OK, restore->PostRestore(&async));
    Wait(async);
    return state;
  }

  // What GetWriterStatus reports for writer `index` after a new gather: state and failure code.
  static std::pair<VSS_WRITER_STATE, HRESULT> Status(IVssBackupComponents* components, UINT index) {
    IVssAsync* async = nullptr;
    EXPECT_EQ(S_OK, components->GatherWriterStatus(&async));
    Wait(async);
    VSS_ID instance, writer_class;
    BSTR name = nullptr;
    std::pair<VSS_WRITER_STATE, HRESULT> status(VSS_WS_UNKNOWN, S_OK);
    EXPECT_EQ(S_OK, components->GetWriterStatus(index, &instance, &writer_class, &name, &status.first,
                                                &status.second));
    SysFreeString(name);
    return status;
  }
};

TEST_F(WriterMemoryTest, EachBackupGetsItsStampAndChangesSinceTheBackupItsPreviousStampNames) {
  Backup full = Take(VSS_BT_FULL, nullptr);
  WriteLive(L"data\\a.txt", "changed since the full backup");
  Backup incremental = Take(VSS_BT_INCREMENTAL, full.stamp.c_str(), true);
  Backup next = Take(VSS_BT_INCREMENTAL, incremental.stamp.c_str());
  // A new process meets the same writers: what they handed out is in the state file.
  Configure(MachineXml(1));
  Backup differential = Take(VSS_BT_DIFFERENTIAL, full.stamp.c_str());

  EXPECT_EQ(L"stamp-1", full.stamp);
  EXPECT_EQ(L"stamp-2", incremental.stamp);
  EXPECT_EQ(L"stamp-3", next.stamp);
  EXPECT_EQ(L"stamp-4", differential.stamp);
  EXPECT_EQ(0u, full.differenced);
  EXPECT_EQ(1u, incremental.differenced);
  EXPECT_EQ(1u, incremental.partial);  // partial files only where the requester supports them
  EXPECT_EQ(0u, next.partial);
  EXPECT_EQ(TakenAt(full.stamp), incremental.since);
  EXPECT_EQ(TakenAt(incremental.stamp), next.since);
  EXPECT_LT(incremental.since, next.since);
  EXPECT_EQ(TakenAt(full.stamp), differential.since);

  // A stamp the writer did not hand out, a differential on an incremental's stamp, no stamp, and
  // the stamp of a backup that never completed: each is a full backup of the component.
  Backup unknown = Take(VSS_BT_INCREMENTAL, L"stamp-99");
  Backup wrong_base = Take(VSS_BT_DIFFERENTIAL, incremental.stamp.c_str());
  Backup none = Take(VSS_BT_INCREMENTAL, nullptr);
  BackupComponents unfinished;
  ASSERT_EQ(S_OK, CreateSimBackupComponents(CurrentMachine(), unfinished.put()));
  VSS_ID set_id;
  ASSERT_NO_FATAL_FAILURE(BackupUpToSnapshot(unfinished.get(), &set_id, VSS_BT_FULL, nullptr));
  unfinished.Reset();
  Backup on_unfinished = Take(VSS_BT_INCREMENTAL, L"stamp-8");
  for (const Backup& b : {unknown, wrong_base, none, on_unfinished}) EXPECT_EQ(0u, b.differenced);
  EXPECT_EQ(L"stamp-9", on_unfinished.stamp);

  // The journal, begun anew at the second configuration, says how each backup was taken.
  auto taken = [](const char* kind, int n) {
    return "ComponentBackedUp({11111111-0000-0000-0000-000000000001}, null, \"Data\", \"" + std::string(kind) +
           "\", \"stamp-" + std::to_string(n) + "\") = 0x00000000";
  };
  EXPECT_EQ((std::vector<std::string>{taken("differential", 4), taken("full", 5), taken("full", 6),
                                      taken("full", 7), taken("full", 8), taken("full", 9)}),
            JournalCalls("ComponentBackedUp"));
}

TEST_F(WriterMemoryTest, AWriterThatRanItsRecoveryRefusesLaterSegmentsUntilAFullOne) {
  std::wstring full_document, incremental_document;
  std::wstring full = CompletedBackup(VSS_BT_FULL, nullptr, false, &full_document);
  CompletedBackup(VSS_BT_INCREMENTAL, full.c_str(), false, &incremental_document);

  EXPECT_EQ(VSS_WS_STABLE, RestoreSegment(full_document, true));
  EXPECT_EQ(VSS_WS_STABLE, RestoreSegment(incremental_document, false));
  EXPECT_EQ(VSS_WS_FAILED_AT_PRE_RESTORE, RestoreSegment(incremental_document, false));
  EXPECT_EQ(VSS_WS_STABLE, RestoreSegment(full_document, false));
  EXPECT_EQ(VSS_WS_FAILED_AT_PRE_RESTORE, RestoreSegment(incremental_document, true));
}

TEST_F(WriterMemoryTest, WritersAndOperationsFailWhereTheMachineSays) {
  const std::string held_writer =
      " <writer name=\"Held Writer\" classId=\"{11111111-0000-0000-0000-000000000003}\"\n"
      "   instanceId=\"{22222222-0000-0000-0000-000000000003}\" failAt=\"POST_RESTORE\">\n"
      "  <component name=\"Other\"><database path=\"%SIMVSS_TEST_ROOT%\\db\" filespec=\"other.mdf\"/></component>\n"
      "  <lockedAtRestore path=\"%SIMVSS_TEST_ROOT%\\db\\other.mdf\"/>\n"
      " </writer>\n"
      " <writer name=\"Mute Writer\" classId=\"{11111111-0000-0000-0000-000000000004}\"\n"
      "   instanceId=\"{22222222-0000-0000-0000-000000000004}\" failAt=\"IDENTIFY\" failCode=\"0x800423f3\"/>\n";
  Configure(MachineXml(0, "failAt=\"FREEZE|PRE_RESTORE\" failCode=\"0x800423f2\"", held_writer));
  std::wstring document;
  CompletedBackup(VSS_BT_FULL, nullptr, false, &document);

  BackupComponents restore;
  ASSERT_NO_FATAL_FAILURE(OpenRestore(document, &restore));
  IVssAsync* async = nullptr;
  UINT count = 0;
  ASSERT_EQ(S_OK, restore->GetWriterMetadataCount(&count));
  EXPECT_EQ(3u, count);  // the writer that failed Identify is left out
  EXPECT_EQ(std::make_pair(VSS_WS_FAILED_AT_IDENTIFY, VSS_E_WRITERERROR_RETRYABLE), Status(restore.get(), 3));
  ASSERT_EQ(S_OK, restore->SetSelectedForRestore(kSqlWriterClass, VSS_CT_DATABASE, L"SRV", L"sales", true));
  ASSERT_EQ(S_OK, restore->PreRestore(&async));
  Wait(async);
  EXPECT_EQ(std::make_pair(VSS_WS_FAILED_AT_PRE_RESTORE, VSS_E_WRITERERROR_TIMEOUT), Status(restore.get(), 1));
  // The held file cannot be opened from PreRestore to PostRestore.
  std::wstring held = root_ + L"\\db\\other.mdf";
  HANDLE file = CreateFileW(held.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  EXPECT_EQ(INVALID_HANDLE_VALUE, file);
  EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), GetLastError());
  ASSERT_EQ(S_OK, restore->SetFileRestoreStatus(kSqlWriterClass, VSS_CT_DATABASE, L"SRV", L"sales", VSS_RS_NONE));
  ASSERT_EQ(S_OK, restore->PostRestore(&async));
  Wait(async);
  file = CreateFileW(held.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  EXPECT_NE(INVALID_HANDLE_VALUE, file);
  CloseHandle(file);
  // Only writers with selected components take part: the held writer never reached PostRestore.
  EXPECT_EQ(VSS_WS_STABLE, Status(restore.get(), 2).first);
  restore.Reset();

  // An operation that ends with an error, and one that never ends.
  Configure(MachineXml(0, "", " <operation name=\"DoSnapshotSet\" result=\"0x80042317\"/>\n"
                              " <operation name=\"PreRestore\" result=\"never\"/>\n"));
  BackupComponents backup;
  ASSERT_EQ(S_OK, CreateSimBackupComponents(CurrentMachine(), backup.put()));
  VSS_ID set_id, snapshot_id;
  ASSERT_NO_FATAL_FAILURE(StartBackup(backup.get()));
  ASSERT_EQ(S_OK, backup->StartSnapshotSet(&set_id));
  ASSERT_EQ(S_OK, backup->AddToSnapshotSet(const_cast<wchar_t*>(L"C:\\"), GUID_NULL, &snapshot_id));
  ASSERT_EQ(S_OK, backup->PrepareForBackup(&async));
  Wait(async);
  ASSERT_EQ(S_OK, backup->DoSnapshotSet(&async));
  EXPECT_EQ(VSS_E_MAXIMUM_NUMBER_OF_SNAPSHOTS_REACHED, Wait(async));
  EXPECT_TRUE(ListSnapshots().empty());
  EXPECT_EQ(VSS_E_BAD_STATE, backup->BackupComplete(&async));
  backup.Reset();

  ASSERT_NO_FATAL_FAILURE(OpenRestore(document, &restore));
  ASSERT_EQ(S_OK, restore->SetSelectedForRestore(kFilesWriterClass, VSS_CT_FILEGROUP, nullptr, L"Data", true));
  ASSERT_EQ(S_OK, restore->PreRestore(&async));
  int pending = 0;
  HRESULT status = S_OK;
  while (pending < 50 && SUCCEEDED(async->QueryStatus(&status, nullptr)) && status == VSS_S_ASYNC_PENDING) ++pending;
  EXPECT_EQ(50, pending);
  EXPECT_EQ(S_OK, async->Wait(0));
  EXPECT_EQ(VSS_E_BAD_STATE,
            restore->SetFileRestoreStatus(kFilesWriterClass, VSS_CT_FILEGROUP, nullptr, L"Data", VSS_RS_ALL));
  EXPECT_EQ(S_OK, async->Cancel());
  EXPECT_EQ(VSS_S_ASYNC_CANCELLED, Wait(async));
  EXPECT_EQ(VSS_E_BAD_STATE,
            restore->SetFileRestoreStatus(kFilesWriterClass, VSS_CT_FILEGROUP, nullptr, L"Data", VSS_RS_ALL));
}

}  // namespace
