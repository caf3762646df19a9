#include "registry_replace_recorder.h"

#include "import_patch.h"
#include "privileges.h"

#include <winternl.h>

#include <cwchar>
#include <fstream>

namespace {

SRWLOCK g_lock = SRWLOCK_INIT;
std::vector<RecordedHiveReplacement> g_calls;
std::string g_record_file;

std::string Narrow(const std::wstring& text) {
  if (text.empty()) return {};
  int size = WideCharToMultiByte(CP_ACP, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
  std::string out(size, '\0');
  WideCharToMultiByte(CP_ACP, 0, text.c_str(), -1, &out[0], size, nullptr, nullptr);
  out.resize(size - 1);
  return out;
}

std::wstring Widen(const char* text) {
  int size = MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
  if (size <= 1) return {};
  std::wstring out(size, L'\0');
  MultiByteToWideChar(CP_ACP, 0, text, -1, &out[0], size);
  out.resize(size - 1);
  return out;
}

bool StartsWithPath(const std::wstring& path, const std::wstring& prefix) {
  return path.size() >= prefix.size() && _wcsnicmp(path.c_str(), prefix.c_str(), prefix.size()) == 0 &&
         (path.size() == prefix.size() || path[prefix.size()] == L'\\');
}

// The kernel's name of an open key, such as \REGISTRY\MACHINE\System; empty when the handle is
// not a key.
std::wstring NtKeyPath(HKEY key) {
  using QueryKey = NTSTATUS(NTAPI*)(HANDLE, int, void*, ULONG, ULONG*);
  static auto query = reinterpret_cast<QueryKey>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQueryKey")));
  const int kKeyNameInformation = 3;
  ULONG buffer[1024];  // a length and the name, 4 KiB
  ULONG size = 0;
  if (!query || query(key, kKeyNameInformation, buffer, sizeof(buffer) - sizeof(WCHAR), &size) != 0) return {};
  return std::wstring(reinterpret_cast<const WCHAR*>(buffer + 1), buffer[0] / sizeof(WCHAR));
}

std::string KeyName(HKEY key) {
  static const struct {
    HKEY key;
    const char* name;
  } kRoots[] = {{HKEY_LOCAL_MACHINE, "HKEY_LOCAL_MACHINE"}, {HKEY_USERS, "HKEY_USERS"},
                {HKEY_CURRENT_USER, "HKEY_CURRENT_USER"},   {HKEY_CLASSES_ROOT, "HKEY_CLASSES_ROOT"},
                {HKEY_CURRENT_CONFIG, "HKEY_CURRENT_CONFIG"}};
  for (const auto& root : kRoots)
    if (key == root.key) return root.name;
  std::wstring path = NtKeyPath(key);
  static const struct {
    const wchar_t* nt;
    const char* name;
  } kSpaces[] = {{L"\\REGISTRY\\MACHINE", "HKEY_LOCAL_MACHINE"}, {L"\\REGISTRY\\USER", "HKEY_USERS"}};
  for (const auto& space : kSpaces)
    if (StartsWithPath(path, space.nt)) return space.name + Narrow(path.substr(wcslen(space.nt)));
  char text[32];
  snprintf(text, sizeof(text), "%p", static_cast<void*>(key));
  return text;
}

bool PrivilegesEnabled() {
  HANDLE token = nullptr;
  if (!OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &token) &&
      !OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
    return false;
  LUID backup{}, restore{};
  LookupPrivilegeValueA(nullptr, SE_BACKUP_NAME, &backup);
  LookupPrivilegeValueA(nullptr, SE_RESTORE_NAME, &restore);
  DWORD size = 0;
  GetTokenInformation(token, TokenPrivileges, nullptr, 0, &size);
  std::vector<BYTE> buffer(size + 1);
  bool backup_on = false, restore_on = false;
  if (GetTokenInformation(token, TokenPrivileges, buffer.data(), size, &size)) {
    auto* privileges = reinterpret_cast<TOKEN_PRIVILEGES*>(buffer.data());
    for (DWORD i = 0; i < privileges->PrivilegeCount; ++i) {
      const LUID_AND_ATTRIBUTES& entry = privileges->Privileges[i];
      if (!(entry.Attributes & SE_PRIVILEGE_ENABLED)) continue;
      if (entry.Luid.LowPart == backup.LowPart && entry.Luid.HighPart == backup.HighPart) backup_on = true;
      if (entry.Luid.LowPart == restore.LowPart && entry.Luid.HighPart == restore.HighPart) restore_on = true;
    }
  }
  CloseHandle(token);
  return backup_on && restore_on;
}

// A hive list file name as a drive-letter path; empty when no drive shows its device.
std::wstring DriveLetterPath(const std::wstring& file) {
  if (file.size() >= 2 && file[1] == L':') return file;
  std::vector<wchar_t> targets(4096);
  for (wchar_t letter = L'A'; letter <= L'Z'; ++letter) {
    const wchar_t drive[] = {letter, L':', 0};
    DWORD length = QueryDosDeviceW(drive, targets.data(), static_cast<DWORD>(targets.size()));
    // The list ends with an empty string, which would match every path.
    for (DWORD i = 0; i < length && targets[i]; i += static_cast<DWORD>(wcslen(&targets[i])) + 1) {
      std::wstring device(&targets[i]);
      if (StartsWithPath(file, device) && file.size() > device.size()) return drive + file.substr(device.size());
    }
  }
  return {};
}

// Walks up from the key to the nearest hive root of the hive list and gives that hive's file.
std::wstring HiveFileOf(const std::wstring& key_path) {
  HKEY list = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Control\\hivelist", 0, KEY_QUERY_VALUE,
                    &list) != ERROR_SUCCESS)
    return {};
  std::wstring best_root, best_file;
  wchar_t name[512];
  wchar_t data[2048];
  for (DWORD index = 0;; ++index) {
    DWORD name_length = ARRAYSIZE(name), data_size = sizeof(data) - sizeof(wchar_t), type = 0;
    LONG result = RegEnumValueW(list, index, name, &name_length, nullptr, &type,
                                reinterpret_cast<BYTE*>(data), &data_size);
    if (result == ERROR_NO_MORE_ITEMS) break;
    if (result != ERROR_SUCCESS || type != REG_SZ) continue;
    data[data_size / sizeof(wchar_t)] = 0;
    if (StartsWithPath(key_path, name) && name_length > best_root.size()) {
      best_root = name;
      best_file = data;
    }
  }
  RegCloseKey(list);
  return best_file.empty() ? std::wstring() : DriveLetterPath(best_file);
}

LONG Check(HKEY key, LPCSTR subkey, LPCSTR new_file, LPCSTR old_file, std::string* hive_file) {
  if (!PrivilegesEnabled()) return ERROR_PRIVILEGE_NOT_HELD;
  if (!new_file || !old_file) return ERROR_INVALID_PARAMETER;
  HKEY opened = nullptr;
  LONG open_result = RegOpenKeyExA(key, subkey ? subkey : "", 0, KEY_QUERY_VALUE, &opened);
  std::wstring path;
  if (open_result == ERROR_SUCCESS) {
    path = NtKeyPath(opened);
    RegCloseKey(opened);
  } else {
    // A hive list entry stands for a loaded hive, though Wine has no key for most of them
    // (SAM, SECURITY, the service accounts' profiles): its name is taken as the caller spelled it.
    std::wstring base = key == HKEY_LOCAL_MACHINE ? L"\\REGISTRY\\MACHINE"
                        : key == HKEY_USERS      ? L"\\REGISTRY\\USER"
                                                 : NtKeyPath(key);
    if (!base.empty() && subkey && *subkey) path = base + L"\\" + Widen(subkey);
  }
  std::wstring file = path.empty() ? std::wstring() : HiveFileOf(path);
  if (file.empty()) {
    if (open_result != ERROR_SUCCESS) return open_result;
    return ERROR_INVALID_PARAMETER;  // no file behind the key: Windows cannot replace it either
  }
  if (GetFileAttributesA(new_file) == INVALID_FILE_ATTRIBUTES) return static_cast<LONG>(GetLastError());
  *hive_file = Narrow(file);
  return ERROR_SUCCESS;
}

void AppendToRecordFile(const std::string& record_file, const RecordedHiveReplacement& call) {
  std::string line = std::to_string(call.result) + "\t" + call.key + "\t" + call.subkey + "\t" + call.new_file +
                     "\t" + call.old_file + "\t" + call.hive_file + "\r\n";
  HANDLE file = CreateFileA(record_file.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  DWORD written = 0;
  WriteFile(file, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
  CloseHandle(file);
}

}  // namespace

LONG WINAPI RecordingRegReplaceKeyA(HKEY key, LPCSTR subkey, LPCSTR new_file, LPCSTR old_file) {
  DWORD last_error = GetLastError();
  RecordedHiveReplacement call;
  call.key = KeyName(key);
  call.subkey = subkey ? subkey : "";
  call.new_file = new_file ? new_file : "";
  call.old_file = old_file ? old_file : "";
  call.result = Check(key, subkey, new_file, old_file, &call.hive_file);
  AcquireSRWLockExclusive(&g_lock);
  g_calls.push_back(call);
  std::string record_file = g_record_file;
  ReleaseSRWLockExclusive(&g_lock);
  if (!record_file.empty()) AppendToRecordFile(record_file, call);
  SetLastError(last_error);
  return call.result;
}

bool InstallRegistryReplaceRecorder(HMODULE module, const char* record_file) {
  AcquireSRWLockExclusive(&g_lock);
  g_record_file = record_file ? record_file : "";
  ReleaseSRWLockExclusive(&g_lock);
  return ReplaceImport(module, "advapi32.dll", "RegReplaceKeyA",
                       reinterpret_cast<void*>(&RecordingRegReplaceKeyA)) != nullptr;
}

std::vector<RecordedHiveReplacement> RecordedHiveReplacements() {
  AcquireSRWLockShared(&g_lock);
  std::vector<RecordedHiveReplacement> calls = g_calls;
  ReleaseSRWLockShared(&g_lock);
  return calls;
}

void ClearRecordedHiveReplacements() {
  AcquireSRWLockExclusive(&g_lock);
  g_calls.clear();
  ReleaseSRWLockExclusive(&g_lock);
}

std::vector<RecordedHiveReplacement> ReadHiveReplacementRecord(const char* record_file) {
  std::vector<RecordedHiveReplacement> calls;
  std::ifstream in(record_file, std::ios::binary);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::vector<std::string> fields(1);
    for (char c : line) {
      if (c == '\t') fields.emplace_back();
      else fields.back() += c;
    }
    if (fields.size() != 6 || fields[0].empty()) continue;
    RecordedHiveReplacement call;
    call.result = strtol(fields[0].c_str(), nullptr, 10);
    call.key = fields[1];
    call.subkey = fields[2];
    call.new_file = fields[3];
    call.old_file = fields[4];
    call.hive_file = fields[5];
    calls.push_back(call);
  }
  return calls;
}

bool SetHivePrivileges(bool enable) {
  return SetProcessPrivileges({SE_BACKUP_NAME, SE_RESTORE_NAME}, enable).empty();
}

bool CarryOutHiveReplacements(const std::vector<RecordedHiveReplacement>& calls, std::string* error) {
  for (const RecordedHiveReplacement& call : calls) {
    if (call.result != ERROR_SUCCESS) continue;
    if (!CopyFileA(call.hive_file.c_str(), call.old_file.c_str(), FALSE)) {
      *error = "cannot keep " + call.hive_file + " as " + call.old_file + ": " + std::to_string(GetLastError());
      return false;
    }
    if (!CopyFileA(call.new_file.c_str(), call.hive_file.c_str(), FALSE)) {
      *error = "cannot replace " + call.hive_file + " with " + call.new_file + ": " + std::to_string(GetLastError());
      return false;
    }
  }
  return true;
}
