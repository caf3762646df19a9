// The job message for a failed shadow copy call.
#pragma once

#include "../frame/host_interface.h"

#include <windows.h>

// Sends a warning naming `call` and a fixed explanation of `hr`; nothing when `hr` is 0.
void JmsgWriterCallStatus(hpContext* ctx, HRESULT hr, const char* call);
