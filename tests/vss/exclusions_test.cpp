// Windows file patterns turned into the host's exclusion expressions.
#include "plugin_fixture.h"

#include <gmock/gmock.h>

using ::testing::ElementsAre;

namespace {

// The whole literal, NUL characters included.
template <size_t N>
std::string Bytes(const char (&text)[N]) {
  return std::string(text, N - 1);
}

class Exclusions : public PluginInstance {
 protected:
  std::vector<std::string> Exclude(const char* pattern, int type = ' ') {
    FilesetCalls().clear();
    std::string text(pattern);
    EXPECT_EQ(vssfs->addFilespecExclude(&text[0], type), hRC_OK);
    return FilesetCalls();
  }
  std::vector<std::string> ExcludeFromWriter(const char* pattern, bool recurse) {
    FilesetCalls().clear();
    std::string text(pattern);
    EXPECT_EQ(vssfs->addFilespecExclude(&text[0], recurse, recurse ? ' ' : 'F'), hRC_OK);
    return FilesetCalls();
  }
};

TEST_F(Exclusions, PlainPatternsMatchOneFile) {
  EXPECT_THAT(Exclude("\\Pagefile.sys"), ElementsAre("AddRegex [A-Z]:/Pagefile\\.sys F"));
  EXPECT_THAT(Exclude("C:\\dir\\*.*"), ElementsAre("AddRegex C:/dir/.*($|\\..*) F"));
  EXPECT_THAT(Exclude("C:\\dir\\file?.log"), ElementsAre("AddRegex C:/dir/file.\\.log F"));
  EXPECT_THAT(Exclude("C:\\x.", 'F'), ElementsAre("AddRegex C:/x\\. F"));
}

TEST_F(Exclusions, RecursiveSuffixCoversTheDirectoryAndBelow) {
  char old_root[MAX_PATH] = "";
  DWORD had_root = GetEnvironmentVariableA("SystemRoot", old_root, sizeof(old_root));
  SetEnvironmentVariableA("SystemRoot", "C:\\Windows");
  EXPECT_THAT(Exclude("%SystemRoot%\\Temp\\* /s"), ElementsAre("AddRegex C:/Windows/Temp(/|/.*/).*  "));
  SetEnvironmentVariableA("SystemRoot", had_root ? old_root : nullptr);
  EXPECT_TRUE(HasDebugLine(150, "addFilespecExclude(%SystemRoot%\\Temp\\*, 1,  )\n"));
  EXPECT_TRUE(HasDebugLine(150, "  C:\\Windows\\Temp\\* (recurse = yes) => C:/Windows/Temp(/|/.*/).*\n"));
  // Only a lower-case s after a space makes it recursive, and the suffix alone is a name.
  EXPECT_THAT(Exclude("C:\\x\\y /S"), ElementsAre("AddRegex C:/x/y /S F"));
  EXPECT_THAT(Exclude("C:\\x\\y/s"), ElementsAre("AddRegex C:/x/y/s F"));
  EXPECT_THAT(Exclude(" /s"), ElementsAre("AddRegex  /s F"));
  EXPECT_THAT(Exclude("\\ /s"), ElementsAre("AddRegex [A-Z]:(/|/.*/)  "));
}

TEST_F(Exclusions, WriterPatternsKeepTheirOwnRecursion) {
  EXPECT_THAT(ExcludeFromWriter("C:\\db\\*.mdf", true), ElementsAre("AddRegex C:/db(/|/.*/).*\\.mdf  "));
  EXPECT_THAT(ExcludeFromWriter("C:\\db\\*.mdf", false), ElementsAre("AddRegex C:/db/.*\\.mdf F"));
  // Without a backslash there is no directory part to widen.
  EXPECT_THAT(ExcludeFromWriter("name.*", true), ElementsAre("AddRegex name($|\\..*)  "));
  EXPECT_TRUE(HasDebugLine(150, "  name.* (recurse = yes) => name($|\\..*)\n"));
}

TEST_F(Exclusions, OnlySomeRegexCharactersAreEscaped) {
  EXPECT_THAT(Exclude("C:\\a$b(c)[d]+e^f{g}|h"), ElementsAre("AddRegex C:/a\\$b\\(c)\\[d]+e^f{g}|h F"));
  EXPECT_THAT(Exclude("C:\\Mixed\\Case.TXT"), ElementsAre("AddRegex C:/Mixed/Case\\.TXT F"));
}

TEST_F(Exclusions, ManyWildcardExtensionsDoNotOverrunTheExpression) {
  std::string pattern = "\\";
  std::string expected = "AddRegex [A-Z]:(/|/.*/)";
  for (int i = 0; i < 300; ++i) {
    pattern += ".*";
    expected += "($|\\..*)";
  }
  EXPECT_THAT(ExcludeFromWriter(pattern.c_str(), true), ElementsAre(expected + "  "));
  EXPECT_THAT(Exclude(".*.*.*"), ElementsAre("AddRegex ($|\\..*)($|\\..*)($|\\..*) F"));
  EXPECT_EQ(RegexOverruns(), 0);
}

const char kBackupRestore[] = "SYSTEM\\CurrentControlSet\\Control\\BackupRestore";
const char kFilesNotToBackup[] = "SYSTEM\\CurrentControlSet\\Control\\BackupRestore\\FilesNotToBackup";

// The registry's list, created for each test and removed again (Wine has none).
// Value names sort in the order of creation: Wine enumerates values sorted by name.
class FilesNotToBackup : public PluginInstance {
 protected:
  void SetUp() override {
    PluginInstance::SetUp();
    HKEY probe = nullptr;
    backup_restore_existed_ = RegOpenKeyExA(HKEY_LOCAL_MACHINE, kBackupRestore, 0, KEY_READ, &probe) == 0;
    if (probe) RegCloseKey(probe);
    ASSERT_NE(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kFilesNotToBackup, 0, KEY_READ, &probe), 0)
        << "the prefix already has a FilesNotToBackup key";
  }
  void TearDown() override {
    RegDeleteTreeA(HKEY_LOCAL_MACHINE, kFilesNotToBackup);
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, kFilesNotToBackup);
    if (!backup_restore_existed_) RegDeleteKeyA(HKEY_LOCAL_MACHINE, kBackupRestore);
    PluginInstance::TearDown();
  }
  void AddValue(const std::string& name, const std::string& data, DWORD type = REG_MULTI_SZ) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, kFilesNotToBackup, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                              &key, nullptr),
              0);
    EXPECT_EQ(RegSetValueExA(key, name.c_str(), 0, type, reinterpret_cast<const BYTE*>(data.data()),
                             static_cast<DWORD>(data.size())),
              0);
    RegCloseKey(key);
  }
  std::vector<std::string> Received() {
    FilesetCalls().clear();
    EXPECT_EQ(vssfs->filesetReceived(), hRC_OK);
    return FilesetCalls();
  }

 private:
  bool backup_restore_existed_ = false;
};

TEST_F(FilesNotToBackup, WithoutTheKeyOnlyTheOptionBlockIsOpened) {
  EXPECT_THAT(Received(), ElementsAre("NewOptions", "AddOptions ei"));
}

TEST_F(FilesNotToBackup, EveryPatternOfEveryValueInOrder) {
  AddValue("1 Paging", Bytes("\\Pagefile.sys\0C:\\tmp\\* /s\0\0"));
  AddValue("2 Logs", Bytes("C:\\logs\\*.*\0\0"));
  EXPECT_THAT(Received(), ElementsAre("NewOptions", "AddOptions ei", "AddRegex [A-Z]:/Pagefile\\.sys F",
                                      "AddRegex C:/tmp(/|/.*/).*  ", "AddRegex C:/logs/.*($|\\..*) F"));
  EXPECT_TRUE(HasDebugLine(50, " 1 Paging\n"));
  EXPECT_TRUE(HasDebugLine(50, " 2 Logs\n"));
}

TEST_F(FilesNotToBackup, ValueLargerThanTheFirstBufferIsReadWhole) {
  std::string data;
  std::vector<std::string> expected = {"NewOptions", "AddOptions ei"};
  for (int i = 0; i < 80; ++i) {
    std::string n = std::to_string(i);
    data += "C:\\some\\longer\\folder\\file" + n + std::string(1, '\0');
    expected.push_back("AddRegex C:/some/longer/folder/file" + n + " F");
  }
  data += std::string(1, '\0');
  ASSERT_GT(data.size(), 1024u);
  AddValue("1 Big", data);
  AddValue("2 After", Bytes("C:\\after\0\0"));
  expected.push_back("AddRegex C:/after F");
  EXPECT_EQ(Received(), expected);
  EXPECT_TRUE(HasDebugLine(50, " Allocating a bigger buffer (" + std::to_string(data.size()) + ")\n"));
}

TEST_F(FilesNotToBackup, ValueNameLongerThanTheNameBufferDoesNotStopTheList) {
  std::string long_name(300, 'n');
  AddValue(long_name, Bytes("C:\\named\0\0"));
  AddValue("Short", Bytes("C:\\short\0\0"));
  EXPECT_THAT(Received(), ElementsAre("NewOptions", "AddOptions ei", "AddRegex C:/named F", "AddRegex C:/short F"));
}

TEST_F(FilesNotToBackup, DataWithoutEndIsReadOnlyAsFarAsItGoes) {
  AddValue("1 Long", Bytes("C:\\a\\much\\longer\\name\0\0"));
  AddValue("2 Raw", Bytes("C:\\b"), REG_BINARY);
  AddValue("3 Number", Bytes("\x01\x00\x00\x00"), REG_DWORD);
  EXPECT_THAT(Received(), ElementsAre("NewOptions", "AddOptions ei", "AddRegex C:/a/much/longer/name F",
                                      "AddRegex C:/b F", "AddRegex \x01 F"));
}

}  // namespace
