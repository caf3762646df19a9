// Reference counting shared by the service's COM classes: each object starts with one reference,
// counts itself in the module's live-object count and deletes itself on its last Release.
#pragma once

#include <windows.h>
#include <unknwn.h>

#include "object_count.h"

template <class Interface>
class SimComObject : public Interface {
 public:
  SimComObject() { InterlockedIncrement(&g_simvss_objects); }
  virtual ~SimComObject() { InterlockedDecrement(&g_simvss_objects); }
  SimComObject(const SimComObject&) = delete;
  SimComObject& operator=(const SimComObject&) = delete;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (!out) return E_POINTER;
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, __uuidof(Interface))) {
      *out = static_cast<Interface*>(this);
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return InterlockedIncrement(&refs_); }
  ULONG STDMETHODCALLTYPE Release() override {
    LONG left = InterlockedDecrement(&refs_);
    if (left == 0) delete this;
    return left;
  }

 private:
  LONG refs_ = 1;
};
