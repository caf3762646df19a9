// Restore sequencing: the restore events, one shadow copy restore context per backup job of the
// restored stream, the routing of every entry to the current node, and the I/O dispatch.
#include "vssfs.h"

#include "host_alloc.h"
#include "host_messages.h"
#include "split_string.h"
#include "text_convert.h"
#include "../tree/vssfs_element.h"
#include "../vss/vss_call_status.h"
#include "../vss/vssapi.h"

#include <climits>
#include <cstdlib>
#include <cstring>
#include <cwchar>

namespace {

const int kJobRestore = 2;
// A node that hands one packet on more often than this is looping.
const int kMaxHandOvers = 64;

bool is_component_info_name(const char* name, size_t len) {
  return len > 24 && strncmp(name + len - 24, ":component_info_", 16) == 0;
}

// The number the eight hexadecimal digits of a suffix stand for; 0 for any other text.
time_t suffix_id(const char* suffix) {
  unsigned long value = 0;
  for (int i = 0; i < 8; ++i) {
    char c = suffix[i];
    int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
    if (digit < 0) return 0;
    value = value * 16 + static_cast<unsigned long>(digit);
  }
  return suffix[8] ? 0 : static_cast<time_t>(value);
}

void free_metadata_entry(xml_metadata_list_t* entry) {
  HFREE(entry->name);
  HFREE(entry->data);
  HFREE(entry);
}

}  // namespace

hRC vssfs_t::restoreEvent(hEvent* event, void* value) {
  TRACE_FUNCTION(hpContext);
  switch (event->eventType) {
    case hEventStartRestoreJob:
      Dmsg(hpContext, 50, "StartRestoreJob\n");
      plugin_active = true;
      Jmsg(hpContext, JMSG_INFO, "VSS plugin start restore Job.\n");
      job_type = kJobRestore;
      return hRC_OK;
    case hEventEndRestoreJob:
      return endRestoreJob();
    case hEventRestoreCommand:
      return restoreCommand(static_cast<char*>(value));
    case hEventRestoreObject:
      return restoreObject(static_cast<restore_object_pkt*>(value));
    default:
      return hRC_OK;
  }
}

hRC vssfs_t::restoreCommand(char* command) {
  TRACE_FUNCTION(hpContext);
  if (checkPendingRenames()) {
    Jmsg(hpContext, JMSG_FATAL,
         "In order to do a System State Recovery,\nyour system must be consistent. Currently, you have "
         "installed/uninstalled\nsome programs, please reboot your system before attempting a System restore.\n");
    return hRC_Error;
  }
  Dmsg(hpContext, 50, "restore command=%s (last restore command=%s)\n", printable(command),
       printable(last_plugin_command));
  char* where = nullptr;
  hfuncs->getHarbekValue(hpContext, hVarWhere, &where);
  if (where && where[0] && strcmp(where, "/") != 0) {
    Jmsg(hpContext, JMSG_FATAL, "Can't use Where=%s with this plugin, use Where=/ instead\n", where);
    return hRC_Error;
  }
  char* regexwhere = nullptr;
  hfuncs->getHarbekValue(hpContext, hVarRegexWhere, &regexwhere);
  if (regexwhere && regexwhere[0]) {
    Jmsg(hpContext, JMSG_FATAL, "Can't use RegexWhere=%s with this plugin\n", regexwhere);
    return hRC_Error;
  }
  HFREE(pending_plugin_command);
  pending_plugin_command = command ? HSTRDUP(command) : nullptr;
  return hRC_OK;
}

hRC vssfs_t::restoreObject(restore_object_pkt* rop) {
  TRACE_FUNCTION(hpContext);
  Dmsg(hpContext, 50, "RestoreObject\n");
  if (!rop) {
    Dmsg(hpContext, 50, " last restore object\n");
    return hRC_OK;
  }
  plugin_active = true;
  // The object is bytes from the archive: never measured past its length.
  int len = rop->object && rop->object_len > 0 ? rop->object_len : 0;
  size_t units = rop->object ? wcsnlen(reinterpret_cast<const WCHAR*>(rop->object), static_cast<size_t>(len) / 2) : 0;
  const char* name = printable(rop->object_name);
  Dmsg(hpContext, 50, " fname  = %s\n", name);
  Dmsg(hpContext, 50, " type   = %d\n", rop->object_type);
  Dmsg(hpContext, 50, " len    = %d\n", rop->object_len);
  Dmsg(hpContext, 50, " wcslen = %d\n", static_cast<int>(units));
  Dmsg(hpContext, 50, " index  = %d\n", rop->object_index);
  Dmsg(hpContext, 50, " JobId  = %d\n", static_cast<int>(rop->JobId));
  bool job_document = strcmp(name, "job_metadata.xml") == 0;
  if (!job_document && strncmp(name, "vss_", 4) != 0) {
    Dmsg(hpContext, 50, " not ours\n");
    return hRC_OK;
  }
  Dmsg(hpContext, 50, " match\n");
  xml_metadata_list_t* entry = static_cast<xml_metadata_list_t*>(HALLOC(sizeof(xml_metadata_list_t)));
  entry->name = HSTRDUP(name);
  entry->size = len;
  entry->job_id = static_cast<int>(rop->JobId);
  entry->used = false;
  // Two zero bytes more, so the copy always ends as a UTF-16 text.
  entry->data = static_cast<char*>(HALLOC(static_cast<size_t>(len) + 2));
  if (len) memcpy(entry->data, rop->object, static_cast<size_t>(len));
  if (job_document) {
    if (job_metadata_tail)
      job_metadata_tail->next = entry;
    else
      job_metadata_head = entry;
    job_metadata_tail = entry;
    ++job_metadata_count;
  } else {
    entry->next = writer_metadata_head;
    writer_metadata_head = entry;
  }
  return hRC_OK;
}

hRC vssfs_t::endRestoreJob() {
  TRACE_FUNCTION(hpContext);
  Dmsg(hpContext, 50, "EndRestoreJob\n");
  if (segment_open) {
    retireElements();
    if (!last_job) {
      // A selection that left out the later backup jobs: the segment closed now is the last.
      Jmsg(hpContext, JMSG_WARNING,
           "The restore ended after %d of %d backup jobs; the last one restored is closed as the last.\n",
           restore_job_no, job_metadata_count);
      last_job = true;
      if (vssapi) {
        vssapi->last_job = true;
        for (vssapi_writer_t* writer = vssapi->writer_head; writer; writer = writer->next) writer->last_job = true;
      }
    }
    postRestore();
    segment_open = false;
  }
  unique_id = 0;
  HFREE(unique_id_str);
  unique_id_str = nullptr;
  plugin_active = false;
  return hRC_OK;
}

void vssfs_t::retireElements() {
  TRACE_FUNCTION(hpContext);
  current_node = nullptr;
  while (element_head) {
    vssfs_element_t* element = element_head;
    element_head = element->next;
    element->postRestore();
    delete element;
  }
  element_tail = nullptr;
}

// Takes the pending command (a null one means the last again) and creates its element.
void vssfs_t::startRestoreCommand() {
  TRACE_FUNCTION(hpContext);
  Dmsg(hpContext, 50, "new restore command\n");
  if (pending_plugin_command) {
    HFREE(last_plugin_command);
    last_plugin_command = pending_plugin_command;
    pending_plugin_command = nullptr;
  }
  current_node = nullptr;
  if (!last_plugin_command) {
    Jmsg(hpContext, JMSG_ERROR, "Restore data arrived before any restore command; it is skipped.\n");
    return;
  }
  const char* rest = last_plugin_command;
  char* plugin_name = next_field(&rest);
  char* path = next_field(&rest);
  if (!plugin_name || strcmp(plugin_name, "vss") != 0) plugin_active = false;
  char* name = element_name(path);
  const vssfs_elements_t* row = vssfs_elements;
  while (name && row->name && strcmp(row->name, name) != 0) ++row;
  if (name && row->name) {
    Dmsg(hpContext, 50, "matched %s\n", name);
    vssfs_element_t* element = row->element_factory(this, name);
    if (element_tail)
      element_tail->next = element;
    else
      element_head = element;
    element_tail = element;
    current_node = element;
    ++command_count;
    Dmsg(hpContext, 50, "Found VSS element %s. Count=%d\n", name, command_count);
  } else {
    Dmsg(hpContext, 50, "Unknown VSS element %s. Ignoring\n", printable(name ? name : path));
  }
  HFREE(name);
  HFREE(path);
  HFREE(plugin_name);
}

hRC vssfs_t::startRestoreFile(const char* cmd) {
  TRACE_FUNCTION(hpContext);
  Dmsg(hpContext, 90, "startRestoreFile %s\n", printable(cmd));
  return hRC_OK;
}

hRC vssfs_t::setFileAttributes(restore_pkt*) {
  TRACE_FUNCTION(hpContext);
  Dmsg(hpContext, 90, "setFileAttributes\n");
  return hRC_OK;
}

hRC vssfs_t::createFile(restore_pkt* rp) {
  TRACE_FUNCTION(hpContext);
  Dmsg(hpContext, 50, "createFile - type = %d, ofname = %s\n", rp->type, printable(rp->ofname));
  if (rp->pkt_size != sizeof(restore_pkt) || rp->pkt_end != sizeof(restore_pkt)) {
    Jmsg(hpContext, JMSG_FATAL,
         "restore_pkt size mismatch - sizeof(struct restore_pkt) = %d, pkt_size = %d, pkt_end = %d\n",
         static_cast<int>(sizeof(restore_pkt)), rp->pkt_size, rp->pkt_end);
    return hRC_Error;
  }
  char* ofname = const_cast<char*>(printable(rp->ofname));
  size_t len = strlen(ofname);
  if (is_component_info_name(ofname, len)) {
    Dmsg(hpContext, 50, "component_info file detected\n");
    const char* suffix = ofname + len - 8;
    bool new_job = !unique_id_str || strcmp(suffix, unique_id_str) != 0;
    if (new_job) {
      retireElements();
      if (segment_open) postRestore();
      segment_open = false;
    }
    if (new_job || !last_plugin_command ||
        (pending_plugin_command && strcmp(last_plugin_command, pending_plugin_command) != 0))
      startRestoreCommand();
    if (new_job) {
      Dmsg(hpContext, 50, "new unique id detected\n");
      unique_id = suffix_id(suffix);
      HFREE(unique_id_str);
      unique_id_str = HSTRDUP(suffix);
      Dmsg(hpContext, 50, "restore_job_no = %d, job_metadata_count = %d\n", restore_job_no, job_metadata_count);
      if (restore_job_no == job_metadata_count - 1) {
        Dmsg(hpContext, 50, "last_job\n");
        last_job = true;
      }
      ++restore_job_no;
      segment_open = true;
      preRestore();
    }
  }

  // No cap on the pieces: a deeper path cut short would be written somewhere else.
  freeSplitString(path_bits);
  int separators = 0;
  for (const char* p = ofname; *p; ++p) separators += *p == '/';
  path_bits = splitString(ofname, '/', separators + 1, &path_bits_count);

  rp->create_status = CREATE_SKIP;  // for an entry that reaches no node
  if (!current_node && !segment_open)
    Jmsg(hpContext, JMSG_WARNING, "%s skipped: no component information file of its backup job precedes it.\n",
         ofname);
  hRC result = hRC_OK;
  for (int hand_overs = 0; current_node; ++hand_overs) {
    if (hand_overs == kMaxHandOvers) {
      Jmsg(hpContext, JMSG_FATAL, "No node takes the entry %s.\n", ofname);
      result = hRC_Error;
      break;
    }
    result = current_node->createFile(rp);
    if (result != hRC_Seen) break;
  }
  if (!current_node && result == hRC_Seen) {
    rp->create_status = CREATE_SKIP;
    result = hRC_OK;
  }
  Dmsg(hpContext, 90, "createFile done - retval = %d\n", result);
  return result;
}

hRC vssfs_t::endRestoreFile() {
  TRACE_FUNCTION(hpContext);
  hRC result = hRC_OK;
  for (int hand_overs = 0; current_node && hand_overs < kMaxHandOvers; ++hand_overs) {
    result = current_node->endRestoreFile();
    if (result != hRC_Seen) break;
  }
  if (!current_node || result == hRC_Seen) result = hRC_OK;
  freeSplitString(path_bits);
  path_bits = nullptr;
  path_bits_count = 0;
  Dmsg(hpContext, 90, "endRestoreFile done - retval = %d\n", result);
  return result;
}

hRC vssfs_t::pluginIO(io_pkt* io) {
  if (io->pkt_size != sizeof(io_pkt) || io->pkt_end != sizeof(io_pkt)) {
    Jmsg(hpContext, JMSG_FATAL,
         "io_pkt size mismatch - sizeof(struct io_pkt) = %d, pkt_size = %d, pkt_end = %d\n",
         static_cast<int>(sizeof(io_pkt)), io->pkt_size, io->pkt_end);
  }
  switch (io->func) {
    case IO_OPEN:
      Dmsg(hpContext, 100, "IO_OPEN\n");
      return current_node ? current_node->pluginIoOpen(io) : hRC_OK;
    case IO_READ:
      Dmsg(hpContext, 200, "IO_READ buf=0x%p len=%d\n", static_cast<void*>(io->buf), io->count);
      return current_node ? current_node->pluginIoRead(io) : hRC_OK;
    case IO_WRITE:
      Dmsg(hpContext, 200, "IO_WRITE buf=0x%p len=%d\n", static_cast<void*>(io->buf), io->count);
      return current_node ? current_node->pluginIoWrite(io) : hRC_OK;
    case IO_CLOSE:
      Dmsg(hpContext, 100, "IO_CLOSE\n");
      return current_node ? current_node->pluginIoClose(io) : hRC_OK;
    case IO_SEEK:
      Dmsg(hpContext, 100, "IO_SEEK whence=%d, offset=%lld\n", io->whence, static_cast<long long>(io->offset));
      return current_node ? current_node->pluginIoSeek(io) : hRC_OK;
    default:
      return hRC_OK;
  }
}

bool vssfs_t::WaitAndCheckForAsyncOperation(IVssAsync* async) {
  TRACE_FUNCTION(hpContext);
  HRESULT status = VSS_S_ASYNC_PENDING;
  for (int question = 0; question < 601; ++question) {
    if (question) Sleep(1000);
    if (FAILED(async->QueryStatus(&status, nullptr))) return false;
    if (status != VSS_S_ASYNC_PENDING) break;
  }
  return status == VSS_S_ASYNC_FINISHED;
}

namespace {

// Releases a segment's wrapper and backup components object.
void drop_segment(vssfs_t* vssfs) {
  delete vssfs->vssapi;
  vssfs->vssapi = nullptr;
  if (vssfs->vss_components) vssfs->vss_components->Release();
  vssfs->vss_components = nullptr;
}

// Runs one asynchronous call of the service and waits for it; false when the call failed.
bool run_async(vssfs_t* vssfs, HRESULT (STDMETHODCALLTYPE IVssBackupComponents::*call)(IVssAsync**),
               const char* name) {
  ::hpContext* ctx = vssfs->hpContext;
  IVssAsync* async = nullptr;
  HRESULT hr = (vssfs->vss_components->*call)(&async);
  Dmsg(ctx, 50, "%s hr = %08x\n", name, static_cast<unsigned>(hr));
  if (FAILED(hr)) {
    Dmsg(ctx, 0, "%s returned %08x\n", name, static_cast<unsigned>(hr));
    JmsgWriterCallStatus(ctx, hr, name);
    Jmsg(ctx, JMSG_FATAL, "%s failed: %08x\n", name, static_cast<unsigned>(hr));
    return false;
  }
  if (async) {
    // The sequence goes on either way (the writers' own states tell which of them failed), but a
    // step the service did not complete must not leave the job looking like a success.
    if (!vssfs->WaitAndCheckForAsyncOperation(async)) {
      HRESULT status = VSS_S_ASYNC_PENDING;
      async->QueryStatus(&status, nullptr);
      Jmsg(ctx, JMSG_ERROR, "%s did not complete (status 0x%08x): the writers may not have finished their part of "
           "this restore.\n", name, static_cast<unsigned>(status));
    }
    async->Release();
  }
  return true;
}

}  // namespace

bool vssfs_t::preRestore() {
  TRACE_FUNCTION(hpContext);
  // The previous segment's context is closed: nothing of it may drive this one.
  drop_segment(this);
  segment_job_id = 0;
  HRESULT hr = p_CreateVssBackupComponents ? p_CreateVssBackupComponents(&vss_components) : E_POINTER;
  Dmsg(hpContext, 0, "p_CreateVssBackupComponents hr = %08x\n", static_cast<unsigned>(hr));
  if (FAILED(hr) || !vss_components) {
    JmsgWriterCallStatus(hpContext, hr, "CreateVssBackupComponents");
    Jmsg(hpContext, JMSG_FATAL, "CreateVssBackupComponents failed: %08x\n", static_cast<unsigned>(hr));
    Dmsg(hpContext, 0, "CreateVssBackupComponents returned %08x\n", static_cast<unsigned>(hr));
    vss_components = nullptr;
    return false;
  }
  xml_metadata_list_t* document = job_metadata_head;
  if (!document) {
    Jmsg(hpContext, JMSG_FATAL, "No backup document left for backup job %s: its data cannot be restored.\n",
         printable(unique_id_str));
    drop_segment(this);
    return false;
  }
  // Each segment takes one document, even one the service refuses: the next belongs to the next job.
  job_metadata_head = document->next;
  if (!job_metadata_head) job_metadata_tail = nullptr;
  segment_job_id = static_cast<uint32_t>(document->job_id);
  size_t units = wcsnlen(reinterpret_cast<const WCHAR*>(document->data), static_cast<size_t>(document->size) / 2);
  BSTR xml = SysAllocStringLen(reinterpret_cast<const WCHAR*>(document->data), static_cast<UINT>(units));
  free_metadata_entry(document);
  hr = vss_components->InitializeForRestore(xml);
  SysFreeString(xml);
  Dmsg(hpContext, 50, "InitializeForRestore hr = %08x\n", static_cast<unsigned>(hr));
  if (FAILED(hr)) {
    JmsgWriterCallStatus(hpContext, hr, "InitializeForRestore");
    Jmsg(hpContext, JMSG_FATAL, "InitializeForRestore failed: %08x\n", static_cast<unsigned>(hr));
    Dmsg(hpContext, 0, "InitializeForRestore returned %08x\n", static_cast<unsigned>(hr));
    drop_segment(this);
    return false;
  }

  vssapi = HNEW vssapi_t(hpContext, vss_components);
  vssapi->last_job = last_job;
  vssapi->restore_job_id = segment_job_id;
  vssapi->initRestore(writer_metadata_head);
  vssapi->preJobRestore(this);
  if (!run_async(this, &IVssBackupComponents::GatherWriterMetadata, "GatherWriterMetadata")) {
    drop_segment(this);
    return false;
  }
  vssapi->setComponentsSelected();
  if (!run_async(this, &IVssBackupComponents::PreRestore, "PreRestore")) {
    drop_segment(this);
    return false;
  }
  return true;
}

bool vssfs_t::postRestore() {
  TRACE_FUNCTION(hpContext);
  bool result = false;
  if (vssapi && vss_components) {
    vssapi->preCloseRestore();
    result = run_async(this, &IVssBackupComponents::PostRestore, "PostRestore");
  }
  if (last_job) {
    Dmsg(hpContext, 50, "Last job. Performing post restore actions\n");
    // The ".restore" files of every segment are only of use once the replacements are queued.
    commitPendingRenames();
    if (result) vssapi->postJobRestore(this);
    drop_segment(this);
  }
  return result;
}

bool vssfs_t::pendingRenameQueued(const char* target) {
  if (!pending_buf || !target) return false;
  WCHAR* wide = WIDE_FROM_NARROW(target);
  if (!wide) return false;
  bool queued = false;
  // Pairs of texts: source, then destination (empty for a delete). A replacement of T is the
  // delete of T followed by a move onto T.
  bool deleted_before = false;
  for (int at = 0; at < pending_offset && !queued;) {
    const WCHAR* source = pending_buf + at;
    size_t source_len = wcsnlen(source, static_cast<size_t>(pending_offset - at));
    int next = at + static_cast<int>(source_len) + 1;
    const WCHAR* destination = next < pending_offset ? pending_buf + next : L"";
    size_t destination_len = next < pending_offset ? wcsnlen(destination, static_cast<size_t>(pending_offset - next)) : 0;
    bool names_target = false;
    const WCHAR* named = destination_len ? destination : source;
    names_target = wcsncmp(named, L"\\??\\", 4) == 0 && _wcsicmp(named + 4, wide) == 0;
    queued = deleted_before && destination_len && names_target;
    deleted_before = !destination_len && names_target;
    at = next + static_cast<int>(destination_len) + 1;
  }
  HFREE(wide);
  return queued;
}
