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

// The instance sends every backup, restore and I/O call to its one current node. A node hands
// control down by making a new child current and up by making its parent current; on restore
// hRC_Seen tells the instance to pass the same packet on to the new current node.
class vssfs_node_t {
 public:
  int type;
  int state;
  vssfs_node_t* parent;
  vssfs_t* vssfs;
  ::hpContext* hpContext;
  char* name;       // owned copy of this node's path piece
  char* full_path;  // owned: "/" + names from the element down; directories end in "/"
  size_t size;
  int level;  // index of this node's piece in the split restore path
  time_t last_unique_id;

  // Root form (elements): no parent, level 0.
  vssfs_node_t(vssfs_t* vssfs, char* name, int type);
  // Child form: level is the parent's plus one.
  vssfs_node_t(vssfs_t* vssfs, char* name, int type, vssfs_node_t* parent);
  virtual ~vssfs_node_t();

  virtual hRC startBackupFile(save_pkt* sp) = 0;
  virtual hRC endBackupFile() = 0;
  virtual hRC createFile(restore_pkt* rp) = 0;
  virtual hRC endRestoreFile() = 0;
  virtual hRC postRestore();
  // Defaults for kinds without a data stream: an empty stream that refuses writes and seeks.
  virtual hRC pluginIoOpen(io_pkt* io);
  virtual hRC pluginIoRead(io_pkt* io);
  virtual hRC pluginIoWrite(io_pkt* io);
  virtual hRC pluginIoSeek(io_pkt* io);
  virtual hRC pluginIoClose(io_pkt* io);

  // Fills the packet with a directory entry, sent after its contents: this node's own, or the
  // one at path (which must outlive the entry).
  void describeDirectory(save_pkt* sp, char* path = nullptr);

  // A new host block holding this node's virtual path.
  char* make_full_path();

 private:
  void init_node(vssfs_t* vssfs, char* name, int type);
};
