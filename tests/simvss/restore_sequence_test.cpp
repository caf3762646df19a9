// The backup components document carried from a backup into a restore, and the restore calls a
// requester makes.
#include "simvss_fixture.h"

#include "component_views.h"

namespace {

class RestoreSequenceTest : public SimVssTest {
 protected:
  // A finished full backup's document.
  std::wstring BackupDocumentText() {
    std::wstring text;
    CompletedBackup(VSS_BT_FULL, L"old", false, &text);
    return text;
  }
};

TEST_F(RestoreSequenceTest, BackupDocumentReadsBackIntoAnEqualRestoreDocument) {
  std::wstring saved = BackupDocumentText();
  ASSERT_FALSE(saved.empty());
  BackupComponents restore;
  ASSERT_EQ(S_OK, CreateSimBackupComponents(CurrentMachine(), restore.put()));
  BSTR xml = SysAllocString(saved.c_str());
  ASSERT_EQ(S_OK, restore->InitializeForRestore(xml));
  SysFreeString(xml);

  UINT writers = 0;
  ASSERT_EQ(S_OK, restore->GetWriterComponentsCount(&writers));
  ASSERT_EQ(2u, writers);
  IVssComponent* data = DocumentComponent(restore.get(), 0, 0);
  ASSERT_NE(nullptr, data);
  EXPECT_EQ(L"<null>", Text(&IVssComponent::GetLogicalPath, data));
  EXPECT_EQ(L"Data", Text(&IVssComponent::GetComponentName, data));
  EXPECT_EQ(L"stamp-1", Text(&IVssComponent::GetBackupStamp, data));
  EXPECT_EQ(L"old", Text(&IVssComponent::GetPreviousBackupStamp, data));
  boolean succeeded = false;
  ASSERT_EQ(S_OK, data->GetBackupSucceeded(&succeeded));
  EXPECT_TRUE(succeeded);
  UINT count = 1;
  ASSERT_EQ(S_OK, data->GetDifferencedFilesCount(&count));
  EXPECT_EQ(0u, count);  // an unknown previous stamp makes the backup a full one
  data->Release();

  IVssComponent* sales = DocumentComponent(restore.get(), 1, 0);
  ASSERT_NE(nullptr, sales);
  EXPECT_EQ(L"SRV", Text(&IVssComponent::GetLogicalPath, sales));
  EXPECT_EQ(L"<null>", Text(&IVssComponent::GetBackupStamp, sales));
  ASSERT_EQ(S_OK, sales->GetBackupSucceeded(&succeeded));
  EXPECT_FALSE(succeeded);
  sales->Release();

  // Saved again by the restore object, the document still reads the same.
  BSTR again = nullptr;
  ASSERT_EQ(S_OK, restore->SaveAsXML(&again));
  BackupDocument first, second;
  ASSERT_EQ(S_OK, LoadBackupDocument(saved.c_str(), &first));
  ASSERT_EQ(S_OK, LoadBackupDocument(again, &second));
  SysFreeString(again);
  ASSERT_EQ(first.writers.size(), second.writers.size());
  EXPECT_EQ(first.backup_type, second.backup_type);
  EXPECT_TRUE(first.bootable_system_state && second.bootable_system_state);
  EXPECT_TRUE(IsEqualGUID(first.snapshot_set_id, second.snapshot_set_id));
  EXPECT_EQ(first.writers[1]->components[0]->logical_path, second.writers[1]->components[0]->logical_path);
}

TEST_F(RestoreSequenceTest, RestoreCallsAreRecordedInTheDocumentAndTheJournal) {
  std::wstring saved = BackupDocumentText();
  BackupComponents restore;
  ASSERT_NO_FATAL_FAILURE(OpenRestore(saved, &restore));
  IVssAsync* async = nullptr;
  ASSERT_EQ(S_OK, restore->SetSelectedForRestore(kFilesWriterClass, VSS_CT_FILEGROUP, L"", L"Data", true));
  ASSERT_EQ(S_OK, restore->SetAdditionalRestores(kFilesWriterClass, VSS_CT_FILEGROUP, nullptr, L"Data", false));
  ASSERT_EQ(S_OK, restore->PreRestore(&async));
  EXPECT_EQ(VSS_S_ASYNC_FINISHED, Wait(async));
  EXPECT_EQ(VSS_E_BAD_STATE, restore->SetSelectedForRestore(kSqlWriterClass, VSS_CT_DATABASE, L"SRV", L"sales", true));
  ASSERT_EQ(S_OK, restore->SetFileRestoreStatus(kFilesWriterClass, VSS_CT_FILEGROUP, nullptr, L"Data", VSS_RS_ALL));
  ASSERT_EQ(S_OK, restore->PostRestore(&async));
  EXPECT_EQ(VSS_S_ASYNC_FINISHED, Wait(async));

  IVssComponent* data = DocumentComponent(restore.get(), 0, 0);
  ASSERT_NE(nullptr, data);
  boolean flag = false;
  ASSERT_EQ(S_OK, data->IsSelectedForRestore(&flag));
  EXPECT_TRUE(flag);
  ASSERT_EQ(S_OK, data->GetAdditionalRestores(&flag));
  EXPECT_FALSE(flag);
  VSS_FILE_RESTORE_STATUS status;
  ASSERT_EQ(S_OK, data->GetFileRestoreStatus(&status));
  EXPECT_EQ(VSS_RS_ALL, status);
  data->Release();
  IVssComponent* sales = DocumentComponent(restore.get(), 1, 0);
  ASSERT_NE(nullptr, sales);
  ASSERT_EQ(S_OK, sales->IsSelectedForRestore(&flag));
  EXPECT_FALSE(flag);
  sales->Release();

  EXPECT_EQ((std::vector<std::string>{"SetSelectedForRestore({11111111-0000-0000-0000-000000000001}, 2, \"\", "
                                      "\"Data\", true) = 0x00000000",
                                      "SetSelectedForRestore({11111111-0000-0000-0000-000000000002}, 1, \"SRV\", "
                                      "\"sales\", true) = 0x80042301"}),
            JournalCalls("SetSelectedForRestore"));
  EXPECT_EQ((std::vector<std::string>{"SetFileRestoreStatus({11111111-0000-0000-0000-000000000001}, 2, null, "
                                      "\"Data\", 2) = 0x00000000"}),
            JournalCalls("SetFileRestoreStatus"));
  EXPECT_EQ(1u, JournalCalls("InitializeForRestore").size());
  EXPECT_EQ(1u, JournalCalls("PreRestore").size());
  EXPECT_EQ(1u, JournalCalls("PostRestore").size());
  EXPECT_EQ(1u, JournalCalls("SetAdditionalRestores").size());
}

}  // namespace
