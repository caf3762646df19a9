// Reboot-time file operations: the buffer, the merge into the Session Manager's list, and
// the check for operations already waiting.
#include "plugin_fixture.h"

#include "../../sim/host/patch/import_patch.h"

#include <gmock/gmock.h>

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

const wchar_t kSessionManager[] = L"SYSTEM\\CurrentControlSet\\Control\\Session Manager";
const wchar_t kPending[] = L"PendingFileRenameOperations";
const wchar_t kAllow[] = L"AllowProtectedRenames";

// Registry calls made through this program's import table, counted or made to fail.
LONG g_open_result = ERROR_SUCCESS;
LONG g_set_result = ERROR_SUCCESS;
int g_open_calls;
int g_set_calls;
void* g_real_open_w;
void* g_real_open_a;
void* g_real_set_w;

LONG WINAPI counting_open_w(HKEY root, LPCWSTR key, DWORD options, REGSAM access, PHKEY result) {
  ++g_open_calls;
  if (g_open_result != ERROR_SUCCESS) return g_open_result;
  return reinterpret_cast<decltype(&RegOpenKeyExW)>(g_real_open_w)(root, key, options, access, result);
}

LONG WINAPI counting_open_a(HKEY root, LPCSTR key, DWORD options, REGSAM access, PHKEY result) {
  ++g_open_calls;
  if (g_open_result != ERROR_SUCCESS) return g_open_result;
  return reinterpret_cast<decltype(&RegOpenKeyExA)>(g_real_open_a)(root, key, options, access, result);
}

LONG WINAPI counting_set_w(HKEY key, LPCWSTR name, DWORD reserved, DWORD type, const BYTE* data, DWORD size) {
  ++g_set_calls;
  if (g_set_result != ERROR_SUCCESS) return g_set_result;
  return reinterpret_cast<decltype(&RegSetValueExW)>(g_real_set_w)(key, name, reserved, type, data, size);
}

class PendingOperations : public PluginInstance {
 protected:
  void SetUp() override {
    PluginInstance::SetUp();
    DeleteRegistryValue(HKEY_LOCAL_MACHINE, kSessionManager, kPending);
    DeleteRegistryValue(HKEY_LOCAL_MACHINE, kSessionManager, kAllow);
    HMODULE self = GetModuleHandle(nullptr);
    g_open_result = g_set_result = ERROR_SUCCESS;
    g_open_calls = g_set_calls = 0;
    g_real_open_w = ReplaceImport(self, "advapi32.dll", "RegOpenKeyExW", reinterpret_cast<void*>(counting_open_w));
    g_real_open_a = ReplaceImport(self, "advapi32.dll", "RegOpenKeyExA", reinterpret_cast<void*>(counting_open_a));
    g_real_set_w = ReplaceImport(self, "advapi32.dll", "RegSetValueExW", reinterpret_cast<void*>(counting_set_w));
    ASSERT_TRUE(g_real_open_w && g_real_open_a && g_real_set_w);
  }
  void TearDown() override {
    HMODULE self = GetModuleHandle(nullptr);
    ReplaceImport(self, "advapi32.dll", "RegOpenKeyExW", g_real_open_w);
    ReplaceImport(self, "advapi32.dll", "RegOpenKeyExA", g_real_open_a);
    ReplaceImport(self, "advapi32.dll", "RegSetValueExW", g_real_set_w);
    PluginInstance::TearDown();
  }

  std::wstring Queued() const { return std::wstring(vssfs->pending_buf, vssfs->pending_offset); }

  std::wstring Committed(DWORD* type = nullptr, bool* exists = nullptr) {
    std::vector<BYTE> bytes = ReadRegistryValue(HKEY_LOCAL_MACHINE, kSessionManager, kPending, type, exists);
    EXPECT_EQ(bytes.size() % 2, 0u);
    return std::wstring(reinterpret_cast<const wchar_t*>(bytes.data()), bytes.size() / 2);
  }

  void SetExisting(const std::wstring& list) {
    WriteRegistryValue(HKEY_LOCAL_MACHINE, kSessionManager, kPending, REG_MULTI_SZ, list.data(),
                       static_cast<DWORD>(list.size() * 2));
  }

  void CommitExpectingNoError() {
    EXPECT_EQ(vssfs->commitPendingRenames(), hRC_OK);
    EXPECT_EQ(vssfs->pending_buf, nullptr);
    EXPECT_THAT(job.JobMessages(), IsEmpty());
  }

  // Saved before SetUp clears them, put back after the test.
  SavedRegistryValue saved_pending_{HKEY_LOCAL_MACHINE, kSessionManager, kPending};
  SavedRegistryValue saved_allow_{HKEY_LOCAL_MACHINE, kSessionManager, kAllow};
};

// The whole literal, NUL characters included.
template <size_t N>
std::wstring W(const wchar_t (&text)[N]) {
  return std::wstring(text, N - 1);
}

const std::wstring kDeleteA = W(L"\\??\\C:\\a.dll\0\0");
const std::wstring kReplaceX = W(L"\\??\\C:\\x\0\0\\??\\C:\\x.new\0\\??\\C:\\x\0");

TEST_F(PendingOperations, DeleteIsThePrefixedNameAndAnEmptyDestination) {
  EXPECT_EQ(vssfs->addPendingDelete(const_cast<WCHAR*>(L"C:\\a.dll")), hRC_OK);
  EXPECT_EQ(Queued(), kDeleteA);
  EXPECT_TRUE(HasDebugLine(200, "addPendingDeleteW(C:\\a.dll)\n"));
  EXPECT_TRUE(HasDebugLine(200, "pending_buf = \\??\\C:\\a.dll\n"));
}

TEST_F(PendingOperations, ReplaceDeletesTheTargetThenMovesTheSourceOntoIt) {
  EXPECT_EQ(vssfs->addPendingRename(const_cast<WCHAR*>(L"C:\\x"), const_cast<WCHAR*>(L"C:\\x.new")), hRC_OK);
  EXPECT_EQ(Queued(), kReplaceX);
  EXPECT_TRUE(HasDebugLine(200, "addPendingRenameW(C:\\x, C:\\x.new)\n"));
  vssfs->addPendingDelete(const_cast<WCHAR*>(L"C:\\a.dll"));
  EXPECT_EQ(Queued(), kReplaceX + kDeleteA);
}

TEST_F(PendingOperations, NarrowFormsQueueTheSameAndTakeNullAsEmpty) {
  EXPECT_EQ(vssfs->addPendingRename(const_cast<char*>("C:\\x"), const_cast<char*>("C:\\x.new")), hRC_OK);
  EXPECT_EQ(vssfs->addPendingDelete(const_cast<char*>("C:\\a.dll")), hRC_OK);
  EXPECT_EQ(Queued(), kReplaceX + kDeleteA);
  EXPECT_TRUE(HasDebugLine(200, "addPendingRenameA(C:\\x, C:\\x.new)\n"));
  EXPECT_TRUE(HasDebugLine(200, "addPendingDeleteA(C:\\a.dll)\n"));
  EXPECT_EQ(vssfs->addPendingDelete(static_cast<char*>(nullptr)), hRC_OK);
  EXPECT_EQ(Queued(), kReplaceX + kDeleteA + W(L"\\??\\\0\0"));
}

// Narrow names are in the system code page (1252 here), not the C runtime's locale: a name with
// characters above 0x7F is queued, and committed, under the very path it names.
TEST_F(PendingOperations, NarrowNamesInTheCodePageAreQueuedUnderTheirOwnPath) {
  EXPECT_EQ(vssfs->addPendingRename(const_cast<char*>("C:\\donn\xe9" "es\\caf\xe9 \x80\xdf.dll"),
                                    const_cast<char*>("C:\\donn\xe9" "es\\caf\xe9 \x80\xdf.dll.restore")),
            hRC_OK);
  CommitExpectingNoError();
  const std::wstring target = L"\\??\\C:\\donn\u00e9es\\caf\u00e9 \u20ac\u00df.dll";
  EXPECT_EQ(Committed(), target + W(L"\0\0") + target + W(L".restore\0") + target + W(L"\0\0"));
}

TEST_F(PendingOperations, BufferStartsAtThreeMillionCharactersAndGrowsKeepingItsContent) {
  vssfs->addPendingDelete(const_cast<WCHAR*>(L"C:\\a.dll"));
  EXPECT_EQ(vssfs->pending_size, 3000000);
  WCHAR* first = vssfs->pending_buf;
  // Just short of the spare the next operation asks for: it must not grow yet.
  vssfs->pending_offset = 3000000 - 17 - 4;
  vssfs->addPendingDelete(const_cast<WCHAR*>(L"C:\\b"));
  EXPECT_EQ(vssfs->pending_size, 3000000);
  EXPECT_EQ(vssfs->pending_buf, first);
  int before_growth = vssfs->pending_offset;
  vssfs->addPendingRename(const_cast<WCHAR*>(L"C:\\x"), const_cast<WCHAR*>(L"C:\\x.new"));
  EXPECT_EQ(vssfs->pending_size, 6000000);
  EXPECT_EQ(std::wstring(vssfs->pending_buf, kDeleteA.size()), kDeleteA);
  EXPECT_EQ(std::wstring(vssfs->pending_buf + before_growth - 10, 10), W(L"\\??\\C:\\b\0\0"));
  EXPECT_EQ(std::wstring(vssfs->pending_buf + before_growth, kReplaceX.size()), kReplaceX);
  auto lines = job.DebugMessages(50);
  EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                          [](const std::string& l) { return l.find("allocated new pending buf") == 0; }),
            2);
  EXPECT_THAT(lines, Contains(testing::EndsWith(" size = 6000000\n")));
}

TEST_F(PendingOperations, CommitWithoutExistingListWritesOursAndAllowsProtectedRenames) {
  vssfs->addPendingDelete(const_cast<WCHAR*>(L"C:\\a.dll"));
  CommitExpectingNoError();
  DWORD type = 0;
  std::wstring written = Committed(&type);
  EXPECT_EQ(type, static_cast<DWORD>(REG_MULTI_SZ));
  EXPECT_EQ(written.size() * 2, 30u);
  EXPECT_EQ(written, kDeleteA + W(L"\0"));
  std::vector<BYTE> allow = ReadRegistryValue(HKEY_LOCAL_MACHINE, kSessionManager, kAllow, &type);
  EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
  EXPECT_EQ(allow, (std::vector<BYTE>{1, 0, 0, 0}));
}

TEST_F(PendingOperations, CommitKeepsOperationsOtherSoftwareQueued) {
  SetExisting(W(L"\\??\\C:\\o\0\0"));  // 20 bytes ending in two NULs
  vssfs->addPendingRename(const_cast<WCHAR*>(L"C:\\x"), const_cast<WCHAR*>(L"C:\\x.new"));
  CommitExpectingNoError();
  EXPECT_EQ(Committed(), W(L"\\??\\C:\\o\0") + kReplaceX + W(L"\0"));

  // A second job later: the list as Windows itself writes it, a delete and its terminator.
  const std::wstring others = W(L"\\??\\C:\\p\0\0\\??\\C:\\q\0\\??\\C:\\r\0");
  SetExisting(others + W(L"\0"));
  vssfs->addPendingDelete(const_cast<WCHAR*>(L"C:\\a.dll"));
  CommitExpectingNoError();
  EXPECT_EQ(Committed(), others + kDeleteA + W(L"\0"));
}

TEST_F(PendingOperations, CommitNeverShiftsOurPairsBehindAnEmptyOrUnendedList) {
  for (const std::wstring& empty : {W(L"\0"), W(L"\0\0"), std::wstring()}) {
    SetExisting(empty);
    vssfs->addPendingDelete(const_cast<WCHAR*>(L"C:\\a.dll"));
    CommitExpectingNoError();
    EXPECT_EQ(Committed(), kDeleteA + W(L"\0")) << empty.size();
  }
  SetExisting(W(L"\\??\\C:\\p\0\\??\\C:\\q"));
  vssfs->addPendingDelete(const_cast<WCHAR*>(L"C:\\a.dll"));
  CommitExpectingNoError();
  EXPECT_EQ(Committed(), W(L"\\??\\C:\\p\0\\??\\C:\\q\0") + kDeleteA + W(L"\0"));
}

TEST_F(PendingOperations, CommitWithNothingQueuedTouchesNoRegistryKey) {
  SetExisting(W(L"\\??\\C:\\o\0\0"));
  g_open_calls = 0;
  EXPECT_EQ(vssfs->commitPendingRenames(), hRC_OK);
  EXPECT_EQ(g_open_calls, 0);
  EXPECT_EQ(Committed(), W(L"\\??\\C:\\o\0\0"));
  bool allow_exists = true;
  ReadRegistryValue(HKEY_LOCAL_MACHINE, kSessionManager, kAllow, nullptr, &allow_exists);
  EXPECT_FALSE(allow_exists);
  EXPECT_THAT(job.JobMessages(), IsEmpty());
}

TEST_F(PendingOperations, UnopenableKeyWritesNothingAndNamesEveryLostOperation) {
  vssfs->addPendingRename(const_cast<WCHAR*>(L"C:\\x"), const_cast<WCHAR*>(L"C:\\x.new"));
  vssfs->addPendingDelete(const_cast<WCHAR*>(L"C:\\a.dll"));
  g_open_result = ERROR_ACCESS_DENIED;
  EXPECT_EQ(vssfs->commitPendingRenames(), hRC_OK);
  EXPECT_EQ(g_set_calls, 0);
  EXPECT_EQ(vssfs->pending_buf, nullptr);
  bool exists = true;
  Committed(nullptr, &exists);
  EXPECT_FALSE(exists);
  auto errors = job.JobMessages(JMSG_ERROR);
  ASSERT_EQ(errors.size(), 5u);
  EXPECT_EQ(errors[0].find("Cannot open registry key HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\"
                           "Session Manager: ERR="),
            0u)
      << errors[0];
  EXPECT_EQ(errors[1], "3 file operations were not scheduled for the next reboot:\n");
  EXPECT_EQ(errors[2], "  not scheduled: delete \"C:\\x\"\n");
  EXPECT_EQ(errors[3], "  not scheduled: replace \"C:\\x\" by \"C:\\x.new\"\n");
  EXPECT_EQ(errors[4], "  not scheduled: delete \"C:\\a.dll\"\n");
}

TEST_F(PendingOperations, FailedWriteIsReportedAsAJobError) {
  SetExisting(W(L"\\??\\C:\\o\0\0"));
  vssfs->addPendingDelete(const_cast<WCHAR*>(L"C:\\a.dll"));
  g_set_result = ERROR_ACCESS_DENIED;
  EXPECT_EQ(vssfs->commitPendingRenames(), hRC_OK);
  EXPECT_EQ(vssfs->pending_buf, nullptr);
  EXPECT_EQ(Committed(), W(L"\\??\\C:\\o\0\0"));
  auto errors = job.JobMessages(JMSG_ERROR);
  ASSERT_EQ(errors.size(), 3u);
  EXPECT_EQ(errors[0].find("Cannot write registry value PendingFileRenameOperations: ERR="), 0u) << errors[0];
  EXPECT_EQ(errors[1], "1 file operations were not scheduled for the next reboot:\n");
  EXPECT_EQ(errors[2], "  not scheduled: delete \"C:\\a.dll\"\n");
}

TEST_F(PendingOperations, CheckReadsTheRegistryOnceAndThenAnswersFromItsCache) {
  EXPECT_FALSE(vssfs->checkPendingRenames());
  EXPECT_EQ(vssfs->has_pending_files, 0);
  EXPECT_TRUE(HasDebugLine(50, "RegOpenKeyExA(SYSTEM\\..\\Session Manager) hr = 00000000\n"));
  SetExisting(W(L"\\??\\C:\\o\0\0"));
  job.ClearMessages();
  EXPECT_FALSE(vssfs->checkPendingRenames());
  EXPECT_THAT(job.messages, IsEmpty());

  vssfs->has_pending_files = -1;
  EXPECT_TRUE(vssfs->checkPendingRenames());
  EXPECT_EQ(vssfs->has_pending_files, 1);
  DeleteRegistryValue(HKEY_LOCAL_MACHINE, kSessionManager, kPending);
  EXPECT_TRUE(vssfs->checkPendingRenames());
}

TEST_F(PendingOperations, CheckCountsAnUnopenableKeyAsPendingAndSaysWhy) {
  g_open_result = ERROR_ACCESS_DENIED;
  EXPECT_TRUE(vssfs->checkPendingRenames());
  auto errors = job.JobMessages(JMSG_ERROR);
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0].find("Cannot open registry key HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\"
                           "Session Manager: ERR="),
            0u);
}

}  // namespace
