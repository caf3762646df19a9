#include "snapshot.h"

#include <shlwapi.h>
#include <vsserror.h>
#include <cwctype>
#include <mutex>

// {5e1d7a90-3c0f-4b9e-9a61-7f2c3b8d4e15}
const VSS_ID kSimProviderId = {0x5e1d7a90, 0x3c0f, 0x4b9e, {0x9a, 0x61, 0x7f, 0x2c, 0x3b, 0x8d, 0x4e, 0x15}};

namespace {

std::mutex g_snapshots_lock;
std::vector<SnapshotRecord> g_snapshots;
LONG g_folder_counter = 0;

bool SameText(const std::wstring& a, const std::wstring& b) {
  return CompareStringOrdinal(a.c_str(), -1, b.c_str(), -1, TRUE) == CSTR_EQUAL;
}

std::wstring WithBackslash(std::wstring path) {
  if (path.empty() || path.back() != L'\\') path += L'\\';
  return path;
}

std::wstring FullPath(const std::wstring& path) {
  wchar_t buffer[MAX_PATH * 4];
  DWORD n = GetFullPathNameW(path.c_str(), ARRAYSIZE(buffer), buffer, nullptr);
  if (n == 0 || n >= ARRAYSIZE(buffer)) return path;
  return buffer;
}

std::wstring VolumeNameOf(const std::wstring& mount_point) {
  wchar_t name[MAX_PATH];
  if (!GetVolumeNameForVolumeMountPointW(mount_point.c_str(), name, ARRAYSIZE(name))) return L"";
  return name;
}

std::wstring MountPointOf(const std::wstring& path) {
  wchar_t mount[MAX_PATH];
  if (!GetVolumePathNameW(path.c_str(), mount, ARRAYSIZE(mount))) return L"";
  return mount;
}

// Creates a folder and any missing parents.
bool EnsureFolder(const std::wstring& folder) {
  if (CreateDirectoryW(folder.c_str(), nullptr)) return true;
  DWORD error = GetLastError();
  if (error == ERROR_ALREADY_EXISTS) return true;
  if (error != ERROR_PATH_NOT_FOUND) return false;
  size_t cut = folder.find_last_of(L'\\');
  if (cut == std::wstring::npos || cut == 0) return false;
  if (!EnsureFolder(folder.substr(0, cut))) return false;
  return CreateDirectoryW(folder.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS;
}

bool IsDots(const wchar_t* name) {
  return wcscmp(name, L".") == 0 || wcscmp(name, L"..") == 0;
}

HRESULT CopyMatching(const std::wstring& from, const std::wstring& to, const std::wstring& spec,
                     bool recursive, std::wstring* failed_path) {
  if (!EnsureFolder(to)) {
    *failed_path = to;
    return HRESULT_FROM_WIN32(GetLastError());
  }
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW((from + L"\\*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return S_OK;
  HRESULT hr = S_OK;
  do {
    if (IsDots(found.cFileName)) continue;
    std::wstring source = from + L"\\" + found.cFileName;
    std::wstring target = to + L"\\" + found.cFileName;
    bool matches = PathMatchSpecW(found.cFileName, spec.c_str());
    if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      if (recursive) {
        hr = CopyMatching(source, target, spec, true, failed_path);
      } else if (matches && !EnsureFolder(target)) {
        *failed_path = target;
        hr = HRESULT_FROM_WIN32(GetLastError());
      }
    } else if (matches && GetFileAttributesW(target.c_str()) == INVALID_FILE_ATTRIBUTES) {
      // Two descriptors may name the same file; its first copy stands.
      if (!CopyFileW(source.c_str(), target.c_str(), TRUE)) {
        *failed_path = source;
        hr = HRESULT_FROM_WIN32(GetLastError());
      }
    }
  } while (SUCCEEDED(hr) && FindNextFileW(search, &found));
  FindClose(search);
  return hr;
}

}  // namespace

HRESULT ResolveVolume(const wchar_t* name, std::wstring* volume_name, std::wstring* mount_point) {
  if (!name || !*name || !volume_name || !mount_point) return E_INVALIDARG;
  std::wstring given = WithBackslash(name);
  if (given.rfind(L"\\\\?\\Volume{", 0) == 0) {
    for (wchar_t letter = L'A'; letter <= L'Z'; ++letter) {
      std::wstring mount = std::wstring(1, letter) + L":\\";
      if (SameText(VolumeNameOf(mount), given)) {
        *volume_name = VolumeNameOf(mount);
        *mount_point = mount;
        return S_OK;
      }
    }
    return VSS_E_OBJECT_NOT_FOUND;
  }
  std::wstring volume = VolumeNameOf(given);
  if (volume.empty()) return VSS_E_OBJECT_NOT_FOUND;
  std::wstring mount = MountPointOf(given);
  *volume_name = volume;
  *mount_point = mount.empty() ? given : WithBackslash(mount);
  return S_OK;
}

HRESULT MakeSnapshotFolder(std::wstring* folder) {
  wchar_t root[MAX_PATH];
  DWORD n = GetEnvironmentVariableW(L"SIMVSS_SNAPSHOT_ROOT", root, ARRAYSIZE(root));
  std::wstring base;
  if (n > 0 && n < ARRAYSIZE(root)) {
    base = FullPath(root);
  } else {
    n = GetTempPathW(ARRAYSIZE(root), root);
    if (n == 0 || n >= ARRAYSIZE(root)) return HRESULT_FROM_WIN32(GetLastError());
    base = WithBackslash(FullPath(root)) + L"simvss";
  }
  if (!base.empty() && base.back() == L'\\') base.pop_back();
  if (!EnsureFolder(base)) return HRESULT_FROM_WIN32(GetLastError());
  for (int attempt = 0; attempt < 1000; ++attempt) {
    LONG number = InterlockedIncrement(&g_folder_counter);
    std::wstring candidate = base + L"\\snapshot-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                             std::to_wstring(number);
    if (CreateDirectoryW(candidate.c_str(), nullptr)) {
      *folder = candidate;
      return S_OK;
    }
    if (GetLastError() != ERROR_ALREADY_EXISTS) return HRESULT_FROM_WIN32(GetLastError());
  }
  return E_FAIL;
}

HRESULT CopyIntoSnapshot(const std::wstring& mount_point, const std::vector<SnapshotSource>& sources,
                         const std::wstring& folder, std::wstring* failed_path) {
  std::wstring mount = WithBackslash(mount_point);
  for (const SnapshotSource& source : sources) {
    if (source.path.empty()) continue;
    std::wstring path = FullPath(source.path);
    while (path.size() > 3 && path.back() == L'\\') path.pop_back();
    if (!SameText(WithBackslash(MountPointOf(path)), mount)) continue;
    DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY)) continue;
    // Volume-relative: C:\data\x → \data\x below the snapshot folder.
    std::wstring relative = path.substr(mount.size() - 1);
    if (relative == L"\\") relative.clear();
    std::wstring target = folder + relative;
    std::wstring spec = source.filespec.empty() ? L"*" : source.filespec;
    if (path.size() == 3) path.pop_back();  // "C:" + "\\name" below
    HRESULT hr = CopyMatching(path, target, spec, source.recursive, failed_path);
    if (FAILED(hr)) return hr;
  }
  return S_OK;
}

void RemoveSnapshotFolder(const std::wstring& folder) {
  if (folder.empty()) return;
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &found);
  if (search != INVALID_HANDLE_VALUE) {
    do {
      if (IsDots(found.cFileName)) continue;
      std::wstring path = folder + L"\\" + found.cFileName;
      if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        RemoveSnapshotFolder(path);
      } else {
        SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileW(path.c_str());
      }
    } while (FindNextFileW(search, &found));
    FindClose(search);
  }
  SetFileAttributesW(folder.c_str(), FILE_ATTRIBUTE_NORMAL);
  RemoveDirectoryW(folder.c_str());
}

void RegisterSnapshot(const SnapshotRecord& record) {
  std::lock_guard<std::mutex> hold(g_snapshots_lock);
  g_snapshots.push_back(record);
}

bool UnregisterSnapshot(const VSS_ID& snapshot_id, SnapshotRecord* removed) {
  std::lock_guard<std::mutex> hold(g_snapshots_lock);
  for (auto it = g_snapshots.begin(); it != g_snapshots.end(); ++it) {
    if (IsEqualGUID(it->snapshot_id, snapshot_id)) {
      if (removed) *removed = *it;
      g_snapshots.erase(it);
      return true;
    }
  }
  return false;
}

bool FindSnapshot(const VSS_ID& snapshot_id, SnapshotRecord* found) {
  std::lock_guard<std::mutex> hold(g_snapshots_lock);
  for (const SnapshotRecord& record : g_snapshots) {
    if (IsEqualGUID(record.snapshot_id, snapshot_id)) {
      if (found) *found = record;
      return true;
    }
  }
  return false;
}

std::vector<SnapshotRecord> ListSnapshots() {
  std::lock_guard<std::mutex> hold(g_snapshots_lock);
  return g_snapshots;
}
