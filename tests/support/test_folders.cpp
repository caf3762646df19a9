#include "test_folders.h"

std::wstring Widen(const std::string& text, UINT code_page) {
  int len = MultiByteToWideChar(code_page, 0, text.c_str(), -1, nullptr, 0);
  std::wstring out(len, L'\0');
  MultiByteToWideChar(code_page, 0, text.c_str(), -1, &out[0], len);
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
