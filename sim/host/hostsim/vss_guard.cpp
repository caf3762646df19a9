#include "../../../plugin/frame/host_interface.h"

#include "vss_guard.h"

#include <set>
#include <string>

namespace {

std::string Narrow(const wchar_t* text) {
  std::string out;
  for (; text && *text; ++text) out += *text < 0x80 ? static_cast<char>(*text) : '?';
  return out;
}

// A component as AddComponent and SetBackupSucceeded name it; a missing logical path and an
// empty one name the same component.
std::string ComponentKey(const VSS_ID& instance, const VSS_ID& writer, const wchar_t* path,
                         const wchar_t* name) {
  wchar_t ids[2][40];
  StringFromGUID2(instance, ids[0], 40);
  StringFromGUID2(writer, ids[1], 40);
  return "\"" + Narrow(path) + "\\" + Narrow(name) + "\" of writer " + Narrow(ids[1]) +
         " (instance " + Narrow(ids[0]) + ")";
}

}  // namespace

// Forwarded calls reach the host's object unchanged.
#define FORWARD(name, params, args)                          \
  HRESULT STDMETHODCALLTYPE name params override {           \
    if (!Usable(#name)) return E_UNEXPECTED;                 \
    return inner_->name args;                                \
  }
// Calls only the requester may make: refused, and a broken promise.
#define REFUSE(name, params) \
  HRESULT STDMETHODCALLTYPE name params override { return Refuse(#name); }
#define REFUSE_ASYNC(name)                                   \
  HRESULT STDMETHODCALLTYPE name(IVssAsync** async) override { \
    if (async) *async = nullptr;                             \
    return Refuse(#name);                                    \
  }

class VssGuard::Proxy final : public IVssBackupComponents {
 public:
  Proxy(IVssBackupComponents* inner, ContractChecker& contract) : inner_(inner), contract_(contract) {}

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (!out) return E_POINTER;
    *out = nullptr;
    // Other interfaces of the object would bypass the guard.
    if (!IsEqualIID(iid, IID_IUnknown) && !IsEqualIID(iid, __uuidof(IVssBackupComponents)))
      return E_NOINTERFACE;
    *out = static_cast<IVssBackupComponents*>(this);
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return 1 + ++plugin_refs_; }
  ULONG STDMETHODCALLTYPE Release() override {
    if (plugin_refs_ == 0) {
      contract_.Violation("the plug-in released the host's backup components object beyond its "
                          "own AddRef calls: the object is the host's");
      return 1;
    }
    return 1 + --plugin_refs_;
  }

  FORWARD(GetWriterComponentsCount, (UINT* count), (count))
  FORWARD(GetWriterComponents, (UINT i, IVssWriterComponentsExt** out), (i, out))
  REFUSE(InitializeForBackup, (BSTR))
  REFUSE(SetBackupState, (boolean, boolean, VSS_BACKUP_TYPE, boolean))
  REFUSE(InitializeForRestore, (BSTR))
  FORWARD(SetRestoreState, (VSS_RESTORE_TYPE type), (type))
  FORWARD(GatherWriterMetadata, (IVssAsync** async), (async))
  FORWARD(GetWriterMetadataCount, (UINT* count), (count))
  FORWARD(GetWriterMetadata, (UINT i, VSS_ID* id, IVssExamineWriterMetadata** out), (i, id, out))
  FORWARD(FreeWriterMetadata, (), ())
  HRESULT STDMETHODCALLTYPE AddComponent(VSS_ID instance, VSS_ID writer, VSS_COMPONENT_TYPE type,
                                         LPCWSTR path, LPCWSTR name) override {
    if (!Usable("AddComponent")) return E_UNEXPECTED;
    HRESULT hr = inner_->AddComponent(instance, writer, type, path, name);
    if (SUCCEEDED(hr)) added_.insert(ComponentKey(instance, writer, path, name));
    return hr;
  }
  REFUSE_ASYNC(PrepareForBackup)
  REFUSE(AbortBackup, ())
  FORWARD(GatherWriterStatus, (IVssAsync** async), (async))
  FORWARD(GetWriterStatusCount, (UINT* count), (count))
  FORWARD(FreeWriterStatus, (), ())
  FORWARD(GetWriterStatus,
          (UINT i, VSS_ID* instance, VSS_ID* writer, BSTR* name, VSS_WRITER_STATE* state,
           HRESULT* failure),
          (i, instance, writer, name, state, failure))
  HRESULT STDMETHODCALLTYPE SetBackupSucceeded(VSS_ID instance, VSS_ID writer, VSS_COMPONENT_TYPE type,
                                               LPCWSTR path, LPCWSTR name, boolean ok) override {
    if (!Usable("SetBackupSucceeded")) return E_UNEXPECTED;
    succeeded_.insert(ComponentKey(instance, writer, path, name));
    return inner_->SetBackupSucceeded(instance, writer, type, path, name, ok);
  }
  FORWARD(SetBackupOptions, (VSS_ID w, VSS_COMPONENT_TYPE t, LPCWSTR p, LPCWSTR n, LPCWSTR o),
          (w, t, p, n, o))
  FORWARD(SetSelectedForRestore, (VSS_ID w, VSS_COMPONENT_TYPE t, LPCWSTR p, LPCWSTR n, boolean s),
          (w, t, p, n, s))
  FORWARD(SetRestoreOptions, (VSS_ID w, VSS_COMPONENT_TYPE t, LPCWSTR p, LPCWSTR n, LPCWSTR o),
          (w, t, p, n, o))
  FORWARD(SetAdditionalRestores, (VSS_ID w, VSS_COMPONENT_TYPE t, LPCWSTR p, LPCWSTR n, boolean a),
          (w, t, p, n, a))
  FORWARD(SetPreviousBackupStamp, (VSS_ID w, VSS_COMPONENT_TYPE t, LPCWSTR p, LPCWSTR n, LPCWSTR s),
          (w, t, p, n, s))
  FORWARD(SaveAsXML, (BSTR* xml), (xml))
  REFUSE_ASYNC(BackupComplete)
  FORWARD(AddAlternativeLocationMapping,
          (VSS_ID w, VSS_COMPONENT_TYPE t, LPCWSTR p, LPCWSTR n, LPCWSTR path, LPCWSTR spec,
           boolean r, LPCWSTR dest),
          (w, t, p, n, path, spec, r, dest))
  FORWARD(AddRestoreSubcomponent,
          (VSS_ID w, VSS_COMPONENT_TYPE t, LPCWSTR p, LPCWSTR n, LPCWSTR sp, LPCWSTR sn, boolean r),
          (w, t, p, n, sp, sn, r))
  FORWARD(SetFileRestoreStatus,
          (VSS_ID w, VSS_COMPONENT_TYPE t, LPCWSTR p, LPCWSTR n, VSS_FILE_RESTORE_STATUS s),
          (w, t, p, n, s))
  FORWARD(AddNewTarget,
          (VSS_ID w, VSS_COMPONENT_TYPE t, LPCWSTR p, LPCWSTR n, LPCWSTR path, LPCWSTR file,
           boolean r, LPCWSTR alt),
          (w, t, p, n, path, file, r, alt))
  FORWARD(SetRangesFilePath,
          (VSS_ID w, VSS_COMPONENT_TYPE t, LPCWSTR p, LPCWSTR n, UINT i, LPCWSTR f),
          (w, t, p, n, i, f))
  FORWARD(PreRestore, (IVssAsync** async), (async))
  FORWARD(PostRestore, (IVssAsync** async), (async))
  FORWARD(SetContext, (LONG context), (context))
  REFUSE(StartSnapshotSet, (VSS_ID*))
  REFUSE(AddToSnapshotSet, (VSS_PWSZ, VSS_ID, VSS_ID*))
  REFUSE_ASYNC(DoSnapshotSet)
  REFUSE(DeleteSnapshots, (VSS_ID, VSS_OBJECT_TYPE, WINBOOL, LONG*, VSS_ID*))
  FORWARD(ImportSnapshots, (IVssAsync** async), (async))
  FORWARD(BreakSnapshotSet, (VSS_ID id), (id))
  FORWARD(GetSnapshotProperties, (VSS_ID id, VSS_SNAPSHOT_PROP* prop), (id, prop))
  FORWARD(Query, (VSS_ID id, VSS_OBJECT_TYPE q, VSS_OBJECT_TYPE r, IVssEnumObject** out),
          (id, q, r, out))
  FORWARD(IsVolumeSupported, (VSS_ID p, VSS_PWSZ v, WINBOOL* s), (p, v, s))
  FORWARD(DisableWriterClasses, (const VSS_ID* ids, UINT n), (ids, n))
  FORWARD(EnableWriterClasses, (const VSS_ID* ids, UINT n), (ids, n))
  FORWARD(DisableWriterInstances, (const VSS_ID* ids, UINT n), (ids, n))
  FORWARD(ExposeSnapshot, (VSS_ID id, VSS_PWSZ from, LONG a, VSS_PWSZ expose, VSS_PWSZ* exposed),
          (id, from, a, expose, exposed))
  FORWARD(RevertToSnapshot, (VSS_ID id, WINBOOL force), (id, force))
  FORWARD(QueryRevertStatus, (VSS_PWSZ volume, IVssAsync** async), (volume, async))

  IVssBackupComponents* inner_;
  ContractChecker& contract_;
  long plugin_refs_ = 0;
  std::set<std::string> added_, succeeded_;

 private:
  bool Usable(const char* call) {
    if (inner_) return true;
    contract_.Violation("the plug-in called %s on the host's backup components object after the "
                        "backup job ended", call);
    return false;
  }
  HRESULT Refuse(const char* call) {
    contract_.Violation("the plug-in called %s on the host's backup components object: only the "
                        "host prepares, snapshots, completes or aborts its backup", call);
    return E_ACCESSDENIED;
  }
};

VssGuard::VssGuard(IVssBackupComponents* inner, ContractChecker& contract)
    : proxy_(new Proxy(inner, contract)) {}
VssGuard::~VssGuard() { delete proxy_; }

IVssBackupComponents* VssGuard::object() { return proxy_; }
void VssGuard::Detach() { proxy_->inner_ = nullptr; }

void VssGuard::CheckSucceededBeforeComplete() {
  for (const auto& key : proxy_->added_)
    if (!proxy_->succeeded_.count(key))
      proxy_->contract_.Violation("component %s was added to the backup but got no "
                                  "SetBackupSucceeded before BackupComplete",
                                  key.c_str());
}

void VssGuard::CheckReferencesAtEnd() {
  if (proxy_->plugin_refs_ > 0)
    proxy_->contract_.Violation("the plug-in kept %ld references to the host's backup components "
                                "object after freePlugin", proxy_->plugin_refs_);
}
