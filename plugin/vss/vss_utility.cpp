#include "vss_utility.h"

#include "../frame/host_alloc.h"
#include "../frame/host_messages.h"

#include <bcrypt.h>

#include <cstring>
#include <cwchar>

DWORD service_poll_interval_ms = 1000;
int service_poll_limit = 300;

namespace {

service_list_entry_t** list_head(void** service_list_head) {
  return reinterpret_cast<service_list_entry_t**>(service_list_head);
}

void push_service(void** service_list_head, const char* name, SC_HANDLE handle) {
  service_list_entry_t* entry = HNEW service_list_entry_t;
  entry->service_name = HSTRDUP(name);
  entry->service_handle = handle;
  entry->next = *list_head(service_list_head);
  *list_head(service_list_head) = entry;
}

// Looks at the service once per pause until it is in `state` (SERVICE_STOPPED or
// SERVICE_RUNNING) or the pauses run out; failures go to the job log.
hRC wait_for_service_state(hpContext* ctx, SC_HANDLE service, DWORD state) {
  const bool stopping = state == SERVICE_STOPPED;
  for (int pauses = 0;; ++pauses) {
    SERVICE_STATUS_PROCESS status;
    DWORD needed = 0;
    if (!QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                              sizeof(status), &needed)) {
      Jmsg(ctx, JMSG_FATAL, "failed to query the service state\n");
      Dmsg(ctx, 50, "failed to query the service state\n");
      return hRC_Error;
    }
    if (status.dwCurrentState == state) {
      if (stopping) Dmsg(ctx, 50, "service stopped\n");
      return hRC_OK;
    }
    if (pauses == service_poll_limit) break;
    if (stopping) {
      Dmsg(ctx, 50, "waiting for %d ms for service to stop\n", static_cast<int>(service_poll_interval_ms));
    } else {
      Dmsg(ctx, 50, "waiting for %d ms for service to start\n", static_cast<int>(service_poll_interval_ms));
    }
    Sleep(service_poll_interval_ms);
  }
  if (stopping) {
    Jmsg(ctx, JMSG_FATAL, "timeout waiting for service to stop\n");
    Dmsg(ctx, 50, "timeout waiting for service to stop\n");
  } else {
    Jmsg(ctx, JMSG_FATAL, "timeout waiting for service to start\n");
    Dmsg(ctx, 50, "timeout waiting for service to start\n");
  }
  return hRC_Error;
}

bool md5_digest(const VSS_ID* writer_class_id, const WCHAR* component_path,
                const WCHAR* component_name, unsigned char digest[16]) {
  BCRYPT_ALG_HANDLE algorithm = nullptr;
  if (!BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_MD5_ALGORITHM, nullptr, 0))) {
    return false;
  }
  BCRYPT_HASH_HANDLE hash = nullptr;
  bool ok = BCRYPT_SUCCESS(BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0));
  auto feed = [&](const void* data, size_t bytes) {
    if (ok && bytes) {
      ok = BCRYPT_SUCCESS(BCryptHashData(hash, static_cast<PUCHAR>(const_cast<void*>(data)),
                                         static_cast<ULONG>(bytes), 0));
    }
  };
  // The class id as it lies in memory, then the texts as UTF-16LE code units without terminator.
  feed(writer_class_id, sizeof(VSS_ID));
  if (component_path) feed(component_path, wcslen(component_path) * sizeof(WCHAR));
  if (component_name) feed(component_name, wcslen(component_name) * sizeof(WCHAR));
  if (ok) ok = BCRYPT_SUCCESS(BCryptFinishHash(hash, digest, 16, 0));
  if (hash) BCryptDestroyHash(hash);
  BCryptCloseAlgorithmProvider(algorithm, 0);
  return ok;
}

}  // namespace

void initServiceList(void** service_list_head) { *service_list_head = nullptr; }

hRC stopService(hpContext* ctx, SC_HANDLE sc_manager, char* service_name, void** service_list_head) {
  TRACE_FUNCTION(ctx);
  Dmsg(ctx, 50, "stopService(%s)\n", service_name);
  SC_HANDLE service = OpenServiceA(sc_manager, service_name, SERVICE_ALL_ACCESS);
  if (!service) {
    // A service that is not installed has nothing to restore.
    Dmsg(ctx, 50, "failed to open %s service\n", service_name);
    return hRC_OK;
  }
  // Listed before anything is stopped, so a failure below still leaves it to be restarted.
  push_service(service_list_head, service_name, service);

  DWORD bytes_needed = 0;
  DWORD count = 0;
  if (EnumDependentServicesA(service, SERVICE_STATE_ALL, nullptr, 0, &bytes_needed, &count)) {
    stopSingleService(ctx, sc_manager, service);
    Dmsg(ctx, 50, "No dependant services\n");
    return hRC_OK;
  }
  if (GetLastError() != ERROR_MORE_DATA) {
    Dmsg(ctx, 50, "Failed to enumerate dependancies (1)\n");
    Jmsg(ctx, JMSG_FATAL, "Failed to enumerate dependancies (1)\n");
    return hRC_Error;
  }
  auto* dependents = static_cast<ENUM_SERVICE_STATUSA*>(HALLOC(bytes_needed));
  if (!EnumDependentServicesA(service, SERVICE_STATE_ALL, dependents, bytes_needed, &bytes_needed,
                              &count)) {
    Dmsg(ctx, 50, "Failed to enumerate dependancies (2)\n");
    Jmsg(ctx, JMSG_FATAL, "Failed to enumerate dependancies (2)\n");
    HFREE(dependents);
    return hRC_Error;
  }
  for (DWORD i = 0; i < count; ++i) {
    const char* name = dependents[i].lpServiceName;
    Dmsg(ctx, 50, "dependant service %s\n", name);
    SC_HANDLE dependent = OpenServiceA(sc_manager, name, SERVICE_ALL_ACCESS);
    if (!dependent) {
      Dmsg(ctx, 50, "failed to open %s service\n", name);
      continue;
    }
    // Stopped dependents are listed too: every listed service runs after the restore.
    push_service(service_list_head, name, dependent);
    if (dependents[i].ServiceStatus.dwCurrentState == SERVICE_RUNNING) {
      stopSingleService(ctx, sc_manager, dependent);
    }
  }
  stopSingleService(ctx, sc_manager, service);
  HFREE(dependents);
  return hRC_OK;
}

hRC startService(hpContext* ctx, SC_HANDLE sc_manager, void** service_list_head) {
  TRACE_FUNCTION(ctx);
  hRC result = hRC_OK;
  service_list_entry_t** head = list_head(service_list_head);
  while (*head) {
    service_list_entry_t* entry = *head;
    *head = entry->next;
    Dmsg(ctx, 50, "starting %s\n", entry->service_name);
    if (startSingleService(ctx, sc_manager, entry->service_handle) != hRC_OK) {
      Jmsg(ctx, JMSG_FATAL, "Failed to start service: \"%s\"\n", entry->service_name);
      result = hRC_Error;
    }
    HFREE(entry->service_name);
    CloseServiceHandle(entry->service_handle);
    delete entry;
  }
  return result;
}

void startStoppedServices(hpContext* ctx, SC_HANDLE* sc_manager, void** service_list_head) {
  if (*service_list_head) startService(ctx, *sc_manager, service_list_head);
  if (*sc_manager) CloseServiceHandle(*sc_manager);
  *sc_manager = nullptr;
}

hRC stopSingleService(hpContext* ctx, SC_HANDLE, SC_HANDLE service_handle) {
  TRACE_FUNCTION(ctx);
  SERVICE_STATUS status;
  if (!ControlService(service_handle, SERVICE_CONTROL_STOP, &status)) {
    if (GetLastError() == ERROR_SERVICE_NOT_ACTIVE) return hRC_OK;
    Jmsg(ctx, JMSG_FATAL, "failed to stop the service\n");
    Dmsg(ctx, 50, "failed to stop the service\n");
    return hRC_Error;
  }
  return wait_for_service_state(ctx, service_handle, SERVICE_STOPPED);
}

hRC startSingleService(hpContext* ctx, SC_HANDLE, SC_HANDLE service_handle) {
  TRACE_FUNCTION(ctx);
  if (!StartServiceA(service_handle, 0, nullptr)) {
    // Starting a service starts the services it depends on, so a service listed after its
    // dependents is often running already: that is the state asked for, not a failure.
    if (GetLastError() != ERROR_SERVICE_ALREADY_RUNNING) {
      Jmsg(ctx, JMSG_FATAL, "failed to start the service\n");
      Dmsg(ctx, 50, "failed to start the service\n");
      return hRC_Error;
    }
    Dmsg(ctx, 50, "service already running\n");
  }
  return wait_for_service_state(ctx, service_handle, SERVICE_RUNNING);
}

char* makeBackupStampFilename(char* working_dir, char* writer_name, VSS_ID* writer_class_id,
                              WCHAR* component_path, WCHAR* component_name) {
  static const char alphabet[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz@#";
  unsigned char digest[16];
  // Without the digest any name would be shared by other components: better none.
  if (!md5_digest(writer_class_id, component_path, component_name, digest)) return nullptr;

  size_t size = strlen(working_dir) + strlen(writer_name) + 22;
  char* name = static_cast<char*>(HALLOC(size));
  strcpy(name, working_dir);
  strcat(name, "\\");
  strcat(name, writer_name);
  strcat(name, "_");
  size_t at = strlen(name);
  for (int i = 0; i < 8; ++i) name[at++] = alphabet[digest[i] & 0x3f];
  strcpy(name + at, ".vss_stamp");
  return name;
}

void formatError(HRESULT hr, char* msg, int msglen) {
  if (!msg || msglen <= 0) return;
  msg[0] = '\0';
  char* text = nullptr;
  DWORD len = FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, static_cast<DWORD>(hr), MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
      reinterpret_cast<char*>(&text), 0, nullptr);
  if (len && text) {
    size_t copy = len < static_cast<DWORD>(msglen - 1) ? len : static_cast<size_t>(msglen - 1);
    memcpy(msg, text, copy);
    msg[copy] = '\0';
  }
  if (text) LocalFree(text);
}
