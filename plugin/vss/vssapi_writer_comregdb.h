// The COM+ REGDB Writer: the database file is copied aside and handed to the COM+ catalog at the
// end of the restore job, which is the only way to restore it.
#pragma once

#include "vssapi.h"

// Shared by every record of the writer in the instance (persistent store). The backup file and
// the newest numbered database file have a copy each; the backup file wins.
struct vssapi_writer_complusregdb_persist_t {
  WCHAR* bak_filename;      // copy of comregdb.bak in the working directory, or null
  WCHAR* clb_filename;      // copy of the highest numbered database file, or null
  char* highest_filename;   // that file's name
};

class vssapi_writer_complusregdb_t : public vssapi_writer_t {
 public:
  vssapi_writer_complusregdb_persist_t* persist;

  vssapi_writer_complusregdb_t(::hpContext* ctx, IVssBackupComponents* components,
                               IVssExamineWriterMetadata* metadata);
  vssapi_component_t* newComponent(::hpContext* ctx, WCHAR* name) override;
  hRC preJobRestore(vssfs_t* vssfs) override;
  hRC preWriterRestore(vssfs_writer_t* writer) override;
  hRC postWriterRestore(vssfs_writer_t* writer) override;
  hRC postJobRestore(vssfs_t* vssfs) override;
};

class vssapi_component_complusregdb_t : public vssapi_component_t {
 public:
  using vssapi_component_t::vssapi_component_t;
  hRC preComponentRestore(vssfs_component_t* node) override;
  hRC postComponentRestore(vssfs_component_t* node) override;
  hRC preFileRestore(vssfs_component_t* node) override;
  hRC postFileRestore(vssfs_component_t* node) override;
};
