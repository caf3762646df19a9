#include "writer_metadata.h"

#include <memory>
#include <vector>

#include "machine_xml.h"
#include "com_object.h"

namespace {

const wchar_t kDocumentRoot[] = L"writerMetadata";

BSTR NewBstr(const std::wstring& text) {
  return SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
}

// An optional text hands out null when absent, as the real service does for a missing caption
// or logical path.
BSTR NewBstr(const std::optional<std::wstring>& text) { return text ? NewBstr(*text) : nullptr; }

// The getters' common shape: a missing result pointer is a bad argument, otherwise hand out a
// copy of the value.
template <class T, class V>
HRESULT Give(T* out, const V& value) {
  if (!out) return E_INVALIDARG;
  *out = value;
  return S_OK;
}

template <class V>
HRESULT GiveText(BSTR* out, const V& text) {
  if (!out) return E_INVALIDARG;
  *out = NewBstr(text);
  return S_OK;
}

class FileDesc : public SimComObject<IVssWMFiledesc> {
 public:
  explicit FileDesc(const MachineFile& file) : file_(file) {}

  HRESULT STDMETHODCALLTYPE GetPath(BSTR* out) override { return GiveText(out, file_.path); }
  HRESULT STDMETHODCALLTYPE GetFilespec(BSTR* out) override { return GiveText(out, file_.filespec); }
  HRESULT STDMETHODCALLTYPE GetRecursive(boolean* out) override { return Give(out, file_.recursive); }
  // No alternate location: S_FALSE with a null string.
  HRESULT STDMETHODCALLTYPE GetAlternateLocation(BSTR* out) override {
    HRESULT hr = GiveText(out, file_.alternate_location);
    return SUCCEEDED(hr) && !file_.alternate_location ? S_FALSE : hr;
  }
  HRESULT STDMETHODCALLTYPE GetBackupTypeMask(DWORD* out) override {
    return Give(out, file_.backup_type_mask);
  }

 private:
  const MachineFile file_;
};

HRESULT HandOutFile(const std::vector<MachineFile>& files, UINT index, IVssWMFiledesc** out) {
  if (!out) return E_INVALIDARG;
  *out = nullptr;
  if (index >= files.size()) return VSS_E_OBJECT_NOT_FOUND;
  *out = new FileDesc(files[index]);
  return S_OK;
}

class Dependency : public SimComObject<IVssWMDependency> {
 public:
  explicit Dependency(const MachineDependency& dependency) : dependency_(dependency) {}

  HRESULT STDMETHODCALLTYPE GetWriterId(VSS_ID* out) override {
    return Give(out, dependency_.writer_class_id);
  }
  HRESULT STDMETHODCALLTYPE GetLogicalPath(BSTR* out) override {
    return GiveText(out, dependency_.logical_path);
  }
  HRESULT STDMETHODCALLTYPE GetComponentName(BSTR* out) override {
    return GiveText(out, dependency_.component_name);
  }

 private:
  const MachineDependency dependency_;
};

void DeleteComponentInfo(VSS_COMPONENTINFO* info) {
  SysFreeString(info->bstrLogicalPath);
  SysFreeString(info->bstrComponentName);
  SysFreeString(info->bstrCaption);
  delete info;
}

// Shares the writer with the metadata object that made it, so it outlives that object's
// release or reload.
class WMComponent : public SimComObject<IVssWMComponent> {
 public:
  WMComponent(std::shared_ptr<const MachineWriter> writer, size_t index)
      : writer_(std::move(writer)), component_(writer_->components[index]) {}

  // Information not given back through FreeComponentInfo dies with the component.
  ~WMComponent() override {
    for (VSS_COMPONENTINFO* info : issued_) DeleteComponentInfo(info);
  }

  HRESULT STDMETHODCALLTYPE GetComponentInfo(PVSSCOMPONENTINFO* out) override {
    if (!out) return E_INVALIDARG;
    VSS_COMPONENTINFO* info = new VSS_COMPONENTINFO{};
    info->type = component_.type;
    info->bstrLogicalPath = NewBstr(component_.logical_path);
    info->bstrComponentName = NewBstr(component_.name);
    info->bstrCaption = NewBstr(component_.caption);
    info->bRestoreMetadata = component_.restore_metadata;
    info->bNotifyOnBackupComplete = component_.notify_on_backup_complete;
    info->bSelectable = component_.selectable;
    info->bSelectableForRestore = component_.selectable_for_restore;
    info->dwComponentFlags = component_.component_flags;
    info->cFileCount = static_cast<UINT>(component_.files.size());
    info->cDatabases = static_cast<UINT>(component_.databases.size());
    info->cLogFiles = static_cast<UINT>(component_.logs.size());
    info->cDependencies = static_cast<UINT>(component_.dependencies.size());
    issued_.push_back(info);
    *out = info;
    return S_OK;
  }

  // Only information this component handed out, and each only once: anything else would free
  // memory that is not ours.
  HRESULT STDMETHODCALLTYPE FreeComponentInfo(PVSSCOMPONENTINFO info) override {
    for (auto it = issued_.begin(); it != issued_.end(); ++it) {
      if (*it == info) {
        DeleteComponentInfo(*it);
        issued_.erase(it);
        return S_OK;
      }
    }
    return E_INVALIDARG;
  }

  HRESULT STDMETHODCALLTYPE GetFile(UINT index, IVssWMFiledesc** out) override {
    return HandOutFile(component_.files, index, out);
  }
  HRESULT STDMETHODCALLTYPE GetDatabaseFile(UINT index, IVssWMFiledesc** out) override {
    return HandOutFile(component_.databases, index, out);
  }
  HRESULT STDMETHODCALLTYPE GetDatabaseLogFile(UINT index, IVssWMFiledesc** out) override {
    return HandOutFile(component_.logs, index, out);
  }
  HRESULT STDMETHODCALLTYPE GetDependency(UINT index, IVssWMDependency** out) override {
    if (!out) return E_INVALIDARG;
    *out = nullptr;
    if (index >= component_.dependencies.size()) return VSS_E_OBJECT_NOT_FOUND;
    *out = new Dependency(component_.dependencies[index]);
    return S_OK;
  }

 private:
  const std::shared_ptr<const MachineWriter> writer_;
  const MachineComponent& component_;
  std::vector<VSS_COMPONENTINFO*> issued_;
};

class ExamineWriterMetadata : public SimComObject<IVssExamineWriterMetadata> {
 public:
  explicit ExamineWriterMetadata(const MachineWriter& writer)
      : writer_(std::make_shared<const MachineWriter>(writer)) {}

  HRESULT STDMETHODCALLTYPE GetIdentity(VSS_ID* instance, VSS_ID* writer_id, BSTR* name,
                                        VSS_USAGE_TYPE* usage, VSS_SOURCE_TYPE* source) override {
    if (!instance || !writer_id || !name || !usage || !source) return E_INVALIDARG;
    *instance = writer_->instance_id;
    *writer_id = writer_->class_id;
    *name = NewBstr(writer_->name);
    *usage = writer_->usage;
    *source = writer_->source;
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE GetFileCounts(UINT* include, UINT* exclude, UINT* components) override {
    if (!include || !exclude || !components) return E_INVALIDARG;
    *include = static_cast<UINT>(writer_->include_files.size());
    *exclude = static_cast<UINT>(writer_->excluded_files.size());
    *components = static_cast<UINT>(writer_->components.size());
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE GetIncludeFile(UINT index, IVssWMFiledesc** out) override {
    return HandOutFile(writer_->include_files, index, out);
  }
  HRESULT STDMETHODCALLTYPE GetExcludeFile(UINT index, IVssWMFiledesc** out) override {
    return HandOutFile(writer_->excluded_files, index, out);
  }

  HRESULT STDMETHODCALLTYPE GetComponent(UINT index, IVssWMComponent** out) override {
    if (!out) return E_INVALIDARG;
    *out = nullptr;
    if (index >= writer_->components.size()) return VSS_E_OBJECT_NOT_FOUND;
    *out = new WMComponent(writer_, index);
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE GetRestoreMethod(VSS_RESTOREMETHOD_ENUM* method, BSTR* service,
                                             BSTR* user_procedure, VSS_WRITERRESTORE_ENUM* writer_restore,
                                             boolean* reboot_required, UINT* mappings) override {
    if (!method || !service || !user_procedure || !writer_restore || !reboot_required || !mappings)
      return E_INVALIDARG;
    const MachineRestoreMethod& r = writer_->restore;
    *method = r.method;
    *service = NewBstr(r.service_name);
    *user_procedure = NewBstr(r.user_procedure);
    *writer_restore = r.writer_restore;
    *reboot_required = r.reboot_required;
    *mappings = static_cast<UINT>(r.alternate_mappings.size());
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE GetAlternateLocationMapping(UINT index, IVssWMFiledesc** out) override {
    return HandOutFile(writer_->restore.alternate_mappings, index, out);
  }

  HRESULT STDMETHODCALLTYPE GetBackupSchema(DWORD* out) override {
    return Give(out, writer_->backup_schema);
  }

  HRESULT STDMETHODCALLTYPE GetDocument(IXMLDOMDocument** out) override {
    if (!out) return E_INVALIDARG;
    *out = nullptr;
    std::wstring xml;
    HRESULT hr = WriterMetadataToXml(*writer_, &xml);
    XmlDocument document;
    if (SUCCEEDED(hr)) hr = document.Parse(xml.c_str());
    if (FAILED(hr)) return hr;
    *out = document.get();
    (*out)->AddRef();
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE SaveAsXML(BSTR* out) override {
    if (!out) return E_INVALIDARG;
    *out = nullptr;
    std::wstring xml;
    HRESULT hr = WriterMetadataToXml(*writer_, &xml);
    if (FAILED(hr)) return hr;
    *out = NewBstr(xml);
    return *out ? S_OK : E_OUTOFMEMORY;
  }

  // Components handed out before keep the writer they were made from. Text that is no XML at
  // all could not be loaded (S_FALSE); XML that is no writer metadata is an invalid document.
  HRESULT STDMETHODCALLTYPE LoadFromXML(BSTR xml) override {
    if (!xml) return E_INVALIDARG;
    XmlDocument document;
    if (FAILED(document.Parse(xml))) return S_FALSE;
    MachineWriter writer;
    HRESULT hr = WriterMetadataFromXml(xml, &writer);
    if (FAILED(hr)) return hr;
    writer_ = std::make_shared<const MachineWriter>(std::move(writer));
    return S_OK;
  }

 private:
  std::shared_ptr<const MachineWriter> writer_;
};

}  // namespace

HRESULT CreateWriterMetadata(const MachineWriter& writer, IVssExamineWriterMetadata** out) {
  if (!out) return E_INVALIDARG;
  *out = new ExamineWriterMetadata(writer);
  return S_OK;
}

HRESULT WriterMetadataToXml(const MachineWriter& writer, std::wstring* xml) {
  if (!xml) return E_INVALIDARG;
  XmlDocument document;
  HRESULT hr = document.Create(kDocumentRoot);
  if (FAILED(hr)) return hr;
  XmlElement root = document.Root();
  WriteWriterElement(root, writer, WriterParts::kMetadataOnly);
  return document.Serialize(xml);
}

HRESULT WriterMetadataFromXml(const wchar_t* xml, MachineWriter* out) {
  if (!xml || !out) return E_INVALIDARG;
  XmlDocument document;
  HRESULT hr = document.Parse(xml);
  if (FAILED(hr)) return hr;
  XmlElement root = document.Root();
  if (root.Name() != kDocumentRoot) return VSS_E_INVALID_XML_DOCUMENT;
  return ReadWriterElement(root, WriterParts::kMetadataOnly, out, nullptr);
}

extern "C" HRESULT SimCreateExamineWriterMetadata(BSTR xml, IVssExamineWriterMetadata** out) {
  if (!out) return E_INVALIDARG;
  *out = nullptr;
  if (!xml) return E_INVALIDARG;
  MachineWriter writer;
  HRESULT hr = WriterMetadataFromXml(xml, &writer);
  if (FAILED(hr)) return hr;
  return CreateWriterMetadata(writer, out);
}
