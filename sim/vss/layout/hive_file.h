// Registry hive files of a laid-out machine: made with RegSaveKey from a scratch key, read back
// with RegLoadKey, so they are what the registry writer's handler finds on a real machine (in
// Wine's own hive format), and the hive list values that name them.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

struct HiveValue {
  std::wstring key;   // below the hive's root, "" for the root itself
  std::wstring name;
  DWORD type = REG_NONE;
  std::vector<BYTE> data;
};

// What the hive file at `described_path` holds, seeded by `seed` (see layout_generation.h). Every
// hive names its file and version; a SYSTEM hive also has Select and ControlSet001's Session
// Manager, which a requester opens in a restored SYSTEM hive.
std::vector<HiveValue> HiveContent(const std::wstring& described_path, const std::wstring& seed,
                                   unsigned version);

// Writes `content` as the hive file `path` (replacing it; folders are created).
HRESULT WriteHiveFile(const std::wstring& path, const std::vector<HiveValue>& content);

// Reads the hive file `path` back, values sorted by key and name.
HRESULT ReadHiveFile(const std::wstring& path, std::vector<HiveValue>* content);

bool SameHiveContent(std::vector<HiveValue> a, std::vector<HiveValue> b);

// HKLM\SYSTEM\CurrentControlSet\Control\hivelist: `name` (\REGISTRY\MACHINE\SYSTEM) gets the NT
// device path of `path` (\Device\HarddiskVolume1\...), as Windows shows its loaded hives.
HRESULT SetHiveListValue(const std::wstring& name, const std::wstring& path);
// Removes the value `name` from the hive list; a missing value is no error.
HRESULT RemoveHiveListValue(const std::wstring& name);
