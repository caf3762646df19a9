#include "../../../plugin/frame/host_interface.h"

#include "jobs.h"
#include "privileges.h"

#include <windows.h>
#include <objbase.h>

namespace {

// The daemon runs as a service account with these enabled; loading registry hives needs them.
void EnableBackupPrivileges(std::ostream& err) {
  for (const std::string& name : SetProcessPrivileges({SE_BACKUP_NAME, SE_RESTORE_NAME, SE_SECURITY_NAME}, true))
    err << "hostsim: privilege " << name << " could not be enabled\n";
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
