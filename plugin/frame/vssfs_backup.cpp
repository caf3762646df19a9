// Backup sequencing: the walk over the current node, the writer metadata documents, the
// accurate-mode check and the snapshot of a volume.
#include "vssfs.h"

#include "host_alloc.h"
#include "host_messages.h"
#include "text_convert.h"
#include "../tree/vssfs_node.h"
#include "../vss/vss_call_status.h"
#include "../vss/vssapi.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <cwchar>

namespace {

const int kStateWalk = 0;
const int kStateDocuments = 1;

// "vss_<name>_{instance id}_{class id}.xml", a host block.
char* document_name(vssapi_writer_t* writer) {
  char* name = writer->writer_name ? NARROW_FROM_WIDE(writer->writer_name) : nullptr;
  if (!name) name = HSTRDUP(writer->ascii_writer_name ? writer->ascii_writer_name : "");
  size_t size = strlen(name) + 100;
  char* text = static_cast<char*>(HALLOC(size));
  const GUID& i = writer->writer_instance_id;
  const GUID& c = writer->writer_class_id;
  snprintf(text, size,
           "vss_%s_{%08lX-%04X-%04X-%04X-%02X%02X%02X%02X%02X%02X}_{%08lX-%04X-%04X-%04X-%02X%02X%02X%02X%02X%02X}.xml",
           name, i.Data1, i.Data2, i.Data3, (i.Data4[0] << 8) | i.Data4[1], i.Data4[2], i.Data4[3], i.Data4[4],
           i.Data4[5], i.Data4[6], i.Data4[7], c.Data1, c.Data2, c.Data3, (c.Data4[0] << 8) | c.Data4[1], c.Data4[2],
           c.Data4[3], c.Data4[4], c.Data4[5], c.Data4[6], c.Data4[7]);
  HFREE(name);
  return text;
}

}  // namespace

hRC vssfs_t::startBackupFile(save_pkt* sp) {
  TRACE_FUNCTION(hpContext);
  if (sp->pkt_size != sizeof(save_pkt) || sp->pkt_end != sizeof(save_pkt)) {
    Jmsg(hpContext, JMSG_FATAL,
         "save_pkt size mismatch - sizeof(struct save_pkt) = %d, pkt_size = %d, pkt_end = %d\n",
         static_cast<int>(sizeof(save_pkt)), sp->pkt_size, sp->pkt_end);
    return hRC_Error;
  }
  hRC result = hRC_Error;
  if (state == kStateWalk) {
    if (!current_node) {
      Jmsg(hpContext, JMSG_FATAL, "No element to back up: the backup command named none.\n");
      return hRC_Error;
    }
    // Descend into new children until one fills the packet; climb through finished nodes. The
    // name is cleared first: a node that hands over control leaves it as it found it.
    sp->fname = nullptr;
    for (vssfs_node_t* prev = nullptr; current_node && current_node != prev;) {
      prev = current_node;
      result = prev->startBackupFile(sp);
      Dmsg(hpContext, 50, "loop startBackupFile=%s\n", printable(sp->fname));
      if (result == hRC_Seen) endBackupFile();
    }
  } else if (state == kStateDocuments && vssapi_writer) {
    SysFreeString(xml);
    xml = nullptr;
    HRESULT hr = vssapi_writer->metadata->SaveAsXML(&xml);
    JmsgWriterCallStatus(hpContext, hr, "SaveAsXML");
    if (FAILED(hr)) xml = nullptr;
    Dmsg(hpContext, 50, " SaveAsXML = %08x\n", static_cast<unsigned>(hr));
    if (!xml) xml = SysAllocString(L"");  // the object must still have a text
    int len = static_cast<int>(wcslen(xml));
    Dmsg(hpContext, 50, " xml len = %d\n", len + 1);
    HFREE(ro_name);
    ro_name = document_name(vssapi_writer);
    sp->fname = ro_name;
    sp->link = ro_name;
    sp->object_name = ro_name;
    sp->object = reinterpret_cast<char*>(xml);
    sp->object_len = 2 * len + 2;
    sp->index = 0;
    sp->type = FILE_TYPE_RESTORE_OBJECT;
    result = hRC_OK;
  }
  Dmsg(hpContext, 50, "startBackupFile done - type=%d, fname=%s, retval = %d\n", sp->type, printable(sp->fname),
       result);
  return result;
}

hRC vssfs_t::endBackupFile() {
  TRACE_FUNCTION(hpContext);
  hRC result = hRC_Error;
  if (state == kStateWalk) {
    vssfs_node_t* node = nullptr;
    while (current_node && current_node != node) {
      node = current_node;
      result = node->endBackupFile();
    }
    // Only a finished element counts: a failed one must not start the documents.
    if (result == hRC_OK) {
      ++command_no;
      if (command_no == command_count) {
        state = kStateDocuments;
        vssapi_writer = vssapi ? vssapi->writer_head : nullptr;
        if (vssapi_writer) result = hRC_More;
      }
    }
  } else if (state == kStateDocuments) {
    HFREE(ro_name);
    ro_name = nullptr;
    do {
      vssapi_writer = vssapi_writer ? vssapi_writer->next : nullptr;
    } while (vssapi_writer && !vssapi_writer->writer_active);
    if (vssapi_writer) {
      result = hRC_More;
    } else {
      result = hRC_OK;
      SysFreeString(xml);
      xml = nullptr;
    }
  }
  Dmsg(hpContext, 50, "endBackupFile done - retval = %d\n", result);
  return result;
}

char* vssfs_t::workingDirectory() {
  char* working_dir = nullptr;
  if (hfuncs->getHarbekValue(hpContext, hVarWorkingDir, &working_dir) == hRC_OK && working_dir) return working_dir;
  // Said once a job: every component of it goes without stamps the same way.
  bool* warned = static_cast<bool*>(getPersistent("working directory warned", sizeof(bool)));
  if (!*warned) Jmsg(hpContext, JMSG_WARNING, "Cannot get working directory\n");
  *warned = true;
  return nullptr;
}

namespace {

const char kSentComponent[] = "sent component ";

// The file a tree name stands for when the name continues a component's own path with a drive
// ("c:/windows/x.dll" → "\\?\c:\windows\x.dll"); null for the tree's own entries.
WCHAR* componentEntryFile(const char* rest) {
  if (!isalpha(static_cast<unsigned char>(rest[0])) || rest[1] != ':' || (rest[2] != '/' && rest[2])) return nullptr;
  WCHAR* wide = WIDE_FROM_NARROW(rest);
  if (!wide) return nullptr;
  size_t len = wcslen(wide);
  while (len > 3 && wide[len - 1] == L'/') wide[--len] = 0;
  WCHAR* path = static_cast<WCHAR*>(HALLOC((len + 6) * sizeof(WCHAR)));
  wcscpy(path, L"\\\\?\\");
  wcscat(path, wide);
  HFREE(wide);
  for (WCHAR* c = path + 4; *c; ++c)
    if (*c == L'/') *c = L'\\';
  if (len == 2) wcscat(path, L"\\");
  return path;
}

}  // namespace

void vssfs_t::noteSentComponent(const char* component_path) {
  size_t len = sizeof(kSentComponent) + strlen(component_path);
  char* key = static_cast<char*>(HALLOC(len));
  snprintf(key, len, "%s%s", kSentComponent, component_path);
  getPersistent(key, 1);
  HFREE(key);
}

// An entry of an earlier backup that this one did not send is gone only when it is a file of a
// component this job sent and the file is no longer there: a file removed since (an old driver, a
// dropped database) must not come back with a restore of the chain. Everything else stays: the
// information files of earlier jobs are what a restore of the chain needs, and the files of a
// component this job left out keep their earlier copies.
hRC vssfs_t::checkFile(char* fname) {
  TRACE_FUNCTION(hpContext);
  const size_t key_len = sizeof(kSentComponent) - 1;
  for (vssfs_persistent_list_t* p = fname ? persistent_head : nullptr; p; p = p->next) {
    if (strncmp(p->name, kSentComponent, key_len) != 0) continue;
    const char* component_path = p->name + key_len;
    size_t prefix = strlen(component_path);
    if (strncmp(fname, component_path, prefix) != 0) continue;
    WCHAR* path = componentEntryFile(fname + prefix);
    if (!path) continue;
    DWORD attributes = GetFileAttributesW(path);
    DWORD error = GetLastError();
    HFREE(path);
    if (attributes == INVALID_FILE_ATTRIBUTES && (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)) {
      Dmsg(hpContext, 50, "gone %s\n", fname);
      return hRC_OK;
    }
    break;
  }
  Dmsg(hpContext, 50, "marked as seen %s\n", printable(fname));
  return hRC_Seen;
}

WCHAR* vssfs_t::getSnapshotForVolume(WCHAR* volume_name) {
  TRACE_FUNCTION(hpContext);
  if (!vss_components || !volume_name) return nullptr;
  IVssEnumObject* snapshots = nullptr;
  HRESULT hr = vss_components->Query(GUID_NULL, VSS_OBJECT_NONE, VSS_OBJECT_SNAPSHOT, &snapshots);
  Dmsg(hpContext, 50, "Query hr = %x\n", static_cast<unsigned>(hr));
  if (FAILED(hr) || !snapshots) {
    JmsgWriterCallStatus(hpContext, FAILED(hr) ? hr : E_UNEXPECTED, "Query");
    return nullptr;
  }
  WCHAR* candidate = nullptr;
  VSS_OBJECT_PROP prop;
  ULONG fetched = 0;
  for (int index = 0; snapshots->Next(1, &prop, &fetched) == S_OK && fetched == 1; ++index) {
    VSS_SNAPSHOT_PROP& snap = prop.Obj.Snap;
    Dmsg(hpContext, 50, "Snapshot %d\n", index);
    Dmsg(hpContext, 50, "  SnapshotDeviceObject = %ls\n", printable(snap.m_pwszSnapshotDeviceObject));
    Dmsg(hpContext, 50, "  OriginalVolumeName = %ls\n", printable(snap.m_pwszOriginalVolumeName));
    if (snap.m_pwszOriginalVolumeName && snap.m_pwszSnapshotDeviceObject &&
        wcscmp(snap.m_pwszOriginalVolumeName, volume_name) == 0) {
      HFREE(candidate);
      size_t len = wcslen(snap.m_pwszSnapshotDeviceObject);
      candidate = static_cast<WCHAR*>(HALLOC((len + 1) * sizeof(WCHAR)));
      memcpy(candidate, snap.m_pwszSnapshotDeviceObject, len * sizeof(WCHAR));
    }
    // The properties' texts belong to the caller.
    CoTaskMemFree(snap.m_pwszSnapshotDeviceObject);
    CoTaskMemFree(snap.m_pwszOriginalVolumeName);
    CoTaskMemFree(snap.m_pwszOriginatingMachine);
    CoTaskMemFree(snap.m_pwszServiceMachine);
    CoTaskMemFree(snap.m_pwszExposedName);
    CoTaskMemFree(snap.m_pwszExposedPath);
  }
  snapshots->Release();
  return candidate;
}
