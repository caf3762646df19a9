#include "reboot.h"

#include "registry_replace_recorder.h"

#include <windows.h>
#include <shlwapi.h>

#include "machine_layout.h"

namespace {

const wchar_t kSessionManager[] = L"SYSTEM\\CurrentControlSet\\Control\\Session Manager";
const VSS_ID kSystemWriter = {0xe8132975, 0x6f93, 0x4464, {0xa5, 0x3e, 0x10, 0x50, 0x25, 0x3a, 0xe2, 0x20}};

// An NT path as a Win32 path: \??\C:\x is \\?\C:\x; other NT names (\Device\...) are reached
// through GLOBALROOT.
std::wstring Win32Path(const std::wstring& nt_path) {
  if (nt_path.compare(0, 4, L"\\??\\") == 0) return L"\\\\?\\" + nt_path.substr(4);
  return L"\\\\?\\GLOBALROOT" + nt_path;
}

bool Exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

// The machine's protected files: what its System Writer's components name.
bool IsProtected(const Machine* machine, const std::wstring& nt_path) {
  if (!machine || nt_path.compare(0, 4, L"\\??\\") != 0) return false;
  std::wstring path = nt_path.substr(4);
  size_t slash = path.rfind(L'\\');
  if (slash == std::wstring::npos) return false;
  std::wstring folder = path.substr(0, slash), name = path.substr(slash + 1);
  const MachineWriter* system = FindWriterByClass(*machine, kSystemWriter);
  for (const MachineComponent& c : system ? system->components : std::vector<MachineComponent>()) {
    for (const MachineFile& f : c.files) {
      std::wstring spec_folder = ExpandMachinePath(f.path);
      bool inside = _wcsicmp(folder.c_str(), spec_folder.c_str()) == 0 ||
                    (f.recursive && folder.size() > spec_folder.size() &&
                     _wcsnicmp(folder.c_str(), (spec_folder + L"\\").c_str(), spec_folder.size() + 1) == 0);
      if (inside && PathMatchSpecW(name.c_str(), f.filespec.c_str())) return true;
    }
  }
  return false;
}

std::wstring ErrorText(DWORD code) { return L"failed, error " + std::to_wstring(code); }

std::wstring Delete(const std::wstring& nt_path) {
  std::wstring path = Win32Path(nt_path);
  DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return L"missing";
  if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
    if (RemoveDirectoryW(path.c_str())) return L"folder removed";
    return GetLastError() == ERROR_DIR_NOT_EMPTY ? L"folder not empty, left alone"
                                                 : ErrorText(GetLastError());
  }
  return DeleteFileW(path.c_str()) ? L"deleted" : ErrorText(GetLastError());
}

std::wstring Move(const std::wstring& nt_source, const std::wstring& nt_target, bool replace) {
  std::wstring source = Win32Path(nt_source), target = Win32Path(nt_target);
  if (!Exists(source)) return L"source missing";
  bool existed = Exists(target);
  if (existed && !replace) return L"target exists, not replaced";
  if (!MoveFileExW(source.c_str(), target.c_str(), replace ? MOVEFILE_REPLACE_EXISTING : 0))
    return ErrorText(GetLastError());
  return existed ? L"replaced" : L"moved";
}

}  // namespace

std::vector<PendingOperation> ParsePendingOperations(const wchar_t* value, size_t chars,
                                                     std::wstring* unpaired) {
  // Empty strings are targets here, so the list is split at every NUL, not ended by an empty one.
  std::vector<std::wstring> strings;
  size_t start = 0;
  for (size_t i = 0; i < chars; ++i) {
    if (value[i] != 0) continue;
    strings.emplace_back(value + start, i - start);
    start = i + 1;
  }
  if (start < chars) strings.emplace_back(value + start, chars - start);
  std::vector<PendingOperation> operations;
  for (size_t i = 0; i + 1 < strings.size(); i += 2) operations.push_back({strings[i], strings[i + 1]});
  if (unpaired) unpaired->clear();
  // An odd string left over is the list's final NUL, or a source without its target.
  if (strings.size() % 2 == 1 && unpaired) *unpaired = strings.back();
  return operations;
}

int RunReboot(const Machine* machine, std::wostream& out) {
  HKEY key;
  LONG rc = RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSessionManager, 0, KEY_QUERY_VALUE | KEY_SET_VALUE, &key);
  if (rc != ERROR_SUCCESS) {
    out << L"simvss-reboot: cannot open the Session Manager key, error " << rc << L"\n";
    return 1;
  }
  DWORD allow = 0, size = sizeof allow, type = 0;
  if (RegQueryValueExW(key, L"AllowProtectedRenames", nullptr, &type, reinterpret_cast<BYTE*>(&allow),
                       &size) != ERROR_SUCCESS ||
      type != REG_DWORD)
    allow = 0;

  size = 0;
  rc = RegQueryValueExW(key, L"PendingFileRenameOperations", nullptr, &type, nullptr, &size);
  std::vector<wchar_t> value(size / sizeof(wchar_t) + 1);
  if (rc == ERROR_SUCCESS)
    rc = RegQueryValueExW(key, L"PendingFileRenameOperations", nullptr, &type,
                          reinterpret_cast<BYTE*>(value.data()), &size);
  int status = 0;
  if (rc == ERROR_FILE_NOT_FOUND) {
    out << L"simvss-reboot: no pending file operations\n";
  } else if (rc != ERROR_SUCCESS) {
    out << L"simvss-reboot: cannot read PendingFileRenameOperations, error " << rc << L"\n";
    status = 1;
  } else {
    std::wstring unpaired;
    std::vector<PendingOperation> operations =
        ParsePendingOperations(value.data(), size / sizeof(wchar_t), &unpaired);
    out << L"simvss-reboot: " << operations.size() << L" pending file operations, AllowProtectedRenames "
        << allow << L"\n";
    int number = 0;
    for (const PendingOperation& op : operations) {
      ++number;
      bool deleting = op.target.empty();
      bool replace = !deleting && op.target[0] == L'!';
      std::wstring target = replace ? op.target.substr(1) : op.target;
      if (deleting) out << number << L". delete " << op.source << L": ";
      else out << number << L". move " << op.source << L" to " << op.target << L": ";
      if (op.source.empty())
        out << L"no source, ignored\n";
      else if (IsProtected(machine, deleting ? op.source : target) && allow != 1)
        out << L"protected file and AllowProtectedRenames is not 1, left alone\n";
      else out << (deleting ? Delete(op.source) : Move(op.source, target, replace)) << L"\n";
    }
    if (!unpaired.empty()) out << L"simvss-reboot: " << unpaired << L" has no target, ignored\n";
  }
  // The Session Manager drops the list after a start whatever came of it, and the switch with it.
  for (const wchar_t* name : {L"PendingFileRenameOperations", L"AllowProtectedRenames"}) {
    rc = RegDeleteValueW(key, name);
    if (rc != ERROR_SUCCESS && rc != ERROR_FILE_NOT_FOUND) {
      out << L"simvss-reboot: cannot clear " << name << L", error " << rc << L"\n";
      status = 1;
    }
  }
  RegCloseKey(key);
  return status;
}

int RunHiveReplacements(const std::wstring& record_file, std::wostream& out) {
  std::string file(record_file.begin(), record_file.end());
  std::vector<RecordedHiveReplacement> calls = ReadHiveReplacementRecord(file.c_str());
  out << L"simvss-reboot: " << calls.size() << L" recorded hive replacements\n";
  for (const RecordedHiveReplacement& call : calls) {
    out << L"  " << std::wstring(call.subkey.begin(), call.subkey.end()) << L": "
        << std::wstring(call.new_file.begin(), call.new_file.end()) << L" (answered " << call.result << L")\n";
  }
  std::string error;
  if (!CarryOutHiveReplacements(calls, &error)) {
    out << L"simvss-reboot: hive replacement failed: " << std::wstring(error.begin(), error.end()) << L"\n";
    return 1;
  }
  // Carried out once, as a start does.
  DeleteFileW(record_file.c_str());
  return 0;
}
