// Handlers of the replicated system volume writers: their service and its dependents stopped
// while the writer's files come back, then the flag that makes the service take the restored
// data from its partners at the next start.
#include "../frame/host_alloc.h"
#include "../frame/host_messages.h"
#include "../frame/text_convert.h"
#include "vss_utility.h"
#include "vssapi_service_writer.h"


namespace {

const char kFrsKey[] = "SYSTEM\\CurrentControlSet\\Services\\NtFrs\\Parameters\\Backup/Restore\\Process at Startup";
const char kDfsrKey[] = "SYSTEM\\CurrentControlSet\\Services\\DFSR\\Restore";
const DWORD kBurFlagsNonAuthoritative = 212;
const char kSysvolNonAuthoritative[] = "non-authoritative";

}  // namespace

vssapi_service_writer_t::vssapi_service_writer_t(::hpContext* ctx, IVssBackupComponents* components,
                                                 IVssExamineWriterMetadata* metadata)
    : vssapi_writer_t(ctx, components, metadata), sc_manager(nullptr), service_list(nullptr) {}

vssapi_service_writer_t::~vssapi_service_writer_t() {
  if (service_list) Dmsg(hpContext, 50, "services left stopped are started again\n");
  startServices();
}

vssapi_component_t* vssapi_service_writer_t::newComponent(::hpContext* ctx, WCHAR* name) {
  Dmsg(hpContext, 50, "newComponent %ls\n", printable(name));
  return HNEW vssapi_component_t(ctx);
}

bool vssapi_service_writer_t::stopServices(const char* const* names, int count, const char* failure) {
  // A second start before the end (a repeated hook) keeps what the first one stopped listed.
  if (!sc_manager) sc_manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  if (!sc_manager) {
    Dmsg(hpContext, 50, "%s\n", failure);
    Jmsg(hpContext, JMSG_FATAL, "%s\n", failure);
    return false;
  }
  for (int i = 0; i < count; ++i) stopService(hpContext, sc_manager, const_cast<char*>(names[i]), &service_list);
  return true;
}

void vssapi_service_writer_t::startServices() { startStoppedServices(hpContext, &sc_manager, &service_list); }

vssapi_writer_t* vssapi_writer_frs_factory(::hpContext* ctx, IVssBackupComponents* components,
                                           IVssExamineWriterMetadata* metadata) {
  Dmsg(ctx, 50, "vssapi_writer_frs_factory\n");
  return HNEW vssapi_writer_frs_t(ctx, components, metadata);
}

vssapi_writer_t* vssapi_writer_dfsr_factory(::hpContext* ctx, IVssBackupComponents* components,
                                            IVssExamineWriterMetadata* metadata) {
  Dmsg(ctx, 50, "vssapi_writer_dfsr_factory\n");
  return HNEW vssapi_writer_dfsr_t(ctx, components, metadata);
}

vssapi_writer_frs_t::~vssapi_writer_frs_t() {
  if (restore_begun) writeRestoreFlag();
}

hRC vssapi_writer_frs_t::preWriterRestore(vssfs_writer_t*) {
  Dmsg(hpContext, 50, "preWriterRestore FRS\n");
  restore_begun = true;
  static const char* const services[] = {"NtFrs"};
  return stopServices(services, 1, "failed to open FRS service manager") ? hRC_OK : hRC_Error;
}

hRC vssapi_writer_frs_t::postWriterRestore(vssfs_writer_t*) {
  Dmsg(hpContext, 50, "postWriterRestore FRS\n");
  writeRestoreFlag();
  startServices();
  return hRC_OK;
}

void vssapi_writer_frs_t::writeRestoreFlag() {
  restore_begun = false;
  HKEY key = nullptr;
  LONG rc = RegOpenKeyExA(HKEY_LOCAL_MACHINE, kFrsKey, 0, KEY_ALL_ACCESS, &key);
  Dmsg(hpContext, 50, "RegOpenKeyExA(processAtStartup) hr = %08x\n", static_cast<unsigned>(rc));
  if (rc == ERROR_SUCCESS) {
    rc = RegSetValueExA(key, "BurFlags", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&kBurFlagsNonAuthoritative),
                        sizeof(kBurFlagsNonAuthoritative));
    Dmsg(hpContext, 50, "RegSetValueA(BurFlags) hr = %08x\n", static_cast<unsigned>(rc));
    rc = RegCloseKey(key);
    Dmsg(hpContext, 50, "RegCloseKeyA hr = %08x\n", static_cast<unsigned>(rc));
  }
}

vssapi_writer_dfsr_t::~vssapi_writer_dfsr_t() {
  if (restore_begun) writeRestoreFlag();
}

hRC vssapi_writer_dfsr_t::preWriterRestore(vssfs_writer_t*) {
  TRACE_FUNCTION(hpContext);
  restore_begun = true;
  static const char* const services[] = {"DFSR"};
  return stopServices(services, 1, "failed to open DFSR service manager") ? hRC_OK : hRC_Error;
}

hRC vssapi_writer_dfsr_t::postWriterRestore(vssfs_writer_t*) {
  TRACE_FUNCTION(hpContext);
  writeRestoreFlag();
  startServices();
  return hRC_OK;
}

void vssapi_writer_dfsr_t::writeRestoreFlag() {
  restore_begun = false;
  HKEY key = nullptr;
  LONG rc = RegCreateKeyExA(HKEY_LOCAL_MACHINE, kDfsrKey, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                            nullptr, &key, nullptr);
  Dmsg(hpContext, 50, "RegCreateKeyExA(DFSR\\Restore) hr = %08x\n", static_cast<unsigned>(rc));
  if (rc == ERROR_SUCCESS) {
    rc = RegSetValueExA(key, "SYSVOL", 0, REG_SZ, reinterpret_cast<const BYTE*>(kSysvolNonAuthoritative),
                        sizeof(kSysvolNonAuthoritative));
    Dmsg(hpContext, 50, "RegSetValueA(SYSVOL) hr = %08x\n", static_cast<unsigned>(rc));
    rc = RegCloseKey(key);
    Dmsg(hpContext, 50, "RegCloseKeyA hr = %08x\n", static_cast<unsigned>(rc));
  }
}
