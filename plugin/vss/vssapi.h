// Wrapper of one shadow copy context, with the records of its writers, their components and the
// components' dependencies.
#pragma once

#include "../frame/host_interface.h"
#include "vss_interface.h"

#include <cstdint>

class vssfs_t;
struct xml_metadata_list_t;
class vssfs_element_t;
class vssfs_writer_t;
class vssfs_component_t;
class vssapi_writer_t;
class vssapi_component_t;

class vssapi_dependency_t {
 public:
  ::hpContext* hpContext;
  vssapi_dependency_t* next;
  vssapi_component_t* dependent_component;  // linked by vssapi_t::resolveDependencies; not owned
  VSS_ID writer_class_id;
  BSTR component_name;
  WCHAR* component_path;  // never null
  BSTR component_path_verbatim;

  vssapi_dependency_t(::hpContext* ctx, IVssWMDependency* dependency);
  ~vssapi_dependency_t();
};

class vssapi_component_t {
 public:
  ::hpContext* hpContext;
  vssapi_component_t* next;
  IVssWMComponent* wm_component;
  IVssComponent* component;  // the entry of the backup document, after the snapshot
  PVSSCOMPONENTINFO component_info;
  vssapi_dependency_t* dependency_head;
  bool component_active;
  vssapi_writer_t* vssapi_writer;
  vssfs_element_t* owner;
  VSS_COMPONENT_TYPE component_type;
  vssapi_component_t* path_parent;
  vssapi_component_t* select_parent;
  VSS_FILE_RESTORE_STATUS restore_status;
  VSS_RESTOREMETHOD_ENUM file_restore_method;
  WCHAR* component_name;
  WCHAR* component_caption;
  WCHAR* component_path_verbatim;
  WCHAR* component_path;  // never null once initialised
  WCHAR* component_full_name;
  char* harbek_full_name;

  explicit vssapi_component_t(::hpContext* ctx);
  virtual ~vssapi_component_t();
  virtual hRC preComponentRestore(vssfs_component_t* node);
  virtual hRC postComponentRestore(vssfs_component_t* node);
  virtual hRC preFileRestore(vssfs_component_t* node);
  virtual hRC postFileRestore(vssfs_component_t* node);
  virtual bool alwaysFull();

  hRC initBackup(IVssWMComponent* wm_component);
  hRC initRestore(IVssComponent* component, IVssExamineWriterMetadata* metadata);
  void setOwner(vssfs_element_t* owner);
  // The component information, fetched when still missing; null when it cannot be had.
  PVSSCOMPONENTINFO info();
  // The file descriptions of one kind (0 files, 1 database files, 2 database log files): how many
  // there are, and one of them, traced at debug_level (null after a failure, which is reported).
  static const int kDescriptorKinds = 3;
  UINT descriptorCount(int kind);
  IVssWMFiledesc* getDescriptor(int kind, UINT index, int debug_level);

 private:
  void setOwner(vssfs_element_t* owner, int depth);
};

class vssapi_writer_t {
 public:
  ::hpContext* hpContext;
  IVssBackupComponents* vss_components;  // not owned
  vssapi_writer_t* next;
  IVssExamineWriterMetadata* metadata;
  vssapi_component_t* component_head;
  bool writer_active;
  BSTR writer_name;
  char* ascii_writer_name;  // for file names: spaces and characters no file name may hold are '_'
  VSS_ID writer_class_id;
  VSS_ID writer_instance_id;
  VSS_USAGE_TYPE writer_usage;
  VSS_SOURCE_TYPE writer_source;
  VSS_WRITER_STATE writer_state;
  DWORD schema_mask;
  HRESULT writer_hr;
  IVssWriterComponentsExt* writer_ext;
  VSS_RESTOREMETHOD_ENUM restore_method;
  BSTR service_name;
  BSTR user_procedure;
  VSS_WRITERRESTORE_ENUM writer_restore;
  bool reboot_required;
  UINT alt_mappings;
  bool last_job;

  vssapi_writer_t(::hpContext* ctx, IVssBackupComponents* components, IVssExamineWriterMetadata* metadata);
  virtual ~vssapi_writer_t();
  virtual vssapi_component_t* newComponent(::hpContext* ctx, WCHAR* component_name);
  // What the writer's init calls: a handler that decides by more than the name (selectability,
  // flags) overrides this one; the base asks the name-only form.
  virtual vssapi_component_t* newComponent(::hpContext* ctx, const VSS_COMPONENTINFO* info);
  virtual hRC preJobRestore(vssfs_t* vssfs);
  virtual hRC preWriterRestore(vssfs_writer_t* writer);
  virtual hRC preElementRestore(vssfs_element_t* element);
  virtual hRC postElementRestore(vssfs_element_t* element);
  virtual hRC postWriterRestore(vssfs_writer_t* writer);
  virtual hRC postJobRestore(vssfs_t* vssfs);
  // Restore: true for a component of the backup the handler leaves out on purpose, which then
  // has no record and whose entries are skipped.
  virtual bool componentLeftOut(const WCHAR* component_name);

  // hRC_Error when the writer cannot stand in the backup (no identity or no usable name).
  hRC init();
  hRC initBackup();
  hRC initRestore(IVssWriterComponentsExt* ext);
  void resolvePathing();
  void setOwner(vssfs_element_t* owner);
  hRC setVssComponents(IVssWriterComponentsExt* ext);
  bool ownsComponentsOf(vssfs_element_t* element);
  // Restore: selects the components of the writer's document part, and reports how the files
  // of each selected component came back.
  hRC setComponentsSelected();
  hRC preCloseRestore();

 private:
  // The number of components in the writer's document part; 0 when it cannot be read.
  UINT componentCount(IVssWriterComponentsExt* ext);
};

typedef vssapi_writer_t* (*vssapi_writer_factory_t)(::hpContext* ctx, IVssBackupComponents* components,
                                                    IVssExamineWriterMetadata* metadata);

struct vssapi_handlers_t {
  VSS_ID writer_class_id;
  vssapi_writer_factory_t handler_factory;
};

// Ended by a row with a null factory.
extern const vssapi_handlers_t vssapi_handlers[];

vssapi_writer_t* vssapi_writer_system_factory(::hpContext*, IVssBackupComponents*, IVssExamineWriterMetadata*);
vssapi_writer_t* vssapi_writer_registry_factory(::hpContext*, IVssBackupComponents*, IVssExamineWriterMetadata*);
vssapi_writer_t* vssapi_writer_complusregdb_factory(::hpContext*, IVssBackupComponents*,
                                                    IVssExamineWriterMetadata*);
vssapi_writer_t* vssapi_writer_frs_factory(::hpContext*, IVssBackupComponents*, IVssExamineWriterMetadata*);
vssapi_writer_t* vssapi_writer_dfsr_factory(::hpContext*, IVssBackupComponents*, IVssExamineWriterMetadata*);
vssapi_writer_t* vssapi_writer_sharepoint_factory(::hpContext*, IVssBackupComponents*, IVssExamineWriterMetadata*);
vssapi_writer_t* vssapi_writer_exchange_factory(::hpContext*, IVssBackupComponents*, IVssExamineWriterMetadata*);
vssapi_writer_t* vssapi_writer_mssql_factory(::hpContext*, IVssBackupComponents*, IVssExamineWriterMetadata*);

// A plain writer record, for writers without a handler class.
vssapi_writer_t* vssapi_writer_plain_factory(::hpContext* ctx, IVssBackupComponents* components,
                                             IVssExamineWriterMetadata* metadata);

// Warns about a writer whose state after the snapshot is a problem.
void JmsgWriterState(::hpContext* ctx, vssapi_writer_t* writer);
// True for the states in which a writer's data cannot be trusted.
bool writerStateFailed(VSS_WRITER_STATE state);

class vssapi_t {
 public:
  ::hpContext* hpContext;
  vssapi_writer_t* writer_head;
  IVssBackupComponents* vss_components;  // not owned
  bool last_job;
  uint32_t restore_job_id;  // restore: JobId of the backup job of the segment, 0 when unknown

  vssapi_t(::hpContext* ctx, IVssBackupComponents* components);
  ~vssapi_t();

  vssapi_writer_t* newWriter(IVssExamineWriterMetadata* metadata);
  hRC initBackup();
  void resolveDependencies();
  void addComponents(vssfs_t* vssfs);
  void addFileSpecExclude(vssfs_t* vssfs, IVssWMFiledesc* file_desc);
  hRC setWriterStatuses();
  hRC setVssComponents();

  // Restore side.
  hRC initRestore(xml_metadata_list_t* xml_metadata_head);
  hRC setComponentsSelected();
  hRC preJobRestore(vssfs_t* vssfs);
  hRC preElementRestore(vssfs_element_t* element);
  hRC postElementRestore(vssfs_element_t* element);
  hRC preCloseRestore();
  hRC postJobRestore(vssfs_t* vssfs);
  hRC setLastRestoreId();

 private:
  // The number of writers in the backup-components document; 0 when it cannot be read.
  UINT writerComponentsCount();
  vssapi_writer_t* findWriter(const VSS_ID& instance_id);
  xml_metadata_list_t* findWriterDocument(xml_metadata_list_t* head, const VSS_ID& instance_id,
                                          const VSS_ID& class_id);
  void dropAbsentWriters();
  void elementMilestone(vssfs_element_t* element, bool post);
  void appendWriter(vssapi_writer_t* writer);
  void applyPreviousStamp(vssfs_t* vssfs, vssapi_writer_t* writer, vssapi_component_t* component);
  void excludeComponentFiles(vssfs_t* vssfs, vssapi_component_t* component);
};

// Backup stamp files: the stamp of the last backup of a component and that of its last full backup.
// Names are host blocks; null when no name can be made.
char* makeStampFilename(char* working_dir, vssapi_writer_t* writer, vssapi_component_t* component, bool full);
// The stamp before the first line feed, a host block; null when the file is missing, cannot be
// read or holds no line feed in its first 65536 bytes.
WCHAR* readStampFile(::hpContext* ctx, const char* filename);
