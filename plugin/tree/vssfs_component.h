// A shadow copy component below a writer: its information file, its files read from the
// snapshot, then its own directory entry.
#pragma once

#include "vssfs_node.h"

#include "../vss/vss_interface.h"

class vssapi_writer_t;
class vssapi_component_t;
class vssfs_file_t;
class find_filespec_t;


// A host block with the environment variables of text expanded; null for null.
WCHAR* expanded(const WCHAR* text);

// Backup states.
enum vssfs_component_bs { bs_init = 0, bs_component_file = 1, bs_file = 2, bs_component_dir = 3 };

class vssfs_component_t : public vssfs_node_t {
 public:
  vssapi_writer_t* vssapi_writer;
  vssapi_component_t* vssapi_component;
  vssfs_file_t* file_node;
  char* filename;         // restore
  char* target_filename;  // restore
  find_filespec_t* find_filespec;
  int can_replace;  // restore
  char* component_id_filename;
  WCHAR* component_id_buffer;
  int component_id_offset;
  // Backup bookkeeping: the stamp the writer set, and how the component's files went.
  WCHAR* backup_stamp;
  int files_failed;
  bool live_volume_reported;
  // Restore bookkeeping: preComponentRestore has run and the component is not ended yet, and
  // what became of its files.
  bool restore_open;
  int files_in_place;
  int files_at_reboot;
  int files_skipped;
  int files_write_failed;
  // Restore under the writer's stop-restore-start method: the service manager and the services
  // this component stopped, started again when the component ends.
  SC_HANDLE sc_manager;
  void* service_list;

  // Restore: the file restore status, the warning and the summary line, and
  // postComponentRestore, once per component.
  void endComponentRestore();

  vssfs_component_t(vssfs_t* vssfs, char* name, vssfs_node_t* parent);
  ~vssfs_component_t() override;

  hRC startBackupFile(save_pkt* sp) override;
  hRC endBackupFile() override;
  hRC createFile(restore_pkt* rp) override;
  hRC endRestoreFile() override;
  hRC pluginIoOpen(io_pkt* io) override;
  hRC pluginIoRead(io_pkt* io) override;
  hRC pluginIoClose(io_pkt* io) override;
  hRC pluginIoWrite(io_pkt* io) override;
  hRC postRestore() override;

 private:
  void collectFileSpecs();
  void addDescriptor(IVssWMFiledesc* file_desc);
  WCHAR* snapshotPath(WCHAR* path);
  void describeInformationFile(save_pkt* sp);
  bool startNextFile();
  bool deferDirectory();
  void finishBackup();
  void writeStampFiles();
  void destroyEnumerator();
  void startRestore();
  void replaceTest();
  bool stopWriterService();
  hRC skipFile(restore_pkt* rp);
  char* restoreFilename(restore_pkt* rp);
};
