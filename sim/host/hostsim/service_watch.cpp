#include "../../../plugin/frame/host_interface.h"

#include "service_watch.h"

#include "host_services.h"
#include "import_patch.h"

#include <algorithm>
#include <map>
#include <string>

namespace {

using OpenServiceFunction = SC_HANDLE(WINAPI*)(SC_HANDLE, LPCSTR, DWORD);
using ControlServiceFunction = BOOL(WINAPI*)(SC_HANDLE, DWORD, SERVICE_STATUS*);
using StartServiceFunction = BOOL(WINAPI*)(SC_HANDLE, DWORD, LPCSTR*);

// Each import's previous target per patched module, so a replacement a test put there first (the
// dependents reporter, say) still sees the call. A call from any other module comes through a
// replacement installed after ours, which forwards here: it goes to advapi32 itself.
struct Forwards {
  std::map<HMODULE, void*> open, control, start;
};
Forwards g_forwards;
std::map<SC_HANDLE, std::string> g_names;  // the service each handle the plug-in opened names
SRWLOCK g_lock = SRWLOCK_INIT;

void* Next(std::map<HMODULE, void*>& next, void* caller, const char* function) {
  HMODULE module = nullptr;
  GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                     static_cast<LPCSTR>(caller), &module);
  AcquireSRWLockShared(&g_lock);
  auto found = next.find(module);
  void* target = found == next.end() ? nullptr : found->second;
  ReleaseSRWLockShared(&g_lock);
  return target ? target : reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("advapi32.dll"), function));
}

std::string NameOf(SC_HANDLE service) {
  AcquireSRWLockShared(&g_lock);
  auto found = g_names.find(service);
  std::string name = found == g_names.end() ? std::string() : found->second;
  ReleaseSRWLockShared(&g_lock);
  return name;
}

std::string Lower(std::string text) {  // the manager compares service names without case
  std::transform(text.begin(), text.end(), text.begin(), [](char c) { return static_cast<char>(tolower(c)); });
  return text;
}

SC_HANDLE WINAPI WatchedOpenService(SC_HANDLE manager, LPCSTR name, DWORD access) {
  auto open = reinterpret_cast<OpenServiceFunction>(Next(g_forwards.open, __builtin_return_address(0), "OpenServiceA"));
  SC_HANDLE service = open(manager, name, access);
  if (service && name) {
    AcquireSRWLockExclusive(&g_lock);
    g_names[service] = name;
    ReleaseSRWLockExclusive(&g_lock);
  }
  return service;
}

// Keeps the last error of the call: the plug-in reads it next.
void Mark(SC_HANDLE service, bool stopped) {
  DWORD error = GetLastError();
  HostJob* job = CurrentJob();
  std::string name = NameOf(service);
  if (job && !name.empty()) {
    if (stopped) job->stopped_services[Lower(name)] = name;
    else job->stopped_services.erase(Lower(name));
  }
  SetLastError(error);
}

BOOL WINAPI WatchedControlService(SC_HANDLE service, DWORD control, SERVICE_STATUS* status) {
  auto forward = reinterpret_cast<ControlServiceFunction>(
      Next(g_forwards.control, __builtin_return_address(0), "ControlService"));
  BOOL done = forward(service, control, status);
  // A stop only succeeds on an active service; a stopped one answers ERROR_SERVICE_NOT_ACTIVE.
  if (done && control == SERVICE_CONTROL_STOP) Mark(service, true);
  return done;
}

BOOL WINAPI WatchedStartService(SC_HANDLE service, DWORD argc, LPCSTR* argv) {
  auto forward = reinterpret_cast<StartServiceFunction>(
      Next(g_forwards.start, __builtin_return_address(0), "StartServiceA"));
  BOOL done = forward(service, argc, argv);
  if (done) Mark(service, false);
  return done;
}

void Patch(HMODULE plugin, const char* function, void* wrapper, std::map<HMODULE, void*>& next) {
  void* previous = ReplaceImport(plugin, "advapi32.dll", function, wrapper);
  if (!previous || previous == wrapper) return;
  AcquireSRWLockExclusive(&g_lock);
  next[plugin] = previous;
  ReleaseSRWLockExclusive(&g_lock);
}

}  // namespace

void WatchServices(HMODULE plugin) {
  Patch(plugin, "OpenServiceA", reinterpret_cast<void*>(WatchedOpenService), g_forwards.open);
  Patch(plugin, "ControlService", reinterpret_cast<void*>(WatchedControlService), g_forwards.control);
  Patch(plugin, "StartServiceA", reinterpret_cast<void*>(WatchedStartService), g_forwards.start);
}

void CheckServicesAtEnd(HostJob& job) {
  if (job.stopped_services.empty()) return;
  SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
  for (const auto& stopped : job.stopped_services) {
    SC_HANDLE service = manager ? OpenServiceA(manager, stopped.second.c_str(), SERVICE_QUERY_STATUS) : nullptr;
    SERVICE_STATUS status{};
    // A service deleted meanwhile was not left stopped by the plug-in.
    if (!service && GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST) continue;
    if (!service || !QueryServiceStatus(service, &status))
      job.log->Warning("the plug-in stopped service %s, whose state cannot be read after the job (error %lu)",
                       stopped.second.c_str(), GetLastError());
    else if (status.dwCurrentState != SERVICE_RUNNING && status.dwCurrentState != SERVICE_START_PENDING)
      job.contract.Violation("the plug-in left service %s stopped", stopped.second.c_str());
    if (service) CloseServiceHandle(service);
  }
  if (manager) CloseServiceHandle(manager);
  job.stopped_services.clear();
}
