// An element of the virtual tree's top level ("@SYSTEMSTATE" and the others): one plug-in command.
#pragma once

#include "vssfs_node.h"
#include "../vss/vss_interface.h"

class vssapi_t;
class vssapi_writer_t;
class vssfs_writer_t;

class vssfs_element_t : public vssfs_node_t {
 public:
  vssfs_writer_t* vssfs_writer;
  vssapi_t* vssapi;
  vssapi_writer_t* vssapi_writer;  // backup: the writer record looked at next
  vssfs_element_t* next;
  char* selection_string;  // component names separated by '|', or null for all
  bool selection_include;
  bool backup_started;  // a backup command of this job has taken this element

  vssfs_element_t(vssfs_t* vssfs, char* name);
  ~vssfs_element_t() override;

  hRC startBackupFile(save_pkt* sp) override;
  hRC endBackupFile() override;
  hRC createFile(restore_pkt* rp) override;
  hRC endRestoreFile() override;
  virtual bool queryIncludeWriter(VSS_ID writer_class_id, BSTR writer_name, VSS_USAGE_TYPE writer_usage,
                                  VSS_SOURCE_TYPE writer_source) = 0;

  // A host block with the narrow form of text; an empty text when it is null or cannot be carried.
  static char* _tocharstring(WCHAR* text, const char* file, int line);
};

struct vssfs_elements_t {
  const char* name;
  vssfs_element_t* (*element_factory)(vssfs_t* vssfs, char* name);
};

// Ended by a row whose name is null.
extern const vssfs_elements_t vssfs_elements[];
