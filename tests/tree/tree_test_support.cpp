#include "tree_test_support.h"

#include <cstdio>
#include <functional>

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

std::wstring Widen(const std::string& text) {
  int len = MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, nullptr, 0);
  std::wstring out(len, L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, &out[0], len);
  out.resize(len - 1);
  return out;
}

std::string Narrow(const std::wstring& text) {
  int len = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
  std::string out(len, '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, &out[0], len, nullptr, nullptr);
  out.resize(len - 1);
  return out;
}

namespace {

// This platform runs programs of the host system too; links are made and removed that way.
std::string UnixName(const std::wstring& path) {
  typedef char*(CDECL * unix_name_t)(LPCWSTR);
  auto unix_name = reinterpret_cast<unix_name_t>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "wine_get_unix_file_name")));
  char* name = unix_name ? unix_name(path.c_str()) : nullptr;
  std::string out = name ? name : "";
  HeapFree(GetProcessHeap(), 0, name);
  return out;
}

void RunUnixProgram(const char* program, std::string command) {
  STARTUPINFOA startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process;
  if (!CreateProcessA(program, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
    return;
  WaitForSingleObject(process.hProcess, 10000);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
}

// Such a program cannot be awaited from here (its handle is signalled at once): look until
// its effect shows.
bool WaitFor(const std::function<bool()>& done) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    if (done()) return true;
    Sleep(50);
  }
  return false;
}

// Attributes as a directory search reports them (the way links show as reparse points).
DWORD FindAttributes(const std::wstring& path) {
  WIN32_FIND_DATAW data;
  HANDLE find = FindFirstFileW(path.c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) return INVALID_FILE_ATTRIBUTES;
  FindClose(find);
  return data.dwFileAttributes;
}

}  // namespace

void RemoveTree(const std::wstring& path) {
  DWORD attributes = GetFileAttributesW(path.c_str());
  WIN32_FIND_DATAW data;
  HANDLE find = FindFirstFileW((path + L"\\*").c_str(), &data);
  if (find != INVALID_HANDLE_VALUE) {
    do {
      std::wstring name = data.cFileName;
      if (name == L"." || name == L"..") continue;
      std::wstring child = path + L"\\" + name;
      SetFileAttributesW(child.c_str(), FILE_ATTRIBUTE_NORMAL);
      if (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
        // Remove the link, never what it points at.
        if (!RemoveDirectoryW(child.c_str()) && !DeleteFileW(child.c_str())) {
          RunUnixProgram("Z:\\bin\\rm", "rm -f \"" + UnixName(child) + "\"");
          WaitFor([&] { return FindAttributes(child) == INVALID_FILE_ATTRIBUTES; });
        }
      } else if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        RemoveTree(child);
      } else {
        DeleteFileW(child.c_str());
      }
    } while (FindNextFileW(find, &data));
    FindClose(find);
  }
  if (attributes != INVALID_FILE_ATTRIBUTES) RemoveDirectoryW(path.c_str());
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
