// The simulated machine: the writers the service reports, what their metadata says and what a
// backup of each component returns. Loaded from an XML machine description (see
// sim/vss/machines/README.md for the format by example).
#pragma once

#include <windows.h>
#include <vss.h>
#include <vswriter.h>
#include <vsbackup.h>
#include <optional>
#include <string>
#include <vector>

// One file descriptor of writer metadata (component files, database files, log files, excluded
// files, alternate location mappings). Paths are kept exactly as described, environment
// variables unexpanded, as the real service hands them to a requester.
struct MachineFile {
  std::wstring path;
  std::wstring filespec;
  bool recursive = false;
  std::optional<std::wstring> alternate_location;  // none: GetAlternateLocation gives null
  DWORD backup_type_mask = VSS_FSBT_ALL_BACKUP_REQUIRED | VSS_FSBT_ALL_SNAPSHOT_REQUIRED;
};

// A dependency of a component on a component of any writer, named by (logical path, name).
struct MachineDependency {
  VSS_ID writer_class_id = GUID_NULL;
  std::optional<std::wstring> logical_path;  // none: GetLogicalPath gives null
  std::wstring component_name;
};

// What a backup returns for a component: files changed since a point in time.
struct MachineDifferencedFile {
  std::wstring path;
  std::wstring filespec;
  bool recursive = false;
  std::wstring lsn;
  FILETIME last_modify_time = {0, 0};
};

// What a backup returns for a component: byte ranges of a file.
struct MachinePartialFile {
  std::wstring path;
  std::wstring filename;
  std::wstring ranges;
  std::wstring metadata;
};

struct MachineComponent {
  VSS_COMPONENT_TYPE type = VSS_CT_FILEGROUP;
  std::optional<std::wstring> logical_path;  // none: bstrLogicalPath is null
  std::wstring name;
  std::optional<std::wstring> caption;       // none: bstrCaption is null
  bool selectable = true;
  bool selectable_for_restore = true;
  bool restore_metadata = false;
  bool notify_on_backup_complete = false;
  DWORD component_flags = 0;
  std::vector<MachineFile> files;
  std::vector<MachineFile> databases;
  std::vector<MachineFile> logs;
  std::vector<MachineDependency> dependencies;

  // Backup results, reported through the backup components document after the snapshot.
  std::optional<std::wstring> backup_stamp;  // none: the writer sets no stamp
  std::vector<MachineDifferencedFile> differenced_files;
  std::vector<MachinePartialFile> partial_files;
};

struct MachineRestoreMethod {
  VSS_RESTOREMETHOD_ENUM method = VSS_RME_RESTORE_IF_CAN_REPLACE;
  std::optional<std::wstring> service_name;
  std::optional<std::wstring> user_procedure;
  VSS_WRITERRESTORE_ENUM writer_restore = VSS_WRE_NEVER;
  bool reboot_required = false;
  std::vector<MachineFile> alternate_mappings;
};

struct MachineWriter {
  VSS_ID class_id = GUID_NULL;
  VSS_ID instance_id = GUID_NULL;
  std::wstring name;
  VSS_USAGE_TYPE usage = VSS_UT_OTHER;
  VSS_SOURCE_TYPE source = VSS_ST_OTHER;
  DWORD backup_schema = 0;  // VSS_BACKUP_SCHEMA bits
  MachineRestoreMethod restore;
  std::vector<MachineComponent> components;
  std::vector<MachineFile> include_files;  // obsolete in the SDK, kept for completeness
  std::vector<MachineFile> excluded_files;

  // Status reported by GetWriterStatus once the snapshot exists.
  VSS_WRITER_STATE state_after_snapshot = VSS_WS_WAITING_FOR_BACKUP_COMPLETE;
  HRESULT failure_after_snapshot = S_OK;

  // Failures on demand: the phases at which the writer fails when it takes part, as bits
  // 1 << VSS_WS_FAILED_AT_<phase>, and the failure code GetWriterStatus then reports.
  DWORD fail_at = 0;
  HRESULT fail_code = static_cast<HRESULT>(0x800423F4L);  // VSS_E_WRITERERROR_NONRETRYABLE
  // Not running when a restore gathers the writers.
  bool absent_at_restore = false;
  // Files the writer's service holds open without sharing from PreRestore to PostRestore.
  std::vector<std::wstring> locked_at_restore;
};

inline bool WriterFailsAt(const MachineWriter& writer, VSS_WRITER_STATE failed_state) {
  return (writer.fail_at >> failed_state) & 1;
}

// How one asynchronous operation of the service ends, by the method that starts it.
struct MachineOperation {
  std::wstring name;                // GatherWriterMetadata, PrepareForBackup, DoSnapshotSet, ...
  HRESULT result = S_OK;            // the failure code QueryStatus reports
  bool never_finishes = false;      // pending until cancelled
};

// A file that exists on the machine's disk, created by the layout command with content derived
// from its path alone. Paths may hold environment variables.
struct MachineLayoutFile {
  MachineLayoutFile(std::wstring file_path = {}, DWORD file_size = 0)
      : path(std::move(file_path)), size(file_size) {}
  std::wstring path;
  DWORD size = 0;
  // A registry hive file (size unused); `loaded_as` is the hive list's name for it
  // (\REGISTRY\MACHINE\SYSTEM), none for a hive file the system has not loaded.
  bool hive = false;
  std::optional<std::wstring> loaded_as;
};

struct Machine {
  std::wstring name;
  // How many times each async object answers VSS_S_ASYNC_PENDING before it finishes.
  UINT pending_polls = 0;
  std::vector<MachineWriter> writers;
  std::vector<MachineLayoutFile> layout;
  std::vector<MachineOperation> operations;
};

// The outcome the machine gives the operation `name`; null when it finishes normally.
const MachineOperation* FindOperation(const Machine& machine, const wchar_t* name);

// Reads a machine description file. Missing file: HRESULT of the Win32 error; a document that
// does not parse or breaks the format: VSS_E_INVALID_XML_DOCUMENT. `error` (optional) receives
// a one-line explanation naming the offending element.
HRESULT LoadMachine(const wchar_t* path, Machine* out, std::wstring* error = nullptr);
// The same for a description held in memory.
HRESULT ParseMachine(const wchar_t* xml, Machine* out, std::wstring* error = nullptr);

// The description of `machine` (UTF-16 XML), which ParseMachine reads back into an equal model;
// lets tests build a machine in code and hand the service a file.
HRESULT SaveMachine(const Machine& machine, std::wstring* xml);

// Lookups; null when absent. Components are named within their writer by (logical path, name),
// a missing logical path equal to an empty one.
const MachineWriter* FindWriterByInstance(const Machine& machine, const VSS_ID& instance_id);
const MachineWriter* FindWriterByClass(const Machine& machine, const VSS_ID& class_id);
const MachineComponent* FindComponent(const MachineWriter& writer, const wchar_t* logical_path,
                                      const wchar_t* name);

// "{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}" in lower case, and its reader (braces optional,
// either case). FILETIME as one 64-bit decimal number, and its reader.
std::wstring FormatVssId(const VSS_ID& id);
bool ParseVssId(const std::wstring& text, VSS_ID* out);
std::wstring FormatFileTime(const FILETIME& time);
bool ParseFileTime(const std::wstring& text, FILETIME* out);

// Field-by-field equality, for round-trip checks.
bool operator==(const MachineFile& a, const MachineFile& b);
bool operator==(const MachineDependency& a, const MachineDependency& b);
bool operator==(const MachineDifferencedFile& a, const MachineDifferencedFile& b);
bool operator==(const MachinePartialFile& a, const MachinePartialFile& b);
bool operator==(const MachineComponent& a, const MachineComponent& b);
bool operator==(const MachineRestoreMethod& a, const MachineRestoreMethod& b);
bool operator==(const MachineWriter& a, const MachineWriter& b);
