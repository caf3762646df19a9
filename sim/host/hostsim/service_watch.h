// The Windows services a plug-in stops must run again when its job ends, cancelled or not.
#pragma once

#include <windows.h>

struct HostJob;

// Follows the plug-in's OpenServiceA, ControlService and StartServiceA, each forwarded to what
// the import pointed at before: a stop that succeeds marks the service in the current job, a start
// that succeeds clears the mark.
void WatchServices(HMODULE plugin);
// After freePlugin: each marked service that neither runs nor starts is a contract violation.
void CheckServicesAtEnd(HostJob& job);
