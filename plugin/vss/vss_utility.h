// Service control for the writer handlers, backup stamp file names and system error texts.
#pragma once

#include "../frame/host_interface.h"
#include "vss_interface.h"

// One service to start again; the list is last-in, first-out and owns names and handles.
struct service_list_entry_t {
  service_list_entry_t* next;
  char* service_name;
  SC_HANDLE service_handle;
};

// Pause between two looks at a service's state, and how many pauses make a time-out.
// Tests shorten the pause; the plug-in keeps one second and five minutes.
extern DWORD service_poll_interval_ms;
extern int service_poll_limit;

void initServiceList(void** service_list_head);
hRC stopService(hpContext* ctx, SC_HANDLE sc_manager, char* service_name, void** service_list_head);
hRC startService(hpContext* ctx, SC_HANDLE sc_manager, void** service_list_head);
// Starts what is listed (the last stopped first) and closes the manager that stopped it, clearing
// both: whoever stopped services ends through here on every path.
void startStoppedServices(hpContext* ctx, SC_HANDLE* sc_manager, void** service_list_head);
hRC stopSingleService(hpContext* ctx, SC_HANDLE sc_manager, SC_HANDLE service_handle);
hRC startSingleService(hpContext* ctx, SC_HANDLE sc_manager, SC_HANDLE service_handle);

// The caller releases the name with the plug-in allocator; null when no digest could be made.
char* makeBackupStampFilename(char* working_dir, char* writer_name, VSS_ID* writer_class_id,
                              WCHAR* component_path, WCHAR* component_name);

// The system's text for hr (with its line end), or an empty text.
void formatError(HRESULT hr, char* msg, int msglen);
