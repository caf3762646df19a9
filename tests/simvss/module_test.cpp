// simvss.dll as a host and the plug-in reach it: by export name, with its own configuration and
// its own count of live objects.
#include "simvss_fixture.h"

namespace {

typedef HRESULT (*CreateBackupComponentsFn)(IVssBackupComponents**);
typedef HRESULT (*CreateExamineWriterMetadataFn)(BSTR, IVssExamineWriterMetadata**);
typedef HRESULT (*ConfigureFn)(const char*, const char*);
typedef LONG (*ObjectCountFn)();
typedef void (*FreePropertiesFn)(VSS_SNAPSHOT_PROP*);

class ModuleTest : public SimVssTest {
 protected:
  void SetUp() override {
    SimVssTest::SetUp();
    module_ = LoadLibraryW(L"simvss.dll");
    ASSERT_NE(nullptr, module_);
    create_ = Export<CreateBackupComponentsFn>("?CreateVssBackupComponents@@YAJPEAPEAVIVssBackupComponents@@@Z");
    examine_ = Export<CreateExamineWriterMetadataFn>("?CreateVssExamineWriterMetadata@@YAJPEAGPEAPEAVIVssExamineWriterMetadata@@@Z");
    configure_ = Export<ConfigureFn>("SimVssConfigure");
    count_ = Export<ObjectCountFn>("SimVssObjectCount");
    free_ = Export<FreePropertiesFn>("VssFreeSnapshotPropertiesInternal");
    ASSERT_TRUE(create_ && examine_ && configure_ && count_ && free_);
    std::string machine = Narrow(root_) + "\\machine.xml";
    ASSERT_EQ(S_OK, configure_(machine.c_str(), journal_.c_str()));
  }

  void TearDown() override {
    if (count_) {
      EXPECT_EQ(0, count_()) << "simvss.dll still holds live objects";
    }
    if (configure_) configure_(nullptr, nullptr);
    if (module_) FreeLibrary(module_);
    SimVssTest::TearDown();
  }

  template <class T>
  T Export(const char* name) const {
    return reinterpret_cast<T>(reinterpret_cast<void*>(GetProcAddress(module_, name)));
  }

  HMODULE module_ = nullptr;
  CreateBackupComponentsFn create_ = nullptr;
  CreateExamineWriterMetadataFn examine_ = nullptr;
  ConfigureFn configure_ = nullptr;
  ObjectCountFn count_ = nullptr;
  FreePropertiesFn free_ = nullptr;
};

TEST_F(ModuleTest, BackupThroughTheExportsLeavesNoObjectBehind) {
  BackupComponents backup;
  ASSERT_EQ(S_OK, create_(backup.put()));
  EXPECT_EQ(1, count_());
  VSS_ID set_id;
  ASSERT_NO_FATAL_FAILURE(BackupUpToSnapshot(backup.get(), &set_id));
  IVssEnumObject* found = nullptr;
  ASSERT_EQ(S_OK, backup->Query(GUID_NULL, VSS_OBJECT_NONE, VSS_OBJECT_SNAPSHOT, &found));
  VSS_OBJECT_PROP prop;
  ULONG fetched = 0;
  ASSERT_EQ(S_OK, found->Next(1, &prop, &fetched));
  EXPECT_TRUE(IsEqualGUID(set_id, prop.Obj.Snap.m_SnapshotSetId));
  free_(&prop.Obj.Snap);
  EXPECT_EQ(nullptr, prop.Obj.Snap.m_pwszSnapshotDeviceObject);
  found->Release();
  backup.Reset();
  // The module's journal is the one it was configured with.
  EXPECT_EQ(1u, JournalCalls("DoSnapshotSet").size());
}

TEST_F(ModuleTest, WriterMetadataComesBackFromItsDocument) {
  BackupComponents backup;
  ASSERT_EQ(S_OK, create_(backup.put()));
  ASSERT_NO_FATAL_FAILURE(StartBackup(backup.get()));
  VSS_ID instance;
  IVssExamineWriterMetadata* metadata = nullptr;
  ASSERT_EQ(S_OK, backup->GetWriterMetadata(1, &instance, &metadata));
  EXPECT_TRUE(IsEqualGUID(kSqlWriterInstance, instance));
  BSTR xml = nullptr;
  ASSERT_EQ(S_OK, metadata->SaveAsXML(&xml));
  metadata->Release();
  backup.Reset();

  IVssExamineWriterMetadata* again = nullptr;
  ASSERT_EQ(S_OK, examine_(xml, &again));
  SysFreeString(xml);
  VSS_ID writer_class;
  BSTR name = nullptr;
  VSS_USAGE_TYPE usage;
  VSS_SOURCE_TYPE source;
  ASSERT_EQ(S_OK, again->GetIdentity(&instance, &writer_class, &name, &usage, &source));
  EXPECT_TRUE(IsEqualGUID(kSqlWriterInstance, instance));
  EXPECT_TRUE(IsEqualGUID(kSqlWriterClass, writer_class));
  EXPECT_STREQ(L"Sql Writer", name);
  SysFreeString(name);
  again->Release();

  BSTR bad = SysAllocString(L"<not a document");
  EXPECT_EQ(VSS_E_INVALID_XML_DOCUMENT, examine_(bad, &again));
  SysFreeString(bad);
}

TEST_F(ModuleTest, ConfigurationRefusesADescriptionThatCannotBeRead) {
  std::string broken = Narrow(root_) + "\\broken.xml";
  std::ofstream(broken) << "<machine><writer/></machine>";
  EXPECT_EQ(VSS_E_INVALID_XML_DOCUMENT, configure_(broken.c_str(), nullptr));
  EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND), configure_((Narrow(root_) + "\\none.xml").c_str(), nullptr));
  // The module then simulates a machine without writers.
  BackupComponents backup;
  ASSERT_EQ(S_OK, create_(backup.put()));
  ASSERT_NO_FATAL_FAILURE(StartBackup(backup.get()));
  UINT count = 1;
  ASSERT_EQ(S_OK, backup->GetWriterMetadataCount(&count));
  EXPECT_EQ(0u, count);
}

}  // namespace
