// Leaf of the virtual tree: one real file, directory or reparse point of a component.
#pragma once

#include "vssfs_node.h"

#include <windows.h>

#include <cstdint>

class vssfs_file_t : public vssfs_node_t {
 public:
  HANDLE backup_file_handle;
  void* backuprw_context;  // kept by BackupRead/BackupWrite between calls
  WCHAR* filename;         // real path (snapshot at backup, destination at restore); owned, host block
  bool is_dir;
  bool is_reparse;
  bool is_partial;  // the content travels as byte ranges
  int partial_state;
  WCHAR* partial_range;     // backup: the writer's range list; not owned
  WCHAR* partial_metadata;  // not read here
  char* partial_rangeA;     // narrow copy of partial_range; owned
  char* range_ptr;          // parse position in partial_rangeA
  uint64_t range_start;
  uint64_t range_len;
  uint64_t range_remaining;
  bool io_failed;  // backup: the entry could not be opened or read completely
  bool name_failed;  // backup: the code page cannot carry filename; the entry fails at its open

  vssfs_file_t(vssfs_t* vssfs, char* name, vssfs_node_t* parent);
  ~vssfs_file_t() override;

  hRC startBackupFile(save_pkt* sp) override;
  hRC endBackupFile() override;
  hRC createFile(restore_pkt* rp) override;
  hRC endRestoreFile() override;
  hRC pluginIoOpen(io_pkt* io) override;
  hRC pluginIoRead(io_pkt* io) override;
  hRC pluginIoWrite(io_pkt* io) override;
  hRC pluginIoSeek(io_pkt* io) override;
  hRC pluginIoClose(io_pkt* io) override;

  // The system's text for an error code; release it with LocalFree. Never null.
  char* formatLastErrorMsg(DWORD code);
  // Makes sure the directory that should hold 'path' exists, creating missing levels.
  bool create_parent_directories(WCHAR* path);

 private:
  const char* kind() const;
  void end_stream();
  void open_for_restore(io_pkt* io);
  bool take_open_result(HANDLE handle, DWORD error, io_pkt* io);
  void report_open_failure(const char* call, DWORD error, io_pkt* io);
  hRC read_ranges(io_pkt* io);
};
