// A requester that reads too early or breaks the documented rules gets the real service's
// answers, and the journal names each broken rule the service lets pass.
#include "simvss_fixture.h"

namespace {

const VSS_ID kTreeWriterClass = {0x11111111, 0x0000, 0x0000, {0, 0, 0, 0, 0, 0, 0, 3}};
const VSS_ID kTreeWriterInstance = {0x22222222, 0x0000, 0x0000, {0, 0, 0, 0, 0, 0, 0, 3}};

class ProbeRequesterTest : public SimVssTest {
 protected:
  std::vector<std::string> Misuses() const {
    std::vector<std::string> found;
    for (const std::string& line : JournalLines())
      if (line.rfind("misuse: #", 0) == 0) found.push_back(line);
    return found;
  }

  // The ids of the snapshot sets `backup` lists.
  static std::vector<VSS_ID> ListedSets(IVssBackupComponents* backup) {
    std::vector<VSS_ID> sets;
    IVssEnumObject* found = nullptr;
    if (FAILED(backup->Query(GUID_NULL, VSS_OBJECT_NONE, VSS_OBJECT_SNAPSHOT, &found))) return sets;
    VSS_OBJECT_PROP prop;
    ULONG fetched = 0;
    while (found->Next(1, &prop, &fetched) == S_OK) {
      sets.push_back(prop.Obj.Snap.m_SnapshotSetId);
      FreeSnapshotProp(&prop.Obj.Snap);
    }
    found->Release();
    return sets;
  }

  HRESULT AddData(IVssBackupComponents* backup) {
    return backup->AddComponent(kFilesWriterInstance, kFilesWriterClass, VSS_CT_FILEGROUP, nullptr, L"Data");
  }
};

TEST_F(ProbeRequesterTest, ResultsAppearOnlyOnceTheRequesterHasSeenTheOperationEnd) {
  Configure(MachineXml(2));
  BackupComponents backup;
  ASSERT_EQ(S_OK, CreateSimBackupComponents(CurrentMachine(), backup.put()));
  ASSERT_EQ(S_OK, backup->InitializeForBackup(nullptr));
  ASSERT_EQ(S_OK, backup->SetContext(VSS_CTX_BACKUP));
  ASSERT_EQ(S_OK, backup->SetBackupState(true, false, VSS_BT_FULL, false));
  IVssAsync* async = nullptr;
  IVssAsync* early = nullptr;
  HRESULT status = S_OK;
  UINT count = 0;
  ASSERT_EQ(S_OK, backup->GatherWriterMetadata(&async));
  ASSERT_EQ(S_OK, async->QueryStatus(&status, nullptr));
  EXPECT_EQ(VSS_S_ASYNC_PENDING, status);
  EXPECT_EQ(VSS_E_BAD_STATE, backup->GetWriterMetadataCount(&count));
  EXPECT_EQ(VSS_E_BAD_STATE, AddData(backup.get()));
  ASSERT_EQ(VSS_S_ASYNC_FINISHED, Wait(async));
  ASSERT_EQ(S_OK, backup->GetWriterMetadataCount(&count));
  EXPECT_EQ(2u, count);
  ASSERT_EQ(S_OK, AddData(backup.get()));
  ASSERT_EQ(S_OK, backup->AddComponent(kSqlWriterInstance, kSqlWriterClass, VSS_CT_DATABASE, L"SRV", L"sales"));
  VSS_ID set_id, snapshot_id;
  ASSERT_EQ(S_OK, backup->StartSnapshotSet(&set_id));
  ASSERT_EQ(S_OK, backup->AddToSnapshotSet(const_cast<wchar_t*>(L"C:\\"), GUID_NULL, &snapshot_id));

  ASSERT_EQ(S_OK, backup->PrepareForBackup(&async));
  BSTR text = nullptr;
  EXPECT_EQ(VSS_E_BAD_STATE, backup->SaveAsXML(&text));
  EXPECT_EQ(VSS_E_BAD_STATE, backup->DoSnapshotSet(&early));
  ASSERT_EQ(S_OK, async->Wait(INFINITE));  // a returned Wait is as good as a finished status
  async->Release();

  ASSERT_EQ(S_OK, backup->DoSnapshotSet(&async));
  IVssComponent* data = DocumentComponent(backup.get(), 0, 0);
  ASSERT_NE(nullptr, data);
  EXPECT_EQ(S_FALSE, data->GetBackupStamp(&text));
  EXPECT_EQ(nullptr, text);
  EXPECT_TRUE(ListedSets(backup.get()).empty());
  EXPECT_EQ(VSS_E_BAD_STATE, backup->BackupComplete(&early));
  EXPECT_EQ(VSS_E_BAD_STATE, backup->SetBackupSucceeded(kFilesWriterInstance, kFilesWriterClass, VSS_CT_FILEGROUP,
                                                         nullptr, L"Data", true));
  ASSERT_EQ(VSS_S_ASYNC_FINISHED, Wait(async));
  EXPECT_EQ(L"stamp-1", Text(&IVssComponent::GetBackupStamp, data));
  ASSERT_EQ(1u, ListedSets(backup.get()).size());
  EXPECT_TRUE(IsEqualGUID(set_id, ListedSets(backup.get())[0]));

  ASSERT_EQ(S_OK, backup->GatherWriterStatus(&async));
  EXPECT_EQ(VSS_E_BAD_STATE, backup->GetWriterStatusCount(&count));
  ASSERT_EQ(VSS_S_ASYNC_FINISHED, Wait(async));
  EXPECT_EQ(S_OK, backup->GetWriterStatusCount(&count));

  ASSERT_EQ(S_OK, backup->SetBackupSucceeded(kFilesWriterInstance, kFilesWriterClass, VSS_CT_FILEGROUP, nullptr,
                                             L"Data", true));
  boolean succeeded = false;
  ASSERT_EQ(S_OK, backup->BackupComplete(&async));
  EXPECT_EQ(S_FALSE, data->GetBackupSucceeded(&succeeded));  // writers learn it with BackupComplete
  ASSERT_EQ(VSS_S_ASYNC_FINISHED, Wait(async));
  EXPECT_EQ(S_OK, data->GetBackupSucceeded(&succeeded));
  EXPECT_TRUE(succeeded);

  // Absent values are S_FALSE and null; indexes past the end are not found.
  IVssComponent* sales = DocumentComponent(backup.get(), 1, 0);
  ASSERT_NE(nullptr, sales);
  EXPECT_EQ(S_FALSE, sales->GetPreviousBackupStamp(&text));
  EXPECT_EQ(nullptr, text);
  sales->Release();
  BSTR path = nullptr, spec = nullptr, lsn = nullptr;
  WINBOOL recursive;
  FILETIME time;
  EXPECT_EQ(VSS_E_OBJECT_NOT_FOUND, data->GetDifferencedFile(0, &path, &spec, &recursive, &lsn, &time));
  data->Release();
  IVssWriterComponentsExt* writer = nullptr;
  EXPECT_EQ(VSS_E_OBJECT_NOT_FOUND, backup->GetWriterComponents(2, &writer));
  EXPECT_TRUE(Misuses().empty());
}

TEST_F(ProbeRequesterTest, BrokenSelectionRulesAreAnsweredAsWindowsDoesAndJournalled) {
  Configure(MachineXml(0, "",
                       " <writer name=\"Tree Writer\" classId=\"{11111111-0000-0000-0000-000000000003}\"\n"
                       "   instanceId=\"{22222222-0000-0000-0000-000000000003}\">\n"
                       "  <component name=\"Top\"/>\n"
                       "  <component logicalPath=\"Top\" name=\"Leaf\" selectable=\"false\"/>\n"
                       "  <component name=\"Required\" selectable=\"false\"/>\n"
                       " </writer>\n"));
  BackupComponents backup;
  ASSERT_EQ(S_OK, CreateSimBackupComponents(CurrentMachine(), backup.put()));
  ASSERT_EQ(S_OK, backup->InitializeForBackup(nullptr));
  ASSERT_EQ(S_OK, backup->SetBackupState(false, false, VSS_BT_FULL, false));
  IVssAsync* async = nullptr;
  ASSERT_EQ(S_OK, backup->GatherWriterMetadata(&async));
  Wait(async);
  EXPECT_EQ(S_OK, AddData(backup.get()));  // outside component mode
  backup.Reset();

  ASSERT_EQ(S_OK, CreateSimBackupComponents(CurrentMachine(), backup.put()));
  ASSERT_NO_FATAL_FAILURE(StartBackup(backup.get()));
  EXPECT_EQ(S_OK, AddData(backup.get()));
  EXPECT_EQ(S_OK, backup->AddComponent(kTreeWriterInstance, kTreeWriterClass, VSS_CT_FILEGROUP, L"Top", L"Leaf"));
  ASSERT_EQ(S_OK, backup->PrepareForBackup(&async));
  Wait(async);

  std::vector<std::string> misuses = Misuses();
  ASSERT_EQ(3u, misuses.size());
  EXPECT_NE(std::string::npos, misuses[0].find("AddComponent: component \"Data\" of writer \"Files Writer\" added "
                                               "outside component mode"));
  EXPECT_NE(std::string::npos, misuses[1].find("\"Top\\Leaf\" of writer \"Tree Writer\" is not selectable and "
                                               "lies below a selectable component"));
  EXPECT_NE(std::string::npos, misuses[2].find("PrepareForBackup: component \"Required\" of writer \"Tree Writer\" "
                                               "is required"));
}

TEST_F(ProbeRequesterTest, QueryListsOnlyTheCallersSnapshotsOfItsContextDuringABackup) {
  BackupComponents first, second, kept, other;
  VSS_ID first_set, second_set, kept_set;
  ASSERT_EQ(S_OK, CreateSimBackupComponents(CurrentMachine(), first.put()));
  ASSERT_NO_FATAL_FAILURE(BackupUpToSnapshot(first.get(), &first_set));
  EXPECT_EQ(1u, ListedSets(first.get()).size());  // without SetContext: answered, and journalled
  ASSERT_EQ(S_OK, CreateSimBackupComponents(CurrentMachine(), second.put()));
  ASSERT_NO_FATAL_FAILURE(BackupUpToSnapshot(second.get(), &second_set, VSS_BT_FULL, nullptr, false, VSS_CTX_BACKUP));
  ASSERT_EQ(1u, ListedSets(second.get()).size());
  EXPECT_TRUE(IsEqualGUID(second_set, ListedSets(second.get())[0]));

  // A snapshot that outlives its requester is listed in its own context only.
  ASSERT_EQ(S_OK, CreateSimBackupComponents(CurrentMachine(), kept.put()));
  ASSERT_NO_FATAL_FAILURE(BackupUpToSnapshot(kept.get(), &kept_set, VSS_BT_FULL, nullptr, false,
                                             VSS_CTX_APP_ROLLBACK));
  kept.Reset();
  EXPECT_EQ(1u, ListedSets(second.get()).size());
  ASSERT_EQ(S_OK, CreateSimBackupComponents(CurrentMachine(), other.put()));
  ASSERT_EQ(S_OK, other->InitializeForBackup(nullptr));
  ASSERT_EQ(S_OK, other->SetContext(VSS_CTX_APP_ROLLBACK));
  ASSERT_EQ(1u, ListedSets(other.get()).size());
  EXPECT_TRUE(IsEqualGUID(kept_set, ListedSets(other.get())[0]));
  LONG deleted = 0;
  VSS_ID failed;
  EXPECT_EQ(S_OK, other->DeleteSnapshots(kept_set, VSS_OBJECT_SNAPSHOT_SET, TRUE, &deleted, &failed));

  // Outside a backup there is nothing to list.
  std::wstring document;
  CompletedBackup(VSS_BT_FULL, nullptr, false, &document);
  BackupComponents restore, fresh;
  ASSERT_NO_FATAL_FAILURE(OpenRestore(document, &restore, false));
  ASSERT_EQ(S_OK, CreateSimBackupComponents(CurrentMachine(), fresh.put()));
  IVssEnumObject* found = nullptr;
  EXPECT_EQ(VSS_E_BAD_STATE, restore->Query(GUID_NULL, VSS_OBJECT_NONE, VSS_OBJECT_SNAPSHOT, &found));
  EXPECT_EQ(VSS_E_BAD_STATE, fresh->Query(GUID_NULL, VSS_OBJECT_NONE, VSS_OBJECT_SNAPSHOT, &found));
  EXPECT_EQ(nullptr, found);
  ASSERT_EQ(1u, Misuses().size()) << ::testing::PrintToString(Misuses());
  EXPECT_NE(std::string::npos, Misuses()[0].find("Query: no SetContext before it"));
}

TEST_F(ProbeRequesterTest, RestoreCallsNeedRunningWritersAndSelectedComponents) {
  Configure(MachineXml(0, "absentAtRestore=\"true\""));
  std::wstring document;
  CompletedBackup(VSS_BT_FULL, nullptr, false, &document);
  BackupComponents restore;
  ASSERT_NO_FATAL_FAILURE(OpenRestore(document, &restore, false));
  EXPECT_EQ(VSS_E_BAD_STATE, restore->SetSelectedForRestore(kFilesWriterClass, VSS_CT_FILEGROUP, nullptr, L"Data",
                                                            true));
  IVssAsync* async = nullptr;
  IVssAsync* early = nullptr;
  ASSERT_EQ(S_OK, restore->GatherWriterMetadata(&async));
  Wait(async);
  UINT count = 0;
  ASSERT_EQ(S_OK, restore->GetWriterMetadataCount(&count));
  EXPECT_EQ(1u, count);  // the database writer does not run
  VSS_ID instance;
  IVssExamineWriterMetadata* metadata = nullptr;
  ASSERT_EQ(S_OK, restore->GetWriterMetadata(0, &instance, &metadata));
  metadata->Release();
  EXPECT_FALSE(IsEqualGUID(kFilesWriterInstance, instance));  // a new instance since the backup
  EXPECT_EQ(VSS_E_OBJECT_NOT_FOUND,
            restore->SetSelectedForRestore(kSqlWriterClass, VSS_CT_DATABASE, L"SRV", L"sales", true));
  EXPECT_EQ(S_OK, restore->SetAdditionalRestores(kFilesWriterClass, VSS_CT_FILEGROUP, nullptr, L"Data", true));
  ASSERT_EQ(S_OK, restore->SetSelectedForRestore(kFilesWriterClass, VSS_CT_FILEGROUP, nullptr, L"Data", true));
  EXPECT_EQ(S_OK, restore->SetRestoreOptions(kFilesWriterClass, VSS_CT_FILEGROUP, nullptr, L"Data", L"o"));

  ASSERT_EQ(S_OK, restore->PreRestore(&async));
  EXPECT_EQ(VSS_E_BAD_STATE,
            restore->SetFileRestoreStatus(kFilesWriterClass, VSS_CT_FILEGROUP, nullptr, L"Data", VSS_RS_ALL));
  EXPECT_EQ(VSS_E_BAD_STATE, restore->PostRestore(&early));
  Wait(async);
  ASSERT_EQ(S_OK, restore->PostRestore(&async));
  Wait(async);

  std::vector<std::string> misuses = Misuses();
  ASSERT_EQ(2u, misuses.size());
  EXPECT_NE(std::string::npos, misuses[0].find("SetAdditionalRestores: component \"Data\" of writer \"Files "
                                               "Writer\" is not selected for restore"));
  EXPECT_NE(std::string::npos, misuses[1].find("PostRestore: component \"Data\" of writer \"Files Writer\" was "
                                               "selected for restore without SetFileRestoreStatus"));
}

}  // namespace
