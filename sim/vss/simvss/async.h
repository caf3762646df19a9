// Asynchronous operation objects. The simulated service decides an operation's outcome when it
// is started; the object reports it, answering VSS_S_ASYNC_PENDING for a number of status
// queries first so that a requester's waiting loop is exercised. What the operation produced
// becomes visible only once the requester has seen it end: the object calls `seen` with the
// outcome the first time QueryStatus reports the end or Wait returns after it.
#pragma once

#include <windows.h>
#include <vss.h>

#include <functional>

struct SimOperationPlan {
  HRESULT outcome = VSS_S_ASYNC_FINISHED;  // or the failure code the operation ends with
  UINT pending_polls = 0;
  bool never_finishes = false;             // pending for good, until cancelled
};

HRESULT CreateSimAsync(const SimOperationPlan& plan, std::function<void(HRESULT)> seen, IVssAsync** out);
