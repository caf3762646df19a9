// A small service for tests and the bench machines. It runs until it is asked to stop.
// Options on its command line: name=NAME (its service name, which Wine does not pass on),
// start-delay=MS (start pending that long), stop-delay=MS (stop pending that long after the
// stop control).
#include <windows.h>

#include <cstdlib>
#include <cstring>

namespace {

SERVICE_STATUS_HANDLE g_status_handle;
SERVICE_STATUS g_status;
HANDLE g_stop_requested;
DWORD g_start_delay;
DWORD g_stop_delay;
const char* g_name = "";

void report(DWORD state, DWORD wait_hint) {
  g_status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  g_status.dwCurrentState = state;
  g_status.dwControlsAccepted = state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP : 0;
  g_status.dwWin32ExitCode = NO_ERROR;
  g_status.dwWaitHint = wait_hint;
  ++g_status.dwCheckPoint;
  SetServiceStatus(g_status_handle, &g_status);
}

DWORD WINAPI control_handler(DWORD control, DWORD, void*, void*) {
  switch (control) {
    case SERVICE_CONTROL_STOP:
      report(SERVICE_STOP_PENDING, g_stop_delay + 1000);
      SetEvent(g_stop_requested);
      return NO_ERROR;
    case SERVICE_CONTROL_INTERROGATE:
      return NO_ERROR;
    default:
      return ERROR_CALL_NOT_IMPLEMENTED;
  }
}

void WINAPI service_main(DWORD, char**) {
  g_status_handle = RegisterServiceCtrlHandlerExA(g_name, control_handler, nullptr);
  if (!g_status_handle) return;
  report(SERVICE_START_PENDING, g_start_delay + 1000);
  Sleep(g_start_delay);
  report(SERVICE_RUNNING, 0);
  WaitForSingleObject(g_stop_requested, INFINITE);
  Sleep(g_stop_delay);
  report(SERVICE_STOPPED, 0);
}

const char* option(int argc, char** argv, const char* name) {
  size_t length = strlen(name);
  for (int i = 1; i < argc; ++i) {
    if (strncmp(argv[i], name, length) == 0) return argv[i] + length;
  }
  return nullptr;
}

DWORD number_option(int argc, char** argv, const char* name) {
  const char* value = option(argc, argv, name);
  return value ? strtoul(value, nullptr, 10) : 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (const char* name = option(argc, argv, "name=")) g_name = name;
  g_start_delay = number_option(argc, argv, "start-delay=");
  g_stop_delay = number_option(argc, argv, "stop-delay=");
  g_stop_requested = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  SERVICE_TABLE_ENTRYA table[] = {{const_cast<char*>(g_name), service_main}, {nullptr, nullptr}};
  return StartServiceCtrlDispatcherA(table) ? 0 : 1;
}
