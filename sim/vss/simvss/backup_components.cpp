#include "backup_components.h"

#include <vsserror.h>

#include <cstring>
#include <functional>

#include "async.h"
#include "com_object.h"
#include "component_views.h"
#include "components_document.h"
#include "enum_snapshots.h"
#include "journal.h"
#include "snapshot.h"
#include "writer_memory.h"
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

// A writer as this object sees it running: the described writer under the instance id it has
// now, and its current state.
struct LiveWriter {
  const MachineWriter* described;
  VSS_ID instance_id;
  bool identified;  // answered Identify, so its metadata is listed
  VSS_WRITER_STATE state;
  HRESULT failure;
};

bool IsFailed(VSS_WRITER_STATE state) { return state >= VSS_WS_FAILED_AT_IDENTIFY; }

// A writer instance lives as long as its process: the one a restore meets is not the one that
// made the backup.
VSS_ID RestoreInstance(const VSS_ID& described) {
  VSS_ID id = described;
  id.Data1 = ~id.Data1;
  return id;
}

std::wstring LogicalPathOf(const MachineComponent& c) { return c.logical_path ? *c.logical_path : L""; }

std::wstring FullPath(const MachineComponent& c) {
  std::wstring path = LogicalPathOf(c);
  return path.empty() ? c.name : path + L"\\" + c.name;
}

// Logical paths name the components above: "A\B" lies below the component B of path A.
bool IsBelow(const MachineComponent& c, const MachineComponent& ancestor) {
  std::wstring path = LogicalPathOf(c), above = FullPath(ancestor);
  if (path.size() < above.size() || _wcsnicmp(path.c_str(), above.c_str(), above.size()) != 0) return false;
  return path.size() == above.size() || path[above.size()] == L'\\';
}

bool HasSelectableAncestor(const MachineWriter& writer, const MachineComponent& c) {
  for (const MachineComponent& other : writer.components)
    if (other.selectable && &other != &c && IsBelow(c, other)) return true;
  return false;
}

bool IsTopLevel(const MachineWriter& writer, const MachineComponent& c) {
  for (const MachineComponent& other : writer.components)
    if (&other != &c && IsBelow(c, other)) return false;
  return true;
}

// How misuse lines name a component.
std::wstring Quoted(const std::wstring& writer, const wchar_t* logical_path, const std::wstring& name) {
  std::wstring path = logical_path ? logical_path : L"";
  return L"component \"" + (path.empty() ? std::wstring() : path + L"\\") + name + L"\" of writer \"" + writer +
         L"\"";
}

const wchar_t* PathOf(const DocComponent& c) { return c.logical_path ? c.logical_path->c_str() : nullptr; }

const wchar_t* BackupTypeText(VSS_BACKUP_TYPE type) {
  switch (type) {
    case VSS_BT_INCREMENTAL: return L"incremental";
    case VSS_BT_DIFFERENTIAL: return L"differential";
    case VSS_BT_COPY: return L"copy";
    default: return L"full";
  }
}

bool SameComponent(const StampRecord& record, const VSS_ID& writer_class, const DocComponent& c) {
  return IsEqualGUID(record.writer_class, writer_class) && record.name == c.name &&
         SameLogicalPath(record.logical_path, PathOf(c));
}

// How a writer takes a component into a backup of `requested` type, as a writer keeping backup
// stamps does: incremental or differential only when its schema allows it and the requester's
// previous stamp is one it handed out for the component (for a differential, the stamp of the
// last full backup); anything else is a full backup of the component. `base` is when the backup
// the previous stamp names was taken.
VSS_BACKUP_TYPE KindOfBackup(const WriterMemory& memory, const MachineWriter& writer, const DocComponent& c,
                             VSS_BACKUP_TYPE requested, FILETIME* base) {
  if (requested == VSS_BT_COPY) return VSS_BT_COPY;
  bool incremental = requested == VSS_BT_INCREMENTAL && (writer.backup_schema & VSS_BS_INCREMENTAL);
  bool differential = requested == VSS_BT_DIFFERENTIAL && (writer.backup_schema & VSS_BS_DIFFERENTIAL);
  if ((!incremental && !differential) || !c.previous_backup_stamp) return VSS_BT_FULL;
  const StampRecord* match = nullptr;
  for (const StampRecord& record : memory.stamps) {
    if (!record.complete || !SameComponent(record, writer.class_id, c)) continue;
    if (differential && record.type == VSS_BT_FULL) match = &record;  // the last full
    if (incremental && record.type != VSS_BT_COPY && record.stamp == *c.previous_backup_stamp) match = &record;
  }
  if (!match || match->stamp != *c.previous_backup_stamp) return VSS_BT_FULL;
  *base = match->time;
  return requested;
}

enum Operation { kGatherMetadata, kGatherStatus, kPrepare, kSnapshot, kComplete, kPreRestore, kPostRestore,
                 kOperations };
const wchar_t* const kOperationNames[kOperations] = {L"GatherWriterMetadata", L"GatherWriterStatus",
                                                     L"PrepareForBackup",     L"DoSnapshotSet",
                                                     L"BackupComplete",       L"PreRestore",
                                                     L"PostRestore"};
// An operation not started, started but not yet seen to end by the requester, or seen to end.
enum class Progress { none, running, succeeded, failed };

class SimBackupComponents : public SimComObject<IVssBackupComponents> {
 public:
  explicit SimBackupComponents(std::shared_ptr<const Machine> machine)
      : machine_(std::move(machine)), no_(InterlockedIncrement(&g_next_object_no)),
        alive_(std::make_shared<SimBackupComponents*>(this)) {
    Log("CreateVssBackupComponents").Result(S_OK);
  }

  ~SimBackupComponents() override {
    *alive_ = nullptr;  // operations seen to end from now on change nothing
    FreeMetadata();
    ReleaseLocks();
    for (const SnapshotRecord& record : unpublished_) RemoveSnapshotFolder(record.folder);
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
    if (index >= doc_.writers.size()) return VSS_E_OBJECT_NOT_FOUND;
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
    if (mode_ != Mode::backup || Started(kGatherMetadata) || set_started_) return line.Result(VSS_E_BAD_STATE);
    switch (context) {
      case VSS_CTX_BACKUP: case VSS_CTX_FILE_SHARE_BACKUP: case VSS_CTX_NAS_ROLLBACK:
      case VSS_CTX_APP_ROLLBACK: case VSS_CTX_CLIENT_ACCESSIBLE: case VSS_CTX_CLIENT_ACCESSIBLE_WRITERS:
        context_ = context;
        context_set_ = true;
        return line.Result(S_OK);
      default:
        return line.Result(E_INVALIDARG);
    }
  }

  HRESULT STDMETHODCALLTYPE SetBackupState(boolean select_components, boolean bootable_system_state,
                                           VSS_BACKUP_TYPE type, boolean partial_file_support) override {
    auto line = Log("SetBackupState").Bool(select_components).Bool(bootable_system_state).Number(type)
                    .Bool(partial_file_support);
    if (mode_ != Mode::backup || Started(kPrepare)) return line.Result(VSS_E_BAD_STATE);
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
    if (mode_ != Mode::restore || Started(kPreRestore)) return line.Result(VSS_E_BAD_STATE);
    if (type < VSS_RTYPE_UNDEFINED || type > VSS_RTYPE_OTHER) return line.Result(E_INVALIDARG);
    return line.Result(S_OK);
  }

  // Writer metadata. Writers that fail Identify are left out; at a restore, writers the machine
  // declares absent are not running and the others run under new instance ids.

  HRESULT STDMETHODCALLTYPE GatherWriterMetadata(IVssAsync** async) override {
    auto line = Log("GatherWriterMetadata");
    if (!async) return line.Result(E_INVALIDARG);
    *async = nullptr;
    if (mode_ == Mode::none || Started(kGatherMetadata)) return line.Result(VSS_E_BAD_STATE);
    for (const MachineWriter& writer : machine_->writers) {
      if (mode_ == Mode::restore && writer.absent_at_restore) continue;
      LiveWriter live = {&writer, mode_ == Mode::restore ? RestoreInstance(writer.instance_id) : writer.instance_id,
                         !WriterFailsAt(writer, VSS_WS_FAILED_AT_IDENTIFY), VSS_WS_STABLE, S_OK};
      if (!live.identified) Fail(&live, VSS_WS_FAILED_AT_IDENTIFY);
      writers_.push_back(live);
      if (!live.identified) continue;
      MachineWriter running = writer;
      running.instance_id = live.instance_id;
      IVssExamineWriterMetadata* metadata = nullptr;
      HRESULT hr = CreateWriterMetadata(running, &metadata);
      if (FAILED(hr)) {
        FreeMetadata();
        writers_.clear();
        return line.Result(hr);
      }
      metadata_.push_back(metadata);
      metadata_instances_.push_back(live.instance_id);
    }
    return line.Result(Start(kGatherMetadata, async, [] {}));
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
    if (index >= metadata_.size()) return VSS_E_OBJECT_NOT_FOUND;
    *instance = metadata_instances_[index];
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
    if (mode_ != Mode::backup || !Succeeded(kGatherMetadata) || !backup_state_set_ || Started(kPrepare))
      return line.Result(VSS_E_BAD_STATE);
    const LiveWriter* live = FindLive(instance);
    if (!live || !live->identified || !IsEqualGUID(live->described->class_id, writer_class))
      return line.Result(VSS_E_OBJECT_NOT_FOUND);
    const MachineWriter& writer = *live->described;
    const MachineComponent* component = FindComponent(writer, logical_path, name);
    if (!component || component->type != type) return line.Result(VSS_E_OBJECT_NOT_FOUND);
    std::shared_ptr<DocWriter> doc_writer = FindDocWriterByInstance(doc_, instance);
    if (doc_writer && FindDocComponent(*doc_writer, logical_path, name)) {
      return line.Result(VSS_E_OBJECT_ALREADY_EXISTS);
    }
    if (!doc_.select_components)
      JournalMisuse(no_, "AddComponent", Quoted(writer.name, logical_path, name) +
                                             L" added outside component mode (SetBackupState chose no selection)");
    if (!component->selectable && HasSelectableAncestor(writer, *component))
      JournalMisuse(no_, "AddComponent", Quoted(writer.name, logical_path, name) +
                                             L" is not selectable and lies below a selectable component");
    if (!doc_writer) {
      doc_writer = std::make_shared<DocWriter>();
      doc_writer->instance_id = live->instance_id;
      doc_writer->class_id = writer.class_id;
      doc_writer->name = writer.name;
      doc_.writers.push_back(doc_writer);
    }
    auto added = std::make_shared<DocComponent>();
    added->type = component->type;
    added->logical_path = component->logical_path;
    added->name = component->name;
    added->backup_complete = false;
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
    if (mode_ != Mode::backup || !set_started_ || Started(kSnapshot)) return line.Result(VSS_E_BAD_STATE);
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
    if (mode_ != Mode::backup || !Succeeded(kGatherMetadata) || !backup_state_set_ || Started(kPrepare))
      return line.Result(VSS_E_BAD_STATE);
    CheckRequiredComponents();
    return line.Result(Start(kPrepare, async, [this] { FailTakingPart(VSS_WS_FAILED_AT_PREPARE_BACKUP); }));
  }

  HRESULT STDMETHODCALLTYPE DoSnapshotSet(IVssAsync** async) override {
    auto line = Log("DoSnapshotSet");
    if (!async) return line.Result(E_INVALIDARG);
    *async = nullptr;
    if (mode_ != Mode::backup || !Succeeded(kPrepare) || !set_started_ || volumes_.empty() || Started(kSnapshot))
      return line.Result(VSS_E_BAD_STATE);
    SimOperationPlan plan = Plan(kSnapshot);
    // The volumes are copied now: later changes of the live files are not in the snapshot.
    if (plan.outcome == VSS_S_ASYNC_FINISHED && !plan.never_finishes) {
      HRESULT taken = TakeSnapshots();
      if (FAILED(taken)) plan.outcome = taken;
    }
    return line.Result(Start(kSnapshot, plan, async, [this] { PublishSnapshots(); }));
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

  // The completed snapshots of this backup in its context, and those that outlive their
  // requester in the same context.
  HRESULT STDMETHODCALLTYPE Query(VSS_ID queried, VSS_OBJECT_TYPE queried_type, VSS_OBJECT_TYPE returned_type,
                                  IVssEnumObject** out) override {
    auto line = Log("Query").Guid(queried).Number(queried_type).Number(returned_type);
    if (!out) return line.Result(E_INVALIDARG);
    *out = nullptr;
    if (mode_ != Mode::backup) return line.Result(VSS_E_BAD_STATE);
    if (!IsEqualGUID(queried, GUID_NULL) || queried_type != VSS_OBJECT_NONE || returned_type != VSS_OBJECT_SNAPSHOT)
      return line.Result(E_INVALIDARG);
    if (!context_set_) JournalMisuse(no_, "Query", L"no SetContext before it");
    std::vector<SnapshotRecord> listed;
    for (const SnapshotRecord& record : ListSnapshots()) {
      bool kept = (record.attributes & VSS_VOLSNAP_ATTR_NO_AUTO_RELEASE) != 0;
      if (record.attributes == context_ && (record.owner == static_cast<ULONG>(no_) || kept))
        listed.push_back(record);
    }
    return line.Result(CreateSnapshotEnum(listed, out));
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
    if (mode_ == Mode::none || !Succeeded(kGatherMetadata)) return line.Result(VSS_E_BAD_STATE);
    gathering_.clear();
    for (const LiveWriter& writer : writers_)
      gathering_.push_back({writer.instance_id, writer.described->class_id, writer.described->name, writer.state,
                            writer.failure});
    progress_[kGatherStatus] = Progress::none;
    return line.Result(Start(kGatherStatus, async, [this] { statuses_ = gathering_; }));
  }

  HRESULT STDMETHODCALLTYPE GetWriterStatusCount(UINT* count) override {
    if (!count) return E_INVALIDARG;
    if (!Succeeded(kGatherStatus)) return VSS_E_BAD_STATE;
    *count = static_cast<UINT>(statuses_.size());
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE FreeWriterStatus() override {
    auto line = Log("FreeWriterStatus");
    if (!Succeeded(kGatherStatus)) return line.Result(VSS_E_BAD_STATE);
    statuses_.clear();
    progress_[kGatherStatus] = Progress::none;
    return line.Result(S_OK);
  }

  HRESULT STDMETHODCALLTYPE GetWriterStatus(UINT index, VSS_ID* instance, VSS_ID* writer_class, BSTR* name,
                                            VSS_WRITER_STATE* state, HRESULT* failure) override {
    if (!instance || !writer_class || !name || !state || !failure) return E_INVALIDARG;
    *name = nullptr;
    if (!Succeeded(kGatherStatus)) return VSS_E_BAD_STATE;
    if (index >= statuses_.size()) return VSS_E_OBJECT_NOT_FOUND;
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
    if (mode_ != Mode::backup || !Succeeded(kSnapshot) || Started(kComplete)) return line.Result(VSS_E_BAD_STATE);
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
    if (mode_ != Mode::backup || !Succeeded(kSnapshot) || Started(kComplete)) return line.Result(VSS_E_BAD_STATE);
    return line.Result(Start(kComplete, async, [this] { CompleteBackup(); }));
  }

  HRESULT STDMETHODCALLTYPE AbortBackup() override {
    auto line = Log("AbortBackup");
    if (mode_ != Mode::backup || Started(kComplete)) return line.Result(VSS_E_BAD_STATE);
    DeleteOwnSnapshots();
    mode_ = Mode::aborted;
    return line.Result(S_OK);
  }

  // Restore. The selections need the running writers' metadata: a component of a writer that
  // does not run is not found.

  HRESULT STDMETHODCALLTYPE SetSelectedForRestore(VSS_ID writer_class, VSS_COMPONENT_TYPE type, LPCWSTR logical_path,
                                                  LPCWSTR name, boolean selected) override {
    auto line = Log("SetSelectedForRestore").Guid(writer_class).Number(type).Text(logical_path).Text(name)
                    .Bool(selected);
    return line.Result(UpdateRestoreComponent("SetSelectedForRestore", writer_class, type, logical_path, name,
                                              &DocComponent::selected_for_restore, selected != 0));
  }

  HRESULT STDMETHODCALLTYPE SetAdditionalRestores(VSS_ID writer_class, VSS_COMPONENT_TYPE type, LPCWSTR logical_path,
                                                  LPCWSTR name, boolean additional) override {
    auto line = Log("SetAdditionalRestores").Guid(writer_class).Number(type).Text(logical_path).Text(name)
                    .Bool(additional);
    return line.Result(UpdateRestoreComponent("SetAdditionalRestores", writer_class, type, logical_path, name,
                                              &DocComponent::additional_restores, additional != 0));
  }

  HRESULT STDMETHODCALLTYPE SetRestoreOptions(VSS_ID writer_class, VSS_COMPONENT_TYPE type, LPCWSTR logical_path,
                                              LPCWSTR name, LPCWSTR options) override {
    auto line = Log("SetRestoreOptions").Guid(writer_class).Number(type).Text(logical_path).Text(name)
                    .Text(options);
    if (!options) return line.Result(E_INVALIDARG);
    return line.Result(UpdateRestoreComponent("SetRestoreOptions", writer_class, type, logical_path, name,
                                              &DocComponent::restore_options, std::optional<std::wstring>(options)));
  }

  HRESULT STDMETHODCALLTYPE PreRestore(IVssAsync** async) override {
    auto line = Log("PreRestore");
    if (!async) return line.Result(E_INVALIDARG);
    *async = nullptr;
    if (mode_ != Mode::restore || !Succeeded(kGatherMetadata) || Started(kPreRestore))
      return line.Result(VSS_E_BAD_STATE);
    return line.Result(Start(kPreRestore, async, [this] { PrepareWritersForRestore(); }));
  }

  HRESULT STDMETHODCALLTYPE SetFileRestoreStatus(VSS_ID writer_class, VSS_COMPONENT_TYPE type, LPCWSTR logical_path,
                                                 LPCWSTR name, VSS_FILE_RESTORE_STATUS status) override {
    auto line = Log("SetFileRestoreStatus").Guid(writer_class).Number(type).Text(logical_path).Text(name)
                    .Number(status);
    if (!name || !ValidComponentType(type) || status < VSS_RS_UNDEFINED || status > VSS_RS_FAILED)
      return line.Result(E_INVALIDARG);
    if (mode_ != Mode::restore || !Succeeded(kPreRestore) || Started(kPostRestore))
      return line.Result(VSS_E_BAD_STATE);
    std::shared_ptr<DocComponent> component;
    HRESULT hr = FindRestoreComponent("SetFileRestoreStatus", writer_class, type, logical_path, name, &component);
    if (FAILED(hr)) return line.Result(hr);
    component->file_restore_status = status;
    component->file_restore_status_set = true;
    return line.Result(S_OK);
  }

  HRESULT STDMETHODCALLTYPE PostRestore(IVssAsync** async) override {
    auto line = Log("PostRestore");
    if (!async) return line.Result(E_INVALIDARG);
    *async = nullptr;
    if (mode_ != Mode::restore || !Succeeded(kPreRestore) || Started(kPostRestore))
      return line.Result(VSS_E_BAD_STATE);
    for (const auto& writer : doc_.writers)
      for (const auto& c : writer->components)
        if (c->selected_for_restore && !c->file_restore_status_set)
          JournalMisuse(no_, "PostRestore", Quoted(writer->name, PathOf(*c), c->name) +
                                                L" was selected for restore without SetFileRestoreStatus");
    return line.Result(Start(kPostRestore, async, [this] { FinishWritersRestore(); }));
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

  // Asynchronous operations. What an operation does becomes true for the requester only when it
  // has seen the operation end; an operation that failed or never ended did nothing.

  bool Started(Operation op) const { return progress_[op] != Progress::none; }
  bool Succeeded(Operation op) const { return progress_[op] == Progress::succeeded; }

  SimOperationPlan Plan(Operation op) const {
    SimOperationPlan plan;
    plan.pending_polls = machine_->pending_polls;
    if (const MachineOperation* described = FindOperation(*machine_, kOperationNames[op])) {
      plan.never_finishes = described->never_finishes;
      if (!described->never_finishes) plan.outcome = described->result;
    }
    return plan;
  }

  HRESULT Start(Operation op, IVssAsync** async, std::function<void()> effect) {
    return Start(op, Plan(op), async, std::move(effect));
  }

  HRESULT Start(Operation op, const SimOperationPlan& plan, IVssAsync** async, std::function<void()> effect) {
    std::shared_ptr<SimBackupComponents*> alive = alive_;
    auto seen = [alive, op, effect](HRESULT outcome) {
      SimBackupComponents* self = *alive;
      if (self) self->Ended(op, outcome, effect);
    };
    HRESULT hr = CreateSimAsync(plan, seen, async);
    if (SUCCEEDED(hr)) progress_[op] = Progress::running;
    return hr;
  }

  void Ended(Operation op, HRESULT outcome, const std::function<void()>& effect) {
    if (progress_[op] != Progress::running) return;
    progress_[op] = outcome == VSS_S_ASYNC_FINISHED ? Progress::succeeded : Progress::failed;
    if (Succeeded(op)) {
      effect();
    } else if (op == kSnapshot) {
      for (const SnapshotRecord& record : unpublished_) RemoveSnapshotFolder(record.folder);
      unpublished_.clear();
    }
  }

  bool MetadataReadable() const { return Succeeded(kGatherMetadata) && !metadata_freed_; }

  bool DocumentReadable() const {
    return (mode_ == Mode::backup && Succeeded(kPrepare)) || mode_ == Mode::restore;
  }

  void FreeMetadata() {
    for (IVssExamineWriterMetadata* metadata : metadata_) metadata->Release();
    metadata_.clear();
    metadata_instances_.clear();
  }

  // Writers.

  LiveWriter* FindLive(const VSS_ID& instance) {
    for (LiveWriter& writer : writers_)
      if (IsEqualGUID(writer.instance_id, instance)) return &writer;
    return nullptr;
  }

  LiveWriter* FindLiveByClass(const VSS_ID& writer_class) {
    for (LiveWriter& writer : writers_)
      if (writer.identified && IsEqualGUID(writer.described->class_id, writer_class)) return &writer;
    return nullptr;
  }

  void Fail(LiveWriter* writer, VSS_WRITER_STATE state) {
    writer->state = state;
    writer->failure = writer->described->fail_code;
    Log("WriterFailed").Guid(writer->instance_id).Text(writer->described->name.c_str()).Number(state)
        .Result(writer->failure);
  }

  // A writer takes part in a backup when a component of it was added (or when the requester
  // selects no components), in a restore when a component of it was selected.
  bool TakesPart(const LiveWriter& writer) const {
    for (const auto& doc_writer : doc_.writers) {
      if (!IsEqualGUID(doc_writer->class_id, writer.described->class_id)) continue;
      if (mode_ != Mode::restore) return true;
      for (const auto& c : doc_writer->components)
        if (c->selected_for_restore) return true;
    }
    return mode_ != Mode::restore && !doc_.select_components;
  }

  void FailTakingPart(VSS_WRITER_STATE state) {
    for (LiveWriter& writer : writers_)
      if (!IsFailed(writer.state) && WriterFailsAt(*writer.described, state) && TakesPart(writer)) Fail(&writer, state);
  }

  // Each writer with added components must have its required ones too: those that cannot be
  // left out (not selectable) and stand at the top of the writer's tree.
  void CheckRequiredComponents() {
    for (const auto& doc_writer : doc_.writers) {
      const LiveWriter* live = FindLive(doc_writer->instance_id);
      if (!live) continue;
      for (const MachineComponent& c : live->described->components) {
        if (c.selectable || !IsTopLevel(*live->described, c)) continue;
        const wchar_t* path = c.logical_path ? c.logical_path->c_str() : nullptr;
        if (!FindDocComponent(*doc_writer, path, c.name.c_str()))
          JournalMisuse(no_, "PrepareForBackup",
                        Quoted(live->described->name, path, c.name) + L" is required and was not added");
      }
    }
  }

  // Backup.

  HRESULT UpdateBackupComponent(const VSS_ID& writer_class, VSS_COMPONENT_TYPE type, LPCWSTR logical_path,
                                LPCWSTR name, LPCWSTR value, std::optional<std::wstring> DocComponent::*field) {
    if (!name || !value || !ValidComponentType(type)) return E_INVALIDARG;
    if (mode_ != Mode::backup || Started(kPrepare)) return VSS_E_BAD_STATE;
    std::shared_ptr<DocComponent> component = FindDocComponentByClass(doc_, writer_class, logical_path, name);
    if (!component || component->type != type) return VSS_E_OBJECT_NOT_FOUND;
    (*component).*field = std::wstring(value);
    return S_OK;
  }

  // Copies each volume of the set; on failure nothing of the set is left. The copies are listed
  // once the requester has seen the snapshot finish.
  HRESULT TakeSnapshots() {
    std::vector<SnapshotSource> sources = SnapshotSources(*machine_);
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    snapshot_time_ = now;
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
      unpublished_.push_back(record);
      std::wstring failed_path;
      hr = CopyIntoSnapshot(volume.mount_point, sources, record.folder, &failed_path);
      if (FAILED(hr)) {
        Log("SnapshotCopyFailed").Text(failed_path.c_str()).Result(hr);
        hr = VSS_E_UNEXPECTED_PROVIDER_ERROR;
        break;
      }
    }
    if (FAILED(hr)) {
      for (const SnapshotRecord& record : unpublished_) RemoveSnapshotFolder(record.folder);
      unpublished_.clear();
    }
    return hr;
  }

  void PublishSnapshots() {
    for (const SnapshotRecord& record : unpublished_) {
      RegisterSnapshot(record);
      own_snapshots_.push_back(record.snapshot_id);
    }
    unpublished_.clear();
    FailTakingPart(VSS_WS_FAILED_AT_PREPARE_SNAPSHOT);
    FailTakingPart(VSS_WS_FAILED_AT_FREEZE);
    FailTakingPart(VSS_WS_FAILED_AT_THAW);
    FailTakingPart(VSS_WS_FAILED_AT_POST_SNAPSHOT);
    for (LiveWriter& writer : writers_) {
      if (IsFailed(writer.state)) continue;
      writer.state = writer.described->state_after_snapshot;
      writer.failure = writer.described->failure_after_snapshot;
    }
    RecordBackupResults();
  }

  // What the writers report for the added components once the snapshot exists, and what they
  // remember of it. A writer that failed reports nothing.
  void RecordBackupResults() {
    ChangeWriterMemory([this](WriterMemory& memory) {
      ++memory.backups;
      for (const auto& doc_writer : doc_.writers) {
        const LiveWriter* live = FindLive(doc_writer->instance_id);
        if (!live || IsFailed(live->state)) continue;
        const MachineWriter& writer = *live->described;
        for (const auto& component : doc_writer->components) {
          const wchar_t* path = PathOf(*component);
          const MachineComponent* source = FindComponent(writer, path, component->name.c_str());
          if (!source) continue;
          FILETIME base = {0, 0};
          VSS_BACKUP_TYPE kind = KindOfBackup(memory, writer, *component, doc_.backup_type, &base);
          bool partial = kind == VSS_BT_INCREMENTAL || kind == VSS_BT_DIFFERENTIAL;
          component->differenced_files.clear();
          component->partial_files.clear();
          if (partial) {
            for (MachineDifferencedFile file : source->differenced_files) {
              if (!file.last_modify_time.dwLowDateTime && !file.last_modify_time.dwHighDateTime)
                file.last_modify_time = base;
              component->differenced_files.push_back(file);
            }
            if (doc_.partial_file_support) component->partial_files = source->partial_files;
          }
          if (source->backup_stamp) {
            component->backup_stamp = *source->backup_stamp + L"-" + std::to_wstring(memory.backups);
            memory.stamps.push_back({writer.class_id, component->logical_path, component->name,
                                     *component->backup_stamp, kind, snapshot_time_, false});
          }
          Log("ComponentBackedUp").Guid(writer.class_id).Text(path).Text(component->name.c_str())
              .Text(BackupTypeText(kind))
              .Text(component->backup_stamp ? component->backup_stamp->c_str() : nullptr)
              .Result(S_OK);
        }
      }
    });
  }

  // BackupComplete reached the writers: the stamps of this backup now count as bases.
  void CompleteBackup() {
    FailTakingPart(VSS_WS_FAILED_AT_BACKUP_COMPLETE);
    for (LiveWriter& writer : writers_)
      if (writer.state == VSS_WS_WAITING_FOR_BACKUP_COMPLETE) writer.state = VSS_WS_STABLE;
    ChangeWriterMemory([this](WriterMemory& memory) {
      for (const auto& doc_writer : doc_.writers) {
        const LiveWriter* live = FindLive(doc_writer->instance_id);
        if (!live || IsFailed(live->state)) continue;
        for (const auto& component : doc_writer->components) {
          for (StampRecord& record : memory.stamps)
            if (component->backup_stamp && record.stamp == *component->backup_stamp &&
                SameComponent(record, doc_writer->class_id, *component))
              record.complete = true;
        }
      }
    });
    for (const auto& doc_writer : doc_.writers)
      for (const auto& component : doc_writer->components) component->backup_complete = true;
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

  // Restore.

  // The component a restore call names, of a running writer whose metadata was gathered. Calls
  // other than the selection itself are meant for selected components only.
  HRESULT FindRestoreComponent(const char* call, const VSS_ID& writer_class, VSS_COMPONENT_TYPE type,
                               LPCWSTR logical_path, LPCWSTR name, std::shared_ptr<DocComponent>* found) {
    if (!FindLiveByClass(writer_class)) return VSS_E_OBJECT_NOT_FOUND;
    std::shared_ptr<DocComponent> component = FindDocComponentByClass(doc_, writer_class, logical_path, name);
    if (!component || component->type != type) return VSS_E_OBJECT_NOT_FOUND;
    if (strcmp(call, "SetSelectedForRestore") != 0 && !component->selected_for_restore)
      JournalMisuse(no_, call, Quoted(FindLiveByClass(writer_class)->described->name, PathOf(*component),
                                      component->name) + L" is not selected for restore");
    *found = component;
    return S_OK;
  }

  // The selections a requester makes before PreRestore.
  template <class T>
  HRESULT UpdateRestoreComponent(const char* call, const VSS_ID& writer_class, VSS_COMPONENT_TYPE type,
                                 LPCWSTR logical_path, LPCWSTR name, T DocComponent::*field, const T& value) {
    if (!name || !ValidComponentType(type)) return E_INVALIDARG;
    if (mode_ != Mode::restore || Started(kPreRestore) || !Succeeded(kGatherMetadata)) return VSS_E_BAD_STATE;
    std::shared_ptr<DocComponent> component;
    HRESULT hr = FindRestoreComponent(call, writer_class, type, logical_path, name, &component);
    if (FAILED(hr)) return hr;
    (*component).*field = value;
    return S_OK;
  }

  bool Recovered(const WriterMemory& memory, const VSS_ID& writer_class) const {
    for (const VSS_ID& id : memory.recovered)
      if (IsEqualGUID(id, writer_class)) return true;
    return false;
  }

  // PreRestore reached the writers: one that already ran its recovery refuses anything but a
  // full backup, which starts it afresh; the services hold their files.
  void PrepareWritersForRestore() {
    FailTakingPart(VSS_WS_FAILED_AT_PRE_RESTORE);
    ChangeWriterMemory([this](WriterMemory& memory) {
      for (LiveWriter& writer : writers_) {
        const VSS_ID& id = writer.described->class_id;
        if (!TakesPart(writer) || IsFailed(writer.state) || !Recovered(memory, id)) continue;
        if (doc_.backup_type != VSS_BT_FULL) {
          Fail(&writer, VSS_WS_FAILED_AT_PRE_RESTORE);
          continue;
        }
        for (auto it = memory.recovered.begin(); it != memory.recovered.end(); ++it) {
          if (IsEqualGUID(*it, id)) {
            memory.recovered.erase(it);
            break;
          }
        }
      }
    });
    for (const LiveWriter& writer : writers_) {
      for (const std::wstring& path : writer.described->locked_at_restore) {
        std::wstring expanded = Expand(path);
        HANDLE file = CreateFileW(expanded.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
        Log("HoldFile").Text(expanded.c_str())
            .Result(file == INVALID_HANDLE_VALUE ? HRESULT_FROM_WIN32(GetLastError()) : S_OK);
        if (file != INVALID_HANDLE_VALUE) locks_.push_back(file);
      }
    }
  }

  // PostRestore reached the writers: the services let go of their files, and a writer told that
  // no restores follow runs its recovery.
  void FinishWritersRestore() {
    ReleaseLocks();
    FailTakingPart(VSS_WS_FAILED_AT_POST_RESTORE);
    ChangeWriterMemory([this](WriterMemory& memory) {
      for (const auto& doc_writer : doc_.writers) {
        LiveWriter* live = FindLiveByClass(doc_writer->class_id);
        if (!live || IsFailed(live->state) || Recovered(memory, doc_writer->class_id)) continue;
        for (const auto& c : doc_writer->components) {
          if (c->selected_for_restore && !c->additional_restores) {
            memory.recovered.push_back(doc_writer->class_id);
            break;
          }
        }
      }
    });
  }

  void ReleaseLocks() {
    for (HANDLE file : locks_) CloseHandle(file);
    locks_.clear();
  }

  std::shared_ptr<const Machine> machine_;
  const LONG no_;
  const std::shared_ptr<SimBackupComponents*> alive_;
  Mode mode_ = Mode::none;
  LONG context_ = VSS_CTX_BACKUP;
  bool context_set_ = false;
  bool backup_state_set_ = false;
  bool metadata_freed_ = false;
  bool set_started_ = false;
  Progress progress_[kOperations] = {};
  BackupDocument doc_;
  std::vector<LiveWriter> writers_;
  std::vector<IVssExamineWriterMetadata*> metadata_;
  std::vector<VSS_ID> metadata_instances_;
  std::vector<SnapshotVolume> volumes_;
  std::vector<SnapshotRecord> unpublished_;
  FILETIME snapshot_time_ = {0, 0};
  std::vector<WriterStatus> gathering_;
  std::vector<WriterStatus> statuses_;
  std::vector<VSS_ID> own_snapshots_;
  std::vector<HANDLE> locks_;
};

}  // namespace

HRESULT CreateSimBackupComponents(std::shared_ptr<const Machine> machine, IVssBackupComponents** out) {
  if (!out) return E_INVALIDARG;
  *out = new SimBackupComponents(machine ? std::move(machine) : std::make_shared<const Machine>());
  return S_OK;
}
