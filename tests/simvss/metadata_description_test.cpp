// Machine descriptions: how the loader reads one, and how it points at a mistake in one.
#include <gtest/gtest.h>

#include <vsserror.h>

#include <cstdio>
#include <string>

#include "metadata_support.h"

using namespace metadata_support;

namespace {

const wchar_t kSystemWriter[] = L"classId=\"{e8132975-6f93-4464-a53e-1050253ae220}\"";

std::wstring Description(const std::wstring& writer_body, const std::wstring& writer_attributes = L"") {
  return L"<machine name=\"m\"><writer name=\"W\" " + std::wstring(kSystemWriter) +
         L" instanceId=\"{00000000-0000-0000-0000-000000000001}\" " + writer_attributes + L">" +
         writer_body + L"</writer></machine>";
}

class DescriptionTest : public ::testing::Test {
 protected:
  Machine Parse(const std::wstring& xml) {
    Machine m;
    std::wstring error;
    EXPECT_EQ(S_OK, ParseMachine(xml.c_str(), &m, &error)) << error;
    return m;
  }
  // The explanation of a refused description.
  std::wstring Refusal(const std::wstring& xml) {
    Machine m;
    std::wstring error;
    EXPECT_EQ(VSS_E_INVALID_XML_DOCUMENT, ParseMachine(xml.c_str(), &m, &error)) << xml;
    return error;
  }
};

TEST_F(DescriptionTest, SavedDescriptionReadsBackIntoTheSameMachine) {
  Machine m;
  m.name = L"SERVER";
  m.pending_polls = 3;
  m.writers.push_back(SampleWriter());
  MachineWriter& failing = m.writers[0];
  failing.fail_at = (1u << VSS_WS_FAILED_AT_FREEZE) | (1u << VSS_WS_FAILED_AT_PRE_RESTORE);
  failing.fail_code = VSS_E_WRITERERROR_RETRYABLE;
  failing.absent_at_restore = true;
  failing.locked_at_restore = {L"%SIMVSS_ROOT%\\Data\\db.mdf"};
  m.operations = {{L"DoSnapshotSet", VSS_E_INSUFFICIENT_STORAGE, false}, {L"PostRestore", S_OK, true}};
  m.layout.push_back({L"%SIMVSS_ROOT%\\Data\\db.mdf", 4096});
  std::wstring xml;
  ASSERT_EQ(S_OK, SaveMachine(m, &xml));
  Machine read = Parse(xml);
  EXPECT_EQ(m.name, read.name);
  EXPECT_EQ(3u, read.pending_polls);
  ASSERT_EQ(1u, read.writers.size());
  EXPECT_TRUE(read.writers[0] == failing);
  ASSERT_EQ(2u, read.operations.size());
  EXPECT_EQ(VSS_E_INSUFFICIENT_STORAGE, FindOperation(read, L"DoSnapshotSet")->result);
  EXPECT_TRUE(FindOperation(read, L"PostRestore")->never_finishes);
  EXPECT_EQ(nullptr, FindOperation(read, L"PreRestore"));
  ASSERT_EQ(1u, read.layout.size());
  EXPECT_EQ(4096u, read.layout[0].size);
}

// The spellings a person writes by hand, which a saved description never uses.
TEST_F(DescriptionTest, ReadsHandWrittenSpellings) {
  Machine m = Parse(
      L"<machine><writer name=\"W\" classId=\"A65FAA63-5EA8-4EBC-9DBD-A0C4DB26912A\""
      L" instanceId=\"{00000000-0000-0000-0000-0000000000FF}\" source=\"VSS_ST_TRANSACTEDDB\""
      L" stateAfterSnapshot=\"9\" failureAfterSnapshot=\"2147754994\">"
      L"<restoreMethod rebootRequired=\"yes\"/>"
      L"<component name=\"c\" selectable=\"0\"><differencedFile path=\"p\" filespec=\"f\""
      L" lastModified=\"2026-01-02T03:04:05Z\"/></component></writer></machine>");
  const MachineWriter& w = m.writers[0];
  EXPECT_TRUE(IsEqualGUID(Id(L"{a65faa63-5ea8-4ebc-9dbd-a0c4db26912a}"), w.class_id));
  EXPECT_EQ(0xffu, w.instance_id.Data4[7]);
  EXPECT_EQ(VSS_ST_TRANSACTEDDB, w.source);
  EXPECT_EQ(VSS_WS_FAILED_AT_FREEZE, w.state_after_snapshot);
  EXPECT_EQ(static_cast<HRESULT>(0x800423F2), w.failure_after_snapshot);
  EXPECT_TRUE(w.restore.reboot_required);
  EXPECT_FALSE(w.components[0].selectable);
  SYSTEMTIME st = {};
  FileTimeToSystemTime(&w.components[0].differenced_files[0].last_modify_time, &st);
  EXPECT_EQ(2026, st.wYear);
  EXPECT_EQ(5, st.wSecond);
}

TEST_F(DescriptionTest, OmittedAttributesTakeTheDefaults) {
  Machine m = Parse(Description(L"<component name=\"c\"><file path=\"p\" filespec=\"f\"/></component>"));
  const MachineWriter& w = m.writers[0];
  EXPECT_EQ(0u, m.pending_polls);
  EXPECT_EQ(VSS_WS_WAITING_FOR_BACKUP_COMPLETE, w.state_after_snapshot);
  EXPECT_EQ(S_OK, w.failure_after_snapshot);
  EXPECT_EQ(VSS_RME_RESTORE_IF_CAN_REPLACE, w.restore.method);
  const MachineComponent& c = w.components[0];
  EXPECT_EQ(VSS_CT_FILEGROUP, c.type);
  EXPECT_FALSE(c.logical_path.has_value());
  EXPECT_FALSE(c.caption.has_value());
  EXPECT_FALSE(c.backup_stamp.has_value());
  EXPECT_TRUE(c.selectable);
  EXPECT_FALSE(c.files[0].recursive);
  EXPECT_FALSE(c.files[0].alternate_location.has_value());
  EXPECT_EQ(static_cast<DWORD>(VSS_FSBT_ALL_BACKUP_REQUIRED | VSS_FSBT_ALL_SNAPSHOT_REQUIRED),
            c.files[0].backup_type_mask);
}

TEST_F(DescriptionTest, NamesOfBitsAreMatchedWholeNotByTheirEnding) {
  Machine m = Parse(Description(L"", L"backupSchema=\"EXCLUSIVE_INCREMENTAL_DIFFERENTIAL\""));
  EXPECT_EQ(static_cast<DWORD>(VSS_BS_EXCLUSIVE_INCREMENTAL_DIFFERENTIAL), m.writers[0].backup_schema);
  m = Parse(Description(L"", L"backupSchema=\"VSS_BS_INCREMENTAL | vss_bs_copy\" usage=\"2\""));
  EXPECT_EQ(static_cast<DWORD>(VSS_BS_INCREMENTAL | VSS_BS_COPY), m.writers[0].backup_schema);
  EXPECT_EQ(VSS_UT_SYSTEMSERVICE, m.writers[0].usage);
}

TEST_F(DescriptionTest, MistakesAreRefusedWithWhereTheyStand) {
  struct Case {
    std::wstring xml;
    const wchar_t* explanation;
  };
  const Case cases[] = {
      {Description(L"<component name=\"c\"><file path=\"p\" filespec=\"f\" recursve=\"1\"/></component>"),
       L"<component name=\"c\">: <file>: unknown attribute \"recursve\""},
      {Description(L"<componnet name=\"c\"/>"), L"unknown element <componnet>"},
      {Description(L"", L"usage=\"SOMETIMES\""), L"attribute \"usage\" is \"SOMETIMES\""},
      {Description(L"<component name=\"c\" selectable=\"perhaps\"/>"), L"\"selectable\" is \"perhaps\""},
      {Description(L"<component/>"), L"missing attribute \"name\""},
      {Description(L"<component name=\"\"/>"), L"non-empty name"},
      {Description(L"<component name=\"c\"/><component name=\"c\" logicalPath=\"\"/>"),
       L"already has a component"},
      {Description(L"<restoreMethod/><restoreMethod/>"), L"one restore method"},
      {Description(L"<component name=\"c\"><dependency name=\"x\" writerId=\"{zz}\"/></component>"),
       L"\"writerId\" is \"{zz}\""},
      {Description(L"", L"failureAfterSnapshot=\"0x100000000\""), L"a 32-bit number"},
      {Description(L"<component name=\"c\"><differencedFile path=\"p\" filespec=\"f\" lastModified=\"yesterday\"/></component>"),
       L"\"lastModified\" is \"yesterday\""},
      {L"<machine><writer name=\"a\" " + std::wstring(kSystemWriter) +
           L" instanceId=\"{00000000-0000-0000-0000-000000000001}\"/><writer name=\"b\" " + kSystemWriter +
           L" instanceId=\"{00000000-0000-0000-0000-000000000001}\"/></machine>",
       L"is used twice"},
      {L"<writers/>", L"root element"},
      {L"<machine><writer name=\"a\" " + std::wstring(kSystemWriter) + L"/></machine>",
       L"missing attribute \"instanceId\""},
      {L"<machine><layout><file path=\"p\" size=\"-1\"/></layout></machine>", L"\"size\" is \"-1\""},
      {Description(L"", L"failAt=\"LUNCH\""), L"\"failAt\" is \"LUNCH\""},
      {L"<machine><operation name=\"Backup\" result=\"never\"/></machine>", L"no asynchronous operation"},
      {L"<machine><operation name=\"PreRestore\" result=\"0x1\"/></machine>", L"a failure code or never"},
  };
  for (const Case& c : cases) {
    std::wstring error = Refusal(c.xml);
    EXPECT_NE(std::wstring::npos, error.find(c.explanation)) << "error: " << std::string(error.begin(), error.end());
  }
}

TEST_F(DescriptionTest, TextThatIsNotXmlIsRefused) {
  Machine m;
  EXPECT_EQ(VSS_E_INVALID_XML_DOCUMENT, ParseMachine(L"<machine>", &m));
  EXPECT_EQ(E_INVALIDARG, ParseMachine(nullptr, &m));
}

TEST_F(DescriptionTest, ComponentsAreFoundByPathAndNameWithNoPathMeaningEmpty) {
  Machine m = Parse(Description(L"<component name=\"a\"/><component logicalPath=\"a\" name=\"b\"/>"));
  const MachineWriter& w = m.writers[0];
  EXPECT_EQ(&w.components[0], FindComponent(w, nullptr, L"a"));
  EXPECT_EQ(&w.components[0], FindComponent(w, L"", L"a"));
  EXPECT_EQ(&w.components[1], FindComponent(w, L"a", L"b"));
  EXPECT_EQ(nullptr, FindComponent(w, nullptr, L"b"));
  EXPECT_EQ(nullptr, FindComponent(w, L"A", L"b"));
  EXPECT_EQ(&w, FindWriterByClass(m, Id(L"{e8132975-6f93-4464-a53e-1050253ae220}")));
  EXPECT_EQ(&w, FindWriterByInstance(m, Id(L"{00000000-0000-0000-0000-000000000001}")));
  EXPECT_EQ(nullptr, FindWriterByInstance(m, Id(L"{e8132975-6f93-4464-a53e-1050253ae220}")));
}

TEST(IdTextTest, GuidsAreReadInEveryCommonSpellingAndNothingElse) {
  VSS_ID id;
  ASSERT_TRUE(ParseVssId(L"{E8132975-6F93-4464-A53E-1050253AE220}", &id));
  EXPECT_EQ(0xE8132975ul, id.Data1);
  EXPECT_EQ(0x6F93, id.Data2);
  EXPECT_EQ(0xA5, id.Data4[0]);
  EXPECT_EQ(0x20, id.Data4[7]);
  EXPECT_EQ(L"{e8132975-6f93-4464-a53e-1050253ae220}", FormatVssId(id));
  VSS_ID same;
  ASSERT_TRUE(ParseVssId(L" e8132975-6f93-4464-a53e-1050253ae220 ", &same));
  EXPECT_TRUE(IsEqualGUID(id, same));
  for (const wchar_t* bad : {L"", L"{e8132975-6f93-4464-a53e-1050253ae22}", L"e8132975+6f93-4464-a53e-1050253ae220",
                             L"{e8132975-6f93-4464-a53e-1050253ae22g}", L"{e8132975-6f93-4464-a53e-1050253ae220"})
    EXPECT_FALSE(ParseVssId(bad, &id)) << bad;
}

TEST(IdTextTest, FileTimesAreReadAsNumbersOrUtcDates) {
  FILETIME t;
  ASSERT_TRUE(ParseFileTime(L"81985529216486895", &t));
  EXPECT_EQ(0x01234567u, t.dwHighDateTime);
  EXPECT_EQ(0x89abcdefu, t.dwLowDateTime);
  EXPECT_EQ(L"81985529216486895", FormatFileTime(t));
  ASSERT_TRUE(ParseFileTime(L"1601-01-01T00:00:01Z", &t));
  EXPECT_EQ(10000000u, t.dwLowDateTime);
  for (const wchar_t* bad : {L"", L"-1", L"12x", L"2026-01-02T03:04:05", L"2026-13-02T03:04:05Z",
                             L"18446744073709551616"})
    EXPECT_FALSE(ParseFileTime(bad, &t)) << bad;
}

// Files are read by the loader itself: encodings and a missing file.
class DescriptionFileTest : public ::testing::Test {
 protected:
  void TearDown() override { DeleteFileW(kPath); }
  void Write(const std::string& bytes) {
    FILE* f = _wfopen(kPath, L"wb");
    ASSERT_NE(nullptr, f);
    fwrite(bytes.data(), 1, bytes.size(), f);
    fclose(f);
  }
  static constexpr const wchar_t* kPath = L"metadata_description_test.xml";
};

TEST_F(DescriptionFileTest, ReadsUtf8AndUtf16FilesWithTheirDeclarations) {
  Write("\xEF\xBB\xBF<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n<machine name=\"caf\xC3\xA9\"/>");
  Machine m;
  ASSERT_EQ(S_OK, LoadMachine(kPath, &m));
  EXPECT_EQ(L"caf\u00e9", m.name);

  std::wstring text = L"<?xml version=\"1.0\" encoding=\"utf-16\"?><machine name=\"\u00fcber\"/>";
  std::string bytes = "\xFF\xFE";
  bytes.append(reinterpret_cast<const char*>(text.data()), text.size() * sizeof(wchar_t));
  Write(bytes);
  ASSERT_EQ(S_OK, LoadMachine(kPath, &m));
  EXPECT_EQ(L"\u00fcber", m.name);
}

TEST_F(DescriptionFileTest, MistakesInAFileNameTheFileAndMissingFilesTheirError) {
  Write("<machine><writer/></machine>");
  Machine m;
  std::wstring error;
  EXPECT_EQ(VSS_E_INVALID_XML_DOCUMENT, LoadMachine(kPath, &m, &error));
  EXPECT_EQ(0u, error.find(kPath));
  Write("<machine name=\"\xC3\"/>");
  EXPECT_EQ(VSS_E_INVALID_XML_DOCUMENT, LoadMachine(kPath, &m, &error));
  EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND), LoadMachine(L"no-such-machine.xml", &m, &error));
}

}  // namespace
