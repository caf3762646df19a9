// Restore side of the shadow copy wrapper: writer records rebuilt from the metadata documents the
// backup saved, the selection of the components to restore, the restore milestones passed on to
// the writer handlers, the file restore status of each component, and the restore identity.
#include "vssapi.h"

#include "vss_call_status.h"
#include "../frame/host_alloc.h"
#include "../frame/host_messages.h"
#include "../frame/text_convert.h"
#include "../frame/vssfs.h"
#include "../tree/vssfs_element.h"

#include <cstdio>
#include <cstring>
#include <cwchar>

namespace {

bool same_id(const VSS_ID& a, const VSS_ID& b) { return memcmp(&a, &b, sizeof(VSS_ID)) == 0; }

bool wide_equal(const WCHAR* a, const WCHAR* b) { return wcscmp(printable(a), printable(b)) == 0; }

// Reads "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" at text; false when it is not there.
bool scan_guid(const char* text, VSS_ID* id) {
  unsigned d1 = 0, d2 = 0, d3 = 0, b[8] = {};
  int used = 0;
  if (sscanf(text, "{%8X-%4X-%4X-%2X%2X-%2X%2X%2X%2X%2X%2X}%n", &d1, &d2, &d3, &b[0], &b[1], &b[2], &b[3], &b[4],
             &b[5], &b[6], &b[7], &used) != 11 ||
      used != 38)
    return false;
  id->Data1 = d1;
  id->Data2 = static_cast<unsigned short>(d2);
  id->Data3 = static_cast<unsigned short>(d3);
  for (int i = 0; i < 8; ++i) id->Data4[i] = static_cast<unsigned char>(b[i]);
  return true;
}

// The two ids of a document name "vss_" + writer name + "_{instance}_{class}.xml", read from the
// end, so the writer name may hold any character.
bool document_ids(const char* name, VSS_ID* instance_id, VSS_ID* class_id) {
  const size_t kTail = 1 + 38 + 1 + 38 + 4;  // "_{...}_{...}.xml"
  size_t len = strlen(name);
  if (len < 4 + kTail || strncmp(name, "vss_", 4) != 0) return false;
  const char* tail = name + len - kTail;
  return tail[0] == '_' && tail[39] == '_' && strcmp(tail + 78, ".xml") == 0 && scan_guid(tail + 1, instance_id) &&
         scan_guid(tail + 40, class_id);
}

void log_id(::hpContext* ctx, const char* what, const VSS_ID& id) {
  Dmsg(ctx, 50, "%s = %08lX-%04X-%04X-%04X-%02X%02X%02X%02X%02X%02X\n", what, id.Data1, id.Data2, id.Data3,
       (id.Data4[0] << 8) | id.Data4[1], id.Data4[2], id.Data4[3], id.Data4[4], id.Data4[5], id.Data4[6],
       id.Data4[7]);
}

}  // namespace

xml_metadata_list_t* vssapi_t::findWriterDocument(xml_metadata_list_t* head, const VSS_ID& instance_id,
                                                  const VSS_ID& class_id) {
  TRACE_FUNCTION(hpContext);
  xml_metadata_list_t* newest = nullptr;
  for (xml_metadata_list_t* entry = head; entry; entry = entry->next) {
    if (strncmp(entry->name, "vss_", 4) != 0) continue;
    Dmsg(hpContext, 50, "considering %s\n", entry->name);
    VSS_ID entry_instance, entry_class;
    if (!document_ids(entry->name, &entry_instance, &entry_class)) continue;
    log_id(hpContext, "instance id", entry_instance);
    log_id(hpContext, "class id", entry_class);
    if (!same_id(entry_instance, instance_id) || !same_id(entry_class, class_id)) continue;
    Dmsg(hpContext, 50, "match\n");
    // The segment's own backup job saved the writer as this document describes it.
    if (restore_job_id && static_cast<uint32_t>(entry->job_id) == restore_job_id) return entry;
    if (!newest) newest = entry;
  }
  return newest;
}

hRC vssapi_t::initRestore(xml_metadata_list_t* xml_metadata_head) {
  TRACE_FUNCTION(hpContext);
  int documents = 0;
  for (xml_metadata_list_t* entry = xml_metadata_head; entry; entry = entry->next) ++documents;
  Dmsg(hpContext, 50, "initRestore metadata count=%d\n", documents);
  UINT count = writerComponentsCount();
  HRESULT hr = S_OK;
  if (count == 0) {
    Jmsg(hpContext, JMSG_FATAL, "Writer count is zero!!!\n");
    return hRC_Error;
  }
  for (UINT i = 0; i < count; ++i) {
    IVssWriterComponentsExt* ext = nullptr;
    hr = vss_components->GetWriterComponents(i, &ext);
    if (FAILED(hr) || !ext) {
      JmsgWriterCallStatus(hpContext, hr, "GetWriterComponents");
      continue;
    }
    VSS_ID instance_id, class_id;
    hr = ext->GetWriterInfo(&instance_id, &class_id);
    if (FAILED(hr)) {
      JmsgWriterCallStatus(hpContext, hr, "GetWriterInfo");
      ReleaseWriterComponents(ext);
      continue;
    }
    xml_metadata_list_t* document = findWriterDocument(xml_metadata_head, instance_id, class_id);
    if (!document) {
      Dmsg(hpContext, 50, "failed to find metadata\n");
      Jmsg(hpContext, JMSG_FATAL, "xml_metadata is NULL\n");
      ReleaseWriterComponents(ext);
      return hRC_Error;
    }
    if (!p_CreateVssExamineWriterMetadata) {
      Jmsg(hpContext, JMSG_FATAL, "No proc address of: p_CreateVssExamineWriterMetadata\n");
      ReleaseWriterComponents(ext);
      return hRC_Error;
    }
    // The document is bytes from the archive: measured within its length only.
    size_t units = wcsnlen(reinterpret_cast<const WCHAR*>(document->data), static_cast<size_t>(document->size) / 2);
    BSTR xml = SysAllocStringLen(reinterpret_cast<const WCHAR*>(document->data), static_cast<UINT>(units));
    IVssExamineWriterMetadata* metadata = nullptr;
    hr = p_CreateVssExamineWriterMetadata(xml, &metadata);
    SysFreeString(xml);
    if (FAILED(hr) || !metadata) {
      JmsgWriterCallStatus(hpContext, hr, "CreateVssExamineWriterMetadata");
      ReleaseWriterComponents(ext);
      continue;
    }
    Dmsg(hpContext, 50, "CreateVssExamineWriterMetadata hr = %08x, metadata = %p\n", static_cast<unsigned>(hr),
         static_cast<void*>(metadata));
    vssapi_writer_t* writer = newWriter(metadata);
    if (!writer) {
      metadata->Release();
      ReleaseWriterComponents(ext);
      continue;
    }
    writer->last_job = last_job;
    if (writer->initRestore(ext) != hRC_OK) {
      delete writer;  // releases the metadata and the document part
      continue;
    }
    appendWriter(writer);
  }
  return hRC_OK;
}

// A writer of the backup that does not run here cannot take its data back: its record goes, so
// its entries meet "Cannot find writer" and are skipped.
void vssapi_t::dropAbsentWriters() {
  TRACE_FUNCTION(hpContext);
  UINT count = 0;
  if (FAILED(vss_components->GetWriterMetadataCount(&count))) return;
  VSS_ID* running = static_cast<VSS_ID*>(HALLOC((count + 1) * sizeof(VSS_ID)));
  UINT known = 0;
  for (UINT i = 0; i < count; ++i) {
    IVssExamineWriterMetadata* metadata = nullptr;
    VSS_ID instance_id;
    if (FAILED(vss_components->GetWriterMetadata(i, &instance_id, &metadata)) || !metadata) continue;
    VSS_ID class_id;
    BSTR name = nullptr;
    VSS_USAGE_TYPE usage;
    VSS_SOURCE_TYPE source;
    if (SUCCEEDED(metadata->GetIdentity(&instance_id, &class_id, &name, &usage, &source))) running[known++] = class_id;
    SysFreeString(name);
    metadata->Release();
  }
  if (known) {
    for (vssapi_writer_t** link = &writer_head; *link;) {
      vssapi_writer_t* writer = *link;
      bool runs = false;
      for (UINT i = 0; i < known && !runs; ++i) runs = same_id(running[i], writer->writer_class_id);
      if (runs) {
        link = &writer->next;
        continue;
      }
      Jmsg(hpContext, JMSG_WARNING, "Writer \"%ls\" does not run on this system; its data is not restored.\n",
           printable(writer->writer_name));
      *link = writer->next;
      delete writer;
    }
  }
  HFREE(running);
}

hRC vssapi_t::setComponentsSelected() {
  TRACE_FUNCTION(hpContext);
  Dmsg(hpContext, 50, "vssapi_t::setComponentsSelected\n");
  dropAbsentWriters();
  for (vssapi_writer_t* writer = writer_head; writer; writer = writer->next) writer->setComponentsSelected();
  return hRC_OK;
}

hRC vssapi_t::preJobRestore(vssfs_t* vssfs) {
  TRACE_FUNCTION(hpContext);
  for (vssapi_writer_t* writer = writer_head; writer; writer = writer->next) writer->preJobRestore(vssfs);
  return hRC_OK;
}

// Passes an element milestone to the writers the element includes.
void vssapi_t::elementMilestone(vssfs_element_t* element, bool post) {
  for (vssapi_writer_t* writer = writer_head; writer; writer = writer->next) {
    Dmsg(hpContext, 50, " checking writer %ls\n", printable(writer->writer_name));
    if (!element->queryIncludeWriter(writer->writer_class_id, writer->writer_name, writer->writer_usage,
                                     writer->writer_source))
      continue;
    Dmsg(hpContext, 50, "  match\n");
    if (post) {
      writer->postElementRestore(element);
    } else {
      writer->preElementRestore(element);
      Dmsg(hpContext, 50, "Including VSS writer \"%ls\"\n", printable(writer->writer_name));
    }
  }
}

hRC vssapi_t::preElementRestore(vssfs_element_t* element) {
  TRACE_FUNCTION(hpContext);
  elementMilestone(element, false);
  return hRC_OK;
}

hRC vssapi_t::postElementRestore(vssfs_element_t* element) {
  TRACE_FUNCTION(hpContext);
  Dmsg(hpContext, 50, "postElementRestore %s\n", element->name);
  elementMilestone(element, true);
  return hRC_OK;
}

hRC vssapi_t::preCloseRestore() {
  TRACE_FUNCTION(hpContext);
  Dmsg(hpContext, 50, "preCloseRestore\n");
  for (vssapi_writer_t* writer = writer_head; writer; writer = writer->next) writer->preCloseRestore();
  return hRC_OK;
}

hRC vssapi_t::postJobRestore(vssfs_t* vssfs) {
  TRACE_FUNCTION(hpContext);
  Dmsg(hpContext, 50, "postJobRestore\n");
  setLastRestoreId();
  for (vssapi_writer_t* writer = writer_head; writer; writer = writer->next) writer->postJobRestore(vssfs);
  return hRC_OK;
}

hRC vssapi_t::setLastRestoreId() {
  TRACE_FUNCTION(hpContext);
  Dmsg(hpContext, 50, "setLastRestoreId\n");
  HKEY key = nullptr;
  LONG rc = RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Control\\BackupRestore\\SystemStateRestore",
                            0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, &key, nullptr);
  Dmsg(hpContext, 50, "RegCreateKeyExA(SystemStateRestore) hr = %08x\n", static_cast<unsigned>(rc));
  if (rc != ERROR_SUCCESS) return hRC_OK;
  GUID id;
  char text[40] = "";
  if (SUCCEEDED(CoCreateGuid(&id))) {
    snprintf(text, sizeof(text), "%08lX-%04X-%04X-%04X-%02X%02X%02X%02X%02X%02X", id.Data1, id.Data2, id.Data3,
             (id.Data4[0] << 8) | id.Data4[1], id.Data4[2], id.Data4[3], id.Data4[4], id.Data4[5], id.Data4[6],
             id.Data4[7]);
    rc = RegSetValueExA(key, "LastRestoreID", 0, REG_SZ, reinterpret_cast<const BYTE*>(text),
                        static_cast<DWORD>(strlen(text) + 1));
    Dmsg(hpContext, 50, "RegSetValueA(LastRestoreID) hr = %08x\n", static_cast<unsigned>(rc));
  }
  rc = RegCloseKey(key);
  Dmsg(hpContext, 50, "RegCloseKeyA hr = %08x\n", static_cast<unsigned>(rc));
  return hRC_OK;
}

// ---- writer record ----

hRC vssapi_writer_t::setComponentsSelected() {
  TRACE_FUNCTION(hpContext);
  boolean reboot = 0;
  HRESULT hr = metadata->GetRestoreMethod(&restore_method, &service_name, &user_procedure, &writer_restore, &reboot,
                                          &alt_mappings);
  reboot_required = reboot != 0;
  if (FAILED(hr)) JmsgWriterCallStatus(hpContext, hr, "GetRestoreMethod");
  Dmsg(hpContext, 50, "GetRestoreMethod hr = %08x\n", static_cast<unsigned>(hr));
  Dmsg(hpContext, 50, " restore_method = %d\n", restore_method);
  Dmsg(hpContext, 50, " service_name = %ls\n", printable(service_name));
  Dmsg(hpContext, 50, " user_procedure = %ls\n", printable(user_procedure));
  Dmsg(hpContext, 50, " writer_restore = %d\n", writer_restore);
  Dmsg(hpContext, 50, " reboot_required = %d\n", reboot_required);
  Dmsg(hpContext, 50, " alt_mappings = %d\n", static_cast<int>(alt_mappings));

  UINT count = componentCount(writer_ext);
  bool select = last_job || (schema_mask & (VSS_BS_DIFFERENTIAL | VSS_BS_INCREMENTAL));
  for (UINT i = 0; i < count; ++i) {
    IVssComponent* entry = nullptr;
    hr = writer_ext->GetComponent(i, &entry);
    Dmsg(hpContext, 50, "GetComponent hr = %08x\n", static_cast<unsigned>(hr));
    if (FAILED(hr) || !entry) continue;
    BSTR name = nullptr, path = nullptr;
    hr = entry->GetComponentName(&name);
    if (FAILED(hr)) name = nullptr;
    Dmsg(hpContext, 50, "GetComponentName hr = %08x component_name = %ls\n", static_cast<unsigned>(hr),
         printable(name));
    hr = entry->GetLogicalPath(&path);
    if (FAILED(hr)) path = nullptr;
    Dmsg(hpContext, 50, "GetLogicalPath hr = %08x component_path = %ls\n", static_cast<unsigned>(hr),
         printable(path));
    vssapi_component_t* found = nullptr;
    for (vssapi_component_t* c = component_head; c && name && !found; c = c->next) {
      if (wide_equal(c->component_path, path) && wide_equal(c->component_name, name)) found = c;
    }
    if (!found) {
      Dmsg(hpContext, 50, "Not found component path=%ls name=%ls\n", printable(path), printable(name));
      entry->Release();
    } else {
      found->vssapi_writer = this;
      found->file_restore_method = restore_method;
      if (found->component) found->component->Release();
      found->initRestore(entry, metadata);
      if (select) {
        hr = vss_components->SetSelectedForRestore(writer_class_id, found->component_type,
                                                   found->component_path_verbatim, found->component_name, true);
        if (FAILED(hr)) {
          JmsgWriterCallStatus(hpContext, hr, "SetSelectedForRestore");
          Jmsg(hpContext, JMSG_WARNING, "Component Path=%ls  Name=%ls\n", printable(found->component_path_verbatim),
               printable(found->component_name));
        } else {
          // Only a selected component has a file restore status to report.
          found->select_parent = found;
        }
        Dmsg(hpContext, 50, "SetSelectedForRestore hr = %08x, name = %ls\n", static_cast<unsigned>(hr),
             printable(found->component_name));
        hr = vss_components->SetAdditionalRestores(writer_class_id, found->component_type,
                                                   found->component_path_verbatim, found->component_name, !last_job);
        if (FAILED(hr)) JmsgWriterCallStatus(hpContext, hr, "SetAdditionalRestores");
        Dmsg(hpContext, 50, "SetAdditionalRestores(%ls, %s) hr=%08x\n", printable(found->component_name),
             last_job ? "false" : "true", static_cast<unsigned>(hr));
      }
    }
    SysFreeString(name);
    SysFreeString(path);
  }

  for (bool progress = true; progress;) {
    progress = false;
    for (vssapi_component_t* c = component_head; c; c = c->next) {
      if (c->select_parent || !c->path_parent || !c->path_parent->select_parent) continue;
      c->select_parent = c->path_parent->select_parent;
      progress = true;
    }
  }
  return hRC_OK;
}

hRC vssapi_writer_t::preCloseRestore() {
  TRACE_FUNCTION(hpContext);
  for (vssapi_component_t* root = component_head; root; root = root->next) {
    if (root->select_parent != root) continue;
    int all = 0, none = 0, failed = 0;
    for (vssapi_component_t* c = component_head; c; c = c->next) {
      if (c->select_parent != root) continue;
      all += c->restore_status == VSS_RS_ALL;
      none += c->restore_status == VSS_RS_NONE;
      failed += c->restore_status == VSS_RS_FAILED;
    }
    if (all && !none && !failed)
      root->restore_status = VSS_RS_ALL;
    else if (failed)
      root->restore_status = VSS_RS_FAILED;
    else
      root->restore_status = VSS_RS_NONE;
    PVSSCOMPONENTINFO info = root->info();
    if (!info) continue;
    HRESULT hr = vss_components->SetFileRestoreStatus(writer_class_id, info->type, root->component_path_verbatim,
                                                      root->component_name, root->restore_status);
    Dmsg(hpContext, 50, "SetFileRestoreStatus hr = %08x, component name = %ls\n", static_cast<unsigned>(hr),
         printable(root->component_name));
  }
  return hRC_OK;
}
