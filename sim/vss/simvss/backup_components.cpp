#include "backup_components.h"

#include <vsserror.h>

#include "async.h"
#include "com_object.h"
#include "component_views.h"
#include "components_document.h"
#include "enum_snapshots.h"
#include "journal.h"
#include "snapshot.h"
#include "writer_metadata.h"

namespace {

LONG g_next_object_no = 0;

std::wstring Expand(const std::wstring& text) {
  DWORD n = ExpandEnvironmentStringsW(text.c_str(), nullptr, 0);
  if (n == 0) return text;
  std::wstring out(n, L'\0');
  ExpandEnvironmentStringsW(text.c_str(), &out[0], n);
  out.resize(n - 1);
  return out;
}

// Everything the machine's writers name, as it stands on the live volumes.
std::vector<SnapshotSource> SnapshotSources(const Machine& machine) {
  std::vector<SnapshotSource> sources;
  auto add = [&](const std::wstring& path, const std::wstring& spec, bool recursive) {
    sources.push_back({Expand(path), spec, recursive});
  };
  auto add_files = [&](const std::vector<MachineFile>& files) {
    for (const MachineFile& file : files) {
      add(file.path, file.filespec, file.recursive);
      if (file.alternate_location) add(*file.alternate_location, file.filespec, file.recursive);
    }
  };
  for (const MachineWriter& writer : machine.writers) {
    for (const MachineComponent& component : writer.components) {
      add_files(component.files);
      add_files(component.databases);
      add_files(component.logs);
      for (const MachineDifferencedFile& file : component.differenced_files)
        add(file.path, file.filespec, file.recursive);
      for (const MachinePartialFile& file : component.partial_files) add(file.path, file.filename, false);
    }
    add_files(writer.excluded_files);
  }
  return sources;
}

bool ValidBackupType(VSS_BACKUP_TYPE type) { return type >= VSS_BT_UNDEFINED && type <= VSS_BT_OTHER; }
bool ValidComponentType(VSS_COMPONENT_TYPE type) { return type == VSS_CT_DATABASE || type == VSS_CT_FILEGROUP; }

struct SnapshotVolume {
  VSS_ID snapshot_id;
  std::wstring volume_name;
  std::wstring mount_point;
};

struct WriterStatus {
  VSS_ID instance_id;
  VSS_ID class_id;
  std::wstring name;
  VSS_WRITER_STATE state;
  HRESULT failure;
};

class SimBackupComponents : public SimComObject<IVssBackupComponents> {
 public:
  explicit SimBackupComponents(std::shared_ptr<const Machine> machine)
      : machine_(std::move(machine)), no_(InterlockedIncrement(&g_next_object_no)) {
    Log("CreateVssBackupComponents").Result(S_OK);
  }

  ~SimBackupComponents() override {
    FreeMetadata();
    if (!(context_ & VSS_VOLSNAP_ATTR_NO_AUTO_RELEASE)) {
      LONG deleted = DeleteOwnSnapshots();
      if (deleted > 0) Log("ReleaseSnapshots").Number(deleted).Result(S_OK);
    }
  }

  LONG ObjectNo() const { return no_; }

  // Documents.

  HRESULT STDMETHODCALLTYPE GetWriterComponentsCount(UINT* count) override {
    if (!count) return E_INVALIDARG;
    if (!DocumentReadable()) return VSS_E_BAD_STATE;
    *count = static_cast<UINT>(doc_.writers.size());
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE GetWriterComponents(UINT index, IVssWriterComponentsExt** out) override {
    if (!out) return E_INVALIDARG;
    *out = nullptr;
    if (!DocumentReadable()) return VSS_E_BAD_STATE;
    if (index >= doc_.writers.size()) return E_INVALIDARG;
    return CreateWriterComponentsView(doc_.writers[index], out);
  }

  HRESULT STDMETHODCALLTYPE SaveAsXML(BSTR* xml) override {
    if (!xml) return E_INVALIDARG;
    *xml = nullptr;
    if (!DocumentReadable()) return VSS_E_BAD_STATE;
    return SaveBackupDocument(doc_, xml);
  }

  // Initialisation.

  HRESULT STDMETHODCALLTYPE InitializeForBackup(BSTR xml) override {
    auto line = Log("InitializeForBackup").Text(xml ? L"<document>" : nullptr);
    if (mode_ != Mode::none) return line.Result(VSS_E_BAD_STATE);
    if (xml) {
      HRESULT hr = LoadBackupDocument(xml, &doc_);
      if (FAILED(hr)) return line.Result(hr);
    }
    mode_ = Mode::backup;
    return line.Result(S_OK);
  }

  HRESULT STDMETHODCALLTYPE InitializeForRestore(BSTR xml) override {
    auto line = Log("InitializeForRestore").Text(xml ? L"<document>" : nullptr);
    if (!xml) return line.Result(E_INVALIDARG);
    if (mode_ != Mode::none) return line.Result(VSS_E_BAD_STATE);
    HRESULT hr = LoadBackupDocument(xml, &doc_);
    if (FAILED(hr)) return line.Result(hr);
    mode_ = Mode::restore;
    return line.Result(S_OK);
  }

  HRESULT STDMETHODCALLTYPE SetContext(LONG context) override {
    auto line = Log("SetContext").Number(context);
    if (mode_ != Mode::backup || gathered_ || set_started_) return line.Result(VSS_E_BAD_STATE);
    switch (context) {
      case VSS_CTX_BACKUP: case VSS_CTX_FILE_SHARE_BACKUP: case VSS_CTX_NAS_ROLLBACK:
      case VSS_CTX_APP_ROLLBACK: case VSS_CTX_CLIENT_ACCESSIBLE: case VSS_CTX_CLIENT_ACCESSIBLE_WRITERS:
        context_ = context;
        return line.Result(S_OK);
      default:
        return line.Result(E_INVALIDARG);
    }
  }

  HRESULT STDMETHODCALLTYPE SetBackupState(boolean select_components, boolean bootable_system_state,
                                           VSS_BACKUP_TYPE type, boolean partial_file_support) override {
    auto line = Log("SetBackupState").Bool(select_components).Bool(bootable_system_state).Number(type)
                    .Bool(partial_file_support);
    if (mode_ != Mode::backup || prepared_) return line.Result(VSS_E_BAD_STATE);
    if (!ValidBackupType(type)) return line.Result(E_INVALIDARG);
    doc_.select_components = select_components;
    doc_.bootable_system_state = bootable_system_state;
    doc_.backup_type = type;
    doc_.partial_file_support = partial_file_support;
    backup_state_set_ = true;
    return line.Result(S_OK);
  }

  HRESULT STDMETHODCALLTYPE SetRestoreState(VSS_RESTORE_TYPE type) override {
    auto line = Log("SetRestoreState").Number(type);
    if (mode_ != Mode::restore || pre_restored_) return line.Result(VSS_E_BAD_STATE);
    if (type < VSS_RTYPE_UNDEFINED || type > VSS_RTYPE_OTHER) return line.Result(E_INVALIDARG);
    return line.Result(S_OK);
  }

  // Writer metadata.

  HRESULT STDMETHODCALLTYPE GatherWriterMetadata(IVssAsync** async) override {
    auto line = Log("GatherWriterMetadata");
    if (!async) return line.Result(E_INVALIDARG);
    *async = nullptr;
    if (mode_ == Mode::none || gathered_) return line.Result(VSS_E_BAD_STATE);
    for (const MachineWriter& writer : machine_->writers) {
      IVssExamineWriterMetadata* metadata = nullptr;
      HRESULT hr = CreateWriterMetadata(writer, &metadata);
      if (FAILED(hr)) {
        FreeMetadata();
        return line.Result(hr);
      }
      metadata_.push_back(metadata);
    }
    gathered_ = true;
    return line.Result(Finish(async));
  }

  HRESULT STDMETHODCALLTYPE GetWriterMetadataCount(UINT* count) override {
    if (!count) return E_INVALIDARG;
    if (!MetadataReadable()) return VSS_E_BAD_STATE;
    *count = static_cast<UINT>(metadata_.size());
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE GetWriterMetadata(UINT index, VSS_ID* instance,
                                              IVssExamineWriterMetadata** out) override {
    if (!instance || !out) return E_INVALIDARG;
    *out = nullptr;
    if (!MetadataReadable()) return VSS_E_BAD_STATE;
    if (index >= metadata_.size()) return E_INVALIDARG;
    *instance = machine_->writers[index].instance_id;
    *out = metadata_[index];
    (*out)->AddRef();
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE FreeWriterMetadata() override {
    auto line = Log("FreeWriterMetadata");
    if (!MetadataReadable()) return line.Result(VSS_E_BAD_STATE);
    FreeMetadata();
    metadata_freed_ = true;
    return line.Result(S_OK);
  }

  // Components of a backup.

  HRESULT STDMETHODCALLTYPE AddComponent(VSS_ID instance, VSS_ID writer_class, VSS_COMPONENT_TYPE type,
                                         LPCWSTR logical_path, LPCWSTR name) override {
    auto line = Log("AddComponent").Guid(instance).Guid(writer_class).Number(type).Text(logical_path).Text(name);
    if (!name || !ValidComponentType(type)) return line.Result(E_INVALIDARG);
    if (mode_ != Mode::backup || !gathered_ || !backup_state_set_ || prepared_) return line.Result(VSS_E_BAD_STATE);
    const MachineWriter* writer = FindWriterByInstance(*machine_, instance);
    if (!writer || !IsEqualGUID(writer->class_id, writer_class)) return line.Result(VSS_E_OBJECT_NOT_FOUND);
    const MachineComponent* component = FindComponent(*writer, logical_path, name);
    if (!component || component->type != type) return line.Result(VSS_E_OBJECT_NOT_FOUND);
    std::shared_ptr<DocWriter> doc_writer = FindDocWriterByInstance(doc_, instance);
    if (doc_writer && FindDocComponent(*doc_writer, logical_path, name)) {
      return line.Result(VSS_E_OBJECT_ALREADY_EXISTS);
    }
    if (!doc_writer) {
      doc_writer = std::make_shared<DocWriter>();
      doc_writer->instance_id = writer->instance_id;
      doc_writer->class_id = writer->class_id;
      doc_writer->name = writer->name;
      doc_.writers.push_back(doc_writer);
    }
    auto added = std::make_shared<DocComponent>();
    added->type = component->type;
    added->logical_path = component->logical_path;
    added->name = component->name;
    doc_writer->components.push_back(added);
    return line.Result(S_OK);
  }

  HRESULT STDMETHODCALLTYPE SetPreviousBackupStamp(VSS_ID writer_class, VSS_COMPONENT_TYPE type,
                                                   LPCWSTR logical_path, LPCWSTR name, LPCWSTR stamp) override {
    auto line = Log("SetPreviousBackupStamp").Guid(writer_class).Number(type).Text(logical_path).Text(name)
                    .Text(stamp);
    return line.Result(UpdateBackupComponent(writer_class, type, logical_path, name, stamp,
                                             &DocComponent::previous_backup_stamp));
  }

  HRESULT STDMETHODCALLTYPE SetBackupOptions(VSS_ID writer_class, VSS_COMPONENT_TYPE type, LPCWSTR logical_path,
                                             LPCWSTR name, LPCWSTR options) override {
    auto line = Log("SetBackupOptions").Guid(writer_class).Number(type).Text(logical_path).Text(name)
                    .Text(options);
    return line.Result(UpdateBackupComponent(writer_class, type, logical_path, name, options,
                                             &DocComponent::backup_options));
  }

  // Snapshots.

  HRESULT STDMETHODCALLTYPE StartSnapshotSet(VSS_ID* set_id) override {
    auto line = Log("StartSnapshotSet");
    if (!set_id) return line.Result(E_INVALIDARG);
    if (mode_ != Mode::backup) return line.Result(VSS_E_BAD_STATE);
    if (set_started_) return line.Result(VSS_E_SNAPSHOT_SET_IN_PROGRESS);
    CoCreateGuid(&doc_.snapshot_set_id);
    set_started_ = true;
    *set_id = doc_.snapshot_set_id;
    return line.Result(S_OK);
  }

  HRESULT STDMETHODCALLTYPE AddToSnapshotSet(VSS_PWSZ volume, VSS_ID provider, VSS_ID* snapshot_id) override {
    auto line = Log("AddToSnapshotSet").Text(volume).Guid(provider);
    if (!volume || !snapshot_id) return line.Result(E_INVALIDARG);
    if (mode_ != Mode::backup || !set_started_ || snapshot_done_) return line.Result(VSS_E_BAD_STATE);
    if (!IsEqualGUID(provider, GUID_NULL) && !IsEqualGUID(provider, kSimProviderId))
      return line.Result(VSS_E_PROVIDER_NOT_REGISTERED);
    SnapshotVolume entry;
    HRESULT hr = ResolveVolume(volume, &entry.volume_name, &entry.mount_point);
    if (FAILED(hr)) return line.Result(hr);
    for (const SnapshotVolume& other : volumes_)
      if (other.volume_name == entry.volume_name) return line.Result(VSS_E_OBJECT_ALREADY_EXISTS);
    CoCreateGuid(&entry.snapshot_id);
    volumes_.push_back(entry);
    *snapshot_id = entry.snapshot_id;
    return line.Result(S_OK);
  }

  HRESULT STDMETHODCALLTYPE PrepareForBackup(IVssAsync** async) override {
    auto line = Log("PrepareForBackup");
    if (!async) return line.Result(E_INVALIDARG);
    *async = nullptr;
    if (mode_ != Mode::backup || !gathered_ || !backup_state_set_ || prepared_) return line.Result(VSS_E_BAD_STATE);
    prepared_ = true;
    return line.Result(Finish(async));
  }

  HRESULT STDMETHODCALLTYPE DoSnapshotSet(IVssAsync** async) override {
    auto line = Log("DoSnapshotSet");
    if (!async) return line.Result(E_INVALIDARG);
    *async = nullptr;
    if (mode_ != Mode::backup || !prepared_ || !set_started_ || volumes_.empty() || snapshot_done_)
      return line.Result(VSS_E_BAD_STATE);
    HRESULT outcome = TakeSnapshots();
    if (SUCCEEDED(outcome)) {
      snapshot_done_ = true;
      RecordBackupResults();
    }
    HRESULT hr = CreateSimAsync(SUCCEEDED(outcome) ? VSS_S_ASYNC_FINISHED : outcome, machine_->pending_polls, async);
    return line.Result(hr);
  }

  HRESULT STDMETHODCALLTYPE DeleteSnapshots(VSS_ID source, VSS_OBJECT_TYPE type, WINBOOL force, LONG* deleted,
                                            VSS_ID* not_deleted) override {
    auto line = Log("DeleteSnapshots").Guid(source).Number(type).Bool(force);
    if (!deleted || !not_deleted) return line.Result(E_INVALIDARG);
    *deleted = 0;
    *not_deleted = GUID_NULL;
    if (type != VSS_OBJECT_SNAPSHOT_SET && type != VSS_OBJECT_SNAPSHOT) return line.Result(E_INVALIDARG);
    for (const SnapshotRecord& record : ListSnapshots()) {
      const VSS_ID& key = type == VSS_OBJECT_SNAPSHOT ? record.snapshot_id : record.set_id;
      if (IsEqualGUID(key, source) && DeleteSnapshot(record.snapshot_id)) ++*deleted;
    }
    return line.Result(*deleted > 0 ? S_OK : VSS_E_OBJECT_NOT_FOUND);
  }

  HRESULT STDMETHODCALLTYPE GetSnapshotProperties(VSS_ID snapshot_id, VSS_SNAPSHOT_PROP* prop) override {
    if (!prop) return E_INVALIDARG;
    SnapshotRecord record;
    if (!FindSnapshot(snapshot_id, &record)) return VSS_E_OBJECT_NOT_FOUND;
    return FillSnapshotProp(record, prop);
  }

  HRESULT STDMETHODCALLTYPE Query(VSS_ID queried, VSS_OBJECT_TYPE queried_type, VSS_OBJECT_TYPE returned_type,
                                  IVssEnumObject** out) override {
    if (!out) return E_INVALIDARG;
    *out = nullptr;
    if (!IsEqualGUID(queried, GUID_NULL) || queried_type != VSS_OBJECT_NONE || returned_type != VSS_OBJECT_SNAPSHOT)
      return E_INVALIDARG;
    return CreateSnapshotEnum(ListSnapshots(), out);
  }

  HRESULT STDMETHODCALLTYPE IsVolumeSupported(VSS_ID provider, VSS_PWSZ volume, WINBOOL* supported) override {
    if (!volume || !supported) return E_INVALIDARG;
    *supported = FALSE;
    if (!IsEqualGUID(provider, GUID_NULL) && !IsEqualGUID(provider, kSimProviderId))
      return VSS_E_PROVIDER_NOT_REGISTERED;
    std::wstring name, mount;
    HRESULT hr = ResolveVolume(volume, &name, &mount);
    if (FAILED(hr)) return hr;
    *supported = TRUE;
    return S_OK;
  }

  // After the snapshot.

  HRESULT STDMETHODCALLTYPE GatherWriterStatus(IVssAsync** async) override {
    auto line = Log("GatherWriterStatus");
    if (!async) return line.Result(E_INVALIDARG);
    *async = nullptr;
    if (mode_ == Mode::none || !gathered_) return line.Result(VSS_E_BAD_STATE);
    statuses_.clear();
    for (const MachineWriter& writer : machine_->writers) {
      bool after_snapshot = mode_ == Mode::backup && snapshot_done_;
      statuses_.push_back({writer.instance_id, writer.class_id, writer.name,
                           after_snapshot ? writer.state_after_snapshot : VSS_WS_STABLE,
                           after_snapshot ? writer.failure_after_snapshot : S_OK});
    }
    status_gathered_ = true;
    return line.Result(Finish(async));
  }

  HRESULT STDMETHODCALLTYPE GetWriterStatusCount(UINT* count) override {
    if (!count) return E_INVALIDARG;
    if (!status_gathered_) return VSS_E_BAD_STATE;
    *count = static_cast<UINT>(statuses_.size());
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE FreeWriterStatus() override {
    auto line = Log("FreeWriterStatus");
    if (!status_gathered_) return line.Result(VSS_E_BAD_STATE);
    statuses_.clear();
    status_gathered_ = false;
    return line.Result(S_OK);
  }

  HRESULT STDMETHODCALLTYPE GetWriterStatus(UINT index, VSS_ID* instance, VSS_ID* writer_class, BSTR* name,
                                            VSS_WRITER_STATE* state, HRESULT* failure) override {
    if (!instance || !writer_class || !name || !state || !failure) return E_INVALIDARG;
    *name = nullptr;
    if (!status_gathered_) return VSS_E_BAD_STATE;
    if (index >= statuses_.size()) return E_INVALIDARG;
    const WriterStatus& status = statuses_[index];
    *name = SysAllocString(status.name.c_str());
    if (!*name) return E_OUTOFMEMORY;
    *instance = status.instance_id;
    *writer_class = status.class_id;
    *state = status.state;
    *failure = status.failure;
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE SetBackupSucceeded(VSS_ID instance, VSS_ID writer_class, VSS_COMPONENT_TYPE type,
                                               LPCWSTR logical_path, LPCWSTR name, boolean succeeded) override {
    auto line = Log("SetBackupSucceeded").Guid(instance).Guid(writer_class).Number(type).Text(logical_path)
                    .Text(name).Bool(succeeded);
    if (!name || !ValidComponentType(type)) return line.Result(E_INVALIDARG);
    if (mode_ != Mode::backup || !snapshot_done_ || completed_) return line.Result(VSS_E_BAD_STATE);
    std::shared_ptr<DocWriter> writer = FindDocWriterByInstance(doc_, instance);
    if (!writer || !IsEqualGUID(writer->class_id, writer_class)) return line.Result(VSS_E_OBJECT_NOT_FOUND);
    std::shared_ptr<DocComponent> component = FindDocComponent(*writer, logical_path, name);
    if (!component || component->type != type) return line.Result(VSS_E_OBJECT_NOT_FOUND);
    component->backup_succeeded = succeeded;
    return line.Result(S_OK);
  }

  HRESULT STDMETHODCALLTYPE BackupComplete(IVssAsync** async) override {
    auto line = Log("BackupComplete");
    if (!async) return line.Result(E_INVALIDARG);
    *async = nullptr;
    if (mode_ != Mode::backup || !snapshot_done_ || completed_) return line.Result(VSS_E_BAD_STATE);
    completed_ = true;
    return line.Result(Finish(async));
  }

  HRESULT STDMETHODCALLTYPE AbortBackup() override {
    auto line = Log("AbortBackup");
    if (mode_ != Mode::backup || completed_) return line.Result(VSS_E_BAD_STATE);
    DeleteOwnSnapshots();
    mode_ = Mode::aborted;
    return line.Result(S_OK);
  }

  // Restore.

  HRESULT STDMETHODCALLTYPE SetSelectedForRestore(VSS_ID writer_class, VSS_COMPONENT_TYPE type, LPCWSTR logical_path,
                                                  LPCWSTR name, boolean selected) override {
    auto line = Log("SetSelectedForRestore").Guid(writer_class).Number(type).Text(logical_path).Text(name)
                    .Bool(selected);
    return line.Result(UpdateRestoreComponent(writer_class, type, logical_path, name,
                                              &DocComponent::selected_for_restore, selected != 0));
  }

  HRESULT STDMETHODCALLTYPE SetAdditionalRestores(VSS_ID writer_class, VSS_COMPONENT_TYPE type, LPCWSTR logical_path,
                                                  LPCWSTR name, boolean additional) override {
    auto line = Log("SetAdditionalRestores").Guid(writer_class).Number(type).Text(logical_path).Text(name)
                    .Bool(additional);
    return line.Result(UpdateRestoreComponent(writer_class, type, logical_path, name,
                                              &DocComponent::additional_restores, additional != 0));
  }

  HRESULT STDMETHODCALLTYPE SetRestoreOptions(VSS_ID writer_class, VSS_COMPONENT_TYPE type, LPCWSTR logical_path,
                                              LPCWSTR name, LPCWSTR options) override {
    auto line = Log("SetRestoreOptions").Guid(writer_class).Number(type).Text(logical_path).Text(name)
                    .Text(options);
    if (!options) return line.Result(E_INVALIDARG);
    return line.Result(UpdateRestoreComponent(writer_class, type, logical_path, name, &DocComponent::restore_options,
                                              std::optional<std::wstring>(options)));
  }

  HRESULT STDMETHODCALLTYPE PreRestore(IVssAsync** async) override {
    auto line = Log("PreRestore");
    if (!async) return line.Result(E_INVALIDARG);
    *async = nullptr;
    if (mode_ != Mode::restore || !gathered_ || pre_restored_) return line.Result(VSS_E_BAD_STATE);
    pre_restored_ = true;
    return line.Result(Finish(async));
  }

  HRESULT STDMETHODCALLTYPE SetFileRestoreStatus(VSS_ID writer_class, VSS_COMPONENT_TYPE type, LPCWSTR logical_path,
                                                 LPCWSTR name, VSS_FILE_RESTORE_STATUS status) override {
    auto line = Log("SetFileRestoreStatus").Guid(writer_class).Number(type).Text(logical_path).Text(name)
                    .Number(status);
    if (!name || !ValidComponentType(type) || status < VSS_RS_UNDEFINED || status > VSS_RS_FAILED)
      return line.Result(E_INVALIDARG);
    if (mode_ != Mode::restore || !pre_restored_ || post_restored_) return line.Result(VSS_E_BAD_STATE);
    std::shared_ptr<DocComponent> component = FindDocComponentByClass(doc_, writer_class, logical_path, name);
    if (!component || component->type != type) return line.Result(VSS_E_OBJECT_NOT_FOUND);
    component->file_restore_status = status;
    return line.Result(S_OK);
  }

  HRESULT STDMETHODCALLTYPE PostRestore(IVssAsync** async) override {
    auto line = Log("PostRestore");
    if (!async) return line.Result(E_INVALIDARG);
    *async = nullptr;
    if (mode_ != Mode::restore || !pre_restored_ || post_restored_) return line.Result(VSS_E_BAD_STATE);
    post_restored_ = true;
    return line.Result(Finish(async));
  }

  // Calls no requester of this system makes.

  HRESULT STDMETHODCALLTYPE AddAlternativeLocationMapping(VSS_ID, VSS_COMPONENT_TYPE, LPCWSTR, LPCWSTR, LPCWSTR,
                                                          LPCWSTR, boolean, LPCWSTR) override {
    return NotImplemented("AddAlternativeLocationMapping");
  }
  HRESULT STDMETHODCALLTYPE AddRestoreSubcomponent(VSS_ID, VSS_COMPONENT_TYPE, LPCWSTR, LPCWSTR, LPCWSTR, LPCWSTR,
                                                   boolean) override {
    return NotImplemented("AddRestoreSubcomponent");
  }
  HRESULT STDMETHODCALLTYPE AddNewTarget(VSS_ID, VSS_COMPONENT_TYPE, LPCWSTR, LPCWSTR, LPCWSTR, LPCWSTR, boolean,
                                         LPCWSTR) override {
    return NotImplemented("AddNewTarget");
  }
  HRESULT STDMETHODCALLTYPE SetRangesFilePath(VSS_ID, VSS_COMPONENT_TYPE, LPCWSTR, LPCWSTR, UINT, LPCWSTR) override {
    return NotImplemented("SetRangesFilePath");
  }
  HRESULT STDMETHODCALLTYPE ImportSnapshots(IVssAsync** async) override {
    if (async) *async = nullptr;
    return NotImplemented("ImportSnapshots");
  }
  HRESULT STDMETHODCALLTYPE BreakSnapshotSet(VSS_ID) override { return NotImplemented("BreakSnapshotSet"); }
  HRESULT STDMETHODCALLTYPE DisableWriterClasses(const VSS_ID*, UINT) override {
    return NotImplemented("DisableWriterClasses");
  }
  HRESULT STDMETHODCALLTYPE EnableWriterClasses(const VSS_ID*, UINT) override {
    return NotImplemented("EnableWriterClasses");
  }
  HRESULT STDMETHODCALLTYPE DisableWriterInstances(const VSS_ID*, UINT) override {
    return NotImplemented("DisableWriterInstances");
  }
  HRESULT STDMETHODCALLTYPE ExposeSnapshot(VSS_ID, VSS_PWSZ, LONG, VSS_PWSZ, VSS_PWSZ* exposed) override {
    if (exposed) *exposed = nullptr;
    return NotImplemented("ExposeSnapshot");
  }
  HRESULT STDMETHODCALLTYPE RevertToSnapshot(VSS_ID, WINBOOL) override { return NotImplemented("RevertToSnapshot"); }
  HRESULT STDMETHODCALLTYPE QueryRevertStatus(VSS_PWSZ, IVssAsync** async) override {
    if (async) *async = nullptr;
    return NotImplemented("QueryRevertStatus");
  }

 private:
  enum class Mode { none, backup, restore, aborted };

  JournalLine Log(const char* call) const { return JournalLine(no_, call); }

  HRESULT NotImplemented(const char* call) { return Log(call).Result(E_NOTIMPL); }

  // Every operation is done when it is started; the async object only reports it.
  HRESULT Finish(IVssAsync** async) { return CreateSimAsync(VSS_S_ASYNC_FINISHED, machine_->pending_polls, async); }

  bool MetadataReadable() const { return gathered_ && !metadata_freed_; }

  bool DocumentReadable() const {
    return (mode_ == Mode::backup && prepared_) || mode_ == Mode::restore;
  }

  void FreeMetadata() {
    for (IVssExamineWriterMetadata* metadata : metadata_) metadata->Release();
    metadata_.clear();
  }

  HRESULT UpdateBackupComponent(const VSS_ID& writer_class, VSS_COMPONENT_TYPE type, LPCWSTR logical_path,
                                LPCWSTR name, LPCWSTR value, std::optional<std::wstring> DocComponent::*field) {
    if (!name || !value || !ValidComponentType(type)) return E_INVALIDARG;
    if (mode_ != Mode::backup || prepared_) return VSS_E_BAD_STATE;
    std::shared_ptr<DocComponent> component = FindDocComponentByClass(doc_, writer_class, logical_path, name);
    if (!component || component->type != type) return VSS_E_OBJECT_NOT_FOUND;
    (*component).*field = std::wstring(value);
    return S_OK;
  }

  // The selections a requester makes before PreRestore.
  template <class T>
  HRESULT UpdateRestoreComponent(const VSS_ID& writer_class, VSS_COMPONENT_TYPE type, LPCWSTR logical_path,
                                 LPCWSTR name, T DocComponent::*field, const T& value) {
    if (!name || !ValidComponentType(type)) return E_INVALIDARG;
    if (mode_ != Mode::restore || pre_restored_) return VSS_E_BAD_STATE;
    std::shared_ptr<DocComponent> component = FindDocComponentByClass(doc_, writer_class, logical_path, name);
    if (!component || component->type != type) return VSS_E_OBJECT_NOT_FOUND;
    (*component).*field = value;
    return S_OK;
  }

  // Copies each volume of the set; on failure nothing of the set is left.
  HRESULT TakeSnapshots() {
    std::vector<SnapshotSource> sources = SnapshotSources(*machine_);
    std::vector<SnapshotRecord> made;
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    HRESULT hr = S_OK;
    for (const SnapshotVolume& volume : volumes_) {
      SnapshotRecord record;
      record.snapshot_id = volume.snapshot_id;
      record.set_id = doc_.snapshot_set_id;
      record.set_count = static_cast<LONG>(volumes_.size());
      record.original_volume = volume.volume_name;
      record.mount_point = volume.mount_point;
      record.provider_id = kSimProviderId;
      record.attributes = context_;
      record.created = (static_cast<VSS_TIMESTAMP>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
      record.owner = no_;
      hr = MakeSnapshotFolder(&record.folder);
      if (FAILED(hr)) break;
      record.device = L"\\\\?\\" + record.folder;
      made.push_back(record);
      std::wstring failed_path;
      hr = CopyIntoSnapshot(volume.mount_point, sources, record.folder, &failed_path);
      if (FAILED(hr)) {
        Log("SnapshotCopyFailed").Text(failed_path.c_str()).Result(hr);
        hr = VSS_E_UNEXPECTED_PROVIDER_ERROR;
        break;
      }
    }
    if (FAILED(hr)) {
      for (const SnapshotRecord& record : made) RemoveSnapshotFolder(record.folder);
      return hr;
    }
    for (const SnapshotRecord& record : made) {
      RegisterSnapshot(record);
      own_snapshots_.push_back(record.snapshot_id);
    }
    return S_OK;
  }

  bool DeleteSnapshot(const VSS_ID& snapshot_id) {
    SnapshotRecord record;
    if (!UnregisterSnapshot(snapshot_id, &record)) return false;
    RemoveSnapshotFolder(record.folder);
    return true;
  }

  LONG DeleteOwnSnapshots() {
    LONG deleted = 0;
    for (const VSS_ID& id : own_snapshots_)
      if (DeleteSnapshot(id)) ++deleted;
    own_snapshots_.clear();
    return deleted;
  }

  // What the writers report for the added components once the snapshot exists.
  void RecordBackupResults() {
    for (const auto& writer : doc_.writers) {
      const MachineWriter* described = FindWriterByInstance(*machine_, writer->instance_id);
      if (!described) continue;
      for (const auto& component : writer->components) {
        const wchar_t* path = component->logical_path ? component->logical_path->c_str() : nullptr;
        const MachineComponent* source = FindComponent(*described, path, component->name.c_str());
        if (!source) continue;
        component->backup_stamp = source->backup_stamp;
        component->differenced_files = source->differenced_files;
        component->partial_files = source->partial_files;
      }
    }
  }

  std::shared_ptr<const Machine> machine_;
  const LONG no_;
  Mode mode_ = Mode::none;
  LONG context_ = VSS_CTX_BACKUP;
  bool backup_state_set_ = false;
  bool gathered_ = false;
  bool metadata_freed_ = false;
  bool set_started_ = false;
  bool prepared_ = false;
  bool snapshot_done_ = false;
  bool status_gathered_ = false;
  bool completed_ = false;
  bool pre_restored_ = false;
  bool post_restored_ = false;
  BackupDocument doc_;
  std::vector<IVssExamineWriterMetadata*> metadata_;
  std::vector<SnapshotVolume> volumes_;
  std::vector<WriterStatus> statuses_;
  std::vector<VSS_ID> own_snapshots_;
};

}  // namespace

HRESULT CreateSimBackupComponents(std::shared_ptr<const Machine> machine, IVssBackupComponents** out) {
  if (!out) return E_INVALIDARG;
  *out = new SimBackupComponents(machine ? std::move(machine) : std::make_shared<const Machine>());
  return S_OK;
}
