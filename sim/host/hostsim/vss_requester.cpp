#include "../../../plugin/frame/host_interface.h"

#include "vss_requester.h"

#include <algorithm>
#include <vector>

namespace {

void AddVolumeOf(const wchar_t* path, std::vector<std::wstring>* volumes) {
  if (!path || !*path) return;
  wchar_t expanded[MAX_PATH * 2];
  DWORD n = ExpandEnvironmentStringsW(path, expanded, MAX_PATH * 2);
  if (n == 0 || n > MAX_PATH * 2) return;
  wchar_t mount[MAX_PATH * 2];
  if (!GetVolumePathNameW(expanded, mount, MAX_PATH * 2)) return;
  wchar_t volume[MAX_PATH];
  if (!GetVolumeNameForVolumeMountPointW(mount, volume, MAX_PATH)) return;
  if (std::find(volumes->begin(), volumes->end(), volume) == volumes->end())
    volumes->push_back(volume);
}

void AddFileVolume(IVssWMFiledesc* file, std::vector<std::wstring>* volumes) {
  if (!file) return;
  BSTR path = nullptr;
  if (SUCCEEDED(file->GetPath(&path))) AddVolumeOf(path, volumes);
  SysFreeString(path);
  file->Release();
}

}  // namespace

VssRequester::~VssRequester() { Release(); }

void VssRequester::Release() {
  if (components_) components_->Release();
  components_ = nullptr;
}

bool VssRequester::Call(HRESULT hr, const char* call) {
  log_.Debug(50, __FILE__, __LINE__, Format("%s hr = %08lx", call, static_cast<unsigned long>(hr)));
  if (SUCCEEDED(hr)) return true;
  log_.Fatal("shadow copy call %s failed: %08lx", call, static_cast<unsigned long>(hr));
  return false;
}

bool VssRequester::Wait(IVssAsync* async, const char* call) {
  HRESULT status = VSS_S_ASYNC_PENDING;
  // Ten minutes at most, as long as any shadow copy operation may take.
  for (int i = 0; i < 12000; ++i) {
    HRESULT hr = async->QueryStatus(&status, nullptr);
    if (FAILED(hr)) {
      status = hr;
      break;
    }
    if (status != VSS_S_ASYNC_PENDING) break;
    Sleep(50);
  }
  async->Release();
  if (status == VSS_S_ASYNC_FINISHED) return true;
  log_.Fatal("shadow copy operation %s ended with %08lx", call, static_cast<unsigned long>(status));
  return false;
}

bool VssRequester::Begin(t_CreateVssBackupComponents factory, char level, bool partial_files) {
  HRESULT hr = factory(&components_);
  if (FAILED(hr) || !components_) {
    components_ = nullptr;
    log_.Error("cannot create the shadow copy backup components: CreateVssBackupComponents "
               "answered %08lx; the job goes on without shadow copies",
               static_cast<unsigned long>(hr));
    return false;
  }
  VSS_BACKUP_TYPE type = level == 'I' ? VSS_BT_INCREMENTAL
                         : level == 'D' ? VSS_BT_DIFFERENTIAL
                                        : VSS_BT_FULL;
  if (!Call(components_->InitializeForBackup(nullptr), "InitializeForBackup")) return false;
  // The plug-in may Query the object, which the service allows only once a context is set.
  if (!Call(components_->SetContext(VSS_CTX_BACKUP), "SetContext")) return false;
  if (!Call(components_->SetBackupState(true, false, type, partial_files), "SetBackupState")) return false;
  IVssAsync* async = nullptr;
  if (!Call(components_->GatherWriterMetadata(&async), "GatherWriterMetadata")) return false;
  return Wait(async, "GatherWriterMetadata");
}

void VssRequester::CollectVolumes(std::vector<std::wstring>* volumes) {
  UINT writers = 0;
  if (FAILED(components_->GetWriterMetadataCount(&writers))) return;
  for (UINT w = 0; w < writers; ++w) {
    VSS_ID instance;
    IVssExamineWriterMetadata* metadata = nullptr;
    if (FAILED(components_->GetWriterMetadata(w, &instance, &metadata)) || !metadata) continue;
    UINT includes = 0, excludes = 0, count = 0;
    metadata->GetFileCounts(&includes, &excludes, &count);
    for (UINT c = 0; c < count; ++c) {
      IVssWMComponent* component = nullptr;
      if (FAILED(metadata->GetComponent(c, &component)) || !component) continue;
      PVSSCOMPONENTINFO info = nullptr;
      if (SUCCEEDED(component->GetComponentInfo(&info)) && info) {
        for (UINT i = 0; i < info->cFileCount; ++i) {
          IVssWMFiledesc* file = nullptr;
          if (SUCCEEDED(component->GetFile(i, &file))) AddFileVolume(file, volumes);
        }
        for (UINT i = 0; i < info->cDatabases; ++i) {
          IVssWMFiledesc* file = nullptr;
          if (SUCCEEDED(component->GetDatabaseFile(i, &file))) AddFileVolume(file, volumes);
        }
        for (UINT i = 0; i < info->cLogFiles; ++i) {
          IVssWMFiledesc* file = nullptr;
          if (SUCCEEDED(component->GetDatabaseLogFile(i, &file))) AddFileVolume(file, volumes);
        }
        component->FreeComponentInfo(info);
      }
      component->Release();
    }
    metadata->Release();
  }
}

bool VssRequester::TakeSnapshot() {
  // The components the plug-in added are not listed by the service before PrepareForBackup,
  // while the set must be started before it: every volume a writer's component names is taken.
  std::vector<std::wstring> volumes;
  CollectVolumes(&volumes);
  if (!Call(components_->StartSnapshotSet(&snapshot_set_), "StartSnapshotSet")) return false;
  for (auto& volume : volumes) {
    VSS_ID id;
    log_.Debug(50, __FILE__, __LINE__, Format("snapshot of volume %ls", volume.c_str()));
    if (!Call(components_->AddToSnapshotSet(&volume[0], GUID_NULL, &id), "AddToSnapshotSet"))
      return false;
  }
  IVssAsync* async = nullptr;
  if (!Call(components_->PrepareForBackup(&async), "PrepareForBackup") ||
      !Wait(async, "PrepareForBackup"))
    return false;
  if (volumes.empty()) {
    log_.Warning("no writer component names a volume: no snapshot taken");
    return true;
  }
  async = nullptr;
  if (!Call(components_->DoSnapshotSet(&async), "DoSnapshotSet") || !Wait(async, "DoSnapshotSet"))
    return false;
  have_snapshot_ = true;
  // The plug-in reads the writers' states after the snapshot; the requester gathers them first.
  async = nullptr;
  return Call(components_->GatherWriterStatus(&async), "GatherWriterStatus") &&
         Wait(async, "GatherWriterStatus");
}

bool VssRequester::SaveDocument(std::string* bytes) {
  BSTR xml = nullptr;
  if (!Call(components_->SaveAsXML(&xml), "SaveAsXML") || !xml) return false;
  size_t chars = SysStringLen(xml);
  bytes->assign(reinterpret_cast<const char*>(xml), (chars + 1) * sizeof(wchar_t));
  SysFreeString(xml);
  return true;
}

bool VssRequester::Complete() {
  // Without a snapshot there is no backup for the service to complete.
  if (!have_snapshot_) return true;
  IVssAsync* async = nullptr;
  return Call(components_->BackupComplete(&async), "BackupComplete") &&
         Wait(async, "BackupComplete");
}

void VssRequester::Abort() {
  Call(components_->AbortBackup(), "AbortBackup");
  have_snapshot_ = false;
}

void VssRequester::DeleteSnapshot() {
  if (!have_snapshot_) return;
  have_snapshot_ = false;
  LONG deleted = 0;
  VSS_ID failed;
  HRESULT hr = components_->DeleteSnapshots(snapshot_set_, VSS_OBJECT_SNAPSHOT_SET, TRUE, &deleted,
                                            &failed);
  if (FAILED(hr))
    log_.Warning("the snapshot set could not be deleted: %08lx", static_cast<unsigned long>(hr));
}
