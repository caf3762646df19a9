#include "com_catalog_control.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>

const wchar_t kComCatalogClassKey[] = L"Software\\Classes\\CLSID\\{F618C514-DFB8-11D1-A2CF-00805FC79235}";
const wchar_t kComCatalogRecordValue[] = L"RecordFile";
const wchar_t kComCatalogAnswerValue[] = L"RestoreAnswer";

namespace {

std::string Utf8(const std::wstring& text) {
  if (text.empty()) return {};
  int size = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
  std::string out(size, '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, &out[0], size, nullptr, nullptr);
  out.resize(size - 1);
  return out;
}

std::wstring FromUtf8(const std::string& text) {
  if (text.empty()) return {};
  int size = MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, nullptr, 0);
  std::wstring out(size, L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, &out[0], size);
  out.resize(size - 1);
  return out;
}

LONG SetString(HKEY key, const wchar_t* name, const std::wstring& value) {
  return RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                        static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
}

// The stand-in marks its registration with the record value.
bool IsStandIn(HKEY key) {
  return RegQueryValueExW(key, kComCatalogRecordValue, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
}

}  // namespace

std::wstring ComCatalogStandInPath() {
  wchar_t exe[MAX_PATH];
  DWORD length = GetModuleFileNameW(nullptr, exe, MAX_PATH);
  std::wstring path(exe, length);
  return path.substr(0, path.find_last_of(L'\\') + 1) + L"simcomcatalog.dll";
}

LONG RegisterComCatalogStandIn(const std::wstring& dll_path, const std::wstring& record_file, HRESULT answer) {
  HKEY key = nullptr;
  DWORD disposition = 0;
  LONG result = RegCreateKeyExW(HKEY_LOCAL_MACHINE, kComCatalogClassKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                                KEY_ALL_ACCESS, nullptr, &key, &disposition);
  if (result != ERROR_SUCCESS) return result;
  if (disposition == REG_OPENED_EXISTING_KEY && !IsStandIn(key)) {
    RegCloseKey(key);
    return ERROR_ALREADY_EXISTS;
  }
  HKEY server = nullptr;
  DWORD answer_value = static_cast<DWORD>(answer);
  result = SetString(key, kComCatalogRecordValue, record_file);
  if (result == ERROR_SUCCESS) result = SetString(key, nullptr, L"COM+ catalog stand-in");
  if (result == ERROR_SUCCESS)
    result = RegSetValueExW(key, kComCatalogAnswerValue, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&answer_value),
                            sizeof(answer_value));
  if (result == ERROR_SUCCESS)
    result = RegCreateKeyExW(key, L"InprocServer32", 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr,
                             &server, nullptr);
  if (result == ERROR_SUCCESS) result = SetString(server, nullptr, dll_path);
  if (result == ERROR_SUCCESS) result = SetString(server, L"ThreadingModel", L"Both");
  if (server) RegCloseKey(server);
  RegCloseKey(key);
  if (result != ERROR_SUCCESS) UnregisterComCatalogStandIn();
  return result;
}

LONG UnregisterComCatalogStandIn() {
  HKEY key = nullptr;
  LONG result = RegOpenKeyExW(HKEY_LOCAL_MACHINE, kComCatalogClassKey, 0, KEY_QUERY_VALUE, &key);
  if (result == ERROR_FILE_NOT_FOUND) return ERROR_SUCCESS;
  if (result != ERROR_SUCCESS) return result;
  bool ours = IsStandIn(key);
  RegCloseKey(key);
  if (!ours) return ERROR_ACCESS_DENIED;
  // With a subkey named, the key itself goes too.
  return RegDeleteTreeW(HKEY_LOCAL_MACHINE, kComCatalogClassKey);
}

ComCatalogRestoreCall DescribeComCatalogFile(const std::wstring& file) {
  ComCatalogRestoreCall call;
  call.file = file;
  HANDLE handle = CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file.empty() || handle == INVALID_HANDLE_VALUE) return call;
  unsigned long long digest = 14695981039346656037ull;
  long long size = 0;
  BYTE buffer[65536];
  DWORD read = 0;
  while (ReadFile(handle, buffer, sizeof(buffer), &read, nullptr) && read > 0) {
    for (DWORD i = 0; i < read; ++i) digest = (digest ^ buffer[i]) * 1099511628211ull;
    size += read;
  }
  CloseHandle(handle);
  call.size = size;
  call.digest = digest;
  return call;
}

void AppendComCatalogRecord(const std::wstring& record_file, const ComCatalogRestoreCall& call) {
  char numbers[80];
  snprintf(numbers, sizeof(numbers), "%08lx\t%lld\t%016llx\t", static_cast<unsigned long>(call.answer), call.size,
           call.digest);
  std::string line = numbers + Utf8(call.file) + "\r\n";
  HANDLE file = CreateFileW(record_file.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  DWORD written = 0;
  WriteFile(file, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
  CloseHandle(file);
}

std::vector<ComCatalogRestoreCall> ReadComCatalogRecord(const std::wstring& record_file) {
  std::vector<ComCatalogRestoreCall> calls;
  std::ifstream in(record_file.c_str(), std::ios::binary);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    size_t first = line.find('\t'), second = line.find('\t', first + 1), third = line.find('\t', second + 1);
    if (third == std::string::npos) continue;
    ComCatalogRestoreCall call;
    call.answer = static_cast<HRESULT>(strtoul(line.c_str(), nullptr, 16));
    call.size = strtoll(line.c_str() + first + 1, nullptr, 10);
    call.digest = strtoull(line.c_str() + second + 1, nullptr, 16);
    call.file = FromUtf8(line.substr(third + 1));
    calls.push_back(call);
  }
  return calls;
}
