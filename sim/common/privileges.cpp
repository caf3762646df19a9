#include "privileges.h"

#include <windows.h>

std::vector<std::string> SetProcessPrivileges(const std::vector<const char*>& names, bool enable) {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token))
    return std::vector<std::string>(names.begin(), names.end());
  std::vector<std::string> failed;
  for (const char* name : names) {
    TOKEN_PRIVILEGES privileges{};
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Attributes = enable ? SE_PRIVILEGE_ENABLED : 0;
    // AdjustTokenPrivileges succeeds for a privilege the token lacks; only the last error tells.
    if (!LookupPrivilegeValueA(nullptr, name, &privileges.Privileges[0].Luid) ||
        !AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr) ||
        GetLastError() == ERROR_NOT_ALL_ASSIGNED)
      failed.push_back(name);
  }
  CloseHandle(token);
  return failed;
}
