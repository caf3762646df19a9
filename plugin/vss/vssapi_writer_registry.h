// The Registry Writer: loaded hives are restored beside their live files and swapped in by
// Windows at the next start; the restored SYSTEM hive first receives this restore's reboot-time
// operations and the values the other handlers left for the next start.
#pragma once

#include "vssapi.h"

#include <string>

struct hive_info_t {
  hive_info_t* next;
  HKEY key;               // HKEY_LOCAL_MACHINE or HKEY_USERS
  char* dest_name;        // the hive's key below `key`
  char* source_filename;  // the restored file: the live file's path and ".restore"
  char* backup_filename;  // where Windows keeps the replaced hive
};

// Shared by every registry writer record of the instance (persistent store).
struct vssapi_writer_registry_persist_t {
  hive_info_t* hive_info_head;   // newest first
  char* system_hive_filename;    // source_filename of the restored SYSTEM hive, or null
};

class vssapi_writer_registry_t : public vssapi_writer_t {
 public:
  vssapi_writer_registry_persist_t* persist;

  vssapi_writer_registry_t(::hpContext* ctx, IVssBackupComponents* components, IVssExamineWriterMetadata* metadata);
  vssapi_component_t* newComponent(::hpContext* ctx, WCHAR* name) override;
  hRC preJobRestore(vssfs_t* vssfs) override;
  hRC preWriterRestore(vssfs_writer_t* writer) override;
  hRC postWriterRestore(vssfs_writer_t* writer) override;
  hRC postJobRestore(vssfs_t* vssfs) override;
  // Carries the live reboot-time operations and next-start values into the restored SYSTEM
  // hive; false (and *why set) when any of it failed.
  bool updateRestoredSystemHive(char* why, size_t why_len);
};

class vssapi_component_registry_t : public vssapi_component_t {
 public:
  using vssapi_component_t::vssapi_component_t;
  hRC preComponentRestore(vssfs_component_t* node) override;
  hRC postComponentRestore(vssfs_component_t* node) override;
  hRC preFileRestore(vssfs_component_t* node) override;
  hRC postFileRestore(vssfs_component_t* node) override;
};

// Copies the live values the next start reads from the SYSTEM hive (this restore's reboot-time
// operations, the replication flags, the restore id) into `control_set`, a control set of the
// restored hive; values the live registry lacks are left alone. False (and *why set) at the first
// that cannot be copied.
bool carryLiveValues(::hpContext* ctx, HKEY control_set, std::string* why);

// The drive-letter form of an NT device path (\Device\HarddiskVolume1\x -> C:\x), found through
// the drives' device names or, failing that, the system directory. A new host block, or null.
char* convertDevicePathToDriveLetterPath(::hpContext* ctx, const char* device_path);
