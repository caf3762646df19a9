// Base of the virtual tree: elements, writers, components and files.
#pragma once

#include "../frame/host_interface.h"

#include <ctime>

class vssfs_t;

// Node kind codes (4 is not used).
enum {
  VSSFS_NODE_ELEMENT = 1,
  VSSFS_NODE_WRITER = 2,
  VSSFS_NODE_COMPONENT = 3,
  VSSFS_NODE_FILE = 5
};

class vssfs_node_t {
 public:
  int type;
  int state;
  vssfs_node_t* parent;
  vssfs_t* vssfs;
  ::hpContext* hpContext;
  char* name;
  char* full_path;
  size_t size;
  int level;
  time_t last_unique_id;

  vssfs_node_t(vssfs_t* vssfs, char* name, int type);
  vssfs_node_t(vssfs_t* vssfs, char* name, int type, vssfs_node_t* parent);
  virtual ~vssfs_node_t();

  virtual hRC startBackupFile(save_pkt* sp) = 0;
  virtual hRC endBackupFile() = 0;
  virtual hRC createFile(restore_pkt* rp) = 0;
  virtual hRC endRestoreFile() = 0;
  virtual hRC postRestore();
  virtual hRC pluginIoOpen(io_pkt* io);
  virtual hRC pluginIoRead(io_pkt* io);
  virtual hRC pluginIoWrite(io_pkt* io);
  virtual hRC pluginIoSeek(io_pkt* io);
  virtual hRC pluginIoClose(io_pkt* io);

  char* make_full_path();
};
