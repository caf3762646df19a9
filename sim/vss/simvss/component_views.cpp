#include "component_views.h"

#include <vsserror.h>

#include "com_object.h"

namespace {

// Copies an optional text into a new BSTR; an absent text gives null.
HRESULT OutText(const std::optional<std::wstring>& text, BSTR* out) {
  if (!out) return E_INVALIDARG;
  *out = nullptr;
  if (!text) return S_OK;
  *out = SysAllocStringLen(text->c_str(), static_cast<UINT>(text->size()));
  return *out ? S_OK : E_OUTOFMEMORY;
}

HRESULT OutText(const std::wstring& text, BSTR* out) { return OutText(std::optional<std::wstring>(text), out); }

// For the getters documented to answer S_FALSE and null when the value was never set.
HRESULT OutOptionalText(const std::optional<std::wstring>& text, BSTR* out) {
  HRESULT hr = OutText(text, out);
  return SUCCEEDED(hr) && !text ? S_FALSE : hr;
}

class ComponentView : public SimComObject<IVssComponent> {
 public:
  explicit ComponentView(std::shared_ptr<DocComponent> component) : c_(std::move(component)) {}

  HRESULT STDMETHODCALLTYPE GetLogicalPath(BSTR* path) override { return OutText(c_->logical_path, path); }
  HRESULT STDMETHODCALLTYPE GetComponentType(VSS_COMPONENT_TYPE* type) override {
    if (!type) return E_INVALIDARG;
    *type = c_->type;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetComponentName(BSTR* name) override { return OutText(c_->name, name); }
  HRESULT STDMETHODCALLTYPE GetBackupSucceeded(boolean* succeeded) override {
    if (!succeeded) return E_INVALIDARG;
    *succeeded = c_->backup_succeeded;
    // Writers learn the outcome only with BackupComplete.
    return c_->backup_complete ? S_OK : S_FALSE;
  }
  HRESULT STDMETHODCALLTYPE GetAlternateLocationMappingCount(UINT* count) override { return Zero(count); }
  HRESULT STDMETHODCALLTYPE GetAlternateLocationMapping(UINT, IVssWMFiledesc** out) override {
    return NoItem(out);
  }
  HRESULT STDMETHODCALLTYPE SetBackupMetadata(LPCWSTR) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetBackupMetadata(BSTR* data) override { return OutText(std::nullopt, data); }
  HRESULT STDMETHODCALLTYPE AddPartialFile(LPCWSTR, LPCWSTR, LPCWSTR, LPCWSTR) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetPartialFileCount(UINT* count) override {
    if (!count) return E_INVALIDARG;
    *count = static_cast<UINT>(c_->partial_files.size());
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetPartialFile(UINT index, BSTR* path, BSTR* filename, BSTR* range,
                                           BSTR* metadata) override {
    if (!path || !filename || !range || !metadata) return E_INVALIDARG;
    *path = *filename = *range = *metadata = nullptr;
    if (index >= c_->partial_files.size()) return E_INVALIDARG;
    const MachinePartialFile& file = c_->partial_files[index];
    return Texts({{file.path, path}, {file.filename, filename}, {file.ranges, range}, {file.metadata, metadata}});
  }
  HRESULT STDMETHODCALLTYPE IsSelectedForRestore(boolean* selected) override {
    if (!selected) return E_INVALIDARG;
    *selected = c_->selected_for_restore;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetAdditionalRestores(boolean* additional) override {
    if (!additional) return E_INVALIDARG;
    *additional = c_->additional_restores;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetNewTargetCount(UINT* count) override { return Zero(count); }
  HRESULT STDMETHODCALLTYPE GetNewTarget(UINT, IVssWMFiledesc** out) override { return NoItem(out); }
  HRESULT STDMETHODCALLTYPE AddDirectedTarget(LPCWSTR, LPCWSTR, LPCWSTR, LPCWSTR, LPCWSTR, LPCWSTR) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE GetDirectedTargetCount(UINT* count) override { return Zero(count); }
  HRESULT STDMETHODCALLTYPE GetDirectedTarget(UINT, BSTR*, BSTR*, BSTR*, BSTR*, BSTR*, BSTR*) override {
    return E_INVALIDARG;
  }
  HRESULT STDMETHODCALLTYPE SetRestoreMetadata(LPCWSTR) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetRestoreMetadata(BSTR* data) override { return OutText(std::nullopt, data); }
  HRESULT STDMETHODCALLTYPE SetRestoreTarget(VSS_RESTORE_TARGET) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetRestoreTarget(VSS_RESTORE_TARGET* target) override {
    if (!target) return E_INVALIDARG;
    *target = VSS_RT_ORIGINAL;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE SetPreRestoreFailureMsg(LPCWSTR) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetPreRestoreFailureMsg(BSTR* text) override { return OutText(std::nullopt, text); }
  HRESULT STDMETHODCALLTYPE SetPostRestoreFailureMsg(LPCWSTR) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetPostRestoreFailureMsg(BSTR* text) override { return OutText(std::nullopt, text); }
  HRESULT STDMETHODCALLTYPE SetBackupStamp(LPCWSTR) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetBackupStamp(BSTR* stamp) override { return OutOptionalText(c_->backup_stamp, stamp); }
  HRESULT STDMETHODCALLTYPE GetPreviousBackupStamp(BSTR* stamp) override {
    return OutOptionalText(c_->previous_backup_stamp, stamp);
  }
  HRESULT STDMETHODCALLTYPE GetBackupOptions(BSTR* options) override { return OutText(c_->backup_options, options); }
  HRESULT STDMETHODCALLTYPE GetRestoreOptions(BSTR* options) override { return OutText(c_->restore_options, options); }
  HRESULT STDMETHODCALLTYPE GetRestoreSubcomponentCount(UINT* count) override { return Zero(count); }
  HRESULT STDMETHODCALLTYPE GetRestoreSubcomponent(UINT, BSTR*, BSTR*, boolean*) override { return E_INVALIDARG; }
  HRESULT STDMETHODCALLTYPE GetFileRestoreStatus(VSS_FILE_RESTORE_STATUS* status) override {
    if (!status) return E_INVALIDARG;
    *status = c_->file_restore_status;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE AddDifferencedFilesByLastModifyTime(LPCWSTR, LPCWSTR, WINBOOL, FILETIME) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE AddDifferencedFilesByLastModifyLSN(LPCWSTR, LPCWSTR, WINBOOL, BSTR) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE GetDifferencedFilesCount(UINT* count) override {
    if (!count) return E_INVALIDARG;
    *count = static_cast<UINT>(c_->differenced_files.size());
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetDifferencedFile(UINT index, BSTR* path, BSTR* filespec, WINBOOL* recursive,
                                               BSTR* lsn, FILETIME* time) override {
    if (!path || !filespec || !recursive || !lsn || !time) return E_INVALIDARG;
    *path = *filespec = *lsn = nullptr;
    if (index >= c_->differenced_files.size()) return VSS_E_OBJECT_NOT_FOUND;
    const MachineDifferencedFile& file = c_->differenced_files[index];
    *recursive = file.recursive;
    *time = file.last_modify_time;
    return Texts({{file.path, path}, {file.filespec, filespec}, {file.lsn, lsn}});
  }

 private:
  static HRESULT Zero(UINT* count) {
    if (!count) return E_INVALIDARG;
    *count = 0;
    return S_OK;
  }
  template <class T>
  static HRESULT NoItem(T** out) {
    if (!out) return E_INVALIDARG;
    *out = nullptr;
    return E_INVALIDARG;
  }
  // Fills several out texts; on failure none is left allocated.
  static HRESULT Texts(std::initializer_list<std::pair<const std::wstring&, BSTR*>> items) {
    for (const auto& item : items) {
      if (FAILED(OutText(item.first, item.second))) {
        for (const auto& undo : items) {
          SysFreeString(*undo.second);
          *undo.second = nullptr;
        }
        return E_OUTOFMEMORY;
      }
    }
    return S_OK;
  }

  std::shared_ptr<DocComponent> c_;
};

// IVssWriterComponents first and IUnknown second, as the SDK lays the interface out.
class WriterComponentsView : public IVssWriterComponentsExt, public SimComObject<IUnknown> {
 public:
  explicit WriterComponentsView(std::shared_ptr<DocWriter> writer) : w_(std::move(writer)) {}

  HRESULT STDMETHODCALLTYPE GetComponentCount(UINT* count) override {
    if (!count) return E_INVALIDARG;
    *count = static_cast<UINT>(w_->components.size());
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetWriterInfo(VSS_ID* instance, VSS_ID* writer) override {
    if (!instance || !writer) return E_INVALIDARG;
    *instance = w_->instance_id;
    *writer = w_->class_id;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetComponent(UINT index, IVssComponent** out) override {
    if (!out) return E_INVALIDARG;
    *out = nullptr;
    if (index >= w_->components.size()) return E_INVALIDARG;
    return CreateComponentView(w_->components[index], out);
  }

 private:
  std::shared_ptr<DocWriter> w_;
};

}  // namespace

HRESULT CreateWriterComponentsView(std::shared_ptr<DocWriter> writer, IVssWriterComponentsExt** out) {
  if (!out) return E_INVALIDARG;
  *out = new WriterComponentsView(std::move(writer));
  return S_OK;
}

HRESULT CreateComponentView(std::shared_ptr<DocComponent> component, IVssComponent** out) {
  if (!out) return E_INVALIDARG;
  *out = new ComponentView(std::move(component));
  return S_OK;
}

IUnknown* WriterComponentsUnknown(IVssWriterComponentsExt* writer) {
  return writer ? static_cast<IUnknown*>(static_cast<WriterComponentsView*>(writer)) : nullptr;
}
