#include "../../../plugin/frame/host_interface.h"

#include "jobs.h"

#include <windows.h>
#include <objbase.h>

namespace {

// The daemon runs as a service account with these enabled; loading registry hives needs them.
void EnableBackupPrivileges(std::ostream& err) {
  HANDLE token;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token)) return;
  for (const char* name : {SE_BACKUP_NAME, SE_RESTORE_NAME, SE_SECURITY_NAME}) {
    TOKEN_PRIVILEGES privileges{};
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    if (!LookupPrivilegeValueA(nullptr, name, &privileges.Privileges[0].Luid) ||
        !AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr) ||
        GetLastError() == ERROR_NOT_ALL_ASSIGNED)
      err << "hostsim: privilege " << name << " could not be enabled\n";
  }
  CloseHandle(token);
}

}  // namespace

int RunHostsim(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  Options options;
  std::string error;
  if (!ParseOptions(args, &options, &error)) {
    err << "hostsim: " << error << "\n" << UsageText();
    return 2;
  }
  EnableBackupPrivileges(err);
  HRESULT com = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  int status;
  switch (options.action) {
    case Options::kBackup: status = RunBackup(options, out, err); break;
    case Options::kRestore: status = RunRestore(options, out, err); break;
    default: status = RunList(options, out, err); break;
  }
  if (SUCCEEDED(com)) CoUninitialize();
  return status;
}
