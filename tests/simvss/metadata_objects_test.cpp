// The writer metadata objects as a requester uses them: what each getter hands out, who frees
// it, and what misuse is answered with.
#include <gtest/gtest.h>

#include <vsserror.h>

#include "metadata_support.h"

using namespace metadata_support;

namespace {

class MetadataObjectTest : public ObjectCountTest {
 protected:
  void SetUp() override {
    ObjectCountTest::SetUp();
    writer_ = SampleWriter();
    ASSERT_EQ(S_OK, CreateWriterMetadata(writer_, &metadata_));
  }
  void TearDown() override {
    if (metadata_) {
      EXPECT_EQ(0u, metadata_->Release());
    }
    ObjectCountTest::TearDown();
  }

  IVssWMComponent* Component(UINT index) {
    IVssWMComponent* c = nullptr;
    EXPECT_EQ(S_OK, metadata_->GetComponent(index, &c));
    return c;
  }

  MachineWriter writer_;
  IVssExamineWriterMetadata* metadata_ = nullptr;
};

TEST_F(MetadataObjectTest, RequesterSeesExactlyTheDescribedWriter) {
  EXPECT_TRUE(ReadThroughInterfaces(metadata_) == MetadataOnly(writer_));
}

TEST_F(MetadataObjectTest, ComponentInfoGivesNullForAbsentTextsAndEmptyForEmptyOnes) {
  IVssWMComponent* top = Component(0);
  IVssWMComponent* db = Component(1);
  PVSSCOMPONENTINFO top_info = nullptr, db_info = nullptr;
  ASSERT_EQ(S_OK, top->GetComponentInfo(&top_info));
  ASSERT_EQ(S_OK, db->GetComponentInfo(&db_info));
  EXPECT_EQ(nullptr, top_info->bstrLogicalPath);
  EXPECT_STREQ(L"T", top_info->bstrCaption);
  EXPECT_STREQ(L"Top", db_info->bstrLogicalPath);
  EXPECT_EQ(nullptr, db_info->bstrCaption);
  EXPECT_EQ(VSS_CT_DATABASE, db_info->type);
  EXPECT_EQ(1u, db_info->cDatabases);
  EXPECT_EQ(2u, db_info->cLogFiles);
  EXPECT_EQ(2u, db_info->cDependencies);
  EXPECT_EQ(0u, db_info->cFileCount);
  EXPECT_FALSE(db_info->bSelectable);

  // The user procedure was described as empty, the service not at all.
  VSS_RESTOREMETHOD_ENUM method;
  VSS_WRITERRESTORE_ENUM writer_restore;
  BSTR service = nullptr, procedure = nullptr;
  boolean reboot = false;
  UINT mappings = 0;
  ASSERT_EQ(S_OK, metadata_->GetRestoreMethod(&method, &service, &procedure, &writer_restore,
                                               &reboot, &mappings));
  EXPECT_STREQ(L"SampleSvc", service);
  ASSERT_NE(nullptr, procedure);
  EXPECT_EQ(0u, SysStringLen(procedure));
  SysFreeString(service);
  SysFreeString(procedure);

  EXPECT_EQ(S_OK, top->FreeComponentInfo(top_info));
  EXPECT_EQ(S_OK, db->FreeComponentInfo(db_info));
  top->Release();
  db->Release();
}

TEST_F(MetadataObjectTest, IndexesPastTheEndAreNotFoundAndClearTheResult) {
  IVssWMComponent* db = Component(1);
  IVssWMFiledesc* file = reinterpret_cast<IVssWMFiledesc*>(1);
  EXPECT_EQ(VSS_E_OBJECT_NOT_FOUND, db->GetFile(0, &file));
  EXPECT_EQ(nullptr, file);
  file = reinterpret_cast<IVssWMFiledesc*>(1);
  EXPECT_EQ(VSS_E_OBJECT_NOT_FOUND, db->GetDatabaseLogFile(2, &file));
  EXPECT_EQ(nullptr, file);
  IVssWMDependency* dependency = reinterpret_cast<IVssWMDependency*>(1);
  EXPECT_EQ(VSS_E_OBJECT_NOT_FOUND, db->GetDependency(2, &dependency));
  EXPECT_EQ(nullptr, dependency);
  IVssWMComponent* none = reinterpret_cast<IVssWMComponent*>(1);
  EXPECT_EQ(VSS_E_OBJECT_NOT_FOUND, metadata_->GetComponent(2, &none));
  EXPECT_EQ(nullptr, none);
  EXPECT_EQ(VSS_E_OBJECT_NOT_FOUND, metadata_->GetExcludeFile(1, &file));
  EXPECT_EQ(VSS_E_OBJECT_NOT_FOUND, metadata_->GetAlternateLocationMapping(1, &file));
  db->Release();
}

TEST_F(MetadataObjectTest, MissingResultPointersAreInvalidArguments) {
  VSS_ID id;
  VSS_USAGE_TYPE usage;
  VSS_SOURCE_TYPE source;
  EXPECT_EQ(E_INVALIDARG, metadata_->GetIdentity(&id, &id, nullptr, &usage, &source));
  UINT n = 0;
  EXPECT_EQ(E_INVALIDARG, metadata_->GetFileCounts(&n, nullptr, &n));
  EXPECT_EQ(E_INVALIDARG, metadata_->GetComponent(0, nullptr));
  EXPECT_EQ(E_INVALIDARG, metadata_->GetBackupSchema(nullptr));
  EXPECT_EQ(E_INVALIDARG, metadata_->SaveAsXML(nullptr));
  IVssWMComponent* c = Component(0);
  EXPECT_EQ(E_INVALIDARG, c->GetComponentInfo(nullptr));
  EXPECT_EQ(E_INVALIDARG, c->GetFile(0, nullptr));
  c->Release();
}

// Freeing what the component never handed out, or freeing twice, would corrupt the heap of the
// process that hosts the requester.
TEST_F(MetadataObjectTest, FreeComponentInfoTakesBackOnlyItsOwnInformationOnce) {
  IVssWMComponent* top = Component(0);
  IVssWMComponent* db = Component(1);
  PVSSCOMPONENTINFO info = nullptr;
  ASSERT_EQ(S_OK, top->GetComponentInfo(&info));
  VSS_COMPONENTINFO forged = *info;
  EXPECT_EQ(E_INVALIDARG, top->FreeComponentInfo(&forged));
  EXPECT_EQ(E_INVALIDARG, db->FreeComponentInfo(info));
  EXPECT_EQ(E_INVALIDARG, top->FreeComponentInfo(nullptr));
  EXPECT_EQ(S_OK, top->FreeComponentInfo(info));
  EXPECT_EQ(E_INVALIDARG, top->FreeComponentInfo(info));
  top->Release();
  db->Release();
}

TEST_F(MetadataObjectTest, ComponentsAndDescriptorsOutliveTheMetadataObject) {
  IVssWMComponent* db = Component(1);
  PVSSCOMPONENTINFO kept = nullptr;
  ASSERT_EQ(S_OK, db->GetComponentInfo(&kept));
  EXPECT_EQ(0u, metadata_->Release());
  metadata_ = nullptr;

  PVSSCOMPONENTINFO info = nullptr;
  ASSERT_EQ(S_OK, db->GetComponentInfo(&info));
  EXPECT_STREQ(L"Data base", info->bstrComponentName);
  IVssWMDependency* dependency = nullptr;
  ASSERT_EQ(S_OK, db->GetDependency(1, &dependency));
  EXPECT_EQ(S_OK, db->FreeComponentInfo(info));
  // Information still held when the component goes is freed with it.
  EXPECT_EQ(0u, db->Release());

  BSTR name = nullptr;
  ASSERT_EQ(S_OK, dependency->GetComponentName(&name));
  EXPECT_STREQ(L"System Files", name);
  SysFreeString(name);
  EXPECT_EQ(0u, dependency->Release());
}

TEST_F(MetadataObjectTest, ReferencesAreCountedAndInterfacesAnswered) {
  EXPECT_EQ(2u, metadata_->AddRef());
  EXPECT_EQ(1u, metadata_->Release());
  IUnknown* unknown = nullptr;
  ASSERT_EQ(S_OK, metadata_->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&unknown)));
  IVssExamineWriterMetadata* same = nullptr;
  ASSERT_EQ(S_OK, unknown->QueryInterface(__uuidof(IVssExamineWriterMetadata),
                                          reinterpret_cast<void**>(&same)));
  EXPECT_EQ(metadata_, same);
  same->Release();
  unknown->Release();
  void* other = reinterpret_cast<void*>(1);
  EXPECT_EQ(E_NOINTERFACE, metadata_->QueryInterface(__uuidof(IVssBackupComponents), &other));
  EXPECT_EQ(nullptr, other);

  LONG before = g_simvss_objects;
  IVssWMComponent* c = Component(0);
  IVssWMFiledesc* file = nullptr;
  ASSERT_EQ(S_OK, c->GetFile(0, &file));
  EXPECT_EQ(before + 2, g_simvss_objects);
  file->Release();
  c->Release();
  EXPECT_EQ(before, g_simvss_objects);
}

}  // namespace
