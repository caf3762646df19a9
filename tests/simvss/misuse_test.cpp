// Requests the real service refuses, refused with the same codes.
#include "simvss_fixture.h"

#include <functional>

namespace {

class MisuseTest : public SimVssTest {
 protected:
  void SetUp() override {
    SimVssTest::SetUp();
    ASSERT_EQ(S_OK, CreateSimBackupComponents(CurrentMachine(), backup_.put()));
  }
  void TearDown() override {
    backup_.Reset();
    SimVssTest::TearDown();
  }

  // Runs an operation that hands out an async object, releasing it if one came back.
  static HRESULT WithAsync(const std::function<HRESULT(IVssAsync**)>& call) {
    IVssAsync* async = nullptr;
    HRESULT hr = call(&async);
    if (async) Wait(async);
    return hr;
  }

  HRESULT Gather() {
    return WithAsync([&](IVssAsync** a) { return backup_->GatherWriterMetadata(a); });
  }

  std::wstring RestoreDocument() {
    BackupComponents backup;
    EXPECT_EQ(S_OK, CreateSimBackupComponents(CurrentMachine(), backup.put()));
    VSS_ID set_id;
    BackupUpToSnapshot(backup.get(), &set_id);
    BSTR xml = nullptr;
    EXPECT_EQ(S_OK, backup->SaveAsXML(&xml));
    std::wstring text = xml ? xml : L"";
    SysFreeString(xml);
    return text;
  }

  BackupComponents backup_;
};

TEST_F(MisuseTest, CallsOutOfSequenceAreBadState) {
  UINT count = 0;
  VSS_ID id;
  // Nothing initialised yet.
  EXPECT_EQ(VSS_E_BAD_STATE, Gather());
  EXPECT_EQ(VSS_E_BAD_STATE, backup_->GetWriterMetadataCount(&count));
  EXPECT_EQ(VSS_E_BAD_STATE, backup_->GetWriterComponentsCount(&count));
  EXPECT_EQ(VSS_E_BAD_STATE, backup_->StartSnapshotSet(&id));
  EXPECT_EQ(VSS_E_BAD_STATE, backup_->SetBackupState(true, true, VSS_BT_FULL, false));

  ASSERT_EQ(S_OK, backup_->InitializeForBackup(nullptr));
  EXPECT_EQ(VSS_E_BAD_STATE, backup_->InitializeForBackup(nullptr));
  EXPECT_EQ(VSS_E_BAD_STATE, backup_->GetWriterMetadataCount(&count));
  // Components need the backup state and the writers' metadata first.
  EXPECT_EQ(VSS_E_BAD_STATE,
            backup_->AddComponent(kFilesWriterInstance, kFilesWriterClass, VSS_CT_FILEGROUP, nullptr, L"Data"));
  EXPECT_EQ(VSS_E_BAD_STATE, WithAsync([&](IVssAsync** a) { return backup_->PrepareForBackup(a); }));
  ASSERT_EQ(S_OK, backup_->SetBackupState(true, true, VSS_BT_INCREMENTAL, false));
  ASSERT_EQ(S_OK, Gather());
  EXPECT_EQ(VSS_E_BAD_STATE, Gather());
  EXPECT_EQ(VSS_E_BAD_STATE, backup_->SetContext(VSS_CTX_BACKUP));
  // No snapshot before the set has a volume, no writer status before it is gathered.
  EXPECT_EQ(VSS_E_BAD_STATE, backup_->AddToSnapshotSet(const_cast<wchar_t*>(L"C:\\"), GUID_NULL, &id));
  EXPECT_EQ(VSS_E_BAD_STATE, backup_->GetWriterStatusCount(&count));
  ASSERT_EQ(S_OK, backup_->StartSnapshotSet(&id));
  EXPECT_EQ(VSS_E_SNAPSHOT_SET_IN_PROGRESS, backup_->StartSnapshotSet(&id));
  ASSERT_EQ(S_OK, WithAsync([&](IVssAsync** a) { return backup_->PrepareForBackup(a); }));
  EXPECT_EQ(VSS_E_BAD_STATE, WithAsync([&](IVssAsync** a) { return backup_->DoSnapshotSet(a); }));
  EXPECT_EQ(VSS_E_BAD_STATE,
            backup_->AddComponent(kFilesWriterInstance, kFilesWriterClass, VSS_CT_FILEGROUP, nullptr, L"Data"));
  EXPECT_EQ(VSS_E_BAD_STATE, backup_->SetBackupSucceeded(kFilesWriterInstance, kFilesWriterClass,
                                                         VSS_CT_FILEGROUP, nullptr, L"Data", true));
  EXPECT_EQ(VSS_E_BAD_STATE, WithAsync([&](IVssAsync** a) { return backup_->BackupComplete(a); }));
  // Restore calls on a backup.
  EXPECT_EQ(VSS_E_BAD_STATE, WithAsync([&](IVssAsync** a) { return backup_->PreRestore(a); }));
  EXPECT_EQ(VSS_E_BAD_STATE,
            backup_->SetSelectedForRestore(kFilesWriterClass, VSS_CT_FILEGROUP, nullptr, L"Data", true));
  BSTR xml = SysAllocString(L"<backup-components/>");
  EXPECT_EQ(VSS_E_BAD_STATE, backup_->InitializeForRestore(xml));
  SysFreeString(xml);
}

TEST_F(MisuseTest, RestoreCallsOutOfSequenceAreBadState) {
  std::wstring document = RestoreDocument();
  BSTR xml = SysAllocString(document.c_str());
  ASSERT_EQ(S_OK, backup_->InitializeForRestore(xml));
  SysFreeString(xml);
  EXPECT_EQ(VSS_E_BAD_STATE, WithAsync([&](IVssAsync** a) { return backup_->PreRestore(a); }));
  EXPECT_EQ(VSS_E_BAD_STATE, WithAsync([&](IVssAsync** a) { return backup_->PostRestore(a); }));
  EXPECT_EQ(VSS_E_BAD_STATE,
            backup_->SetFileRestoreStatus(kFilesWriterClass, VSS_CT_FILEGROUP, nullptr, L"Data", VSS_RS_ALL));
  EXPECT_EQ(VSS_E_BAD_STATE,
            backup_->AddComponent(kFilesWriterInstance, kFilesWriterClass, VSS_CT_FILEGROUP, nullptr, L"Data"));
  ASSERT_EQ(S_OK, Gather());
  ASSERT_EQ(S_OK, WithAsync([&](IVssAsync** a) { return backup_->PreRestore(a); }));
  EXPECT_EQ(VSS_E_BAD_STATE, WithAsync([&](IVssAsync** a) { return backup_->PreRestore(a); }));
  ASSERT_EQ(S_OK, WithAsync([&](IVssAsync** a) { return backup_->PostRestore(a); }));
  EXPECT_EQ(VSS_E_BAD_STATE, WithAsync([&](IVssAsync** a) { return backup_->PostRestore(a); }));
  EXPECT_EQ(VSS_E_BAD_STATE,
            backup_->SetFileRestoreStatus(kFilesWriterClass, VSS_CT_FILEGROUP, nullptr, L"Data", VSS_RS_ALL));
}

TEST_F(MisuseTest, BadArgumentsAreInvalidArg) {
  EXPECT_EQ(E_INVALIDARG, backup_->InitializeForRestore(nullptr));
  ASSERT_EQ(S_OK, backup_->InitializeForBackup(nullptr));
  EXPECT_EQ(E_INVALIDARG, backup_->SetBackupState(true, true, static_cast<VSS_BACKUP_TYPE>(42), false));
  EXPECT_EQ(E_INVALIDARG, backup_->SetContext(0x12345));
  ASSERT_EQ(S_OK, backup_->SetBackupState(true, true, VSS_BT_FULL, false));
  EXPECT_EQ(E_INVALIDARG, backup_->GatherWriterMetadata(nullptr));
  ASSERT_EQ(S_OK, Gather());
  EXPECT_EQ(E_INVALIDARG, backup_->GetWriterMetadataCount(nullptr));
  EXPECT_EQ(E_INVALIDARG,
            backup_->AddComponent(kFilesWriterInstance, kFilesWriterClass, VSS_CT_FILEGROUP, nullptr, nullptr));
  EXPECT_EQ(E_INVALIDARG, backup_->AddComponent(kFilesWriterInstance, kFilesWriterClass,
                                                static_cast<VSS_COMPONENT_TYPE>(7), nullptr, L"Data"));
  EXPECT_EQ(E_INVALIDARG, backup_->StartSnapshotSet(nullptr));
  VSS_ID id;
  ASSERT_EQ(S_OK, backup_->StartSnapshotSet(&id));
  EXPECT_EQ(E_INVALIDARG, backup_->AddToSnapshotSet(nullptr, GUID_NULL, &id));
  IVssEnumObject* found = nullptr;
  EXPECT_EQ(E_INVALIDARG, backup_->Query(GUID_NULL, VSS_OBJECT_NONE, VSS_OBJECT_PROVIDER, &found));
  EXPECT_EQ(nullptr, found);
  LONG deleted;
  EXPECT_EQ(E_INVALIDARG, backup_->DeleteSnapshots(GUID_NULL, VSS_OBJECT_PROVIDER, TRUE, &deleted, &id));
  EXPECT_EQ(E_INVALIDARG, backup_->DeleteSnapshots(GUID_NULL, VSS_OBJECT_SNAPSHOT, TRUE, nullptr, &id));
  ASSERT_EQ(S_OK, WithAsync([&](IVssAsync** a) { return backup_->PrepareForBackup(a); }));
  EXPECT_EQ(E_INVALIDARG, backup_->SaveAsXML(nullptr));
}

TEST_F(MisuseTest, UnknownWritersComponentsVolumesAndSnapshotsAreNotFound) {
  ASSERT_EQ(S_OK, backup_->InitializeForBackup(nullptr));
  ASSERT_EQ(S_OK, backup_->SetBackupState(true, true, VSS_BT_FULL, false));
  ASSERT_EQ(S_OK, Gather());
  const VSS_ID unknown = {0x99999999, 0, 0, {0, 0, 0, 0, 0, 0, 0, 9}};
  VSS_ID instance;
  IVssExamineWriterMetadata* metadata = nullptr;
  EXPECT_EQ(VSS_E_OBJECT_NOT_FOUND, backup_->GetWriterMetadata(2, &instance, &metadata));
  EXPECT_EQ(nullptr, metadata);
  EXPECT_EQ(VSS_E_OBJECT_NOT_FOUND,
            backup_->AddComponent(unknown, kFilesWriterClass, VSS_CT_FILEGROUP, nullptr, L"Data"));
  EXPECT_EQ(VSS_E_OBJECT_NOT_FOUND,
            backup_->AddComponent(kFilesWriterInstance, kSqlWriterClass, VSS_CT_FILEGROUP, nullptr, L"Data"));
  EXPECT_EQ(VSS_E_OBJECT_NOT_FOUND,
            backup_->AddComponent(kFilesWriterInstance, kFilesWriterClass, VSS_CT_FILEGROUP, nullptr, L"Other"));
  EXPECT_EQ(VSS_E_OBJECT_NOT_FOUND,
            backup_->AddComponent(kFilesWriterInstance, kFilesWriterClass, VSS_CT_DATABASE, nullptr, L"Data"));
  EXPECT_EQ(VSS_E_OBJECT_NOT_FOUND,
            backup_->AddComponent(kSqlWriterInstance, kSqlWriterClass, VSS_CT_DATABASE, nullptr, L"sales"));
  // A stamp for a component that was never added.
  EXPECT_EQ(VSS_E_OBJECT_NOT_FOUND,
            backup_->SetPreviousBackupStamp(kFilesWriterClass, VSS_CT_FILEGROUP, nullptr, L"Data", L"s"));
  ASSERT_EQ(S_OK,
            backup_->AddComponent(kFilesWriterInstance, kFilesWriterClass, VSS_CT_FILEGROUP, L"", L"Data"));
  EXPECT_EQ(VSS_E_OBJECT_ALREADY_EXISTS,
            backup_->AddComponent(kFilesWriterInstance, kFilesWriterClass, VSS_CT_FILEGROUP, nullptr, L"Data"));

  VSS_ID id;
  ASSERT_EQ(S_OK, backup_->StartSnapshotSet(&id));
  EXPECT_EQ(VSS_E_OBJECT_NOT_FOUND, backup_->AddToSnapshotSet(const_cast<wchar_t*>(L"C:\\windows"), GUID_NULL, &id));
  EXPECT_EQ(VSS_E_OBJECT_NOT_FOUND,
            backup_->AddToSnapshotSet(const_cast<wchar_t*>(L"\\\\?\\Volume{99999999-0000-0000-0000-000000000000}\\"),
                                      GUID_NULL, &id));
  EXPECT_EQ(VSS_E_PROVIDER_NOT_REGISTERED, backup_->AddToSnapshotSet(const_cast<wchar_t*>(L"C:\\"), unknown, &id));
  ASSERT_EQ(S_OK, backup_->AddToSnapshotSet(const_cast<wchar_t*>(L"C:"), GUID_NULL, &id));
  wchar_t volume[MAX_PATH];
  ASSERT_TRUE(GetVolumeNameForVolumeMountPointW(L"C:\\", volume, MAX_PATH));
  EXPECT_EQ(VSS_E_OBJECT_ALREADY_EXISTS, backup_->AddToSnapshotSet(volume, GUID_NULL, &id));

  LONG deleted;
  VSS_ID not_deleted;
  EXPECT_EQ(VSS_E_OBJECT_NOT_FOUND, backup_->DeleteSnapshots(unknown, VSS_OBJECT_SNAPSHOT, TRUE, &deleted,
                                                             &not_deleted));
  VSS_SNAPSHOT_PROP prop;
  EXPECT_EQ(VSS_E_OBJECT_NOT_FOUND, backup_->GetSnapshotProperties(unknown, &prop));
}

TEST_F(MisuseTest, RestoreOfUnknownComponentsIsNotFound) {
  std::wstring document = RestoreDocument();
  BSTR xml = SysAllocString(document.c_str());
  ASSERT_EQ(S_OK, backup_->InitializeForRestore(xml));
  SysFreeString(xml);
  ASSERT_EQ(S_OK, Gather());
  EXPECT_EQ(VSS_E_OBJECT_NOT_FOUND,
            backup_->SetSelectedForRestore(kFilesWriterClass, VSS_CT_FILEGROUP, nullptr, L"Other", true));
  EXPECT_EQ(VSS_E_OBJECT_NOT_FOUND,
            backup_->SetAdditionalRestores(kSqlWriterClass, VSS_CT_DATABASE, nullptr, L"sales", true));
}

TEST_F(MisuseTest, DocumentsThatDoNotParseAreInvalidXml) {
  for (const wchar_t* text : {L"<backup-components", L"not xml at all", L"<machine/>",
                              L"<backup-components backup-type=\"sometimes\"/>",
                              L"<backup-components><writer instance=\"x\" class=\"y\"/></backup-components>"}) {
    BackupComponents restore;
    ASSERT_EQ(S_OK, CreateSimBackupComponents(CurrentMachine(), restore.put()));
    BSTR xml = SysAllocString(text);
    EXPECT_EQ(VSS_E_INVALID_XML_DOCUMENT, restore->InitializeForRestore(xml)) << Narrow(text);
    // A refused document leaves the object uninitialised, ready for a good one.
    EXPECT_EQ(S_OK, restore->InitializeForBackup(nullptr));
    SysFreeString(xml);
  }
}

}  // namespace
