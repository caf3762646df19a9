// A writer below an element: hands out its owned components, then its own directory entry.
#pragma once

#include "vssfs_node.h"

#include <windows.h>

class vssapi_writer_t;
class vssapi_component_t;
class vssfs_component_t;

class vssfs_writer_t : public vssfs_node_t {
 public:
  int component_level;
  vssapi_writer_t* vssapi_writer;
  vssapi_component_t* vssapi_component;
  vssfs_component_t* vssfs_component;
  WCHAR* component_id_buffer;
  size_t component_id_buffer_offset;
  bool restore_hooks_open;    // restore: preWriterRestore has run, postWriterRestore not yet
  bool component_unmatched;  // restore: the last information file named no component here

  // Backup: directory entries of components that are sent after their descendants, last first.
  struct deferred_dir_t {
    deferred_dir_t* next;
    char* path;
  };
  deferred_dir_t* deferred_dirs;
  char* deferred_sent;  // the path being sent now

  vssfs_writer_t(vssfs_t* vssfs, char* name, vssfs_node_t* parent);
  ~vssfs_writer_t() override;

  hRC startBackupFile(save_pkt* sp) override;
  hRC endBackupFile() override;
  hRC createFile(restore_pkt* rp) override;
  hRC endRestoreFile() override;
  void deferDirectory(const char* path);

  hRC postRestore() override;
  hRC pluginIoWrite(io_pkt* io) override;

 private:
  void closeRestoreHooks();
  hRC writerChange();
  bool parseComponentInfo(WCHAR** path, WCHAR** name);
  void dropComponent();
};
