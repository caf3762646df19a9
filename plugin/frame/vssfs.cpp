#include "vssfs.h"

#include "host_alloc.h"
#include "host_messages.h"
#include "split_string.h"
#include "../tree/vssfs_element.h"
#include "../vss/vssapi.h"

#include <cstdio>
#include <cstring>

t_CreateVssBackupComponents p_CreateVssBackupComponents;
t_CreateVssExamineWriterMetadata p_CreateVssExamineWriterMetadata;

namespace {

void free_metadata_list(xml_metadata_list_t* head) {
  while (head) {
    xml_metadata_list_t* next = head->next;
    HFREE(head->name);
    HFREE(head->data);
    HFREE(head);
    head = next;
  }
}

}  // namespace

vssfs_t::vssfs_t() {
  TRACE_FUNCTION(nullptr);  // the context is not known yet
  element_head = element_tail = nullptr;
  pending_buf = nullptr;
  has_pending_files = -1;
  plugin_active = false;
  ro_name = nullptr;
  command_no = 0;
  command_count = 0;
  last_plugin_command = nullptr;
  pending_plugin_command = nullptr;
  vss_components_set = false;
  job_canceled = false;
  vssapi = nullptr;
  path_bits = nullptr;
  current_node = nullptr;
  writer_metadata_head = nullptr;
  job_metadata_head = job_metadata_tail = nullptr;
  job_metadata_count = 0;
  restore_job_no = 0;
  unique_id = 0;
  unique_id_str = HSTRDUP("XXXXXXXX");
  last_job = false;
  persistent_head = nullptr;
  segment_open = false;
}

vssfs_t::~vssfs_t() {
  TRACE_FUNCTION(hpContext);
  HFREE(last_plugin_command);
  last_plugin_command = nullptr;
  // Whatever path the job took, nothing the instance owns outlives it.
  HFREE(pending_plugin_command);
  pending_plugin_command = nullptr;
  HFREE(job_id_str);
  job_id_str = nullptr;
  while (element_head) {
    vssfs_element_t* next = element_head->next;
    delete element_head;
    element_head = next;
  }
  element_tail = nullptr;
  delete vssapi;
  vssapi = nullptr;
  // A restore creates its own object (the backup's belongs to the host); a restore that never
  // reached its last segment still holds it.
  if (job_type == 2 && vss_components) vss_components->Release();
  vss_components = nullptr;
  freeSplitString(path_bits);
  path_bits = nullptr;
  free_metadata_list(job_metadata_head);
  job_metadata_head = job_metadata_tail = nullptr;
  free_metadata_list(writer_metadata_head);
  writer_metadata_head = nullptr;
  freePersistent();
  HFREE(unique_id_str);
  unique_id_str = nullptr;
  // Reboot-time operations of a restore that never reached its last segment.
  HFREE(pending_buf);
  pending_buf = nullptr;
  SysFreeString(xml);
  xml = nullptr;
  HFREE(ro_name);
  ro_name = nullptr;
}

hRC vssfs_t::newPlugin(::hpContext* ctx) {
  hpContext = ctx;
  TRACE_FUNCTION(hpContext);
  ctx->pContext = this;

  char* version = nullptr;
  hfuncs->getHarbekValue(ctx, hVarVersion, &version);
  if (!version || (version[0] != '4' && version[0] != '6')) {
    trace_guard.bypass();
    return hRC_Error;
  }

  hfuncs->registerHarbekEvents(ctx, hEventJobStart, hEventJobEnd, 0);
  current_node = nullptr;
  element_head = nullptr;

  hfuncs->getHarbekValue(ctx, hVarJobId, &job_id);
  char buf[50];
  snprintf(buf, sizeof(buf), "%d", job_id);
  job_id_str = static_cast<char*>(HALLOC(strlen(buf) + 1));
  strcpy(job_id_str, buf);
  Dmsg(ctx, 50, " JobId=%d\n", job_id);

  hRC result = hRC_OK;
  HMODULE vss_dll = nullptr;
  hfuncs->getHarbekValue(ctx, hVarVssDllHandle, &vss_dll);
  p_CreateVssExamineWriterMetadata = reinterpret_cast<t_CreateVssExamineWriterMetadata>(
      reinterpret_cast<void*>(GetProcAddress(vss_dll, VSS_CREATE_EXAMINE_WRITER_METADATA_NAME)));
  if (!p_CreateVssExamineWriterMetadata) {
    Jmsg(ctx, JMSG_FATAL, "Cannot get proc address of: p_CreateVssExamineWriterMetadata\n");
    result = hRC_Error;
  }
  p_CreateVssBackupComponents = reinterpret_cast<t_CreateVssBackupComponents>(
      reinterpret_cast<void*>(GetProcAddress(vss_dll, VSS_CREATE_BACKUP_COMPONENTS_NAME)));
  if (!p_CreateVssBackupComponents) {
    Jmsg(ctx, JMSG_FATAL, "Cannot get proc address of: p_CreateVssBackupComponents\n");
    result = hRC_Error;
  }
  return result;
}

hRC vssfs_t::freePlugin() {
  TRACE_FUNCTION(hpContext);
  Dmsg(hpContext, 50, "freePlugin\n");
  // A restore that never got its end event still starts the services its writers stopped.
  if (job_type == 2) retireElements();
  HFREE(job_id_str);
  job_id_str = nullptr;
  return hRC_OK;
}

hRC vssfs_t::getPluginValue(pVariable var, void*) {
  TRACE_FUNCTION(hpContext);
  Dmsg(hpContext, 50, "getPluginValue var=%d\n", var);
  return hRC_OK;
}

hRC vssfs_t::setPluginValue(pVariable var, void*) {
  TRACE_FUNCTION(hpContext);
  Dmsg(hpContext, 50, "setPluginValue var=%d\n", var);
  return hRC_OK;
}

void* vssfs_t::getPersistent(const char* name, int size) {
  TRACE_FUNCTION(hpContext);
  for (vssfs_persistent_list_t* p = persistent_head; p; p = p->next) {
    if (strcmp(p->name, name) == 0) return p->data;
  }
  vssfs_persistent_list_t* entry =
      static_cast<vssfs_persistent_list_t*>(HALLOC(sizeof(vssfs_persistent_list_t)));
  entry->name = HSTRDUP(name);
  entry->data = HALLOC(size);
  entry->next = persistent_head;
  persistent_head = entry;
  return entry->data;
}

void* vssfs_t::getPersistent(const char* name, int size, vssfs_persistent_release_t release) {
  TRACE_FUNCTION(hpContext);
  void* data = getPersistent(name, size);
  for (vssfs_persistent_list_t* p = persistent_head; p; p = p->next) {
    if (p->data == data) p->release = release;
  }
  return data;
}

void vssfs_t::freePersistent() {
  TRACE_FUNCTION(hpContext);
  while (persistent_head) {
    vssfs_persistent_list_t* entry = persistent_head;
    persistent_head = entry->next;
    if (entry->release) entry->release(hpContext, entry->data);
    HFREE(entry->name);
    HFREE(entry->data);
    HFREE(entry);
  }
}
