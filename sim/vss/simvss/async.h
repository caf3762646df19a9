// Asynchronous operation objects. The simulated service finishes every operation when it is
// started; the object only reports it, answering VSS_S_ASYNC_PENDING for a number of status
// queries first so that a requester's waiting loop is exercised.
#pragma once

#include <windows.h>
#include <vss.h>

// `outcome` is what the finished operation reports (VSS_S_ASYNC_FINISHED or a failure code).
HRESULT CreateSimAsync(HRESULT outcome, UINT pending_polls, IVssAsync** out);
