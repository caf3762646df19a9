// The per-job plug-in instance.
#pragma once

#include "host_interface.h"
#include "../vss/vss_interface.h"

#include <cstdint>
#include <ctime>

class vssfs_element_t;
class vssfs_node_t;
class vssapi_t;
class vssapi_writer_t;

// The two factories of the host's shadow copy library, looked up by every newPlugin.
extern t_CreateVssBackupComponents p_CreateVssBackupComponents;
extern t_CreateVssExamineWriterMetadata p_CreateVssExamineWriterMetadata;

// Fields of a plug-in command: the next ':'-separated one (runs of ':' are one separator), and
// the element name of a path "/<name>/"; host blocks, null when there is none.
char* next_field(const char** text);
char* element_name(const char* path);

// One restore object received from the host.
struct xml_metadata_list_t {
  xml_metadata_list_t* next;
  char* name;
  int size;
  int job_id;
  bool used;
  char* data;
};

// Releases what a block of the persistent store points to (never the block itself), at the end
// of the instance; it must leave alone what its owner already released and cleared.
typedef void (*vssfs_persistent_release_t)(::hpContext* ctx, void* data);

// One named block of the persistent store.
struct vssfs_persistent_list_t {
  vssfs_persistent_list_t* next;
  char* name;
  void* data;
  vssfs_persistent_release_t release;  // null for a block that points to nothing of its own
};

class vssfs_t {
 public:
  vssfs_element_t* element_head;
  vssfs_element_t* element_tail;
  WCHAR* pending_buf;
  int pending_size;
  int pending_offset;
  int has_pending_files;
  bool plugin_active;
  vssapi_writer_t* vssapi_writer;
  BSTR xml;
  char* ro_name;
  int command_no;
  int command_count;
  char* last_plugin_command;
  char* pending_plugin_command;
  bool vss_components_set;
  int state;
  int job_level;
  bool job_canceled;
  vssapi_t* vssapi;
  char** path_bits;
  int path_bits_count;
  int job_id;
  char* job_id_str;
  time_t job_since;
  int job_type;
  DWORD type_mask;
  IVssBackupComponents* vss_components;
  vssfs_node_t* current_node;
  ::hpContext* hpContext;
  xml_metadata_list_t* writer_metadata_head;
  xml_metadata_list_t* job_metadata_head;
  xml_metadata_list_t* job_metadata_tail;
  int job_metadata_count;
  int restore_job_no;
  time_t unique_id;
  char* unique_id_str;
  bool last_job;
  vssfs_persistent_list_t* persistent_head;
  // Restore: a segment is open (its suffix may read as 0, so unique_id cannot tell), and the
  // JobId of the backup job whose document opened it.
  bool segment_open;
  uint32_t segment_job_id;

  vssfs_t();
  ~vssfs_t();

  hRC newPlugin(::hpContext* ctx);
  hRC freePlugin();
  hRC getPluginValue(pVariable var, void* value);
  hRC setPluginValue(pVariable var, void* value);
  hRC handlePluginEvent(hEvent* event, void* value);
  hRC startBackupFile(save_pkt* sp);
  hRC endBackupFile();
  hRC startRestoreFile(const char* cmd);
  hRC endRestoreFile();
  hRC pluginIO(io_pkt* io);
  hRC createFile(restore_pkt* rp);
  hRC setFileAttributes(restore_pkt* rp);
  hRC checkFile(char* fname);

  // Backup: the events of a backup job, and the snapshot device of a volume (a host block or null).
  hRC pluginCommand(char* command);
  hRC startBackupJob();
  hRC addComponents();
  hRC backupCommand(char* command);
  WCHAR* getSnapshotForVolume(WCHAR* volume_name);
  // Remembers a component this job sent: only its files can be answered gone by checkFile.
  void noteSentComponent(const char* component_path);
  // The host's working directory (for stamp files), or null after one warning a job.
  char* workingDirectory();

  // Restore: the events of a restore job, and its segments, one per backup job.
  hRC restoreEvent(hEvent* event, void* value);
  hRC restoreCommand(char* command);
  hRC restoreObject(restore_object_pkt* rop);
  hRC endRestoreJob();
  void startRestoreCommand();
  // Ends every element of the segment (their handler hooks run) and destroys them.
  void retireElements();
  bool preRestore();
  bool postRestore();
  bool WaitAndCheckForAsyncOperation(IVssAsync* async);
  // True when this job has already queued the replacement of target at the next reboot.
  bool pendingRenameQueued(const char* target);

  void* getPersistent(const char* name, int size);
  // The same, for a block that points to more of the instance's memory (or files): `release`
  // runs on it when the instance ends, whatever way the job went.
  void* getPersistent(const char* name, int size, vssfs_persistent_release_t release);
  void freePersistent();

  // File operations carried out by Windows at the next reboot.
  hRC addPendingRename(WCHAR* target, WCHAR* source);
  hRC addPendingDelete(WCHAR* filename);
  hRC addPendingRename(char* target, char* source);
  hRC addPendingDelete(char* filename);
  hRC commitPendingRenames();
  bool checkPendingRenames();

  // Exclusions handed to the host's fileset.
  hRC filesetReceived();
  hRC addFilespecExclude(char* exclude_string, int type);
  hRC addFilespecExclude(char* exclude_string, bool recurse, int type);
};
