// Handlers of the application writers: SharePoint's services stopped for the whole restore of
// its element, SQL Server's "master" database left out where it cannot be taken, Exchange's
// components traced.
#include "../frame/host_alloc.h"
#include "../frame/host_messages.h"
#include "../frame/text_convert.h"
#include "../frame/vssfs.h"
#include "vss_utility.h"
#include "vssapi_service_writer.h"

#include <cwchar>

vssapi_writer_t* vssapi_writer_sharepoint_factory(::hpContext* ctx, IVssBackupComponents* components,
                                                  IVssExamineWriterMetadata* metadata) {
  Dmsg(ctx, 50, "vssapi_writer_sharepoint_factory\n");
  return HNEW vssapi_writer_sharepoint_t(ctx, components, metadata);
}

vssapi_writer_t* vssapi_writer_exchange_factory(::hpContext* ctx, IVssBackupComponents* components,
                                                IVssExamineWriterMetadata* metadata) {
  Dmsg(ctx, 50, "vssapi_writer_exchange_factory\n");
  return HNEW vssapi_writer_exchange_t(ctx, components, metadata);
}

vssapi_writer_t* vssapi_writer_mssql_factory(::hpContext* ctx, IVssBackupComponents* components,
                                             IVssExamineWriterMetadata* metadata) {
  Dmsg(ctx, 50, "vssapi_writer_mssql_factory\n");
  return HNEW vssapi_writer_mssql_t(ctx, components, metadata);
}

hRC vssapi_writer_sharepoint_t::preWriterRestore(vssfs_writer_t*) {
  Dmsg(hpContext, 50, "preWriterRestore Sharepoint\n");
  return hRC_OK;
}

hRC vssapi_writer_sharepoint_t::postWriterRestore(vssfs_writer_t*) {
  Dmsg(hpContext, 50, "postWriterRestore Sharepoint\n");
  return hRC_OK;
}

hRC vssapi_writer_sharepoint_t::preElementRestore(vssfs_element_t*) {
  Dmsg(hpContext, 50, "preElementRestore Sharepoint\n");
  static const char* const services[] = {"SPAdmin", "SPSearch", "SPTimerV3", "IISADMIN"};
  return stopServices(services, 4, "failed to open Sharepoint service manager") ? hRC_OK : hRC_Error;
}

hRC vssapi_writer_sharepoint_t::postElementRestore(vssfs_element_t*) {
  Dmsg(hpContext, 50, "postElementRestore Sharepoint\n");
  startServices();
  return hRC_OK;
}

vssapi_component_t* vssapi_writer_exchange_t::newComponent(::hpContext* ctx, WCHAR* name) {
  TRACE_FUNCTION(hpContext);
  Dmsg(hpContext, 50, "newComponent %ls\n", printable(name));
  return HNEW vssapi_component_t(ctx);
}

namespace {

// "master" cannot take a differential backup, and SQL Server restores it only in single-user
// mode, never through its writer.
bool master_left_out(::hpContext* ctx, const WCHAR* name) {
  if (!name || wcscmp(name, L"master") != 0) return false;
  const vssfs_t* vssfs = static_cast<const vssfs_t*>(ctx->pContext);
  return vssfs && (vssfs->job_level == 'D' || vssfs->job_type == 2);
}

}  // namespace

vssapi_component_t* vssapi_writer_mssql_t::newComponent(::hpContext* ctx, WCHAR* name) {
  Dmsg(hpContext, 50, "newComponent %ls\n", printable(name));
  if (master_left_out(hpContext, name)) return nullptr;
  return HNEW vssapi_component_t(ctx);
}

bool vssapi_writer_mssql_t::componentLeftOut(const WCHAR* name) { return master_left_out(hpContext, name); }
