// Real snapshots for the simulated service: at snapshot time the files that the machine's
// writers name on a volume are copied into a folder, which then stands for the volume's
// snapshot device. A process-wide list of live snapshots answers queries the way the real
// service answers them for the whole system.
#pragma once

#include <windows.h>
#include <vss.h>
#include <string>
#include <vector>

// Files to capture: a folder (environment variables already expanded), a file spec with
// wildcards, and whether sub-folders are searched too.
struct SnapshotSource {
  std::wstring path;
  std::wstring filespec;
  bool recursive = false;
};

struct SnapshotRecord {
  VSS_ID snapshot_id = GUID_NULL;
  VSS_ID set_id = GUID_NULL;
  LONG set_count = 0;             // snapshots in its set
  std::wstring device;            // "\\?\" + folder, no final backslash
  std::wstring original_volume;   // as GetVolumeNameForVolumeMountPointW gives it
  std::wstring mount_point;       // with its final backslash, e.g. C:\ .
  std::wstring folder;            // where the copy lives
  VSS_ID provider_id = GUID_NULL;
  LONG attributes = 0;
  VSS_TIMESTAMP created = 0;
  ULONG owner = 0;                // number of the backup components object that made it
};

// The provider every simulated snapshot comes from.
extern const VSS_ID kSimProviderId;

// A volume named by mount point (C:\ or C:) or by volume name (\\?\Volume{...}\): its volume
// name and mount point. VSS_E_OBJECT_NOT_FOUND when no mounted volume answers to it.
HRESULT ResolveVolume(const wchar_t* name, std::wstring* volume_name, std::wstring* mount_point);

// A new, empty folder for one snapshot (under %SIMVSS_SNAPSHOT_ROOT% or the temporary folder).
HRESULT MakeSnapshotFolder(std::wstring* folder);

// Copies into `folder` what `sources` name on the volume mounted at `mount_point`, keeping
// volume-relative paths. Sources on other volumes are passed over. A file that cannot be read
// fails the whole copy; `failed_path` then names it.
HRESULT CopyIntoSnapshot(const std::wstring& mount_point, const std::vector<SnapshotSource>& sources,
                         const std::wstring& folder, std::wstring* failed_path);

// Deletes a snapshot folder with everything in it, read-only files included.
void RemoveSnapshotFolder(const std::wstring& folder);

// The live snapshots of this process.
void RegisterSnapshot(const SnapshotRecord& record);
bool UnregisterSnapshot(const VSS_ID& snapshot_id, SnapshotRecord* removed);
bool FindSnapshot(const VSS_ID& snapshot_id, SnapshotRecord* found);
std::vector<SnapshotRecord> ListSnapshots();
