#include "hive_file.h"

#include <shlobj.h>

#include <algorithm>
#include <tuple>

#include "machine_layout.h"
#include "privileges.h"

namespace {

const wchar_t kHiveListKey[] = L"SYSTEM\\CurrentControlSet\\Control\\hivelist";

// RegSaveKey needs SeBackupPrivilege, RegLoadKey both it and SeRestorePrivilege.
void EnableHivePrivileges() {
  static bool done = false;
  if (done) return;
  done = true;
  SetProcessPrivileges({SE_BACKUP_NAME, SE_RESTORE_NAME}, true);
}

HiveValue Text(const std::wstring& key, const std::wstring& name, DWORD type,
               const std::wstring& text) {
  HiveValue v{key, name, type, {}};
  const BYTE* bytes = reinterpret_cast<const BYTE*>(text.c_str());
  v.data.assign(bytes, bytes + (text.size() + 1) * sizeof(wchar_t));
  return v;
}

HiveValue Dword(const std::wstring& key, const std::wstring& name, DWORD value) {
  HiveValue v{key, name, REG_DWORD, {}};
  const BYTE* bytes = reinterpret_cast<const BYTE*>(&value);
  v.data.assign(bytes, bytes + sizeof value);
  return v;
}

HRESULT Win32(LONG code) { return code == ERROR_SUCCESS ? S_OK : HRESULT_FROM_WIN32(code); }

HRESULT ReadKey(HKEY key, const std::wstring& below, std::vector<HiveValue>* out) {
  for (DWORD i = 0;; ++i) {
    wchar_t name[16384];
    DWORD name_size = 16384, type = 0, data_size = 0;
    LONG rc = RegEnumValueW(key, i, name, &name_size, nullptr, &type, nullptr, &data_size);
    if (rc == ERROR_NO_MORE_ITEMS) break;
    if (rc != ERROR_SUCCESS) return Win32(rc);
    HiveValue v{below, std::wstring(name, name_size), type, std::vector<BYTE>(data_size)};
    name_size = 16384;
    rc = RegEnumValueW(key, i, name, &name_size, nullptr, &type, v.data.data(), &data_size);
    if (rc != ERROR_SUCCESS) return Win32(rc);
    v.data.resize(data_size);
    out->push_back(std::move(v));
  }
  for (DWORD i = 0;; ++i) {
    wchar_t name[256];
    DWORD name_size = 256;
    LONG rc = RegEnumKeyExW(key, i, name, &name_size, nullptr, nullptr, nullptr, nullptr);
    if (rc == ERROR_NO_MORE_ITEMS) break;
    if (rc != ERROR_SUCCESS) return Win32(rc);
    HKEY child;
    rc = RegOpenKeyExW(key, name, 0, KEY_READ, &child);
    if (rc != ERROR_SUCCESS) return Win32(rc);
    HRESULT hr = ReadKey(child, below.empty() ? name : below + L"\\" + name, out);
    RegCloseKey(child);
    if (FAILED(hr)) return hr;
  }
  return S_OK;
}

void Sort(std::vector<HiveValue>* values) {
  std::sort(values->begin(), values->end(), [](const HiveValue& a, const HiveValue& b) {
    int key = _wcsicmp(a.key.c_str(), b.key.c_str());
    return key != 0 ? key < 0 : _wcsicmp(a.name.c_str(), b.name.c_str()) < 0;
  });
}

}  // namespace

std::vector<HiveValue> HiveContent(const std::wstring& described_path, const std::wstring& seed,
                                   unsigned version) {
  std::vector<HiveValue> content;
  content.push_back(Text(L"SimVss", L"File", REG_SZ, described_path));
  content.push_back(Dword(L"SimVss", L"Version", version));
  HiveValue filler{L"SimVss", L"Filler", REG_BINARY, std::vector<BYTE>(256)};
  for (size_t i = 0; i < filler.data.size(); ++i) filler.data[i] = LayoutByte(seed, i);
  content.push_back(filler);
  std::wstring name = described_path.substr(described_path.rfind(L'\\') + 1);
  if (_wcsicmp(name.c_str(), L"SYSTEM") == 0) {
    content.push_back(Dword(L"Select", L"Current", 1));
    content.push_back(Dword(L"Select", L"Default", 1));
    content.push_back(Dword(L"Select", L"Failed", 0));
    content.push_back(Dword(L"Select", L"LastKnownGood", 1));
    content.push_back(Text(L"ControlSet001\\Control\\Session Manager", L"BootExecute",
                           REG_MULTI_SZ, std::wstring(L"autocheck autochk *") + L'\0'));
  }
  return content;
}

HRESULT WriteHiveFile(const std::wstring& path, const std::vector<HiveValue>& content) {
  EnableHivePrivileges();
  // The values are gathered below a scratch key of this process, saved, and the key dropped.
  const std::wstring scratch = L"Software\\SimVss Layout\\" + std::to_wstring(GetCurrentProcessId());
  RegDeleteTreeW(HKEY_CURRENT_USER, scratch.c_str());  // left over by a process that died
  HKEY root;
  HRESULT hr = Win32(RegCreateKeyExW(HKEY_CURRENT_USER, scratch.c_str(), 0, nullptr,
                                     REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, &root,
                                     nullptr));
  if (FAILED(hr)) return hr;
  for (const HiveValue& v : content) {
    HKEY key;
    hr = Win32(RegCreateKeyExW(root, v.key.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                               KEY_ALL_ACCESS, nullptr, &key, nullptr));
    if (FAILED(hr)) break;
    hr = Win32(RegSetValueExW(key, v.name.c_str(), 0, v.type, v.data.data(),
                              static_cast<DWORD>(v.data.size())));
    RegCloseKey(key);
    if (FAILED(hr)) break;
  }
  if (SUCCEEDED(hr)) {
    std::wstring folder = path.substr(0, path.rfind(L'\\'));
    int made = SHCreateDirectoryExW(nullptr, folder.c_str(), nullptr);
    if (made != ERROR_SUCCESS && made != ERROR_ALREADY_EXISTS && made != ERROR_FILE_EXISTS)
      hr = Win32(made);
  }
  // RegSaveKey refuses to overwrite a file.
  if (SUCCEEDED(hr) && !DeleteFileW(path.c_str()) && GetLastError() != ERROR_FILE_NOT_FOUND)
    hr = Win32(GetLastError());
  if (SUCCEEDED(hr)) hr = Win32(RegSaveKeyW(root, path.c_str(), nullptr));
  RegCloseKey(root);
  RegDeleteTreeW(HKEY_CURRENT_USER, scratch.c_str());
  RegDeleteKeyW(HKEY_CURRENT_USER, L"Software\\SimVss Layout");
  return hr;
}

HRESULT ReadHiveFile(const std::wstring& path, std::vector<HiveValue>* content) {
  EnableHivePrivileges();
  content->clear();
  if (GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES)
    return Win32(GetLastError());  // RegLoadKey would create it
  const std::wstring mount = L"SimVss Verify " + std::to_wstring(GetCurrentProcessId());
  HRESULT hr = Win32(RegLoadKeyW(HKEY_LOCAL_MACHINE, mount.c_str(), path.c_str()));
  if (FAILED(hr)) return hr;
  HKEY root;
  hr = Win32(RegOpenKeyExW(HKEY_LOCAL_MACHINE, mount.c_str(), 0, KEY_READ, &root));
  if (SUCCEEDED(hr)) {
    hr = ReadKey(root, L"", content);
    RegCloseKey(root);
  }
  RegUnLoadKeyW(HKEY_LOCAL_MACHINE, mount.c_str());
  Sort(content);
  return hr;
}

bool SameHiveContent(std::vector<HiveValue> a, std::vector<HiveValue> b) {
  if (a.size() != b.size()) return false;
  Sort(&a);
  Sort(&b);
  for (size_t i = 0; i < a.size(); ++i)
    if (_wcsicmp(a[i].key.c_str(), b[i].key.c_str()) != 0 ||
        _wcsicmp(a[i].name.c_str(), b[i].name.c_str()) != 0 ||
        std::tie(a[i].type, a[i].data) != std::tie(b[i].type, b[i].data))
      return false;
  return true;
}

HRESULT SetHiveListValue(const std::wstring& name, const std::wstring& path) {
  if (path.size() < 3 || path[1] != L':' || path[2] != L'\\') return E_INVALIDARG;
  wchar_t device[MAX_PATH];
  if (!QueryDosDeviceW(path.substr(0, 2).c_str(), device, MAX_PATH)) return Win32(GetLastError());
  std::wstring data = std::wstring(device) + path.substr(2);
  HKEY key;
  HRESULT hr = Win32(RegCreateKeyExW(HKEY_LOCAL_MACHINE, kHiveListKey, 0, nullptr,
                                     REG_OPTION_NON_VOLATILE, KEY_SET_VALUE, nullptr, &key,
                                     nullptr));
  if (FAILED(hr)) return hr;
  hr = Win32(RegSetValueExW(key, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(data.c_str()),
                            static_cast<DWORD>((data.size() + 1) * sizeof(wchar_t))));
  RegCloseKey(key);
  return hr;
}

HRESULT RemoveHiveListValue(const std::wstring& name) {
  LONG rc = RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, kHiveListKey, name.c_str());
  return rc == ERROR_FILE_NOT_FOUND ? S_OK : Win32(rc);
}
