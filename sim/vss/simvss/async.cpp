#include "async.h"

#include <vsserror.h>

#include "com_object.h"

namespace {

class SimAsync : public SimComObject<IVssAsync> {
 public:
  SimAsync(HRESULT outcome, UINT pending_polls) : outcome_(outcome), pending_(pending_polls) {}

  HRESULT STDMETHODCALLTYPE Cancel() override {
    if (pending_ == 0) return VSS_S_ASYNC_FINISHED;
    // The work is done already; a cancelled wait only stops the pending answers.
    pending_ = 0;
    outcome_ = VSS_S_ASYNC_CANCELLED;
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE Wait(DWORD) override {
    pending_ = 0;
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE QueryStatus(HRESULT* status, INT*) override {
    if (!status) return E_INVALIDARG;
    if (pending_ > 0) {
      --pending_;
      *status = VSS_S_ASYNC_PENDING;
    } else {
      *status = outcome_;
    }
    return S_OK;
  }

 private:
  HRESULT outcome_;
  UINT pending_;
};

}  // namespace

HRESULT CreateSimAsync(HRESULT outcome, UINT pending_polls, IVssAsync** out) {
  if (!out) return E_INVALIDARG;
  *out = new SimAsync(outcome, pending_polls);
  return S_OK;
}
