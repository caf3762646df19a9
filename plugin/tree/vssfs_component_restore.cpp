// Restore side of the component node: per file, from the writer's restore method and a test of
// the files now on disk, written in place, written beside the file for replacement at the next
// reboot, or skipped; the component's handler brackets the component and each file.
#include "vssfs_component.h"

#include "find_filespec.h"
#include "vssfs_file.h"
#include "../frame/host_alloc.h"
#include "../frame/host_messages.h"
#include "../frame/text_convert.h"
#include "../frame/vssfs.h"
#include "../vss/vss_utility.h"
#include "../vss/vssapi.h"

#include <cctype>
#include <cstring>

namespace {

const char kRestoreSuffix[] = ".restore";

// A piece of a restored file's name that could lead the file elsewhere than where it was.
bool unsafe_piece(const char* piece, bool first) {
  if (!piece[0] || strcmp(piece, ".") == 0 || strcmp(piece, "..") == 0 || strchr(piece, '\\')) return true;
  const char* colon = strchr(piece, ':');
  if (!colon) return false;
  // Only a drive ("c:") at the head of the name.
  return !(first && colon == piece + 1 && !piece[2] && isalpha(static_cast<unsigned char>(piece[0])));
}

}  // namespace

void vssfs_component_t::startRestore() {
  TRACE_FUNCTION(hpContext);
  last_unique_id = vssfs->unique_id;
  restore_open = true;
  VSS_RESTOREMETHOD_ENUM method = vssapi_writer ? vssapi_writer->restore_method : VSS_RME_UNDEFINED;
  PVSSCOMPONENTINFO info = vssapi_component ? vssapi_component->info() : nullptr;
  if (info) {
    Dmsg(hpContext, 50, " cFileCount = %d\n", static_cast<int>(info->cFileCount));
    Dmsg(hpContext, 50, " cDatabases = %d\n", static_cast<int>(info->cDatabases));
    Dmsg(hpContext, 50, " cLogFiles = %d\n", static_cast<int>(info->cLogFiles));
    Dmsg(hpContext, 50, " restore_method = %d\n", method);
  }
  hRC pre = vssapi_component ? vssapi_component->preComponentRestore(this) : hRC_OK;
  if (pre != hRC_OK && method == VSS_RME_CUSTOM)
    Jmsg(hpContext, JMSG_WARNING, "Unknown custom VSS restore method for %s\n", name);
  switch (method) {
    case VSS_RME_RESTORE_IF_CAN_REPLACE:
    case VSS_RME_RESTORE_AT_REBOOT_IF_CANNOT_REPLACE:
      replaceTest();
      break;
    case VSS_RME_STOP_RESTORE_START:
      if (stopWriterService()) break;
      [[fallthrough]];
    case VSS_RME_RESTORE_IF_NOT_THERE:
    case VSS_RME_RESTORE_TO_ALTERNATE_LOCATION:
      Jmsg(hpContext, JMSG_WARNING, "Don't know how to do VSS_RME_%d\n", method);
      break;
    case VSS_RME_UNDEFINED:
      Jmsg(hpContext, JMSG_WARNING, "Cannot restore component %s with unknown Restore Method\n", name);
      break;
    default:
      break;
  }
}

// Files written under a running service may be overwritten or lost when it ends, so the
// writer's service (with its dependents) stops for the component's files. One that is not running
// (a handler stopped it, or it was stopped before) is left as it is. False when the writer names
// no service or the service manager cannot be opened.
bool vssfs_component_t::stopWriterService() {
  TRACE_FUNCTION(hpContext);
  BSTR service = vssapi_writer->service_name;
  char* narrow = service && *service ? NARROW_FROM_WIDE(service) : nullptr;
  if (!narrow) return false;
  if (!sc_manager) sc_manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  if (sc_manager) {
    SC_HANDLE handle = OpenServiceA(sc_manager, narrow, SERVICE_QUERY_STATUS);
    SERVICE_STATUS status = {};
    bool running = handle && QueryServiceStatus(handle, &status) && status.dwCurrentState != SERVICE_STOPPED;
    if (handle) CloseServiceHandle(handle);
    Dmsg(hpContext, 50, "writer service %s %s\n", narrow, running ? "running" : "not running");
    if (running) stopService(hpContext, sc_manager, narrow, &service_list);
  }
  HFREE(narrow);
  return sc_manager != nullptr;
}

// can_replace: every existing file of the component opens for exclusive full access.
void vssfs_component_t::replaceTest() {
  TRACE_FUNCTION(hpContext);
  can_replace = 1;
  destroyEnumerator();
  find_filespec = HNEW find_filespec_t(hpContext);
  for (int kind = 0; vssapi_component && kind < vssapi_component_t::kDescriptorKinds; ++kind) {
    UINT count = vssapi_component->descriptorCount(kind);
    for (UINT i = 0; i < count; ++i) {
      IVssWMFiledesc* file_desc = vssapi_component->getDescriptor(kind, i, 50);
      if (!file_desc) continue;
      BSTR path = nullptr, filespec = nullptr;
      if (SUCCEEDED(file_desc->GetPath(&path)) && SUCCEEDED(file_desc->GetFilespec(&filespec)) && path && filespec) {
        WCHAR* live = expanded(path);
        Dmsg(hpContext, 50, " adding %ls %ls\n", live, filespec);
        find_filespec->add_filespec(live, filespec);
        HFREE(live);
      }
      SysFreeString(path);
      SysFreeString(filespec);
      file_desc->Release();
    }
  }
  find_filespec->reset();
  Dmsg(hpContext, 50, " begin while loop\n");
  while (find_filespec->next()) {
    WCHAR* live = find_filespec->filename();
    Dmsg(hpContext, 50, " checking %ls\n", live);
    if (!find_filespec->is_dir() && !find_filespec->is_reparse()) {
      Dmsg(hpContext, 50, " checking %ls\n", live);
      HANDLE handle = CreateFileW(live, GENERIC_ALL | ACCESS_SYSTEM_SECURITY, 0, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
      DWORD error = GetLastError();
      if (handle != INVALID_HANDLE_VALUE) {
        CloseHandle(handle);
      } else if (error != ERROR_FILE_NOT_FOUND) {
        Dmsg(hpContext, 50, " Can't open %ls (%08x) - will use alternate restore method.\n", live,
             static_cast<unsigned>(error));
        can_replace = 0;
      }
    }
    HFREE(live);
    if (!can_replace) break;
  }
  Dmsg(hpContext, 50, " end while loop. can_replace=%d\n", can_replace);
  destroyEnumerator();
}

// The live name of the entry: the pieces after the component's, joined by backslashes, with a
// final backslash for anything but a regular file; null for a name that is refused.
char* vssfs_component_t::restoreFilename(restore_pkt* rp) {
  char** bits = vssfs->path_bits;
  int count = vssfs->path_bits_count;
  size_t size = 2;
  for (int i = level + 1; i < count; ++i) {
    if (unsafe_piece(bits[i], i == level + 1)) {
      Jmsg(hpContext, JMSG_ERROR,
           "%s not restored: a piece of its name is empty, \".\" or \"..\", or holds \"\\\" or \":\".\n",
           printable(rp->ofname));
      return nullptr;
    }
    size += strlen(bits[i]) + 1;
  }
  char* joined = static_cast<char*>(HALLOC(size));
  char* end = joined;
  for (int i = level + 1; i < count; ++i) {
    if (end != joined) *end++ = '\\';
    size_t len = strlen(bits[i]);
    memcpy(end, bits[i], len);
    end += len;
  }
  if (rp->type != FILE_TYPE_REGULAR) *end = '\\';
  return joined;
}

hRC vssfs_component_t::skipFile(restore_pkt* rp) {
  ++files_skipped;
  HFREE(filename);
  filename = nullptr;
  rp->create_status = CREATE_SKIP;
  return hRC_OK;
}

hRC vssfs_component_t::createFile(restore_pkt* rp) {
  TRACE_FUNCTION(hpContext);
  Dmsg(hpContext, 50, "createFile_COMPONENT level=%d state=%d\n", level, state);
  char** bits = vssfs->path_bits;
  int count = vssfs->path_bits_count;
  while (!vssfs->job_canceled) {
    Dmsg(hpContext, 50, "_createFile_COMPONENT state=%d\n", state);
    if (vssapi_component) vssapi_component->info();
    switch (state) {
      case 0:
        startRestore();
        state = 1;
        break;
      case 1: {
        bool ours = count > level && strcmp(bits[level], name) == 0 && vssfs->unique_id == last_unique_id &&
                    strncmp(bits[count - 1], ":component_info_", 16) != 0;
        if (!ours) {
          Dmsg(hpContext, 50, "Component change detected - %s != %s\n", count > level ? bits[level] : "", name);
          endComponentRestore();
          state = 2;
          endRestoreFile();
          return hRC_Seen;
        }
        if (count == level + 1) {
          state = 2;
          break;
        }
        HFREE(filename);
        HFREE(target_filename);
        target_filename = nullptr;
        filename = restoreFilename(rp);
        if (!filename) return skipFile(rp);
        Dmsg(hpContext, 50, "component fname=%s\n", filename);
        VSS_RESTOREMETHOD_ENUM method = vssapi_writer ? vssapi_writer->restore_method : VSS_RME_UNDEFINED;
        hRC pre = vssapi_component ? vssapi_component->preFileRestore(this) : hRC_OK;
        // A refusal counts under a custom method of either the writer or the handler.
        if (pre != hRC_OK && (method == VSS_RME_CUSTOM ||
                              (vssapi_component && vssapi_component->file_restore_method == VSS_RME_CUSTOM))) {
          Dmsg(hpContext, 50, "skipping file %s\n", filename);
          return skipFile(rp);
        }
        int file_method = vssapi_component ? vssapi_component->file_restore_method : VSS_RME_UNDEFINED;
        bool reboot = false;
        switch (file_method) {
          case VSS_RME_UNDEFINED:
          case VSS_RME_RESTORE_IF_NOT_THERE:
          case VSS_RME_STOP_RESTORE_START:
          case VSS_RME_RESTORE_TO_ALTERNATE_LOCATION:
            Dmsg(hpContext, 50, "VSS_RME_%d\n", file_method);
            break;
          case VSS_RME_RESTORE_IF_CAN_REPLACE:
            if (!can_replace) {
              Dmsg(hpContext, 50, "skipping file\n");
              return skipFile(rp);
            }
            break;
          case VSS_RME_RESTORE_AT_REBOOT:
            Dmsg(hpContext, 50, "VSS_RME_RESTORE_AT_REBOOT\n");
            reboot = rp->type == FILE_TYPE_REGULAR;
            break;
          case VSS_RME_RESTORE_AT_REBOOT_IF_CANNOT_REPLACE:
            Dmsg(hpContext, 50, "VSS_RME_RESTORE_AT_REBOOT_IF_CANNOT_REPLACE\n");
            if (rp->type == FILE_TYPE_REGULAR && !can_replace) {
              Dmsg(hpContext, 50, "Cannot replace file=%s\n", filename);
              reboot = true;
            }
            break;
          default:
            break;
        }
        if (reboot) {
          target_filename = filename;
          size_t len = strlen(target_filename);
          filename = static_cast<char*>(HALLOC(len + sizeof(kRestoreSuffix)));
          memcpy(filename, target_filename, len);
          memcpy(filename + len, kRestoreSuffix, sizeof(kRestoreSuffix));
          if (file_method == VSS_RME_RESTORE_AT_REBOOT) Dmsg(hpContext, 50, "VSS_RME_RESTORE_AT_REBOOT=%s\n", filename);
        }
        WCHAR* wide = WIDE_FROM_NARROW(filename);
        if (!wide) {
          Jmsg(hpContext, JMSG_ERROR, "%s not restored: its name cannot be carried to a file name.\n",
               printable(rp->ofname));
          HFREE(target_filename);
          target_filename = nullptr;
          return skipFile(rp);
        }
        size_t wide_len = wcslen(wide);
        if (rp->type == FILE_TYPE_DIRECTORY && wide_len && wide[wide_len - 1] == L'\\') wide[wide_len - 1] = L'\0';
        delete file_node;
        file_node = HNEW vssfs_file_t(vssfs, filename, this);
        file_node->filename = wide;
        vssfs->current_node = file_node;
        return hRC_Seen;
      }
      case 2:
        endComponentRestore();
        rp->create_status = CREATE_NO_DATA;
        return hRC_OK;
      default:
        Jmsg(hpContext, JMSG_FATAL, "Invalid createFile_COMPONENT state=%d\n", state);
        return hRC_Error;
    }
  }
  destroyEnumerator();
  return hRC_Error;
}

hRC vssfs_component_t::endRestoreFile() {
  TRACE_FUNCTION(hpContext);
  Dmsg(hpContext, 50, "endRestoreFile_COMPONENT state=%d\n", state);
  switch (state) {
    case 1: {
      bool restored = file_node != nullptr;
      bool failed = file_node && file_node->io_failed;
      delete file_node;
      file_node = nullptr;
      if (vssapi_component) vssapi_component->postFileRestore(this);
      if (failed) {
        ++files_write_failed;  // a broken ".restore" copy must not replace anything
      } else if (restored && target_filename) {
        // In a chain the ".restore" copy already holds the newer data: one replacement per target.
        if (!vssfs->pendingRenameQueued(target_filename)) vssfs->addPendingRename(target_filename, filename);
        ++files_at_reboot;
      } else if (restored) {
        ++files_in_place;
        if (vssapi_writer && vssapi_writer->restore_method <= VSS_RME_RESTORE_TO_ALTERNATE_LOCATION &&
            vssapi_writer->restore_method != VSS_RME_RESTORE_IF_CAN_REPLACE)
          Dmsg(hpContext, 50, "VSS_RME_%d\n", vssapi_writer->restore_method);
      }
      HFREE(target_filename);
      target_filename = nullptr;
      HFREE(filename);
      filename = nullptr;
      return hRC_OK;
    }
    case 2:
      endComponentRestore();
      state = 0;
      vssfs->current_node = parent;
      return hRC_Seen;
    default:
      return hRC_Error;
  }
}

void vssfs_component_t::endComponentRestore() {
  if (!restore_open) return;
  restore_open = false;
  TRACE_FUNCTION(hpContext);
  if (vssapi_component) vssapi_component->postComponentRestore(this);
  startStoppedServices(hpContext, &sc_manager, &service_list);
  int written = files_in_place + files_at_reboot;
  VSS_FILE_RESTORE_STATUS status = VSS_RS_ALL;
  if (files_skipped || files_write_failed) status = written ? VSS_RS_FAILED : VSS_RS_NONE;
  const WCHAR* full_name = L"";
  const WCHAR* writer_name = L"";
  if (vssapi_component) {
    vssapi_component->restore_status = status;
    full_name = printable(vssapi_component->component_full_name);
  }
  if (vssapi_writer) writer_name = printable(vssapi_writer->writer_name);
  if (files_skipped || files_write_failed)
    Jmsg(hpContext, JMSG_WARNING, "Component %ls\\%ls: %d files skipped, %d failed to restore.\n", writer_name,
         full_name, files_skipped, files_write_failed);
  Jmsg(hpContext, JMSG_INFO,
       "Restored component %ls\\%ls: %d written in place, %d for replacement at reboot, %d skipped, %d failed.\n",
       writer_name, full_name, files_in_place, files_at_reboot, files_skipped, files_write_failed);
}

hRC vssfs_component_t::postRestore() {
  TRACE_FUNCTION(hpContext);
  // The job ends with this component's data: its file hook, then its end as on every other path.
  if (state == 1 && filename && vssapi_component) vssapi_component->postFileRestore(this);
  endComponentRestore();
  return hRC_OK;
}

hRC vssfs_component_t::pluginIoWrite(io_pkt* io) {
  TRACE_FUNCTION(hpContext);
  io->status = io->count;
  io->io_errno = 0;
  return hRC_OK;
}
