// Writer handlers that stop Windows services around the restore of their data, and the
// application writers' handlers.
#pragma once

#include "vssapi.h"

// A writer record holding the service control manager and the services it stopped. Whatever is
// still listed when the record goes (a failed or cancelled restore, a writer node that never saw
// its end) is started again, so no path leaves a stopped service behind.
class vssapi_service_writer_t : public vssapi_writer_t {
 public:
  SC_HANDLE sc_manager;
  void* service_list;

  vssapi_service_writer_t(::hpContext* ctx, IVssBackupComponents* components, IVssExamineWriterMetadata* metadata);
  ~vssapi_service_writer_t() override;
  vssapi_component_t* newComponent(::hpContext* ctx, WCHAR* component_name) override;

 protected:
  // Opens the manager and stops the services (with their dependents) in order; false when the
  // manager cannot be opened, after `failure` went to the job log.
  bool stopServices(const char* const* names, int count, const char* failure);
  // Starts every listed service, the last stopped first, and closes the manager.
  void startServices();
};

class vssapi_writer_frs_t : public vssapi_service_writer_t {
 public:
  using vssapi_service_writer_t::vssapi_service_writer_t;
  // A restore that began and never reached its end may have written part of the data: the
  // flag still goes in before the services start again.
  ~vssapi_writer_frs_t() override;
  hRC preWriterRestore(vssfs_writer_t* writer) override;
  hRC postWriterRestore(vssfs_writer_t* writer) override;

 private:
  bool restore_begun = false;
  void writeRestoreFlag();
};

class vssapi_writer_dfsr_t : public vssapi_service_writer_t {
 public:
  using vssapi_service_writer_t::vssapi_service_writer_t;
  // A restore that began and never reached its end may have written part of the data: the
  // flag still goes in before the services start again.
  ~vssapi_writer_dfsr_t() override;
  hRC preWriterRestore(vssfs_writer_t* writer) override;
  hRC postWriterRestore(vssfs_writer_t* writer) override;

 private:
  bool restore_begun = false;
  void writeRestoreFlag();
};

class vssapi_writer_sharepoint_t : public vssapi_service_writer_t {
 public:
  using vssapi_service_writer_t::vssapi_service_writer_t;
  hRC preWriterRestore(vssfs_writer_t* writer) override;
  hRC preElementRestore(vssfs_element_t* element) override;
  hRC postElementRestore(vssfs_element_t* element) override;
  hRC postWriterRestore(vssfs_writer_t* writer) override;
};

class vssapi_writer_exchange_t : public vssapi_writer_t {
 public:
  using vssapi_writer_t::vssapi_writer_t;
  vssapi_component_t* newComponent(::hpContext* ctx, WCHAR* component_name) override;
};

class vssapi_writer_mssql_t : public vssapi_writer_t {
 public:
  using vssapi_writer_t::vssapi_writer_t;
  vssapi_component_t* newComponent(::hpContext* ctx, WCHAR* component_name) override;
  bool componentLeftOut(const WCHAR* component_name) override;
};
