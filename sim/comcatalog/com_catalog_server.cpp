// In-process server for the COM+ administration catalog's class, for systems that have none
// (Wine). It records every RestoreREGDB call and answers E_NOTIMPL for everything else; the
// database itself is left alone, as Windows only applies it at the next start.
#include "com_catalog_control.h"

#include <comadmin.h>

#include <atomic>
#include <new>

namespace {

std::atomic<long> g_live_objects{0};
std::atomic<long> g_locks{0};

// The record file and the answer come from the class key, so a catalog created in any process
// records where the registering test looks.
HRESULT RestoreAnswerAndRecordFile(std::wstring* record_file) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kComCatalogClassKey, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
    return E_UNEXPECTED;
  wchar_t path[MAX_PATH * 2] = {};
  DWORD size = sizeof(path) - sizeof(wchar_t);
  if (RegQueryValueExW(key, kComCatalogRecordValue, nullptr, nullptr, reinterpret_cast<BYTE*>(path), &size) ==
      ERROR_SUCCESS)
    *record_file = path;
  DWORD answer = S_OK;
  size = sizeof(answer);
  RegQueryValueExW(key, kComCatalogAnswerValue, nullptr, nullptr, reinterpret_cast<BYTE*>(&answer), &size);
  RegCloseKey(key);
  return static_cast<HRESULT>(answer);
}

class Catalog : public ICOMAdminCatalog {
 public:
  Catalog() { ++g_live_objects; }
  virtual ~Catalog() { --g_live_objects; }

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
    if (!object) return E_POINTER;
    if (iid == IID_IUnknown || iid == IID_IDispatch || iid == __uuidof(ICOMAdminCatalog)) {
      *object = static_cast<ICOMAdminCatalog*>(this);
      AddRef();
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
  ULONG STDMETHODCALLTYPE Release() override {
    ULONG left = --references_;
    if (left == 0) delete this;
    return left;
  }

  HRESULT STDMETHODCALLTYPE RestoreREGDB(BSTR file) override {
    std::wstring name = file ? file : L"";
    std::wstring record_file;
    HRESULT answer = RestoreAnswerAndRecordFile(&record_file);
    ComCatalogRestoreCall call = DescribeComCatalogFile(name);
    if (name.empty()) answer = E_INVALIDARG;
    else if (call.size < 0) answer = E_FAIL;  // the catalog must read the file it is given
    call.answer = answer;
    if (!record_file.empty()) AppendComCatalogRecord(record_file, call);
    return answer;
  }

  // IDispatch: the catalog has a type library on Windows; callers here use the vtable.
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
    if (count) *count = 0;
    return count ? S_OK : E_POINTER;
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
    return E_NOTIMPL;
  }

  HRESULT STDMETHODCALLTYPE GetCollection(BSTR, IDispatch**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Connect(BSTR, IDispatch**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_MajorVersion(LONG*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_MinorVersion(LONG*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetCollectionByQuery(BSTR, SAFEARRAY**, IDispatch**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE ImportComponent(BSTR, BSTR) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE InstallComponent(BSTR, BSTR, BSTR, BSTR) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE ShutdownApplication(BSTR) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE ExportApplication(BSTR, BSTR, LONG) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE InstallApplication(BSTR, BSTR, LONG, BSTR, BSTR, BSTR) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE StopRouter() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE RefreshRouter() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE StartRouter() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Reserved1() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Reserved2() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE InstallMultipleComponents(BSTR, SAFEARRAY**, SAFEARRAY**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetMultipleComponentsInfo(BSTR, SAFEARRAY**, SAFEARRAY**, SAFEARRAY**, SAFEARRAY**,
                                                      SAFEARRAY**) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE RefreshComponents() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE BackupREGDB(BSTR) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE QueryApplicationFile(BSTR, BSTR*, BSTR*, VARIANT_BOOL*, VARIANT_BOOL*,
                                                 SAFEARRAY**) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE StartApplication(BSTR) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE ServiceCheck(LONG, LONG*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE InstallMultipleEventClasses(BSTR, SAFEARRAY**, SAFEARRAY**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE InstallEventClass(BSTR, BSTR, BSTR, BSTR) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetEventClassesForIID(BSTR, SAFEARRAY**, SAFEARRAY**, SAFEARRAY**) override {
    return E_NOTIMPL;
  }

 private:
  std::atomic<ULONG> references_{1};
};

class Factory : public IClassFactory {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
    if (!object) return E_POINTER;
    if (iid == IID_IUnknown || iid == IID_IClassFactory) {
      *object = static_cast<IClassFactory*>(this);
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  // One static factory: its references do not keep the module loaded, LockServer does.
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** object) override {
    if (!object) return E_POINTER;
    *object = nullptr;
    if (outer) return CLASS_E_NOAGGREGATION;
    auto* catalog = new (std::nothrow) Catalog;
    if (!catalog) return E_OUTOFMEMORY;
    HRESULT hr = catalog->QueryInterface(iid, object);
    catalog->Release();
    return hr;
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override {
    g_locks += lock ? 1 : -1;
    return S_OK;
  }
};

Factory g_factory;

}  // namespace

extern "C" HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID clsid, REFIID iid, void** object) {
  if (!object) return E_POINTER;
  *object = nullptr;
  if (clsid != __uuidof(COMAdminCatalog)) return CLASS_E_CLASSNOTAVAILABLE;
  return g_factory.QueryInterface(iid, object);
}

extern "C" HRESULT STDAPICALLTYPE DllCanUnloadNow() {
  return g_live_objects == 0 && g_locks == 0 ? S_OK : S_FALSE;
}
