#include "vssfs_component.h"

#include "find_filespec.h"
#include "vssfs_file.h"
#include "vssfs_writer.h"
#include "../frame/host_alloc.h"
#include "../frame/host_messages.h"
#include "../frame/text_convert.h"
#include "../frame/vssfs.h"
#include "../vss/vss_call_status.h"
#include "../vss/vss_utility.h"
#include "../vss/vssapi.h"

#include <cstdio>
#include <cstring>
#include <ctime>
#include <cwchar>

WCHAR* expanded(const WCHAR* text) {
  if (!text) return nullptr;
  DWORD size = ExpandEnvironmentStringsW(text, nullptr, 0);
  if (size == 0) size = static_cast<DWORD>(wcslen(text) + 1);
  WCHAR* result = static_cast<WCHAR*>(HALLOC((size + 1) * sizeof(WCHAR)));
  if (ExpandEnvironmentStringsW(text, result, size + 1) == 0) wcscpy(result, text);
  return result;
}

namespace {

WCHAR* wide_concat(const WCHAR* first, const WCHAR* second) {
  size_t a = wcslen(first), b = wcslen(second);
  WCHAR* result = static_cast<WCHAR*>(HALLOC((a + b + 1) * sizeof(WCHAR)));
  memcpy(result, first, a * sizeof(WCHAR));
  memcpy(result + a, second, b * sizeof(WCHAR));
  return result;
}

}  // namespace

vssfs_component_t::vssfs_component_t(vssfs_t* vssfs, char* name, vssfs_node_t* parent)
    : vssfs_node_t(vssfs, name, VSSFS_NODE_COMPONENT, parent) {
  TRACE_FUNCTION(hpContext);
  filename = nullptr;
  find_filespec = nullptr;
}

vssfs_component_t::~vssfs_component_t() {
  TRACE_FUNCTION(hpContext);
  // A backup that stopped half way leaves its file node and texts here.
  delete file_node;
  file_node = nullptr;
  destroyEnumerator();
  HFREE(component_id_filename);
  component_id_filename = nullptr;
  HFREE(component_id_buffer);
  component_id_buffer = nullptr;
  HFREE(backup_stamp);
  backup_stamp = nullptr;
  HFREE(filename);
  HFREE(target_filename);
  // A cancelled or broken restore leaves no service stopped.
  startStoppedServices(hpContext, &sc_manager, &service_list);
}

void vssfs_component_t::destroyEnumerator() {
  delete find_filespec;
  find_filespec = nullptr;
}

hRC vssfs_component_t::startBackupFile(save_pkt* sp) {
  TRACE_FUNCTION(hpContext);
  Dmsg(hpContext, 50, "startBackupNode_COMPONENT level=%d, state=%d\n", level, state);
  for (;;) {
    if (vssfs->job_canceled) {
      destroyEnumerator();
      return hRC_Error;
    }
    switch (state) {
      case bs_init:
        collectFileSpecs();
        state = bs_component_file;
        break;
      case bs_component_file:
        describeInformationFile(sp);
        return hRC_OK;
      case bs_file:
        if (startNextFile()) return hRC_OK;
        if (state == bs_file) {
          Dmsg(hpContext, 50, "  no more files found\n");
          state = bs_component_dir;
        }
        break;
      case bs_component_dir:
        if (deferDirectory()) return hRC_Seen;  // nothing to send now: the writer sends it later
        describeDirectory(sp);
        return hRC_OK;
      default:
        Jmsg(hpContext, JMSG_FATAL, "Invalid vssfs_component state=%d\n", state);
        return hRC_Error;
    }
  }
}

void vssfs_component_t::collectFileSpecs() {
  TRACE_FUNCTION(hpContext);
  PVSSCOMPONENTINFO info = vssapi_component->info();
  IVssComponent* component = vssapi_component->component;
  if (info) {
    Dmsg(hpContext, 50, " cFileCount = %d\n cDatabases = %d\n cLogFiles = %d\n", static_cast<int>(info->cFileCount),
         static_cast<int>(info->cDatabases), static_cast<int>(info->cLogFiles));
  }
  Dmsg(hpContext, 50, " component = %p\n", static_cast<void*>(component));

  UINT partial_count = 0, differenced_count = 0;
  if (component) {
    BSTR stamp = nullptr;
    HRESULT hr = component->GetBackupStamp(&stamp);
    if (FAILED(hr)) {
      Dmsg(hpContext, 50, " GetBackupStamp hr = %08x\n", static_cast<unsigned>(hr));
    } else if (stamp) {
      // Kept until every file is sent: only a complete backup may become the base of the next.
      Dmsg(hpContext, 50, " GetBackupStamp hr = %08x, %ls\n", static_cast<unsigned>(hr), stamp);
      HFREE(backup_stamp);
      backup_stamp = HWCSDUP(stamp);
    }
    SysFreeString(stamp);
    hr = component->GetPartialFileCount(&partial_count);
    if (FAILED(hr)) {
      JmsgWriterCallStatus(hpContext, hr, "GetPartialFileCount");
      partial_count = 0;
    }
    Dmsg(hpContext, 50, " GetPartialFileCount hr = %08x, partial_file_count = %d\n", static_cast<unsigned>(hr),
         static_cast<int>(partial_count));
    hr = component->GetDifferencedFilesCount(&differenced_count);
    if (FAILED(hr)) {
      JmsgWriterCallStatus(hpContext, hr, "GetDifferencedFilesCount");
      differenced_count = 0;
    }
    Dmsg(hpContext, 50, " GetDifferencedFilesCount hr = %08x, differenced_file_count = %d\n",
         static_cast<unsigned>(hr), static_cast<int>(differenced_count));
  }

  destroyEnumerator();
  find_filespec = HNEW find_filespec_t(hpContext);

  for (int kind = 0; kind < vssapi_component_t::kDescriptorKinds; ++kind) {
    UINT count = vssapi_component->descriptorCount(kind);
    for (UINT i = 0; i < count && !vssfs->job_canceled; ++i) {
      IVssWMFiledesc* file_desc = vssapi_component->getDescriptor(kind, i, 50);
      if (!file_desc) continue;
      addDescriptor(file_desc);
      file_desc->Release();
    }
  }

  for (UINT i = 0; i < differenced_count && !vssfs->job_canceled; ++i) {
    BSTR path = nullptr, filespec = nullptr, lsn = nullptr;
    WINBOOL recursive = FALSE;
    FILETIME filetime = {0, 0};
    HRESULT hr = component->GetDifferencedFile(i, &path, &filespec, &recursive, &lsn, &filetime);
    Dmsg(hpContext, 50,
         " GetDifferencedFile hr = %08x, path = %ls, filespec = %ls, recursive = %d, lsn = %ls, filetime = %08x%08x\n",
         static_cast<unsigned>(hr), printable(path), printable(filespec), recursive, printable(lsn),
         static_cast<unsigned>(filetime.dwHighDateTime), static_cast<unsigned>(filetime.dwLowDateTime));
    if (FAILED(hr) || !path || !filespec) {
      JmsgWriterCallStatus(hpContext, FAILED(hr) ? hr : E_UNEXPECTED, "GetDifferencedFile");
    } else {
      WCHAR* live = expanded(path);
      filespec_list_t* before = find_filespec->filespec_head;
      find_filespec->add_differenced(live, filespec, recursive != FALSE, &filetime);
      // A spec of its own is read inside the snapshot like every other.
      if (find_filespec->filespec_head != before) {
        HFREE(find_filespec->filespec_head->alt_path);
        find_filespec->filespec_head->alt_path = snapshotPath(live);
      }
      Dmsg(hpContext, 50, " adding %ls %ls %d\n", live, filespec, recursive);
      HFREE(live);
    }
    SysFreeString(path);
    SysFreeString(filespec);
    SysFreeString(lsn);
  }

  for (UINT i = 0; i < partial_count && !vssfs->job_canceled; ++i) {
    BSTR path = nullptr, file = nullptr, range = nullptr, metadata = nullptr;
    HRESULT hr = component->GetPartialFile(i, &path, &file, &range, &metadata);
    Dmsg(hpContext, 50, " GetPartialFile hr = %08x, path = %ls, filename = %ls, range = %ls, metadata = %ls\n",
         static_cast<unsigned>(hr), printable(path), printable(file), printable(range), printable(metadata));
    if (FAILED(hr) || !path || !file) {
      JmsgWriterCallStatus(hpContext, FAILED(hr) ? hr : E_UNEXPECTED, "GetPartialFile");
    } else {
      WCHAR* live = expanded(path);
      filespec_list_t* before = find_filespec->filespec_head;
      find_filespec->add_partial(live, file, range, metadata);
      if (find_filespec->filespec_head != before) {
        HFREE(find_filespec->filespec_head->alt_path);
        find_filespec->filespec_head->alt_path = snapshotPath(live);
      }
      Dmsg(hpContext, 50, " adding %ls %ls %ls\n", live, file, printable(range));
      HFREE(live);
    }
    SysFreeString(path);
    SysFreeString(file);
    SysFreeString(range);
    SysFreeString(metadata);
  }
  find_filespec->reset();
}

void vssfs_component_t::addDescriptor(IVssWMFiledesc* file_desc) {
  DWORD type_mask = VSS_FSBT_ALL_BACKUP_REQUIRED | VSS_FSBT_ALL_SNAPSHOT_REQUIRED;
  if (FAILED(file_desc->GetBackupTypeMask(&type_mask))) type_mask = ~0u;
  Dmsg(hpContext, 50, "type_mask = %x\n", static_cast<unsigned>(type_mask));
  if (!(type_mask & vssfs->type_mask)) return;

  BSTR path = nullptr, alternate = nullptr, filespec = nullptr;
  if (FAILED(file_desc->GetPath(&path))) path = nullptr;
  if (FAILED(file_desc->GetFilespec(&filespec))) filespec = nullptr;
  if (!path || !filespec) {
    Jmsg(hpContext, JMSG_FATAL, "Writer \"%ls\" component \"%ls\" has a file description without %s.\n",
         printable(vssapi_writer->writer_name), vssapi_component->component_full_name, path ? "file spec" : "path");
    ++files_failed;
    SysFreeString(path);
    SysFreeString(filespec);
    return;
  }
  WCHAR* live = expanded(path);
  WCHAR* read_location = nullptr;
  if (SUCCEEDED(file_desc->GetAlternateLocation(&alternate)) && alternate) read_location = expanded(alternate);
  if (!read_location) read_location = HWCSDUP(live);
  WCHAR* read_path = snapshotPath(read_location);
  boolean recursive = false;
  if (FAILED(file_desc->GetRecursive(&recursive))) recursive = true;  // as the exclusions take it
  find_filespec->add_filespec(live, read_path, filespec, recursive);
  Dmsg(hpContext, 50, " adding %ls %ls %ls %d\n", live, read_path, filespec, recursive);
  HFREE(live);
  HFREE(read_location);
  HFREE(read_path);
  SysFreeString(path);
  SysFreeString(alternate);
  SysFreeString(filespec);
}

// The same place inside the snapshot of its volume; the path itself when its volume has none.
WCHAR* vssfs_component_t::snapshotPath(WCHAR* path) {
  WCHAR mount_point[MAX_PATH + 1];
  WCHAR volume_name[128];
  WCHAR* snapshot = nullptr;
  bool have_volume = false;
  if (!GetVolumePathNameW(path, mount_point, MAX_PATH)) {
    Dmsg(hpContext, 50, "GetVolumePathName failed\n");
  } else {
    Dmsg(hpContext, 50, "GetVolumePathName = '%ls'\n", mount_point);
    if (!GetVolumeNameForVolumeMountPointW(mount_point, volume_name, 128)) {
      Dmsg(hpContext, 50, "GetVolumeNameForVolumeMountPoint failed\n");
    } else {
      have_volume = true;
      size_t len = wcslen(mount_point);
      if (len && mount_point[len - 1] == L'\\') mount_point[len - 1] = L'\0';
      Dmsg(hpContext, 50, "GetVolumeNameForVolumeMountPoint = '%ls'\n", volume_name);
      snapshot = vssfs->getSnapshotForVolume(volume_name);
      Dmsg(hpContext, 50, snapshot ? "Found snapshot\n" : "Unable to find snapshot\n");
    }
  }
  if (!snapshot) {
    if (!live_volume_reported) {
      live_volume_reported = true;
      Jmsg(hpContext, JMSG_WARNING,
           "Component \"%ls\" of writer \"%ls\": no snapshot of volume %ls, its files there are read from the live "
           "volume.\n",
           vssapi_component->component_full_name, printable(vssapi_writer->writer_name),
           have_volume ? volume_name : path);
    }
    return HWCSDUP(path);
  }
  size_t prefix = wcslen(mount_point);
  WCHAR* result = wide_concat(snapshot, wcslen(path) >= prefix ? path + prefix : L"");
  HFREE(snapshot);
  return result;
}

void vssfs_component_t::describeInformationFile(save_pkt* sp) {
  TRACE_FUNCTION(hpContext);
  HFREE(component_id_filename);
  size_t len = strlen(full_path) + strlen(":component_info_") + strlen(vssfs->unique_id_str) + 1;
  component_id_filename = static_cast<char*>(HALLOC(len));
  snprintf(component_id_filename, len, "%s:component_info_%s", full_path, vssfs->unique_id_str);
  vssfs->noteSentComponent(full_path);
  Dmsg(hpContext, 40, "=== Create component file: Component name=%s\n", component_id_filename);
  if (!vssapi_component->component) Dmsg(hpContext, 40, "=== Note: no component here.\n");
  sp->fname = component_id_filename;
  sp->link = component_id_filename;

  const WCHAR* path = vssapi_component->component_path;
  const WCHAR* name = vssapi_component->component_name;
  size_t text_len = wcslen(path) + wcslen(name) + 2;
  HFREE(component_id_buffer);
  component_id_buffer = static_cast<WCHAR*>(HALLOC((text_len + 1) * sizeof(WCHAR)));
  wcscpy(component_id_buffer, path);
  wcscat(component_id_buffer, L"\n");
  wcscat(component_id_buffer, name);
  wcscat(component_id_buffer, L"\n");
  Dmsg(hpContext, 40, "  Component file has path=%ls\n", path);
  Dmsg(hpContext, 40, "  Component file has name=%ls\n", name);
  Dmsg(hpContext, 40, "  Total len=%d\n", static_cast<int>(text_len));
  component_id_offset = 0;

  memset(&sp->statp, 0, sizeof(sp->statp));
  time_t now = time(nullptr);
  sp->statp.st_atime = sp->statp.st_mtime = sp->statp.st_ctime = now;
  sp->statp.st_mode = 0x81C0;
  sp->statp.st_nlink = 1;
  sp->statp.st_size = static_cast<off_t>(2 * (text_len + 1));
  sp->type = FILE_TYPE_REGULAR;
  Dmsg(hpContext, 40, "Create component_id_filename mode=0x%08x %s\n", static_cast<unsigned>(sp->statp.st_mode),
       component_id_filename);
}

// A component whose owned descendants follow it sends its directory entry after theirs, so
// that every directory entry still comes after its contents; the writer node sends it.
bool vssfs_component_t::deferDirectory() {
  for (vssapi_component_t* later = vssapi_component->next; later; later = later->next) {
    if (later->owner != vssapi_component->owner) continue;
    for (vssapi_component_t* up = later->path_parent; up && up != later; up = up->path_parent) {
      if (up == vssapi_component) {
        static_cast<vssfs_writer_t*>(parent)->deferDirectory(full_path);
        return true;
      }
      if (up->path_parent == up) break;
    }
  }
  return false;
}

// Makes a file node of the next entry current; false when none is left.
bool vssfs_component_t::startNextFile() {
  while (find_filespec && find_filespec->next()) {
    WCHAR* live = find_filespec->filename();
    WCHAR* read = find_filespec->alt_filename();
    Dmsg(hpContext, 50, "vssfs_file path=%ls alt=%ls\n", live, read);
    // Case and separators change on UTF-16: in a double-byte code page a trail byte can look
    // like a backslash or an upper-case letter.
    size_t len = wcslen(live);
    CharLowerBuffW(live, static_cast<DWORD>(len));
    for (size_t i = 0; i < len; ++i) {
      if (live[i] == L'\\') live[i] = L'/';
    }
    char* node_name = NARROW_FROM_WIDE(live);
    if (!node_name) {
      char* shown = NARROW_FOR_MESSAGE(read);
      Jmsg(hpContext, JMSG_ERROR, "Cannot back up \"%s\": its name cannot be written in this system's code page.\n",
           shown);
      HFREE(shown);
      ++files_failed;
      HFREE(live);
      HFREE(read);
      continue;
    }
    file_node = HNEW vssfs_file_t(vssfs, node_name, this);
    HFREE(node_name);
    HFREE(live);
    file_node->filename = read;
    file_node->is_dir = find_filespec->is_dir();
    file_node->is_reparse = find_filespec->is_reparse();
    if (find_filespec->partial_range()) {
      file_node->is_partial = true;
      file_node->partial_range = find_filespec->partial_range();
    }
    vssfs->current_node = file_node;
    return true;
  }
  return false;
}

hRC vssfs_component_t::endBackupFile() {
  TRACE_FUNCTION(hpContext);
  Dmsg(hpContext, 50, "endBackupNode_COMPONENT state=%d\n", state);
  switch (state) {
    case bs_component_file:
      HFREE(component_id_filename);
      component_id_filename = nullptr;
      HFREE(component_id_buffer);
      component_id_buffer = nullptr;
      state = bs_file;
      return hRC_More;
    case bs_file:
      if (file_node && (file_node->io_failed || file_node->name_failed)) ++files_failed;
      delete file_node;
      file_node = nullptr;
      return hRC_More;
    case bs_component_dir:
      destroyEnumerator();
      finishBackup();
      vssfs->current_node = parent;
      return hRC_OK;
    case bs_init:
      return hRC_Error;
    default:
      Dmsg(hpContext, 50, "Unknown state %d\n", state);
      return hRC_Error;
  }
}

// Success is reported only for a component whose every file was sent from consistent data: a
// writer with a log truncates it on success.
void vssfs_component_t::finishBackup() {
  TRACE_FUNCTION(hpContext);
  const WCHAR* writer_name = printable(vssapi_writer->writer_name);
  bool writer_failed = writerStateFailed(vssapi_writer->writer_state);
  if (files_failed) {
    Jmsg(hpContext, JMSG_ERROR, "Writer \"%ls\" component \"%ls\": %d file(s) could not be backed up.\n", writer_name,
         vssapi_component->component_full_name, files_failed);
  }
  if (writer_failed) {
    Jmsg(hpContext, JMSG_ERROR,
         "Writer \"%ls\" component \"%ls\": the writer failed during the snapshot, the data backed up may be "
         "inconsistent.\n",
         writer_name, vssapi_component->component_full_name);
  }
  bool succeeded = !files_failed && !writer_failed;
  PVSSCOMPONENTINFO info = vssapi_component->info();
  HRESULT hr = vssfs->vss_components->SetBackupSucceeded(
      vssapi_writer->writer_instance_id, vssapi_writer->writer_class_id, vssapi_component->component_type,
      info ? info->bstrLogicalPath : vssapi_component->component_path_verbatim,
      info ? info->bstrComponentName : vssapi_component->component_name, succeeded);
  Dmsg(hpContext, 50, "SetBackupSucceeded hr=%08x\n", static_cast<unsigned>(hr));
  if (succeeded) writeStampFiles();
}

// The stamp of this backup, and for a full backup also the stamp of the last full one.
void vssfs_component_t::writeStampFiles() {
  if (!backup_stamp) return;
  char* working_dir = vssfs->workingDirectory();
  if (!working_dir) return;
  const WCHAR* path = vssapi_component->component_path;
  const WCHAR* name = vssapi_component->component_name;
  size_t len = wcslen(backup_stamp) + wcslen(path) + wcslen(name) + 4;
  WCHAR* content = static_cast<WCHAR*>(HALLOC(len * sizeof(WCHAR)));
  wcscpy(content, backup_stamp);
  wcscat(content, L"\n");
  wcscat(content, path);
  wcscat(content, L"\n");
  wcscat(content, name);
  wcscat(content, L"\n");
  DWORD bytes = static_cast<DWORD>(wcslen(content) * sizeof(WCHAR));
  for (int full = 0; full <= (vssfs->job_level == 'F' ? 1 : 0); ++full) {
    char* stamp_filename = makeStampFilename(working_dir, vssapi_writer, vssapi_component, full);
    if (!stamp_filename) continue;
    Dmsg(hpContext, 50, " filename = %s\n", stamp_filename);
    HANDLE file = CreateFileA(stamp_filename, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    Dmsg(hpContext, 50, " CreateFileA %d\n", file == INVALID_HANDLE_VALUE ? -1 : 0);
    if (file != INVALID_HANDLE_VALUE) {
      DWORD done = 0;
      WriteFile(file, content, bytes, &done, nullptr);
      CloseHandle(file);
    }
    HFREE(stamp_filename);
  }
  HFREE(content);
}

hRC vssfs_component_t::pluginIoOpen(io_pkt* io) {
  TRACE_FUNCTION(hpContext);
  io->status = 0;
  io->io_errno = 0;
  return hRC_OK;
}

hRC vssfs_component_t::pluginIoRead(io_pkt* io) {
  TRACE_FUNCTION(hpContext);
  Dmsg(hpContext, 50, "pluginIoRead component\n");
  io->status = 0;
  io->io_errno = 0;
  if (state != bs_component_file || !component_id_buffer) return hRC_OK;
  int total = static_cast<int>((wcslen(component_id_buffer) + 1) * sizeof(WCHAR));
  int left = total - component_id_offset;
  int count = io->count < left ? io->count : left;
  if (count < 0) count = 0;
  memcpy(io->buf, reinterpret_cast<char*>(component_id_buffer) + component_id_offset, count);
  io->status = count;
  Dmsg(hpContext, 50, "pluginIoRead %d bytes\n", count);
  component_id_offset += count;
  return hRC_OK;
}

hRC vssfs_component_t::pluginIoClose(io_pkt* io) {
  TRACE_FUNCTION(hpContext);
  io->status = 0;
  io->io_errno = 0;
  return hRC_OK;
}
