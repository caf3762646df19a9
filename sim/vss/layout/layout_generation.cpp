#include "layout_generation.h"

#include <algorithm>
#include <map>
#include <set>

#include "hive_file.h"
#include "machine_layout.h"

namespace {

enum class Change { kNone, kContent, kRemove, kAddBeside };

// A number fixed by the file's described path and the generation alone.
unsigned GenerationHash(const std::wstring& path, unsigned generation) {
  unsigned hash = 0;
  for (unsigned k = 0; k < 4; ++k)
    hash = hash << 8 | LayoutByte(path, (1ull << 40) + generation * 8ull + k);
  return hash;
}

// The name of a file added in `generation` beside `path`: the same folder and extension, so the
// descriptors with wildcards that take the neighbour take it too.
std::wstring AddedBeside(const std::wstring& path, unsigned generation) {
  size_t slash = path.rfind(L'\\');
  size_t dot = path.rfind(L'.');
  if (dot == std::wstring::npos || dot < slash) dot = path.size();
  return path.substr(0, dot) + L"-g" + std::to_wstring(generation) + path.substr(dot);
}

// Roughly a quarter of the files change in each generation, one in sixteen goes away and one in
// sixteen gets a new neighbour; each kind happens at least once while there are files for it.
std::vector<Change> PickChanges(const std::vector<GenerationFile>& files,
                                const std::vector<unsigned>& hashes) {
  std::vector<Change> picked(files.size(), Change::kNone);
  bool any[4] = {};
  for (size_t i = 0; i < files.size(); ++i) {
    unsigned h = hashes[i];
    if (h % 4 == 0) picked[i] = Change::kContent;
    else if (h % 16 == 1 && !files[i].hive) picked[i] = Change::kRemove;
    else if (h % 16 == 2 && !files[i].hive) picked[i] = Change::kAddBeside;
    any[static_cast<int>(picked[i])] = true;
  }
  for (Change kind : {Change::kContent, Change::kRemove, Change::kAddBeside}) {
    if (any[static_cast<int>(kind)]) continue;
    size_t best = files.size();
    for (size_t i = 0; i < files.size(); ++i)
      if (picked[i] == Change::kNone && (kind == Change::kContent || !files[i].hive) &&
          (best == files.size() || hashes[i] < hashes[best]))
        best = i;
    if (best < files.size()) picked[best] = kind;
  }
  return picked;
}

std::wstring Lower(std::wstring text) {
  for (wchar_t& c : text) c = towlower(c);
  return text;
}

std::wstring Hex(HRESULT hr) {
  wchar_t text[16];
  swprintf(text, 16, L"%08lx", static_cast<unsigned long>(hr));
  return text;
}

// Empty when the file is as laid out, otherwise why not (or "missing").
std::wstring CompareFile(const std::wstring& path, const GenerationFile& file) {
  if (file.hive) {
    std::vector<HiveValue> found;
    HRESULT hr = ReadHiveFile(path, &found);
    if (hr == HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND) ||
        hr == HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND))
      return L"missing";
    if (FAILED(hr)) return L"not a loadable hive, error " + Hex(hr);
    return SameHiveContent(found, HiveContent(file.path, ContentSeed(file), file.version))
               ? L""
               : L"other registry content";
  }
  HANDLE handle = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    DWORD code = GetLastError();
    return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND
               ? L"missing"
               : L"unreadable, error " + std::to_wstring(code);
  }
  LARGE_INTEGER size{};
  GetFileSizeEx(handle, &size);
  std::wstring why;
  if (static_cast<unsigned long long>(size.QuadPart) != file.size) {
    why = L"size " + std::to_wstring(size.QuadPart) + L", expected " + std::to_wstring(file.size);
  } else {
    const std::wstring seed = ContentSeed(file);
    std::vector<unsigned char> block(65536);
    unsigned long long offset = 0;
    DWORD got = 0;
    while (why.empty() && ReadFile(handle, block.data(), 65536, &got, nullptr) && got > 0) {
      for (DWORD i = 0; i < got; ++i)
        if (block[i] != LayoutByte(seed, offset + i)) {
          why = L"content differs from offset " + std::to_wstring(offset + i);
          break;
        }
      offset += got;
    }
  }
  CloseHandle(handle);
  return why;
}

void FindFiles(const std::wstring& folder, std::vector<std::wstring>* found) {
  WIN32_FIND_DATAW data;
  HANDLE find = FindFirstFileW((folder + L"\\*").c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) return;
  do {
    std::wstring name = data.cFileName;
    if (name == L"." || name == L"..") continue;
    if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) FindFiles(folder + L"\\" + name, found);
    else found->push_back(folder + L"\\" + name);
  } while (FindNextFileW(find, &data));
  FindClose(find);
}

bool Expand(const std::wstring& described, std::wstring* path, std::wstring* error) {
  *path = ExpandMachinePath(described);
  if (path->find(L'%') == std::wstring::npos) return true;
  if (error) *error = *path + L": an environment variable of the path is not set";
  return false;
}

}  // namespace

std::wstring ContentSeed(const GenerationFile& file) {
  return file.version == 0 ? file.path : file.path + L"|" + std::to_wstring(file.version);
}

std::vector<GenerationFile> GenerationFiles(const Machine& machine, unsigned generation,
                                            std::vector<std::wstring>* removed) {
  std::vector<GenerationFile> files;
  for (const MachineLayoutFile& f : machine.layout)
    files.push_back({f.path, f.size, 0, f.hive, f.loaded_as});
  std::map<std::wstring, std::wstring> ever;  // lower case → as described
  for (const GenerationFile& f : files) ever[Lower(f.path)] = f.path;

  for (unsigned g = 1; g <= generation; ++g) {
    std::vector<unsigned> hashes;
    for (const GenerationFile& f : files) hashes.push_back(GenerationHash(f.path, g));
    std::vector<Change> changes = PickChanges(files, hashes);
    std::vector<GenerationFile> next;
    for (size_t i = 0; i < files.size(); ++i) {
      GenerationFile f = files[i];
      unsigned h = hashes[i] >> 4;
      switch (changes[i]) {
        case Change::kRemove:
          continue;
        case Change::kContent:
          ++f.version;
          if (h % 3 == 1) f.size += 1 + (h >> 2) % 4096;   // grows
          else if (h % 3 == 2) f.size -= f.size / 3;        // shrinks
          break;
        case Change::kAddBeside: {
          GenerationFile added;
          added.path = AddedBeside(f.path, g);
          added.size = 1 + (h >> 2) % 8192;
          next.push_back(added);
          ever[Lower(added.path)] = added.path;
          break;
        }
        case Change::kNone:
          break;
      }
      next.push_back(f);
    }
    files = std::move(next);
  }

  if (removed) {
    removed->clear();
    std::set<std::wstring> present;
    for (const GenerationFile& f : files) present.insert(Lower(f.path));
    for (const auto& [lower, path] : ever)
      if (!present.count(lower)) removed->push_back(path);
  }
  return files;
}

HRESULT LayOutGeneration(const Machine& machine, unsigned generation, LayoutCounts* counts,
                         std::wstring* error) {
  LayoutCounts scratch;
  if (!counts) counts = &scratch;
  *counts = LayoutCounts();
  std::vector<std::wstring> removed;
  std::vector<GenerationFile> files = GenerationFiles(machine, generation, &removed);
  for (const GenerationFile& file : files) {
    std::wstring path;
    if (!Expand(file.path, &path, error)) return HRESULT_FROM_WIN32(ERROR_ENVVAR_NOT_FOUND);
    if (CompareFile(path, file).empty()) {
      ++counts->unchanged;
    } else {
      HRESULT hr = file.hive ? WriteHiveFile(path, HiveContent(file.path, ContentSeed(file), file.version))
                             : WriteLayoutFile(path, ContentSeed(file), file.size, error);
      if (FAILED(hr)) {
        if (error && file.hive) *error = path + L": cannot save the hive, error " + Hex(hr);
        return hr;
      }
      ++counts->written;
    }
    if (file.loaded_as) {
      HRESULT hr = SetHiveListValue(*file.loaded_as, path);
      if (FAILED(hr)) {
        if (error) *error = *file.loaded_as + L": cannot write the hive list value, error " + Hex(hr);
        return hr;
      }
    }
  }
  for (const std::wstring& described : removed) {
    std::wstring path;
    if (!Expand(described, &path, error)) return HRESULT_FROM_WIN32(ERROR_ENVVAR_NOT_FOUND);
    if (DeleteFileW(path.c_str())) ++counts->removed;
    else if (GetLastError() != ERROR_FILE_NOT_FOUND && GetLastError() != ERROR_PATH_NOT_FOUND) {
      if (error) *error = path + L": cannot delete, error " + std::to_wstring(GetLastError());
      return HRESULT_FROM_WIN32(GetLastError());
    }
  }
  return S_OK;
}

HRESULT RemoveMachineHiveList(const Machine& machine, std::wstring* error) {
  for (const MachineLayoutFile& f : machine.layout) {
    if (!f.loaded_as) continue;
    HRESULT hr = RemoveHiveListValue(*f.loaded_as);
    if (FAILED(hr)) {
      if (error) *error = *f.loaded_as + L": cannot remove the hive list value, error " + Hex(hr);
      return hr;
    }
  }
  return S_OK;
}

HRESULT VerifyGeneration(const Machine& machine, unsigned generation, const std::wstring& root,
                         VerifyReport* report) {
  *report = VerifyReport();
  std::map<std::wstring, std::pair<std::wstring, GenerationFile>> expected;  // by lower-case path
  for (const GenerationFile& file : GenerationFiles(machine, generation)) {
    std::wstring path, error;
    if (!Expand(file.path, &path, &error)) {
      report->differences.push_back(error);
      return HRESULT_FROM_WIN32(ERROR_ENVVAR_NOT_FOUND);
    }
    expected[Lower(path)] = {path, file};
  }
  std::vector<std::wstring> found;
  FindFiles(root, &found);
  std::sort(found.begin(), found.end());
  for (const std::wstring& path : found)
    if (!expected.count(Lower(path))) report->differences.push_back(L"extra: " + path);
  for (const auto& [lower, entry] : expected) {
    std::wstring why = CompareFile(entry.first, entry.second);
    if (why.empty()) ++report->identical;
    else if (why == L"missing") report->differences.push_back(L"missing: " + entry.first);
    else report->differences.push_back(L"different: " + entry.first + L" (" + why + L")");
  }
  return S_OK;
}
