#include "enum_snapshots.h"

#include <objbase.h>

#include "com_object.h"

namespace {

wchar_t* TaskCopy(const std::wstring& text) {
  size_t bytes = (text.size() + 1) * sizeof(wchar_t);
  wchar_t* copy = static_cast<wchar_t*>(CoTaskMemAlloc(bytes));
  if (copy) memcpy(copy, text.c_str(), bytes);
  return copy;
}

std::wstring ComputerName() {
  wchar_t name[MAX_COMPUTERNAME_LENGTH + 1];
  DWORD size = ARRAYSIZE(name);
  if (!GetComputerNameW(name, &size)) return L"";
  return name;
}

class SnapshotEnum : public SimComObject<IVssEnumObject> {
 public:
  SnapshotEnum(const std::vector<SnapshotRecord>& records, size_t position)
      : records_(records), position_(position) {}

  HRESULT STDMETHODCALLTYPE Next(ULONG count, VSS_OBJECT_PROP* out, ULONG* fetched) override {
    if (fetched) *fetched = 0;
    if (count == 0) return S_OK;
    if (!out || (count > 1 && !fetched)) return E_INVALIDARG;
    ULONG done = 0;
    while (done < count && position_ < records_.size()) {
      out[done].Type = VSS_OBJECT_SNAPSHOT;
      HRESULT hr = FillSnapshotProp(records_[position_], &out[done].Obj.Snap);
      if (FAILED(hr)) {
        for (ULONG i = 0; i < done; ++i) FreeSnapshotProp(&out[i].Obj.Snap);
        return hr;
      }
      ++done;
      ++position_;
    }
    if (fetched) *fetched = done;
    return done == count ? S_OK : S_FALSE;
  }

  HRESULT STDMETHODCALLTYPE Skip(ULONG count) override {
    size_t left = records_.size() - position_;
    if (count > left) {
      position_ = records_.size();
      return S_FALSE;
    }
    position_ += count;
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE Reset() override {
    position_ = 0;
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE Clone(IVssEnumObject** out) override {
    if (!out) return E_INVALIDARG;
    *out = new SnapshotEnum(records_, position_);
    return S_OK;
  }

 private:
  std::vector<SnapshotRecord> records_;
  size_t position_;
};

}  // namespace

HRESULT FillSnapshotProp(const SnapshotRecord& record, VSS_SNAPSHOT_PROP* prop) {
  if (!prop) return E_INVALIDARG;
  ZeroMemory(prop, sizeof *prop);
  prop->m_SnapshotId = record.snapshot_id;
  prop->m_SnapshotSetId = record.set_id;
  prop->m_lSnapshotsCount = record.set_count;
  prop->m_ProviderId = record.provider_id;
  prop->m_lSnapshotAttributes = record.attributes;
  prop->m_tsCreationTimestamp = record.created;
  prop->m_eStatus = VSS_SS_CREATED;
  std::wstring machine = ComputerName();
  prop->m_pwszSnapshotDeviceObject = TaskCopy(record.device);
  prop->m_pwszOriginalVolumeName = TaskCopy(record.original_volume);
  prop->m_pwszOriginatingMachine = TaskCopy(machine);
  prop->m_pwszServiceMachine = TaskCopy(machine);
  if (!prop->m_pwszSnapshotDeviceObject || !prop->m_pwszOriginalVolumeName ||
      !prop->m_pwszOriginatingMachine || !prop->m_pwszServiceMachine) {
    FreeSnapshotProp(prop);
    return E_OUTOFMEMORY;
  }
  return S_OK;
}

void FreeSnapshotProp(VSS_SNAPSHOT_PROP* prop) {
  if (!prop) return;
  CoTaskMemFree(prop->m_pwszSnapshotDeviceObject);
  CoTaskMemFree(prop->m_pwszOriginalVolumeName);
  CoTaskMemFree(prop->m_pwszOriginatingMachine);
  CoTaskMemFree(prop->m_pwszServiceMachine);
  CoTaskMemFree(prop->m_pwszExposedName);
  CoTaskMemFree(prop->m_pwszExposedPath);
  prop->m_pwszSnapshotDeviceObject = nullptr;
  prop->m_pwszOriginalVolumeName = nullptr;
  prop->m_pwszOriginatingMachine = nullptr;
  prop->m_pwszServiceMachine = nullptr;
  prop->m_pwszExposedName = nullptr;
  prop->m_pwszExposedPath = nullptr;
}

HRESULT CreateSnapshotEnum(const std::vector<SnapshotRecord>& records, IVssEnumObject** out) {
  if (!out) return E_INVALIDARG;
  *out = new SnapshotEnum(records, 0);
  return S_OK;
}
