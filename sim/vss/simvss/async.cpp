#include "async.h"

#include <vsserror.h>

#include "com_object.h"

namespace {

class SimAsync : public SimComObject<IVssAsync> {
 public:
  SimAsync(const SimOperationPlan& plan, std::function<void(HRESULT)> seen)
      : outcome_(plan.outcome), pending_(plan.pending_polls), endless_(plan.never_finishes),
        seen_(std::move(seen)) {}

  HRESULT STDMETHODCALLTYPE Cancel() override {
    if (!Running()) return outcome_ == VSS_S_ASYNC_CANCELLED ? VSS_S_ASYNC_CANCELLED
                           : SUCCEEDED(outcome_)            ? VSS_S_ASYNC_FINISHED
                                                            : outcome_;
    pending_ = 0;
    endless_ = false;
    outcome_ = VSS_S_ASYNC_CANCELLED;
    return S_OK;
  }

  // An operation that never finishes keeps the caller waiting as long as it asked to wait.
  HRESULT STDMETHODCALLTYPE Wait(DWORD milliseconds) override {
    if (endless_) {
      Sleep(milliseconds);
      return S_OK;
    }
    pending_ = 0;
    Seen();
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE QueryStatus(HRESULT* status, INT*) override {
    if (!status) return E_INVALIDARG;
    if (Running()) {
      if (pending_ > 0) --pending_;
      *status = VSS_S_ASYNC_PENDING;
      return S_OK;
    }
    *status = outcome_;
    Seen();
    return S_OK;
  }

 private:
  bool Running() const { return endless_ || pending_ > 0; }

  void Seen() {
    if (!seen_) return;
    auto seen = std::move(seen_);
    seen_ = nullptr;
    seen(outcome_);
  }

  HRESULT outcome_;
  UINT pending_;
  bool endless_;
  std::function<void(HRESULT)> seen_;
};

}  // namespace

HRESULT CreateSimAsync(const SimOperationPlan& plan, std::function<void(HRESULT)> seen, IVssAsync** out) {
  if (!out) return E_INVALIDARG;
  *out = new SimAsync(plan, std::move(seen));
  return S_OK;
}
