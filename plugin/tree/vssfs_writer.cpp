#include "vssfs_writer.h"

#include "vssfs_component.h"
#include "vssfs_element.h"
#include "../frame/host_alloc.h"
#include "../frame/host_messages.h"
#include "../frame/text_convert.h"
#include "../frame/vssfs.h"
#include "../vss/vssapi.h"

#include <cstring>
#include <ctime>

vssfs_writer_t::vssfs_writer_t(vssfs_t* vssfs, char* name, vssfs_node_t* parent)
    : vssfs_node_t(vssfs, name, VSSFS_NODE_WRITER, parent) {
  TRACE_FUNCTION(hpContext);
}

vssfs_writer_t::~vssfs_writer_t() {
  TRACE_FUNCTION(hpContext);
  // A backup that stopped half way leaves its component node here.
  delete vssfs_component;
  vssfs_component = nullptr;
  HFREE(component_id_buffer);
  component_id_buffer = nullptr;
  while (deferred_dirs) {
    deferred_dir_t* next = deferred_dirs->next;
    HFREE(deferred_dirs->path);
    HFREE(deferred_dirs);
    deferred_dirs = next;
  }
  HFREE(deferred_sent);
  deferred_sent = nullptr;
}

void vssfs_writer_t::deferDirectory(const char* path) {
  deferred_dir_t* entry = static_cast<deferred_dir_t*>(HALLOC(sizeof(deferred_dir_t)));
  entry->path = HSTRDUP(path);
  entry->next = deferred_dirs;
  deferred_dirs = entry;
}

hRC vssfs_writer_t::startBackupFile(save_pkt* sp) {
  TRACE_FUNCTION(hpContext);
  Dmsg(hpContext, 50, "startBackupNode_WRITER level=%d state=%d\n", level, state);
  if (state == 0) {
    vssapi_component = vssapi_writer ? vssapi_writer->component_head : nullptr;
    state = 1;
  }
  if (state == 1) {
    while (vssapi_component && (vssapi_component->owner != static_cast<vssfs_element_t*>(parent) || !vssapi_component->harbek_full_name))
      vssapi_component = vssapi_component->next;
    if (vssapi_component) {
      PVSSCOMPONENTINFO info = vssapi_component->info();
      Dmsg(hpContext, 50, "GetComponentInfo hr = %08x, component_info = %p\n", 0u,
           static_cast<const void*>(info));
      if (info) {
        Dmsg(hpContext, 50, " LogicalPath = %ls\n", printable(info->bstrLogicalPath));
        Dmsg(hpContext, 50, " ComponentName = %ls\n", printable(info->bstrComponentName));
      }
      char* component_name = HSTRDUP(vssapi_component->harbek_full_name);
      for (char* p = component_name; *p; ++p) {
        if (*p == '\\') *p = '/';
      }
      vssfs_component = HNEW vssfs_component_t(vssfs, component_name, this);
      HFREE(component_name);
      vssfs_component->vssapi_writer = vssapi_writer;
      vssfs_component->vssapi_component = vssapi_component;
      if (info) {
        Dmsg(hpContext, 50, " Caption = %ls\n", printable(info->bstrCaption));
        Dmsg(hpContext, 50, " RestoreMetadata = %d\n", info->bRestoreMetadata);
        Dmsg(hpContext, 50, " NotifyOnBackupComplete = %d\n", info->bNotifyOnBackupComplete);
        Dmsg(hpContext, 50, " Selectable = %d\n", info->bSelectable);
        Dmsg(hpContext, 50, " SelectableForRestore = %d\n", info->bSelectableForRestore);
        Dmsg(hpContext, 50, " ComponentFlags = %d\n", static_cast<int>(info->dwComponentFlags));
      }
      vssfs->current_node = vssfs_component;
      return hRC_OK;
    }
    state = 3;
  }
  if (state == 3 && deferred_dirs) {
    deferred_dir_t* entry = deferred_dirs;
    deferred_dirs = entry->next;
    HFREE(deferred_sent);
    deferred_sent = entry->path;
    HFREE(entry);
    describeDirectory(sp, deferred_sent);
    return hRC_OK;
  }
  state = 2;
  describeDirectory(sp);
  return hRC_OK;
}

hRC vssfs_writer_t::endBackupFile() {
  TRACE_FUNCTION(hpContext);
  Dmsg(hpContext, 50, "endBackupNode_WRITER state=%d\n", state);
  switch (state) {
    case 1:
      delete vssfs_component;
      vssfs_component = nullptr;
      if (vssapi_component) vssapi_component = vssapi_component->next;
      return hRC_More;
    case 2:
      vssfs->current_node = parent;
      return hRC_OK;
    case 3:
      return hRC_More;
    default:
      return hRC_OK;
  }
}
