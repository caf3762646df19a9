#include "vssapi_writer_registry.h"

#include "vss_utility.h"
#include "vssapi_writer_system.h"

#include "../frame/host_alloc.h"
#include "../frame/host_messages.h"
#include "../frame/text_convert.h"
#include "../frame/vssfs.h"
#include "../tree/vssfs_component.h"

#include <cstdio>
#include <cstring>
#include <string>

namespace {

const char kHivelistKey[] = "SYSTEM\\CurrentControlSet\\Control\\hivelist";
const char kMachinePrefix[] = "\\REGISTRY\\MACHINE\\";
const char kUserPrefix[] = "\\REGISTRY\\USER\\";
const wchar_t kMountName[] = L"harbek_SYSTEM";

vssfs_t* instanceOf(::hpContext* ctx) { return static_cast<vssfs_t*>(ctx->pContext); }

char* concat(const char* a, const char* b, const char* c = "") {
  size_t la = strlen(a), lb = strlen(b), lc = strlen(c);
  char* out = static_cast<char*>(HALLOC(la + lb + lc + 1));
  memcpy(out, a, la);
  memcpy(out + la, b, lb);
  memcpy(out + la + lb, c, lc);
  return out;
}

void freeHive(hive_info_t* hive) {
  HFREE(hive->dest_name);
  HFREE(hive->source_filename);
  HFREE(hive->backup_filename);
  HFREE(hive);
}

void freeHives(vssapi_writer_registry_persist_t* persist) {
  while (persist->hive_info_head) {
    hive_info_t* next = persist->hive_info_head->next;
    freeHive(persist->hive_info_head);
    persist->hive_info_head = next;
  }
  persist->system_hive_filename = nullptr;
}

void addFailure(std::string* failures, const hive_info_t* hive, const char* why) {
  if (!failures->empty()) *failures += "; ";
  *failures += std::string(hive->dest_name) + " (" + hive->source_filename + "): " + why;
}

void reportNoneReplaced(::hpContext* ctx, const std::string& failures) {
  Jmsg(ctx, JMSG_ERROR, "No registry hive replaced, the restored files stay beside the live ones: %s\n",
       failures.c_str());
}

// The end of an instance whose restore never reached its end actions (a failed PostRestore):
// its hives were written beside the live ones and are not swapped in.
void releasePersist(::hpContext* ctx, void* data) {
  vssapi_writer_registry_persist_t* persist = static_cast<vssapi_writer_registry_persist_t*>(data);
  if (!persist->hive_info_head) return;
  std::string failures;
  for (hive_info_t* hive = persist->hive_info_head; hive; hive = hive->next)
    addFailure(&failures, hive, "the restore did not reach its end");
  reportNoneReplaced(ctx, failures);
  freeHives(persist);
}

// Values that the next start reads from the SYSTEM hive, below CurrentControlSet: this restore's
// reboot-time operations and what the other handlers leave for the start after the restore.
// Each is carried into the restored hive when the live registry has it.
struct carried_value_t {
  const wchar_t* key;
  const wchar_t* value;
};
const carried_value_t kCarriedValues[] = {
    {L"Control\\Session Manager", L"PendingFileRenameOperations"},
    {L"Control\\Session Manager", L"AllowProtectedRenames"},
    {L"Control\\BackupRestore\\SystemStateRestore", L"LastRestoreID"},
    {L"Services\\NtFrs\\Parameters\\Backup/Restore\\Process at Startup", L"BurFlags"},
    {L"Services\\DFSR\\Restore", L"SYSVOL"},
};

// Copies one live value into the restored hive's control set; an absent live value is no error.
bool carryValue(::hpContext* ctx, HKEY control_set, const carried_value_t& item, std::string* why) {
  std::wstring live = std::wstring(L"SYSTEM\\CurrentControlSet\\") + item.key;
  DWORD type = 0, size = 0;
  LONG rc = RegGetValueW(HKEY_LOCAL_MACHINE, live.c_str(), item.value, RRF_RT_ANY | RRF_NOEXPAND, &type, nullptr,
                         &size);
  if (rc == ERROR_FILE_NOT_FOUND) return true;
  BYTE* data = nullptr;
  if (rc == ERROR_SUCCESS) {
    data = static_cast<BYTE*>(HALLOC(size + 2));
    rc = RegGetValueW(HKEY_LOCAL_MACHINE, live.c_str(), item.value, RRF_RT_ANY | RRF_NOEXPAND, &type, data, &size);
  }
  Dmsg(ctx, 50, "RegGetValueW(%ls\\%ls) hr = %08x, size = %d\n", item.key, item.value, static_cast<unsigned>(rc),
       static_cast<int>(size));
  HKEY key = nullptr;
  if (rc == ERROR_SUCCESS)
    rc = RegCreateKeyExW(control_set, item.key, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, &key,
                         nullptr);
  if (rc == ERROR_SUCCESS) rc = RegSetValueExW(key, item.value, 0, type, data, size);
  Dmsg(ctx, 50, "RegSetValueExW(harbek_SYSTEM\\..\\%ls) hr = %08x\n", item.value, static_cast<unsigned>(rc));
  if (key) RegCloseKey(key);
  HFREE(data);
  if (rc == ERROR_SUCCESS) return true;
  char text[100];
  formatError(HRESULT_FROM_WIN32(rc), text, sizeof(text));
  char* name = NARROW_FROM_WIDE(item.value);
  *why = std::string(printable(name)) + " not carried into the restored SYSTEM hive: " + text;
  HFREE(name);
  return false;
}

}  // namespace

bool carryLiveValues(::hpContext* ctx, HKEY control_set, std::string* why) {
  for (const carried_value_t& item : kCarriedValues) {
    if (!carryValue(ctx, control_set, item, why)) return false;
  }
  return true;
}

// ---- device paths ----

char* convertDevicePathToDriveLetterPath(::hpContext* ctx, const char* device_path) {
  TRACE_FUNCTION(ctx);
  size_t path_len = strlen(device_path);
  DWORD size = static_cast<DWORD>(path_len + 1 < 1024 ? 1024 : path_len + 1);
  char* answer = static_cast<char*>(HALLOC(size));
  char drive[3] = "A:";
  for (char letter = 'A'; letter <= 'Z'; ++letter) {
    drive[0] = letter;
    DWORD n = QueryDosDeviceA(drive, answer, size);
    while (n == 0 && GetLastError() == ERROR_INSUFFICIENT_BUFFER && size < 0x100000) {
      HFREE(answer);
      size *= 2;
      answer = static_cast<char*>(HALLOC(size));
      n = QueryDosDeviceA(drive, answer, size);
    }
    Dmsg(ctx, 50, "QueryDosDevice(%s) = %d\n", drive, static_cast<int>(n));
    if (n == 0) continue;
    // The list ends with an empty string, which would match every path.
    for (const char* t = answer; t < answer + n && *t; t += strlen(t) + 1) {
      size_t t_len = strlen(t);
      Dmsg(ctx, 50, " %s\n comparing with %s\n", t, device_path);
      if (t_len < path_len && _strnicmp(device_path, t, t_len) == 0 && device_path[t_len] == '\\') {
        char* result = concat(drive, device_path + t_len);
        HFREE(answer);
        Dmsg(ctx, 50, "New device_path=%s\n", result);
        return result;
      }
    }
  }
  HFREE(answer);
  Dmsg(ctx, 50, "QueryDosDevice did not match device falling back to System Directory\n");
  char sysdir[MAX_PATH + 1] = "";
  UINT sys_len = GetSystemDirectoryA(sysdir, sizeof(sysdir));
  if (sys_len == 0 || sys_len >= sizeof(sysdir)) {
    Dmsg(ctx, 50, "GetSystemDirectory failed\n");
    sysdir[0] = '\0';
  } else {
    Dmsg(ctx, 50, "sysdir=%s\n", sysdir);
  }
  size_t s_len = strlen(sysdir);
  // The system directory without its drive ("\Windows\system32") inside the device path.
  if (s_len > 2 && sysdir[1] == ':') {
    const char* tail = sysdir + 2;
    size_t tail_len = s_len - 2;
    for (size_t i = 0; i + tail_len <= path_len; ++i) {
      if (device_path[i] != '\\' || _strnicmp(device_path + i, tail, tail_len) != 0) continue;
      char next = device_path[i + tail_len];
      if (next != '\0' && next != '\\') continue;
      Dmsg(ctx, 50, "Found sysdir at %d %s\n", static_cast<int>(i), device_path + i);
      char drive_part[3] = {sysdir[0], ':', '\0'};
      char* result = concat(drive_part, device_path + i);
      Dmsg(ctx, 50, "New device_path=%s\n", result);
      return result;
    }
  }
  Dmsg(ctx, 50, "No match for %s\n", device_path);
  return nullptr;
}

// ---- writer ----

vssapi_writer_t* vssapi_writer_registry_factory(::hpContext* ctx, IVssBackupComponents* components,
                                                IVssExamineWriterMetadata* metadata) {
  Dmsg(ctx, 50, "vssapi_writer_registry_factory\n");
  return HNEW vssapi_writer_registry_t(ctx, components, metadata);
}

vssapi_writer_registry_t::vssapi_writer_registry_t(::hpContext* ctx, IVssBackupComponents* components,
                                                   IVssExamineWriterMetadata* metadata)
    : vssapi_writer_t(ctx, components, metadata) {
  persist = static_cast<vssapi_writer_registry_persist_t*>(
      instanceOf(ctx)->getPersistent("Registry Writer", sizeof(vssapi_writer_registry_persist_t), releasePersist));
}

vssapi_component_t* vssapi_writer_registry_t::newComponent(::hpContext* ctx, WCHAR* name) {
  Dmsg(hpContext, 50, "newComponent %ls\n", printable(name));
  if (!name || wcscmp(name, L"Registry") != 0) return nullptr;
  return HNEW vssapi_component_registry_t(ctx);
}

hRC vssapi_writer_registry_t::preJobRestore(vssfs_t*) {
  Dmsg(hpContext, 50, "preJobRestore Registry\n");
  return hRC_OK;
}
hRC vssapi_writer_registry_t::preWriterRestore(vssfs_writer_t*) { return hRC_OK; }
hRC vssapi_writer_registry_t::postWriterRestore(vssfs_writer_t*) { return hRC_OK; }

bool vssapi_writer_registry_t::updateRestoredSystemHive(char* why, size_t why_len) {
  TRACE_FUNCTION(hpContext);
  std::string failure;
  WCHAR* file = WIDE_FROM_NARROW(persist->system_hive_filename);
  LONG rc = file ? RegLoadKeyW(HKEY_LOCAL_MACHINE, kMountName, file) : ERROR_INVALID_NAME;
  Dmsg(hpContext, 50, "RegLoadKeyA(harbek_SYSTEM) hr = %08x %s\n", static_cast<unsigned>(rc),
       persist->system_hive_filename);
  HFREE(file);
  if (rc != ERROR_SUCCESS) {
    char text[100];
    formatError(HRESULT_FROM_WIN32(rc), text, sizeof(text));
    snprintf(why, why_len, "it cannot be loaded: %s", text);
    return false;
  }
  HKEY restored = nullptr, control_set = nullptr;
  rc = RegOpenKeyExW(HKEY_LOCAL_MACHINE, kMountName, 0, KEY_ALL_ACCESS, &restored);
  Dmsg(hpContext, 50, "RegOpenKeyExA(harbek_SYSTEM) hr = %08x\n", static_cast<unsigned>(rc));
  // The control set the restored system will start with, not whichever is numbered 1.
  DWORD current = 0, size = sizeof(current);
  if (rc == ERROR_SUCCESS)
    rc = RegGetValueW(restored, L"Select", L"Current", RRF_RT_REG_DWORD, nullptr, &current, &size);
  if (rc != ERROR_SUCCESS || current == 0 || current > 999) {
    failure = "it has no current control set (Select\\Current)";
  } else {
    wchar_t set_name[16];
    swprintf(set_name, 16, L"ControlSet%03u", static_cast<unsigned>(current));
    rc = RegOpenKeyExW(restored, set_name, 0, KEY_ALL_ACCESS, &control_set);
    Dmsg(hpContext, 50, "RegOpenKeyExA(harbek_SYSTEM\\%ls) hr = %08x\n", set_name, static_cast<unsigned>(rc));
    if (rc != ERROR_SUCCESS)
      failure = "its current control set cannot be opened";
    else
      carryLiveValues(hpContext, control_set, &failure);
  }
  if (control_set) RegCloseKey(control_set);
  // The updated hive is written out whole and takes the restored file's place: not every system
  // writes a loaded hive's changes back to its file when it is flushed or unloaded.
  char* saved = concat(persist->system_hive_filename, ".saved");
  WCHAR* wide_saved = WIDE_FROM_NARROW(saved);
  WCHAR* wide_file = WIDE_FROM_NARROW(persist->system_hive_filename);
  if (restored) {
    rc = RegFlushKey(restored);
    Dmsg(hpContext, 50, "RegFlushKeyA hr = %08x\n", static_cast<unsigned>(rc));
    if (failure.empty()) {
      DeleteFileW(wide_saved);
      rc = RegSaveKeyW(restored, wide_saved, nullptr);
      Dmsg(hpContext, 50, "RegSaveKeyW(%s) hr = %08x\n", saved, static_cast<unsigned>(rc));
      if (rc != ERROR_SUCCESS) failure = "the updated hive cannot be saved";
    }
    RegCloseKey(restored);
  }
  rc = RegUnLoadKeyW(HKEY_LOCAL_MACHINE, kMountName);
  Dmsg(hpContext, 50, "RegUnLoadKeyA hr = %08x\n", static_cast<unsigned>(rc));
  if (failure.empty() && !MoveFileExW(wide_saved, wide_file, MOVEFILE_REPLACE_EXISTING))
    failure = "the updated hive cannot take the restored file's place";
  if (!failure.empty()) DeleteFileW(wide_saved);
  HFREE(saved);
  HFREE(wide_saved);
  HFREE(wide_file);
  if (failure.empty()) return true;
  snprintf(why, why_len, "%s", failure.c_str());
  return false;
}

// The hives are swapped only when every one of them can be: a registry half from the backup and
// half from the running system, or a SYSTEM hive without this restore's file replacements,
// would not start.
hRC vssapi_writer_registry_t::postJobRestore(vssfs_t* vssfs) {
  TRACE_FUNCTION(hpContext);
  if (!persist->hive_info_head) return hRC_OK;
  std::string failures;
  auto fail = [&failures](const hive_info_t* hive, const char* why) { addFailure(&failures, hive, why); };
  bool system_checked = false;
  for (hive_info_t* hive = persist->hive_info_head; hive; hive = hive->next) {
    // A cancelled restore may have brought some hives and not the others.
    if (vssfs && vssfs->job_canceled) fail(hive, "the restore was cancelled");
    WCHAR* wide = WIDE_FROM_NARROW(hive->source_filename);
    DWORD attributes = wide ? GetFileAttributesW(wide) : INVALID_FILE_ATTRIBUTES;
    HFREE(wide);
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY))
      fail(hive, "the restored file is missing");
    for (hive_info_t* other = hive->next; other; other = other->next) {
      if (other->key == hive->key && _stricmp(other->dest_name, hive->dest_name) == 0)
        fail(hive, "the hive was restored twice");
    }
    if (persist->system_hive_filename == hive->source_filename && failures.empty()) {
      char why[300];
      system_checked = true;
      if (!updateRestoredSystemHive(why, sizeof(why))) fail(hive, why);
    }
  }
  if (persist->system_hive_filename && !system_checked && failures.empty())
    failures = "the restored SYSTEM hive was not updated";
  if (!failures.empty()) {
    reportNoneReplaced(hpContext, failures);
  } else {
    for (hive_info_t* hive = persist->hive_info_head; hive; hive = hive->next) {
      LONG rc = RegReplaceKeyA(hive->key, hive->dest_name, hive->source_filename, hive->backup_filename);
      Dmsg(hpContext, 0, "RegReplaceKeyA(%s, %s, %s) hr = %08x\n", hive->dest_name, hive->source_filename,
           hive->backup_filename, static_cast<unsigned>(rc));
      if (rc != ERROR_SUCCESS) {
        char text[200];
        formatError(HRESULT_FROM_WIN32(rc), text, sizeof(text));
        Jmsg(hpContext, JMSG_ERROR, "Failed to replace hive: \"%s\" with \"%s\": ERR=%s\n", hive->dest_name,
             hive->source_filename, text);
      }
    }
    // Companions of a restored hive (its logs) belong to the backup's system, not to the file.
    for (hive_info_t* hive = persist->hive_info_head; hive; hive = hive->next) {
      char* pattern = concat(hive->source_filename, "*");
      WIN32_FIND_DATAA found;
      HANDLE search = FindFirstFileA(pattern, &found);
      HFREE(pattern);
      if (search == INVALID_HANDLE_VALUE) continue;
      const char* own_name = fileNamePart(hive->source_filename);
      size_t dir_len = static_cast<size_t>(own_name - hive->source_filename);
      do {
        Dmsg(hpContext, 0, "found file to delete %s\n", found.cFileName);
        if (_stricmp(found.cFileName, own_name) == 0 || (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) continue;
        std::string path = std::string(hive->source_filename, dir_len) + found.cFileName;
        Dmsg(hpContext, 0, "deleting %s\n", path.c_str());
        if (DeleteFileA(path.c_str())) {
          Dmsg(hpContext, 0, "deleted %s\n", path.c_str());
        } else {
          char text[200];
          formatError(HRESULT_FROM_WIN32(GetLastError()), text, sizeof(text));
          Dmsg(hpContext, 0, "Failed to delete %s: ERR=%s\n", path.c_str(), text);
        }
      } while (FindNextFileA(search, &found));
      FindClose(search);
    }
  }
  // The hives are this job's; a later job of the instance must not swap them again.
  freeHives(persist);
  return hRC_OK;
}

// ---- component ----

hRC vssapi_component_registry_t::preComponentRestore(vssfs_component_t*) {
  TRACE_FUNCTION(hpContext);
  file_restore_method = VSS_RME_CUSTOM;
  return hRC_OK;
}

hRC vssapi_component_registry_t::postComponentRestore(vssfs_component_t*) {
  Dmsg(hpContext, 50, "postComponentRestore Registry\n");
  return hRC_OK;
}

hRC vssapi_component_registry_t::postFileRestore(vssfs_component_t*) {
  Dmsg(hpContext, 50, "postFileRestore Registry\n");
  return hRC_OK;
}

// A file that Windows has loaded as a hive goes beside the live file and is swapped in at the
// next start; any other file is restored at reboot by the component node.
hRC vssapi_component_registry_t::preFileRestore(vssfs_component_t* node) {
  TRACE_FUNCTION(hpContext);
  file_restore_method = VSS_RME_RESTORE_AT_REBOOT;
  const char* target = printable(node->filename);
  const char* target_name = fileNamePart(target);
  HKEY hivelist = nullptr;
  LONG rc = RegOpenKeyExA(HKEY_LOCAL_MACHINE, kHivelistKey, 0, KEY_READ, &hivelist);
  Dmsg(hpContext, 50, "RegOpenKeyExA(...\\hivelist) hr=%08x\n", static_cast<unsigned>(rc));
  if (rc != ERROR_SUCCESS) {
    Jmsg(hpContext, JMSG_ERROR, "Failed to open hivelist registry key\n");
    return hRC_Error;
  }
  char value_name[128];
  char* data = nullptr;
  DWORD data_size = 0;
  char* live = nullptr;       // drive-letter path of the matching hive file
  char* unconverted = nullptr;  // a hive of the same file name whose path could not be converted
  hRC result = hRC_OK;
  for (DWORD index = 0;;) {
    DWORD name_len = sizeof(value_name), value_len = data_size, type = 0;
    rc = RegEnumValueA(hivelist, index, value_name, &name_len, nullptr, &type, reinterpret_cast<BYTE*>(data),
                       &value_len);
    Dmsg(hpContext, 50, "RegEnumKey(...\\hivelist) hr=%08x, name_len=%d, name=%s,\n    value_len=%d, value=%s\n",
         static_cast<unsigned>(rc), static_cast<int>(name_len), value_name, static_cast<int>(value_len),
         data ? data : "<NULL>");
    if (rc == ERROR_NO_MORE_ITEMS) break;
    if ((rc == ERROR_SUCCESS && !data) || rc == ERROR_MORE_DATA) {
      HFREE(data);
      data_size = value_len + 1;
      data = static_cast<char*>(HALLOC(data_size));
      continue;
    }
    if (rc != ERROR_SUCCESS) {
      Jmsg(hpContext, JMSG_ERROR, "Failed to enumerate hivelist\n");
      result = hRC_Error;
      break;
    }
    ++index;
    if (type != REG_SZ || _strnicmp(data, "\\device\\", 8) != 0) continue;
    data[value_len < data_size ? value_len : data_size - 1] = '\0';
    const char* hive_name = fileNamePart(data);
    if (!*hive_name || _stricmp(hive_name, target_name) != 0) continue;
    // Several users' NTUSER.DAT share a file name: only the full path tells which hive it is.
    char* path = convertDevicePathToDriveLetterPath(hpContext, data);
    Dmsg(hpContext, 50, "comparing %s and %s\n", printable(path), target);
    if (!path) {
      if (!unconverted) unconverted = HSTRDUP(data);
      continue;
    }
    if (_stricmp(path, target) != 0) {
      HFREE(path);
      continue;
    }
    HKEY root = nullptr;
    const char* dest = nullptr;
    if (_strnicmp(value_name, kMachinePrefix, strlen(kMachinePrefix)) == 0) {
      root = HKEY_LOCAL_MACHINE;
      dest = value_name + strlen(kMachinePrefix);
    } else if (_strnicmp(value_name, kUserPrefix, strlen(kUserPrefix)) == 0) {
      root = HKEY_USERS;
      dest = value_name + strlen(kUserPrefix);
    }
    if (!root || !*dest) {
      HFREE(path);
      break;
    }
    live = path;
    vssapi_writer_registry_persist_t* persist = static_cast<vssapi_writer_registry_t*>(vssapi_writer)->persist;
    // A hive restored again in a later segment replaces its earlier entry: each hive is swapped once.
    hive_info_t* hive = nullptr;
    for (hive_info_t* h = persist->hive_info_head; h; h = h->next) {
      if (h->key == root && _stricmp(h->dest_name, dest) == 0) hive = h;
    }
    if (hive) {
      if (persist->system_hive_filename == hive->source_filename) persist->system_hive_filename = nullptr;
      HFREE(hive->dest_name);
      HFREE(hive->source_filename);
      HFREE(hive->backup_filename);
    } else {
      hive = static_cast<hive_info_t*>(HALLOC(sizeof(hive_info_t)));
      hive->next = persist->hive_info_head;
      persist->hive_info_head = hive;
    }
    vssfs_t* vssfs = instanceOf(hpContext);
    hive->key = root;
    hive->dest_name = HSTRDUP(dest);
    hive->source_filename = concat(live, ".restore");
    HFREE(node->filename);
    node->filename = HSTRDUP(hive->source_filename);
    for (const char* companion : {".LOG", ".LOG1", ".LOG2"}) {
      char* name = concat(hive->source_filename, companion);
      vssfs->addPendingDelete(name);
      HFREE(name);
    }
    hive->backup_filename = concat(live, ".backup", printable(vssfs->job_id_str));
    vssfs->addPendingDelete(hive->backup_filename);
    if (_stricmp(dest, "system") == 0 && root == HKEY_LOCAL_MACHINE)
      persist->system_hive_filename = hive->source_filename;
    Dmsg(hpContext, 50, "dest_name=%s, hivelist_value=%s, source_filename=%s, backup_filename = %s\n", dest, live,
         hive->source_filename, hive->backup_filename);
    file_restore_method = VSS_RME_CUSTOM;
    break;
  }
  RegCloseKey(hivelist);
  HFREE(data);
  if (!live && unconverted && result == hRC_OK) {
    // Possibly the live hive itself: never written in place; the node restores it at reboot.
    Dmsg(hpContext, 50, "failed to find drive letter for %s\n", unconverted);
    Jmsg(hpContext, JMSG_ERROR, "failed to find drive letter for %s\n", unconverted);
    result = hRC_Error;
  }
  HFREE(unconverted);
  HFREE(live);
  return result;
}
