#include "tree_test_support.h"

#include <cstdio>

hRC InstanceTest::check_changes_answer = hRC_OK;

bool InstanceTest::JobMessagesContain(int type, const std::string& part) const {
  for (const auto& text : job.JobMessages(type))
    if (text.find(part) != std::string::npos) return true;
  return false;
}

size_t InstanceTest::DebugCount(const std::string& text) const {
  size_t n = 0;
  for (const auto& m : job.DebugMessages())
    if (m == text) ++n;
  return n;
}

TestFolder::TestFolder() {
  const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
  root_ = L"C:\\snaptree-tests\\tree-" + Widen(std::string(info->test_suite_name()) + "-" + info->name());
  RemoveTree(root_);
  // Other test programs share the parent and remove it when they leave it empty.
  for (int attempt = 0; attempt < 20 && GetFileAttributesW(root_.c_str()) == INVALID_FILE_ATTRIBUTES; ++attempt) {
    CreateDirectoryW(L"C:\\snaptree-tests", nullptr);
    CreateDirectoryW(root_.c_str(), nullptr);
  }
}

TestFolder::~TestFolder() {
  RemoveTree(root_);
  RemoveDirectoryW(L"C:\\snaptree-tests");  // only when no other test's folder is left
}

void TestFolder::Make(const std::vector<std::wstring>& entries) const {
  for (const auto& entry : entries) {
    std::wstring path = *this / entry;
    for (size_t pos = root_.size() + 1; (pos = path.find(L'\\', pos)) != std::wstring::npos; ++pos)
      CreateDirectoryW(path.substr(0, pos).c_str(), nullptr);
    if (path.back() != L'\\') Write(entry, "");
  }
}

void TestFolder::Write(const std::wstring& relative, const std::string& content) const {
  HANDLE file = CreateFileW((*this / relative).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE) << Narrow(relative);
  DWORD written = 0;
  if (!content.empty()) WriteFile(file, content.data(), static_cast<DWORD>(content.size()), &written, nullptr);
  CloseHandle(file);
}

bool TestFolder::MakeLinkedFolder(const std::wstring& relative, const std::wstring& target_relative) const {
  std::wstring link = *this / relative;
  std::string target = UnixName(*this / target_relative);
  RunUnixProgram("Z:\\bin\\ln", "ln -s \"" + target + "\" \"" + UnixName(link) + "\"");
  return WaitFor([&] { return FindAttributes(link) != INVALID_FILE_ATTRIBUTES; }) &&
         (FindAttributes(link) & FILE_ATTRIBUTE_REPARSE_POINT);
}

std::string ReadWholeFile(const std::wstring& path) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return "<missing>";
  std::string content;
  char buffer[65536];
  DWORD got = 0;
  while (ReadFile(file, buffer, sizeof(buffer), &got, nullptr) && got > 0) content.append(buffer, got);
  CloseHandle(file);
  return content;
}
