#include "vssapi_writer_system.h"

#include "../frame/host_alloc.h"
#include "../frame/host_messages.h"
#include "../frame/text_convert.h"
#include "../tree/vssfs_component.h"

#include <cstring>

const char* fileNamePart(const char* path) {
  const char* slash = strrchr(path, '\\');
  return slash ? slash + 1 : path;
}

vssapi_writer_t* vssapi_writer_system_factory(::hpContext* ctx, IVssBackupComponents* components,
                                              IVssExamineWriterMetadata* metadata) {
  TRACE_FUNCTION(ctx);
  return HNEW vssapi_writer_system_t(ctx, components, metadata);
}

vssapi_component_t* vssapi_writer_system_t::newComponent(::hpContext* ctx, WCHAR* name) {
  TRACE_FUNCTION(hpContext);
  Dmsg(hpContext, 50, "newComponent %ls\n", printable(name));
  if (!name || wcscmp(name, L"System Files") != 0) return nullptr;
  return HNEW vssapi_component_system_t(ctx);
}

// A backup that leaves out a mandatory component (not selectable, at the top of the writer's
// tree) loses its files, and the service refuses it.
vssapi_component_t* vssapi_writer_system_t::newComponent(::hpContext* ctx, const VSS_COMPONENTINFO* info) {
  TRACE_FUNCTION(hpContext);
  WCHAR* name = info->bstrComponentName;
  if (name && wcscmp(name, L"System Files") == 0) return newComponent(ctx, name);
  Dmsg(hpContext, 50, "newComponent %ls\n", printable(name));
  bool top_level = !info->bstrLogicalPath || !*info->bstrLogicalPath;
  if (info->bSelectable || !top_level || (info->dwComponentFlags & VSS_CF_NOT_SYSTEM_STATE)) return nullptr;
  return HNEW vssapi_component_t(ctx);
}

hRC vssapi_writer_system_t::preJobRestore(vssfs_t*) {
  Dmsg(hpContext, 50, "preJobRestore System Writer\n");
  return hRC_OK;
}
hRC vssapi_writer_system_t::preWriterRestore(vssfs_writer_t*) { return hRC_OK; }
hRC vssapi_writer_system_t::postWriterRestore(vssfs_writer_t*) { return hRC_OK; }
hRC vssapi_writer_system_t::postJobRestore(vssfs_t*) { return hRC_OK; }

hRC vssapi_component_system_t::preComponentRestore(vssfs_component_t*) {
  Dmsg(hpContext, 50, "preComponentRestore System Writer\n");
  return hRC_OK;
}

hRC vssapi_component_system_t::postComponentRestore(vssfs_component_t*) {
  Dmsg(hpContext, 50, "postComponentRestore System Writer\n");
  return hRC_OK;
}

hRC vssapi_component_system_t::postFileRestore(vssfs_component_t*) {
  Dmsg(hpContext, 50, "postFileRestore System Writer\n");
  return hRC_OK;
}

// The kernel images are never held open the way other system files are, and a boot with the old
// kernel and new drivers must not happen, so they are written in place.
hRC vssapi_component_system_t::preFileRestore(vssfs_component_t* node) {
  TRACE_FUNCTION(hpContext);
  const char* name = fileNamePart(printable(node->filename));
  if (_stricmp(name, "hal.dll") == 0 || _stricmp(name, "ntoskrnl.exe") == 0 || _stricmp(name, "ntkrnlpa.exe") == 0)
    file_restore_method = VSS_RME_CUSTOM;
  else
    file_restore_method = vssapi_writer->restore_method;
  return hRC_OK;
}

// Unchanged system files may be left out of incremental and differential backups.
bool vssapi_component_system_t::alwaysFull() { return false; }
