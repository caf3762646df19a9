// The System Writer: "System Files", whose kernel images go straight to their own path on
// restore while every other file follows the writer's method, and the components the writer
// makes mandatory unless they are flagged as not system state. Its optional components are left
// out.
#pragma once

#include "vssapi.h"

class vssapi_writer_system_t : public vssapi_writer_t {
 public:
  using vssapi_writer_t::vssapi_writer_t;
  vssapi_component_t* newComponent(::hpContext* ctx, WCHAR* name) override;
  vssapi_component_t* newComponent(::hpContext* ctx, const VSS_COMPONENTINFO* info) override;
  hRC preJobRestore(vssfs_t* vssfs) override;
  hRC preWriterRestore(vssfs_writer_t* writer) override;
  hRC postWriterRestore(vssfs_writer_t* writer) override;
  hRC postJobRestore(vssfs_t* vssfs) override;
};

class vssapi_component_system_t : public vssapi_component_t {
 public:
  using vssapi_component_t::vssapi_component_t;
  hRC preComponentRestore(vssfs_component_t* node) override;
  hRC postComponentRestore(vssfs_component_t* node) override;
  hRC preFileRestore(vssfs_component_t* node) override;
  hRC postFileRestore(vssfs_component_t* node) override;
  bool alwaysFull() override;
};

// The file name part of a path: after the last backslash, or the whole text.
const char* fileNamePart(const char* path);
