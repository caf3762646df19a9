#include "test_services.h"

#include "import_patch.h"

#include <tlhelp32.h>

#include <algorithm>
#include <cstring>
#include <map>

const char* const kHandlerServiceNames[6] = {"NtFrs", "DFSR", "SPAdmin", "SPSearch", "SPTimerV3", "IISADMIN"};

namespace {

const char kProgram[] = "snaptree_test_service.exe";

// Service handles closed with their scope.
struct Handle {
  explicit Handle(SC_HANDLE h) : h(h) {}
  ~Handle() {
    if (h) CloseServiceHandle(h);
  }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  SC_HANDLE h;
};

SC_HANDLE OpenManager() { return OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS); }

std::string ProgramPath() {
  char exe[MAX_PATH];
  DWORD length = GetModuleFileNameA(nullptr, exe, sizeof(exe));
  std::string path(exe, length);
  return path.substr(0, path.find_last_of('\\') + 1) + kProgram;
}

bool RunsTestProgram(SC_HANDLE service) {
  DWORD needed = 0;
  QueryServiceConfigA(service, nullptr, 0, &needed);
  std::vector<BYTE> buffer(needed + 1);
  auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGA*>(buffer.data());
  if (!QueryServiceConfigA(service, config, needed, &needed) || !config->lpBinaryPathName) return false;
  std::string path = config->lpBinaryPathName;
  std::transform(path.begin(), path.end(), path.begin(), [](char c) { return static_cast<char>(tolower(c)); });
  return path.find(kProgram) != std::string::npos;
}

std::map<std::string, std::vector<std::string>> g_dependents;  // by lower-case service name
DWORD g_probe_error;
DWORD g_fill_error;

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](char c) { return static_cast<char>(tolower(c)); });
  return text;
}

// Names of the handles the module opened: Windows needs no more than SERVICE_ENUMERATE_DEPENDENTS
// for the enumeration, and with that access a handle cannot tell its name.
std::map<SC_HANDLE, std::string> g_opened;
SRWLOCK g_opened_lock = SRWLOCK_INIT;
using OpenServiceFunction = SC_HANDLE(WINAPI*)(SC_HANDLE, LPCSTR, DWORD);
OpenServiceFunction g_real_open;

SC_HANDLE WINAPI OpenServiceRemembered(SC_HANDLE manager, LPCSTR name, DWORD access) {
  SC_HANDLE service = g_real_open(manager, name, access);
  if (service && name) {
    AcquireSRWLockExclusive(&g_opened_lock);
    g_opened[service] = name;
    ReleaseSRWLockExclusive(&g_opened_lock);
  }
  return service;
}

std::string ServiceName(SC_HANDLE service) {
  AcquireSRWLockShared(&g_opened_lock);
  auto found = g_opened.find(service);
  std::string name = found == g_opened.end() ? std::string() : found->second;
  ReleaseSRWLockShared(&g_opened_lock);
  return name;
}

BOOL WINAPI ReportDeclaredDependents(SC_HANDLE service, DWORD states, ENUM_SERVICE_STATUSA* out, DWORD size,
                                     DWORD* needed, DWORD* count) {
  *count = 0;
  if (g_probe_error) {
    SetLastError(g_probe_error);
    return FALSE;
  }
  Handle manager(OpenManager());
  std::vector<std::pair<std::string, SERVICE_STATUS>> reported;
  auto declared = g_dependents.find(Lower(ServiceName(service)));
  if (declared != g_dependents.end()) {
    for (const std::string& name : declared->second) {
      SERVICE_STATUS status{};
      status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
      status.dwCurrentState = SERVICE_STOPPED;
      Handle dependent(OpenServiceA(manager.h, name.c_str(), SERVICE_QUERY_STATUS));
      if (dependent.h) QueryServiceStatus(dependent.h, &status);
      bool active = status.dwCurrentState != SERVICE_STOPPED;
      if ((active && (states & SERVICE_ACTIVE)) || (!active && (states & SERVICE_INACTIVE)))
        reported.emplace_back(name, status);
    }
  }
  DWORD bytes = static_cast<DWORD>(reported.size() * sizeof(ENUM_SERVICE_STATUSA));
  for (const auto& entry : reported) bytes += static_cast<DWORD>(entry.first.size() + 1);
  *needed = reported.empty() ? 0 : bytes;
  if (size < *needed) {
    SetLastError(ERROR_MORE_DATA);
    return FALSE;
  }
  if (g_fill_error) {
    SetLastError(g_fill_error);
    return FALSE;
  }
  char* strings = reinterpret_cast<char*>(out + reported.size());
  for (const auto& entry : reported) {
    ENUM_SERVICE_STATUSA& item = out[(*count)++];
    memcpy(strings, entry.first.c_str(), entry.first.size() + 1);
    item.lpServiceName = item.lpDisplayName = strings;
    item.ServiceStatus = entry.second;
    strings += entry.first.size() + 1;
  }
  return TRUE;
}

}  // namespace

DWORD InstallTestService(const std::string& name, const std::string& options) {
  Handle manager(OpenManager());
  if (!manager.h) return GetLastError();
  std::string command = "\"" + ProgramPath() + "\" name=" + name + (options.empty() ? "" : " " + options);
  Handle service(CreateServiceA(manager.h, name.c_str(), name.c_str(), SERVICE_ALL_ACCESS,
                                SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_IGNORE,
                                command.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr));
  return service.h ? ERROR_SUCCESS : GetLastError();
}

DWORD TestServiceState(const std::string& name) {
  Handle manager(OpenManager());
  Handle service(manager.h ? OpenServiceA(manager.h, name.c_str(), SERVICE_QUERY_STATUS) : nullptr);
  SERVICE_STATUS status{};
  if (!service.h || !QueryServiceStatus(service.h, &status)) return 0;
  return status.dwCurrentState;
}

bool WaitForTestServiceState(const std::string& name, DWORD state) {
  for (int i = 0; i < 500; ++i) {
    if (TestServiceState(name) == state) return true;
    Sleep(20);
  }
  return false;
}

DWORD StartTestService(const std::string& name) {
  Handle manager(OpenManager());
  Handle service(manager.h ? OpenServiceA(manager.h, name.c_str(), SERVICE_START) : nullptr);
  if (!service.h) return GetLastError();
  if (!StartServiceA(service.h, 0, nullptr)) return GetLastError();
  return WaitForTestServiceState(name, SERVICE_RUNNING) ? ERROR_SUCCESS : ERROR_SERVICE_REQUEST_TIMEOUT;
}

DWORD StopTestService(const std::string& name) {
  Handle manager(OpenManager());
  Handle service(manager.h ? OpenServiceA(manager.h, name.c_str(), SERVICE_STOP) : nullptr);
  if (!service.h) return GetLastError();
  SERVICE_STATUS status;
  if (!ControlService(service.h, SERVICE_CONTROL_STOP, &status)) return GetLastError();
  return WaitForTestServiceState(name, SERVICE_STOPPED) ? ERROR_SUCCESS : ERROR_SERVICE_REQUEST_TIMEOUT;
}

DWORD RemoveTestService(const std::string& name) {
  Handle manager(OpenManager());
  if (!manager.h) return GetLastError();
  {
    Handle service(OpenServiceA(manager.h, name.c_str(), SERVICE_ALL_ACCESS));
    if (!service.h) return GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST ? ERROR_SUCCESS : GetLastError();
    if (!RunsTestProgram(service.h)) return ERROR_ACCESS_DENIED;
    SERVICE_STATUS status;
    if (ControlService(service.h, SERVICE_CONTROL_STOP, &status)) WaitForTestServiceState(name, SERVICE_STOPPED);
    if (!DeleteService(service.h)) return GetLastError();
  }
  // The manager drops the key once the last handle is closed; whatever a handler wrote below
  // it goes as well.
  LONG result = RegDeleteTreeA(HKEY_LOCAL_MACHINE, ("SYSTEM\\CurrentControlSet\\Services\\" + name).c_str());
  // The service manager deletes the key itself once the last handle closes, possibly while the
  // tree is being walked: a key already gone is what was asked for.
  return result == ERROR_FILE_NOT_FOUND || result == ERROR_KEY_DELETED ? ERROR_SUCCESS : static_cast<DWORD>(result);
}

DWORD InstallHandlerServices() {
  for (const char* name : kHandlerServiceNames) {
    DWORD result = InstallTestService(name);
    if (result != ERROR_SUCCESS) return result;
  }
  return ERROR_SUCCESS;
}

void RemoveHandlerServices() {
  for (const char* name : kHandlerServiceNames) RemoveTestService(name);
}

bool OneServiceManager() {
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return true;
  int managers = 0;
  PROCESSENTRY32 entry;
  entry.dwSize = sizeof(entry);
  for (BOOL more = Process32First(snapshot, &entry); more; more = Process32Next(snapshot, &entry)) {
    if (lstrcmpiA(entry.szExeFile, "services.exe") == 0) ++managers;
  }
  CloseHandle(snapshot);
  return managers <= 1;
}

void DeclareServiceDependents(const std::string& service, const std::vector<std::string>& dependents) {
  g_dependents[Lower(service)] = dependents;
}

void ClearServiceDependents() {
  g_dependents.clear();
  g_probe_error = g_fill_error = 0;
}

void FailDependentEnumeration(DWORD probe_error, DWORD fill_error) {
  g_probe_error = probe_error;
  g_fill_error = fill_error;
}

void* InstallDependentsReporter(HMODULE module) {
  void* previous = ReplaceImport(module, "advapi32.dll", "EnumDependentServicesA",
                                 reinterpret_cast<void*>(&ReportDeclaredDependents));
  if (!previous) return nullptr;
  void* open = ReplaceImport(module, "advapi32.dll", "OpenServiceA", reinterpret_cast<void*>(&OpenServiceRemembered));
  if (open && open != reinterpret_cast<void*>(&OpenServiceRemembered))
    g_real_open = reinterpret_cast<OpenServiceFunction>(open);
  return previous;
}

void RemoveDependentsReporter(HMODULE module, void* previous) {
  if (!previous) return;
  ReplaceImport(module, "advapi32.dll", "EnumDependentServicesA", previous);
  if (g_real_open) ReplaceImport(module, "advapi32.dll", "OpenServiceA", reinterpret_cast<void*>(g_real_open));
}
