// The reboot-time file operations carried out as at a Windows start, on the live registry value
// (whatever it held before the test is put back afterwards).
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "../support/test_folders.h"
#include "reboot.h"

namespace {

const wchar_t kSessionManager[] = L"SYSTEM\\CurrentControlSet\\Control\\Session Manager";

// A value as the registry holds it: absent, or type and bytes.
struct SavedValue {
  bool present = false;
  DWORD type = 0;
  std::vector<BYTE> data;
};

SavedValue Save(const wchar_t* name) {
  SavedValue v;
  DWORD size = 0;
  if (RegGetValueW(HKEY_LOCAL_MACHINE, kSessionManager, name, RRF_RT_ANY, &v.type, nullptr, &size) != ERROR_SUCCESS)
    return v;
  v.data.resize(size);
  v.present = RegGetValueW(HKEY_LOCAL_MACHINE, kSessionManager, name, RRF_RT_ANY, &v.type, v.data.data(),
                           &size) == ERROR_SUCCESS;
  return v;
}

void Put(const wchar_t* name, const SavedValue& v) {
  if (!v.present) {
    RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, kSessionManager, name);
    return;
  }
  RegSetKeyValueW(HKEY_LOCAL_MACHINE, kSessionManager, name, v.type, v.data.data(),
                  static_cast<DWORD>(v.data.size()));
}

class RebootTest : public ::testing::Test {
 protected:
  void SetUp() override {
    pending_ = Save(L"PendingFileRenameOperations");
    allow_ = Save(L"AllowProtectedRenames");
    root_ = L"C:\\simvss-reboot-" + std::to_wstring(GetCurrentProcessId());
    RemoveTree(root_);
    CreateDirectoryW(root_.c_str(), nullptr);
  }
  void TearDown() override {
    Put(L"PendingFileRenameOperations", pending_);
    Put(L"AllowProtectedRenames", allow_);
    RemoveTree(root_);
  }

  std::wstring Nt(const wchar_t* name) { return L"\\??\\" + root_ + L"\\" + name; }
  void Write(const wchar_t* name, const char* content) {
    std::ofstream(Narrow(root_ + L"\\" + name), std::ios::binary) << content;
  }
  std::string Content(const wchar_t* name) {
    std::ifstream in(Narrow(root_ + L"\\" + name), std::ios::binary);
    if (!in) return "<missing>";
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
  }

  // Sets the value from pairs as MoveFileEx writes them, and the switch (0: absent).
  void Schedule(const std::vector<std::wstring>& strings, DWORD allow) {
    std::wstring value;
    for (const std::wstring& s : strings) value += s + L'\0';
    value += L'\0';
    RegSetKeyValueW(HKEY_LOCAL_MACHINE, kSessionManager, L"PendingFileRenameOperations", REG_MULTI_SZ,
                    value.data(), static_cast<DWORD>(value.size() * sizeof(wchar_t)));
    if (allow) RegSetKeyValueW(HKEY_LOCAL_MACHINE, kSessionManager, L"AllowProtectedRenames", REG_DWORD, &allow, 4);
    else RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, kSessionManager, L"AllowProtectedRenames");
  }

  // The outcome printed for each operation, in order.
  std::vector<std::wstring> Reboot(const Machine* machine, int expected_status = 0) {
    std::wostringstream out;
    EXPECT_EQ(expected_status, RunReboot(machine, out));
    std::vector<std::wstring> outcomes;
    std::wistringstream lines(out.str());
    for (std::wstring line; std::getline(lines, line);)
      if (!line.empty() && iswdigit(line[0])) outcomes.push_back(line.substr(line.rfind(L": ") + 2));
    return outcomes;
  }

  SavedValue pending_, allow_;
  std::wstring root_;
};

TEST_F(RebootTest, CarriesOutEachPairInOrderAndClearsTheValues) {
  Write(L"gone.txt", "old");
  Write(L"kept", "live");
  Write(L"kept.new", "restored");
  Write(L"swap", "live");
  Write(L"swap.restore", "restored");
  Write(L"forced", "live");
  Write(L"forced.new", "restored");
  Write(L"first", "first");
  CreateDirectoryW((root_ + L"\\empty").c_str(), nullptr);
  CreateDirectoryW((root_ + L"\\full").c_str(), nullptr);
  Write(L"full\\inside", "x");
  Schedule({Nt(L"gone.txt"), L"",
            Nt(L"absent.txt"), L"",
            Nt(L"kept.new"), Nt(L"kept"),                   // an existing target without "!"
            Nt(L"swap"), L"", Nt(L"swap.restore"), Nt(L"swap"),  // a restore's replacement
            Nt(L"forced.new"), L"!" + Nt(L"forced"),
            Nt(L"first"), Nt(L"second"), Nt(L"second"), Nt(L"third"),  // only in this order
            Nt(L"nowhere.new"), Nt(L"nowhere"),
            Nt(L"empty"), L"", Nt(L"full"), L""},
           1);
  EXPECT_EQ((std::vector<std::wstring>{L"deleted", L"missing", L"target exists, not replaced", L"deleted",
                                       L"moved", L"replaced", L"moved", L"moved", L"source missing",
                                       L"folder removed", L"folder not empty, left alone"}),
            Reboot(nullptr));
  EXPECT_EQ("<missing>", Content(L"gone.txt"));
  EXPECT_EQ("live", Content(L"kept"));
  EXPECT_EQ("restored", Content(L"kept.new"));
  EXPECT_EQ("restored", Content(L"swap"));
  EXPECT_EQ("<missing>", Content(L"swap.restore"));
  EXPECT_EQ("restored", Content(L"forced"));
  EXPECT_EQ("first", Content(L"third"));
  EXPECT_EQ("<missing>", Content(L"second"));
  EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW((root_ + L"\\empty").c_str()));
  EXPECT_EQ("x", Content(L"full\\inside"));

  EXPECT_FALSE(Save(L"PendingFileRenameOperations").present);
  EXPECT_FALSE(Save(L"AllowProtectedRenames").present);
  EXPECT_TRUE(Reboot(nullptr).empty()) << "a second start has nothing to do";
}

TEST_F(RebootTest, ProtectedFilesAreReplacedOnlyWhenProtectedRenamesAreAllowed) {
  Machine machine;
  MachineWriter system;
  system.class_id = {0xe8132975, 0x6f93, 0x4464, {0xa5, 0x3e, 0x10, 0x50, 0x25, 0x3a, 0xe2, 0x20}};
  MachineComponent files;
  MachineFile dlls;
  dlls.path = root_;
  dlls.filespec = L"*.dll";
  files.files.push_back(dlls);
  system.components.push_back(files);
  machine.writers.push_back(system);
  Write(L"hal.dll", "live");
  Write(L"hal.dll.restore", "restored");
  Write(L"notes.txt", "live");
  Write(L"notes.txt.restore", "restored");
  std::vector<std::wstring> pairs = {Nt(L"hal.dll.restore"), L"!" + Nt(L"hal.dll"), Nt(L"notes.txt.restore"),
                                     L"!" + Nt(L"notes.txt")};

  Schedule(pairs, 0);
  EXPECT_EQ((std::vector<std::wstring>{L"protected file and AllowProtectedRenames is not 1, left alone",
                                       L"replaced"}),
            Reboot(&machine));
  EXPECT_EQ("live", Content(L"hal.dll"));
  EXPECT_EQ("restored", Content(L"notes.txt"));

  Schedule({pairs[0], pairs[1]}, 1);
  EXPECT_EQ((std::vector<std::wstring>{L"replaced"}), Reboot(&machine));
  EXPECT_EQ("restored", Content(L"hal.dll"));
}

TEST(PendingOperationsValue, SplitsAtEveryNulAndKeepsALoneSource) {
  const wchar_t value[] = L"a\0\0b\0c\0d";  // no final NUL, and d lacks its target
  std::wstring unpaired;
  std::vector<PendingOperation> ops = ParsePendingOperations(value, 8, &unpaired);
  ASSERT_EQ(2u, ops.size());
  EXPECT_EQ(L"a", ops[0].source);
  EXPECT_EQ(L"", ops[0].target);
  EXPECT_EQ(L"b", ops[1].source);
  EXPECT_EQ(L"c", ops[1].target);
  EXPECT_EQ(L"d", unpaired);
}

}  // namespace
