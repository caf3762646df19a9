#include "machine_layout.h"

#include <algorithm>
#include <vector>

namespace {

// FNV-1a over the UTF-16 code units of the path: the seed of the file's content.
unsigned long long PathSeed(const std::wstring& path) {
  unsigned long long hash = 1469598103934665603ull;
  for (wchar_t c : path) {
    hash ^= static_cast<unsigned short>(c);
    hash *= 1099511628211ull;
  }
  return hash | 1;  // xorshift needs a state other than zero
}

// One step of xorshift64*, giving eight content bytes.
unsigned long long Mix(unsigned long long state) {
  state ^= state >> 12;
  state ^= state << 25;
  state ^= state >> 27;
  return state * 2685821657736338717ull;
}

HRESULT CreateFolders(const std::wstring& file_path) {
  for (size_t at = file_path.find(L'\\', 3); at != std::wstring::npos;
       at = file_path.find(L'\\', at + 1)) {
    std::wstring folder = file_path.substr(0, at);
    if (!CreateDirectoryW(folder.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS)
      return HRESULT_FROM_WIN32(GetLastError());
  }
  return S_OK;
}

}  // namespace

unsigned char LayoutByte(const std::wstring& described_path, unsigned long long offset) {
  // Each 8-byte word is derived from the seed and its index alone, so any byte can be checked
  // without generating the ones before it.
  unsigned long long word = Mix(PathSeed(described_path) ^ (offset / 8 + 1) * 0x9E3779B97F4A7C15ull);
  return static_cast<unsigned char>(word >> (8 * (offset % 8)));
}

std::wstring ExpandMachinePath(const std::wstring& path) {
  DWORD need = ExpandEnvironmentStringsW(path.c_str(), nullptr, 0);
  if (need == 0) return path;
  std::wstring expanded(need, L'\0');
  DWORD got = ExpandEnvironmentStringsW(path.c_str(), &expanded[0], need);
  if (got == 0 || got > need) return path;
  expanded.resize(got - 1);
  return expanded;
}

HRESULT WriteLayoutFile(const std::wstring& path, const std::wstring& seed,
                        unsigned long long size, std::wstring* error) {
  HRESULT hr = CreateFolders(path);
  HANDLE handle = INVALID_HANDLE_VALUE;
  if (SUCCEEDED(hr)) {
    handle = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) hr = HRESULT_FROM_WIN32(GetLastError());
  }
  std::vector<unsigned char> block;
  for (unsigned long long offset = 0; SUCCEEDED(hr) && offset < size;) {
    DWORD chunk = static_cast<DWORD>(std::min<unsigned long long>(65536, size - offset));
    block.resize(chunk);
    for (DWORD i = 0; i < chunk; ++i) block[i] = LayoutByte(seed, offset + i);
    DWORD written = 0;
    if (!WriteFile(handle, block.data(), chunk, &written, nullptr) || written != chunk)
      hr = HRESULT_FROM_WIN32(GetLastError());
    offset += chunk;
  }
  if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
  if (FAILED(hr) && error) {
    wchar_t code[16];
    swprintf(code, 16, L"%08lx", static_cast<unsigned long>(hr));
    *error = path + L": cannot write the file, error " + code;
  }
  return hr;
}

HRESULT LayOutMachine(const Machine& machine, size_t* created, std::wstring* error) {
  if (created) *created = 0;
  for (const MachineLayoutFile& file : machine.layout) {
    if (file.hive) continue;  // registry hives need the registry: the layout tool makes them
    std::wstring path = ExpandMachinePath(file.path);
    if (path.find(L'%') != std::wstring::npos) {
      if (error) *error = path + L": an environment variable of the path is not set";
      return HRESULT_FROM_WIN32(ERROR_ENVVAR_NOT_FOUND);
    }
    HRESULT hr = WriteLayoutFile(path, file.path, file.size, error);
    if (FAILED(hr)) return hr;
    if (created) ++*created;
  }
  return S_OK;
}
