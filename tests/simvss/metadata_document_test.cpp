// Writer metadata documents: what SaveAsXML writes comes back, through the exported factory,
// as an object a requester cannot tell from the original.
#include <gtest/gtest.h>

#include <vsserror.h>

#include "metadata_support.h"

using namespace metadata_support;

namespace {

class MetadataDocumentTest : public ObjectCountTest {
 protected:
  // The document of `writer` as SaveAsXML hands it out (the caller frees it).
  static BSTR Save(const MachineWriter& writer) {
    IVssExamineWriterMetadata* metadata = nullptr;
    EXPECT_EQ(S_OK, CreateWriterMetadata(writer, &metadata));
    BSTR xml = nullptr;
    EXPECT_EQ(S_OK, metadata->SaveAsXML(&xml));
    metadata->Release();
    return xml;
  }

  // Through the factory and back through the interfaces.
  static MachineWriter RoundTrip(const MachineWriter& writer) {
    BSTR xml = Save(writer);
    IVssExamineWriterMetadata* loaded = nullptr;
    EXPECT_EQ(S_OK, SimCreateExamineWriterMetadata(xml, &loaded));
    SysFreeString(xml);
    if (!loaded) return MachineWriter();
    MachineWriter seen = ReadThroughInterfaces(loaded);
    loaded->Release();
    return seen;
  }

  static HRESULT Create(const wchar_t* xml) {
    BSTR text = SysAllocString(xml);
    IVssExamineWriterMetadata* loaded = reinterpret_cast<IVssExamineWriterMetadata*>(1);
    HRESULT hr = SimCreateExamineWriterMetadata(text, &loaded);
    SysFreeString(text);
    if (SUCCEEDED(hr)) loaded->Release();
    else EXPECT_EQ(nullptr, loaded);
    return hr;
  }
};

TEST_F(MetadataDocumentTest, SavedDocumentBecomesAnEqualObject) {
  EXPECT_TRUE(RoundTrip(SampleWriter()) == MetadataOnly(SampleWriter()));
}

TEST_F(MetadataDocumentTest, EdgeValuesSurviveTheDocument) {
  MachineWriter w = SampleWriter();
  w.name = L"";
  w.usage = static_cast<VSS_USAGE_TYPE>(0);
  w.backup_schema = 0xFFFFFFFF;
  w.restore.service_name.reset();
  w.restore.user_procedure = L"line one\nline two\ttabbed  <b>&amp;</b>";
  w.components[0].name = L"  spaced  ";
  w.components[0].caption = L"";
  w.components[0].files[0].path = L"";
  w.components[0].files[0].backup_type_mask = 0;
  w.components[1].dependencies[0].logical_path = L"";
  w.components[1].component_flags = 0x80000007;
  MachineWriter seen = RoundTrip(w);
  EXPECT_EQ(w.restore.user_procedure, seen.restore.user_procedure);
  EXPECT_EQ(w.components[0].name, seen.components[0].name);
  EXPECT_TRUE(seen == MetadataOnly(w));
}

TEST_F(MetadataDocumentTest, DocumentCarriesNoBackupResults) {
  BSTR xml = Save(SampleWriter());
  std::wstring text(xml);
  SysFreeString(xml);
  EXPECT_EQ(std::wstring::npos, text.find(L"stamp-1"));
  EXPECT_EQ(std::wstring::npos, text.find(L"0:512"));
  MachineWriter read;
  ASSERT_EQ(S_OK, WriterMetadataFromXml(text.c_str(), &read));
  EXPECT_TRUE(read == MetadataOnly(SampleWriter()));
}

TEST_F(MetadataDocumentTest, DocumentsThatAreNoWriterMetadataAreRefused) {
  EXPECT_EQ(VSS_E_INVALID_XML_DOCUMENT, Create(L""));
  EXPECT_EQ(VSS_E_INVALID_XML_DOCUMENT, Create(L"<writerMetadata name=\"x\""));
  EXPECT_EQ(VSS_E_INVALID_XML_DOCUMENT, Create(L"not xml at all"));
  EXPECT_EQ(VSS_E_INVALID_XML_DOCUMENT, Create(L"<machine/>"));
  // Well-formed, but the identity is missing or broken.
  EXPECT_EQ(VSS_E_INVALID_XML_DOCUMENT, Create(L"<writerMetadata name=\"x\"/>"));
  EXPECT_EQ(VSS_E_INVALID_XML_DOCUMENT,
            Create(L"<writerMetadata name=\"x\" classId=\"{1}\" instanceId=\"{2}\"/>"));
  // Backup results belong to the service's machine, not to a writer's document.
  EXPECT_EQ(VSS_E_INVALID_XML_DOCUMENT,
            Create(L"<writerMetadata name=\"x\" classId=\"{e8132975-6f93-4464-a53e-1050253ae220}\""
                   L" instanceId=\"{e8132975-6f93-4464-a53e-1050253ae221}\">"
                   L"<component name=\"c\" backupStamp=\"s\"/></writerMetadata>"));
  EXPECT_EQ(S_OK,
            Create(L"<writerMetadata name=\"x\" classId=\"{e8132975-6f93-4464-a53e-1050253ae220}\""
                   L" instanceId=\"{e8132975-6f93-4464-a53e-1050253ae221}\">"
                   L"<component name=\"c\"/></writerMetadata>"));
}

TEST_F(MetadataDocumentTest, MissingArgumentsAreInvalid) {
  IVssExamineWriterMetadata* loaded = reinterpret_cast<IVssExamineWriterMetadata*>(1);
  EXPECT_EQ(E_INVALIDARG, SimCreateExamineWriterMetadata(nullptr, &loaded));
  EXPECT_EQ(nullptr, loaded);
  BSTR xml = Save(SampleWriter());
  EXPECT_EQ(E_INVALIDARG, SimCreateExamineWriterMetadata(xml, nullptr));
  SysFreeString(xml);
}

TEST_F(MetadataDocumentTest, LoadFromXmlReplacesTheWriterButNotComponentsHandedOut) {
  MachineWriter other = SampleWriter();
  other.name = L"Other";
  other.components.resize(1);
  other.components[0].name = L"Only";
  BSTR other_xml = Save(other);

  IVssExamineWriterMetadata* metadata = nullptr;
  ASSERT_EQ(S_OK, CreateWriterMetadata(SampleWriter(), &metadata));
  IVssWMComponent* before = nullptr;
  ASSERT_EQ(S_OK, metadata->GetComponent(1, &before));
  BSTR broken = SysAllocString(L"<writerMetadata");
  EXPECT_EQ(S_FALSE, metadata->LoadFromXML(broken));  // not XML: could not be loaded
  SysFreeString(broken);
  broken = SysAllocString(L"<machine/>");
  EXPECT_EQ(VSS_E_INVALID_XML_DOCUMENT, metadata->LoadFromXML(broken));
  SysFreeString(broken);
  EXPECT_TRUE(ReadThroughInterfaces(metadata) == MetadataOnly(SampleWriter()));

  ASSERT_EQ(S_OK, metadata->LoadFromXML(other_xml));
  SysFreeString(other_xml);
  EXPECT_TRUE(ReadThroughInterfaces(metadata) == MetadataOnly(other));
  PVSSCOMPONENTINFO info = nullptr;
  ASSERT_EQ(S_OK, before->GetComponentInfo(&info));
  EXPECT_STREQ(L"Data base", info->bstrComponentName);
  before->FreeComponentInfo(info);
  before->Release();
  metadata->Release();
}

TEST_F(MetadataDocumentTest, GetDocumentGivesTheSavedTree) {
  IVssExamineWriterMetadata* metadata = nullptr;
  ASSERT_EQ(S_OK, CreateWriterMetadata(SampleWriter(), &metadata));
  IXMLDOMDocument* document = nullptr;
  ASSERT_EQ(S_OK, metadata->GetDocument(&document));
  ASSERT_NE(nullptr, document);
  BSTR xml = nullptr;
  ASSERT_EQ(S_OK, document->get_xml(&xml));
  MachineWriter read;
  EXPECT_EQ(S_OK, WriterMetadataFromXml(xml, &read));
  EXPECT_TRUE(read == MetadataOnly(SampleWriter()));
  SysFreeString(xml);
  document->Release();
  metadata->Release();
}

}  // namespace
