#include "vssapi_writer_comregdb.h"

#include "vssapi_writer_system.h"

#include "../frame/host_alloc.h"
#include "../frame/host_messages.h"
#include "../frame/text_convert.h"
#include "../frame/vssfs.h"
#include "../tree/vssfs_component.h"

#include <comadmin.h>

#include <cstdio>
#include <cstring>

namespace {

// CLSID_COMAdminCatalog and IID_ICOMAdminCatalog, spelled out: the SDK's import library is not
// at hand in every tool chain.
const CLSID kComAdminCatalog = {0xF618C514, 0xDFB8, 0x11D1, {0xA2, 0xCF, 0x00, 0x80, 0x5F, 0xC7, 0x92, 0x35}};
const IID kComAdminCatalogInterface = {0xDD662187, 0xDFC2, 0x11D1, {0xA2, 0xCF, 0x00, 0x80, 0x5F, 0xC7, 0x92, 0x35}};

vssfs_t* instanceOf(::hpContext* ctx) { return static_cast<vssfs_t*>(ctx->pContext); }

void deleteCopy(::hpContext* ctx, WCHAR** copy) {
  if (!*copy) return;
  if (!DeleteFileW(*copy)) Dmsg(ctx, 50, "cannot delete %ls: %d\n", *copy, static_cast<int>(GetLastError()));
  HFREE(*copy);
  *copy = nullptr;
}

bool isNumberedDatabase(const char* name) {
  return strlen(name) == 17 && name[0] == 'r' && strcmp(name + 13, ".clb") == 0;
}

// The end of an instance whose restore never reached its end actions (a failed PostRestore): the
// copies were never handed to the catalog and nobody else knows of them.
void releasePersist(::hpContext* ctx, void* data) {
  vssapi_writer_complusregdb_persist_t* persist = static_cast<vssapi_writer_complusregdb_persist_t*>(data);
  if (persist->bak_filename || persist->clb_filename)
    Jmsg(ctx, JMSG_WARNING, "The COM+ registration database was not restored: the restore did not reach its end\n");
  deleteCopy(ctx, &persist->bak_filename);
  deleteCopy(ctx, &persist->clb_filename);
  HFREE(persist->highest_filename);
  persist->highest_filename = nullptr;
}

}  // namespace

vssapi_writer_t* vssapi_writer_complusregdb_factory(::hpContext* ctx, IVssBackupComponents* components,
                                                    IVssExamineWriterMetadata* metadata) {
  Dmsg(ctx, 50, "vssapi_writer_complusregdb_factory\n");
  return HNEW vssapi_writer_complusregdb_t(ctx, components, metadata);
}

vssapi_writer_complusregdb_t::vssapi_writer_complusregdb_t(::hpContext* ctx, IVssBackupComponents* components,
                                                           IVssExamineWriterMetadata* metadata)
    : vssapi_writer_t(ctx, components, metadata) {
  persist = static_cast<vssapi_writer_complusregdb_persist_t*>(
      instanceOf(ctx)->getPersistent("COM+ REGDB Writer", sizeof(vssapi_writer_complusregdb_persist_t),
                                     releasePersist));
}

vssapi_component_t* vssapi_writer_complusregdb_t::newComponent(::hpContext* ctx, WCHAR* name) {
  Dmsg(hpContext, 50, "newComponent %ls\n", printable(name));
  if (!name || wcscmp(name, L"COM+ REGDB") != 0) return nullptr;
  return HNEW vssapi_component_complusregdb_t(ctx);
}

hRC vssapi_writer_complusregdb_t::preJobRestore(vssfs_t*) {
  Dmsg(hpContext, 50, "preJobRestore COM+ REGDB\n");
  return hRC_OK;
}
hRC vssapi_writer_complusregdb_t::preWriterRestore(vssfs_writer_t*) { return hRC_OK; }
hRC vssapi_writer_complusregdb_t::postWriterRestore(vssfs_writer_t*) { return hRC_OK; }

hRC vssapi_writer_complusregdb_t::postJobRestore(vssfs_t*) {
  Dmsg(hpContext, 50, "postJobRestore COM+ REGDB\n");
  WCHAR** chosen = persist->bak_filename ? &persist->bak_filename : &persist->clb_filename;
  HFREE(persist->highest_filename);
  persist->highest_filename = nullptr;
  if (!*chosen) return hRC_OK;
  // The numbered copy is of no use once the backup file is handed over.
  if (chosen == &persist->bak_filename) deleteCopy(hpContext, &persist->clb_filename);
  ICOMAdminCatalog* catalog = nullptr;
  HRESULT hr = CoCreateInstance(kComAdminCatalog, nullptr, CLSCTX_INPROC_SERVER, kComAdminCatalogInterface,
                                reinterpret_cast<void**>(&catalog));
  bool com_started = false;
  if (hr == CO_E_NOTINITIALIZED && SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) {
    com_started = true;
    hr = CoCreateInstance(kComAdminCatalog, nullptr, CLSCTX_INPROC_SERVER, kComAdminCatalogInterface,
                          reinterpret_cast<void**>(&catalog));
  }
  Dmsg(hpContext, 50, "CoCreateInstance(CLSID_COMAdminCatalog) hr = %d, com_admin = %p\n", static_cast<int>(hr),
       static_cast<void*>(catalog));
  if (FAILED(hr) || !catalog) {
    // The copy is all that is left of the database: keep it for the operator.
    Jmsg(hpContext, JMSG_ERROR,
         "Cannot create the COM+ catalog (0x%08x): the COM+ registration database was not restored; its copy is "
         "kept as %ls\n",
         static_cast<unsigned>(hr), *chosen);
    HFREE(*chosen);
    *chosen = nullptr;
  } else {
    BSTR file = SysAllocString(*chosen);
    hr = catalog->RestoreREGDB(file);
    SysFreeString(file);
    Dmsg(hpContext, 50, "RestoreREGDB(%ls) hr = %d\n", *chosen, static_cast<int>(hr));
    if (hr != S_OK)
      Jmsg(hpContext, JMSG_WARNING, "Error restoring COM+ REGDB 0x%08x\n", static_cast<unsigned>(hr));
    else
      Dmsg(hpContext, 50, "Restored COM+ REGDB\n");
    catalog->Release();
    deleteCopy(hpContext, chosen);
  }
  if (com_started) CoUninitialize();
  return hRC_OK;
}

hRC vssapi_component_complusregdb_t::preComponentRestore(vssfs_component_t*) {
  Dmsg(hpContext, 50, "preComponentRestore COM+ REGDB\n");
  file_restore_method = VSS_RME_CUSTOM;
  return hRC_OK;
}

hRC vssapi_component_complusregdb_t::postComponentRestore(vssfs_component_t*) {
  Dmsg(hpContext, 50, "postComponentRestore COM+ REGDB\n");
  return hRC_OK;
}

hRC vssapi_component_complusregdb_t::postFileRestore(vssfs_component_t*) {
  Dmsg(hpContext, 50, "postFileRestore COM+ REGDB\n");
  return hRC_OK;
}

hRC vssapi_component_complusregdb_t::preFileRestore(vssfs_component_t* node) {
  Dmsg(hpContext, 50, "preFileRestore COM+ REGDB\n");
  vssapi_writer_complusregdb_persist_t* persist = static_cast<vssapi_writer_complusregdb_t*>(vssapi_writer)->persist;
  const char* name = fileNamePart(printable(node->filename));
  WCHAR** slot;
  if (strcmp(name, "comregdb.bak") == 0) {
    slot = &persist->bak_filename;
  } else if (isNumberedDatabase(name) &&
             (!persist->highest_filename || strcmp(name, persist->highest_filename) > 0)) {
    slot = &persist->clb_filename;
  } else {
    Dmsg(hpContext, 50, "skipping %s\n", name);
    return hRC_OK;
  }
  Dmsg(hpContext, 50, "matched %s\n", name);
  char* working_dir = nullptr;
  if (hfuncs->getHarbekValue(hpContext, hVarWorkingDir, &working_dir) != hRC_OK || !working_dir) {
    Jmsg(hpContext, JMSG_WARNING, "Cannot get working directory\n");
    return hRC_Error;
  }
  Dmsg(hpContext, 50, "working directory = %s\n", working_dir);
  size_t len = strlen(working_dir) + strlen(name) + sizeof("\\.restore");
  char* path = static_cast<char*>(HALLOC(len));
  snprintf(path, len, "%s\\%s.restore", working_dir, name);
  WCHAR* wide = WIDE_FROM_NARROW(path);
  if (!wide) {
    HFREE(path);
    return hRC_Error;
  }
  if (slot == &persist->clb_filename) {
    HFREE(persist->highest_filename);
    persist->highest_filename = HSTRDUP(name);
  }
  // An earlier copy of the same kind is superseded; its file goes unless it is the same file.
  if (*slot && _wcsicmp(*slot, wide) != 0) deleteCopy(hpContext, slot);
  HFREE(*slot);
  *slot = wide;
  HFREE(node->filename);
  node->filename = path;
  Dmsg(hpContext, 50, "Restoring to %s\n", path);
  return hRC_OK;
}
